// orvex split's settings: keys, the configuration file and its precedence,
// world names, paths as the plug-in sees them, and refused over-long paths.
#include <gtest/gtest.h>

#include <CLI/CLI.hpp>

#include <filesystem>
#include <fstream>
#include <string>
#include <variant>
#include <vector>

#include "host/CmdSplit.h"
#include "host/ExitCode.h"
#include "platform/File.h"
#include "platform/Process.h"
#include "tests/support/RunOrvex.h"
#include "orvex/OVC_Interface.h"
#include "plugin/OVI_Text.h"

namespace {

namespace fs = std::filesystem;

class Folder {
public:
    Folder() {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        m_path = fs::temp_directory_path() /
                 ("orvex_split_" + std::string(info->name()) + "_" + std::to_string(PLT::CurrentProcessId()));
        fs::remove_all(m_path);
        fs::create_directories(m_path);
    }
    ~Folder() {
        std::error_code ec;
        fs::remove_all(m_path, ec);
    }
    std::string File(const std::string& name) const { return (m_path / name).string(); }
    std::string Write(const std::string& name, const std::string& text) const {
        std::ofstream(File(name)) << text;
        return File(name);
    }

private:
    fs::path m_path;
};

using test_support::RunOrvex;

using test_support::Contains;

TEST(SplitOptions, KeysAreHexWithPrefixOrDecimalWithin32Bits) {
    const struct {
        const char* text;
        bool ok;
        uint32_t key;
    } cases[] = {
        {"0x10", true, 0x10},
        {"0XfFfFfFfF", true, 0xFFFFFFFF},
        {"4294967295", true, 0xFFFFFFFF},
        {"0", true, 0},
        {"0x0000ABCD", true, 0xABCD},
        {"4294967296", false, 0},
        {"0x100000000", false, 0},
        {"0x", false, 0},
        {"", false, 0},
        {"-1", false, 0},
        {" 1", false, 0},
        {"12a", false, 0},
        {"Town", false, 0},
        {"0x1g", false, 0},
        {"00000000001", false, 0},
    };
    for (const auto& c : cases) {
        uint32_t key = 0;
        EXPECT_EQ(HOST::bParseKey(c.text, &key), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(key, c.key) << c.text;
        }
    }
}

TEST(SplitOptions, ConfigFileSetsEverySetting) {
    Folder folder;
    const std::string path = folder.Write("split.toml", R"(
bigfile = "game.big"
data-root = "Data"
world = ["Town", 0x20]
force-key = [0x1000, "0x2000"]
force-dir = ["/Interface", "/Shared"]
remove = ["_old", ""]
gm-bigfile = "gm.big"
ai-library = "ai.so"
refs-cache = "refs.bin"
write-refs-cache = true
critical-list = "critical.txt"
replacement = "repl.bin"
replace = true
single = true
dlc = true
no-copy = true
linker = true
package-id = 7
package-word = 65535
small-header = true
keys-only = true
compress = true
report = true
dir-count-base = 100
work-dir = "work"
)");
    HOST::SplitSettings s;
    std::string error;
    ASSERT_TRUE(HOST::bLoadSplitConfig(path, &s, &error)) << error;
    EXPECT_EQ(s.s_Bigfile, "game.big");
    EXPECT_EQ(s.s_DataRoot, "Data");
    EXPECT_EQ(s.worlds, (std::vector<std::string>{"Town", "0x00000020"}));
    EXPECT_EQ(s.forceKeys, (std::vector<std::string>{"0x00001000", "0x2000"}));
    EXPECT_EQ(s.forceDirs, (std::vector<std::string>{"/Interface", "/Shared"}));
    EXPECT_EQ(s.removes, (std::vector<std::string>{"_old", ""}));
    EXPECT_EQ(s.s_GmBigfile, "gm.big");
    EXPECT_EQ(s.s_AILibrary, "ai.so");
    EXPECT_EQ(s.s_RefsCache, "refs.bin");
    EXPECT_EQ(s.s_CriticalList, "critical.txt");
    EXPECT_EQ(s.s_Replacement, "repl.bin");
    EXPECT_EQ(s.s_WorkDir, "work");
    for (bool flag : {s.b_WriteRefsCache, s.b_Replace, s.b_Single, s.b_Dlc, s.b_NoCopy, s.b_Linker,
                      s.b_SmallHeader, s.b_KeysOnly, s.b_Compress, s.b_Report})
        EXPECT_TRUE(flag);
    EXPECT_EQ(s.uw_PackageId, 7);
    EXPECT_EQ(s.uw_PackageWord, 65535);
    EXPECT_EQ(s.uw_DirCountBase, 100);
}

TEST(SplitOptions, ConfigFileErrorsNameTheProblem) {
    Folder folder;
    const struct {
        const char* text;
        const char* inError;
    } cases[] = {
        {"no-such-setting = 1\n", "unknown setting \"no-such-setting\""},
        {"data-rot = \"D\"\n", "unknown setting \"data-rot\"; did you mean \"data-root\"?"},
        {"report = \"yes\"\n", "\"report\" must be true or false"},
        {"package-id = 65536\n", "\"package-id\" must be an integer from 0 to 65535"},
        {"package-word = -1\n", "\"package-word\""},
        {"data-root = 5\n", "\"data-root\" must be a string"},
        {"world = \"Town\"\n", "\"world\" must be an array"},
        {"force-key = [0x100000000]\n", "outside 32 bits"},
        {"remove = [1]\n", "\"remove\" must hold strings"},
        {"report = true\nreport = false\n", "split.toml:2:"},
        {"[section\n", "split.toml:1:"},
        // Found by fuzzing: characters the TOML parser once met with
        // undefined behaviour, where it asks for whitespace.
        {"bigfile = \"a\"\n\u00e9 = 1\n", "split.toml:2:1:"},
        {"package-id = 1\u026b\n", "split.toml:1:"},
        {"package-id = 5b\"x\"\ufef5\n", "split.toml:1:"},
        {"data-root = \"\"\"\\\u00e9\"\"\"\n", "split.toml:1:"},
    };
    for (const auto& c : cases) {
        const std::string path = folder.Write("split.toml", c.text);
        HOST::SplitSettings s;
        std::string error;
        EXPECT_FALSE(HOST::bLoadSplitConfig(path, &s, &error)) << c.text;
        EXPECT_TRUE(Contains(error, c.inError)) << c.text << " -> " << error;
    }
    HOST::SplitSettings s;
    std::string error;
    EXPECT_FALSE(HOST::bLoadSplitConfig(folder.File("missing.toml"), &s, &error));
    EXPECT_TRUE(Contains(error, "missing.toml")) << error;
}

TEST(SplitOptions, ConfigFileKeepsCharactersOutsideAsciiInStringsAndComments) {
    Folder folder;
    const std::string path = folder.Write("split.toml",
                                          "# Donn\u00e9es \u3001\n"
                                          "data-root = \"Donn\u00e9es\"\n"
                                          "bigfile = 'jeu\u026b.big' # \u00e9\n"
                                          "gm-bigfile = \"\"\"gm\u00e9\\\"\"\"\"\"\n"
                                          "remove = [\"\"\"a\\\n  \u00e9\"\"\"]\n"
                                          "ai-library = '''\u00e9\\'''\n");
    HOST::SplitSettings s;
    std::string error;
    ASSERT_TRUE(HOST::bLoadSplitConfig(path, &s, &error)) << error;
    EXPECT_EQ(s.s_DataRoot, "Donn\u00e9es");
    EXPECT_EQ(s.s_Bigfile, "jeu\u026b.big");
    EXPECT_EQ(s.s_GmBigfile, "gm\u00e9\"\"");
    EXPECT_EQ(s.s_AILibrary, "\u00e9\\");
    EXPECT_EQ(s.removes, (std::vector<std::string>{"a\u00e9"}));
}

TEST(SplitOptions, WorldsResolveByKeyOrByNameExactlyThenWithoutCase) {
    const std::vector<HOST::WorldFile> worlds = {{0x10, "Town"}, {0x20, "TOWN"}, {0x30, "Forest"}};
    const struct {
        std::vector<std::string> values;
        bool ok;
        std::vector<uint32_t> keys;
        const char* inError;
    } cases[] = {
        {{"Town", "TOWN"}, true, {0x10, 0x20}, ""},
        {{"forest", "0x30", "48"}, true, {0x30, 0x30, 0x30}, ""},
        {{"Forest.wor", "forest.WOR", "TOWN.wor"}, true, {0x30, 0x30, 0x20}, ""},
        {{"all"}, true, {0x10, 0x20, 0x30}, ""},
        {{".wor"}, false, {}, "no world file of that name"},
        {{"town"}, false, {}, "2 world files of that name"},
        {{"0x40"}, false, {}, "no world file with key 0x00000040"},
        {{"Nowhere"}, false, {}, "no world file of that name"},
        {{"Forset"}, false, {}, "--world Forset: no world file of that name; did you mean Forest?"},
        {{"Forset.wor"}, false, {}, "did you mean Forest?"},
    };
    for (const auto& c : cases) {
        std::vector<uint32_t> keys;
        std::string error;
        EXPECT_EQ(HOST::bResolveWorlds(c.values, worlds, &keys, &error), c.ok) << c.values[0];
        if (c.ok) {
            EXPECT_EQ(keys, c.keys);
        } else {
            EXPECT_TRUE(Contains(error, c.inError)) << error;
        }
    }
}

TEST(SplitOptions, PathsAreRewrittenForTheWorkFolderAndKeptShort) {
    const std::string here = PLT::CurrentDirectory();
    const struct {
        std::string path;
        std::string workDir;
        std::string expected;
    } cases[] = {
        {"game.big", "", "game.big"},
        {"game.big", "work", "../game.big"},
        {"Data/", "a/b", "../../Data/"},
        {"", "work", ""},
        {here + "/x/game.big", "", "x/game.big"},
        {here + "/x/game.big", "x", "game.big"},
        {"/somewhere/else.big", "", "/somewhere/else.big"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(HOST::PathFromWorkDir(c.path, c.workDir), c.expected) << c.path << " from " << c.workDir;
}

TEST(SplitOptions, ParameterBlockGetsEveryFieldAndRefusesPathsThatDoNotFit) {
    HOST::SplitSettings s;
    s.s_Bigfile = "game.big";
    s.s_DataRoot = std::string(63, 'd');  // exactly what the field holds
    s.forceKeys = {"0x1000", "42"};
    s.forceDirs = {"/Z", "/A"};
    s.removes = {"_old"};
    s.b_Report = true;
    s.b_Compress = true;
    s.uw_PackageId = 3;
    s.uw_DirCountBase = 99;
    ORVEX::OVI_SplitterParams p;
    std::string error;
    ASSERT_TRUE(HOST::bFillSplitParams(s, {0x20, 0x10}, &p, &error)) << error;
    EXPECT_EQ(ORVEX::OVI_TextOf(p.msz_BigfilePath), "game.big");
    EXPECT_EQ(ORVEX::OVI_TextOf(p.msz_DataRoot), s.s_DataRoot);
    EXPECT_EQ(p.mmap_Worlds, (std::map<uint32_t, uint32_t>{{0x10, 0}, {0x20, 0}}));
    EXPECT_EQ(p.mmap_ForcedKeys, (std::map<uint32_t, uint32_t>{{42, 0}, {0x1000, 0}}));
    // The order given is kept.
    EXPECT_EQ(p.mmap_ForcedDirs, (std::map<uint32_t, std::string>{{0, "/Z"}, {1, "/A"}}));
    EXPECT_EQ(p.mmap_RemCriteria.at(0), "_old");
    EXPECT_TRUE(p.mb_ReportMissing);
    EXPECT_TRUE(p.mb_Compress);
    EXPECT_FALSE(p.mb_Single);
    EXPECT_EQ(p.muw_PackageId, 3);
    EXPECT_EQ(p.muw_DirCountBase, 99);

    const struct {
        std::string HOST::SplitSettings::*field;
        size_t fits;
        const char* option;
    } fields[] = {
        {&HOST::SplitSettings::s_Bigfile, 63, "BIGFILE"},
        {&HOST::SplitSettings::s_DataRoot, 63, "--data-root"},
        {&HOST::SplitSettings::s_GmBigfile, 255, "--gm-bigfile"},
        {&HOST::SplitSettings::s_AILibrary, 63, "--ai-library"},
        {&HOST::SplitSettings::s_RefsCache, 63, "--refs-cache"},
        {&HOST::SplitSettings::s_CriticalList, 63, "--critical-list"},
        {&HOST::SplitSettings::s_Replacement, 63, "--replacement"},
    };
    for (const auto& f : fields) {
        HOST::SplitSettings t = s;
        t.s_DataRoot = "Data";
        t.*f.field = std::string(f.fits, 'p');
        ORVEX::OVI_SplitterParams block;
        EXPECT_TRUE(HOST::bFillSplitParams(t, {}, &block, &error)) << f.option << ": " << error;
        t.*f.field = std::string(f.fits + 1, 'p');
        EXPECT_FALSE(HOST::bFillSplitParams(t, {}, &block, &error)) << f.option;
        EXPECT_TRUE(Contains(error, f.option)) << error;
        EXPECT_TRUE(Contains(error, "at most " + std::to_string(f.fits))) << error;
    }
    s.forceKeys = {"Town"};
    EXPECT_FALSE(HOST::bFillSplitParams(s, {}, &p, &error));
    EXPECT_TRUE(Contains(error, "--force-key Town")) << error;
}

// One sample value per kind of option, as the settings file, the command line
// and the parameter block each hold it.
struct Sample {
    std::string toml;
    std::vector<std::string> args;
    std::variant<std::string, bool, uint16_t, std::vector<std::string>> setting;
};

Sample SampleFor(const HOST::SplitOption& option) {
    const std::string key(option.Key());
    const std::string name = option.s_Name;
    using V = HOST::SplitValue;
    const std::vector<std::string> named =
        option.bPositional() ? std::vector<std::string>{} : std::vector<std::string>{name};
    auto with = [&](std::initializer_list<std::string> values) {
        std::vector<std::string> args;
        for (const std::string& value : values) {
            args.insert(args.end(), named.begin(), named.end());
            args.push_back(value);
        }
        return args;
    };
    switch (option.e_Value) {
        case V::Flag:
            return {key + " = true", {name}, true};
        case V::Number:
            return {key + " = 4660", with({"4660"}), uint16_t{4660}};
        case V::Keys:
            return {key + " = [0x10, \"Town\"]", with({"0x00000010", "Town"}),
                    std::vector<std::string>{"0x00000010", "Town"}};
        case V::Texts:
            return {key + " = [\"b\", \"a\"]", with({"b", "a"}), std::vector<std::string>{"b", "a"}};
        default:
            return {key + " = \"v_" + key + "\"", with({"v_" + key}), "v_" + key};
    }
}

// The setting of `option` in `s`, as a Sample holds it.
decltype(Sample::setting) SettingOf(const HOST::SplitOption& option, const HOST::SplitSettings& s) {
    return std::visit([&](auto member) -> decltype(Sample::setting) { return s.*member; }, option.field);
}

TEST(SplitOptions, EveryRowOfTheTableReachesTheSettingsAndTheBlock) {
    Folder folder;
    ASSERT_FALSE(HOST::SplitOptions().empty());
    for (const HOST::SplitOption& option : HOST::SplitOptions()) {
        SCOPED_TRACE(option.s_Name);
        ASSERT_EQ(HOST::FindSplitOption(option.Key()), &option);
        const Sample sample = SampleFor(option);
        HOST::SplitSettings s;
        ASSERT_NE(SettingOf(option, s), sample.setting) << "the sample must differ from the initial value";
        std::string error;
        ASSERT_TRUE(HOST::bLoadSplitConfig(folder.Write("one.toml", sample.toml + "\n"), &s, &error))
            << error;
        EXPECT_EQ(SettingOf(option, s), sample.setting);

        // The block gets it in the field that its row names.
        const ORVEX::OVI_SplitterParams initial;
        ORVEX::OVI_SplitterParams block;
        const bool filled = HOST::bFillSplitParams(s, {}, &block, &error);
        using Block = ORVEX::OVI_SplitterParams;
        std::visit(
            [&](auto field) {
                using Field = decltype(field);
                if constexpr (std::is_same_v<Field, std::map<uint32_t, uint32_t> Block::*>) {
                    // "Town" is no key: the fill refuses it, naming the option.
                    EXPECT_FALSE(filled);
                    EXPECT_TRUE(Contains(error, option.Label() + " Town")) << error;
                    s.*std::get<std::vector<std::string> HOST::SplitSettings::*>(option.field) = {"0x10",
                                                                                                  "7"};
                    ASSERT_TRUE(HOST::bFillSplitParams(s, {}, &block, &error)) << error;
                    EXPECT_EQ(block.*field, (std::map<uint32_t, uint32_t>{{7, 0}, {0x10, 0}}));
                } else if constexpr (std::is_same_v<Field, bool Block::*> ||
                                     std::is_same_v<Field, uint16_t Block::*>) {
                    ASSERT_TRUE(filled) << error;
                    EXPECT_NE(block.*field, initial.*field);
                    EXPECT_EQ(decltype(Sample::setting)(block.*field), sample.setting);
                } else if constexpr (std::is_same_v<Field, std::map<uint32_t, std::string> Block::*>) {
                    ASSERT_TRUE(filled) << error;
                    EXPECT_EQ(block.*field, (std::map<uint32_t, std::string>{{0, "b"}, {1, "a"}}));
                } else if constexpr (std::is_same_v<Field, std::monostate>) {
                    EXPECT_TRUE(filled) << error;
                } else {
                    ASSERT_TRUE(filled) << error;
                    EXPECT_EQ(ORVEX::OVI_TextOf(block.*field), std::get<std::string>(sample.setting));
                }
            },
            option.target);
    }
}

TEST(SplitOptions, CommandLineTakesEveryRowAndWinsOverTheFile) {
    Folder folder;
    const std::string config = folder.Write("split.toml", "data-root = \"from-file\"\nreport = true\n");
    std::vector<std::string> args = {"split", "--config", config};
    for (const HOST::SplitOption& option : HOST::SplitOptions()) {
        if (option.Key() == "report")
            continue;  // left to the file
        const Sample sample = SampleFor(option);
        args.insert(args.end(), sample.args.begin(), sample.args.end());
    }
    CLI::App app;
    HOST::SplitCommandLine line(&app);
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(arg.data());
    ASSERT_NO_THROW(app.parse(static_cast<int>(argv.size()), argv.data()));
    HOST::SplitSettings s;
    std::string error;
    ASSERT_TRUE(line.bSettings(&s, &error)) << error;
    for (const HOST::SplitOption& option : HOST::SplitOptions()) {
        SCOPED_TRACE(option.s_Name);
        if (option.Key() == "report")
            EXPECT_TRUE(s.b_Report);
        else
            EXPECT_EQ(SettingOf(option, s), SampleFor(option).setting);
    }
}

TEST(SplitCommand, UsageErrorsAndPrecedenceOfTheCommandLine) {
    Folder folder;
    const std::string config =
        folder.Write("split.toml", "bigfile = \"from-config.big\"\ndata-root = \"/tmp\"\n");
    const std::string longPath(80, 'x');
    const struct {
        std::vector<std::string> args;
        int exitCode;
        const char* inErr;
    } cases[] = {
        {{"split"}, HOST::kExitUsage, "BIGFILE is required"},
        {{"split", "game.big"}, HOST::kExitUsage, "--data-root is required"},
        {{"split", "game.big", "--data-root", longPath}, HOST::kExitUsage, "--data-root"},
        {{"split", "game.big", "--data-root", "no/such/folder"}, HOST::kExitUsage, "no such folder"},
        {{"split", "game.big", "--data-root", "D", "--refs-cache", longPath},
         HOST::kExitUsage,
         "--refs-cache"},
        {{"split", "game.big", "--data-root", "D", "--package-id", "70000"}, HOST::kExitUsage, ""},
        {{"split", "--config", folder.File("nope.toml")}, HOST::kExitUsage, "nope.toml"},
        // The file's bigfile is used when the command line has none...
        {{"split", "--config", config}, HOST::kExitUsage, "from-config.big: no such file"},
        // ...and the command line's wins when it has one.
        {{"split", "from-cli.big", "--config", config}, HOST::kExitUsage, "from-cli.big: no such file"},
        // A repeated list option takes one value each time: the bigfile after it stays the bigfile.
        {{"split", "--world", "Town", "--world", "0x10", "other.big", "--data-root", "/tmp"},
         HOST::kExitUsage,
         "other.big: no such file"},
        // Numbers are checked before anything is read, with the valid range.
        {{"split", "game.big", "--data-root", "/tmp", "--dir-count-base", "0"},
         HOST::kExitUsage,
         "--dir-count-base 0: must be from 1 to 65532"},
        {{"split", "game.big", "--data-root", "/tmp", "--dir-count-base", "65533"},
         HOST::kExitUsage,
         "--dir-count-base 65533: must be from 1 to 65532"},
    };
    for (const auto& c : cases) {
        const PLT::ProcessResult result = RunOrvex(c.args);
        EXPECT_EQ(result.exitCode, c.exitCode) << c.args.back() << "\n" << result.out << result.err;
        EXPECT_TRUE(Contains(result.err, c.inErr)) << c.args.back() << "\n" << result.err;
    }
}

}  // namespace
