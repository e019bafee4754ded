// Leveled, categorised log lines and the listener queue.
//
// ERR_Log sends "[LEVEL] [CATEGORY] " + text to the debugger output and, unless
// the level is ERR_Level_Debug, queues one record for the listeners. Listeners
// are called on the logging thread, in registration order, under the queue's
// lock; they must not log themselves.
#pragma once

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
    ERR_Cat_Others = 10,
    ERR_Cat_Count = 15,
};

const char* ERR_sz_LevelName(uint32_t level);
const char* ERR_sz_CategoryName(uint32_t category);

// text is cut at 511 characters.
void ERR_Log(uint32_t level, uint32_t category, const char* text);
void ERR_LogPrintf(uint32_t level, uint32_t category, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

struct ERR_st_LogRecord {
    uint32_t level;
    uint32_t category;
    std::string text;
};
using ERR_LogListener = std::function<void(const ERR_st_LogRecord&)>;
// Returns an id for ERR_RemoveLogListener.
int ERR_AddLogListener(ERR_LogListener listener);
void ERR_RemoveLogListener(int id);
