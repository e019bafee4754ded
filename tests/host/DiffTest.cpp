// `orvex diff` as a user runs it: bigfiles built with the library's own
// writer, repacked into other layouts, changed and cut.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "BIGfile/BIG_Fat.h"
#include "ERRor/ERR_Assert.h"
#include "BIGfile/BIG_DuplicatedFilesManager.h"
#include "host/BigTools.h"
#include "host/BigToolsInternal.h"
#include "platform/Process.h"
#include "platform/File.h"
#include "tests/host/BigfileBuilder.h"
#include "tests/support/RunOrvex.h"

namespace fs = std::filesystem;

namespace {

// diff needs no plug-in: the variable is unset.
PLT::ProcessResult RunOrvex(const std::vector<std::string>& args) {
    return test_support::RunOrvex(args, {"ORVEX_PLUGIN", "MARLIN_DEBUG_OUTPUT"});
}

using test_support::Contains;

// Where a small-header segment's content, and so the bigfile header, begins.
constexpr size_t kSmallHeaderBase = 2048;

// How a sample departs from the reference one.
struct Variant {
    uint32_t ul_Drop = 0;     // key left out
    uint32_t ul_Change = 0;   // key whose content gets one more byte
    uint32_t ul_Retime = 0;   // key saved with another time
    uint32_t ul_Add = 0;      // key of one more file
    uint32_t ul_Package = 0;  // key whose entry says its content lies in package bigfile 1
};

class DiffTest : public ::testing::Test {
protected:
    void SetUp() override {
        ERR_SetInteractive(false);
        char pattern[] = "/tmp/orvex-diff-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        m_dir = pattern;
        setenv("MARLIN_REGISTRY", (m_dir + "/registry.ini").c_str(), 1);
    }
    void TearDown() override { fs::remove_all(m_dir); }

    std::string MakeSample(const std::string& name, const Variant& v = {}) {
        const std::string path = m_dir + "/" + name;
        Build(path, v);
        return path;
    }

    void Build(const std::string& path, const Variant& v) {
        BIG_cl_Fat fat;
        EXPECT_EQ(fat.File().eCreate(path, false, 0xC0000000, true), 0u);
        EXPECT_TRUE(fat.Create(32, 8, 0x00070003, 5));
        const uint16_t levels = fat.uw_CreateDirPath("/Levels/Town");
        struct Item {
            const char* name;
            uint16_t dir;
            uint32_t key;
            std::string data;
        };
        std::vector<Item> items = {
            {"town.wor", levels, 0x10000001, "world data"},
            {"rock.msh", levels, 0x10000002, std::string(5000, 'r')},
            {"rock.tga", 0, 0x10000003, "texture"},
            {"empty.ini", 0, 0x10000004, ""},
        };
        if (v.ul_Add != 0)
            items.push_back({"extra.ini", 0, v.ul_Add, "extra!"});
        for (const Item& it : items) {
            if (it.key == v.ul_Drop)
                continue;
            const uint32_t time = it.key == v.ul_Retime ? 1700000100 : 1700000000;
            const uint32_t index = fat.ul_CreateFile(it.name, time, it.dir, it.key);
            EXPECT_NE(index, BIG_cl_Fat::kNoFile) << it.name;
            std::string content(4, '\0');  // an empty reference table
            content += it.data;
            if (it.key == v.ul_Change)
                content += 'x';
            fat.SaveFile(index, content.data(), static_cast<uint32_t>(content.size()));
            // Saving stamps the current time: put the chosen one back.
            BIG_st_FileEntry* entry = fat.pst_GetFileEntry(index);
            ASSERT_NE(entry, nullptr);
            entry->ul_Time = time;
            if (it.key == v.ul_Package) {
                entry->uc_StorageFlags |= BIG_st_FileEntry::kStoragePackage;
                entry->ul_Pos = (1u << BIG_st_FileEntry::kPackageIndexShift) | 3u;
            }
            fat.WriteFileEntry(index);
        }
        fat.ul_CreateFile("nodata.gol", 1700000000, levels, 0x10000008);
        fat.WriteFatHeader();
        EXPECT_EQ(fat.File().eClose(), 0u);
    }

    // `big` extracted and packed again with other segments and alignment.
    std::string Repack(const std::string& big, const std::string& name, int alignmentShift,
                       uint32_t maxSegment) {
        std::string error;
        auto fat = HOST::Tools::OpenBigfile(big, &error);
        EXPECT_TRUE(fat) << error;
        if (!fat)
            return {};
        HOST::Tools::ExtractResult result;
        const std::string folder = m_dir + "/x-" + name;
        EXPECT_TRUE(HOST::Tools::Extract(*fat, folder, {}, &result));
        fat->File().eClose();
        HOST::Tools::PackOptions options;
        options.i_AlignmentShift = alignmentShift;
        options.ul_MaxSegmentSize = maxSegment;
        const std::string packed = m_dir + "/" + name;
        EXPECT_TRUE(HOST::Tools::Pack(folder, packed, options, &error)) << error;
        return packed;
    }

    std::string m_dir;
};

TEST_F(DiffTest, SameContentsInAnyLayoutAreTheSame) {
    const std::string a = MakeSample("a.big");
    const std::vector<std::string> others = {
        a,
        MakeSample("copy.big"),
        Repack(a, "segments.big", 3, 4096),
        Repack(a, "aligned.big", 11, 0xC0000000),
    };
    for (const std::string& b : others) {
        SCOPED_TRACE(b);
        const PLT::ProcessResult text = RunOrvex({"diff", a, b});
        EXPECT_EQ(text.exitCode, 0) << text.out << text.err;
        EXPECT_TRUE(Contains(text.out, "same files and contents")) << text.out;
        EXPECT_TRUE(Contains(text.out, ": 5 files, 5033 bytes")) << text.out;

        const PLT::ProcessResult json = RunOrvex({"diff", a, b, "--json"});
        ASSERT_EQ(json.exitCode, 0) << json.out << json.err;
        const nlohmann::json j = nlohmann::json::parse(json.out);
        EXPECT_TRUE(j["same"].get<bool>());
        EXPECT_EQ(j["totals"]["same"]["files"], 5);
    }
}

TEST_F(DiffTest, RemovedChangedAndAddedFilesAreNamedWithTheirBytes) {
    const std::string a = MakeSample("a.big");
    Variant v;
    v.ul_Drop = 0x10000003;
    v.ul_Change = 0x10000002;
    v.ul_Retime = 0x10000001;
    v.ul_Add = 0x10000009;
    const std::string b = Repack(MakeSample("b.big", v), "b-segments.big", 4, 4096);

    const PLT::ProcessResult text = RunOrvex({"diff", a, b});
    EXPECT_EQ(text.exitCode, 1) << text.out << text.err;
    EXPECT_TRUE(Contains(text.out, "only in A  10000003  11 bytes  //rock.tga\n")) << text.out;
    EXPECT_TRUE(Contains(text.out, "only in B  10000009  10 bytes  //extra.ini\n")) << text.out;
    EXPECT_TRUE(Contains(text.out, "differs    10000002  //Levels/Town/rock.msh: content ")) << text.out;
    EXPECT_TRUE(Contains(text.out, "; size 5004 -> 5005\n")) << text.out;
    EXPECT_TRUE(
        Contains(text.out, "differs    10000001  //Levels/Town/town.wor: time 1700000000 -> 1700000100\n"))
        << text.out;
    EXPECT_TRUE(Contains(text.out,
                         "only in A: 1 files, 11 bytes; only in B: 1 files, 10 bytes; differ: 2 files, "
                         "5018 bytes in A, 5019 bytes in B; same: 2 files"))
        << text.out;

    const PLT::ProcessResult json = RunOrvex({"diff", a, b, "--json"});
    ASSERT_EQ(json.exitCode, 1) << json.out << json.err;
    const nlohmann::json j = nlohmann::json::parse(json.out);
    EXPECT_FALSE(j["same"].get<bool>());
    ASSERT_EQ(j["only_in_a"].size(), 1u);
    EXPECT_EQ(j["only_in_a"][0]["key"], "0x10000003");
    ASSERT_EQ(j["only_in_b"].size(), 1u);
    EXPECT_EQ(j["only_in_b"][0]["key"], "0x10000009");
    ASSERT_EQ(j["changed"].size(), 2u);
    EXPECT_EQ(j["changed"][0]["key"], "0x10000001");
    EXPECT_EQ(j["changed"][0]["fields"], nlohmann::json({"time"}));
    EXPECT_EQ(j["changed"][1]["key"], "0x10000002");
    EXPECT_EQ(j["changed"][1]["fields"], nlohmann::json({"content", "size"}));
    EXPECT_EQ(j["changed"][1]["a"]["size"], 5004);
    EXPECT_EQ(j["changed"][1]["b"]["size"], 5005);
    EXPECT_EQ(j["totals"]["only_in_a"]["bytes"], 11);
    EXPECT_EQ(j["totals"]["changed"]["b_bytes"], 5019);
}

// Files stored in several places (copy lists) are compared by their
// content: against the same files stored once, against another layout whose
// duplicated-files table lists other places, and against a change made in
// every copy. A bigfile whose copies of one file disagree has no one content
// to compare: an error that names the file, not a guess.
TEST_F(DiffTest, CopyListStorageIsComparedByContent) {
    using namespace bigfile_builder;
    auto entries = [](uint32_t copies, const std::string& rock) {
        return std::vector<Entry>{
            {{"levels"},
             "town.wor",
             0x20000001,
             Entry::eContent,
             std::string(3000, 'w'),
             {0x20000002},
             copies},
            {{"levels"}, "rock.msh", 0x20000002, Entry::eContent, rock, {}, copies == 0 ? 0u : 2u},
            {{}, "plain.ini", 0x20000003, Entry::eContent, std::string(5000, 'p')},
            {{}, "Copies.dup", BIG_DuplicatedFilesManager::kFileKey},
        };
    };
    const std::string a = m_dir + "/copies.big";
    MakeBigfile(a, {}, entries(3, "rock"));
    const std::string once = m_dir + "/once.big";
    MakeBigfile(once, {}, entries(0, "rock"));
    const std::string changed = m_dir + "/changed.big";
    MakeBigfile(changed, {}, entries(3, "ROCK"));
    const std::string other = Repack(a, "other-layout.big", 11, 8192);

    const struct {
        std::string b;
        int exitCode;
        std::vector<std::string> inOut;
    } cases[] = {
        {a, 0, {"same files and contents"}},
        {other, 0, {"same files and contents"}},
        {once, 0, {"same files and contents"}},
        {changed, 1, {"differs    20000002  //levels/rock.msh: content ", "differ: 1 files"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.b);
        const PLT::ProcessResult r = RunOrvex({"diff", a, c.b});
        EXPECT_EQ(r.exitCode, c.exitCode) << r.out << r.err;
        for (const std::string& part : c.inOut)
            EXPECT_TRUE(Contains(r.out, part)) << r.out;
        EXPECT_TRUE(r.err.empty()) << r.err;
    }

    // One of the three copies of town.wor damaged by byte surgery.
    std::string error;
    auto fat = HOST::Tools::OpenBigfile(a, &error);
    ASSERT_TRUE(fat) << error;
    HOST::Tools::detail::ContentReader contents(*fat);
    std::vector<uint32_t> places;
    ASSERT_TRUE(contents.bPlaces(fat->ul_GetFileIndex(0x20000001, false), &places, &error)) << error;
    ASSERT_EQ(places.size(), 3u);
    const uint64_t lastCopy = fat->oGetDataPos().ull_GetByteOffset() + uint64_t{places[2]} * 8 + 4 + 100;
    fat->File().eClose();
    std::string bytes;
    ASSERT_TRUE(PLT::ReadWholeFile(a, &bytes));
    bytes[kSmallHeaderBase + lastCopy] ^= 0x20;
    const std::string damaged = m_dir + "/damaged.big";
    ASSERT_TRUE(PLT::WriteWholeFile(damaged, bytes.data(), bytes.size()));
    for (const auto& args :
         {std::vector<std::string>{"diff", a, damaged}, {"diff", damaged, once, "--json"}}) {
        const PLT::ProcessResult r = RunOrvex(args);
        EXPECT_EQ(r.exitCode, 4) << r.out << r.err;
        EXPECT_TRUE(Contains(r.err, "damaged.big: the copies of 0x20000001 //levels/town.wor differ"))
            << r.err;
        EXPECT_TRUE(r.out.empty()) << r.out;
    }
}

// A content kept in a package bigfile cannot be read here: the file is
// listed as not compared and counted apart, never as the same, and a diff
// that found nothing else never exits 0 for it.
TEST_F(DiffTest, ContentsInPackageBigfilesAreNamedAsNotCompared) {
    const std::string plain = MakeSample("plain.big");
    Variant packaged;
    packaged.ul_Package = 0x10000002;
    const std::string a = MakeSample("a.big", packaged);
    Variant retimed = packaged;
    retimed.ul_Retime = 0x10000001;
    Variant retimedInPackage = packaged;
    retimedInPackage.ul_Retime = 0x10000002;
    const std::string inBoth =
        "not compared  10000002  //Levels/Town/rock.msh: the content lies in package "
        "bigfile 1 of A and package bigfile 1 of B, which is not open here\n";
    const struct {
        std::string a, b;
        int exitCode;
        std::vector<std::string> inOut;
    } cases[] = {
        {a,
         a,
         4,
         {inBoth, "(1 of them in package bigfiles, not read)", "same: 4 files; not compared: 1 files\n"}},
        {a, MakeSample("copy.big", packaged), 4, {inBoth}},
        {plain,
         a,
         4,
         {"not compared  10000002  //Levels/Town/rock.msh: the content lies in package bigfile 1 of B, which",
          "A " + plain + ": 5 files, 5033 bytes\n", "same: 4 files; not compared: 1 files\n"}},
        {a,
         MakeSample("retimed.big", retimed),
         1,
         {"differs    10000001  //Levels/Town/town.wor: time ", inBoth, "differ: 1 files",
          "same: 3 files; not compared: 1 files\n"}},
        {a,
         MakeSample("retimed-package.big", retimedInPackage),
         1,
         {"differs    10000002  //Levels/Town/rock.msh: time 1700000000 -> 1700000100; content not "
          "compared: the content lies in package bigfile 1 of A and package bigfile 1 of B",
          "differ: 1 files, 0 bytes in A, 0 bytes in B; same: 4 files\n"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.a + " " + c.b);
        const PLT::ProcessResult r = RunOrvex({"diff", c.a, c.b});
        EXPECT_EQ(r.exitCode, c.exitCode) << r.out << r.err;
        for (const std::string& part : c.inOut)
            EXPECT_TRUE(Contains(r.out, part)) << r.out;
        EXPECT_FALSE(Contains(r.out, "same files and contents")) << r.out;
        EXPECT_EQ(Contains(r.err, "orvex diff: 1 files not compared: their contents lie in package bigfiles"),
                  c.exitCode == 4)
            << r.err;
    }

    const PLT::ProcessResult json = RunOrvex({"diff", plain, a, "--json"});
    ASSERT_EQ(json.exitCode, 4) << json.out << json.err;
    const nlohmann::json j = nlohmann::json::parse(json.out);
    EXPECT_FALSE(j["same"].get<bool>());
    EXPECT_EQ(j["b"]["package_files"], 1);
    ASSERT_EQ(j["not_compared"].size(), 1u);
    EXPECT_EQ(j["not_compared"][0]["key"], "0x10000002");
    EXPECT_EQ(j["not_compared"][0]["b"]["package"], 1);
    EXPECT_TRUE(j["not_compared"][0]["b"]["size"].is_null());
    EXPECT_EQ(j["totals"]["not_compared"]["files"], 1);
    EXPECT_EQ(j["totals"]["same"]["files"], 4);
}

TEST_F(DiffTest, UnreadableInputIsAnErrorNotADifference) {
    const std::string a = MakeSample("a.big");
    const std::string garbage = m_dir + "/garbage.big";
    {
        std::FILE* f = std::fopen(garbage.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        std::fputs("not a bigfile at all", f);
        std::fclose(f);
    }
    const struct {
        std::vector<std::string> args;
        int exitCode;  // 4 cannot be opened, 5 tables unreadable, as in every command
    } cases[] = {
        {{"diff", a, m_dir + "/missing.big"}, 4},
        {{"diff", garbage, a}, 5},
        {{"diff", a, garbage, "--json"}, 5},
    };
    for (const auto& [args, exitCode] : cases) {
        const PLT::ProcessResult r = RunOrvex(args);
        EXPECT_EQ(r.exitCode, exitCode) << args[1] << " " << args[2] << "\n" << r.out << r.err;
        EXPECT_TRUE(Contains(r.err, "orvex diff: ")) << r.err;
        EXPECT_TRUE(r.out.empty()) << r.out;
    }
    EXPECT_EQ(RunOrvex({"diff", a}).exitCode, 2);
}

}  // namespace
