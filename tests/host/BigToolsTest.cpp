// The maintenance tools on small bigfiles built with the library's own writer:
// extract then pack gives the same listing and contents, verify finds damage,
// and names from a bigfile never lead a write outside the output folder.
#include <gtest/gtest.h>

#include <zlib.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "BIGfile/BIG_Fat.h"
#include "ERRor/ERR_Assert.h"
#include "host/BigTools.h"
#include "platform/File.h"

namespace fs = std::filesystem;

namespace {

class BigToolsTest : public ::testing::Test {
protected:
    void SetUp() override {
        ERR_SetInteractive(false);
        char pattern[] = "/tmp/orvex-tools-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        m_dir = pattern;
        setenv("MARLIN_REGISTRY", (m_dir + "/registry.ini").c_str(), 1);
    }
    void TearDown() override { fs::remove_all(m_dir); }

    static std::vector<uint8_t> WithRefs(const std::vector<uint32_t>& refs, const std::string& data) {
        std::vector<uint8_t> out;
        auto put = [&out](uint32_t v) {
            for (int b = 0; b < 4; ++b)
                out.push_back(static_cast<uint8_t>(v >> (8 * b)));
        };
        put(static_cast<uint32_t>(refs.size()));
        for (uint32_t r : refs)
            put(r);
        out.insert(out.end(), data.begin(), data.end());
        return out;
    }

    // A bigfile with nested folders, references, a link file, an empty file,
    // a file without content and names that are hostile as paths.
    std::string MakeSample(uint32_t maxSegment = 0xC0000000) {
        const std::string path = m_dir + "/sample.big";
        BIG_cl_Fat fat;
        EXPECT_EQ(fat.File().eCreate(path, false, maxSegment, true), 0u);
        EXPECT_TRUE(fat.Create(64, 16, 0x00070003, 5));
        const uint16_t levels = fat.uw_CreateDirPath("/Levels/Town");
        const uint16_t evil = fat.uw_CreateDir("..", 0);
        EXPECT_NE(levels, BIG_cl_Fat::kNoDir);
        EXPECT_NE(evil, BIG_cl_Fat::kNoDir);
        struct Item {
            const char* name;
            uint16_t dir;
            uint32_t key;
            std::vector<uint32_t> refs;
            std::string data;
        };
        const std::vector<Item> items = {
            {"town.wor", levels, 0x10000001, {0x10000002, 0x10000003}, "world data"},
            {"rock.msh", levels, 0x10000002, {0x10000003}, std::string(5000, 'r')},
            {"rock.tga", 0, 0x10000003, {}, "texture"},
            {"empty.ini", 0, 0x10000004, {}, ""},
            {"..", evil, 0x10000005, {}, "dots"},
            {"a\\b.txd", evil, 0x10000006, {0xDEADBEEF}, "backslash"},
        };
        for (const Item& it : items) {
            const uint32_t index = fat.ul_CreateFile(it.name, 1700000000, it.dir, it.key);
            EXPECT_NE(index, BIG_cl_Fat::kNoFile) << it.name;
            const std::vector<uint8_t> content = WithRefs(it.refs, it.data);
            fat.SaveFile(index, content.data(), static_cast<uint32_t>(content.size()));
        }
        const uint32_t link = fat.ul_CreateFile("alias.msh", 1700000000, levels, 0x10000007);
        fat.SaveLinkFile(link, 0x10000002, 1, 2, 3);
        fat.ul_CreateFile("nodata.gol", 1700000000, levels, 0x10000008);
        fat.WriteFatHeader();
        EXPECT_EQ(fat.File().eClose(), 0u);
        return path;
    }

    static std::string Listing(const std::string& path) {
        std::string error;
        auto fat = HOST::Tools::OpenBigfile(path, &error);
        EXPECT_TRUE(fat) << error;
        if (!fat)
            return {};
        std::ostringstream out;
        HOST::Tools::PrintListing(*fat, out);
        // Contents too, so that equal listings mean equal files.
        BIG_st_ByteBlock block;
        for (uint32_t i = 0; i < fat->ul_GetFileCount(); ++i) {
            uint32_t length = 0;
            if (fat->FileEntry(i).ul_Key && fat->LoadFileInBuffer(i, &block, &length))
                out << std::hex << fat->FileEntry(i).ul_Key << ":" << crc32(0, block.p_Data.get(), length)
                    << " " << fat->FileEntry(i).ul_Time << " " << fat->FileEntry(i).ul_Flags << "\n";
        }
        fat->File().eClose();
        return out.str();
    }

    std::string m_dir;
};

TEST_F(BigToolsTest, ExtractThenPackKeepsListingAndContents) {
    const std::string big = MakeSample();
    std::string error;
    auto fat = HOST::Tools::OpenBigfile(big, &error);
    ASSERT_TRUE(fat) << error;
    HOST::Tools::ExtractResult result;
    ASSERT_TRUE(HOST::Tools::Extract(*fat, m_dir + "/out", {}, &result));
    fat->File().eClose();
    EXPECT_EQ(result.ul_Files, 8u);

    auto original = HOST::Tools::OpenBigfile(big, &error);
    ASSERT_TRUE(original);
    const uint32_t linkTime = original->FileEntry(original->ul_GetFileIndex(0x10000007, false)).ul_Time;
    original->File().eClose();
    // Several segments on the way back must not change anything either.
    for (uint32_t maxSegment : {0xC0000000u, 4096u}) {
        HOST::Tools::PackOptions options;
        options.ul_MaxSegmentSize = maxSegment;
        const std::string packed = m_dir + "/packed-" + std::to_string(maxSegment) + ".big";
        ASSERT_TRUE(HOST::Tools::Pack(m_dir + "/out", packed, options, &error)) << error;
        EXPECT_EQ(Listing(big), Listing(packed));
        auto again = HOST::Tools::OpenBigfile(packed, &error);
        ASSERT_TRUE(again);
        EXPECT_TRUE(HOST::Tools::Verify(*again).empty());
        const uint32_t link = again->ul_GetFileIndex(0x10000007, false);
        uint32_t keys[4];
        again->GetLinkFileKeys(link, keys);
        EXPECT_EQ(keys[0], 0x10000002u);
        EXPECT_EQ(again->FileEntry(link).ul_Time, linkTime);
        EXPECT_EQ(again->File().uw_GetSegmentCount() > 1, maxSegment == 4096u);
        EXPECT_EQ(again->ul_GetPackageWord(), 0x00070003u);
        again->File().eClose();
    }
}

TEST_F(BigToolsTest, HostileNamesStayInsideTheFolder) {
    const std::string big = MakeSample();
    std::string error;
    auto fat = HOST::Tools::OpenBigfile(big, &error);
    ASSERT_TRUE(fat);
    HOST::Tools::ExtractResult result;
    const std::string out = m_dir + "/nested/out";
    ASSERT_TRUE(HOST::Tools::Extract(*fat, out, {}, &result));
    fat->File().eClose();
    EXPECT_GE(result.ul_Renamed, 2u);
    // Nothing appeared beside the output folder.
    std::vector<std::string> names;
    ASSERT_TRUE(PLT::ListDirectory(m_dir + "/nested", &names));
    EXPECT_EQ(names, std::vector<std::string>{"out"});
    for (const auto& entry : fs::recursive_directory_iterator(out)) {
        const std::string rel = fs::relative(entry.path(), out).string();
        EXPECT_EQ(rel.find(".."), std::string::npos) << rel;
    }
    for (const char* c : {".", "..", "a/b", "a\\b", ""}) {
        const std::string safe = HOST::Tools::SafeComponent(c);
        EXPECT_TRUE(safe != "." && safe != ".." && !safe.empty()) << c;
        EXPECT_EQ(safe.find('/'), std::string::npos);
        EXPECT_EQ(safe.find('\\'), std::string::npos);
    }
}

TEST_F(BigToolsTest, ExtractOnlyChosenKeys) {
    const std::string big = MakeSample();
    std::string error;
    auto fat = HOST::Tools::OpenBigfile(big, &error);
    ASSERT_TRUE(fat);
    HOST::Tools::ExtractResult result;
    ASSERT_TRUE(HOST::Tools::Extract(*fat, m_dir + "/one", {0x10000002}, &result));
    fat->File().eClose();
    EXPECT_EQ(result.ul_Files, 1u);
    EXPECT_TRUE(fs::exists(m_dir + "/one/Levels/Town/rock.msh"));
    EXPECT_EQ(fs::file_size(m_dir + "/one/Levels/Town/rock.msh"), 5000u);
}

TEST_F(BigToolsTest, PackRefusesManifestsThatLeaveTheFolder) {
    const std::string big = MakeSample();
    std::string error;
    auto fat = HOST::Tools::OpenBigfile(big, &error);
    ASSERT_TRUE(fat);
    HOST::Tools::ExtractResult result;
    ASSERT_TRUE(HOST::Tools::Extract(*fat, m_dir + "/out", {}, &result));
    fat->File().eClose();
    std::string manifest;
    ASSERT_TRUE(PLT::ReadWholeFile(m_dir + "/out/manifest.json", &manifest));
    const std::string good = "\"Levels/Town/rock.msh\"";
    const size_t at = manifest.find(good);
    ASSERT_NE(at, std::string::npos);
    for (const char* bad : {"\"../sample.big\"", "\"/etc/passwd\"", "\"Levels/../../x\""}) {
        std::string changed = manifest;
        changed.replace(at, good.size(), bad);
        ASSERT_TRUE(PLT::WriteWholeFile(m_dir + "/out/manifest.json", changed.data(), changed.size()));
        EXPECT_FALSE(HOST::Tools::Pack(m_dir + "/out", m_dir + "/bad.big", {}, &error)) << bad;
        EXPECT_NE(error.find("leaves the folder"), std::string::npos) << error;
        EXPECT_FALSE(fs::exists(m_dir + "/bad.big"));
    }
    const std::string broken = "{\"orvex_manifest\": 1, \"header\": {}";
    ASSERT_TRUE(PLT::WriteWholeFile(m_dir + "/out/manifest.json", broken.data(), broken.size()));
    EXPECT_FALSE(HOST::Tools::Pack(m_dir + "/out", m_dir + "/bad.big", {}, &error));
    EXPECT_NE(error.find("manifest"), std::string::npos);
}

TEST_F(BigToolsTest, VerifyReportsDamagedContent) {
    const std::string big = MakeSample();
    std::string error;
    {
        auto fat = HOST::Tools::OpenBigfile(big, &error);
        ASSERT_TRUE(fat);
        EXPECT_TRUE(HOST::Tools::Verify(*fat).empty());
        fat->File().eClose();
    }
    // Flip one byte inside the 5000 'r' of rock.msh.
    std::string bytes;
    ASSERT_TRUE(PLT::ReadWholeFile(big, &bytes));
    const size_t at = bytes.find(std::string(100, 'r'));
    ASSERT_NE(at, std::string::npos);
    bytes[at + 50] = 'X';
    ASSERT_TRUE(PLT::WriteWholeFile(big, bytes.data(), bytes.size()));
    auto fat = HOST::Tools::OpenBigfile(big, &error);
    ASSERT_TRUE(fat);
    const std::vector<std::string> problems = HOST::Tools::Verify(*fat);
    fat->File().eClose();
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_NE(problems[0].find("10000002"), std::string::npos);
    EXPECT_NE(problems[0].find("checksum mismatch"), std::string::npos);
}

TEST_F(BigToolsTest, OpenNamesASegmentClaimBeyondTheFile) {
    const std::string big = MakeSample();
    std::string bytes;
    ASSERT_TRUE(PLT::ReadWholeFile(big, &bytes));
    // The header's end (offset 0x20) moves to 4 GiB past a 2048-byte content base.
    const uint64_t end = (uint64_t{1} << 32) - 2048;
    for (int b = 0; b < 8; ++b)
        bytes[0x20 + b] = static_cast<char>(end >> (8 * b));
    ASSERT_TRUE(PLT::WriteWholeFile(big, bytes.data(), bytes.size()));
    std::string error;
    auto fat = HOST::Tools::OpenBigfile(big, &error);
    EXPECT_FALSE(fat);
    EXPECT_NE(error.find("container error 3"), std::string::npos) << error;
    EXPECT_NE(error.find("Segment 0 claims content up to byte 4294967296 of " + big + ", which holds " +
                         std::to_string(bytes.size()) + " bytes!"),
              std::string::npos)
        << error;
}

}  // namespace
