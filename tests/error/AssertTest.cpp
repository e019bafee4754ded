#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "ERRor/ERR_AssertWindow.h"
#include "ErrTestSupport.h"
#include "platform/Terminal.h"

namespace {

class AssertTest : public ::testing::Test {
protected:
    void SetUp() override { ResetErrorState(); }
    void TearDown() override { ResetErrorState(); }

    // Interactive mode with a scripted user that always gives `answer`.
    void AnswerWith(int answer) {
        ERR_SetInteractive(true);
        ERR_SetDialogHandler([this, answer](const ERR_st_Dialog& d) {
            m_dialogs.push_back(d);
            return answer;
        });
    }
    std::vector<ERR_st_Dialog> m_dialogs;
};

TEST_F(AssertTest, AutomaticAnswerForEachFlagCombination) {
    // Preference: continue, ignore always, crash, stop, else continue.
    const struct {
        uint8_t flags;
        int result;
        const char* journal;
    } cases[] = {
        {0, 1, "User clicked on Continue"},         {1, 2, "User clicked on Generate Crash"},
        {2, 1, "User clicked on Stop Engine"},      {1 | 2, 2, "User clicked on Generate Crash"},
        {4, 1, "User clicked on Continue"},         {8, 0, "User clicked on Ignore"},
        {4 | 8, 1, "User clicked on Continue"},     {1 | 8, 0, "User clicked on Ignore"},
        {2 | 8, 0, "User clicked on Ignore"},       {15, 1, "User clicked on Continue"},
        {1 | 2 | 4, 1, "User clicked on Continue"},
    };
    for (const auto& c : cases) {
        ERR_rJournal().Clear();
        EXPECT_EQ(ERR_i_Assert("Assert", "msg", "f.cpp", 1, c.flags), c.result) << int(c.flags);
        std::vector<std::string> texts = JournalTexts();
        ASSERT_FALSE(texts.empty());
        EXPECT_EQ(texts.back(), c.journal) << int(c.flags);
        EXPECT_EQ(texts[texts.size() - 2], "Cmd-Auto ") << int(c.flags);
    }
}

TEST_F(AssertTest, JournalRecordsOfOneAssertion) {
    EXPECT_EQ(ERR_i_Assert("AssertEx", "bad key", "BIG_Fat.cpp", 42, 1 | 2 | 8), 0);
    auto records = JournalRecords();
    ASSERT_EQ(records.size(), 9u);
    EXPECT_EQ(records[0].kind, ERR_cl_LogFile::kRecordHeader);
    EXPECT_EQ(records[0].code, 14);
    std::vector<std::string> texts = JournalTexts();
    EXPECT_EQ(texts,
              (std::vector<std::string>{"AssertEx", "In file 'BIG_Fat.cpp', line 42 :", "bad key", "Debug",
                                        "Stop", "Ignore", "Cmd-Auto ", "User clicked on Ignore"}));
}

TEST_F(AssertTest, LogLineInAutomaticMode) {
    LogCapture capture;
    ERR_i_Assert("Assert", "first\r\nsecond\nthird", "x.cpp", 7, 7);
    auto records = capture.Records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].level, ERR_Level_Assert);
    EXPECT_EQ(records[0].category, ERR_Cat_Editor);
    EXPECT_EQ(records[0].text,
              "#Assert:  Assert In file 'x.cpp', line 7 : : first  \\ second \\ third - User clicked on "
              "Continue.\n");
}

TEST_F(AssertTest, LogLineInInteractiveModeHasNoPrefix) {
    AnswerWith(ERR_Answer_Continue);
    LogCapture capture;
    EXPECT_EQ(ERR_i_Assert("EditorAssert", "m", "y.cpp", 3, 5), 1);
    auto records = capture.Records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].text, "EditorAssert In file 'y.cpp', line 3 : : m - User clicked on Continue.\n");
    for (const std::string& t : JournalTexts())
        EXPECT_NE(t, "Cmd-Auto ");
}

TEST_F(AssertTest, InteractiveAnswersMapToResults) {
    const struct {
        int answer;
        int result;
    } cases[] = {
        {ERR_Answer_Crash, 2}, {ERR_Answer_Stop, 1}, {ERR_Answer_Continue, 1}, {ERR_Answer_Ignore, 0}};
    for (const auto& c : cases) {
        AnswerWith(c.answer);
        EXPECT_EQ(ERR_i_Assert("AssertEx", "m", "f", 1, 15), c.result) << c.answer;
    }
}

TEST_F(AssertTest, WindowShowsCategoryLocationMessageAndAllowedChoices) {
    AnswerWith(ERR_Answer_Stop);
    ERR_i_Assert("Assert", "two\nlines", "file.cpp", 9, 2 | 8);
    ASSERT_EQ(m_dialogs.size(), 1u);
    const ERR_st_Dialog& d = m_dialogs[0];
    EXPECT_EQ(d.title, "Assert");
    EXPECT_EQ(d.body, "In file 'file.cpp', line 9 :\ntwo\nlines");
    ASSERT_EQ(d.choices.size(), 2u);
    EXPECT_EQ(d.choices[0].label, "&Stop the engine");
    EXPECT_EQ(d.choices[0].id, 2);
    EXPECT_EQ(d.choices[1].label, "&Ignore always");
    EXPECT_EQ(d.choices[1].id, 4);
    EXPECT_EQ(d.defaultId, 0) << "Enter continues only when continue is allowed";
    EXPECT_NE(d.copyText.find("Assert\nIn file 'file.cpp', line 9 :\ntwo\nlines\n"), std::string::npos);

    m_dialogs.clear();
    ERR_i_Assert("Assert", "m", "f", 1, 15);
    ASSERT_EQ(m_dialogs.size(), 1u);
    std::vector<std::string> labels;
    for (const auto& c : m_dialogs[0].choices)
        labels.push_back(c.label);
    EXPECT_EQ(labels, (std::vector<std::string>{"&Generate Crash", "&Stop the engine", "&Continue",
                                                "&Ignore always"}));
    EXPECT_EQ(m_dialogs[0].defaultId, 3);
}

TEST_F(AssertTest, ClosedWindowContinuesWhenAllowedElseStops) {
    AnswerWith(ERR_Answer_Closed);
    EXPECT_EQ(ERR_i_Assert("Assert", "m", "f", 1, 4 | 2), 1);
    EXPECT_EQ(JournalTexts().back(), "User clicked on Continue");

    ERR_rJournal().Clear();
    EXPECT_EQ(ERR_i_Assert("Assert", "m", "f", 1, 2 | 8), 1);
    EXPECT_EQ(JournalTexts().back(), "User clicked on Stop Engine");

    ERR_SetThrowOnStop(true);
    try {
        ERR_i_Assert("Assert", "m", "f", 1, 1 | 8);
        ADD_FAILURE() << "closing without continue must take the stop path";
    } catch (const ERR_cl_Exception& e) {
        EXPECT_EQ(e.Code(), 3);
    }
}

TEST_F(AssertTest, AnswerNotOfferedCountsAsClosed) {
    AnswerWith(ERR_Answer_Ignore);  // the handler names a button that is not there
    EXPECT_EQ(ERR_i_Assert("Assert", "m", "f", 1, 1 | 2 | 4), 1);
    EXPECT_EQ(JournalTexts().back(), "User clicked on Continue");
}

TEST_F(AssertTest, StopThrowsCodeThreeWhenAskedAndLogsFirst) {
    ERR_SetThrowOnStop(true);
    LogCapture capture;
    try {
        ERR_i_Assert("Assert", "fatal", "f.cpp", 5, ERR_AssertFlag_Stop);
        ADD_FAILURE() << "expected ERR_cl_Exception";
    } catch (const ERR_cl_Exception& e) {
        EXPECT_EQ(e.Code(), ERR_kStopExceptionCode);
    }
    EXPECT_EQ(JournalTexts().back(), "User clicked on Stop Engine");
    ASSERT_EQ(capture.Records().size(), 1u);
    EXPECT_NE(capture.Records()[0].text.find("fatal - User clicked on Stop Engine."), std::string::npos);
    // The guard was cleared: the next assertion is handled normally.
    EXPECT_FALSE(ERR_bAssertInProgress());
    ERR_SetThrowOnStop(false);
    EXPECT_EQ(ERR_i_Assert("Assert", "after", "f.cpp", 6, ERR_AssertFlag_Stop), 1);
    EXPECT_EQ(JournalTexts().back(), "User clicked on Stop Engine");
}

TEST_F(AssertTest, ReentrantAssertionReturnsOneAtOnce) {
    int inner = -1;
    bool guardSeen = false;
    ERR_SetInteractive(true);
    ERR_SetDialogHandler([&](const ERR_st_Dialog&) {
        guardSeen = ERR_bAssertInProgress();
        size_t before = ERR_rJournal().Size();
        inner = ERR_i_Assert("Assert", "inner", "g.cpp", 2, ERR_AssertFlag_Ignore);
        EXPECT_EQ(ERR_rJournal().Size(), before) << "a re-entrant assertion records nothing";
        return ERR_Answer_Ignore;
    });
    EXPECT_EQ(ERR_i_Assert("AssertEx", "outer", "g.cpp", 1, 15), 0);
    EXPECT_EQ(inner, 1);
    EXPECT_TRUE(guardSeen);
    EXPECT_FALSE(ERR_bAssertInProgress());
}

TEST_F(AssertTest, ListenerMayRaiseAnAssertion) {
    int nested = 0;
    int id = ERR_AddLogListener([&](const ERR_st_LogRecord& r) {
        if (r.text.find("outer") != std::string::npos && nested++ == 0)
            ERR_i_Assert("Assert", "from listener", "l.cpp", 1, 4);
    });
    EXPECT_EQ(ERR_i_Assert("Assert", "outer", "o.cpp", 1, 4), 1);
    ERR_RemoveLogListener(id);
    EXPECT_EQ(nested, 1);
    std::vector<std::string> texts = JournalTexts();
    ASSERT_EQ(texts.size(), 12u);
    EXPECT_EQ(texts[2], "outer");
    EXPECT_EQ(texts[8], "from listener");
}

TEST_F(AssertTest, HandlerThatThrowsClearsTheGuard) {
    ERR_SetInteractive(true);
    ERR_SetDialogHandler([](const ERR_st_Dialog&) -> int { throw std::runtime_error("window failed"); });
    EXPECT_THROW(ERR_i_Assert("Assert", "m", "f", 1, 7), std::runtime_error);
    ERR_SetDialogHandler({});
    ERR_SetInteractive(false);
    EXPECT_EQ(ERR_i_Assert("Assert", "m", "f", 1, 7), 1);
    EXPECT_EQ(JournalTexts().back(), "User clicked on Continue");
}

TEST_F(AssertTest, InteractiveSwitchOffMeansAutomaticEvenWithAHandler) {
    ERR_SetDialogHandler([this](const ERR_st_Dialog& d) {
        m_dialogs.push_back(d);
        return ERR_Answer_Stop;
    });
    EXPECT_FALSE(ERR_bCanAskUser());
    EXPECT_EQ(ERR_i_Assert("Assert", "m", "f", 1, 8), 0);
    EXPECT_TRUE(m_dialogs.empty());
}

TEST_F(AssertTest, WorkerThreadAssertionWaitsForTheOneOnScreen) {
    std::atomic<bool> inDialog{false}, release{false};
    std::atomic<int> dialogs{0};
    ERR_SetInteractive(true);
    ERR_SetDialogHandler([&](const ERR_st_Dialog&) {
        if (dialogs.fetch_add(1) == 0) {
            inDialog = true;
            while (!release)
                std::this_thread::yield();
        }
        return ERR_Answer_Continue;
    });
    int mainResult = -1, workerResult = -1;
    std::thread first([&] { mainResult = ERR_i_Assert("Assert", "first", "a", 1, 7); });
    while (!inDialog)
        std::this_thread::yield();
    std::thread worker([&] { workerResult = ERR_i_Assert("Assert", "second", "b", 2, 7); });
    // Give the worker time to reach the assertion and block behind the first.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    release = true;
    first.join();
    worker.join();
    EXPECT_EQ(mainResult, 1);
    EXPECT_EQ(workerResult, 1);
    EXPECT_EQ(dialogs.load(), 2) << "the worker's assertion was asked too, not dropped";
    // The two assertions' records do not interleave.
    std::vector<std::string> texts = JournalTexts();
    ASSERT_EQ(texts.size(), 14u);
    EXPECT_EQ(texts[2], "first");
    EXPECT_EQ(texts[6], "User clicked on Continue");
    EXPECT_EQ(texts[9], "second");
}

TEST_F(AssertTest, PrintfTwinFormatsAndCutsTheMessage) {
    ERR_i_AssertPrintf("Assert", "p.cpp", 11, 4, "key %08X missing in %s", 0xBEEFu, "world");
    EXPECT_EQ(JournalTexts()[2], "key 0000BEEF missing in world");

    ERR_rJournal().Clear();
    std::string longText(5000, 'q');
    ERR_i_AssertPrintf("Assert", "p.cpp", 12, 4, "%s", longText.c_str());
    EXPECT_EQ(JournalTexts()[2], std::string(4095, 'q'));
}

TEST_F(AssertTest, NullTextsCountAsEmpty) {
    EXPECT_EQ(ERR_i_Assert(nullptr, nullptr, nullptr, 0, 4), 1);
    std::vector<std::string> texts = JournalTexts();
    EXPECT_EQ(texts[0], "");
    EXPECT_EQ(texts[1], "In file '', line 0 :");
}

TEST_F(AssertTest, RaiseMacroSilencesItsSiteAfterIgnoreAlways) {
    AnswerWith(ERR_Answer_Ignore);
    LogCapture capture;
    for (int i = 0; i < 3; ++i)
        ERR_X_Raise("AssertEx", "noisy");
    EXPECT_EQ(m_dialogs.size(), 1u);
    EXPECT_EQ(capture.Records().size(), 1u);
    for (int i = 0; i < 2; ++i)
        ERR_X_RaisePrintf("AssertEx", "noisy %d", i);
    EXPECT_EQ(m_dialogs.size(), 2u);
}

TEST(CategoryFlags, EngineCategories) {
    const struct {
        const char* category;
        uint8_t flags;
    } cases[] = {
        {"Assert", 1 | 2 | 4},         {"AssertEx", 1 | 2 | 4 | 8},
        {"AssertExIgnore", 1 | 4 | 8}, {"EditorAssert", 1 | 4},
        {"EditorAssertEx", 1 | 4 | 8}, {"SomethingElse", 1 | 2 | 4},
        {"assert", 1 | 2 | 4},         {"", 1 | 2 | 4},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ERR_uc_CategoryFlags(c.category), c.flags) << c.category;
    EXPECT_EQ(ERR_uc_CategoryFlags(nullptr), 1 | 2 | 4);
}

TEST(AssertWindowLayout, WidthRule) {
    // buttons x 140 + 20 against the 200 minimum.
    EXPECT_EQ(ERR_st_LayoutAssertWindow("", "", 0).buttons, 1);
    EXPECT_EQ(ERR_st_LayoutAssertWindow("", "", 0).width, 200);
    EXPECT_EQ(ERR_st_LayoutAssertWindow("", "", 4).width, 300);
    EXPECT_EQ(ERR_st_LayoutAssertWindow("", "", 15).buttons, 5);
    EXPECT_EQ(ERR_st_LayoutAssertWindow("", "", 15).width, 720);
    // The location in the regular font.
    std::string location(100, 'l');
    EXPECT_EQ(ERR_st_LayoutAssertWindow(location.c_str(), "", 4).width, 100 * ERR_kRegularCharWidth + 50);
    // The widest message line in the bold font.
    std::string message = "short\n" + std::string(90, 'm') + "\nmid";
    EXPECT_EQ(ERR_st_LayoutAssertWindow("", message.c_str(), 4).width, 90 * ERR_kBoldCharWidth + 50);
}

TEST(AssertWindowLayout, OnlyTheFirstTenLinesAreMeasured) {
    std::string message;
    for (int i = 0; i < 10; ++i)
        message += "line\n";
    std::string eleventh(200, 'w');
    EXPECT_EQ(ERR_st_LayoutAssertWindow("", (message + eleventh).c_str(), 4).width, 300);

    std::string tenth;
    for (int i = 0; i < 9; ++i)
        tenth += "line\n";
    tenth += eleventh;
    EXPECT_EQ(ERR_st_LayoutAssertWindow("", tenth.c_str(), 4).width, 200 * ERR_kBoldCharWidth + 50);
}

TEST(AssertWindow, CopyReport) {
    ERR_SetEngineVersion("1.2.3");
    ERR_SetVersionPackage(nullptr);
    std::string dashes(80, '-');
    EXPECT_EQ(ERR_AssertCopyReport("Assert", "In file 'a', line 1 :", "msg"),
              dashes + "\n\nMarlin v1.2.3 triggered an Assert:\nAssert\nIn file 'a', line 1 :\nmsg\n" +
                  dashes + "\n");
    ERR_SetVersionPackage("DLC_Pack");
    EXPECT_EQ(ERR_AssertCopyReport("T", "L", "M"),
              dashes +
                  "\n\nMarlin v1.2.3 triggered an Assert:\nVersion package: "
                  "DLC_Pack\nT\nL\nM\n" +
                  dashes + "\n");
    ERR_SetVersionPackage("");
}

// The window's choices on the real terminal dialog: the keys the user types.
TEST(AssertWindow, TerminalKeys) {
    const struct {
        const char* input;
        uint8_t flags;
        int answer;
    } cases[] = {
        {"c\n", 15, ERR_Answer_Continue},   {"C\n", 15, ERR_Answer_Continue}, {"\n", 15, ERR_Answer_Continue},
        {"s\n", 15, ERR_Answer_Stop},       {"i\n", 15, ERR_Answer_Ignore},   {"g\n", 15, ERR_Answer_Crash},
        {"", 15, ERR_Answer_Closed},        {"i\n", 7, ERR_Answer_Closed},    {"\n\n", 3, ERR_Answer_Closed},
        {"copy\ns\n", 15, ERR_Answer_Stop}, {"d\n", 15, ERR_Answer_Crash},    {"D\n", 15, ERR_Answer_Crash},
        {"d\n", 14, ERR_Answer_Closed},
    };
    for (const auto& c : cases) {
        FILE* in = tmpfile();
        FILE* out = tmpfile();
        ASSERT_TRUE(in && out);
        fputs(c.input, in);
        rewind(in);
        std::vector<PLT::DialogChoice> choices = ERR_AssertChoices(c.flags);
        int defaultId = (c.flags & ERR_AssertFlag_Continue) ? ERR_Answer_Continue : 0;
        std::string report = ERR_AssertCopyReport("Assert", "loc", "msg");
        int answer = PLT::ShowDialog("Assert", "body", choices, defaultId, report, in, out);
        EXPECT_EQ(answer, c.answer) << "input '" << c.input << "' flags " << int(c.flags);

        std::string shown(1 << 14, 0);
        rewind(out);
        shown.resize(fread(shown.data(), 1, shown.size(), out));
        bool copied = shown.find(report) != std::string::npos;
        EXPECT_EQ(copied, std::string(c.input).rfind("copy", 0) == 0) << c.input;
        fclose(in);
        fclose(out);
    }
}

}  // namespace
