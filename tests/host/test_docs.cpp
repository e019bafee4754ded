// The man page and the bash completion are written from the command line that
// orvex parses: every command, option and settings key appears, and the
// completion completes what the options take.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "host/Docs.h"
#include "host/RootCommandLine.h"
#include "host/SplitOptions.h"
#include "platform/Process.h"
#include "tests/support/TempFolder.h"

namespace {

// As roff needs it in the page: hyphens escaped.
std::string Escaped(const std::string& text) {
    std::string out;
    for (char c : text)
        out += c == '-' ? std::string("\\-") : std::string(1, c);
    return out;
}

TEST(Docs, ManPageNamesEveryCommandOptionAndSettingsKey) {
    HOST::RootCommandLine line;
    std::ostringstream page;
    HOST::WriteManPage(line.app, "9.8.7", page);
    const std::string text = page.str();
    EXPECT_NE(text.find(".TH ORVEX 1 \"\" \"orvex 9.8.7\""), std::string::npos);

    const auto commands = line.app.get_subcommands([](const CLI::App*) { return true; });
    ASSERT_GE(commands.size(), 10u) << "every command registers itself";
    for (const CLI::App* command : commands) {
        EXPECT_NE(text.find(".SS \"orvex " + command->get_name() + " [OPTIONS]"), std::string::npos)
            << command->get_name();
        for (const CLI::Option* option : command->get_options()) {
            for (const std::string& name : option->get_lnames()) {
                if (name == "help")
                    continue;
                EXPECT_NE(text.find("\\fB" + Escaped("--" + name)), std::string::npos)
                    << command->get_name() << " --" << name;
            }
        }
    }
    // The value names of the split table, as --help shows them.
    EXPECT_NE(text.find("\\fB\\-\\-data\\-root\\fR \\fIDIR\\fR"), std::string::npos);
    EXPECT_NE(text.find("\\fB\\-\\-world\\fR \\fIKEY\\fR ..."), std::string::npos);
    for (const HOST::SplitOption& option : HOST::SplitOptions())
        EXPECT_NE(text.find(".TP\n\\fB" + Escaped(std::string(option.Key())) + "\\fR ("), std::string::npos)
            << option.Key();

    // No text line may be taken for a request.
    std::istringstream lines(text);
    for (std::string l; std::getline(lines, l);) {
        if (l.empty() || (l[0] != '.' && l[0] != '\''))
            continue;
        const std::string request = l.substr(0, l.find(' '));
        EXPECT_TRUE(request == ".TH" || request == ".SH" || request == ".SS" || request == ".TP" ||
                    request == ".B" || request == ".\\\"")
            << l;
    }
}

TEST(Docs, BashCompletionCompletesCommandsOptionsAndWhatTheyTake) {
    test_support::TempFolder folder;
    std::filesystem::create_directory(folder.Path() / "dirA");
    std::ofstream(folder.File("dirB.txt")) << "x";
    HOST::RootCommandLine line;
    {
        std::ofstream script(folder.File("orvex.bash"));
        HOST::WriteBashCompletion(line.app, script);
    }
    const struct {
        std::vector<std::string> words;  // the last one is being completed
        std::string expected;            // COMPREPLY, one per line, sorted
    } cases[] = {
        {{"orvex", "spl"}, "split\n"},
        {{"orvex", "--inter"}, "--interactive\n"},
        {{"orvex", "split", "--data"}, "--data-root\n"},
        {{"orvex", "split", "game.big", "--wor"}, "--work-dir\n--world\n"},
        {{"orvex", "split", "--data-root", "dir"}, "dirA\n"},
        {{"orvex", "split", "--work-dir", "dir"}, "dirA\n"},
        {{"orvex", "split", "--refs-cache", "dir"}, "dirA\ndirB.txt\n"},
        {{"orvex", "split", "--package-id", ""}, ""},
        {{"orvex", "split", "--report", "dir"}, "dirA\ndirB.txt\n"},
        {{"orvex", "gen", "--see"}, "--seed\n"},
        {{"orvex", "nonsense", "--"}, ""},
    };
    for (const auto& c : cases) {
        std::string words;
        for (const std::string& word : c.words)
            words += " '" + word + "'";
        const std::string script = "cd '" + folder.Path().string() +
                                   "' && source orvex.bash && COMP_WORDS=(" + words +
                                   ") && COMP_CWORD=" + std::to_string(c.words.size() - 1) +
                                   " && { _orvex; true; } && { [ ${#COMPREPLY[@]} -eq 0 ] || printf '%s\\n' "
                                   "\"${COMPREPLY[@]}\" | LC_ALL=C sort; }";
        PLT::ProcessResult result;
        ASSERT_TRUE(PLT::RunProcess({"bash", "-c", script}, {}, &result));
        EXPECT_EQ(result.exitCode, 0) << result.err;
        EXPECT_EQ(result.out, c.expected) << words;
    }
}

}  // namespace
