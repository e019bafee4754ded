// The pluggable policies of a request queue and the factory that makes them.
//
// | Family         | Kind 0                          | Kind 1                           | Kind 2 |
// |----------------|---------------------------------|----------------------------------|-----------------------------------|
// | push/store     | ReqPushStorePolicy_CachedSorted | ReqPushStorePolicy_FIFO          | (invalid) | |
// select bigfile | SelectBfPolicy_NextByIdx        | SelectBfPolicy_LoadOrderList     | (invalid) | | read
// batching  | ReadBatchingPolicy_FwdBckMerge  | ReadBatchingPolicy_OneAtTheTime  |
// ReadBatchingPolicy_LoadOrderList  |
//
// The load-order kinds belong to load ordering. This library never records a
// load order, so there is no list to follow: SelectBfPolicy_LoadOrderList
// serves bigfiles as SelectBfPolicy_NextByIdx does and
// ReadBatchingPolicy_LoadOrderList reads requests one at a time in table
// order. Only an explicit activation on a queue installs them.
//
// Policies run under the manager mutex, on the read launcher's thread.
#pragma once

#include <cstdint>
#include <memory>

#include "BIGfile/AsynchronousIO/BIG_ReqTable.h"

class BIG_cl_AsynchronousIO;

namespace BIG {

class ReadTarget;
class ReadBufferCollection;
struct AlignedRead;

class SelectBfPolicy {
public:
    virtual ~SelectBfPolicy() = default;
    // The bigfile to read next; false when no table has a non-pending request.
    virtual bool bSelect(ReqTableCollection& queue, uint32_t ulCurrentBf, uint32_t* pul_Out) = 0;
};

// Stays on the current bigfile while it has work, else takes the next bigfile
// index above it that has work, wrapping around (the main bigfile counts as -1).
class SelectBfPolicy_NextByIdx : public SelectBfPolicy {
public:
    bool bSelect(ReqTableCollection& queue, uint32_t ulCurrentBf, uint32_t* pul_Out) override;
};

class SelectBfPolicy_LoadOrderList : public SelectBfPolicy_NextByIdx {};

// Everything a batching policy needs for one physical read.
struct BatchContext {
    ReqTable* po_Table = nullptr;
    uint32_t ul_Queue = 0;
    uint64_t ull_CurrentPos = 0;  // global byte offset where the last read ended
    ReadTarget* po_Target = nullptr;
    ReadBufferCollection* po_Buffers = nullptr;
    uint32_t ul_Group = 0;
    uint32_t ul_Capacity = 0;  // largest read a buffer can hold
};

struct BatchOutcome {
    enum Result {
        eRead,        // po_Buffer is filled in and its requests are pending on it
        eNoMemory,    // no buffer can be had now: try again later
        eNothing,     // no non-pending request in the table
        eUnreadable,  // po_Unreadable can never be read (range, size): fail it
    };
    Result e_Result = eNothing;
    BIG_cl_AsynchronousIO* po_Buffer = nullptr;
    Request* po_Unreadable = nullptr;
};

class ReadBatchingPolicy {
public:
    virtual ~ReadBatchingPolicy() = default;
    virtual BatchOutcome Fill(const BatchContext& context) = 0;

protected:
    // Gets memory for the aligned read, describes it on the buffer and counts
    // on it (as pending) every non-pending request of the table it covers.
    static BatchOutcome FinishBatch(const BatchContext& context, const AlignedRead& read);
    // Aligns [start, end) with `factor`, falling back to factor 1 when the
    // result does not fit the capacity; false when even that does not fit.
    static bool bAlignToFit(const BatchContext& context, uint64_t ullStart, uint64_t ullEnd, bool bForward,
                            uint32_t ulFactor, AlignedRead* po_Out);
};

// The first non-pending request of the table alone, aligned forward.
class ReadBatchingPolicy_OneAtTheTime : public ReadBatchingPolicy {
public:
    BatchOutcome Fill(const BatchContext& context) override;
};

class ReadBatchingPolicy_LoadOrderList : public ReadBatchingPolicy_OneAtTheTime {};

// Merges neighbouring requests into one read, forward from the nearest request
// at or after the current position, or backward from the nearest one before it
// when nothing lies ahead.
class ReadBatchingPolicy_FwdBckMerge : public ReadBatchingPolicy {
public:
    static constexpr uint32_t kAlignFactor = 6;
    // A request joins when it starts at most 6 × 3 read granularities past the
    // current end (mirrored going backward).
    static constexpr uint32_t kGapFactor = 3;
    static constexpr uint64_t kMaxSpan = 4194304;

    struct Range {
        uint64_t ull_Start = 0;
        uint64_t ull_End = 0;
        bool b_Forward = true;
        Request* po_First = nullptr;
    };
    // The byte range of the merged read, before alignment; false when the
    // table has no non-pending request.
    static bool bChooseRange(ReqTable& table, uint64_t ullCurrentPos, ReadTarget& target, Range* po_Out);

    BatchOutcome Fill(const BatchContext& context) override;
};

}  // namespace BIG

class BIG_ReqPolicyFactory {
public:
    // Null after "Invalid input parameter!" for a kind the family lacks.
    static std::unique_ptr<BIG::ReqPushStorePolicy> po_CreatePushStore(uint32_t ulKind);
    static std::unique_ptr<BIG::SelectBfPolicy> po_CreateSelectBf(uint32_t ulKind);
    static std::unique_ptr<BIG::ReadBatchingPolicy> po_CreateReadBatching(uint32_t ulKind);
};
