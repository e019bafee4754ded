// Write-back cache of a private output container (BIG::File::EnablePrivateOutput).
//
// A bigfile that nobody reads until it is complete and moved into place need
// not reach its files in the order the table writes it: the cache holds the
// written bytes in pages of kPageSize and writes a page only when it is
// evicted (least recently used first), when a forward write has filled it
// and moved on to the next page, or when flushed, so that the many small
// writes of the table editor (entries rewritten as they change, segment
// headers after every write) cost memory copies, and contents reach the file
// in page-sized writes. The bytes that end up in each file are exactly those
// the uncached writes would have left there.
//
// Background writer: evicted and filled pages are handed to one writer thread
// (started with the first such page, joined by the destructor), so that the
// caller goes on filling pages while the system call copies the last ones.
// At most kWriterPages are handed over at a time; the caller waits only when
// all of them are still queued or being written. The writer takes pages in
// the order they were handed over, and the caller writes nothing itself while
// the writer has work, so the n-th write of an output stays the same write.
// A page handed over and needed again comes back from the writer's buffer:
// taken back unwritten while queued, after its write once started.
//
// Failure: a write that fails, on the writer or in bFlush, fails the cache
// for good: every later bWrite and bFlush, and any bRead that needs the
// writer, return false. A failed background write thus surfaces at the next
// write or at the flush at the latest. After a failure the files are
// incomplete and must be discarded, which is what a private output does.
//
// Drop and the destructor cancel the pages still queued of what they forget
// and wait for the one being written: nothing reaches a file after either
// returns, so the owner may close or remove the files then.
//
// Thread safety: the public calls are for one thread at a time (the owning
// container's caller); the writer thread is internal.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "platform/File.h"
#include "platform/Thread.h"
#include "platform/ThreadAnnotations.h"

namespace BIG {

class WriteBackCache {
public:
    static constexpr uint32_t kPageSize = 1u << 20;
    static constexpr size_t kDefaultPages = 8;
    // Pages the writer may hold at a time (queued, being written or written
    // and kept for a page that comes back); their buffers come on top of the
    // held pages'.
    static constexpr size_t kWriterPages = 4;

    explicit WriteBackCache(size_t maxPages = kDefaultPages) : m_maxPages(maxPages < 2 ? 2 : maxPages) {}
    ~WriteBackCache();
    WriteBackCache(const WriteBackCache&) = delete;
    WriteBackCache& operator=(const WriteBackCache&) = delete;

    // Writes `count` bytes at `offset` of segment file `segment` (handle `file`).
    bool bWrite(uint16_t segment, PLT::FileHandle file, uint64_t offset, const void* data, uint32_t count);
    // Reads what the file holds at `offset` once every held page is written.
    bool bRead(uint16_t segment, PLT::FileHandle file, uint64_t offset, void* data, uint32_t count);
    // Waits for the writer, then writes every held page, in file and offset
    // order; the pages stay held, clean.
    bool bFlush();
    // Forgets the pages of `segment` and later segments without writing them.
    void Drop(uint16_t fromSegment);

    // Frees the page buffers kept for later caches (they outlive each cache).
    static void ReleaseSparePages();

private:
    struct Page {
        uint16_t uw_Segment = 0;
        PLT::FileHandle h_File = PLT::kInvalidFile;
        uint64_t ull_Index = 0;  // page number within the segment file
        uint32_t ul_Valid = 0;   // bytes from the page start that the file will hold
        uint64_t ull_LastUse = 0;
        bool b_Held = false;  // else the slot is free (its buffer, if any, is spare)
        bool b_Dirty = false;
        std::unique_ptr<uint8_t[]> p_Data;
    };

    enum class SlotState : uint8_t {
        eFree,     // holds no page (its buffer, if any, is spare)
        eQueued,   // waits for the writer; the caller may take it back
        eWriting,  // the writer reads the buffer: nobody else touches it
        eWritten,  // in the file; the bytes are kept until the slot is needed
        eFailed,   // its write failed (the cache has failed)
    };
    // A page in the writer's hands. The target and the buffer are set by the
    // caller while the slot is eFree, eWritten or eFailed, and read by the
    // writer while it is eQueued or eWriting: the state, under m_mutex, says
    // whose they are.
    struct Slot {
        uint16_t uw_Segment = 0;
        PLT::FileHandle h_File = PLT::kInvalidFile;
        uint64_t ull_Index = 0;
        uint32_t ul_Valid = 0;
        SlotState e_State = SlotState::eFree;
        std::unique_ptr<uint8_t[]> p_Data;
    };

    // The page holding `index` of `segment`, loaded or made; null on a failure.
    Page* pGet(uint16_t segment, PLT::FileHandle file, uint64_t index);
    Page* pFind(uint16_t segment, uint64_t index);
    // A slot free to take a page: unused, clean, or emptied by handing its
    // dirty page to the writer. Null when the cache has failed.
    Page* pFreeSlot();
    // Fills `slot` with the page from the writer's hands, if it is there;
    // false when it is not. `*failed` when it was, but its write failed;
    // `*pendingEnd` gets the furthest end in `segment`'s file of the other
    // pages the writer holds.
    bool bTakeBack(uint16_t segment, uint64_t index, Page& slot, bool* failed, uint64_t* pendingEnd)
        PLT_EXCLUDES(m_mutex);
    // Hands the dirty `page` to the writer, the page's slot becoming free.
    // With `wait` false, gives up (false) rather than wait for a slot of the writer.
    bool bHandOver(Page& page, bool wait) PLT_EXCLUDES(m_mutex);
    // Waits until the writer has nothing queued or being written; false when
    // the cache has failed.
    bool bSettle() PLT_EXCLUDES(m_mutex);
    // Notes in the disk ends what a written slot put in its file.
    void NoteWritten(const Slot& slot) PLT_REQUIRES(m_mutex);
    bool bWritePage(Page& page);
    uint64_t& DiskEnd(uint16_t segment);
    void WriterLoop() PLT_EXCLUDES(m_mutex);
    // Cancels the queued pages, waits for the one being written and stops the writer.
    void StopWriter() PLT_EXCLUDES(m_mutex);

    size_t m_maxPages;
    uint64_t m_ullClock = 0;
    std::vector<Page> m_pages;
    // Per segment: bytes from the file start that have been written to the
    // file, as far as the caller has seen the writer's work.
    std::vector<uint64_t> m_diskEnd;

    PLT::Mutex m_mutex;
    std::condition_variable_any m_work;  // the writer waits for a queued page or the stop
    std::condition_variable_any m_done;  // the caller waits for a slot to leave eQueued/eWriting
    std::array<Slot, kWriterPages> m_slots PLT_GUARDED_BY(m_mutex);
    std::deque<size_t> m_queue PLT_GUARDED_BY(m_mutex);  // slot numbers, oldest first
    size_t m_busy PLT_GUARDED_BY(m_mutex) = 0;           // slots eQueued or eWriting
    bool m_bStop PLT_GUARDED_BY(m_mutex) = false;
    std::atomic<bool> m_bFailed{false};
    std::unique_ptr<PLT::Thread> m_pWriter;  // started with the first page handed over
};

}  // namespace BIG
