// The splitter's reports: file names, the type-name table, the critical and
// final reports and the link-file line.
#include <gtest/gtest.h>

#include "plugin/OVI_ReportFormat.h"
#include "plugin/OVI_ReportProgress.h"
#include "test_writer_support.h"

namespace {

using namespace writer_test;

std::string ReadText(const std::string& path) {
    const auto bytes = ovibig_test::ReadAll(path);
    return std::string(bytes.begin(), bytes.end());
}

std::string Captured() {
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

TEST(ReportNames, WorldLogNamePadsWithBlanksInLowerCase) {
    const struct {
        uint32_t key;
        const char* name;
    } cases[] = {
        {0x0000ABCD, "0x    abcd.log"},
        {0xDEADBEEF, "0xdeadbeef.log"},
        {0x00000000, "0x       0.log"},
        {0x10000000, "0x10000000.log"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ORVEX::OVI_WorldLogName(c.key), c.name);
}

TEST(ReportNames, TypeNamesFollowTheReportTableThenTheExtensionsThenUnknown) {
    const struct {
        uint32_t type;
        const char* name;
    } cases[] = {
        {0, ""},      {2, "uwl"},   {3, "dup"},       {4, "wor"},       {33, "txs"},
        {53, "wav"},  {98, "maf"},  {126, "txd"},     {137, "ann"},     {138, "rsf"},
        {139, "led"}, {146, "syd"}, {147, "Unknown"}, {255, "Unknown"}, {0xFFFFFFFF, "Unknown"},
    };
    for (const auto& c : cases)
        EXPECT_STREQ(ORVEX::OVI_psz_TypeName(c.type), c.name) << c.type;
}

TEST(ReportFormat, LongTextsAreAppendedWhole) {
    std::string out = "x";
    const std::string name(700, 'n');
    ORVEX::OVI_AppendF(&out, ORVEX::kWorldLogLine, 1u, 2u, 3, 4u, name.c_str(), 5u);
    // Five 12-column numbers, the ten-character key, five separators, the name whole.
    EXPECT_EQ(out.size(), 1 + 4 * 12 + 10 + 5 * 2 + 700 + 1u) << out;
    EXPECT_EQ(out.substr(out.size() - 15), ", " + std::string(11, ' ') + "5\n");
}

TEST(ReportFormat, CsvFieldsAreQuotedOnlyWhenTheyMustBe) {
    const std::pair<const char*, const char*> cases[] = {
        {"/levels/Town.wor", "/levels/Town.wor"},
        {"", ""},
        {"a,b", "\"a,b\""},
        {"say \"hi\"", "\"say \"\"hi\"\"\""},
        {"two\nlines", "\"two\nlines\""},
        {"cr\rhere", "\"cr\rhere\""},
        {"semi;colon 'quote'", "semi;colon 'quote'"},
    };
    for (const auto& [text, expected] : cases)
        EXPECT_EQ(ORVEX::OVI_CsvField(text), expected) << text;
}

TEST(ReportProgress, TextShowsCountAndShare) {
    EXPECT_EQ(ORVEX::OVI_Progress::Text("writing Marlin.big", 50, 200), "writing Marlin.big: 50/200 (25%)");
    EXPECT_EQ(ORVEX::OVI_Progress::Text("mapping", 7, 0), "mapping: 7");
}

constexpr uint32_t kWorld = 0x10;  // /levels/Town.wor
constexpr uint32_t kMesh = 0x20;   // /levels/house.msh
constexpr uint32_t kLink = 0x30;   // /links/gate.msh: targets kMesh, kWorld, a missing key
constexpr uint32_t kGhost = 0x12345678;

class ReportTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::vector<SourceFile> files = {
            {"/levels", "Town.wor", kWorld, ovibig_test::Content({kMesh}, "world")},
            {"/levels", "house.msh", kMesh, ovibig_test::Content({}, "mesh-bytes")},
            {"/links", "gate.msh", kLink, "", 1000, true},
        };
        files[2].targets[0] = kMesh;
        files[2].targets[1] = kWorld;
        files[2].targets[2] = 0xDEAD;
        ASSERT_TRUE(MakeSource(temp.File("source.big"), files));
        ORVEX::OVI_bSetText(params.msz_BigfilePath, "source.big");
        ORVEX::OVI_bSetText(params.msz_DataRoot, "Data");
        ASSERT_TRUE(tool.bStart(params));
        for (uint32_t key : {kWorld, kMesh}) {
            ORVEX::FileRefRecord& r = tool.mmap_Records[key];
            r.ul_Key = key;
            r.ul_Index = tool.mpo_Fat->ul_GetFileIndex(key, false);
            r.ul_Type = tool.mpo_Fat->FileEntry(r.ul_Index).uc_Type;
            r.s_Name = tool.mpo_Fat->GetFileName(r.ul_Index);
            r.ul_UseCount = key == kWorld ? 1 : 2;
        }
    }
    void TearDown() override { tool.eDeinit(); }

    TempFolder temp;
    ScopedCurrentDirectory here{temp.Path().string()};
    ORVEX::OVI_SplitterParams params;
    TestSplitter tool;
};

TEST_F(ReportTest, FinalReportRowsForKnownAndUnknownKeysWithLinesOnlyWhenAsked) {
    tool.mmap_Unplaced = {{kMesh, 3}, {kGhost, 7}};
    for (bool report : {true, false}) {
        SCOPED_TRACE(report);
        testing::internal::CaptureStdout();
        EXPECT_EQ(tool._eWriteFinalReport(report), -1);
        const std::string lines = Captured();
        const uint32_t mesh = tool.mpo_Fat->ul_GetFileIndex(kMesh, false);
        const std::string meshRow = "32," + std::to_string(mesh) + ",27,msh,//levels/house.msh,3\n";
        EXPECT_EQ(ReadText(ORVEX::kFinalReportName),
                  std::string("Key,Index,FileType,FileTypeInString,FileName,RefCount\n") + meshRow +
                      "305419896,0,0,Unknown,Unknown,0\n");
        const bool critical =
            lines.find("[critical][missing-file-ref][Error in your Code, Fix it Tamsin!]") !=
            std::string::npos;
        const bool error = lines.find("[   error][missing-file    ][32: " + std::to_string(mesh) +
                                      ": 27: msh: //levels/house.msh: 3]") != std::string::npos;
        EXPECT_EQ(critical, report) << lines;
        EXPECT_EQ(error, report) << lines;
    }
}

TEST_F(ReportTest, FinalReportWithoutUnplacedKeysHasTheHeaderOnly) {
    EXPECT_EQ(tool._eWriteFinalReport(true), 0);
    EXPECT_EQ(ReadText(ORVEX::kFinalReportName), "Key,Index,FileType,FileTypeInString,FileName,RefCount\n");
}

TEST_F(ReportTest, CriticalReportListsUnseenMissingKeysWithFixitInArrivalOrder) {
    tool.mmap_MissingRefs.emplace(kGhost, kMesh);
    tool.mmap_MissingRefs.emplace(kWorld, kMesh);  // a key the mapping knows
    tool.mmap_MissingRefs.emplace(kGhost, kWorld);
    tool.mmap_MissingRefs.emplace(0x99, 0x77);  // neither side known

    ORVEX::CriticalList list;
    list.b_Loaded = true;
    list.l_Status = 0;
    list.m_Keys = {{kWorld, 0}, {kMesh, 1}, {0x4444, 0}};
    tool._WriteCriticalReport(list);

    const uint32_t world = tool.mpo_Fat->ul_GetFileIndex(kWorld, false);
    const uint32_t mesh = tool.mpo_Fat->ul_GetFileIndex(kMesh, false);
    // Listed, placed nowhere, known: kWorld only.
    EXPECT_EQ(ReadText(ORVEX::kCriticalListReportName), "0x00000010, 16, 4, 0x00000010, Town.wor, 1\n");
    const std::string m = std::to_string(mesh);
    const std::string w = std::to_string(world);
    EXPECT_EQ(ReadText(ORVEX::kCriticalReportName),
              "MissingFileKey,MissingFileName,MissingFileIndex,ParentFileKey,ParentFileName,ParentFileIndex\n"
              "0x00000010,Town.wor," +
                  w + ",0x00000020,house.msh," + m +
                  "\n"
                  "0x00000099,FIXIT,0,0x00000000,,0\n"
                  "0x12345678,FIXIT,0,0x00000020,house.msh," +
                  m +
                  "\n"
                  "0x12345678,FIXIT,0,0x00000010,Town.wor," +
                  w + "\n");
}

TEST_F(ReportTest, CriticalListThatWasNotLoadedLeavesAnEmptyReport) {
    ORVEX::CriticalList list;  // not loaded
    list.m_Keys = {{kWorld, 0}};
    tool._WriteCriticalReport(list);
    EXPECT_TRUE(fs::exists(ORVEX::kCriticalListReportName));
    EXPECT_EQ(ReadText(ORVEX::kCriticalListReportName), "");
    EXPECT_EQ(
        ReadText(ORVEX::kCriticalReportName),
        "MissingFileKey,MissingFileName,MissingFileIndex,ParentFileKey,ParentFileName,ParentFileIndex\n");
}

TEST_F(ReportTest, LinkFileLineShowsEachTargetKeyAndLoadedSize) {
    ORVEX::FileRefRecord link;
    link.ul_Key = kLink;
    link.ul_Index = tool.mpo_Fat->ul_GetFileIndex(kLink, false);
    link.s_Name = "gate.msh";
    testing::internal::CaptureStdout();
    tool._PrintLinkFile(link, link.ul_Index);
    const std::string lines = Captured();
    // The loaded buffer holds the stored length word and the content.
    const size_t meshSize = 4 + ovibig_test::Content({}, "mesh-bytes").size();
    const size_t worldSize = 4 + ovibig_test::Content({kMesh}, "world").size();
    const std::string expected = "[    info][link-file       ][Link File Info: gate.msh | (32)" +
                                 std::to_string(meshSize) + " (16)" + std::to_string(worldSize) +
                                 " (0)4294967295]";
    EXPECT_NE(lines.find(expected), std::string::npos) << lines;
}

}  // namespace
