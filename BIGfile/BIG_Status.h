// The one way an error travels inside the bigfile library: a kind and a message,
// returned by the container, table and writer operations.
//
// The specified interfaces (ul_CreateFile, SaveFile, WriteFileEntry, ...) keep
// their signatures: they raise their assertion or message box from the status
// in one place (BIG_cl_Fat::Raise). Callers that need the outcome of an edit
// ask the table for its edit status instead of comparing counters.
//
// A status is a small value: an ok status allocates nothing. `Update` keeps
// the first failure, so a failed outcome is never overwritten by a later ok.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

namespace BIG {

enum class StatusKind : uint8_t {
    eOk = 0,
    eNotFound,         // a key, file, directory or segment that is not there
    eCorrupt,          // the bytes on disk contradict the format
    eIOError,          // the platform refused a read, write, flush, rename or truncation
    eInvalidArgument,  // the caller asked for something the table cannot do
};

class Status {
public:
    Status() = default;
    static Status Ok() { return Status(); }
    static Status NotFound(std::string message) { return Status(StatusKind::eNotFound, std::move(message)); }
    static Status Corrupt(std::string message) { return Status(StatusKind::eCorrupt, std::move(message)); }
    static Status IOError(std::string message) { return Status(StatusKind::eIOError, std::move(message)); }
    static Status InvalidArgument(std::string message) {
        return Status(StatusKind::eInvalidArgument, std::move(message));
    }

    bool bOk() const { return m_kind == StatusKind::eOk; }
    StatusKind eKind() const { return m_kind; }
    const std::string& Message() const { return m_message; }

    // Keeps this status when it already failed; otherwise takes `other`.
    void Update(const Status& other) {
        if (bOk() && !other.bOk())
            *this = other;
    }

    // "I/O error: ..." for logs and tool output.
    std::string ToString() const {
        return bOk() ? std::string("OK") : std::string(KindName(m_kind)) + ": " + m_message;
    }
    static const char* KindName(StatusKind kind) {
        switch (kind) {
            case StatusKind::eOk:
                return "OK";
            case StatusKind::eNotFound:
                return "not found";
            case StatusKind::eCorrupt:
                return "corrupt";
            case StatusKind::eIOError:
                return "I/O error";
            case StatusKind::eInvalidArgument:
                return "invalid argument";
        }
        return "unknown";
    }

private:
    Status(StatusKind kind, std::string message) : m_kind(kind), m_message(std::move(message)) {}

    StatusKind m_kind = StatusKind::eOk;
    std::string m_message;
};

}  // namespace BIG
