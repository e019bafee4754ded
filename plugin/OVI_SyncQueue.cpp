#include "plugin/OVI_SyncQueue.h"

#include <atomic>

#include "platform/File.h"
#include "platform/Thread.h"

namespace ORVEX {
namespace {

// Opens each file of `paths` and waits until its data is on the disk. False
// at the first that fails, with the file and the reason in `*error`.
bool bSyncFiles(const std::vector<std::string>& paths, std::string* error) {
    for (const std::string& path : paths) {
        // The data written through any descriptor of a file is synced
        // through this one: the sync is of the file, not of a descriptor.
        const PLT::FileHandle file = PLT::OpenFile(path, PLT::Access::eRead, PLT::Disposition::eOpenExisting);
        if (file == PLT::kInvalidFile) {
            *error = "cannot open " + path + " to flush it: " + PLT::ErrorText(PLT::LastError());
            return false;
        }
        const bool synced = PLT::Flush(file);
        const int code = PLT::LastError();
        PLT::CloseFile(file);
        if (!synced) {
            *error = "cannot flush " + path + ": " + PLT::ErrorText(code);
            return false;
        }
    }
    return true;
}

}  // namespace

struct OVI_SyncQueue::Job {
    // Set before the thread starts and read by it; the outcome is the
    // thread's until b_Ended, the caller's afterwards.
    std::vector<std::string> as_Paths;
    bool b_Synced = false;
    std::string s_Error;
    std::atomic<bool> b_Ended{false};
    PLT::Thread thread;

    void Run() {
        b_Synced = bSyncFiles(as_Paths, &s_Error);
        b_Ended.store(true, std::memory_order_release);
    }
};

OVI_SyncQueue::OVI_SyncQueue() = default;

OVI_SyncQueue::~OVI_SyncQueue() {
    for (const auto& job : m_jobs) {
        if (job->thread.Joinable())
            job->thread.Join();
    }
}

void OVI_SyncQueue::Start(std::vector<std::string> paths) {
    auto job = std::make_unique<Job>();
    job->as_Paths = std::move(paths);
    Job* raw = job.get();
    if (!job->thread.Start("output-sync", [raw] { raw->Run(); }))
        job->Run();
    m_jobs.push_back(std::move(job));
}

bool OVI_SyncQueue::bOldestEnded() const {
    return !m_jobs.empty() && m_jobs.front()->b_Ended.load(std::memory_order_acquire);
}

bool OVI_SyncQueue::bFinish(std::string* error) {
    if (m_jobs.empty()) {
        *error = "no sync is queued";
        return false;
    }
    std::unique_ptr<Job> job = std::move(m_jobs.front());
    m_jobs.pop_front();
    if (job->thread.Joinable())
        job->thread.Join();
    if (!job->b_Synced)
        *error = job->s_Error;
    return job->b_Synced;
}

}  // namespace ORVEX
