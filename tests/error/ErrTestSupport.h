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
#include "tests/support/LogCapture.h"

// Every record handed to the listeners while it lives; the interactive mode
// stays as the test set it.
struct LogCapture : test_support::LogCapture {
    LogCapture() : test_support::LogCapture({}, Mode::kKeep) {}
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
