// The split's JSON summary and HTML size report: the CSV and phase-line
// readers on their own, then a real `orvex split --report` of a generated
// 20-world sample whose JSON, CSVs, outputs and HTML must all tell the same
// figures, and the page as headless Chromium renders it.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "BIGfile/BIG_Fat.h"
#include "host/BigTools.h"
#include "host/Gen.h"
#include "host/SplitQuerySession.h"
#include "host/SplitReportHtml.h"
#include "host/SplitSummary.h"
#include "platform/File.h"
#include "platform/Process.h"
#include "tests/support/RunOrvex.h"
#include "plugin/OVI_ReportFormat.h"
#include "tests/support/TempFolder.h"

namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;

using test_support::Contains;

std::string Slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

using test_support::RunOrvex;

// ---- readers ---------------------------------------------------------------------

// The plug-in's error and critical lines, fed in pieces as standard error
// carries them, become the summary's problems as "TAG: MESSAGE"; other lines
// are not problems, and past the kept ones they are only counted.
TEST(SplitSummaryReaders, ErrorLinesOfThePlugInBecomeProblems) {
    HOST::ErrorLines errors;
    const std::string text =
        "[   error][big-file        ][Unable to Create]\n[ warning][sounds          ][not one]\n"
        "[ASSERT][EDITOR] #Assert: not one\n[critical][missing-file-ref][Error in your Code]\n";
    for (size_t at = 0; at < text.size(); at += 7)
        errors.Feed(std::string_view(text).substr(at, 7));
    EXPECT_EQ(errors.Kept(), (std::vector<std::string>{"big-file: Unable to Create",
                                                       "missing-file-ref: Error in your Code"}));
    // The debugger output's copy right after a line is not a second problem.
    for (size_t n = 0; n < HOST::ErrorLines::kMaxKept; ++n)
        errors.Feed("[   error][session         ][line " + std::to_string(n) +
                    "]\n\n[   error][session         ][line " + std::to_string(n) + "]\n");
    EXPECT_EQ(errors.Kept().size(), HOST::ErrorLines::kMaxKept);
    EXPECT_EQ(errors.Count(), HOST::ErrorLines::kMaxKept + 2);
}

TEST(SplitSummaryReaders, CsvRowsSplitOnCommasOutsideQuotes) {
    const struct {
        const char* row;
        std::vector<std::string> fields;
    } cases[] = {
        {"1,2,3", {"1", "2", "3"}},
        {"a,,b", {"a", "", "b"}},
        {"\"x,y\",z", {"x,y", "z"}},
        {"\"say \"\"hi\"\"\",1", {"say \"hi\"", "1"}},
        {"\"line\nbreak\",2", {"line\nbreak", "2"}},
        {"", {""}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(HOST::SplitCsvRow(c.row), c.fields) << c.row;
}

TEST(SplitSummaryReaders, ReportsReadWithCommasInUnquotedAndQuotedNames) {
    test_support::TempFolder folder;
    const fs::path final = folder.Path() / "final.csv";
    std::ofstream(final) << ORVEX::kFinalReportHeader << "305419896,0,0,Unknown,Unknown,0\n"
                         << "4096,7,4,wor,/levels/a,b.wor,2\n"
                         << "4097,8,4,wor,\"/levels/c,d.wor\",1\n";
    std::vector<HOST::UnplacedRow> unplaced;
    ASSERT_TRUE(HOST::bReadFinalReport(final.string(), &unplaced));
    ASSERT_EQ(unplaced.size(), 3u);
    EXPECT_EQ(unplaced[0].ul_Key, 305419896u);
    EXPECT_EQ(unplaced[0].s_Path, "Unknown");
    EXPECT_EQ(unplaced[1].s_Path, "/levels/a,b.wor");
    EXPECT_EQ(unplaced[1].ul_Count, 2u);
    EXPECT_EQ(unplaced[2].s_Path, "/levels/c,d.wor");

    const fs::path critical = folder.Path() / "critical.csv";
    std::ofstream(critical) << ORVEX::kCriticalReportHeader << "0x12345678,FIXIT,0,0x00000010,a,b.msh,3\n"
                            << "0x00000020,x.txd,4,0x00000030,\"y,z.gao\",5\n";
    std::vector<HOST::MissingRefRow> missing;
    ASSERT_TRUE(HOST::bReadCriticalReport(critical.string(), &missing));
    ASSERT_EQ(missing.size(), 2u);
    EXPECT_EQ(missing[0].s_MissingKey, "0x12345678");
    EXPECT_EQ(missing[0].s_MissingName, "FIXIT");
    EXPECT_EQ(missing[0].s_ParentKey, "0x00000010");
    EXPECT_EQ(missing[0].s_ParentName, "a,b.msh");
    EXPECT_EQ(missing[1].s_ParentName, "y,z.gao");

    std::ofstream(final, std::ios::app) << "not,a,row\n";
    EXPECT_FALSE(HOST::bReadFinalReport(final.string(), &unplaced));
    EXPECT_FALSE(HOST::bReadFinalReport((folder.Path() / "none.csv").string(), &unplaced));
}

TEST(SplitSummaryReaders, PhaseLinesAreTakenWhateverTheyAreCutInto) {
    const std::string text =
        "\n[    info][version         ][Orvex Big: 135 Lib Big: 135]"
        "\n[    info][phase           ][scan 1.500000 s]\n[    info][phase           ][closures 0.250000 s]"
        "\n[ warning][phase           ][writing 9 s]\n[    info][phase           ][compression 2.000000 s]";
    for (size_t piece : {size_t{1}, size_t{7}, text.size()}) {
        HOST::PhaseLines lines;
        for (size_t at = 0; at < text.size(); at += piece)
            lines.Feed(std::string_view(text).substr(at, piece));
        EXPECT_EQ(lines.Phases(),
                  (std::map<std::string, double>{{"scan", 1.5}, {"closures", 0.25}, {"compression", 2.0}}))
            << piece;
    }
}

TEST(SplitSummaryReaders, HtmlEscapeLeavesNoMarkupOrControlCharacter) {
    EXPECT_EQ(HOST::HtmlEscape("<a href=\"x\">&'\x01"), "&lt;a href=&quot;x&quot;&gt;&amp;&#39;&#xFFFD;");
}

// The output facts read the contents' length words many at a time: each size
// must be the one the table gives file by file, across gaps wider than one
// read runs through, reads longer than the largest one, segment ends, and
// files without content or with an empty one.
TEST(SplitSummaryReaders, OutputSizesAreThoseTheTableGivesFileByFile) {
    test_support::TempFolder tmp;
    const std::string root = tmp.File("Data");
    const std::string path = root + "/DLC/out/out.big";
    ASSERT_TRUE(PLT::MakeDirectories(root + "/DLC/out"));
    {
        BIG_cl_Fat fat;
        fat.File().EnablePrivateOutput();
        ASSERT_EQ(fat.File().eCreate(path, false, 256 * 1024, true), BIG::eFile_Ok);
        ASSERT_TRUE(fat.Create(2000, 4, 0, 1));
        for (uint32_t i = 0; i < 1800; ++i) {
            const uint32_t index = fat.ul_CreateFile(("f" + std::to_string(i) + ".ini").c_str(), 0, 0,
                                                     0x5000 + (i * 7919) % 1800);
            ASSERT_NE(index, BIG_cl_Fat::kNoFile);
            if (i % 97 == 5)
                continue;  // no content
            // Mostly small, now and then wider than a read's gap.
            const size_t size = i % 50 == 7 ? 40000 + i : i % 13 == 0 ? 0 : 1 + (i * 37) % 1500;
            const std::string content(size, static_cast<char>('a' + i % 26));
            ASSERT_TRUE(fat.eSaveFile(index, content.data(), static_cast<uint32_t>(content.size())).bOk());
        }
        ASSERT_GT(fat.File().uw_GetSegmentCount(), 2u);
        ASSERT_EQ(fat.File().eFlush(), BIG::eFile_Ok);
        ASSERT_EQ(fat.File().eClose(), BIG::eFile_Ok);
    }
    const HOST::SplitOutputFacts facts = HOST::ReadOutputFacts(root, "shown", "out", "world");
    ASSERT_TRUE(facts.b_Written);
    ASSERT_EQ(facts.ul_Files, 1800u);

    std::string error;
    std::unique_ptr<BIG_cl_Fat> fat = HOST::Tools::OpenBigfile(path, &error);
    ASSERT_TRUE(fat) << error;
    std::map<uint32_t, uint64_t> expected;
    uint64_t total = 0;
    for (uint32_t i = 0; i < fat->ul_GetFileCount(); ++i) {
        if (fat->FileEntry(i).ul_Key == 0)
            continue;
        const uint32_t size = fat->bIsFilePositionValid(i) ? fat->ul_GetFileSize(i) : 0;
        expected[fat->FileEntry(i).ul_Key] = size;
        total += size;
    }
    fat->File().eClose();
    std::map<uint32_t, uint64_t> got;
    for (const HOST::SplitFileFacts& file : facts.files)
        got[file.ul_Key] = file.ull_Size;
    EXPECT_EQ(got, expected);
    EXPECT_EQ(facts.ull_ContentBytes, total);
    EXPECT_GT(total, 1024u * 1024u);
}

// ---- a real split --------------------------------------------------------------------

class SplitReports : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_root = new fs::path(fs::temp_directory_path() /
                              ("orvex_split_reports_" + std::to_string(PLT::CurrentProcessId())));
        fs::remove_all(*s_root);
        HOST::GenOptions options;
        options.s_OutDir = (*s_root / "sample").string();
        options.ul_Worlds = 20;
        options.ul_Files = 1500;
        options.d_SizeScale = 0.2;
        options.ull_Seed = 5;
        options.b_GmBigfile = true;
        options.b_CriticalList = true;
        s_summary = new HOST::GenSummary;
        std::string error;
        if (!HOST::bGenerate(options, s_summary, &error)) {
            ADD_FAILURE() << error;
            return;
        }
        s_dataRoot = new std::string((*s_root / "Data").string());
        s_work = new fs::path(*s_root / "work");
        fs::create_directories(*s_dataRoot);
        std::vector<std::string> args = {"split",           s_summary->s_BigfilePath,
                                         "--data-root",     *s_dataRoot,
                                         "--work-dir",      s_work->string(),
                                         "--report",        "--compress",
                                         "--gm-bigfile",    s_summary->s_GmBigfilePath,
                                         "--critical-list", s_summary->s_CriticalListPath,
                                         "--summary-json",  (*s_root / "summary.json").string()};
        for (const HOST::GenWorld& w : s_summary->worlds) {
            args.push_back("--world");
            args.push_back(w.s_Name);
        }
        s_result = new PLT::ProcessResult(RunOrvex(args));
        s_ran = s_result->exitCode == 0;
        if (!s_ran)
            ADD_FAILURE() << s_result->out << s_result->err;
    }
    static void TearDownTestSuite() {
        std::error_code ec;
        fs::remove_all(*s_root, ec);
        delete s_root;
        delete s_summary;
        delete s_dataRoot;
        delete s_work;
        delete s_result;
    }
    void SetUp() override { ASSERT_TRUE(s_ran); }

    static Json Summary(const fs::path& path) { return Json::parse(Slurp(path)); }

    static fs::path* s_root;
    static HOST::GenSummary* s_summary;
    static std::string* s_dataRoot;
    static fs::path* s_work;
    static PLT::ProcessResult* s_result;
    static bool s_ran;
};

fs::path* SplitReports::s_root = nullptr;
HOST::GenSummary* SplitReports::s_summary = nullptr;
std::string* SplitReports::s_dataRoot = nullptr;
fs::path* SplitReports::s_work = nullptr;
PLT::ProcessResult* SplitReports::s_result = nullptr;
bool SplitReports::s_ran = false;

TEST_F(SplitReports, TheJsonSummaryTellsWhatTheOutputsAndReportsHold) {
    const Json summary = Summary(*s_root / "summary.json");
    EXPECT_EQ(summary, Summary(*s_work / HOST::kSplitSummaryName));
    EXPECT_EQ(summary["orvex_split_summary"], HOST::kSplitSummarySchema);
    EXPECT_EQ(summary["status"], 0);
    EXPECT_EQ(summary["exit_code"], 0);
    EXPECT_EQ(summary["problems"], Json::array());
    EXPECT_EQ(summary["work_dir"], fs::canonical(*s_work).string());

    const Json& outputs = summary["outputs"];
    // Worlds in ascending key order, as the splitter writes them.
    std::vector<HOST::GenWorld> worlds = s_summary->worlds;
    std::sort(worlds.begin(), worlds.end(),
              [](const HOST::GenWorld& a, const HOST::GenWorld& b) { return a.ul_Key < b.ul_Key; });
    ASSERT_EQ(outputs.size(), worlds.size() + 1);
    EXPECT_EQ(outputs[0]["name"], "Marlin");
    EXPECT_EQ(outputs[0]["kind"], "common");
    EXPECT_TRUE(outputs[0]["world_key"].is_null());
    for (size_t i = 0; i < outputs.size(); ++i) {
        const Json& o = outputs[i];
        const std::string name = o["name"];
        SCOPED_TRACE(name);
        if (i > 0) {
            EXPECT_EQ(name, worlds[i - 1].s_Name);
            EXPECT_EQ(o["kind"], "world");
            EXPECT_EQ(o["world_key"], HOST::KeyText(worlds[i - 1].ul_Key));
        }
        const std::string path = *s_dataRoot + "/DLC/" + name + "/" + name + ".big";
        EXPECT_EQ(o["path"], path);
        std::string error;
        std::unique_ptr<BIG_cl_Fat> fat = HOST::Tools::OpenBigfile(path, &error);
        ASSERT_NE(fat, nullptr) << error;
        EXPECT_EQ(o["files"], fat->ul_CountUsedFiles());
        uint64_t contents = 0;
        for (uint32_t f = 0; f < fat->ul_GetFileCount(); ++f)
            if (fat->FileEntry(f).ul_Key != 0 && fat->bIsFilePositionValid(f))
                contents += fat->ul_GetFileSize(f);
        fat->File().eClose();
        EXPECT_EQ(o["content_bytes"], contents);
        EXPECT_EQ(o["bytes"], fs::file_size(path));
        EXPECT_EQ(o["gz_bytes"], fs::file_size(path + ".gz"));
        EXPECT_EQ(o["segments"], 1);
    }

    std::vector<HOST::UnplacedRow> unplaced;
    ASSERT_TRUE(HOST::bReadFinalReport((*s_work / ORVEX::kFinalReportName).string(), &unplaced));
    EXPECT_EQ(summary["unplaced_keys"], unplaced.size());
    std::vector<HOST::MissingRefRow> missing;
    ASSERT_TRUE(HOST::bReadCriticalReport((*s_work / ORVEX::kCriticalReportName).string(), &missing));
    EXPECT_EQ(summary["missing_references"], missing.size());
    EXPECT_EQ(missing.size(), s_summary->ul_MissingRefs);

    for (const char* phase : {"scan", "closures", "writing", "compression", "run"}) {
        ASSERT_TRUE(summary["phases"][phase].is_number()) << phase;
        EXPECT_GE(summary["phases"][phase].get<double>(), 0.0) << phase;
    }
    // Every report the folder holds is listed, and nothing else.
    std::set<std::string> listed(summary["reports"].begin(), summary["reports"].end());
    std::set<std::string> present;
    for (const auto& entry : fs::directory_iterator(*s_work))
        present.insert(entry.path().filename().string());
    EXPECT_EQ(listed, present);
}

TEST_F(SplitReports, EveryFigureOfThePageIsThatOfTheJsonTheCsvsAndTheClosures) {
    const std::string html = Slurp(*s_work / HOST::kSplitReportName);
    const Json summary = Summary(*s_work / HOST::kSplitSummaryName);
    EXPECT_FALSE(Contains(html, "<script")) << "the numbers must be readable without a script";
    EXPECT_FALSE(Contains(html, "http://") && Contains(html, "src=")) << "nothing may be fetched";
    EXPECT_FALSE(Contains(html, "class=\"problems\"")) << "a run without problems shows none";
    for (const Json& o : summary["outputs"]) {
        const std::string name = o["name"];
        // The outputs table: name, kind, key, files, bytes, contents, .gz bytes, path.
        const std::string row = "<tr><td>" + name + "</td><td>" + o["kind"].get<std::string>() + "</td><td>" +
                                (o["world_key"].is_null() ? "" : o["world_key"].get<std::string>()) +
                                "</td><td class=\"n\">" + std::to_string(o["files"].get<uint64_t>()) +
                                "</td><td class=\"n\">" + std::to_string(o["bytes"].get<uint64_t>()) +
                                "</td><td class=\"n\">" + std::to_string(o["content_bytes"].get<uint64_t>()) +
                                "</td><td class=\"n\">" + std::to_string(o["gz_bytes"].get<uint64_t>()) +
                                "</td>";
        EXPECT_TRUE(Contains(html, row)) << row;
        EXPECT_TRUE(Contains(html, "<title>" + name + ": own " +
                                       std::to_string(o["content_bytes"].get<uint64_t>()) + " bytes</title>"))
            << name;
    }
    std::vector<HOST::UnplacedRow> unplaced;
    ASSERT_TRUE(HOST::bReadFinalReport((*s_work / ORVEX::kFinalReportName).string(), &unplaced));
    for (const HOST::UnplacedRow& r : unplaced)
        EXPECT_TRUE(Contains(html, "<td>" + HOST::KeyText(r.ul_Key) + "</td>"));
    std::vector<HOST::MissingRefRow> missing;
    ASSERT_TRUE(HOST::bReadCriticalReport((*s_work / ORVEX::kCriticalReportName).string(), &missing));
    ASSERT_FALSE(missing.empty());
    for (const HOST::MissingRefRow& r : missing)
        EXPECT_TRUE(Contains(html, "<tr><td>" + r.s_MissingKey + "</td><td>" +
                                       HOST::HtmlEscape(r.s_MissingName) + "</td><td>" + r.s_ParentKey +
                                       "</td><td>" + HOST::HtmlEscape(r.s_ParentName) + "</td></tr>"))
            << r.s_MissingKey;

    // The sharing figures, from the splitter's closures counted here pair by
    // pair, and the contents each world needs from the common output as written.
    HOST::SplitSettings settings;
    settings.s_Bigfile = s_summary->s_BigfilePath;
    settings.s_GmBigfile = s_summary->s_GmBigfilePath;
    for (const HOST::GenWorld& w : s_summary->worlds)
        settings.worlds.push_back(w.s_Name);
    HOST::SplitQuerySession session;
    std::string error;
    bool usage = false;
    ASSERT_TRUE(session.bRun(settings, &error, &usage)) << error;
    ORVEX::OVI_SplitQuery& query = session.Query();
    std::map<uint32_t, uint64_t> common;
    {
        auto fat = HOST::Tools::OpenBigfile(*s_dataRoot + "/DLC/Marlin/Marlin.big", &error);
        ASSERT_NE(fat, nullptr) << error;
        for (uint32_t f = 0; f < fat->ul_GetFileCount(); ++f)
            if (fat->FileEntry(f).ul_Key != 0)
                common[fat->FileEntry(f).ul_Key] = fat->ul_GetFileSize(f);
        fat->File().eClose();
    }
    const auto& worlds = s_summary->worlds;
    for (size_t i = 0; i < worlds.size(); ++i) {
        uint64_t fromCommon = 0;
        for (uint32_t key : query.Closure(worlds[i].ul_Key))
            if (common.count(key) != 0)
                fromCommon += common[key];
        EXPECT_TRUE(Contains(html, "<title>" + worlds[i].s_Name + ": from common " +
                                       std::to_string(fromCommon) + " bytes</title>"))
            << worlds[i].s_Name;
        for (size_t j : {size_t{0}, worlds.size() / 2, worlds.size() - 1}) {
            uint64_t both = 0;
            for (uint32_t key : query.Closure(worlds[i].ul_Key))
                if (query.Closure(worlds[j].ul_Key).count(key) != 0)
                    both += query.Records().at(key).ul_Size;
            const std::string title = "<title>" + worlds[i].s_Name + " \xC3\x97 " + worlds[j].s_Name + ": " +
                                      std::to_string(both) + " bytes</title>";
            EXPECT_TRUE(Contains(html, title)) << title;
        }
    }
}

TEST_F(SplitReports, ProblemsOfTheRunComeFirstInRed) {
    HOST::SplitRunFacts facts;
    facts.s_Bigfile = "data.big";
    facts.l_Status = 4;
    facts.problems = {"output <Marlin> was not written"};
    const std::string html = HOST::SplitReportHtml(facts, HOST::SplitSharing{});
    const size_t problems = html.find("class=\"problems\"");
    ASSERT_NE(problems, std::string::npos);
    EXPECT_LT(problems, html.find("id=\"outputs\""));
    EXPECT_TRUE(Contains(html, "<li>output &lt;Marlin&gt; was not written</li>"));
    EXPECT_TRUE(Contains(html, ".problems{border:2px solid #c00"));
}

// The PNG's width and height from its header; false when it is no PNG.
bool bPngSize(const std::string& png, uint32_t* width, uint32_t* height) {
    if (png.size() < 24 || png.compare(0, 8, "\x89PNG\r\n\x1a\n") != 0 || png.compare(12, 4, "IHDR") != 0)
        return false;
    auto be32 = [&png](size_t at) {
        return (uint32_t{static_cast<uint8_t>(png[at])} << 24) |
               (uint32_t{static_cast<uint8_t>(png[at + 1])} << 16) |
               (uint32_t{static_cast<uint8_t>(png[at + 2])} << 8) |
               uint32_t{static_cast<uint8_t>(png[at + 3])};
    };
    *width = be32(16);
    *height = be32(20);
    return true;
}

TEST_F(SplitReports, HeadlessChromiumShowsEveryOutputAndItsBytes) {
    PLT::ProcessResult probe;
    if (!PLT::RunProcess({"chromium", "--version"}, {}, &probe) || probe.exitCode != 0)
        GTEST_SKIP() << "chromium is not installed (scripts/setup.sh installs it): the page is not rendered";
    test_support::TempFolder folder;
    const auto render = [&](const std::string& page, const std::vector<std::string>& what) {
        std::vector<std::string> argv = {
            "chromium",
            "--headless",
            "--no-sandbox",
            "--disable-gpu",
            "--disable-quic",
            "--no-first-run",
            "--disable-background-networking",
            "--disable-component-update",
            "--disable-sync",
            "--user-data-dir=" + (folder.Path() / ("profile" + std::to_string(std::rand()))).string(),
            "--window-size=1200,1600"};
        argv.insert(argv.end(), what.begin(), what.end());
        argv.push_back("file://" + page);
        PLT::ProcessResult result;
        EXPECT_TRUE(PLT::RunProcess(argv, {"HOME=" + folder.Path().string()}, &result));
        return result;
    };
    const auto started = std::chrono::steady_clock::now();
    const std::string page = fs::canonical(*s_work / HOST::kSplitReportName).string();
    const PLT::ProcessResult dom = render(page, {"--dump-dom"});
    ASSERT_EQ(dom.exitCode, 0) << dom.err;
    const Json summary = Summary(*s_work / HOST::kSplitSummaryName);
    for (const Json& o : summary["outputs"]) {
        EXPECT_TRUE(Contains(dom.out, "<td>" + o["name"].get<std::string>() + "</td>")) << o["name"];
        EXPECT_TRUE(
            Contains(dom.out, "<td class=\"n\">" + std::to_string(o["bytes"].get<uint64_t>()) + "</td>"))
            << o["name"];
    }

    // Not blank: far more to draw than an empty page of the same size.
    const fs::path blankPage = folder.Path() / "blank.html";
    std::ofstream(blankPage) << "<!DOCTYPE html><html><body></body></html>\n";
    const fs::path shot = folder.Path() / "report.png";
    const fs::path blankShot = folder.Path() / "blank.png";
    ASSERT_EQ(render(page, {"--screenshot=" + shot.string()}).exitCode, 0);
    ASSERT_EQ(render(blankPage.string(), {"--screenshot=" + blankShot.string()}).exitCode, 0);
    const std::string png = Slurp(shot);
    uint32_t width = 0;
    uint32_t height = 0;
    ASSERT_TRUE(bPngSize(png, &width, &height));
    EXPECT_EQ(width, 1200u);
    EXPECT_EQ(height, 1600u);
    EXPECT_GT(png.size(), 5 * Slurp(blankShot).size());
    std::printf("chromium: rendered, dumped and shot the report in %.1f s\n",
                std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
}

}  // namespace
