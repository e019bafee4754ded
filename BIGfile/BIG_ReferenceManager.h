// The reference manager: the reference graph of the open bigfile (which keys
// each file refers to, and which files refer to each key), built on a
// background thread that stays out of the way of the game's loading, kept
// current from the table's change notifications, and cached beside the
// bigfile in its IDX file (BIG_RefIndexFile.h) so that the next run only has
// to update it.
//
// States: 0 initialised, 1 loading the IDX file, 2 indexing every file,
// 3 applying pending changes, 4 saving the IDX file, 5 statistics,
// 6 complete. 0 -> 1 -> (2 or 3) -> 4 -> 5 -> 6, then 3 -> 4 -> 5 -> 6 again
// whenever changes are pending.
//
// Reuse of the IDX file. A loaded graph is trusted as it is when no segment
// file of the bigfile was modified or changed status after the IDX file was
// written: then only files missing from it (and contents that live outside
// the bigfile: loose key files, packages) are read. Otherwise every file the
// graph knows is read again and compared. Files of the bigfile that the IDX
// file does not know are always indexed. A stop that leaves changes out of an
// IDX file written in this run saves the graph first, or removes the file
// when that is not possible, so a stale graph is never trusted.
//
// Threads and locks:
//   - the worker does all graph work under the main lock (m_mainLock); it
//     releases it between steps, while it yields and at pause points inside
//     long steps;
//   - Pause/Resume take and release the main lock from another thread: a
//     paused manager does not touch the table, so the table may move;
//   - change notifications (any editing thread) touch only the pending list
//     under m_pendingLock;
//   - listeners are called on the worker thread under m_listenerLock (a
//     listener must not add or remove listeners);
//   - the graph queries that hand out pointers (pst_Find) need the main lock:
//     call them between Pause and Resume. bGetInfos copies under the lock.
// The table's entries are read without the table's lock (the table's own
// contract); editing threads should edit under a pause.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "BIGfile/BIG_FileInfos.h"
#include "platform/Thread.h"

class BIG_cl_Fat;

namespace BIG {

// Progress listener: (state, status text, user data).
using RefProgressListener = void (*)(uint32_t state, const char* text, void* user);

struct ReferenceManagerOptions {
    // Settings file holding [ReferenceManager] Active=0|1.
    std::string profilePath = "./Marlin.ini";
    // Milliseconds on a monotonic clock; default PLT::MonotonicMs.
    std::function<uint64_t()> clockMs;
    // The yield's sleep; default: a wait that a stop request cuts short.
    std::function<void(uint32_t)> sleepMs;
    // True while the game is loading (load manager missing or with
    // requests outstanding); default: the library's load manager.
    std::function<bool()> loadManagerBusy;
};

class ReferenceManager {
public:
    enum : uint32_t {
        State_Initialised = 0,
        State_Loading = 1,
        State_Indexing = 2,
        State_Updating = 3,
        State_Saving = 4,
        State_Statistics = 5,
        State_Complete = 6,
    };
    static constexpr uint32_t kNone = 0xFFFFFFFF;
    static constexpr uint8_t kTypeMta = 94;
    static constexpr uint32_t kTemporaryFlag = 0x4;
    static constexpr uint64_t kQuietAfterChangeMs = 2000;
    static constexpr uint32_t kYieldSleepMs = 1000;
    // A notification less than this many ms after the previous one is held back.
    static constexpr uint64_t kNotifyIntervalMs = 201;
    static constexpr size_t kInitialCapacity = 32000;
    static constexpr const char* kThreadName = "BIG Reference Manager";
    static constexpr const char* kProfileSection = "ReferenceManager";
    static constexpr const char* kProfileKey = "Active";

    using Options = ReferenceManagerOptions;

    // Builds the manager over `fat` (which must outlive it); nothing runs yet.
    explicit ReferenceManager(BIG_cl_Fat& fat, Options options = Options());
    // Stops the worker (Stop) and leaves the table's callback table.
    ~ReferenceManager();
    ReferenceManager(const ReferenceManager&) = delete;
    ReferenceManager& operator=(const ReferenceManager&) = delete;

    // Start: reads "Active" (default 1); when not 0 starts the worker thread
    // and logs "Starting files indexation...". True when the worker runs.
    bool bStart();
    bool bIsRunning() const { return m_thread.Joinable(); }
    // Asks the worker to stop and waits for it; then makes sure the IDX file
    // on disk is not a stale graph that the next run would trust. Idempotent.
    void Stop();

    // Stops the worker at a safe point and holds it there. Nests, also on one
    // thread; the thread that paused resumes. The main lock stays taken
    // between them: the graph queries that take it (bGetInfos...) must not be
    // called by the pausing thread meanwhile; use pst_Find.
    // Outside the thread-safety analysis: the first Pause of a thread takes the
    // main lock and its last Resume gives it back, a hand-over it cannot follow.
    void Pause() PLT_NO_THREAD_SAFETY_ANALYSIS;
    void Resume() PLT_NO_THREAD_SAFETY_ANALYSIS;
    uint32_t ul_GetPauseCount() const { return m_pauseCount.load(); }
    // While set, the worker does not yield to the game; cleared when a batch
    // of work is finished.
    void SetImmediateMode(bool on) { m_immediate.store(on); }
    // Whether `fat` is the table this manager indexes.
    bool bIndexes(const BIG_cl_Fat& fat) const { return &fat == &m_fat; }
    bool bIsImmediateMode() const { return m_immediate.load(); }

    // The table's warn callback: (this, directory, file index, key, event).
    static void OnTableChange(void* user, uint16_t dir, uint32_t file, uint32_t key, uint32_t event);

    // Progress listeners; the id is for RemoveProgressListener.
    int AddProgressListener(RefProgressListener listener, void* user);
    void RemoveProgressListener(int id);

    // ---- queries ------------------------------------------------------------
    uint32_t ul_GetState() const { return m_state.load(); }
    // The node of `key` or null. Main lock required (between Pause and Resume).
    const FileInfos* pst_Find(uint32_t key) const;
    // Copy of the node of `key`; false when absent. Takes the main lock.
    bool bGetInfos(uint32_t key, FileInfos* out);
    size_t GetEntryCount();
    // A copy of every node, sorted by key. Takes the main lock.
    std::vector<FileInfos> Snapshot();
    std::vector<uint32_t> GetIsolatedFiles();
    std::vector<uint32_t> GetSelfReferencingFiles();
    size_t GetPendingCount();
    // Files whose reference list was read since the start (all states).
    uint64_t ull_GetFilesRead() const { return m_filesRead.load(); }
    const std::string& GetIdxPath() const { return m_idxPath; }
    // Waits until the indexation is complete with nothing pending; false on
    // timeout or when the worker is not running.
    bool bWaitUntilComplete(uint32_t timeoutMs);
    // A batch run's end: the worker stops yielding and the call waits until
    // the indexation is complete (its IDX file saved), the worker stops, or
    // `interrupted` says so (checked every `pollMs`); an interrupted run
    // leaves no partial IDX file. True when complete.
    bool bFinish(const std::function<bool()>& interrupted, uint32_t pollMs = 200);

    // The bigfile's path cut just after the first ".big", then "idx"
    // (world.big -> world.idx, data.big.old -> data.idx). Without ".big" the
    // extension of the file name is replaced by ".idx".
    static std::string IdxPathFor(const std::string& bigfilePath);
    // The status text of a state at a percentage.
    static std::string StatusText(uint32_t state, float percent);

    // ---- the process-wide manager ----------------------------------------------
    // Creates and starts it over `fat` (once; later calls return the existing one).
    static ReferenceManager* po_Create(BIG_cl_Fat& fat);
    static ReferenceManager* po_Get();
    static void Destroy();
    // Options used by po_Create (set before the bigfile is read).
    static void SetCreationOptions(Options options);
    // Frees the stored creation options (a module about to be unloaded).
    static void ReleaseCreationOptions();
    // Fills the library's reference-manager hooks (start after a bigfile is
    // read, destruction at shutdown, pause while the table grows).
    static void InstallLibraryHooks();
    // The same for a tool that runs no game: the indexation waits only while
    // a registered load manager has requests outstanding.
    static void InstallBatchHooks();

private:
    struct PendingChange {
        uint32_t ul_File;
        uint32_t ul_Key;
    };
    using Table = std::vector<std::unique_ptr<FileInfos>>;

    void WorkerMain();
    void WorkerLoop();
    // Yield rule; false when a stop was asked. Main lock held.
    bool bYieldToGame() PLT_REQUIRES(m_mainLock);
    void Sleep(uint32_t ms);
    // One step of the state machine. Main lock held.
    void Step() PLT_REQUIRES(m_mainLock);
    void SetState(uint32_t state);
    // Inside long steps: gives the main lock to a pauser and waits for the
    // resume. False when a stop was asked.
    bool bPausePoint() PLT_REQUIRES(m_mainLock);
    bool bStopRequested() const { return m_stop.load(std::memory_order_relaxed); }

    bool bLoad();
    bool bIsBigfileOlderThan(uint64_t idxModifiedNs) const;
    void IndexAll() PLT_REQUIRES(m_mainLock);
    void ApplyPending(bool honourStop) PLT_REQUIRES(m_mainLock);
    bool bSave(bool honourStop);
    void ComputeStatistics();
    void RemoveAbsentEntries();

    // Whether `index` is a file whose references are indexed.
    bool bIsIndexable(uint32_t index) const;
    // Key of an indexable file in the bigfile, or kNone.
    uint32_t ul_IndexableFileOf(uint32_t key) const;
    // Reads the key list of `index` into `out`; false when it has no readable content.
    bool bReadKeys(uint32_t index, std::vector<uint32_t>* out);
    void IndexFile(uint32_t index);
    void UpdateFile(uint32_t index);
    void RemoveFileKey(uint32_t key);
    // Links `from` -> `targetKey` when the target is an indexable file.
    void Link(FileInfos& from, uint32_t targetKey);

    FileInfos* pst_FindMutable(uint32_t key) const;
    FileInfos& GetOrCreate(uint32_t key, bool present);
    void EraseEntry(uint32_t key);
    void ClearTable();

    void AddPending(uint32_t file, uint32_t key);
    std::vector<PendingChange> TakePending();
    bool bHasPending();

    void NotifyProgress(uint32_t state, float percent);
    void FlushProgress();
    void Broadcast(uint32_t state, float percent);

    BIG_cl_Fat& m_fat;
    Options m_options;
    std::string m_idxPath;

    PLT::Mutex m_mainLock;
    // Graph state, guarded by m_mainLock.
    Table m_table;
    std::vector<uint32_t> m_isolated;
    std::vector<uint32_t> m_selfReferencing;
    int mi_WarnSlot = -1;
    // The IDX file on disk is one this run wrote; whether it holds every change
    // notified up to m_savedGeneration.
    bool mb_WroteIdx = false;
    bool mb_SavedComplete = false;
    uint64_t mull_SavedGeneration = 0;
    bool mb_GraphBuilt = false;
    // The graph differs from the IDX file on disk (a trusted load that found
    // nothing to change is not written again).
    bool mb_GraphDirty = true;
    // The IDX file's folder refused it once: said once, then kept in memory.
    bool mb_IdxUnwritable = false;
    uint64_t mull_LastNotifyMs = 0;
    bool mb_HeldBack = false;
    uint32_t mul_HeldState = 0;
    float mf_HeldPercent = 0.0f;

    std::atomic<uint32_t> m_state{State_Initialised};
    std::atomic<uint32_t> m_pauseCount{0};
    // The thread holding the main lock through Pause (0: none), and its depth.
    std::atomic<uint64_t> m_pauseOwner{0};
    uint32_t mul_PauseDepth = 0;
    std::atomic<bool> m_immediate{false};
    // Set by bFinish: unlike the one-shot immediate mode, it holds for every
    // step until the end, since a batch run has no game to yield to.
    std::atomic<bool> m_finishing{false};
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_workerRunning{false};
    std::atomic<uint64_t> m_lastChangeMs{0};
    std::atomic<uint64_t> m_changeGeneration{0};
    std::atomic<uint64_t> m_filesRead{0};

    // Pending list and the worker's wake-up, guarded by m_pendingLock.
    PLT::Mutex m_pendingLock;
    std::condition_variable_any m_wake;
    std::vector<PendingChange> m_pending PLT_GUARDED_BY(m_pendingLock);
    bool mb_Idle PLT_GUARDED_BY(m_pendingLock) = false;

    PLT::Mutex m_listenerLock;
    struct Listener {
        int id;
        RefProgressListener fn;
        void* user;
    };
    std::vector<Listener> m_listeners PLT_GUARDED_BY(m_listenerLock);
    int mi_NextListenerId PLT_GUARDED_BY(m_listenerLock) = 1;

    PLT::Thread m_thread;
};

}  // namespace BIG
