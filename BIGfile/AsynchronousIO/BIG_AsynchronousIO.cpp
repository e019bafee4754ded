#include "BIGfile/AsynchronousIO/BIG_AsynchronousIO.h"

#include <algorithm>

#include "BIGfile/AsynchronousIO/BIG_BufferManager.h"
#include "ERRor/ERR_Assert.h"

bool BIG_cl_AsynchronousIO::bContains(uint32_t ulBfIdx, uint64_t ullStart, uint64_t ullEnd) const {
    return e_State == eHoldsData && !b_ReadFailed && !b_Invalidate && ul_BfIdx == ulBfIdx &&
           ullStart >= ull_Start && ullEnd <= ull_GetDataEnd();
}

bool BIG_cl_AsynchronousIO::bCanBeReclaimed() const {
    return e_State == eHoldsData && b_Reusable && ul_Uses.load(std::memory_order_acquire) == 0 &&
           a_Waiting.empty() && a_Ready.empty() && !b_Invalidate;
}

bool BIG_cl_AsynchronousIO::bInvalidate() {
    if (e_State == eReading) {
        ERR_X_Raise("Assert", "Cannot invalidate a buffer when read is in progress.");
        return false;
    }
    if (e_State == eEmpty) {
        ERR_X_Raise("Assert", "Cannot invalidate an empty buffer");
        return false;
    }
    b_Invalidate = true;
    return true;
}

void BIG_cl_AsynchronousIO::Reset(BIG_cl_BufferManager& manager) {
    if (ul_Handle != 0)
        manager.Free(ul_Handle);
    ul_Handle = 0;
    ul_AllocSize = 0;
    pu8_Memory = nullptr;
    e_State = eEmpty;
    ul_BfIdx = 0xFFFFFFFF;
    ull_Start = ull_End = ull_Skip = ull_LocalStart = 0;
    ul_ReadSize = 0;
    h_File = PLT::kInvalidFile;
    ul_DataSize = ul_Delivered = 0;
    b_Invalidate = false;
    b_Reusable = true;
    a_Waiting.clear();
    a_Ready.clear();
    b_ReadEnded = b_ReadFailed = false;
    ull_Transferred = 0;
}

namespace BIG {

ReadBufferCollection::ReadBufferCollection(BIG_cl_BufferManager& manager)
    : m_rManager(manager), m_aBuffers(kBufferCount) {
    m_aEmpty.reserve(kBufferCount);
    m_aNonEmpty.reserve(kBufferCount);
    for (uint32_t i = kBufferCount; i-- > 0;)
        m_aEmpty.push_back(&m_aBuffers[i]);
}

ReadBufferCollection::~ReadBufferCollection() {
    for (BIG_cl_AsynchronousIO& buffer : m_aBuffers)
        buffer.Reset(m_rManager);
}

void ReadBufferCollection::RemoveNonEmpty(BIG_cl_AsynchronousIO* po_Buffer) {
    auto it = std::find(m_aNonEmpty.begin(), m_aNonEmpty.end(), po_Buffer);
    if (it != m_aNonEmpty.end())
        m_aNonEmpty.erase(it);
}

BIG_cl_AsynchronousIO* ReadBufferCollection::po_BestToReclaim() const {
    BIG_cl_AsynchronousIO* best = nullptr;
    for (BIG_cl_AsynchronousIO* buffer : m_aNonEmpty) {
        if (buffer->bCanBeReclaimed() &&
            (best == nullptr || buffer->ul_GetUndelivered() < best->ul_GetUndelivered()))
            best = buffer;
    }
    return best;
}

BIG_cl_AsynchronousIO* ReadBufferCollection::po_Allocate(uint32_t ulSize, uint32_t ulGroup) {
    BIG_cl_AsynchronousIO* buffer = nullptr;
    if (!m_aEmpty.empty()) {
        buffer = m_aEmpty.back();
        m_aEmpty.pop_back();
    } else {
        buffer = po_BestToReclaim();
        if (buffer == nullptr)
            return nullptr;
        RemoveNonEmpty(buffer);
        if (buffer->ul_AllocSize == ulSize && buffer->ul_Group == ulGroup) {
            // Same size: keep the memory, drop only the data.
            const uint32_t handle = buffer->ul_Handle;
            uint8_t* memory = buffer->pu8_Memory;
            buffer->ul_Handle = 0;
            buffer->Reset(m_rManager);
            buffer->ul_Handle = handle;
            buffer->pu8_Memory = memory;
            buffer->ul_AllocSize = ulSize;
            buffer->ul_Group = ulGroup;
        } else {
            buffer->Reset(m_rManager);
        }
    }
    while (buffer->ul_Handle == 0) {
        const uint32_t handle = m_rManager.ul_Alloc(ulGroup, ulSize);
        if (handle != BIG_cl_BufferManager::kInvalidHandle) {
            buffer->ul_Handle = handle;
            buffer->pu8_Memory = m_rManager.pu8_GetMemory(handle);
            buffer->ul_AllocSize = ulSize;
            buffer->ul_Group = ulGroup;
            break;
        }
        BIG_cl_AsynchronousIO* victim = po_BestToReclaim();
        if (victim == nullptr) {
            m_aEmpty.push_back(buffer);
            return nullptr;
        }
        RemoveNonEmpty(victim);
        victim->Reset(m_rManager);
        m_aEmpty.push_back(victim);
    }
    m_aNonEmpty.push_back(buffer);
    return buffer;
}

void ReadBufferCollection::Release(BIG_cl_AsynchronousIO* po_Buffer) {
    RemoveNonEmpty(po_Buffer);
    po_Buffer->Reset(m_rManager);
    m_aEmpty.push_back(po_Buffer);
}

BIG_cl_AsynchronousIO* ReadBufferCollection::po_FindContaining(uint32_t ulBfIdx, uint64_t ullStart,
                                                               uint64_t ullEnd) const {
    for (BIG_cl_AsynchronousIO* buffer : m_aNonEmpty) {
        if (buffer->bContains(ulBfIdx, ullStart, ullEnd))
            return buffer;
    }
    return nullptr;
}

}  // namespace BIG
