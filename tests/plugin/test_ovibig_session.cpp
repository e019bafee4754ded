// The inspection session on real bigfiles built with the table's writer:
// engine start and version check, the full scan, "refs.bin" and the
// duplicated-files table.
#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "BIGfile/BIG_DuplicatedFilesManager.h"
#include "BIGfile/BIG_Fat.h"
#include "BIGfile/BIG_Init.h"
#include "ERRor/ERR_Assert.h"
#include "platform/Signals.h"
#include "plugin/OVI_RefsFile.h"
#include "tests/plugin/test_ovibig_support.h"

namespace {

using namespace ovibig_test;
using ORVEX::OVI_Big;

// Runs the current directory elsewhere for the duration (refs.bin lands there).
class WorkDir {
public:
    explicit WorkDir(const fs::path& dir) : m_old(fs::current_path()) { fs::current_path(dir); }
    ~WorkDir() { fs::current_path(m_old); }

private:
    fs::path m_old;
};

class OviBigSession : public testing::Test {
protected:
    void SetUp() override {
        ERR_SetInteractive(false);
        work_ = std::make_unique<WorkDir>(dir_.Path());
    }
    void TearDown() override {
        work_.reset();
        ASSERT_FALSE(BIG_bIsLibraryStarted()) << "a test left the engine running";
    }

    // eInit on `path`, with the output it wrote.
    // The block's path field holds 63 characters: bigfiles of the test folder
    // are named relative to it (the current directory).
    int32_t Init(InspectTool& tool, const std::string& path, std::string* out = nullptr) {
        TestParams params;
        const fs::path full(path);
        const std::string name = full.parent_path() == dir_.Path() ? full.filename().string() : path;
        EXPECT_TRUE(ORVEX::OVI_bSetText(params.msz_BigfilePath, name)) << name;
        params.mb_WriteRefsCache = writeCache_;
        params.mb_ReportMissing = report_;
        testing::internal::CaptureStdout();
        const int32_t status = tool.eInit(&params);
        const std::string text = testing::internal::GetCapturedStdout();
        if (out != nullptr)
            *out = text;
        return status;
    }

    TempFolder dir_;
    std::unique_ptr<WorkDir> work_;
    bool writeCache_ = false;
    bool report_ = false;
};

TEST_F(OviBigSession, VersionLinesCompareTheBigfileFormatWithTheLibrary) {
    struct Case {
        uint16_t format;
        const char* info;
        const char* error;  // null: no error line
    };
    const Case cases[] = {
        {135, "[    info][version         ][Orvex Big: 135 Lib Big: 135]", nullptr},
        {134, "[    info][version         ][Orvex Big: 134 Lib Big: 135]",
         "[   error][version         ][WARNING: Version Mismatch Orvex Big: 134 Lib Big: 135]"},
    };
    for (const Case& c : cases) {
        const std::string path = dir_.File("v" + std::to_string(c.format) + ".bf");
        ASSERT_TRUE(MakeBigfile(path, {{"A.wor", 0xA0, Content({})}}));
        uint8_t raw[2] = {static_cast<uint8_t>(c.format), static_cast<uint8_t>(c.format >> 8)};
        Patch(path, 0, raw, 2);

        InspectTool tool;
        std::string out;
        EXPECT_EQ(Init(tool, path, &out), OVC_Status_Success) << out;
        EXPECT_EQ(CountOf(out, c.info), 1u) << out;
        EXPECT_EQ(CountOf(out, "[   error]"), c.error ? 1u : 0u) << out;
        if (c.error != nullptr) {
            EXPECT_EQ(CountOf(out, c.error), 1u) << out;
        }
        EXPECT_TRUE(BIG_bIsLibraryStarted());
        EXPECT_EQ(tool.eDeinit(), OVC_Status_Success);
        EXPECT_FALSE(BIG_bIsLibraryStarted());
    }
}

TEST_F(OviBigSession, AVersionWhoseFirstByteIsNot1StartsNothing) {
    const uint32_t usersBefore = OVI_Big::ul_RuntimeUsers();
    InspectTool tool;
    TestParams params;
    params.version = {2, 1, 1, 1};
    testing::internal::CaptureStdout();
    EXPECT_EQ(tool.eInit(&params), OVC_Status_WrongVersion);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_FALSE(BIG_bIsLibraryStarted());
    EXPECT_EQ(OVI_Big::ul_RuntimeUsers(), usersBefore);
    EXPECT_EQ(tool.eDeinit(), OVC_Status_WrongVersion);
}

TEST_F(OviBigSession, TheEngineStartsInOrderAndStopsWhatItStartedWhateverFailed) {
    const uint32_t usersBefore = OVI_Big::ul_RuntimeUsers();
    std::string good = dir_.File("good.bf");
    ASSERT_TRUE(MakeBigfile(good, {{"A.wor", 0xA0, Content({})}}));
    struct Case {
        std::string path;
        int32_t status;
        const char* line;
    };
    const Case cases[] = {
        {dir_.File("absent.bf"), OVC_Status_Failure, "Cannot open bigfile"},
        {good, OVC_Status_Success, "Orvex Big: 135"},
    };
    for (const Case& c : cases) {
        InspectTool tool;
        std::string out;
        EXPECT_EQ(Init(tool, c.path, &out), c.status) << out;
        EXPECT_NE(out.find(c.line), std::string::npos) << out;
        EXPECT_TRUE(BIG_bIsLibraryStarted());
        EXPECT_EQ(OVI_Big::ul_RuntimeUsers(), usersBefore + 1);
        EXPECT_EQ(tool.eDeinit(), c.status);
        EXPECT_FALSE(BIG_bIsLibraryStarted());
        EXPECT_EQ(OVI_Big::ul_RuntimeUsers(), usersBefore);
    }
    // A library someone else started is left alone, and refused.
    ASSERT_TRUE(BIG_InitLibrary());
    {
        InspectTool tool;
        std::string out;
        EXPECT_EQ(Init(tool, good, &out), OVC_Status_Failure);
        EXPECT_NE(out.find("already started"), std::string::npos) << out;
        tool.eDeinit();
        EXPECT_TRUE(BIG_bIsLibraryStarted());
    }
    BIG_CloseLibrary();
}

// Indexes of the files, as the writer placed them.
uint32_t IndexOf(const std::string& path, uint32_t key) {
    BIG_cl_Fat fat;
    if (fat.File().eOpen(path, true, true, false) != BIG::eFile_Ok || !fat.ReadFat(true))
        return BIG_cl_Fat::kNoFile;
    const uint32_t index = fat.ul_GetFileIndex(key, false);
    fat.File().eClose();
    return index;
}

TEST_F(OviBigSession, TheScanMapsEveryFileButSkippedTypesAndWritesTheCacheItReadsBack) {
    constexpr uint32_t kWorld = 0x100, kList = 0x200, kCcm = 0x300, kArd = 0x400, kEmpty = 0x500;
    const std::string path = dir_.File("scan.bf");
    ASSERT_TRUE(
        MakeBigfile(path, {
                              {"Town.wor", kWorld, Content({kList, kList, 0, 0xFFFFFFFF, 0x12345678})},
                              {"Skip.ccm", kCcm, Content({kWorld})},
                              {"Skip.ard", kArd, Content({kWorld})},
                              {"Sounds.dbl", kList, Content({}, "")},
                              {"Nothing.txt", kEmpty, ""},
                          }));
    writeCache_ = true;
    report_ = true;
    InspectTool tool;
    ASSERT_EQ(Init(tool, path), OVC_Status_Success);
    const uint32_t entries = tool.mpo_Fat->ul_GetFileCount();
    testing::internal::CaptureStdout();
    tool._ScanFiles(entries);
    const std::string out = testing::internal::GetCapturedStdout();
    // Nothing.txt has no data: -1, though free entries follow it.
    EXPECT_EQ(tool.l_Status(), OVC_Status_NoData);

    ASSERT_EQ(tool.mmap_Records.size(), 2u);
    const FileRefRecord& world = tool.mmap_Records.at(kWorld);
    EXPECT_EQ(world.s_Name, "Town.wor");
    EXPECT_EQ(world.ul_Type, 4u);
    EXPECT_EQ(world.ul_RefCount, 5u);
    EXPECT_EQ(world.ul_Size, Content({kList, kList, 0, 0xFFFFFFFF, 0x12345678}).size());
    EXPECT_EQ(world.ul_Index, IndexOf(path, kWorld));
    EXPECT_EQ(tool.mmap_Records.at(kList).ul_Size, 4u);
    EXPECT_EQ(tool.Edges(kWorld, kList), 2u);
    EXPECT_EQ(tool.missing_, (std::vector<std::pair<uint32_t, uint32_t>>{{kWorld, 0x12345678}}));
    EXPECT_EQ(CountOf(out, "Refkey 305419896 | 0x12345678"), 1u) << out;
    ASSERT_EQ(tool.seen_.size(), 2u);
    EXPECT_EQ(tool.seen_[0].keys, (std::vector<uint32_t>{kList, kList, 0, 0xFFFFFFFF, 0x12345678}));
    // One read takes these small files whole: the payload is handed over from
    // memory, exactly the bytes after the table.
    EXPECT_TRUE(tool.seen_[0].payload);
    EXPECT_EQ(tool.seen_[0].payloadBytes, "payload");
    EXPECT_EQ(tool.RefBuffer().pul_Data(), nullptr) << "the buffer is released when the scan ends";

    // The cache: the count of entries visited, then the two mapped records.
    const Bytes cache = ReadAll(dir_.File("refs.bin"));
    ASSERT_GE(cache.size(), 4u);
    EXPECT_EQ(BIG::Endian::Get32(cache.data()), entries);
    // Read back against the same bigfile, by the same session.
    InspectTool again;
    again.mpo_Fat = tool.mpo_Fat;
    testing::internal::CaptureStdout();
    again._ReadRefsFile(dir_.File("refs.bin"));
    const std::string readBack = testing::internal::GetCapturedStdout();
    EXPECT_EQ(readBack.find("scanned instead"), std::string::npos) << readBack;
    again.mpo_Fat = nullptr;
    ASSERT_EQ(again.mmap_Records.size(), 2u);
    for (const auto& [key, record] : tool.mmap_Records) {
        const FileRefRecord& back = again.mmap_Records.at(key);
        EXPECT_EQ(back.ul_Index, record.ul_Index);
        EXPECT_EQ(back.ul_Size, record.ul_Size);
        EXPECT_EQ(back.ul_Type, record.ul_Type);
        EXPECT_EQ(back.ul_RefCount, record.ul_RefCount);
        EXPECT_EQ(back.s_Name, record.s_Name);
    }
    EXPECT_EQ(again.Edges(kWorld, kList), 2u);
    EXPECT_EQ(again.missing_, tool.missing_);
    EXPECT_EQ(tool.eDeinit(), OVC_Status_NoData);
}

// Tables and contents longer than the first read: the keys are read on their
// own, and no payload is handed over that was not read whole.
TEST_F(OviBigSession, ReferenceTablesLongerThanTheFirstReadAreReadWhole) {
    constexpr uint32_t kTarget = 0x700;
    struct Case {
        const char* what;
        uint32_t keyCount;
        size_t payloadSize;
        bool payloadHandedOver;
    };
    const Case cases[] = {
        {"table and payload in the first read", 10, 100, true},
        {"table in it, payload past it", 10, 6000, false},
        {"table ends past it", 1500, 10, false},
        {"table ends exactly at its end", (4096 - 8) / 4, 0, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<uint32_t> keys(c.keyCount);
        for (uint32_t i = 0; i < c.keyCount; ++i)
            keys[i] = i % 3 == 0 ? kTarget : 0x10000 + i;
        const std::string payload(c.payloadSize, 'p');
        const std::string path = dir_.File("long.bf");
        ASSERT_TRUE(MakeBigfile(path, {{"Town.wor", 0x100, Content(keys, payload)}, {"T.gao", kTarget, ""}}));
        InspectTool tool;
        ASSERT_EQ(Init(tool, path), OVC_Status_Success);
        testing::internal::CaptureStdout();
        tool._ScanFiles(tool.mpo_Fat->ul_GetFileCount());
        testing::internal::GetCapturedStdout();
        ASSERT_FALSE(tool.seen_.empty());
        EXPECT_EQ(tool.seen_[0].keys, keys);
        EXPECT_EQ(tool.seen_[0].payload, c.payloadHandedOver);
        if (c.payloadHandedOver) {
            EXPECT_EQ(tool.seen_[0].payloadBytes, payload);
        }
        EXPECT_EQ(tool.mmap_Records.at(0x100).ul_Size, 4 + 4 * keys.size() + payload.size());
        EXPECT_EQ(tool.Edges(0x100, kTarget), (c.keyCount + 2) / 3);
        tool.eDeinit();
    }
}

// The scan reads the heads of files that lie close behind each other in one
// read: whatever the layout, every table comes whole and a payload handed
// over is the whole payload.
TEST_F(OviBigSession, HeadsReadTogetherGiveEveryTableAndPayloadWhole) {
    constexpr uint32_t kTarget = 0x700;
    struct Piece {
        uint32_t keys;
        size_t payload;
    };
    // Heads side by side (enough of them to fill a long read), gaps just
    // under and over the read-through gap, tables running past a shared read
    // and past a read of their own that follows a longer one, a content
    // larger than one read.
    std::vector<Piece> pieces(30, Piece{1, 1500});
    pieces.insert(pieces.end(), {{2, 10},
                                 {8000, 10},
                                 {1, 12000},
                                 {3, 50},
                                 {1, 17000},
                                 {0, 30},
                                 {1000, 12000},
                                 {2, 0},
                                 {1, 1200000},
                                 {6000, 10},
                                 {1, 20000},
                                 {5, 5}});
    struct Layout {
        const char* what;
        bool reversed;         // contents saved last entry first: positions fall as the index grows
        uint32_t segmentSize;  // small: heads near and across segment ends
    };
    const Layout layouts[] = {
        {"in index order", false, 0xC0000000},
        {"in reverse order", true, 0xC0000000},
        {"in segments of 24 KiB", false, 24 * 1024},
    };
    for (const Layout& layout : layouts) {
        SCOPED_TRACE(layout.what);
        std::vector<std::vector<uint32_t>> keys;
        std::vector<std::string> payloads, contents;
        for (size_t i = 0; i < pieces.size(); ++i) {
            keys.emplace_back(pieces[i].keys);
            for (uint32_t k = 0; k < pieces[i].keys; ++k)
                keys.back()[k] = k % 2 == 0 ? kTarget : 0x10000 + k;
            payloads.emplace_back(pieces[i].payload, static_cast<char>('a' + i));
            contents.push_back(Content(keys.back(), payloads.back()));
        }
        const std::string path = dir_.File("heads.bf");
        {
            BIG_cl_Fat fat;
            ASSERT_EQ(fat.File().eCreate(path, false, layout.segmentSize, true), BIG::eFile_Ok);
            ASSERT_TRUE(fat.Create(static_cast<uint32_t>(pieces.size()) + 4, 4, 0, 1));
            std::vector<uint32_t> index;
            for (size_t i = 0; i < pieces.size(); ++i)
                index.push_back(fat.ul_CreateFile(("F" + std::to_string(i) + ".wor").c_str(), 1000,
                                                  BIG_cl_Fat::kRootDir, 0x100 + static_cast<uint32_t>(i)));
            const uint32_t target = fat.ul_CreateFile("T.gao", 1000, BIG_cl_Fat::kRootDir, kTarget);
            ASSERT_NE(target, BIG_cl_Fat::kNoFile);
            const std::string targetContent = Content({}, "t");
            fat.SaveFile(target, targetContent.data(), static_cast<uint32_t>(targetContent.size()));
            for (size_t n = 0; n < pieces.size(); ++n) {
                const size_t i = layout.reversed ? pieces.size() - 1 - n : n;
                fat.SaveFile(index[i], contents[i].data(), static_cast<uint32_t>(contents[i].size()));
                ASSERT_TRUE(fat.LastEditStatus().bOk());
            }
            ASSERT_EQ(fat.File().eFlush(), BIG::eFile_Ok);
            if (layout.segmentSize < 0xC0000000) {
                ASSERT_GT(fat.File().uw_GetSegmentCount(), 3u);
            }
            fat.File().eClose();
        }
        InspectTool tool;
        ASSERT_EQ(Init(tool, path), OVC_Status_Success);
        testing::internal::CaptureStdout();
        tool._ScanFiles(tool.mpo_Fat->ul_GetFileCount());
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(out.find("error"), std::string::npos) << out;
        EXPECT_EQ(tool.l_Status(), OVC_Status_Success);
        ASSERT_EQ(tool.seen_.size(), pieces.size() + 1);
        for (size_t i = 0; i < pieces.size(); ++i) {
            SCOPED_TRACE(i);
            const Seen& seen = tool.seen_[i];
            EXPECT_EQ(seen.record.ul_Key, 0x100 + i);
            EXPECT_EQ(seen.record.ul_Size, contents[i].size());
            EXPECT_EQ(seen.keys, keys[i]);
            if (seen.payload) {
                EXPECT_EQ(seen.payloadBytes, payloads[i]);
            }
        }
        // Small contents come whole with their own or a neighbour's read.
        EXPECT_TRUE(tool.seen_[0].payload);
        EXPECT_TRUE(tool.seen_[1].payload);
        tool.eDeinit();
    }
}

TEST_F(OviBigSession, AnyMappedFileWithoutDataGivesStatusMinus1WhereverItLies) {
    const FileRecipe a{"A.wor", 0xA0, Content({})};
    const FileRecipe c{"C.gao", 0xC0, Content({})};
    const FileRecipe empty{"B.txt", 0xB0, ""};
    struct Case {
        const char* where;
        std::vector<FileRecipe> files;
        int32_t status;
    };
    const Case cases[] = {
        {"first", {empty, a, c}, OVC_Status_NoData},
        {"middle", {a, empty, c}, OVC_Status_NoData},
        {"last", {a, c, empty}, OVC_Status_NoData},
        {"none", {a, c}, OVC_Status_Success},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.where);
        const std::string path = dir_.File(std::string("nodata_") + k.where + ".bf");
        const uint32_t entries = static_cast<uint32_t>(k.files.size());
        ASSERT_TRUE(MakeBigfile(path, k.files, entries));
        InspectTool tool;
        ASSERT_EQ(Init(tool, path), OVC_Status_Success);
        testing::internal::CaptureStdout();
        tool._ScanFiles(entries);
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(tool.l_Status(), k.status);
        EXPECT_EQ(tool.mmap_Records.count(0xB0), 0u);
        EXPECT_EQ(tool.mmap_Records.count(0xA0), 1u);
        EXPECT_EQ(tool.mmap_Records.count(0xC0), 1u);
        EXPECT_EQ(tool.eDeinit(), k.status);
    }
}

// The scan makes the records of every entry before it reads the first one; an
// interrupt ends it at the next entry and leaves only the records mapped.
TEST_F(OviBigSession, AnInterruptedScanKeepsOnlyTheRecordsItMapped) {
    struct InterruptingTool : InspectTool {
        bool OnFileRefs(const FileRefRecord& record, const uint8_t* payload, uint32_t size) override {
            InspectTool::OnFileRefs(record, payload, size);
            std::raise(SIGINT);
            return false;
        }
    };
    // Entries out of key order: the first one mapped is not the lowest key.
    const std::string path = dir_.File("interrupted.bf");
    ASSERT_TRUE(MakeBigfile(
        path,
        {{"C.gao", 0xC0, Content({0xA0})}, {"A.gao", 0xA0, Content({})}, {"B.gao", 0xB0, Content({0xC0})}}));
    InterruptingTool tool;
    ASSERT_EQ(Init(tool, path), OVC_Status_Success);
    PLT::CatchInterrupts();
    testing::internal::CaptureStdout();
    tool._ScanFiles(3);
    const std::string out = testing::internal::GetCapturedStdout();
    PLT::ClearInterrupt();
    PLT::ReleaseInterrupts();
    EXPECT_NE(out.find("Interrupted: the scan stopped at entry 1 of 3"), std::string::npos) << out;
    EXPECT_EQ(tool.l_Status(), OVC_Status_Failure);
    ASSERT_EQ(tool.mmap_Records.size(), 1u);
    EXPECT_EQ(tool.mmap_Records.at(0xC0).s_Name, "C.gao");
    EXPECT_EQ(tool.mmap_Edges.at(0xC0), (std::vector<uint32_t>{0xA0}));
    tool.eDeinit();
}

TEST_F(OviBigSession, ACountClaimingMoreKeysThanTheContentHoldsIsCut) {
    // Count 1000, then only two keys and nothing after them.
    Bytes raw;
    BIG::Endian::ByteAppender out(&raw);
    out.U32(1000);
    out.U32(0xB0);
    out.U32(0xC0);
    const std::string path = dir_.File("cut.bf");
    ASSERT_TRUE(MakeBigfile(path, {{"A.wor", 0xA0, std::string(raw.begin(), raw.end())},
                                   {"B.txt", 0xB0, Content({})},
                                   {"C.txt", 0xC0, Content({})}}));
    InspectTool tool;
    ASSERT_EQ(Init(tool, path), OVC_Status_Success);
    testing::internal::CaptureStdout();
    tool._ScanFiles(tool.mpo_Fat->ul_GetFileCount());
    const std::string text = testing::internal::GetCapturedStdout();
    EXPECT_EQ(CountOf(text, "claims 1000 references"), 1u) << text;
    ASSERT_EQ(tool.mmap_Records.count(0xA0), 1u);
    EXPECT_EQ(tool.mmap_Records.at(0xA0).ul_RefCount, 2u);
    EXPECT_EQ(tool.Edges(0xA0, 0xB0), 1u);
    EXPECT_EQ(tool.Edges(0xA0, 0xC0), 1u);
    tool.eDeinit();
}

TEST_F(OviBigSession, ARefsBinThatCannotBeWrittenLeavesTheScanWhole) {
    const std::string path = dir_.File("nocache.bf");
    ASSERT_TRUE(MakeBigfile(path, {{"A.wor", 0xA0, Content({0xB0})}, {"B.txt", 0xB0, Content({})}}));
    writeCache_ = true;
    InspectTool tool;
    ASSERT_EQ(Init(tool, path), OVC_Status_Success);
    tool.ms_RefsCachePath = dir_.File("missing-folder/refs.bin");
    testing::internal::CaptureStdout();
    tool._ScanFiles(tool.mpo_Fat->ul_GetFileCount());
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("The reference cache is not written"), std::string::npos) << out;
    EXPECT_EQ(tool.Edges(0xA0, 0xB0), 1u);
    tool.eDeinit();
}

TEST_F(OviBigSession, TheDuplicatedFilesTableStaysLoadedSoCopyListFilesAreReadFromTheirFirstCopy) {
    constexpr uint32_t kOriginal = 0xA0, kCopy = 0xC0, kTarget = 0xB0;
    const std::string path = dir_.File("dup.bf");
    // The table is written once the original's place is known.
    ASSERT_TRUE(
        MakeBigfile(path, {{"Original.wor", kOriginal, Content({kTarget})},
                           {"Target.txt", kTarget, Content({})},
                           {"Copy.wor", kCopy, Content({})},
                           {"Copies.dup", BIG_DuplicatedFilesManager::kFileKey, Content({}, "12345678")}}));
    uint32_t originalPos = 0, copyIndex = 0;
    {
        BIG_cl_Fat fat;
        ASSERT_EQ(fat.File().eOpen(path, false, true, false), BIG::eFile_Ok);
        ASSERT_TRUE(fat.ReadFat(true));
        originalPos = fat.ul_GetFilePosition(fat.ul_GetFileIndex(kOriginal));
        copyIndex = fat.ul_GetFileIndex(kCopy);
        // Data part: count 1, shift 3, the original's place in 8-byte units.
        Bytes table;
        BIG::Endian::ByteAppender out(&table);
        out.U32(0);
        out.U32(1);
        out.U8(3);
        out.U32(originalPos);
        fat.SaveFile(fat.ul_GetFileIndex(BIG_DuplicatedFilesManager::kFileKey), table.data(),
                     static_cast<uint32_t>(table.size()));
        fat.File().eFlush();
        fat.File().eClose();
    }
    // The copy's entry becomes a copy list of one copy, index 0 of the table.
    const uint64_t entryAt = 128 + uint64_t{copyIndex} * BIG_st_FileEntry::kEncodedSize;
    Patch32(path, entryAt + BIG_st_FileEntry::kOffPos, 1u << 27);
    const uint8_t copyListFlag = BIG_st_FileEntry::kStorageCopyList;
    Patch(path, entryAt + BIG_st_FileEntry::kOffStorageFlags, &copyListFlag, 1);

    // Loaded by the library's own loading components after the tables are read.
    InspectTool tool;
    ASSERT_EQ(Init(tool, path), OVC_Status_Success);
    ASSERT_NE(BIG_DuplicatedFilesManager::Get(), nullptr);
    EXPECT_TRUE(BIG_DuplicatedFilesManager::Get()->bHasData()) << "loaded and kept for the session";
    testing::internal::CaptureStdout();
    tool._ScanFiles(tool.mpo_Fat->ul_GetFileCount());
    testing::internal::GetCapturedStdout();
    ASSERT_EQ(tool.mmap_Records.count(kCopy), 1u);
    EXPECT_EQ(tool.mmap_Records.at(kCopy).ul_RefCount, 1u);
    EXPECT_EQ(tool.Edges(kCopy, kTarget), 1u) << "the copy reads the original's table";
    EXPECT_EQ(tool.eDeinit(), OVC_Status_Success);
    const auto after = BIG_DuplicatedFilesManager::Get();
    EXPECT_TRUE(after == nullptr || !after->bHasData()) << "emptied when the session ends";
}

}  // namespace
