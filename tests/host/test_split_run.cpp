// orvex split, worlds and demo as a user runs them, on a generated sample:
// the outputs pass `orvex verify`, the gzip copies pass gzip, the reports are
// where the summary says, and the exit codes follow the tool's status.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "BIGfile/BIG_Fat.h"
#include "host/BigTools.h"
#include "host/ExitCode.h"
#include "host/Gen.h"
#include "platform/File.h"
#include "platform/Process.h"
#include "orvex/OVC_Interface.h"
#include "plugin/OVI_ReportFormat.h"

namespace {

namespace fs = std::filesystem;

PLT::ProcessResult RunOrvex(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {ORVEX_EXE};
    argv.insert(argv.end(), args.begin(), args.end());
    PLT::ProcessResult result;
    EXPECT_TRUE(PLT::RunProcess(argv, {"ORVEX_PLUGIN=" ORVEX_PLUGIN_SO, "MARLIN_DEBUG_OUTPUT"}, &result));
    return result;
}

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

std::vector<std::string> Names(const fs::path& folder) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(folder, ec))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// One generated sample for the whole suite; each test splits it into its own folders.
class SplitRun : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_root = new fs::path(fs::temp_directory_path() /
                              ("orvex_split_run_" + std::to_string(PLT::CurrentProcessId())));
        fs::remove_all(*s_root);
        HOST::GenOptions options;
        options.s_OutDir = (*s_root / "sample").string();
        options.ul_Worlds = 3;
        options.ul_Files = 800;
        options.ull_Seed = 11;
        options.b_GmBigfile = true;
        options.b_CriticalList = true;
        s_summary = new HOST::GenSummary;
        std::string error;
        s_generated = HOST::bGenerate(options, s_summary, &error);
        if (!s_generated)
            ADD_FAILURE() << error;
    }
    static void TearDownTestSuite() {
        std::error_code ec;
        fs::remove_all(*s_root, ec);
        delete s_root;
        delete s_summary;
    }
    void SetUp() override {
        ASSERT_TRUE(s_generated);
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        m_dir = *s_root / info->name();
        fs::create_directories(m_dir / "Data");
    }

    // Split arguments over the sample, into this test's data root and work folder.
    std::vector<std::string> SplitArgs(const std::string& dataRoot) const {
        std::vector<std::string> args = {"split",      s_summary->s_BigfilePath, "--data-root", dataRoot,
                                         "--work-dir", (m_dir / "work").string()};
        for (const HOST::GenWorld& w : s_summary->worlds) {
            args.push_back("--world");
            args.push_back(w.s_Name);
        }
        return args;
    }
    static std::string OutputPath(const std::string& dataRoot, const std::string& name) {
        return dataRoot + "/DLC/" + name + "/" + name + ".big";
    }

    static fs::path* s_root;
    static HOST::GenSummary* s_summary;
    static bool s_generated;
    fs::path m_dir;
};

fs::path* SplitRun::s_root = nullptr;
HOST::GenSummary* SplitRun::s_summary = nullptr;
bool SplitRun::s_generated = false;

TEST_F(SplitRun, EveryOutputVerifiesTheGzipCopiesPassGzipAndTheReportsAreWritten) {
    const std::string dataRoot = (m_dir / "Data").string();
    std::vector<std::string> args = SplitArgs(dataRoot);
    args.insert(args.end(),
                {"--report", "--compress", "--gm-bigfile", s_summary->s_GmBigfilePath, "--critical-list",
                 s_summary->s_CriticalListPath, "--force-dir", HOST::kGenForcedDirectory});
    const PLT::ProcessResult result = RunOrvex(args);
    ASSERT_EQ(result.exitCode, 0) << result.out << result.err;
    EXPECT_TRUE(Contains(result.out, "[    info][session         ][Splitter Session Complete]"))
        << result.out;

    std::vector<std::string> outputs = {"Marlin"};
    for (const HOST::GenWorld& w : s_summary->worlds)
        outputs.push_back(w.s_Name);
    for (const std::string& name : outputs) {
        SCOPED_TRACE(name);
        const std::string path = OutputPath(dataRoot, name);
        std::string error;
        std::unique_ptr<BIG_cl_Fat> fat = HOST::Tools::OpenBigfile(path, &error);
        ASSERT_NE(fat, nullptr) << error;
        const uint32_t files = fat->ul_CountUsedFiles();
        EXPECT_GT(files, 0u);
        EXPECT_EQ(HOST::Tools::Verify(*fat), std::vector<std::string>{});
        fat->File().eClose();
        // The summary line of this output tells its file count.
        EXPECT_TRUE(Contains(result.out, std::to_string(files) + " files")) << result.out;

        PLT::ProcessResult gzip;
        ASSERT_TRUE(PLT::RunProcess({"gzip", "-t", path + ".gz"}, {}, &gzip));
        EXPECT_EQ(gzip.exitCode, 0) << gzip.err;
        // No work folder is left beside the output.
        EXPECT_EQ(Names(fs::path(path).parent_path()),
                  (std::vector<std::string>{name + ".big", name + ".big.gz"}));
    }

    const std::vector<std::string> reports = Names(m_dir / "work");
    for (const char* report :
         {"Common.log", ORVEX::kCriticalListReportName, ORVEX::kCriticalReportName, ORVEX::kFinalReportName})
        EXPECT_NE(std::find(reports.begin(), reports.end(), report), reports.end()) << report;
    for (const HOST::GenWorld& w : s_summary->worlds) {
        const std::string log = ORVEX::OVI_WorldLogName(w.ul_Key);
        EXPECT_NE(std::find(reports.begin(), reports.end(), log), reports.end()) << log;
    }
    EXPECT_TRUE(Contains(result.out, "reports in " + fs::canonical(m_dir / "work").string())) << result.out;
}

TEST_F(SplitRun, WithoutTheReportFlagOnlyTheFinalReportIsWritten) {
    const std::string dataRoot = (m_dir / "Data").string();
    const PLT::ProcessResult result = RunOrvex(SplitArgs(dataRoot));
    ASSERT_EQ(result.exitCode, 0) << result.out << result.err;
    EXPECT_EQ(Names(m_dir / "work"), (std::vector<std::string>{ORVEX::kFinalReportName}));
    EXPECT_FALSE(Contains(result.out, "[missing-file")) << result.out;
    EXPECT_FALSE(Contains(result.out, "[link-file")) << result.out;
    EXPECT_TRUE(fs::exists(OutputPath(dataRoot, "Marlin")));
}

TEST_F(SplitRun, AnOutputThatCannotBeWrittenGivesStatusFourAndTheErrorLine) {
    const fs::path dataRoot = m_dir / "Blocked";
    fs::create_directories(dataRoot);
    std::ofstream(dataRoot / "DLC") << "a file where the folder should be";
    const PLT::ProcessResult result = RunOrvex(SplitArgs(dataRoot.string()));
    EXPECT_EQ(result.exitCode, HOST::ExitCodeForStatus(OVC_Status_Failure)) << result.out << result.err;
    EXPECT_TRUE(Contains(result.out, "[   error][big-file        ][Unable to Create]")) << result.out;
    EXPECT_TRUE(Contains(result.out, "Marlin                   not written")) << result.out;
    EXPECT_TRUE(Contains(result.out, "split " + s_summary->s_BigfilePath + ": status 4")) << result.out;
}

TEST_F(SplitRun, SingleModeWritesOneDlcBigfile) {
    const std::string dataRoot = (m_dir / "Data").string();
    std::vector<std::string> args = SplitArgs(dataRoot);
    args.push_back("--single");
    const PLT::ProcessResult result = RunOrvex(args);
    ASSERT_EQ(result.exitCode, 0) << result.out << result.err;
    EXPECT_EQ(Names(fs::path(dataRoot) / "DLC"), (std::vector<std::string>{"dlc"}));
    std::string error;
    auto fat = HOST::Tools::OpenBigfile(OutputPath(dataRoot, "dlc"), &error);
    ASSERT_NE(fat, nullptr) << error;
    EXPECT_EQ(HOST::Tools::Verify(*fat), std::vector<std::string>{});
    fat->File().eClose();
}

TEST_F(SplitRun, WorldsListsEveryWorldFileWithItsClosure) {
    const PLT::ProcessResult result = RunOrvex({"worlds", s_summary->s_BigfilePath});
    ASSERT_EQ(result.exitCode, 0) << result.out << result.err;
    for (const HOST::GenWorld& w : s_summary->worlds) {
        char key[16];
        std::snprintf(key, sizeof key, "0x%08X", w.ul_Key);
        EXPECT_TRUE(Contains(result.out, std::string(key) + "  " + w.s_Name)) << result.out;
    }
    EXPECT_TRUE(Contains(result.out, std::to_string(s_summary->worlds.size()) + " world files"))
        << result.out;
    EXPECT_EQ(RunOrvex({"worlds", "/tmp/orvex-no-such.big"}).exitCode, 4);
}

TEST_F(SplitRun, DemoGeneratesAndSplitsAndCanRunAgain) {
    const std::string folder = (m_dir / "demo").string();
    for (int run = 0; run < 2; ++run) {
        const PLT::ProcessResult result = RunOrvex({"demo", folder});
        ASSERT_EQ(result.exitCode, 0) << result.out << result.err;
        EXPECT_TRUE(Contains(result.out, "Splitter Session Complete")) << result.out;
        EXPECT_TRUE(fs::exists(folder + "/sample/Data/DLC/Marlin/Marlin.big"));
    }
    // A folder it did not make is left alone.
    const std::string other = (m_dir / "other").string();
    fs::create_directories(other + "/sample");
    std::ofstream(other + "/sample/mine.txt") << "keep";
    EXPECT_EQ(RunOrvex({"demo", other}).exitCode, 4);
    EXPECT_TRUE(fs::exists(other + "/sample/mine.txt"));
}

}  // namespace
