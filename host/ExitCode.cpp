#include "host/ExitCode.h"

#include "orvex/OVC_Interface.h"

namespace HOST {

int ExitCodeForStatus(int32_t status) {
    switch (status) {
        case OVC_Status_Success:
            return 0;
        case OVC_Status_WrongVersion:
            return 1;
        case OVC_Status_Failure:
            return 4;
        case OVC_Status_ReadingFat:
            return 5;
        case OVC_Status_NoData:
            return 3;
        default:
            return 4;
    }
}

}  // namespace HOST
