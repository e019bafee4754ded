#include "host/Startup.h"

#include <cstdio>

#include "ERRor/ERR_Assert.h"
#include "ERRor/ERR_MessageBox.h"

namespace HOST {

void SetUpTerminal(bool interactive) {
    ERR_SetMainWindow(true);
    ERR_SetInteractive(interactive);
    ERR_AddLogListener(&ShowLogRecord);
}

void ShowLogRecord(const ERR_st_LogRecord& record) {
    // Standard output carries the tools' own lines; the engine's complaints
    // go beside them.
    if (record.level < ERR_Level_Warning)
        return;
    std::fprintf(stderr, "[%s][%s] %s\n", ERR_sz_LevelName(record.level),
                 ERR_sz_CategoryName(record.category), record.text.c_str());
}

}  // namespace HOST
