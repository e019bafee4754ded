#include "BIGfile/BIG_Init.h"

#include "BIGfile/AsynchronousIO/BIG_AsynchronousFat.h"
#include "BIGfile/AsynchronousIO/BIG_AsynchronousIOManager.h"
#include "BIGfile/BIG_Fat.h"
#include "BIGfile/BIG_LoadManager.h"
#include "ERRor/ERR_Assert.h"

namespace {

// Key of the duplicated-files table file.
constexpr uint32_t kDuplicatedFilesKey = 0x1000;

struct LibraryState {
    bool started = false;
    std::unique_ptr<BIG_cl_Fat> globalFat;
    std::unique_ptr<BIG_cl_BigfileList> bigfileList;
};

LibraryState& State() {
    static LibraryState state;
    return state;
}

void Call(const std::function<void()>& hook) {
    if (hook)
        hook();
}

}  // namespace

BIG_st_LibraryHooks& BIG_LibraryHooks() {
    static BIG_st_LibraryHooks hooks;
    return hooks;
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
    LibraryState& state = State();
    if (state.started)
        return false;
    // The loading components fill the slots that nobody set.
    BIG_InstallLoadingHooks();
    BIG_st_LibraryHooks& hooks = BIG_LibraryHooks();
    if (hooks.createAsyncIOManager)
        hooks.createAsyncIOManager();
    else
        BIG_cl_AsynchronousIOManager::po_CreateInstance();
    Call(hooks.createLoadManager);
    state.globalFat = hooks.createGlobalFat ? hooks.createGlobalFat() : nullptr;
    if (!state.globalFat)
        state.globalFat =
            std::make_unique<BIG_cl_AsynchronousFat>(BIG_cl_AsynchronousIOManager::po_GetInstance());
    BIG_cl_AsynchronousFat::SetInstance(dynamic_cast<BIG_cl_AsynchronousFat*>(state.globalFat.get()));
    Call(hooks.createDuplicatedFiles);
    if (hooks.setLoadOrderFat)
        hooks.setLoadOrderFat(state.globalFat.get());
    BIG_cl_Fat::ReadUserId();
    state.bigfileList = std::make_unique<BIG_cl_BigfileList>(state.globalFat.get());
    Call(hooks.initFileSys);
    Call(hooks.createPackageManager);
    state.started = true;
    return true;
}

void BIG_CloseLibrary() {
    LibraryState& state = State();
    if (!state.started)
        return;
    BIG_st_LibraryHooks& hooks = BIG_LibraryHooks();
    // The reference manager reads through the global table: it goes first.
    Call(hooks.destroyReferenceManager);
    state.bigfileList.reset();
    Call(hooks.destroyLoadManager);
    BIG_cl_AsynchronousFat::SetInstance(nullptr);
    state.globalFat.reset();
    if (hooks.destroyAsyncIOManager)
        hooks.destroyAsyncIOManager();
    else
        BIG_cl_AsynchronousIOManager::DestroyInstance();
    Call(hooks.destroyDuplicatedFiles);
    Call(hooks.destroyPackageManager);
    state.started = false;
}

bool BIG_bIsLibraryStarted() {
    return State().started;
}

BIG_cl_Fat* BIG_pst_GetGlobalFat() {
    return State().globalFat.get();
}

BIG_cl_BigfileList* BIG_pst_GetBigfileList() {
    return State().bigfileList.get();
}

void SDK_DeinitBeforeBigfileClosed() {
    BIG_st_LibraryHooks& hooks = BIG_LibraryHooks();
    // The reference manager reads pending changes through the bigfile and saves
    // its IDX file: it stops while the bigfile is still open.
    Call(hooks.destroyReferenceManager);
    if (!hooks.hasLoadManager || !hooks.hasLoadManager()) {
        ERR_X_Raise("Assert", "Load Manager is NULL on SDK_DeinitBeforeBigfileClosed.\n");
        return;
    }
    if (!hooks.hasLoadOrderManager || !hooks.hasLoadOrderManager()) {
        ERR_X_Raise("Assert", "Load Order Manager is NULL on SDK_DeinitBeforeBigfileClosed.\n");
        return;
    }
    Call(hooks.deactivateLoadOrder);
    Call(hooks.resetDuplicatedFiles);
}

void BIG_AfterBigfileRead(BIG_cl_Fat& fat) {
    BIG_st_LibraryHooks& hooks = BIG_LibraryHooks();
    if (hooks.loadDuplicatedFiles && fat.ul_GetFileIndex(kDuplicatedFilesKey, false) != BIG_cl_Fat::kNoFile)
        hooks.loadDuplicatedFiles(fat);
    if (hooks.startReferenceManager)
        hooks.startReferenceManager(fat);
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
