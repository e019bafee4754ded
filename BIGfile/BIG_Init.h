// Start-up and shutdown of the bigfile library, and the slots through which
// its process-wide components meet.
//
// BIG_InitLibrary creates, in this order:
//   1. the asynchronous I/O manager          (hooks.createAsyncIOManager; the process-wide
//                                            BIG_cl_AsynchronousIOManager when unset)
//   2. the load manager                      (hooks.createLoadManager)
//   3. the global table                      (hooks.createGlobalFat; a BIG_cl_AsynchronousFat
//                                            bound to that manager when unset)
//   4. the duplicated-files manager          (hooks.createDuplicatedFiles)
//   then hands the global table to the load-order manager (hooks.setLoadOrderFat),
//   reads the user key (BIG_cl_Fat::ReadUserId), creates the bigfile list whose
//   first slot holds the global table, initialises the file-system component
//   (hooks.initFileSys) and last creates the package manager
//   (hooks.createPackageManager).
// BIG_CloseLibrary releases the bigfile list, the load manager, the global
// table, the asynchronous I/O manager, the duplicated-files manager and the
// package manager, in this order.
//
// The components live in their own subsystems; each fills its slots of
// BIG_LibraryHooks() before the library starts (an unset slot is skipped).
// The table reaches them only through the query slots below, so that it can be
// built and tested alone.
//
// Threads: start-up, shutdown and hook registration run on the engine's main
// thread, before and after any other thread of the library runs.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

class BIG_cl_Fat;

struct BIG_st_LibraryHooks {
    // Start-up and shutdown of the components, in the order above.
    std::function<void()> createAsyncIOManager;
    std::function<void()> destroyAsyncIOManager;
    std::function<void()> createLoadManager;
    std::function<void()> destroyLoadManager;
    std::function<std::unique_ptr<BIG_cl_Fat>()> createGlobalFat;
    std::function<void()> createDuplicatedFiles;
    std::function<void()> destroyDuplicatedFiles;
    std::function<void(BIG_cl_Fat*)> setLoadOrderFat;
    std::function<void()> initFileSys;
    std::function<void()> createPackageManager;
    std::function<void()> destroyPackageManager;

    // Before the bigfile is closed (SDK_DeinitBeforeBigfileClosed).
    std::function<bool()> hasLoadManager;
    // Requests the load manager holds (allocated, not yet finished); the
    // reference manager works only while it is 0.
    std::function<uint32_t()> loadManagerRequestCount;
    std::function<bool()> hasLoadOrderManager;
    std::function<void()> deactivateLoadOrder;
    // Replaces a duplicated-files manager that holds data by an empty one.
    std::function<void()> resetDuplicatedFiles;

    // After a bigfile has been opened and read (BIG_AfterBigfileRead): loads the
    // duplicated-files table (key 0x1000) and starts the reference manager.
    std::function<void(BIG_cl_Fat&)> loadDuplicatedFiles;
    std::function<void(BIG_cl_Fat&)> startReferenceManager;
    std::function<void()> destroyReferenceManager;

    // Queries of the table.
    // Entry `index` of the duplicated-files position table, 0xFFFFFFFF when none.
    std::function<uint32_t(uint32_t index)> duplicatedPosition;
    // Number of package bigfiles, and the table of one (null when none).
    std::function<uint32_t()> packageCount;
    std::function<BIG_cl_Fat*(uint32_t index)> packageFat;
    // The reference manager's pause while the tables of `fat` move: raise its
    // pause count and wait for its lock / release both. Only the table the
    // manager indexes pauses it: a writer filling other bigfiles runs free.
    std::function<void(const BIG_cl_Fat& fat)> pauseReferenceManager;
    std::function<void(const BIG_cl_Fat& fat)> resumeReferenceManager;
    // Any other edit of the table (create, save, delete): the worker waits at
    // a safe point for its duration, without immediate mode. Resumed by
    // resumeReferenceManager.
    std::function<void(const BIG_cl_Fat& fat)> holdReferenceManager;
};

// The process-wide hook table.
BIG_st_LibraryHooks& BIG_LibraryHooks();

// The bigfile list: the global table in slot 0, package tables after it.
class BIG_cl_BigfileList {
public:
    static constexpr uint32_t kMaxBigfiles = 129;
    explicit BIG_cl_BigfileList(BIG_cl_Fat* global);
    BIG_cl_Fat* po_Get(uint32_t index) const { return index < kMaxBigfiles ? mapo_Fat[index] : nullptr; }
    // False when the slot is out of range.
    bool bSet(uint32_t index, BIG_cl_Fat* fat);

private:
    BIG_cl_Fat* mapo_Fat[kMaxBigfiles] = {};
};

// Start-up as above. False when the library is already started.
bool BIG_InitLibrary();
// Shutdown as above; does nothing when the library is not started.
void BIG_CloseLibrary();
bool BIG_bIsLibraryStarted();

// The global table and the bigfile list (null outside start-up..shutdown).
BIG_cl_Fat* BIG_pst_GetGlobalFat();
BIG_cl_BigfileList* BIG_pst_GetBigfileList();

// Must run before the bigfile is closed: stops the reference manager (which
// applies its pending changes and saves its IDX file while the bigfile can
// still be read), deactivates the load order and empties the duplicated-files table.
void SDK_DeinitBeforeBigfileClosed();
// After a bigfile has been opened and read into `fat`: the duplicated-files
// table is loaded when key 0x1000 is present, then the reference manager starts.
void BIG_AfterBigfileRead(BIG_cl_Fat& fat);

// The reference manager's pause, through the hooks (nothing when unset).
// Pauses nest; every pause needs its resume.
void BIG_PauseReferenceManager(const BIG_cl_Fat& fat);
void BIG_ResumeReferenceManager(const BIG_cl_Fat& fat);
// The pause of a table edit that does not move the tables.
void BIG_HoldReferenceManager(const BIG_cl_Fat& fat);
// Scoped pause: the tables move (growth), or an entry or content changes.
class BIG_cl_ReferenceManagerPause {
public:
    explicit BIG_cl_ReferenceManagerPause(const BIG_cl_Fat& fat, bool tablesMove = true) : m_fat(fat) {
        if (tablesMove)
            BIG_PauseReferenceManager(fat);
        else
            BIG_HoldReferenceManager(fat);
    }
    ~BIG_cl_ReferenceManagerPause() { BIG_ResumeReferenceManager(m_fat); }
    BIG_cl_ReferenceManagerPause(const BIG_cl_ReferenceManagerPause&) = delete;
    BIG_cl_ReferenceManagerPause& operator=(const BIG_cl_ReferenceManagerPause&) = delete;

private:
    const BIG_cl_Fat& m_fat;
};

// Duplicated-files and package queries through the hooks.
uint32_t BIG_ul_DuplicatedPosition(uint32_t index);
uint32_t BIG_ul_PackageCount();
BIG_cl_Fat* BIG_pst_PackageFat(uint32_t index);
