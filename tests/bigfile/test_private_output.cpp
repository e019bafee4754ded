// The container's private-output mode: the write-back cache leaves exactly the
// bytes that direct writes leave, reads see what is held, and a write fault
// fails the write that evicts or the flush.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "BIGfile/BIG_File.h"
#include "BIGfile/BIG_SegmentHeader.h"
#include "BIGfile/BIG_WriteBackCache.h"
#include "ERRor/ERR_Assert.h"
#include "platform/FaultInjection.h"
#include "platform/File.h"
#include "platform/Process.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

Bytes ReadAll(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A fixed script of appends, overwrites and read-backs, as a table editor
// issues them: contents appended at the end, small records rewritten near the
// start and anywhere before the end.
class Script {
public:
    explicit Script(uint32_t seed) : m_state(seed) {}
    uint32_t Next() {
        m_state = m_state * 1664525u + 1013904223u;
        return m_state >> 8;
    }

private:
    uint32_t m_state;
};

// Runs the script on `file`; false (with a trace) at the first call that fails.
uint32_t RunScript(BIG::File* file, uint32_t seed, int steps) {
    Script script(seed);
    Bytes data;
    for (int step = 0; step < steps; ++step) {
        const uint64_t end = file->oGetFileContentEnd().ull_GetByteOffset();
        const uint32_t kind = script.Next() % 4;
        uint32_t size = kind == 0 ? 1 + script.Next() % (700 * 1024) : 8 + script.Next() % 96;
        size &= ~7u;
        if (size == 0)
            size = 8;
        data.resize(size);
        for (uint8_t& b : data)
            b = static_cast<uint8_t>(script.Next());
        uint64_t at = end;
        if (kind != 0 && end > size)
            at = (kind == 1 ? script.Next() % 65536 : script.Next() % (end - size)) & ~uint64_t{7};
        if (at + size > end && at != end)
            at = end;
        uint32_t e = file->eWrite(BIG_POS(at), data.data(), size);
        if (e != BIG::eFile_Ok)
            return e;
        Bytes back(size);
        e = file->eRead(BIG_POS(at), back.data(), size);
        if (e != BIG::eFile_Ok)
            return e;
        if (back != data) {
            ADD_FAILURE() << "step " << step << ": read-back differs";
            return BIG::eFile_ReadFailed;
        }
    }
    return BIG::eFile_Ok;
}

class PrivateOutputTest : public ::testing::Test {
protected:
    void SetUp() override {
        ERR_SetInteractive(false);
        PLT::ClearFaults();
        m_dir = fs::temp_directory_path() /
                ("private_output_" +
                 std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + "_" +
                 std::to_string(PLT::CurrentProcessId()));
        fs::remove_all(m_dir);
        fs::create_directories(m_dir);
    }
    void TearDown() override {
        PLT::ClearFaults();
        fs::remove_all(m_dir);
    }
    std::string Path(const std::string& name) const { return (m_dir / name).string(); }

    fs::path m_dir;
};

TEST_F(PrivateOutputTest, LeavesTheBytesOfDirectWritesOverSeveralSegments) {
    struct Case {
        size_t pages;  // 2 evicts all the time, 64 holds everything
        uint32_t seed;
        bool smallHeader;
    } cases[] = {{2, 1, true}, {3, 2, false}, {64, 3, true}};
    constexpr uint32_t kMaxSegment = 3u << 20;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "pages " << c.pages << " seed " << c.seed);
        const std::string direct = Path("direct.big");
        const std::string held = Path("held.big");
        unsigned segments = 0;
        for (const std::string& path : {direct, held}) {
            BIG::File file;
            if (path == held)
                file.EnablePrivateOutput(c.pages);
            ASSERT_EQ(file.eCreate(path, false, kMaxSegment, c.smallHeader), 0u);
            ASSERT_EQ(RunScript(&file, c.seed, 100), 0u);
            segments = file.uw_GetSegmentCount();
            ASSERT_EQ(file.eFlush(), 0u);
            ASSERT_EQ(file.eClose(), 0u);
        }
        ASSERT_GT(segments, 1u);
        for (unsigned k = 0; k < segments; ++k) {
            SCOPED_TRACE(k);
            const auto name = [k](const std::string& p) {
                return k == 0 ? p : BIG::File::SegmentFileName(p, k);
            };
            Bytes a = ReadAll(name(direct));
            Bytes b = ReadAll(name(held));
            ASSERT_GE(a.size(), BIG_st_SegmentHeader::kEncodedSize);
            ASSERT_EQ(a.size(), b.size());
            // The set stamp comes from the clock in both.
            std::fill_n(a.begin() + BIG_st_SegmentHeader::kOffSetStamp, 8, 0);
            std::fill_n(b.begin() + BIG_st_SegmentHeader::kOffSetStamp, 8, 0);
            EXPECT_TRUE(a == b);
        }
        // The held bigfile opens as any other.
        BIG::File reopened;
        ASSERT_EQ(reopened.eOpen(held, true, false, false), 0u);
        EXPECT_EQ(reopened.uw_GetSegmentCount(), segments);
        reopened.eClose();
    }
}

// Page buffers go back to a pool and are handed to the next cache with what
// its last output wrote in them: bytes a cache skips over must still reach
// the file as zeros, never as another output's bytes.
TEST_F(PrivateOutputTest, BytesSkippedOverAreZeroEvenInAReusedPage) {
    const Bytes old(BIG::WriteBackCache::kPageSize, 0xAB);
    {
        const PLT::FileHandle file =
            PLT::OpenFile(Path("first.bin"), PLT::Access::eReadWrite, PLT::Disposition::eCreateAlways);
        ASSERT_NE(file, PLT::kInvalidFile);
        BIG::WriteBackCache cache(2);
        for (uint32_t page = 0; page < 2; ++page)
            ASSERT_TRUE(cache.bWrite(0, file, uint64_t{page} * old.size(), old.data(),
                                     static_cast<uint32_t>(old.size())));
        ASSERT_TRUE(cache.bFlush());
        PLT::CloseFile(file);
    }
    const PLT::FileHandle file =
        PLT::OpenFile(Path("second.bin"), PLT::Access::eReadWrite, PLT::Disposition::eCreateAlways);
    ASSERT_NE(file, PLT::kInvalidFile);
    {
        BIG::WriteBackCache cache(2);
        const Bytes head(100, 0x11);
        const Bytes tail(10, 0x22);
        ASSERT_TRUE(cache.bWrite(0, file, 0, head.data(), 100));
        ASSERT_TRUE(cache.bWrite(0, file, 5000, tail.data(), 10));
        Bytes gap(4900, 0xFF);
        ASSERT_TRUE(cache.bRead(0, file, 100, gap.data(), 4900));
        EXPECT_EQ(gap, Bytes(4900, 0)) << "reads of the held page see the zeros";
        ASSERT_TRUE(cache.bFlush());
    }
    PLT::CloseFile(file);
    Bytes expected(5010, 0);
    std::fill_n(expected.begin(), 100, 0x11);
    std::fill_n(expected.begin() + 5000, 10, 0x22);
    EXPECT_TRUE(ReadAll(Path("second.bin")) == expected);
}

TEST_F(PrivateOutputTest, AWriteFaultFailsTheEvictingWriteOrTheFlush) {
    struct Case {
        const char* what;
        size_t pages;
        bool failsBeforeFlush;
    } cases[] = {
        {"a small cache evicts while writing", 2, true},
        {"a cache that holds everything fails at the flush", 64, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        BIG::File file;
        file.EnablePrivateOutput(c.pages);
        ASSERT_EQ(file.eCreate(Path("fault.big"), false, 0xC0000000u, true), 0u);
        PLT::InjectFault(PLT::FaultOp::eWrite, 1, true);
        const uint32_t written = RunScript(&file, 7, 100);
        if (c.failsBeforeFlush) {
            EXPECT_NE(written, 0u);
        } else {
            EXPECT_EQ(written, 0u);
            EXPECT_NE(file.eFlush(), 0u);
        }
        EXPECT_GT(PLT::InjectedFailures(PLT::FaultOp::eWrite), 0u);
        PLT::ClearFaults();
        file.eClose();
    }
}

}  // namespace
