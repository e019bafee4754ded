// Collects the records that the error library hands to its log listeners
// while it lives, all of them or only those of chosen levels.
//
// Unless told to keep the mode (the error library's own tests of its prompts),
// it puts the error library in automatic mode, so that an assertion raised
// under test answers at once instead of waiting on a prompt. Thread-safe:
// the reference manager and the asynchronous reader log from their own threads.
#pragma once

#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "ERRor/ERR_Assert.h"
#include "ERRor/ERR_Log.h"

namespace test_support {

class LogCapture {
public:
    enum class Mode { kAutomatic, kKeep };

    // Every level when `levels` is empty.
    explicit LogCapture(std::vector<ERR_e_LogLevel> levels = {}, Mode mode = Mode::kAutomatic)
        : m_levels(std::move(levels)) {
        if (mode == Mode::kAutomatic)
            ERR_SetInteractive(false);
        m_id = ERR_AddLogListener([this](const ERR_st_LogRecord& record) {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (bWanted(record.level))
                m_records.push_back(record);
        });
    }
    ~LogCapture() { ERR_RemoveLogListener(m_id); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<ERR_st_LogRecord> Records() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_records;
    }
    std::vector<std::string> Lines() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::vector<std::string> lines;
        for (const ERR_st_LogRecord& r : m_records)
            lines.push_back(r.text);
        return lines;
    }
    // Lines captured.
    size_t Count() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_records.size();
    }
    // Lines that hold `text`.
    size_t Count(const std::string& text) const {
        std::lock_guard<std::mutex> lock(m_mutex);
        size_t n = 0;
        for (const ERR_st_LogRecord& r : m_records)
            n += r.text.find(text) != std::string::npos;
        return n;
    }
    bool bContains(const std::string& text) const { return Count(text) != 0; }
    // Every line, each followed by a newline: for failure messages.
    std::string All() const {
        std::string all;
        for (const std::string& line : Lines())
            all += line + "\n";
        return all;
    }
    void Clear() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_records.clear();
    }

private:
    bool bWanted(uint32_t level) const {
        if (m_levels.empty())
            return true;
        for (ERR_e_LogLevel l : m_levels)
            if (l == level)
                return true;
        return false;
    }

    const std::vector<ERR_e_LogLevel> m_levels;
    mutable std::mutex m_mutex;
    std::vector<ERR_st_LogRecord> m_records;
    int m_id = 0;
};

}  // namespace test_support
