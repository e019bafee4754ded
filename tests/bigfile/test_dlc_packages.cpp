// The package list: lookups and refusals.
#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "BIGfile/Dlc/BIG_DLCPackageManager.h"
#include "ERRor/ERR_Assert.h"
#include "ERRor/ERR_Log.h"
#include "tests/support/LogCapture.h"

namespace {

using DlcLogCapture = test_support::LogCapture;

// The list never looks into its tables, so a stand-in address with a counting
// deleter shows ownership without a real bigfile.
std::shared_ptr<BIG_cl_Fat> FakeTable(int* deleted) {
    static char s_storage[BIG_cl_DLCPackageManager::kMaxPackages + 1];
    static int s_next = 0;
    return std::shared_ptr<BIG_cl_Fat>(reinterpret_cast<BIG_cl_Fat*>(&s_storage[s_next++ % sizeof s_storage]),
                                       [deleted](BIG_cl_Fat*) { ++*deleted; });
}

TEST(DlcPackageManager, PositionWordSplitsIntoPackageAndFileIndex) {
    const uint32_t word = (5u << 25) | 0x1234567;
    EXPECT_EQ(BIG_cl_DLCPackageManager::ul_PackageIndex(word), 5u);
    EXPECT_EQ(BIG_cl_DLCPackageManager::ul_PackageFileIndex(word), 0x1234567u);
    EXPECT_EQ(BIG_cl_DLCPackageManager::ul_PackageIndex(0xFFFFFFFF), 127u);
    EXPECT_EQ(BIG_cl_DLCPackageManager::ul_PackageFileIndex(0xFFFFFFFF), 0x1FFFFFFu);
}

TEST(DlcPackageManager, EmptyListRefusesEveryIndex) {
    ERR_SetInteractive(false);
    BIG_cl_DLCPackageManager list;
    DlcLogCapture log;
    EXPECT_EQ(list.ul_GetPackageCount(), 0u);
    EXPECT_EQ(list.po_FindPackageFat(0), nullptr);
    EXPECT_FALSE(log.bContains("Invalid package index"));
    EXPECT_EQ(list.po_GetPackageFat(3), nullptr);
    EXPECT_TRUE(log.bContains("Invalid package index 3"));
}

TEST(DlcPackageManager, LookupsFindAddedTablesAndClearReleasesThem) {
    ERR_SetInteractive(false);
    int deleted = 0;
    {
        BIG_cl_DLCPackageManager list;
        auto a = FakeTable(&deleted);
        auto b = FakeTable(&deleted);
        BIG_cl_Fat* rawA = a.get();
        BIG_cl_Fat* rawB = b.get();
        EXPECT_EQ(list.ul_AddPackage(std::move(a)), 0u);
        EXPECT_EQ(list.ul_AddPackage(std::move(b)), 1u);
        EXPECT_EQ(list.ul_GetPackageCount(), 2u);
        EXPECT_EQ(list.po_GetPackageFat(0), rawA);
        EXPECT_EQ(list.po_GetPackageFat(1), rawB);
        EXPECT_EQ(list.po_FindPackageFat(2), nullptr);
        EXPECT_EQ(list.ul_AddPackage(nullptr), BIG_cl_DLCPackageManager::kNoPackage);
        list.Clear();
        EXPECT_EQ(deleted, 2);
        EXPECT_EQ(list.ul_GetPackageCount(), 0u);
        EXPECT_EQ(list.po_FindPackageFat(0), nullptr);
        EXPECT_EQ(list.ul_AddPackage(FakeTable(&deleted)), 0u);
    }
    EXPECT_EQ(deleted, 3);  // the destructor releases what is left
}

TEST(DlcPackageManager, ListHoldsAtMost128Packages) {
    ERR_SetInteractive(false);
    int deleted = 0;
    BIG_cl_DLCPackageManager list;
    for (uint32_t i = 0; i < BIG_cl_DLCPackageManager::kMaxPackages; ++i)
        ASSERT_EQ(list.ul_AddPackage(FakeTable(&deleted)), i);
    DlcLogCapture log;
    EXPECT_EQ(list.ul_AddPackage(FakeTable(&deleted)), BIG_cl_DLCPackageManager::kNoPackage);
    EXPECT_EQ(deleted, 1);  // the refused table is not kept
    EXPECT_EQ(list.ul_GetPackageCount(), 128u);
    EXPECT_NE(list.po_GetPackageFat(127), nullptr);
}

TEST(DlcPackageManager, ProcessWideListIsAllocatedOnce) {
    BIG_cl_DLCPackageManager::Free();
    EXPECT_EQ(BIG_cl_DLCPackageManager::po_Get(), nullptr);
    BIG_cl_DLCPackageManager* list = BIG_cl_DLCPackageManager::po_Alloc();
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(BIG_cl_DLCPackageManager::po_Alloc(), list);
    EXPECT_EQ(BIG_cl_DLCPackageManager::po_Get(), list);
    BIG_cl_DLCPackageManager::Free();
    EXPECT_EQ(BIG_cl_DLCPackageManager::po_Get(), nullptr);
}

}  // namespace
