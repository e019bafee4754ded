// Shared by the key hash table and key holder tests: collects the assertions
// raised while an object of this class lives, with the assertion call in its
// automatic mode so that nothing waits for an answer.
#pragma once

#include <string>
#include <vector>

#include "ERRor/ERR_Assert.h"
#include "ERRor/ERR_Log.h"

class HashTestAssertions {
public:
    HashTestAssertions() {
        ERR_SetInteractive(false);
        m_id = ERR_AddLogListener([this](const ERR_st_LogRecord& record) {
            if (record.level == ERR_Level_Assert)
                m_texts.push_back(record.text);
        });
    }
    ~HashTestAssertions() { ERR_RemoveLogListener(m_id); }
    HashTestAssertions(const HashTestAssertions&) = delete;
    HashTestAssertions& operator=(const HashTestAssertions&) = delete;

    const std::vector<std::string>& Texts() const { return m_texts; }
    size_t Count() const { return m_texts.size(); }
    void Clear() { m_texts.clear(); }
    // Number of collected assertions whose line holds `message`.
    size_t CountOf(const std::string& message) const {
        size_t n = 0;
        for (const auto& text : m_texts)
            n += text.find(message) != std::string::npos;
        return n;
    }

private:
    int m_id = 0;
    std::vector<std::string> m_texts;
};
