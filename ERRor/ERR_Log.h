// Leveled, categorised log lines and the listener queue.
//
// ERR_Log sends "[LEVEL] [CATEGORY] " + text to the debugger output as one
// write and, unless the level is ERR_Level_Debug, hands one record to the
// listeners. Listeners are called on the logging thread, in registration
// order, under the queue's lock. A line logged from inside a listener still
// reaches the debugger output but is not queued again (no recursion, no
// deadlock); a listener must not add or remove listeners.
//
// Thread-safe: any thread may log.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

enum ERR_e_LogLevel : uint32_t {
    ERR_Level_Debug = 0,
    ERR_Level_Info = 1,
    ERR_Level_Warning = 2,
    ERR_Level_Error = 3,
    ERR_Level_Invalid = 4,
    ERR_Level_Assert = 5,
};

// Index 0 is the editor's category (assertions and message boxes log under it);
// index 10 is "OTHERS"; any index of 15 or more prints "OTHERS".
enum ERR_e_LogCategory : uint32_t {
    ERR_Cat_Editor = 0,
    ERR_Cat_SourceControl = 1,
    ERR_Cat_Network = 2,
    ERR_Cat_AI = 3,
    ERR_Cat_Physics = 4,
    ERR_Cat_Sound = 5,
    ERR_Cat_Shaders = 6,
    ERR_Cat_Metrics = 7,
    ERR_Cat_Localization = 8,
    ERR_Cat_Loader = 9,
    ERR_Cat_Others = 10,
    ERR_Cat_Bigfile = 11,
    ERR_Cat_Render = 12,
    ERR_Cat_Animation = 13,
    ERR_Cat_Memory = 14,
    ERR_Cat_Count = 15,
};

// Longest text of one line, and longest "[LEVEL] [CATEGORY] " prefix.
constexpr size_t ERR_kMaxLogText = 511;
constexpr size_t ERR_kMaxLogPrefix = 127;

// Never null: 6 or more gives "!INVALID!", 15 or more gives "OTHERS".
const char* ERR_sz_LevelName(uint32_t level);
const char* ERR_sz_CategoryName(uint32_t category);

// text is cut at 511 characters; null logs an empty text.
void ERR_Log(uint32_t level, uint32_t category, const char* text);
void ERR_LogPrintf(uint32_t level, uint32_t category, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// The line written to the debugger output: the prefix built from the two names
// (cut at 127 characters) followed by the text (cut at 511).
std::string ERR_FormatLogLine(const char* levelName, const char* categoryName, const char* text);

struct ERR_st_LogRecord {
    uint32_t level;
    uint32_t category;
    std::string text;  // without the prefix, cut at 511 characters
};
using ERR_LogListener = std::function<void(const ERR_st_LogRecord&)>;
// Returns an id for ERR_RemoveLogListener.
int ERR_AddLogListener(ERR_LogListener listener);
void ERR_RemoveLogListener(int id);
// Drops every listener and frees the queue. For a library being unloaded, when
// no other thread logs any more.
void ERR_ReleaseLogListeners();
