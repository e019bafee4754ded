// Corrupt bigfiles: byte surgery on a bigfile made by the writer, then the
// specific error, never a crash, a hang or an unbounded allocation.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "BIGfile/BIG_DirEntry.h"
#include "BIGfile/BIG_Fat.h"
#include "BIGfile/BIG_FatHeader.h"
#include "BIGfile/BIG_FileEntry.h"
#include "fat_test_support.h"

namespace {

using namespace fat_test;

constexpr uint32_t kFiles = 8;
constexpr uint16_t kDirs = 8;
// Layout with the default alignment: F = 128, D = F + 8 × 96, S = D + 8 × 64.
constexpr uint64_t kF = BIG_st_FatHeader::kEncodedSize;
constexpr uint64_t kD = kF + kFiles * BIG_st_FileEntry::kEncodedSize;

// Byte offset of a field of file entry `index` and of directory entry `dir`.
constexpr uint64_t FileField(uint32_t index, size_t field) {
    return kF + uint64_t{index} * BIG_st_FileEntry::kEncodedSize + field;
}
constexpr uint64_t DirField(uint32_t dir, size_t field) {
    return kD + uint64_t{dir} * BIG_st_DirEntry::kEncodedSize + field;
}

class FatCorrupt : public ::testing::Test {
protected:
    void SetUp() override {
        m_path = m_tmp.File("corrupt.bf");
        ASSERT_TRUE(MakeBigfile(m_path, kFiles, kDirs,
                                {{"/a", "one.ini", 0x21, "one"},
                                 {"/a", "two.ini", 0x22, "two"},
                                 {"/a/b", "three.ini", 0x23, "three"}}));
        BIG_cl_Fat fat;
        ASSERT_TRUE(OpenBigfile(fat, m_path, true));
        m_one = fat.ul_GetFileIndex(0x21);
        m_two = fat.ul_GetFileIndex(0x22);
        m_a = fat.FindSubDir("a", 0);
        m_b = fat.FindSubDir("b", m_a);
        fat.File().eClose();
    }

    TempFolder m_tmp;
    std::string m_path;
    uint32_t m_one = 0;
    uint32_t m_two = 0;
    uint16_t m_a = 0;
    uint16_t m_b = 0;
};

TEST_F(FatCorrupt, CountsLargerThanTheFileAreRefusedBeforeAllocating) {
    struct Case {
        uint32_t files;
        uint16_t dirs;
    };
    for (const Case& c : {Case{0xFFFFFFFF, kDirs}, Case{0x10000000, kDirs}, Case{kFiles, 0xFFFF}}) {
        Patch32(m_path, BIG_st_FatHeader::kOffFileCount, c.files);
        Patch16(m_path, BIG_st_FatHeader::kOffDirCount, c.dirs);
        Messages messages;
        BIG_cl_Fat fat;
        ASSERT_EQ(fat.File().eOpen(m_path, true, true, false), BIG::eFile_Ok);
        EXPECT_FALSE(fat.ReadFat(true));
        EXPECT_TRUE(messages.bContains("more than the file holds")) << messages.All();
        EXPECT_EQ(fat.ul_GetFileCount(), 0u);
        EXPECT_EQ(fat.ul_GetFileIndex(0x21, false), BIG_cl_Fat::kNoFile);
        fat.File().eClose();
    }
}

TEST_F(FatCorrupt, TruncatedBigfileIsRefused) {
    Bytes raw = ReadAll(m_path);
    raw.resize(kHeaderAt + kD + 10);  // the directory table is cut
    WriteAll(m_path, raw);
    BIG_cl_Fat fat;
    // The segment header still claims the old end: the open refuses the claim
    // before any table is sized from it.
    EXPECT_EQ(fat.File().eOpen(m_path, true, true, false), BIG::eFile_BadSegmentHeader);
    EXPECT_FALSE(fat.File().bIsOpen());
    EXPECT_NE(fat.File().GetOpenProblem().find("claims content up to byte"), std::string::npos)
        << fat.File().GetOpenProblem();
}

TEST_F(FatCorrupt, NextFileCycleEndsEveryWalk) {
    // two -> one: one -> two -> one ...
    Patch32(m_path, FileField(m_two, BIG_st_FileEntry::kOffNextFile), m_one);
    Messages messages;
    BIG_cl_Fat fat;
    ASSERT_TRUE(OpenBigfile(fat, m_path, false));
    std::vector<uint32_t> files;
    fat.ListFilesInSubtree(0, &files);
    EXPECT_LE(files.size(), 3u);
    EXPECT_TRUE(messages.bContains("the file chain is broken"));
    messages.Clear();
    // Appending to the looping directory is refused instead of walking forever.
    EXPECT_EQ(fat.ul_CreateFile("new.ini", 0, m_a, 0x30), BIG_cl_Fat::kNoFile);
    EXPECT_TRUE(messages.bContains("the file chain is broken"));
    fat.File().eClose();
}

TEST_F(FatCorrupt, LinksOutsideTheTablesAreReported) {
    Patch32(m_path, FileField(m_two, BIG_st_FileEntry::kOffNextFile),
            0x7FFFFFFF);                                                  // next file beyond the table
    Patch16(m_path, DirField(m_b, BIG_st_DirEntry::kOffParent), 0x4000);  // parent beyond the table
    Messages messages;
    BIG_cl_Fat fat;
    ASSERT_TRUE(OpenBigfile(fat, m_path, false));
    EXPECT_EQ(fat.GetDirPath(m_b), "");
    EXPECT_EQ(fat.GetFilePath(fat.ul_GetFileIndex(0x23)), "");
    EXPECT_TRUE(messages.bContains("the parent directory chain is broken"));
    EXPECT_EQ(fat.ul_CreateFile("new.ini", 0, m_a, 0x30), BIG_cl_Fat::kNoFile);
    fat.File().eClose();
}

TEST_F(FatCorrupt, DirectoryCyclesEndEveryWalk) {
    // b is its own sibling: a loop in the sibling chain.
    Patch16(m_path, DirField(m_b, BIG_st_DirEntry::kOffNextSibling), m_b);
    {
        Messages messages;
        BIG_cl_Fat fat;
        ASSERT_TRUE(OpenBigfile(fat, m_path, false));
        EXPECT_EQ(fat.FindSubDir("zzz", m_a), BIG_cl_Fat::kNoDir);
        std::vector<uint32_t> files;
        fat.ListFilesInSubtree(m_a, &files);
        EXPECT_LE(files.size(), 3u);
        EXPECT_EQ(fat.uw_CreateDir("c", m_a), BIG_cl_Fat::kNoDir);
        EXPECT_TRUE(messages.bContains("chain is broken")) << messages.All();
        fat.File().eClose();
    }
    // b is also a's parent: a loop in the parent chain, where no path can be
    // made, is refused when the table is read.
    Patch16(m_path, DirField(m_a, BIG_st_DirEntry::kOffParent), m_b);
    Messages messages;
    BIG_cl_Fat fat;
    EXPECT_FALSE(OpenBigfile(fat, m_path, false));
    EXPECT_TRUE(messages.bContains("lies in a loop of parent directories")) << messages.All();
    fat.File().eClose();
}

TEST_F(FatCorrupt, NamesWithoutTerminatorAreCut) {
    const std::string longName(60, 'n');
    Patch(m_path, FileField(m_one, BIG_st_FileEntry::kOffName), longName.data(), 60);
    const std::string longDir(53, 'd');
    Patch(m_path, DirField(m_a, BIG_st_DirEntry::kOffName), longDir.data(), 53);
    BIG_cl_Fat fat;
    ASSERT_TRUE(OpenBigfile(fat, m_path, true));
    EXPECT_EQ(fat.GetFileName(m_one), std::string(59, 'n') + ".ini");
    EXPECT_EQ(fat.GetDirPath(m_a), "//" + std::string(52, 'd'));
    fat.File().eClose();
}

TEST_F(FatCorrupt, ContentOutsideTheDataAreaIsRefused) {
    // A stored length running past the end of the bigfile.
    BIG_cl_Fat probe;
    ASSERT_TRUE(OpenBigfile(probe, m_path, true));
    const uint64_t at = probe.oGetFileOffset(m_one).ull_GetByteOffset();
    const uint64_t dataEnd = probe.File().oGetFileContentEnd().ull_GetByteOffset();
    probe.File().eClose();
    Patch32(m_path, at, 0x7FFFFFF0);
    Patch32(m_path, FileField(m_two, BIG_st_FileEntry::kOffPos),
            static_cast<uint32_t>(dataEnd));  // a position far beyond the data
    Messages messages;
    BIG_cl_Fat fat;
    ASSERT_TRUE(OpenBigfile(fat, m_path, true));
    BIG_st_ByteBlock block;
    uint32_t length = 7;
    EXPECT_FALSE(fat.LoadFileInBuffer(m_one, &block, &length));
    EXPECT_EQ(length, 0u);
    EXPECT_LT(block.ul_Capacity, 0x7FFFFFF0u);
    EXPECT_TRUE(messages.bContains("has an invalid size in FAT"));
    EXPECT_EQ(fat.ul_GetFileSize(m_one), 0xFFFFFFFFu);
    EXPECT_FALSE(fat.LoadFileInBuffer(m_two, &block, &length));
    EXPECT_TRUE(fat.oGetFileOffset(m_two).bIsNone());
    EXPECT_TRUE(messages.bContains("two has an invalid position in FAT"));
    fat.File().eClose();
}

TEST_F(FatCorrupt, MissingRootIsRefused) {
    const uint8_t zero[BIG_st_DirEntry::kNameSize] = {};
    Patch(m_path, DirField(0, BIG_st_DirEntry::kOffName), zero, sizeof zero);
    Messages messages;
    BIG_cl_Fat fat;
    ASSERT_EQ(fat.File().eOpen(m_path, true, true, false), BIG::eFile_Ok);
    EXPECT_FALSE(fat.ReadFat(true));
    EXPECT_TRUE(messages.bContains("root directory is missing"));
    fat.File().eClose();
}

}  // namespace
