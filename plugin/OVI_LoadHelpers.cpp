#include "plugin/OVI_LoadHelpers.h"

namespace ORVEX {

OVI_HelperInterface::~OVI_HelperInterface() = default;

}  // namespace ORVEX
