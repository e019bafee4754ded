#include "host/RefIndexStatus.h"

#include "BIGfile/BIG_Init.h"
#include "BIGfile/BIG_ReferenceManager.h"
#include "platform/Terminal.h"

namespace HOST {

void InstallRefIndexing() {
    BIG::ReferenceManager::Options options;
    options.loadManagerBusy = [] {
        const BIG_st_LibraryHooks& hooks = BIG_LibraryHooks();
        if (!hooks.hasLoadManager || !hooks.hasLoadManager())
            return false;
        return hooks.loadManagerRequestCount && hooks.loadManagerRequestCount() != 0;
    };
    BIG::ReferenceManager::SetCreationOptions(options);
    BIG::ReferenceManager::InstallLibraryHooks();
}

RefIndexStatus::RefIndexStatus(BIG::ReferenceManager& manager)
    : m_manager(manager), mi_ListenerId(manager.AddProgressListener(&RefIndexStatus::OnProgress, this)) {}

RefIndexStatus::~RefIndexStatus() {
    m_manager.RemoveProgressListener(mi_ListenerId);
    PLT::SetStatusLine(std::string());
}

void RefIndexStatus::OnProgress(uint32_t, const char* text, void*) {
    PLT::SetStatusLine(text != nullptr ? text : "");
}

}  // namespace HOST
