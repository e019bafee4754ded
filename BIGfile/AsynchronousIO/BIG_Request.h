// One read request of the asynchronous I/O manager, and the pool they come from.
//
// Layout (16 bytes):
//   position        u32  start of the bytes, a BIG_POS value (8-byte units)
//   size and flags  u32  bits 0-27 size in bytes, 28-30 callback index,
//                        31 pending (already covered by a buffer being read)
//   user            u32  the requester's 32-bit handle, handed back unchanged
//   bigfile index   u32  0xFFFFFFFF main bigfile, else a package index
//
// The user word is a handle the requester resolves itself (the load manager
// passes the slot of its request); it is never a pointer.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace BIG {

struct Request {
    static constexpr uint32_t kMaxSize = 0x0FFFFFFF;
    static constexpr uint32_t kSizeMask = 0x0FFFFFFF;
    static constexpr uint32_t kCallbackShift = 28;
    static constexpr uint32_t kCallbackMask = 0x70000000;
    static constexpr uint32_t kPendingFlag = 0x80000000;

    uint32_t ul_Pos = 0;
    uint32_t ul_SizeAndFlags = 0;
    uint32_t ul_User = 0;
    uint32_t ul_BfIdx = 0xFFFFFFFF;

    uint32_t ul_GetSize() const { return ul_SizeAndFlags & kSizeMask; }
    // A size above 0x0FFFFFFF asserts ("Size too big, the value will be lost!")
    // and keeps the low 28 bits.
    void SetSize(uint32_t size);
    uint32_t ul_GetCallbackIdx() const { return (ul_SizeAndFlags & kCallbackMask) >> kCallbackShift; }
    // An index above 7 asserts ("Callback index too big, the value will be lost!").
    void SetCallbackIdx(uint32_t index);
    bool bIsPending() const { return (ul_SizeAndFlags & kPendingFlag) != 0; }
    // Setting an already pending request (or clearing a non-pending one) asserts.
    void SetPending();
    void ClearPending();

    uint64_t ull_GetStart() const { return static_cast<uint64_t>(ul_Pos) << 3; }
    uint64_t ull_GetEnd() const { return ull_GetStart() + ul_GetSize(); }
};
static_assert(sizeof(Request) == 16, "a request is 16 bytes");

// Requests come from blocks of 2048 and go back to a free list; blocks are
// never returned before the pool dies. Not thread-safe: the manager mutex
// guards it.
class RequestPool {
public:
    static constexpr uint32_t kBlockSize = 2048;

    RequestPool() = default;
    RequestPool(const RequestPool&) = delete;
    RequestPool& operator=(const RequestPool&) = delete;

    // Null only when memory runs out.
    Request* po_Alloc();
    void Free(Request* request);
    uint32_t ul_GetUsed() const { return m_ulUsed; }
    uint32_t ul_GetCapacity() const { return static_cast<uint32_t>(m_aBlocks.size()) * kBlockSize; }

private:
    std::vector<std::unique_ptr<Request[]>> m_aBlocks;
    std::vector<Request*> m_aFree;
    uint32_t m_ulUsed = 0;
};

}  // namespace BIG
