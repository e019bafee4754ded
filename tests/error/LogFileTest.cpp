#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ErrTestSupport.h"
#include "platform/Clock.h"

namespace {

TEST(LogFile, RecordBytesExactly) {
    ERR_cl_LogFile journal;
    EXPECT_EQ(journal.Capacity(), 32768u);
    EXPECT_EQ(journal.Size(), 0u);

    journal.AppendHeaderAt(ERR_Event_Assert, 0x0102030405060708ull);
    journal.AppendText("Ab");
    journal.AppendText(nullptr);
    journal.AppendHeaderAt(ERR_Event_MessageBox, 0x01D9AABBCCDDEEFFull);

    const std::vector<uint8_t> expected = {
        1,  0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01, 14, 0,  // header, code 14
        11, 'A',  'b',  0,                                          // text "Ab"
        11, 0,                                                      // empty text
        1,  0xFF, 0xEE, 0xDD, 0xCC, 0xBB, 0xAA, 0xD9, 0x01, 15, 0,  // header, code 15
    };
    EXPECT_EQ(journal.Bytes(), expected);
    EXPECT_EQ(journal.Size(), expected.size());
}

TEST(LogFile, HeaderIsStampedWithLocalTime) {
    ERR_cl_LogFile journal;
    uint64_t before = PLT::LocalFileTimeNow();
    journal.AppendHeader(ERR_Event_Assert);
    uint64_t after = PLT::LocalFileTimeNow();

    std::vector<uint8_t> bytes = journal.Bytes();
    std::vector<ERR_cl_LogFile::Record> records;
    ASSERT_TRUE(ERR_cl_LogFile::bDecode(bytes.data(), bytes.size(), &records));
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].code, ERR_Event_Assert);
    EXPECT_GE(records[0].time, before);
    EXPECT_LE(records[0].time, after);
}

TEST(LogFile, CapacityDoublesWhenUsedPlusMarginExceedsIt) {
    ERR_cl_LogFile journal;
    // Fill with 100-byte texts (102-byte records) and check the rule before each append.
    const std::string text(100, 't');
    size_t expectedCapacity = 32768;
    size_t used = 0;
    for (int i = 0; i < 1000; ++i) {
        if (used + 512 > expectedCapacity)
            expectedCapacity *= 2;
        journal.AppendText(text.c_str());
        used += 102;
        ASSERT_EQ(journal.Capacity(), expectedCapacity) << "append " << i;
        ASSERT_EQ(journal.Size(), used);
    }
    EXPECT_EQ(expectedCapacity, 131072u);  // the loop crossed two doublings

    // Growth keeps every byte written before it.
    std::vector<uint8_t> bytes = journal.Bytes();
    std::vector<ERR_cl_LogFile::Record> records;
    ASSERT_TRUE(ERR_cl_LogFile::bDecode(bytes.data(), bytes.size(), &records));
    ASSERT_EQ(records.size(), 1000u);
    for (const auto& r : records)
        ASSERT_EQ(r.text, text);
}

TEST(LogFile, GrowthAtTheBoundary) {
    ERR_cl_LogFile journal;
    // 32256 bytes used: 32256 + 512 == 32768 does not exceed the capacity.
    std::string text(32256 - 2, 'a');
    journal.AppendText(text.c_str());
    ASSERT_EQ(journal.Size(), 32256u);
    journal.AppendHeaderAt(1, 0);
    EXPECT_EQ(journal.Capacity(), 32768u);
    // Now 32267 + 512 exceeds it: the next append doubles.
    journal.AppendHeaderAt(1, 0);
    EXPECT_EQ(journal.Capacity(), 65536u);
}

TEST(LogFile, TextLongerThanTheMarginStillFits) {
    ERR_cl_LogFile journal;
    std::string text(100000, 'L');
    journal.AppendText("first");
    journal.AppendText(text.c_str());
    journal.AppendText("last");
    EXPECT_GE(journal.Capacity(), journal.Size());
    EXPECT_EQ(journal.Capacity(), 131072u);

    std::vector<uint8_t> bytes = journal.Bytes();
    std::vector<ERR_cl_LogFile::Record> records;
    ASSERT_TRUE(ERR_cl_LogFile::bDecode(bytes.data(), bytes.size(), &records));
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[1].text, text);
    EXPECT_EQ(records[2].text, "last");
}

TEST(LogFile, StopsAtItsLimitAndCountsDroppedRecords) {
    ERR_cl_LogFile journal(65536);
    std::string text(1000, 'x');
    for (int i = 0; i < 100; ++i)
        journal.AppendText(text.c_str());
    EXPECT_LE(journal.Size(), 65536u);
    EXPECT_LE(journal.Capacity(), 65536u);
    EXPECT_EQ(journal.Size(), 65u * 1002u);
    EXPECT_EQ(journal.DroppedRecords(), 35u);
    // Once full it stays full, even for a record that would still fit.
    journal.AppendHeaderAt(1, 0);
    EXPECT_EQ(journal.DroppedRecords(), 36u);

    journal.Clear();
    EXPECT_EQ(journal.Size(), 0u);
    journal.AppendText("again");
    EXPECT_EQ(journal.Size(), 7u);
}

TEST(LogFile, DecodeRejectsDamagedBytes) {
    const struct {
        const char* name;
        std::vector<uint8_t> bytes;
        size_t goodRecords;
    } cases[] = {
        {"header cut short", {1, 0, 0, 0, 0, 0, 0, 0, 0, 14}, 0},
        {"text without its zero", {11, 'a', 0, 11, 'b', 'c'}, 1},
        {"unknown kind", {11, 0, 7}, 1},
    };
    for (const auto& c : cases) {
        std::vector<ERR_cl_LogFile::Record> records;
        EXPECT_FALSE(ERR_cl_LogFile::bDecode(c.bytes.data(), c.bytes.size(), &records)) << c.name;
        EXPECT_EQ(records.size(), c.goodRecords) << c.name;
    }
}

}  // namespace
