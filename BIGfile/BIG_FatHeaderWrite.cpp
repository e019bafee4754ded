// The header writer and what accompanies a header: the client-name stream,
// the version-control values in the settings store and the version XML.

#include <cstdio>
#include <ctime>

#include "BIGfile/BIG_Crc32.h"
#include "BIGfile/BIG_Fat.h"
#include "BIGfile/BIG_FatHeader.h"
#include "BIGfile/BIG_TextField.h"
#include "ERRor/ERR_Assert.h"
#include "platform/Clock.h"
#include "platform/File.h"
#include "platform/Settings.h"
#include "platform/Xattr.h"

namespace {

constexpr const char* kClientStream = "P4Client.stream";
constexpr const char* kPerforceKeyFormat = "Software\\Marlin\\Marlin Production Platform\\Perforce\\%s\\";
constexpr const char* kVersionXml = "bigfile.version.xml";
constexpr const char* kLinearizedVersionXml = "linearized_bigfile.version.xml";
constexpr size_t kMaxPath = 260;

std::string XmlEscaped(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

}  // namespace

uint32_t BIG_cl_Fat::ul_FileTableCrc() const {
    // The table as held in memory: the same 96-byte records, little-endian.
    uint32_t crc = 0;
    uint8_t raw[BIG_st_FileEntry::kEncodedSize];
    for (uint32_t i = 0; i < mul_FileCount; ++i) {
        mast_File[i].EncodeTo(raw);
        crc = BIG_ul_Crc32(raw, sizeof raw, crc);
    }
    return crc;
}

void BIG_cl_Fat::WriteFatHeader(BIG::File* container, bool linearized, bool reduced) {
    Raise(eWriteFatHeader(container, linearized, reduced));
}

BIG::Status BIG_cl_Fat::eWriteFatHeader(BIG::File* container, bool linearized, bool reduced) {
    if (mb_NoWrite)
        return BIG::Status::Ok();
    BIG::File& file = container != nullptr ? *container : *m_pFile;
    BIG_st_FatHeader h;
    h.uw_FormatNb = muw_FormatNb;
    h.ul_FileCount = reduced ? m_keyHolder.ul_ReducedFileCount() : mul_FileCount;
    h.uw_DirCount = reduced ? 0 : muw_DirCount;
    h.uw_TempDirIndex = muw_TempDirIndex;
    h.uc_HeaderFlags = muc_HeaderFlags;
    if (linearized)
        h.uc_HeaderFlags |= BIG_st_FatHeader::kHeaderFlagLinearized;
    h.uc_ReducedFat = reduced ? BIG_st_FatHeader::kReducedFatBit : 0;
    h.ul_FatCrc = ul_FileTableCrc();
    h.ul_LastSubmittedCL = mul_LastSubmittedCL;
    h.ul_SyncedCL = mul_SyncedCL;
    BIG_CopyTextField(h.sz_ClientName, sizeof h.sz_ClientName, ms_ClientName.c_str());
    BIG_CopyTextField(h.sz_Label, sizeof h.sz_Label, ms_Label.c_str());
    h.ul_ReferenceCL = mul_ReferenceCL;
    h.ul_PackageWord = mul_PackageWord;
    h.uc_HeaderByte = muc_HeaderByte;
    h.uc_AlignmentShift = file.uc_GetAlignmentShift();
    BIG_CopyTextField(h.sz_DataRoot, sizeof h.sz_DataRoot, ms_DataRoot.c_str());
    uint8_t raw[BIG_st_FatHeader::kEncodedSize];
    h.EncodeTo(raw);
    uint32_t error;
    {
        PLT::ScopedLock<PLT::CriticalSection> lock(m_lock);
        error = file.bIsOpen() ? file.eWrite(file.oGetFileContentStart(), raw, sizeof raw)
                               : static_cast<uint32_t>(BIG::eFile_NotOpen);
    }
    if (error != BIG::eFile_Ok)
        return BIG::Status::IOError(file.GetPath() + ": the bigfile header cannot be written");
    mb_Written = true;

    if (ms_ClientName.empty())
        return BIG::Status::Ok();
    const std::string& path = file.GetPath();
    if (PLT::FileExists(path))
        PLT::WriteStream(path, kClientStream, ms_ClientName);
    char keyPath[512];
    std::snprintf(keyPath, sizeof keyPath, kPerforceKeyFormat, ms_ClientName.c_str());
    PLT::SettingsStore store;
    store.Update([&](PLT::SettingsMap& map) {
        map[keyPath]["ReferenceChangeList"] = mul_ReferenceCL;
        map[keyPath]["LastSyncAllChangeList"] = mul_SyncedCL;
        return true;
    });
    if (file.bIsOpen())
        WriteVersionInfoXml(linearized);
    return BIG::Status::Ok();
}

bool BIG_cl_Fat::GetVersionInfoXmlFileFullPath(const char* name, std::string* out) const {
    if (name == nullptr || out == nullptr)
        return false;
    std::string path;
    const std::string fileName(name);
    if (fileName.find_first_of("/\\") != std::string::npos) {
        path = fileName;
    } else {
        const std::string& bigfile = m_pFile->GetPath();
        const size_t slash = bigfile.find_last_of('/');
        const std::string dir = slash == std::string::npos ? std::string() : bigfile.substr(0, slash);
        path = dir.empty() ? fileName : dir + "/" + fileName;
    }
    if (path.size() >= kMaxPath) {
        ERR_X_RaisePrintf("AssertExIgnore", "Filesize too long: %s. This might be very bad.", path.c_str());
        return false;
    }
    *out = path;
    return true;
}

void BIG_cl_Fat::WriteVersionInfoXml(bool linearized) const {
    std::string path;
    if (!GetVersionInfoXmlFileFullPath(linearized ? kLinearizedVersionXml : kVersionXml, &path))
        return;
    char date[32] = {};
    char clock[32] = {};
    const std::time_t when = m_versionInfoTime ? static_cast<std::time_t>(*m_versionInfoTime)
                                               : static_cast<std::time_t>(PLT::UnixTimeNow());
    std::tm fields{};
    // A fixed moment is written in UTC, so that the machine's zone changes nothing.
    if ((m_versionInfoTime ? gmtime_r(&when, &fields) : localtime_r(&when, &fields)) != nullptr) {
        std::strftime(date, sizeof date, "%d/%m/%y", &fields);
        std::strftime(clock, sizeof clock, "%H:%M:%S", &fields);
    }
    // Text-mode lines of the original platform: each line ends in CR LF.
    std::string xml = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n<VersionInfo name=\"Bigfile\">\r\n";
    auto text = [&](const char* tag, const std::string& value) {
        xml += "    <" + std::string(tag) + ">" + XmlEscaped(value) + "</" + tag + ">\r\n";
    };
    auto number = [&](const char* tag, uint32_t value) {
        // Printed as the signed decimal the format has always used.
        text(tag, std::to_string(static_cast<int32_t>(value)));
    };
    text("Label", ms_Label);
    number("FormatNb", muw_FormatNb);
    number("SyncedCL", mul_SyncedCL);
    number("ReferenceCL", mul_ReferenceCL);
    number("LastSubmittedCL", mul_LastSubmittedCL);
    text("ClientName", ms_ClientName);
    char key[16];
    std::snprintf(key, sizeof key, "%8x", ul_GetCurrentKey());
    text("NextUserKey", key);
    text("Date", date);
    text("Time", clock);
    xml += "</VersionInfo>\r\n";
    PLT::WriteWholeFile(path, xml.data(), xml.size());
}

void BIG_cl_Fat::SetPackageId(uint16_t id) {
    const uint32_t old = mul_PackageWord;
    mul_PackageWord = (static_cast<uint32_t>(id) << 16) | (mul_PackageWord & 0xFFFF);
    const BIG::Status status = eWriteFatHeader(nullptr, false, false);
    if (!status.bOk()) {
        // The table keeps matching the bigfile: the old word, and its header again
        // in case the failed write landed.
        mul_PackageWord = old;
        eWriteFatHeader(nullptr, false, false);
    }
    Raise(status);
}
