// The bank parsers fed by the asynchronous table: bank files stored in a small
// bigfile made with the table's own writer are loaded for parsing and resolved.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "BIGfile/AsynchronousIO/BIG_AsynchronousFat.h"
#include "BIGfile/AsynchronousIO/BIG_AsynchronousIOManager.h"
#include "BIGfile/BIG_Endian.h"
#include "ERRor/ERR_Assert.h"
#include "plugin/OVI_BankRegistry.h"
#include "platform/Process.h"

namespace {

using Counts = std::map<uint32_t, uint32_t>;

// Stored content: reference count, keys, payload bytes.
std::string Content(const std::vector<uint32_t>& keys, const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> out;
    BIG::Endian::ByteAppender append(&out);
    append.U32(static_cast<uint32_t>(keys.size()));
    for (uint32_t k : keys)
        append.U32(k);
    append.Bytes(payload.data(), payload.size());
    return std::string(out.begin(), out.end());
}

class BankFatTest : public ::testing::Test {
protected:
    struct Stored {
        const char* name;
        uint32_t key;
        std::string content;
    };

    void SetUp() override {
        ERR_SetInteractive(false);
        m_dir = std::filesystem::temp_directory_path() /
                ("orvex-bankfat-" + std::to_string(reinterpret_cast<uintptr_t>(this)) + "-" +
                 std::to_string(PLT::CurrentProcessId()) + "-" + std::to_string(std::rand()));
        std::filesystem::create_directories(m_dir);
        const std::string path = (m_dir / "banks.bf").string();
        const Stored files[] = {
            // Bank 0x201, id 4: element 1 names 0x901 and refers to element 2; element 2 names 0x902.
            {"a.dbk", 0x201, Content({0x901, 0x902}, {4, 2, 1, 0x00, 1, 0, 4, 2, 2, 0x00, 0, 0})},
            {"a.dbl", 0x301, Content({0x201, 0x299}, {2})},
            {"a.dbr", 0x401, Content({}, {1, 0, 4, 2})},
            // Claims 1000 reference keys in 9 bytes: the table refuses it as corrupted.
            {"bad.dbk", 0x202, std::string("\xE8\x03\x00\x00", 4) + "short"},
        };
        {
            BIG_cl_Fat writer;
            ASSERT_EQ(writer.File().eCreate(path, false, 0xC0000000, true), BIG::eFile_Ok);
            ASSERT_TRUE(writer.Create(64, 8, 0, 1));
            for (const Stored& s : files) {
                const uint32_t index = writer.ul_CreateFile(s.name, 1000, 0, s.key);
                ASSERT_NE(index, BIG_cl_Fat::kNoFile);
                writer.SaveFile(index, s.content.data(), static_cast<uint32_t>(s.content.size()));
            }
            writer.File().eFlush();
            writer.File().eClose();
        }
        m_manager = std::make_unique<BIG_cl_AsynchronousIOManager>();
        m_fat = std::make_unique<BIG_cl_AsynchronousFat>(m_manager.get());
        ASSERT_EQ(m_fat->File().eOpen(path, true, true, true), BIG::eFile_Ok);
        ASSERT_TRUE(m_fat->ReadFat(true));
    }

    void TearDown() override {
        if (m_fat)
            m_fat->File().eClose();
        m_fat.reset();
        m_manager.reset();
        std::filesystem::remove_all(m_dir);
    }

    uint32_t Index(uint32_t key) { return m_fat->ul_GetFileIndex(key, false); }

    std::filesystem::path m_dir;
    std::unique_ptr<BIG_cl_AsynchronousIOManager> m_manager;
    std::unique_ptr<BIG_cl_AsynchronousFat> m_fat;
    ORVEX::BankRegistry m_registry;
};

TEST_F(BankFatTest, FilesLoadedForParsingResolve) {
    EXPECT_EQ(m_registry.ParseDynamicBankFromFat(0x201, Index(0x201), m_fat.get()), 0);
    EXPECT_EQ(m_registry.ParseDynamicBankListFromFat(0x301, Index(0x301), m_fat.get()), 0);
    EXPECT_EQ(m_registry.ParseElementReferenceListFromFat(0x401, Index(0x401), m_fat.get()), 0);
    // Registered keys are refused before any read.
    EXPECT_EQ(m_registry.ParseDynamicBankFromFat(0x201, Index(0x201), m_fat.get()), -1);
    EXPECT_EQ(m_registry.ParseDynamicBankListFromFat(0x301, Index(0x301), m_fat.get()), -1);
    EXPECT_EQ(m_registry.ParseElementReferenceListFromFat(0x401, Index(0x401), m_fat.get()), -1);

    ASSERT_EQ(m_registry.Banks().count(0x201), 1u);
    EXPECT_EQ(m_registry.Banks().at(0x201)->uc_BankId, 4);
    EXPECT_EQ(m_registry.Banks().at(0x201)->m_Elements.size(), 2u);

    testing::internal::CaptureStdout();
    EXPECT_EQ(m_registry.ResolveAll(), 0);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("_eResolveBankList: Unable to find a Resource: 665"), std::string::npos) << out;
    EXPECT_EQ(m_registry.Banks().at(0x201)->m_RefCounts, (Counts{{0x901, 1}, {0x902, 2}}));
    EXPECT_EQ(m_registry.FindDynamicBankList(0x301)->m_RefCounts, (Counts{{0x901, 1}, {0x902, 1}}));
    EXPECT_EQ(m_registry.FindElementReferenceList(0x401)->m_RefCounts, (Counts{{0x902, 1}}));
}

TEST_F(BankFatTest, UnreadableFileIsRegisteredEmpty) {
    EXPECT_EQ(m_registry.ParseDynamicBankFromFat(0x202, Index(0x202), m_fat.get()), 0);
    EXPECT_EQ(m_registry.ParseDynamicBankFromFat(0x203, 0xFFFFFFFF, m_fat.get()), 0);  // no such index
    EXPECT_TRUE(m_registry.Banks().at(0x202)->m_Elements.empty());
    EXPECT_TRUE(m_registry.Banks().at(0x203)->m_Elements.empty());
}

}  // namespace
