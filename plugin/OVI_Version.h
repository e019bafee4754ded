// The library's one interface version instance, shared by every GetVersion.
#pragma once

#include "orvex/OVC_Interface.h"

namespace ORVEX {

// Filled with 1.1.1.1 on the first call; the same pointer on every call.
const OVC_Version* OVI_GetLibraryVersion();

// True when `version` is the full interface version 1.1.1.1.
inline bool OVI_bIsCurrentVersion(const OVC_Version* version) {
    return OVC_ul_VersionWord(version) == OVC_VersionWord;
}

}  // namespace ORVEX
