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
