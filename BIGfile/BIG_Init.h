// Start-up and shutdown of the bigfile library, and the few slots through
// which a lower layer reaches a higher one.
//
// BIG_InitLibrary makes the process-wide components in the order written out
// in BIG_Init.cpp (asynchronous I/O manager, load manager with its load-order
// manager, global table, duplicated-files table, user key, bigfile list,
// package list); BIG_CloseLibrary stops the reference manager and destroys
// them in reverse dependency order. Each component is a DPT::Singleton reached
// through its class's accessor (po_GetInstance / po_Get).
//
// The slots below stay for calls that go up the layers: the table (which is
// built and tested alone) asks for copy places and packages and pauses the
// reference manager while it edits; the plug-in decides whether a reference
// manager runs at all. An unset slot is skipped.
//
// Threads: start-up, shutdown and slot changes run on the engine's main
// thread, before and after any other thread of the library runs.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

class BIG_cl_Fat;

struct BIG_st_LibraryHooks {
    // After a bigfile has been opened and read (BIG_AfterBigfileRead), and before
    // it is closed or the library stops: the reference manager, when one runs.
    std::function<void(BIG_cl_Fat&)> startReferenceManager;
    std::function<void()> destroyReferenceManager;

    // Queries of the table. Filled by the start-up when unset.
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

// Start-up (BIG_Init.cpp). False when the library is already started.
bool BIG_InitLibrary();
// Shutdown as above; does nothing when the library is not started.
void BIG_CloseLibrary();
bool BIG_bIsLibraryStarted();
// Frees what the library keeps between start-ups (the hook table, the write
// cache's spare pages, the reference manager's creation options) when it is
// not started: for a module that is about to be unloaded.
void BIG_ReleaseProcessObjects();

// The global table and the bigfile list (null outside start-up..shutdown).
BIG_cl_Fat* BIG_pst_GetGlobalFat();
BIG_cl_BigfileList* BIG_pst_GetBigfileList();

// Must run before the bigfile is closed: stops the reference manager (which
// applies its pending changes and saves its IDX file while the bigfile can
// still be read), deactivates the load order and empties the duplicated-files table.
void SDK_DeinitBeforeBigfileClosed();
// Replaces a duplicated-files table that holds data by an empty one.
void BIG_ResetDuplicatedFiles();
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
