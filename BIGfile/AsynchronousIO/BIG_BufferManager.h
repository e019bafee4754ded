// Page-granular memory for the read buffers of the asynchronous I/O manager.
//
// Four allocation groups, each with its allocated bytes, a maximum commit size
// and a peak. An allocation succeeds while the group's allocated bytes plus its
// size stay within the group's maximum commit size; it is identified by a
// handle from 1 to 512 (at most 512 live allocations). Sizes are multiples of
// the 64 KB granularity. Memory comes from the platform's page allocator, so
// it is page-aligned as unbuffered reads need.
//
// Misuse (bad group, bad size, bad or repeated handle) is reported through the
// assertion facility and changes nothing. Thread-safe: one internal mutex.
#pragma once

#include <array>
#include <cstdint>

#include "platform/Thread.h"

class BIG_cl_BufferManager {
public:
    static constexpr uint32_t kGroupCount = 4;
    static constexpr uint32_t kMaxAllocations = 512;
    static constexpr uint32_t kGranularity = 65536;
    static constexpr uint32_t kMaxCommitLimit = 0x2000000;  // 32 MB
    static constexpr uint32_t kInvalidHandle = 0;

    BIG_cl_BufferManager();
    // Live allocations assert ("... being destroyed while there are not freed
    // allocations") and are released.
    ~BIG_cl_BufferManager();
    BIG_cl_BufferManager(const BIG_cl_BufferManager&) = delete;
    BIG_cl_BufferManager& operator=(const BIG_cl_BufferManager&) = delete;

    // A handle (1 to 512), or kInvalidHandle when the group has no room (silent)
    // or on misuse and allocation failure (asserted).
    uint32_t ul_Alloc(uint32_t ulGroup, uint32_t ulSize);
    void Free(uint32_t ulHandle);

    // Null / 0 for a handle that is not live.
    uint8_t* pu8_GetMemory(uint32_t ulHandle) const;
    uint32_t ul_GetSize(uint32_t ulHandle) const;
    uint32_t ul_GetGroup(uint32_t ulHandle) const;

    void SetMaxCommitSize(uint32_t ulGroup, uint32_t ulSize);
    uint32_t ul_GetMaxCommitSize(uint32_t ulGroup) const;
    uint32_t ul_GetAllocated(uint32_t ulGroup) const;
    uint32_t ul_GetPeak(uint32_t ulGroup) const;
    uint32_t ul_GetLiveCount() const;

private:
    struct Group {
        uint32_t ul_Allocated = 0;
        uint32_t ul_MaxCommit = 0;
        uint32_t ul_Peak = 0;
    };
    struct Slot {
        uint8_t* pu8_Memory = nullptr;
        uint32_t ul_Size = 0;
        uint32_t ul_Group = 0;
    };

    bool bCheckGroup(uint32_t ulGroup) const;

    mutable PLT::Mutex m_Mutex;
    std::array<Group, kGroupCount> m_aGroups PLT_GUARDED_BY(m_Mutex);
    // Slot i holds handle i + 1.
    std::array<Slot, kMaxAllocations> m_aSlots PLT_GUARDED_BY(m_Mutex);
    std::array<uint16_t, kMaxAllocations> m_aFreeHandles PLT_GUARDED_BY(m_Mutex);
    uint32_t m_ulFreeCount PLT_GUARDED_BY(m_Mutex) = kMaxAllocations;
};
