#include "host/RefIndexStatus.h"

#include "BIGfile/BIG_ReferenceManager.h"
#include "platform/Terminal.h"

namespace HOST {

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
