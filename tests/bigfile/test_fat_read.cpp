// Reading a bigfile made by the table's own writer: layout, positions, the
// chunked file-table read, loose key files, reduced tables and the temporary
// directory repair.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "BIGfile/BIG_DataHandles.h"
#include "BIGfile/BIG_Fat.h"
#include "BIGfile/BIG_FatHeader.h"
#include "BIGfile/BIG_FileEntry.h"
#include "BIGfile/BIG_ReducedFileEntry.h"
#include "fat_test_support.h"
#include "platform/FaultInjection.h"
#include "platform/File.h"

namespace {

using namespace fat_test;

const std::vector<FileRecipe> kFiles = {
    {"", "root.ini", 0x00000101, "root content"},
    {"/levels/town", "house.wor", 0x00000102, "a house"},
    {"/levels/town", "street.msh", 0x00000103, std::string(5000, 's')},
    {"/levels", "empty.tga", 0x00000104, ""},
    {"/Levels/Forest", "tree.xyz", 0x00000105, "tree"},
};

TEST(FatRead, RoundTripOfWhatTheWriterStored) {
    TempFolder tmp;
    const std::string path = tmp.File("world.bf");
    ASSERT_TRUE(MakeBigfile(path, 16, 8, kFiles));
    Messages messages;
    BIG_cl_Fat fat;
    ASSERT_TRUE(OpenBigfile(fat, path, true));
    EXPECT_EQ(fat.uw_GetFormatNb(), 135);
    EXPECT_EQ(fat.ul_GetFileCount(), 16u);
    EXPECT_EQ(fat.uw_GetDirCount(), 8);
    EXPECT_EQ(fat.ul_CountUsedFiles(), 5u);
    EXPECT_EQ(fat.uw_CountUsedDirs(), 5);  // "/", "Temp", levels, town, Forest
    EXPECT_EQ(fat.GetDataRoot(), "/Data/");
    for (const FileRecipe& f : kFiles) {
        const uint32_t index = fat.ul_GetFileIndex(f.key);
        ASSERT_NE(index, BIG_cl_Fat::kNoFile) << f.name;
        EXPECT_EQ(fat.ul_GetFileKey(index), f.key);
        EXPECT_EQ(Content(fat, index), f.content) << f.name;
        EXPECT_EQ(fat.ul_GetFileSize(index), f.content.size()) << f.name;
        // Saving a content stamps the entry with the time of the save.
        if (f.content.empty())
            EXPECT_EQ(fat.FileEntry(index).ul_Time, 1000u);
        else
            EXPECT_GT(fat.FileEntry(index).ul_Time, 1000u);
    }
    const uint32_t root = fat.ul_GetFileIndex(0x101);
    EXPECT_EQ(fat.GetFilePath(root), "//root.ini");
    EXPECT_EQ(fat.GetFilePath(fat.ul_GetFileIndex(0x102)), "//levels/town/house.wor");
    // An unknown extension is type 0: the name ends with a bare ".".
    EXPECT_EQ(fat.GetFileName(fat.ul_GetFileIndex(0x105)), "tree.");
    // Directory paths are matched without regard to case, so "Levels" found "levels".
    EXPECT_EQ(fat.GetFilePath(fat.ul_GetFileIndex(0x105)), "//levels/Forest/tree.");
    const uint16_t levels = fat.FindSubDir("LEVELS", 0);
    ASSERT_NE(levels, BIG_cl_Fat::kNoDir);
    EXPECT_EQ(fat.GetDirPath(levels), "//levels");
    EXPECT_EQ(fat.FindSubDir("nothing", 0), BIG_cl_Fat::kNoDir);
    EXPECT_EQ(fat.FindSubDir(nullptr, 0), BIG_cl_Fat::kNoDir);
    EXPECT_EQ(fat.FindSubDir("levels", BIG_cl_Fat::kNoDir), BIG_cl_Fat::kNoDir);
    // Files of a directory before those of its subdirectories, in creation order.
    std::vector<uint32_t> files;
    fat.ListFilesInSubtree(levels, &files);
    std::vector<uint32_t> keys;
    for (uint32_t f : files)
        keys.push_back(fat.ul_GetFileKey(f));
    EXPECT_EQ(keys, (std::vector<uint32_t>{0x104, 0x102, 0x103, 0x105}));
    EXPECT_EQ(fat.ul_CountFilesInSubtree(0), 5u);

    char name[16];
    fat.GetKeyFileName(fat.ul_GetFileIndex(0x102), name, sizeof name);
    EXPECT_STREQ(name, "00000102.key");
    fat.GetKeyFileName(fat.ul_GetFileIndex(0x102), name, 5);
    EXPECT_STREQ(name, "0000");
    EXPECT_EQ(messages.Count(), 0u) << messages.All();
    fat.File().eClose();
}

TEST(FatRead, PartialContentReadsSkipTheLength) {
    TempFolder tmp;
    const std::string path = tmp.File("world.bf");
    ASSERT_TRUE(MakeBigfile(path, 4, 4, {{"", "a.ini", 0x10, "0123456789"}}));
    BIG_cl_Fat fat;
    ASSERT_TRUE(OpenBigfile(fat, path, true));
    char part[4] = {};
    ASSERT_TRUE(fat.ReadFileContent(fat.ul_GetFileIndex(0x10), part, 3, 4));
    EXPECT_EQ(std::string(part, 4), "3456");
}

TEST(FatRead, KeyLookupReports) {
    TempFolder tmp;
    const std::string path = tmp.File("world.bf");
    ASSERT_TRUE(MakeBigfile(path, 4, 4, {{"", "a.ini", 0x10, "a"}}));
    BIG_cl_Fat fat;
    ASSERT_TRUE(OpenBigfile(fat, path, true));
    Messages messages;
    EXPECT_EQ(fat.ul_GetFileIndex(0xFFFFFFFF, true), BIG_cl_Fat::kNoFile);
    EXPECT_EQ(messages.Count(), 0u);
    EXPECT_EQ(fat.ul_GetFileIndex(0x11, false), BIG_cl_Fat::kNoFile);
    EXPECT_EQ(messages.Count(), 0u);
    EXPECT_EQ(fat.ul_GetFileIndex(0x11, true), BIG_cl_Fat::kNoFile);
    EXPECT_TRUE(messages.bContains("File can't be found for key 00000011"));
    EXPECT_EQ(fat.ul_GetFileKey(BIG_cl_Fat::kNoFile), BIG_cl_Fat::kNoKey);
    EXPECT_TRUE(messages.bContains("ul_GetFileKey : Invalid index"));
}

// Layout with an alignment of 2048 bytes: F at 2048, 1000 entries put D at
// 2048 + 96000 rounded up to 98304.
TEST(FatRead, AlignmentShiftElevenLaysOutTablesAndConvertsPositions) {
    TempFolder tmp;
    const std::string path = tmp.File("aligned.bf");
    ASSERT_TRUE(
        MakeBigfile(path, 1000, 16, {{"", "a.ini", 0x10, "first"}, {"", "b.ini", 0x11, "second"}}, 11));
    {
        BIG_cl_Fat fat;
        ASSERT_TRUE(OpenBigfile(fat, path, true));
        EXPECT_EQ(fat.File().uc_GetAlignmentShift(), 11);
        EXPECT_EQ(fat.oGetFatPos().ull_GetByteOffset(), 2048u);
        EXPECT_EQ(fat.oGetDirPos().ull_GetByteOffset(), 98304u);
        EXPECT_EQ(fat.oGetDataPos().ull_GetByteOffset(), 100352u);  // 98304 + 16 × 64 rounded up
        EXPECT_EQ(Content(fat, fat.ul_GetFileIndex(0x11)), "second");
        fat.File().eClose();
    }
    // On disk: position 3 in 2048-byte units; in memory: 3 × 2048 / 8.
    struct Case {
        uint32_t disk;
        uint8_t storage;
        uint32_t memory;
    };
    const Case cases[] = {{3, 0, 768}, {0xFFFFFFFF, 0, 0xFFFFFFFF}, {3, 1, 3}, {0x06000003, 2, 0x06000003}};
    for (const Case& c : cases) {
        Patch32(path, 2048 + BIG_st_FileEntry::kOffPos, c.disk);  // file entry 0 at F = 2048
        Patch8(path, 2048 + BIG_st_FileEntry::kOffStorageFlags, c.storage);
        BIG_cl_Fat fat;
        ASSERT_TRUE(OpenBigfile(fat, path, true));
        const uint32_t index = fat.ul_GetFileIndex(0x10);
        EXPECT_EQ(fat.FileEntry(index).ul_Pos, c.memory) << c.disk;
        fat.File().eClose();
    }
}

TEST(FatRead, AlignmentShiftBelowThreeKeepsTheContainersAlignment) {
    TempFolder tmp;
    const std::string path = tmp.File("world.bf");
    ASSERT_TRUE(MakeBigfile(path, 4, 4, {{"", "a.ini", 0x10, "abc"}}));
    Patch8(path, BIG_st_FatHeader::kOffAlignmentShift, 2);
    Messages messages;
    BIG_cl_Fat fat;
    fat.File().SetAlignmentShift(4);  // whatever it held before stays
    ASSERT_EQ(fat.File().eOpen(path, true, true, false), 0u);
    EXPECT_FALSE(fat.ReadFatHeader());
    EXPECT_TRUE(messages.bContains("Failed to set content alignment"));
    EXPECT_EQ(fat.File().uc_GetAlignmentShift(), 4);
    EXPECT_EQ(fat.oGetFatPos().ull_GetByteOffset(), 128u);
    EXPECT_EQ(fat.oGetDirPos().ull_GetByteOffset(), 128u + 4 * 96);
    EXPECT_EQ(fat.oGetDataPos().ull_GetByteOffset(), 128u + 4 * 96 + 4 * 64);
    fat.File().eClose();
}

// Positions counted in a unit the writer did not use point at the wrong bytes:
// no table is read with an alignment shift outside 3..31.
TEST(FatRead, UnusableAlignmentShiftsAreRefused) {
    TempFolder tmp;
    const std::string path = tmp.File("world.bf");
    for (const uint8_t shift : {0, 2, 32, 255}) {
        ASSERT_TRUE(MakeBigfile(path, 4, 4, {{"", "a.ini", 0x10, "abc"}}));
        Patch8(path, BIG_st_FatHeader::kOffAlignmentShift, shift);
        Messages messages;
        BIG_cl_Fat fat;
        EXPECT_FALSE(OpenBigfile(fat, path, true)) << int(shift);
        EXPECT_TRUE(messages.bContains("Failed to set content alignment")) << int(shift);
        EXPECT_EQ(fat.ul_GetFileCount(), 0u);
        fat.File().eClose();
    }
}

// Directory parents that loop: paths could never be made, so the table is refused.
TEST(FatRead, DirectoryLoopsAreRefused) {
    TempFolder tmp;
    const std::string path = tmp.File("world.bf");
    constexpr uint64_t kDirTable = 128 + 8 * 96;
    auto parentAt = [](uint16_t dir) { return kDirTable + uint64_t{dir} * 64 + 4; };
    struct Case {
        const char* what;
        std::vector<std::pair<uint16_t, uint16_t>> parents;  // directory, new parent
        bool refused;
    };
    // Directories: 0 "/", 1 "Temp", 2 "a", 3 "b" (in "a").
    const Case cases[] = {
        {"untouched", {}, false},
        {"a directory its own parent", {{3, 3}}, true},
        {"two directories each other's parent", {{2, 3}}, true},
        {"the root its own parent", {{0, 0}}, true},
        {"the root under one of its subdirectories", {{0, 3}}, true},
        {"a parent outside the table is no loop", {{3, 0x7000}}, false},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(MakeBigfile(path, 8, 8, {{"/a/b", "x.ini", 0x10, "abc"}}));
        for (const auto& [dir, parent] : c.parents)
            Patch16(path, parentAt(dir), parent);
        Messages messages;
        BIG_cl_Fat fat;
        EXPECT_EQ(OpenBigfile(fat, path, true), !c.refused) << c.what;
        EXPECT_EQ(messages.bContains("loop of parent directories"), c.refused) << c.what;
        fat.File().eClose();
    }
}

// Valid positions lie strictly below the data size (content end - data start).
TEST(FatRead, PositionValidityAtTheDataEnd) {
    TempFolder tmp;
    const std::string path = tmp.File("world.bf");
    ASSERT_TRUE(MakeBigfile(path, 4, 4, {{"", "a.ini", 0x10, "abc"}}));
    BIG_cl_Fat fat;
    ASSERT_TRUE(OpenBigfile(fat, path, true));
    const uint32_t index = fat.ul_GetFileIndex(0x10);
    const uint32_t dataSize = fat.File().oGetFileContentEnd().ul_GetValue() - fat.oGetDataPos().ul_GetValue();
    BIG_st_FileEntry* e = fat.pst_GetFileEntry(index);
    Messages messages;
    e->ul_Pos = dataSize - 1;
    EXPECT_TRUE(fat.bIsFilePositionValid(index));
    EXPECT_FALSE(fat.oGetFileOffset(index).bIsNone());
    e->ul_Pos = dataSize;
    EXPECT_FALSE(fat.bIsFilePositionValid(index));
    EXPECT_EQ(messages.Count(), 0u);
    EXPECT_TRUE(fat.oGetFileOffset(index).bIsNone());
    EXPECT_TRUE(messages.bContains("has an invalid position in FAT! Your BF must be corrupted!"));
    EXPECT_EQ(fat.ul_GetFileSize(index), 0u);
    e->ul_Pos = 0xFFFFFFFF;
    EXPECT_FALSE(fat.bIsFilePositionValid(index));
    // A package entry without any package list is invalid too.
    e->uc_StorageFlags = BIG_st_FileEntry::kStoragePackage;
    e->ul_Pos = 0;
    EXPECT_FALSE(fat.bIsFilePositionValid(index));
}

// One read up to 32768 entries; above, 32768-entry chunks then the rest. The
// reads are counted by failing the n-th one: header, table pieces, directories.
TEST(FatRead, FileTableIsReadInOneReadUpTo32768Entries) {
    TempFolder tmp;
    struct Case {
        uint32_t files;
        uint32_t reads;  // header + table reads + directory table
    };
    for (const Case& c : {Case{32768, 3}, Case{32769, 4}}) {
        const std::string path = tmp.File("big" + std::to_string(c.files) + ".bf");
        ASSERT_TRUE(MakeBigfile(path, c.files, 4, {{"", "a.ini", 0x10, "abc"}}));
        Messages messages;
        {
            // The read after the last one of ReadFat must not be reached.
            BIG_cl_Fat fat;
            ASSERT_EQ(fat.File().eOpen(path, true, true, false), BIG::eFile_Ok);
            PLT::ClearFaults();
            PLT::InjectFault(PLT::FaultOp::eRead, c.reads + 1);
            EXPECT_TRUE(fat.ReadFat(true));
            EXPECT_EQ(PLT::InjectedFailures(PLT::FaultOp::eRead), 0u) << c.files;
            PLT::ClearFaults();
            EXPECT_EQ(Content(fat, fat.ul_GetFileIndex(0x10)), "abc");
        }
        {
            // The last read of ReadFat is the directory table: failing it fails the read.
            BIG_cl_Fat fat;
            ASSERT_EQ(fat.File().eOpen(path, true, true, false), BIG::eFile_Ok);
            PLT::ClearFaults();
            PLT::InjectFault(PLT::FaultOp::eRead, c.reads);
            EXPECT_FALSE(fat.ReadFat(true));
            EXPECT_EQ(PLT::InjectedFailures(PLT::FaultOp::eRead), 1u) << c.files;
            PLT::ClearFaults();
            EXPECT_TRUE(messages.bContains("Failed reading BF!"));
        }
    }
}

class FatLooseKeys : public ::testing::Test {
protected:
    void SetUp() override { m_cwd = PLT::CurrentDirectory(); }
    void TearDown() override { PLT::ChangeDirectory(m_cwd); }
    std::string m_cwd;
};

TEST_F(FatLooseKeys, EightHexDigitNamesOverrideTheirFile) {
    TempFolder tmp;
    const std::string path = tmp.File("world.bf");
    ASSERT_TRUE(MakeBigfile(path, 8, 4,
                            {{"", "a.ini", 0x00A1B2C3, "stored"},
                             {"", "b.ini", 0x00000B0B, "b stored"},
                             {"", "c.ini", 0x0000C0C0, "c stored"}}));
    const fs::path work = tmp.Path() / "work";
    fs::create_directories(work);
    WriteAll((work / "00a1b2c3.key").string(), Bytes{'l', 'o', 'o', 's', 'e'});
    WriteAll((work / "00000B0Bx.key").string(), Bytes{'x'});  // 13 characters
    WriteAll((work / "0000C0CG.key").string(), Bytes{'x'});   // not hexadecimal
    ASSERT_TRUE(PLT::ChangeDirectory(work.string()));

    BIG_cl_Fat fat;
    ASSERT_TRUE(OpenBigfile(fat, path, true));
    const uint32_t a = fat.ul_GetFileIndex(0x00A1B2C3);
    EXPECT_NE(fat.FileEntry(a).uc_StorageFlags & BIG_st_FileEntry::kStorageLooseKey, 0);
    EXPECT_EQ(fat.ul_GetFileSize(a), 5u);
    EXPECT_EQ(Content(fat, a), "loose");
    char part[3] = {};
    ASSERT_TRUE(fat.ReadFileContent(a, part, 1, 3));
    EXPECT_EQ(std::string(part, 3), "oos");
    for (uint32_t key : {0x00000B0Bu, 0x0000C0C0u}) {
        const uint32_t index = fat.ul_GetFileIndex(key);
        EXPECT_EQ(fat.FileEntry(index).uc_StorageFlags & BIG_st_FileEntry::kStorageLooseKey, 0) << key;
    }
    EXPECT_EQ(Content(fat, fat.ul_GetFileIndex(0x0000C0C0)), "c stored");
}

TEST(FatRead, ReducedTableReadsOnlyOnAReadOnlyContainer) {
    TempFolder tmp;
    const std::string path = tmp.File("reduced.bf");
    ASSERT_TRUE(MakeBigfile(path, 4, 4, {{"", "a.ini", 0x10, "abc"}}));
    // Rewrite the table as three reduced entries and mark the header.
    const uint32_t ents[3][3] = {{2, 0x77, 32}, {0xFFFFFFFF, 0x78, 3}, {5, 0x79, 4}};
    for (int i = 0; i < 3; ++i) {
        BIG_st_ReducedFileEntry r;
        r.ul_Pos = ents[i][0];
        r.ul_Key = ents[i][1];
        r.uc_Type = static_cast<uint8_t>(ents[i][2]);
        r.uc_StorageFlags = i == 2 ? 1 : 0;
        uint8_t raw[BIG_st_ReducedFileEntry::kEncodedSize];
        r.EncodeTo(raw);
        Patch(path, 128 + i * 10, raw, sizeof raw);
    }
    Patch32(path, BIG_st_FatHeader::kOffFileCount, 3);
    Patch16(path, BIG_st_FatHeader::kOffDirCount, 0);
    Patch8(path, BIG_st_FatHeader::kOffReducedFat, 1);
    {
        Messages messages;
        BIG_cl_Fat fat;
        ASSERT_EQ(fat.File().eOpen(path, false, true, false), BIG::eFile_Ok);
        EXPECT_FALSE(fat.ReadFat(true));
        EXPECT_TRUE(messages.bContains("Unable to read reduced FAT in read/write mode"));
    }
    BIG_cl_Fat fat;
    ASSERT_TRUE(OpenBigfile(fat, path, true));
    EXPECT_TRUE(fat.bIsReducedFat());
    EXPECT_NE(fat.uc_GetHeaderFlags() & 0x08, 0);
    ASSERT_EQ(fat.ul_GetFileCount(), 3u);
    EXPECT_EQ(fat.FileEntry(0).ul_Pos, 2u);  // shift 3: the same units
    EXPECT_EQ(fat.FileEntry(0).ul_Key, 0x77u);
    EXPECT_EQ(fat.FileEntry(0).uc_Type, 32);
    EXPECT_EQ(fat.FileEntry(0).ul_Checksum, 0u);
    EXPECT_EQ(fat.FileEntry(1).ul_Pos, 0xFFFFFFFFu);
    EXPECT_EQ(fat.FileEntry(2).uc_StorageFlags, 1);
    // No key index is built for a reduced table.
    EXPECT_EQ(fat.ul_GetFileIndex(0x77, false), BIG_cl_Fat::kNoFile);
}

TEST(FatRead, MissingTemporaryDirectoryIsMadeAgain) {
    TempFolder tmp;
    const std::string path = tmp.File("world.bf");
    ASSERT_TRUE(MakeBigfile(path, 4, 8, {{"", "a.ini", 0x10, "abc"}}));
    struct Case {
        uint16_t temp;
        bool readOnly;
    };
    for (const Case& c : {Case{0, false}, Case{8, false}, Case{5, false}, Case{8, true}}) {
        Patch16(path, BIG_st_FatHeader::kOffTempDirIndex, c.temp);
        uint16_t repaired;
        {
            BIG_cl_Fat fat;
            ASSERT_TRUE(OpenBigfile(fat, path, c.readOnly));
            repaired = fat.uw_GetTempDirIndex();
            ASSERT_NE(repaired, BIG_cl_Fat::kNoDir);
            EXPECT_NE(repaired, 0);
            EXPECT_STREQ(fat.DirEntry(repaired).sz_Name, "Temp");
            EXPECT_EQ(fat.DirEntry(repaired).uw_Parent, 0);
            fat.File().eClose();
        }
        const Bytes raw = ReadAll(path);
        const uint16_t stored =
            BIG::Endian::Get16(raw.data() + kHeaderAt + BIG_st_FatHeader::kOffTempDirIndex);
        // A read-only bigfile is repaired in memory only; a writable one on disk too.
        EXPECT_EQ(stored, c.readOnly ? c.temp : repaired) << c.temp;
        // Restore a valid index for the next case.
        Patch16(path, BIG_st_FatHeader::kOffTempDirIndex, 1);
    }
}

TEST(FatRead, DataInMemoryHandles) {
    TempFolder tmp;
    const std::string path = tmp.File("world.bf");
    ASSERT_TRUE(MakeBigfile(path, 4, 4, {{"", "a.ini", 0x10, "a"}, {"", "b.ini", 0x11, "b"}}));
    BIG_cl_Fat fat;
    ASSERT_TRUE(OpenBigfile(fat, path, true));
    int objectA = 0;
    int objectB = 0;
    const uint32_t ha = BIG::DataHandles::ul_Register(&objectA);
    const uint32_t hb = BIG::DataHandles::ul_Register(&objectB);
    ASSERT_NE(ha, 0u);
    ASSERT_NE(ha, hb);
    EXPECT_EQ(BIG::DataHandles::ul_Register(&objectA), ha);
    EXPECT_EQ(BIG::DataHandles::p_Get(hb), &objectB);

    const uint32_t a = fat.ul_GetFileIndex(0x10);
    Messages messages;
    fat.SetDataInMemory(a, ha);
    fat.SetDataInMemory(a, ha);
    EXPECT_EQ(fat.ul_GetDataAttachCount(), 1u);
    EXPECT_EQ(fat.ul_GetFileIndexFromData(ha), a);
    EXPECT_EQ(messages.Count(), 0u);
    fat.SetDataInMemory(a, hb);
    EXPECT_TRUE(messages.bContains("trying to set data on a file (a.ini) that already have data associated"));
    EXPECT_EQ(fat.ul_GetFileIndexFromData(ha), BIG_cl_Fat::kNoFile);
    EXPECT_EQ(fat.ul_GetFileIndexFromData(hb), a);
    EXPECT_EQ(BIG::DataHandles::p_Get(fat.ul_GetDataInMemory(a)), &objectB);
    fat.SetDataInMemory(a, 0);
    EXPECT_EQ(fat.ul_GetFileIndexFromData(hb), BIG_cl_Fat::kNoFile);
    BIG::DataHandles::Unregister(ha);
    BIG::DataHandles::Unregister(hb);
    EXPECT_EQ(BIG::DataHandles::p_Get(ha), nullptr);
}

}  // namespace
