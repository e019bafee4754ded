// The maintenance tools on small bigfiles built with the library's own writer:
// extract then pack gives the same listing and contents for every kind of
// bigfile the format allows, verify finds damage, and names from a bigfile
// never lead a write outside the output folder.
#include <gtest/gtest.h>

#include <zlib.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "BIGfile/BIG_DuplicatedFilesManager.h"
#include "BIGfile/BIG_Endian.h"
#include "BIGfile/BIG_Fat.h"
#include "BIGfile/BIG_FatHeader.h"
#include "BIGfile/BIG_SegmentHeader.h"
#include "ERRor/ERR_Assert.h"
#include "host/BigTools.h"
#include "host/BigToolsInternal.h"
#include "tests/host/BigfileBuilder.h"
#include "platform/Clock.h"
#include "platform/File.h"

namespace fs = std::filesystem;

namespace {

using namespace bigfile_builder;

// The duplicated-files table's content, whose places change with the layout,
// described by everything else: its size, reference table, entry count and
// shift, and for each entry the copy it holds ("20000001#2"), "-" for no
// place, "?" for a place that no copy list names.
std::string TableDescription(const std::vector<uint8_t>& data,
                             const std::map<uint32_t, std::string>& owners) {
    BIG::Endian::ByteReader in(data.data(), data.size());
    const uint32_t refs = in.U32(0);
    const size_t at = 4 + size_t{refs} * 4;
    std::ostringstream out;
    out << data.size() << " refs";
    for (uint32_t r = 0; r < refs; ++r)
        out << " " << std::hex << in.U32(4 + 4 * r) << std::dec;
    const uint32_t count = in.U32(at + BIG_DuplicatedFilesManager::kOffsetCount);
    out << " entries " << count << " shift " << unsigned(in.U8(at + BIG_DuplicatedFilesManager::kOffsetShift))
        << ":";
    for (uint32_t k = 0; k < count && in.bOk(); ++k) {
        const auto owner = owners.find(k);
        out << " "
            << (in.U32(at + BIG_DuplicatedFilesManager::kOffsetEntries + 4 * k) ==
                        BIG_DuplicatedFilesManager::kNoPlace
                    ? "-"
                : owner == owners.end() ? "?"
                                        : owner->second);
    }
    EXPECT_TRUE(in.bOk());
    return out.str();
}

// Everything a round trip must keep, one line per file in key order: key, the
// path's bytes, name, type, time, flags, its directory's index, copy count and
// the content's CRC (every copy's); for the duplicated-files table,
// TableDescription. Then one line per directory: index, name and parent, so
// that two sibling folders of one name and the files of each are told apart.
std::string Description(const std::string& path) {
    std::string error;
    auto fat = HOST::Tools::OpenBigfile(path, &error);
    EXPECT_TRUE(fat) << error;
    if (!fat)
        return {};
    HOST::Tools::detail::ContentReader contents(*fat);
    std::map<uint32_t, std::string> lines;
    std::vector<uint32_t> places;
    std::vector<uint8_t> data;
    std::map<uint32_t, std::string> owners;  // table entry -> the copy it holds
    for (uint32_t i = 0; i < fat->ul_GetFileCount(); ++i) {
        const BIG_st_FileEntry& e = fat->FileEntry(i);
        if (e.ul_Key != 0 && contents.bIsCopyList(i))
            for (uint32_t c = 0; c < BIG_DuplicatedFilesManager::ul_CopyCount(e.ul_Pos); ++c)
                owners[BIG_DuplicatedFilesManager::ul_FirstIndex(e.ul_Pos) + c] =
                    HOST::Tools::detail::Hex8(e.ul_Key) + "#" + std::to_string(c + 1);
    }
    for (uint32_t i = 0; i < fat->ul_GetFileCount(); ++i) {
        const BIG_st_FileEntry& e = fat->FileEntry(i);
        if (e.ul_Key == 0)
            continue;
        std::ostringstream line;
        line << std::hex << e.ul_Key << " " << HOST::Tools::EscapeText(fat->GetFilePath(i)) << " | "
             << HOST::Tools::EscapeText(fat->GetFileName(i)) << " " << unsigned(e.uc_Type) << " " << e.ul_Time
             << " " << e.ul_Flags << " in d" << e.uw_Dir;
        std::string problem;
        EXPECT_TRUE(contents.bPlaces(i, &places, &problem)) << problem;
        line << " x" << places.size();
        for (uint32_t p : places) {
            EXPECT_TRUE(contents.bRead(p, &data, &problem)) << problem;
            if (e.ul_Key == BIG_DuplicatedFilesManager::kFileKey)
                line << " " << TableDescription(data, owners);
            else
                line << " " << crc32(0, data.data(), static_cast<uInt>(data.size()));
        }
        lines[e.ul_Key] = line.str();
    }
    std::string all;
    for (const auto& [key, line] : lines)
        all += line + "\n";
    for (uint16_t d = 0; d < fat->uw_GetDirCount(); ++d)
        if (fat->DirEntry(d).bIsUsed())
            all += "d" + std::to_string(d) + " " + HOST::Tools::EscapeText(fat->DirEntry(d).sz_Name) +
                   " in d" + std::to_string(fat->DirEntry(d).uw_Parent) + "\n";
    fat->File().eClose();
    return all;
}

std::string ListingOf(const std::string& path) {
    std::string error;
    auto fat = HOST::Tools::OpenBigfile(path, &error);
    EXPECT_TRUE(fat) << error;
    if (!fat)
        return {};
    std::ostringstream out;
    EXPECT_TRUE(HOST::Tools::PrintListing(*fat, out).empty());
    fat->File().eClose();
    return out.str();
}

std::vector<std::string> VerifyPath(const std::string& path) {
    std::string error;
    auto fat = HOST::Tools::OpenBigfile(path, &error);
    if (!fat)
        return {error};
    auto problems = HOST::Tools::Verify(*fat);
    fat->File().eClose();
    return problems;
}

// A manifest as versions 1 and 2 wrote it: each directory and each file's
// directory named by the path of names from the top.
HOST::Tools::detail::Json ByPath(HOST::Tools::detail::Json manifest) {
    using HOST::Tools::detail::Json;
    auto path = [&manifest](const Json& place) {
        Json names = Json::array();
        for (Json at = place; !at.is_null(); at = manifest["directories"][at.get<size_t>()]["parent"])
            names.insert(names.begin(), manifest["directories"][at.get<size_t>()]["name"]);
        return names;
    };
    for (Json& f : manifest["files"])
        f["dir"] = path(f["dir"]);
    Json dirs = Json::array();
    for (size_t d = 0; d < manifest["directories"].size(); ++d)
        dirs.push_back(path(Json(d)));
    manifest["directories"] = dirs;
    manifest["orvex_manifest"] = 2;
    return manifest;
}

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

    bool ExtractAll(const std::string& big, const std::string& out, HOST::Tools::ExtractResult* result) {
        std::string error;
        auto fat = HOST::Tools::OpenBigfile(big, &error);
        EXPECT_TRUE(fat) << error;
        if (!fat)
            return false;
        HOST::Tools::ExtractOptions options;
        options.b_Sync = false;
        const bool ok = HOST::Tools::ExtractWithOptions(*fat, out, options, result);
        fat->File().eClose();
        return ok;
    }

    std::string m_dir;
};

// Bigfiles the format allows but that are awkward as folders, and the layouts
// a writer may choose: each goes through extract and pack unchanged.
TEST_F(BigToolsTest, ExtractThenPackRoundTripsEveryKindOfBigfile) {
    const std::string latin1Dir = "caf\xE9";
    const std::vector<Entry> names = {
        {{latin1Dir}, "cr\xE8me.ini", 0x10000001, Entry::eContent, "latin-1 names", {0x10000002}},
        {{latin1Dir, "sub dir"}, "a b c.ini", 0x10000002, Entry::eContent, "spaces"},
        {{"-rf"}, "--force.ini", 0x10000003, Entry::eContent, "leading dashes"},
        {{"manifest.json"},
         "inside.ini",
         0x10000004,
         Entry::eContent,
         "under a folder named like the manifest"},
        {{}, "manifest.msh", 0x10000005, Entry::eContent, "beside it"},
        {{std::string(52, 'd')}, std::string(59, 'f') + ".ini", 0x10000006, Entry::eContent, "longest names"},
        {{}, "empty.ini", 0x10000007, Entry::eContent, ""},
        {{}, "alias.msh", 0x10000008, Entry::eLink, "", {0x10000002}},
        {{}, "nodata.gol", 0x10000009, Entry::eNoContent},
        {{".."}, "..", 0x1000000A, Entry::eContent, "dots"},
        {{}, "100%.ini", 0x1000000B, Entry::eContent, "percent"},
        {{}, "a\\b:c.txd", 0x1000000C, Entry::eContent, "separators of other systems"},
        {{}, "bell\a\x1b[31m.ini", 0x1000000D, Entry::eContent, "control characters"},
        {{"Same"}, "x.ini", 0x1000000E, Entry::eContent, "one case"},
        {{"same"}, "x.ini", 0x1000000F, Entry::eContent, "the other case"},
    };
    std::vector<Entry> copies = {
        {{"levels"}, "town.wor", 0x20000001, Entry::eContent, std::string(3000, 'w'), {0x20000002}, 3},
        {{"levels"}, "rock.msh", 0x20000002, Entry::eContent, "rock", {}, 2},
        {{}, "plain.ini", 0x20000003, Entry::eContent, std::string(5000, 'p')},
        {{}, "Copies.dup", BIG_DuplicatedFilesManager::kFileKey},
    };
    // Sibling folders of one name, each with its own files; a new table's own
    // "Temp" is the first of two.
    const std::vector<Entry> twins = {
        {{"Levels"}, "town.wor", 0x30000001, Entry::eContent, "first town"},
        {{std::string("Levels") + kTwin}, "town.wor", 0x30000002, Entry::eContent, "second town"},
        {{std::string("Levels") + kTwin, "Sub"}, "deep.ini", 0x30000003, Entry::eContent, "under the second"},
        {{"Levels", "Sub"}, "deep.ini", 0x30000004, Entry::eContent, "under the first"},
        {{"Levels", std::string("Sub") + kTwin}, "deep.ini", 0x30000005, Entry::eContent, "one level down"},
        {{"Temp"}, "scratch.ini", 0x30000006, Entry::eContent, "a second Temp"},
    };
    const struct {
        const char* what;
        Layout layout;
        std::vector<Entry> entries;
        bool onePathEach = true;  // a manifest naming directories by path tells them apart
    } cases[] = {
        {"awkward names", {}, names},
        {"sibling folders of one name", {}, twins, false},
        {"copy lists, several segments, shift 11, small header", {11, 8192, true}, copies},
        {"copy lists, shift 16, large header", {16, 0xC0000000, false}, copies},
        {"copy lists among unused table entries, table shift 5", {8, 0xC0000000, true, 5, 2}, copies},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string dir = m_dir + "/case" + std::to_string(n++);
        fs::create_directories(dir);
        const std::string big = dir + "/original.big";
        MakeBigfile(big, c.layout, c.entries);
        EXPECT_TRUE(VerifyPath(big).empty());
        HOST::Tools::ExtractResult result;
        ASSERT_TRUE(ExtractAll(big, dir + "/out", &result))
            << (result.errors.empty() ? "" : result.errors[0]);
        EXPECT_EQ(result.ul_Files, c.entries.size());
        HOST::Tools::PackOptions options;
        options.ul_MaxSegmentSize = c.layout.maxSegment;
        options.b_SmallHeader = c.layout.smallHeader;
        std::string error;
        std::vector<std::string> warnings;
        ASSERT_TRUE(HOST::Tools::Pack(dir + "/out", dir + "/packed.big", options, &error, &warnings))
            << error;
        EXPECT_TRUE(warnings.empty()) << warnings[0];
        EXPECT_EQ(Description(big), Description(dir + "/packed.big"));
        EXPECT_EQ(ListingOf(big), ListingOf(dir + "/packed.big"));
        EXPECT_TRUE(VerifyPath(dir + "/packed.big").empty()) << VerifyPath(dir + "/packed.big")[0];
        std::string error2;
        auto packed = HOST::Tools::OpenBigfile(dir + "/packed.big", &error2);
        ASSERT_TRUE(packed);
        EXPECT_EQ(packed->File().uc_GetAlignmentShift(), c.layout.shift);
        EXPECT_EQ(packed->ul_GetPackageWord(), 0x00070003u);
        EXPECT_EQ(packed->File().uw_GetSegmentCount() > 1, c.layout.maxSegment == 8192);
        packed->File().eClose();
        // A folder extracted before directories named their parent (versions
        // 1 and 2: by path) packs the same, but for folders of one name.
        if (!c.onePathEach)
            continue;
        std::string text;
        ASSERT_TRUE(PLT::ReadWholeFile(dir + "/out/manifest.json", &text));
        const std::string byPath = ByPath(HOST::Tools::detail::Json::parse(text)).dump(1);
        ASSERT_TRUE(PLT::WriteWholeFile(dir + "/out/manifest.json", byPath.data(), byPath.size()));
        ASSERT_TRUE(HOST::Tools::Pack(dir + "/out", dir + "/by-path.big", options, &error)) << error;
        EXPECT_EQ(Description(big), Description(dir + "/by-path.big"));
    }
    // The manifest keeps the exact bytes of a name that is not UTF-8 ...
    std::string manifest;
    ASSERT_TRUE(PLT::ReadWholeFile(m_dir + "/case0/out/manifest.json", &manifest));
    EXPECT_NE(manifest.find("\"hex\": \"636166e9\""), std::string::npos);
    // ... and the files on disk a safe spelling of it.
    EXPECT_TRUE(fs::exists(m_dir + "/case0/out/caf%E9/cr%E8me.ini"));
    EXPECT_TRUE(fs::is_directory(m_dir + "/case0/out/manifest%2Ejson"));
    EXPECT_TRUE(fs::exists(m_dir + "/case0/out/%2E./%2E."));
    EXPECT_TRUE(fs::exists(m_dir + "/case0/out/-rf/--force.ini"));
    // Folders of one name get distinct spellings, each with its own files.
    const struct {
        const char* path;
        std::string bytes;
    } twinFiles[] = {
        {"Levels/town.wor", "first town"},
        {"Levels~d3/town.wor", "second town"},
        {"Levels~d3/Sub/deep.ini", "under the second"},
        {"Levels/Sub/deep.ini", "under the first"},
        {"Levels/Sub~d6/deep.ini", "one level down"},
        {"Temp~d7/scratch.ini", "a second Temp"},
    };
    for (const auto& f : twinFiles) {
        std::string bytes;
        EXPECT_TRUE(PLT::ReadWholeFile(m_dir + "/case1/out/" + f.path, &bytes)) << f.path;
        EXPECT_EQ(bytes, f.bytes) << f.path;
    }
}

TEST_F(BigToolsTest, SafeSpellingIsReversibleAndNeverLeavesTheFolder) {
    const struct {
        std::string name, spelled;
    } cases[] = {
        {"rock.msh", "rock.msh"},
        {".", "%2E"},
        {"..", "%2E."},
        {".hidden", "%2Ehidden"},
        {"a/b", "a%2Fb"},
        {"a\\b", "a%5Cb"},
        {"100%", "100%25"},
        {"", "%"},
        {"caf\xE9", "caf%E9"},
        {"café", "café"},
        {"tab\there", "tab%09here"},
        {"\x1b[31m", "%1B[31m"},
        {"c:d", "c%3Ad"},
        {"a.b.", "a.b."},
    };
    for (const auto& c : cases)
        EXPECT_EQ(HOST::Tools::SafeComponent(c.name), c.spelled) << c.name;
}

TEST_F(BigToolsTest, TextIsEscapedForTerminalsAndJsonKeepsTheBytes) {
    const struct {
        std::string text, shown;
    } cases[] = {
        {"plain name.ini", "plain name.ini"}, {"line\nbreak", "line\\nbreak"}, {"\x1b[2J", "\\x1b[2J"},
        {"back\\slash", "back\\\\slash"},     {"caf\xE9", "caf\\xe9"},         {"café", "café"},
        {"c1 \xC2\x9B", "c1 \\xc2\\x9b"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(HOST::Tools::EscapeText(c.text), c.shown) << c.shown;
    for (const std::string bytes : {"caf\xE9", "café", "line\nbreak", "\xff\xfe", ""}) {
        std::string back;
        ASSERT_TRUE(HOST::Tools::detail::bBytesFromJson(
            HOST::Tools::detail::Json::parse(HOST::Tools::detail::BytesJson(bytes).dump()), &back));
        EXPECT_EQ(back, bytes);
    }
    // ls prints names escaped, ls --json exact.
    const std::string big = m_dir + "/names.big";
    MakeBigfile(big, {}, {{{"evil\ndir"}, "\x1b[31mred.ini", 0x10, Entry::eContent, "x"}});
    std::string error;
    auto fat = HOST::Tools::OpenBigfile(big, &error);
    ASSERT_TRUE(fat);
    std::ostringstream listing, tree, json;
    HOST::Tools::PrintListing(*fat, listing);
    HOST::Tools::PrintTree(*fat, tree);
    HOST::Tools::PrintJson(*fat, json);
    fat->File().eClose();
    for (const std::string& text : {listing.str(), tree.str()}) {
        EXPECT_EQ(text.find('\x1b'), std::string::npos) << text;
        EXPECT_NE(text.find("\\x1b[31mred.ini"), std::string::npos) << text;
    }
    EXPECT_NE(listing.str().find("evil\\ndir"), std::string::npos);
    const auto parsed = HOST::Tools::detail::Json::parse(json.str());
    EXPECT_EQ(parsed[0]["path"].get<std::string>(), "//evil\ndir/\x1b[31mred.ini");
}

TEST_F(BigToolsTest, PlantedLinksInTheOutputFolderAreRefused) {
    const std::string big = m_dir + "/sample.big";
    MakeBigfile(big, {},
                {{{"Levels"}, "town.wor", 0x10, Entry::eContent, "world"},
                 {{}, "rock.tga", 0x11, Entry::eContent, "texture"}});
    const std::string elsewhere = m_dir + "/elsewhere";
    fs::create_directories(elsewhere);
    const struct {
        const char* name;
        bool folder;
    } plants[] = {{"Levels", true}, {"rock.tga", false}, {"manifest.json", false}};
    for (const auto& p : plants) {
        SCOPED_TRACE(p.name);
        const std::string out = m_dir + "/out-" + std::string(p.name);
        fs::create_directories(out);
        if (p.folder)
            fs::create_directory_symlink(elsewhere, out + "/" + p.name);
        else
            fs::create_symlink(elsewhere + "/" + p.name, out + "/" + p.name);
        HOST::Tools::ExtractResult result;
        EXPECT_FALSE(ExtractAll(big, out, &result));
        ASSERT_FALSE(result.errors.empty());
        bool named = false;
        for (const std::string& e : result.errors)
            named = named ||
                    (e.find(p.name) != std::string::npos && e.find("symbolic link") != std::string::npos);
        EXPECT_TRUE(named) << result.errors[0];
        EXPECT_TRUE(fs::is_empty(elsewhere));
    }
}

TEST_F(BigToolsTest, UnusableAlignmentShiftsAreRefusedByEveryReader) {
    for (const uint8_t shift : {0, 2, 32, 255}) {
        const std::string big = m_dir + "/shift" + std::to_string(shift) + ".big";
        MakeBigfile(big, {}, {{{}, "a.ini", 0x10, Entry::eContent, "abc"}});
        std::string bytes;
        ASSERT_TRUE(PLT::ReadWholeFile(big, &bytes));
        bytes[2048 + BIG_st_FatHeader::kOffAlignmentShift] = static_cast<char>(shift);
        ASSERT_TRUE(PLT::WriteWholeFile(big, bytes.data(), bytes.size()));
        std::string error;
        HOST::Tools::OpenFailure failure = HOST::Tools::OpenFailure::eNone;
        EXPECT_EQ(HOST::Tools::OpenBigfile(big, &error, &failure), nullptr);
        EXPECT_EQ(failure, HOST::Tools::OpenFailure::eTablesUnreadable);
        EXPECT_NE(error.find("unusable alignment shift " + std::to_string(shift)), std::string::npos)
            << error;
    }
}

// A reproducible pack writes the same bytes into every segment file and the
// same version XML whatever the clock; the XML dates from SOURCE_DATE_EPOCH
// when given, else from the newest file, in UTC. A plain pack keeps the
// counter's stamp and the clock's date.
TEST_F(BigToolsTest, AReproduciblePackIsTheSameBytesWhateverTheClock) {
    const std::vector<Entry> entries = {
        {{"levels"}, "town.wor", 0x20000001, Entry::eContent, std::string(3000, 'w'), {0x20000002}, 3},
        {{"levels"}, "rock.msh", 0x20000002, Entry::eContent, "rock", {}, 2},
        {{}, "alias.msh", 0x20000004, Entry::eLink, "", {0x20000002}},
        {{}, "plain.ini", 0x20000003, Entry::eContent, std::string(5000, 'p')},
        {{}, "Copies.dup", BIG_DuplicatedFilesManager::kFileKey},
    };
    const std::string big = m_dir + "/original.big";
    MakeBigfile(big, {11, 8192, true}, entries);
    HOST::Tools::ExtractResult extracted;
    ASSERT_TRUE(ExtractAll(big, m_dir + "/out", &extracted));
    // A client name makes pack write the version XML beside the bigfile.
    std::string manifest;
    ASSERT_TRUE(PLT::ReadWholeFile(m_dir + "/out/manifest.json", &manifest));
    const std::string noClient = "\"client_name\": \"\"";
    ASSERT_NE(manifest.find(noClient), std::string::npos) << manifest;
    manifest.replace(manifest.find(noClient), noClient.size(), "\"client_name\": \"builder\"");
    ASSERT_TRUE(PLT::WriteWholeFile(m_dir + "/out/manifest.json", manifest.data(), manifest.size()));

    // Every file of a pack folder, by name.
    auto packed = [&](const std::string& folder, const HOST::Tools::PackOptions& options, int64_t shift) {
        fs::create_directories(m_dir + "/" + folder);
        PLT::ShiftClocksForTests(shift);
        std::string error;
        EXPECT_TRUE(HOST::Tools::Pack(m_dir + "/out", m_dir + "/" + folder + "/packed.big", options, &error))
            << error;
        PLT::ShiftClocksForTests(0);
        std::map<std::string, std::string> files;
        for (const auto& entry : fs::directory_iterator(m_dir + "/" + folder))
            EXPECT_TRUE(PLT::ReadWholeFile(entry.path().string(), &files[entry.path().filename().string()]));
        return files;
    };
    HOST::Tools::PackOptions options;
    options.ul_MaxSegmentSize = 8192;
    options.b_Reproducible = true;
    constexpr int64_t kTwoDays = 2 * 86400;
    const auto first = packed("r1", options, 0);
    const auto second = packed("r2", options, kTwoDays);
    EXPECT_GT(first.count("packed.big1"), 0u) << "several segment files expected";
    EXPECT_TRUE(first == second);
    // kTime is 2023-11-14 22:13:20 UTC, the newest file time.
    EXPECT_NE(first.at("bigfile.version.xml").find("<Date>14/11/23</Date>\r\n    <Time>22:13:20</Time>"),
              std::string::npos)
        << first.at("bigfile.version.xml");
    EXPECT_EQ(Description(big), Description(m_dir + "/r1/packed.big"));
    EXPECT_TRUE(VerifyPath(m_dir + "/r1/packed.big").empty());

    options.o_Time = 1234567890;  // 2009-02-13 23:31:30 UTC
    const auto dated = packed("r3", options, kTwoDays);
    EXPECT_TRUE(dated.at("packed.big") == first.at("packed.big"));
    EXPECT_NE(dated.at("bigfile.version.xml").find("<Date>13/02/09</Date>\r\n    <Time>23:31:30</Time>"),
              std::string::npos)
        << dated.at("bigfile.version.xml");

    options = {};
    options.ul_MaxSegmentSize = 8192;
    const auto plain = packed("p1", options, 0);
    const auto later = packed("p2", options, kTwoDays);
    for (const auto& [name, bytes] : plain) {
        if (name == "bigfile.version.xml") {
            EXPECT_NE(bytes, later.at(name));
            continue;
        }
        std::string masked = later.at(name);
        ASSERT_GE(masked.size(), BIG_st_SegmentHeader::kEncodedSize) << name;
        EXPECT_NE(masked.substr(BIG_st_SegmentHeader::kOffSetStamp, 8),
                  bytes.substr(BIG_st_SegmentHeader::kOffSetStamp, 8))
            << name;
        masked.replace(BIG_st_SegmentHeader::kOffSetStamp, 8,
                       bytes.substr(BIG_st_SegmentHeader::kOffSetStamp, 8));
        EXPECT_TRUE(masked == bytes) << name << ": only the stamp may differ";
    }
}

TEST_F(BigToolsTest, CopyListFilesAreListedVerifiedAndExtractedOnce) {
    const std::string big = m_dir + "/copies.big";
    MakeBigfile(big, {},
                {{{}, "town.wor", 0x20, Entry::eContent, std::string(300, 'w'), {}, 3},
                 {{}, "Copies.dup", BIG_DuplicatedFilesManager::kFileKey}});
    std::string error;
    auto fat = HOST::Tools::OpenBigfile(big, &error);
    ASSERT_TRUE(fat);
    std::ostringstream listing, info, json;
    EXPECT_TRUE(HOST::Tools::PrintListing(*fat, listing).empty());
    HOST::Tools::PrintInfo(*fat, big, info);
    HOST::Tools::PrintJson(*fat, json);
    HOST::Tools::VerifyStats stats;
    EXPECT_TRUE(HOST::Tools::Verify(*fat, &stats).empty());
    fat->File().eClose();
    EXPECT_NE(listing.str().find("00000020  wor         304  x3  //town.wor"), std::string::npos)
        << listing.str();
    EXPECT_NE(info.str().find("copy-list files:  1 stored in 3 places (3 entries"), std::string::npos)
        << info.str();
    const auto parsed = HOST::Tools::detail::Json::parse(json.str());
    EXPECT_EQ(parsed[0]["size"], 304);
    EXPECT_EQ(parsed[0]["copies"], 3);
    EXPECT_EQ(stats.ul_Files, 2u);
    EXPECT_EQ(stats.ull_Bytes, 3u * 304 + 8 + 5 + 12);

    HOST::Tools::ExtractResult result;
    ASSERT_TRUE(ExtractAll(big, m_dir + "/out", &result));
    EXPECT_EQ(fs::file_size(m_dir + "/out/town.wor"), 300u);
    std::string manifest;
    ASSERT_TRUE(PLT::ReadWholeFile(m_dir + "/out/manifest.json", &manifest));
    EXPECT_NE(manifest.find("\"copies\": 3"), std::string::npos);

    // The second copy damaged: verify names that copy.
    std::string bytes;
    ASSERT_TRUE(PLT::ReadWholeFile(big, &bytes));
    const size_t first = bytes.find(std::string(300, 'w'));
    const size_t second = bytes.find(std::string(300, 'w'), first + 300);
    ASSERT_NE(second, std::string::npos);
    bytes[second + 10] = 'X';
    ASSERT_TRUE(PLT::WriteWholeFile(big, bytes.data(), bytes.size()));
    const std::vector<std::string> problems = VerifyPath(big);
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_NE(problems[0].find("(copy 2 of 3): checksum mismatch"), std::string::npos) << problems[0];
}

// Pack puts each copy list at the index of the duplicated-files table that the
// manifest gives it, keeps the table's shift when that holds every place, and
// still reads manifests written before these fields existed.
TEST_F(BigToolsTest, PackRebuildsTheDuplicatedFilesTableAsTheManifestSays) {
    const std::string big = m_dir + "/copies.big";
    MakeBigfile(big, {11, 0xC0000000, true, 11, 1},
                {{{}, "town.wor", 0x20, Entry::eContent, std::string(300, 'w'), {}, 3},
                 {{}, "rock.msh", 0x21, Entry::eContent, "rock", {}, 2},
                 {{}, "Copies.dup", BIG_DuplicatedFilesManager::kFileKey}});
    HOST::Tools::ExtractResult result;
    ASSERT_TRUE(ExtractAll(big, m_dir + "/out", &result));
    std::string text;
    ASSERT_TRUE(PLT::ReadWholeFile(m_dir + "/out/manifest.json", &text));
    using HOST::Tools::detail::Json;
    const Json extracted = Json::parse(text);
    ASSERT_EQ(extracted["duplicated_files_entries"], 8);
    ASSERT_EQ(extracted["files"][0]["copy_index"], 1);
    ASSERT_EQ(extracted["files"][1]["copy_index"], 5);
    Json older = extracted;
    older.erase("duplicated_files_entries");
    older.erase("duplicated_files_shift");
    for (Json& f : older["files"])
        f.erase("copy_index");
    Json moved = extracted;
    moved["files"][0]["copy_index"] = 4;
    moved["files"][1]["copy_index"] = 0;
    Json overlapping = extracted;
    overlapping["files"][1]["copy_index"] = 3;
    const struct {
        const char* what;
        Json manifest;
        int packShift;
        std::string table;  // the packed table's description, or pack's error
    } cases[] = {
        {"as extracted", extracted, -1,
         "entries 8 shift 11: - 00000020#1 00000020#2 00000020#3 - 00000021#1 00000021#2 -"},
        {"a finer alignment than the table's shift", extracted, 3,
         "entries 8 shift 3: - 00000020#1 00000020#2 00000020#3 - 00000021#1 00000021#2 -"},
        {"copy lists moved", moved, -1,
         "entries 8 shift 11: 00000021#1 00000021#2 - - 00000020#1 00000020#2 00000020#3 -"},
        {"written before the table's fields: the lists one after the other", older, -1,
         "entries 5 shift 11: 00000020#1 00000020#2 00000020#3 00000021#1 00000021#2"},
        {"overlapping copy lists", overlapping, -1,
         "files[1].copy_index: table entries 3 to 4 are also copies of files[0]"},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string dump = c.manifest.dump(1);
        ASSERT_TRUE(PLT::WriteWholeFile(m_dir + "/out/manifest.json", dump.data(), dump.size()));
        HOST::Tools::PackOptions options;
        options.i_AlignmentShift = c.packShift;
        const std::string packed = m_dir + "/packed" + std::to_string(n++) + ".big";
        std::string error;
        const bool ok = HOST::Tools::Pack(m_dir + "/out", packed, options, &error);
        if (c.table.find("files[") == 0) {
            EXPECT_FALSE(ok);
            EXPECT_NE(error.find(c.table), std::string::npos) << error;
            continue;
        }
        ASSERT_TRUE(ok) << error;
        EXPECT_NE(Description(packed).find(c.table), std::string::npos) << Description(packed);
        EXPECT_TRUE(VerifyPath(packed).empty()) << VerifyPath(packed)[0];
    }
}

TEST_F(BigToolsTest, ExtractOnlyChosenKeysAndNamesTheMissingOnes) {
    const std::string big = m_dir + "/sample.big";
    MakeBigfile(big, {},
                {{{"Levels", "Town"}, "rock.msh", 0x10, Entry::eContent, std::string(5000, 'r')},
                 {{}, "rock.tga", 0x11, Entry::eContent, "texture"}});
    std::string error;
    auto fat = HOST::Tools::OpenBigfile(big, &error);
    ASSERT_TRUE(fat);
    HOST::Tools::ExtractResult result;
    ASSERT_TRUE(HOST::Tools::Extract(*fat, m_dir + "/one", {0x10}, &result));
    EXPECT_EQ(result.ul_Files, 1u);
    EXPECT_EQ(fs::file_size(m_dir + "/one/Levels/Town/rock.msh"), 5004u - 4);
    EXPECT_FALSE(HOST::Tools::Extract(*fat, m_dir + "/two", {0x10, 0x99}, &result));
    EXPECT_EQ(result.missingKeys, std::vector<uint32_t>{0x99});
    fat->File().eClose();
}

// Deep trees: no recursion, paths built one directory from its parent, and a
// path longer than the platform allows refused with a clear error.
TEST_F(BigToolsTest, DeepTreesAreWalkedWithoutRecursionAndOverlongPathsRefused) {
    const std::string big = m_dir + "/deep.big";
    {
        BIG_cl_Fat fat;
        ASSERT_EQ(fat.File().eCreate(big, false, 0xC0000000, true), 0u);
        ASSERT_TRUE(fat.Create(16, 5010, 0, 0));
        uint16_t dir = BIG_cl_Fat::kRootDir;
        for (int d = 0; d < 5000; ++d) {
            dir = fat.uw_CreateDir("d", dir);
            ASSERT_NE(dir, BIG_cl_Fat::kNoDir);
            if (d == 2)
                fat.SaveFile(fat.ul_CreateFile("shallow.ini", kTime, dir, 0x10), "s", 1);
        }
        fat.SaveFile(fat.ul_CreateFile("deep.ini", kTime, dir, 0x11), "d", 1);
        fat.WriteFatHeader();
        ASSERT_EQ(fat.File().eClose(), 0u);
    }
    std::string error;
    auto fat = HOST::Tools::OpenBigfile(big, &error);
    ASSERT_TRUE(fat) << error;
    std::ostringstream tree;
    EXPECT_TRUE(HOST::Tools::PrintTree(*fat, tree).empty());
    EXPECT_NE(tree.str().find("(4999) d/"), std::string::npos);
    EXPECT_LT(tree.str().size(), 5000u * 200);  // indentation stops growing
    HOST::Tools::ExtractResult result;
    HOST::Tools::ExtractOptions options;
    options.b_Sync = false;
    EXPECT_FALSE(HOST::Tools::ExtractWithOptions(*fat, m_dir + "/out", options, &result));
    fat->File().eClose();
    EXPECT_TRUE(fs::exists(m_dir + "/out/d/d/d/shallow.ini"));
    ASSERT_FALSE(result.errors.empty());
    bool told = false;
    for (const std::string& e : result.errors)
        told = told || e.find("longer than the 4095 bytes the platform allows") != std::string::npos;
    EXPECT_TRUE(told) << result.errors[0];
}

TEST_F(BigToolsTest, VerifyReportsDamagedContentAndCountsWhatItChecked) {
    const std::string big = m_dir + "/sample.big";
    MakeBigfile(big, {},
                {{{}, "rock.msh", 0x10000002, Entry::eContent, std::string(5000, 'r')},
                 {{}, "a.ini", 0x10000003, Entry::eContent, "abc"}});
    {
        std::string error;
        auto fat = HOST::Tools::OpenBigfile(big, &error);
        ASSERT_TRUE(fat);
        HOST::Tools::VerifyStats stats;
        EXPECT_TRUE(HOST::Tools::Verify(*fat, &stats).empty());
        EXPECT_EQ(stats.ul_Files, 2u);
        EXPECT_EQ(stats.ull_Bytes, 5004u + 7);
        fat->File().eClose();
    }
    std::string bytes;
    ASSERT_TRUE(PLT::ReadWholeFile(big, &bytes));
    const size_t at = bytes.find(std::string(100, 'r'));
    ASSERT_NE(at, std::string::npos);
    bytes[at + 50] = 'X';
    ASSERT_TRUE(PLT::WriteWholeFile(big, bytes.data(), bytes.size()));
    const std::vector<std::string> problems = VerifyPath(big);
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_NE(problems[0].find("10000002"), std::string::npos);
    EXPECT_NE(problems[0].find("checksum mismatch"), std::string::npos);
}

TEST_F(BigToolsTest, OpenNamesASegmentClaimBeyondTheFile) {
    const std::string big = m_dir + "/claim.big";
    MakeBigfile(big, {}, {{{}, "a.ini", 0x10, Entry::eContent, "abc"}});
    std::string bytes;
    ASSERT_TRUE(PLT::ReadWholeFile(big, &bytes));
    // The header's end (offset 0x20) moves to 4 GiB past a 2048-byte content base.
    const uint64_t end = (uint64_t{1} << 32) - 2048;
    for (int b = 0; b < 8; ++b)
        bytes[0x20 + b] = static_cast<char>(end >> (8 * b));
    ASSERT_TRUE(PLT::WriteWholeFile(big, bytes.data(), bytes.size()));
    std::string error;
    HOST::Tools::OpenFailure failure = HOST::Tools::OpenFailure::eNone;
    auto fat = HOST::Tools::OpenBigfile(big, &error, &failure);
    EXPECT_FALSE(fat);
    EXPECT_EQ(failure, HOST::Tools::OpenFailure::eTablesUnreadable);
    EXPECT_NE(error.find("truncated: segment 0 (" + big +
                         ") claims content up to byte 4294967296 but the file has " +
                         std::to_string(bytes.size()) + " bytes"),
              std::string::npos)
        << error;
}

}  // namespace

namespace {

// A reduced table (10-byte entries, no directories): listed, verified and
// extracted, every file at the top of the folder.
TEST_F(BigToolsTest, ReducedTablesAreListedVerifiedAndExtracted) {
    const std::string big = m_dir + "/reduced.big";
    MakeBigfile(big, {},
                {{{"Levels"}, "town.wor", 0x10, Entry::eContent, "world"},
                 {{}, "rock.tga", 0x11, Entry::eContent, "texture"},
                 {{}, "nodata.gol", 0x12, Entry::eNoContent}});
    std::string error;
    std::vector<uint8_t> table;
    uint64_t fatAt = 0;
    uint32_t count = 0;
    {
        auto fat = HOST::Tools::OpenBigfile(big, &error);
        ASSERT_TRUE(fat) << error;
        // Without a directory table the data start moves down to where that table began.
        const uint32_t moved = (fat->oGetDataPos().ul_GetValue()) - fat->oGetDirPos().ul_GetValue();
        fatAt = 2048 + fat->oGetFatPos().ull_GetByteOffset();
        count = fat->ul_GetFileCount();
        BIG::Endian::ByteAppender out(&table);
        for (uint32_t i = 0; i < count; ++i) {
            const BIG_st_FileEntry& e = fat->FileEntry(i);
            out.U32(e.ul_Pos == BIG_st_FileEntry::kNone ? e.ul_Pos : e.ul_Pos + moved);
            out.U32(e.ul_Key);
            out.U8(e.uc_Type);
            out.U8(0);
        }
        fat->File().eClose();
    }
    std::string bytes;
    ASSERT_TRUE(PLT::ReadWholeFile(big, &bytes));
    std::copy(table.begin(), table.end(), bytes.begin() + static_cast<ptrdiff_t>(fatAt));
    bytes[2048 + BIG_st_FatHeader::kOffDirCount] = 0;
    bytes[2048 + BIG_st_FatHeader::kOffDirCount + 1] = 0;
    bytes[2048 + BIG_st_FatHeader::kOffReducedFat] = 1;
    ASSERT_TRUE(PLT::WriteWholeFile(big, bytes.data(), bytes.size()));

    auto fat = HOST::Tools::OpenBigfile(big, &error);
    ASSERT_TRUE(fat) << error;
    EXPECT_TRUE(fat->bIsReducedFat());
    std::ostringstream listing;
    EXPECT_TRUE(HOST::Tools::PrintListing(*fat, listing).empty());
    EXPECT_NE(listing.str().find("00000011  tga          11"), std::string::npos) << listing.str();
    EXPECT_NE(listing.str().find("00000012  gol           -"), std::string::npos) << listing.str();
    HOST::Tools::VerifyStats stats;
    EXPECT_TRUE(HOST::Tools::Verify(*fat, &stats).empty());
    EXPECT_EQ(stats.ull_Bytes, 9u + 11);
    HOST::Tools::ExtractResult result;
    EXPECT_TRUE(HOST::Tools::Extract(*fat, m_dir + "/out", {}, &result));
    fat->File().eClose();
    EXPECT_EQ(result.ul_Files, 3u);
    size_t written = 0;
    for (const auto& entry : fs::directory_iterator(m_dir + "/out"))
        written += entry.is_regular_file() ? 1 : 0;
    EXPECT_EQ(written, 3u);  // two contents and the manifest
}

}  // namespace
