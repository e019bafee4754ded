// The splitter's reports: "report" and critical_report.csv after the outputs,
// final_missing.files.csv at the end of the run, and the link-file line.
//
// Each report is built in memory and written whole through a temporary file
// renamed over the old one, so a reader never sees half a report; a report
// that cannot be written keeps the old one and fails the run (status 4).
#include <string>

#include "BIGfile/AsynchronousIO/BIG_AsynchronousFat.h"
#include "BIGfile/BIG_FBuff.h"
#include "BIGfile/BIG_Fat.h"
#include "plugin/OVI_ReportFormat.h"
#include "plugin/OVI_Splitter.h"

namespace ORVEX {
namespace {

constexpr uint32_t kNoValue = 0xFFFFFFFF;
// The link kinds shown by the link-file line, in this order, and the value of
// the link file's content each one names.
constexpr struct {
    uint32_t kind;
    int slot;
} kLinkKinds[] = {{1, 0}, {2, 1}, {4, 2}};

const FileRefRecord* pst_Find(const OVI_Big::RecordMap& records, uint32_t key) {
    const auto it = records.find(key);
    return it == records.end() ? nullptr : &it->second;
}

}  // namespace

const char* OVI_Splitter::psz_TypeName(uint32_t type) {
    return OVI_psz_TypeName(type);
}

void OVI_Splitter::_WriteCriticalReport(CriticalList& list) {
    static const FileRefRecord kNoRecord;

    std::string text;
    if (list.b_Loaded) {
        for (const auto& [key, writes] : list.m_Keys) {
            if (writes != 0)
                continue;
            const FileRefRecord* record = pst_Find(mmap_Records, key);
            if (record == nullptr || record->ul_Key == 0)
                continue;
            OVI_AppendF(&text, kCriticalListLine, key, key, static_cast<int>(record->ul_Type), record->ul_Key,
                        record->s_Name.c_str(), record->ul_UseCount);
        }
    }
    _WriteReport(kCriticalListReportName, text);

    text = kCriticalReportHeader;
    for (const auto& [missing, referring] : mmap_MissingRefs) {
        const FileRefRecord* parentFound = pst_Find(mmap_Records, referring);
        const FileRefRecord& parent = parentFound != nullptr ? *parentFound : kNoRecord;
        const FileRefRecord* found = pst_Find(mmap_Records, missing);
        // Names are quoted only when they hold a comma, a quote or a line break.
        const std::string parentName = OVI_CsvField(parent.s_Name);
        if (found == nullptr || found->ul_Key == 0)
            OVI_AppendF(&text, kCriticalReportUnseenRow, missing, parent.ul_Key, parentName.c_str(),
                        parent.ul_Index);
        else
            OVI_AppendF(&text, kCriticalReportRow, found->ul_Key, OVI_CsvField(found->s_Name).c_str(),
                        found->ul_Index, parent.ul_Key, parentName.c_str(), parent.ul_Index);
    }
    _WriteReport(kCriticalReportName, text);
}

int32_t OVI_Splitter::_eWriteFinalReport(bool report) {
    int32_t result = 0;
    std::string text = kFinalReportHeader;
    for (const auto& [key, count] : mmap_Unplaced) {
        const uint32_t index = mpo_Fat != nullptr ? mpo_Fat->ul_GetFileIndex(key, true) : BIG_cl_Fat::kNoFile;
        if (index == BIG_cl_Fat::kNoFile) {
            OVI_AppendF(&text, kFinalReportUnknownRow, key);
            if (report)
                OVC_OutputString("critical", "missing-file-ref", "Error in your Code, Fix it Tamsin!");
            result = -1;
            continue;
        }
        const uint32_t type = mpo_Fat->FileEntry(index).uc_Type;
        const std::string path = mpo_Fat->GetFilePath(index);
        if (report)
            OVC_OutputString("error", "missing-file", kFinalReportMessage, key, index, type,
                             psz_TypeName(type), path.c_str(), count);
        OVI_AppendF(&text, kFinalReportRow, key, index, type, psz_TypeName(type), OVI_CsvField(path).c_str(),
                    count);
    }
    _WriteReport(kFinalReportName, text);
    return result;
}

void OVI_Splitter::_WriteReport(const char* name, const std::string& text) {
    if (PLT::WriteWholeFile(name, text.data(), text.size()))
        return;
    OVC_OutputString("error", "report", "Report %s not written: %s", name,
                     PLT::ErrorText(PLT::LastError()).c_str());
    _RaiseStatus(OVC_Status_Failure);
}

void OVI_Splitter::_PrintLinkFile(const FileRefRecord& record, uint32_t index) {
    if (mpo_Fat == nullptr)
        return;
    uint32_t links[4];
    // The entry OnFileRefs found, which a cache's stale index would not be.
    mpo_Fat->GetLinkFileKeys(index, links);
    BIG_cl_AsynchronousFat* async = BIG_cl_AsynchronousFat::po_GetInstance();

    uint32_t shownKey[3] = {0, 0, 0};
    uint32_t shownSize[3] = {kNoValue, kNoValue, kNoValue};
    for (int n = 0; n < 3; ++n) {
        const uint32_t target = links[kLinkKinds[n].slot];
        const uint32_t index = mpo_Fat->ul_GetFileIndex(target, false);
        if (target == kNoValue || index == BIG_cl_Fat::kNoFile)
            continue;
        FileRefRecord filled;
        _FillFileRecord(index, &filled);
        shownKey[n] = filled.ul_Key;
        BIG_st_FileData data;
        if (async != nullptr && async->bGetFileData(index, &data) && data.po_Buffer != nullptr)
            shownSize[n] = data.po_Buffer->ul_GetSize();
        if (data.po_Buffer != nullptr)
            data.po_Buffer->Release();
    }
    OVC_OutputString("info", "link-file", kLinkFileMessage, record.s_Name.c_str(), shownKey[0], shownSize[0],
                     shownKey[1], shownSize[1], shownKey[2], shownSize[2]);
}

}  // namespace ORVEX
