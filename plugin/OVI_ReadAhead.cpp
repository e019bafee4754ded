#include "plugin/OVI_ReadAhead.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <new>

#include "BIGfile/AsynchronousIO/BIG_AsynchronousIOManager.h"
#include "BIGfile/BIG_ContentHead.h"
#include "BIGfile/BIG_Crc32.h"
#include "BIGfile/BIG_Endian.h"
#include "BIGfile/BIG_Fat.h"
#include "platform/Thread.h"

namespace ORVEX {
namespace {

constexpr uint32_t kLengthSize = BIG_st_ContentHead::kLengthSize;
// The first read takes the length word and, for most game files, the whole
// content, as the table's own load does.
constexpr uint32_t kHeadBytes = 4096;
// How far past the writer the worker goes when it finds itself behind.
constexpr uint64_t kFirstLead = 4;
constexpr uint64_t kMaxLead = 256;
// A worker this far ahead has caught up for good: its next fall behind skips
// little again (a lead kept at its largest left a third of the contents of
// some outputs to the writer).
constexpr uint64_t kResetLead = 64;

// One content to read: the writer's slot and where its length word lies.
struct Job {
    uint32_t ul_Slot = 0;
    BIG_POS o_Head;
    uint64_t ull_Available = 0;  // container bytes from the length word on
    uint32_t ul_Stored = 0;      // length word and content when the length is known, else 0
};

}  // namespace

struct OVI_ReadAhead::Impl {
    // The outcome of one job, in slot (job index modulo the item bound) of
    // `items`. Not read: the writer loads the file itself.
    struct Item {
        uint64_t ull_Offset = 0;
        uint64_t ull_Room = 0;  // ring bytes it holds, padding included
        uint32_t ul_Size = 0;
        uint32_t ul_Crc = 0;  // of the content's bytes, computed here for the writer's save
        bool b_Read = false;
    };

    Impl(const BIG_cl_Fat& source, Limits limits) : source(source), limits(limits) {}

    const BIG_cl_Fat& source;
    const Limits limits;
    std::vector<Job> jobs;    // fixed once the worker runs
    std::vector<Item> items;  // job j's outcome in items[j % limits.ul_Items]
    std::unique_ptr<uint8_t[]> ring;
    Ring* po_Keep = nullptr;  // where the ring goes back at the end
    uint64_t ull_Capacity = 0;
    PLT::Thread thread;

    // One producer, one consumer, handing over through these counters: the
    // worker fills job j's item and ring bytes, then raises ull_Produced
    // past j; the writer releases items in job order, raising ull_Released
    // and ull_Tail (ring bytes given back) once it no longer reads them, and
    // says how far it got (ull_WriterJob): the worker skips the jobs behind.
    std::atomic<uint64_t> ull_Produced{0};
    std::atomic<uint64_t> ull_Released{0};
    std::atomic<uint64_t> ull_Tail{0};
    std::atomic<uint64_t> ull_WriterJob{0};
    std::atomic<bool> b_Stop{false};
    // The worker, out of room, raises the flag, looks again and sleeps on
    // `wake`; the writer wakes it once half the ring and of the items are
    // free again (one wake for many contents), and Stop wakes it.
    std::atomic<bool> b_WorkerAsleep{false};
    PLT::Mutex mutex;
    std::condition_variable_any wake;

    uint64_t ull_Head = 0;                   // the worker's: ring bytes handed out
    std::atomic<uint64_t> ull_HeadShown{0};  // ull_Head as of the last item handed over
    // The writer's.
    size_t ul_NextJob = 0;
    uint64_t ull_NextRelease = 0;  // the first item not yet released
    uint64_t ull_TailBytes = 0;
    uint32_t ul_Out = 0;  // contents taken and not yet released

    template <class TDone>
    void SleepUntil(TDone done) PLT_EXCLUDES(mutex) {
        b_WorkerAsleep.store(true);
        if (!done()) {
            PLT::ScopedLock<PLT::Mutex> lock(mutex);
            while (!done())
                wake.wait(mutex);
        }
        b_WorkerAsleep.store(false);
    }
    void WakeWorker() PLT_EXCLUDES(mutex) {
        // Through the lock: the worker is either before its last look or waiting.
        { PLT::ScopedLock<PLT::Mutex> lock(mutex); }
        wake.notify_all();
    }

    // Reserves the item of job `j` and `size` contiguous ring bytes (none for
    // 0); false when they do not fit beside what the writer holds. A content
    // never wraps: a short end of the ring is skipped as padding.
    bool bReserve(uint64_t j, uint32_t size, uint64_t* offset, uint64_t* room) {
        if (j - ull_Released.load() >= limits.ul_Items)
            return false;
        *offset = 0;
        *room = 0;
        if (size == 0)
            return true;
        const uint64_t held = ull_Head - ull_Tail.load();
        const uint64_t at = ull_Head % ull_Capacity;
        const uint64_t pad = at + size > ull_Capacity ? ull_Capacity - at : 0;
        // An empty ring takes any content it can hold.
        if (held != 0 && held + pad + size > ull_Capacity)
            return false;
        *offset = pad == 0 ? at : 0;
        *room = pad + size;
        ull_Head += *room;
        return true;
    }

    // The writer gives back the oldest item it holds.
    void Release(uint64_t room) {
        ull_TailBytes += room;
        ull_Tail.store(ull_TailBytes);
        const uint64_t released = ull_Released.load() + 1;
        ull_Released.store(released);
        if (b_WorkerAsleep.load() && ull_HeadShown.load() - ull_TailBytes <= ull_Capacity / 2 &&
            ull_Produced.load() - released <= limits.ul_Items / 2)
            WakeWorker();
    }

    // The stored length of `job` when its content may be read ahead, with
    // the bytes of the first read in `head` (`*got` of them).
    uint32_t ul_Length(const Job& job, uint8_t (&head)[kHeadBytes], uint32_t* got) const {
        *got = source.ul_ReadQuietly(
            job.o_Head, 0, head, static_cast<uint32_t>(std::min<uint64_t>(kHeadBytes, job.ull_Available)));
        uint32_t length = 0;
        if (*got < kLengthSize || !BIG_st_ContentHead::bDecodeLength(head, *got, &length))
            return 0;
        // What the table's load would refuse (and report) is left to it.
        if (uint64_t{kLengthSize} + length > job.ull_Available ||
            uint64_t{kLengthSize} + length > ull_Capacity)
            return 0;
        return length;
    }

    void Work() {
        uint8_t head[kHeadBytes];
        // Behind the writer, the worker would read each next content while
        // the writer loads that same one itself: it goes that many jobs past
        // the writer instead, further each time it falls behind again.
        uint64_t lead = kFirstLead;
        uint64_t skipTo = 0;
        for (uint64_t j = 0; j < jobs.size() && !b_Stop.load(); ++j) {
            const uint64_t writer = ull_WriterJob.load();
            if (j < writer && j >= skipTo) {
                skipTo = writer + lead;
                lead = std::min(lead * 2, kMaxLead);
            } else if (j >= writer + kResetLead) {
                lead = kFirstLead;
            }
            // A job the writer has passed, or is about to take, is handed over unread.
            const bool passed = j < skipTo;
            // A known length is read in one go, straight into the ring; any
            // other starts with a head read that tells the length.
            const uint32_t stored = passed ? 0 : jobs[j].ul_Stored;
            uint32_t got = 0;
            uint32_t length = passed || stored != 0 ? 0 : ul_Length(jobs[j], head, &got);
            const uint32_t wanted = stored != 0 ? stored : length == 0 ? 0 : kLengthSize + length;
            uint64_t offset = 0, room = 0;
            bool reserved = false;
            SleepUntil([&] {
                return reserved || (reserved = bReserve(j, wanted, &offset, &room)) || b_Stop.load();
            });
            if (!reserved)
                break;
            Item item;
            item.ull_Offset = offset;
            item.ull_Room = room;
            if (stored != 0) {
                // A length word that is not the one expected leaves the file
                // to the writer's own load, with its reports.
                uint8_t* to = ring.get() + offset;
                length = stored - kLengthSize;
                item.b_Read = source.ul_ReadQuietly(jobs[j].o_Head, 0, to, stored) == stored &&
                              BIG::Endian::Get32(to) == length;
                item.ul_Size = length;
                if (item.b_Read)
                    item.ul_Crc = BIG_ul_Crc32(to + kLengthSize, length);
            } else if (length != 0) {
                // The stored form, length word first, which the writer saves as it is.
                uint8_t* to = ring.get() + offset;
                BIG::Endian::Put32(to, length);
                to += kLengthSize;
                const uint32_t first = std::min(length, got - kLengthSize);
                std::memcpy(to, head + kLengthSize, first);
                const uint32_t rest = length - first;
                item.b_Read =
                    rest == 0 || source.ul_ReadQuietly(jobs[j].o_Head, uint64_t{kLengthSize} + first,
                                                       to + first, rest) == rest;
                item.ul_Size = length;
                // The checksum pass is the writer's second largest cost per byte after the copy.
                if (item.b_Read)
                    item.ul_Crc = BIG_ul_Crc32(to, length);
            }
            items[j % limits.ul_Items] = item;
            ull_HeadShown.store(ull_Head);
            ull_Produced.store(j + 1);
        }
    }
};

OVI_ReadAhead::Content::Content(Content&& other) noexcept
    : mpo_Owner(other.mpo_Owner),
      mpu8_Data(other.mpu8_Data),
      mul_Size(other.mul_Size),
      mul_Crc(other.mul_Crc),
      mull_Room(other.mull_Room) {
    other.mpo_Owner = nullptr;
    other.mpu8_Data = nullptr;
}

OVI_ReadAhead::Content& OVI_ReadAhead::Content::operator=(Content&& other) noexcept {
    if (this != &other) {
        Release();
        mpo_Owner = other.mpo_Owner;
        mpu8_Data = other.mpu8_Data;
        mul_Size = other.mul_Size;
        mul_Crc = other.mul_Crc;
        mull_Room = other.mull_Room;
        other.mpo_Owner = nullptr;
        other.mpu8_Data = nullptr;
    }
    return *this;
}

OVI_ReadAhead::Content::~Content() {
    Release();
}

void OVI_ReadAhead::Content::Release() {
    if (mpo_Owner != nullptr) {
        --mpo_Owner->ul_Out;
        mpo_Owner->Release(mull_Room);
    }
    mpo_Owner = nullptr;
    mpu8_Data = nullptr;
    mul_Size = 0;
    mull_Room = 0;
}

OVI_ReadAhead::OVI_ReadAhead(const BIG_cl_Fat& source, const std::vector<uint32_t>& files, Limits limits,
                             Ring* keep, const std::vector<uint32_t>* lengths)
    : m_pImpl(std::make_unique<Impl>(source, limits)) {
    Impl& c = *m_pImpl;
    if (limits.ull_Bytes == 0 || limits.ul_Items == 0)
        return;
    for (size_t slot = 0; slot < files.size(); ++slot) {
        BIG_st_ContentPlace place;
        // Loose key files and package contents are loaded by the writer.
        if (files[slot] == BIG_cl_Fat::kNoFile || !source.bGetContentPlace(files[slot], &place) ||
            place.ul_Bigfile != BIG::kMainBigfile || place.po_Fat != &source)
            continue;
        Job job{static_cast<uint32_t>(slot), place.o_Head, place.ull_Available, 0};
        // A length that the container or the ring could not hold is the head read's to refuse.
        const uint64_t stored = lengths != nullptr && files[slot] < lengths->size()
                                    ? kLengthSize + uint64_t{(*lengths)[files[slot]]}
                                    : 0;
        if (stored > kLengthSize && stored <= place.ull_Available && stored <= limits.ull_Bytes)
            job.ul_Stored = static_cast<uint32_t>(stored);
        c.jobs.push_back(job);
    }
    if (c.jobs.empty())
        return;
    c.ull_Capacity = limits.ull_Bytes;
    c.items.resize(limits.ul_Items);
    if (keep != nullptr && keep->mull_Size == c.ull_Capacity)
        c.ring = std::move(keep->mpu8_Data);
    if (c.ring == nullptr)
        c.ring.reset(new (std::nothrow) uint8_t[c.ull_Capacity]);
    c.po_Keep = keep;
    if (c.ring == nullptr || !c.thread.Start("read-ahead", [&c] { c.Work(); })) {
        c.jobs.clear();
        return;
    }
}

OVI_ReadAhead::~OVI_ReadAhead() {
    Stop();
    Impl& c = *m_pImpl;
    if (c.po_Keep != nullptr && c.ring != nullptr) {
        c.po_Keep->mpu8_Data = std::move(c.ring);
        c.po_Keep->mull_Size = c.ull_Capacity;
    }
}

size_t OVI_ReadAhead::ul_GetJobCount() const {
    return m_pImpl->jobs.size();
}

size_t OVI_ReadAhead::ul_GetHandedOver() const {
    return static_cast<size_t>(m_pImpl->ull_Produced.load());
}

void OVI_ReadAhead::Stop() {
    Impl& c = *m_pImpl;
    c.b_Stop.store(true);
    c.WakeWorker();
    if (c.thread.Joinable())
        c.thread.Join();
}

OVI_ReadAhead::Content OVI_ReadAhead::Take(uint32_t slot) {
    Impl& c = *m_pImpl;
    Content content;
    while (c.ul_NextJob < c.jobs.size() && c.jobs[c.ul_NextJob].ul_Slot < slot)
        ++c.ul_NextJob;
    if (c.ul_NextJob >= c.jobs.size() || c.jobs[c.ul_NextJob].ul_Slot != slot)
        return content;
    const uint64_t job = c.ul_NextJob++;
    c.ull_WriterJob.store(job + 1);
    // Items go back in the order they were read: while a content is still
    // held, nothing is released and this one is loaded by the caller.
    if (c.ul_Out != 0)
        return content;
    // Contents of slots passed over go back at once.
    const uint64_t produced = c.ull_Produced.load();
    while (c.ull_NextRelease < job && c.ull_NextRelease < produced)
        c.Release(c.items[c.ull_NextRelease++ % c.limits.ul_Items].ull_Room);
    // The writer never waits: a content not read yet is loaded by the caller
    // (and the worker skips it), which costs less than a wake-up.
    if (produced <= job)
        return content;
    const Impl::Item& item = c.items[job % c.limits.ul_Items];
    c.ull_NextRelease = job + 1;
    if (!item.b_Read) {
        c.Release(item.ull_Room);
        return content;
    }
    content.mpo_Owner = &c;
    content.mpu8_Data = c.ring.get() + item.ull_Offset + kLengthSize;
    content.mul_Size = item.ul_Size;
    content.mul_Crc = item.ul_Crc;
    content.mull_Room = item.ull_Room;
    ++c.ul_Out;
    return content;
}

}  // namespace ORVEX
