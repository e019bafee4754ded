#include "host/Startup.h"

#include "ERRor/ERR_Host.h"

namespace HOST {

void SetUpTerminal(bool interactive) {
    ERR_AttachTerminal(interactive);
}

void ShowLogRecord(const ERR_st_LogRecord& record) {
    ERR_ShowOnStderr(record);
}

}  // namespace HOST
