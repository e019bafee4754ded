#include "BIGfile/LoadOrdering/BIG_LoadOrderManager.h"

#include "ERRor/ERR_Assert.h"

namespace {

std::atomic<BIG_LoadOrderManager*> g_instance{nullptr};

}  // namespace

BIG_LoadOrderManager::BIG_LoadOrderManager(BIG_cl_AsynchronousIOManager* asyncIO,
                                           BIG_cl_LoadManager* loadManager)
    : m_pAsyncIO(asyncIO), m_pLoadManager(loadManager) {}

BIG_LoadOrderManager::~BIG_LoadOrderManager() {
    BIG_LoadOrderManager* self = this;
    g_instance.compare_exchange_strong(self, nullptr);
}

void BIG_LoadOrderManager::SetFat(BIG_cl_Fat* fat) {
    if (bIsActive()) {
        ERR_X_Raise("Assert", "Cannot change fat when LoadOrderList is activated!");
        return;
    }
    m_pFat = fat;
}

// This library records no load order and never activates one, so the hooks
// that would follow an order have nothing to do: they keep the callers' shape.
void BIG_LoadOrderManager::FileConsumed(uint32_t, uint32_t, const void*) {}

void BIG_LoadOrderManager::LinkFollowed(uint32_t, uint32_t, uint32_t) {}

void BIG_LoadOrderManager::OneFrame(BIG_cl_TimeBudget*) {}

void BIG_LoadOrderManager::ReportOutOfOrderFiles() {}

void BIG_LoadOrderManager::Deactivate() {
    const uint32_t state = m_state.load(std::memory_order_acquire);
    if (state == e_Inactive)
        return;
    if (state == e_Building) {
        ERR_X_Raise("Assert", "Deactivating a loadOrderList being built is not supported");
        return;
    }
    m_state.store(e_Inactive, std::memory_order_release);
}

void BIG_LoadOrderManager::SetOrderedFileCallback(uint32_t type, OrderedFileCallback callback) {
    if (type >= kTypeCount) {
        ERR_X_Raise("Assert", "Invalid input parameter (type)");
        return;
    }
    m_callbacks[type] = callback;
}

BIG_LoadOrderManager::OrderedFileCallback BIG_LoadOrderManager::GetOrderedFileCallback(uint32_t type) const {
    return type < kTypeCount ? m_callbacks[type] : nullptr;
}

BIG_LoadOrderManager* BIG_LoadOrderManager::po_Get() {
    return g_instance.load(std::memory_order_acquire);
}

void BIG_LoadOrderManager::SetInstance(BIG_LoadOrderManager* instance) {
    g_instance.store(instance, std::memory_order_release);
}
