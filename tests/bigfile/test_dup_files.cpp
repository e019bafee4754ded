// The duplicated-files table: decoding of its data part, copy lists and the
// process-wide table.
#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "BIGfile/BIG_DuplicatedFilesManager.h"
#include "BIGfile/BIG_Endian.h"
#include "ERRor/ERR_Assert.h"
#include "ERRor/ERR_Log.h"
#include "tests/support/LogCapture.h"

namespace {

using DupLogCapture = test_support::LogCapture;

// Data part: count, shift, entries.
std::vector<uint8_t> DataPart(uint32_t count, uint8_t shift, const std::vector<uint32_t>& entries) {
    std::vector<uint8_t> out;
    BIG::Endian::ByteAppender app(&out);
    app.U32(count);
    app.U8(shift);
    for (uint32_t v : entries)
        app.U32(v);
    return out;
}

uint32_t CopyWord(uint32_t count, uint32_t first) {
    return (count << 27) | first;
}

class DupFilesTest : public ::testing::Test {
protected:
    void SetUp() override { ERR_SetInteractive(false); }
    void TearDown() override { BIG_DuplicatedFilesManager::DestroySingleton(); }
};

TEST_F(DupFilesTest, DecodesPlacesInUnitsOfTheShift) {
    struct Case {
        uint8_t shift;
        uint32_t stored;
        uint64_t byteOffset;  // ~0 for no place
    } cases[] = {
        {3, 10, 80},                          // the documented example
        {3, 0, 0},                            //
        {11, 3, 6144},                        // 3 alignment units of 2048 bytes
        {0, 16, 16},                          // byte units, aligned value
        {3, 0xFFFFFFFF, ~0ull},               // no place whatever the shift
        {11, 0xFFFFFFFF, ~0ull},              //
        {5, 0x3FFFFFFF, 0x3FFFFFFFull << 5},  // below the 32 GiB limit
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "shift " << int(c.shift) << " stored " << c.stored);
        const auto bytes = DataPart(1, c.shift, {c.stored});
        std::string error;
        auto table = BIG_DuplicatedFilesManager::po_Decode(bytes.data(), bytes.size(), &error);
        ASSERT_NE(table, nullptr) << error;
        ASSERT_EQ(table->ul_GetCount(), 1u);
        if (c.byteOffset == ~0ull)
            EXPECT_EQ(table->ul_GetPosition(0), 0xFFFFFFFFu);
        else
            EXPECT_EQ(static_cast<uint64_t>(table->ul_GetPosition(0)) * 8, c.byteOffset);
    }
}

TEST_F(DupFilesTest, MalformedDataPartsAreRefusedWithAReason) {
    struct Case {
        const char* what;
        std::vector<uint8_t> bytes;
    };
    std::vector<Case> cases = {
        {"empty", {}},
        {"header cut", {1, 0, 0, 0}},
        {"count larger than the data", DataPart(3, 3, {1, 2})},
        {"count that overflows 32-bit sizes", DataPart(0x40000001, 3, {1})},
        {"huge count", DataPart(0xFFFFFFFF, 3, {})},
        {"unaligned place", DataPart(1, 0, {12})},
        {"place past 32 GiB", DataPart(1, 8, {0x08000000})},
        {"shift out of range", DataPart(1, 200, {1})},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string error;
        auto table = BIG_DuplicatedFilesManager::po_Decode(c.bytes.data(), c.bytes.size(), &error);
        EXPECT_EQ(table, nullptr);
        EXPECT_FALSE(error.empty());
    }
    // Extra bytes after the entries are tolerated (the data part may be padded).
    const auto padded = [] {
        auto b = DataPart(1, 3, {4});
        b.push_back(0);
        return b;
    }();
    EXPECT_NE(BIG_DuplicatedFilesManager::po_Decode(padded.data(), padded.size(), nullptr), nullptr);
}

TEST_F(DupFilesTest, CopyListsTakeConsecutiveEntries) {
    BIG_DuplicatedFilesManager table({100, 200, 300, 0xFFFFFFFF, 500});
    BIG_st_CopyList list;
    ASSERT_TRUE(table.bGetCopyList(CopyWord(3, 1), &list));
    ASSERT_EQ(list.count, 3u);
    EXPECT_EQ(list.positions[0], 200u);
    EXPECT_EQ(list.positions[1], 300u);
    EXPECT_EQ(list.positions[2], 0xFFFFFFFFu);
    EXPECT_EQ(table.ul_GetFirstCopyPosition(CopyWord(2, 4)), 0xFFFFFFFFu);  // reaches past the end
    EXPECT_EQ(table.ul_GetFirstCopyPosition(CopyWord(1, 4)), 500u);
    EXPECT_EQ(table.ul_GetFirstCopyPosition(CopyWord(5, 0)), 100u);
}

TEST_F(DupFilesTest, CopyListsOutsideTheTableHaveNoPlaceAndAreReported) {
    BIG_DuplicatedFilesManager table({100, 200});
    DupLogCapture log;
    BIG_st_CopyList list;
    list.count = 7;
    EXPECT_FALSE(table.bGetCopyList(CopyWord(2, 1), &list));  // reaches one past the end
    EXPECT_EQ(list.count, 0u);
    EXPECT_TRUE(log.bContains("outside the duplicated-files table"));
    EXPECT_FALSE(table.bGetCopyList(CopyWord(31, 0x7FFFFFF), &list));  // the largest word
    EXPECT_FALSE(table.bGetCopyList(CopyWord(0, 0), &list));           // no copies at all
    EXPECT_EQ(table.ul_GetPosition(2), 0xFFFFFFFFu);
    EXPECT_EQ(table.ul_GetPosition(0xFFFFFFFF), 0xFFFFFFFFu);

    // An empty table is a bigfile without copies: no place, and nothing to report.
    BIG_DuplicatedFilesManager empty;
    const size_t before = log.Count();
    EXPECT_FALSE(empty.bGetCopyList(CopyWord(1, 0), &list));
    EXPECT_EQ(log.Count(), before);
}

TEST_F(DupFilesTest, ProcessWideTableIsReplacedWholeAndKeptAliveByReaders) {
    EXPECT_EQ(BIG_DuplicatedFilesManager::Get(), nullptr);
    EXPECT_EQ(BIG_DuplicatedFilesManager::ul_GetGlobalPosition(0), 0xFFFFFFFFu);
    BIG_DuplicatedFilesManager::CreateSingleton();
    ASSERT_NE(BIG_DuplicatedFilesManager::Get(), nullptr);
    EXPECT_FALSE(BIG_DuplicatedFilesManager::Get()->bHasData());

    const auto bytes = DataPart(2, 3, {10, 20});
    BIG_DuplicatedFilesManager::Replace(
        BIG_DuplicatedFilesManager::po_Decode(bytes.data(), bytes.size(), nullptr));
    auto held = BIG_DuplicatedFilesManager::Get();
    EXPECT_EQ(BIG_DuplicatedFilesManager::ul_GetGlobalPosition(1), 20u);
    BIG_st_CopyList list;
    EXPECT_TRUE(BIG_DuplicatedFilesManager::bGetGlobalCopyList(CopyWord(2, 0), &list));
    EXPECT_EQ(list.count, 2u);

    BIG_DuplicatedFilesManager::CreateSingleton();  // back to empty
    EXPECT_EQ(BIG_DuplicatedFilesManager::ul_GetGlobalPosition(1), 0xFFFFFFFFu);
    EXPECT_EQ(held->ul_GetPosition(1), 20u);  // the reader's copy is still whole
}

}  // namespace
