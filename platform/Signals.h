// Interrupt requests (SIGINT, SIGTERM) as a flag that long work polls at its
// own safe points, and the exclusive lock of one writer per folder.
#pragma once

#include <string>

namespace PLT {

// Catches SIGINT and SIGTERM: each only notes the request (InterruptRequested)
// and, when a function handled the signal before, calls it too, so that a
// host and a library carrying its own copy of this layer both see the same
// request. System calls are not restarted, so a blocking wait returns.
// Calls nest; ReleaseInterrupts puts back what the matching call replaced.
// Call from one thread (start-up), not from a handler.
void CatchInterrupts();
void ReleaseInterrupts();
// True once a caught signal arrived; async-signal-safe to read.
bool InterruptRequested();
// The signal that asked (SIGINT or SIGTERM), 0 when none.
int InterruptSignal();
// Forgets a request (tests).
void ClearInterrupt();

// A directory in which this process may create files (false with LastError()).
bool IsWritableDirectory(const std::string& path);

// An exclusive advisory lock (flock) on an existing folder (or file), held
// until Unlock or destruction. Nothing is written: the folder's listing
// stays as it was.
class FolderLock {
public:
    enum class Result {
        eLocked,       // this object holds the lock
        eBusy,         // another process holds it (only without waiting)
        eFailed,       // the folder cannot be opened or locked; LastError() says why
        eInterrupted,  // a caught signal ended the wait
    };

    FolderLock() = default;
    ~FolderLock();
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;

    // Locks the folder at `path`. With `wait`, blocks until the lock is free
    // or a caught signal arrives.
    Result eLock(const std::string& path, bool wait);
    void Unlock();
    bool bHeld() const { return m_fd >= 0; }

private:
    int m_fd = -1;
};

}  // namespace PLT
