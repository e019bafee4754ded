#include "plugin/OVI_Splitter.h"

#include <cstdarg>
#include <cstdio>
#include <string>

#include "plugin/OVI_Version.h"

namespace ORVEX {

OVI_Splitter::OVI_Splitter() {
    mpo_Params = &mo_Params;
}

OVI_Splitter::~OVI_Splitter() {
    CloseLog();
}

const OVC_Version* OVI_Splitter::GetVersion() {
    return OVI_GetLibraryVersion();
}

int32_t OVI_Splitter::eInit(OVC_Params* params) {
    // A block that passes the base's first-byte test but is of another
    // version would otherwise be accepted with nothing copied, and the run
    // would go on with an empty parameter copy.
    if (params == nullptr || !OVI_bIsCurrentVersion(params->GetVersion())) {
        ml_Status = OVC_Status_WrongVersion;
        return ml_Status;
    }
    ml_Status = OVI_Big::eInit(params);
    return ml_Status;
}

int32_t OVI_Splitter::eDeinit() {
    ml_Status = OVI_Big::eDeinit();
    return ml_Status;
}

int32_t OVI_Splitter::eRun() {
    ml_Status = OVC_Status_Failure;
    OVC_OutputString("error", "session", "The bigfile splitter is not available in this build");
    return ml_Status;
}

bool OVI_Splitter::OnFileRefs(const FileRefRecord&, const uint8_t*, uint32_t) {
    return false;
}

bool OVI_Splitter::OnMissingRef(uint32_t referringKey, uint32_t missingKey) {
    mmap_MissingRefs.emplace(missingKey, referringKey);
    return true;
}

// ---- pass logs -------------------------------------------------------------------

int32_t OVI_Splitter::OpenLog(const char* path) {
    ml_Status = OVC_Status_Failure;
    if (ml_LogFile != PLT::kInvalidFile || path == nullptr)
        return ml_Status;
    ml_LogFile = PLT::OpenFile(path, PLT::Access::eReadWrite, PLT::Disposition::eCreateAlways);
    mull_LogOffset = 0;
    if (ml_LogFile != PLT::kInvalidFile)
        ml_Status = OVC_Status_Success;
    return ml_Status;
}

int32_t OVI_Splitter::LogPrintf(const char* format, ...) {
    ml_Status = OVC_Status_Failure;
    if (ml_LogFile == PLT::kInvalidFile)
        return ml_Status;
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int wanted = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    std::string text;
    if (wanted > 0) {
        text.resize(static_cast<size_t>(wanted) + 1);
        std::vsnprintf(text.data(), text.size(), format, again);
        text.resize(static_cast<size_t>(wanted));
    }
    va_end(again);
    if (wanted >= 0 && PLT::WriteAt(ml_LogFile, mull_LogOffset, text.data(), text.size())) {
        mull_LogOffset += text.size();
        ml_Status = OVC_Status_Success;
    }
    return ml_Status;
}

int32_t OVI_Splitter::CloseLog() {
    ml_Status = OVC_Status_Failure;
    if (ml_LogFile == PLT::kInvalidFile)
        return ml_Status;
    PLT::CloseFile(ml_LogFile);
    ml_LogFile = PLT::kInvalidFile;
    ml_Status = OVC_Status_Success;
    return ml_Status;
}

}  // namespace ORVEX
