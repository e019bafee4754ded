// Load ordering: hooks through which the load manager and the asynchronous I/O
// manager would follow a recorded load order.
//
// The manager watches one queue (6 by default) and would be active only in
// state 4. This library never records or activates a load order (no list
// builder exists), so the hooks have nothing to do; they exist so that the
// callers keep one shape whether or not an order is followed.
//
// Thread-safety: owned by the load manager and called on the thread that pumps
// it (the asynchronous I/O manager asks bIsActive from its launcher thread,
// which is why the state is atomic).
#pragma once

#include <atomic>
#include <cstdint>

class BIG_cl_AsynchronousIOManager;
class BIG_cl_Fat;
class BIG_cl_LoadManager;
class BIG_cl_TimeBudget;

class BIG_LoadOrderManager {
public:
    enum e_State : uint32_t {
        e_Inactive = 0,
        e_Recording = 1,
        e_Building = 2,
        e_Loading = 3,
        e_Active = 4,
    };
    static constexpr uint32_t kDefaultQueue = 6;
    static constexpr uint32_t kTypeCount = 147;
    // Called for a file of the callback's type that arrived in the recorded order.
    using OrderedFileCallback = void (*)(uint32_t fileIndex, uint32_t queueId);

    BIG_LoadOrderManager(BIG_cl_AsynchronousIOManager* asyncIO, BIG_cl_LoadManager* loadManager);
    ~BIG_LoadOrderManager();
    BIG_LoadOrderManager(const BIG_LoadOrderManager&) = delete;
    BIG_LoadOrderManager& operator=(const BIG_LoadOrderManager&) = delete;

    bool bIsActive() const { return m_state.load(std::memory_order_acquire) == e_Active; }
    e_State GetState() const { return static_cast<e_State>(m_state.load(std::memory_order_acquire)); }
    uint32_t ul_GetQueueId() const { return m_queueId; }
    BIG_cl_Fat* po_GetFat() const { return m_pFat; }

    // Refused with "Cannot change fat when LoadOrderList is activated!" while active.
    void SetFat(BIG_cl_Fat* fat);
    // A requested file was handed to its requester.
    void FileConsumed(uint32_t fileIndex, uint32_t queueId, const void* request);
    // A link file was followed to its target.
    void LinkFollowed(uint32_t linkFileIndex, uint32_t targetFileIndex, uint32_t queueId);
    // Per-frame step; `budget` is null without a time limit.
    void OneFrame(BIG_cl_TimeBudget* budget);
    // Reports files that were loaded out of the recorded order.
    void ReportOutOfOrderFiles();
    // Stops following an order; nothing to do while inactive. A list being built
    // cannot be deactivated ("Deactivating a loadOrderList being built is not supported").
    void Deactivate();

    // Callback for files of `type` that arrive in order (147 slots; a type out of
    // range is refused with an assertion).
    void SetOrderedFileCallback(uint32_t type, OrderedFileCallback callback);
    OrderedFileCallback GetOrderedFileCallback(uint32_t type) const;

    // Singleton view: the instance owned by the process-wide load manager.
    static BIG_LoadOrderManager* po_Get();

private:
    friend class BIG_cl_LoadManager;
    static void SetInstance(BIG_LoadOrderManager* instance);

    BIG_cl_AsynchronousIOManager* m_pAsyncIO;
    BIG_cl_LoadManager* m_pLoadManager;
    BIG_cl_Fat* m_pFat = nullptr;
    uint32_t m_queueId = kDefaultQueue;
    std::atomic<uint32_t> m_state{e_Inactive};
    OrderedFileCallback m_callbacks[kTypeCount] = {};
};
