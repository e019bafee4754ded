#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "BIGfile/BIG_Endian.h"
#include "BIGfile/BIG_Linker.h"
#include "ERRor/ERR_Assert.h"
#include "ERRor/ERR_Log.h"
#include "plugin/OVI_LinkerConvert.h"
#include "tests/support/LogCapture.h"

namespace {

using ORVEX::OVI_LinkerConvert;

// A fresh folder per test, removed afterwards.
class LinkerTempDir {
public:
    LinkerTempDir() {
        static std::atomic<int> counter{0};
        m_path =
            (std::filesystem::temp_directory_path() /
             ("orvex-linker-" + std::to_string(std::random_device{}()) + "-" + std::to_string(counter++)))
                .string();
        std::filesystem::remove_all(m_path);
        std::filesystem::create_directories(m_path);
    }
    ~LinkerTempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
    }
    std::string operator/(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

std::vector<uint8_t> ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// An encoded map: version, count, reserved block filled with `reservedFill`,
// then the pairs. `count` may differ from the pairs given, to forge damage.
std::vector<uint8_t> MapBytes(uint32_t version, uint32_t count, const std::vector<BIG_st_Link>& links,
                              uint8_t reservedFill = 0) {
    std::vector<uint8_t> bytes;
    BIG::Endian::ByteAppender out(&bytes);
    out.U32(version);
    out.U32(count);
    for (size_t i = 0; i < BIG_cl_Linker::kReservedSize; ++i)
        out.U8(reservedFill);
    for (const BIG_st_Link& link : links) {
        out.U32(link.ul_Key);
        out.U32(link.ul_Target);
    }
    return bytes;
}

// Assertions only.
struct LinkerAssertions : test_support::LogCapture {
    LinkerAssertions() : LogCapture({ERR_Level_Assert}) {}
};

TEST(LinkerMap, EncodedSizeFollowsLinkCount) {
    struct Case {
        uint32_t links;
        size_t bytes;
    };
    const Case cases[] = {{0, 64}, {1, 72}, {3, 88}, {100, 864}};
    for (const Case& c : cases) {
        LinkerTempDir dir;
        OVI_LinkerConvert linker;
        linker.Init(c.links);
        for (uint32_t i = 0; i < c.links; ++i)
            ASSERT_EQ(linker.AddLink(0x100 + i, 0x200 + i), 0);
        ASSERT_EQ(linker.Save((dir / "linker_pc.map").c_str()), 0);
        const std::vector<uint8_t> bytes = ReadBytes(dir / "linker_pc.map");
        EXPECT_EQ(bytes.size(), c.bytes) << c.links << " links";
        ASSERT_GE(bytes.size(), 8u);
        EXPECT_EQ(BIG::Endian::Get32(bytes.data()), 1u);
        EXPECT_EQ(BIG::Endian::Get32(bytes.data() + 4), c.links);
    }
}

TEST(LinkerMap, ExactBytesOfSmallMap) {
    LinkerTempDir dir;
    OVI_LinkerConvert linker;
    linker.Init(3);
    ASSERT_EQ(linker.AddLink(0x11223344, 0xAABBCCDD), 0);
    ASSERT_EQ(linker.AddLink(0x00000002, 0x00000001), 0);
    ASSERT_EQ(linker.AddLink(0xFFFFFFFE, 0x01020304), 0);
    ASSERT_EQ(linker.Save((dir / "m.map").c_str()), 0);

    std::vector<uint8_t> expected = {0x01, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00};
    expected.insert(expected.end(), 56, 0x00);  // reserved block, zeros when built in memory
    const uint8_t links[] = {0x44, 0x33, 0x22, 0x11, 0xDD, 0xCC, 0xBB, 0xAA, 0x02, 0x00, 0x00, 0x00,
                             0x01, 0x00, 0x00, 0x00, 0xFE, 0xFF, 0xFF, 0xFF, 0x04, 0x03, 0x02, 0x01};
    expected.insert(expected.end(), std::begin(links), std::end(links));
    EXPECT_EQ(ReadBytes(dir / "m.map"), expected);
}

TEST(LinkerMap, KeyIndexFindsEachLinkAtItsPosition) {
    OVI_LinkerConvert linker;
    EXPECT_EQ(linker.ul_GetVersion(), 1u);
    EXPECT_EQ(linker.ul_GetLinkCount(), 0u);
    EXPECT_EQ(linker.GetLinks(), nullptr);
    EXPECT_EQ(linker.GetFileName(), "linker_pc.map");

    linker.Init(10);
    const uint32_t keys[] = {0x70000001, 0x00000005, 0x12345678, 0x00FEF000};
    for (uint32_t i = 0; i < 4; ++i)
        ASSERT_EQ(linker.AddLink(keys[i], i + 1), 0);
    EXPECT_EQ(linker.ul_GetLinkCount(), 4u);
    for (uint32_t i = 0; i < 4; ++i) {
        EXPECT_EQ(linker.ul_FindLink(keys[i]), i);
        EXPECT_EQ(linker.GetLinks()[i].ul_Target, i + 1);
    }
    EXPECT_EQ(linker.ul_FindLink(0x999), BIG_cl_HashTable::kNone);
    EXPECT_EQ(linker.GetKeyIndex().uw_MemCategory(), 243);
    EXPECT_EQ(linker.GetKeyIndex().ul_MemTag(), 515u);

    linker.Free();
    EXPECT_EQ(linker.GetLinks(), nullptr);
    EXPECT_EQ(linker.ul_GetLinkCount(), 0u);
    EXPECT_EQ(linker.ul_FindLink(keys[0]), BIG_cl_HashTable::kNone);
}

TEST(LinkerMap, FullOrUninitialisedMapRefusesLinks) {
    LinkerAssertions asserts;
    OVI_LinkerConvert linker;
    EXPECT_EQ(linker.AddLink(1, 2), -1);  // no Init: no room at all
    EXPECT_EQ(asserts.Count(), 1u);

    linker.Init(2);
    EXPECT_EQ(linker.AddLink(1, 10), 0);
    EXPECT_EQ(linker.AddLink(2, 20), 0);
    EXPECT_EQ(linker.AddLink(3, 30), -1);
    EXPECT_EQ(asserts.Count(), 2u);
    EXPECT_EQ(linker.ul_GetLinkCount(), 2u);
    EXPECT_EQ(linker.ul_FindLink(3), BIG_cl_HashTable::kNone);
    EXPECT_EQ(linker.ul_FindLink(2), 1u);
}

TEST(LinkerMap, SaveRefusesNullOrUnwritablePathAndKeepsFileName) {
    LinkerTempDir dir;
    OVI_LinkerConvert linker;
    linker.Init(1);
    ASSERT_EQ(linker.AddLink(5, 6), 0);
    EXPECT_EQ(linker.Save(nullptr), -1);
    EXPECT_EQ(linker.GetFileName(), "linker_pc.map");
    EXPECT_EQ(linker.Save((dir / "no-such-folder/linker_pc.map").c_str()), -1);
    EXPECT_EQ(linker.GetFileName(), "linker_pc.map");
    EXPECT_FALSE(std::filesystem::exists(dir / "no-such-folder"));

    // A long path is kept whole, so that Load reads the file just saved.
    const std::string longName = dir / (std::string(100, 'n') + ".map");
    EXPECT_EQ(linker.Save(longName.c_str()), 0);
    EXPECT_EQ(linker.GetFileName(), longName);
    EXPECT_EQ(linker.Load(), 0);
    EXPECT_TRUE(linker.b_LastLoadRead());
    EXPECT_EQ(linker.ul_LastLoadLinkCount(), 1u);
}

TEST(LinkerMap, LoadReadsBackWhatSaveWrote) {
    LinkerTempDir dir;
    OVI_LinkerConvert linker;
    linker.Init(50);
    for (uint32_t i = 0; i < 50; ++i)
        ASSERT_EQ(linker.AddLink(i * 7919u + 1, i), 0);
    const std::string path = dir / "linker_pc.map";
    ASSERT_EQ(linker.Save(path.c_str()), 0);
    EXPECT_EQ(linker.GetFileName(), path);
    EXPECT_EQ(linker.Load(), 0);
    EXPECT_TRUE(linker.b_LastLoadRead());
    EXPECT_EQ(linker.ul_LastLoadLinkCount(), 50u);
    // Nothing of the loaded map replaces the builder's own links.
    EXPECT_EQ(linker.ul_GetLinkCount(), 50u);

    BIG_cl_Linker decoded(0, 0);
    const std::vector<uint8_t> bytes = ReadBytes(path);
    ASSERT_EQ(decoded.eDecode(bytes.data(), bytes.size()), BIG_cl_Linker::Decode::eOk);
    ASSERT_EQ(decoded.ul_GetLinkCount(), 50u);
    for (uint32_t i = 0; i < 50; ++i) {
        EXPECT_EQ(decoded.GetLinks()[i].ul_Key, i * 7919u + 1);
        EXPECT_EQ(decoded.GetLinks()[i].ul_Target, i);
        EXPECT_EQ(decoded.ul_FindLink(i * 7919u + 1), i);
    }
}

TEST(LinkerMap, DecodeKeepsVersionAndReservedBlockThrough) {
    const std::vector<uint8_t> original = MapBytes(2, 2, {{9, 8}, {7, 6}}, 0xA5);
    BIG_cl_Linker map(0, 0);
    ASSERT_EQ(map.eDecode(original.data(), original.size()), BIG_cl_Linker::Decode::eOk);
    EXPECT_EQ(map.ul_GetVersion(), 2u);
    EXPECT_EQ(map.GetReserved()[0], 0xA5);
    EXPECT_EQ(map.GetReserved()[55], 0xA5);
    std::vector<uint8_t> again;
    map.EncodeTo(&again);
    EXPECT_EQ(again, original);
}

TEST(LinkerMap, DecodeChecksVersionAndSizesBeforeAllocating) {
    using D = BIG_cl_Linker::Decode;
    struct Case {
        const char* what;
        std::vector<uint8_t> bytes;
        D expected;
    };
    std::vector<uint8_t> header = MapBytes(1, 0, {});
    const std::vector<uint8_t> shortHeader(header.begin(), header.begin() + 63);
    std::vector<uint8_t> oneLinkShort = MapBytes(1, 2, {{1, 2}});
    std::vector<uint8_t> trailing = MapBytes(1, 1, {{1, 2}, {3, 4}});
    std::vector<uint8_t> halfLink = MapBytes(1, 1, {});
    halfLink.insert(halfLink.end(), 4, 0);
    const Case cases[] = {
        {"version 0", MapBytes(0, 1, {{1, 2}}), D::eOk},
        {"version 2", MapBytes(2, 1, {{1, 2}}), D::eOk},
        {"version 3", MapBytes(3, 1, {{1, 2}}), D::eNewerVersion},
        {"version max", MapBytes(0xFFFFFFFF, 0, {}), D::eNewerVersion},
        {"empty", {}, D::eEmpty},
        {"63 bytes", shortHeader, D::eTooShort},
        {"count past end", oneLinkShort, D::eTruncatedLinks},
        {"half a link", halfLink, D::eTruncatedLinks},
        {"huge count", MapBytes(1, 0xFFFFFFFF, {{1, 2}}), D::eTruncatedLinks},
        {"bytes after links", trailing, D::eOk},
    };
    for (const Case& c : cases) {
        BIG_cl_Linker map(0, 0);
        EXPECT_EQ(map.eDecode(c.bytes.data(), c.bytes.size()), c.expected) << c.what;
        if (c.expected != D::eOk) {
            EXPECT_EQ(map.ul_GetLinkCount(), 0u) << c.what;
            EXPECT_EQ(map.GetLinks(), nullptr) << c.what;
        }
    }
}

TEST(LinkerMap, LoadIgnoresNewerVersionAndReportsDamage) {
    struct Case {
        const char* what;
        std::vector<uint8_t> bytes;
        bool read;
        bool errorLine;
    };
    const Case cases[] = {
        {"version 1", MapBytes(1, 1, {{1, 2}}), true, false},
        {"version 3", MapBytes(3, 1, {{1, 2}}), false, false},
        {"empty file", {}, false, false},
        {"truncated header", std::vector<uint8_t>(10, 0), false, true},
        {"truncated links", MapBytes(1, 1000, {{1, 2}}), false, true},
    };
    for (const Case& c : cases) {
        LinkerTempDir dir;
        OVI_LinkerConvert linker;
        linker.Init(0);
        const std::string path = dir / "linker_pc.map";
        ASSERT_EQ(linker.Save(path.c_str()), 0);
        WriteBytes(path, c.bytes);
        testing::internal::CaptureStdout();
        EXPECT_EQ(linker.Load(), 0) << c.what;
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(linker.b_LastLoadRead(), c.read) << c.what;
        EXPECT_EQ(out.find("[   error][linker          ][Unable to read linker map") != std::string::npos,
                  c.errorLine)
            << c.what << ": " << out;
    }

    // A missing file is not an error either.
    LinkerTempDir dir;
    OVI_LinkerConvert linker;
    linker.Init(0);
    const std::string path = dir / "gone.map";
    ASSERT_EQ(linker.Save(path.c_str()), 0);
    std::filesystem::remove(path);
    testing::internal::CaptureStdout();
    EXPECT_EQ(linker.Load(), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_FALSE(linker.b_LastLoadRead());
}

TEST(LinkerMap, AllocationParametersAndReferenceCount) {
    BIG_cl_Linker* map = new BIG_cl_Linker(0x1234, 0xCAFEF00D);
    EXPECT_EQ(map->uw_GetAllocParam(), 0x1234);
    EXPECT_EQ(map->ul_GetAllocParam(), 0xCAFEF00Du);
    EXPECT_EQ(map->uw_GetRefCount(), 0);
    map->Init(4);
    map->AddRef();
    map->AddRef();
    map->Release();
    EXPECT_EQ(map->uw_GetRefCount(), 1);
    map->Release();  // deletes the map with its links and index (checked by the sanitizers)

    OVI_LinkerConvert converter;
    EXPECT_EQ(converter.uw_GetAllocParam(), 0);
    EXPECT_EQ(converter.ul_GetAllocParam(), 0u);
    converter.NoOp();
    EXPECT_EQ(converter.ul_NoOp(42), 0u);
}

}  // namespace
