#include "BIGfile/AsynchronousIO/BIG_BufferManager.h"

#include "ERRor/ERR_Assert.h"
#include "platform/Memory.h"

BIG_cl_BufferManager::BIG_cl_BufferManager() {
    // Handle 1 comes out first.
    for (uint32_t i = 0; i < kMaxAllocations; ++i)
        m_aFreeHandles[i] = static_cast<uint16_t>(kMaxAllocations - i);
}

BIG_cl_BufferManager::~BIG_cl_BufferManager() {
    PLT::ScopedLock<PLT::Mutex> lock(m_Mutex);
    if (m_ulFreeCount != kMaxAllocations) {
        ERR_X_Raise("Assert", "BIG_cl_BufferManager being destroyed while there are not freed allocations");
        for (Slot& slot : m_aSlots) {
            if (slot.pu8_Memory != nullptr)
                PLT::FreePages(slot.pu8_Memory, slot.ul_Size);
        }
    }
}

bool BIG_cl_BufferManager::bCheckGroup(uint32_t ulGroup) const {
    if (ulGroup < kGroupCount)
        return true;
    ERR_X_Raise("Assert", "Invalid group index argument");
    return false;
}

uint32_t BIG_cl_BufferManager::ul_Alloc(uint32_t ulGroup, uint32_t ulSize) {
    if (!bCheckGroup(ulGroup))
        return kInvalidHandle;
    if (ulSize == 0 || ulSize % kGranularity != 0) {
        ERR_X_Raise("Assert", "Size must be a multiple of granularity.");
        return kInvalidHandle;
    }
    PLT::ScopedLock<PLT::Mutex> lock(m_Mutex);
    Group& group = m_aGroups[ulGroup];
    if (static_cast<uint64_t>(group.ul_Allocated) + ulSize > group.ul_MaxCommit)
        return kInvalidHandle;
    if (m_ulFreeCount == 0) {
        ERR_X_Raise("Assert", "Maximum allocation count reached");
        return kInvalidHandle;
    }
    void* memory = PLT::AllocPages(ulSize);
    if (memory == nullptr) {
        ERR_X_Raise("Assert", "Not enough memory. BIG_cl_BufferManager failed to allocate a new buffer");
        return kInvalidHandle;
    }
    const uint32_t handle = m_aFreeHandles[--m_ulFreeCount];
    m_aSlots[handle - 1] = Slot{static_cast<uint8_t*>(memory), ulSize, ulGroup};
    group.ul_Allocated += ulSize;
    if (group.ul_Allocated > group.ul_Peak)
        group.ul_Peak = group.ul_Allocated;
    return handle;
}

void BIG_cl_BufferManager::Free(uint32_t ulHandle) {
    if (ulHandle == 0 || ulHandle >= 0xFFFF) {
        ERR_X_Raise("Assert", "Invalid Handle");
        return;
    }
    if (ulHandle > kMaxAllocations) {
        ERR_X_Raise("Assert", "Trying to free an invalid allocation handle");
        return;
    }
    PLT::ScopedLock<PLT::Mutex> lock(m_Mutex);
    if (m_ulFreeCount == kMaxAllocations) {
        ERR_X_Raise("Assert", "There is no allocation to free");
        return;
    }
    Slot& slot = m_aSlots[ulHandle - 1];
    if (slot.pu8_Memory == nullptr) {
        ERR_X_Raise("Assert", "Multiple Free for this handle");
        return;
    }
    // The platform's page release reports no failure; the block goes back whole.
    PLT::FreePages(slot.pu8_Memory, slot.ul_Size);
    m_aGroups[slot.ul_Group].ul_Allocated -= slot.ul_Size;
    slot = Slot{};
    m_aFreeHandles[m_ulFreeCount++] = static_cast<uint16_t>(ulHandle);
}

uint8_t* BIG_cl_BufferManager::pu8_GetMemory(uint32_t ulHandle) const {
    if (ulHandle == 0 || ulHandle > kMaxAllocations)
        return nullptr;
    PLT::ScopedLock<PLT::Mutex> lock(m_Mutex);
    return m_aSlots[ulHandle - 1].pu8_Memory;
}

uint32_t BIG_cl_BufferManager::ul_GetSize(uint32_t ulHandle) const {
    if (ulHandle == 0 || ulHandle > kMaxAllocations)
        return 0;
    PLT::ScopedLock<PLT::Mutex> lock(m_Mutex);
    return m_aSlots[ulHandle - 1].ul_Size;
}

uint32_t BIG_cl_BufferManager::ul_GetGroup(uint32_t ulHandle) const {
    if (ulHandle == 0 || ulHandle > kMaxAllocations)
        return 0;
    PLT::ScopedLock<PLT::Mutex> lock(m_Mutex);
    return m_aSlots[ulHandle - 1].ul_Group;
}

void BIG_cl_BufferManager::SetMaxCommitSize(uint32_t ulGroup, uint32_t ulSize) {
    if (!bCheckGroup(ulGroup))
        return;
    if (ulSize > kMaxCommitLimit) {
        ERR_X_Raise("Assert", "BufferManager::SetMaxCommitSize, out of range argument");
        return;
    }
    if (ulSize % kGranularity != 0) {
        ERR_X_Raise("Assert", "Size must be a multiple of granularity.");
        return;
    }
    PLT::ScopedLock<PLT::Mutex> lock(m_Mutex);
    if (ulSize < m_aGroups[ulGroup].ul_Allocated) {
        ERR_X_Raise("Assert",
                    "BufferManager commit size cannot be shrinked to a size inferior to its currently "
                    "allocated size");
        return;
    }
    m_aGroups[ulGroup].ul_MaxCommit = ulSize;
}

uint32_t BIG_cl_BufferManager::ul_GetMaxCommitSize(uint32_t ulGroup) const {
    if (!bCheckGroup(ulGroup))
        return 0;
    PLT::ScopedLock<PLT::Mutex> lock(m_Mutex);
    return m_aGroups[ulGroup].ul_MaxCommit;
}

uint32_t BIG_cl_BufferManager::ul_GetAllocated(uint32_t ulGroup) const {
    if (!bCheckGroup(ulGroup))
        return 0;
    PLT::ScopedLock<PLT::Mutex> lock(m_Mutex);
    return m_aGroups[ulGroup].ul_Allocated;
}

uint32_t BIG_cl_BufferManager::ul_GetPeak(uint32_t ulGroup) const {
    if (!bCheckGroup(ulGroup))
        return 0;
    PLT::ScopedLock<PLT::Mutex> lock(m_Mutex);
    return m_aGroups[ulGroup].ul_Peak;
}

uint32_t BIG_cl_BufferManager::ul_GetLiveCount() const {
    PLT::ScopedLock<PLT::Mutex> lock(m_Mutex);
    return kMaxAllocations - m_ulFreeCount;
}
