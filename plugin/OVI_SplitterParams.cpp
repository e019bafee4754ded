#include "orvex/OVC_Interface.h"

#include "plugin/OVI_Version.h"

namespace ORVEX {

const OVC_Version* OVI_SplitterParams::GetVersion() {
    return OVI_GetLibraryVersion();
}

}  // namespace ORVEX
