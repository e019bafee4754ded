// orvex refs: indexing statistics, a key's references both ways, the IDX file
// left beside the bigfile and trusted by the next run.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "BIGfile/BIG_Endian.h"
#include "BIGfile/BIG_Fat.h"
#include "platform/Process.h"
#include "tests/support/TempFolder.h"

namespace {

std::string WithRefs(const std::vector<uint32_t>& keys) {
    std::string out(4 + 4 * keys.size(), '\0');
    auto* bytes = reinterpret_cast<uint8_t*>(out.data());
    BIG::Endian::Put32(bytes, static_cast<uint32_t>(keys.size()));
    for (size_t i = 0; i < keys.size(); ++i)
        BIG::Endian::Put32(bytes + 4 + 4 * i, keys[i]);
    return out + "payload";
}

PLT::ProcessResult Refs(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {ORVEX_EXE, "refs"};
    argv.insert(argv.end(), args.begin(), args.end());
    PLT::ProcessResult result;
    EXPECT_TRUE(PLT::RunProcess(argv, {"MARLIN_DEBUG_OUTPUT"}, &result));
    return result;
}

TEST(OrvexRefs, IndexesShowsAKeyBothWaysAndLeavesAnIdxThatTheNextRunTrusts) {
    test_support::TempFolder temp;
    const std::string path = temp.File("world.big");
    {
        BIG_cl_Fat fat;
        ASSERT_EQ(fat.File().eCreate(path, false, 0xC0000000, true), BIG::eFile_Ok);
        ASSERT_TRUE(fat.Create(16, 4, 0, 1));
        const struct {
            const char* name;
            uint32_t key;
            std::vector<uint32_t> refs;
        } files[] = {
            {"a.ini", 0xA0, {0xB0, 0xC0, 0xB0}},
            {"b.ini", 0xB0, {0xC0}},
            {"c.ini", 0xC0, {}},
        };
        for (const auto& f : files) {
            const uint32_t index = fat.ul_CreateFile(f.name, 1000, 0, f.key);
            ASSERT_NE(index, BIG_cl_Fat::kNoFile);
            const std::string content = WithRefs(f.refs);
            fat.SaveFile(index, content.data(), static_cast<uint32_t>(content.size()));
        }
        fat.File().eFlush();
        fat.File().eClose();
    }
    PLT::ProcessResult first = Refs({path, "0xB0"});
    ASSERT_EQ(first.exitCode, 0) << first.err;
    EXPECT_NE(first.out.find("indexation:       complete"), std::string::npos) << first.out;
    EXPECT_NE(first.out.find("files read:       3\n"), std::string::npos) << first.out;
    EXPECT_NE(first.out.find("refers to (1):\n  000000C0  //c.ini\n"), std::string::npos) << first.out;
    EXPECT_NE(first.out.find("referred to by (1):\n  000000A0  //a.ini  x2\n"), std::string::npos)
        << first.out;
    ASSERT_TRUE(std::filesystem::exists(temp.File("world.idx")));

    PLT::ProcessResult second = Refs({path});
    ASSERT_EQ(second.exitCode, 0) << second.err;
    EXPECT_NE(second.out.find("files read:       0 (the IDX file matched the bigfile)"), std::string::npos)
        << second.out;

    EXPECT_EQ(Refs({path, "xyz"}).exitCode, 4);
    EXPECT_EQ(Refs({temp.File("missing.big")}).exitCode, 4);

    // On a terminal the indexation is a status line, cleared before the
    // report so that the two never share a line.
    std::filesystem::remove(temp.File("world.idx"));
    PLT::ProcessResult terminal;
    ASSERT_TRUE(
        PLT::RunProcess({"script", "-qec", std::string(ORVEX_EXE) + " refs '" + path + "'", "/dev/null"},
                        {"MARLIN_DEBUG_OUTPUT"}, &terminal));
    ASSERT_EQ(terminal.exitCode, 0) << terminal.out;
    EXPECT_NE(terminal.out.find("\rIndexation complete.\x1b[K\r\x1b[Kbigfile:"), std::string::npos)
        << terminal.out;
}

}  // namespace
