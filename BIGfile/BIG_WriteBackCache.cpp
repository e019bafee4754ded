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
    static constexpr size_t kMaxKept = WriteBackCache::kDefaultPages;

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
    for (Page& page : m_pages)
        GiveBack(page.p_Data);
}

uint64_t& WriteBackCache::DiskEnd(uint16_t segment) {
    if (segment >= m_diskEnd.size())
        m_diskEnd.resize(size_t{segment} + 1, 0);
    return m_diskEnd[segment];
}

WriteBackCache::Page* WriteBackCache::pFind(uint16_t segment, uint64_t index) {
    for (Page& page : m_pages)
        if (page.uw_Segment == segment && page.ull_Index == index && page.p_Data)
            return &page;
    return nullptr;
}

bool WriteBackCache::bWritePage(Page& page) {
    if (!page.b_Dirty)
        return true;
    if (page.ul_Valid != 0 &&
        !PLT::WriteAt(page.h_File, page.ull_Index * kPageSize, page.p_Data.get(), page.ul_Valid))
        return false;
    // A full page leaves the cache for good in most cases (contents are
    // written front to back): its way to the disk overlaps the work that
    // follows instead of waiting for the final flush.
    if (page.ul_Valid == kPageSize)
        PLT::StartWriteback(page.h_File, page.ull_Index * kPageSize, kPageSize);
    uint64_t& end = DiskEnd(page.uw_Segment);
    end = std::max(end, page.ull_Index * kPageSize + page.ul_Valid);
    page.b_Dirty = false;
    return true;
}

WriteBackCache::Page* WriteBackCache::pGet(uint16_t segment, PLT::FileHandle file, uint64_t index) {
    if (Page* page = pFind(segment, index)) {
        page->ull_LastUse = ++m_ullClock;
        return page;
    }
    Page* slot = nullptr;
    if (m_pages.size() < m_maxPages) {
        m_pages.emplace_back();
        slot = &m_pages.back();
        slot->p_Data = Pool().Take();
    } else {
        slot = &*std::min_element(m_pages.begin(), m_pages.end(),
                                  [](const Page& a, const Page& b) { return a.ull_LastUse < b.ull_LastUse; });
        if (!bWritePage(*slot))
            return nullptr;
        if (!slot->p_Data)
            slot->p_Data = Pool().Take();
    }
    slot->uw_Segment = segment;
    slot->h_File = file;
    slot->ull_Index = index;
    slot->b_Dirty = false;
    slot->ull_LastUse = ++m_ullClock;
    // What an earlier eviction left in the file comes back; the bytes past it
    // are undefined until written (a write past ul_Valid zeroes the gap).
    const uint64_t start = index * kPageSize;
    const uint64_t onDisk =
        DiskEnd(segment) > start ? std::min<uint64_t>(DiskEnd(segment) - start, kPageSize) : 0;
    slot->ul_Valid = static_cast<uint32_t>(onDisk);
    if (onDisk != 0 && !PLT::ReadAt(file, start, slot->p_Data.get(), static_cast<uint32_t>(onDisk))) {
        GiveBack(slot->p_Data);  // no page holds this slot now
        return nullptr;
    }
    return slot;
}

bool WriteBackCache::bWrite(uint16_t segment, PLT::FileHandle file, uint64_t offset, const void* data,
                            uint32_t count) {
    const uint8_t* from = static_cast<const uint8_t*>(data);
    while (count != 0) {
        Page* page = pGet(segment, file, offset / kPageSize);
        if (page == nullptr)
            return false;
        const uint32_t at = static_cast<uint32_t>(offset % kPageSize);
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
    std::vector<Page*> order;
    for (Page& page : m_pages)
        if (page.p_Data && page.b_Dirty)
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
    for (Page& page : m_pages)
        if (page.uw_Segment >= fromSegment) {
            page.b_Dirty = false;
            GiveBack(page.p_Data);
        }
    if (m_diskEnd.size() > fromSegment)
        m_diskEnd.resize(fromSegment);
}

}  // namespace BIG
