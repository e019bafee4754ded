#include "BIGfile/AsynchronousIO/BIG_AsynchronousIOManager.h"

#include <algorithm>
#include <chrono>
#include <deque>
#include <unordered_set>
#include <vector>

#include "BIGfile/AsynchronousIO/BIG_AsynchronousIO.h"
#include "BIGfile/AsynchronousIO/BIG_BufferManager.h"
#include "BIGfile/AsynchronousIO/BIG_ManagerInternal.h"
#include "BIGfile/AsynchronousIO/BIG_ReadTarget.h"
#include "BIGfile/AsynchronousIO/BIG_ReqPolicies.h"
#include "BIGfile/AsynchronousIO/BIG_ReqTable.h"
#include "BIGfile/AsynchronousIO/BIG_Request.h"
#include "BIGfile/BIG_FBuff.h"
#include "BIGfile/BIG_TimeBudget.h"
#include "DesignPaTterns/DPT_Singleton.h"
#include "ERRor/ERR_Assert.h"
#include "platform/AsyncRead.h"
#include "platform/Clock.h"

namespace {

constexpr uint32_t kReadMarker = 0xF4BE8340;
constexpr uint32_t kMarkerCount = 31;

bool bValidBfIdx(uint32_t ulBfIdx) {
    return ulBfIdx == BIG::kMainBigfile || ulBfIdx < BIG::kMaxPackages;
}

}  // namespace

using Waiter = BIG_cl_AsynchronousIO::Waiter;

// ---- Construction ----------------------------------------------------------

BIG_cl_AsynchronousIOManager::BIG_cl_AsynchronousIOManager() : m_pImpl(std::make_unique<Impl>()) {
    Impl& impl = *m_pImpl;
    impl.po_Self = this;
    impl.bufferManager.SetMaxCommitSize(0, BIG::kReadBufferSize);
    impl.bufferManager.SetMaxCommitSize(1, 0);
    impl.pDevice = std::make_unique<PLT::AsyncReadDevice>("AsyncIO::Device");
    impl.thread.Start("AsynchronousIOManager::ReadLauncher", [&impl] { impl.LauncherLoop(); });
}

BIG_cl_AsynchronousIOManager::~BIG_cl_AsynchronousIOManager() {
    Impl& impl = *m_pImpl;
    {
        PLT::ScopedLock<PLT::Mutex> lock(impl.launcherMutex);
        impl.bStop = true;
    }
    impl.semaphore.Post();
    impl.thread.Join();
    // Drains the read in flight before its buffer goes away.
    impl.pDevice.reset();
}

BIG_cl_AsynchronousIOManager* BIG_cl_AsynchronousIOManager::po_GetInstance() {
    return DPT::Singleton<BIG_cl_AsynchronousIOManager>::pGet();
}

// ---- Configuration ---------------------------------------------------------

void BIG_cl_AsynchronousIOManager::SetBigfile(uint32_t ulBfIdx, BIG::File* po_File,
                                              PLT::CriticalSection* po_Lock) {
    if (!bValidBfIdx(ulBfIdx)) {
        ERR_X_Raise("Assert", "Invalid input parameter, bfIdx too big!");
        return;
    }
    std::shared_ptr<BIG::ReadTarget> target;
    if (po_File != nullptr)
        target = std::make_shared<BIG::FileReadTarget>(po_File, po_Lock);
    SetReadTarget(ulBfIdx, std::move(target), po_File);
}

void BIG_cl_AsynchronousIOManager::SetReadTarget(uint32_t ulBfIdx, std::shared_ptr<BIG::ReadTarget> target,
                                                 BIG::File* po_File) {
    if (!bValidBfIdx(ulBfIdx)) {
        ERR_X_Raise("Assert", "Invalid input parameter, bfIdx too big!");
        return;
    }
    PLT::ScopedLock<PLT::Mutex> lock(m_pImpl->mutex);
    const uint32_t slot = BIG::ReqTableCollection::ul_SlotOf(ulBfIdx);
    m_pImpl->aTargets[slot] = std::move(target);
    m_pImpl->aFiles[slot] = po_File;
}

BIG::File* BIG_cl_AsynchronousIOManager::po_GetBigfile(uint32_t ulBfIdx) const {
    if (!bValidBfIdx(ulBfIdx))
        return nullptr;
    PLT::ScopedLock<PLT::Mutex> lock(m_pImpl->mutex);
    return m_pImpl->aFiles[BIG::ReqTableCollection::ul_SlotOf(ulBfIdx)];
}

int BIG_cl_AsynchronousIOManager::i_RegisterCallback(BIG::ReadCallback callback) {
    PLT::ScopedLock<PLT::Mutex> lock(m_pImpl->mutex);
    if (m_pImpl->ulCallbackCount >= BIG::kMaxCallbacks) {
        ERR_X_Raise("Assert", "BIG_cl_AsynchronousIOManager::iRegisterCallback: Too many callback");
        return -1;
    }
    const uint32_t index = m_pImpl->ulCallbackCount++;
    m_pImpl->aCallbacks[index] = std::make_shared<const BIG::ReadCallback>(std::move(callback));
    return static_cast<int>(index);
}

void BIG_cl_AsynchronousIOManager::RegisterCancelQuery(BIG::CancelQuery query) {
    PLT::ScopedLock<PLT::Mutex> lock(m_pImpl->mutex);
    m_pImpl->pCancelQuery = std::make_shared<const BIG::CancelQuery>(std::move(query));
}

void BIG_cl_AsynchronousIOManager::SetDataReuse(bool bReuse) {
    PLT::ScopedLock<PLT::Mutex> lock(m_pImpl->mutex);
    m_pImpl->bDataReuse = bReuse;
}

bool BIG_cl_AsynchronousIOManager::bGetDataReuse() const {
    PLT::ScopedLock<PLT::Mutex> lock(m_pImpl->mutex);
    return m_pImpl->bDataReuse;
}

uint32_t BIG_cl_AsynchronousIOManager::ul_GetRequestCount() const {
    PLT::ScopedLock<PLT::Mutex> lock(m_pImpl->mutex);
    return m_pImpl->pool.ul_GetUsed();
}

uint32_t BIG_cl_AsynchronousIOManager::ul_GetReadCount() const {
    PLT::ScopedLock<PLT::Mutex> lock(m_pImpl->mutex);
    return m_pImpl->ulReadNumber;
}

uint64_t BIG_cl_AsynchronousIOManager::ull_GetLastReadPosition(uint32_t ulBfIdx) const {
    PLT::ScopedLock<PLT::Mutex> lock(m_pImpl->mutex);
    return m_pImpl->ulCurrentBf == ulBfIdx ? m_pImpl->ullCurrentPos : 0;
}

void BIG_cl_AsynchronousIOManager::WaitForReadEnd(uint32_t ulTimeoutMs) {
    Impl& impl = *m_pImpl;
    std::unique_lock<std::mutex> lock(impl.eventMutex);
    const uint64_t seen = impl.ullEvents;
    impl.eventCv.wait_for(lock, std::chrono::milliseconds(ulTimeoutMs),
                          [&] { return impl.ullEvents != seen; });
}

void BIG_cl_AsynchronousIOManager::Impl::NotifyEvent() {
    {
        std::lock_guard<std::mutex> lock(eventMutex);
        ++ullEvents;
    }
    eventCv.notify_all();
}

BIG_cl_BufferManager& BIG_cl_AsynchronousIOManager::GetBufferManager() {
    return m_pImpl->bufferManager;
}

void BIG_cl_AsynchronousIOManager::AddBufferUse(BIG_cl_AsynchronousIO* po_Buffer) {
    if (po_Buffer != nullptr)
        po_Buffer->ul_Uses.fetch_add(1, std::memory_order_acq_rel);
}

void BIG_cl_AsynchronousIOManager::ReleaseBufferUse(BIG_cl_AsynchronousIO* po_Buffer) {
    // The buffer is emptied by the next treatment or allocation that finds it
    // unused; no lock is taken here, so a data object may die anywhere.
    if (po_Buffer != nullptr)
        po_Buffer->ul_Uses.fetch_sub(1, std::memory_order_acq_rel);
}

// ---- Requests --------------------------------------------------------------

BIG::FBuff* BIG_cl_AsynchronousIOManager::Impl::po_MakeData(BIG_cl_AsynchronousIO* po_Buffer,
                                                            uint64_t ullStart, uint32_t ulSize) {
    auto* data =
        new BIG::FBuff(const_cast<uint8_t*>(po_Buffer->pu8_At(ullStart)), ulSize, po_Self, po_Buffer);
    data->AddRef();
    po_Buffer->ul_Delivered = std::min(po_Buffer->ul_DataSize, po_Buffer->ul_Delivered + ulSize);
    return data;
}

bool BIG_cl_AsynchronousIOManager::bAddReadRequest(uint32_t ulPos, uint32_t ulSize, uint32_t ulUser,
                                                   uint32_t ulCallbackIdx, bool bAllowImmediate,
                                                   uint32_t ulBfIdx, uint32_t ulQueueId) {
    Impl& impl = *m_pImpl;
    if (ulQueueId >= BIG::kQueueCount) {
        ERR_X_Raise("Assert", "Invalid input parameter!");
        return false;
    }
    if (ulSize == 0)
        return false;  // nothing to read; the table refuses empty contents silently too
    if (ulSize > BIG::Request::kMaxSize) {
        ERR_X_Raise("Assert", "Size too big, the value will be lost!");
        return false;
    }
    if (ulCallbackIdx > BIG::kNoCallback) {
        ERR_X_Raise("Assert", "Callback index too big, the value will be lost!");
        return false;
    }
    if (ulPos == 0xFFFFFFFF) {
        ERR_X_Raise("Assert", "Invalid input parameter!");
        return false;
    }
    if (!bValidBfIdx(ulBfIdx)) {
        ERR_X_Raise("Assert", "Invalid input parameter, bfIdx too big!");
        return false;
    }
    const uint64_t start = static_cast<uint64_t>(ulPos) << 3;
    const uint64_t end = start + ulSize;

    impl.mutex.Lock();
    if (!impl.aTargets[BIG::ReqTableCollection::ul_SlotOf(ulBfIdx)]) {
        impl.mutex.Unlock();
        ERR_X_RaisePrintf("Assert", "Bigfile at index %lu is null", static_cast<unsigned long>(ulBfIdx));
        return false;
    }
    BIG_cl_AsynchronousIO* held =
        impl.bDataReuse ? impl.buffers.po_FindContaining(ulBfIdx, start, end) : nullptr;
    if (held != nullptr && bAllowImmediate) {
        BIG::FBuff* data = impl.po_MakeData(held, start, ulSize);
        std::shared_ptr<const BIG::ReadCallback> callback =
            ulCallbackIdx < BIG::kMaxCallbacks ? impl.aCallbacks[ulCallbackIdx] : nullptr;
        impl.mutex.Unlock();
        if (callback && *callback)
            (*callback)(data, false, ulUser);
        else
            data->Release();
        return true;
    }

    BIG::Request* request = impl.pool.po_Alloc();
    BIG::ReqTableCollection* queue = impl.queues.po_Get(ulQueueId);
    BIG::ReqTable* table = request != nullptr ? queue->po_GetTable(ulBfIdx, true) : nullptr;
    if (table == nullptr) {
        impl.pool.Free(request);
        impl.mutex.Unlock();
        return false;
    }
    request->ul_Pos = ulPos;
    request->SetSize(ulSize);
    request->SetCallbackIdx(ulCallbackIdx);
    request->ul_User = ulUser;
    request->ul_BfIdx = ulBfIdx;
    if (held != nullptr) {
        // Served from memory at the next treatment, without a read of its own.
        request->SetPending();
        held->a_Waiting.push_back(Waiter{request, ulQueueId});
    }
    table->Push(request);
    impl.mutex.Unlock();

    if (held == nullptr)
        impl.WakeLauncher(true);
    return true;
}

void BIG_cl_AsynchronousIOManager::Impl::WakeLauncher(bool bNewWork) {
    PLT::ScopedLock<PLT::Mutex> lock(launcherMutex);
    if (bNewWork) {
        bEnabled = true;
        bNoWork = false;
    }
    if (bWaiting && !bPosted) {
        bPosted = true;
        semaphore.Post();
    }
}

BIG::FBuff* BIG_cl_AsynchronousIOManager::po_FindData(uint32_t ulPos, uint32_t ulSize, uint32_t ulBfIdx) {
    if (ulPos == 0xFFFFFFFF || ulSize == 0)
        return nullptr;
    const uint64_t start = static_cast<uint64_t>(ulPos) << 3;
    PLT::ScopedLock<PLT::Mutex> lock(m_pImpl->mutex);
    BIG_cl_AsynchronousIO* held = m_pImpl->buffers.po_FindContaining(ulBfIdx, start, start + ulSize);
    return held != nullptr ? m_pImpl->po_MakeData(held, start, ulSize) : nullptr;
}

// ---- Pause, resume, flush, load ordering ------------------------------------

void BIG_cl_AsynchronousIOManager::PauseReading() {
    PLT::ScopedLock<PLT::Mutex> lock(m_pImpl->launcherMutex);
    ++m_pImpl->ulPauseCount;
}

void BIG_cl_AsynchronousIOManager::ResumeReading() {
    {
        PLT::ScopedLock<PLT::Mutex> lock(m_pImpl->launcherMutex);
        if (m_pImpl->ulPauseCount == 0) {
            ERR_X_Raise("Assert",
                        "BIG_cl_AsynchronousIOManager::ResumeReading: AIO "
                        "manager not paused!");
            return;
        }
        if (--m_pImpl->ulPauseCount != 0)
            return;
    }
    m_pImpl->WakeLauncher(false);
}

bool BIG_cl_AsynchronousIOManager::bIsPaused() const {
    PLT::ScopedLock<PLT::Mutex> lock(m_pImpl->launcherMutex);
    return m_pImpl->ulPauseCount != 0;
}

void BIG_cl_AsynchronousIOManager::Flush() {
    Impl& impl = *m_pImpl;
    PLT::ScopedLock<PLT::Mutex> lock(impl.mutex);
    // The launcher needs the manager mutex to start a read, so once the read in
    // flight has ended no other can begin until this is done.
    for (;;) {
        {
            PLT::ScopedLock<PLT::Mutex> launcherLock(impl.launcherMutex);
            if (!impl.bReadInProgress)
                break;
        }
        PLT::SleepMs(1);
    }
    const std::vector<BIG_cl_AsynchronousIO*> buffers = impl.buffers.GetNonEmpty();
    for (BIG_cl_AsynchronousIO* buffer : buffers) {
        if (buffer->e_State == BIG_cl_AsynchronousIO::eHoldsData && buffer->a_Waiting.empty() &&
            buffer->a_Ready.empty() && buffer->ul_Uses.load(std::memory_order_acquire) == 0)
            impl.buffers.Release(buffer);
        else
            buffer->b_Invalidate = true;
    }
}

void BIG_cl_AsynchronousIOManager::ActivateLoadOrdering(uint32_t ulQueueId) {
    Impl& impl = *m_pImpl;
    PLT::ScopedLock<PLT::Mutex> lock(impl.mutex);
    BIG::ReqTableCollection* queue = impl.queues.po_Get(ulQueueId);
    if (queue == nullptr || impl.aLoadOrdering[ulQueueId])
        return;
    BIG::ReqPolicyConfig config = queue->GetConfig();
    config.ul_SelectBf = 1;
    config.ul_ReadBatching = 2;
    if (queue->bSetConfig(config))
        impl.aLoadOrdering[ulQueueId] = true;
}

void BIG_cl_AsynchronousIOManager::DeactivateLoadOrdering(uint32_t ulQueueId, bool bRequireEmptyQueue) {
    Impl& impl = *m_pImpl;
    {
        PLT::ScopedLock<PLT::Mutex> lock(impl.mutex);
        BIG::ReqTableCollection* queue = impl.queues.po_Get(ulQueueId);
        if (queue == nullptr)
            return;
        if (!impl.aLoadOrdering[ulQueueId]) {
            ERR_X_Raise("Assert", "Can't deactivate load ordering if optimization is not activated!");
            return;
        }
        if (bRequireEmptyQueue && !queue->bIsEmpty()) {
            ERR_X_Raise("Assert",
                        "Can't deactivate load ordering if there are still "
                        "some requests in the queue!");
            return;
        }
    }
    Flush();
    PLT::ScopedLock<PLT::Mutex> lock(impl.mutex);
    BIG::ReqTableCollection* queue = impl.queues.po_Get(ulQueueId);
    if (queue->bSetConfig(BIG::ReqQueues::DefaultConfig(ulQueueId)))
        impl.aLoadOrdering[ulQueueId] = false;
    if (impl.bufferManager.ul_GetAllocated(1) == 0)
        impl.bufferManager.SetMaxCommitSize(1, 0);
    impl.bufferManager.SetMaxCommitSize(0, BIG::kReadBufferSize);
}

bool BIG_cl_AsynchronousIOManager::bIsLoadOrderingActive(uint32_t ulQueueId) const {
    PLT::ScopedLock<PLT::Mutex> lock(m_pImpl->mutex);
    return ulQueueId < BIG::kQueueCount && m_pImpl->aLoadOrdering[ulQueueId];
}

// ---- Read launcher ---------------------------------------------------------

void BIG_cl_AsynchronousIOManager::Impl::LauncherLoop() {
    for (;;) {
        {
            PLT::ScopedLock<PLT::Mutex> lock(launcherMutex);
            while (!bStop && (!bEnabled || bReadInProgress || ulPauseCount != 0 || bNoWork)) {
                bWaiting = true;
                bPosted = false;
                launcherMutex.Unlock();
                semaphore.Wait();
                launcherMutex.Lock();
                bWaiting = false;
            }
            if (bStop)
                return;
        }
        if (!bLaunchOne())
            PLT::SleepMs(1);
    }
}

bool BIG_cl_AsynchronousIOManager::Impl::bLaunchOne() {
    PLT::ScopedLock<PLT::Mutex> lock(mutex);
    uint32_t queueId = 0;
    BIG::ReqTableCollection* queue = nullptr;
    for (; queueId < BIG::kQueueCount; ++queueId) {
        queue = queues.po_Get(queueId);
        if (queue->bHasNonPending())
            break;
    }
    if (queueId == BIG::kQueueCount) {
        PLT::ScopedLock<PLT::Mutex> launcherLock(launcherMutex);
        bNoWork = true;
        return true;
    }
    uint32_t bfIdx = 0;
    if (!queue->GetSelectBf().bSelect(*queue, ulCurrentBf, &bfIdx))
        return false;
    if (bfIdx != ulCurrentBf) {
        ulCurrentBf = bfIdx;
        ullCurrentPos = 0;
    }
    BIG::ReqTable* table = queue->po_GetTable(bfIdx, false);
    const uint32_t slot = BIG::ReqTableCollection::ul_SlotOf(bfIdx);
    BIG::ReadTarget* target = aTargets[slot].get();
    if (target == nullptr) {
        // The bigfile went away: its requests can never be read.
        ERR_X_RaisePrintf("Assert", "Bigfile at index %lu is null", static_cast<unsigned long>(bfIdx));
        // Collected, then failed here: the thread-safety analysis does not see
        // the lock held inside the lambda.
        std::vector<BIG::Request*> lost;
        table->RemoveIf([&](BIG::Request* request) {
            if (request->bIsPending())
                return false;
            lost.push_back(request);
            return true;
        });
        for (BIG::Request* request : lost)
            aFailed.push_back(Waiter{request, queueId});
        NotifyEvent();
        return true;
    }

    BIG::BatchContext context;
    context.po_Table = table;
    context.ul_Queue = queueId;
    context.ull_CurrentPos = ullCurrentPos;
    context.po_Target = target;
    context.po_Buffers = &buffers;
    context.ul_Group = 0;
    context.ul_Capacity = bufferManager.ul_GetMaxCommitSize(0);
    const BIG::BatchOutcome outcome = queue->GetReadBatching().Fill(context);
    switch (outcome.e_Result) {
        case BIG::BatchOutcome::eNothing:
            return true;
        case BIG::BatchOutcome::eNoMemory:
            return false;
        case BIG::BatchOutcome::eUnreadable:
            table->bRemove(outcome.po_Unreadable);
            aFailed.push_back(Waiter{outcome.po_Unreadable, queueId});
            NotifyEvent();
            return true;
        case BIG::BatchOutcome::eRead:
            break;
    }

    BIG_cl_AsynchronousIO* buffer = outcome.po_Buffer;
    buffer->ul_ReadNumber = ++ulReadNumber;
    // Markers let a debugger see which parts of the buffer the device filled.
    const uint32_t step = buffer->ul_ReadSize / (kMarkerCount + 1) & ~3u;
    for (uint32_t i = 1; step != 0 && i <= kMarkerCount; ++i) {
        uint8_t* at = buffer->pu8_Memory + static_cast<size_t>(i) * step;
        at[0] = static_cast<uint8_t>(kReadMarker);
        at[1] = static_cast<uint8_t>(kReadMarker >> 8);
        at[2] = static_cast<uint8_t>(kReadMarker >> 16);
        at[3] = static_cast<uint8_t>(kReadMarker >> 24);
    }
    const uint32_t shift = target->ul_GetAlignmentShift();
    const uint64_t alignment = uint64_t{1} << shift;
    ullCurrentPos = (buffer->ull_End + alignment - 1) & ~(alignment - 1);

    {
        PLT::ScopedLock<PLT::Mutex> launcherLock(launcherMutex);
        bReadInProgress = true;
    }
    PLT::AsyncReadRequest read;
    read.file = buffer->h_File;
    read.offset = buffer->ull_LocalStart;
    read.buffer = buffer->pu8_Memory;
    read.size = buffer->ul_ReadSize;
    read.user = 0;
    const bool submitted =
        pDevice->Submit(read, [this, buffer](const PLT::AsyncReadRequest&, bool ok, size_t transferred, int) {
            OnReadEnd(buffer, ok, transferred);
        });
    if (!submitted)
        OnReadEnd(buffer, false, 0);
    return true;
}

void BIG_cl_AsynchronousIOManager::Impl::OnReadEnd(BIG_cl_AsynchronousIO* po_Buffer, bool bOk,
                                                   size_t transferred) {
    PLT::ScopedLock<PLT::Mutex> lock(launcherMutex);
    po_Buffer->b_ReadEnded = true;
    po_Buffer->b_ReadFailed = !bOk;
    po_Buffer->ull_Transferred = transferred;
    bReadInProgress = false;
    if (bWaiting && !bPosted) {
        bPosted = true;
        semaphore.Post();
    }
    NotifyEvent();
}

// ---- Treatment -------------------------------------------------------------

void BIG_cl_AsynchronousIOManager::Impl::DeliverFailures() {
    mutex.Lock();
    while (!aFailed.empty()) {
        const Waiter waiter = aFailed.front();
        aFailed.pop_front();
        BIG::Request* request = waiter.po_Request;
        const uint32_t user = request->ul_User;
        const uint32_t callbackIdx = request->ul_GetCallbackIdx();
        pool.Free(request);
        std::shared_ptr<const BIG::ReadCallback> callback =
            callbackIdx < BIG::kMaxCallbacks ? aCallbacks[callbackIdx] : nullptr;
        mutex.Unlock();
        if (callback && *callback)
            (*callback)(nullptr, true, user);
        mutex.Lock();
    }
    mutex.Unlock();
}

// Settles a buffer whose read has ended: its valid bytes are known from now on.
void BIG_cl_AsynchronousIOManager::Impl::SettleRead(BIG_cl_AsynchronousIO* po_Buffer) {
    bool failed;
    uint64_t transferred;
    {
        PLT::ScopedLock<PLT::Mutex> lock(launcherMutex);
        failed = po_Buffer->b_ReadFailed;
        transferred = po_Buffer->ull_Transferred;
    }
    po_Buffer->e_State = BIG_cl_AsynchronousIO::eHoldsData;
    po_Buffer->b_ReadFailed = failed;
    const uint64_t span = po_Buffer->ull_End - po_Buffer->ull_Start;
    uint64_t valid = 0;
    if (!failed && transferred > po_Buffer->ull_Skip)
        valid = std::min(span, transferred - po_Buffer->ull_Skip);
    po_Buffer->ul_DataSize = static_cast<uint32_t>(valid);
}

// Requests of any queue that the buffer's bytes cover and that still wait for a
// read of their own are served from it too.
void BIG_cl_AsynchronousIOManager::Impl::GatherCovered(BIG_cl_AsynchronousIO* po_Buffer) {
    if (po_Buffer->b_ReadFailed || po_Buffer->b_Invalidate || po_Buffer->ul_DataSize == 0)
        return;
    const uint64_t start = po_Buffer->ull_Start;
    const uint64_t end = po_Buffer->ull_GetDataEnd();
    for (uint32_t q = 0; q < BIG::kQueueCount; ++q) {
        BIG::ReqTable* table = queues.po_Get(q)->po_GetTable(po_Buffer->ul_BfIdx, false);
        if (table == nullptr || !table->bHasNonPending())
            continue;
        const bool sorted = table->GetStore().bIsSorted();
        table->Visit(start, [&](BIG::Request* request) {
            if (sorted && request->ull_GetStart() >= end)
                return false;
            if (!request->bIsPending() && request->ull_GetStart() >= start && request->ull_GetEnd() <= end) {
                table->MarkPending(request);
                po_Buffer->a_Waiting.push_back(Waiter{request, q});
            }
            return true;
        });
    }
}

// Takes the buffer's waiting requests out of their tables, in one pass per
// table, into its delivery list (queue order, then the order they were
// counted).
void BIG_cl_AsynchronousIOManager::Impl::ExtractWaiting(BIG_cl_AsynchronousIO* po_Buffer) {
    if (po_Buffer->a_Waiting.empty())
        return;
    std::stable_sort(po_Buffer->a_Waiting.begin(), po_Buffer->a_Waiting.end(),
                     [](const Waiter& a, const Waiter& b) { return a.ul_Queue < b.ul_Queue; });
    std::unordered_set<BIG::Request*> taken;
    size_t i = 0;
    while (i < po_Buffer->a_Waiting.size()) {
        const uint32_t q = po_Buffer->a_Waiting[i].ul_Queue;
        taken.clear();
        size_t j = i;
        for (; j < po_Buffer->a_Waiting.size() && po_Buffer->a_Waiting[j].ul_Queue == q; ++j)
            taken.insert(po_Buffer->a_Waiting[j].po_Request);
        BIG::ReqTable* table = queues.po_Get(q)->po_GetTable(po_Buffer->ul_BfIdx, false);
        if (table != nullptr)
            table->RemoveIf([&](BIG::Request* request) { return taken.count(request) != 0; });
        i = j;
    }
    po_Buffer->a_Ready.insert(po_Buffer->a_Ready.end(), po_Buffer->a_Waiting.begin(),
                              po_Buffer->a_Waiting.end());
    po_Buffer->a_Waiting.clear();
}

// Puts back the requests that a spent budget left undelivered: dropped when
// their owner gave them up, else back in their tables (still counted on the
// buffer, or free for a new read when the buffer is going away).
void BIG_cl_AsynchronousIOManager::Impl::ReturnUndelivered(BIG_cl_AsynchronousIO* po_Buffer) {
    while (!po_Buffer->a_Ready.empty()) {
        const Waiter waiter = po_Buffer->a_Ready.front();
        po_Buffer->a_Ready.pop_front();
        BIG::Request* request = waiter.po_Request;
        if (pCancelQuery && *pCancelQuery && (*pCancelQuery)(request->ul_User)) {
            pool.Free(request);
            continue;
        }
        BIG::ReqTable* table = queues.po_Get(waiter.ul_Queue)->po_GetTable(request->ul_BfIdx, true);
        if (table == nullptr) {
            aFailed.push_back(waiter);
            continue;
        }
        if (po_Buffer->b_Invalidate || po_Buffer->b_ReadFailed) {
            request->ClearPending();
            table->Push(request);
        } else {
            table->Push(request);
            po_Buffer->a_Waiting.push_back(waiter);
        }
    }
}

void BIG_cl_AsynchronousIOManager::TreatFinishedReads(BIG_cl_TimeBudget* po_Budget) {
    Impl& impl = *m_pImpl;
    impl.DeliverFailures();
    bool spent = false;
    bool moreWork = false;
    impl.mutex.Lock();
    const std::vector<BIG_cl_AsynchronousIO*> buffers = impl.buffers.GetNonEmpty();
    for (BIG_cl_AsynchronousIO* buffer : buffers) {
        if (spent)
            break;
        if (buffer->e_State == BIG_cl_AsynchronousIO::eReading) {
            bool ended;
            {
                PLT::ScopedLock<PLT::Mutex> lock(impl.launcherMutex);
                ended = buffer->b_ReadEnded;
            }
            if (!ended)
                continue;
            impl.SettleRead(buffer);
            impl.GatherCovered(buffer);
        }
        if (buffer->e_State != BIG_cl_AsynchronousIO::eHoldsData)
            continue;
        impl.ExtractWaiting(buffer);
        while (!buffer->a_Ready.empty()) {
            if (po_Budget != nullptr && po_Budget->bIsSpent()) {
                spent = true;
                impl.ReturnUndelivered(buffer);
                moreWork = true;
                break;
            }
            const Waiter waiter = buffer->a_Ready.front();
            buffer->a_Ready.pop_front();
            BIG::Request* request = waiter.po_Request;
            const uint32_t user = request->ul_User;
            const uint32_t callbackIdx = request->ul_GetCallbackIdx();
            BIG::FBuff* data = nullptr;
            if (!buffer->b_ReadFailed && request->ull_GetStart() >= buffer->ull_Start &&
                request->ull_GetEnd() <= buffer->ull_GetDataEnd())
                data = impl.po_MakeData(buffer, request->ull_GetStart(), request->ul_GetSize());
            impl.pool.Free(request);
            std::shared_ptr<const BIG::ReadCallback> callback =
                callbackIdx < BIG::kMaxCallbacks ? impl.aCallbacks[callbackIdx] : nullptr;
            impl.mutex.Unlock();
            if (callback && *callback)
                (*callback)(data, data == nullptr, user);
            else if (data != nullptr)
                data->Release();
            impl.mutex.Lock();
        }
        // A failed or invalidated buffer goes away once nobody needs it.
        if ((buffer->b_ReadFailed || buffer->b_Invalidate) &&
            buffer->e_State == BIG_cl_AsynchronousIO::eHoldsData && buffer->a_Waiting.empty() &&
            buffer->a_Ready.empty() && buffer->ul_Uses.load(std::memory_order_acquire) == 0)
            impl.buffers.Release(buffer);
    }
    impl.mutex.Unlock();
    if (moreWork)
        impl.WakeLauncher(true);
}
