// orvex split, worlds and demo as a user runs them, on a generated sample:
// the outputs pass `orvex verify`, the gzip copies pass gzip, the reports are
// where the summary says, and the exit codes follow the tool's status.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "BIGfile/BIG_Fat.h"
#include "BIGfile/BIG_ReferenceManager.h"
#include "host/BigTools.h"
#include "host/ExitCode.h"
#include "host/Gen.h"
#include "platform/File.h"
#include "platform/Process.h"
#include "tests/support/RunOrvex.h"
#include "orvex/OVC_Interface.h"
#include "platform/Signals.h"
#include "plugin/OVI_ReportFormat.h"

namespace {

namespace fs = std::filesystem;

using test_support::RunOrvex;

using test_support::Contains;

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
                 s_summary->s_CriticalListPath, "--force-dir", HOST::kGenForcedDirectory, "--verbose"});
    const PLT::ProcessResult result = RunOrvex(args);
    ASSERT_EQ(result.exitCode, 0) << result.out << result.err;
    EXPECT_TRUE(Contains(result.out, "[    info][session         ][Splitter Session Complete]"))
        << result.out;
    EXPECT_TRUE(Contains(result.out, "[    info][phase           ][scan ")) << result.out;

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
    EXPECT_TRUE(Contains(result.out, "reports in " + (m_dir / "work").string() + ":")) << result.out;
}

TEST_F(SplitRun, WithoutTheReportFlagOnlyTheFinalReportIsWritten) {
    const std::string dataRoot = (m_dir / "Data").string();
    // Without --verbose (and with --quiet) standard output carries the summary alone.
    for (const char* mode : {"", "--quiet"}) {
        SCOPED_TRACE(mode);
        std::vector<std::string> args = SplitArgs(dataRoot);
        if (*mode != '\0')
            args.push_back(mode);
        const PLT::ProcessResult result = RunOrvex(args);
        ASSERT_EQ(result.exitCode, 0) << result.out << result.err;
        EXPECT_EQ(Names(m_dir / "work"), (std::vector<std::string>{ORVEX::kFinalReportName}));
        EXPECT_FALSE(Contains(result.out, "[    info]")) << result.out;
        EXPECT_TRUE(Contains(result.out, "split " + s_summary->s_BigfilePath + ": status 0\n")) << result.out;
        EXPECT_TRUE(fs::exists(OutputPath(dataRoot, "Marlin")));
    }
}

// With a JSON summary asked for, the printed summary takes its figures from
// the outputs as the reports read them: it must print what the run without
// one prints, and its file counts must be the JSON's.
TEST_F(SplitRun, ThePrintedSummaryIsTheSameWhenTheReportsReadTheOutputs) {
    const std::string dataRoot = (m_dir / "Data").string();
    for (const char* mode : {"", "--single"}) {
        SCOPED_TRACE(mode);
        std::vector<std::string> args = SplitArgs(dataRoot);
        if (*mode != '\0')
            args.push_back(mode);
        const PLT::ProcessResult plain = RunOrvex(args);
        ASSERT_EQ(plain.exitCode, 0) << plain.out << plain.err;
        const std::string json = (m_dir / "summary.json").string();
        args.insert(args.end(), {"--summary-json", json});
        const PLT::ProcessResult read = RunOrvex(args);
        ASSERT_EQ(read.exitCode, 0) << read.out << read.err;
        EXPECT_EQ(read.out, plain.out);
        std::ifstream in(json);
        const nlohmann::json summary = nlohmann::json::parse(in);
        ASSERT_FALSE(summary["outputs"].empty());
        for (const auto& output : summary["outputs"]) {
            char line[64];
            std::snprintf(line, sizeof line, " %10u files", output["files"].get<unsigned>());
            EXPECT_TRUE(Contains(plain.out, line)) << output["name"] << "\n" << plain.out;
        }
    }
}

TEST_F(SplitRun, AnOutputThatCannotBeWrittenGivesStatusFourAndTheErrorLine) {
    // With and without the logs: the later passes never lower the status.
    for (const bool report : {false, true}) {
        SCOPED_TRACE(report);
        const fs::path dataRoot = m_dir / (report ? "WithReport" : "Plain");
        fs::create_directories(dataRoot / "DLC");
        std::ofstream(dataRoot / "DLC" / "Marlin") << "a file where the folder should be";
        std::vector<std::string> args = SplitArgs(dataRoot.string());
        if (report)
            args.push_back("--report");
        const fs::path json = m_dir / (report ? "with-report.json" : "plain.json");
        args.insert(args.end(), {"--summary-json", json.string()});
        const PLT::ProcessResult result = RunOrvex(args);
        EXPECT_EQ(result.exitCode, HOST::ExitCodeForStatus(OVC_Status_Failure)) << result.out << result.err;
        EXPECT_TRUE(Contains(result.err, "[   error][big-file        ][Unable to Create]")) << result.err;
        EXPECT_TRUE(Contains(result.out, "Marlin (common)          not written")) << result.out;
        EXPECT_TRUE(Contains(result.out, "problems:\n  Marlin (common): not written (" + dataRoot.string() +
                                             "/DLC/Marlin/Marlin.big)\n"))
            << result.out;
        // The JSON summary lists the printed summary's problems, in its order.
        std::string text;
        ASSERT_TRUE(PLT::ReadWholeFile(json.string(), &text));
        std::vector<std::string> printed;
        const size_t section = result.out.find("problems:\n");
        ASSERT_NE(section, std::string::npos);
        std::istringstream lines(result.out.substr(section + 10));
        for (std::string line; std::getline(lines, line) && line.rfind("  ", 0) == 0;)
            printed.push_back(line.substr(2));
        EXPECT_EQ(nlohmann::json::parse(text)["problems"].get<std::vector<std::string>>(), printed) << text;
        EXPECT_TRUE(Contains(result.out, "split " + s_summary->s_BigfilePath + ": status 4")) << result.out;
        // Standard output carries the summary, not the plug-in's lines.
        EXPECT_FALSE(Contains(result.out, "[   error]")) << result.out;
    }
    // A DLC folder that cannot be made ends the run before the scan.
    const fs::path blocked = m_dir / "Blocked";
    fs::create_directories(blocked);
    std::ofstream(blocked / "DLC") << "a file where the folder should be";
    const PLT::ProcessResult result = RunOrvex(SplitArgs(blocked.string()));
    EXPECT_EQ(result.exitCode, HOST::ExitCodeForStatus(OVC_Status_Failure)) << result.out << result.err;
    EXPECT_TRUE(Contains(result.err, "cannot create " + (blocked / "DLC").string())) << result.err;
    EXPECT_EQ(result.out, "");
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
        EXPECT_TRUE(Contains(result.out, ": status 0\n")) << result.out;
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

namespace {

// Case table of the run's checks before the work, and its outcomes: the
// setup, the exit code, a line that must be on standard error, what must not
// exist afterwards (relative to the test's folder).
TEST_F(SplitRun, ChecksBeforeTheWorkAndHonestExitCodes) {
    const std::string dataRoot = (m_dir / "Data").string();
    const std::string sample = fs::path(s_summary->s_BigfilePath).parent_path().string();
    struct Case {
        const char* what;
        std::vector<std::string> extra;
        int exitCode;
        std::string inErr;
        const char* mustNotExist;
    };
    const std::vector<Case> cases = {
        {"critical list missing",
         {"--critical-list", "nowhere.txt"},
         2,
         "--critical-list nowhere.txt: no such file",
         "Data/DLC"},
        {"gm bigfile missing",
         {"--gm-bigfile", "nowhere.big"},
         2,
         "--gm-bigfile nowhere.big: no such file",
         "Data/DLC"},
        {"refs cache is a folder", {"--refs-cache", sample}, 2, ": not a regular file", "Data/DLC"},
        {"ai library missing",
         {"--ai-library", "./nowhere.so"},
         2,
         "--ai-library ./nowhere.so: no such file",
         "Data/DLC"},
        {"dir count base 0", {"--dir-count-base", "0"}, 2, "must be from 1 to 65532", "Data/DLC"},
        {"unknown world",
         {"--world", "Nowhere.wor"},
         2,
         "--world Nowhere: no world file of that name",
         "work"},
        {"a foreign refs cache",
         {"--refs-cache", s_summary->s_CriticalListPath},
         0,
         "does not belong to this bigfile",
         "Data/DLC/Marlin/.Marlin.partial"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(m_dir / "Data" / "DLC");
        fs::remove_all(m_dir / "work");
        std::vector<std::string> args = SplitArgs(dataRoot);
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        const PLT::ProcessResult result = RunOrvex(args);
        EXPECT_EQ(result.exitCode, c.exitCode) << result.out << result.err;
        EXPECT_TRUE(Contains(result.err, c.inErr)) << result.err;
        EXPECT_FALSE(fs::exists(m_dir / c.mustNotExist)) << c.mustNotExist;
    }
}

// Run from the test's folder with relative paths: every message and the
// summary name them as typed, although the plug-in sees them from the work
// folder; an AI library that exists but does not load fails the run (4),
// named with the loader's reason.
TEST_F(SplitRun, PathsAsTypedAndAnAILibraryThatDoesNotLoad) {
    std::ofstream(m_dir / "fake.so") << "not a library";
    std::vector<std::string> argv = {
        "env",         "-C",   m_dir.string(), ORVEX_EXE, "split",        s_summary->s_BigfilePath,
        "--data-root", "Data", "--work-dir",   "work/",   "--ai-library", "./fake.so",
        "--world",     "all"};
    PLT::ProcessResult result;
    ASSERT_TRUE(PLT::RunProcess(argv, test_support::kOrvexEnvironment, &result));
    EXPECT_EQ(result.exitCode, 4) << result.out << result.err;
    for (const char* line :
         {"Cannot load ./fake.so: ./fake.so: ", "sound packages are not in Data/sound_bin_pc"})
        EXPECT_TRUE(Contains(result.err, line)) << line << "\n" << result.err;
    EXPECT_FALSE(Contains(result.err, "../")) << result.err;
    for (const char* line :
         {"outputs under Data/DLC:\n", "(work/final_missing.files.csv)\n", "reports in work:",
          "problems:\n  aiobjects: OVI_AILoadHelper::LoadAIObjects Cannot load ./fake.so: "})
        EXPECT_TRUE(Contains(result.out, line)) << line << "\n" << result.out;
}

TEST_F(SplitRun, WorldsByFileNameOrAllAndNoStaleGzipAfterARunWithoutCompress) {
    const std::string dataRoot = (m_dir / "Data").string();
    std::vector<std::string> args = {"split",      s_summary->s_BigfilePath,  "--data-root", dataRoot,
                                     "--work-dir", (m_dir / "work").string(), "--world",     "all",
                                     "--compress"};
    PLT::ProcessResult result = RunOrvex(args);
    ASSERT_EQ(result.exitCode, 0) << result.out << result.err;
    for (const HOST::GenWorld& w : s_summary->worlds)
        EXPECT_TRUE(fs::exists(OutputPath(dataRoot, w.s_Name) + ".gz")) << w.s_Name;

    // Again without --compress, naming one world by its file's name.
    const HOST::GenWorld& first = s_summary->worlds.front();
    args = SplitArgs(dataRoot);
    args.resize(6);
    args.insert(args.end(), {"--world", first.s_Name + ".wor"});
    result = RunOrvex(args);
    ASSERT_EQ(result.exitCode, 0) << result.out << result.err;
    EXPECT_TRUE(fs::exists(OutputPath(dataRoot, first.s_Name)));
    EXPECT_FALSE(fs::exists(OutputPath(dataRoot, first.s_Name) + ".gz")) << "an older copy no longer matches";
    EXPECT_FALSE(fs::exists(OutputPath(dataRoot, "Marlin") + ".gz"));
    EXPECT_FALSE(Contains(result.out, ".big.gz")) << result.out;
}

TEST_F(SplitRun, ASecondSplitOfOneDataRootWaitsOrFailsAtOnceWithNoWait) {
    const std::string dataRoot = (m_dir / "Data").string();
    fs::create_directories(m_dir / "Data" / "DLC");
    PLT::FolderLock held;
    ASSERT_EQ(held.eLock((m_dir / "Data" / "DLC").string(), false), PLT::FolderLock::Result::eLocked);
    std::vector<std::string> args = SplitArgs(dataRoot);
    args.push_back("--no-wait");
    const PLT::ProcessResult result = RunOrvex(args);
    EXPECT_EQ(result.exitCode, 4) << result.out << result.err;
    EXPECT_TRUE(Contains(result.err, "another split is writing into " + dataRoot + "/DLC")) << result.err;
    EXPECT_FALSE(fs::exists(OutputPath(dataRoot, "Marlin")));
    held.Unlock();
    EXPECT_EQ(RunOrvex(args).exitCode, 0);
}

// A split indexes the bigfile's references to the end and leaves the IDX
// beside it; the next split, and orvex refs, trust that IDX as it stands.
TEST_F(SplitRun, ASplitLeavesAWholeIdxFileThatTheNextRunTrusts) {
    const fs::path source = fs::path(s_summary->s_BigfilePath).parent_path();
    const fs::path copy = m_dir / "sample";
    fs::copy(source, copy, fs::copy_options::recursive);
    for (const auto& entry : fs::directory_iterator(copy))
        if (entry.path().extension() == ".idx")
            fs::remove(entry.path());
    const std::string bigfile = (copy / fs::path(s_summary->s_BigfilePath).filename()).string();
    const std::string idx = BIG::ReferenceManager::IdxPathFor(bigfile);
    const std::string dataRoot = (m_dir / "Data").string();
    std::vector<std::string> args = SplitArgs(dataRoot);
    args[1] = bigfile;

    const PLT::ProcessResult first = RunOrvex(args);
    ASSERT_EQ(first.exitCode, 0) << first.out << first.err;
    ASSERT_TRUE(fs::exists(idx)) << first.err;
    EXPECT_FALSE(Contains(first.err, "Indexing")) << "no status line on a stream that is not a terminal";
    const auto written = fs::last_write_time(idx);

    const PLT::ProcessResult second = RunOrvex(args);
    ASSERT_EQ(second.exitCode, 0) << second.out << second.err;
    EXPECT_EQ(fs::last_write_time(idx), written) << "a trusted IDX is not written again";

    const PLT::ProcessResult refs = RunOrvex({"refs", bigfile});
    ASSERT_EQ(refs.exitCode, 0) << refs.err;
    EXPECT_TRUE(Contains(refs.out, "files read:       0 (the IDX file matched the bigfile)")) << refs.out;
}

// SIGINT at several moments of a run: each run either finished (0) or
// stopped (130, "interrupted"); every output under its final name verifies,
// and no work folder is left.
TEST_F(SplitRun, AnInterruptedSplitLeavesEveryOutputWholeAndNoWorkFolder) {
    const std::string dataRoot = (m_dir / "Data").string();
    int stopped = 0;
    for (const char* after : {"0.05", "0.2", "0.4", "0.8", "1.5"}) {
        SCOPED_TRACE(after);
        std::vector<std::string> argv = {"timeout", "--preserve-status", "-s", "INT", after, ORVEX_EXE};
        std::vector<std::string> args = SplitArgs(dataRoot);
        args.push_back("--compress");
        argv.insert(argv.end(), args.begin(), args.end());
        PLT::ProcessResult result;
        ASSERT_TRUE(PLT::RunProcess(argv, {"ORVEX_PLUGIN=" ORVEX_PLUGIN_SO, "MARLIN_DEBUG_OUTPUT"}, &result));
        ASSERT_TRUE(result.exitCode == 0 || result.exitCode == 130)
            << result.exitCode << result.out << result.err;
        if (result.exitCode == 130) {
            ++stopped;
            // A signal before the host has installed its handler (a slow start under
            // sanitizers) ends the process silently, before any work; one after the
            // run has released it ends a process whose summary is already out.
            const bool finished = Contains(result.out, "unplaced keys:");
            if (!result.out.empty() && !finished) {
                EXPECT_TRUE(Contains(result.err, "interrupted")) << result.out << result.err;
            }
        }
        std::error_code ec;
        for (const auto& entry : fs::recursive_directory_iterator(fs::path(dataRoot) / "DLC", ec)) {
            const std::string name = entry.path().filename().string();
            EXPECT_EQ(name.find(".partial"), std::string::npos) << entry.path();
            if (entry.path().extension() != ".big")
                continue;
            std::string error;
            std::unique_ptr<BIG_cl_Fat> fat = HOST::Tools::OpenBigfile(entry.path().string(), &error);
            ASSERT_NE(fat, nullptr) << error;
            EXPECT_EQ(HOST::Tools::Verify(*fat), std::vector<std::string>{}) << entry.path();
            fat->File().eClose();
        }
    }
    EXPECT_GT(stopped, 0) << "no moment fell inside a run";
}

}  // namespace
