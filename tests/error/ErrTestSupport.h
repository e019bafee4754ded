// Shared fixture pieces for the error library's tests.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "ERRor/ERR_Assert.h"
#include "ERRor/ERR_Dialog.h"
#include "ERRor/ERR_Log.h"
#include "ERRor/ERR_LogFile.h"
#include "ERRor/ERR_MessageBox.h"

// Collects every record handed to the listeners while it lives.
class LogCapture {
public:
    LogCapture() {
        m_id = ERR_AddLogListener([this](const ERR_st_LogRecord& r) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_records.push_back(r);
        });
    }
    ~LogCapture() { ERR_RemoveLogListener(m_id); }
    std::vector<ERR_st_LogRecord> Records() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_records;
    }

private:
    int m_id;
    std::mutex m_mutex;
    std::vector<ERR_st_LogRecord> m_records;
};

// Puts the process switches back to a known state around each test: automatic
// mode, no throw-on-stop, no dialog handler, no main window, empty journal.
inline void ResetErrorState() {
    ERR_SetInteractive(false);
    ERR_SetThrowOnStop(false);
    ERR_SetDialogHandler({});
    ERR_SetMainWindow(false);
    ERR_rJournal().Clear();
}

inline std::vector<ERR_cl_LogFile::Record> JournalRecords() {
    std::vector<uint8_t> bytes = ERR_rJournal().Bytes();
    std::vector<ERR_cl_LogFile::Record> records;
    ERR_cl_LogFile::bDecode(bytes.data(), bytes.size(), &records);
    return records;
}

// The texts of the journal's text records, in order.
inline std::vector<std::string> JournalTexts() {
    std::vector<std::string> texts;
    for (const auto& r : JournalRecords())
        if (r.kind == ERR_cl_LogFile::kRecordText)
            texts.push_back(r.text);
    return texts;
}
