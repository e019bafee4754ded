// The container's private-output mode: the write-back cache leaves exactly the
// bytes that direct writes leave, reads see what is held or in the background
// writer's hands, a write fault fails the output before it is flushed, and
// nothing is written after Drop or close.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
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
    // Filled pages go to the background writer and come back when rewritten
    // or read: queued, being written or written, whichever the writer is at.
    struct Case {
        size_t pages;  // 2 evicts all the time, 64 holds everything it has not handed over
        uint32_t seed;
        bool smallHeader;
        uint32_t maxSegment;
        int steps;
    } cases[] = {
        {2, 1, true, 3u << 20, 100},
        {3, 2, false, 3u << 20, 100},
        {64, 3, true, 3u << 20, 100},
        // Many pages per segment: appends hand page after page to the
        // writer while rewrites anywhere take them back.
        {8, 4, true, 12u << 20, 300},
        {2, 5, false, 12u << 20, 300},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "pages " << c.pages << " seed " << c.seed);
        const std::string direct = Path("direct.big");
        const std::string held = Path("held.big");
        unsigned segments = 0;
        for (const std::string& path : {direct, held}) {
            BIG::File file;
            if (path == held)
                file.EnablePrivateOutput(c.pages);
            ASSERT_EQ(file.eCreate(path, false, c.maxSegment, c.smallHeader), 0u);
            ASSERT_EQ(RunScript(&file, c.seed, c.steps), 0u);
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

// A page write that fails, on the background writer or at the flush, fails
// the output before it can be taken for complete: at a later write or at the
// flush, even when the fault fires only once and every later write works.
TEST_F(PrivateOutputTest, AWriteFaultFailsALaterWriteOrTheFlush) {
    struct Case {
        const char* what;
        size_t pages;
        int steps;
        bool persistent;
        bool failsAtFlush;  // else at a write or at the flush, as the writer goes
    } cases[] = {
        {"a small cache evicts while writing", 2, 100, true, false},
        {"a large cache hands its filled pages to the writer", 64, 100, true, false},
        {"one failed page write among many that work", 2, 100, false, false},
        {"one failed background write, the cache never full", 64, 100, false, false},
        // Two steps stay within the first two pages: nothing is handed over.
        {"a cache that holds everything fails at the flush", 64, 2, true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        BIG::File file;
        file.EnablePrivateOutput(c.pages);
        ASSERT_EQ(file.eCreate(Path("fault.big"), false, 0xC0000000u, true), 0u);
        PLT::InjectFault(PLT::FaultOp::eWrite, 1, c.persistent);
        const uint32_t written = RunScript(&file, 7, c.steps);
        if (c.failsAtFlush) {
            EXPECT_EQ(written, 0u);
        }
        EXPECT_NE(file.eFlush(), 0u);
        EXPECT_NE(file.eFlush(), 0u) << "a failed output stays failed";
        EXPECT_GT(PLT::InjectedFailures(PLT::FaultOp::eWrite), 0u);
        PLT::ClearFaults();
        file.eClose();
    }
}

// Pages handed to the writer and read or rewritten at once come back whole,
// whether still queued, being written or written: reads see the bytes, and
// the file ends with the last bytes written to each page.
TEST_F(PrivateOutputTest, PagesInTheWritersHandsReadAndRewriteAsHeld) {
    constexpr uint32_t kPage = BIG::WriteBackCache::kPageSize;
    constexpr uint32_t kPages = 24;
    const PLT::FileHandle file =
        PLT::OpenFile(Path("inflight.bin"), PLT::Access::eReadWrite, PLT::Disposition::eCreateAlways);
    ASSERT_NE(file, PLT::kInvalidFile);
    Bytes expected(size_t{kPages} * kPage);
    Script script(11);
    for (uint8_t& b : expected)
        b = static_cast<uint8_t>(script.Next());
    {
        BIG::WriteBackCache cache(3);
        for (uint32_t page = 0; page < kPages; ++page) {
            SCOPED_TRACE(page);
            const uint64_t at = uint64_t{page} * kPage;
            ASSERT_TRUE(cache.bWrite(0, file, at, expected.data() + at, kPage));
            if (page < 3)
                continue;
            // The page before was handed over as this one began: a rewrite
            // must not be lost to its older write, and reads see both.
            const uint64_t patch = at - kPage + 4096 * (page % 7);
            for (size_t k = 0; k < 4096; ++k)
                expected[patch + k] ^= 0x5A;
            ASSERT_TRUE(cache.bWrite(0, file, patch, expected.data() + patch, 4096));
            for (const uint64_t back : {at - kPage, at - 2 * kPage}) {
                Bytes seen(kPage);
                ASSERT_TRUE(cache.bRead(0, file, back, seen.data(), kPage));
                ASSERT_TRUE(
                    std::equal(seen.begin(), seen.end(), expected.begin() + static_cast<ptrdiff_t>(back)))
                    << "page " << back / kPage;
            }
        }
        ASSERT_TRUE(cache.bFlush());
    }
    PLT::CloseFile(file);
    EXPECT_TRUE(ReadAll(Path("inflight.bin")) == expected);
}

// Drop and close forget what is held and in the writer's hands: once they
// return, no write reaches the files, which may then be closed or removed.
TEST_F(PrivateOutputTest, NothingIsWrittenAfterDropOrClose) {
    constexpr uint32_t kPage = BIG::WriteBackCache::kPageSize;
    const Bytes data(size_t{12} * kPage, 0xC3);
    for (const bool close : {false, true}) {
        SCOPED_TRACE(close ? "close without flush" : "drop of the segment");
        const std::string path = Path("dropped.bin");
        const PLT::FileHandle file =
            PLT::OpenFile(path, PLT::Access::eReadWrite, PLT::Disposition::eCreateAlways);
        ASSERT_NE(file, PLT::kInvalidFile);
        Bytes atDrop;
        {
            auto cache = std::make_unique<BIG::WriteBackCache>(2);
            ASSERT_TRUE(cache->bWrite(1, file, 0, data.data(), static_cast<uint32_t>(data.size())));
            if (close)
                cache.reset();
            else
                cache->Drop(1);
            atDrop = ReadAll(path);
            // What the writer had begun is whole; a page it never had reads as zeros.
            ASSERT_EQ(atDrop.size() % kPage, 0u);
            for (size_t at = 0; at < atDrop.size(); at += kPage) {
                const auto page = atDrop.begin() + static_cast<ptrdiff_t>(at);
                EXPECT_TRUE(std::all_of(page, page + kPage, [&](uint8_t b) { return b == page[0]; }) &&
                            (page[0] == 0 || page[0] == 0xC3))
                    << "page " << at / kPage;
            }
            if (cache) {
                ASSERT_TRUE(cache->bFlush());
                cache.reset();
            }
        }
        EXPECT_TRUE(ReadAll(path) == atDrop);
        PLT::CloseFile(file);
    }
}

}  // namespace
