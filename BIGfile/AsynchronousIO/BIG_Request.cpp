#include "BIGfile/AsynchronousIO/BIG_Request.h"

#include <new>

#include "ERRor/ERR_Assert.h"

namespace BIG {

void Request::SetSize(uint32_t size) {
    if (size > kMaxSize)
        ERR_X_Raise("Assert", "Size too big, the value will be lost!");
    ul_SizeAndFlags = (ul_SizeAndFlags & ~kSizeMask) | (size & kSizeMask);
}

void Request::SetCallbackIdx(uint32_t index) {
    if (index > 7)
        ERR_X_Raise("Assert", "Callback index too big, the value will be lost!");
    ul_SizeAndFlags = (ul_SizeAndFlags & ~kCallbackMask) | ((index << kCallbackShift) & kCallbackMask);
}

void Request::SetPending() {
    if (bIsPending())
        ERR_X_Raise("Assert", "Request is already marked as pending!");
    ul_SizeAndFlags |= kPendingFlag;
}

void Request::ClearPending() {
    if (!bIsPending())
        ERR_X_Raise("Assert", "Request is already marked as non pending!");
    ul_SizeAndFlags &= ~kPendingFlag;
}

Request* RequestPool::po_Alloc() {
    if (m_aFree.empty()) {
        std::unique_ptr<Request[]> block(new (std::nothrow) Request[kBlockSize]);
        if (!block)
            return nullptr;
        m_aFree.reserve(m_aFree.size() + kBlockSize);
        for (uint32_t i = kBlockSize; i-- > 0;)
            m_aFree.push_back(&block[i]);
        m_aBlocks.push_back(std::move(block));
    }
    Request* request = m_aFree.back();
    m_aFree.pop_back();
    *request = Request{};
    ++m_ulUsed;
    return request;
}

void RequestPool::Free(Request* request) {
    if (request == nullptr)
        return;
    m_aFree.push_back(request);
    --m_ulUsed;
}

}  // namespace BIG
