// The reference cache "refs.bin": exact bytes, round trips through the
// session, damaged files and failed writes.
#include <gtest/gtest.h>

#include <set>
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

// Records of every shape, some larger than the reader's chunk, so that
// names, counts and key lists straddle chunk ends and a skip leaps past them.
std::vector<std::pair<FileRefRecord, std::vector<uint32_t>>> VariedRecords() {
    std::vector<std::pair<FileRefRecord, std::vector<uint32_t>>> records;
    for (uint32_t i = 0; i < 300; ++i) {
        const uint32_t refCount = i % 50 == 7 ? 20000 + i : i % 5;
        std::vector<uint32_t> keys(refCount);
        for (uint32_t k = 0; k < refCount; ++k)
            keys[k] = 0x01000000u + i * 7 + k;
        const std::string name = std::string(i % 40, 'a' + static_cast<char>(i % 26)) + ".gao";
        records.emplace_back(Record(i, 0x00100000u + i * 13, i * 3, i % 7, name, refCount), std::move(keys));
    }
    return records;
}

TEST(OviBigRefsReader, SkippingAndReadingGiveTheSameRecordsAcrossChunkEnds) {
    TempFolder dir;
    const std::string path = dir.File("refs.bin");
    const auto records = VariedRecords();
    CacheBytes bytes(static_cast<uint32_t>(records.size()));
    for (const auto& [record, keys] : records)
        bytes.Add(record, keys);
    ASSERT_GT(bytes.bytes.size(), size_t{256} << 10) << "the file spans several chunks";
    WriteAll(path, bytes.bytes);

    // Every record read, every record skipped, and the two alternating.
    for (int pattern = 0; pattern < 4; ++pattern) {
        SCOPED_TRACE(pattern);
        OVI_RefsFileReader reader;
        ASSERT_TRUE(reader.bOpen(path));
        EXPECT_EQ(reader.ul_Count(), records.size());
        ORVEX::OVI_RefBuffer keys;
        for (size_t n = 0; n < records.size(); ++n) {
            const bool skip = pattern == 1 || (pattern == 2 && n % 2 == 0) || (pattern == 3 && n % 3 != 0);
            FileRefRecord got;
            const auto next = skip ? reader.eSkip(&got) : reader.eNext(&got, &keys);
            ASSERT_EQ(next, OVI_RefsFileReader::Next::eRecord) << n << ": " << reader.Error();
            const FileRefRecord& want = records[n].first;
            EXPECT_EQ(got.ul_Index, want.ul_Index);
            EXPECT_EQ(got.ul_Key, want.ul_Key);
            EXPECT_EQ(got.ul_Size, want.ul_Size);
            EXPECT_EQ(got.ul_Type, want.ul_Type);
            EXPECT_EQ(got.ul_RefCount, want.ul_RefCount);
            EXPECT_EQ(got.ul_UseCount, 0u);
            EXPECT_EQ(got.s_Name, skip ? std::string() : want.s_Name);
            if (!skip) {
                EXPECT_EQ(std::vector<uint32_t>(keys.pul_Data(), keys.pul_Data() + got.ul_RefCount),
                          records[n].second)
                    << n;
            }
        }
        FileRefRecord end;
        EXPECT_EQ(reader.eSkip(&end), OVI_RefsFileReader::Next::eEnd);
        EXPECT_EQ(reader.eNext(&end, &keys), OVI_RefsFileReader::Next::eEnd);
    }
}

TEST(OviBigRefsReader, SkippingRefusesWhatReadingRefusesWithTheSameMessage) {
    const FileRefRecord good = Record(0, 0xA0, 8, 4, "A.wor", 1);
    struct Case {
        const char* what;
        CacheBytes bytes;
        const char* message;
    };
    std::vector<Case> cases;
    {
        CacheBytes b(2);
        b.Add(good, {0xB0}).Raw({1, 0xB0, 4, 3, 1024});
        b.bytes.insert(b.bytes.end(), 1024, 'x');
        b.Raw({0});
        cases.push_back(
            {"long name", b, "record 1: key 0x000000B0 has a name of 1024 bytes, more than 1023"});
    }
    {
        CacheBytes b(2);
        b.Add(good, {0xB0}).Raw({1, 0xB0, 4, 3, 8});
        b.bytes.push_back('B');
        cases.push_back({"cut name", b, "record 1: the file ends inside the record of key 0x000000B0"});
    }
    {
        CacheBytes b(2);
        b.Add(good, {0xB0}).Raw({1, 0xB0, 4, 3, 1});
        b.bytes.push_back('B');
        b.Raw({1000, 0xA0, 0xA0});
        cases.push_back({"too many keys", b,
                         "record 1: key 0x000000B0 claims 1000 references, more than the 8 bytes left hold"});
    }
    {
        CacheBytes b(2);
        b.Add(good, {0xB0}).Raw({1, 0xB0});
        cases.push_back({"cut head", b, "record 1: the file ends inside the record"});
    }
    TempFolder dir;
    const std::string path = dir.File("refs.bin");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        WriteAll(path, c.bytes.bytes);
        std::vector<std::string> errors;
        for (const bool skip : {false, true}) {
            OVI_RefsFileReader reader;
            ASSERT_TRUE(reader.bOpen(path));
            ORVEX::OVI_RefBuffer keys;
            FileRefRecord record;
            auto next = [&] { return skip ? reader.eSkip(&record) : reader.eNext(&record, &keys); };
            ASSERT_EQ(next(), OVI_RefsFileReader::Next::eRecord);
            EXPECT_EQ(next(), OVI_RefsFileReader::Next::eError);
            errors.push_back(reader.Error());
        }
        EXPECT_EQ(errors[0], c.message);
        EXPECT_EQ(errors[1], c.message);
    }
}

// A small bigfile of 10 entries (A.wor at 0, B.dup at 1) opened by a tool:
// the bigfile a cache is checked against.
class CacheAgainstBigfile : public testing::Test {
protected:
    static constexpr uint32_t kEntries = 10;
    void SetUp() override {
        ASSERT_TRUE(MakeBigfile(
            dir_.File("game.bf"),
            {{"A.wor", 0xA0, Content({0xB0, 0xB0, 0x12345678})}, {"B.dup", 0xB0, Content({})}}, kEntries));
        // The block's path field is short: the bigfile is named from its folder.
        old_ = fs::current_path();
        fs::current_path(dir_.Path());
        TestParams params;
        ASSERT_TRUE(ORVEX::OVI_bSetText(params.msz_BigfilePath, "game.bf"));
        testing::internal::CaptureStdout();
        const int32_t status = tool_.eInit(&params);
        testing::internal::GetCapturedStdout();
        ASSERT_EQ(status, OVC_Status_Success);
        ASSERT_EQ(tool_.mpo_Fat->ul_GetFileCount(), kEntries);
    }
    void TearDown() override {
        tool_.eDeinit();
        fs::current_path(old_);
    }
    std::string Read(const std::string& path) {
        testing::internal::CaptureStdout();
        tool_._ReadRefsFile(path);
        return testing::internal::GetCapturedStdout();
    }
    // Reads the cache with the nth read failing, for every n until none
    // fails; says whether a failure hit the check, the mapping.
    void ReadWithFaults(const std::string& path, bool* checkFailed, bool* mapFailed);

    TempFolder dir_;
    fs::path old_;
    InspectTool tool_;
};

TEST_F(CacheAgainstBigfile, ACacheOfThisBigfileIsReadAndAMovedIndexIsRepaired) {
    // A long folder name: paths are never cut.
    const std::string deep = (dir_.Path() / std::string(200, 'd') / std::string(200, 'e')).string();
    fs::create_directories(deep);
    const std::string path = deep + "/refs.bin";

    OVI_RefsFileWriter writer;
    ASSERT_TRUE(writer.bCreate(path, kEntries));
    const uint32_t keysA[] = {0xB0, 0xB0, 0x12345678};
    ASSERT_TRUE(writer.bAppend(Record(0, 0xA0, 16, 4, "A.wor", 3), keysA));
    // B.dup is at index 1 in the table: the cache's 3 is stale.
    ASSERT_TRUE(writer.bAppend(Record(3, 0xB0, 4, 3, "B.dup", 0), nullptr));
    EXPECT_FALSE(fs::exists(path)) << "the cache appears only once it is whole";
    ASSERT_TRUE(writer.bCommit());
    EXPECT_TRUE(fs::exists(path));
    EXPECT_FALSE(fs::exists(path + ".tmp"));

    const std::string out = Read(path);
    EXPECT_EQ(out.find("error"), std::string::npos) << out;
    EXPECT_EQ(out.find("scanned instead"), std::string::npos) << out;
    EXPECT_EQ(tool_.l_Status(), OVC_Status_Success);

    ASSERT_EQ(tool_.seen_.size(), 2u);
    const FileRefRecord& a = tool_.seen_[0].record;
    EXPECT_EQ(a.ul_Index, 0u);
    EXPECT_EQ(a.ul_Key, 0xA0u);
    EXPECT_EQ(a.ul_Size, 16u);
    EXPECT_EQ(a.ul_Type, 4u);
    EXPECT_EQ(a.s_Name, "A.wor");
    EXPECT_EQ(a.ul_UseCount, 0u);
    EXPECT_EQ(tool_.seen_[0].keys, (std::vector<uint32_t>{0xB0, 0xB0, 0x12345678}));
    EXPECT_FALSE(tool_.seen_[0].payload) << "a cached record has no payload";
    EXPECT_EQ(tool_.seen_[1].record.s_Name, "B.dup");
    EXPECT_EQ(tool_.seen_[1].record.ul_Index, 1u) << "the index is repaired before the hooks see it";
    EXPECT_EQ(tool_.mmap_Records.at(0xB0).ul_Index, 1u);
    EXPECT_EQ(tool_.Edges(0xA0, 0xB0), 2u);
    EXPECT_EQ(tool_.missing_.size(), 1u);
    EXPECT_EQ(tool_.mmap_Records.size(), 2u);
}

// What a cache that cannot be trusted gives: nothing of it is mapped, the
// bigfile is scanned instead; a damaged or unreadable cache fails the run, a
// cache of another bigfile (or an older state of this one) is only warned about.
TEST_F(CacheAgainstBigfile, ACacheThatCannotBeTrustedIsNotUsedAndTheBigfileIsScanned) {
    const FileRefRecord good = Record(0, 0xA0, 8, 4, "A.wor", 1);
    struct Case {
        const char* what;
        CacheBytes bytes;
        const char* message;
        int32_t status;
    };
    std::vector<Case> cases;
    {
        // Second record: a name of 1024 bytes, all present in the file.
        CacheBytes b(kEntries);
        b.Add(good, {0xB0}).Raw({1, 0xB0, 4, 3, 1024});
        b.bytes.insert(b.bytes.end(), 1024, 'x');
        b.Raw({0});
        cases.push_back(
            {"long name", b, "record 1: key 0x000000B0 has a name of 1024 bytes", OVC_Status_Failure});
    }
    {
        // Second record: 1000 keys claimed, two present.
        CacheBytes b(kEntries);
        b.Add(good, {0xB0}).Raw({1, 0xB0, 4, 3, 1});
        b.bytes.push_back('B');
        b.Raw({1000, 0xA0, 0xA0});
        cases.push_back(
            {"too many keys", b, "record 1: key 0x000000B0 claims 1000 references", OVC_Status_Failure});
    }
    {
        CacheBytes b(kEntries);
        b.Add(good, {0xB0}).Raw({1, 0xB0});
        cases.push_back({"cut record", b, "record 1: the file ends inside the record", OVC_Status_Failure});
    }
    {
        CacheBytes b(0);
        b.bytes.resize(2);
        cases.push_back({"no count", b, "shorter than its 4-byte header", OVC_Status_Failure});
    }
    {
        CacheBytes b(3);
        b.Add(good, {0xB0});
        cases.push_back(
            {"another file count", b, "made for 3 file entries, the bigfile has 10", OVC_Status_Success});
    }
    {
        CacheBytes b(kEntries);
        b.Add(good, {0xB0}).Add(Record(1, 0xC0, 4, 3, "C.dup", 0), {});
        cases.push_back(
            {"a key the bigfile lacks", b, "its key 0x000000C0 is not in the bigfile", OVC_Status_Success});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string path = dir_.File("refs.bin");
        WriteAll(path, c.bytes.bytes);
        tool_.seen_.clear();
        tool_.mmap_Records.clear();
        tool_.mmap_Edges.clear();
        tool_.ml_Status = OVC_Status_Success;
        const std::string out = Read(path);
        const char* level = c.status == OVC_Status_Success ? "[ warning]" : "[   error]";
        EXPECT_EQ(CountOf(out, level), 1u) << out;
        EXPECT_NE(out.find(c.message), std::string::npos) << out;
        EXPECT_NE(out.find(path), std::string::npos) << out;
        EXPECT_NE(out.find("the bigfile is scanned instead"), std::string::npos) << out;
        EXPECT_EQ(tool_.l_Status(), c.status);
        // What was mapped is the scan's: both files, from the bigfile itself.
        ASSERT_EQ(tool_.seen_.size(), 2u);
        EXPECT_EQ(tool_.mmap_Records.count(0xC0), 0u);
        EXPECT_EQ(tool_.mmap_Records.at(0xB0).ul_Index, 1u);
        EXPECT_EQ(tool_.Edges(0xA0, 0xB0), 2u);
    }
    // A cache that cannot be opened names the OS's reason.
    tool_.seen_.clear();
    const std::string out = Read(dir_.File("absent.bin"));
    EXPECT_NE(out.find("cannot open '" + dir_.File("absent.bin") + "': No such file or directory"),
              std::string::npos)
        << out;
    EXPECT_EQ(tool_.l_Status(), OVC_Status_Failure);
    EXPECT_EQ(tool_.seen_.size(), 2u);
}

TEST_F(CacheAgainstBigfile, ARepeatedKeyKeepsItsLastRecordAndEachHookSeesItsOwn) {
    const std::string path = dir_.File("refs.bin");
    CacheBytes b(kEntries);
    b.Add(Record(0, 0xA0, 16, 4, "A.wor", 1), {0xB0});
    b.Add(Record(1, 0xB0, 4, 3, "B.dup", 0), {});
    b.Add(Record(0, 0xA0, 24, 4, "A2.wor", 2), {0xB0, 0xB0});
    WriteAll(path, b.bytes);
    const std::string out = Read(path);
    EXPECT_EQ(out.find("error"), std::string::npos) << out;
    ASSERT_EQ(tool_.seen_.size(), 3u);
    EXPECT_EQ(tool_.seen_[0].record.ul_Size, 16u);
    EXPECT_EQ(tool_.seen_[0].record.s_Name, "A.wor");
    EXPECT_EQ(tool_.seen_[2].record.ul_Size, 24u);
    EXPECT_EQ(tool_.seen_[2].keys, (std::vector<uint32_t>{0xB0, 0xB0}));
    ASSERT_EQ(tool_.mmap_Records.size(), 2u);
    EXPECT_EQ(tool_.mmap_Records.at(0xA0).s_Name, "A2.wor");
    EXPECT_EQ(tool_.mmap_Records.at(0xA0).ul_Size, 24u);
    // The edges of both records, as the scan of a table with the key twice would map them.
    EXPECT_EQ(tool_.Edges(0xA0, 0xB0), 3u);
}

// A cache of three records over several chunks: A.wor with many keys, B.dup,
// then A.wor again with many keys.
Bytes LargeCache(uint32_t entries) {
    std::vector<uint32_t> many(20000, 0xB0);
    CacheBytes b(entries);
    b.Add(Record(0, 0xA0, 16, 4, "A.wor", static_cast<uint32_t>(many.size())), many);
    b.Add(Record(1, 0xB0, 4, 3, "B.dup", 0), {});
    many.resize(17000);
    b.Add(Record(0, 0xA0, 16, 4, "A.wor", static_cast<uint32_t>(many.size())), many);
    return b.bytes;
}

// Whichever read fails: a failed check scans instead; a failure while mapping
// fails the run and keeps the records mapped so far and no other, so that no
// record the hooks never saw takes part in the closures. A cache read whole
// is read before the check: only the check can fail.
TEST_F(CacheAgainstBigfile, AReadThatFailsLeavesOnlyRecordsTheHooksSaw) {
    const std::string path = dir_.File("refs.bin");
    WriteAll(path, LargeCache(kEntries));
    // The reference manager's own reads would take the faults meant for the cache's.
    testing::internal::CaptureStdout();
    tool_._FinishIndexing();
    testing::internal::GetCapturedStdout();
    for (const bool whole : {false, true}) {
        SCOPED_TRACE(whole ? "read whole" : "read in chunks");
        tool_.mull_RefsReadWholeMax = whole ? ORVEX::OVI_RefsFileFormat::kWholeFileMax : 0;
        bool checkFailed = false;
        bool mapFailed = false;
        ReadWithFaults(path, &checkFailed, &mapFailed);
        EXPECT_TRUE(checkFailed);
        EXPECT_EQ(mapFailed, !whole);
    }
}

void CacheAgainstBigfile::ReadWithFaults(const std::string& path, bool* checkFailed, bool* mapFailed) {
    for (uint64_t nth = 1;; ++nth) {
        SCOPED_TRACE(nth);
        tool_.seen_.clear();
        tool_.mmap_Records.clear();
        tool_.mmap_Edges.clear();
        tool_.ml_Status = OVC_Status_Success;
        PLT::InjectFault(PLT::FaultOp::eRead, nth);
        const std::string out = Read(path);
        const bool fired = PLT::InjectedFailures(PLT::FaultOp::eRead) != 0;
        PLT::ClearFaults();
        if (!fired) {
            EXPECT_EQ(out.find("error"), std::string::npos) << out;
            EXPECT_EQ(tool_.seen_.size(), 3u);
            EXPECT_EQ(tool_.mmap_Records.size(), 2u);
            EXPECT_EQ(tool_.l_Status(), OVC_Status_Success);
            break;
        }
        EXPECT_EQ(tool_.l_Status(), OVC_Status_Failure) << out;
        if (out.find("the bigfile is scanned instead") != std::string::npos) {
            *checkFailed = true;
            EXPECT_EQ(tool_.seen_.size(), 2u) << "the scan's records";
            continue;
        }
        *mapFailed = true;
        EXPECT_EQ(CountOf(out, "[   error]"), 1u) << out;
        std::set<uint32_t> seenKeys;
        for (const auto& seen : tool_.seen_)
            seenKeys.insert(seen.record.ul_Key);
        EXPECT_EQ(tool_.mmap_Records.size(), seenKeys.size()) << out;
        for (const auto& [key, record] : tool_.mmap_Records)
            EXPECT_EQ(seenKeys.count(key), 1u) << std::hex << key;
        ASSERT_LT(nth, 100u);
    }
}

// A tool that rewrites the cache once, from its first hook: the cache then
// changes between its check and the rest of its mapping.
class RewritingTool : public InspectTool {
public:
    bool OnFileRefs(const FileRefRecord& record, const uint8_t* payload, uint32_t size) override {
        if (!rewrite_.empty()) {
            WriteAll(path_, rewrite_);
            rewrite_.clear();
        }
        return InspectTool::OnFileRefs(record, payload, size);
    }
    std::string path_;
    Bytes rewrite_;
};

void MapACacheThatChanges(bool whole) {
    TempFolder dir;
    constexpr uint32_t kEntries = 10;
    ASSERT_TRUE(MakeBigfile(dir.File("game.bf"),
                            {{"A.wor", 0xA0, Content({0xB0})}, {"B.dup", 0xB0, Content({})}}, kEntries));
    const fs::path old = fs::current_path();
    fs::current_path(dir.Path());
    RewritingTool tool;
    TestParams params;
    ASSERT_TRUE(ORVEX::OVI_bSetText(params.msz_BigfilePath, "game.bf"));
    testing::internal::CaptureStdout();
    ASSERT_EQ(tool.eInit(&params), OVC_Status_Success);
    testing::internal::GetCapturedStdout();

    // A.wor, A.wor again with more keys than any chunk holds, then B.dup,
    // whose place the rewrite gives to another record of A.wor: when the
    // first hook runs, the reader has not reached it.
    const std::string path = dir.File("refs.bin");
    CacheBytes b(kEntries);
    b.Add(Record(0, 0xA0, 16, 4, "A.wor", 1), {0xB0});
    const std::vector<uint32_t> many(300000, 0xB0);
    b.Add(Record(0, 0xA0, 16, 4, "A.wor", static_cast<uint32_t>(many.size())), many);
    const size_t bAt = b.bytes.size();
    b.Add(Record(1, 0xB0, 4, 3, "B.dup", 0), {});
    const Bytes first = b.bytes;
    Bytes second = first;
    BIG::Endian::Put32(second.data() + bAt + 4, 0xA0);
    WriteAll(path, first);
    tool.path_ = path;
    tool.rewrite_ = second;
    tool.mull_RefsReadWholeMax = whole ? ORVEX::OVI_RefsFileFormat::kWholeFileMax : 0;
    testing::internal::CaptureStdout();
    tool._ReadRefsFile(path);
    const std::string out = testing::internal::GetCapturedStdout();
    tool.eDeinit();
    fs::current_path(old);

    if (whole) {
        EXPECT_EQ(out.find("error"), std::string::npos) << out;
        EXPECT_EQ(tool.l_Status(), OVC_Status_Success);
        EXPECT_EQ(tool.seen_.size(), 3u);
        EXPECT_EQ(tool.mmap_Records.size(), 2u);
        EXPECT_EQ(tool.mmap_Records.at(0xB0).s_Name, "B.dup");
        return;
    }
    EXPECT_NE(out.find("Reference cache '" + path +
                       "' changed while it was read: record 2 is not the one checked; 2 records were mapped"),
              std::string::npos)
        << out;
    EXPECT_EQ(tool.l_Status(), OVC_Status_Failure);
    ASSERT_EQ(tool.seen_.size(), 2u);
    EXPECT_EQ(tool.mmap_Records.size(), 1u) << "B.dup was checked but never mapped";
    EXPECT_EQ(tool.mmap_Records.count(0xA0), 1u);
}

// Read in chunks, a cache can change between its check and its mapping: the
// run fails and keeps what was mapped. Read whole, it is mapped as it was
// checked, whatever happens to the file after.
TEST(OviBigRefsFile, ACacheThatChangesWhileItIsMappedIsMappedAsCheckedOrFailsTheRun) {
    for (const bool whole : {false, true}) {
        SCOPED_TRACE(whole ? "read whole" : "read in chunks");
        MapACacheThatChanges(whole);
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
