// File keys drawn from the per-user settings store, and the header writer's
// companions: the client-name stream, the settings values and the version XML.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "BIGfile/BIG_Fat.h"
#include "fat_test_support.h"
#include "platform/Settings.h"
#include "platform/Xattr.h"

namespace {

using namespace fat_test;

constexpr const char* kKeyPath = "Software\\Marlin\\Marlin Production Platform\\Key";

// Points the settings store at a file of the test's own and forgets the key.
class FatKeys : public ::testing::Test {
protected:
    void SetUp() override {
        const char* old = std::getenv("MARLIN_REGISTRY");
        m_hadOld = old != nullptr;
        if (m_hadOld)
            m_old = old;
        m_registry = m_tmp.File("registry.ini");
        setenv("MARLIN_REGISTRY", m_registry.c_str(), 1);
        BIG_cl_Fat::ResetUserKey();
    }
    void TearDown() override {
        if (m_hadOld)
            setenv("MARLIN_REGISTRY", m_old.c_str(), 1);
        else
            unsetenv("MARLIN_REGISTRY");
        BIG_cl_Fat::ResetUserKey();
    }
    void SetKey(uint32_t key) { ASSERT_TRUE(PLT::SettingsStore(m_registry).WriteDword(kKeyPath, "", key)); }
    uint32_t StoredKey() { return PLT::SettingsStore(m_registry).ReadDword(kKeyPath, "").value_or(0); }

    TempFolder m_tmp;
    std::string m_registry;
    std::string m_old;
    bool m_hadOld = false;
};

TEST_F(FatKeys, NoKeyBeforeTheUserIdIsSet) {
    Messages messages;
    BIG_cl_Fat::ReadUserId();  // no store yet: nothing happens
    EXPECT_EQ(messages.Count(), 0u);
    EXPECT_EQ(BIG_cl_Fat::ul_GetNewKey(), 0xFFFFFFFFu);
    EXPECT_TRUE(messages.bContains("You must set the user Id."));
}

TEST_F(FatKeys, KeysComeFromTheStoreOneByOne) {
    SetKey(0x1230000A);
    BIG_cl_Fat::ReadUserId();
    EXPECT_EQ(BIG_cl_Fat::uw_GetUserId(), 0x312);
    EXPECT_EQ(BIG_cl_Fat::ul_GetNewKey(), 0x1230000Au);
    EXPECT_EQ(BIG_cl_Fat::ul_GetNewKey(), 0x1230000Bu);
    EXPECT_EQ(StoredKey(), 0x1230000Cu);
    // Another writer of the store moves the counter: the next key follows the store.
    SetKey(0x12300100);
    EXPECT_EQ(BIG_cl_Fat::ul_GetNewKey(), 0x12300100u);
}

TEST_F(FatKeys, ExhaustionIsAnnouncedButDoesNotStop) {
    SetKey(0x123FD8EF);
    Messages messages;
    BIG_cl_Fat::ReadUserId();
    EXPECT_TRUE(messages.bContains("Your current user Id will be invalid soon."));
    EXPECT_EQ(BIG_cl_Fat::ul_GetNewKey(), 0x123FD8EFu);
    EXPECT_TRUE(messages.bContains("Your current user Id is not valid anymore."));
}

TEST_F(FatKeys, WrongValueTypeIsReported) {
    ASSERT_TRUE(PLT::SettingsStore(m_registry).WriteString(kKeyPath, "", "text"));
    Messages messages;
    BIG_cl_Fat::ReadUserId();
    EXPECT_TRUE(messages.bContains("ReadUserId : Cannot read user id"));
}

TEST_F(FatKeys, NewFilesGetNewKeys) {
    SetKey(0x00500001);
    BIG_cl_Fat::ReadUserId();
    BIG_cl_Fat fat;
    ASSERT_EQ(fat.File().eCreate(m_tmp.File("k.bf"), false, 0xC0000000, true), BIG::eFile_Ok);
    ASSERT_TRUE(fat.Create(4, 4, 0, 1));
    const uint32_t a = fat.ul_CreateFile("a.ini", 0, 0, 0);
    const uint32_t b = fat.ul_CreateFile("b.ini", 0, 0, 0xFFFFFFFF);
    EXPECT_EQ(fat.ul_GetFileKey(a), 0x00500001u);
    EXPECT_EQ(fat.ul_GetFileKey(b), 0x00500002u);
    fat.File().eClose();
}

// Child side of the two-process test: draws keys and writes them to a file.
TEST(FatKeysChild, DISABLED_DrawKeys) {
    const char* out = std::getenv("ORVEX_FAT_KEYS_OUT");
    ASSERT_NE(out, nullptr);
    BIG_cl_Fat::ReadUserId();
    std::ofstream file(out);
    for (int i = 0; i < 50; ++i)
        file << BIG_cl_Fat::ul_GetNewKey() << "\n";
}

TEST_F(FatKeys, TwoProcessesNeverDrawTheSameKey) {
    SetKey(0x00700000);
    const std::string self = fs::read_symlink("/proc/self/exe").string();
    auto child = [&](const std::string& out) {
        return "ORVEX_FAT_KEYS_OUT='" + out + "' MARLIN_REGISTRY='" + m_registry + "' '" + self +
               "' --gtest_also_run_disabled_tests --gtest_filter=FatKeysChild.DISABLED_DrawKeys >/dev/null "
               "2>&1";
    };
    const std::string a = m_tmp.File("a.txt");
    const std::string b = m_tmp.File("b.txt");
    const std::string both = "(" + child(a) + ") & (" + child(b) + ") & wait";
    ASSERT_EQ(std::system(both.c_str()), 0);
    std::set<uint32_t> keys;
    size_t drawn = 0;
    for (const std::string& path : {a, b}) {
        std::ifstream in(path);
        uint32_t key;
        while (in >> key) {
            ++drawn;
            EXPECT_NE(key, 0xFFFFFFFFu);
            keys.insert(key);
        }
    }
    EXPECT_EQ(drawn, 100u);
    EXPECT_EQ(keys.size(), 100u);
    EXPECT_EQ(StoredKey(), 0x00700000u + 100);
}

TEST_F(FatKeys, HeaderWriterKeepsTheVersionInformation) {
    SetKey(0x0010000A);
    BIG_cl_Fat::ReadUserId();
    const std::string path = m_tmp.File("v.bf");
    {
        BIG_cl_Fat fat;
        ASSERT_EQ(fat.File().eCreate(path, false, 0xC0000000, true), BIG::eFile_Ok);
        ASSERT_TRUE(fat.Create(4, 4, 0, 1));
        fat.SetVersionInfo(5, 6, 7, "my_client", "label<1>");
        fat.WriteFatHeader();
        fat.File().eClose();
    }
    std::ifstream in(m_tmp.File("bigfile.version.xml"), std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    const std::string xml = text.str();
    EXPECT_EQ(
        xml.rfind("<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n<VersionInfo name=\"Bigfile\">\r\n", 0), 0u);
    for (const char* line :
         {"    <Label>label&lt;1&gt;</Label>\r\n", "    <FormatNb>135</FormatNb>\r\n",
          "    <SyncedCL>6</SyncedCL>\r\n", "    <ReferenceCL>7</ReferenceCL>\r\n",
          "    <LastSubmittedCL>5</LastSubmittedCL>\r\n", "    <ClientName>my_client</ClientName>\r\n",
          "    <NextUserKey>  10000a</NextUserKey>\r\n", "</VersionInfo>\r\n"})
        EXPECT_NE(xml.find(line), std::string::npos) << line << "\n" << xml;
    PLT::SettingsStore store(m_registry);
    const std::string perforce = "Software\\Marlin\\Marlin Production Platform\\Perforce\\my_client\\";
    EXPECT_EQ(store.ReadDword(perforce, "ReferenceChangeList").value_or(0), 7u);
    EXPECT_EQ(store.ReadDword(perforce, "LastSyncAllChangeList").value_or(0), 6u);

    BIG_cl_Fat again;
    ASSERT_TRUE(OpenBigfile(again, path, true));
    EXPECT_EQ(again.GetClientName(), "my_client");
    EXPECT_EQ(again.ul_GetSyncedCL(), 6u);
    EXPECT_EQ(again.GetLabel(), "label<1>");
    std::string stream;
    if (PLT::ReadStream(path, "P4Client.stream", &stream)) {  // where the file system keeps attributes
        EXPECT_EQ(stream, "my_client");
    }
    again.File().eClose();
}

}  // namespace
