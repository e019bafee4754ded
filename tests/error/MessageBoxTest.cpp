#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ErrTestSupport.h"

namespace {

class MessageBoxTest : public ::testing::Test {
protected:
    void SetUp() override { ResetErrorState(); }
    void TearDown() override { ResetErrorState(); }
};

const struct {
    uint32_t type;
    int answer;
    const char* name;
} kDefaults[] = {
    {ERR_MB_OK, ERR_ID_OK, "Ok"},
    {ERR_MB_OKCANCEL, ERR_ID_OK, "Ok"},
    {ERR_MB_ABORTRETRYIGNORE, ERR_ID_IGNORE, "Ignore"},
    {ERR_MB_YESNOCANCEL, ERR_ID_YES, "Yes"},
    {ERR_MB_YESNO, ERR_ID_YES, "Yes"},
    {ERR_MB_RETRYCANCEL, ERR_ID_CANCEL, "Cancel"},
    {ERR_MB_CANCELTRYCONTINUE, ERR_ID_CONTINUE, "Continue"},
    {7, ERR_ID_OK, "Ok"},
    {ERR_MB_YESNO | ERR_MB_ICONERROR | ERR_MB_DEFBUTTON2, ERR_ID_YES, "Yes"},  // only type & 15 counts
};

TEST_F(MessageBoxTest, WithoutMainWindowReturnsDefaultAndRecordsNothing) {
    LogCapture capture;
    for (const auto& c : kDefaults) {
        EXPECT_EQ(ERR_i_DefaultAnswer(c.type), c.answer) << c.type;
        EXPECT_EQ(ERR_i_MessageBox("text", "cap", c.type), c.answer) << c.type;
    }
    EXPECT_EQ(ERR_rJournal().Size(), 0u);
    EXPECT_TRUE(capture.Records().empty());
}

TEST_F(MessageBoxTest, AutomaticAnswerIsJournaledAndLogged) {
    ERR_SetMainWindow(true);
    for (const auto& c : kDefaults) {
        ERR_rJournal().Clear();
        EXPECT_EQ(ERR_i_MessageBox("Disk full", "Saving", c.type), c.answer) << c.type;
        auto records = JournalRecords();
        ASSERT_EQ(records.size(), 4u);
        EXPECT_EQ(records[0].kind, ERR_cl_LogFile::kRecordHeader);
        EXPECT_EQ(records[0].code, 15);
        EXPECT_EQ(JournalTexts(), (std::vector<std::string>{"Saving", "Disk full",
                                                            std::string("User clicked on ") + c.name}));
    }
}

TEST_F(MessageBoxTest, DefaultCaptionAndLogLine) {
    ERR_SetMainWindow(true);
    const struct {
        uint32_t type;
        uint32_t level;
    } icons[] = {
        {ERR_MB_OK, ERR_Level_Info},
        {ERR_MB_ICONERROR, ERR_Level_Error},
        {ERR_MB_ICONWARNING, ERR_Level_Warning},
        {ERR_MB_ICONQUESTION, ERR_Level_Info},
        {ERR_MB_ICONINFORMATION | ERR_MB_YESNO, ERR_Level_Info},
    };
    for (const auto& c : icons) {
        LogCapture capture;
        ERR_rJournal().Clear();
        ERR_i_MessageBox("line one\r\nline two\nthree", nullptr, c.type);
        auto records = capture.Records();
        ASSERT_EQ(records.size(), 1u);
        EXPECT_EQ(records[0].level, c.level) << c.type;
        EXPECT_EQ(records[0].category, ERR_Cat_Editor);
        EXPECT_EQ(records[0].text, "[MessageBox] line one  \\ line two \\ three\n");
        EXPECT_EQ(JournalTexts()[0], "Marlin Message");
    }
}

TEST_F(MessageBoxTest, InteractiveOffersTheTypesButtons) {
    ERR_SetMainWindow(true);
    ERR_SetInteractive(true);
    std::vector<ERR_st_Dialog> shown;
    int reply = 0;
    ERR_SetDialogHandler([&](const ERR_st_Dialog& d) {
        shown.push_back(d);
        return reply;
    });

    const struct {
        uint32_t type;
        std::vector<int> ids;
        int defaultId;
    } cases[] = {
        {ERR_MB_OK, {ERR_ID_OK}, ERR_ID_OK},
        {ERR_MB_OKCANCEL, {ERR_ID_OK, ERR_ID_CANCEL}, ERR_ID_OK},
        {ERR_MB_ABORTRETRYIGNORE | ERR_MB_DEFBUTTON3,
         {ERR_ID_ABORT, ERR_ID_RETRY, ERR_ID_IGNORE},
         ERR_ID_IGNORE},
        {ERR_MB_YESNOCANCEL | ERR_MB_DEFBUTTON2, {ERR_ID_YES, ERR_ID_NO, ERR_ID_CANCEL}, ERR_ID_NO},
        {ERR_MB_YESNO | ERR_MB_DEFBUTTON4, {ERR_ID_YES, ERR_ID_NO}, ERR_ID_YES},  // no fourth button
        {ERR_MB_RETRYCANCEL, {ERR_ID_RETRY, ERR_ID_CANCEL}, ERR_ID_RETRY},
        {ERR_MB_CANCELTRYCONTINUE, {ERR_ID_CANCEL, ERR_ID_TRYAGAIN, ERR_ID_CONTINUE}, ERR_ID_CANCEL},
    };
    for (const auto& c : cases) {
        shown.clear();
        reply = c.ids.back();
        EXPECT_EQ(ERR_i_MessageBox("text", "Caption", c.type), c.ids.back());
        ASSERT_EQ(shown.size(), 1u);
        EXPECT_EQ(shown[0].title, "Caption");
        EXPECT_EQ(shown[0].body, "text");
        std::vector<int> ids;
        for (const auto& choice : shown[0].choices)
            ids.push_back(choice.id);
        EXPECT_EQ(ids, c.ids) << c.type;
        EXPECT_EQ(shown[0].defaultId, c.defaultId) << c.type;
    }

    // Chosen button is journaled by name.
    ERR_rJournal().Clear();
    reply = ERR_ID_NO;
    EXPECT_EQ(ERR_i_MessageBox("Delete?", "Q", ERR_MB_YESNO), ERR_ID_NO);
    EXPECT_EQ(JournalTexts().back(), "User clicked on No");
}

TEST_F(MessageBoxTest, ClosedBoxAnswersCancelWhenItHasOne) {
    ERR_SetMainWindow(true);
    ERR_SetInteractive(true);
    ERR_SetDialogHandler([](const ERR_st_Dialog&) { return 0; });
    const struct {
        uint32_t type;
        int answer;
    } cases[] = {
        {ERR_MB_OK, ERR_ID_OK},
        {ERR_MB_OKCANCEL, ERR_ID_CANCEL},
        {ERR_MB_YESNOCANCEL, ERR_ID_CANCEL},
        {ERR_MB_YESNO, ERR_ID_YES},
        {ERR_MB_ABORTRETRYIGNORE, ERR_ID_IGNORE},
        {ERR_MB_CANCELTRYCONTINUE, ERR_ID_CANCEL},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ERR_i_MessageBox("t", "c", c.type), c.answer) << c.type;
}

TEST(ButtonNames, AllIdentifiers) {
    const struct {
        int id;
        const char* name;
    } cases[] = {{ERR_ID_OK, "Ok"},
                 {ERR_ID_CANCEL, "Cancel"},
                 {ERR_ID_ABORT, "Abort"},
                 {ERR_ID_RETRY, "Retry"},
                 {ERR_ID_IGNORE, "Ignore"},
                 {ERR_ID_YES, "Yes"},
                 {ERR_ID_NO, "No"},
                 {ERR_ID_TRYAGAIN, "Try Again"},
                 {ERR_ID_CONTINUE, "Continue"},
                 {8, ""}};
    for (const auto& c : cases)
        EXPECT_STREQ(ERR_sz_ButtonName(c.id), c.name);
}

}  // namespace
