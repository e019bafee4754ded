// Makes finished outputs durable off the writing thread.
//
// An output moves into place only once its files are on the disk: a crash
// right after the move must not leave, where the previous bigfile stood, a
// file whose blocks were never written. Waiting for the disk costs tens of
// milliseconds per output, which the writer spends on the next output when
// the wait happens here: each queued sync runs on a thread of its own, and
// the caller takes them back oldest first, moving each output into place
// once bFinish has said its files reached the disk.
//
// Threads: Start, bOldestEnded, bFinish and the destructor belong to one
// thread, the caller's. The files must not be removed or moved until their
// bFinish.
#pragma once

#include <deque>
#include <memory>
#include <string>
#include <vector>

namespace ORVEX {

class OVI_SyncQueue {
public:
    OVI_SyncQueue();
    // Waits for every queued sync.
    ~OVI_SyncQueue();
    OVI_SyncQueue(const OVI_SyncQueue&) = delete;
    OVI_SyncQueue& operator=(const OVI_SyncQueue&) = delete;

    // Queues the sync of the files at `paths` (written and closed). When no
    // thread can be started, syncs them before returning.
    void Start(std::vector<std::string> paths);
    // True when the oldest queued sync has ended: its bFinish does not wait.
    bool bOldestEnded() const;
    // Waits for the oldest queued sync and takes it. False, with the file and
    // the reason in `*error`, when a file could not be opened or synced, or
    // when nothing is queued.
    bool bFinish(std::string* error);

private:
    struct Job;
    std::deque<std::unique_ptr<Job>> m_jobs;
};

}  // namespace ORVEX
