// The segmented container: segment headers, segment files, reads and writes
// across the address space, truncation, and failure paths.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "BIGfile/BIG_Endian.h"
#include "BIGfile/BIG_File.h"
#include "BIGfile/BIG_SegmentHeader.h"
#include "ERRor/ERR_Assert.h"
#include "ERRor/ERR_Log.h"
#include "ERRor/ERR_MessageBox.h"
#include "platform/FaultInjection.h"
#include "tests/support/LogCapture.h"
#include "platform/Process.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

// Assertion and message-box lines.
struct ContainerMessages : test_support::LogCapture {
    ContainerMessages() : LogCapture({ERR_Level_Assert, ERR_Level_Error}) {}
};

Bytes ReadAll(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteAll(const fs::path& p, const Bytes& bytes) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

BIG_st_SegmentHeader HeaderOf(const fs::path& p) {
    const Bytes bytes = ReadAll(p);
    BIG_st_SegmentHeader h;
    EXPECT_TRUE(BIG_st_SegmentHeader::bDecode(bytes.data(), bytes.size(), &h)) << p;
    return h;
}

// Patterned content so that misplaced bytes show.
Bytes Pattern(size_t size, uint8_t seed) {
    Bytes b(size);
    for (size_t i = 0; i < size; ++i)
        b[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 8));
    return b;
}

class ContainerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ERR_SetInteractive(false);
        ERR_SetMainWindow(true);
        PLT::ClearFaults();
        m_dir = fs::temp_directory_path() /
                ("container_test_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "_" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name() + "_" +
                 std::to_string(PLT::CurrentProcessId()));
        fs::remove_all(m_dir);
        fs::create_directories(m_dir);
    }
    void TearDown() override {
        PLT::ClearFaults();
        ERR_SetMainWindow(false);
        fs::remove_all(m_dir);
    }
    std::string Path(const std::string& name) const { return (m_dir / name).string(); }

    // A container of `chunks` writes of `chunkSize` bytes, appended end to end,
    // with a small maximum segment size so that it spreads over several files.
    void BuildSegmented(BIG::File* file, const std::string& path, uint32_t maxSize, size_t chunks,
                        size_t chunkSize, std::vector<Bytes>* written) {
        ASSERT_EQ(file->eCreate(path, false, maxSize, true), 0u);
        for (size_t i = 0; i < chunks; ++i) {
            Bytes data = Pattern(chunkSize, static_cast<uint8_t>(i));
            const BIG_POS at = file->oGetFileContentEnd();
            ASSERT_EQ(file->eWrite(at, data.data(), static_cast<uint32_t>(data.size())), 0u) << i;
            written->push_back(std::move(data));
        }
    }

    fs::path m_dir;
    ContainerMessages m_messages;
};

// ---------------------------------------------------------------- header codec

TEST(SegmentHeaderCodec, EncodesExactBytes) {
    BIG_st_SegmentHeader h;
    h.uc_SegmentCount = 3;
    h.uc_SegmentIndex = 2;
    h.ul_MaxSegmentSize = 0xC0000000;
    h.ul_Reserved = 0;
    h.ull_ContentBase = 0x800;
    h.ull_Start = 0x0000000123456780ull;
    h.ull_End = 0x0000000223456788ull;
    h.ull_SetStamp = 0x1122334455667788ull;
    uint8_t out[48];
    h.EncodeTo(out);
    const uint8_t expected[48] = {
        'M',  'B',  'I',  'G',  0x01, 0x03, 0x02, 0x00,  // magic, version, count, index, reserved
        0x00, 0x00, 0x00, 0xC0, 0x00, 0x00, 0x00, 0x00,  // max segment size, reserved
        0x00, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // content base
        0x80, 0x67, 0x45, 0x23, 0x01, 0x00, 0x00, 0x00,  // start
        0x88, 0x67, 0x45, 0x23, 0x02, 0x00, 0x00, 0x00,  // end
        0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11,  // set stamp
    };
    EXPECT_EQ(0, std::memcmp(out, expected, sizeof out));

    BIG_st_SegmentHeader back;
    ASSERT_TRUE(BIG_st_SegmentHeader::bDecode(out, sizeof out, &back));
    EXPECT_EQ(back.uc_SegmentCount, 3);
    EXPECT_EQ(back.uc_SegmentIndex, 2);
    EXPECT_EQ(back.ul_MaxSegmentSize, 0xC0000000u);
    EXPECT_EQ(back.ull_ContentBase, 0x800u);
    EXPECT_EQ(back.ull_Start, h.ull_Start);
    EXPECT_EQ(back.ull_End, h.ull_End);
    EXPECT_EQ(back.ull_SetStamp, h.ull_SetStamp);
}

TEST(SegmentHeaderCodec, RejectsShortWrongMagicAndVersion) {
    BIG_st_SegmentHeader h;
    h.uc_SegmentCount = 1;
    uint8_t good[48];
    h.EncodeTo(good);
    BIG_st_SegmentHeader out;
    EXPECT_FALSE(BIG_st_SegmentHeader::bDecode(good, 47, &out));
    EXPECT_FALSE(BIG_st_SegmentHeader::bDecode(nullptr, 48, &out));
    for (size_t offset : {size_t{0}, size_t{3}, size_t{4}}) {
        uint8_t bad[48];
        std::memcpy(bad, good, sizeof bad);
        ++bad[offset];
        EXPECT_FALSE(BIG_st_SegmentHeader::bDecode(bad, sizeof bad, &out)) << offset;
    }
}

TEST(SegmentNaming, ReplacesTheExtensionOfTheFileName) {
    const struct {
        const char* path;
        unsigned index;
        const char* expected;
    } cases[] = {
        {"world.bf", 1, "world.big1"},
        {"/data/world.bf", 12, "/data/world.big12"},
        {"a.b.c", 2, "a.b.big2"},
        {"/data/v1.2/world", 1, "/data/v1.2/world.big1"},  // the dot belongs to a folder
        {"noext", 255, "noext.big255"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(BIG::File::SegmentFileName(c.path, c.index), c.expected);
}

// ---------------------------------------------------------------- create / write / read

TEST_F(ContainerTest, CreateWritesTheFirstHeader) {
    for (const bool small : {true, false}) {
        SCOPED_TRACE(small);
        BIG::File file;
        const std::string path = Path(small ? "small.bf" : "large.bf");
        ASSERT_EQ(file.eCreate(path, false, 0xC0000000, small), 0u);
        ASSERT_EQ(file.eClose(), 0u);
        const BIG_st_SegmentHeader h = HeaderOf(path);
        EXPECT_EQ(h.uc_SegmentCount, 1);
        EXPECT_EQ(h.uc_SegmentIndex, 0);
        EXPECT_EQ(h.ul_MaxSegmentSize, 0xC0000000u);
        EXPECT_EQ(h.ull_ContentBase, small ? 2048u : 65536u);
        EXPECT_EQ(h.ull_Start, 0u);
        EXPECT_EQ(h.ull_End, 0u);
        EXPECT_EQ(h.ull_SetStamp, file.ull_GetSetStamp());
    }
}

TEST_F(ContainerTest, AppendPadsWithZerosToTheNext2048Boundary) {
    BIG::File file;
    const std::string path = Path("pad.bf");
    ASSERT_EQ(file.eCreate(path, false, 0xC0000000, true), 0u);
    // Dirty the area the padding must cover, to see that zeros really get written.
    const Bytes junk(4096, 0xEE);
    ASSERT_TRUE(PLT::WriteAt(file.GetSegment(0).h_File, 2048, junk.data(), junk.size()));
    const Bytes ten = Pattern(10, 1);
    ASSERT_EQ(file.eWrite(BIG_POS(0), ten.data(), 10), 0u);
    EXPECT_EQ(file.oGetFileContentEnd().ull_GetByteOffset(), 16u);  // rounded to the alignment

    // A second append at the new end starts at local 2048 + 16.
    const Bytes more = Pattern(2040, 2);
    ASSERT_EQ(file.eWrite(file.oGetFileContentEnd(), more.data(), 2040), 0u);
    EXPECT_EQ(file.oGetFileContentEnd().ull_GetByteOffset(), 2056u);
    ASSERT_EQ(file.eClose(), 0u);

    const Bytes disk = ReadAll(path);
    ASSERT_GE(disk.size(), 2048u + 4096u);
    EXPECT_TRUE(std::equal(ten.begin(), ten.end(), disk.begin() + 2048));
    EXPECT_EQ(std::count(disk.begin() + 2058, disk.begin() + 2064, 0), 6);  // gap up to the aligned end
    EXPECT_TRUE(std::equal(more.begin(), more.end(), disk.begin() + 2064));
    // Second write: local 2064 + 2040 = 4104, padded up to 6144 with zeros.
    EXPECT_EQ(std::count(disk.begin() + 4104, disk.begin() + 6144, 0), 6144 - 4104);
    EXPECT_EQ(HeaderOf(path).ull_End, 2056u);
}

// With an alignment unit larger than 2048 bytes the segment's end is rounded
// to that unit; the file must hold up to it, or the next open refuses it.
TEST_F(ContainerTest, AppendsUnderLargeAlignmentsLeaveFilesThatHoldTheirClaims) {
    for (const uint8_t shift : {11, 12, 14, 16}) {
        SCOPED_TRACE(static_cast<int>(shift));
        const std::string path = Path("shift" + std::to_string(shift) + ".bf");
        const Bytes ten = Pattern(10, 1);
        const Bytes more = Pattern(5000, 2);
        BIG_POS second;
        {
            BIG::File file;
            ASSERT_EQ(file.eCreate(path, false, 0xC0000000, true), 0u);
            file.SetAlignmentShift(shift);
            ASSERT_EQ(file.eWrite(BIG_POS(0), ten.data(), 10), 0u);
            second = file.oGetFileContentEnd();
            ASSERT_EQ(file.eWrite(second, more.data(), 5000), 0u);
            ASSERT_EQ(file.eClose(), 0u);
        }
        const BIG_st_SegmentHeader h = HeaderOf(path);
        EXPECT_EQ(h.ull_End % (uint64_t{1} << shift), 0u);
        EXPECT_EQ(fs::file_size(path), h.ull_ContentBase + h.ull_End);
        BIG::File file;
        ASSERT_EQ(file.eOpen(path, true, true, false), 0u) << file.GetOpenProblem();
        file.SetAlignmentShift(shift);
        Bytes back(5000);
        ASSERT_EQ(file.eRead(second, back.data(), 5000), 0u);
        EXPECT_EQ(back, more);
        file.eClose();
    }
}

TEST_F(ContainerTest, TenBytesAtAnAlignedLocalOffsetWrite2048) {
    BIG::File file;
    ASSERT_EQ(file.eCreate(Path("ten.bf"), false, 0xC0000000, false), 0u);
    BIG::FileIOParams p;
    ASSERT_EQ(file.eGetWriteParams(&p, BIG_POS(0), 10), 0u);
    EXPECT_EQ(p.ul_LocalOffset, 65536u);
    EXPECT_EQ(p.ul_Count, 2048u);
    EXPECT_EQ(p.uw_Segment, 0);
    // An overwrite inside the segment is handed out unchanged.
    ASSERT_EQ(file.eGetWriteParams(&p, BIG_POS(0), 8), 0u);
    EXPECT_EQ(p.ul_Count, 8u);
    file.eClose();
}

TEST_F(ContainerTest, MultiSegmentRoundTrip) {
    const std::string path = Path("world.bf");
    std::vector<Bytes> written;
    {
        BIG::File file;
        BuildSegmented(&file, path, 4096, 14, 1000, &written);
        // 4 chunks of 1000 bytes fit in 4096: 14 chunks take 4 segments.
        EXPECT_EQ(file.uw_GetSegmentCount(), 4);
        ASSERT_EQ(file.eClose(), 0u);
    }
    for (unsigned k = 1; k < 4; ++k)
        EXPECT_TRUE(fs::exists(Path("world.big" + std::to_string(k))));
    EXPECT_FALSE(fs::exists(Path("world.big4")));

    // Every header agrees on count, size and stamp; ranges are contiguous.
    uint64_t previousEnd = 0;
    const BIG_st_SegmentHeader h0 = HeaderOf(path);
    for (unsigned k = 0; k < 4; ++k) {
        const BIG_st_SegmentHeader h = HeaderOf(k == 0 ? path : Path("world.big" + std::to_string(k)));
        EXPECT_EQ(h.uc_SegmentCount, 4);
        EXPECT_EQ(h.uc_SegmentIndex, k);
        EXPECT_EQ(h.ul_MaxSegmentSize, 4096u);
        EXPECT_EQ(h.ull_SetStamp, h0.ull_SetStamp);
        EXPECT_EQ(h.ull_ContentBase, 2048u);  // small headers carry on to new segments
        EXPECT_EQ(h.ull_Start, previousEnd);
        previousEnd = h.ull_End;
    }
    EXPECT_EQ(previousEnd, 14000u);

    for (const bool async : {false, true}) {
        SCOPED_TRACE(async);
        BIG::File file;
        ASSERT_EQ(file.eOpen(path, true, false, async), 0u);
        EXPECT_EQ(file.uw_GetSegmentCount(), 4);
        EXPECT_EQ(file.oGetFileContentStart().ull_GetByteOffset(), 0u);
        EXPECT_EQ(file.oGetFileContentEnd().ull_GetByteOffset(), 14000u);
        for (uint16_t k = 0; k < 4; ++k)
            EXPECT_EQ(file.GetSegment(k).h_AsyncFile != PLT::kInvalidFile, async);
        for (size_t i = 0; i < written.size(); ++i) {
            Bytes back(1000);
            ASSERT_EQ(file.eRead(BIG_POS(i * 1000), back.data(), 1000), 0u) << i;
            EXPECT_EQ(back, written[i]) << i;
        }
        // Reads inside a chunk with an extra byte offset.
        uint8_t two[2];
        ASSERT_EQ(file.eRead(BIG_POS(5000), two, 2, 3), 0u);
        EXPECT_EQ(two[0], written[5][3]);
        EXPECT_EQ(two[1], written[5][4]);
        ASSERT_EQ(file.eClose(), 0u);
    }
}

TEST_F(ContainerTest, ReadEndingAtSegmentEndPassesOneMoreByteFails) {
    const std::string path = Path("edge.bf");
    std::vector<Bytes> written;
    BIG::File file;
    BuildSegmented(&file, path, 4096, 6, 1000, &written);
    ASSERT_EQ(file.GetSegment(0).o_End.ull_GetByteOffset(), 4000u);

    Bytes buf(1001);
    EXPECT_EQ(file.eRead(BIG_POS(3000), buf.data(), 1000), 0u);
    EXPECT_FALSE(m_messages.bContains("The read goes out of the segment!"));
    EXPECT_EQ(file.eRead(BIG_POS(3000), buf.data(), 1001), 12u);
    EXPECT_EQ(file.ul_GetLastError(), 12u);
    EXPECT_TRUE(m_messages.bContains("The read goes out of the segment!"));
    // Past every segment: no segment holds the offset.
    EXPECT_EQ(file.eRead(BIG_POS(6000), buf.data(), 8), 4u);
    // Content beyond the recorded end but before the next 2048 boundary is not readable either.
    EXPECT_EQ(file.eRead(BIG_POS(5000), buf.data(), 1008), 12u);
    file.eClose();
}

TEST_F(ContainerTest, BadArgumentsAndStates) {
    BIG::File file;
    uint8_t buf[16] = {};
    EXPECT_EQ(file.eRead(BIG_POS(0), buf, 8), 2u);
    EXPECT_TRUE(m_messages.bContains("The file is not opened!"));
    EXPECT_EQ(file.eWrite(BIG_POS(0), buf, 8), 2u);
    EXPECT_EQ(file.eClose(), 2u);
    EXPECT_EQ(file.eFlush(), 2u);
    EXPECT_EQ(file.eRemoveSegment(), 2u);
    EXPECT_TRUE(file.oGetFileContentEnd().bIsNone());
    EXPECT_FALSE(file.bIsValidRange(0, 0));

    ASSERT_EQ(file.eCreate(Path("args.bf"), false, 1 << 20, true), 0u);
    EXPECT_EQ(file.eCreate(Path("other.bf"), false, 1 << 20, true), 1u);
    EXPECT_TRUE(m_messages.bContains("Close the file before creating a new one!"));
    EXPECT_EQ(file.eOpen(Path("args.bf"), true, true, false), 1u);
    EXPECT_TRUE(m_messages.bContains("Close the file before opening the new one!"));
    EXPECT_EQ(file.eWrite(BIG_POS(0), buf, 16), 0u);

    m_messages.Clear();
    EXPECT_EQ(file.eRead(BIG_POS(0), nullptr, 8), 12u);
    EXPECT_TRUE(m_messages.bContains("Invalid input parameter!"));
    EXPECT_EQ(file.eRead(BIG_POS(), buf, 8), 12u);
    file.SetAlignmentShift(4);  // 16-byte alignment: position 8 is no longer aligned
    EXPECT_EQ(file.eRead(BIG_POS(8), buf, 8), 12u);
    EXPECT_EQ(file.eWrite(BIG_POS(8), buf, 8), 12u);
    file.SetAlignmentShift(3);
    EXPECT_EQ(file.eRead(BIG_POS(8), buf, 8), 0u);
    EXPECT_EQ(file.eSetEndOfFile(BIG_POS(8)), 13u);  // truncation belongs to FileEd
    EXPECT_EQ(file.eFlush(), 0u);
    EXPECT_EQ(file.eClose(), 0u);
    EXPECT_EQ(file.ul_GetLastError(), 0u);
}

TEST_F(ContainerTest, WriteRunningPastANonLastSegmentIsRefused) {
    std::vector<Bytes> written;
    BIG::File file;
    BuildSegmented(&file, Path("mid.bf"), 4096, 6, 1000, &written);
    ASSERT_EQ(file.uw_GetSegmentCount(), 2);
    const Bytes data = Pattern(2000, 9);
    EXPECT_EQ(file.eWrite(BIG_POS(3000), data.data(), 2000), 12u);
    EXPECT_TRUE(m_messages.bContains("Selected segment is not the last one!"));
    // Overwrites inside one segment are fine and leave the layout alone.
    EXPECT_EQ(file.eWrite(BIG_POS(3000), data.data(), 1000), 0u);
    EXPECT_EQ(file.oGetFileContentEnd().ull_GetByteOffset(), 6000u);
    // A write that starts inside the last segment extends it even past the maximum size.
    EXPECT_EQ(file.eWrite(BIG_POS(5000), data.data(), 2000), 0u);
    EXPECT_EQ(file.uw_GetSegmentCount(), 2);
    EXPECT_EQ(file.oGetFileContentEnd().ull_GetByteOffset(), 7000u);
    Bytes back(2000);
    ASSERT_EQ(file.eRead(BIG_POS(5000), back.data(), 2000), 0u);
    EXPECT_EQ(back, data);
    file.eClose();
}

TEST_F(ContainerTest, WriteLargerThanTheMaximumGoesAloneIntoAFreshSegment) {
    BIG::File file;
    ASSERT_EQ(file.eCreate(Path("big.bf"), false, 1024, true), 0u);
    const Bytes small = Pattern(512, 1);
    const Bytes huge = Pattern(5000, 2);
    ASSERT_EQ(file.eWrite(BIG_POS(0), small.data(), 512), 0u);
    ASSERT_EQ(file.eWrite(BIG_POS(512), huge.data(), 5000), 0u);
    EXPECT_EQ(file.uw_GetSegmentCount(), 2);
    EXPECT_EQ(file.GetSegment(1).o_Start.ull_GetByteOffset(), 512u);
    Bytes back(5000);
    ASSERT_EQ(file.eRead(BIG_POS(512), back.data(), 5000), 0u);
    EXPECT_EQ(back, huge);
    file.eClose();
}

// ---------------------------------------------------------------- opening

// One valid single-segment file of `size` bytes.
Bytes SingleSegmentFile(size_t size) {
    BIG_st_SegmentHeader h;
    h.uc_SegmentCount = 1;
    h.ul_MaxSegmentSize = 1 << 20;
    h.ull_ContentBase = 2048;
    h.ull_SetStamp = 42;
    Bytes bytes(size, 0);
    uint8_t header[48];
    h.EncodeTo(header);
    std::memcpy(bytes.data(), header, std::min<size_t>(size, 48));
    return bytes;
}

TEST_F(ContainerTest, SmallFileRule) {
    const struct {
        size_t size;
        bool acceptSmall;
        uint32_t expected;
    } cases[] = {
        {256, false, 4}, {257, false, 0}, {256, true, 0}, {48, true, 0}, {47, true, 6},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.size << " " << c.acceptSmall);
        const std::string path = Path("s" + std::to_string(c.size) + ".bf");
        WriteAll(path, SingleSegmentFile(c.size));
        BIG::File file;
        EXPECT_EQ(file.eOpen(path, true, c.acceptSmall, false), c.expected);
        EXPECT_EQ(file.ul_GetLastError(), c.expected);
        EXPECT_EQ(file.bIsOpen(), c.expected == 0);
        if (file.bIsOpen())
            file.eClose();
    }
    BIG::File file;
    EXPECT_EQ(file.eOpen(Path("absent.bf"), true, true, false), 4u);
}

TEST_F(ContainerTest, MissingSegmentFileFailsWith4AndNamesIt) {
    const std::string path = Path("world.bf");
    std::vector<Bytes> written;
    {
        BIG::File file;
        BuildSegmented(&file, path, 4096, 10, 1000, &written);
        ASSERT_EQ(file.uw_GetSegmentCount(), 3);
        file.eClose();
    }
    fs::remove(Path("world.big1"));
    BIG::File file;
    EXPECT_EQ(file.eOpen(path, false, false, false), 4u);
    EXPECT_FALSE(file.bIsOpen());
    EXPECT_TRUE(m_messages.bContains("Error opening " + Path("world.big1")));
}

// Byte surgery on segment 1's header, then open.
struct HeaderSurgery {
    const char* what;
    size_t offset;
    uint64_t value;
    unsigned width;
    const char* message;  // expected in the log, or nullptr
};

TEST_F(ContainerTest, InconsistentSegmentHeadersFailWith3) {
    const HeaderSurgery cases[] = {
        {"set stamp", BIG_st_SegmentHeader::kOffSetStamp, 1, 8, "(Error reading segment header)"},
        {"segment count", BIG_st_SegmentHeader::kOffSegmentCount, 3, 1, "(Error reading segment header)"},
        {"max size", BIG_st_SegmentHeader::kOffMaxSegmentSize, 8192, 4, "(Error reading segment header)"},
        {"reserved", BIG_st_SegmentHeader::kOffReserved32, 5, 4, "(Error reading segment header)"},
        {"version", BIG_st_SegmentHeader::kOffVersion, 2, 1, "(Error reading segment header)"},
        {"base not 2048-multiple", BIG_st_SegmentHeader::kOffContentBase, 2056, 8,
         "Invalid content start offset!"},
        {"base over the header", BIG_st_SegmentHeader::kOffContentBase, 0, 8,
         "Invalid content start offset!"},
        {"start gap", BIG_st_SegmentHeader::kOffStart, 4008, 8, "Segment data for segment 1 is invalid!"},
        {"end below start", BIG_st_SegmentHeader::kOffEnd, 8, 8, "Segment data for segment 1 is invalid!"},
        {"start misaligned", BIG_st_SegmentHeader::kOffStart, 4001, 8, "Value not properly aligned!"},
        {"end too big", BIG_st_SegmentHeader::kOffEnd, 0x800000000ull, 8, "Value too big!"},
        {"local range past 4 GiB", BIG_st_SegmentHeader::kOffEnd, 4000 + (uint64_t{1} << 32), 8,
         "Segment data for segment 1 is invalid!"},
    };
    const std::string path = Path("world.bf");
    std::vector<Bytes> written;
    {
        BIG::File file;
        BuildSegmented(&file, path, 4096, 6, 1000, &written);
        ASSERT_EQ(file.uw_GetSegmentCount(), 2);
        file.eClose();
    }
    const Bytes original = ReadAll(Path("world.big1"));
    for (const HeaderSurgery& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes bytes = original;
        for (unsigned i = 0; i < c.width; ++i)
            bytes[c.offset + i] = static_cast<uint8_t>(c.value >> (8 * i));
        WriteAll(Path("world.big1"), bytes);
        m_messages.Clear();
        BIG::File file;
        EXPECT_EQ(file.eOpen(path, true, false, false), 3u);
        EXPECT_FALSE(file.bIsOpen());
        EXPECT_TRUE(m_messages.bContains(c.message));
    }
    WriteAll(Path("world.big1"), original);
    BIG::File file;
    EXPECT_EQ(file.eOpen(path, true, false, false), 0u);
    file.eClose();
}

// What one segment file of a hand-made set holds: its size and the range its
// header claims.
struct ClaimedSegment {
    uint64_t fileSize;
    uint64_t start;
    uint64_t end;
};

TEST_F(ContainerTest, ClaimsBeyondTheSegmentFilesFailWith3BeforeAnythingIsSized) {
    constexpr uint64_t k4G = uint64_t{1} << 32;
    const struct {
        const char* what;
        std::vector<ClaimedSegment> segments;
        uint32_t expected;
        const char* message;  // expected in the log when refused
    } cases[] = {
        {"90 KB claiming an end at 4 GiB",
         {{92160, 0, k4G - 2048}},
         3,
         "Segment 0 claims content up to byte 4294967296 of "},
        {"eight 48-byte files claiming 32 GiB",
         {{48, 0, k4G - 2048},
          {48, k4G - 2048, 2 * (k4G - 2048)},
          {48, 2 * (k4G - 2048), 3 * (k4G - 2048)},
          {48, 3 * (k4G - 2048), 4 * (k4G - 2048)},
          {48, 4 * (k4G - 2048), 5 * (k4G - 2048)},
          {48, 5 * (k4G - 2048), 6 * (k4G - 2048)},
          {48, 6 * (k4G - 2048), 7 * (k4G - 2048)},
          {48, 7 * (k4G - 2048), 8 * (k4G - 2048)}},
         3,
         ", which holds 48 bytes!"},
        {"last segment one byte short",
         {{2048 + 4000, 0, 4000}, {2048 + 999, 4000, 5000}},
         3,
         "Segment 1 claims content up to byte 3048 of "},
        {"first segment short, second honest",
         {{2048 + 100, 0, 4000}, {2048 + 1000, 4000, 5000}},
         3,
         ", which holds 2148 bytes!"},
        {"every claim held", {{2048 + 4000, 0, 4000}, {2048 + 1000, 4000, 5000}}, 0, nullptr},
        {"empty segments claim nothing", {{48, 0, 0}, {48, 0, 0}}, 0, nullptr},
        {"bytes past the claim are padding", {{8192, 0, 4000}}, 0, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string path = Path("claims.bf");
        for (size_t i = 0; i < c.segments.size(); ++i) {
            BIG_st_SegmentHeader h;
            h.uc_SegmentCount = static_cast<uint8_t>(c.segments.size());
            h.uc_SegmentIndex = static_cast<uint8_t>(i);
            h.ul_MaxSegmentSize = 0xC0000000;
            h.ull_ContentBase = 2048;
            h.ull_Start = c.segments[i].start;
            h.ull_End = c.segments[i].end;
            h.ull_SetStamp = 42;
            Bytes bytes(c.segments[i].fileSize, 0);
            uint8_t header[48];
            h.EncodeTo(header);
            std::memcpy(bytes.data(), header, sizeof header);
            WriteAll(i == 0 ? path : BIG::File::SegmentFileName(path, static_cast<unsigned>(i)), bytes);
        }
        m_messages.Clear();
        BIG::FileEd file;
        EXPECT_EQ(file.eOpen(path, true, true, false), c.expected);
        EXPECT_EQ(file.bIsOpen(), c.expected == 0);
        if (c.message != nullptr) {
            EXPECT_TRUE(m_messages.bContains(c.message));
        }
        if (file.bIsOpen())
            file.eClose();
    }
}

TEST_F(ContainerTest, HeaderCountOfZeroFailsValidation) {
    Bytes bytes = SingleSegmentFile(4096);
    bytes[BIG_st_SegmentHeader::kOffSegmentCount] = 0;
    WriteAll(Path("zero.bf"), bytes);
    BIG::File file;
    EXPECT_EQ(file.eOpen(Path("zero.bf"), true, false, false), 3u);
    EXPECT_TRUE(m_messages.bContains("The number of segment files opened does not match!"));
    EXPECT_TRUE(m_messages.bContains("(expected:0 opened:1)"));
}

// ---------------------------------------------------------------- segments and ranges

TEST_F(ContainerTest, RemoveSegment) {
    BIG::File one;
    const std::string onePath = Path("one.bf");
    ASSERT_EQ(one.eCreate(onePath, false, 4096, true), 0u);
    const Bytes data = Pattern(100, 3);
    ASSERT_EQ(one.eWrite(BIG_POS(0), data.data(), 100), 0u);
    const Bytes before = ReadAll(onePath);
    EXPECT_EQ(one.eRemoveSegment(), 4u);
    EXPECT_EQ(one.uw_GetSegmentCount(), 1);
    EXPECT_EQ(ReadAll(onePath), before);
    one.eClose();

    const std::string path = Path("world.bf");
    std::vector<Bytes> written;
    BIG::File file;
    BuildSegmented(&file, path, 4096, 10, 1000, &written);
    ASSERT_EQ(file.uw_GetSegmentCount(), 3);
    EXPECT_EQ(file.eRemoveSegment(), 0u);
    EXPECT_FALSE(fs::exists(Path("world.big2")));
    EXPECT_EQ(file.oGetFileContentEnd().ull_GetByteOffset(), 8000u);
    file.eClose();
    EXPECT_EQ(HeaderOf(path).uc_SegmentCount, 2);
    ASSERT_EQ(file.eOpen(path, true, false, false), 0u);
    EXPECT_EQ(file.uw_GetSegmentCount(), 2);
    file.eClose();
}

TEST_F(ContainerTest, AlignOffsetsWidensToOneBlockOrTheRemainder) {
    BIG::File file;
    ASSERT_EQ(file.eCreate(Path("align.bf"), true, 0xC0000000, false), 0u);
    const Bytes data = Pattern(200000, 4);
    ASSERT_EQ(file.eWrite(BIG_POS(0), data.data(), 200000), 0u);

    BIG::FileAlignedRange r;
    ASSERT_EQ(file.eAlignOffsets(&r, 0, 100, true, 1), 0u);
    EXPECT_EQ(r.ull_LocalStart, 65536u);
    EXPECT_EQ(r.ull_LocalEnd, 131072u);
    EXPECT_EQ(r.ull_LocalSize, 65536u);
    EXPECT_EQ(r.o_Start.ull_GetByteOffset(), 0u);
    EXPECT_EQ(r.o_End.ull_GetByteOffset(), 65536u);
    EXPECT_EQ(r.ull_GlobalSize, 65536u);
    EXPECT_TRUE(r.b_AtSegmentStart);
    EXPECT_EQ(r.h_AsyncFile, file.GetSegment(0).h_AsyncFile);

    // Near the end the global range is cut at the segment's end.
    ASSERT_EQ(file.eAlignOffsets(&r, 196608, 196708, true, 1), 0u);
    EXPECT_EQ(r.ull_LocalSize, 65536u);
    EXPECT_EQ(r.o_Start.ull_GetByteOffset(), 196608u);
    EXPECT_EQ(r.o_End.ull_GetByteOffset(), 200000u);
    EXPECT_EQ(r.ull_GlobalSize, 200000u - 196608u);
    EXPECT_FALSE(r.b_AtSegmentStart);

    // Backwards: the block before the end.
    ASSERT_EQ(file.eAlignOffsets(&r, 70000, 70100, false, 1), 0u);
    EXPECT_EQ(r.ull_LocalStart, 131072u);
    EXPECT_EQ(r.ull_LocalEnd, 196608u);

    // A factor widens the block.
    ASSERT_EQ(file.eAlignOffsets(&r, 0, 100, true, 2), 0u);
    EXPECT_EQ(r.ull_LocalStart, 0u);
    EXPECT_EQ(r.ull_LocalEnd, 131072u);
    EXPECT_EQ(r.o_Start.ull_GetByteOffset(), 0u);  // local bytes below the base map to the start
    EXPECT_EQ(r.o_End.ull_GetByteOffset(), 65536u);

    EXPECT_EQ(file.eAlignOffsets(&r, 100, 200001, true, 1), 12u);  // end past the segment
    EXPECT_EQ(file.eAlignOffsets(&r, 300000, 300008, true, 1), 12u);
    EXPECT_EQ(file.eAlignOffsets(&r, 0, 100, true, 0), 12u);

    EXPECT_TRUE(file.bIsValidRange(0, 200000));
    EXPECT_FALSE(file.bIsValidRange(0, 200001));
    EXPECT_FALSE(file.bIsValidRange(200000, 200000));
    file.eClose();
}

TEST_F(ContainerTest, SetEndOfFileTruncatesAndDropsLaterSegments) {
    const std::string path = Path("world.bf");
    std::vector<Bytes> written;
    BIG::FileEd file;
    BuildSegmented(&file, path, 4096, 10, 1000, &written);
    ASSERT_EQ(file.uw_GetSegmentCount(), 3);  // [0,4000) [4000,8000) [8000,10000)

    EXPECT_EQ(file.eSetEndOfFile(BIG_POS(10000)), 12u);  // no segment holds the content end
    ASSERT_EQ(file.eSetEndOfFile(BIG_POS(5000)), 0u);
    EXPECT_EQ(file.uw_GetSegmentCount(), 2);
    EXPECT_FALSE(fs::exists(Path("world.big2")));
    EXPECT_EQ(fs::file_size(Path("world.big1")), 2048u + 1000u);
    EXPECT_EQ(file.oGetFileContentEnd().ull_GetByteOffset(), 5000u);
    ASSERT_EQ(file.eClose(), 0u);

    ASSERT_EQ(file.eOpen(path, false, false, false), 0u);
    EXPECT_EQ(file.oGetFileContentEnd().ull_GetByteOffset(), 5000u);
    Bytes back(1000);
    ASSERT_EQ(file.eRead(BIG_POS(4000), back.data(), 1000), 0u);
    EXPECT_EQ(back, written[4]);
    // Appending after the cut reuses the segment.
    ASSERT_EQ(file.eWrite(BIG_POS(5000), written[5].data(), 1000), 0u);
    EXPECT_EQ(file.uw_GetSegmentCount(), 2);
    file.eClose();
}

// ---------------------------------------------------------------- faults

TEST_F(ContainerTest, WriteFaultGives7AndLastError) {
    BIG::File file;
    ASSERT_EQ(file.eCreate(Path("fault.bf"), false, 1 << 20, true), 0u);
    const Bytes data = Pattern(64, 5);
    ASSERT_EQ(file.eWrite(BIG_POS(0), data.data(), 64), 0u);

    PLT::InjectFault(PLT::FaultOp::eWrite, 1);  // the data write of an overwrite
    EXPECT_EQ(file.eWrite(BIG_POS(0), data.data(), 64), 7u);
    EXPECT_EQ(file.ul_GetLastError(), 7u);

    // A failing header refresh while extending leaves the recorded end where the data is.
    PLT::InjectFault(PLT::FaultOp::eWrite, 1);
    EXPECT_EQ(file.eWrite(BIG_POS(64), data.data(), 64), 7u);
    EXPECT_EQ(file.oGetFileContentEnd().ull_GetByteOffset(), 64u);

    // A failing data write of an append: the header refresh before it already
    // claimed the new end, and is taken back.
    PLT::InjectFault(PLT::FaultOp::eWrite, 2);  // header first, then the data
    EXPECT_EQ(file.eWrite(BIG_POS(64), data.data(), 64), 7u);
    EXPECT_EQ(file.ul_GetLastError(), 7u);
    EXPECT_EQ(file.oGetFileContentEnd().ull_GetByteOffset(), 64u);
    EXPECT_EQ(HeaderOf(Path("fault.bf")).ull_End, 64u);

    PLT::InjectFault(PLT::FaultOp::eFlush, 1);
    EXPECT_EQ(file.eFlush(), 8u);
    PLT::ClearFaults();
    EXPECT_EQ(file.eWrite(BIG_POS(64), data.data(), 64), 0u);
    EXPECT_EQ(file.oGetFileContentEnd().ull_GetByteOffset(), 128u);
    file.eClose();

    // A read fault.
    ASSERT_EQ(file.eOpen(Path("fault.bf"), true, true, false), 0u);
    Bytes back(64);
    PLT::InjectFault(PLT::FaultOp::eRead, 1);
    EXPECT_EQ(file.eRead(BIG_POS(0), back.data(), 64), 6u);
    EXPECT_EQ(file.ul_GetLastError(), 6u);
    file.eClose();
}

TEST_F(ContainerTest, FailedSegmentCreationLeavesTheSetOpenable) {
    const std::string path = Path("world.bf");
    BIG::File file;
    ASSERT_EQ(file.eCreate(path, false, 1024, true), 0u);
    const Bytes data = Pattern(1024, 6);
    ASSERT_EQ(file.eWrite(BIG_POS(0), data.data(), 1024), 0u);
    PLT::InjectFault(PLT::FaultOp::eOpen, 1);
    EXPECT_EQ(file.eWrite(BIG_POS(1024), data.data(), 1024), 4u);
    EXPECT_EQ(file.uw_GetSegmentCount(), 1);
    file.eClose();
    ASSERT_EQ(file.eOpen(path, true, false, false), 0u);
    EXPECT_EQ(file.oGetFileContentEnd().ull_GetByteOffset(), 1024u);
    file.eClose();
}

TEST_F(ContainerTest, DestroyingAnOpenContainerReportsAndCloses) {
    {
        BIG::File file;
        ASSERT_EQ(file.eCreate(Path("leak.bf"), false, 1 << 20, true), 0u);
    }
    EXPECT_TRUE(m_messages.bContains("Close file before destroying!"));
}

TEST_F(ContainerTest, FileEdShowsOpenErrorsAsMessageBoxes) {
    BIG::FileEd file;
    const std::string path = Path("world.bf");
    WriteAll(path, Bytes(4096, 0x55));  // no "MBIG"
    EXPECT_EQ(file.eOpen(path, true, false, false), 3u);
    EXPECT_TRUE(m_messages.bContains("[MessageBox] Error reading " + path));
}

// ---------------------------------------------------------------- remote targets

// Two directory-backed targets, "dev" (the default) and "other".
class RemoteContainerTest : public ContainerTest {
protected:
    void SetUp() override {
        ContainerTest::SetUp();
        fs::create_directories(m_dir / "dev");
        fs::create_directories(m_dir / "other");
        const char* previous = std::getenv("TARN_TARGETS");
        m_hadTargets = previous != nullptr;
        if (m_hadTargets)
            m_previousTargets = previous;
        const std::string targets =
            "dev=" + (m_dir / "dev").string() + ",other=" + (m_dir / "other").string();
        setenv("TARN_TARGETS", targets.c_str(), 1);
    }
    void TearDown() override {
        if (m_hadTargets)
            setenv("TARN_TARGETS", m_previousTargets.c_str(), 1);
        else
            unsetenv("TARN_TARGETS");
        ContainerTest::TearDown();
    }

    bool m_hadTargets = false;
    std::string m_previousTargets;
};

TEST_F(RemoteContainerTest, OpensAndReadsSegmentsOnTheChosenTarget) {
    std::vector<Bytes> written;
    {
        BIG::File local;
        BuildSegmented(&local, (m_dir / "other" / "world.bf").string(), 4096, 10, 1000, &written);
        local.eClose();
    }
    for (const char* path : {"other:\\world.bf", "pc:\\other:\\world.bf"}) {
        SCOPED_TRACE(path);
        BIG::FileEd file;
        ASSERT_EQ(file.eOpen(path, true, false, false, BIG::FileEd::kLocationRemote), 0u);
        EXPECT_TRUE(file.bIsRemote());
        EXPECT_EQ(file.uw_GetSegmentCount(), 3);
        for (size_t i = 0; i < written.size(); ++i) {
            Bytes back(1000);
            ASSERT_EQ(file.eRead(BIG_POS(i * 1000), back.data(), 1000), 0u) << i;
            EXPECT_EQ(back, written[i]);
        }
        Bytes buf(1001);
        EXPECT_EQ(file.eRead(BIG_POS(3000), buf.data(), 1001), 12u);
        EXPECT_EQ(file.eFlush(), 0u);
        EXPECT_EQ(file.eSetEndOfFile(BIG_POS(8)), 13u);
        EXPECT_TRUE(m_messages.bContains("Not implemented for this file location!"));
        ASSERT_EQ(file.eClose(), 0u);
        EXPECT_FALSE(file.bIsRemote());
    }
    // Not on the default target.
    BIG::FileEd file;
    EXPECT_EQ(file.eOpen("world.bf", true, false, false, BIG::FileEd::kLocationRemote), 4u);
    EXPECT_EQ(file.eOpen("nowhere:\\world.bf", true, false, false, BIG::FileEd::kLocationRemote), 4u);
    EXPECT_FALSE(file.bIsOpen());
}

TEST_F(RemoteContainerTest, AppendsGrowNewSegmentsOnTheSameTarget) {
    std::vector<Bytes> written;
    {
        BIG::File local;
        BuildSegmented(&local, (m_dir / "other" / "world.bf").string(), 4096, 4, 1000, &written);
        local.eClose();
    }
    BIG::FileEd file;
    ASSERT_EQ(file.eOpen("other:\\world.bf", false, false, false, BIG::FileEd::kLocationRemote), 0u);
    const Bytes data = Pattern(1000, 77);
    ASSERT_EQ(file.eWrite(BIG_POS(4000), data.data(), 1000), 0u);
    EXPECT_EQ(file.uw_GetSegmentCount(), 2);
    EXPECT_EQ(file.eRemoveSegment(), 13u);
    ASSERT_EQ(file.eClose(), 0u);
    EXPECT_TRUE(fs::exists(m_dir / "other" / "world.big1"));
    EXPECT_FALSE(fs::exists(m_dir / "dev" / "world.big1"));

    // The set written remotely opens locally.
    BIG::File local;
    ASSERT_EQ(local.eOpen((m_dir / "other" / "world.bf").string(), true, false, false), 0u);
    Bytes back(1000);
    ASSERT_EQ(local.eRead(BIG_POS(4000), back.data(), 1000), 0u);
    EXPECT_EQ(back, data);
    local.eClose();
}

TEST_F(RemoteContainerTest, ClaimBeyondARemoteSegmentFailsWith3) {
    std::vector<Bytes> written;
    {
        BIG::File local;
        BuildSegmented(&local, (m_dir / "dev" / "world.bf").string(), 4096, 10, 1000, &written);
        local.eClose();
    }
    const fs::path last = m_dir / "dev" / "world.big2";
    fs::resize_file(last, fs::file_size(last) - 2048);
    BIG::FileEd file;
    EXPECT_EQ(file.eOpen("world.bf", true, false, false, BIG::FileEd::kLocationRemote), 3u);
    EXPECT_FALSE(file.bIsOpen());
    EXPECT_FALSE(file.bIsRemote());
    EXPECT_TRUE(
        m_messages.bContains("Segment 2 claims content up to byte 4048 of world.big2, which is shorter!"));
}

TEST_F(RemoteContainerTest, MissingRemoteSegmentIsNamed) {
    std::vector<Bytes> written;
    {
        BIG::File local;
        BuildSegmented(&local, (m_dir / "dev" / "world.bf").string(), 4096, 10, 1000, &written);
        local.eClose();
    }
    fs::remove(m_dir / "dev" / "world.big2");
    BIG::FileEd file;
    EXPECT_EQ(file.eOpen("world.bf", true, false, false, BIG::FileEd::kLocationRemote), 4u);
    EXPECT_FALSE(file.bIsOpen());
    EXPECT_FALSE(file.bIsRemote());
    EXPECT_TRUE(m_messages.bContains("Error opening world.big2"));
    // The local path of the same container still works afterwards.
    EXPECT_EQ(file.eOpen((m_dir / "dev" / "world.bf").string(), true, false, false), 4u);
}

}  // namespace
