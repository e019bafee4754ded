#include "plugin/OVI_Big.h"

namespace ORVEX {

int32_t OVI_Big::eInit(OVC_Params* params) {
    ml_Status = OVC_Status_WrongVersion;
    const OVC_Version* version = params ? params->GetVersion() : nullptr;
    if (version == nullptr || version->uc_Major != 1)
        return ml_Status;

    ml_Status = OVC_Status_Failure;
    OVC_OutputString("error", "session", "The bigfile engine is not available in this build");
    return ml_Status;
}

int32_t OVI_Big::eDeinit() {
    // eInit starts nothing in this build, so there is nothing to shut down.
    return ml_Status;
}

}  // namespace ORVEX
