// The AI load helper against a small module that writes "aiobjects.bin" while it loads.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "BIGfile/BIG_Endian.h"
#include "platform/File.h"
#include "plugin/OVI_LoadHelpers.h"
#include "platform/Process.h"

namespace {

namespace fs = std::filesystem;
using ORVEX::OVI_AILoadHelper;
using ORVEX::OVI_KeyMap;

std::string Bytes(const std::vector<uint32_t>& words, size_t extra = 0) {
    std::string out(words.size() * 4 + extra, '\x5A');
    for (size_t i = 0; i < words.size(); ++i)
        BIG::Endian::Put32(reinterpret_cast<uint8_t*>(out.data()) + i * 4, words[i]);
    return out;
}

void Write(const fs::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string Read(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Runs each test in a fresh working directory, where the module writes its list.
class AILoadHelperTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_old = PLT::CurrentDirectory();
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        m_dir = fs::temp_directory_path() /
                ("orvex_ai_" + std::string(info->name()) + "_" + std::to_string(PLT::CurrentProcessId()) +
                 "_" + std::to_string(std::rand()));
        fs::remove_all(m_dir);
        fs::create_directories(m_dir);
        ASSERT_TRUE(PLT::ChangeDirectory(m_dir.string()));
        ::unsetenv("ORVEX_TEST_AI_SOURCE");
    }
    void TearDown() override {
        ::unsetenv("ORVEX_TEST_AI_SOURCE");
        PLT::ChangeDirectory(m_old);
        std::error_code ec;
        fs::remove_all(m_dir, ec);
    }
    // The next load of the module writes `bytes` as its list.
    void ListToWrite(const std::string& bytes) {
        const fs::path source = m_dir / "source.bin";
        Write(source, bytes);
        ::setenv("ORVEX_TEST_AI_SOURCE", source.c_str(), 1);
    }
    int32_t Load(OVI_AILoadHelper& helper, std::string* out = nullptr) {
        ::testing::internal::CaptureStdout();
        const int32_t result = helper.LoadAIObjects(ORVEX_TEST_AI_LIB);
        const std::string lines = ::testing::internal::GetCapturedStdout();
        if (out != nullptr)
            *out = lines;
        return result;
    }

    std::string m_old;
    fs::path m_dir;
};

TEST_F(AILoadHelperTest, ListsGiveKeysWithMode2) {
    struct Case {
        const char* what;
        OVI_KeyMap before;
        std::string list;
        int32_t result;
        OVI_KeyMap after;
        const char* line;  // expected in the output, or null
    };
    const Case cases[] = {
        {"three whole records",
         {},
         Bytes({10, 0xDEAD, 20, 0, 30, 7}),
         0,
         {{10, 2}, {20, 2}, {30, 2}},
         nullptr},
        {"trailing partial record of 4 bytes",
         {},
         Bytes({10, 1, 20, 1, 30, 1, 40}),
         0,
         {{10, 2}, {20, 2}, {30, 2}},
         "partial record of 4 bytes"},
        {"trailing partial record of 7 bytes",
         {},
         Bytes({10, 1}, 7),
         0,
         {{10, 2}},
         "partial record of 7 bytes"},
        {"repeated key", {}, Bytes({10, 1, 20, 1, 10, 9}), -1, {{10, 2}, {20, 2}}, "already listed"},
        {"key already in the map keeps its mode",
         {{20, 0}},
         Bytes({10, 1, 20, 1}),
         -1,
         {{10, 2}, {20, 0}},
         nullptr},
        {"empty list", {}, std::string(), 0, {}, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        OVI_AILoadHelper helper;
        for (const auto& [key, mode] : c.before)
            helper.bInsertKey(key, mode);
        ListToWrite(c.list);
        std::string lines;
        EXPECT_EQ(Load(helper, &lines), c.result);
        EXPECT_EQ(helper.KeyMap(), c.after);
        if (c.line != nullptr) {
            EXPECT_NE(lines.find(c.line), std::string::npos) << lines;
        }
        // The list read is the one this load wrote.
        EXPECT_EQ(Read(m_dir / "aiobjects.bin"), c.list);
    }
}

TEST_F(AILoadHelperTest, OldListBecomesTheBackup) {
    Write(m_dir / "aiobjects.bin", "old list");
    Write(m_dir / "aiobjectsbackup.bin", "older backup");
    ListToWrite(Bytes({5, 0}));
    OVI_AILoadHelper helper;
    EXPECT_EQ(Load(helper), 0);
    EXPECT_EQ(Read(m_dir / "aiobjectsbackup.bin"), "old list");
    EXPECT_EQ(helper.KeyMap(), (OVI_KeyMap{{5, 2}}));
}

TEST_F(AILoadHelperTest, NoListAfterLoadingFails) {
    // An old list must not be taken for the module's answer.
    Write(m_dir / "aiobjects.bin", Bytes({99, 0}));
    OVI_AILoadHelper helper;
    std::string lines;
    EXPECT_EQ(Load(helper, &lines), -1);
    EXPECT_TRUE(helper.KeyMap().empty());
    EXPECT_FALSE(fs::exists(m_dir / "aiobjects.bin"));
    EXPECT_EQ(Read(m_dir / "aiobjectsbackup.bin"), Bytes({99, 0}));
    EXPECT_NE(lines.find("left no aiobjects.bin"), std::string::npos) << lines;
}

TEST_F(AILoadHelperTest, LibraryThatCannotBeLoadedFails) {
    Write(m_dir / "not_a_library.so", "this is not an ELF file");
    const std::string paths[] = {(m_dir / "missing.so").string(), (m_dir / "not_a_library.so").string()};
    for (const std::string& path : paths) {
        OVI_AILoadHelper helper;
        ::testing::internal::CaptureStdout();
        EXPECT_EQ(helper.LoadAIObjects(path), -1) << path;
        const std::string lines = ::testing::internal::GetCapturedStdout();
        EXPECT_NE(lines.find("Cannot load"), std::string::npos) << lines;
        EXPECT_TRUE(helper.KeyMap().empty());
    }
}

TEST_F(AILoadHelperTest, SecondLoadReadsTheNewList) {
    OVI_AILoadHelper helper;
    ListToWrite(Bytes({1, 0}));
    EXPECT_EQ(Load(helper), 0);
    ListToWrite(Bytes({2, 0}));
    EXPECT_EQ(Load(helper), 0);
    EXPECT_EQ(helper.KeyMap(), (OVI_KeyMap{{1, 2}, {2, 2}}));
    EXPECT_EQ(Read(m_dir / "aiobjectsbackup.bin"), Bytes({1, 0}));
}

}  // namespace
