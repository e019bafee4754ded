#include <gtest/gtest.h>

#include <vector>

#include "BIGfile/BIG_KeyHolder.h"
#include "test_hash_support.h"

namespace {

constexpr uint32_t kListed = BIG_cl_KeyHolder::kKeptFileFlag;  // flags word bit 19
constexpr uint32_t kCreationFlags = 0xF0000;                   // bits 16-19 of a new file

std::vector<uint32_t> Items(const BIG_tl_LabeledArray<uint32_t>& array) {
    return array.Items();
}

TEST(BigKeyHolder, StartsEmptyAndInert) {
    HashTestAssertions asserts;
    BIG_cl_KeyHolder holder;
    EXPECT_EQ(holder.ul_GetFileCount(), 0u);
    EXPECT_FALSE(holder.b_IsRecording());
    ASSERT_NE(holder.pUniqueWorld(), nullptr);
    EXPECT_TRUE(holder.pUniqueWorld()->mast_UniqueWorld.empty());

    holder.SetFileCount(4);
    holder.RecordLoad(2, 100, false, {0x123, kCreationFlags, 1});
    holder.RecordLoad(99, 100, false, {0x123, kCreationFlags, 1});  // ignored too while off
    EXPECT_FALSE(holder.b_IsLoaded(2));
    EXPECT_EQ(holder.pst_FileData(2)->ul_Size, 0u);
    EXPECT_TRUE(holder.Keys().empty());
    EXPECT_EQ(asserts.Count(), 0u);
}

TEST(BigKeyHolder, FileCountFollowsTheTableAndKeepsSurvivingFiles) {
    BIG_cl_KeyHolder holder;
    holder.SetRecording(true);
    holder.SetCurrentWorldMask({1, 0, 0, 0x80000000});
    holder.SetFileCount(10);
    holder.RecordLoad(3, 50, false, {0x3, kCreationFlags, 1});
    holder.RecordLoad(9, 60, false, {0x9, kCreationFlags, 1});

    // A table grown by 131072 entries.
    holder.SetFileCount(10 + 131072);
    EXPECT_EQ(holder.ul_GetFileCount(), 131082u);
    EXPECT_EQ(holder.BackupLoadedFile().ul_Size(), 131082u);
    EXPECT_TRUE(holder.b_IsLoaded(3));
    EXPECT_EQ(holder.pst_FileData(3)->ul_Size, 54u);
    EXPECT_EQ(holder.pst_FileData(3)->aul_WorldMask, (BIG_tdst_WorldMask{1, 0, 0, 0x80000000}));
    EXPECT_FALSE(holder.b_IsLoaded(131081));
    EXPECT_EQ(holder.pst_FileData(131081)->ul_Size, 0u);
    holder.RecordLoad(131081, 8, false, {0x77, 0, 1});
    EXPECT_TRUE(holder.b_IsLoaded(131081));

    // Shrinking drops the files past the end; growing again brings them back clear.
    holder.SetFileCount(5);
    EXPECT_EQ(holder.pst_FileData(9), nullptr);
    EXPECT_FALSE(holder.b_IsLoaded(9));
    holder.SetFileCount(12);
    EXPECT_FALSE(holder.b_IsLoaded(9));
    EXPECT_EQ(holder.pst_FileData(9)->ul_Size, 0u);
    EXPECT_TRUE(holder.b_IsLoaded(3));
}

TEST(BigKeyHolder, RecordsWorldsSizesAndListedKeysOncePerFile) {
    HashTestAssertions asserts;
    BIG_cl_KeyHolder holder;
    holder.SetFileCount(8);
    holder.SetRecording(true);

    holder.SetCurrentWorldMask({0x1, 0, 0, 0});
    holder.RecordLoad(2, 100, false, {0xA2, kCreationFlags, 1});
    holder.SetCurrentWorldMask({0x4, 0x10, 0, 0});
    holder.RecordLoad(2, 0xFFFFFFFF, false, {0xA2, kCreationFlags, 1});  // size unknown: kept
    EXPECT_EQ(holder.pst_FileData(2)->aul_WorldMask, (BIG_tdst_WorldMask{0x5, 0x10, 0, 0}));
    EXPECT_EQ(holder.pst_FileData(2)->ul_Size, 104u);
    holder.RecordLoad(2, 20, false, {0xA2, kCreationFlags, 1});
    EXPECT_EQ(holder.pst_FileData(2)->ul_Size, 24u);

    holder.RecordLoad(5, 1, true, {0xA5, kListed, 2});  // extra key
    holder.RecordLoad(6, 1, false, {0xA6, 0, 3});       // link file: not listed, still marked
    holder.RecordLoad(6, 1, false, {0xA6, kListed, 3});
    EXPECT_TRUE(holder.b_IsLoaded(6));

    EXPECT_EQ(Items(holder.Keys()), (std::vector<uint32_t>{0xA2}));
    EXPECT_EQ(Items(holder.ExtraKeys()), (std::vector<uint32_t>{0xA5}));
    EXPECT_EQ(Items(holder.Indexes()), (std::vector<uint32_t>{2, 5}));
    EXPECT_EQ(asserts.Count(), 0u);
}

TEST(BigKeyHolder, TxdFilesAreNeverMarkedLoaded) {
    BIG_cl_KeyHolder holder;
    holder.SetFileCount(3);
    holder.SetRecording(true);
    holder.RecordLoad(1, 10, false, {0xB1, kListed, BIG_cl_KeyHolder::kTypeTxd});
    holder.RecordLoad(1, 10, false, {0xB1, kListed, BIG_cl_KeyHolder::kTypeTxd});
    EXPECT_FALSE(holder.b_IsLoaded(1));
    EXPECT_EQ(Items(holder.Keys()), (std::vector<uint32_t>{0xB1, 0xB1}));
    EXPECT_EQ(holder.pst_FileData(1)->ul_Size, 14u);
}

TEST(BigKeyHolder, IndexOutsideTheFilesIsReported) {
    BIG_cl_KeyHolder holder;
    holder.SetFileCount(3);
    holder.SetRecording(true);
    HashTestAssertions asserts;
    holder.RecordLoad(3, 10, false, {0xC3, kListed, 1});
    EXPECT_EQ(asserts.Count("Index outside array range in ARR_cl_TArray::"), 1u);
    EXPECT_TRUE(holder.Keys().empty());
}

TEST(BigKeyHolder, ReleaseFreesWorldsAndInitStartsOver) {
    BIG_cl_KeyHolder holder;
    holder.SetFileCount(4);
    holder.SetRecording(true);
    holder.RecordLoad(1, 10, false, {0xD1, kListed, 1});
    int released = 0;
    BIG_st_World world;
    world.ul_Index = 7;
    world.p_Block.reset(new uint8_t[16]);
    world.ul_Size = 16;
    world.p_Object = std::shared_ptr<void>(&released, [](void* p) { ++*static_cast<int*>(p); });
    holder.Worlds().Append(std::move(world));

    holder.Release();
    EXPECT_EQ(released, 1);
    EXPECT_TRUE(holder.Worlds().empty());
    EXPECT_EQ(holder.ul_GetFileCount(), 0u);
    EXPECT_EQ(holder.pUniqueWorld(), nullptr);
    EXPECT_TRUE(holder.Keys().empty());

    holder.Init();
    ASSERT_NE(holder.pUniqueWorld(), nullptr);
    EXPECT_STREQ(holder.Keys().sz_Label(), "BIG_cl_KeyHolder::Init : maul_Key");
    EXPECT_STREQ(holder.pUniqueWorld()->mast_UniqueWorld.sz_Label(), "BIG_cl_UniqueWorld::mast_UniqueWorld");
    holder.SetFileCount(2);
    EXPECT_FALSE(holder.b_IsLoaded(1));
}

TEST(BigKeyHolderArray, AppendDoublesCapacity) {
    BIG_tl_LabeledArray<uint32_t> array("label");
    std::vector<size_t> capacities;
    for (uint32_t i = 0; i < 9; ++i) {
        array.Append(i);
        capacities.push_back(array.Items().capacity());
    }
    EXPECT_EQ(capacities, (std::vector<size_t>{1, 2, 4, 4, 8, 8, 8, 8, 16}));
    EXPECT_EQ(array[8], 8u);
}

}  // namespace
