// A reference-counted view (data, size) over the bytes of one loaded file.
//
// Readers hand these around instead of raw pointers. The view does not own
// the bytes: they belong either to the bigfile table's load buffer (no owner,
// valid until the next load) or to a read buffer of the asynchronous I/O
// manager. In the second case the view takes one use of that read buffer when
// it is made and gives it back when it dies, so the manager never reclaims
// bytes that a view still shows. The manager counts those uses under its own
// mutex.
//
// Reference counting follows DPT::RefCounted: the count starts at 0, the
// creator takes its reference with AddRef, the last Release deletes the view.
// Views must be created with new.
#pragma once

#include <cstdint>

#include "DesignPaTterns/DPT_RefCounted.h"

class BIG_cl_AsynchronousIOManager;
class BIG_cl_AsynchronousIO;

namespace BIG {

class FBuff : public DPT::RefCounted {
public:
    // A view without an asynchronous owner (the table's load buffer, a test).
    FBuff(void* data, uint32_t size, uint16_t memoryCategory = 0);
    // A view over bytes held by `readBuffer` of `owner`. A read buffer without an
    // owner raises "FBuff::FBuff: Async Owner must exist!" and takes no use.
    FBuff(void* data, uint32_t size, BIG_cl_AsynchronousIOManager* owner, BIG_cl_AsynchronousIO* readBuffer,
          uint16_t memoryCategory = 0);
    ~FBuff() override;
    FBuff(const FBuff&) = delete;
    FBuff& operator=(const FBuff&) = delete;

    uint32_t ul_GetAllocParam() const override { return m_ulAllocTag; }
    uint16_t uw_GetAllocParam() const override { return m_uwMemoryCategory; }

    uint8_t* pc_GetData() const { return m_pcData; }
    uint32_t ul_GetSize() const { return m_ulSize; }
    // Points the view at other bytes (same owner and read buffer).
    void SetData(void* data, uint32_t size) {
        m_pcData = static_cast<uint8_t*>(data);
        m_ulSize = size;
    }
    BIG_cl_AsynchronousIOManager* po_GetAsyncOwner() const { return m_poAsyncOwner; }
    BIG_cl_AsynchronousIO* po_GetReadBuffer() const { return m_poReadBuffer; }

private:
    // Gives the read buffer's use back; set only by the owner constructor, so
    // that views without an owner never depend on the asynchronous manager.
    using GiveBackFn = void (*)(BIG_cl_AsynchronousIOManager*, BIG_cl_AsynchronousIO*);

    uint8_t* m_pcData;
    uint32_t m_ulSize;
    BIG_cl_AsynchronousIOManager* m_poAsyncOwner = nullptr;
    BIG_cl_AsynchronousIO* m_poReadBuffer = nullptr;
    GiveBackFn m_pfnGiveBack = nullptr;
    uint32_t m_ulAllocTag = 0;
    uint16_t m_uwMemoryCategory;
};

}  // namespace BIG
