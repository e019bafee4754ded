#include "platform/Tarn.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "tests/platform/TempDir.h"

namespace PLT::Tarn {
namespace {

TEST(TarnTest, ResolvesRemotePathsAndRefusesEscapes) {
    struct Case {
        const char* remote;
        const char* expected;  // nullptr: refused
    };
    const Case cases[] = {
        {"devkit:\\sub\\file.bf", "sub/file.bf"},
        {"DEVKIT:\\file.bf", "file.bf"},
        {"\\a\\.\\b\\\\c.bf1", "a/b/c.bf1"},
        {"a/b", "a/b"},
        {"/abs/path", "abs/path"},
        {"devkit:\\..\\outside.bf", nullptr},
        {"devkit:\\sub\\..\\..\\x", nullptr},
        {"sub/../x", nullptr},
        {"..", nullptr},
        {"devkit:\\c:\\windows", nullptr},
        {"devkit:devkit:\\x", nullptr},
        {"devkit:\\", nullptr},
        {"", nullptr},
        {"..hidden\\file", "..hidden/file"},
    };
    for (const Case& c : cases) {
        const auto resolved = ResolveRemotePath(c.remote);
        if (c.expected == nullptr) {
            EXPECT_FALSE(resolved.has_value()) << c.remote << " -> " << *resolved;
        } else {
            EXPECT_EQ(resolved.value_or("(refused)"), c.expected) << c.remote;
        }
    }
}

TEST(TarnTest, TargetsReadAndWriteFilesUnderTheirDirectory) {
    test::TempDir dir;
    const std::string first = dir / "first";
    const std::string second = dir / "second";
    NeighborhoodPtr hood(Neighborhood::Create(" one=" + first + "/ , broken, two=" + second + ",=x"));
    ASSERT_EQ(hood->TargetCount(), 2u);
    EXPECT_EQ(TargetPtr(hood->GetTarget("three")), nullptr);

    TargetPtr target(hood->GetDefaultTarget());
    ASSERT_NE(target, nullptr);
    EXPECT_EQ(target->Name(), "one");
    EXPECT_EQ(target->Directory(), first);
    EXPECT_EQ(target->OpenFile("devkit:\\seg\\big.bf"), nullptr);  // not there yet
    EXPECT_EQ(target->CreateFile("devkit:\\..\\escape.bf"), nullptr);
    EXPECT_FALSE(FileExists(dir / "escape.bf"));

    RemoteFilePtr created(target->CreateFile("devkit:\\seg\\big.bf"));
    ASSERT_NE(created, nullptr);
    EXPECT_EQ(created->LocalPath(), first + "/seg/big.bf");
    EXPECT_EQ(created->Write(0, "0123456789", 10), 10u);
    EXPECT_EQ(created->Write(20, "xy", 2), 2u);
    created.reset();
    hood.reset();  // files and targets outlive their neighbourhood

    RemoteFilePtr opened(target->OpenFile("seg/big.bf"));
    ASSERT_NE(opened, nullptr);
    char buffer[48] = {};
    EXPECT_EQ(opened->Read(2, buffer, 4), 4u);
    EXPECT_EQ(std::string(buffer, 4), "2345");
    EXPECT_EQ(opened->Read(18, buffer, 48), 4u);  // short at the end
    EXPECT_EQ(std::string(buffer, 4), std::string("\0\0xy", 4));
    EXPECT_EQ(opened->Read(100, buffer, 4), 0u);

    // Explicit release, as the container keeps them in arrays.
    RemoteFile* raw = opened.release();
    raw->Release();
    Target* two = nullptr;
    {
        NeighborhoodPtr again(Neighborhood::Create("one=" + first + ",two=" + second));
        two = again->GetTarget("two");
    }
    ASSERT_NE(two, nullptr);
    EXPECT_EQ(two->Directory(), second);
    EXPECT_EQ(two->OpenFile("big.bf"), nullptr);
    two->Release();
}

TEST(TarnTest, EnvironmentNamesTheTargets) {
    const char* saved = std::getenv("TARN_TARGETS");
    const std::optional<std::string> previous = saved ? std::optional<std::string>(saved) : std::nullopt;
    unsetenv("TARN_TARGETS");
    NeighborhoodPtr none(Neighborhood::Create());
    EXPECT_EQ(none->GetDefaultTarget(), nullptr);
    setenv("TARN_TARGETS", "kit=/srv/kit,pc=/srv/pc", 1);
    NeighborhoodPtr hood(Neighborhood::Create());
    TargetPtr target(hood->GetDefaultTarget());
    ASSERT_NE(target, nullptr);
    EXPECT_EQ(target->Name(), "kit");
    EXPECT_EQ(TargetPtr(hood->GetTarget("pc"))->Directory(), "/srv/pc");
    if (previous) {
        setenv("TARN_TARGETS", previous->c_str(), 1);
    } else {
        unsetenv("TARN_TARGETS");
    }
}

}  // namespace
}  // namespace PLT::Tarn
