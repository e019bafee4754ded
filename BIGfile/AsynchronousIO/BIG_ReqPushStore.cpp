#include "BIGfile/AsynchronousIO/BIG_ReqPushStore.h"

#include <algorithm>

#include "ERRor/ERR_Assert.h"

namespace BIG {

// ---- FIFO ------------------------------------------------------------------

void ReqPushStorePolicy_FIFO::Reserve(uint32_t ulCount) {
    m_Where.reserve(ulCount);
}

void ReqPushStorePolicy_FIFO::Push(Request* po_Request) {
    if (po_Request == nullptr) {
        ERR_X_Raise("Assert", "Invalid input value!");
        return;
    }
    if (m_Where.count(po_Request) != 0) {
        ERR_X_Raise("Assert", "Request already in the request queue!");
        return;
    }
    m_aOrder.push_back(po_Request);
    m_Where.emplace(po_Request, std::prev(m_aOrder.end()));
}

bool ReqPushStorePolicy_FIFO::bRemove(Request* po_Request) {
    auto it = m_Where.find(po_Request);
    if (it == m_Where.end())
        return false;
    m_aOrder.erase(it->second);
    m_Where.erase(it);
    return true;
}

void ReqPushStorePolicy_FIFO::RemoveIf(const std::function<bool(Request*)>& remove) {
    for (auto it = m_aOrder.begin(); it != m_aOrder.end();) {
        if (remove(*it)) {
            m_Where.erase(*it);
            it = m_aOrder.erase(it);
        } else {
            ++it;
        }
    }
}

void ReqPushStorePolicy_FIFO::Visit(uint64_t /*ullFrom*/, const std::function<bool(Request*)>& visit) {
    for (Request* request : m_aOrder) {
        if (!visit(request))
            return;
    }
}

void ReqPushStorePolicy_FIFO::VisitBackward(uint64_t /*ullBefore*/,
                                            const std::function<bool(Request*)>& visit) {
    for (auto it = m_aOrder.rbegin(); it != m_aOrder.rend(); ++it) {
        if (!visit(*it))
            return;
    }
}

Request* ReqPushStorePolicy_FIFO::po_At(uint32_t ulPos) const {
    if (ulPos >= m_aOrder.size()) {
        ERR_X_Raise("Assert", "Invalid input parameter (_pos)!");
        return nullptr;
    }
    return *std::next(m_aOrder.begin(), ulPos);
}

// ---- Cached sorted ---------------------------------------------------------

bool ReqPushStorePolicy_CachedSorted::bLess(const Request* a, const Request* b) {
    if (a->ul_BfIdx != b->ul_BfIdx)
        ERR_X_Raise("Assert", "comparing requests from 2 different BFs!");
    return a->ul_Pos < b->ul_Pos;
}

void ReqPushStorePolicy_CachedSorted::AddToCache(uint32_t ulIndex, Request* po_Request) {
    if (m_ulCacheCount == kCacheSize) {
        ERR_X_Raise("Assert", "Cache is full, call Flush before adding new request!");
        return;
    }
    // Index order, and position order among entries bound for the same index,
    // so that the merge keeps the vector sorted.
    uint32_t at = m_ulCacheCount;
    while (at > 0) {
        const CacheEntry& prev = m_aCache[at - 1];
        if (prev.ul_Index < ulIndex || (prev.ul_Index == ulIndex && !bLess(po_Request, prev.po_Request)))
            break;
        m_aCache[at] = prev;
        --at;
    }
    m_aCache[at] = CacheEntry{ulIndex, po_Request};
    ++m_ulCacheCount;
}

void ReqPushStorePolicy_CachedSorted::Push(Request* po_Request) {
    if (po_Request == nullptr) {
        ERR_X_Raise("Assert", "Invalid input value!");
        return;
    }
    if (m_ulCacheCount == kCacheSize)
        Commit();
    const auto it = std::upper_bound(m_aSorted.begin(), m_aSorted.end(), po_Request, bLess);
    AddToCache(static_cast<uint32_t>(it - m_aSorted.begin()), po_Request);
}

void ReqPushStorePolicy_CachedSorted::Commit() {
    if (m_ulCacheCount == 0)
        return;
    const size_t oldSize = m_aSorted.size();
    m_aSorted.resize(oldSize + m_ulCacheCount);
    // Merge from the back so that every request moves once.
    size_t src = oldSize;
    size_t dst = m_aSorted.size();
    for (uint32_t c = m_ulCacheCount; c-- > 0;) {
        const CacheEntry& entry = m_aCache[c];
        while (src > entry.ul_Index)
            m_aSorted[--dst] = m_aSorted[--src];
        m_aSorted[--dst] = entry.po_Request;
    }
    m_ulCacheCount = 0;
}

bool ReqPushStorePolicy_CachedSorted::bRemove(Request* po_Request) {
    if (po_Request == nullptr) {
        ERR_X_Raise("Assert", "Invalid input value!");
        return false;
    }
    Commit();
    auto range = std::equal_range(m_aSorted.begin(), m_aSorted.end(), po_Request, bLess);
    auto it = std::find(range.first, range.second, po_Request);
    if (it == range.second)
        return false;
    m_aSorted.erase(it);
    return true;
}

void ReqPushStorePolicy_CachedSorted::RemoveIf(const std::function<bool(Request*)>& remove) {
    Commit();
    m_aSorted.erase(std::remove_if(m_aSorted.begin(), m_aSorted.end(), remove), m_aSorted.end());
}

uint32_t ReqPushStorePolicy_CachedSorted::ul_LowerBound(uint64_t ullStart) const {
    if (m_ulCacheCount != 0)
        ERR_X_Raise("Assert", "Call commit before searching!");
    const auto it =
        std::lower_bound(m_aSorted.begin(), m_aSorted.end(), ullStart,
                         [](const Request* r, uint64_t start) { return r->ull_GetStart() < start; });
    return static_cast<uint32_t>(it - m_aSorted.begin());
}

Request* ReqPushStorePolicy_CachedSorted::po_At(uint32_t ulIndex) const {
    if (m_ulCacheCount != 0)
        ERR_X_Raise("Assert", "Call commit before!");
    if (ulIndex >= m_aSorted.size()) {
        ERR_X_Raise("Assert", "Invalid input parameter (_pos)!");
        return nullptr;
    }
    return m_aSorted[ulIndex];
}

void ReqPushStorePolicy_CachedSorted::Visit(uint64_t ullFrom, const std::function<bool(Request*)>& visit) {
    for (uint32_t i = ul_LowerBound(ullFrom); i < m_aSorted.size(); ++i) {
        if (!visit(m_aSorted[i]))
            return;
    }
}

void ReqPushStorePolicy_CachedSorted::VisitBackward(uint64_t ullBefore,
                                                    const std::function<bool(Request*)>& visit) {
    for (uint32_t i = ul_LowerBound(ullBefore); i-- > 0;) {
        if (!visit(m_aSorted[i]))
            return;
    }
}

}  // namespace BIG
