// The load manager: turns "load the file of this key" into a queued request,
// has its content read by the asynchronous I/O manager in two stages (the
// 4-byte length, then length and content), and hands the finished file to the
// load callback registered for its type. The object a callback returns is
// recorded in the file entry (as a handle of the table's slot table) and shared
// by every later request for the same key. Link files are followed to their
// target.
//
// Requests live in a preallocated pool of 130000 records chained in a free list
// (no allocation per request). A request handed to the asynchronous I/O manager
// carries a 32-bit user word: its pool index + 1 in the low 17 bits and the
// record's generation above, so that the completion of a read whose request
// was destroyed meanwhile finds nothing instead of the record's next tenant.
//
// Threads: everything runs on the thread that pumps the manager (RunOneFrame,
// LoadAll); read completions arrive on that thread from inside the asynchronous
// manager's treatment step. Completions that arrive while a user callback runs
// or a synchronous read is in progress are deferred, so callbacks are never
// re-entered. Only ul_GetRequestCount and bHasPendingRequests may be asked from
// other threads.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

class BIG_cl_AsynchronousFat;
class BIG_cl_AsynchronousIOManager;
class BIG_cl_Fat;
class BIG_LoadOrderManager;
class BIG_cl_TimeBudget;
namespace BIG {
class FBuff;
}

// Load callback: (file index, user data, extra 1, extra 2, queue id) -> the
// loaded object, or null. It may read the file's data from the asynchronous
// table (BIG_cl_AsynchronousFat); that data stays available while it runs.
using BIG_LoadCallback = void* (*)(uint32_t fileIndex, uint32_t userData, uint32_t extra1, uint32_t extra2,
                                   uint32_t queueId);
// Called when a file that is already loaded is requested again; (object, user data, queue id).
using BIG_ReuseCallback = void (*)(void* object, uint32_t userData, uint32_t queueId);
// Called for a canceled request with the file's object (or null).
using BIG_AbortCallback = void (*)(void* object);

// Callbacks by file type: 64 buckets of 8 slots. A type's bucket is
// ((type >> 4) & 0x3E) ^ (type & 0x1F). Registering takes the first empty slot
// of the bucket and is dropped when all 8 are taken; lookup scans the bucket in
// order and stops at the first empty slot.
template <class TCallback>
class BIG_TypeCallbackTable {
public:
    static constexpr uint32_t kBuckets = 64;
    static constexpr uint32_t kSlots = 8;

    static uint32_t ul_Bucket(uint32_t type) { return ((type >> 4) & 0x3E) ^ (type & 0x1F); }

    // False when the bucket is full (the registration is dropped).
    bool bAdd(uint32_t type, TCallback callback) {
        if (callback == nullptr)
            return false;
        Slot* bucket = m_slots[ul_Bucket(type)];
        for (uint32_t i = 0; i < kSlots; ++i) {
            if (bucket[i].callback == nullptr) {
                bucket[i].callback = callback;
                bucket[i].type = static_cast<uint16_t>(type);
                return true;
            }
        }
        return false;
    }
    TCallback Find(uint32_t type) const {
        const Slot* bucket = m_slots[ul_Bucket(type)];
        for (uint32_t i = 0; i < kSlots && bucket[i].callback != nullptr; ++i) {
            if (bucket[i].type == type)
                return bucket[i].callback;
        }
        return nullptr;
    }
    void Clear() {
        for (auto& bucket : m_slots)
            for (auto& slot : bucket)
                slot = Slot{};
    }

private:
    struct Slot {
        TCallback callback = nullptr;
        uint16_t type = 0;
    };
    Slot m_slots[kBuckets][kSlots];
};

// One load request.
struct BIG_st_LoadRequest {
    uint32_t ul_File = 0;         // file index; the next free record while free
    uint32_t ul_ContentSize = 0;  // the length read in the first stage
    uint32_t ul_UserData = 0;     // handed to the callbacks
    void** pp_Result = nullptr;   // receives the loaded object, may be null
    uint16_t uw_State = 0;        // bits 0-3 load flags, 4-11 status, 12-15 queue id
    uint32_t ul_Extra1 = 0;
    uint32_t ul_Extra2 = 0;
};

class BIG_cl_LoadManager {
public:
    static constexpr uint32_t kPoolSize = 130000;
    static constexpr uint32_t kQueueCount = 7;
    static constexpr uint32_t kTypeCount = 147;
    static constexpr uint32_t kNone = 0xFFFFFFFF;
    static constexpr uint32_t kLogChannel = 12;

    // Load flags (state bits 0-3).
    enum : uint16_t {
        LoadFlag_AddRef0 = 0x1,   // add 1 to the u16 at byte 0 of the delivered object
        LoadFlag_AddRef4 = 0x2,   // add 1 to the u16 at byte 4 of the delivered object
        LoadFlag_NoRecord = 0x4,  // do not record the object in the file entry
        LoadFlag_Mask = 0xF,
    };
    // Status bits (state bits 4-11).
    enum : uint16_t {
        Status_LengthRead = 1 << 4,   // length read in flight
        Status_LengthKnown = 1 << 5,  // content read still to be issued
        Status_ContentRead = 1 << 6,  // content read in flight
        Status_Deferred = 1 << 7,     // read finished, treatment or next read deferred
        Status_Free = 1 << 8,
        Status_Canceled = 1 << 9,
        Status_ReusePending = 1 << 10,
        Status_Ready = 1 << 11,  // counted in the ready count
        Status_Mask = 0x0FF0,
    };

    // Registers the read completion and the cancel query with `asyncIO`, and
    // creates the frame budget and the load-order manager.
    explicit BIG_cl_LoadManager(BIG_cl_AsynchronousIOManager& asyncIO);
    ~BIG_cl_LoadManager();
    BIG_cl_LoadManager(const BIG_cl_LoadManager&) = delete;
    BIG_cl_LoadManager& operator=(const BIG_cl_LoadManager&) = delete;

    // The table served (its entries) and the reader of its contents; the table
    // is also handed to the load-order manager. Both must outlive their use here.
    void SetFat(BIG_cl_Fat* fat, BIG_cl_AsynchronousFat* reader);
    BIG_cl_Fat* po_GetFat() const { return m_pFat; }
    BIG_cl_AsynchronousFat* po_GetReader() const { return m_pReader; }

    // Queues the load of `key`. See the implementation for the full protocol;
    // in short: key 0 asserts; an unknown key nulls the result slot and logs
    // `missingFormat` (one %s argument naming `shownKey`); a loaded file is
    // delivered at once when its type has no reuse callback. True when a
    // request was made or the object delivered.
    bool bLoadFileAfter(uint32_t key, uint32_t loadFlags, uint32_t userData, void** result, uint32_t queueId,
                        bool noImmediateCompletion = false, const char* missingFormat = nullptr,
                        uint32_t shownKey = kNone, uint32_t extra1 = 0, uint32_t extra2 = 0);

    // Takes a record from the free list; null (with an assertion) for a queue id
    // above 6 or a full pool.
    BIG_st_LoadRequest* po_AllocateRequest(uint32_t fileIndex, uint32_t userData, void** result,
                                           uint32_t loadFlags, uint32_t queueId, uint32_t extra1 = 0,
                                           uint32_t extra2 = 0);

    void AddLoadCallback(uint32_t type, BIG_LoadCallback callback) { m_loadCallbacks.bAdd(type, callback); }
    void AddReuseCallback(uint32_t type, BIG_ReuseCallback callback) {
        m_reuseCallbacks.bAdd(type, callback);
    }
    void SetAbortCallback(uint32_t type, BIG_AbortCallback callback);
    BIG_LoadCallback GetLoadCallback(uint32_t type) const { return m_loadCallbacks.Find(type); }

    // One pass (or, time-limited, passes until the frame budget is spent).
    void RunOneFrame(bool timeLimited);
    // Runs until no request is left; `showProgress` draws the status line.
    void LoadAll(bool showProgress);

    void TreatOneFile(BIG_st_LoadRequest* request);
    void TreatReadyRequests(bool timeLimited);
    void DestroyCanceledRequests();

    // Marks a request canceled (as a canceled read completion does).
    void CancelRequest(BIG_st_LoadRequest* request);
    // True when the request is free or canceled.
    bool bIsRequestCanceled(const BIG_st_LoadRequest* request) const;

    uint32_t ul_GetRequestCount() const { return m_allocated.load(std::memory_order_acquire); }
    uint32_t ul_GetReadyCount() const { return m_readyCount; }
    uint32_t ul_GetQueueCount(uint32_t queueId) const {
        return queueId < kQueueCount ? m_queueCounts[queueId] : 0;
    }
    bool bHasPendingRequests() const { return ul_GetRequestCount() != 0; }
    bool bIsInCallback() const { return m_bInCallback; }
    const BIG_st_LoadRequest* po_GetCurrentRequest() const { return m_pCurrent; }
    float f_GetLoadingTime() const { return m_loadingTime; }
    const char* sz_GetStatusText() const { return m_statusText; }
    BIG_LoadOrderManager* po_GetLoadOrderManager() const { return m_pLoadOrder.get(); }

    // Another live request for `fileIndex` in `queueId`, or null.
    BIG_st_LoadRequest* po_FindRequest(uint32_t fileIndex, uint32_t queueId);

    // Request <-> user word of the asynchronous manager (pool index + 1, and the
    // record generation above bit 17); a stale or unknown word gives null.
    uint32_t ul_RequestHandle(const BIG_st_LoadRequest* request) const;
    BIG_st_LoadRequest* po_RequestFromHandle(uint32_t handle);

    // Process-wide manager, made at library start after the asynchronous manager.
    static BIG_cl_LoadManager* po_Create(BIG_cl_AsynchronousIOManager& asyncIO);
    static BIG_cl_LoadManager* po_Get();
    static void Destroy();

private:
    // Run-time bookkeeping of a pool record that the record itself does not
    // carry: the generation that makes stale user words harmless, the links of
    // the file index, the link hops and the in-treatment mark.
    struct RequestMeta {
        uint32_t ul_NextInBucket = kNone;
        uint32_t ul_PrevInBucket = kNone;
        uint16_t uw_Generation = 0;
        uint8_t uc_LinkHops = 0;
        bool b_InTreatment = false;
        bool b_NoImmediate = false;
    };
    static constexpr uint32_t kIndexBuckets = 4096;
    static constexpr uint32_t kMaxLinkHops = 16;

    void OnReadDone(BIG::FBuff* data, bool failed, uint32_t userWord);
    bool bIsHandleCanceled(uint32_t userWord);

    void* p_CallCallback(BIG_st_LoadRequest* request);
    bool bLoadLink(uint32_t fileIndex, uint32_t* target);
    bool bFollowLink(BIG_st_LoadRequest* request, void** object);
    bool bStartLengthRead(BIG_st_LoadRequest* request);
    bool bStartContentRead(BIG_st_LoadRequest* request);
    void MarkReady(BIG_st_LoadRequest* request, uint16_t statusBits);
    void ReleaseRequest(BIG_st_LoadRequest* request);
    void CheckInvariant();
    void Deliver(BIG_st_LoadRequest* request, void* object);
    void* p_LoadedObject(uint32_t fileIndex) const;
    bool bIsLinkFile(uint32_t fileIndex) const;
    uint32_t ul_KeyOf(uint32_t fileIndex) const;
    bool bCompletionsDeferred() const;
    static uint32_t ul_Queue(const BIG_st_LoadRequest* request) { return request->uw_State >> 12; }
    uint32_t ul_Index(const BIG_st_LoadRequest* request) const {
        return static_cast<uint32_t>(request - m_pool.get());
    }
    void IndexAdd(uint32_t poolIndex);
    void IndexRemove(uint32_t poolIndex);
    void ShowProgress(uint64_t nowMs, uint64_t* firstMs, uint64_t* lastMs, int* ending);

    BIG_cl_AsynchronousIOManager& m_asyncIO;
    BIG_cl_Fat* m_pFat = nullptr;
    BIG_cl_AsynchronousFat* m_pReader = nullptr;
    int m_callbackIndex = -1;
    BIG_st_LoadRequest* m_pCurrent = nullptr;
    bool m_bInCallback = false;

    char m_statusText[128] = {};

    BIG_TypeCallbackTable<BIG_LoadCallback> m_loadCallbacks;
    BIG_TypeCallbackTable<BIG_ReuseCallback> m_reuseCallbacks;
    BIG_AbortCallback m_abortCallbacks[kTypeCount] = {};

    // The pool's storage is reserved whole but its records are made only as
    // the high-water mark m_used rises: a run that queues few loads touches
    // few of its pages (zeroing all of them up front cost a page fault per 4 KiB).
    // Records below m_used are either live or on the free list; a fresh record
    // is taken only when the free list is empty, which hands records out in the
    // order a free list chained through the whole pool would.
    struct RawDelete {
        void operator()(void* storage) const { ::operator delete(storage); }
    };
    std::unique_ptr<BIG_st_LoadRequest[], RawDelete> m_pool;
    uint32_t m_freeHead = kNone;
    // Written by the owning thread only; read by the cancel query on the I/O thread.
    std::atomic<uint32_t> m_used{0};
    std::atomic<uint32_t> m_allocated{0};
    uint32_t m_queueCounts[kQueueCount] = {};
    uint32_t m_readyCount = 0;
    std::unique_ptr<RequestMeta[], RawDelete> m_meta;  // made with the record of the same index
    // File index -> requests on that file: intrusive chains through m_meta, so
    // that queuing never allocates.
    std::unique_ptr<uint32_t[]> m_indexHeads;

    // Shared with the callbacks registered in the asynchronous manager, which
    // may outlive this object; the destructor clears it.
    std::shared_ptr<std::atomic<BIG_cl_LoadManager*>> m_pSelf;

    std::unique_ptr<BIG_cl_TimeBudget> m_pBudget;
    float m_loadingTime = 0.0f;
    std::unique_ptr<BIG_LoadOrderManager> m_pLoadOrder;
};
