// Read buffers: one physical read each, kept after the read so that later
// requests for the same bytes are answered from memory.
//
// A buffer's memory comes from the buffer manager in an allocation group. Its
// state runs empty (0) -> read in flight (1) -> holds data (2) -> empty. The
// read-ended, read-failed and transferred fields are written by the device's
// completion and read by the pumping thread, both under the manager's launcher
// mutex; every other field is guarded by the manager mutex, except the use
// count (live data objects over its bytes), which is atomic so that a data
// object can be released from any thread without the manager mutex.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <vector>

#include "BIGfile/AsynchronousIO/BIG_Request.h"
#include "platform/File.h"

class BIG_cl_BufferManager;

class BIG_cl_AsynchronousIO {
public:
    enum State : uint8_t { eEmpty = 0, eReading = 1, eHoldsData = 2 };

    // A request counted on this buffer: it needs no read of its own and is
    // delivered when the buffer is treated.
    struct Waiter {
        BIG::Request* po_Request;
        uint32_t ul_Queue;
    };

    BIG_cl_AsynchronousIO() = default;
    BIG_cl_AsynchronousIO(const BIG_cl_AsynchronousIO&) = delete;
    BIG_cl_AsynchronousIO& operator=(const BIG_cl_AsynchronousIO&) = delete;

    // True when the buffer holds valid bytes for the whole global range.
    bool bContains(uint32_t ulBfIdx, uint64_t ullStart, uint64_t ullEnd) const;
    // Pointer to global byte `ullOffset` (which must be inside the data).
    const uint8_t* pu8_At(uint64_t ullOffset) const {
        return pu8_Memory + ull_Skip + (ullOffset - ull_Start);
    }
    uint64_t ull_GetDataEnd() const { return ull_Start + ul_DataSize; }
    uint32_t ul_GetUndelivered() const { return ul_DataSize > ul_Delivered ? ul_DataSize - ul_Delivered : 0; }
    // Holds data, is reusable, nobody delivers from it or holds its bytes, nobody
    // waits on it and it is not flagged for invalidation.
    bool bCanBeReclaimed() const;

    // Flags the buffer to be emptied once treated. Refused (asserted) while a
    // read is in flight or when the buffer is empty.
    bool bInvalidate();

    // Frees the memory (when any) and returns to the empty state.
    void Reset(BIG_cl_BufferManager& manager);

    // Identity of the read.
    uint32_t ul_BfIdx = 0xFFFFFFFF;
    uint32_t ul_Queue = 0;
    uint32_t ul_ReadNumber = 0;
    uint64_t ull_Start = 0;  // global byte offset of the first data byte
    uint64_t ull_End = 0;    // global byte offset past the aligned range
    uint64_t ull_Skip = 0;   // memory bytes before ull_Start
    uint64_t ull_LocalStart = 0;
    uint32_t ul_ReadSize = 0;  // bytes asked of the device
    PLT::FileHandle h_File = PLT::kInvalidFile;

    // Memory.
    uint32_t ul_Handle = 0;
    uint32_t ul_Group = 0;
    uint32_t ul_AllocSize = 0;
    uint8_t* pu8_Memory = nullptr;

    // Data.
    State e_State = eEmpty;
    uint32_t ul_DataSize = 0;  // valid bytes from ull_Start, known once treated
    uint32_t ul_Delivered = 0;
    bool b_Invalidate = false;
    bool b_Reusable = true;
    std::vector<Waiter> a_Waiting;  // counted on it, still in their tables
    std::deque<Waiter> a_Ready;     // taken out of their tables, being delivered
    std::atomic<uint32_t> ul_Uses{0};

    // Written by the completion (launcher mutex).
    bool b_ReadEnded = false;
    bool b_ReadFailed = false;
    uint64_t ull_Transferred = 0;
};

namespace BIG {

// The 128 read buffers, split between an empty list and a non-empty list. Not
// thread-safe: the manager mutex guards it.
class ReadBufferCollection {
public:
    static constexpr uint32_t kBufferCount = 128;

    explicit ReadBufferCollection(BIG_cl_BufferManager& manager);
    ~ReadBufferCollection();
    ReadBufferCollection(const ReadBufferCollection&) = delete;
    ReadBufferCollection& operator=(const ReadBufferCollection&) = delete;

    // A buffer object with `ulSize` bytes of memory from group `ulGroup`, moved
    // to the non-empty list; null when neither a free object nor memory can be
    // had, even after reclaiming buffers (the one with the fewest undelivered
    // bytes first). A reclaimed buffer whose memory has exactly this size keeps it.
    BIG_cl_AsynchronousIO* po_Allocate(uint32_t ulSize, uint32_t ulGroup);
    // Empties a buffer and moves it to the empty list.
    void Release(BIG_cl_AsynchronousIO* po_Buffer);

    // A non-empty buffer whose valid data hold the whole range, or null.
    BIG_cl_AsynchronousIO* po_FindContaining(uint32_t ulBfIdx, uint64_t ullStart, uint64_t ullEnd) const;
    // The reclaimable buffer with the fewest undelivered bytes, or null.
    BIG_cl_AsynchronousIO* po_BestToReclaim() const;

    const std::vector<BIG_cl_AsynchronousIO*>& GetNonEmpty() const { return m_aNonEmpty; }
    uint32_t ul_GetEmptyCount() const { return static_cast<uint32_t>(m_aEmpty.size()); }
    BIG_cl_BufferManager& GetBufferManager() { return m_rManager; }

private:
    void RemoveNonEmpty(BIG_cl_AsynchronousIO* po_Buffer);

    BIG_cl_BufferManager& m_rManager;
    std::vector<BIG_cl_AsynchronousIO> m_aBuffers;
    std::vector<BIG_cl_AsynchronousIO*> m_aEmpty;
    std::vector<BIG_cl_AsynchronousIO*> m_aNonEmpty;
};

}  // namespace BIG
