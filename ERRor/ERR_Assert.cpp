#include "ERRor/ERR_Assert.h"

#include <atomic>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "ERRor/ERR_AssertWindow.h"
#include "ERRor/ERR_Dialog.h"
#include "ERRor/ERR_Log.h"
#include "ERRor/ERR_LogFile.h"

namespace {

std::atomic<bool> g_interactive{true};
std::atomic<bool> g_throwOnStop{false};
// Written only under ERR_rUiMutex(): another thread waits for the lock before
// it looks, so the guard turns away only re-entry from the thread that holds
// it. Atomic so that ERR_bAssertInProgress can be asked from any thread.
std::atomic<bool> g_guard{false};

const char* const kAnswerJournalTexts[] = {
    "",  // closed: replaced by continue or stop before it is journaled
    "User clicked on Generate Crash",
    "User clicked on Stop Engine",
    "User clicked on Continue",
    "User clicked on Ignore",
};

struct FlagName {
    uint8_t flag;
    const char* name;
};
const FlagName kFlagNames[] = {
    {ERR_AssertFlag_Crash, "Debug"},
    {ERR_AssertFlag_Stop, "Stop"},
    {ERR_AssertFlag_Continue, "Continue"},
    {ERR_AssertFlag_Ignore, "Ignore"},
};

int AutomaticAnswer(uint8_t flags) {
    if (flags & ERR_AssertFlag_Continue)
        return ERR_Answer_Continue;
    if (flags & ERR_AssertFlag_Ignore)
        return ERR_Answer_Ignore;
    if (flags & ERR_AssertFlag_Crash)
        return ERR_Answer_Crash;
    if (flags & ERR_AssertFlag_Stop)
        return ERR_Answer_Stop;
    return ERR_Answer_Continue;
}

// Keeps the log line on one line: a carriage return becomes a space (as in
// message boxes) and a line feed " \\ ".
// Runs of ordinary characters are copied whole: a report is built for every
// failed check, and a loop per character showed in the profiles of hostile
// inputs that fail thousands of checks.
std::string OneLine(const std::string& text) {
    std::string out;
    out.reserve(text.size() + 16);
    const char* at = text.c_str();  // built from C strings: no NUL inside
    for (;;) {
        const size_t run = std::strcspn(at, "\r\n");
        out.append(at, run);
        at += run;
        if (*at == 0)
            return out;
        out += *at == '\n' ? " \\ " : " ";
        ++at;
    }
}

#ifndef ORVEX_SOURCE_DIR
#define ORVEX_SOURCE_DIR ""
#endif
#ifndef ORVEX_SOURCE_FROM_BUILD
#define ORVEX_SOURCE_FROM_BUILD ""
#endif

// A source path as the build gave it (relative to the build folder, or
// absolute), from the project's root: the same report wherever it was built.
const char* ProjectPath(const char* file) {
    for (const char* prefix : {ORVEX_SOURCE_DIR, ORVEX_SOURCE_FROM_BUILD}) {
        const size_t n = std::strlen(prefix);
        // "/" alone (an empty relative path) is no prefix.
        if (n > 1 && std::strncmp(file, prefix, n) == 0)
            return file + n;
    }
    return file;
}

struct GuardReset {
    ~GuardReset() { g_guard = false; }
};

}  // namespace

void ERR_SetInteractive(bool interactive) {
    g_interactive.store(interactive);
}
bool ERR_bIsInteractive() {
    return g_interactive.load();
}
void ERR_SetThrowOnStop(bool throwOnStop) {
    g_throwOnStop.store(throwOnStop);
}
bool ERR_bThrowOnStop() {
    return g_throwOnStop.load();
}

bool ERR_bAssertInProgress() {
    return g_guard.load();
}

void ERR_DebugBreak() {
    std::raise(SIGTRAP);
    std::abort();  // SIGTRAP ignored or handled: still end here
}

uint8_t ERR_uc_CategoryFlags(const char* category) {
    constexpr uint8_t D = ERR_AssertFlag_Crash, S = ERR_AssertFlag_Stop, C = ERR_AssertFlag_Continue,
                      I = ERR_AssertFlag_Ignore;
    struct Entry {
        const char* name;
        uint8_t flags;
    };
    static const Entry kCategories[] = {
        {"Assert", D | S | C},   {"AssertEx", D | S | C | I},   {"AssertExIgnore", D | C | I},
        {"EditorAssert", D | C}, {"EditorAssertEx", D | C | I},
    };
    if (category)
        for (const Entry& entry : kCategories)
            if (std::strcmp(entry.name, category) == 0)
                return entry.flags;
    return D | S | C;
}

int ERR_i_Assert(const char* category, const char* message, const char* file, int line, uint8_t flags) {
    if (!category)
        category = "";
    if (!message)
        message = "";
    file = file ? ProjectPath(file) : "";

    std::lock_guard<std::recursive_mutex> ui(ERR_rUiMutex());
    if (g_guard)
        return ERR_AssertResult_Continue;
    int answer;
    bool automatic;
    char location[1024];
    {
        g_guard = true;
        GuardReset guardReset;  // also when a dialog handler throws

        std::snprintf(location, sizeof(location), "In file '%s', line %d :", file, line);

        ERR_cl_LogFile& journal = ERR_rJournal();
        journal.AppendHeader(ERR_Event_Assert);
        journal.AppendText(category);
        journal.AppendText(location);
        journal.AppendText(message);
        for (const FlagName& f : kFlagNames)
            if (flags & f.flag)
                journal.AppendText(f.name);

        automatic = !ERR_bCanAskUser();
        if (automatic) {
            journal.AppendText("Cmd-Auto ");
            answer = AutomaticAnswer(flags);
        } else {
            answer = ERR_i_ShowAssertWindow(category, location, message, flags);
        }
    }
    if (answer == ERR_Answer_Closed)
        answer = (flags & ERR_AssertFlag_Continue) ? ERR_Answer_Continue : ERR_Answer_Stop;

    int result = ERR_AssertResult_Continue;
    bool stop = false;
    switch (answer) {
        case ERR_Answer_Crash:
            result = ERR_AssertResult_Break;
            break;
        case ERR_Answer_Stop:
            stop = ERR_bThrowOnStop();
            break;
        case ERR_Answer_Ignore:
            result = ERR_AssertResult_Silence;
            break;
        default:
            break;
    }

    // Journal and log the answer before a stop throws, so that the reason the
    // engine stopped is on record.
    const char* answerText = kAnswerJournalTexts[answer];
    ERR_rJournal().AppendText(answerText);
    std::string text = automatic ? "#Assert:  " : "";
    text += category;
    text += " ";
    text += location;
    text += " : ";
    text += message;
    text += " - ";
    text += answerText;
    text += ".";
    ERR_Log(ERR_Level_Assert, ERR_Cat_Editor, (OneLine(text) + "\n").c_str());

    if (stop)
        throw ERR_cl_Exception(ERR_kStopExceptionCode, "Assertion answered: stop the engine");
    return result;
}

int ERR_i_AssertPrintf(const char* category, const char* file, int line, uint8_t flags, const char* format,
                       ...) {
    char message[4096];
    va_list args;
    va_start(args, format);
    message[0] = 0;
    if (format && std::vsnprintf(message, sizeof(message), format, args) < 0)
        message[0] = 0;
    va_end(args);
    return ERR_i_Assert(category, message, file, line, flags);
}
