// orvex as a user runs it: its exit codes and what `orvex plugin` finds.
#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "host/ExitCode.h"
#include "platform/Process.h"

namespace {

PLT::ProcessResult RunOrvex(const std::vector<std::string>& args, const std::vector<std::string>& env = {}) {
    std::vector<std::string> argv = {ORVEX_EXE};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<std::string> changes = {"ORVEX_PLUGIN", "MARLIN_DEBUG_OUTPUT"};
    changes.insert(changes.end(), env.begin(), env.end());
    PLT::ProcessResult result;
    EXPECT_TRUE(PLT::RunProcess(argv, changes, &result)) << ORVEX_EXE;
    return result;
}

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

TEST(ExitCode, ForEveryStatus) {
    const struct {
        int32_t status;
        int exitCode;
    } cases[] = {
        {0, 0},
        {1, 1},
        {4, 4},
        {5, 5},
        {-1, 3},
        // Codes no tool defines are failures, never success or usage.
        {2, 4},
        {3, 4},
        {-2, 4},
        {INT_MIN, 4},
        {INT_MAX, 4},
    };
    for (const auto& c : cases)
        EXPECT_EQ(HOST::ExitCodeForStatus(c.status), c.exitCode) << c.status;
}

TEST(Orvex, HelpVersionAndUsageErrors) {
    const struct {
        std::vector<std::string> args;
        int exitCode;
        const char* inOut;
    } cases[] = {
        {{"--help"}, 0, "plugin"},
        {{}, 0, "plugin"},
        {{"--version"}, 0, "orvex 0.1.0"},
        {{"--no-such-option"}, HOST::kExitUsage, ""},
        {{"no-such-command"}, HOST::kExitUsage, ""},
        {{"plugin", "a.so", "b.so"}, HOST::kExitUsage, ""},
    };
    for (const auto& c : cases) {
        const PLT::ProcessResult result = RunOrvex(c.args);
        const std::string what = c.args.empty() ? "(none)" : c.args[0];
        EXPECT_EQ(result.exitCode, c.exitCode) << what << "\n" << result.out << result.err;
        EXPECT_TRUE(Contains(result.out, c.inOut)) << what << "\n" << result.out;
    }
}

// A slip of the keyboard gets the name it most likely meant; a word far from
// every name gets none.
TEST(Orvex, MistypedCommandsAndOptionsGetADidYouMean) {
    const struct {
        std::vector<std::string> args;
        const char* suggestion;  // null: no "did you mean" at all
    } cases[] = {
        {{"splt", "game.big"}, "orvex: unknown command splt; did you mean split?"},
        {{"verfiy", "game.big"}, "orvex: unknown command verfiy; did you mean verify?"},
        {{"split", "game.big", "--data-rot", "D"},
         "orvex split: unknown option --data-rot; did you mean --data-root?"},
        {{"split", "game.big", "--wrold=Town"}, "orvex split: unknown option --wrold; did you mean --world?"},
        {{"ls", "--tre", "game.big"}, "orvex ls: unknown option --tre; did you mean --tree?"},
        {{"--interactiv", "info", "game.big"},
         "orvex: unknown option --interactiv; did you mean --interactive?"},
        {{"frobnicate"}, nullptr},
        {{"ls", "--colour", "game.big"}, nullptr},
        // An option the command refuses is never offered.
        {{"why", "game.big", "0x1", "--reproducable"}, nullptr},
    };
    for (const auto& c : cases) {
        const PLT::ProcessResult result = RunOrvex(c.args);
        SCOPED_TRACE(c.args[0] + " " + (c.args.size() > 1 ? c.args[1] : ""));
        EXPECT_EQ(result.exitCode, HOST::kExitUsage) << result.out << result.err;
        if (c.suggestion != nullptr) {
            EXPECT_TRUE(Contains(result.err, std::string(c.suggestion) + "\n")) << result.err;
        } else {
            EXPECT_FALSE(Contains(result.err, "did you mean")) << result.err;
        }
    }
}

TEST(OrvexPlugin, FindsTheBuiltPlugin) {
    const PLT::ProcessResult result = RunOrvex({"plugin"});
    EXPECT_EQ(result.exitCode, 0) << result.out << result.err;
    EXPECT_TRUE(Contains(result.out, std::string("plug-in: ") + ORVEX_PLUGIN_SO + " (build tree)"))
        << result.out;
    for (const char* name : {"OVC_InitParams", "OVC_InitPlugin", "OVC_DeinitParams", "OVC_DeinitPlugin",
                             "OVC_OutputString", "OVC_Hash"}) {
        EXPECT_TRUE(Contains(result.out, name)) << name;
    }
    EXPECT_FALSE(Contains(result.out, "MISSING")) << result.out;
    EXPECT_FALSE(Contains(result.out, "FAILED")) << result.out;
    EXPECT_TRUE(Contains(result.out, "OVC_Hash(\"abc\") = 0x3025F862")) << result.out;
    EXPECT_TRUE(Contains(result.out, "plug-in ok")) << result.out;
}

TEST(OrvexPlugin, EnvironmentAndCommandLineChooseThePlugin) {
    PLT::ProcessResult result = RunOrvex({"plugin"}, {std::string("ORVEX_PLUGIN=") + ORVEX_PLUGIN_SO});
    EXPECT_EQ(result.exitCode, 0) << result.out << result.err;
    EXPECT_TRUE(Contains(result.out, "($ORVEX_PLUGIN)")) << result.out;

    result = RunOrvex({"plugin", ORVEX_PLUGIN_SO});
    EXPECT_EQ(result.exitCode, 0) << result.out << result.err;
    EXPECT_TRUE(Contains(result.out, "(command line)")) << result.out;

    // A wrong setting is reported, not passed over for another plug-in.
    result = RunOrvex({"plugin"}, {"ORVEX_PLUGIN=/nonexistent/liborvexbig.so"});
    EXPECT_EQ(result.exitCode, 4) << result.out << result.err;
    EXPECT_TRUE(Contains(result.err, "/nonexistent/liborvexbig.so")) << result.err;
}

TEST(OrvexPlugin, RefusesWhatIsNotThePlugin) {
    // Missing file, and a file that is not a loadable plug-in (orvex itself).
    for (const std::string& path : {std::string("/nonexistent/liborvexbig.so"), std::string(ORVEX_EXE)}) {
        const PLT::ProcessResult result = RunOrvex({"plugin", path});
        EXPECT_EQ(result.exitCode, 4) << path << "\n" << result.out << result.err;
        EXPECT_TRUE(Contains(result.err, "orvex plugin: ")) << result.err;
        EXPECT_FALSE(Contains(result.out, "plug-in ok")) << result.out;
    }
}

}  // namespace
