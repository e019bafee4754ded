// Edits that must never lose data: a growth that fails, a read-only open of a
// bigfile whose "Temp" needs repair, Clean around copy lists, a save to copy
// places that fails half-way, and a second file under a key already used.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "BIGfile/BIG_Fat.h"
#include "BIGfile/BIG_FatHeader.h"
#include "BIGfile/BIG_Init.h"
#include "fat_test_support.h"
#include "platform/FaultInjection.h"

namespace {

using namespace fat_test;

struct Expected {
    uint32_t key;
    std::string content;
};

// Every file reads back whole through `fat`.
void ExpectContents(BIG_cl_Fat& fat, const std::vector<Expected>& files) {
    for (const Expected& f : files) {
        const uint32_t index = fat.ul_GetFileIndex(f.key, false);
        ASSERT_NE(index, BIG_cl_Fat::kNoFile) << std::hex << f.key;
        EXPECT_EQ(Content(fat, index), f.content) << std::hex << f.key;
    }
}

std::vector<FileRecipe> Recipes(const std::vector<Expected>& files) {
    std::vector<FileRecipe> out;
    for (const Expected& f : files)
        out.push_back({"/levels", "f" + std::to_string(f.key) + ".bin", f.key, f.content});
    return out;
}

// Routes the table's copy-list lookups to `places` while it lives.
class CopyPlaces {
public:
    explicit CopyPlaces(std::vector<uint32_t> places) : m_places(std::move(places)) {
        m_saved = BIG_LibraryHooks().duplicatedPosition;
        BIG_LibraryHooks().duplicatedPosition = [this](uint32_t index) {
            return index < m_places.size() ? m_places[index] : 0xFFFFFFFFu;
        };
    }
    ~CopyPlaces() { BIG_LibraryHooks().duplicatedPosition = m_saved; }

private:
    std::vector<uint32_t> m_places;
    std::function<uint32_t(uint32_t)> m_saved;
};

// Makes `index` a copy-list file whose copies are entries [0, count) of the duplicated-files table.
void MakeCopyList(BIG_cl_Fat& fat, uint32_t index, uint32_t count) {
    BIG_st_FileEntry* e = fat.pst_GetFileEntry(index);
    e->uc_StorageFlags |= BIG_st_FileEntry::kStorageCopyList;
    e->ul_Pos = count << 27;
    fat.WriteFileEntry(index);
}

class FatDataLoss : public ::testing::Test {
protected:
    void TearDown() override { PLT::ClearFaults(); }
    TempFolder m_tmp;
};

TEST_F(FatDataLoss, AGrowthThatFailsLeavesTheOldBigfileOnDiskAndInMemory) {
    const std::vector<Expected> files = {
        {0x100, "alpha"}, {0x101, std::string(3000, 'b')}, {0x102, "gamma-content"}, {0x103, "d"}};
    const std::string path = m_tmp.File("grow.bf");
    ASSERT_TRUE(MakeBigfile(path, 4, 4, Recipes(files)));  // every file entry used
    const Bytes original = ReadAll(path);
    Messages messages;
    uint64_t failures = 0;
    for (uint64_t nth = 1;; ++nth) {
        SCOPED_TRACE(nth);
        ASSERT_LT(nth, 200u);
        WriteAll(path, original);
        BIG_cl_Fat fat;
        ASSERT_TRUE(OpenBigfile(fat, path, false));
        PLT::InjectFault(PLT::FaultOp::eWrite, nth);
        const uint32_t index = fat.ul_CreateFile("new.ini", 1000, 0, 0x200);
        const bool fired = PLT::InjectedFailures(PLT::FaultOp::eWrite) != 0;
        PLT::ClearFaults();
        if (!fired) {
            ASSERT_NE(index, BIG_cl_Fat::kNoFile);
            EXPECT_GT(fat.ul_GetFileCount(), 4u);
            break;
        }
        ++failures;
        EXPECT_EQ(index, BIG_cl_Fat::kNoFile);
        EXPECT_FALSE(fat.LastEditStatus().bOk());
        EXPECT_EQ(fat.LastEditStatus().eKind(), BIG::StatusKind::eIOError);
        // The table in memory is the one on disk: the old one, or the grown one
        // when only the new file's own entries failed.
        ExpectContents(fat, files);
        const uint32_t count = fat.ul_GetFileCount();
        const uint16_t dirs = fat.uw_GetDirCount();
        EXPECT_TRUE(count == 4u || count == 4u + BIG_cl_Fat::kFileGrowStep) << count;
        fat.File().eClose();

        BIG_cl_Fat again;
        ASSERT_TRUE(OpenBigfile(again, path, true)) << messages.All();
        EXPECT_EQ(again.ul_GetFileCount(), count);
        EXPECT_EQ(again.uw_GetDirCount(), dirs);
        EXPECT_EQ(again.ul_GetFileIndex(0x200, false), BIG_cl_Fat::kNoFile)
            << fat.LastEditStatus().ToString();
        ExpectContents(again, files);
    }
    EXPECT_GT(failures, 5u);
}

TEST_F(FatDataLoss, AReadOnlyOpenNeverGrowsOrMovesAnything) {
    const std::vector<Expected> files = {{0x100, "12345"}, {0x101, "second file"}};
    const std::string path = m_tmp.File("ro.bf");
    ASSERT_TRUE(
        MakeBigfile(path, 8, 2, {{"", "a.bin", 0x100, "12345"}, {"", "b.bin", 0x101, "second file"}}));
    // "Temp" index past the directory table, which the root and "Temp" fill.
    Patch16(path, BIG_st_FatHeader::kOffTempDirIndex, 2);
    const Bytes before = ReadAll(path);
    Messages messages;
    BIG_cl_Fat fat;
    ASSERT_TRUE(OpenBigfile(fat, path, true));
    EXPECT_EQ(fat.uw_GetDirCount(), 2u);
    EXPECT_EQ(fat.ul_GetFileCount(), 8u);
    ExpectContents(fat, files);
    EXPECT_EQ(fat.ul_GetFileSize(fat.ul_GetFileIndex(0x100, false)), 5u);
    EXPECT_TRUE(messages.bContains("not repaired in a read-only open")) << messages.All();
    fat.File().eClose();
    EXPECT_EQ(ReadAll(path), before);
}

TEST_F(FatDataLoss, CleanKeepsEveryCopyOfACopyListInPlace) {
    // Data area: gone1 | copy 1 | kept | gone2 | copy 2 | last
    const std::string path = m_tmp.File("clean.bf");
    const std::string copy(40, 'c');
    ASSERT_TRUE(MakeBigfile(path, 16, 4,
                            {{"", "gone1.bin", 0x100, std::string(100, '1')},
                             {"", "copies.bin", 0x101, copy},
                             {"", "kept.bin", 0x102, "kept content"},
                             {"", "gone2.bin", 0x103, std::string(200, '2')},
                             {"", "second.bin", 0x104, copy},
                             {"", "last.bin", 0x105, std::string(300, 'L')}}));
    BIG_cl_Fat fat;
    ASSERT_TRUE(OpenBigfile(fat, path, false));
    const uint32_t copies = fat.ul_GetFileIndex(0x101);
    const uint32_t second = fat.ul_GetFileIndex(0x104);
    CopyPlaces places({fat.FileEntry(copies).ul_Pos, fat.FileEntry(second).ul_Pos});
    MakeCopyList(fat, copies, 2);
    // The second copy's bytes now belong to the copy list only.
    ASSERT_TRUE(fat.bDeleteFile(second));
    ASSERT_TRUE(fat.bDeleteFile(fat.ul_GetFileIndex(0x100)));
    ASSERT_TRUE(fat.bDeleteFile(fat.ul_GetFileIndex(0x103)));
    fat.Clean();
    EXPECT_TRUE(fat.LastEditStatus().bOk()) << fat.LastEditStatus().ToString();
    EXPECT_EQ(Content(fat, fat.ul_GetFileIndex(0x102)), "kept content");
    EXPECT_EQ(Content(fat, fat.ul_GetFileIndex(0x105)), std::string(300, 'L'));
    fat.File().eFlush();
    fat.File().eClose();

    // Each copy still holds the content, read at its own place.
    BIG_cl_Fat again;
    ASSERT_TRUE(OpenBigfile(again, path, false));
    for (uint32_t copyIndex : {0u, 1u}) {
        SCOPED_TRACE(copyIndex);
        CopyPlaces only({BIG_ul_DuplicatedPosition(copyIndex)});  // entry 0 = this copy
        EXPECT_EQ(Content(again, again.ul_GetFileIndex(0x101)), copy);
    }
    EXPECT_EQ(Content(again, again.ul_GetFileIndex(0x102)), "kept content");
    EXPECT_EQ(Content(again, again.ul_GetFileIndex(0x105)), std::string(300, 'L'));
}

TEST_F(FatDataLoss, ASaveToCopyPlacesThatFailsPutsEveryCopyBack) {
    const std::string path = m_tmp.File("copies.bf");
    const std::string copy(64, 'o');
    ASSERT_TRUE(MakeBigfile(path, 16, 4,
                            {{"", "copies.bin", 0x101, copy},
                             {"", "between.bin", 0x102, "between"},
                             {"", "second.bin", 0x103, copy}}));
    BIG_cl_Fat fat;
    ASSERT_TRUE(OpenBigfile(fat, path, false));
    const uint32_t index = fat.ul_GetFileIndex(0x101);
    const uint32_t second = fat.ul_GetFileIndex(0x103);
    const std::vector<uint32_t> placeList = {fat.FileEntry(index).ul_Pos, fat.FileEntry(second).ul_Pos};
    CopyPlaces places(placeList);
    MakeCopyList(fat, index, 2);
    ASSERT_TRUE(fat.bDeleteFile(second));
    const uint32_t checksum = fat.FileEntry(index).ul_Checksum;
    Messages messages;

    const std::string changed(64, 'N');
    PLT::InjectFault(PLT::FaultOp::eWrite, 2);  // the first copy is written, the second fails
    fat.SaveFile(index, changed.data(), static_cast<uint32_t>(changed.size()));
    ASSERT_EQ(PLT::InjectedFailures(PLT::FaultOp::eWrite), 1u);
    PLT::ClearFaults();
    EXPECT_EQ(fat.LastEditStatus().eKind(), BIG::StatusKind::eIOError);
    EXPECT_EQ(fat.FileEntry(index).ul_Checksum, checksum);
    for (size_t c = 0; c < placeList.size(); ++c) {
        SCOPED_TRACE(c);
        CopyPlaces only({placeList[c]});
        EXPECT_EQ(Content(fat, index), copy);
    }
    // A retry is not taken for "unchanged" and reaches every copy.
    fat.SaveFile(index, changed.data(), static_cast<uint32_t>(changed.size()));
    EXPECT_TRUE(fat.LastEditStatus().bOk());
    for (size_t c = 0; c < placeList.size(); ++c) {
        CopyPlaces only({placeList[c]});
        EXPECT_EQ(Content(fat, index), changed);
    }
    EXPECT_EQ(Content(fat, fat.ul_GetFileIndex(0x102)), "between");
}

TEST_F(FatDataLoss, ASecondFileUnderAKeyAlreadyUsedIsRefused) {
    const std::string path = m_tmp.File("keys.bf");
    ASSERT_TRUE(MakeBigfile(path, 16, 4, {{"", "first.ini", 0x100, "first"}}));
    BIG_cl_Fat fat;
    ASSERT_TRUE(OpenBigfile(fat, path, false));
    Messages messages;
    EXPECT_EQ(fat.ul_CreateFile("second.ini", 0, 0, 0x100), BIG_cl_Fat::kNoFile);
    EXPECT_TRUE(messages.bContains("ul_CreateFile : Key 00000100 is already used by first.ini"))
        << messages.All();
    EXPECT_EQ(fat.LastEditStatus().eKind(), BIG::StatusKind::eInvalidArgument);
    EXPECT_EQ(fat.ul_CountUsedFiles(), 1u);
    fat.File().eClose();
    BIG_cl_Fat again;
    ASSERT_TRUE(OpenBigfile(again, path, true));
    EXPECT_EQ(again.ul_CountUsedFiles(), 1u);
    EXPECT_EQ(Content(again, again.ul_GetFileIndex(0x100)), "first");
}

}  // namespace
