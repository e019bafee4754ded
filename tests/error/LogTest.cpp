#include <gtest/gtest.h>

#include <string>

#include "ErrTestSupport.h"

namespace {

TEST(LogNames, LevelsAndCategories) {
    const struct {
        uint32_t level;
        const char* name;
    } levels[] = {{0, "DEBUG"},     {1, "INFO"},   {2, "WARNING"},   {3, "ERROR"},
                  {4, "!INVALID!"}, {5, "ASSERT"}, {6, "!INVALID!"}, {0xFFFFFFFF, "!INVALID!"}};
    for (const auto& c : levels)
        EXPECT_STREQ(ERR_sz_LevelName(c.level), c.name) << c.level;

    EXPECT_STREQ(ERR_sz_CategoryName(ERR_Cat_Editor), "EDITOR");
    EXPECT_STREQ(ERR_sz_CategoryName(ERR_Cat_Others), "OTHERS");
    EXPECT_STREQ(ERR_sz_CategoryName(15), "OTHERS");
    EXPECT_STREQ(ERR_sz_CategoryName(0xFFFFFFFF), "OTHERS");
    for (uint32_t c = 0; c < ERR_Cat_Count; ++c) {
        std::string name = ERR_sz_CategoryName(c);
        ASSERT_FALSE(name.empty());
        for (char ch : name)
            EXPECT_FALSE(ch >= 'a' && ch <= 'z') << name;
        for (uint32_t d = 0; d < c; ++d)
            EXPECT_NE(name, ERR_sz_CategoryName(d)) << "two categories share a name";
    }
}

TEST(LogLine, FormatCutsTextAndPrefix) {
    EXPECT_EQ(ERR_FormatLogLine("INFO", "LOADER", "hello"), "[INFO] [LOADER] hello");

    std::string longText(600, 'x');
    std::string line = ERR_FormatLogLine("ERROR", "BIGFILE", longText.c_str());
    EXPECT_EQ(line, "[ERROR] [BIGFILE] " + std::string(511, 'x'));

    std::string longName(200, 'N');
    line = ERR_FormatLogLine(longName.c_str(), "X", "text");
    std::string prefix = "[" + longName + "] [X] ";
    EXPECT_EQ(line, prefix.substr(0, 127) + "text");
}

TEST(LogLine, ListenersGetCutTextButNotDebugLevel) {
    LogCapture capture;
    ERR_Log(ERR_Level_Debug, ERR_Cat_Loader, "not queued");
    std::string longText(700, 'y');
    ERR_Log(ERR_Level_Warning, 99, longText.c_str());
    ERR_LogPrintf(ERR_Level_Error, ERR_Cat_Bigfile, "%s-%d", std::string(600, 'z').c_str(), 7);
    ERR_Log(ERR_Level_Info, ERR_Cat_Sound, nullptr);

    auto records = capture.Records();
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].level, ERR_Level_Warning);
    EXPECT_EQ(records[0].category, 99u);
    EXPECT_EQ(records[0].text, std::string(511, 'y'));
    EXPECT_EQ(records[1].text, std::string(511, 'z'));
    EXPECT_EQ(records[2].text, "");
}

TEST(LogLine, ListenersRunInOrderAndMayLogWithoutRecursing) {
    std::vector<std::string> seen;
    int first = ERR_AddLogListener([&](const ERR_st_LogRecord& r) {
        seen.push_back("1:" + r.text);
        ERR_Log(ERR_Level_Info, ERR_Cat_Others, "from listener");  // must neither deadlock nor recurse
    });
    int second = ERR_AddLogListener([&](const ERR_st_LogRecord& r) { seen.push_back("2:" + r.text); });
    ERR_Log(ERR_Level_Info, ERR_Cat_Others, "a");
    ERR_RemoveLogListener(first);
    ERR_Log(ERR_Level_Info, ERR_Cat_Others, "b");
    ERR_RemoveLogListener(second);
    ERR_Log(ERR_Level_Info, ERR_Cat_Others, "c");
    EXPECT_EQ(seen, (std::vector<std::string>{"1:a", "2:a", "2:b"}));
}

}  // namespace
