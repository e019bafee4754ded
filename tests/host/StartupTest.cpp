#include <gtest/gtest.h>

#include <string>

#include "ERRor/ERR_Assert.h"
#include "ERRor/ERR_Log.h"
#include "ERRor/ERR_MessageBox.h"
#include "ERRor/ERR_Host.h"
#include "host/Startup.h"
#include "platform/Process.h"

namespace {

TEST(Startup, TerminalIsTheMainWindowAndWarningsReachStandardError) {
    HOST::SetUpTerminal(false);
    EXPECT_TRUE(ERR_bHasMainWindow());
    EXPECT_FALSE(ERR_bIsInteractive());

    const struct {
        uint32_t level;
        bool shown;
    } cases[] = {
        {ERR_Level_Debug, false}, {ERR_Level_Info, false},   {ERR_Level_Warning, true},
        {ERR_Level_Error, true},  {ERR_Level_Invalid, true}, {ERR_Level_Assert, true},
    };
    for (const auto& c : cases) {
        const std::string text = "startup-check level " + std::to_string(c.level);
        testing::internal::CaptureStderr();
        ERR_Log(c.level, ERR_Cat_Others, text.c_str());
        const std::string err = testing::internal::GetCapturedStderr();
        const std::string line = std::string("[") + ERR_sz_LevelName(c.level) + "][" +
                                 ERR_sz_CategoryName(ERR_Cat_Others) + "] " + text;
        EXPECT_EQ(err.find(line) != std::string::npos, c.shown) << err;
    }
}

}  // namespace

namespace {

// A plug-in carries its own copy of the error reporting: it learns from the
// environment that the host's terminal is the main window.
TEST(Startup, TheChoiceReachesAPluginThroughTheEnvironment) {
    HOST::SetUpTerminal(false);
    EXPECT_EQ(PLT::GetEnvironmentVariable("MARLIN_HOST_TERMINAL"), "automatic");
    ERR_SetMainWindow(false);
    ERR_SetInteractive(true);
    EXPECT_TRUE(ERR_AttachFromEnvironment());
    EXPECT_TRUE(ERR_bHasMainWindow());
    EXPECT_FALSE(ERR_bIsInteractive());
    // Attaching twice never shows a line twice.
    testing::internal::CaptureStderr();
    ERR_Log(ERR_Level_Warning, ERR_Cat_Others, "once only");
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err.find("once only"), err.rfind("once only"));
    PLT::SetEnvironmentVariable("MARLIN_HOST_TERMINAL", "");
    EXPECT_FALSE(ERR_AttachFromEnvironment());
}

}  // namespace

namespace {

// One bad input can raise the same check for every entry: in the automatic
// mode each assertion text is shown once and its repeats counted at the end;
// the source file is named from the project's root, wherever it was built.
TEST(Startup, RepeatedAssertionsAreShownOnceAndCountedAtTheEnd) {
    HOST::SetUpTerminal(false);
    ERR_ShowRepeatedAssertions();  // earlier tests' counts
    testing::internal::CaptureStderr();
    for (int entry = 0; entry < 4; ++entry) {
        ERR_X_RaisePrintf("EditorAssert", "startup-check entry %d is bad", entry % 2);
        ERR_X_Raise("EditorAssert", "startup-check once");
    }
    const std::string during = testing::internal::GetCapturedStderr();
    testing::internal::CaptureStderr();
    ERR_ShowRepeatedAssertions();
    const std::string end = testing::internal::GetCapturedStderr();

    const struct {
        const char* text;
        size_t shown;
        const char* counted;  // the end line's count; null when none
    } cases[] = {
        {"startup-check entry 0 is bad", 1, " (repeated 1 times)"},
        {"startup-check entry 1 is bad", 1, " (repeated 1 times)"},
        {"startup-check once", 1, " (repeated 3 times)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        size_t shown = 0;
        for (size_t at = during.find(c.text); at != std::string::npos; at = during.find(c.text, at + 1))
            ++shown;
        EXPECT_EQ(shown, c.shown) << during;
        const size_t line = end.find(c.text);
        ASSERT_NE(line, std::string::npos) << end;
        EXPECT_NE(end.find(c.counted, line), std::string::npos) << end;
    }
    EXPECT_NE(during.find("In file 'tests/host/StartupTest.cpp', line "), std::string::npos) << during;
    // The counts start again.
    testing::internal::CaptureStderr();
    ERR_ShowRepeatedAssertions();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

}  // namespace
