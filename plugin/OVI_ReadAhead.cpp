#include "plugin/OVI_ReadAhead.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <new>

#include "BIGfile/AsynchronousIO/BIG_AsynchronousIOManager.h"
#include "BIGfile/BIG_ContentHead.h"
#include "BIGfile/BIG_Fat.h"
#include "platform/Thread.h"

namespace ORVEX {
namespace {

constexpr uint32_t kLengthSize = BIG_st_ContentHead::kLengthSize;
// The first read takes the length word and, for most game files, the whole
// content, as the table's own load does.
constexpr uint32_t kHeadBytes = 4096;

// One content to read: the writer's slot and where its length word lies.
struct Job {
    uint32_t ul_Slot = 0;
    BIG_POS o_Head;
    uint64_t ull_Available = 0;  // container bytes from the length word on
};

}  // namespace

struct OVI_ReadAhead::Impl {
    // One job's outcome, in job order. No data: not read; its room (if any)
    // still counts until it is released.
    struct Item {
        size_t ul_Job = 0;
        uint64_t ull_Offset = 0;
        uint32_t ul_Size = 0;
        uint64_t ull_Room = 0;
        bool b_Read = false;
    };

    Impl(const BIG_cl_Fat& source, Limits limits) : source(source), limits(limits) {}

    const BIG_cl_Fat& source;
    const Limits limits;
    std::vector<Job> jobs;  // immutable once the worker runs
    std::unique_ptr<uint8_t[]> ring;
    uint64_t ull_Capacity = 0;
    PLT::Thread thread;
    size_t ul_NextJob = 0;  // the writer's side only

    PLT::Mutex mutex;
    // Signalled when an item is ready, room is given back, or the worker stops or ends.
    std::condition_variable_any changed;
    std::deque<Item> ready PLT_GUARDED_BY(mutex);
    // Ring bytes handed out since the start (head) and given back (tail);
    // head - tail bytes are held. Released in the order they were reserved.
    uint64_t ull_Head PLT_GUARDED_BY(mutex) = 0;
    uint64_t ull_Tail PLT_GUARDED_BY(mutex) = 0;
    uint32_t ul_Items PLT_GUARDED_BY(mutex) = 0;  // items reserved and not released
    uint64_t ull_Releases PLT_GUARDED_BY(mutex) = 0;
    // The worker found no room, and ull_Releases was ull_StuckAt then.
    bool b_WaitingForRoom PLT_GUARDED_BY(mutex) = false;
    uint64_t ull_StuckAt PLT_GUARDED_BY(mutex) = 0;
    bool b_Stop PLT_GUARDED_BY(mutex) = false;
    bool b_Ended PLT_GUARDED_BY(mutex) = false;

    // Reserves `size` contiguous ring bytes (none for 0); false when they do
    // not fit beside the bytes held. A content never wraps: the ring's tail
    // end is skipped as padding when it is too short.
    bool bReserve(uint32_t size, uint64_t* offset, uint64_t* room) PLT_REQUIRES(mutex) {
        if (ul_Items >= limits.ul_Items)
            return false;
        if (ull_Head == ull_Tail)
            ull_Head = ull_Tail = 0;  // empty: start at the ring's start
        const uint64_t at = ull_Head % (ull_Capacity != 0 ? ull_Capacity : 1);
        const uint64_t pad = size != 0 && at + size > ull_Capacity ? ull_Capacity - at : 0;
        if (size != 0 && (ull_Head - ull_Tail) + pad + size > ull_Capacity)
            return false;
        *offset = size != 0 && pad == 0 ? at : 0;
        *room = size != 0 ? pad + size : 0;
        ull_Head += *room;
        ++ul_Items;
        return true;
    }

    void ReleaseLocked(uint64_t room) PLT_REQUIRES(mutex) {
        ull_Tail += room;
        --ul_Items;
        ++ull_Releases;
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
        if (uint64_t{kLengthSize} + length > job.ull_Available || length > ull_Capacity)
            return 0;
        return length;
    }

    void Work() PLT_EXCLUDES(mutex) {
        uint8_t head[kHeadBytes];
        for (size_t j = 0; j < jobs.size(); ++j) {
            uint32_t got = 0;
            const uint32_t length = ul_Length(jobs[j], head, &got);
            Item item;
            item.ul_Job = j;
            {
                PLT::ScopedLock<PLT::Mutex> lock(mutex);
                for (;;) {
                    if (b_Stop)
                        break;
                    if (bReserve(length, &item.ull_Offset, &item.ull_Room))
                        break;
                    b_WaitingForRoom = true;
                    ull_StuckAt = ull_Releases;
                    changed.notify_all();
                    changed.wait(mutex);
                }
                b_WaitingForRoom = false;
                if (b_Stop)
                    break;
            }
            if (length != 0) {
                uint8_t* to = ring.get() + item.ull_Offset;
                const uint32_t first = std::min(length, got - kLengthSize);
                std::memcpy(to, head + kLengthSize, first);
                const uint32_t rest = length - first;
                item.b_Read =
                    rest == 0 || source.ul_ReadQuietly(jobs[j].o_Head, uint64_t{kLengthSize} + first,
                                                       to + first, rest) == rest;
                item.ul_Size = length;
            }
            {
                PLT::ScopedLock<PLT::Mutex> lock(mutex);
                ready.push_back(item);
            }
            changed.notify_all();
        }
        {
            PLT::ScopedLock<PLT::Mutex> lock(mutex);
            b_Ended = true;
        }
        changed.notify_all();
    }

    void Release(uint64_t room) PLT_EXCLUDES(mutex) {
        {
            PLT::ScopedLock<PLT::Mutex> lock(mutex);
            ReleaseLocked(room);
        }
        changed.notify_all();
    }
};

OVI_ReadAhead::Content::Content(Content&& other) noexcept
    : mpo_Owner(other.mpo_Owner),
      mpu8_Data(other.mpu8_Data),
      mul_Size(other.mul_Size),
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
    if (mpo_Owner != nullptr)
        mpo_Owner->Release(mull_Room);
    mpo_Owner = nullptr;
    mpu8_Data = nullptr;
    mul_Size = 0;
    mull_Room = 0;
}

OVI_ReadAhead::OVI_ReadAhead(const BIG_cl_Fat& source, const std::vector<uint32_t>& files, Limits limits)
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
        c.jobs.push_back(Job{static_cast<uint32_t>(slot), place.o_Head, place.ull_Available});
    }
    if (c.jobs.empty())
        return;
    c.ull_Capacity = limits.ull_Bytes;
    c.ring.reset(new (std::nothrow) uint8_t[c.ull_Capacity]);
    if (c.ring == nullptr || !c.thread.Start("read-ahead", [&c] { c.Work(); })) {
        c.jobs.clear();
        return;
    }
}

OVI_ReadAhead::~OVI_ReadAhead() {
    Stop();
}

void OVI_ReadAhead::Stop() {
    Impl& c = *m_pImpl;
    {
        PLT::ScopedLock<PLT::Mutex> lock(c.mutex);
        c.b_Stop = true;
    }
    c.changed.notify_all();
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
    const size_t job = c.ul_NextJob++;

    {
        PLT::ScopedLock<PLT::Mutex> lock(c.mutex);
        for (;;) {
            // Contents of slots passed over go back at once.
            bool released = false;
            while (!c.ready.empty() && c.ready.front().ul_Job < job) {
                c.ReleaseLocked(c.ready.front().ull_Room);
                c.ready.pop_front();
                released = true;
            }
            if (released)
                c.changed.notify_all();
            if (!c.ready.empty()) {
                const Impl::Item item = c.ready.front();
                if (item.ul_Job != job)
                    break;  // never: the worker hands over every job in order
                c.ready.pop_front();
                if (!item.b_Read) {
                    c.ReleaseLocked(item.ull_Room);
                    c.changed.notify_all();
                    break;
                }
                content.mpo_Owner = &c;
                content.mpu8_Data = c.ring.get() + item.ull_Offset;
                content.mul_Size = item.ul_Size;
                content.mull_Room = item.ull_Room;
                break;
            }
            // Nothing was given back since the worker found no room: what it
            // waits for is held by contents not yet released, and this one is
            // loaded by the caller instead.
            if (c.b_Ended || c.b_Stop || (c.b_WaitingForRoom && c.ull_StuckAt == c.ull_Releases))
                break;
            c.changed.wait(c.mutex);
        }
    }
    return content;
}

}  // namespace ORVEX
