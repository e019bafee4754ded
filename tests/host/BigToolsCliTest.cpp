// The maintenance commands as a user runs them: one plain sentence and the
// same exit code for the same damage in every command, pack's manifest checks
// naming the bad field, and nothing left behind by a failed pack.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "BIGfile/BIG_Fat.h"
#include "ERRor/ERR_Assert.h"
#include "host/BigTools.h"
#include "platform/File.h"
#include "platform/Process.h"
#include "tests/support/RunOrvex.h"

namespace fs = std::filesystem;

namespace {

using test_support::RunOrvex;

using test_support::Contains;

size_t Lines(const std::string& text) {
    return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
}

class BigToolsCli : public ::testing::Test {
protected:
    void SetUp() override {
        ERR_SetInteractive(false);
        char pattern[] = "/tmp/orvex-cli-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        m_dir = pattern;
        setenv("MARLIN_REGISTRY", (m_dir + "/registry.ini").c_str(), 1);
        m_big = m_dir + "/sample.big";
        BIG_cl_Fat fat;
        ASSERT_EQ(fat.File().eCreate(m_big, false, 0xC0000000, true), 0u);
        ASSERT_TRUE(fat.Create(32, 8, 0, 0));
        const uint16_t dir = fat.uw_CreateDirPath("/Levels");
        for (uint32_t k = 0; k < 3; ++k) {
            const std::string name = "file" + std::to_string(k) + ".ini";
            // An empty reference table, then the data.
            const std::string data = std::string(4, '\0') + std::string(3996, static_cast<char>('a' + k));
            fat.SaveFile(fat.ul_CreateFile(name.c_str(), 1700000000, dir, 0x100 + k), data.data(),
                         static_cast<uint32_t>(data.size()));
        }
        fat.WriteFatHeader();
        ASSERT_EQ(fat.File().eClose(), 0u);
        ASSERT_TRUE(PLT::ReadWholeFile(m_big, &m_bytes));
    }
    void TearDown() override { fs::remove_all(m_dir); }

    std::string Write(const std::string& name, const std::string& bytes) {
        const std::string path = m_dir + "/" + name;
        EXPECT_TRUE(PLT::WriteWholeFile(path, bytes.data(), bytes.size()));
        return path;
    }

    std::string m_dir, m_big, m_bytes;
};

// Every maintenance command and split, on each kind of damage: the same exit code and
// one plain sentence with the path as typed, no flood of assertions.
TEST_F(BigToolsCli, DamagedBigfilesGetOnePlainSentenceAndTheSameExitCode) {
    const size_t header = 2048;  // small-header segment: the bigfile header's byte
    std::string loop = m_bytes;
    // Directory 2 ("Levels") made its own parent.
    const size_t dirTable = header + 128 + 32 * 96;
    loop[dirTable + 2 * 64 + 4] = 2;
    loop[dirTable + 2 * 64 + 5] = 0;
    std::string root = m_bytes;
    root[dirTable + 4] = 0;
    root[dirTable + 5] = 0;
    std::string shift = m_bytes;
    shift[header + 0x55] = 0;
    const struct {
        const char* what;
        std::string path;
        int exitCode;
        std::string sentence;
    } cases[] = {
        {"missing", m_dir + "/absent.big", 4, "absent.big: cannot open: No such file or directory"},
        {"not a bigfile", Write("text.big", std::string(4096, 'x')), 5,
         "text.big: not a bigfile: no segment header"},
        {"cut inside its tables", Write("cut.big", m_bytes.substr(0, header + 1000)), 5,
         "cut.big: truncated: segment 0"},
        {"cut after its tables", Write("after.big", m_bytes.substr(0, header + 128 + 32 * 96 + 8 * 64 + 100)),
         5, "after.big: truncated: segment 0"},
        {"a loop of directories", Write("loop.big", loop), 5, "loop of parent directories"},
        {"a root that is its own parent", Write("root.big", root), 5, "loop of parent directories"},
        {"alignment shift 0", Write("shift.big", shift), 5, "unusable alignment shift 0"},
    };
    for (const auto& c : cases) {
        for (const std::vector<std::string>& command : {std::vector<std::string>{"info"},
                                                        {"ls"},
                                                        {"ls", "--tree"},
                                                        {"ls", "--json"},
                                                        {"verify"},
                                                        {"extract", "--no-sync"},
                                                        {"worlds"},
                                                        {"diff", m_big},
                                                        {"why", "0x100"},
                                                        {"refs"},
                                                        {"split", "--world", "all"}}) {
            // A bigfile that is not there is a usage error for split (exit 2), checked with its options.
            if (command[0] == "split" && c.exitCode == 4)
                continue;
            std::vector<std::string> args = command;
            args.insert(args.begin() + 1, c.path);
            if (command[0] == "extract")
                args.insert(args.begin() + 2, m_dir + "/out");
            if (command[0] == "split")
                args.insert(args.begin() + 2, {"--data-root", m_dir, "--work-dir", m_dir + "/work"});
            const PLT::ProcessResult r = RunOrvex(args);
            SCOPED_TRACE(std::string(c.what) + ": orvex " + command[0] +
                         (command.size() > 1 ? " " + command[1] : ""));
            EXPECT_EQ(r.exitCode, c.exitCode) << r.err;
            EXPECT_TRUE(Contains(r.err, c.sentence)) << r.err;
            EXPECT_FALSE(Contains(r.err, "container error")) << r.err;
            EXPECT_LE(Lines(r.err), 6u) << r.err;
        }
    }
}

TEST_F(BigToolsCli, SoundBigfilesSayWhatWasChecked) {
    PLT::ProcessResult r = RunOrvex({"verify", m_big});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(Contains(r.out, "OK: 3 files, 12000 bytes checked")) << r.out;
    r = RunOrvex({"extract", m_big, m_dir + "/out", "--key", "101", "--key", "0xdead"});
    EXPECT_EQ(r.exitCode, 4);
    EXPECT_TRUE(Contains(r.err, "has no file with key 0000dead")) << r.err;
    EXPECT_FALSE(Contains(r.out, "extracted")) << "no success line for an incomplete extract";
    // A FIFO in place of a bigfile is refused at once, never waited on.
    ASSERT_EQ(mkfifo((m_dir + "/fifo.big").c_str(), 0600), 0);
    r = RunOrvex({"info", m_dir + "/fifo.big"});
    EXPECT_EQ(r.exitCode, 4);
    EXPECT_TRUE(Contains(r.err, "not a regular file")) << r.err;
}

// Bad numbers are usage errors naming the valid range; a folder that is not
// there (or is no folder) is named itself, with the reason, never as its
// manifest.
TEST_F(BigToolsCli, PackChecksItsOptionsAndFolderBeforeAnyWork) {
    const struct {
        std::string folder;
        std::vector<std::string> options;
        int exitCode;
        std::string sentence;
    } cases[] = {
        {"/nowhere", {"--alignment-shift", "-1"}, 2, "from 3 to 16"},
        {"/nowhere", {"--alignment-shift", "17"}, 2, "from 3 to 16"},
        {"/nowhere", {"--max-segment-size", "0"}, 2, "from 4096 to 3221225472"},
        {"/nowhere", {"--max-segment-size", "12abc"}, 2, "from 4096 to 3221225472"},
        {"/nowhere", {}, 4, "/nowhere: cannot open the folder: No such file or directory"},
        {"/sample.big", {}, 4, "/sample.big: cannot open the folder: Not a directory"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = {"pack", m_dir + c.folder, m_dir + "/out.big"};
        args.insert(args.end(), c.options.begin(), c.options.end());
        const PLT::ProcessResult r = RunOrvex(args);
        SCOPED_TRACE(c.folder + (c.options.empty() ? "" : " " + c.options[0] + " " + c.options[1]));
        EXPECT_EQ(r.exitCode, c.exitCode) << r.err;
        EXPECT_TRUE(Contains(r.err, c.sentence)) << r.err;
        EXPECT_FALSE(Contains(r.err, "manifest.json")) << r.err;
        EXPECT_FALSE(fs::exists(m_dir + "/out.big"));
    }
}

// Hostile manifests: each refused with the manifest path of the bad field,
// no output and no private work folder left behind.
TEST_F(BigToolsCli, PackRefusesBadManifestFieldsAndLeavesNothingBehind) {
    ASSERT_EQ(RunOrvex({"extract", m_big, m_dir + "/out", "--no-sync"}).exitCode, 0);
    std::string manifest;
    ASSERT_TRUE(PLT::ReadWholeFile(m_dir + "/out/manifest.json", &manifest));
    auto replaced = [&manifest](const std::string& from, const std::string& to) {
        std::string changed = manifest;
        const size_t at = changed.find(from);
        EXPECT_NE(at, std::string::npos) << from;
        if (at != std::string::npos)
            changed.replace(at, from.size(), to);
        return changed;
    };
    const struct {
        const char* what;
        std::string text;
        std::string field;
    } cases[] = {
        {"negative key", replaced("\"key\": 256", "\"key\": -5"), "files[0].key: -5 is negative"},
        {"type too wide", replaced("\"type\": ", "\"type\": 300, \"x\": "),
         "files[0].type: 300 does not fit"},
        {"header byte too wide", replaced("\"header_byte\": 0", "\"header_byte\": 999"),
         "header.header_byte"},
        {"fraction", replaced("\"time\": ", "\"time\": 1.5, \"y\": "),
         "files[0].time: must be a whole number"},
        {"duplicate key", replaced("\"key\": 257", "\"key\": 256"),
         "files[1].key: 00000100 is also the key of files[0]"},
        {"name with a path", replaced("\"name\": \"file0.ini\"", "\"name\": \"../../../PWNED.ini\""),
         "files[0].name"},
        {"data outside", replaced("\"data\": \"Levels/file0.ini\"", "\"data\": \"../sample.big\""),
         "files[0].data: data path \"../sample.big\" leaves the folder"},
        {"missing data file", replaced("\"data\": \"Levels/file0.ini\"", "\"data\": \"Levels/absent.ini\""),
         "Levels/absent.ini (files[0].data)"},
        {"directory its own parent", replaced("\"parent\": null", "\"parent\": 0"),
         "directories[0].parent: makes a loop of parent directories"},
        {"directory outside the list", replaced("\"dir\": 1", "\"dir\": 7"),
         "files[0].dir: 7 does not fit; it must lie between 0 and 1"},
        {"copy index without copies", replaced("\"key\": 256", "\"copy_index\": 0, \"key\": 256"),
         "files[0].copy_index: only a file stored in several places has one"},
        {"not JSON", "{\"orvex_manifest\": 2, \"header\": {}", "manifest: not valid JSON"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(PLT::WriteWholeFile(m_dir + "/out/manifest.json", c.text.data(), c.text.size()));
        const PLT::ProcessResult r = RunOrvex({"pack", m_dir + "/out", m_dir + "/packed/bad.big"});
        EXPECT_EQ(r.exitCode, 4);
        EXPECT_TRUE(Contains(r.err, c.field)) << r.err;
        EXPECT_FALSE(fs::exists(m_dir + "/packed/bad.big"));
        if (fs::exists(m_dir + "/packed")) {
            EXPECT_TRUE(fs::is_empty(m_dir + "/packed")) << "a work folder was left";
        }
    }
    // Files the manifest does not list are named, and left out.
    ASSERT_TRUE(PLT::WriteWholeFile(m_dir + "/out/manifest.json", manifest.data(), manifest.size()));
    ASSERT_TRUE(PLT::WriteWholeFile(m_dir + "/out/Levels/stray.ini", "x", 1));
    const PLT::ProcessResult r = RunOrvex({"pack", m_dir + "/out", m_dir + "/good.big"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(Contains(r.err, "Levels/stray.ini is not listed in the manifest")) << r.err;

    // Links to folders are named, never entered: two that name their own
    // folder made the walk endless (2^depth paths).
    fs::create_directory_symlink(".", m_dir + "/out/Levels/again");
    fs::create_directory_symlink("..", m_dir + "/out/Levels/up");
    const PLT::ProcessResult linked = RunOrvex({"pack", m_dir + "/out", m_dir + "/linked.big"});
    EXPECT_EQ(linked.exitCode, 0) << linked.err;
    EXPECT_TRUE(Contains(linked.err, "Levels/again is not listed in the manifest")) << linked.err;
    EXPECT_TRUE(Contains(linked.err, "Levels/up is not listed in the manifest")) << linked.err;
    EXPECT_FALSE(Contains(linked.err, "Levels/again/")) << linked.err;
}

// A link planted in an extracted folder is never read through: pack refuses
// it by name, exits non-zero and leaves no bigfile, whether the link stands
// for the data file itself or for a folder on its way.
TEST_F(BigToolsCli, PackRefusesADataFileReachedThroughALink) {
    const std::string outside = m_dir + "/outside";
    fs::create_directories(outside);
    for (int k = 0; k < 3; ++k)
        Write("outside/file" + std::to_string(k) + ".ini", "secret");
    const struct {
        const char* what;
        const char* plant;  // replaced by a link to `outside` or a file in it
        bool folder;
        std::string named;
    } cases[] = {
        {"the data file", "Levels/file1.ini", false,
         "/out/Levels/file1.ini (files[1].data): it is a symbolic link"},
        {"a folder on its way", "Levels", true, "/out/Levels: it is a symbolic link"},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(m_dir + "/out");
        ASSERT_EQ(RunOrvex({"extract", m_big, m_dir + "/out", "--no-sync"}).exitCode, 0);
        const std::string plant = m_dir + "/out/" + c.plant;
        fs::remove_all(plant);
        if (c.folder)
            fs::create_directory_symlink(outside, plant);
        else
            fs::create_symlink(outside + "/file1.ini", plant);
        const std::string big = m_dir + "/linked" + std::to_string(n++) + ".big";
        const PLT::ProcessResult r = RunOrvex({"pack", m_dir + "/out", big});
        EXPECT_EQ(r.exitCode, 4) << r.err;
        EXPECT_TRUE(Contains(r.err, c.named)) << r.err;
        EXPECT_FALSE(fs::exists(big));
    }
}

}  // namespace
