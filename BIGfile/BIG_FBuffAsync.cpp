// The owner side of BIG::FBuff, kept apart so that only code that makes views
// over the asynchronous manager's read buffers links against the manager.
#include "BIGfile/AsynchronousIO/BIG_AsynchronousIOManager.h"
#include "BIGfile/BIG_FBuff.h"
#include "ERRor/ERR_Assert.h"

namespace BIG {

namespace {

void GiveBackUse(BIG_cl_AsynchronousIOManager* owner, BIG_cl_AsynchronousIO* readBuffer) {
    owner->ReleaseBufferUse(readBuffer);
}

}  // namespace

FBuff::FBuff(void* data, uint32_t size, BIG_cl_AsynchronousIOManager* owner,
             BIG_cl_AsynchronousIO* readBuffer, uint16_t memoryCategory)
    : m_pcData(static_cast<uint8_t*>(data)),
      m_ulSize(size),
      m_poAsyncOwner(owner),
      m_poReadBuffer(readBuffer),
      m_uwMemoryCategory(memoryCategory) {
    if (readBuffer == nullptr)
        return;
    if (owner == nullptr) {
        ERR_X_Raise("AssertEx", "FBuff::FBuff: Async Owner must exist!");
        return;
    }
    owner->AddBufferUse(readBuffer);
    m_pfnGiveBack = &GiveBackUse;
}

}  // namespace BIG
