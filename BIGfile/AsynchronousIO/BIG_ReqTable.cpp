#include "BIGfile/AsynchronousIO/BIG_ReqTable.h"

#include <new>

#include "BIGfile/AsynchronousIO/BIG_ReqPolicies.h"
#include "ERRor/ERR_Assert.h"

namespace BIG {

// ---- ReqTable --------------------------------------------------------------

ReqTable::ReqTable(uint32_t ulBfIdx, std::unique_ptr<ReqPushStorePolicy> store)
    : m_ulBfIdx(ulBfIdx), m_pStore(std::move(store)) {
    m_pStore->Reserve(ulBfIdx == 0xFFFFFFFF ? kMainCapacity : kPackageCapacity);
}

ReqTable::~ReqTable() = default;

void ReqTable::Push(Request* po_Request) {
    if (po_Request != nullptr && po_Request->ul_BfIdx != m_ulBfIdx) {
        ERR_X_Raise("Assert", "Invalid input parameter, request not from this table!");
        return;
    }
    try {
        m_pStore->Push(po_Request);
    } catch (const std::bad_alloc&) {
        ERR_X_Raise("Assert", "Failed to extend!");
        return;
    }
    if (po_Request != nullptr && po_Request->bIsPending())
        ++m_ulPending;
}

void ReqTable::CheckPendingWhenEmpty() {
    if (m_pStore->bIsEmpty() && m_ulPending != 0) {
        ERR_X_Raise("Assert", "Invalid internal state, invalid pending request count!");
        m_ulPending = 0;
    }
}

bool ReqTable::bRemove(Request* po_Request) {
    if (po_Request == nullptr || po_Request->ul_BfIdx != m_ulBfIdx) {
        ERR_X_Raise("Assert", "Invalid input parameter, request not from this table!");
        return false;
    }
    if (!m_pStore->bRemove(po_Request))
        return false;
    if (po_Request->bIsPending() && m_ulPending != 0)
        --m_ulPending;
    CheckPendingWhenEmpty();
    return true;
}

void ReqTable::RemoveIf(const std::function<bool(Request*)>& remove) {
    uint32_t removedPending = 0;
    m_pStore->RemoveIf([&](Request* request) {
        if (!remove(request))
            return false;
        if (request->bIsPending())
            ++removedPending;
        return true;
    });
    m_ulPending = removedPending > m_ulPending ? 0 : m_ulPending - removedPending;
    CheckPendingWhenEmpty();
}

void ReqTable::MarkPending(Request* po_Request) {
    po_Request->SetPending();
    ++m_ulPending;
}

void ReqTable::ClearPending(Request* po_Request) {
    po_Request->ClearPending();
    if (m_ulPending != 0)
        --m_ulPending;
}

void ReqTable::Visit(uint64_t ullFrom, const std::function<bool(Request*)>& visit) {
    m_pStore->Commit();
    m_pStore->Visit(ullFrom, visit);
}

void ReqTable::VisitBackward(uint64_t ullBefore, const std::function<bool(Request*)>& visit) {
    m_pStore->Commit();
    m_pStore->VisitBackward(ullBefore, visit);
}

Request* ReqTable::po_FirstNonPending() {
    Request* found = nullptr;
    if (!bHasNonPending())
        return nullptr;
    Visit(0, [&](Request* request) {
        if (request->bIsPending())
            return true;
        found = request;
        return false;
    });
    return found;
}

// ---- ReqTableCollection ----------------------------------------------------

ReqTableCollection::ReqTableCollection(const ReqPolicyConfig& config) : m_Config{~0u, ~0u, ~0u} {
    if (!bSetConfig(config))
        bSetConfig(ReqPolicyConfig{0, 0, 0});
    po_GetTable(0xFFFFFFFF, true);
}

ReqTableCollection::~ReqTableCollection() = default;

bool ReqTableCollection::bCheckIndex(uint32_t ulBfIdx) const {
    if (ulBfIdx == 0xFFFFFFFF || ulBfIdx < kSlotCount - 1)
        return true;
    ERR_X_Raise("Assert", "Invalid input parameter, bfIdx too big!");
    return false;
}

ReqTable* ReqTableCollection::po_GetTable(uint32_t ulBfIdx, bool bCreate) {
    if (!bCheckIndex(ulBfIdx))
        return nullptr;
    const uint32_t slot = ul_SlotOf(ulBfIdx);
    if (!m_aTables[slot] && bCreate) {
        std::unique_ptr<ReqPushStorePolicy> store =
            BIG_ReqPolicyFactory::po_CreatePushStore(m_Config.ul_PushStore);
        std::unique_ptr<ReqTable> table;
        if (store)
            table.reset(new (std::nothrow) ReqTable(ulBfIdx, std::move(store)));
        if (!table) {
            ERR_X_Raise("Assert", "Failed to create request table, no more memory?");
            return nullptr;
        }
        bAddTable(std::move(table));
    }
    return m_aTables[slot].get();
}

bool ReqTableCollection::bAddTable(std::unique_ptr<ReqTable> table) {
    if (!table) {
        ERR_X_Raise("Assert", "Invalid input parameter, table should not be 0");
        return false;
    }
    if (!bCheckIndex(table->ul_GetBfIdx()))
        return false;
    std::unique_ptr<ReqTable>& slot = m_aTables[ul_SlotOf(table->ul_GetBfIdx())];
    if (slot) {
        ERR_X_Raise(
            "Assert",
            "Adding a table to a non empty space, this will cause memory leaks and is surely a programming "
            "error!");
        return false;
    }
    slot = std::move(table);
    return true;
}

bool ReqTableCollection::bSetConfig(const ReqPolicyConfig& config) {
    if (!bIsEmpty()) {
        ERR_X_Raise("Assert", "The tables must be empty!");
        return false;
    }
    std::unique_ptr<SelectBfPolicy> select = BIG_ReqPolicyFactory::po_CreateSelectBf(config.ul_SelectBf);
    std::unique_ptr<ReadBatchingPolicy> batching =
        BIG_ReqPolicyFactory::po_CreateReadBatching(config.ul_ReadBatching);
    std::unique_ptr<ReqPushStorePolicy> probe = BIG_ReqPolicyFactory::po_CreatePushStore(config.ul_PushStore);
    if (!select || !batching || !probe)
        return false;
    m_pSelectBf = std::move(select);
    m_pReadBatching = std::move(batching);
    if (config.ul_PushStore != m_Config.ul_PushStore) {
        // Empty tables take the new store when they are made again.
        for (std::unique_ptr<ReqTable>& table : m_aTables) {
            if (!table)
                continue;
            if (!table->bIsEmpty()) {
                ERR_X_Raise("Assert", "The table must be empty!");
                continue;
            }
            const uint32_t bfIdx = table->ul_GetBfIdx();
            table.reset(new ReqTable(bfIdx, BIG_ReqPolicyFactory::po_CreatePushStore(config.ul_PushStore)));
        }
    }
    m_Config = config;
    return true;
}

bool ReqTableCollection::bIsEmpty() const {
    for (const std::unique_ptr<ReqTable>& table : m_aTables) {
        if (table && !table->bIsEmpty())
            return false;
    }
    return true;
}

bool ReqTableCollection::bHasNonPending() const {
    for (const std::unique_ptr<ReqTable>& table : m_aTables) {
        if (table && table->bHasNonPending())
            return true;
    }
    return false;
}

uint32_t ReqTableCollection::ul_GetSize() const {
    uint32_t size = 0;
    for (const std::unique_ptr<ReqTable>& table : m_aTables) {
        if (table)
            size += table->ul_GetSize();
    }
    return size;
}

// ---- ReqQueues -------------------------------------------------------------

ReqPolicyConfig ReqQueues::DefaultConfig(uint32_t ulQueueId) {
    // Queue 0 serves urgent reads in arrival order; the others merge by position.
    return ulQueueId == 0 ? ReqPolicyConfig{1, 0, 1} : ReqPolicyConfig{0, 0, 0};
}

ReqQueues::ReqQueues() {
    for (uint32_t q = 0; q < kQueueCount; ++q)
        m_aQueues[q] = std::make_unique<ReqTableCollection>(DefaultConfig(q));
}

ReqQueues::~ReqQueues() = default;

ReqTableCollection* ReqQueues::po_Get(uint32_t ulQueueId) {
    if (ulQueueId >= kQueueCount) {
        ERR_X_Raise("Assert", "Invalid input parameter!");
        return nullptr;
    }
    return m_aQueues[ulQueueId].get();
}

}  // namespace BIG
