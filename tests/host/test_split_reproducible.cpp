// Reproducible splits and packs as a user runs them: two runs of the same
// command on the same input, in other folders and processes, write the same
// bytes into every output, gzip copy, report, log, refs.bin and link map; the
// summary differs only in what describes the run (its phase times and the
// paths it was given). Without --reproducible or SOURCE_DATE_EPOCH the set
// stamps are the counter's and the gzip copies carry no time.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "BIGfile/BIG_Endian.h"
#include "BIGfile/BIG_SegmentHeader.h"
#include "host/Gen.h"
#include "platform/File.h"
#include "platform/Process.h"
#include "tests/support/RunOrvex.h"

namespace {

namespace fs = std::filesystem;

using test_support::Contains;
using test_support::kOrvexEnvironment;
using test_support::RunOrvex;

constexpr const char* kSummaryName = "split-summary.json";
constexpr const char* kPageName = "split-report.html";

std::string ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Every file below `root` by its relative path.
std::map<std::string, std::string> FilesBelow(const fs::path& root) {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(root))
        if (entry.is_regular_file())
            files[fs::relative(entry.path(), root).string()] = ReadAll(entry.path());
    return files;
}

// The environment of a run: the test build's, SOURCE_DATE_EPOCH as given
// (unset when empty, whatever the caller's environment holds).
std::vector<std::string> Environment(const std::string& epoch) {
    std::vector<std::string> env = kOrvexEnvironment;
    env.push_back(epoch.empty() ? "SOURCE_DATE_EPOCH" : "SOURCE_DATE_EPOCH=" + epoch);
    return env;
}

// The summary without what describes the run rather than its outputs.
nlohmann::json OutcomeOf(const std::string& summary) {
    nlohmann::json j = nlohmann::json::parse(summary);
    j.erase("phases");
    j.erase("work_dir");
    for (auto& output : j["outputs"])
        output.erase("path");
    return j;
}

class SplitReproducible : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_root = new fs::path(fs::temp_directory_path() /
                              ("orvex_reproducible_" + std::to_string(PLT::CurrentProcessId())));
        fs::remove_all(*s_root);
        HOST::GenOptions options;
        options.s_OutDir = (*s_root / "sample").string();
        options.ul_Worlds = 3;
        options.ul_Files = 500;
        options.ull_Seed = 5;
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
        m_dir = *s_root / ::testing::UnitTest::GetInstance()->current_test_info()->name();
    }

    // One split into `run`/Data with its work folder `run`/work.
    PLT::ProcessResult Split(const std::string& run, const std::vector<std::string>& extra,
                             const std::string& epoch) const {
        fs::create_directories(m_dir / run / "Data");
        std::vector<std::string> args = {"split",
                                         s_summary->s_BigfilePath,
                                         "--data-root",
                                         (m_dir / run / "Data").string(),
                                         "--work-dir",
                                         (m_dir / run / "work").string(),
                                         "--compress",
                                         "--report",
                                         "--write-refs-cache",
                                         "--linker"};
        for (const HOST::GenWorld& w : s_summary->worlds)
            args.insert(args.end(), {"--world", w.s_Name});
        args.insert(args.end(), extra.begin(), extra.end());
        return RunOrvex(args, Environment(epoch));
    }

    std::vector<std::string> OutputNames() const {
        std::vector<std::string> names = {"Marlin"};
        for (const HOST::GenWorld& w : s_summary->worlds)
            names.push_back(w.s_Name);
        return names;
    }
    std::string GzipOf(const std::string& run, const std::string& name) const {
        return ReadAll(m_dir / run / "Data" / "DLC" / name / (name + ".big.gz"));
    }

    static fs::path* s_root;
    static HOST::GenSummary* s_summary;
    static bool s_generated;
    fs::path m_dir;
};

fs::path* SplitReproducible::s_root = nullptr;
HOST::GenSummary* SplitReproducible::s_summary = nullptr;
bool SplitReproducible::s_generated = false;

TEST_F(SplitReproducible, TwoRunsWriteTheSameBytesIntoEveryOutputAndReport) {
    uint64_t modifiedNs = 0, changedNs = 0;
    ASSERT_TRUE(PLT::GetPathTimes(s_summary->s_BigfilePath, &modifiedNs, &changedNs));
    const struct {
        const char* what;
        std::vector<std::string> extra;
        std::string epoch;
        uint32_t gzipTime;
    } cases[] = {
        {"--reproducible", {"--reproducible"}, "", static_cast<uint32_t>(modifiedNs / 1000000000u)},
        {"SOURCE_DATE_EPOCH", {}, "1700000000", 1700000000u},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string a = std::string(c.what) + "-a";
        const std::string b = std::string(c.what) + "-b";
        for (const std::string& run : {a, b}) {
            const PLT::ProcessResult result = Split(run, c.extra, c.epoch);
            ASSERT_EQ(result.exitCode, 0) << result.out << result.err;
        }
        const auto dataA = FilesBelow(m_dir / a / "Data");
        const auto dataB = FilesBelow(m_dir / b / "Data");
        ASSERT_EQ(dataA.size(), dataB.size());
        for (const auto& [path, bytes] : dataA) {
            ASSERT_EQ(dataB.count(path), 1u) << path;
            EXPECT_TRUE(bytes == dataB.at(path)) << path;
        }
        auto workA = FilesBelow(m_dir / a / "work");
        auto workB = FilesBelow(m_dir / b / "work");
        for (const char* report : {"refs.bin", "linker_pc.map", "Common.log", "final_missing.files.csv"})
            EXPECT_EQ(workA.count(report), 1u) << report;
        EXPECT_EQ(OutcomeOf(workA.at(kSummaryName)), OutcomeOf(workB.at(kSummaryName)));
        for (const char* described : {kSummaryName, kPageName}) {
            workA.erase(described);
            workB.erase(described);
        }
        ASSERT_EQ(workA.size(), workB.size());
        for (const auto& [path, bytes] : workA) {
            ASSERT_EQ(workB.count(path), 1u) << path;
            EXPECT_TRUE(bytes == workB.at(path)) << path;
        }
        for (const std::string& name : OutputNames()) {
            const std::string gz = GzipOf(a, name);
            ASSERT_GE(gz.size(), 8u) << name;
            EXPECT_EQ(BIG::Endian::Get32(reinterpret_cast<const uint8_t*>(gz.data()) + 4), c.gzipTime)
                << name;
        }
    }
}

TEST_F(SplitReproducible, WithoutItTheStampsAreTheCountersAndTheGzipCopiesHaveNoTime) {
    for (const char* run : {"a", "b"}) {
        const PLT::ProcessResult result = Split(run, {}, "");
        ASSERT_EQ(result.exitCode, 0) << result.out << result.err;
    }
    for (const std::string& name : OutputNames()) {
        SCOPED_TRACE(name);
        const std::string relative = "Data/DLC/" + name + "/" + name + ".big";
        const std::string bigA = ReadAll(m_dir / "a" / relative);
        std::string bigB = ReadAll(m_dir / "b" / relative);
        ASSERT_GE(bigA.size(), BIG_st_SegmentHeader::kEncodedSize);
        ASSERT_EQ(bigA.size(), bigB.size());
        const size_t at = BIG_st_SegmentHeader::kOffSetStamp;
        EXPECT_NE(bigA.substr(at, 8), bigB.substr(at, 8));
        bigB.replace(at, 8, bigA.substr(at, 8));
        EXPECT_TRUE(bigA == bigB) << "only the set stamp may differ";
        const std::string gz = GzipOf("a", name);
        ASSERT_GE(gz.size(), 8u);
        EXPECT_EQ(BIG::Endian::Get32(reinterpret_cast<const uint8_t*>(gz.data()) + 4), 0u);
    }
}

// A SOURCE_DATE_EPOCH that is not a time is refused before any work, by
// split and by pack alike; a reproducible pack on the command line writes the
// same bytes twice.
TEST_F(SplitReproducible, AMalformedSourceDateEpochIsAUsageErrorAndPackTakesTheOption) {
    for (const char* epoch : {"yesterday", "-1", "4294967296"}) {
        SCOPED_TRACE(epoch);
        const PLT::ProcessResult split = Split("bad", {"--reproducible"}, epoch);
        EXPECT_EQ(split.exitCode, 2) << split.out << split.err;
        EXPECT_TRUE(Contains(split.err, std::string("SOURCE_DATE_EPOCH=") + epoch +
                                            " is not a time in seconds from 0 to 4294967295"))
            << split.err;
        EXPECT_FALSE(fs::exists(m_dir / "bad" / "Data" / "DLC"));
        EXPECT_FALSE(fs::exists(m_dir / "bad" / "work"));
    }

    const std::string folder = (m_dir / "extracted").string();
    const PLT::ProcessResult extract =
        RunOrvex({"extract", s_summary->s_BigfilePath, folder, "--no-sync"}, Environment(""));
    ASSERT_EQ(extract.exitCode, 0) << extract.err;
    const PLT::ProcessResult bad =
        RunOrvex({"pack", folder, (m_dir / "bad.big").string()}, Environment("yesterday"));
    EXPECT_EQ(bad.exitCode, 2) << bad.out << bad.err;
    EXPECT_TRUE(Contains(bad.err, "SOURCE_DATE_EPOCH=yesterday is not a time")) << bad.err;
    EXPECT_FALSE(fs::exists(m_dir / "bad.big"));
    for (const char* name : {"one.big", "two.big"}) {
        const PLT::ProcessResult pack =
            RunOrvex({"pack", folder, (m_dir / name).string(), "--reproducible"}, Environment(""));
        ASSERT_EQ(pack.exitCode, 0) << pack.out << pack.err;
    }
    EXPECT_TRUE(ReadAll(m_dir / "one.big") == ReadAll(m_dir / "two.big"));
}

}  // namespace
