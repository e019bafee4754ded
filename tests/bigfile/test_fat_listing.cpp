// The listing read (bListFilesOfType) against the full read (ReadFat) on the
// same bytes: the same entries of a type, the same failures and messages.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "BIGfile/BIG_DirEntry.h"
#include "BIGfile/BIG_Fat.h"
#include "BIGfile/BIG_FatHeader.h"
#include "BIGfile/BIG_FileEntry.h"
#include "fat_test_support.h"
#include "platform/FaultInjection.h"

namespace {

using namespace fat_test;

constexpr uint64_t kF = BIG_st_FatHeader::kEncodedSize;

struct Outcome {
    bool ok = false;
    std::vector<BIG_st_ListedFile> files;
    std::string messages;
};

// Opens `path` read-only, runs `read` (the table read under test) with the
// messages captured, then `after` once the faults are cleared. `failingRead`:
// 0, or the n-th read after the open fails.
template <class TRead, class TAfter>
Outcome Read(const std::string& path, uint64_t failingRead, TRead read, TAfter after) {
    Outcome o;
    Messages messages;
    BIG_cl_Fat fat;
    EXPECT_EQ(fat.File().eOpen(path, true, true, false), BIG::eFile_Ok);
    PLT::ClearFaults();
    if (failingRead != 0)
        PLT::InjectFault(PLT::FaultOp::eRead, failingRead);
    o.ok = read(fat, &o.files);
    EXPECT_EQ(PLT::InjectedFailures(PLT::FaultOp::eRead), failingRead != 0 ? 1u : 0u);
    PLT::ClearFaults();
    after(fat, &o);
    fat.File().eClose();
    o.messages = messages.All();
    return o;
}

Outcome FullRead(const std::string& path, uint8_t type, uint64_t failingRead = 0) {
    return Read(
        path, failingRead, [](BIG_cl_Fat& fat, std::vector<BIG_st_ListedFile>*) { return fat.ReadFat(true); },
        [type](BIG_cl_Fat& fat, Outcome* o) {
            for (uint32_t i = 0; o->ok && i < fat.ul_GetFileCount(); ++i) {
                const BIG_st_FileEntry& e = fat.FileEntry(i);
                if (e.ul_Key != 0 && e.uc_Type == type)
                    o->files.push_back(BIG_st_ListedFile{i, e.ul_Key, fat.GetFileName(i)});
            }
        });
}

Outcome Listing(const std::string& path, uint8_t type, uint64_t failingRead = 0) {
    return Read(
        path, failingRead,
        [type](BIG_cl_Fat& fat, std::vector<BIG_st_ListedFile>* files) {
            return fat.bListFilesOfType(type, files);
        },
        [](BIG_cl_Fat& fat, Outcome*) {
            // Nothing of the table is kept.
            EXPECT_EQ(fat.ul_GetFileCount(), 0u);
            EXPECT_EQ(fat.uw_GetDirCount(), 0u);
        });
}

void ExpectSame(const std::string& path, uint8_t type, const std::string& what, uint64_t failingRead = 0) {
    const Outcome full = FullRead(path, type, failingRead);
    const Outcome listed = Listing(path, type, failingRead);
    EXPECT_EQ(listed.ok, full.ok) << what;
    EXPECT_EQ(listed.messages, full.messages) << what;
    ASSERT_EQ(listed.files.size(), full.files.size()) << what;
    for (size_t i = 0; i < full.files.size(); ++i) {
        EXPECT_EQ(listed.files[i].ul_Index, full.files[i].ul_Index) << what;
        EXPECT_EQ(listed.files[i].ul_Key, full.files[i].ul_Key) << what;
        EXPECT_EQ(listed.files[i].s_Name, full.files[i].s_Name) << what;
    }
}

// Tables past one read (32768 entries), entries rewritten at random in both
// pieces: keys (some freed), types (one outside the extension table), names
// up to 60 bytes without terminator, positions beyond any bigfile.
TEST(FatListing, GivesTheEntriesOfATypeAsTheFullReadHoldsThem) {
    TempFolder tmp;
    constexpr uint32_t kFiles = 32770;
    const uint8_t types[] = {4, 4, 1, 0, 200};
    for (const uint8_t shift : {uint8_t{3}, uint8_t{5}}) {
        const std::string path = tmp.File("list" + std::to_string(shift) + ".bf");
        ASSERT_TRUE(MakeBigfile(path, kFiles, 8,
                                {{"/w", "alpha.wor", 0x100, "a"},
                                 {"/w", "beta.wor", 0x101, "b"},
                                 {"/m", "x.msh", 0x102, "c"},
                                 {"", "gamma.wor", 0x103, ""}},
                                shift));
        // The file table starts at the first aligned byte after the header.
        const uint64_t fat = (kF + (uint64_t{1} << shift) - 1) & ~((uint64_t{1} << shift) - 1);
        std::mt19937 random(shift);
        for (int n = 0; n < 60; ++n) {
            const uint32_t index = n < 4 ? kFiles - 1 - n : random() % kFiles;
            const uint64_t at = fat + uint64_t{index} * BIG_st_FileEntry::kEncodedSize;
            Patch32(path, at + BIG_st_FileEntry::kOffKey, random() % 4 == 0 ? 0 : 0x1000 + n);
            Patch8(path, at + BIG_st_FileEntry::kOffType, types[random() % std::size(types)]);
            Patch32(path, at + BIG_st_FileEntry::kOffPos, random() % 2 == 0 ? 0x40000000 + n : n);
            std::string name(random() % 61, static_cast<char>('a' + n % 26));
            name.resize(BIG_st_FileEntry::kNameSize, '\0');
            Patch(path, at + BIG_st_FileEntry::kOffName, name.data(), name.size());
        }
        for (const uint8_t type : types)
            ExpectSame(path, type, "shift " + std::to_string(shift) + ", type " + std::to_string(type));
        // The same bytes taken as a reduced table: no names, no directory table.
        Patch8(path, BIG_st_FatHeader::kOffReducedFat, 1);
        for (const uint8_t type : types)
            ExpectSame(path, type,
                       "reduced, shift " + std::to_string(shift) + ", type " + std::to_string(type));
    }
}

TEST(FatListing, FailsWhereTheFullReadFailsWithTheSameMessages) {
    TempFolder tmp;
    constexpr uint32_t kFiles = 8;
    constexpr uint16_t kDirs = 8;
    constexpr uint64_t kD = kF + kFiles * BIG_st_FileEntry::kEncodedSize;
    auto dirField = [](uint16_t dir, size_t field) {
        return kD + uint64_t{dir} * BIG_st_DirEntry::kEncodedSize + field;
    };
    struct Case {
        const char* what;
        void (*patch)(const std::string& path, uint64_t d1);
        uint64_t failingRead;  // 0: none; else the n-th read fails (1 header, 2 files, 3 directories)
    };
    const Case cases[] = {
        {"intact", [](const std::string&, uint64_t) {}, 0},
        {"counts larger than the file",
         [](const std::string& p, uint64_t) { Patch32(p, BIG_st_FatHeader::kOffFileCount, 0x10000000); }, 0},
        {"no directory table",
         [](const std::string& p, uint64_t) { Patch16(p, BIG_st_FatHeader::kOffDirCount, 0); }, 0},
        {"alignment shift 2",
         [](const std::string& p, uint64_t) { Patch8(p, BIG_st_FatHeader::kOffAlignmentShift, 2); }, 0},
        {"root missing", [](const std::string& p, uint64_t) { Patch8(p, kD + BIG_st_DirEntry::kOffName, 0); },
         0},
        {"parent loop", [](const std::string& p, uint64_t d1) { Patch16(p, d1, 1); }, 0},
        {"temp directory lost",
         [](const std::string& p, uint64_t) { Patch16(p, BIG_st_FatHeader::kOffTempDirIndex, 0); }, 0},
        {"header read fails", [](const std::string&, uint64_t) {}, 1},
        {"file table read fails", [](const std::string&, uint64_t) {}, 2},
        {"directory table read fails", [](const std::string&, uint64_t) {}, 3},
    };
    for (const Case& c : cases) {
        const std::string path = tmp.File(std::string(c.what) + ".bf");
        ASSERT_TRUE(
            MakeBigfile(path, kFiles, kDirs, {{"/a", "one.wor", 0x21, "one"}, {"/a", "two.ini", 0x22, ""}}));
        // Directory 1 ("/a") names itself as its parent.
        c.patch(path, dirField(1, BIG_st_DirEntry::kOffParent));
        ExpectSame(path, 4, c.what, c.failingRead);
    }
}

TEST(FatListing, AWritableBigfileIsRefused) {
    TempFolder tmp;
    const std::string path = tmp.File("rw.bf");
    ASSERT_TRUE(MakeBigfile(path, 8, 8, {{"", "one.wor", 0x21, "one"}}));
    Messages messages;
    BIG_cl_Fat fat;
    ASSERT_EQ(fat.File().eOpen(path, false, true, false), BIG::eFile_Ok);
    std::vector<BIG_st_ListedFile> files;
    EXPECT_FALSE(fat.bListFilesOfType(4, &files));
    EXPECT_TRUE(files.empty());
    EXPECT_TRUE(messages.bContains("must be opened read-only")) << messages.All();
    fat.File().eClose();
}

}  // namespace
