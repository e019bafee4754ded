#include "plugin/OVI_Splitter.h"

#include "plugin/OVI_Version.h"

namespace ORVEX {

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

}  // namespace ORVEX
