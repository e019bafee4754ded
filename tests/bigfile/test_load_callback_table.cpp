// The load manager's type-bucketed callback tables.
#include <gtest/gtest.h>

#include <set>
#include <vector>

#include "BIGfile/BIG_LoadManager.h"

namespace {

using Table = BIG_TypeCallbackTable<BIG_LoadCallback>;

template <int N>
void* Tagged(uint32_t, uint32_t, uint32_t, uint32_t, uint32_t) {
    static int s_tag = N;
    return &s_tag;
}
const BIG_LoadCallback kCallbacks[] = {&Tagged<0>, &Tagged<1>, &Tagged<2>, &Tagged<3>, &Tagged<4>,
                                       &Tagged<5>, &Tagged<6>, &Tagged<7>, &Tagged<8>, &Tagged<9>};

TEST(LoadCallbackTable, BucketFormula) {
    struct Case {
        uint32_t type;
        uint32_t bucket;
    } cases[] = {
        {0, 0},
        {3, 3},
        {31, 31},
        {32, 0x2 ^ 0},
        {33, 0x2 ^ 1},
        {87, (5 & 0x3E) ^ 23},
        {126, 6 ^ 30},
        {146, 8 ^ 18},
        {255, 14 ^ 31},
        {0x3E0, 0x3E},
        {0xFFFF, 0x3E ^ 0x1F},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Table::ul_Bucket(c.type), c.bucket) << "type " << c.type;
    for (uint32_t type = 0; type <= 0xFFFF; ++type)
        ASSERT_LT(Table::ul_Bucket(type), Table::kBuckets);
}

TEST(LoadCallbackTable, RegisteredTypesAreFoundAndOthersAreNot) {
    Table table;
    // Types 4, 87 and 126 land in distinct buckets; 0 and 32 share none with them.
    EXPECT_TRUE(table.bAdd(4, kCallbacks[0]));
    EXPECT_TRUE(table.bAdd(87, kCallbacks[1]));
    EXPECT_TRUE(table.bAdd(126, kCallbacks[2]));
    EXPECT_EQ(table.Find(4), kCallbacks[0]);
    EXPECT_EQ(table.Find(87), kCallbacks[1]);
    EXPECT_EQ(table.Find(126), kCallbacks[2]);
    EXPECT_EQ(table.Find(3), nullptr);
    EXPECT_EQ(table.Find(0), nullptr);
    EXPECT_FALSE(table.bAdd(5, nullptr));
    table.Clear();
    EXPECT_EQ(table.Find(4), nullptr);
}

TEST(LoadCallbackTable, BucketHoldsEightTypesAndDropsTheNinth) {
    // Types sharing one bucket: every type t with ul_Bucket(t) == 3.
    std::vector<uint32_t> sameBucket;
    for (uint32_t type = 0; sameBucket.size() < 9; ++type)
        if (Table::ul_Bucket(type) == 3)
            sameBucket.push_back(type);
    Table table;
    for (int i = 0; i < 8; ++i)
        EXPECT_TRUE(table.bAdd(sameBucket[i], kCallbacks[i]));
    EXPECT_FALSE(table.bAdd(sameBucket[8], kCallbacks[8]));  // dropped without a message
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(table.Find(sameBucket[i]), kCallbacks[i]);
    EXPECT_EQ(table.Find(sameBucket[8]), nullptr);
    // Other buckets are unaffected.
    EXPECT_TRUE(table.bAdd(4, kCallbacks[9]));
    EXPECT_EQ(table.Find(4), kCallbacks[9]);
}

TEST(LoadCallbackTable, FirstRegistrationOfATypeWins) {
    Table table;
    EXPECT_TRUE(table.bAdd(3, kCallbacks[0]));
    EXPECT_TRUE(table.bAdd(3, kCallbacks[1]));  // takes another slot
    EXPECT_EQ(table.Find(3), kCallbacks[0]);
}

TEST(LoadCallbackTable, ReuseTableHasTheSameShape) {
    BIG_TypeCallbackTable<BIG_ReuseCallback> table;
    auto reuse = +[](void*, uint32_t, uint32_t) {};
    EXPECT_TRUE(table.bAdd(88, reuse));
    EXPECT_EQ(table.Find(88), reuse);
    EXPECT_EQ(table.Find(89), nullptr);
}

}  // namespace
