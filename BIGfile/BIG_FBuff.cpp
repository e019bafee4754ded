#include "BIGfile/BIG_FBuff.h"

#include "ERRor/ERR_Assert.h"

namespace BIG {

FBuff::FBuff(void* data, uint32_t size, uint16_t memoryCategory)
    : m_pcData(static_cast<uint8_t*>(data)), m_ulSize(size), m_uwMemoryCategory(memoryCategory) {}

FBuff::~FBuff() {
    if (m_poReadBuffer == nullptr)
        return;
    if (m_poAsyncOwner == nullptr || m_pfnGiveBack == nullptr) {
        ERR_X_Raise("AssertEx", "FBuff::~FBuff: Async Owner must exist!");
        return;
    }
    m_pfnGiveBack(m_poAsyncOwner, m_poReadBuffer);
}

}  // namespace BIG
