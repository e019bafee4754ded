// The set stamp of a reproducible bigfile: a hash of its own header and
// tables. The same tables give the same bytes in every segment file whatever
// the clock says; other tables give another stamp; without it the stamp stays
// the counter's.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "BIGfile/BIG_Endian.h"
#include "BIGfile/BIG_Fat.h"
#include "BIGfile/BIG_File.h"
#include "BIGfile/BIG_SegmentHeader.h"
#include "fat_test_support.h"
#include "platform/Clock.h"

namespace {

using namespace fat_test;

// Small segments, so that the bigfile spans several segment files.
constexpr uint32_t kSegmentSize = 4096;
constexpr uint32_t kFiles = 100;
constexpr int64_t kOneDay = 86400;

struct Build {
    int64_t clockShift = 0;
    bool derive = true;
    std::string changedContent = {};  // not empty: the first file holds this instead
    bool writeAfterStamp = false;
};

// Builds a bigfile of kFiles files with fixed times at `path`, the clocks
// moved by `clockShift` for the whole build.
void MakeStamped(const std::string& path, const Build& b) {
    PLT::ShiftClocksForTests(b.clockShift);
    BIG_cl_Fat fat;
    ASSERT_EQ(fat.File().eCreate(path, false, kSegmentSize, true), BIG::eFile_Ok);
    ASSERT_TRUE(fat.Create(kFiles + 4, 8, 0, 1));
    const uint16_t dir = fat.uw_CreateDirPath("/levels");
    for (uint32_t k = 0; k < kFiles; ++k) {
        const std::string name = "file" + std::to_string(k) + ".ini";
        std::string content = std::string(4, '\0') + "content of " + name;
        if (k == 0 && !b.changedContent.empty())
            content = b.changedContent;
        const uint32_t index = fat.ul_CreateFile(name.c_str(), 1600000000 + k, dir, 0x100 + k);
        ASSERT_NE(index, BIG_cl_Fat::kNoFile);
        fat.SaveFile(index, content.data(), static_cast<uint32_t>(content.size()));
        // Saving stamps the clock's time; the writers put the source's back.
        fat.pst_GetFileEntry(index)->ul_Time = 1600000000 + k;
        fat.WriteFileEntry(index);
    }
    fat.WriteFatHeader();
    if (b.derive) {
        ASSERT_TRUE(fat.eDeriveSetStamp().bOk());
    }
    if (b.writeAfterStamp) {
        const uint32_t index = fat.ul_CreateFile("late.ini", 1, dir, 0x900);
        fat.SaveFile(index, "late", 4);
    }
    EXPECT_EQ(fat.File().eFlush(), BIG::eFile_Ok);
    EXPECT_EQ(fat.File().eClose(), BIG::eFile_Ok);
    PLT::ShiftClocksForTests(0);
}

// Every segment file of the bigfile at `path`, in index order.
std::vector<Bytes> Segments(const std::string& path) {
    std::vector<Bytes> out{ReadAll(path)};
    for (unsigned k = 1; fs::exists(BIG::File::SegmentFileName(path, k)); ++k)
        out.push_back(ReadAll(BIG::File::SegmentFileName(path, k)));
    return out;
}

uint64_t StampOf(const Bytes& segment) {
    EXPECT_GE(segment.size(), BIG_st_SegmentHeader::kEncodedSize);
    return BIG::Endian::Get64(segment.data() + BIG_st_SegmentHeader::kOffSetStamp);
}

class SetStamp : public ::testing::Test {
protected:
    void TearDown() override { PLT::ShiftClocksForTests(0); }
    TempFolder m_tmp;
};

TEST_F(SetStamp, TheSameTablesGiveTheSameBytesInEverySegmentWhateverTheClock) {
    const std::string a = m_tmp.File("a.bf");
    const std::string b = m_tmp.File("b.bf");
    MakeStamped(a, Build{});
    MakeStamped(b, Build{.clockShift = kOneDay});
    const std::vector<Bytes> segmentsA = Segments(a);
    const std::vector<Bytes> segmentsB = Segments(b);
    ASSERT_GE(segmentsA.size(), 2u) << "the contents should span several segment files";
    ASSERT_EQ(segmentsA.size(), segmentsB.size());
    for (size_t k = 0; k < segmentsA.size(); ++k) {
        EXPECT_TRUE(segmentsA[k] == segmentsB[k]) << "segment " << k;
        EXPECT_EQ(StampOf(segmentsA[k]), StampOf(segmentsA[0])) << "segment " << k;
    }
    // A set that opens: every header carries the one stamp.
    BIG_cl_Fat again;
    ASSERT_TRUE(OpenBigfile(again, a, true));
    EXPECT_EQ(again.File().ull_GetSetStamp(), StampOf(segmentsA[0]));
    EXPECT_EQ(Content(again, again.ul_GetFileIndex(0x105, false)),
              std::string(4, '\0') + "content of file5.ini");
    again.File().eClose();
}

TEST_F(SetStamp, OtherTablesGiveAnotherStampAndALaterWriteKeepsIt) {
    const std::string a = m_tmp.File("a.bf");
    const std::string changed = m_tmp.File("changed.bf");
    const std::string late = m_tmp.File("late.bf");
    MakeStamped(a, Build{});
    MakeStamped(changed, Build{.changedContent = std::string(4, '\0') + "another content"});
    MakeStamped(late, Build{.writeAfterStamp = true});
    const uint64_t stamp = StampOf(Segments(a)[0]);
    EXPECT_NE(StampOf(Segments(changed)[0]), stamp);
    // The write after the stamp changed the tables but not the stamp: it
    // stays fixed until the container is closed.
    for (const Bytes& segment : Segments(late))
        EXPECT_EQ(StampOf(segment), stamp);
    BIG_cl_Fat again;
    ASSERT_TRUE(OpenBigfile(again, late, true));
    EXPECT_EQ(Content(again, again.ul_GetFileIndex(0x900, false)), "late");
    again.File().eClose();
}

TEST_F(SetStamp, WithoutItTheStampIsTheCounters) {
    const std::string a = m_tmp.File("a.bf");
    const std::string b = m_tmp.File("b.bf");
    MakeStamped(a, Build{.derive = false});
    MakeStamped(b, Build{.clockShift = kOneDay, .derive = false});
    const std::vector<Bytes> segmentsA = Segments(a);
    const std::vector<Bytes> segmentsB = Segments(b);
    ASSERT_EQ(segmentsA.size(), segmentsB.size());
    EXPECT_GE(StampOf(segmentsB[0]) - StampOf(segmentsA[0]), uint64_t{kOneDay} * PLT::HighResFrequency());
    // Everything but the stamp is the same.
    for (size_t k = 0; k < segmentsA.size(); ++k) {
        Bytes masked = segmentsB[k];
        std::copy_n(segmentsA[k].begin() + BIG_st_SegmentHeader::kOffSetStamp, 8,
                    masked.begin() + BIG_st_SegmentHeader::kOffSetStamp);
        EXPECT_TRUE(masked == segmentsA[k]) << "segment " << k;
    }
}

TEST_F(SetStamp, AClosedContainerHasNoStampToDerive) {
    BIG_cl_Fat fat;
    Messages messages;
    EXPECT_FALSE(fat.eDeriveSetStamp().bOk());
    EXPECT_EQ(fat.File().eFixSetStamp(1), BIG::eFile_NotOpen);
}

}  // namespace
