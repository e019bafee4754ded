// The package list: bigfile tables of additional package bigfiles that file
// entries may point into.
//
// A file entry whose storage flags have bit 1 set holds a package reference
// instead of a position:
//
//   bits 25-31  index of the package bigfile in this list
//   bits 0-24   file index in that package's own table
//
// The list has room for 128 packages. Nothing in the bigfile tool adds packages
// (the game's package bigfiles are mounted elsewhere), so every package reference
// met in a bigfile is refused with "Invalid package index %lu".
//
// Thread-safety: every operation takes the list's mutex. A table handed out by
// po_GetPackageFat stays owned by the list and lives until Clear or the list's
// destruction; callers must not keep it past those.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/Thread.h"

class BIG_cl_Fat;

class BIG_cl_DLCPackageManager {
public:
    static constexpr uint32_t kMaxPackages = 128;
    static constexpr uint8_t kStorageFlag = 0x02;
    static constexpr int kPackageShift = 25;
    static constexpr uint32_t kFileIndexMask = 0x01FFFFFF;
    static constexpr uint32_t kNoPackage = 0xFFFFFFFF;

    BIG_cl_DLCPackageManager() = default;
    ~BIG_cl_DLCPackageManager();
    BIG_cl_DLCPackageManager(const BIG_cl_DLCPackageManager&) = delete;
    BIG_cl_DLCPackageManager& operator=(const BIG_cl_DLCPackageManager&) = delete;

    static uint32_t ul_PackageIndex(uint32_t positionWord) { return positionWord >> kPackageShift; }
    static uint32_t ul_PackageFileIndex(uint32_t positionWord) { return positionWord & kFileIndexMask; }

    uint32_t ul_GetPackageCount() const;
    // The table of package `index`; an index not below the package count raises
    // "Invalid package index %lu" and gives null.
    BIG_cl_Fat* po_GetPackageFat(uint32_t index) const;
    // Same without the assertion, for validity checks that report nothing.
    BIG_cl_Fat* po_FindPackageFat(uint32_t index) const;

    // Appends a package table, which the list then owns; returns its index, or
    // kNoPackage (with an assertion) when the list is full or the table is null.
    // The bigfile tool never calls it; it exists for embedders and tests.
    uint32_t ul_AddPackage(std::shared_ptr<BIG_cl_Fat> fat);

    // Releases every package table.
    void Clear();

    // Process-wide list ("BIG_cl_DLCPackageManager::po_Alloc" at library start).
    static BIG_cl_DLCPackageManager* po_Alloc();
    static BIG_cl_DLCPackageManager* po_Get();  // null when not allocated
    static void Free();

private:
    mutable PLT::Mutex m_mutex;
    std::shared_ptr<BIG_cl_Fat> m_packages[kMaxPackages] PLT_GUARDED_BY(m_mutex);
    uint32_t m_count PLT_GUARDED_BY(m_mutex) = 0;
};
