// Request tables, their per-queue collections and the seven request queues.
//
// A ReqTable holds the requests of one queue for one bigfile through its
// push/store policy and counts those that are pending (covered by a buffer
// being read or filled). A ReqTableCollection is one queue: 129 table slots
// (slot = bigfile index + 1, so slot 0 is the main bigfile), the queue's policy
// configuration, its select-bigfile policy and its read-batching policy.
// ReqQueues holds queues 0 to 6.
//
// Not thread-safe: the manager mutex guards all of it.
#pragma once

#include <array>
#include <cstdint>
#include <memory>

#include "BIGfile/AsynchronousIO/BIG_ReqPushStore.h"

namespace BIG {

class SelectBfPolicy;
class ReadBatchingPolicy;

class ReqTable {
public:
    static constexpr uint32_t kMainCapacity = 4096;
    static constexpr uint32_t kPackageCapacity = 512;

    ReqTable(uint32_t ulBfIdx, std::unique_ptr<ReqPushStorePolicy> store);
    ~ReqTable();
    ReqTable(const ReqTable&) = delete;
    ReqTable& operator=(const ReqTable&) = delete;

    uint32_t ul_GetBfIdx() const { return m_ulBfIdx; }
    ReqPushStorePolicy& GetStore() { return *m_pStore; }

    // A request of another bigfile asserts ("Invalid input parameter, request
    // not from this table!"). A pending request counts as pending here.
    void Push(Request* po_Request);
    // Removes one request (its pending mark goes with it); false when absent.
    bool bRemove(Request* po_Request);
    // Removes, in one pass, every request for which `remove` answers true.
    void RemoveIf(const std::function<bool(Request*)>& remove);
    void MarkPending(Request* po_Request);
    void ClearPending(Request* po_Request);
    // Commits the store and visits in its order from `ullFrom` (see the store).
    void Visit(uint64_t ullFrom, const std::function<bool(Request*)>& visit);
    void VisitBackward(uint64_t ullBefore, const std::function<bool(Request*)>& visit);

    uint32_t ul_GetSize() const { return m_pStore->ul_GetSize(); }
    uint32_t ul_GetPendingCount() const { return m_ulPending; }
    bool bIsEmpty() const { return m_pStore->bIsEmpty(); }
    bool bHasNonPending() const { return ul_GetSize() > m_ulPending; }
    // The first non-pending request in store order, or null.
    Request* po_FirstNonPending();

private:
    void CheckPendingWhenEmpty();

    uint32_t m_ulBfIdx;
    std::unique_ptr<ReqPushStorePolicy> m_pStore;
    uint32_t m_ulPending = 0;
};

// The three policy kinds of a queue (see BIG_ReqPolicyFactory).
struct ReqPolicyConfig {
    uint32_t ul_PushStore;
    uint32_t ul_SelectBf;
    uint32_t ul_ReadBatching;
};

class ReqTableCollection {
public:
    static constexpr uint32_t kSlotCount = 129;

    explicit ReqTableCollection(const ReqPolicyConfig& config);
    ~ReqTableCollection();
    ReqTableCollection(const ReqTableCollection&) = delete;
    ReqTableCollection& operator=(const ReqTableCollection&) = delete;

    // The table of a bigfile, created on first use when asked; null for a bad
    // index ("Invalid input parameter, bfIdx too big!").
    ReqTable* po_GetTable(uint32_t ulBfIdx, bool bCreate);
    // Installs a table in its (empty) slot.
    bool bAddTable(std::unique_ptr<ReqTable> table);
    static uint32_t ul_SlotOf(uint32_t ulBfIdx) { return ulBfIdx + 1; }
    static uint32_t ul_BfOfSlot(uint32_t ulSlot) { return ulSlot - 1; }
    ReqTable* po_GetSlot(uint32_t ulSlot) const { return m_aTables[ulSlot].get(); }

    // Changing policies needs every table empty ("The tables must be empty!").
    bool bSetConfig(const ReqPolicyConfig& config);
    const ReqPolicyConfig& GetConfig() const { return m_Config; }
    SelectBfPolicy& GetSelectBf() { return *m_pSelectBf; }
    ReadBatchingPolicy& GetReadBatching() { return *m_pReadBatching; }

    bool bIsEmpty() const;
    bool bHasNonPending() const;
    uint32_t ul_GetSize() const;

private:
    bool bCheckIndex(uint32_t ulBfIdx) const;

    std::array<std::unique_ptr<ReqTable>, kSlotCount> m_aTables;
    ReqPolicyConfig m_Config;
    std::unique_ptr<SelectBfPolicy> m_pSelectBf;
    std::unique_ptr<ReadBatchingPolicy> m_pReadBatching;
};

class ReqQueues {
public:
    static constexpr uint32_t kQueueCount = 7;

    ReqQueues();
    ~ReqQueues();

    // Null (after "Invalid input parameter!") for an id above 6.
    ReqTableCollection* po_Get(uint32_t ulQueueId);
    static ReqPolicyConfig DefaultConfig(uint32_t ulQueueId);

private:
    std::array<std::unique_ptr<ReqTableCollection>, kQueueCount> m_aQueues;
};

}  // namespace BIG
