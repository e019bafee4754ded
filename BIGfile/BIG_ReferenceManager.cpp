// The reference manager's life: start, the worker loop with its yield rule,
// pause and resume, change notifications, progress, the process-wide
// instance. The graph work itself is in BIG_ReferenceManagerGraph.cpp.
#include "BIGfile/BIG_ReferenceManager.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <mutex>

#include "BIGfile/BIG_Fat.h"
#include "BIGfile/BIG_Init.h"
#include "BIGfile/BIG_LoadManager.h"
#include "DesignPaTterns/DPT_Singleton.h"
#include "ERRor/ERR_Assert.h"
#include "ERRor/ERR_Log.h"
#include "platform/Clock.h"
#include "platform/Profile.h"

namespace BIG {

namespace {

constexpr uint32_t kEventCreated = 3;
constexpr uint32_t kEventSaved = 4;
constexpr uint32_t kEventRemoved = 5;
constexpr uint32_t kEventCreatedToo = 6;
// Pause at the end of the statistics before the held-back notification goes out.
constexpr uint32_t kFinalFlushDelayMs = 5;

// The options the process-wide manager is made with.
struct CreationOptions {
    std::mutex mutex;
    ReferenceManager::Options options;
};

// The game's loading comes first: the worker waits while the load manager
// holds requests.
bool bLoadManagerBusy() {
    const BIG_cl_LoadManager* manager = BIG_cl_LoadManager::po_Get();
    return manager != nullptr && manager->ul_GetRequestCount() != 0;
}

}  // namespace

ReferenceManager::ReferenceManager(BIG_cl_Fat& fat, Options options)
    : m_fat(fat), m_options(std::move(options)), m_idxPath(IdxPathFor(fat.File().GetPath())) {
    if (!m_options.clockMs)
        m_options.clockMs = [] { return PLT::MonotonicMs(); };
    if (!m_options.loadManagerBusy) {
        // The game's loading comes first; without a load manager to ask, the
        // library is not set up for indexing yet.
        m_options.loadManagerBusy = [] {
            return BIG_cl_LoadManager::po_Get() == nullptr || bLoadManagerBusy();
        };
    }
    m_table.reserve(kInitialCapacity);
}

ReferenceManager::~ReferenceManager() {
    Stop();
    PLT::ScopedLock<PLT::Mutex> lock(m_mainLock);
    if (mi_WarnSlot >= 0) {
        m_fat.RemoveWarnCallback(mi_WarnSlot);
        mi_WarnSlot = -1;
    }
}

std::string ReferenceManager::IdxPathFor(const std::string& bigfilePath) {
    const size_t slash = bigfilePath.find_last_of("/\\");
    const size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    for (size_t i = nameStart; i + 4 <= bigfilePath.size(); ++i) {
        if (bigfilePath[i] == '.' && (bigfilePath[i + 1] | 0x20) == 'b' &&
            (bigfilePath[i + 2] | 0x20) == 'i' && (bigfilePath[i + 3] | 0x20) == 'g')
            return bigfilePath.substr(0, i + 1) + "idx";
    }
    const size_t dot = bigfilePath.find_last_of('.');
    if (dot != std::string::npos && dot > nameStart)
        return bigfilePath.substr(0, dot) + ".idx";
    return bigfilePath + ".idx";
}

std::string ReferenceManager::StatusText(uint32_t state, float percent) {
    char text[128];
    switch (state) {
        case State_Initialised:
            return "Indexation intialised.";
        case State_Loading:
            std::snprintf(text, sizeof text, "Loading indexation file [%2.1f%%]...", percent);
            return text;
        case State_Indexing:
            std::snprintf(text, sizeof text, "Indexing files [%2.1f%%]", percent);
            return text;
        case State_Updating:
            std::snprintf(text, sizeof text, "Updating indexation [%2.1f%%]...", percent);
            return text;
        case State_Saving:
            std::snprintf(text, sizeof text, "Saving indexation file [%2.1f%%]...", percent);
            return text;
        case State_Statistics:
            std::snprintf(text, sizeof text, "Compute some stats [%2.1f%%]", percent);
            return text;
        case State_Complete:
            return "Indexation complete.";
        default:
            return std::string();
    }
}

bool ReferenceManager::bStart() {
    if (m_thread.Joinable())
        return true;
    if (PLT::GetProfileInt(kProfileSection, kProfileKey, 1, m_options.profilePath) == 0)
        return false;
    m_stop.store(false);
    m_workerRunning.store(true);
    if (!m_thread.Start(kThreadName, [this] { WorkerMain(); })) {
        m_workerRunning.store(false);
        ERR_Log(ERR_Level_Error, ERR_Cat_Editor, "BIG::ReferenceManager create thread FAILED!!\n");
        return false;
    }
    ERR_Log(ERR_Level_Info, ERR_Cat_Editor, "Starting files indexation...\n");
    return true;
}

void ReferenceManager::Stop() {
    {
        PLT::ScopedLock<PLT::Mutex> lock(m_pendingLock);
        m_stop.store(true);
    }
    m_wake.notify_all();
    if (m_thread.Joinable())
        m_thread.Join();

    // An IDX file written in this run that misses later changes would be
    // trusted by the next run: bring it up to date, or take it away.
    PLT::ScopedLock<PLT::Mutex> lock(m_mainLock);
    if (!mb_WroteIdx)
        return;
    const bool stale =
        !mb_SavedComplete || mull_SavedGeneration != m_changeGeneration.load() || bHasPending();
    if (!stale)
        return;
    // Pending changes are read from the bigfile: once it is closed every read
    // fails and a changed file would be saved as referring to nothing. Then the
    // stale IDX file goes, and the next run indexes again.
    bool saved = false;
    if (mb_GraphBuilt && m_fat.File().bIsOpen()) {
        ApplyPending(false);
        saved = bSave(false);
    }
    if (!saved || !mb_SavedComplete)
        PLT::RemoveFile(m_idxPath);
}

// ---- worker -----------------------------------------------------------------

void ReferenceManager::WorkerMain() {
    WorkerLoop();
    {
        PLT::ScopedLock<PLT::Mutex> lock(m_pendingLock);
        m_workerRunning.store(false);
    }
    m_wake.notify_all();
}

void ReferenceManager::WorkerLoop() {
    while (!bStopRequested()) {
        if (m_state.load() == State_Complete) {
            PLT::ScopedLock<PLT::Mutex> lock(m_pendingLock);
            mb_Idle = m_pending.empty();
            if (mb_Idle)
                m_wake.notify_all();
            while (m_pending.empty() && !bStopRequested())
                m_wake.wait(m_pendingLock);
            mb_Idle = false;
            if (bStopRequested())
                break;
        }
        m_mainLock.Lock();
        if (!bYieldToGame()) {
            m_mainLock.Unlock();
            break;
        }
        const uint32_t state = m_state.load();
        if (state >= State_Saving && bHasPending())
            SetState(State_Updating);
        if (m_state.load() != State_Complete)
            Step();
        m_mainLock.Unlock();
    }
}

bool ReferenceManager::bYieldToGame() {
    while (!m_immediate.load() && !m_finishing.load()) {
        if (bStopRequested())
            return false;
        const uint64_t now = m_options.clockMs();
        const bool recentChange = now - m_lastChangeMs.load() < kQuietAfterChangeMs;
        if (m_pauseCount.load() == 0 && !recentChange && !m_options.loadManagerBusy())
            break;
        m_mainLock.Unlock();
        Sleep(kYieldSleepMs);
        m_mainLock.Lock();
    }
    return !bStopRequested();
}

void ReferenceManager::Sleep(uint32_t ms) {
    if (m_options.sleepMs) {
        m_options.sleepMs(ms);
        return;
    }
    std::unique_lock<PLT::Mutex> lock(m_pendingLock);
    m_wake.wait_for(lock, std::chrono::milliseconds(ms),
                    [this] { return bStopRequested() || m_finishing.load(); });
}

bool ReferenceManager::bPausePoint() {
    if (m_pauseCount.load() != 0) {
        m_mainLock.Unlock();
        {
            std::unique_lock<PLT::Mutex> lock(m_pendingLock);
            m_wake.wait(lock, [this] { return m_pauseCount.load() == 0 || bStopRequested(); });
        }
        m_mainLock.Lock();
    }
    return !bStopRequested();
}

void ReferenceManager::Step() {
    switch (m_state.load()) {
        case State_Initialised:
            if (mi_WarnSlot < 0)
                mi_WarnSlot = m_fat.AddWarnCallback(&ReferenceManager::OnTableChange, this);
            // A batch run's end indexes even an empty table, so that it ends.
            if (m_fat.ul_GetFileCount() != 0 || m_finishing.load()) {
                SetState(State_Loading);
            } else {
                // Nothing to index yet: wait for a change instead of spinning.
                m_mainLock.Unlock();
                Sleep(kYieldSleepMs);
                m_mainLock.Lock();
            }
            break;
        case State_Loading:
            SetState(bLoad() ? State_Updating : State_Indexing);
            break;
        case State_Indexing:
            IndexAll();
            if (bStopRequested())
                break;
            mb_GraphBuilt = true;
            if (bHasPending()) {
                SetState(State_Updating);
            } else {
                m_immediate.store(false);
                SetState(State_Saving);
            }
            break;
        case State_Updating:
            ApplyPending(true);
            if (bStopRequested())
                break;
            mb_GraphBuilt = true;
            m_immediate.store(false);
            SetState(State_Saving);
            break;
        case State_Saving:
            if (mb_GraphDirty)
                bSave(true);
            if (bStopRequested())
                break;
            SetState(State_Statistics);
            break;
        case State_Statistics:
            ComputeStatistics();
            if (bStopRequested())
                break;
            m_immediate.store(false);
            SetState(State_Complete);
            if (mb_HeldBack) {
                // The held-back status goes out, still no sooner than the interval allows.
                const uint64_t since = m_options.clockMs() - mull_LastNotifyMs;
                const uint64_t wait =
                    since >= kNotifyIntervalMs ? kFinalFlushDelayMs : kNotifyIntervalMs - since;
                m_mainLock.Unlock();
                Sleep(static_cast<uint32_t>(std::max<uint64_t>(wait, kFinalFlushDelayMs)));
                m_mainLock.Lock();
                FlushProgress();
            }
            break;
        default:
            break;
    }
}

void ReferenceManager::SetState(uint32_t state) {
    m_state.store(state);
    NotifyProgress(state, 0.0f);
}

// ---- pause ------------------------------------------------------------------

void ReferenceManager::Pause() {
    const uint64_t self = PLT::CurrentThreadId();
    m_pauseCount.fetch_add(1);
    if (m_pauseOwner.load() == self) {
        // Nested on the same thread (an edit under a pause that grows the table).
        ++mul_PauseDepth;
        return;
    }
    m_mainLock.Lock();
    m_pauseOwner.store(self);
    mul_PauseDepth = 1;
}

void ReferenceManager::Resume() {
    if (m_pauseCount.load() == 0 || m_pauseOwner.load() != PLT::CurrentThreadId()) {
        ERR_X_Raise("Assert", "BIG::ReferenceManager must be paused to use 'Resume'!");
        return;
    }
    // The count drops before the lock is given back, so that the worker never
    // finds the lock free and the manager still paused.
    const bool last = --mul_PauseDepth == 0;
    if (last)
        m_pauseOwner.store(0);
    {
        PLT::ScopedLock<PLT::Mutex> lock(m_pendingLock);
        m_pauseCount.fetch_sub(1);
    }
    m_wake.notify_all();
    if (last)
        m_mainLock.Unlock();
}

// ---- change notifications -------------------------------------------------------

void ReferenceManager::OnTableChange(void* user, uint16_t, uint32_t file, uint32_t key, uint32_t event) {
    auto* self = static_cast<ReferenceManager*>(user);
    if (self == nullptr)
        return;
    BIG_cl_Fat& fat = self->m_fat;
    if (file < fat.ul_GetFileCount()) {
        const BIG_st_FileEntry& e = fat.FileEntry(file);
        if (e.uc_Type == kTypeMta || (e.ul_Flags & kTemporaryFlag) != 0)
            return;
    }
    switch (event) {
        case kEventCreated:
        case kEventCreatedToo:
            self->AddPending(file, kNone);
            break;
        case kEventSaved:
            self->AddPending(file, key);
            break;
        case kEventRemoved:
            self->AddPending(kNone, key);
            break;
        default:
            break;
    }
}

void ReferenceManager::AddPending(uint32_t file, uint32_t key) {
    {
        PLT::ScopedLock<PLT::Mutex> lock(m_pendingLock);
        m_pending.push_back(PendingChange{file, key});
        m_changeGeneration.fetch_add(1);
        m_lastChangeMs.store(m_options.clockMs());
        mb_Idle = false;
    }
    m_wake.notify_all();
}

std::vector<ReferenceManager::PendingChange> ReferenceManager::TakePending() {
    PLT::ScopedLock<PLT::Mutex> lock(m_pendingLock);
    std::vector<PendingChange> taken;
    taken.swap(m_pending);
    return taken;
}

bool ReferenceManager::bHasPending() {
    PLT::ScopedLock<PLT::Mutex> lock(m_pendingLock);
    return !m_pending.empty();
}

size_t ReferenceManager::GetPendingCount() {
    PLT::ScopedLock<PLT::Mutex> lock(m_pendingLock);
    return m_pending.size();
}

bool ReferenceManager::bWaitUntilComplete(uint32_t timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    PLT::ScopedLock<PLT::Mutex> lock(m_pendingLock);
    // A loop rather than a predicate, so that the analysis sees the lock held.
    for (;;) {
        if ((mb_Idle && m_pending.empty() && m_state.load() == State_Complete) || !m_workerRunning.load())
            return m_workerRunning.load();
        if (m_wake.wait_until(m_pendingLock, deadline) == std::cv_status::timeout)
            return mb_Idle && m_pending.empty() && m_state.load() == State_Complete && m_workerRunning.load();
    }
}

bool ReferenceManager::bFinish(const std::function<bool()>& interrupted, uint32_t pollMs) {
    for (;;) {
        // Asked before any wait, so that a run interrupted already never
        // lets the worker reach its save.
        if (interrupted && interrupted()) {
            // Stopped before its end, the worker saves nothing: the graph
            // would be partial.
            Stop();
            return false;
        }
        if (!m_finishing.load()) {
            {
                PLT::ScopedLock<PLT::Mutex> lock(m_pendingLock);
                m_finishing.store(true);
            }
            m_wake.notify_all();
        }
        if (bWaitUntilComplete(pollMs))
            return true;
        if (!m_workerRunning.load())
            return false;
    }
}

// ---- progress -----------------------------------------------------------------------

int ReferenceManager::AddProgressListener(RefProgressListener listener, void* user) {
    PLT::ScopedLock<PLT::Mutex> lock(m_listenerLock);
    const int id = mi_NextListenerId++;
    m_listeners.push_back(Listener{id, listener, user});
    return id;
}

void ReferenceManager::RemoveProgressListener(int id) {
    PLT::ScopedLock<PLT::Mutex> lock(m_listenerLock);
    for (auto it = m_listeners.begin(); it != m_listeners.end(); ++it) {
        if (it->id == id) {
            m_listeners.erase(it);
            return;
        }
    }
}

void ReferenceManager::NotifyProgress(uint32_t state, float percent) {
    const uint64_t now = m_options.clockMs();
    if (mull_LastNotifyMs != 0 && now - mull_LastNotifyMs < kNotifyIntervalMs) {
        mb_HeldBack = true;
        mul_HeldState = state;
        mf_HeldPercent = percent;
        return;
    }
    mull_LastNotifyMs = now == 0 ? 1 : now;
    mb_HeldBack = false;
    Broadcast(state, percent);
}

void ReferenceManager::FlushProgress() {
    if (!mb_HeldBack)
        return;
    mb_HeldBack = false;
    mull_LastNotifyMs = m_options.clockMs();
    Broadcast(mul_HeldState, mf_HeldPercent);
}

void ReferenceManager::Broadcast(uint32_t state, float percent) {
    const std::string text = StatusText(state, percent);
    PLT::ScopedLock<PLT::Mutex> lock(m_listenerLock);
    for (const Listener& l : m_listeners)
        l.fn(state, text.c_str(), l.user);
}

// ---- process-wide instance ---------------------------------------------------------

ReferenceManager* ReferenceManager::po_Create(BIG_cl_Fat& fat) {
    Options options;
    {
        CreationOptions& creation = DPT::Singleton<CreationOptions>::Instance();
        std::lock_guard<std::mutex> lock(creation.mutex);
        options = creation.options;
    }
    // Made and started on the engine's main thread, like its shutdown.
    if (DPT::Singleton<ReferenceManager>::bCreate(fat, std::move(options)))
        po_Get()->bStart();
    return po_Get();
}

ReferenceManager* ReferenceManager::po_Get() {
    return DPT::Singleton<ReferenceManager>::pGet();
}

void ReferenceManager::Destroy() {
    DPT::Singleton<ReferenceManager>::Destroy();
}

void ReferenceManager::SetCreationOptions(Options options) {
    CreationOptions& creation = DPT::Singleton<CreationOptions>::Instance();
    std::lock_guard<std::mutex> lock(creation.mutex);
    creation.options = std::move(options);
}

void ReferenceManager::ReleaseCreationOptions() {
    DPT::Singleton<CreationOptions>::Destroy();
}

void ReferenceManager::InstallBatchHooks() {
    Options options;
    // A batch tool has no game loading to yield to when no load manager runs.
    options.loadManagerBusy = [] { return bLoadManagerBusy(); };
    SetCreationOptions(std::move(options));
    InstallLibraryHooks();
}

void ReferenceManager::InstallLibraryHooks() {
    BIG_st_LibraryHooks& hooks = BIG_LibraryHooks();
    hooks.startReferenceManager = [](BIG_cl_Fat& fat) { po_Create(fat); };
    hooks.destroyReferenceManager = [] { Destroy(); };
    // The table is about to move: the graph is brought up to date as soon as
    // the pause ends.
    hooks.pauseReferenceManager = [](const BIG_cl_Fat& fat) {
        if (ReferenceManager* manager = po_Get(); manager != nullptr && manager->bIndexes(fat)) {
            manager->SetImmediateMode(true);
            manager->Pause();
        }
    };
    hooks.holdReferenceManager = [](const BIG_cl_Fat& fat) {
        if (ReferenceManager* manager = po_Get(); manager != nullptr && manager->bIndexes(fat))
            manager->Pause();
    };
    hooks.resumeReferenceManager = [](const BIG_cl_Fat& fat) {
        ReferenceManager* manager = po_Get();
        if (manager != nullptr && manager->bIndexes(fat) && manager->ul_GetPauseCount() != 0)
            manager->Resume();
    };
}

}  // namespace BIG
