// What orvex sets up before a command runs.
#pragma once

#include "ERRor/ERR_Log.h"

namespace HOST {

// Registers the terminal as the application's main window, so that message
// boxes and assertions are shown there; they are answered automatically unless
// `interactive`. Registers ShowLogRecord as a log listener. Call once.
void SetUpTerminal(bool interactive);

// Writes a log record of level warning or worse to standard error as
// "[LEVEL][CATEGORY] text"; lower levels are not shown.
void ShowLogRecord(const ERR_st_LogRecord& record);

}  // namespace HOST
