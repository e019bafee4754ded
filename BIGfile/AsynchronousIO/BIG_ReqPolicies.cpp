#include "BIGfile/AsynchronousIO/BIG_ReqPolicies.h"

#include <algorithm>

#include "BIGfile/AsynchronousIO/BIG_AsynchronousIO.h"
#include "BIGfile/AsynchronousIO/BIG_BufferManager.h"
#include "BIGfile/AsynchronousIO/BIG_ReadTarget.h"
#include "ERRor/ERR_Assert.h"

namespace BIG {

// ---- Select bigfile --------------------------------------------------------

bool SelectBfPolicy_NextByIdx::bSelect(ReqTableCollection& queue, uint32_t ulCurrentBf, uint32_t* pul_Out) {
    uint32_t current = ReqTableCollection::ul_SlotOf(ulCurrentBf);
    if (current >= ReqTableCollection::kSlotCount)
        current = 0;
    const ReqTable* table = queue.po_GetSlot(current);
    if (table != nullptr && table->bHasNonPending()) {
        *pul_Out = ReqTableCollection::ul_BfOfSlot(current);
        return true;
    }
    // Next index above the current one, wrapping around to the smallest.
    for (uint32_t step = 1; step <= ReqTableCollection::kSlotCount; ++step) {
        const uint32_t slot = (current + step) % ReqTableCollection::kSlotCount;
        table = queue.po_GetSlot(slot);
        if (table == nullptr || !table->bHasNonPending())
            continue;
        if (slot == current) {
            ERR_X_Raise("Assert", "Invalid internal state, new BF not found!");
            return false;
        }
        *pul_Out = ReqTableCollection::ul_BfOfSlot(slot);
        return true;
    }
    ERR_X_Raise("Assert", "There must be at least one non-pending request!");
    return false;
}

// ---- Read batching ---------------------------------------------------------

bool ReadBatchingPolicy::bAlignToFit(const BatchContext& context, uint64_t ullStart, uint64_t ullEnd,
                                     bool bForward, uint32_t ulFactor, AlignedRead* po_Out) {
    const auto fits = [&](const AlignedRead& read) {
        return read.ull_LocalSize != 0 && read.ull_LocalSize <= context.ul_Capacity &&
               read.ull_Start <= ullStart && read.ull_End >= ullEnd;
    };
    if (context.po_Target->bAlign(ullStart, ullEnd, bForward, ulFactor, po_Out) && fits(*po_Out))
        return true;
    // A large single request may not fit once widened to big blocks; the
    // smallest blocks still read it whole.
    if (ulFactor != 1 && context.po_Target->bAlign(ullStart, ullEnd, bForward, 1, po_Out) && fits(*po_Out))
        return true;
    ERR_X_Raise("Assert", "eAlignOffsets failed!");
    return false;
}

BatchOutcome ReadBatchingPolicy::FinishBatch(const BatchContext& context, const AlignedRead& read) {
    BatchOutcome outcome;
    const uint64_t granularity = BIG_cl_BufferManager::kGranularity;
    const uint64_t allocSize = (read.ull_LocalSize + granularity - 1) / granularity * granularity;
    BIG_cl_AsynchronousIO* buffer =
        context.po_Buffers->po_Allocate(static_cast<uint32_t>(allocSize), context.ul_Group);
    if (buffer == nullptr) {
        outcome.e_Result = BatchOutcome::eNoMemory;
        return outcome;
    }
    ReqTable& table = *context.po_Table;
    buffer->ul_BfIdx = table.ul_GetBfIdx();
    buffer->ul_Queue = context.ul_Queue;
    buffer->ull_Start = read.ull_Start;
    buffer->ull_End = read.ull_End;
    buffer->ull_Skip = read.ull_Skip;
    buffer->ull_LocalStart = read.ull_LocalStart;
    buffer->ul_ReadSize = static_cast<uint32_t>(read.ull_LocalSize);
    buffer->h_File = read.h_File;
    buffer->e_State = BIG_cl_AsynchronousIO::eReading;
    const bool sorted = table.GetStore().bIsSorted();
    table.Visit(read.ull_Start, [&](Request* request) {
        if (sorted && request->ull_GetStart() >= read.ull_End)
            return false;
        if (!request->bIsPending() && request->ull_GetStart() >= read.ull_Start &&
            request->ull_GetEnd() <= read.ull_End) {
            table.MarkPending(request);
            buffer->a_Waiting.push_back(BIG_cl_AsynchronousIO::Waiter{request, context.ul_Queue});
        }
        return true;
    });
    outcome.e_Result = BatchOutcome::eRead;
    outcome.po_Buffer = buffer;
    return outcome;
}

BatchOutcome ReadBatchingPolicy_OneAtTheTime::Fill(const BatchContext& context) {
    BatchOutcome outcome;
    Request* request = context.po_Table->po_FirstNonPending();
    if (request == nullptr)
        return outcome;
    AlignedRead read;
    if (!bAlignToFit(context, request->ull_GetStart(), request->ull_GetEnd(), true, 1, &read)) {
        outcome.e_Result = BatchOutcome::eUnreadable;
        outcome.po_Unreadable = request;
        return outcome;
    }
    outcome = FinishBatch(context, read);
    if (outcome.e_Result == BatchOutcome::eRead && !request->bIsPending()) {
        // The read does not cover its own request: never launch it.
        context.po_Buffers->Release(outcome.po_Buffer);
        outcome = BatchOutcome{BatchOutcome::eUnreadable, nullptr, request};
    }
    return outcome;
}

namespace {

// Walks the requests of a table in position order, whatever its store keeps.
class SortedView {
public:
    explicit SortedView(ReqTable& table) : m_rTable(table) {
        if (table.GetStore().bIsSorted())
            return;
        table.Visit(0, [&](Request* request) {
            if (!request->bIsPending())
                m_aCopy.push_back(request);
            return true;
        });
        std::stable_sort(m_aCopy.begin(), m_aCopy.end(),
                         [](const Request* a, const Request* b) { return a->ul_Pos < b->ul_Pos; });
        m_bCopied = true;
    }

    void Forward(uint64_t ullFrom, const std::function<bool(Request*)>& visit) {
        if (!m_bCopied) {
            m_rTable.Visit(ullFrom, visit);
            return;
        }
        auto it = std::lower_bound(m_aCopy.begin(), m_aCopy.end(), ullFrom,
                                   [](const Request* r, uint64_t from) { return r->ull_GetStart() < from; });
        for (; it != m_aCopy.end(); ++it) {
            if (!visit(*it))
                return;
        }
    }

    void Backward(uint64_t ullBefore, const std::function<bool(Request*)>& visit) {
        if (!m_bCopied) {
            m_rTable.VisitBackward(ullBefore, visit);
            return;
        }
        auto it =
            std::lower_bound(m_aCopy.begin(), m_aCopy.end(), ullBefore,
                             [](const Request* r, uint64_t before) { return r->ull_GetStart() < before; });
        while (it != m_aCopy.begin()) {
            --it;
            if (!visit(*it))
                return;
        }
    }

private:
    ReqTable& m_rTable;
    std::vector<Request*> m_aCopy;
    bool m_bCopied = false;
};

}  // namespace

bool ReadBatchingPolicy_FwdBckMerge::bChooseRange(ReqTable& table, uint64_t ullCurrentPos, ReadTarget& target,
                                                  Range* po_Out) {
    SortedView view(table);
    Request* forward = nullptr;
    view.Forward(ullCurrentPos, [&](Request* request) {
        if (request->bIsPending())
            return true;
        forward = request;
        return false;
    });
    Request* backward = nullptr;
    if (forward == nullptr) {
        view.Backward(ullCurrentPos, [&](Request* request) {
            if (request->bIsPending())
                return true;
            backward = request;
            return false;
        });
    }
    if (forward == nullptr && backward == nullptr) {
        ERR_X_Raise("Assert", "Invalid internal state, no request found!");
        return false;
    }
    const uint64_t gap = static_cast<uint64_t>(target.ul_GetGranularity()) * kAlignFactor * kGapFactor;
    Range range;
    range.b_Forward = forward != nullptr;
    range.po_First = range.b_Forward ? forward : backward;
    range.ull_Start = range.po_First->ull_GetStart();
    range.ull_End = range.po_First->ull_GetEnd();
    if (range.b_Forward) {
        view.Forward(range.ull_Start, [&](Request* request) {
            if (request == range.po_First || request->bIsPending())
                return true;
            const uint64_t end = std::max(range.ull_End, request->ull_GetEnd());
            if (request->ull_GetStart() > range.ull_End + gap ||
                request->ull_GetEnd() > range.ull_Start + kMaxSpan ||
                !target.bIsValidRange(range.ull_Start, end))
                return false;
            range.ull_End = end;
            return true;
        });
    } else {
        view.Backward(range.ull_Start, [&](Request* request) {
            if (request->bIsPending())
                return true;
            const uint64_t end = std::max(range.ull_End, request->ull_GetEnd());
            if (request->ull_GetEnd() + gap < range.ull_Start || request->ull_GetStart() + kMaxSpan < end ||
                !target.bIsValidRange(request->ull_GetStart(), end))
                return false;
            range.ull_Start = request->ull_GetStart();
            range.ull_End = end;
            return true;
        });
    }
    *po_Out = range;
    return true;
}

BatchOutcome ReadBatchingPolicy_FwdBckMerge::Fill(const BatchContext& context) {
    BatchOutcome outcome;
    Range range;
    if (!bChooseRange(*context.po_Table, context.ull_CurrentPos, *context.po_Target, &range))
        return outcome;
    AlignedRead read;
    bool readable = context.po_Target->bIsValidRange(range.ull_Start, range.ull_End);
    if (!readable)
        ERR_X_Raise("Assert", "Read offsets are invalid!");
    else
        readable = bAlignToFit(context, range.ull_Start, range.ull_End, range.b_Forward, kAlignFactor, &read);
    if (!readable) {
        outcome.e_Result = BatchOutcome::eUnreadable;
        outcome.po_Unreadable = range.po_First;
        return outcome;
    }
    outcome = FinishBatch(context, read);
    if (outcome.e_Result == BatchOutcome::eRead && !range.po_First->bIsPending()) {
        context.po_Buffers->Release(outcome.po_Buffer);
        outcome = BatchOutcome{BatchOutcome::eUnreadable, nullptr, range.po_First};
    }
    return outcome;
}

}  // namespace BIG

// ---- Factory ---------------------------------------------------------------

std::unique_ptr<BIG::ReqPushStorePolicy> BIG_ReqPolicyFactory::po_CreatePushStore(uint32_t ulKind) {
    switch (ulKind) {
        case 0:
            return std::make_unique<BIG::ReqPushStorePolicy_CachedSorted>();
        case 1:
            return std::make_unique<BIG::ReqPushStorePolicy_FIFO>();
        default:
            ERR_X_Raise("Assert", "Invalid input parameter!");
            return nullptr;
    }
}

std::unique_ptr<BIG::SelectBfPolicy> BIG_ReqPolicyFactory::po_CreateSelectBf(uint32_t ulKind) {
    switch (ulKind) {
        case 0:
            return std::make_unique<BIG::SelectBfPolicy_NextByIdx>();
        case 1:
            return std::make_unique<BIG::SelectBfPolicy_LoadOrderList>();
        default:
            ERR_X_Raise("Assert", "Invalid input parameter!");
            return nullptr;
    }
}

std::unique_ptr<BIG::ReadBatchingPolicy> BIG_ReqPolicyFactory::po_CreateReadBatching(uint32_t ulKind) {
    switch (ulKind) {
        case 0:
            return std::make_unique<BIG::ReadBatchingPolicy_FwdBckMerge>();
        case 1:
            return std::make_unique<BIG::ReadBatchingPolicy_OneAtTheTime>();
        case 2:
            return std::make_unique<BIG::ReadBatchingPolicy_LoadOrderList>();
        default:
            ERR_X_Raise("Assert", "Invalid input parameter!");
            return nullptr;
    }
}
