// Assertions: log the failed check, ask what to do (or answer alone in the
// automatic mode) and tell the calling site how to go on.
//
// Every assertion is journaled (event 14: category, location, message, the
// allowed answers, "Cmd-Auto " in automatic mode, the answer) and logged at
// level ASSERT under the editor category.
//
// Thread-safe: assertions of different threads are handled one after the
// other (a worker's assertion waits while another is on screen). An assertion
// raised on the same thread while one is being asked returns 1 at once.
#pragma once

#include <atomic>
#include <cstdint>
#include <stdexcept>

// Answers the user may be offered (assertion flags).
enum : uint8_t {
    ERR_AssertFlag_Crash = 1,
    ERR_AssertFlag_Stop = 2,
    ERR_AssertFlag_Continue = 4,
    ERR_AssertFlag_Ignore = 8,
};

// Results for the calling site.
enum : int {
    ERR_AssertResult_Silence = 0,  // ignore always: stay silent from now on
    ERR_AssertResult_Continue = 1,
    ERR_AssertResult_Break = 2,  // break into the debugger at the site
};

// Thrown by the stop answer when throw-on-stop is set.
class ERR_cl_Exception : public std::runtime_error {
public:
    explicit ERR_cl_Exception(int code, const char* what = "ERR_cl_Exception")
        : std::runtime_error(what), m_code(code) {}
    int Code() const { return m_code; }

private:
    int m_code;
};

// The code ERR_cl_Exception carries when an assertion stops the engine.
constexpr int ERR_kStopExceptionCode = 3;

// The assertion call. Returns 0, 1 or 2 as above; may throw ERR_cl_Exception(3).
// Null texts count as empty.
int ERR_i_Assert(const char* category, const char* message, const char* file, int line, uint8_t flags);
// printf twin: the message is formatted first (cut at 4095 characters).
int ERR_i_AssertPrintf(const char* category, const char* file, int line, uint8_t flags, const char* format,
                       ...) __attribute__((format(printf, 5, 6)));

// The allowed answers of the categories the engine uses:
//   "Assert"          Debug | Stop | Continue
//   "AssertEx"        Debug | Stop | Continue | Ignore
//   "AssertExIgnore"  Debug | Continue | Ignore
//   "EditorAssert"    Debug | Continue
//   "EditorAssertEx"  Debug | Continue | Ignore
//   anything else     Debug | Stop | Continue
// Plain assertions guard invariants whose breach may leave the engine in a bad
// state, so the user may stop it but not silence the check. The "Ex" variants
// guard checks that can fire in bulk on one bad input (every entry of a table),
// so they may be ignored for the rest of the run. "Ignore" variants report
// recoverable conditions: stopping is not offered. Editor assertions run inside
// the editor with the user's unsaved work at stake: stopping is not offered.
// Every category allows continue, so the automatic mode always goes on.
uint8_t ERR_uc_CategoryFlags(const char* category);

// Process-wide switches.
void ERR_SetInteractive(bool interactive);  // false: automatic mode "Cmd-Auto" (default true)
bool ERR_bIsInteractive();
void ERR_SetThrowOnStop(bool throwOnStop);  // default false
bool ERR_bThrowOnStop();
// True while an assertion is being asked, on any thread (the re-entrancy guard).
bool ERR_bAssertInProgress();

// Breaks into the debugger; without one the process ends with a core dump
// (the "generate crash" answer).
[[noreturn]] void ERR_DebugBreak();

// Raises `message` under `category` with the category's answers and handles the
// result at the site: silence the site after ignore-always, break on request.
// Evaluates to nothing; use ERR_i_Assert where the result is needed.
#define ERR_X_Raise(category, message)                                                                   \
    do {                                                                                                 \
        static std::atomic<bool> s_bSilent_{false};                                                      \
        if (!s_bSilent_.load(std::memory_order_relaxed)) {                                               \
            int r_ =                                                                                     \
                ERR_i_Assert((category), (message), __FILE__, __LINE__, ERR_uc_CategoryFlags(category)); \
            if (r_ == ERR_AssertResult_Silence)                                                          \
                s_bSilent_.store(true, std::memory_order_relaxed);                                       \
            else if (r_ == ERR_AssertResult_Break)                                                       \
                ERR_DebugBreak();                                                                        \
        }                                                                                                \
    } while (0)

#define ERR_X_RaisePrintf(category, format, ...)                                                        \
    do {                                                                                                \
        static std::atomic<bool> s_bSilent_{false};                                                     \
        if (!s_bSilent_.load(std::memory_order_relaxed)) {                                              \
            int r_ = ERR_i_AssertPrintf((category), __FILE__, __LINE__, ERR_uc_CategoryFlags(category), \
                                        format, __VA_ARGS__);                                           \
            if (r_ == ERR_AssertResult_Silence)                                                         \
                s_bSilent_.store(true, std::memory_order_relaxed);                                      \
            else if (r_ == ERR_AssertResult_Break)                                                      \
                ERR_DebugBreak();                                                                       \
        }                                                                                               \
    } while (0)
