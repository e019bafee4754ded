#include "DesignPaTterns/DPT_RefCounted.h"

#include "ERRor/ERR_Assert.h"

namespace DPT {

void RefCounted::AddRef() {
    uint16_t count = m_uwRefCount.load(std::memory_order_relaxed);
    do {
        if (count == 0xFFFF) {
            ERR_X_Raise("Assert", "Reference count overflow!");
            return;
        }
    } while (!m_uwRefCount.compare_exchange_weak(count, static_cast<uint16_t>(count + 1),
                                                 std::memory_order_relaxed));
}

void RefCounted::Release() {
    if (m_uwRefCount.load(std::memory_order_relaxed) == 0)
        ERR_X_Raise("Assert", "Invalid reference count!");
    // The memory manager is the global heap here: the allocation tag and
    // category only matter to a tracker, so plain delete frees the object.
    if (m_uwRefCount.fetch_sub(1, std::memory_order_acq_rel) == 1)
        delete this;
}

}  // namespace DPT
