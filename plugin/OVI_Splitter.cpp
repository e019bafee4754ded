// The splitter's session: eInit, eRun, the mapping hooks and the pass logs.
// The passes are in OVI_SplitterPasses.cpp, the side inputs (gmbigfile,
// critical list, replacement content) in OVI_SplitterInputs.cpp.
#include "plugin/OVI_Splitter.h"

#include <zlib.h>

#include <cstdarg>
#include <cstdio>
#include <string>

#include "BIGfile/BIG_Fat.h"
#include "BIGfile/BIG_FileEntry.h"
#include "platform/Clock.h"
#include "platform/Process.h"
#include "platform/Signals.h"
#include "plugin/OVI_BankRegistry.h"
#include "plugin/OVI_FileName.h"
#include "plugin/OVI_Gzip.h"
#include "plugin/OVI_SyncQueue.h"
#include "plugin/OVI_HostEnvironment.h"
#include "plugin/OVI_ReportProgress.h"
#include "plugin/OVI_Text.h"
#include "plugin/OVI_Version.h"

namespace ORVEX {

namespace {

constexpr uint32_t kNoKey = 0xFFFFFFFF;

bool bEndsWith(const std::string& text, std::string_view tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

OVI_Splitter::OVI_Splitter() {
    mpo_Params = &mo_Params;
}

OVI_Splitter::~OVI_Splitter() {
    // Outputs still waiting for their syncs or gzip copies go into place.
    _eFinishPendingOutputs();
}

const OVC_Version* OVI_Splitter::GetVersion() {
    return OVI_GetLibraryVersion();
}

bool OVI_Splitter::bIsSafeOutputName(std::string_view name) {
    return OVI_bIsPlainFileName(name, SplitOutput::kMaxNameLength);
}

// ---- session ---------------------------------------------------------------------

int32_t OVI_Splitter::eInit(OVC_Params* params) {
    // The base only tests the version's first byte; a block of another
    // version would be accepted with nothing copied and the run would go on
    // with an empty parameter copy. Refuse it before anything starts.
    if (params == nullptr || !OVI_bIsCurrentVersion(params->GetVersion())) {
        ml_Status = OVC_Status_WrongVersion;
        return ml_Status;
    }
    const auto* block = dynamic_cast<const OVI_SplitterParams*>(params);
    if (block == nullptr) {
        OVC_OutputString("error", "session", "The parameter block is not a splitter parameter block");
        ml_Status = OVC_Status_WrongVersion;
        return ml_Status;
    }
    mb_Initialised = false;
    ml_Status = OVI_Big::eInit(params);
    if (ml_Status != OVC_Status_Success)
        return ml_Status;
    mb_Initialised = true;

    // Every field but the reserved word, which keeps the copy's own value.
    const uint32_t reserved = mo_Params.mul_Reserved;
    mo_Params = *block;
    mo_Params.mul_Reserved = reserved;
    mpo_Params = &mo_Params;

    // The output bigfiles' checksums use the library's CRC-32 table.
    (void)get_crc_table();

    if (mo_Params.mb_Dlc) {
        mul_Weight = kDlcWeight;
        return ml_Status;
    }
    const std::string aiLibrary(OVI_TextOf(mo_Params.msz_AILibraryPath));
    ml_InputStatus = OVC_Status_Success;
    if (!aiLibrary.empty()) {
        mo_AILoadHelper.LoadAIObjects(aiLibrary);
        // The run goes on without the library's objects, and says so in its status.
        if (mo_AILoadHelper.bFailed())
            ml_InputStatus = OVC_Status_Failure;
    }
    return ml_Status;
}

int32_t OVI_Splitter::eDeinit() {
    mb_Initialised = false;
    ml_Status = OVI_Big::eDeinit();
    return ml_Status;
}

int32_t OVI_Splitter::eRun() {
    if (!mb_Initialised || mpo_Fat == nullptr) {
        OVC_OutputString("error", "session", "No bigfile is open: eInit must succeed before eRun");
        ml_Status = OVC_Status_Failure;
        return ml_Status;
    }
    // A session captures the replacement content of its own bigfile only.
    mul_SmallestReplacementSize = kNoKey;
    const bool catchInterrupts = PLT::GetEnvironmentVariable(kHostInterruptsVariable) == kHostInterruptsCatch;
    if (catchInterrupts)
        PLT::CatchInterrupts();
    mb_InterruptSaid = false;
    _RaiseStatus(ml_InputStatus);
    if (!_bTakeReproducibility()) {
        _RaiseStatus(OVC_Status_Failure);
        return _EndRun(catchInterrupts);
    }

    // The run goes on without the gm keys; the failure stays in the status.
    const std::string gmPath(OVI_TextOf(mo_Params.msz_GmBigfilePath));
    if (!gmPath.empty())
        _RaiseStatus(_LoadGmKeys(gmPath));
    mul_FileCount = mpo_Fat->ul_GetFileCount();
    mo_RemCriteria.m_Criteria = mo_Params.mmap_RemCriteria;
    if (mo_Params.mb_Linker)
        mo_Linker.Init(mul_FileCount);

    const std::string cachePath(OVI_TextOf(mo_Params.msz_RefsCachePath));
    double phaseStart = PLT::MonotonicSeconds();
    auto endPhase = [&phaseStart](const char* phase, double excluded) {
        const double now = PLT::MonotonicSeconds();
        OVC_OutputString("info", kPhaseTag, kPhaseLine, phase, now - phaseStart - excluded);
        phaseStart = now;
    };
    OVI_BeginStep("mapping references", mul_FileCount);
    if (!cachePath.empty())
        _ReadRefsFile(cachePath);
    else
        _ScanFiles(mul_FileCount);
    OVI_EndStep();
    endPhase("scan", 0);
    if (_bInterrupted())
        return _EndRun(catchInterrupts);

    BankRegistry::Instance().ResolveAll();
    _BuildClosures();
    if (mo_Params.mb_Replace)
        _LoadReplacement();
    _GatherCommonKeys();
    endPhase("closures", 0);
    md_CompressSeconds = 0;
    _CreateBigFiles();
    _eFinishPendingOutputs();
    if (!PLT::InterruptRequested())
        _HandClosuresToHost();
    endPhase("writing", md_CompressSeconds);
    OVC_OutputString("info", kPhaseTag, kPhaseLine, "compression", md_CompressSeconds);
    // An interrupted run writes no report of a split it did not finish.
    if (!_bInterrupted())
        _eWriteFinalReport(mb_ReportMissing);
    return _EndRun(catchInterrupts);
}

bool OVI_Splitter::_bInterrupted() {
    if (!PLT::InterruptRequested())
        return false;
    if (!mb_InterruptSaid)
        OVC_OutputString("error", "session",
                         "Interrupted: the outputs not finished keep their previous bigfile");
    mb_InterruptSaid = true;
    _RaiseStatus(OVC_Status_Failure);
    return true;
}

int32_t OVI_Splitter::_EndRun(bool catchInterrupts) {
    BankRegistry::Instance().Clear();
    _FinishIndexing();
    OVC_OutputString("info", "session", "Splitter Session Complete");
    if (catchInterrupts)
        PLT::ReleaseInterrupts();
    return ml_Status;
}

// ---- mapping hooks -------------------------------------------------------------------

bool OVI_Splitter::OnFileRefs(const FileRefRecord& record, const uint8_t*, uint32_t) {
    OVI_StepDone();
    // The record's FAT entry. A reference cache that does not belong to this
    // bigfile may carry a stale index: fall back on the key then.
    uint32_t index = record.ul_Index;
    if (index >= mpo_Fat->ul_GetFileCount() || mpo_Fat->FileEntry(index).ul_Key != record.ul_Key)
        index = mpo_Fat->ul_GetFileIndex(record.ul_Key, false);

    if (index != BIG_cl_Fat::kNoFile &&
        (mpo_Fat->FileEntry(index).ul_Flags & BIG_st_FileEntry::kFlagLinkMask) == 0) {
        // A link whose reference table is empty has no first key: nothing to enter.
        const uint32_t target = record.ul_RefCount != 0 ? pul_GetRefKeys()[0] : kNoKey;
        if (target != kNoKey && mo_Params.mb_Linker)
            mo_Linker.AddLink(record.ul_Key, target);
        if (mb_ReportMissing)
            _PrintLinkFile(record, index);
    }

    const bool dlc = mo_Params.mb_Dlc;
    BankRegistry& banks = BankRegistry::Instance();
    switch (record.ul_Type) {
        case kTypeWorld:
            if (bEndsWith(record.s_Name, ".wor") && mo_Params.mmap_Worlds.count(record.ul_Key) != 0)
                mmap_Roots.emplace(record.ul_Key, 0);
            break;
        case kTypeDst:
        case kTypeEnd:
        case kTypeEps:
        case kTypeEpl:
            if (!dlc)
                mmap_SecondKeys.emplace(record.ul_Key, kWalkWeight);
            break;
        case kTypeDynamicBank:
            if (!dlc && index != BIG_cl_Fat::kNoFile)
                banks.ParseDynamicBankFromFat(record.ul_Key, index);
            break;
        case kTypeDynamicBankList:
            if (!dlc && index != BIG_cl_Fat::kNoFile)
                banks.ParseDynamicBankListFromFat(record.ul_Key, index);
            break;
        case kTypeElementRefList:
            if (!dlc && index != BIG_cl_Fat::kNoFile)
                banks.ParseElementReferenceListFromFat(record.ul_Key, index);
            break;
        case kTypeReplacement:
            // The look-up reports a key the bigfile lacks.
            mpo_Fat->ul_GetFileIndex(record.ul_Key, true);
            if (record.ul_Size < mul_SmallestReplacementSize) {
                mul_SmallestReplacementSize = record.ul_Size;
                _CaptureReplacement(record, index);
            }
            break;
        default:
            break;
    }
    return false;
}

bool OVI_Splitter::OnMissingRef(uint32_t referringKey, uint32_t missingKey) {
    mmap_MissingRefs.emplace(missingKey, referringKey);
    return true;
}

// ---- pass logs -------------------------------------------------------------------

int32_t OVI_Splitter::OpenLog(const char* path) {
    if (mb_LogOpen || path == nullptr)
        return OVC_Status_Failure;
    mb_LogOpen = true;
    ms_LogPath = path;
    ms_LogText.clear();
    return OVC_Status_Success;
}

int32_t OVI_Splitter::LogPrintf(const char* format, ...) {
    if (!mb_LogOpen)
        return OVC_Status_Failure;
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int wanted = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    if (wanted > 0) {
        const size_t at = ms_LogText.size();
        ms_LogText.resize(at + static_cast<size_t>(wanted) + 1);
        std::vsnprintf(ms_LogText.data() + at, static_cast<size_t>(wanted) + 1, format, again);
        ms_LogText.resize(at + static_cast<size_t>(wanted));
    }
    va_end(again);
    return wanted >= 0 ? OVC_Status_Success : OVC_Status_Failure;
}

int32_t OVI_Splitter::CloseLog() {
    if (!mb_LogOpen)
        return OVC_Status_Failure;
    mb_LogOpen = false;
    const bool written = PLT::WriteWholeFile(ms_LogPath, ms_LogText.data(), ms_LogText.size());
    const int error = PLT::LastError();
    ms_LogText.clear();
    ms_LogText.shrink_to_fit();
    if (written)
        return OVC_Status_Success;
    OVC_OutputString("error", "log", "Log %s not written: %s", ms_LogPath.c_str(),
                     PLT::ErrorText(error).c_str());
    ml_PassStatus = OVC_Status_Failure;
    _RaiseStatus(OVC_Status_Failure);
    return OVC_Status_Failure;
}

}  // namespace ORVEX
