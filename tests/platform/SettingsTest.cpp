#include "platform/Settings.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "platform/FaultInjection.h"
#include "platform/File.h"
#include "tests/platform/TempDir.h"

namespace PLT {
namespace {

const std::string kKey = "Software\\Marlin\\Marlin Production Platform";

// Adds one to the dword kKey/"Counter", `times` times, each in its own Update.
void Increment(const std::string& path, int times) {
    SettingsStore store(path);
    for (int i = 0; i < times; ++i) {
        ASSERT_TRUE(store.Update([](SettingsMap& map) {
            SettingValue& value = map[kKey]["Counter"];
            if (!std::holds_alternative<uint32_t>(value)) {
                value = uint32_t{0};
            }
            value = std::get<uint32_t>(value) + 1;
            return true;
        })) << ErrorText(LastError());
    }
}

class SettingsTest : public ::testing::Test {
protected:
    void TearDown() override { ClearFaults(); }
    test::TempDir m_dir;
};

// Run by TwoProcessesDrawDistinctCounts in child processes; skipped otherwise.
TEST(SettingsChild, Increment200) {
    const char* path = std::getenv("ORVEX_SETTINGS_CHILD");
    if (path == nullptr) {
        GTEST_SKIP() << "helper of SettingsTest.TwoProcessesDrawDistinctCounts";
    }
    Increment(path, 200);
}

TEST_F(SettingsTest, TwoProcessesDrawDistinctCounts) {
    const std::string path = m_dir / "sub/registry.ini";
    const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
    const std::string child = "ORVEX_SETTINGS_CHILD='" + path + "' '" + self +
                              "' --gtest_filter=SettingsChild.Increment200 >/dev/null 2>&1";
    const std::string command = "(" + child + ") & (" + child + ") & wait";
    ASSERT_EQ(std::system(command.c_str()), 0);
    EXPECT_EQ(SettingsStore(path).ReadDword(kKey, "Counter"), 400u);
}

TEST_F(SettingsTest, TwoThreadsWithTheirOwnStoresDrawDistinctCounts) {
    const std::string path = m_dir / "registry.ini";
    std::thread a([&] { Increment(path, 50); });
    std::thread b([&] { Increment(path, 50); });
    a.join();
    b.join();
    EXPECT_EQ(SettingsStore(path).ReadDword(kKey, "Counter"), 100u);
}

TEST_F(SettingsTest, ValuesRoundTripThroughTheFile) {
    const std::string path = m_dir / "deep/er/registry.ini";
    SettingsStore store(path);
    EXPECT_EQ(store.ReadDword(kKey, "UserId"), std::nullopt);  // no folder, no file yet
    ASSERT_TRUE(store.WriteDword(kKey, "UserId", 42));
    ASSERT_TRUE(store.WriteDword(kKey, "Max", 0xFFFFFFFFu));
    const std::string awkward = "C:\\p4\\\"quoted\" ; [x]\nline2\\n";
    ASSERT_TRUE(store.WriteString(kKey, "P4Client", awkward));
    ASSERT_TRUE(store.WriteString("Other", "Name \"q\"", ""));

    EXPECT_EQ(store.ReadDword(kKey, "UserId"), 42u);
    EXPECT_EQ(store.ReadDword(kKey, "Max"), 0xFFFFFFFFu);
    EXPECT_EQ(store.ReadString(kKey, "P4Client"), awkward);
    EXPECT_EQ(store.ReadString("Other", "Name \"q\""), "");
    EXPECT_EQ(store.ReadString(kKey, "UserId"), std::nullopt);  // wrong type
    EXPECT_EQ(store.ReadDword("Software\\Marlin", "UserId"), std::nullopt);

    const std::string text = test::ReadText(path);
    EXPECT_NE(text.find("[Software\\Marlin\\Marlin Production Platform]\n"), std::string::npos);
    EXPECT_NE(text.find("\"UserId\"=dword:0000002a\n"), std::string::npos);
    EXPECT_NE(text.find("\"P4Client\"=\"C:\\\\p4\\\\\\\"quoted\\\" ; [x]\\nline2\\\\n\"\n"),
              std::string::npos);

    // A declined edit writes nothing; a line end in a name is refused.
    const std::string before = test::ReadText(path);
    EXPECT_TRUE(store.Update([](SettingsMap& map) {
        map.clear();
        return false;
    }));
    EXPECT_FALSE(store.WriteDword(kKey, "bad\nname", 1));
    EXPECT_EQ(LastError(), EINVAL);
    EXPECT_EQ(test::ReadText(path), before);

    // A failed write keeps the old file.
    InjectFault(FaultOp::eRename, 1);
    EXPECT_FALSE(store.WriteDword(kKey, "UserId", 7));
    EXPECT_EQ(store.ReadDword(kKey, "UserId"), 42u);
}

TEST_F(SettingsTest, MalformedLinesAreSkipped) {
    const std::string text =
        "Windows Registry Editor Version 5.00\n"
        "\"Orphan\"=dword:00000001\n"
        "; comment\n"
        "[Good]\r\n"
        "\"A\"=dword:0000000A\r\n"
        "\"B\"=dword:123456789\n"  // too many digits
        "\"C\"=dword:\n"           // no digits
        "\"D\"=dword:12g4\n"       // not hex
        "\"E\"=\"unterminated\n"
        "\"F\"=\"text\" trailing\n"
        "\"G\" \"no equals\"\n"
        "H=dword:00000001\n"  // unquoted name
        "\"I\"=\"ends in backslash\\\n"
        "  \"J\" = \"spaced\"  \n"
        "\"K\"=hex:01,02\n"
        "[Broken\n"
        "\"L\"=dword:00000001\n"  // under a broken header: dropped, not put in [Good]
        "[]\n"
        "\"M\"=dword:00000001\n"
        "[Second]\n"
        "\"N\"=\"\\\\ok\\\"\"";  // last line without its end
    const SettingsMap map = SettingsStore::Parse(text);
    const SettingsMap expected = {
        {"Good", {{"A", SettingValue(uint32_t{10})}, {"J", SettingValue(std::string("spaced"))}}},
        {"Second", {{"N", SettingValue(std::string("\\ok\""))}}},
    };
    EXPECT_EQ(map, expected);
    EXPECT_EQ(SettingsStore::Parse(SettingsStore::Format(map)), map);

    // Binary garbage is tolerated too, and an Update rewrites the file cleanly.
    std::string garbage = text;
    for (size_t i = 0; i < garbage.size(); i += 7) {
        garbage[i] = static_cast<char>(garbage[i] ^ 0x5A);
    }
    garbage += std::string("\0\0[\xff]\n\"x\"=dword:1\n", 19);
    const std::string path = m_dir / "registry.ini";
    test::WriteText(path, garbage);
    SettingsStore store(path);
    SettingsMap all;
    EXPECT_TRUE(store.ReadAll(&all));
    ASSERT_TRUE(store.WriteDword("Good", "Z", 5));
    EXPECT_EQ(store.ReadDword("Good", "Z"), 5u);
    EXPECT_EQ(SettingsStore::Parse(test::ReadText(path)),
              SettingsStore::Parse(SettingsStore::Format(SettingsStore::Parse(test::ReadText(path)))));
}

TEST_F(SettingsTest, DefaultPathFollowsTheEnvironment) {
    struct Case {
        const char* registry;
        const char* xdg;
        const char* home;
        const char* expected;
    };
    const Case cases[] = {
        {"/r/reg.ini", "/x", "/h", "/r/reg.ini"},
        {nullptr, "/x", "/h", "/x/marlin/registry.ini"},
        {"", "/x", "/h", "/x/marlin/registry.ini"},
        {nullptr, nullptr, "/h", "/h/.config/marlin/registry.ini"},
        {nullptr, "relative", "/h", "/h/.config/marlin/registry.ini"},
    };
    const auto save = [](const char* name) {
        const char* value = std::getenv(name);
        return value ? std::optional<std::string>(value) : std::nullopt;
    };
    const auto put = [](const char* name, const std::optional<std::string>& value) {
        if (value) {
            setenv(name, value->c_str(), 1);
        } else {
            unsetenv(name);
        }
    };
    const auto registry = save("MARLIN_REGISTRY");
    const auto xdg = save("XDG_CONFIG_HOME");
    const auto home = save("HOME");
    for (const Case& c : cases) {
        put("MARLIN_REGISTRY", c.registry ? std::optional<std::string>(c.registry) : std::nullopt);
        put("XDG_CONFIG_HOME", c.xdg ? std::optional<std::string>(c.xdg) : std::nullopt);
        put("HOME", c.home ? std::optional<std::string>(c.home) : std::nullopt);
        EXPECT_EQ(SettingsStore::DefaultPath(), c.expected);
    }
    put("MARLIN_REGISTRY", registry);
    put("XDG_CONFIG_HOME", xdg);
    put("HOME", home);
}

}  // namespace
}  // namespace PLT
