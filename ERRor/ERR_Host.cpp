#include "ERRor/ERR_Host.h"

#include <atomic>
#include <cstdio>
#include <string>

#include "ERRor/ERR_Assert.h"
#include "ERRor/ERR_MessageBox.h"
#include "platform/Process.h"
#include "platform/Terminal.h"

namespace {

constexpr const char* kTerminalVariable = "MARLIN_HOST_TERMINAL";
constexpr const char* kAutomatic = "automatic";
constexpr const char* kInteractive = "interactive";

std::atomic<bool> g_listening{false};

void Attach(bool interactive) {
    ERR_SetMainWindow(true);
    ERR_SetInteractive(interactive);
    if (!g_listening.exchange(true))
        ERR_AddLogListener(&ERR_ShowOnStderr);
}

}  // namespace

void ERR_AttachTerminal(bool interactive) {
    Attach(interactive);
    PLT::SetEnvironmentVariable(kTerminalVariable, interactive ? kInteractive : kAutomatic);
}

bool ERR_AttachFromEnvironment() {
    const std::string mode = PLT::GetEnvironmentVariable(kTerminalVariable);
    if (mode != kAutomatic && mode != kInteractive)
        return false;
    Attach(mode == kInteractive);
    return true;
}

void ERR_DetachTerminal() {
    ERR_SetMainWindow(false);
    ERR_ReleaseLogListeners();
    g_listening.store(false);
}

void ERR_ShowOnStderr(const ERR_st_LogRecord& record) {
    // Standard output carries the tools' own lines; the engine's complaints go beside them.
    if (record.level < ERR_Level_Warning)
        return;
    std::string line = std::string("[") + ERR_sz_LevelName(record.level) + "][" +
                       ERR_sz_CategoryName(record.category) + "] " + record.text;
    if (line.empty() || line.back() != '\n')
        line += '\n';
    // Past the progress line, never through it.
    PLT::WriteAboveStatusLine(stderr, line.data(), line.size());
}
