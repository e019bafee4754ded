// The asynchronous table: length and content reads of files, whole-file data
// split into reference table and data part, synchronous reads, copy selection
// and the corrupt-range and too-big refusals, over a bigfile made with the
// table's own writer.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "BIGfile/AsynchronousIO/BIG_AsynchronousFat.h"
#include "BIGfile/AsynchronousIO/BIG_AsynchronousIOManager.h"
#include "BIGfile/BIG_DuplicatedFilesManager.h"
#include "BIGfile/BIG_Endian.h"
#include "BIGfile/BIG_FBuff.h"
#include "BIGfile/BIG_Init.h"
#include "ERRor/ERR_Assert.h"
#include "ERRor/ERR_Log.h"
#include "platform/Clock.h"
#include "platform/Process.h"
#include "tests/support/LogCapture.h"

namespace {

using AsyncFatLog = test_support::LogCapture;

// Content in the stored form: reference count, keys, payload.
std::string WithRefs(const std::vector<uint32_t>& keys, const std::string& payload) {
    std::string out(4 + 4 * keys.size(), '\0');
    BIG::Endian::Put32(reinterpret_cast<uint8_t*>(out.data()), static_cast<uint32_t>(keys.size()));
    for (size_t i = 0; i < keys.size(); ++i)
        BIG::Endian::Put32(reinterpret_cast<uint8_t*>(out.data()) + 4 + 4 * i, keys[i]);
    return out + payload;
}

struct FileSample {
    const char* name;
    uint32_t key;
    std::string content;
};

std::string Payload(size_t size, char seed) {
    std::string s(size, '\0');
    for (size_t i = 0; i < size; ++i)
        s[i] = static_cast<char>(seed + i * 7 + (i >> 8));
    return s;
}

class AsyncFatTest : public ::testing::Test {
protected:
    void SetUp() override {
        ERR_SetInteractive(false);
        m_dir = std::filesystem::temp_directory_path() /
                ("orvex-asyncfat-" + std::to_string(reinterpret_cast<uintptr_t>(this)) + "-" +
                 std::to_string(PLT::CurrentProcessId()) + "-" + std::to_string(std::rand()));
        std::filesystem::create_directories(m_dir);
        m_path = (m_dir / "test.bf").string();
        m_samples = {
            {"small.ini", 0x101, WithRefs({0x102, 0x103}, "hello")},
            {"big.bin", 0x102, WithRefs({}, Payload(300000, 'a'))},
            {"norefs.txt", 0x103, WithRefs({}, "")},
            {"liar.bin", 0x104, std::string("\xE8\x03\x00\x00", 4) + "short"},  // claims 1000 keys
            {"last.bin", 0x105, WithRefs({0x101}, Payload(5000, 'z'))},
        };
        {
            BIG_cl_Fat writer;
            ASSERT_EQ(writer.File().eCreate(m_path, false, 0xC0000000, true), BIG::eFile_Ok);
            ASSERT_TRUE(writer.Create(64, 8, 0, 1));
            for (const FileSample& s : m_samples) {
                const uint32_t index = writer.ul_CreateFile(s.name, 1000, 0, s.key);
                ASSERT_NE(index, BIG_cl_Fat::kNoFile);
                writer.SaveFile(index, s.content.data(), static_cast<uint32_t>(s.content.size()));
            }
            writer.File().eFlush();
            writer.File().eClose();
        }
        m_manager = std::make_unique<BIG_cl_AsynchronousIOManager>();
        m_fat = std::make_unique<BIG_cl_AsynchronousFat>(m_manager.get());
        ASSERT_EQ(m_fat->File().eOpen(m_path, true, true, true), BIG::eFile_Ok);
        ASSERT_TRUE(m_fat->ReadFat(true));
        m_callback = m_manager->i_RegisterCallback([this](BIG::FBuff* data, bool failed, uint32_t user) {
            m_users.push_back(user);
            m_failed.push_back(failed);
            m_bytes.emplace_back();
            if (data != nullptr) {
                m_bytes.back().assign(reinterpret_cast<const char*>(data->pc_GetData()), data->ul_GetSize());
                data->Release();
            }
            m_syncSeen.push_back(m_fat->bIsSyncReading());
        });
    }

    void TearDown() override {
        m_fat->File().eClose();
        m_fat.reset();
        m_manager.reset();
        std::filesystem::remove_all(m_dir);
    }

    uint32_t Index(uint32_t key) { return m_fat->ul_GetFileIndex(key, false); }

    void PumpUntil(size_t count) {
        for (int i = 0; i < 20000 && m_users.size() < count; ++i) {
            m_manager->TreatFinishedReads();
            if (m_users.size() < count)
                m_manager->WaitForReadEnd(2);
        }
        ASSERT_EQ(m_users.size(), count);
    }

    std::filesystem::path m_dir;
    std::string m_path;
    std::vector<FileSample> m_samples;
    std::unique_ptr<BIG_cl_AsynchronousIOManager> m_manager;
    std::unique_ptr<BIG_cl_AsynchronousFat> m_fat;
    int m_callback = -1;
    std::vector<uint32_t> m_users;
    std::vector<bool> m_failed;
    std::vector<std::string> m_bytes;
    std::vector<bool> m_syncSeen;
};

TEST_F(AsyncFatTest, LengthThenContentReadsLikeTheLoadManager) {
    const uint32_t cb = static_cast<uint32_t>(m_callback);
    for (size_t i = 0; i < m_samples.size(); ++i)
        ASSERT_TRUE(m_fat->bStartLengthRead(Index(m_samples[i].key), static_cast<uint32_t>(i), cb, 2, true));
    PumpUntil(m_samples.size());
    for (size_t n = 0; n < m_users.size(); ++n) {
        const FileSample& s = m_samples[m_users[n]];
        ASSERT_EQ(m_bytes[n].size(), 4u);
        EXPECT_EQ(BIG::Endian::Get32(reinterpret_cast<const uint8_t*>(m_bytes[n].data())), s.content.size())
            << s.name;
    }
    for (size_t i = 0; i < m_samples.size(); ++i)
        ASSERT_TRUE(m_fat->bStartContentRead(Index(m_samples[i].key),
                                             static_cast<uint32_t>(m_samples[i].content.size()),
                                             static_cast<uint32_t>(100 + i), cb, 1 + i % 6, false));
    PumpUntil(2 * m_samples.size());
    for (size_t n = m_samples.size(); n < m_users.size(); ++n) {
        const FileSample& s = m_samples[m_users[n] - 100];
        ASSERT_FALSE(m_failed[n]);
        EXPECT_EQ(m_bytes[n].substr(4), s.content) << s.name;
        EXPECT_FALSE(m_syncSeen[n]);
    }
}

TEST_F(AsyncFatTest, RefusesEmptyTooBigAndCorruptRanges) {
    AsyncFatLog log;
    const uint32_t cb = static_cast<uint32_t>(m_callback);
    EXPECT_FALSE(m_fat->bStartContentRead(Index(0x101), 0, 1, cb, 1, false));
    EXPECT_FALSE(m_fat->bStartContentRead(Index(0x101), 10485761, 1, cb, 1, false));
    EXPECT_TRUE(
        log.bContains("Error while reading the file small.ini! (Key: 00000101). The file is too big (size: "
                      "10485761)!"));
    EXPECT_EQ(m_manager->ul_GetRequestCount(), 0u);
    // The last file claims far more bytes than the bigfile holds after it.
    EXPECT_FALSE(m_fat->bStartContentRead(Index(0x105), 10485760, 1, cb, 1, false));
    EXPECT_TRUE(log.bContains("Error while reading the file " + m_fat->GetFileName(Index(0x105)) +
                              "! (Key: 00000105). The big file is CORRUPTED!"));
    EXPECT_EQ(m_manager->ul_GetRequestCount(), 0u);
    EXPECT_FALSE(m_fat->bStartLengthRead(0xFFFFFFF0, 1, cb, 1, false));
}

TEST_F(AsyncFatTest, FileDataSplitsTheReferenceTable) {
    AsyncFatLog log;
    BIG_st_FileData data;
    ASSERT_TRUE(m_fat->bGetFileData(Index(0x101), &data));
    ASSERT_NE(data.po_Buffer, nullptr);
    EXPECT_EQ(data.ul_RefCount, 2u);
    EXPECT_EQ(BIG::Endian::Get32(data.pu8_RefTable), 2u);
    EXPECT_EQ(BIG::Endian::Get32(data.pu8_RefTable + 4), 0x102u);
    EXPECT_EQ(BIG::Endian::Get32(data.pu8_RefTable + 8), 0x103u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(data.pu8_Data), data.ul_DataSize), "hello");
    data.po_Buffer->Release();

    ASSERT_TRUE(m_fat->bGetFileData(Index(0x102), &data));
    EXPECT_EQ(data.ul_RefCount, 0u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(data.pu8_Data), data.ul_DataSize),
              Payload(300000, 'a'));
    data.po_Buffer->Release();

    ASSERT_TRUE(m_fat->bGetFileData(Index(0x103), &data));
    EXPECT_EQ(data.ul_DataSize, 0u);
    data.po_Buffer->Release();

    EXPECT_FALSE(m_fat->bGetFileData(Index(0x104), &data));
    EXPECT_EQ(data.po_Buffer, nullptr);
    EXPECT_TRUE(log.bContains("'" + m_fat->GetFileName(Index(0x104)) + "' : File is corrupted"));
}

TEST_F(AsyncFatTest, FileDataComesFromReadBuffersWithoutANewRead) {
    const uint32_t index = Index(0x105);
    const uint32_t size = static_cast<uint32_t>(m_samples[4].content.size());
    ASSERT_TRUE(m_fat->bStartContentRead(index, size, 1, static_cast<uint32_t>(m_callback), 3, false));
    PumpUntil(1);
    const uint32_t reads = m_manager->ul_GetReadCount();
    BIG_st_FileData data;
    ASSERT_TRUE(m_fat->bGetFileData(index, &data));
    EXPECT_EQ(m_manager->ul_GetReadCount(), reads);
    EXPECT_EQ(data.ul_RefCount, 1u);
    EXPECT_EQ(data.ul_DataSize, 5000u);
    data.po_Buffer->Release();
}

TEST_F(AsyncFatTest, SyncReadWaitsAndFlagsOtherCompletions) {
    m_manager->PauseReading();
    // Queued behind the pause; delivered while the synchronous read pumps.
    ASSERT_TRUE(m_fat->bStartLengthRead(Index(0x102), 7, static_cast<uint32_t>(m_callback), 4, true));
    const BIG_POS at = m_fat->oGetFileOffset(Index(0x101));
    BIG::FBuff* head = m_fat->po_SyncRead(at.ul_GetValue(), 8, Index(0x101), BIG::kMainBigfile);
    ASSERT_NE(head, nullptr);
    EXPECT_EQ(BIG::Endian::Get32(head->pc_GetData()), m_samples[0].content.size());
    EXPECT_EQ(BIG::Endian::Get32(head->pc_GetData() + 4), 2u);
    head->Release();
    EXPECT_TRUE(m_manager->bIsPaused()) << "the pause is given back";
    EXPECT_FALSE(m_fat->bIsSyncReading());
    for (size_t n = 0; n < m_users.size(); ++n)
        EXPECT_TRUE(m_syncSeen[n]) << "completions during a synchronous read see the flag";
    m_manager->ResumeReading();
    PumpUntil(1);
}

TEST(AsyncDupSelect, ClosestToTheLastReadFirstOfEqualsFirstWhenBeforeData) {
    struct Case {
        const char* name;
        uint64_t lastRead;
        uint32_t expected;
    };
    BIG_st_CopyList copies;
    copies.count = 4;
    copies.positions[0] = 100;  // byte 1000 + 800
    copies.positions[1] = 0xFFFFFFFF;
    copies.positions[2] = 20;  // byte 1160
    copies.positions[3] = 60;  // byte 1480
    const uint64_t dataStart = 1000;
    const Case cases[] = {
        {"nearest is the third copy", 1000 + 8 * 55, 60},
        {"equal distances keep the first", 1000 + 8 * 80, 100},
        {"before everything but past the data start", 1000, 20},
        {"last read before the data start", 999, 100},
        {"far past the end", 1u << 30, 100},
    };
    DupFileSelectPolicy_ClosestToAsynchIO policy;
    for (const Case& c : cases)
        EXPECT_EQ(policy.ul_Select(copies, dataStart, c.lastRead), c.expected) << c.name;
    BIG_st_CopyList none;
    none.count = 1;
    none.positions[0] = 0xFFFFFFFF;
    EXPECT_EQ(policy.ul_Select(none, dataStart, 5000), 0xFFFFFFFFu);
}

}  // namespace

namespace {

TEST(AsyncFatStartup, LibraryStartMakesTheManagerAndTheAsynchronousGlobalTable) {
    ERR_SetInteractive(false);
    const std::string registry = (std::filesystem::temp_directory_path() /
                                  ("orvex-asyncfat-registry-" + std::to_string(PLT::CurrentProcessId()) +
                                   "-" + std::to_string(std::rand()) + ".ini"))
                                     .string();
    setenv("MARLIN_REGISTRY", registry.c_str(), 1);
    ASSERT_TRUE(BIG_InitLibrary());
    BIG_cl_AsynchronousIOManager* manager = BIG_cl_AsynchronousIOManager::po_GetInstance();
    BIG_cl_AsynchronousFat* fat = BIG_cl_AsynchronousFat::po_GetInstance();
    ASSERT_NE(manager, nullptr);
    ASSERT_NE(fat, nullptr);
    EXPECT_EQ(static_cast<BIG_cl_Fat*>(fat), BIG_pst_GetGlobalFat());
    EXPECT_EQ(fat->po_GetManager(), manager);
    EXPECT_EQ(manager->po_GetBigfile(BIG::kMainBigfile), &fat->File());
    BIG_CloseLibrary();
    EXPECT_EQ(BIG_cl_AsynchronousIOManager::po_GetInstance(), nullptr);
    EXPECT_EQ(BIG_cl_AsynchronousFat::po_GetInstance(), nullptr);
    unsetenv("MARLIN_REGISTRY");
    std::filesystem::remove(registry);
}

}  // namespace

namespace {

// Every content that passes the size check loads, whatever the aligned read around it
// adds: sizes at the limit, at several places of the read blocks.
TEST(AsyncFatLimit, ContentsUpToTheSizeLimitLoadWhole) {
    ERR_SetInteractive(false);
    AsyncFatLog log;
    const std::filesystem::path dir = std::filesystem::temp_directory_path() /
                                      ("orvex-asyncfat-limit-" + std::to_string(PLT::CurrentProcessId()) +
                                       "-" + std::to_string(std::rand()));
    std::filesystem::create_directories(dir);
    const std::string path = (dir / "limit.bf").string();
    struct Case {
        const char* name;
        uint32_t key;
        uint32_t size;
    };
    const Case cases[] = {
        {"pad.bin", 0x200, 70000},  // shifts the next content off a block boundary
        {"under.bin", 0x201, 10485000},      {"limit.bin", 0x202, 10485760},
        {"limitless4.bin", 0x203, 10485756}, {"odd.bin", 0x204, 10485759},
    };
    {
        BIG_cl_Fat writer;
        ASSERT_EQ(writer.File().eCreate(path, false, 0xC0000000, true), BIG::eFile_Ok);
        ASSERT_TRUE(writer.Create(16, 4, 0, 1));
        for (const Case& c : cases) {
            const uint32_t index = writer.ul_CreateFile(c.name, 1000, 0, c.key);
            ASSERT_NE(index, BIG_cl_Fat::kNoFile);
            const std::string content = WithRefs({}, Payload(c.size - 4, static_cast<char>(c.key)));
            writer.SaveFile(index, content.data(), static_cast<uint32_t>(content.size()));
        }
        writer.File().eFlush();
        writer.File().eClose();
    }
    {
        auto manager = std::make_unique<BIG_cl_AsynchronousIOManager>();
        auto fat = std::make_unique<BIG_cl_AsynchronousFat>(manager.get());
        ASSERT_EQ(fat->File().eOpen(path, true, true, true), BIG::eFile_Ok);
        ASSERT_TRUE(fat->ReadFat(true));
        std::vector<std::string> delivered;
        const int callback = manager->i_RegisterCallback([&](BIG::FBuff* data, bool failed, uint32_t) {
            delivered.emplace_back(
                failed || data == nullptr
                    ? std::string()
                    : std::string(reinterpret_cast<const char*>(data->pc_GetData()), data->ul_GetSize()));
            if (data != nullptr)
                data->Release();
        });
        for (const Case& c : cases) {
            SCOPED_TRACE(c.name);
            const uint32_t index = fat->ul_GetFileIndex(c.key, false);
            const std::string payload = Payload(c.size - 4, static_cast<char>(c.key));
            BIG_st_FileData data;
            ASSERT_TRUE(fat->bGetFileData(index, &data));
            EXPECT_EQ(data.ul_DataSize, c.size - 4);
            EXPECT_TRUE(std::string(reinterpret_cast<const char*>(data.pu8_Data), data.ul_DataSize) ==
                        payload);
            data.po_Buffer->Release();

            delivered.clear();
            ASSERT_TRUE(fat->bStartContentRead(index, c.size, 1, static_cast<uint32_t>(callback), 2, false));
            for (int i = 0; i < 20000 && delivered.empty(); ++i) {
                manager->TreatFinishedReads();
                if (delivered.empty())
                    manager->WaitForReadEnd(2);
            }
            ASSERT_EQ(delivered.size(), 1u);
            EXPECT_EQ(delivered[0].size(), size_t{c.size} + 4);
            EXPECT_TRUE(delivered[0].size() > 8 && delivered[0].compare(8, std::string::npos, payload) == 0);
        }
        EXPECT_FALSE(log.bContains("eAlignOffsets failed!"));
        EXPECT_FALSE(log.bContains("Failure isn't actually handled"));
        fat->File().eClose();
    }
    std::filesystem::remove_all(dir);
}

}  // namespace
