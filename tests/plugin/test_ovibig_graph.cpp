// The reference graph of the inspection session on an in-memory bigfile:
// mapping, walks, closures, bank expansion, Print and the reference buffer.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "BIGfile/BIG_Endian.h"
#include "plugin/OVI_BankRegistry.h"
#include "tests/plugin/test_ovibig_support.h"

namespace {

using ORVEX::OVI_Big;
using ORVEX::OVI_RefBuffer;
using ovibig_test::CountOf;
using ovibig_test::InspectTool;

constexpr uint32_t kA = 0xA0, kB = 0xB0, kC = 0xC0, kR1 = 0x10, kR2 = 0x20;

TEST(OviBigMapRefs, OnlyKeysOfTheBigfileMakeEdgesAndOnlyRealKeysAreMissing) {
    for (bool report : {false, true}) {
        InspectTool tool;
        tool.held_ = std::set<uint32_t>{kA, kB};
        tool.mb_ReportMissing = report;
        testing::internal::CaptureStdout();
        tool.Map(kA, {0, kB, 0xFFFFFFFFu, 0x12345678u, kB});
        const std::string out = testing::internal::GetCapturedStdout();

        ASSERT_EQ(tool.mmap_Edges.count(kA), 1u);
        EXPECT_EQ(tool.mmap_Edges.at(kA), (std::vector<uint32_t>{kB, kB}));
        ASSERT_EQ(tool.missing_.size(), 1u) << "0 and 0xFFFFFFFF are never missing";
        EXPECT_EQ(tool.missing_[0], std::make_pair(kA, 0x12345678u));
        EXPECT_EQ(CountOf(out, "[filenotfound    ]"), report ? 1u : 0u) << out;
        EXPECT_EQ(CountOf(out, "OVI_Big::_MapRefs File ! Found : Refkey 305419896 | 0x12345678"),
                  report ? 1u : 0u)
            << out;
        EXPECT_EQ(tool.mmap_Records.count(kA), 1u);
    }
}

TEST(OviBigMapRefs, ARecordMappedAgainReplacesTheFirstAndKeepsBothEdgeLists) {
    InspectTool tool;
    tool.held_ = std::set<uint32_t>{kA, kB, kC};
    tool.Map(kA, {kB}, 4);
    tool.Map(kA, {kC}, 7);
    EXPECT_EQ(tool.mmap_Records.at(kA).ul_Type, 7u);
    EXPECT_EQ(tool.mmap_Edges.at(kA), (std::vector<uint32_t>{kB, kC}));
}

TEST(OviBigWalk, DuplicateEdgesCountTwiceInMode0AndInsertOnceInMode1) {
    struct Case {
        uint32_t mode;
        uint32_t use;  // of kB after one walk from kA, weight 3
    };
    const Case cases[] = {{OVI_Big::kWalkCount, 2}, {OVI_Big::kWalkOnly, 0}, {OVI_Big::kWalkWeight, 6}};
    for (const Case& c : cases) {
        InspectTool tool;
        tool.held_ = std::set<uint32_t>{kA, kB};
        tool.mul_Weight = 3;
        tool.Map(kA, {kB, kB});
        OVI_Big::KeyTree set;
        tool._WalkRefs(set, kA, c.mode);
        EXPECT_EQ(set, (OVI_Big::KeyTree{kB})) << c.mode;
        EXPECT_EQ(tool.Use(kB), c.use) << c.mode;
        // Mode 1 changes no count, so it creates no record for a child without one.
        EXPECT_EQ(tool.mmap_Records.count(kB), c.mode == OVI_Big::kWalkOnly ? 0u : 1u) << c.mode;
    }
}

TEST(OviBigWalk, ACycleEndsAndTheRootReachedThroughItJoinsTheClosure) {
    InspectTool tool;
    tool.held_ = std::set<uint32_t>{kA, kB};
    tool.Map(kA, {kB});
    tool.Map(kB, {kA});
    tool.mmap_Roots[kA] = 0;
    tool._BuildClosures();
    EXPECT_EQ(tool.mmap_Closures.at(kA), (OVI_Big::KeySet{kA, kB}));
    EXPECT_EQ(tool.Use(kA), 1u);
    EXPECT_EQ(tool.Use(kB), 1u);

    // Counting walk: A's edges are followed again once the cycle reinserts A,
    // as a recursive walk does; the walk still ends.
    OVI_Big::KeyTree set;
    tool._WalkRefs(set, kA, OVI_Big::kWalkCount);
    EXPECT_EQ(set, (OVI_Big::KeyTree{kA, kB}));
    EXPECT_EQ(tool.Use(kB), 1u + 2u);
    EXPECT_EQ(tool.Use(kA), 1u + 1u);
}

TEST(OviBigWalk, AChainLongerThanTheStackCouldRecurseIsWalked) {
    InspectTool tool;
    constexpr uint32_t kLength = 300000;
    std::set<uint32_t> held;
    for (uint32_t k = 1; k <= kLength; ++k)
        held.insert(k);
    tool.held_ = held;
    for (uint32_t k = 1; k < kLength; ++k)
        tool.Map(k, {k + 1});
    OVI_Big::KeyTree set;
    tool._WalkRefs(set, 1, OVI_Big::kWalkCount);
    EXPECT_EQ(set.size(), kLength - 1);
    EXPECT_EQ(tool.Use(kLength), 1u);
    EXPECT_EQ(tool.Use(1), 0u);
}

TEST(OviBigClosures, TwoRootsReachingOneFileEachAddOneAndKeepThemselvesOut) {
    InspectTool tool;
    tool.held_ = std::set<uint32_t>{kR1, kR2, kA, kC};
    tool.Map(kR1, {kA});
    tool.Map(kR2, {kA, kC});
    tool.Map(kA, {kC});
    tool.mmap_Roots[kR1] = 0;
    tool.mmap_Roots[kR2] = 0;
    tool._BuildClosures();
    EXPECT_EQ(tool.mmap_Closures.at(kR1), (OVI_Big::KeySet{kA, kC}));
    EXPECT_EQ(tool.mmap_Closures.at(kR2), (OVI_Big::KeySet{kA, kC}));
    EXPECT_EQ(tool.Use(kA), 2u);
    EXPECT_EQ(tool.Use(kC), 2u);
    EXPECT_EQ(tool.Use(kR1), 0u);
    EXPECT_EQ(tool.Use(kR2), 0u);
}

// Keys that only references name (files of the bigfile never mapped) may far
// outnumber the mapped files: each still gets its place in the closure.
TEST(OviBigClosures, ManyKeysThatOnlyReferencesNameAreAllInTheClosure) {
    InspectTool tool;
    constexpr uint32_t kUnmapped = 5000;
    std::set<uint32_t> held{kR1};
    std::vector<uint32_t> refs;
    for (uint32_t n = 0; n < kUnmapped; ++n) {
        refs.push_back(0x10000 + 3 * n);
        held.insert(0x10000 + 3 * n);
    }
    tool.held_ = held;
    tool.Map(kR1, refs);
    tool.mmap_Roots[kR1] = 0;
    tool._BuildClosures();
    EXPECT_EQ(tool.mmap_Closures.at(kR1).size(), kUnmapped);
    for (uint32_t key : refs)
        ASSERT_EQ(tool.Use(key), 1u) << key;
}

// The passes look up closure keys through a flat index of the records: in
// any order, every key gives the map's own record, and one the index does
// not know (absent, or mapped after it was made) gives what mmap_Records[key]
// gives.
TEST(OviBigClosures, TheRecordIndexGivesTheMapsRecordsInAnyOrder) {
    InspectTool tool;
    std::vector<uint32_t> keys;
    for (uint32_t k = 0; k < 3000; ++k)
        keys.push_back(0x1000 + 7 * k);
    for (uint32_t key : keys)
        tool.mmap_Records[key].ul_Type = key ^ 0x55;
    InspectTool::RecordIndex index(tool.mmap_Records);
    tool.mmap_Records[0x2].ul_Type = 0x77;  // mapped after the index, below its keys

    std::vector<uint32_t> asked = keys;
    std::mt19937 random(7);
    std::vector<uint32_t> shuffled = keys;
    std::shuffle(shuffled.begin(), shuffled.end(), random);
    asked.insert(asked.end(), keys.rbegin(), keys.rend());
    asked.insert(asked.end(), shuffled.begin(), shuffled.end());
    for (uint32_t key : asked) {
        ovibig_test::FileRefRecord& record = index[key];
        ASSERT_EQ(&record, &tool.mmap_Records.at(key)) << key;
        ASSERT_EQ(record.ul_Type, key ^ 0x55u);
    }
    EXPECT_EQ(index[0x2].ul_Type, 0x77u);
    // Absent keys below, between and above the indexed ones: an empty record each.
    const size_t before = tool.mmap_Records.size();
    for (uint32_t absent : {0x1u, 0x1001u, 0x1000u + 7 * 2999 + 1, 0xFFFFFFF0u}) {
        ovibig_test::FileRefRecord& record = index[absent];
        EXPECT_EQ(&record, &tool.mmap_Records.at(absent));
        EXPECT_EQ(record.ul_UseCount, 0u);
        EXPECT_TRUE(record.s_Name.empty());
    }
    EXPECT_EQ(tool.mmap_Records.size(), before + 4);
    EXPECT_EQ(&index[keys[5]], &tool.mmap_Records.at(keys[5]));
}

TEST(OviBigClosures, AKeyWithoutRecordGetsAnEmptyOneWhenCounted) {
    InspectTool tool;
    tool.held_ = std::set<uint32_t>{kR1, kA};
    tool.Map(kR1, {kA});  // kA is in the bigfile but was never mapped itself
    tool.mmap_Roots[kR1] = 0;
    tool._BuildClosures();
    ASSERT_EQ(tool.mmap_Records.count(kA), 1u);
    EXPECT_EQ(tool.mmap_Records.at(kA).ul_Key, 0u);
    EXPECT_EQ(tool.mmap_Records.at(kA).ul_UseCount, 1u);
    EXPECT_TRUE(tool.mmap_Records.at(kA).s_Name.empty());
}

// Bank files as the registry's parsers see them.
struct BankFiles {
    std::vector<uint8_t> refKeys;
    std::vector<uint8_t> payload;
    ORVEX::BankFileView View(uint32_t key) const {
        ORVEX::BankFileView view;
        view.ul_Key = key;
        view.pu8_RefKeys = refKeys.data();
        view.ul_RefCount = static_cast<uint32_t>(refKeys.size() / 4);
        view.pu8_Payload = payload.data();
        view.ul_PayloadSize = payload.size();
        return view;
    }
};

class OviBigBanks : public testing::Test {
protected:
    void SetUp() override { ORVEX::BankRegistry::Instance().Clear(); }
    void TearDown() override { ORVEX::BankRegistry::Instance().Clear(); }
};

TEST_F(OviBigBanks, ABankListAddsTheWeightToEachListedKeyAndToItself) {
    constexpr uint32_t kList = 0x300, kX = 0x310, kY = 0x320, kZ = 0x330;
    BankFiles list;
    BIG::Endian::ByteAppender keys(&list.refKeys);
    keys.U32(kY);
    keys.U32(kX);
    list.payload = {2};
    const ORVEX::BankFileView view = list.View(kList);
    ASSERT_EQ(ORVEX::BankRegistry::Instance().ParseDynamicBankList(&view), 0);
    testing::internal::CaptureStdout();  // the listed keys are no parsed banks: the registry says so
    ORVEX::BankRegistry::Instance().ResolveAll();
    testing::internal::GetCapturedStdout();

    InspectTool tool;
    tool.held_ = std::set<uint32_t>{kR1, kList, kX, kY, kZ};
    tool.Map(kR1, {kList});
    // The record's own table names nothing: what the list adds comes from the registry.
    tool.Map(kList, {}, OVI_Big::kTypeDynamicBankList);
    tool.Map(kX, {kZ});
    tool.mmap_Roots[kR1] = 0;
    testing::internal::CaptureStdout();
    tool._BuildClosures();
    testing::internal::GetCapturedStdout();

    // Listed keys get the weight and are not walked (kZ stays out); the list
    // gets the weight too; then every member of the closure gets 1.
    EXPECT_EQ(tool.mmap_Closures.at(kR1), (OVI_Big::KeySet{kList, kX, kY}));
    EXPECT_EQ(tool.Use(kList), 2u + 1u);
    EXPECT_EQ(tool.Use(kX), 2u + 1u);
    EXPECT_EQ(tool.Use(kY), 2u + 1u);
}

TEST_F(OviBigBanks, MissingBanksAndListsAreReportedAndTheClosureGoesOn) {
    struct Case {
        uint32_t type;
        const char* text;
    };
    const Case cases[] = {
        {OVI_Big::kTypeDynamicBank, "Unable to find DynamicBank: 1024 : bank.dbk"},
        {OVI_Big::kTypeDynamicBankList, "Unable to find DynamicBankList: 1024 : bank.dbk"},
        {OVI_Big::kTypeElementRefList, "Unable to find ElementReferenceList: 1024 : bank.dbk"},
    };
    for (const Case& c : cases) {
        InspectTool tool;
        tool.held_ = std::set<uint32_t>{kR1, 1024, kC};
        tool.Map(kR1, {1024});
        ovibig_test::FileRefRecord bank;
        bank.ul_Key = 1024;
        bank.ul_Type = c.type;
        bank.s_Name = "bank.dbk";
        bank.ul_RefCount = 1;
        tool._MapRefs(bank, &kC);
        tool.mmap_Roots[kR1] = 0;
        testing::internal::CaptureStdout();
        tool._BuildClosures();
        const std::string out = testing::internal::GetCapturedStdout();
        // The registry's look-up writes its own warning too.
        EXPECT_EQ(CountOf(out, std::string("[ warning][dynamic-resolve ][") + c.text + "]"), 1u) << out;
        EXPECT_EQ(tool.mmap_Closures.at(kR1), (OVI_Big::KeySet{1024, kC}));
    }
}

// _BuildClosures works on a dense copy of the graph; the tree walk it
// replaced stays the reference. Random graphs with bank lists that name keys
// before and after themselves (a list added behind the one being expanded is
// not expanded), keys of the bigfile never mapped, and keys no file holds.
TEST_F(OviBigBanks, ClosuresAndUseCountsAreThoseOfTheTreeWalk) {
    for (uint32_t seed = 1; seed <= 30; ++seed) {
        SCOPED_TRACE(seed);
        std::mt19937 random(seed);
        auto pick = [&](uint32_t n) { return static_cast<uint32_t>(random() % n); };
        ORVEX::BankRegistry::Instance().Clear();
        constexpr uint32_t kFiles = 40;
        auto keyOf = [](uint32_t n) { return 0x1000 + 0x10 * n; };
        std::set<uint32_t> held;
        for (uint32_t n = 0; n < kFiles; ++n)
            held.insert(keyOf(n));
        std::vector<std::pair<uint32_t, std::vector<uint32_t>>> files;  // mapped ones
        std::vector<uint32_t> lists;
        for (uint32_t n = 0; n < kFiles; ++n) {
            if (pick(6) == 0)
                continue;  // in the bigfile, never mapped
            std::vector<uint32_t> refs;
            for (uint32_t e = pick(4); e != 0; --e)
                refs.push_back(pick(8) == 0 ? 0x9000 + pick(4) : keyOf(pick(kFiles)));
            if (pick(4) == 0) {
                lists.push_back(keyOf(n));
                BankFiles list;
                BIG::Endian::ByteAppender out(&list.refKeys);
                const uint32_t count = 1 + pick(3);
                for (uint32_t e = count; e != 0; --e)
                    out.U32(pick(6) == 0 ? 0x9000 + pick(4) : keyOf(pick(kFiles)));
                list.payload = {static_cast<uint8_t>(count)};
                const ORVEX::BankFileView view = list.View(keyOf(n));
                ASSERT_EQ(ORVEX::BankRegistry::Instance().ParseDynamicBankList(&view), 0);
            }
            files.emplace_back(keyOf(n), refs);
        }
        testing::internal::CaptureStdout();
        ORVEX::BankRegistry::Instance().ResolveAll();
        InspectTool dense, tree;
        for (InspectTool* tool : {&dense, &tree}) {
            tool->held_ = held;
            for (const auto& [key, refs] : files) {
                const bool list = std::count(lists.begin(), lists.end(), key) != 0;
                tool->Map(key, refs, list ? OVI_Big::kTypeDynamicBankList : 0);
            }
            for (uint32_t r = 0; r < 3; ++r)
                tool->mmap_Roots[files[pick(static_cast<uint32_t>(files.size()))].first] = 0;
        }
        tree.mmap_Roots = dense.mmap_Roots;
        dense._BuildClosures();
        for (const auto& [root, unused] : tree.mmap_Roots) {
            OVI_Big::KeyTree set;
            tree._WalkRefs(set, root, OVI_Big::kWalkOnly);
            tree._ExpandBanks(set);
            for (uint32_t key : set)
                tree.UseCount(key) += 1;
            tree.mmap_Closures[root] = OVI_Big::KeySet(set);
        }
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(dense.mmap_Closures, tree.mmap_Closures);
        std::map<uint32_t, uint32_t> denseCounts, treeCounts;
        for (const auto& [key, record] : dense.mmap_Records)
            denseCounts[key] = record.ul_UseCount;
        for (const auto& [key, record] : tree.mmap_Records)
            treeCounts[key] = record.ul_UseCount;
        EXPECT_EQ(denseCounts, treeCounts);
    }
}

// A closure's sorted array answers as the tree it replaced: keys added in any
// order, again, before the first and behind the last.
TEST(OviBigKeySet, InsertsAndFindsAsASetDoes) {
    std::mt19937 random(11);
    ORVEX::OVI_KeySet set{0x30, 0x10, 0x30, 0x20};
    std::set<uint32_t> tree{0x10, 0x20, 0x30};
    EXPECT_EQ(set.ToSet(), tree);
    for (uint32_t key : {0x05u, 0x40u, 0x15u, 0x10u, 0x40u, 0u, 0xFFFFFFFFu}) {
        const auto [at, added] = set.insert(key);
        EXPECT_EQ(added, tree.insert(key).second) << key;
        EXPECT_EQ(*at, key);
    }
    for (int n = 0; n < 2000; ++n) {
        const uint32_t key = random() % 500;
        EXPECT_EQ(set.insert(key).second, tree.insert(key).second) << key;
    }
    EXPECT_EQ(set.ToSet(), tree);
    EXPECT_EQ(set.size(), tree.size());
    EXPECT_EQ(set, ORVEX::OVI_KeySet(tree));
    for (uint32_t key = 0; key < 600; ++key)
        EXPECT_EQ(set.count(key), tree.count(key)) << key;
    EXPECT_EQ(set.count(0xFFFFFFFEu), 0u);
    const ORVEX::OVI_KeySet empty;
    EXPECT_TRUE(empty.empty());
    EXPECT_EQ(empty.find(7), empty.end());
}

TEST(OviBigPrint, WritesTheTextUnchangedAndCutsItAt1023Characters) {
    InspectTool tool;
    testing::internal::CaptureStdout();
    tool.Print("%s=%d%%", "x", 5);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "x=5%");
    const std::string longText(3000, 'q');
    testing::internal::CaptureStdout();
    tool.Print("%s", longText.c_str());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), std::string(1023, 'q'));
}

TEST(OviBigRefBuffer, GrowsBy64BytesOrToTheSizeNeededAndStartsAgainAfterRelease) {
    OVI_RefBuffer buffer;
    struct Step {
        uint64_t ask;
        uint32_t capacity;
        uint32_t allocations;
    };
    const Step steps[] = {
        {OVI_RefBuffer::kScanCapacity, 0x4000, 1},  // 0 + 64 is too small: exactly the size
        {0x100, 0x4000, 1},                         // fits: no allocation
        {0x4004, 0x4040, 2},                        // one step of 64 is enough
        {0x4041, 0x4080, 3},                        // rounded to whole keys, then one step
        {0x9000, 0x9000, 4},
    };
    for (const Step& s : steps) {
        ASSERT_TRUE(buffer.bReserve(s.ask)) << s.ask;
        EXPECT_EQ(buffer.ul_Capacity(), s.capacity) << s.ask;
        EXPECT_EQ(buffer.ul_AllocationCount(), s.allocations) << s.ask;
        EXPECT_NE(buffer.pul_Data(), nullptr);
    }
    buffer.Release();
    EXPECT_EQ(buffer.pul_Data(), nullptr);
    ASSERT_TRUE(buffer.bReserve(OVI_RefBuffer::kScanCapacity));
    EXPECT_EQ(buffer.ul_Capacity(), 0x4000u);
    // A size no 32-bit capacity can hold is refused, not wrapped.
    EXPECT_FALSE(buffer.bReserve(uint64_t{1} << 33));
}

}  // namespace
