#include "plugin/OVI_Gzip.h"

#include <libdeflate.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <vector>

#include "BIGfile/BIG_Endian.h"
#include "platform/File.h"
#include "platform/Thread.h"

namespace ORVEX {
namespace {

// Member header: magic, deflate, no flags, time, no extra flags, Unix.
constexpr size_t kHeaderSize = 10;
constexpr size_t kTrailerSize = 8;  // CRC-32 and size modulo 2^32 of the chunk
constexpr uint8_t kOsUnix = 3;

struct CompressorFree {
    void operator()(libdeflate_compressor* c) const { libdeflate_free_compressor(c); }
};
using Compressor = std::unique_ptr<libdeflate_compressor, CompressorFree>;

std::string Reason(const char* what, const std::string& path) {
    return std::string(what) + " " + path + ": " + PLT::ErrorText(PLT::LastError());
}

// One queued copy.
struct Job {
    // Set before the copy is queued, read-only afterwards.
    std::string s_Source;
    std::string s_Destination;
    uint32_t ul_Time = 0;
    PLT::FileHandle h_Source = PLT::kInvalidFile;
    PLT::FileHandle h_Destination = PLT::kInvalidFile;
    uint64_t ull_Size = 0;
    uint64_t ull_Chunks = 0;
    // Guarded by the copier's mutex.
    uint64_t ull_NextChunk = 0;  // the next chunk a worker takes
    uint64_t ull_NextWrite = 0;  // the chunk whose member is written next
    uint64_t ull_WriteAt = 0;
    unsigned ul_InFlight = 0;  // chunks taken and neither written nor dropped
    bool b_Failed = false;
    bool b_Cancelled = false;
    std::string s_Reason;

    bool bHasChunk() const { return !b_Failed && ull_NextChunk < ull_Chunks; }
    bool bEnded() const { return ul_InFlight == 0 && (b_Failed || ull_NextWrite == ull_Chunks); }
    void Fail(std::string reason) {
        if (!b_Failed)
            s_Reason = std::move(reason);
        b_Failed = true;
    }
};

}  // namespace

struct OVI_GzipCopier::Impl {
    // One worker: its compressor and buffers live as long as the copier, so
    // that a run of copies allocates them once.
    struct Slot {
        Compressor compressor;
        std::vector<uint8_t> in;
        std::vector<uint8_t> out;
        PLT::Thread thread;
        bool b_Running = false;  // its thread started (the caller's side only)
    };
    Slot slots[kGzipWorkers];
    bool b_Started = false;  // the threads were started (the caller's side only)

    mutable PLT::Mutex mutex;
    // Signalled when a copy is queued, a member written, a chunk dropped, or
    // the copier stops.
    std::condition_variable_any wake;
    std::deque<std::unique_ptr<Job>> jobs PLT_GUARDED_BY(mutex);
    bool b_Stopping PLT_GUARDED_BY(mutex) = false;

    // The next chunk of the oldest copy that has one (of `only` when given).
    Job* pst_Take(Job* only, uint64_t* index) PLT_REQUIRES(mutex) {
        Job* job = nullptr;
        if (only != nullptr) {
            job = only->bHasChunk() ? only : nullptr;
        } else {
            for (const auto& queued : jobs) {
                if (queued->bHasChunk()) {
                    job = queued.get();
                    break;
                }
            }
        }
        if (job != nullptr) {
            *index = job->ull_NextChunk++;
            ++job->ul_InFlight;
        }
        return job;
    }

    // Compresses the first `length` bytes of `slot.in` into `slot.out`; the
    // size of the member, 0 when it could not be compressed.
    static size_t ul_Compress(Slot& slot, size_t length, uint32_t time) {
        uint8_t* p = slot.out.data();
        const uint8_t header[kHeaderSize] = {0x1f, 0x8b, 8, 0, 0, 0, 0, 0, 0, kOsUnix};
        std::copy(header, header + kHeaderSize, p);
        BIG::Endian::Put32(p + 4, time);
        const size_t room = slot.out.size() - kHeaderSize - kTrailerSize;
        const size_t packed =
            libdeflate_deflate_compress(slot.compressor.get(), slot.in.data(), length, p + kHeaderSize, room);
        if (packed == 0)
            return 0;
        uint8_t* trailer = p + kHeaderSize + packed;
        BIG::Endian::Put32(trailer, libdeflate_crc32(0, slot.in.data(), length));
        BIG::Endian::Put32(trailer + 4, static_cast<uint32_t>(length));
        return kHeaderSize + packed + kTrailerSize;
    }

    // Reads, compresses and writes chunk `index` of `job`, taken by pst_Take.
    void RunChunk(Slot& slot, Job& job, uint64_t index) PLT_EXCLUDES(mutex) {
        auto drop = [&](std::string reason) {
            {
                PLT::ScopedLock<PLT::Mutex> lock(mutex);
                if (!reason.empty())
                    job.Fail(std::move(reason));
                --job.ul_InFlight;
            }
            wake.notify_all();
        };
        const uint64_t offset = index * kGzipChunkSize;
        const size_t length = static_cast<size_t>(std::min<uint64_t>(kGzipChunkSize, job.ull_Size - offset));
        if (length != 0 && !PLT::ReadAt(job.h_Source, offset, slot.in.data(), length))
            return drop(Reason("cannot read", job.s_Source));
        const size_t member = ul_Compress(slot, length, job.ul_Time);
        if (member == 0)
            return drop("cannot compress " + job.s_Source);
        // Members go out in order: wait for the ones before this one.
        uint64_t at = 0;
        bool failed = false;
        {
            PLT::ScopedLock<PLT::Mutex> lock(mutex);
            while (!job.b_Failed && job.ull_NextWrite != index)
                wake.wait(mutex);
            at = job.ull_WriteAt;
            failed = job.b_Failed;
        }
        if (failed)
            return drop(std::string());
        if (!PLT::WriteAt(job.h_Destination, at, slot.out.data(), member))
            return drop(Reason("cannot write", job.s_Destination));
        {
            PLT::ScopedLock<PLT::Mutex> lock(mutex);
            job.ull_WriteAt += member;
            ++job.ull_NextWrite;
            --job.ul_InFlight;
        }
        wake.notify_all();
    }

    // A worker thread: takes chunks of the queued copies until the copier stops.
    void Work(Slot& slot) PLT_EXCLUDES(mutex) {
        for (;;) {
            Job* job = nullptr;
            uint64_t index = 0;
            {
                PLT::ScopedLock<PLT::Mutex> lock(mutex);
                while ((job = pst_Take(nullptr, &index)) == nullptr && !b_Stopping)
                    wake.wait(mutex);
            }
            if (job == nullptr)
                return;
            RunChunk(slot, *job, index);
        }
    }

    // Takes chunks of `job` alone on the caller's thread, in the place of a
    // worker that could not start.
    void Help(Slot& slot, Job& job) PLT_EXCLUDES(mutex) {
        for (;;) {
            Job* taken = nullptr;
            uint64_t index = 0;
            {
                PLT::ScopedLock<PLT::Mutex> lock(mutex);
                taken = pst_Take(&job, &index);
            }
            if (taken == nullptr)
                return;
            RunChunk(slot, job, index);
        }
    }

    bool bAllocate() {
        for (Slot& slot : slots) {
            if (!slot.compressor)
                slot.compressor.reset(libdeflate_alloc_compressor(kGzipLevel));
            if (!slot.compressor)
                return false;
            if (slot.out.empty()) {
                slot.in.resize(kGzipChunkSize);
                slot.out.resize(kHeaderSize +
                                libdeflate_deflate_compress_bound(slot.compressor.get(), kGzipChunkSize) +
                                kTrailerSize);
            }
        }
        return true;
    }
};

OVI_GzipCopier::OVI_GzipCopier() : m_pImpl(std::make_unique<Impl>()) {}

OVI_GzipCopier::~OVI_GzipCopier() {
    while (ul_Queued() != 0)
        bFinish(nullptr);
    {
        PLT::ScopedLock<PLT::Mutex> lock(m_pImpl->mutex);
        m_pImpl->b_Stopping = true;
    }
    m_pImpl->wake.notify_all();
    for (Impl::Slot& slot : m_pImpl->slots)
        slot.thread.Join();
}

void OVI_GzipCopier::Cancel() {
    {
        PLT::ScopedLock<PLT::Mutex> lock(m_pImpl->mutex);
        for (const auto& job : m_pImpl->jobs) {
            if (!job->bEnded() && !job->b_Failed) {
                job->Fail("cancelled");
                job->b_Cancelled = true;
            }
        }
    }
    m_pImpl->wake.notify_all();
}

size_t OVI_GzipCopier::ul_Queued() const {
    PLT::ScopedLock<PLT::Mutex> lock(m_pImpl->mutex);
    return m_pImpl->jobs.size();
}

bool OVI_GzipCopier::bOldestEnded() const {
    PLT::ScopedLock<PLT::Mutex> lock(m_pImpl->mutex);
    return !m_pImpl->jobs.empty() && m_pImpl->jobs.front()->bEnded();
}

void OVI_GzipCopier::Start(const std::string& sourcePath, const std::string& destinationPath, uint32_t time) {
    Impl& c = *m_pImpl;
    auto job = std::make_unique<Job>();
    job->s_Source = sourcePath;
    job->s_Destination = destinationPath;
    job->ul_Time = time;
    job->h_Source = PLT::OpenFile(sourcePath, PLT::Access::eRead, PLT::Disposition::eOpenExisting);
    if (job->h_Source == PLT::kInvalidFile || !PLT::GetFileSize(job->h_Source, &job->ull_Size)) {
        job->Fail(Reason("cannot open", sourcePath));
    } else {
        job->h_Destination =
            PLT::OpenFile(destinationPath, PLT::Access::eReadWrite, PLT::Disposition::eCreateAlways);
        if (job->h_Destination == PLT::kInvalidFile)
            job->Fail(Reason("cannot create", destinationPath));
        else if (!c.b_Started && !c.bAllocate())
            job->Fail("no memory to compress " + destinationPath);
    }
    if (!job->b_Failed)
        job->ull_Chunks = job->ull_Size == 0 ? 1 : (job->ull_Size + kGzipChunkSize - 1) / kGzipChunkSize;

    Job& queued = *job;
    const bool failed = job->b_Failed;
    {
        PLT::ScopedLock<PLT::Mutex> lock(c.mutex);
        c.jobs.push_back(std::move(job));
    }
    c.wake.notify_all();
    if (failed)
        return;
    if (!c.b_Started) {
        c.b_Started = true;
        for (Impl::Slot& slot : c.slots)
            slot.b_Running = slot.thread.Start("gzip", [&c, &slot] { c.Work(slot); });
    }
    // With a worker short, the caller takes its share of this copy.
    for (Impl::Slot& slot : c.slots) {
        if (!slot.b_Running) {
            c.Help(slot, queued);
            break;
        }
    }
}

bool OVI_GzipCopier::bFinish(std::string* error, bool* cancelled) {
    Impl& c = *m_pImpl;
    if (cancelled != nullptr)
        *cancelled = false;
    std::unique_ptr<Job> job;
    {
        PLT::ScopedLock<PLT::Mutex> lock(c.mutex);
        if (c.jobs.empty()) {
            if (error != nullptr)
                *error = "no gzip copy is queued";
            return false;
        }
        while (!c.jobs.front()->bEnded())
            c.wake.wait(c.mutex);
        job = std::move(c.jobs.front());
        c.jobs.pop_front();
    }
    // The copy has ended: no worker touches it any more.
    if (job->h_Source != PLT::kInvalidFile)
        PLT::CloseFile(job->h_Source);
    if (job->h_Destination == PLT::kInvalidFile) {
        if (error != nullptr)
            *error = job->s_Reason;
        return false;
    }
    PLT::CloseFile(job->h_Destination);
    if (!job->b_Failed)
        return true;
    PLT::RemoveFile(job->s_Destination);
    if (error != nullptr)
        *error = job->s_Reason;
    if (cancelled != nullptr)
        *cancelled = job->b_Cancelled;
    return false;
}

bool OVI_bGzipCopy(const std::string& sourcePath, const std::string& destinationPath, std::string* error,
                   uint32_t time) {
    OVI_GzipCopier copier;
    copier.Start(sourcePath, destinationPath, time);
    return copier.bFinish(error);
}

}  // namespace ORVEX
