// The reference cache "refs.bin": exact bytes, round trips through the
// session, damaged files and failed writes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "BIGfile/BIG_Endian.h"
#include "platform/FaultInjection.h"
#include "plugin/OVI_RefsFile.h"
#include "tests/plugin/test_ovibig_support.h"

namespace {

using namespace ovibig_test;
using ORVEX::OVI_RefsFileReader;
using ORVEX::OVI_RefsFileWriter;

FileRefRecord Record(uint32_t index, uint32_t key, uint32_t size, uint32_t type, const std::string& name,
                     uint32_t refCount) {
    FileRefRecord r;
    r.ul_Index = index;
    r.ul_Key = key;
    r.ul_Size = size;
    r.ul_Type = type;
    r.s_Name = name;
    r.ul_RefCount = refCount;
    r.ul_UseCount = 77;  // not stored
    return r;
}

TEST(OviBigRefsCodec, ARecordIsWrittenFieldByFieldInItsOwnOrder) {
    const uint32_t keys[] = {0x11223344, 0xAABBCCDD};
    std::vector<uint8_t> out;
    ASSERT_TRUE(ORVEX::OVI_bEncodeRefsRecord(Record(5, 0x01020304, 0x40, 4, "Town.wor", 2), keys, &out));
    const std::vector<uint8_t> expected = {
        5,    0,    0,    0,                             // index
        0x04, 0x03, 0x02, 0x01,                          // key
        0x40, 0,    0,    0,                             // size
        4,    0,    0,    0,                             // type
        8,    0,    0,    0,                             // name length
        'T',  'o',  'w',  'n',  '.',  'w',  'o',  'r',   // name, no terminator
        2,    0,    0,    0,                             // reference count
        0x44, 0x33, 0x22, 0x11, 0xDD, 0xCC, 0xBB, 0xAA,  // keys
    };
    EXPECT_EQ(out, expected);

    std::vector<uint8_t> none;
    EXPECT_FALSE(ORVEX::OVI_bEncodeRefsRecord(Record(0, 1, 0, 0, std::string(1024, 'n'), 0), keys, &none));
    EXPECT_TRUE(none.empty());
}

// A cache file: the count, then the given records.
struct CacheBytes {
    std::vector<uint8_t> bytes;
    explicit CacheBytes(uint32_t count) { BIG::Endian::ByteAppender(&bytes).U32(count); }
    CacheBytes& Add(const FileRefRecord& r, const std::vector<uint32_t>& keys) {
        EXPECT_TRUE(ORVEX::OVI_bEncodeRefsRecord(r, keys.data(), &bytes));
        return *this;
    }
    CacheBytes& Raw(const std::vector<uint32_t>& words) {
        for (uint32_t w : words)
            BIG::Endian::ByteAppender(&bytes).U32(w);
        return *this;
    }
};

TEST(OviBigRefsFile, RoundTripWithFewerRecordsThanTheCountStopsAtTheEnd) {
    TempFolder dir;
    // A long folder name: paths are never cut.
    const std::string deep = (dir.Path() / std::string(200, 'd') / std::string(200, 'e')).string();
    fs::create_directories(deep);
    const std::string path = deep + "/refs.bin";

    OVI_RefsFileWriter writer;
    ASSERT_TRUE(writer.bCreate(path, 10));
    const uint32_t keysA[] = {0xB0, 0xB0, 0x12345678};
    ASSERT_TRUE(writer.bAppend(Record(0, 0xA0, 16, 4, "A.wor", 3), keysA));
    ASSERT_TRUE(writer.bAppend(Record(3, 0xB0, 4, 3, "B.dup", 0), nullptr));
    EXPECT_FALSE(fs::exists(path)) << "the cache appears only once it is whole";
    ASSERT_TRUE(writer.bCommit());
    EXPECT_TRUE(fs::exists(path));
    EXPECT_FALSE(fs::exists(path + ".tmp"));

    InspectTool tool;
    tool.held_ = std::set<uint32_t>{0xA0, 0xB0};
    testing::internal::CaptureStdout();
    tool._ReadRefsFile(path);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.find("error"), std::string::npos) << out;

    ASSERT_EQ(tool.seen_.size(), 2u);
    const FileRefRecord& a = tool.seen_[0].record;
    EXPECT_EQ(a.ul_Index, 0u);
    EXPECT_EQ(a.ul_Key, 0xA0u);
    EXPECT_EQ(a.ul_Size, 16u);
    EXPECT_EQ(a.ul_Type, 4u);
    EXPECT_EQ(a.s_Name, "A.wor");
    EXPECT_EQ(a.ul_UseCount, 0u);
    EXPECT_EQ(tool.seen_[0].keys, (std::vector<uint32_t>{0xB0, 0xB0, 0x12345678}));
    EXPECT_FALSE(tool.seen_[0].payload) << "a cached record has no payload";
    EXPECT_EQ(tool.seen_[1].record.s_Name, "B.dup");
    EXPECT_EQ(tool.Edges(0xA0, 0xB0), 2u);
    EXPECT_EQ(tool.missing_.size(), 1u);
    EXPECT_EQ(tool.mmap_Records.size(), 2u);
}

TEST(OviBigRefsFile, ADamagedRecordEndsTheReadingAndKeepsWhatCameBefore) {
    const FileRefRecord good = Record(0, 0xA0, 8, 4, "A.wor", 1);
    struct Case {
        const char* what;
        CacheBytes bytes;
        const char* message;
    };
    std::vector<Case> cases;
    {
        // Second record: a name of 1024 bytes, all present in the file.
        CacheBytes b(3);
        b.Add(good, {0xB0}).Raw({1, 0xB0, 4, 3, 1024});
        b.bytes.insert(b.bytes.end(), 1024, 'x');
        b.Raw({0});
        cases.push_back({"long name", b, "name of 1024 bytes"});
    }
    {
        // Second record: 1000 keys claimed, two present.
        CacheBytes b(3);
        b.Add(good, {0xB0}).Raw({1, 0xB0, 4, 3, 1});
        b.bytes.push_back('B');
        b.Raw({1000, 0xA0, 0xA0});
        cases.push_back({"too many keys", b, "claims 1000 references"});
    }
    {
        CacheBytes b(3);
        b.Add(good, {0xB0}).Raw({1, 0xB0});
        cases.push_back({"cut record", b, "ends inside the record"});
    }
    TempFolder dir;
    for (const Case& c : cases) {
        const std::string path = dir.File("refs.bin");
        WriteAll(path, c.bytes.bytes);
        InspectTool tool;
        tool.held_ = std::set<uint32_t>{0xA0, 0xB0};
        testing::internal::CaptureStdout();
        tool._ReadRefsFile(path);
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(CountOf(out, "[   error]"), 1u) << c.what << out;
        EXPECT_NE(out.find(c.message), std::string::npos) << c.what << out;
        EXPECT_NE(out.find("record 1"), std::string::npos) << c.what << out;
        ASSERT_EQ(tool.seen_.size(), 1u) << c.what;
        EXPECT_EQ(tool.mmap_Records.size(), 1u) << c.what;
        EXPECT_EQ(tool.Edges(0xA0, 0xB0), 1u) << c.what;
    }
}

TEST(OviBigRefsFile, AFileThatCannotBeOpenedOrHoldsNoCountMapsNothingAndSaysSo) {
    TempFolder dir;
    WriteAll(dir.File("short.bin"), {1, 0});
    for (const std::string& path : {dir.File("absent.bin"), dir.File("short.bin")}) {
        InspectTool tool;
        testing::internal::CaptureStdout();
        tool._ReadRefsFile(path);
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(CountOf(out, "[   error]"), 1u) << out;
        EXPECT_TRUE(tool.mmap_Records.empty());
        EXPECT_TRUE(tool.seen_.empty());
    }
}

TEST(OviBigRefsFile, AFailedWriteKeepsThePreviousCacheAndLeavesNoTemporaryFile) {
    TempFolder dir;
    const std::string path = dir.File("refs.bin");
    WriteAll(path, {9, 9, 9, 9});
    const PLT::FaultOp ops[] = {PLT::FaultOp::eWrite, PLT::FaultOp::eFlush, PLT::FaultOp::eRename};
    for (PLT::FaultOp op : ops) {
        OVI_RefsFileWriter writer;
        ASSERT_TRUE(writer.bCreate(path, 1));
        writer.bAppend(Record(0, 0xA0, 4, 4, "A.wor", 0), nullptr);
        PLT::InjectFault(op, 1);
        EXPECT_FALSE(writer.bCommit());
        PLT::ClearFaults();
        EXPECT_FALSE(writer.Error().empty());
        EXPECT_EQ(ReadAll(path), (Bytes{9, 9, 9, 9}));
        EXPECT_FALSE(fs::exists(path + ".tmp"));
    }
    {
        // Abandoned without commit: nothing changes either.
        OVI_RefsFileWriter writer;
        ASSERT_TRUE(writer.bCreate(path, 1));
    }
    EXPECT_EQ(ReadAll(path), (Bytes{9, 9, 9, 9}));
    EXPECT_FALSE(fs::exists(path + ".tmp"));
}

}  // namespace
