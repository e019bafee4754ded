#include "ERRor/ERR_Log.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <atomic>
#include <utility>
#include <vector>

#include "platform/DebugOutput.h"
#include "platform/Thread.h"

namespace {

const char* const kLevelNames[] = {"DEBUG", "INFO", "WARNING", "ERROR", "!INVALID!", "ASSERT"};
constexpr uint32_t kLevelCount = sizeof(kLevelNames) / sizeof(kLevelNames[0]);

const char* const kCategoryNames[ERR_Cat_Count] = {
    "EDITOR",       "SOURCECONTROL", "NETWORK", "AI",      "PHYSICS", "SOUND",     "SHADERS", "METRICS",
    "LOCALIZATION", "LOADER",        "OTHERS",  "BIGFILE", "RENDER",  "ANIMATION", "MEMORY",
};

struct ListenerQueue {
    PLT::Mutex mutex;
    std::vector<std::pair<int, ERR_LogListener>> listeners PLT_GUARDED_BY(mutex);
    int nextId PLT_GUARDED_BY(mutex) = 1;
};

// Never destroyed at exit: threads and static destructors may still log then.
// A library that is unloaded releases it (ERR_ReleaseLogListeners).
std::atomic<ListenerQueue*> g_queue{nullptr};

ListenerQueue& Queue() {
    ListenerQueue* queue = g_queue.load(std::memory_order_acquire);
    if (queue != nullptr)
        return *queue;
    auto* fresh = new ListenerQueue;
    if (g_queue.compare_exchange_strong(queue, fresh, std::memory_order_acq_rel))
        return *fresh;
    delete fresh;
    return *queue;
}

// Set while this thread runs the listeners, so that a line they log is not
// queued again under the lock the thread already holds.
thread_local bool t_inListener = false;

size_t CutLength(const char* text, size_t limit) {
    const void* end = std::memchr(text, 0, limit);
    return end ? static_cast<size_t>(static_cast<const char*>(end) - text) : limit;
}

}  // namespace

const char* ERR_sz_LevelName(uint32_t level) {
    return level < kLevelCount ? kLevelNames[level] : kLevelNames[ERR_Level_Invalid];
}

const char* ERR_sz_CategoryName(uint32_t category) {
    return category < ERR_Cat_Count ? kCategoryNames[category] : kCategoryNames[ERR_Cat_Others];
}

std::string ERR_FormatLogLine(const char* levelName, const char* categoryName, const char* text) {
    char prefix[ERR_kMaxLogPrefix + 1];
    std::snprintf(prefix, sizeof(prefix), "[%s] [%s] ", levelName ? levelName : "",
                  categoryName ? categoryName : "");
    std::string line(prefix);
    if (text)
        line.append(text, CutLength(text, ERR_kMaxLogText));
    return line;
}

void ERR_Log(uint32_t level, uint32_t category, const char* text) {
    if (!text)
        text = "";
    PLT::DebugOutput(ERR_FormatLogLine(ERR_sz_LevelName(level), ERR_sz_CategoryName(category), text).c_str());
    if (level == ERR_Level_Debug || t_inListener)
        return;

    ERR_st_LogRecord record{level, category, std::string(text, CutLength(text, ERR_kMaxLogText))};
    ListenerQueue& queue = Queue();
    PLT::ScopedLock<PLT::Mutex> lock(queue.mutex);
    t_inListener = true;
    try {
        for (auto& entry : queue.listeners)
            entry.second(record);
    } catch (...) {
        t_inListener = false;
        throw;
    }
    t_inListener = false;
}

void ERR_LogPrintf(uint32_t level, uint32_t category, const char* format, ...) {
    char text[ERR_kMaxLogText + 1];
    va_list args;
    va_start(args, format);
    text[0] = 0;
    if (format && std::vsnprintf(text, sizeof(text), format, args) < 0)
        text[0] = 0;
    va_end(args);
    ERR_Log(level, category, text);
}

int ERR_AddLogListener(ERR_LogListener listener) {
    ListenerQueue& queue = Queue();
    PLT::ScopedLock<PLT::Mutex> lock(queue.mutex);
    int id = queue.nextId++;
    queue.listeners.emplace_back(id, std::move(listener));
    return id;
}

void ERR_ReleaseLogListeners() {
    delete g_queue.exchange(nullptr, std::memory_order_acq_rel);
}

void ERR_RemoveLogListener(int id) {
    ListenerQueue& queue = Queue();
    PLT::ScopedLock<PLT::Mutex> lock(queue.mutex);
    for (auto it = queue.listeners.begin(); it != queue.listeners.end(); ++it) {
        if (it->first == id) {
            queue.listeners.erase(it);
            return;
        }
    }
}
