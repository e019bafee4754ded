// Start-up and shutdown of the bigfile library: each component made from the
// ones before it and removed again; the reference manager's pause while the
// tables grow.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "BIGfile/AsynchronousIO/BIG_AsynchronousFat.h"
#include "BIGfile/AsynchronousIO/BIG_AsynchronousIOManager.h"
#include "BIGfile/BIG_DuplicatedFilesManager.h"
#include "BIGfile/BIG_Fat.h"
#include "BIGfile/BIG_Init.h"
#include "BIGfile/BIG_LoadManager.h"
#include "BIGfile/Dlc/BIG_DLCPackageManager.h"
#include "BIGfile/LoadOrdering/BIG_LoadOrderManager.h"
#include "fat_test_support.h"

namespace {

using namespace fat_test;

// Records the reference manager's slots (the only start-up calls that go up
// the layers), keeps the user key out of the real registry, and restores both.
class FatInit : public ::testing::Test {
protected:
    void SetUp() override {
        m_saved = BIG_LibraryHooks();
        BIG_st_LibraryHooks& h = BIG_LibraryHooks();
        h = BIG_st_LibraryHooks();
        h.startReferenceManager = [this](BIG_cl_Fat&) { m_order.push_back("refs"); };
        h.destroyReferenceManager = [this] { m_order.push_back("destroy refs"); };
        ::setenv("MARLIN_REGISTRY", m_tmp.File("registry.ini").c_str(), 1);
    }
    void TearDown() override {
        BIG_CloseLibrary();
        ::unsetenv("MARLIN_REGISTRY");
        BIG_LibraryHooks() = m_saved;
    }

    TempFolder m_tmp;
    BIG_st_LibraryHooks m_saved;
    std::vector<std::string> m_order;
};

TEST_F(FatInit, StartUpBuildsEachComponentOnTheOnesBeforeItAndShutdownRemovesThemAll) {
    for (int round = 0; round < 2; ++round) {  // a stopped library starts again from nothing
        ASSERT_TRUE(BIG_InitLibrary());
        EXPECT_FALSE(BIG_InitLibrary());
        BIG_cl_AsynchronousIOManager* asyncIO = BIG_cl_AsynchronousIOManager::po_GetInstance();
        BIG_cl_LoadManager* loadManager = BIG_cl_LoadManager::po_Get();
        BIG_cl_Fat* global = BIG_pst_GetGlobalFat();
        ASSERT_NE(asyncIO, nullptr);
        ASSERT_NE(loadManager, nullptr);
        ASSERT_NE(global, nullptr);
        EXPECT_EQ(global, BIG_cl_AsynchronousFat::po_GetInstance());
        EXPECT_EQ(BIG_cl_AsynchronousFat::po_GetInstance()->po_GetManager(), asyncIO);
        EXPECT_EQ(asyncIO->po_GetBigfile(BIG::kMainBigfile), &global->File());
        EXPECT_EQ(loadManager->po_GetFat(), global);
        EXPECT_EQ(loadManager->po_GetReader(), global);
        ASSERT_NE(loadManager->po_GetLoadOrderManager(), nullptr);
        EXPECT_EQ(BIG_LoadOrderManager::po_Get(), loadManager->po_GetLoadOrderManager());
        ASSERT_NE(BIG_DuplicatedFilesManager::Get(), nullptr);
        EXPECT_FALSE(BIG_DuplicatedFilesManager::Get()->bHasData());
        EXPECT_NE(BIG_cl_DLCPackageManager::po_Get(), nullptr);
        EXPECT_EQ(BIG_ul_PackageCount(), 0u);
        EXPECT_EQ(BIG_ul_DuplicatedPosition(0), 0xFFFFFFFFu);
        ASSERT_NE(BIG_pst_GetBigfileList(), nullptr);
        EXPECT_EQ(BIG_pst_GetBigfileList()->po_Get(0), global);
        EXPECT_TRUE(BIG_bIsLibraryStarted());

        m_order.clear();
        BIG_CloseLibrary();
        // The reference manager reads through the global table: it stops first.
        EXPECT_EQ(m_order, (std::vector<std::string>{"destroy refs"}));
        EXPECT_FALSE(BIG_bIsLibraryStarted());
        EXPECT_EQ(BIG_pst_GetGlobalFat(), nullptr);
        EXPECT_EQ(BIG_pst_GetBigfileList(), nullptr);
        EXPECT_EQ(BIG_cl_AsynchronousFat::po_GetInstance(), nullptr);
        EXPECT_EQ(BIG_cl_AsynchronousIOManager::po_GetInstance(), nullptr);
        EXPECT_EQ(BIG_cl_LoadManager::po_Get(), nullptr);
        EXPECT_EQ(BIG_LoadOrderManager::po_Get(), nullptr);
        EXPECT_EQ(BIG_DuplicatedFilesManager::Get(), nullptr);
        EXPECT_EQ(BIG_cl_DLCPackageManager::po_Get(), nullptr);
    }
}

// The stored duplicated-files table: no references, one copy place at 0.
std::string OneCopyPlaceTable() {
    return std::string(
        "\0\0\0\0"
        "\1\0\0\0"
        "\3"
        "\0\0\0\0",
        13);
}

TEST_F(FatInit, AfterReadingTheDuplicatedFilesAreLoadedWhenPresentAndEmptiedBeforeClosing) {
    Messages messages;
    SDK_DeinitBeforeBigfileClosed();
    EXPECT_TRUE(messages.bContains("Load Manager is NULL on SDK_DeinitBeforeBigfileClosed."));

    ASSERT_TRUE(BIG_InitLibrary());
    BIG_cl_Fat& global = *BIG_pst_GetGlobalFat();
    for (uint32_t key : {0x0FFFu, 0x1000u}) {
        SCOPED_TRACE(key);
        const std::string path = m_tmp.File("b" + std::to_string(key) + ".bf");
        ASSERT_TRUE(MakeBigfile(path, 4, 4, {{"", "d.dup", key, OneCopyPlaceTable()}}));
        ASSERT_TRUE(OpenBigfile(global, path, true));
        m_order.clear();
        BIG_AfterBigfileRead(global);
        EXPECT_EQ(m_order, (std::vector<std::string>{"refs"}));
        EXPECT_EQ(BIG_DuplicatedFilesManager::Get()->bHasData(), key == 0x1000);
        EXPECT_EQ(BIG_ul_DuplicatedPosition(0), key == 0x1000 ? 0u : 0xFFFFFFFFu);

        m_order.clear();
        SDK_DeinitBeforeBigfileClosed();
        // The reference manager stops (and saves) while the bigfile can still be read.
        EXPECT_EQ(m_order, (std::vector<std::string>{"destroy refs"}));
        EXPECT_FALSE(BIG_LoadOrderManager::po_Get()->bIsActive());
        EXPECT_FALSE(BIG_DuplicatedFilesManager::Get()->bHasData());
        global.File().eClose();
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
