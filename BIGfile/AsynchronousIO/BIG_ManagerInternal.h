// The asynchronous I/O manager's state, shared by its source files only.
//
// Locks: `mutex` (the manager mutex) guards the pool, the queues, the read
// buffers, the callbacks, the bigfile bindings and the launcher's position;
// `launcherMutex` guards the enabled, stop, paused, waiting, posted, no-work
// and read-in-progress flags and the completion fields of the read buffers.
// Order: mutex before launcherMutex.
#pragma once

#include <array>
#include <condition_variable>
#include <mutex>
#include <deque>
#include <memory>

#include "BIGfile/AsynchronousIO/BIG_AsynchronousIO.h"
#include "BIGfile/AsynchronousIO/BIG_AsynchronousIOManager.h"
#include "BIGfile/AsynchronousIO/BIG_BufferManager.h"
#include "BIGfile/AsynchronousIO/BIG_ReadTarget.h"
#include "BIGfile/AsynchronousIO/BIG_ReqTable.h"
#include "BIGfile/AsynchronousIO/BIG_Request.h"
#include "platform/AsyncRead.h"
#include "platform/Thread.h"

struct BIG_cl_AsynchronousIOManager::Impl {
    static constexpr uint32_t kSlotCount = BIG::ReqTableCollection::kSlotCount;

    BIG_cl_AsynchronousIOManager* po_Self = nullptr;

    PLT::Mutex mutex;
    BIG::RequestPool pool PLT_GUARDED_BY(mutex);
    BIG_cl_BufferManager bufferManager;
    BIG::ReqQueues queues PLT_GUARDED_BY(mutex);
    BIG::ReadBufferCollection buffers PLT_GUARDED_BY(mutex){bufferManager};
    // Callbacks never change once registered; a delivery holds its own copy of
    // the pointer while the mutex is released.
    std::array<std::shared_ptr<const BIG::ReadCallback>, BIG::kMaxCallbacks> aCallbacks PLT_GUARDED_BY(mutex);
    uint32_t ulCallbackCount PLT_GUARDED_BY(mutex) = 0;
    std::shared_ptr<const BIG::CancelQuery> pCancelQuery PLT_GUARDED_BY(mutex);
    std::array<std::shared_ptr<BIG::ReadTarget>, kSlotCount> aTargets PLT_GUARDED_BY(mutex);
    std::array<BIG::File*, kSlotCount> aFiles PLT_GUARDED_BY(mutex){};
    std::array<bool, BIG::kQueueCount> aLoadOrdering PLT_GUARDED_BY(mutex){};
    bool bDataReuse PLT_GUARDED_BY(mutex) = true;
    // Requests that can never be read, delivered as failures by the treatment.
    std::deque<BIG_cl_AsynchronousIO::Waiter> aFailed PLT_GUARDED_BY(mutex);
    // Where the launcher stands.
    uint32_t ulCurrentBf PLT_GUARDED_BY(mutex) = BIG::kMainBigfile;
    uint64_t ullCurrentPos PLT_GUARDED_BY(mutex) = 0;
    uint32_t ulReadNumber PLT_GUARDED_BY(mutex) = 0;

    PLT::Mutex launcherMutex;
    PLT::Semaphore semaphore;
    bool bEnabled PLT_GUARDED_BY(launcherMutex) = false;
    bool bStop PLT_GUARDED_BY(launcherMutex) = false;
    bool bWaiting PLT_GUARDED_BY(launcherMutex) = false;
    bool bPosted PLT_GUARDED_BY(launcherMutex) = false;
    bool bNoWork PLT_GUARDED_BY(launcherMutex) = false;
    bool bReadInProgress PLT_GUARDED_BY(launcherMutex) = false;
    uint32_t ulPauseCount PLT_GUARDED_BY(launcherMutex) = 0;

    // Counts reads ended and requests failed, for WaitForReadEnd.
    std::mutex eventMutex;
    std::condition_variable eventCv;
    uint64_t ullEvents = 0;
    void NotifyEvent();

    // Destroyed explicitly before the buffers whose memory it fills.
    std::unique_ptr<PLT::AsyncReadDevice> pDevice;
    PLT::Thread thread;

    void LauncherLoop();
    // False when the launcher should back off for a millisecond.
    bool bLaunchOne();
    void OnReadEnd(BIG_cl_AsynchronousIO* po_Buffer, bool bOk, size_t transferred);
    void WakeLauncher(bool bNewWork);

    BIG::FBuff* po_MakeData(BIG_cl_AsynchronousIO* po_Buffer, uint64_t ullStart, uint32_t ulSize);
    void DeliverFailures();
    void SettleRead(BIG_cl_AsynchronousIO* po_Buffer);
    void GatherCovered(BIG_cl_AsynchronousIO* po_Buffer) PLT_REQUIRES(mutex);
    void ExtractWaiting(BIG_cl_AsynchronousIO* po_Buffer) PLT_REQUIRES(mutex);
    void ReturnUndelivered(BIG_cl_AsynchronousIO* po_Buffer) PLT_REQUIRES(mutex);
};
