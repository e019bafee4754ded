// How a request table stores its requests (push/store policies).
//
// ReqPushStorePolicy_FIFO keeps arrival order. ReqPushStorePolicy_CachedSorted
// keeps a vector sorted by position; new requests first wait in a 16-entry
// cache holding their insertion indexes, and are merged into the vector in one
// pass by Commit (done automatically when the cache is full). Searches and
// indexed reads need a committed table and assert otherwise.
//
// Not thread-safe: the manager mutex guards every table.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <list>
#include <unordered_map>
#include <vector>

#include "BIGfile/AsynchronousIO/BIG_Request.h"

namespace BIG {

class ReqPushStorePolicy {
public:
    virtual ~ReqPushStorePolicy() = default;

    virtual void Reserve(uint32_t ulCount) = 0;
    // A null request asserts ("Invalid input value!") and is not stored.
    virtual void Push(Request* po_Request) = 0;
    // False when the request is not stored here.
    virtual bool bRemove(Request* po_Request) = 0;
    // Removes every request for which `remove` answers true, in one pass.
    virtual void RemoveIf(const std::function<bool(Request*)>& remove) = 0;
    virtual void Commit() {}
    virtual uint32_t ul_GetSize() const = 0;
    bool bIsEmpty() const { return ul_GetSize() == 0; }
    // Sorted stores visit in position order; others in their own order.
    virtual bool bIsSorted() const = 0;
    // Visits the requests in store order, starting at the first one whose start
    // is at or after `ullFrom` for a sorted store (from the first one
    // otherwise), until `visit` answers false.
    virtual void Visit(uint64_t ullFrom, const std::function<bool(Request*)>& visit) = 0;
    // Visits requests that start before `ullBefore`, nearest first (sorted
    // stores only; others visit everything in reverse order).
    virtual void VisitBackward(uint64_t ullBefore, const std::function<bool(Request*)>& visit) = 0;
};

class ReqPushStorePolicy_FIFO : public ReqPushStorePolicy {
public:
    void Reserve(uint32_t ulCount) override;
    // A request already stored asserts ("Request already in the request queue!").
    void Push(Request* po_Request) override;
    bool bRemove(Request* po_Request) override;
    void RemoveIf(const std::function<bool(Request*)>& remove) override;
    uint32_t ul_GetSize() const override { return static_cast<uint32_t>(m_aOrder.size()); }
    bool bIsSorted() const override { return false; }
    void Visit(uint64_t ullFrom, const std::function<bool(Request*)>& visit) override;
    void VisitBackward(uint64_t ullBefore, const std::function<bool(Request*)>& visit) override;
    // The request at `ulPos` in arrival order; a bad position asserts
    // ("Invalid input parameter (_pos)!") and gives null.
    Request* po_At(uint32_t ulPos) const;

private:
    std::list<Request*> m_aOrder;
    std::unordered_map<Request*, std::list<Request*>::iterator> m_Where;
};

class ReqPushStorePolicy_CachedSorted : public ReqPushStorePolicy {
public:
    static constexpr uint32_t kCacheSize = 16;

    void Reserve(uint32_t ulCount) override { m_aSorted.reserve(ulCount); }
    void Push(Request* po_Request) override;
    bool bRemove(Request* po_Request) override;
    void RemoveIf(const std::function<bool(Request*)>& remove) override;
    // Merges the cache into the vector.
    void Commit() override;
    uint32_t ul_GetSize() const override { return static_cast<uint32_t>(m_aSorted.size()) + m_ulCacheCount; }
    bool bIsSorted() const override { return true; }
    void Visit(uint64_t ullFrom, const std::function<bool(Request*)>& visit) override;
    void VisitBackward(uint64_t ullBefore, const std::function<bool(Request*)>& visit) override;

    // Index of the first request starting at or after `ullStart` ("Call commit
    // before searching!" while the cache holds requests).
    uint32_t ul_LowerBound(uint64_t ullStart) const;
    // "Call commit before!" while the cache holds requests.
    Request* po_At(uint32_t ulIndex) const;
    uint32_t ul_GetCacheCount() const { return m_ulCacheCount; }
    uint32_t ul_GetCommittedCount() const { return static_cast<uint32_t>(m_aSorted.size()); }

private:
    struct CacheEntry {
        uint32_t ul_Index;
        Request* po_Request;
    };
    // Position order; requests of two bigfiles assert ("comparing requests from
    // 2 different BFs!").
    static bool bLess(const Request* a, const Request* b);
    // Asserts "Cache is full, call Flush before adding new request!" when full.
    void AddToCache(uint32_t ulIndex, Request* po_Request);

    std::vector<Request*> m_aSorted;
    std::array<CacheEntry, kCacheSize> m_aCache{};
    uint32_t m_ulCacheCount = 0;
};

}  // namespace BIG
