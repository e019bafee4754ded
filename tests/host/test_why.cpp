// orvex why on a generated sample split for real: every answered key is in
// the output `why` names and in no other, and every step of every chain is a
// reference the referring file's own table (or its bank) holds.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "BIGfile/BIG_Fat.h"
#include "host/BigTools.h"
#include "host/Gen.h"
#include "host/SplitOptions.h"
#include "host/SplitQuerySession.h"
#include "host/SplitSummary.h"
#include "platform/Process.h"
#include "tests/support/RunOrvex.h"

namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;

using test_support::RunOrvex;

// The keys of a file's reference table, read from its content.
std::vector<uint32_t> RefTable(BIG_cl_Fat& fat, uint32_t key) {
    std::vector<uint32_t> refs;
    const uint32_t index = fat.ul_GetFileIndex(key, false);
    BIG_st_ByteBlock block;
    uint32_t length = 0;
    if (index == BIG_cl_Fat::kNoFile || !fat.bIsFilePositionValid(index) ||
        !fat.LoadFileInBuffer(index, &block, &length) || length < 4)
        return refs;
    uint32_t count = 0;
    std::memcpy(&count, block.p_Data.get(), 4);
    for (uint32_t i = 0; i < count && 4 + 4 * (i + 1) <= length; ++i) {
        uint32_t ref = 0;
        std::memcpy(&ref, block.p_Data.get() + 4 + 4 * i, 4);
        refs.push_back(ref);
    }
    return refs;
}

class Why : public ::testing::Test {
protected:
    void SetUp() override {
        m_root = fs::temp_directory_path() / ("orvex_why_" + std::to_string(PLT::CurrentProcessId()));
        fs::remove_all(m_root);
        HOST::GenOptions options;
        options.s_OutDir = (m_root / "sample").string();
        options.ul_Worlds = 5;
        options.ul_Files = 900;
        options.d_SizeScale = 0.1;
        options.ull_Seed = 3;
        options.b_GmBigfile = true;
        ASSERT_TRUE(HOST::bGenerate(options, &m_summary, &m_error)) << m_error;
        // Four of the five worlds, a gmbigfile, a forced directory and a rem criterion.
        for (size_t i = 0; i + 1 < m_summary.worlds.size(); ++i)
            m_options.insert(m_options.end(), {"--world", m_summary.worlds[i].s_Name});
        m_options.insert(m_options.end(), {"--gm-bigfile", m_summary.s_GmBigfilePath, "--force-dir",
                                           HOST::kGenForcedDirectory, "--remove", "_anim_00001"});
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(m_root, ec);
    }

    fs::path m_root;
    HOST::GenSummary m_summary;
    std::vector<std::string> m_options;
    std::string m_error;
};

TEST_F(Why, NamesTheOutputThatHoldsEachKeyAndChainsOfRealReferences) {
    const std::string dataRoot = (m_root / "Data").string();
    fs::create_directories(dataRoot);
    std::vector<std::string> split = {"split",      m_summary.s_BigfilePath,   "--data-root", dataRoot,
                                      "--work-dir", (m_root / "work").string()};
    split.insert(split.end(), m_options.begin(), m_options.end());
    const PLT::ProcessResult splitRun = RunOrvex(split);
    ASSERT_EQ(splitRun.exitCode, 0) << splitRun.out << splitRun.err;

    // Every output's keys, as its own table lists them.
    std::map<std::string, std::set<uint32_t>> outputs;
    for (const auto& entry : fs::directory_iterator(fs::path(dataRoot) / "DLC")) {
        const std::string name = entry.path().filename().string();
        auto fat = HOST::Tools::OpenBigfile((entry.path() / (name + ".big")).string(), &m_error);
        ASSERT_NE(fat, nullptr) << m_error;
        for (uint32_t i = 0; i < fat->ul_GetFileCount(); ++i)
            if (fat->FileEntry(i).ul_Key != 0)
                outputs[name].insert(fat->FileEntry(i).ul_Key);
        fat->File().eClose();
    }
    ASSERT_EQ(outputs.size(), m_summary.worlds.size());  // the common output and four worlds

    // A sample of keys: every 7th file of the source, and a key it lacks.
    auto source = HOST::Tools::OpenBigfile(m_summary.s_BigfilePath, &m_error);
    ASSERT_NE(source, nullptr) << m_error;
    std::vector<std::string> targets;
    for (uint32_t i = 0; i < source->ul_GetFileCount(); i += 7)
        if (source->FileEntry(i).ul_Key != 0)
            targets.push_back(HOST::KeyText(source->FileEntry(i).ul_Key));
    targets.push_back("0x7EADBEEF");

    std::vector<std::string> why = {"why", m_summary.s_BigfilePath};
    why.insert(why.end(), targets.begin(), targets.end());
    why.insert(why.end(), m_options.begin(), m_options.end());
    why.push_back("--json");
    const PLT::ProcessResult run = RunOrvex(why);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const Json answers = Json::parse(run.out);
    ASSERT_TRUE(answers.is_array());
    ASSERT_EQ(answers.size(), targets.size());

    std::map<std::string, int> rules;
    for (size_t t = 0; t < answers.size(); ++t) {
        const Json& a = answers[t];
        SCOPED_TRACE(a.dump());
        ASSERT_EQ(a["key"], targets[t]);
        ASSERT_EQ(std::vector<std::string>({"key", "output", "rule", "worlds", "chain"}).size(), a.size());
        uint32_t key = 0;
        ASSERT_TRUE(HOST::bParseKey(targets[t], &key));
        ++rules[a["rule"].get<std::string>()];
        for (const auto& [name, keys] : outputs)
            EXPECT_EQ(keys.count(key) != 0, a["output"] == name) << name;
        if (a["output"].is_null()) {
            EXPECT_TRUE(a["rule"] == "not needed" || a["rule"] == "gmbigfile" ||
                        a["rule"] == "rem criterion" || a["rule"] == "unplaced");
        }
        // The chain ends at the file; each step is in the referring file's
        // table, or the referring file is a bank whose registry adds it.
        const Json& chain = a["chain"];
        if (!chain.empty()) {
            EXPECT_EQ(chain.back()["key"], targets[t]);
            for (size_t s = 0; s + 1 < chain.size(); ++s) {
                uint32_t from = 0;
                uint32_t to = 0;
                ASSERT_TRUE(HOST::bParseKey(chain[s]["key"].get<std::string>(), &from));
                ASSERT_TRUE(HOST::bParseKey(chain[s + 1]["key"].get<std::string>(), &to));
                const std::vector<uint32_t> refs = RefTable(*source, from);
                const uint32_t index = source->ul_GetFileIndex(from, false);
                const uint32_t type = index == BIG_cl_Fat::kNoFile ? 0 : source->FileEntry(index).uc_Type;
                EXPECT_TRUE(std::find(refs.begin(), refs.end(), to) != refs.end() ||
                            (type >= 87 && type <= 89))
                    << chain[s]["key"] << " -> " << chain[s + 1]["key"];
                EXPECT_EQ(chain[s]["path"], source->GetFilePath(index));
            }
        } else {
            EXPECT_TRUE(a["output"].is_null() || a["rule"] != "world closure");
        }
        if (a["rule"] == "world closure") {
            ASSERT_FALSE(chain.empty());
            EXPECT_EQ(a["worlds"].size(), 1u);
            EXPECT_EQ(a["worlds"][0], a["output"]);
        }
    }
    source->File().eClose();
    // The sample reaches the common rules, the world rule and the rest.
    EXPECT_GT(rules["use count"], 0) << run.out;
    EXPECT_GT(rules["world closure"], 0);
    EXPECT_GT(rules["forced directory"] + rules["forced type"] + rules["built-in key"], 0);
    EXPECT_GT(rules["not needed"], 0);
    EXPECT_EQ(answers.back()["rule"], "not needed");
    EXPECT_TRUE(answers.back()["output"].is_null());

    // One key, as text and with its referrers.
    const PLT::ProcessResult text = RunOrvex({"why", m_summary.s_BigfilePath, answers[1]["key"],
                                              "--referrers", "--world", m_summary.worlds[0].s_Name});
    ASSERT_EQ(text.exitCode, 0) << text.err;
    EXPECT_NE(text.out.find("  output: "), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("  referred to by "), std::string::npos) << text.out;
}

// Refused before any work, with exit 2 and one plain line: a name or path
// that is not in the bigfile (with the near one it may misspell), and every
// split option that only shapes what a split writes, which `why` would
// otherwise take and silently ignore.
TEST_F(Why, RefusesUnknownNamesAndOptionsItWouldIgnore) {
    const HOST::GenWorld& world = m_summary.worlds[0];
    auto source = HOST::Tools::OpenBigfile(m_summary.s_BigfilePath, &m_error);
    ASSERT_NE(source, nullptr) << m_error;
    const std::string path = source->GetFilePath(source->ul_GetFileIndex(world.ul_Key, false));
    source->File().eClose();
    ASSERT_NE(path.find(world.s_Name + ".wor"), std::string::npos) << path;
    const std::string typedPath = path.substr(0, path.size() - 3) + "wro";

    struct Case {
        std::vector<std::string> args;  // after "why BIGFILE"
        std::string line;               // on standard error
        bool suggests;
    };
    std::vector<Case> cases = {
        {{"no_such_file.xyz"}, "no_such_file.xyz: no file of that name in ", false},
        {{world.s_Name + ".wr"},
         "no file of that name in " + m_summary.s_BigfilePath + "; did you mean " + world.s_Name + ".wor?",
         true},
        {{typedPath},
         typedPath + ": no file of that path in " + m_summary.s_BigfilePath + "; did you mean " + path + "?",
         true},
    };
    for (std::string_view name : HOST::kQueryIgnoredOptions) {
        const HOST::SplitOption* option = HOST::FindSplitOption(name.substr(2));
        ASSERT_NE(option, nullptr) << name << " is no split option";
        std::vector<std::string> args = {HOST::KeyText(world.ul_Key), std::string(name)};
        if (option->e_Value != HOST::SplitValue::Flag)
            args.push_back(option->e_Value == HOST::SplitValue::Number ? "1" : "x");
        cases.push_back({args, std::string(name) + " has no effect on why", false});
    }
    for (const Case& c : cases) {
        std::vector<std::string> args = {"why", m_summary.s_BigfilePath};
        args.insert(args.end(), c.args.begin(), c.args.end());
        SCOPED_TRACE(c.args.back());
        const PLT::ProcessResult r = RunOrvex(args);
        EXPECT_EQ(r.exitCode, 2) << r.err;
        EXPECT_NE(r.err.find(c.line), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("did you mean") != std::string::npos, c.suggests) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_TRUE(r.out.empty()) << r.out;
    }

    // Its help leaves them out; a settings file shared with split may hold them.
    const PLT::ProcessResult help = RunOrvex({"why", "--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.out.find("--gm-bigfile"), std::string::npos) << help.out;
    EXPECT_EQ(help.out.find("--reproducible"), std::string::npos) << help.out;
    const std::string config = (m_root / "split.toml").string();
    {
        std::ofstream file(config);
        file << "reproducible = true\ncompress = true\nsummary-json = \"" << (m_root / "s.json").string()
             << "\"\n";
    }
    const PLT::ProcessResult shared =
        RunOrvex({"why", m_summary.s_BigfilePath, HOST::KeyText(world.ul_Key), "--config", config});
    EXPECT_EQ(shared.exitCode, 0) << shared.err;
    EXPECT_NE(shared.out.find("  output: "), std::string::npos) << shared.out;
    EXPECT_FALSE(fs::exists(m_root / "s.json"));
}

}  // namespace
