// The write side: creating, placing and saving contents, growth, clean, the
// error reporter, observers and the loaded-file views.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "BIGfile/BIG_Crc32.h"
#include "BIGfile/BIG_Endian.h"
#include "BIGfile/BIG_FBuff.h"
#include "BIGfile/BIG_Fat.h"
#include "BIGfile/BIG_FatHeader.h"
#include "ERRor/ERR_MessageBox.h"
#include "fat_test_support.h"
#include "platform/FaultInjection.h"

namespace {

using namespace fat_test;

// A new bigfile kept open for editing.
class FatWrite : public ::testing::Test {
protected:
    void Make(uint32_t files, uint16_t dirs) {
        m_path = m_tmp.File("edit.bf");
        ASSERT_EQ(m_fat.File().eCreate(m_path, false, 0xC0000000, true), BIG::eFile_Ok);
        ASSERT_TRUE(m_fat.Create(files, dirs, 0x1234, 1));
    }
    uint32_t Add(const char* name, uint32_t key, const std::string& content, uint16_t dir = 0) {
        const uint32_t index = m_fat.ul_CreateFile(name, 0, dir, key);
        EXPECT_NE(index, BIG_cl_Fat::kNoFile) << name;
        if (index != BIG_cl_Fat::kNoFile && !content.empty())
            m_fat.SaveFile(index, content.data(), static_cast<uint32_t>(content.size()));
        return index;
    }
    // Closes the edited bigfile and reads it again into `again`.
    void Reopen(BIG_cl_Fat& again) {
        m_fat.File().eFlush();
        m_fat.File().eClose();
        ASSERT_TRUE(OpenBigfile(again, m_path, false));
    }
    void TearDown() override {
        PLT::ClearFaults();
        if (m_fat.File().bIsOpen())
            m_fat.File().eClose();
    }

    TempFolder m_tmp;
    std::string m_path;
    BIG_cl_Fat m_fat;
};

TEST_F(FatWrite, CreateLaysOutRootAndTemp) {
    Make(10, 0);  // too few directories for the root and "Temp": taken as 2
    EXPECT_EQ(m_fat.uw_GetDirCount(), 2);
    EXPECT_EQ(m_fat.oGetFatPos().ull_GetByteOffset(), 128u);
    EXPECT_EQ(m_fat.oGetDirPos().ull_GetByteOffset(), 128u + 960);
    EXPECT_EQ(m_fat.oGetDataPos().ull_GetByteOffset(), 128u + 960 + 128);
    BIG_cl_Fat again;
    Reopen(again);
    EXPECT_EQ(again.uw_GetFormatNb(), 135);
    EXPECT_STREQ(again.DirEntry(0).sz_Name, "/");
    EXPECT_EQ(again.DirEntry(0).uw_Parent, BIG_cl_Fat::kNoDir);
    EXPECT_EQ(again.uw_GetTempDirIndex(), 1);
    EXPECT_STREQ(again.DirEntry(1).sz_Name, "Temp");
    EXPECT_EQ(again.ul_GetPackageWord(), 0x1234u);
    EXPECT_EQ(again.uc_GetHeaderByte(), 1);
    again.File().eClose();
}

TEST_F(FatWrite, FileNamesAndListOrder) {
    Make(8, 8);
    Messages messages;
    const std::string n59(59, 'a');
    const std::string n60(60, 'b');
    const uint32_t first = Add((n59 + ".ini").c_str(), 0x10, "x");
    EXPECT_EQ(m_fat.ul_CreateFile((n60 + ".ini").c_str(), 0, 0, 0x11), BIG_cl_Fat::kNoFile);
    EXPECT_EQ(m_fat.ul_CreateFile(n60.c_str(), 0, 0, 0x11), BIG_cl_Fat::kNoFile);
    EXPECT_EQ(messages.Count("ul_CreateFile : Invalid file name"), 2u);
    const uint32_t second = Add("second.TGA", 0x12, "y");
    EXPECT_EQ(m_fat.FileEntry(second).uc_Type, 32);
    EXPECT_EQ(m_fat.DirEntry(0).ul_FirstFile, first);
    EXPECT_EQ(m_fat.FileEntry(first).ul_NextFile, second);
    EXPECT_EQ(m_fat.FileEntry(second).ul_Flags, 0x000F0000u);
    EXPECT_EQ(m_fat.FileEntry(second).ul_State & 1, 1u);

    const uint16_t a = m_fat.uw_CreateDir("a", 0);
    const uint16_t b = m_fat.uw_CreateDir("b", 0);
    EXPECT_EQ(m_fat.DirEntry(a).uw_NextSibling, b);  // appended after the last sibling ("Temp", then a)
    EXPECT_EQ(m_fat.uw_CreateDir(std::string(53, 'c').c_str(), 0), BIG_cl_Fat::kNoDir);
    EXPECT_TRUE(messages.bContains("uw_CreateDir : Directory name is too long"));
    const uint16_t y = m_fat.uw_CreateDirPath("/A/x/y");
    EXPECT_EQ(y, m_fat.FindSubDir("y", m_fat.FindSubDir("x", a)));
    EXPECT_EQ(m_fat.uw_CreateDirPath("/a/x/y"), m_fat.uw_CreateDirPath("//A//X/Y/"));
    EXPECT_EQ(m_fat.uw_CreateDirPath("/"), 0);
    EXPECT_EQ(m_fat.GetDirPath(m_fat.uw_CreateDirPath("/a/x/y")), "//a/x/y");
}

TEST_F(FatWrite, SameContentTwiceWritesNothing) {
    Make(4, 4);
    const uint32_t index = Add("a.ini", 0x10, "content");
    PLT::ClearFaults();
    PLT::InjectFault(PLT::FaultOp::eWrite, 1);
    m_fat.SaveFile(index, "content", 7);
    EXPECT_EQ(PLT::InjectedFailures(PLT::FaultOp::eWrite), 0u);
    PLT::ClearFaults();
}

// A new entry's checksum is 0, the checksum of an empty content too: the first
// save must still store it, or the file would be left without data.
TEST_F(FatWrite, FirstSaveOfAnEmptyContentIsStored) {
    Make(4, 4);
    const uint32_t index = Add("empty.ini", 0x11, "");
    EXPECT_FALSE(m_fat.bIsFilePositionValid(index));
    m_fat.SaveFile(index, "", 0);
    EXPECT_TRUE(m_fat.bIsFilePositionValid(index));
    EXPECT_EQ(m_fat.ul_GetFileSize(index), 0u);
    BIG_cl_Fat again;
    Reopen(again);
    const uint32_t reread = again.ul_GetFileIndex(0x11, false);
    EXPECT_TRUE(again.bIsFilePositionValid(reread));
    EXPECT_EQ(again.ul_GetFileSize(reread), 0u);
    again.File().eClose();
}

TEST_F(FatWrite, GrownContentMovesToTheEndShrunkStaysInPlace) {
    Make(4, 4);
    const uint32_t a = Add("a.ini", 0x10, "0123456789");
    const uint32_t b = Add("b.ini", 0x11, "after");
    const uint32_t atA = m_fat.FileEntry(a).ul_Pos;
    m_fat.SaveFile(a, "0123", 4);
    EXPECT_EQ(m_fat.FileEntry(a).ul_Pos, atA);
    m_fat.SaveFile(a, "0123456789abcdef", 16);
    EXPECT_GT(m_fat.FileEntry(a).ul_Pos, m_fat.FileEntry(b).ul_Pos);
    BIG_cl_Fat again;
    Reopen(again);
    EXPECT_EQ(Content(again, again.ul_GetFileIndex(0x10)), "0123456789abcdef");
    EXPECT_EQ(Content(again, again.ul_GetFileIndex(0x11)), "after");
    again.File().eClose();
}

// A copier that holds the stored form (length word, then the bytes) and the
// checksum saves it as it is: the same placement, entry and bytes as SaveFile
// gives, in place or moved to the end; a form whose length word is not the
// size is refused without touching the file.
TEST_F(FatWrite, AStoredFormSavesAsSaveFileDoes) {
    Make(8, 4);
    auto stored = [](const std::string& content) {
        std::vector<uint8_t> form(content.size() + 4);
        BIG::Endian::Put32(form.data(), static_cast<uint32_t>(content.size()));
        std::memcpy(form.data() + 4, content.data(), content.size());
        return form;
    };
    const uint32_t plain = Add("plain.ini", 0x10, "");
    const uint32_t viaForm = Add("form.ini", 0x11, "");
    for (const std::string content : {"0123456789", "0123", "0123456789abcdef", "0123456789abcdef"}) {
        SCOPED_TRACE(content);
        m_fat.SaveFile(plain, content.data(), static_cast<uint32_t>(content.size()));
        const std::vector<uint8_t> form = stored(content);
        const uint32_t crc = BIG_ul_Crc32(content.data(), content.size());
        ASSERT_TRUE(
            m_fat.eSaveStoredFile(viaForm, form.data(), static_cast<uint32_t>(content.size()), crc).bOk());
        EXPECT_EQ(m_fat.FileEntry(viaForm).ul_Checksum, m_fat.FileEntry(plain).ul_Checksum);
        EXPECT_EQ(m_fat.FileEntry(viaForm).ul_Checksum, crc);
        EXPECT_EQ(Content(m_fat, viaForm), content);
    }
    const BIG_st_FileEntry before = m_fat.FileEntry(viaForm);
    std::vector<uint8_t> wrong = stored("abc");
    BIG::Endian::Put32(wrong.data(), 2);
    EXPECT_FALSE(m_fat.eSaveStoredFile(viaForm, wrong.data(), 3, BIG_ul_Crc32("abc", 3)).bOk());
    EXPECT_EQ(m_fat.FileEntry(viaForm).ul_Pos, before.ul_Pos);
    EXPECT_EQ(m_fat.FileEntry(viaForm).ul_Checksum, before.ul_Checksum);
    BIG_cl_Fat again;
    Reopen(again);
    EXPECT_EQ(Content(again, again.ul_GetFileIndex(0x11)), "0123456789abcdef");
    again.File().eClose();
}

TEST_F(FatWrite, GrowthAddsEntriesAndKeepsContents) {
    struct Case {
        uint16_t dirs;
        int extraDirs;  // directories created besides root and "Temp"
        uint16_t grownDirs;
    };
    for (const Case& c : {Case{8, 0, 8}, Case{4, 2, 8}}) {
        SCOPED_TRACE(c.dirs);
        TempFolder tmp;
        const std::string path = tmp.File("grow.bf");
        BIG_cl_Fat fat;
        ASSERT_EQ(fat.File().eCreate(path, false, 0xC0000000, true), BIG::eFile_Ok);
        ASSERT_TRUE(fat.Create(4, c.dirs, 0, 1));
        for (int d = 0; d < c.extraDirs; ++d)
            ASSERT_NE(fat.uw_CreateDir(("d" + std::to_string(d)).c_str(), 0), BIG_cl_Fat::kNoDir);
        std::vector<std::string> contents;
        for (uint32_t i = 0; i < 5; ++i) {
            contents.push_back(std::string(100 + i * 300, static_cast<char>('a' + i)));
            const uint32_t index =
                fat.ul_CreateFile(("f" + std::to_string(i) + ".ini").c_str(), 0, 0, 0x100 + i);
            ASSERT_NE(index, BIG_cl_Fat::kNoFile);
            fat.SaveFile(index, contents.back().data(), static_cast<uint32_t>(contents.back().size()));
        }
        EXPECT_EQ(fat.ul_GetFileCount(), 4u + 131072u);
        EXPECT_EQ(fat.uw_GetDirCount(), c.grownDirs);
        fat.File().eClose();
        BIG_cl_Fat again;
        ASSERT_TRUE(OpenBigfile(again, path, true));
        EXPECT_EQ(again.ul_GetFileCount(), 4u + 131072u);
        for (uint32_t i = 0; i < 5; ++i)
            EXPECT_EQ(Content(again, again.ul_GetFileIndex(0x100 + i)), contents[i]) << i;
        again.File().eClose();
    }
}

// A growth rewrites the whole tables, zero entries from a shared block and the
// others through a bounded buffer: the bytes must be those of writing every
// entry on its own. Zero stretches short and long, at the buffer's edges (682
// file entries, 1023 directory entries) and longer than the zero block.
TEST_F(FatWrite, WholeTableRewriteMatchesEntryByEntryWrites) {
    struct Case {
        uint32_t files;
        uint16_t dirs;
        bool growDirs;  // else the file table grows
    };
    for (const Case& c :
         {Case{682, 8, false}, Case{683, 1030, true}, Case{1400, 1023, true}, Case{2047, 4, false}}) {
        SCOPED_TRACE(c.files);
        TempFolder tmp;
        const std::string path = tmp.File("whole.bf");
        BIG_cl_Fat fat;
        fat.File().EnablePrivateOutput();  // the entry-by-entry writes are held, not one system call each
        ASSERT_EQ(fat.File().eCreate(path, false, 0xC0000000, true), BIG::eFile_Ok);
        ASSERT_TRUE(fat.Create(c.files, c.dirs, 0, 1));
        // Local keys are never stored: their entries are zeros on disk.
        auto zero = [](uint32_t i) {
            return (i >= 100 && i < 160) || i == 3 || i == 5 || i == 681 || i == 682 || i == 1022 ||
                   i == 1023;
        };
        for (uint32_t i = 0; i < c.files; ++i) {
            const uint32_t key = zero(i) ? 0xFEF00000 + i : 0x1000 + i;
            const uint32_t index = fat.ul_CreateFile(("f" + std::to_string(i) + ".ini").c_str(), i, 0, key);
            ASSERT_EQ(index, i);
            if (i % 7 == 0)
                fat.SaveFile(index, "content", 7);
        }
        ASSERT_TRUE(fat.bDeleteFile(30));
        const uint32_t filesBefore = fat.ul_GetFileCount();
        const uint16_t dirsBefore = fat.uw_GetDirCount();
        if (c.growDirs) {
            for (int d = 0; fat.uw_GetDirCount() == dirsBefore; ++d)
                ASSERT_NE(fat.uw_CreateDir(("d" + std::to_string(d)).c_str(), 0), BIG_cl_Fat::kNoDir);
        } else {
            for (uint32_t i = 0; fat.ul_GetFileCount() == filesBefore; ++i)
                ASSERT_NE(fat.ul_CreateFile(("g" + std::to_string(i) + ".ini").c_str(), 0, 0, 0x9000 + i),
                          BIG_cl_Fat::kNoFile);
        }
        // The tables (the segment header's counters move with every write).
        const uint64_t from = kHeaderAt + fat.oGetFatPos().ull_GetByteOffset();
        const uint64_t to = kHeaderAt + fat.oGetDataPos().ull_GetByteOffset();
        auto tables = [&]() {
            EXPECT_EQ(fat.File().eFlush(), BIG::eFile_Ok);
            const Bytes all = ReadAll(path);
            EXPECT_GE(all.size(), to);
            return Bytes(all.begin() + static_cast<std::ptrdiff_t>(std::min<uint64_t>(from, all.size())),
                         all.begin() + static_cast<std::ptrdiff_t>(std::min<uint64_t>(to, all.size())));
        };
        const Bytes whole = tables();

        for (uint32_t i = 0; i < fat.ul_GetFileCount(); ++i)
            ASSERT_TRUE(fat.eWriteFileEntry(i).bOk()) << i;
        for (uint16_t d = 0; d < fat.uw_GetDirCount(); ++d)
            ASSERT_TRUE(fat.eWriteDirEntry(d).bOk()) << d;
        const Bytes single = tables();
        ASSERT_EQ(whole.size(), to - from);
        ASSERT_EQ(whole.size(), single.size());
        const auto differ = std::mismatch(whole.begin(), whole.end(), single.begin());
        EXPECT_TRUE(differ.first == whole.end())
            << "first difference at byte " << (differ.first - whole.begin());
        fat.File().eClose();
    }
}

TEST_F(FatWrite, DirectoryGrowthAndLimits) {
    Make(4, 2);
    const uint16_t d = m_fat.uw_CreateDir("more", 0);  // root and Temp fill the table
    EXPECT_NE(d, BIG_cl_Fat::kNoDir);
    EXPECT_EQ(m_fat.uw_GetDirCount(), 4);
    EXPECT_EQ(m_fat.ul_GetFileCount(), 4u);  // files are not three-quarters used

    BIG_cl_Fat big;
    TempFolder tmp;
    ASSERT_EQ(big.File().eCreate(tmp.File("full.bf"), false, 0xC0000000, true), BIG::eFile_Ok);
    ASSERT_TRUE(big.Create(1, 0xFFFF, 0, 1));
    Messages messages;
    uint32_t files = 7;
    uint16_t dirs = 7;
    big.ComputeNewFileAndDirCount(1, &files, &dirs);
    EXPECT_EQ(files, 0u);
    EXPECT_EQ(dirs, 0);
    EXPECT_TRUE(messages.bContains("couldn't increase bigfile size, internal limit reached"));
    big.ComputeNewFileAndDirCount(0, &files, &dirs);
    EXPECT_EQ(files, 1u + 131072u);
    EXPECT_EQ(dirs, 0xFFFF);
    big.File().eClose();
}

// A content is read with its length word in one read when it fits in the
// first 4 KiB, in two otherwise; a read never runs past its segment's end.
TEST_F(FatWrite, ContentsAroundTheReadAheadSizeAndSegmentEndsLoadWhole) {
    m_path = m_tmp.File("segments.bf");
    ASSERT_EQ(m_fat.File().eCreate(m_path, false, 64 * 1024, true), BIG::eFile_Ok);
    ASSERT_TRUE(m_fat.Create(32, 4, 0x1234, 1));
    const uint32_t sizes[] = {1, 4091, 4092, 4093, 9000, 30000, 4092, 50000, 2, 4096, 61000, 3};
    std::vector<std::string> contents;
    std::vector<uint32_t> indexes;
    for (uint32_t n = 0; n < std::size(sizes); ++n) {
        std::string content(sizes[n], '\0');
        for (uint32_t i = 0; i < sizes[n]; ++i)
            content[i] = static_cast<char>('a' + (i * 7 + n) % 26);
        contents.push_back(content);
        indexes.push_back(Add(("f" + std::to_string(n) + ".bin").c_str(), 0x100 + n, content));
    }
    BIG_cl_Fat again;
    Reopen(again);
    ASSERT_GT(again.File().uw_GetSegmentCount(), 2u);
    for (size_t n = 0; n < contents.size(); ++n) {
        SCOPED_TRACE(sizes[n]);
        EXPECT_EQ(again.ul_GetFileSize(indexes[n]), sizes[n]);
        EXPECT_TRUE(Content(again, indexes[n]) == contents[n]);
    }
    again.File().eClose();
}

TEST_F(FatWrite, WriteFaultReachesTheErrorReporter) {
    Make(4, 4);
    const uint32_t index = Add("a.ini", 0x10, "");
    Messages messages(true);
    ERR_SetMainWindow(true);
    PLT::ClearFaults();
    PLT::InjectFault(PLT::FaultOp::eWrite, 1);
    m_fat.SaveFile(index, "content", 7);
    PLT::ClearFaults();
    ERR_SetMainWindow(false);
    EXPECT_EQ(m_fat.LastEditStatus().eKind(), BIG::StatusKind::eIOError);
    EXPECT_TRUE(messages.bContains("Write error. Maybe the disk is full")) << messages.All();
    // The failed save is not taken for stored: saving again writes it.
    EXPECT_EQ(m_fat.FileEntry(index).ul_Checksum, 0u);
    m_fat.SaveFile(index, "content", 7);
    EXPECT_EQ(Content(m_fat, index), "content");
}

TEST_F(FatWrite, CleanCompactsAfterDeletions) {
    Make(8, 4);
    const std::vector<std::string> contents = {std::string(3000, 'a'), std::string(5000, 'b'), "ccc",
                                               std::string(7000, 'd')};
    std::vector<uint32_t> index;
    for (uint32_t i = 0; i < contents.size(); ++i)
        index.push_back(Add(("f" + std::to_string(i) + ".ini").c_str(), 0x200 + i, contents[i]));
    const uint64_t before = m_fat.File().oGetFileContentEnd().ull_GetByteOffset();
    ASSERT_TRUE(m_fat.bDeleteFile(index[0]));
    ASSERT_TRUE(m_fat.bDeleteFile(index[2]));
    EXPECT_EQ(m_fat.ul_GetFileIndex(0x200, false), BIG_cl_Fat::kNoFile);
    Messages messages;
    m_fat.Clean();
    EXPECT_EQ(messages.Count(), 0u) << messages.All();
    const uint64_t after = m_fat.File().oGetFileContentEnd().ull_GetByteOffset();
    EXPECT_LE(after, before - 3000);
    EXPECT_EQ(m_fat.FileEntry(index[1]).ul_Pos, 0u);
    BIG_cl_Fat again;
    Reopen(again);
    EXPECT_EQ(again.ul_CountUsedFiles(), 2u);
    EXPECT_EQ(Content(again, again.ul_GetFileIndex(0x201)), contents[1]);
    EXPECT_EQ(Content(again, again.ul_GetFileIndex(0x203)), contents[3]);
    std::vector<uint32_t> listed;
    again.ListFilesInSubtree(0, &listed);
    EXPECT_EQ(listed.size(), 2u);
    again.File().eClose();
}

TEST_F(FatWrite, CleanDropsACorruptContent) {
    Make(8, 4);
    const uint32_t a = Add("a.ini", 0x10, "aaaa");
    const uint32_t b = Add("b.ini", 0x11, "bbbb");
    m_fat.pst_GetFileEntry(b)->ul_Pos = m_fat.FileEntry(a).ul_Pos;  // both claim the same bytes
    Messages messages;
    m_fat.Clean();
    EXPECT_TRUE(messages.bContains("The file //b.ini is corrupted. Its content has been deleted"))
        << messages.All();
    EXPECT_EQ(m_fat.FileEntry(b).ul_Pos, 0xFFFFFFFFu);
    EXPECT_EQ(Content(m_fat, a), "aaaa");
}

TEST_F(FatWrite, SaveBufferPutsTheReferenceTableFirst) {
    Make(4, 4);
    const uint32_t index = Add("a.ini", 0x10, "");
    m_fat.PrepareSaveBuffer(8);
    m_fat.AppendToSaveBuffer("data", 4);
    m_fat.AddSaveReference(0x77);
    m_fat.AddSaveReference(0x88);
    m_fat.SaveBufferInFile(index);
    BIG::FBuff* view = nullptr;
    m_fat.LoadFile(index, &view);
    ASSERT_NE(view, nullptr);
    ASSERT_EQ(view->ul_GetSize(), 16u);
    const uint8_t want[16] = {2, 0, 0, 0, 0x77, 0, 0, 0, 0x88, 0, 0, 0, 'd', 'a', 't', 'a'};
    EXPECT_EQ(std::memcmp(view->pc_GetData(), want, 16), 0);
    view->Release();

    m_fat.AddSaveReference(0x99);
    m_fat.SaveFileTwoParts(index, "body", 4, "head", 4);
    EXPECT_EQ(Content(m_fat, index), std::string("\x01\0\0\0\x99\0\0\0headbody", 16));
}

TEST_F(FatWrite, LinkFilesAndLoadedViews) {
    Make(8, 4);
    const uint32_t link = Add("l.lay", 0x10, "");
    m_fat.SaveLinkFile(link, 1, 2, 3, 4);
    EXPECT_EQ(m_fat.FileEntry(link).ul_Flags & 0x000F0000, 0u);
    uint32_t keys[4];
    m_fat.GetLinkFileKeys(link, keys);
    EXPECT_EQ(std::vector<uint32_t>(keys, keys + 4), (std::vector<uint32_t>{1, 2, 3, 4}));
    const uint32_t plain = Add("p.ini", 0x11, "not a link");
    m_fat.GetLinkFileKeys(plain, keys);
    EXPECT_EQ(keys[0], 0xFFFFFFFFu);

    // A view stays valid while later loads need a larger buffer.
    const uint32_t large = Add("big.ini", 0x12, std::string(100000, 'z'));
    BIG::FBuff* first = nullptr;
    m_fat.LoadFile(plain, &first);
    ASSERT_NE(first, nullptr);
    BIG::FBuff* second = nullptr;
    m_fat.LoadFile(large, &second);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(first->pc_GetData()), first->ul_GetSize()), "not a link");
    EXPECT_EQ(second->ul_GetSize(), 100000u);
    m_fat.LoadFile(BIG_cl_Fat::kNoFile, &second);  // releases the old view, hands out none
    EXPECT_EQ(second, nullptr);
    first->Release();
}

TEST_F(FatWrite, SaveModesSetTheirMarks) {
    Make(8, 4);
    const uint32_t a = Add("a.ini", 0x10, "one");
    m_fat.SetSaveMode(1);
    m_fat.SaveFile(a, "two", 3);
    ASSERT_EQ(m_fat.GetFileCRCs().size(), 1u);
    const BIG_st_FileCRC record = m_fat.GetFileCRCs()[0];
    EXPECT_EQ(record.ul_FileIndex, a);
    EXPECT_EQ(record.ul_Pending, 1u);

    m_fat.SetSaveMode(2);
    m_fat.SaveFile(a, "three", 5);
    EXPECT_EQ(m_fat.FileEntry(a).ul_State >> 24, 0x10u);
    EXPECT_EQ(m_fat.GetFileCRCs()[0].ul_Pending, 0u);
    m_fat.SetFileCheckCallback([](uint32_t) { return true; });
    m_fat.SaveFile(a, "four", 4);
    EXPECT_EQ(m_fat.FileEntry(a).ul_State >> 24, 0x08u);
    // Back to the content before the first save: the state returns, the file equals its reference.
    m_fat.SaveFile(a, "one", 3);
    EXPECT_EQ(m_fat.FileEntry(a).ul_State, record.ul_OldState);
    EXPECT_NE(m_fat.FileEntry(a).ul_Flags & BIG_st_FileEntry::kFlagSameAsReference, 0u);

    m_fat.SetSaveMode(0);
    m_fat.SetLocalChange(true);
    const uint32_t b = Add("b.ini", 0x11, "");
    EXPECT_EQ(m_fat.FileEntry(b).ul_State >> 24, 0x20u);
    m_fat.SetLocalChange(false);
    m_fat.SaveFile(b, "b", 1);
    EXPECT_EQ(m_fat.FileEntry(b).ul_State >> 24, 0u);
}

struct Event {
    uint16_t dir;
    uint32_t file;
    uint32_t key;
    uint32_t event;
};

void Record(void* user, uint16_t dir, uint32_t file, uint32_t key, uint32_t event) {
    static_cast<std::vector<Event>*>(user)->push_back({dir, file, key, event});
}

TEST_F(FatWrite, WarnCallbacksSeeCreationsAndSaves) {
    Make(8, 4);
    std::vector<Event> events;
    const int slot = m_fat.AddWarnCallback(&Record, &events);
    ASSERT_EQ(slot, 0);
    const uint16_t d = m_fat.uw_CreateDir("d", 0);
    const uint32_t f = Add("f.ini", 0x10, "x", d);
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].event, 0u);
    EXPECT_EQ(events[0].dir, d);
    EXPECT_EQ(events[1].event, 3u);
    EXPECT_EQ(events[1].file, f);
    EXPECT_EQ(events[2].event, 4u);
    EXPECT_EQ(events[2].key, 0x10u);
    m_fat.RemoveWarnCallback(slot);
    Add("g.ini", 0x11, "y", d);
    EXPECT_EQ(events.size(), 3u);
}

TEST_F(FatWrite, PackageIdGoesIntoTheHeader) {
    Make(4, 4);
    m_fat.SetPackageId(0xBEEF);
    EXPECT_EQ(m_fat.ul_GetPackageWord(), 0xBEEF1234u);
    BIG_cl_Fat again;
    Reopen(again);
    EXPECT_EQ(again.ul_GetPackageWord(), 0xBEEF1234u);
    again.File().eClose();
}

// Local keys are never written; the stored chain of their directory skips them,
// so a reader never follows a link into an entry it does not have.
TEST_F(FatWrite, LocalKeysAreNeverStored) {
    Make(8, 4);
    Add("kept.ini", 0x10, "k");
    Add("local.ini", 0xFEF00001, "l");
    Add("last.ini", 0x12, "z");
    BIG_cl_Fat again;
    Reopen(again);
    EXPECT_EQ(again.ul_GetFileIndex(0xFEF00001, false), BIG_cl_Fat::kNoFile);
    std::vector<uint32_t> listed;
    again.ListFilesInSubtree(0, &listed);
    std::vector<uint32_t> keys;
    for (uint32_t i : listed)
        keys.push_back(again.ul_GetFileKey(i));
    EXPECT_EQ(keys, (std::vector<uint32_t>{0x10, 0x12}));
    again.File().eClose();
}

}  // namespace
