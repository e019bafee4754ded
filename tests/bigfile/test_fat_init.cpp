// Start-up and shutdown order of the bigfile library through its hook slots,
// and the reference manager's pause while the tables grow.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "BIGfile/BIG_Fat.h"
#include "BIGfile/BIG_Init.h"
#include "fat_test_support.h"

namespace {

using namespace fat_test;

// Fills every slot with a recorder, and restores the previous hooks afterwards.
class FatInit : public ::testing::Test {
protected:
    void SetUp() override {
        m_saved = BIG_LibraryHooks();
        BIG_st_LibraryHooks& h = BIG_LibraryHooks();
        h = BIG_st_LibraryHooks();
        auto note = [this](const char* what) { return [this, what] { m_order.push_back(what); }; };
        h.createAsyncIOManager = note("create aio");
        h.destroyAsyncIOManager = note("destroy aio");
        h.createLoadManager = note("create load");
        h.destroyLoadManager = note("destroy load");
        h.createGlobalFat = [this] {
            m_order.push_back("create fat");
            return std::make_unique<BIG_cl_Fat>();
        };
        h.createDuplicatedFiles = note("create dup");
        h.destroyDuplicatedFiles = note("destroy dup");
        h.setLoadOrderFat = [this](BIG_cl_Fat* fat) {
            m_order.push_back("load order");
            m_loadOrderFat = fat;
        };
        h.initFileSys = note("filesys");
        h.createPackageManager = note("create packages");
        h.destroyPackageManager = note("destroy packages");
        h.destroyReferenceManager = note("destroy refs");
    }
    void TearDown() override {
        BIG_CloseLibrary();
        BIG_LibraryHooks() = m_saved;
    }

    BIG_st_LibraryHooks m_saved;
    std::vector<std::string> m_order;
    BIG_cl_Fat* m_loadOrderFat = nullptr;
};

TEST_F(FatInit, StartUpAndShutdownOrder) {
    ASSERT_TRUE(BIG_InitLibrary());
    EXPECT_FALSE(BIG_InitLibrary());
    EXPECT_EQ(m_order, (std::vector<std::string>{"create aio", "create load", "create fat", "create dup",
                                                 "load order", "filesys", "create packages"}));
    ASSERT_NE(BIG_pst_GetGlobalFat(), nullptr);
    EXPECT_EQ(m_loadOrderFat, BIG_pst_GetGlobalFat());
    ASSERT_NE(BIG_pst_GetBigfileList(), nullptr);
    EXPECT_EQ(BIG_pst_GetBigfileList()->po_Get(0), BIG_pst_GetGlobalFat());
    m_order.clear();
    BIG_CloseLibrary();
    EXPECT_EQ(m_order, (std::vector<std::string>{"destroy refs", "destroy load", "destroy aio", "destroy dup",
                                                 "destroy packages"}));
    EXPECT_EQ(BIG_pst_GetGlobalFat(), nullptr);
    EXPECT_FALSE(BIG_bIsLibraryStarted());
}

TEST_F(FatInit, GlobalTableIsAPlainTableWithoutItsFactory) {
    BIG_LibraryHooks().createGlobalFat = nullptr;
    ASSERT_TRUE(BIG_InitLibrary());
    EXPECT_NE(BIG_pst_GetGlobalFat(), nullptr);
}

TEST_F(FatInit, DeinitBeforeCloseNeedsTheLoadManagers) {
    Messages messages;
    SDK_DeinitBeforeBigfileClosed();
    EXPECT_TRUE(messages.bContains("Load Manager is NULL on SDK_DeinitBeforeBigfileClosed."));
    BIG_LibraryHooks().hasLoadManager = [] { return true; };
    SDK_DeinitBeforeBigfileClosed();
    EXPECT_TRUE(messages.bContains("Load Order Manager is NULL on SDK_DeinitBeforeBigfileClosed."));
    BIG_LibraryHooks().hasLoadOrderManager = [] { return true; };
    BIG_LibraryHooks().deactivateLoadOrder = [this] { m_order.push_back("deactivate"); };
    BIG_LibraryHooks().resetDuplicatedFiles = [this] { m_order.push_back("reset dup"); };
    m_order.clear();
    SDK_DeinitBeforeBigfileClosed();
    // The reference manager stops (and saves) while the bigfile can still be read.
    EXPECT_EQ(m_order, (std::vector<std::string>{"destroy refs", "deactivate", "reset dup"}));
}

TEST_F(FatInit, AfterReadingTheDuplicatedFilesAreLoadedWhenPresent) {
    BIG_LibraryHooks().loadDuplicatedFiles = [this](BIG_cl_Fat&) { m_order.push_back("dup"); };
    BIG_LibraryHooks().startReferenceManager = [this](BIG_cl_Fat&) { m_order.push_back("refs"); };
    TempFolder tmp;
    for (uint32_t key : {0x0FFFu, 0x1000u}) {
        const std::string path = tmp.File("b" + std::to_string(key) + ".bf");
        ASSERT_TRUE(MakeBigfile(path, 4, 4, {{"", "d.dup", key, "x"}}));
        BIG_cl_Fat fat;
        ASSERT_TRUE(OpenBigfile(fat, path, true));
        m_order.clear();
        BIG_AfterBigfileRead(fat);
        if (key == 0x1000)
            EXPECT_EQ(m_order, (std::vector<std::string>{"dup", "refs"}));
        else
            EXPECT_EQ(m_order, (std::vector<std::string>{"refs"}));
        fat.File().eClose();
    }
}

TEST_F(FatInit, EveryEditPausesTheReferenceManagerAndGrowthMovesTablesUnderItsOwnPause) {
    int paused = 0;
    int maxPaused = 0;
    int resumes = 0;
    int holds = 0;
    int growthPauses = 0;
    BIG_LibraryHooks().pauseReferenceManager = [&](const BIG_cl_Fat&) {
        ++growthPauses;
        maxPaused = std::max(maxPaused, ++paused);
    };
    BIG_LibraryHooks().holdReferenceManager = [&](const BIG_cl_Fat&) {
        ++holds;
        maxPaused = std::max(maxPaused, ++paused);
    };
    BIG_LibraryHooks().resumeReferenceManager = [&](const BIG_cl_Fat&) {
        --paused;
        ++resumes;
    };
    TempFolder tmp;
    BIG_cl_Fat fat;
    ASSERT_EQ(fat.File().eCreate(tmp.File("g.bf"), false, 0xC0000000, true), BIG::eFile_Ok);
    ASSERT_TRUE(fat.Create(1, 4, 0, 1));
    holds = resumes = 0;  // "Temp" is made by Create
    std::vector<std::string> progress;
    fat.SetProgressCallback([&](int mode, float, const char* text, const char*) {
        progress.push_back(std::to_string(mode) + (text != nullptr ? text : ""));
    });
    ASSERT_NE(fat.ul_CreateFile("a.ini", 0, 0, 0x10), BIG_cl_Fat::kNoFile);
    EXPECT_EQ(holds, 1);
    EXPECT_EQ(growthPauses, 0);
    EXPECT_EQ(resumes, 1);
    ASSERT_NE(fat.ul_CreateFile("b.ini", 0, 0, 0x11), BIG_cl_Fat::kNoFile);  // the table is full: it grows
    EXPECT_EQ(growthPauses, 1);
    EXPECT_EQ(maxPaused, 2) << "the growth pause nests in the edit's";
    EXPECT_EQ(resumes, 3);
    EXPECT_EQ(paused, 0);
    fat.SaveFile(0, "x", 1);
    ASSERT_TRUE(fat.bDeleteFile(0));
    EXPECT_EQ(holds, 4);
    EXPECT_EQ(resumes, 5);
    EXPECT_EQ(paused, 0);
    EXPECT_EQ(progress,
              (std::vector<std::string>{"0Increasing the size of the bigfile. Please wait...", "2"}));
    fat.File().eClose();
}

}  // namespace
