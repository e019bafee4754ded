#include <gtest/gtest.h>

#include <string>

#include "ERRor/ERR_Assert.h"
#include "ERRor/ERR_Log.h"
#include "ERRor/ERR_MessageBox.h"
#include "host/Startup.h"

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
