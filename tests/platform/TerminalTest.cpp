#include "platform/Terminal.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace PLT {
namespace {

// Runs `fn(in, out)` with `input` as the input stream and returns what it wrote.
template <class Fn>
std::string WithStreams(const std::string& input, Fn fn) {
    std::FILE* in = fmemopen(const_cast<char*>(input.data()), input.size(), "r");
    if (input.empty()) {
        in = std::tmpfile();  // fmemopen refuses a zero-sized buffer
    }
    char* text = nullptr;
    size_t size = 0;
    std::FILE* out = open_memstream(&text, &size);
    fn(in, out);
    std::fclose(in);
    std::fclose(out);
    std::string written(text, size);
    std::free(text);
    return written;
}

const std::vector<DialogChoice> kChoices = {
    {"&Continue", 11}, {"&Ignore", 22}, {"Ignore &All", 33}, {"&Break", 44}};

TEST(TerminalTest, DialogAnswers) {
    struct Case {
        const char* input;
        int defaultId;
        int expected;
    };
    const Case cases[] = {
        {"c\n", 0, 11},              // key letter
        {"C\n", 0, 11},              // any case
        {"a\n", 0, 33},              // key letter in the middle of the label
        {"  b  \n", 0, 44},          // spaces around
        {"2\n", 0, 22},              // number
        {"4\n", 0, 44},              // last number
        {"\n", 22, 22},              // Enter: the default
        {"\n\nb\n", 0, 44},          // Enter without a default asks again
        {"", 11, 0},                 // end of input: the window closed
        {"x\n", 11, 0},              // unknown answer, then end of input
        {"9\nignore all\n", 0, 33},  // number out of range, then a whole label
        {"0\n-1\ni", 0, 22},         // last line without its end
        {"copy\nc\n", 0, 11},        // copy prints and asks again
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("input \"") + c.input + "\"");
        int answer = -1;
        WithStreams(c.input, [&](std::FILE* in, std::FILE* out) {
            answer = ShowDialog("Assert", "Something broke", kChoices, c.defaultId, "the report", in, out);
        });
        EXPECT_EQ(answer, c.expected);
    }
}

TEST(TerminalTest, DialogShowsTitleBodyKeysAndCopyText) {
    const std::string shown = WithStreams("copy\nCOPY\n3\n", [](std::FILE* in, std::FILE* out) {
        EXPECT_EQ(ShowDialog("Title", "Body text", kChoices, 0, "REPORT-LINE", in, out), 33);
    });
    EXPECT_NE(shown.find("Title"), std::string::npos);
    EXPECT_NE(shown.find("Body text"), std::string::npos);
    EXPECT_NE(shown.find("[C]ontinue"), std::string::npos);
    EXPECT_NE(shown.find("Ignore [A]ll"), std::string::npos);
    size_t copies = 0;
    for (size_t at = shown.find("REPORT-LINE"); at != std::string::npos;
         at = shown.find("REPORT-LINE", at + 1)) {
        ++copies;
    }
    EXPECT_EQ(copies, 2u);

    // Without copy text, "copy" is just an unknown answer.
    const std::string plain = WithStreams("copy\n", [](std::FILE* in, std::FILE* out) {
        EXPECT_EQ(ShowDialog("T", "B", kChoices, 0, std::string(), in, out), 0);
    });
    EXPECT_EQ(plain.find("REPORT-LINE"), std::string::npos);
}

TEST(TerminalTest, LabelText) {
    EXPECT_EQ(DialogLabelText("&Continue"), "[C]ontinue");
    EXPECT_EQ(DialogLabelText("Re&try"), "Re[t]ry");
    EXPECT_EQ(DialogLabelText("Save && &Quit"), "Save & [Q]uit");
    EXPECT_EQ(DialogLabelText("OK"), "OK");
    EXPECT_EQ(DialogLabelText("Trailing&"), "Trailing&");
}

TEST(TerminalTest, StatusLineRedrawsOnATerminalAndPrintsChangesElsewhere) {
    const std::string terminal = WithStreams("", [](std::FILE*, std::FILE* out) {
        StatusLine line(out, true);
        line.Set("10%");
        line.Set("20%");
        line.Set("");
        line.Set("");
    });
    EXPECT_EQ(terminal, "\r10%\x1b[K\r20%\x1b[K\r\x1b[K");

    const std::string piped = WithStreams("", [](std::FILE*, std::FILE* out) {
        StatusLine line(out, false);
        line.Set("10%");
        line.Set("10%");
        line.Set("20%");
        line.Set("");
    });
    EXPECT_EQ(piped, "10%\n20%\n");
}

}  // namespace
}  // namespace PLT
