// Requests, request tables, queue policies, the buffer manager and the read
// buffer collection of the asynchronous I/O manager, driven without a thread.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "BIGfile/AsynchronousIO/BIG_AsynchronousIO.h"
#include "BIGfile/AsynchronousIO/BIG_BufferManager.h"
#include "BIGfile/AsynchronousIO/BIG_ReadTarget.h"
#include "BIGfile/AsynchronousIO/BIG_ReqPolicies.h"
#include "BIGfile/AsynchronousIO/BIG_ReqTable.h"
#include "BIGfile/AsynchronousIO/BIG_Request.h"
#include "ERRor/ERR_Assert.h"
#include "ERRor/ERR_Log.h"
#include "tests/support/LogCapture.h"

namespace {

constexpr uint32_t kMain = 0xFFFFFFFF;
constexpr uint64_t kGran = 65536;

using AsyncPolicyLog = test_support::LogCapture;

// A bigfile geometry without files: local offsets equal global ones, segments
// end at the given byte offsets, blocks and threshold as the container's.
class FakeTarget : public BIG::ReadTarget {
public:
    explicit FakeTarget(std::vector<uint64_t> segmentEnds) : m_aEnds(std::move(segmentEnds)) {}

    bool bAlign(uint64_t start, uint64_t end, bool forward, uint32_t factor, BIG::AlignedRead* out) override {
        uint64_t segStart = 0, segEnd = 0;
        if (!bSegment(start, end, &segStart, &segEnd))
            return false;
        const uint64_t block = kGran * factor;
        uint64_t a = start / block * block;
        uint64_t b = (end + block - 1) / block * block;
        if (b - a < kGran) {
            if (forward)
                b = a + kGran;
            else
                a = b > kGran ? b - kGran : 0;
        }
        out->ull_LocalStart = a;
        out->ull_LocalSize = b - a;
        out->ull_Start = std::max(a, segStart);
        out->ull_End = std::min(b, segEnd);
        out->ull_Skip = out->ull_Start - a;
        return true;
    }
    bool bIsValidRange(uint64_t start, uint64_t end) override {
        uint64_t s, e;
        return bSegment(start, end, &s, &e);
    }
    uint32_t ul_GetGranularity() override { return kGran; }
    uint32_t ul_GetAlignmentShift() override { return 3; }

private:
    bool bSegment(uint64_t start, uint64_t end, uint64_t* segStart, uint64_t* segEnd) const {
        uint64_t from = 0;
        for (uint64_t to : m_aEnds) {
            if (start >= from && start < to)
                return end <= to ? (*segStart = from, *segEnd = to, true) : false;
            from = to;
        }
        return false;
    }
    std::vector<uint64_t> m_aEnds;
};

// Requests owned by the test, placed by byte offset.
class RequestSet {
public:
    BIG::Request* Make(uint64_t byteStart, uint32_t size, uint32_t bf = kMain) {
        BIG::Request* r = m_pool.po_Alloc();
        r->ul_Pos = static_cast<uint32_t>(byteStart >> 3);
        r->SetSize(size);
        r->ul_BfIdx = bf;
        return r;
    }

private:
    BIG::RequestPool m_pool;
};

// ---- Requests and the pool ---------------------------------------------------

TEST(AsyncRequest, PacksSizeCallbackAndPendingInOneWord) {
    AsyncPolicyLog log;
    BIG::Request r;
    r.SetSize(0x0FFFFFFF);
    r.SetCallbackIdx(5);
    r.SetPending();
    EXPECT_EQ(r.ul_GetSize(), 0x0FFFFFFFu);
    EXPECT_EQ(r.ul_GetCallbackIdx(), 5u);
    EXPECT_TRUE(r.bIsPending());
    EXPECT_EQ(r.ul_SizeAndFlags, 0xDFFFFFFFu);
    EXPECT_EQ(log.Count(), 0u);

    r.SetSize(0x10000001);
    EXPECT_TRUE(log.bContains("Size too big, the value will be lost!"));
    EXPECT_EQ(r.ul_GetSize(), 1u);
    r.SetCallbackIdx(8);
    EXPECT_TRUE(log.bContains("Callback index too big, the value will be lost!"));
    r.SetPending();
    EXPECT_TRUE(log.bContains("Request is already marked as pending!"));
    r.ClearPending();
    r.ClearPending();
    EXPECT_TRUE(log.bContains("Request is already marked as non pending!"));
}

TEST(AsyncRequest, PoolGrowsByBlocksAndRecycles) {
    BIG::RequestPool pool;
    std::vector<BIG::Request*> taken;
    for (uint32_t i = 0; i < BIG::RequestPool::kBlockSize + 1; ++i)
        taken.push_back(pool.po_Alloc());
    EXPECT_EQ(pool.ul_GetCapacity(), 2 * BIG::RequestPool::kBlockSize);
    EXPECT_EQ(pool.ul_GetUsed(), BIG::RequestPool::kBlockSize + 1);
    BIG::Request* freed = taken[7];
    freed->ul_User = 99;
    pool.Free(freed);
    BIG::Request* again = pool.po_Alloc();
    EXPECT_EQ(again, freed);
    EXPECT_EQ(again->ul_User, 0u) << "a recycled request starts clean";
    EXPECT_EQ(pool.ul_GetCapacity(), 2 * BIG::RequestPool::kBlockSize);
}

// ---- Push/store policies -----------------------------------------------------

std::vector<uint32_t> Positions(BIG::ReqPushStorePolicy& store) {
    std::vector<uint32_t> out;
    store.Visit(0, [&](BIG::Request* r) {
        out.push_back(r->ul_Pos);
        return true;
    });
    return out;
}

TEST(AsyncCachedSorted, CacheHoldsSixteenThenCommitsBeforeTheSeventeenth) {
    AsyncPolicyLog log;
    RequestSet set;
    BIG::ReqPushStorePolicy_CachedSorted store;
    for (int i = 0; i < 16; ++i)
        store.Push(set.Make(8 * (100 - i), 4));
    EXPECT_EQ(store.ul_GetCacheCount(), 16u);
    EXPECT_EQ(store.ul_GetCommittedCount(), 0u);
    EXPECT_EQ(store.ul_GetSize(), 16u);
    EXPECT_FALSE(store.bIsEmpty());
    store.Push(set.Make(8 * 5, 4));
    EXPECT_EQ(store.ul_GetCommittedCount(), 16u);
    EXPECT_EQ(store.ul_GetCacheCount(), 1u);
    EXPECT_FALSE(log.bContains("Cache is full"));
    store.Commit();
    const std::vector<uint32_t> got = Positions(store);
    EXPECT_TRUE(std::is_sorted(got.begin(), got.end()));
    EXPECT_EQ(got.size(), 17u);
    EXPECT_EQ(got.front(), 5u);
}

TEST(AsyncCachedSorted, RequestsBoundForTheSameIndexMergeInPositionOrder) {
    RequestSet set;
    BIG::ReqPushStorePolicy_CachedSorted store;
    store.Push(set.Make(80, 4));
    store.Push(set.Make(400, 4));
    store.Commit();
    // Both land between 80 and 400: the cache must order them by position too.
    store.Push(set.Make(240, 4));
    store.Push(set.Make(160, 4));
    store.Push(set.Make(160, 8));
    store.Push(set.Make(800, 4));
    store.Commit();
    EXPECT_EQ(Positions(store), (std::vector<uint32_t>{10, 20, 20, 30, 50, 100}));
}

TEST(AsyncCachedSorted, ReadsNeedACommittedTable) {
    AsyncPolicyLog log;
    RequestSet set;
    BIG::ReqPushStorePolicy_CachedSorted store;
    store.Push(set.Make(80, 4));
    store.ul_LowerBound(0);
    EXPECT_TRUE(log.bContains("Call commit before searching!"));
    store.po_At(0);
    EXPECT_TRUE(log.bContains("Call commit before!"));
    store.Push(nullptr);
    EXPECT_TRUE(log.bContains("Invalid input value!"));
    store.Push(set.Make(80, 4, 3));
    EXPECT_TRUE(log.bContains("comparing requests from 2 different BFs!"));
}

TEST(AsyncCachedSorted, RemoveFindsCachedAndCommittedRequests) {
    RequestSet set;
    BIG::ReqPushStorePolicy_CachedSorted store;
    BIG::Request* a = set.Make(80, 4);
    BIG::Request* b = set.Make(80, 4);
    BIG::Request* c = set.Make(16, 4);
    store.Push(a);
    store.Push(b);
    store.Commit();
    store.Push(c);
    EXPECT_TRUE(store.bRemove(b));
    EXPECT_FALSE(store.bRemove(b));
    EXPECT_TRUE(store.bRemove(c));
    EXPECT_EQ(store.ul_GetSize(), 1u);
    EXPECT_EQ(store.po_At(0), a);
}

TEST(AsyncFifo, KeepsArrivalOrderAndRefusesDuplicates) {
    AsyncPolicyLog log;
    RequestSet set;
    BIG::ReqPushStorePolicy_FIFO store;
    BIG::Request* a = set.Make(800, 4);
    BIG::Request* b = set.Make(80, 4);
    BIG::Request* c = set.Make(400, 4);
    store.Push(a);
    store.Push(b);
    store.Push(c);
    store.Push(b);
    EXPECT_TRUE(log.bContains("Request already in the request queue!"));
    EXPECT_EQ(Positions(store), (std::vector<uint32_t>{100, 10, 50}));
    EXPECT_EQ(store.po_At(1), b);
    EXPECT_EQ(store.po_At(3), nullptr);
    EXPECT_TRUE(log.bContains("Invalid input parameter (_pos)!"));
    EXPECT_TRUE(store.bRemove(b));
    EXPECT_EQ(Positions(store), (std::vector<uint32_t>{100, 50}));
}

// ---- Tables, collections, queues, factory -------------------------------------

TEST(AsyncReqTable, CountsPendingAndRefusesOtherBigfiles) {
    AsyncPolicyLog log;
    RequestSet set;
    BIG::ReqTable table(kMain, std::make_unique<BIG::ReqPushStorePolicy_CachedSorted>());
    BIG::Request* a = set.Make(80, 4);
    BIG::Request* b = set.Make(160, 4);
    table.Push(a);
    table.Push(b);
    table.MarkPending(a);
    EXPECT_EQ(table.ul_GetPendingCount(), 1u);
    EXPECT_TRUE(table.bHasNonPending());
    EXPECT_EQ(table.po_FirstNonPending(), b);
    table.MarkPending(b);
    EXPECT_FALSE(table.bHasNonPending());
    EXPECT_EQ(table.po_FirstNonPending(), nullptr);

    table.Push(set.Make(80, 4, 2));
    EXPECT_TRUE(log.bContains("Invalid input parameter, request not from this table!"));
    EXPECT_EQ(table.ul_GetSize(), 2u);

    EXPECT_TRUE(table.bRemove(a));
    table.RemoveIf([&](BIG::Request* r) { return r == b; });
    EXPECT_TRUE(table.bIsEmpty());
    EXPECT_EQ(table.ul_GetPendingCount(), 0u);
    EXPECT_FALSE(log.bContains("invalid pending request count"));
}

TEST(AsyncReqTable, CollectionSlotsAndTheirRefusals) {
    AsyncPolicyLog log;
    BIG::ReqTableCollection queue(BIG::ReqQueues::DefaultConfig(1));
    EXPECT_NE(queue.po_GetSlot(0), nullptr) << "the main bigfile's table exists from the start";
    EXPECT_EQ(queue.po_GetTable(127, false), nullptr);
    BIG::ReqTable* table = queue.po_GetTable(127, true);
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(queue.po_GetSlot(128), table);
    EXPECT_EQ(queue.po_GetTable(128, true), nullptr);
    EXPECT_TRUE(log.bContains("Invalid input parameter, bfIdx too big!"));
    EXPECT_FALSE(queue.bAddTable(nullptr));
    EXPECT_TRUE(log.bContains("Invalid input parameter, table should not be 0"));
    EXPECT_FALSE(
        queue.bAddTable(std::make_unique<BIG::ReqTable>(127, BIG_ReqPolicyFactory::po_CreatePushStore(0))));
    EXPECT_TRUE(log.bContains("Adding a table to a non empty space"));

    RequestSet set;
    table->Push(set.Make(80, 4, 127));
    EXPECT_FALSE(queue.bSetConfig(BIG::ReqPolicyConfig{1, 0, 1}));
    EXPECT_TRUE(log.bContains("The tables must be empty!"));
}

TEST(AsyncReqQueues, DefaultPoliciesPerQueue) {
    AsyncPolicyLog log;
    BIG::ReqQueues queues;
    for (uint32_t q = 0; q < 7; ++q) {
        BIG::ReqTableCollection* queue = queues.po_Get(q);
        ASSERT_NE(queue, nullptr);
        const bool urgent = q == 0;
        EXPECT_EQ(queue->GetConfig().ul_PushStore, urgent ? 1u : 0u) << q;
        EXPECT_EQ(queue->GetConfig().ul_SelectBf, 0u) << q;
        EXPECT_EQ(queue->GetConfig().ul_ReadBatching, urgent ? 1u : 0u) << q;
        EXPECT_EQ(queue->po_GetSlot(0)->GetStore().bIsSorted(), !urgent) << q;
        if (urgent)
            EXPECT_NE(dynamic_cast<BIG::ReadBatchingPolicy_OneAtTheTime*>(&queue->GetReadBatching()),
                      nullptr);
        else
            EXPECT_NE(dynamic_cast<BIG::ReadBatchingPolicy_FwdBckMerge*>(&queue->GetReadBatching()), nullptr);
    }
    EXPECT_EQ(queues.po_Get(7), nullptr);
    EXPECT_TRUE(log.bContains("Invalid input parameter!"));
}

TEST(AsyncPolicyFactory, MakesEveryKindItNamesAndRefusesOthers) {
    AsyncPolicyLog log;
    EXPECT_NE(dynamic_cast<BIG::ReqPushStorePolicy_CachedSorted*>(
                  BIG_ReqPolicyFactory::po_CreatePushStore(0).get()),
              nullptr);
    EXPECT_NE(dynamic_cast<BIG::ReqPushStorePolicy_FIFO*>(BIG_ReqPolicyFactory::po_CreatePushStore(1).get()),
              nullptr);
    EXPECT_NE(dynamic_cast<BIG::SelectBfPolicy_NextByIdx*>(BIG_ReqPolicyFactory::po_CreateSelectBf(0).get()),
              nullptr);
    EXPECT_NE(
        dynamic_cast<BIG::SelectBfPolicy_LoadOrderList*>(BIG_ReqPolicyFactory::po_CreateSelectBf(1).get()),
        nullptr);
    EXPECT_NE(dynamic_cast<BIG::ReadBatchingPolicy_FwdBckMerge*>(
                  BIG_ReqPolicyFactory::po_CreateReadBatching(0).get()),
              nullptr);
    EXPECT_NE(dynamic_cast<BIG::ReadBatchingPolicy_OneAtTheTime*>(
                  BIG_ReqPolicyFactory::po_CreateReadBatching(1).get()),
              nullptr);
    EXPECT_NE(dynamic_cast<BIG::ReadBatchingPolicy_LoadOrderList*>(
                  BIG_ReqPolicyFactory::po_CreateReadBatching(2).get()),
              nullptr);
    EXPECT_EQ(log.Count(), 0u);
    EXPECT_EQ(BIG_ReqPolicyFactory::po_CreatePushStore(2), nullptr);
    EXPECT_EQ(BIG_ReqPolicyFactory::po_CreateSelectBf(2), nullptr);
    EXPECT_EQ(BIG_ReqPolicyFactory::po_CreateReadBatching(3), nullptr);
    EXPECT_EQ(log.Count("Invalid input parameter!"), 3);
}

// ---- Select bigfile ----------------------------------------------------------

TEST(AsyncSelectBf, NextByIdxStaysThenMovesUpThenWraps) {
    AsyncPolicyLog log;
    RequestSet set;
    BIG::ReqTableCollection queue(BIG::ReqQueues::DefaultConfig(1));
    BIG::Request* on3 = set.Make(80, 4, 3);
    BIG::Request* on7 = set.Make(80, 4, 7);
    queue.po_GetTable(3, true)->Push(on3);
    queue.po_GetTable(7, true)->Push(on7);
    queue.po_GetTable(5, true);  // exists, empty
    BIG::SelectBfPolicy_NextByIdx policy;
    uint32_t next = 0;
    ASSERT_TRUE(policy.bSelect(queue, 5, &next));
    EXPECT_EQ(next, 7u);
    ASSERT_TRUE(policy.bSelect(queue, 7, &next));
    EXPECT_EQ(next, 7u) << "the current bigfile keeps the launcher while it has work";
    queue.po_GetTable(7, false)->MarkPending(on7);
    ASSERT_TRUE(policy.bSelect(queue, 7, &next));
    EXPECT_EQ(next, 3u);

    // The main bigfile counts as -1, below every package.
    queue.po_GetTable(kMain, false)->Push(set.Make(80, 4, kMain));
    ASSERT_TRUE(policy.bSelect(queue, 7, &next));
    EXPECT_EQ(next, kMain);

    queue.po_GetTable(3, false)->MarkPending(on3);
    queue.po_GetTable(kMain, false)->RemoveIf([](BIG::Request*) { return true; });
    EXPECT_FALSE(policy.bSelect(queue, 3, &next));
    EXPECT_TRUE(log.bContains("There must be at least one non-pending request!"));
}

// ---- Read batching -----------------------------------------------------------

struct MergeCase {
    const char* name;
    uint64_t secondStart;  // the first request is [0, 64) at byte 0
    uint32_t secondSize;
    std::vector<uint64_t> segmentEnds;
    bool joins;
};

TEST(AsyncFwdBckMerge, ForwardLimits) {
    const uint64_t gap = 18 * kGran;  // 1179648
    const std::vector<uint64_t> one = {64ull << 20};
    const MergeCase cases[] = {
        {"gap of exactly 18 granularities", 64 + gap, 64, one, true},
        {"one unit past 18 granularities", 64 + gap + 8, 64, one, false},
        {"ends exactly 4 MB after the start", 1024, 4194304 - 1024, one, true},
        {"ends past 4 MB after the start", 1024, 4194304 - 1024 + 8, one, false},
        {"next request in the next segment", 2048, 64, {2048, 64ull << 20}, false},
        {"request straddling the segment end", 1000, 2000, {2048, 64ull << 20}, false},
    };
    for (const MergeCase& c : cases) {
        RequestSet set;
        BIG::ReqTable table(kMain, std::make_unique<BIG::ReqPushStorePolicy_CachedSorted>());
        BIG::Request* first = set.Make(0, 64);
        BIG::Request* second = set.Make(c.secondStart, c.secondSize);
        table.Push(first);
        table.Push(second);
        FakeTarget target(c.segmentEnds);
        BIG::ReadBatchingPolicy_FwdBckMerge::Range range;
        ASSERT_TRUE(BIG::ReadBatchingPolicy_FwdBckMerge::bChooseRange(table, 0, target, &range)) << c.name;
        EXPECT_TRUE(range.b_Forward) << c.name;
        EXPECT_EQ(range.po_First, first) << c.name;
        EXPECT_EQ(range.ull_Start, 0u) << c.name;
        EXPECT_EQ(range.ull_End, c.joins ? second->ull_GetEnd() : 64u) << c.name;
    }
}

TEST(AsyncFwdBckMerge, ForwardWheneverSomethingLiesAheadBackwardOtherwise) {
    const uint64_t gap = 18 * kGran;
    RequestSet set;
    FakeTarget target({64ull << 20});
    BIG::ReqTable table(kMain, std::make_unique<BIG::ReqPushStorePolicy_CachedSorted>());
    BIG::Request* farBehind = set.Make(8 * 1000, 64);
    BIG::Request* behind = set.Make(8 * 1000 + 64 + gap, 64);  // joins backward
    BIG::Request* ahead = set.Make(32ull << 20, 64);           // far ahead
    table.Push(farBehind);
    table.Push(behind);
    table.Push(ahead);
    BIG::ReadBatchingPolicy_FwdBckMerge::Range range;
    // The backward request is much nearer, yet the forward one is taken.
    ASSERT_TRUE(BIG::ReadBatchingPolicy_FwdBckMerge::bChooseRange(table, 16ull << 20, target, &range));
    EXPECT_TRUE(range.b_Forward);
    EXPECT_EQ(range.po_First, ahead);

    ASSERT_TRUE(BIG::ReadBatchingPolicy_FwdBckMerge::bChooseRange(table, 48ull << 20, target, &range));
    EXPECT_TRUE(range.b_Forward == false);
    EXPECT_EQ(range.po_First, ahead) << "nearest before the position";
    table.MarkPending(ahead);
    ASSERT_TRUE(BIG::ReadBatchingPolicy_FwdBckMerge::bChooseRange(table, 48ull << 20, target, &range));
    EXPECT_FALSE(range.b_Forward);
    EXPECT_EQ(range.po_First, behind);
    EXPECT_EQ(range.ull_Start, farBehind->ull_GetStart()) << "the mirrored gap of 18 granularities joins it";
    EXPECT_EQ(range.ull_End, behind->ull_GetEnd());
}

TEST(AsyncFwdBckMerge, FillAlignsCountsCoveredRequestsAndLeavesTheRest) {
    AsyncPolicyLog log;
    RequestSet set;
    FakeTarget target({64ull << 20});
    BIG_cl_BufferManager memory;
    memory.SetMaxCommitSize(0, 10485760);
    BIG::ReadBufferCollection buffers(memory);
    BIG::ReqTable table(kMain, std::make_unique<BIG::ReqPushStorePolicy_CachedSorted>());
    BIG::Request* a = set.Make(400000, 100);
    BIG::Request* b = set.Make(500000, 100);
    BIG::Request* far = set.Make(8ull << 20, 100);
    table.Push(a);
    table.Push(b);
    table.Push(far);
    BIG::BatchContext context;
    context.po_Table = &table;
    context.ul_Queue = 3;
    context.ull_CurrentPos = 0;
    context.po_Target = &target;
    context.po_Buffers = &buffers;
    context.ul_Capacity = memory.ul_GetMaxCommitSize(0);
    BIG::ReadBatchingPolicy_FwdBckMerge policy;
    const BIG::BatchOutcome outcome = policy.Fill(context);
    ASSERT_EQ(outcome.e_Result, BIG::BatchOutcome::eRead);
    BIG_cl_AsynchronousIO* buffer = outcome.po_Buffer;
    const uint64_t block = 6 * kGran;
    EXPECT_EQ(buffer->ull_Start, 400000 / block * block);
    EXPECT_EQ(buffer->ull_End, (500100 + block - 1) / block * block);
    EXPECT_EQ(buffer->ul_Queue, 3u);
    EXPECT_EQ(buffer->e_State, BIG_cl_AsynchronousIO::eReading);
    ASSERT_EQ(buffer->a_Waiting.size(), 2u);
    EXPECT_TRUE(a->bIsPending());
    EXPECT_TRUE(b->bIsPending());
    EXPECT_FALSE(far->bIsPending());
    EXPECT_EQ(table.ul_GetPendingCount(), 2u);
    EXPECT_EQ(memory.ul_GetAllocated(0), buffer->ul_AllocSize);
    EXPECT_EQ(buffer->ul_AllocSize % kGran, 0u);
}

TEST(AsyncOneAtTheTime, ReadsTheFirstRequestInArrivalOrderAlone) {
    AsyncPolicyLog log;
    RequestSet set;
    FakeTarget target({64ull << 20});
    BIG_cl_BufferManager memory;
    memory.SetMaxCommitSize(0, 10485760);
    BIG::ReadBufferCollection buffers(memory);
    BIG::ReqTable table(kMain, std::make_unique<BIG::ReqPushStorePolicy_FIFO>());
    BIG::Request* late = set.Make(1 << 20, 16);
    BIG::Request* early = set.Make(4096, 16);
    table.Push(late);
    table.Push(early);
    BIG::BatchContext context;
    context.po_Table = &table;
    context.po_Target = &target;
    context.po_Buffers = &buffers;
    context.ul_Capacity = memory.ul_GetMaxCommitSize(0);
    BIG::ReadBatchingPolicy_OneAtTheTime policy;
    BIG::BatchOutcome outcome = policy.Fill(context);
    ASSERT_EQ(outcome.e_Result, BIG::BatchOutcome::eRead);
    EXPECT_EQ(outcome.po_Buffer->ull_Start, 1u << 20);
    EXPECT_EQ(outcome.po_Buffer->ull_End, (1u << 20) + kGran);
    EXPECT_TRUE(late->bIsPending());
    EXPECT_FALSE(early->bIsPending());

    // A request too big for any buffer is reported as unreadable, not retried.
    BIG::Request* huge = set.Make(8ull << 20, 12 << 20);
    BIG::ReqTable big(kMain, std::make_unique<BIG::ReqPushStorePolicy_FIFO>());
    big.Push(huge);
    context.po_Table = &big;
    outcome = policy.Fill(context);
    EXPECT_EQ(outcome.e_Result, BIG::BatchOutcome::eUnreadable);
    EXPECT_EQ(outcome.po_Unreadable, huge);
    EXPECT_TRUE(log.bContains("eAlignOffsets failed!"));
}

// ---- Buffer manager ------------------------------------------------------------

TEST(AsyncBufferManager, GroupLimitsHandlesAndPeak) {
    AsyncPolicyLog log;
    BIG_cl_BufferManager memory;
    memory.SetMaxCommitSize(0, 10485760);
    const uint32_t h1 = memory.ul_Alloc(0, 10485760 - kGran);
    const uint32_t h2 = memory.ul_Alloc(0, kGran);
    EXPECT_EQ(h1, 1u);
    EXPECT_EQ(h2, 2u);
    EXPECT_EQ(memory.ul_Alloc(0, kGran), 0u) << "a full group refuses silently";
    EXPECT_EQ(memory.ul_Alloc(1, kGran), 0u) << "group 1 starts with no room";
    EXPECT_EQ(log.Count(), 0u);
    EXPECT_NE(memory.pu8_GetMemory(h1), nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(memory.pu8_GetMemory(h1)) % 4096, 0u);
    memory.Free(h1);
    EXPECT_EQ(memory.ul_GetAllocated(0), kGran);
    EXPECT_EQ(memory.ul_GetPeak(0), 10485760u);
    const uint32_t h3 = memory.ul_Alloc(0, kGran);
    EXPECT_EQ(h3, 1u) << "freed handles are reused";
    memory.Free(h2);
    memory.Free(h3);
    EXPECT_EQ(memory.ul_GetLiveCount(), 0u);
}

TEST(AsyncBufferManager, MisuseMessages) {
    struct Case {
        const char* name;
        void (*act)(BIG_cl_BufferManager&);
        const char* message;
    };
    const Case cases[] = {
        {"handle 0", [](BIG_cl_BufferManager& m) { m.Free(0); }, "Invalid Handle"},
        {"handle 0xFFFF", [](BIG_cl_BufferManager& m) { m.Free(0xFFFF); }, "Invalid Handle"},
        {"handle 600", [](BIG_cl_BufferManager& m) { m.Free(600); },
         "Trying to free an invalid allocation handle"},
        {"nothing allocated", [](BIG_cl_BufferManager& m) { m.Free(3); }, "There is no allocation to free"},
        {"double free",
         [](BIG_cl_BufferManager& m) {
             const uint32_t keep = m.ul_Alloc(0, kGran);
             const uint32_t h = m.ul_Alloc(0, kGran);
             m.Free(h);
             m.Free(h);
             m.Free(keep);
         },
         "Multiple Free for this handle"},
        {"commit above 32 MB", [](BIG_cl_BufferManager& m) { m.SetMaxCommitSize(0, 0x2000000 + kGran); },
         "BufferManager::SetMaxCommitSize, out of range argument"},
        {"commit below allocated",
         [](BIG_cl_BufferManager& m) {
             const uint32_t h = m.ul_Alloc(0, 2 * kGran);
             m.SetMaxCommitSize(0, kGran);
             m.Free(h);
         },
         "cannot be shrinked to a size inferior to its currently allocated size"},
        {"group 4", [](BIG_cl_BufferManager& m) { m.ul_Alloc(4, kGran); }, "Invalid group index argument"},
        {"odd size", [](BIG_cl_BufferManager& m) { m.ul_Alloc(0, 1000); },
         "Size must be a multiple of granularity."},
    };
    for (const Case& c : cases) {
        AsyncPolicyLog log;
        BIG_cl_BufferManager memory;
        memory.SetMaxCommitSize(0, 10485760);
        c.act(memory);
        EXPECT_TRUE(log.bContains(c.message)) << c.name;
        EXPECT_EQ(memory.ul_GetLiveCount(), 0u) << c.name;
    }
}

TEST(AsyncBufferManager, AtMost512LiveAllocationsAndLeaksReportedAtDestruction) {
    AsyncPolicyLog log;
    auto memory = std::make_unique<BIG_cl_BufferManager>();
    memory->SetMaxCommitSize(0, 0x2000000);
    memory->SetMaxCommitSize(1, 0x2000000);
    for (uint32_t i = 0; i < 512; ++i)
        ASSERT_EQ(memory->ul_Alloc(0, kGran), i + 1);
    EXPECT_EQ(memory->ul_Alloc(1, kGran), 0u);
    EXPECT_TRUE(log.bContains("Maximum allocation count reached"));
    memory.reset();
    EXPECT_TRUE(log.bContains("BIG_cl_BufferManager being destroyed while there are not freed allocations"));
}

// ---- Read buffer collection ----------------------------------------------------

void HoldData(BIG_cl_AsynchronousIO* buffer, uint32_t delivered) {
    buffer->e_State = BIG_cl_AsynchronousIO::eHoldsData;
    buffer->ul_DataSize = buffer->ul_AllocSize;
    buffer->ul_Delivered = delivered;
}

TEST(AsyncReadBuffers, ReclaimsTheBufferWithTheFewestUndeliveredBytes) {
    AsyncPolicyLog log;
    BIG_cl_BufferManager memory;
    memory.SetMaxCommitSize(0, 3 * kGran);
    BIG::ReadBufferCollection buffers(memory);
    BIG_cl_AsynchronousIO* a = buffers.po_Allocate(kGran, 0);
    BIG_cl_AsynchronousIO* b = buffers.po_Allocate(kGran, 0);
    BIG_cl_AsynchronousIO* c = buffers.po_Allocate(kGran, 0);
    ASSERT_TRUE(a && b && c);
    HoldData(a, 10000);  // 55536 undelivered
    HoldData(b, 60000);  // 5536
    HoldData(c, 30000);  // 35536
    b->ul_Uses = 1;      // somebody still reads b: never reclaimed
    BIG_cl_AsynchronousIO* d = buffers.po_Allocate(kGran, 0);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(c->e_State, BIG_cl_AsynchronousIO::eEmpty)
        << "c has the fewest undelivered bytes among free ones";
    EXPECT_EQ(a->e_State, BIG_cl_AsynchronousIO::eHoldsData);
    EXPECT_EQ(b->e_State, BIG_cl_AsynchronousIO::eHoldsData);
    EXPECT_EQ(memory.ul_GetAllocated(0), 3 * kGran);

    // Waiting requests, invalidation and reads in flight also protect a buffer.
    BIG::Request waiting;
    a->a_Waiting.push_back(BIG_cl_AsynchronousIO::Waiter{&waiting, 1});
    d->e_State = BIG_cl_AsynchronousIO::eReading;
    EXPECT_EQ(buffers.po_Allocate(kGran, 0), nullptr);
    a->a_Waiting.clear();
    EXPECT_TRUE(a->bInvalidate());
    EXPECT_EQ(buffers.po_Allocate(kGran, 0), nullptr);
    b->ul_Uses = 0;
    EXPECT_NE(buffers.po_Allocate(kGran, 0), nullptr);
    EXPECT_EQ(b->e_State, BIG_cl_AsynchronousIO::eEmpty);
}

TEST(AsyncReadBuffers, FindsHeldRangesAndRefusesBadInvalidation) {
    AsyncPolicyLog log;
    BIG_cl_BufferManager memory;
    memory.SetMaxCommitSize(0, 4 * kGran);
    BIG::ReadBufferCollection buffers(memory);
    BIG_cl_AsynchronousIO* buffer = buffers.po_Allocate(kGran, 0);
    ASSERT_NE(buffer, nullptr);
    buffer->ul_BfIdx = kMain;
    buffer->ull_Start = 8192;
    buffer->ull_End = 8192 + kGran;
    buffer->e_State = BIG_cl_AsynchronousIO::eReading;
    EXPECT_EQ(buffers.po_FindContaining(kMain, 8192, 8200), nullptr) << "no data before the read is treated";
    EXPECT_FALSE(buffer->bInvalidate());
    EXPECT_TRUE(log.bContains("Cannot invalidate a buffer when read is in progress."));
    buffer->e_State = BIG_cl_AsynchronousIO::eHoldsData;
    buffer->ul_DataSize = 1000;  // the file ended early
    EXPECT_EQ(buffers.po_FindContaining(kMain, 8192, 9192), buffer);
    EXPECT_EQ(buffers.po_FindContaining(kMain, 8192, 9193), nullptr);
    EXPECT_EQ(buffers.po_FindContaining(3, 8192, 8200), nullptr);
    buffers.Release(buffer);
    EXPECT_FALSE(buffer->bInvalidate());
    EXPECT_TRUE(log.bContains("Cannot invalidate an empty buffer"));
    EXPECT_EQ(memory.ul_GetLiveCount(), 0u);
}

}  // namespace
