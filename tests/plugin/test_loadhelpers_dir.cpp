// The directory load helper on a small bigfile made with the table's own writer.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "BIGfile/BIG_Fat.h"
#include "BIGfile/BIG_Init.h"
#include "ERRor/ERR_Assert.h"
#include "plugin/OVI_LoadHelpers.h"
#include "platform/Process.h"

namespace {

namespace fs = std::filesystem;
using ORVEX::OVI_DirLoadHelper;
using ORVEX::OVI_KeyMap;

struct FileRecipe {
    const char* dir;  // "" for the root
    const char* name;
    uint32_t key;
};

// Files are created in this order; directories appear (as siblings) in the
// order their first file names them.
const FileRecipe kFiles[] = {
    {"", "top.wor", 0x10},
    {"/Levels/Town", "b.snk", 0x22},
    {"/Levels/Town/Sub", "c.snk", 0x13},
    {"/Levels/Town", "a.snk", 0x21},
    {"/Levels/Town/Zed", "d.snk", 0x11},
    {"/Levels/Town/Sub/Deep", "e.snk", 0x14},
    {"/Levels/Other", "x.snk", 0x30},
};

class DirLoadHelperTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ERR_SetInteractive(false); }

    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        m_dir = fs::temp_directory_path() /
                ("orvex_dirload_" + std::string(info->name()) + "_" +
                 std::to_string(PLT::CurrentProcessId()) + "_" + std::to_string(std::rand()));
        fs::remove_all(m_dir);
        fs::create_directories(m_dir);
        m_path = (m_dir / "test.bf").string();

        BIG_cl_Fat writer;
        writer.File().SetAlignmentShift(3);
        ASSERT_EQ(writer.File().eCreate(m_path, false, 0xC0000000, true), BIG::eFile_Ok);
        ASSERT_TRUE(writer.Create(16, 8, 0, 1));
        for (const FileRecipe& f : kFiles) {
            const uint16_t dir = writer.uw_CreateDirPath(f.dir);
            ASSERT_NE(dir, BIG_cl_Fat::kNoDir) << f.dir;
            ASSERT_NE(writer.ul_CreateFile(f.name, 1000, dir, f.key), BIG_cl_Fat::kNoFile) << f.name;
        }
        writer.File().eFlush();
        writer.File().eClose();
        ASSERT_TRUE(Open(m_fat));
    }
    void TearDown() override {
        m_fat.File().eClose();
        std::error_code ec;
        fs::remove_all(m_dir, ec);
    }
    bool Open(BIG_cl_Fat& fat) const {
        return fat.File().eOpen(m_path, true, true, false) == BIG::eFile_Ok && fat.ReadFat(true);
    }

    // Keys of the files LoadDirectory takes, in its order.
    std::vector<uint32_t> KeysInOrder(const std::string& path) const {
        std::vector<uint32_t> indices;
        EXPECT_TRUE(OVI_DirLoadHelper::bListFiles(m_fat, path, &indices)) << path;
        std::vector<uint32_t> keys;
        for (uint32_t i : indices)
            keys.push_back(m_fat.ul_GetFileKey(i));
        return keys;
    }

    fs::path m_dir;
    std::string m_path;
    BIG_cl_Fat m_fat;
};

TEST_F(DirLoadHelperTest, OwnFilesFirstThenSubdirectoriesInSiblingOrder) {
    // Town's chain (b, a), then Sub (c, then Deep's e), then Zed (d).
    EXPECT_EQ(KeysInOrder("/Levels/Town"), (std::vector<uint32_t>{0x22, 0x21, 0x13, 0x14, 0x11}));
    EXPECT_EQ(KeysInOrder("/Levels/Town/Sub"), (std::vector<uint32_t>{0x13, 0x14}));

    OVI_DirLoadHelper helper;
    helper.LoadDirectory(m_fat, "/Levels/Town", 2);
    EXPECT_EQ(helper.KeyMap(), (OVI_KeyMap{{0x11, 2}, {0x13, 2}, {0x14, 2}, {0x21, 2}, {0x22, 2}}));
}

TEST_F(DirLoadHelperTest, PathsThatNameTheSameDirectory) {
    const std::vector<uint32_t> town = {0x22, 0x21, 0x13, 0x14, 0x11};
    for (const char* path :
         {"/levels/TOWN", "/Levels/Town/", "/Levels//Town", "\\Levels/Town", "//Levels/Town"})
        EXPECT_EQ(KeysInOrder(path), town) << path;
}

TEST_F(DirLoadHelperTest, EmptyPathOrRootTakesEveryFile) {
    for (const char* path : {"", "/"}) {
        SCOPED_TRACE(path);
        OVI_DirLoadHelper helper;
        helper.LoadDirectory(m_fat, path, 0);
        OVI_KeyMap expected;
        for (const FileRecipe& f : kFiles)
            expected.emplace(f.key, 0);
        EXPECT_EQ(helper.KeyMap(), expected);
        EXPECT_EQ(helper.KeyMap().size(), m_fat.ul_CountUsedFiles());
    }
}

TEST_F(DirLoadHelperTest, PathThatNamesNoDirectoryAddsNothing) {
    const std::string tooLong = "/Levels/" + std::string(BIG_st_DirEntry::kMaxNameLength + 1, 'T');
    for (const std::string& path : {std::string("/Levels/Nowhere"), std::string("/Lev"),
                                    std::string("/Levels/Town/b"), std::string("Levels/Town"), tooLong}) {
        SCOPED_TRACE(path);
        OVI_DirLoadHelper helper;
        ::testing::internal::CaptureStdout();
        helper.LoadDirectory(m_fat, path, 2);
        const std::string lines = ::testing::internal::GetCapturedStdout();
        EXPECT_TRUE(helper.KeyMap().empty());
        EXPECT_NE(lines.find("Directory ! Found : " + path), std::string::npos) << lines;
    }
}

TEST_F(DirLoadHelperTest, KeyAlreadyPresentKeepsItsFirstMode) {
    OVI_DirLoadHelper helper;
    helper.LoadDirectory(m_fat, "/Levels/Town/Sub", 0);
    helper.LoadDirectory(m_fat, "/Levels/Town", 2);
    EXPECT_EQ(helper.KeyMap(), (OVI_KeyMap{{0x11, 2}, {0x13, 0}, {0x14, 0}, {0x21, 2}, {0x22, 2}}));
}

TEST_F(DirLoadHelperTest, WorksOnTheProcessWideTable) {
    if (BIG_bIsLibraryStarted())
        GTEST_SKIP() << "the bigfile library is already started by another test";
    OVI_DirLoadHelper helper;
    ::testing::internal::CaptureStdout();
    helper.LoadDirectory("/Levels", 1);
    EXPECT_NE(::testing::internal::GetCapturedStdout().find("No bigfile is open"), std::string::npos);
    EXPECT_TRUE(helper.KeyMap().empty());

    const std::string registry = (m_dir / "registry.ini").string();
    ::setenv("MARLIN_REGISTRY", registry.c_str(), 1);
    ASSERT_TRUE(BIG_InitLibrary());
    EXPECT_TRUE(Open(*BIG_pst_GetGlobalFat()));
    helper.LoadDirectory("/Levels", 1);
    BIG_pst_GetGlobalFat()->File().eClose();
    BIG_CloseLibrary();
    ::unsetenv("MARLIN_REGISTRY");
    EXPECT_EQ(helper.KeyMap(),
              (OVI_KeyMap{{0x11, 1}, {0x13, 1}, {0x14, 1}, {0x21, 1}, {0x22, 1}, {0x30, 1}}));
}

}  // namespace
