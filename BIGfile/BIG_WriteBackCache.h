// Write-back cache of a private output container (BIG::File::EnablePrivateOutput).
//
// A bigfile that nobody reads until it is complete and moved into place need
// not reach its files in the order the table writes it: the cache holds the
// written bytes in pages of kPageSize and writes a page only when it is
// evicted (least recently used first) or flushed, so that the many small
// writes of the table editor (entries rewritten as they change, segment
// headers after every write) cost memory copies, and contents reach the file
// in page-sized writes. The bytes that end up in each file are exactly those
// the uncached writes would have left there.
//
// Failure: an eviction that cannot write fails the write or read that caused
// it; bFlush fails when any page cannot be written. After a failure the files
// are incomplete and must be discarded, which is what a private output does.
//
// Thread safety: none; used under the owning container's caller.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/File.h"

namespace BIG {

class WriteBackCache {
public:
    static constexpr uint32_t kPageSize = 1u << 20;
    static constexpr size_t kDefaultPages = 8;

    explicit WriteBackCache(size_t maxPages = kDefaultPages) : m_maxPages(maxPages < 2 ? 2 : maxPages) {}
    ~WriteBackCache();
    WriteBackCache(const WriteBackCache&) = delete;
    WriteBackCache& operator=(const WriteBackCache&) = delete;

    // Writes `count` bytes at `offset` of segment file `segment` (handle `file`).
    bool bWrite(uint16_t segment, PLT::FileHandle file, uint64_t offset, const void* data, uint32_t count);
    // Reads what the file holds at `offset` once every held page is written.
    bool bRead(uint16_t segment, PLT::FileHandle file, uint64_t offset, void* data, uint32_t count);
    // Writes every held page, in file and offset order; the pages stay held, clean.
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
        bool b_Dirty = false;
        std::unique_ptr<uint8_t[]> p_Data;
    };

    // The page holding `index` of `segment`, loaded or made; null on a failed eviction or read.
    Page* pGet(uint16_t segment, PLT::FileHandle file, uint64_t index);
    Page* pFind(uint16_t segment, uint64_t index);
    bool bWritePage(Page& page);
    uint64_t& DiskEnd(uint16_t segment);

    size_t m_maxPages;
    uint64_t m_ullClock = 0;
    std::vector<Page> m_pages;
    // Per segment: bytes from the file start that have been written to the file.
    std::vector<uint64_t> m_diskEnd;
};

}  // namespace BIG
