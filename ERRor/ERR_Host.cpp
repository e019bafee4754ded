#include "ERRor/ERR_Host.h"

#include <atomic>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "ERRor/ERR_Assert.h"
#include "ERRor/ERR_Dialog.h"
#include "ERRor/ERR_MessageBox.h"
#include "platform/Process.h"
#include "platform/Terminal.h"

namespace {

constexpr const char* kTerminalVariable = "MARLIN_HOST_TERMINAL";
constexpr const char* kAutomatic = "automatic";
constexpr const char* kInteractive = "interactive";

std::atomic<bool> g_listening{false};

// Assertion texts shown on standard error in the automatic mode, with the
// number of times each came again. Bounded: past the bound a new text is shown
// every time rather than remembered.
constexpr size_t kMaxRememberedAsserts = 4096;
struct ShownAsserts {
    std::mutex mutex;
    std::map<std::string, uint64_t> repeats;  // guarded by mutex
};
// Made on the first assertion shown and freed when the terminal is detached:
// a plain pointer, as the library's detach handler may run after static
// destructors.
std::atomic<ShownAsserts*> g_shown{nullptr};

ShownAsserts& Shown() {
    ShownAsserts* shown = g_shown.load();
    if (shown != nullptr)
        return *shown;
    auto* made = new ShownAsserts;
    if (g_shown.compare_exchange_strong(shown, made))
        return *made;
    delete made;  // another thread made it first
    return *shown;
}

// True when `record` repeats an assertion already shown (and counts it).
bool bRepeatedAssert(const ERR_st_LogRecord& record) {
    if (record.level != ERR_Level_Assert || ERR_bCanAskUser())
        return false;
    ShownAsserts& shown = Shown();
    std::lock_guard<std::mutex> lock(shown.mutex);
    const auto found = shown.repeats.find(record.text);
    if (found != shown.repeats.end()) {
        ++found->second;
        return true;
    }
    if (shown.repeats.size() < kMaxRememberedAsserts)
        shown.repeats.emplace(record.text, 0);
    return false;
}

std::atomic<ERR_StderrFilter> g_filter{nullptr};

std::string StderrLine(uint32_t level, uint32_t category, std::string text, const std::string& suffix) {
    if (const ERR_StderrFilter filter = g_filter.load())
        text = filter(std::move(text));
    while (!text.empty() && text.back() == '\n')
        text.pop_back();
    return std::string("[") + ERR_sz_LevelName(level) + "][" + ERR_sz_CategoryName(category) + "] " + text +
           suffix + "\n";
}

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
    ERR_ShowRepeatedAssertions();
    ERR_SetMainWindow(false);
    ERR_ReleaseLogListeners();
    g_listening.store(false);
    // No listener is left to count (and no thread logs while the library detaches).
    delete g_shown.exchange(nullptr);
}

void ERR_ShowOnStderr(const ERR_st_LogRecord& record) {
    // Standard output carries the tools' own lines; the engine's complaints go beside them.
    if (record.level < ERR_Level_Warning || bRepeatedAssert(record))
        return;
    const std::string line = StderrLine(record.level, record.category, record.text, "");
    // Past the progress line, never through it.
    PLT::WriteAboveStatusLine(stderr, line.data(), line.size());
}

void ERR_SetStderrFilter(ERR_StderrFilter filter) {
    g_filter.store(filter);
}

void ERR_ShowRepeatedAssertions() {
    ShownAsserts* const remembered = g_shown.load();
    if (remembered == nullptr)
        return;
    std::vector<std::string> lines;
    {
        ShownAsserts& shown = *remembered;
        std::lock_guard<std::mutex> lock(shown.mutex);
        for (const auto& [text, repeats] : shown.repeats)
            if (repeats != 0)
                lines.push_back(StderrLine(ERR_Level_Assert, ERR_Cat_Editor, text,
                                           " (repeated " + std::to_string(repeats) + " times)"));
        shown.repeats.clear();
    }
    for (const std::string& line : lines)
        PLT::WriteAboveStatusLine(stderr, line.data(), line.size());
}
