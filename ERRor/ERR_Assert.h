// Assertions: log the failed check, ask what to do (or answer alone in the
// automatic mode) and tell the calling site how to go on.
#pragma once

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

// The assertion call. Returns 0, 1 or 2 as above; may throw ERR_cl_Exception(3).
int ERR_i_Assert(const char* category, const char* message, const char* file, int line, uint8_t flags);
// printf twin: the message is formatted first (cut at 4095 characters).
int ERR_i_AssertPrintf(const char* category, const char* file, int line, uint8_t flags, const char* format,
                       ...) __attribute__((format(printf, 5, 6)));

// The allowed answers of the categories the engine uses.
uint8_t ERR_uc_CategoryFlags(const char* category);

// Process-wide switches.
void ERR_SetInteractive(bool interactive);  // false: automatic mode "Cmd-Auto"
bool ERR_bIsInteractive();
void ERR_SetThrowOnStop(bool throwOnStop);
bool ERR_bThrowOnStop();

// Raises `message` under `category` with the category's answers and handles the
// result at the site: silence the site after ignore-always, break on request.
// Evaluates to nothing; use ERR_i_Assert where the result is needed.
#define ERR_X_Raise(category, message)                                                              \
    do {                                                                                            \
        static bool s_bSilent_ = false;                                                             \
        if (!s_bSilent_) {                                                                          \
            if (ERR_i_Assert((category), (message), __FILE__, __LINE__, ERR_uc_CategoryFlags(category)) == \
                ERR_AssertResult_Silence)                                                           \
                s_bSilent_ = true;                                                                  \
        }                                                                                           \
    } while (0)

#define ERR_X_RaisePrintf(category, format, ...)                                                     \
    do {                                                                                             \
        static bool s_bSilent_ = false;                                                              \
        if (!s_bSilent_) {                                                                           \
            if (ERR_i_AssertPrintf((category), __FILE__, __LINE__, ERR_uc_CategoryFlags(category), format, \
                                   __VA_ARGS__) == ERR_AssertResult_Silence)                         \
                s_bSilent_ = true;                                                                   \
        }                                                                                            \
    } while (0)
