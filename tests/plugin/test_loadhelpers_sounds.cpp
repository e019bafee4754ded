// The sounds helper: package names, the package reader, the copies and the report.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "BIGfile/BIG_Endian.h"
#include "platform/File.h"
#include "orvex/OVC_Interface.h"
#include "plugin/OVI_SoundsHelper.h"
#include "platform/Process.h"

namespace {

namespace fs = std::filesystem;
using ORVEX::OVI_SoundsHelper;

void Write(const fs::path& path, const std::string& bytes) {
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string Read(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void Put32(std::string& out, size_t at, uint32_t value) {
    if (out.size() < at + 4)
        out.resize(at + 4, '\0');
    BIG::Endian::Put32(reinterpret_cast<uint8_t*>(out.data()) + at, value);
}

// A consistent package: items of the given sizes, then the name block holding `nameList` as it is.
std::string Package(const std::vector<uint32_t>& itemSizes, const std::string& nameList) {
    const uint32_t table = static_cast<uint32_t>(itemSizes.size() * 8);
    uint32_t items = 0;
    for (uint32_t s : itemSizes)
        items += s;
    const uint32_t nameBlock = 64 + table + items;
    std::string out(64, '\x11');
    Put32(out, 0, 0xCAFE);
    Put32(out, 4, table);
    Put32(out, 8, nameBlock);
    for (size_t i = 0; i < itemSizes.size(); ++i) {
        Put32(out, 64 + i * 8, static_cast<uint32_t>(i));
        Put32(out, 64 + i * 8 + 4, itemSizes[i]);
    }
    out.append(items, '\x22');
    Put32(out, nameBlock, 0x77);
    Put32(out, nameBlock + 4, static_cast<uint32_t>(nameList.size()));
    out += nameList;
    return out;
}

std::string Names(const std::vector<std::string>& names) {
    std::string out;
    for (const std::string& n : names) {
        out += n;
        out += '\0';
    }
    return out;
}

// A data root with its sound folder, the working directory for the report, and
// the record names the splitter would hand over.
class SoundsHelperTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_old = PLT::CurrentDirectory();
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        m_base = fs::temp_directory_path() /
                 ("orvex_sounds_" + std::string(info->name()) + "_" +
                  std::to_string(PLT::CurrentProcessId()) + "_" + std::to_string(std::rand()));
        fs::remove_all(m_base);
        fs::create_directories(m_base / "work");
        m_root = m_base / "data";
        fs::create_directories(m_root / "sound_bin_pc" / "english");
        ASSERT_TRUE(PLT::ChangeDirectory((m_base / "work").string()));
    }
    void TearDown() override {
        PLT::ChangeDirectory(m_old);
        std::error_code ec;
        fs::remove_all(m_base, ec);
    }

    fs::path Source(const std::string& name) const { return m_root / "sound_bin_pc" / name; }
    fs::path Target(const std::string& name) const { return m_root / "sound_bin_pc_dlc" / name; }
    fs::path Report() const { return m_base / "work" / "sound_bin_pc_dlc.txt"; }

    int32_t Run(OVI_SoundsHelper& helper, bool noCopy, bool report, std::string* lines = nullptr) {
        ::testing::internal::CaptureStdout();
        const int32_t status = helper.CopySoundFiles([this](uint32_t key) { return m_records[key]; },
                                                     m_root.string(), noCopy, report);
        const std::string out = ::testing::internal::GetCapturedStdout();
        if (lines != nullptr)
            *lines = out;
        return status;
    }

    // The expected report: one line per name, in ascending hash order.
    static std::string ExpectedReport(const std::map<std::string, std::string>& words) {
        std::vector<std::pair<uint32_t, std::string>> order;
        for (const auto& [name, word] : words)
            order.emplace_back(OVC_Hash(name.c_str()), name);
        std::sort(order.begin(), order.end());
        std::string out;
        for (const auto& [hash, name] : order)
            out += OVI_SoundsHelper::ReportLine(name, words.at(name));
        return out;
    }

    std::string m_old;
    fs::path m_base;
    fs::path m_root;
    std::map<uint32_t, std::string> m_records;
};

TEST(SoundsHelperNames, PackageNameIsTheFileNameWithExtensionPk) {
    const std::pair<const char*, const char*> cases[] = {
        {"Levels/Town.snd", "Town.pk"},
        {"a\\b\\c.x.y", "c.pk"},
        {"mixed/dir\\Name.sam", "Name.pk"},
        {"noext", "noext.pk"},
        {"", ".pk"},
        {"Levels/", ".pk"},
        {"..\\..\\evil.snd", "evil.pk"},
        {"Town.", "Town.pk"},
    };
    for (const auto& [record, package] : cases)
        EXPECT_EQ(OVI_SoundsHelper::PackageNameOf(record), package) << record;
}

TEST(SoundsHelperNames, PlainNames) {
    const std::pair<const char*, bool> cases[] = {
        {"Town.pk", true}, {".pk", true},    {"../x.pk", false}, {"a/b.pk", false},  {"c\\d.pk", false},
        {"..", false},     {"a..pk", false}, {"", false},        {"/abs.pk", false},
    };
    for (const auto& [name, plain] : cases)
        EXPECT_EQ(OVI_SoundsHelper::bIsPlainName(name), plain) << name;
    // A NUL would end the path early, so that another file were copied.
    EXPECT_FALSE(OVI_SoundsHelper::bIsPlainName(std::string("Town.pk\0x.pk", 12)));
}

TEST(SoundsHelperNames, ReportLineAlignsNameIn96AndWordIn16) {
    EXPECT_EQ(OVI_SoundsHelper::ReportLine("Town.pk", "Both"),
              std::string(89, ' ') + "Town.pk, " + std::string(12, ' ') + "Both\n");
    // A longer name is written whole, as "%96s" would.
    const std::string longName(120, 'n');
    EXPECT_EQ(OVI_SoundsHelper::ReportLine(longName, "Failed"),
              longName + ", " + std::string(10, ' ') + "Failed\n");
}

TEST_F(SoundsHelperTest, TownRecordLeadsToTownPackageAndItsNames) {
    // Town.pk names two more packages; Music.pk names one that is not followed.
    Write(Source("Town.pk"), Package({3, 5}, Names({"Music.pk", "Amb.pk"})));
    Write(Source("Music.pk"), Package({1}, Names({"Deep.pk"})));
    Write(Source("english/Town.lpk"), "english town");
    m_records[0x100] = "Levels/Town.snd";
    OVI_SoundsHelper helper;
    helper.bInsertKey(0x100, 1);

    EXPECT_EQ(Run(helper, false, true), 0);

    std::vector<std::string> names;
    for (const auto& [hash, name] : helper.SoundNames()) {
        EXPECT_EQ(hash, OVC_Hash(name.c_str()));
        names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"7fffffff.pk", "Amb.pk", "Music.pk", "Town.pk"}));

    EXPECT_EQ(Read(Target("Town.pk")), Read(Source("Town.pk")));
    EXPECT_EQ(Read(Target("english/Town.lspk")), "english town");
    EXPECT_EQ(Read(Target("Music.pk")), Read(Source("Music.pk")));
    EXPECT_FALSE(fs::exists(Target("Amb.pk")));
    EXPECT_EQ(
        Read(Report()),
        ExpectedReport(
            {{"Town.pk", "Both"}, {"Music.pk", "Root"}, {"Amb.pk", "Failed"}, {"7fffffff.pk", "Failed"}}));
}

TEST_F(SoundsHelperTest, EmptyPackageGivesStatus4AndIsNotCopied) {
    Write(Source("Empty.pk"), "");
    Write(Source("Town.pk"), Package({}, Names({})));
    m_records[1] = "Empty.snd";
    m_records[2] = "Town.snd";
    OVI_SoundsHelper helper;
    helper.bInsertKey(1, 1);
    helper.bInsertKey(2, 1);
    std::string lines;
    EXPECT_EQ(Run(helper, false, false, &lines), 4);
    EXPECT_NE(lines.find("is empty"), std::string::npos) << lines;
    EXPECT_EQ(helper.SoundNames().count(OVC_Hash("Empty.pk")), 0u);
    EXPECT_EQ(helper.SoundNames().count(OVC_Hash("Town.pk")), 1u);
    EXPECT_TRUE(fs::exists(Target("Town.pk")));
    EXPECT_FALSE(fs::exists(Target("Empty.pk")));
    EXPECT_FALSE(fs::exists(Report()));
}

TEST_F(SoundsHelperTest, MalformedPackagesAddNoNamesButAreStillCopied) {
    const std::string good = Package({4, 4}, Names({"Listed.pk"}));
    std::string sumOff = good;
    Put32(sumOff, 64 + 4, 5);  // one item one byte longer than the layout
    std::string tableTooLarge = good;
    Put32(tableTooLarge, 4, 0xFFFFFFF0u);
    std::string listTooLong = good;
    Put32(listTooLong, 64 + 16 + 8 + 4, 0x7FFFFFFFu);  // B far beyond the file
    std::string blockOutside = good;
    Put32(blockOutside, 8, 0xFFFFFFF0u);
    struct Case {
        const char* what;
        std::string bytes;
        const char* line;
    };
    const Case cases[] = {
        {"header cut short", std::string(40, '\0'), "header"},
        {"item sizes do not reach the name block", sumOff, "not consistent"},
        {"entry table larger than the file", tableTooLarge, "entry table"},
        {"name list larger than the file", listTooLong, "declares a name list"},
        {"name block outside the file", blockOutside, "not consistent"},
        {"name block cut inside its head", good.substr(0, 64 + 16 + 8 + 6), "ends before its name block"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Write(Source("Bad.pk"), c.bytes);
        m_records[7] = "Bad.snd";
        OVI_SoundsHelper helper;
        helper.bInsertKey(7, 1);
        std::string lines;
        EXPECT_EQ(Run(helper, false, false, &lines), 0);
        EXPECT_NE(lines.find(c.line), std::string::npos) << lines;
        EXPECT_EQ(helper.SoundNames().count(OVC_Hash("Listed.pk")), 0u);
        EXPECT_EQ(helper.SoundNames().count(OVC_Hash("Bad.pk")), 1u);
        EXPECT_EQ(Read(Target("Bad.pk")), c.bytes);
    }
}

TEST_F(SoundsHelperTest, PartialLastNameEndsTheListWithALine) {
    std::string list = Names({"One.pk", "", "Two.pk"}) + "Thr";
    Write(Source("Town.pk"), Package({2}, list));
    m_records[1] = "Town.snd";
    OVI_SoundsHelper helper;
    helper.bInsertKey(1, 1);
    std::string lines;
    Run(helper, true, false, &lines);
    EXPECT_NE(lines.find("unterminated name of 3 bytes"), std::string::npos) << lines;
    std::vector<std::string> names;
    for (const auto& [hash, name] : helper.SoundNames())
        names.push_back(name);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"7fffffff.pk", "One.pk", "Town.pk", "Two.pk"}));
}

TEST_F(SoundsHelperTest, HostileNamesInAPackageAreRefused) {
    const std::vector<std::string> hostile = {
        "../escape.pk", "../../escape.pk", "sub/inner.pk", "win\\inner.pk", "..", "/abs.pk"};
    std::vector<std::string> listed = hostile;
    listed.push_back("Fine.pk");
    Write(Source("Town.pk"), Package({1}, Names(listed)));
    Write(Source("Fine.pk"), "fine");
    // Files a hostile name would reach if it were followed.
    Write(m_root / "escape.pk", "outside");
    Write(m_base / "escape.pk", "outside");
    Write(Source("sub/inner.pk"), "nested");
    m_records[1] = "Levels/Town.snd";
    OVI_SoundsHelper helper;
    helper.bInsertKey(1, 1);
    std::string lines;
    EXPECT_EQ(Run(helper, false, true, &lines), 0);
    for (const std::string& name : hostile) {
        EXPECT_NE(lines.find("names \"" + name + "\", not a plain file name; refused"), std::string::npos)
            << name;
        EXPECT_EQ(helper.SoundNames().count(OVC_Hash(name.c_str())), 0u) << name;
    }
    EXPECT_EQ(Read(Target("Fine.pk")), "fine");
    EXPECT_EQ(Read(m_root / "escape.pk"), "outside");
    EXPECT_FALSE(fs::exists(m_root / "sound_bin_pc_dlc" / "sub"));
    EXPECT_FALSE(fs::exists(m_base / "sound_bin_pc_dlc"));
    // Everything written lies in the target folder.
    size_t files = 0;
    for (const auto& entry : fs::recursive_directory_iterator(m_root / "sound_bin_pc_dlc"))
        files += entry.is_regular_file() ? 1 : 0;
    EXPECT_EQ(files, 2u);  // Town.pk and Fine.pk
    EXPECT_EQ(Read(Report()),
              ExpectedReport({{"Town.pk", "Root"}, {"Fine.pk", "Root"}, {"7fffffff.pk", "Failed"}}));
}

TEST_F(SoundsHelperTest, HostileRecordNamesStayInsideTheSoundFolder) {
    // Only the file-name part of a record name is used.
    Write(Source("evil.pk"), "inside");
    Write(m_root / "evil.pk", "outside");
    m_records[1] = "../../evil.snd";
    m_records[2] = "..\\..\\evil.snd";
    OVI_SoundsHelper helper;
    helper.bInsertKey(1, 1);
    helper.bInsertKey(2, 1);
    EXPECT_EQ(Run(helper, false, false), 0);
    EXPECT_EQ(Read(Target("evil.pk")), "inside");
    EXPECT_EQ(Read(m_root / "evil.pk"), "outside");
}

TEST_F(SoundsHelperTest, NoSoundKeyCreatesNothing) {
    Write(Source("Town.pk"), Package({}, Names({})));
    OVI_SoundsHelper helper;
    EXPECT_EQ(Run(helper, false, true), 0);
    EXPECT_TRUE(helper.SoundNames().empty());
    EXPECT_FALSE(fs::exists(m_root / "sound_bin_pc_dlc"));
    EXPECT_FALSE(fs::exists(Report()));
}

TEST_F(SoundsHelperTest, NoCopyFlagCopiesNothingAndReportsFailed) {
    Write(Source("Town.pk"), Package({1}, Names({"Music.pk"})));
    Write(Source("Music.pk"), "music");
    Write(Source("english/Town.lpk"), "english");
    m_records[1] = "Town.snd";
    OVI_SoundsHelper helper;
    helper.bInsertKey(1, 1);
    EXPECT_EQ(Run(helper, true, true), 0);
    EXPECT_FALSE(fs::exists(m_root / "sound_bin_pc_dlc"));
    EXPECT_EQ(Read(Report()),
              ExpectedReport({{"Town.pk", "Failed"}, {"Music.pk", "Failed"}, {"7fffffff.pk", "Failed"}}));
}

TEST_F(SoundsHelperTest, EnglishVariantChangesOnlyTheFileNameExtension) {
    // A data root with dots in it, and a package name with two dots.
    m_root = m_base / "data.v1.2";
    fs::create_directories(m_root / "sound_bin_pc" / "english");
    Write(Source("Town.pk"), Package({}, Names({"Voice.x.pk", "NoExt"})));
    Write(Source("english/Town.lpk"), "town en");
    Write(Source("Voice.x.pk"), "voice");
    Write(Source("english/Voice.lpk"), "voice en");
    Write(Source("english/NoExt.lpk"), "noext en");
    m_records[1] = "Levels/Town.snd";
    OVI_SoundsHelper helper;
    helper.bInsertKey(1, 1);
    EXPECT_EQ(Run(helper, false, true), 0);
    EXPECT_EQ(Read(Target("english/Town.lspk")), "town en");
    EXPECT_EQ(Read(Target("english/Voice.lspk")), "voice en");
    EXPECT_EQ(Read(Target("english/NoExt.lspk")), "noext en");
    EXPECT_EQ(Read(Target("Voice.x.pk")), "voice");
    EXPECT_EQ(
        Read(Report()),
        ExpectedReport(
            {{"Town.pk", "Both"}, {"Voice.x.pk", "Both"}, {"NoExt", "Failed"}, {"7fffffff.pk", "Failed"}}));
    EXPECT_EQ(OVI_SoundsHelper::ReplaceExtension("Voice.x.pk", "lpk"), "Voice.lpk");
    EXPECT_EQ(OVI_SoundsHelper::ReplaceExtension("NoExt", "lspk"), "NoExt.lspk");
}

TEST_F(SoundsHelperTest, ExistingTargetFoldersAreUsedAgain) {
    Write(Source("Town.pk"), Package({}, Names({})));
    m_records[1] = "Town.snd";
    for (const char* content : {"first", "second"}) {
        SCOPED_TRACE(content);
        Write(Source("english/Town.lpk"), content);
        OVI_SoundsHelper helper;
        helper.bInsertKey(1, 1);
        EXPECT_EQ(Run(helper, false, true), 0);
        EXPECT_EQ(Read(Target("english/Town.lspk")), content);
        EXPECT_EQ(Read(Report()), ExpectedReport({{"Town.pk", "Both"}, {"7fffffff.pk", "Failed"}}));
    }
}

TEST_F(SoundsHelperTest, TargetFolderThatCannotBeMadeIsReported) {
    // A plain file where the target folder should be.
    Write(m_root / "sound_bin_pc_dlc", "in the way");
    Write(Source("Town.pk"), Package({}, Names({})));
    m_records[1] = "Town.snd";
    OVI_SoundsHelper helper;
    helper.bInsertKey(1, 1);
    std::string lines;
    EXPECT_EQ(Run(helper, false, true, &lines), OVC_Status_Failure);
    // The folder named is the one that failed, and the report stays empty.
    EXPECT_NE(lines.find("Cannot create " + (m_root / "sound_bin_pc_dlc").string() + ": "), std::string::npos)
        << lines;
    EXPECT_NE(lines.find("no sound is copied"), std::string::npos) << lines;
    EXPECT_EQ(Read(m_root / "sound_bin_pc_dlc"), "in the way");
    EXPECT_EQ(Read(Report()), "");
}

TEST_F(SoundsHelperTest, PackagesThatCannotBeCopiedFailTheRunAndAbsentOnesAreCounted) {
    Write(Source("Town.pk"), Package({}, Names({"Gone.pk", "Stuck.pk"})));
    Write(Source("7fffffff.pk"), "base");
    Write(Source("Stuck.pk"), "stuck");
    m_records[1] = "Town.snd";
    // A folder where Stuck.pk's copy should go.
    fs::create_directories(Target("Stuck.pk") / "inside");
    OVI_SoundsHelper helper;
    helper.bInsertKey(1, 1);
    std::string lines;
    EXPECT_EQ(Run(helper, false, true, &lines), OVC_Status_Failure);
    EXPECT_NE(lines.find("1 of 4 sound packages could not be copied (the first: " +
                         Source("Stuck.pk").string() + ": "),
              std::string::npos)
        << lines;
    EXPECT_NE(
        lines.find("[ warning][sounds          ][OVI_SoundsHelper::CopySoundFiles 1 of 4 sound packages "
                   "are not in " +
                   (m_root / "sound_bin_pc").string() + " (the first: " + Source("Gone.pk").string() +
                   ": No such file or directory)]"),
        std::string::npos)
        << lines;

    // Only the absent one: reported, and not a failure of the run.
    fs::remove_all(Target("Stuck.pk"));
    OVI_SoundsHelper again;
    again.bInsertKey(1, 1);
    EXPECT_EQ(Run(again, false, true, &lines), 0) << lines;
    EXPECT_EQ(lines.find("could not be copied"), std::string::npos) << lines;
}

TEST_F(SoundsHelperTest, LongDataRootAndNamesAreNotCut) {
    // Well beyond the 260 characters of the original path buffers.
    fs::path root = m_base;
    for (int i = 0; i < 6; ++i)
        root /= std::string(60, static_cast<char>('a' + i));
    m_root = root;
    const std::string longName = std::string(200, 'L') + ".pk";
    Write(Source("Town.pk"), Package({}, Names({longName})));
    Write(Source(longName), "long");
    m_records[1] = std::string(1500, 'd') + "/Town.snd";
    OVI_SoundsHelper helper;
    helper.bInsertKey(1, 1);
    EXPECT_EQ(Run(helper, false, false), 0);
    EXPECT_GT(m_root.string().size(), 360u);
    EXPECT_EQ(Read(Target(longName)), "long");
    EXPECT_TRUE(fs::exists(Target("Town.pk")));
}

TEST_F(SoundsHelperTest, EmptyDataRootLooksNowhere) {
    m_records[1] = "Town.snd";
    OVI_SoundsHelper helper;
    helper.bInsertKey(1, 1);
    m_root = fs::path();
    std::string lines;
    EXPECT_EQ(Run(helper, false, true, &lines), 0);
    EXPECT_NE(lines.find("No data root"), std::string::npos) << lines;
    EXPECT_TRUE(helper.SoundNames().empty());
    EXPECT_FALSE(fs::exists(Report()));
}

}  // namespace
