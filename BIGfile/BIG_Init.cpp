// The library's start-up and shutdown, in the order they run.
#include "BIGfile/BIG_Init.h"

#include "BIGfile/AsynchronousIO/BIG_AsynchronousFat.h"
#include "BIGfile/AsynchronousIO/BIG_AsynchronousIOManager.h"
#include "BIGfile/BIG_DuplicatedFilesManager.h"
#include "BIGfile/BIG_Fat.h"
#include "BIGfile/BIG_LoadManager.h"
#include "BIGfile/BIG_ReferenceManager.h"
#include "BIGfile/BIG_WriteBackCache.h"
#include "BIGfile/Dlc/BIG_DLCPackageManager.h"
#include "BIGfile/LoadOrdering/BIG_LoadOrderManager.h"
#include "DesignPaTterns/DPT_Singleton.h"
#include "ERRor/ERR_Assert.h"

namespace {

// Key of the duplicated-files table file.
constexpr uint32_t kDuplicatedFilesKey = 0x1000;

using AsyncIOManager = DPT::Singleton<BIG_cl_AsynchronousIOManager>;
using GlobalFat = DPT::Singleton<BIG_cl_AsynchronousFat>;
using BigfileList = DPT::Singleton<BIG_cl_BigfileList>;

void Call(const std::function<void()>& hook) {
    if (hook)
        hook();
}

// The table's questions to the components above it, unless a caller (a test,
// a tool without the loading components) answers them itself.
void FillTableQueries(BIG_st_LibraryHooks& hooks) {
    if (!hooks.duplicatedPosition)
        hooks.duplicatedPosition = &BIG_DuplicatedFilesManager::ul_GetGlobalPosition;
    if (!hooks.packageCount)
        hooks.packageCount = []() -> uint32_t {
            const BIG_cl_DLCPackageManager* packages = BIG_cl_DLCPackageManager::po_Get();
            return packages != nullptr ? packages->ul_GetPackageCount() : 0;
        };
    if (!hooks.packageFat)
        hooks.packageFat = [](uint32_t index) -> BIG_cl_Fat* {
            const BIG_cl_DLCPackageManager* packages = BIG_cl_DLCPackageManager::po_Get();
            return packages != nullptr ? packages->po_FindPackageFat(index) : nullptr;
        };
}

}  // namespace

BIG_st_LibraryHooks& BIG_LibraryHooks() {
    return DPT::Singleton<BIG_st_LibraryHooks>::Instance();
}

BIG_cl_BigfileList::BIG_cl_BigfileList(BIG_cl_Fat* global) {
    mapo_Fat[0] = global;
}

bool BIG_cl_BigfileList::bSet(uint32_t index, BIG_cl_Fat* fat) {
    if (index >= kMaxBigfiles)
        return false;
    mapo_Fat[index] = fat;
    return true;
}

bool BIG_InitLibrary() {
    if (BIG_bIsLibraryStarted())
        return false;
    // 1. The reads of every bigfile go through the asynchronous I/O manager.
    AsyncIOManager::bCreate();
    BIG_cl_AsynchronousIOManager& asyncIO = *AsyncIOManager::pGet();
    // 2. The load manager queues requests on it; it makes the load-order manager.
    BIG_cl_LoadManager* loadManager = BIG_cl_LoadManager::po_Create(asyncIO);
    // 3. The global table, read through the manager, is what both load from.
    GlobalFat::bCreate(&asyncIO);
    BIG_cl_AsynchronousFat* globalFat = GlobalFat::pGet();
    // 4. An empty duplicated-files table until a bigfile brings one. It is
    //    replaced whole while readers keep the one they hold, so it lives in its
    //    own shared holder rather than as a singleton.
    BIG_DuplicatedFilesManager::CreateSingleton();
    loadManager->SetFat(globalFat, globalFat);
    FillTableQueries(BIG_LibraryHooks());
    // 5. The user key names this user's new files.
    BIG_cl_Fat::ReadUserId();
    // 6. The package list, then the bigfile list: the global table first,
    //    package tables after it. The list marks the library as started.
    BIG_cl_DLCPackageManager::po_Alloc();
    BigfileList::bCreate(globalFat);
    return true;
}

void BIG_CloseLibrary() {
    if (!BIG_bIsLibraryStarted())
        return;
    // The reference manager reads through the global table: it goes first.
    Call(BIG_LibraryHooks().destroyReferenceManager);
    BigfileList::Destroy();
    BIG_cl_LoadManager::Destroy();
    GlobalFat::Destroy();
    AsyncIOManager::Destroy();
    BIG_DuplicatedFilesManager::DestroySingleton();
    BIG_cl_DLCPackageManager::Free();
}

void BIG_ReleaseProcessObjects() {
    if (BIG_bIsLibraryStarted())
        return;
    BIG::ReferenceManager::ReleaseCreationOptions();
    BIG::WriteBackCache::ReleaseSparePages();
    DPT::Singleton<BIG_st_LibraryHooks>::Destroy();
}

bool BIG_bIsLibraryStarted() {
    return BigfileList::pGet() != nullptr;
}

BIG_cl_Fat* BIG_pst_GetGlobalFat() {
    return GlobalFat::pGet();
}

BIG_cl_BigfileList* BIG_pst_GetBigfileList() {
    return BigfileList::pGet();
}

void SDK_DeinitBeforeBigfileClosed() {
    // The reference manager reads pending changes through the bigfile and saves
    // its IDX file: it stops while the bigfile is still open.
    Call(BIG_LibraryHooks().destroyReferenceManager);
    BIG_cl_LoadManager* loadManager = BIG_cl_LoadManager::po_Get();
    if (loadManager == nullptr) {
        ERR_X_Raise("Assert", "Load Manager is NULL on SDK_DeinitBeforeBigfileClosed.\n");
        return;
    }
    if (loadManager->po_GetLoadOrderManager() == nullptr) {
        ERR_X_Raise("Assert", "Load Order Manager is NULL on SDK_DeinitBeforeBigfileClosed.\n");
        return;
    }
    loadManager->po_GetLoadOrderManager()->Deactivate();
    BIG_ResetDuplicatedFiles();
}

void BIG_ResetDuplicatedFiles() {
    const auto table = BIG_DuplicatedFilesManager::Get();
    if (table && table->bHasData())
        BIG_DuplicatedFilesManager::CreateSingleton();
}

void BIG_AfterBigfileRead(BIG_cl_Fat& fat) {
    BIG_cl_LoadManager* loadManager = BIG_cl_LoadManager::po_Get();
    if (loadManager != nullptr && fat.ul_GetFileIndex(kDuplicatedFilesKey, false) != BIG_cl_Fat::kNoFile)
        BIG_DuplicatedFilesManager::bLoadFromBigfile(*loadManager, fat);
    if (const auto& start = BIG_LibraryHooks().startReferenceManager)
        start(fat);
}

void BIG_PauseReferenceManager(const BIG_cl_Fat& fat) {
    if (const auto& hook = BIG_LibraryHooks().pauseReferenceManager)
        hook(fat);
}

void BIG_HoldReferenceManager(const BIG_cl_Fat& fat) {
    if (const auto& hook = BIG_LibraryHooks().holdReferenceManager)
        hook(fat);
}

void BIG_ResumeReferenceManager(const BIG_cl_Fat& fat) {
    if (const auto& hook = BIG_LibraryHooks().resumeReferenceManager)
        hook(fat);
}

uint32_t BIG_ul_DuplicatedPosition(uint32_t index) {
    const auto& hook = BIG_LibraryHooks().duplicatedPosition;
    return hook ? hook(index) : 0xFFFFFFFF;
}

uint32_t BIG_ul_PackageCount() {
    const auto& hook = BIG_LibraryHooks().packageCount;
    return hook ? hook() : 0;
}

BIG_cl_Fat* BIG_pst_PackageFat(uint32_t index) {
    const auto& hook = BIG_LibraryHooks().packageFat;
    return hook ? hook(index) : nullptr;
}
