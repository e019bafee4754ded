#include "BIGfile/BIG_WriteBackCache.h"

#include <algorithm>
#include <cstring>
#include <mutex>

#include "DesignPaTterns/DPT_Singleton.h"

namespace BIG {

namespace {

// Page buffers outlive the caches that used them: a split makes one cache
// per output, and a fresh buffer costs a page fault for every 4 KiB of it
// (a fifth of a split's writing time went to those faults).
class PagePool {
public:
    static constexpr size_t kMaxKept = WriteBackCache::kDefaultPages + WriteBackCache::kWriterPages;

    std::unique_ptr<uint8_t[]> Take() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (!m_free.empty()) {
                std::unique_ptr<uint8_t[]> page = std::move(m_free.back());
                m_free.pop_back();
                return page;
            }
        }
        return std::unique_ptr<uint8_t[]>(new uint8_t[WriteBackCache::kPageSize]);
    }
    void Give(std::unique_ptr<uint8_t[]> page) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (page && m_free.size() < kMaxKept)
            m_free.push_back(std::move(page));
    }

private:
    std::mutex m_mutex;
    std::vector<std::unique_ptr<uint8_t[]>> m_free;
};

// Kept until ReleaseSparePages: a cache destroyed during the static
// destruction still has a pool to give its pages to.
PagePool& Pool() {
    return DPT::Singleton<PagePool>::Instance();
}

void GiveBack(std::unique_ptr<uint8_t[]>& page) {
    if (page)
        Pool().Give(std::move(page));
    page.reset();
}

}  // namespace

void WriteBackCache::ReleaseSparePages() {
    DPT::Singleton<PagePool>::Destroy();
}

WriteBackCache::~WriteBackCache() {
    StopWriter();
    for (Page& page : m_pages)
        GiveBack(page.p_Data);
    PLT::ScopedLock<PLT::Mutex> lock(m_mutex);
    for (Slot& slot : m_slots)
        GiveBack(slot.p_Data);
}

uint64_t& WriteBackCache::DiskEnd(uint16_t segment) {
    if (segment >= m_diskEnd.size())
        m_diskEnd.resize(size_t{segment} + 1, 0);
    return m_diskEnd[segment];
}

void WriteBackCache::NoteWritten(const Slot& slot) {
    uint64_t& end = DiskEnd(slot.uw_Segment);
    end = std::max(end, slot.ull_Index * kPageSize + slot.ul_Valid);
}

WriteBackCache::Page* WriteBackCache::pFind(uint16_t segment, uint64_t index) {
    for (Page& page : m_pages)
        if (page.b_Held && page.uw_Segment == segment && page.ull_Index == index)
            return &page;
    return nullptr;
}

bool WriteBackCache::bWritePage(Page& page) {
    if (!page.b_Dirty)
        return true;
    if (page.ul_Valid != 0 &&
        !PLT::WriteAt(page.h_File, page.ull_Index * kPageSize, page.p_Data.get(), page.ul_Valid)) {
        m_bFailed.store(true);
        return false;
    }
    if (page.ul_Valid == kPageSize)
        PLT::StartWriteback(page.h_File, page.ull_Index * kPageSize, kPageSize);
    uint64_t& end = DiskEnd(page.uw_Segment);
    end = std::max(end, page.ull_Index * kPageSize + page.ul_Valid);
    page.b_Dirty = false;
    return true;
}

// ---------------------------------------------------------------- the writer

void WriteBackCache::WriterLoop() {
    m_mutex.Lock();
    for (;;) {
        while (m_queue.empty() && !m_bStop)
            m_work.wait(m_mutex);
        if (m_queue.empty())
            break;
        Slot& slot = m_slots[m_queue.front()];
        m_queue.pop_front();
        slot.e_State = SlotState::eWriting;
        const PLT::FileHandle file = slot.h_File;
        const uint64_t at = slot.ull_Index * kPageSize;
        const uint32_t size = slot.ul_Valid;
        const uint8_t* data = slot.p_Data.get();
        // After a failure the output is lost: nothing more is worth writing.
        const bool skip = m_bFailed.load();
        m_mutex.Unlock();
        const bool written = !skip && (size == 0 || PLT::WriteAt(file, at, data, size));
        // A full page leaves the cache for good in most cases (contents are
        // written front to back): its way to the disk overlaps the work that
        // follows instead of waiting for the final flush.
        if (written && size == kPageSize)
            PLT::StartWriteback(file, at, kPageSize);
        m_mutex.Lock();
        if (!written)
            m_bFailed.store(true);
        slot.e_State = written ? SlotState::eWritten : SlotState::eFailed;
        --m_busy;
        m_done.notify_all();
    }
    m_mutex.Unlock();
}

void WriteBackCache::StopWriter() {
    if (!m_pWriter)
        return;
    {
        PLT::ScopedLock<PLT::Mutex> lock(m_mutex);
        for (const size_t n : m_queue)
            m_slots[n].e_State = SlotState::eFree;
        m_busy -= m_queue.size();
        m_queue.clear();
        m_bStop = true;
    }
    m_work.notify_all();
    m_pWriter->Join();
    m_pWriter.reset();
}

bool WriteBackCache::bHandOver(Page& page, bool wait) {
    if (!m_pWriter) {
        m_pWriter = std::make_unique<PLT::Thread>();
        if (!m_pWriter->Start("page-writer", [this] { WriterLoop(); })) {
            // No thread to be had: the page is written here, as it always could be.
            m_pWriter.reset();
            if (!bWritePage(page))
                return false;
            page.b_Held = false;
            return true;
        }
    }
    {
        PLT::ScopedLock<PLT::Mutex> lock(m_mutex);
        size_t n = kWriterPages;
        for (;;) {
            if (m_bFailed.load())
                return false;
            for (size_t k = 0; k < kWriterPages && n == kWriterPages; ++k)
                if (m_slots[k].e_State == SlotState::eFree)
                    n = k;
            for (size_t k = 0; k < kWriterPages && n == kWriterPages; ++k)
                if (m_slots[k].e_State == SlotState::eWritten)
                    n = k;
            if (n != kWriterPages)
                break;
            if (!wait)
                return false;
            m_done.wait(m_mutex);
        }
        Slot& slot = m_slots[n];
        if (slot.e_State == SlotState::eWritten)
            NoteWritten(slot);
        slot.uw_Segment = page.uw_Segment;
        slot.h_File = page.h_File;
        slot.ull_Index = page.ull_Index;
        slot.ul_Valid = page.ul_Valid;
        std::swap(slot.p_Data, page.p_Data);
        slot.e_State = SlotState::eQueued;
        ++m_busy;
        m_queue.push_back(n);
    }
    m_work.notify_one();
    page.b_Held = false;
    page.b_Dirty = false;
    return true;
}

bool WriteBackCache::bTakeBack(uint16_t segment, uint64_t index, Page& slot, bool* failed,
                               uint64_t* pendingEnd) {
    *failed = false;
    *pendingEnd = 0;
    if (!m_pWriter)
        return false;
    PLT::ScopedLock<PLT::Mutex> lock(m_mutex);
    size_t n = kWriterPages;
    for (size_t k = 0; k < kWriterPages; ++k) {
        const Slot& s = m_slots[k];
        if (s.e_State == SlotState::eFree || s.uw_Segment != segment)
            continue;
        if (s.ull_Index == index)
            n = k;
        else if (s.e_State != SlotState::eFailed)
            *pendingEnd = std::max(*pendingEnd, s.ull_Index * kPageSize + s.ul_Valid);
    }
    if (n == kWriterPages)
        return false;
    Slot& s = m_slots[n];
    bool dirty = false;
    if (s.e_State == SlotState::eQueued) {
        // Not started: it comes back as it went, still to be written.
        m_queue.erase(std::find(m_queue.begin(), m_queue.end(), n));
        --m_busy;
        dirty = true;
    }
    while (s.e_State == SlotState::eWriting)
        m_done.wait(m_mutex);
    if (s.e_State == SlotState::eFailed) {
        *failed = true;
        return true;
    }
    if (s.e_State == SlotState::eWritten)
        NoteWritten(s);
    slot.h_File = s.h_File;
    slot.ul_Valid = s.ul_Valid;
    slot.b_Dirty = dirty;
    std::swap(slot.p_Data, s.p_Data);
    s.e_State = SlotState::eFree;
    return true;
}

bool WriteBackCache::bSettle() {
    if (!m_pWriter)
        return !m_bFailed.load();
    PLT::ScopedLock<PLT::Mutex> lock(m_mutex);
    while (m_busy != 0)
        m_done.wait(m_mutex);
    for (const Slot& slot : m_slots)
        if (slot.e_State == SlotState::eWritten)
            NoteWritten(slot);
    return !m_bFailed.load();
}

// ---------------------------------------------------------------- pages

WriteBackCache::Page* WriteBackCache::pFreeSlot() {
    for (Page& page : m_pages)
        if (!page.b_Held)
            return &page;
    if (m_pages.size() < m_maxPages) {
        m_pages.emplace_back();
        return &m_pages.back();
    }
    Page* victim = &*std::min_element(m_pages.begin(), m_pages.end(), [](const Page& a, const Page& b) {
        return a.ull_LastUse < b.ull_LastUse;
    });
    if (victim->b_Dirty && !bHandOver(*victim, true))
        return nullptr;
    victim->b_Held = false;
    return victim;
}

WriteBackCache::Page* WriteBackCache::pGet(uint16_t segment, PLT::FileHandle file, uint64_t index) {
    if (Page* page = pFind(segment, index)) {
        page->ull_LastUse = ++m_ullClock;
        return page;
    }
    if (m_bFailed.load())
        return nullptr;
    Page* slot = pFreeSlot();
    if (slot == nullptr)
        return nullptr;
    bool failed = false;
    uint64_t pendingEnd = 0;
    if (bTakeBack(segment, index, *slot, &failed, &pendingEnd)) {
        if (failed)
            return nullptr;
    } else {
        // What earlier writes left in the file comes back; the bytes past it
        // are undefined until written (a write past ul_Valid zeroes the gap).
        // The writer must be done with whatever may lie in the file below
        // this page's end, as if it had been written when handed over.
        const uint64_t start = index * kPageSize;
        if (pendingEnd > start && !bSettle())
            return nullptr;
        const uint64_t onDisk =
            DiskEnd(segment) > start ? std::min<uint64_t>(DiskEnd(segment) - start, kPageSize) : 0;
        if (!slot->p_Data)
            slot->p_Data = Pool().Take();
        if (onDisk != 0 && !PLT::ReadAt(file, start, slot->p_Data.get(), static_cast<uint32_t>(onDisk))) {
            GiveBack(slot->p_Data);
            return nullptr;
        }
        slot->h_File = file;
        slot->ul_Valid = static_cast<uint32_t>(onDisk);
        slot->b_Dirty = false;
    }
    slot->uw_Segment = segment;
    slot->ull_Index = index;
    slot->b_Held = true;
    slot->ull_LastUse = ++m_ullClock;
    return slot;
}

bool WriteBackCache::bWrite(uint16_t segment, PLT::FileHandle file, uint64_t offset, const void* data,
                            uint32_t count) {
    if (m_bFailed.load())
        return false;
    const uint8_t* from = static_cast<const uint8_t*>(data);
    while (count != 0) {
        const uint64_t index = offset / kPageSize;
        const uint32_t at = static_cast<uint32_t>(offset % kPageSize);
        // A write that enters a page not held, at its start, after filling
        // the page before, is appending: contents are written front to back,
        // so the filled page goes to the writer now rather than at its
        // eviction or the flush. Page 0 holds the segment header, rewritten
        // after every write. Never waits: a busy writer leaves it held.
        if (at == 0 && index >= 2 && pFind(segment, index) == nullptr) {
            Page* before = pFind(segment, index - 1);
            if (before != nullptr && before->b_Dirty && before->ul_Valid == kPageSize)
                bHandOver(*before, false);
        }
        Page* page = pGet(segment, file, index);
        if (page == nullptr)
            return false;
        const uint32_t n = std::min(count, kPageSize - at);
        // Bytes skipped over read as zero in the file, as they must here.
        if (at > page->ul_Valid)
            std::memset(page->p_Data.get() + page->ul_Valid, 0, at - page->ul_Valid);
        std::memcpy(page->p_Data.get() + at, from, n);
        page->ul_Valid = std::max(page->ul_Valid, at + n);
        page->b_Dirty = true;
        from += n;
        offset += n;
        count -= n;
    }
    return true;
}

bool WriteBackCache::bRead(uint16_t segment, PLT::FileHandle file, uint64_t offset, void* data,
                           uint32_t count) {
    uint8_t* to = static_cast<uint8_t*>(data);
    while (count != 0) {
        Page* page = pGet(segment, file, offset / kPageSize);
        if (page == nullptr)
            return false;
        const uint32_t at = static_cast<uint32_t>(offset % kPageSize);
        const uint32_t n = std::min(count, kPageSize - at);
        // Past the last written byte the file would end: a short read fails.
        if (at + n > page->ul_Valid)
            return false;
        std::memcpy(to, page->p_Data.get() + at, n);
        to += n;
        offset += n;
        count -= n;
    }
    return true;
}

bool WriteBackCache::bFlush() {
    // The writer's pages first, so that the writes stay one after another.
    if (!bSettle())
        return false;
    std::vector<Page*> order;
    for (Page& page : m_pages)
        if (page.b_Held && page.b_Dirty)
            order.push_back(&page);
    std::sort(order.begin(), order.end(), [](const Page* a, const Page* b) {
        return a->uw_Segment != b->uw_Segment ? a->uw_Segment < b->uw_Segment : a->ull_Index < b->ull_Index;
    });
    for (Page* page : order)
        if (!bWritePage(*page))
            return false;
    return true;
}

void WriteBackCache::Drop(uint16_t fromSegment) {
    if (m_pWriter) {
        PLT::ScopedLock<PLT::Mutex> lock(m_mutex);
        for (auto it = m_queue.begin(); it != m_queue.end();) {
            if (m_slots[*it].uw_Segment >= fromSegment) {
                m_slots[*it].e_State = SlotState::eFree;
                --m_busy;
                it = m_queue.erase(it);
            } else {
                ++it;
            }
        }
        for (;;) {
            bool writing = false;
            for (const Slot& slot : m_slots)
                writing = writing || (slot.e_State == SlotState::eWriting && slot.uw_Segment >= fromSegment);
            if (!writing)
                break;
            m_done.wait(m_mutex);
        }
        for (Slot& slot : m_slots)
            if (slot.uw_Segment >= fromSegment && slot.e_State != SlotState::eFailed)
                slot.e_State = SlotState::eFree;
    }
    for (Page& page : m_pages)
        if (page.b_Held && page.uw_Segment >= fromSegment) {
            page.b_Held = false;
            page.b_Dirty = false;
            GiveBack(page.p_Data);
        }
    if (m_diskEnd.size() > fromSegment)
        m_diskEnd.resize(fromSegment);
}

}  // namespace BIG
