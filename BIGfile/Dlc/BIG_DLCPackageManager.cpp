#include "BIGfile/Dlc/BIG_DLCPackageManager.h"

#include "DesignPaTterns/DPT_Singleton.h"
#include "ERRor/ERR_Assert.h"

BIG_cl_DLCPackageManager::~BIG_cl_DLCPackageManager() {
    Clear();
}

uint32_t BIG_cl_DLCPackageManager::ul_GetPackageCount() const {
    PLT::ScopedLock<PLT::Mutex> lock(m_mutex);
    return m_count;
}

BIG_cl_Fat* BIG_cl_DLCPackageManager::po_GetPackageFat(uint32_t index) const {
    BIG_cl_Fat* fat = po_FindPackageFat(index);
    if (fat == nullptr)
        ERR_X_RaisePrintf("Assert", "Invalid package index %lu", static_cast<unsigned long>(index));
    return fat;
}

BIG_cl_Fat* BIG_cl_DLCPackageManager::po_FindPackageFat(uint32_t index) const {
    PLT::ScopedLock<PLT::Mutex> lock(m_mutex);
    return index < m_count ? m_packages[index].get() : nullptr;
}

uint32_t BIG_cl_DLCPackageManager::ul_AddPackage(std::shared_ptr<BIG_cl_Fat> fat) {
    if (!fat) {
        ERR_X_Raise("Assert", "Invalid input parameter, package table should not be null");
        return kNoPackage;
    }
    {
        PLT::ScopedLock<PLT::Mutex> lock(m_mutex);
        if (m_count < kMaxPackages) {
            m_packages[m_count] = std::move(fat);
            return m_count++;
        }
    }
    ERR_X_Raise("Assert", "Too many packages, the package list is full");
    return kNoPackage;
}

void BIG_cl_DLCPackageManager::Clear() {
    std::shared_ptr<BIG_cl_Fat> released[kMaxPackages];
    {
        PLT::ScopedLock<PLT::Mutex> lock(m_mutex);
        for (uint32_t i = 0; i < m_count; ++i)
            released[i] = std::move(m_packages[i]);
        m_count = 0;
    }
    // The tables are destroyed here, outside the lock.
}

BIG_cl_DLCPackageManager* BIG_cl_DLCPackageManager::po_Alloc() {
    return &DPT::Singleton<BIG_cl_DLCPackageManager>::Instance();  // "BIG_cl_DLCPackageManager::po_Alloc"
}

BIG_cl_DLCPackageManager* BIG_cl_DLCPackageManager::po_Get() {
    return DPT::Singleton<BIG_cl_DLCPackageManager>::pGet();
}

void BIG_cl_DLCPackageManager::Free() {
    DPT::Singleton<BIG_cl_DLCPackageManager>::Destroy();
}
