#include <gtest/gtest.h>

#include <string>

#include "ERRor/ERR_Host.h"
#include "orvex/OVC_Interface.h"
#include "platform/Process.h"
#include "plugin/OVI_HostEnvironment.h"

namespace {

// The uncut line for a given level, tag and message.
std::string Line(const std::string& level, const std::string& tag, const std::string& message) {
    std::string levelField = level.size() < 8 ? std::string(8 - level.size(), ' ') + level : level;
    std::string tagField = tag.size() < 16 ? tag + std::string(16 - tag.size(), ' ') : tag;
    return "\n[" + levelField + "][" + tagField + "][" + message + "]";
}

TEST(OVC_OutputString, ExactLine) {
    testing::internal::CaptureStdout();
    OVC_OutputString("info", "version", "x=%d", 5);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "\n[    info][version         ][x=5]");
    EXPECT_EQ(out.size(), 34u);
}

TEST(OVC_OutputString, ConsecutiveLinesStackWithoutTrailingNewline) {
    testing::internal::CaptureStdout();
    OVC_OutputString("warning", "filenotfound", "%u : 0x%08x", 305419896u, 0x12345678u);
    OVC_OutputString("critical", "a-tag-longer-than-16", "done");
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, Line("warning", "filenotfound", "305419896 : 0x12345678") +
                       Line("critical", "a-tag-longer-than-16", "done"));
    EXPECT_NE(out.back(), '\n');
}

TEST(OVC_OutputString, PercentSignsArePrintedNotInterpreted) {
    struct Case {
        const char* tag;
        const char* text;
    };
    const Case cases[] = {
        {"100%", "50% done"},
        {"%s%n", "%d%n%s"},
        {"tag", "%%"},
    };
    for (const Case& c : cases) {
        testing::internal::CaptureStdout();
        OVC_OutputString("info", c.tag, "%s", c.text);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), Line("info", c.tag, c.text)) << c.text;
    }
    testing::internal::CaptureStdout();
    OVC_OutputString("info", "ratio", "%d%%", 50);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), Line("info", "ratio", "50%"));
}

TEST(OVC_OutputString, MessageCutAt2047) {
    const std::string message(3000, 'm');
    testing::internal::CaptureStdout();
    OVC_OutputString("info", "big-file", "%s", message.c_str());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), Line("info", "big-file", message.substr(0, 2047)));

    // Exactly 2047 characters pass whole.
    testing::internal::CaptureStdout();
    OVC_OutputString("info", "big-file", "%s", message.substr(0, 2047).c_str());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), Line("info", "big-file", message.substr(0, 2047)));
}

TEST(OVC_OutputString, LineCutAt4095) {
    const std::string tag(3000, 't');
    const std::string message(2000, 'm');
    testing::internal::CaptureStdout();
    OVC_OutputString("error", tag.c_str(), "%s", message.c_str());
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.size(), 4095u);
    EXPECT_EQ(out, Line("error", tag, message).substr(0, 4095));
}

TEST(OVC_OutputString, NullTextsPrintEmptyFields) {
    testing::internal::CaptureStdout();
    OVC_OutputString(nullptr, nullptr, nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), Line("", "", ""));
}

}  // namespace

namespace {

// The host rewrote these paths for its work folder: routed lines show them as
// the user typed them, wherever they stand as a whole path or begin one.
TEST(OVC_OutputString, RewrittenPathsAreShownAsGiven) {
    const std::string pairs = std::string("../Data") + ORVEX::kHostPathsSeparator + "Data" +
                              ORVEX::kHostPathsPairSeparator + "../fake.so" + ORVEX::kHostPathsSeparator +
                              "./fake.so" + ORVEX::kHostPathsPairSeparator + "." +
                              ORVEX::kHostPathsSeparator + "work";
    PLT::SetEnvironmentVariable(ORVEX::kHostPathsVariable, pairs);
    const struct {
        const char* text;
        const char* shown;
    } cases[] = {
        {"Cannot load ../fake.so: ../fake.so: file too short",
         "Cannot load ./fake.so: ./fake.so: file too short"},
        {"not in ../Data/sound_bin_pc (the first: ../Data/sound_bin_pc/a.pk)",
         "not in Data/sound_bin_pc (the first: Data/sound_bin_pc/a.pk)"},
        {"'../Data'", "'Data'"},
        {"../Database and x/../Data and ../Data2 stay", "../Database and x/../Data and ../Data2 stay"},
        {"no path here", "no path here"},
        {"a folder of its own: . and ./x stay.", "a folder of its own: . and ./x stay."},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ORVEX::OVI_PathsAsGiven(c.text), c.shown);
    // The engine's own reports too, once the plug-in's filter is in place.
    ERR_SetStderrFilter(&ORVEX::OVI_PathsAsGiven);
    testing::internal::CaptureStderr();
    ERR_ShowOnStderr(ERR_st_LogRecord{ERR_Level_Error, ERR_Cat_Bigfile, "Corrupt bigfile ../Data/x.big"});
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[ERROR][BIGFILE] Corrupt bigfile Data/x.big\n");
    ERR_SetStderrFilter(nullptr);
    PLT::SetEnvironmentVariable(ORVEX::kHostPathsVariable, "");
    EXPECT_EQ(ORVEX::OVI_PathsAsGiven("../Data"), "../Data");
}

}  // namespace
