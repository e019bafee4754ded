// The load manager over a real bigfile: queuing, two-stage reads, callbacks,
// reuse of loaded objects, links, cancellation and the request pool; and the
// duplicated-files table loaded through it.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "BIGfile/AsynchronousIO/BIG_AsynchronousFat.h"
#include "BIGfile/AsynchronousIO/BIG_AsynchronousIOManager.h"
#include "BIGfile/BIG_DataHandles.h"
#include "BIGfile/BIG_DuplicatedFilesManager.h"
#include "BIGfile/BIG_Endian.h"
#include "BIGfile/BIG_Fat.h"
#include "BIGfile/BIG_FBuff.h"
#include "BIGfile/BIG_LoadManager.h"
#include "ERRor/ERR_Assert.h"
#include "ERRor/ERR_Log.h"
#include "platform/Clock.h"
#include "tests/support/LogCapture.h"

namespace {

using LoadLogCapture = test_support::LogCapture;

std::vector<uint8_t> Content(const std::vector<uint32_t>& refs, const std::vector<uint8_t>& data) {
    std::vector<uint8_t> out;
    BIG::Endian::ByteAppender app(&out);
    app.U32(static_cast<uint32_t>(refs.size()));
    for (uint32_t k : refs)
        app.U32(k);
    app.Bytes(data.data(), data.size());
    return out;
}

// What the test callbacks saw. The callbacks are plain functions (the table
// holds function pointers), so they report through this one record.
struct Seen {
    int loads = 0;
    int reuses = 0;
    int aborts = 0;
    uint32_t lastFile = 0xFFFFFFFF;
    uint32_t lastUser = 0;
    uint32_t lastExtra1 = 0;
    uint32_t lastExtra2 = 0;
    uint32_t lastQueue = 0;
    bool hadData = false;
    uint32_t dataSize = 0;
    std::vector<uint8_t> data;
    int depth = 0;
    int maxDepth = 0;
    // Run inside the next load callback.
    void (*during)(uint32_t fileIndex) = nullptr;
};
Seen g_seen;
BIG_cl_LoadManager* g_manager = nullptr;
BIG_cl_AsynchronousFat* g_reader = nullptr;
BIG_cl_AsynchronousIOManager* g_asyncIO = nullptr;

// A loaded object: two u16 counters at bytes 0 and 4, as the load flags expect.
struct Object {
    uint16_t counter0 = 0;
    uint16_t pad = 0;
    uint16_t counter4 = 0;
    uint16_t pad2 = 0;
    uint32_t fileIndex = 0;
};
std::vector<std::unique_ptr<Object>> g_objects;

void* LoadObject(uint32_t fileIndex, uint32_t userData, uint32_t extra1, uint32_t extra2, uint32_t queueId) {
    ++g_seen.loads;
    g_seen.maxDepth = std::max(g_seen.maxDepth, ++g_seen.depth);
    g_seen.lastFile = fileIndex;
    g_seen.lastUser = userData;
    g_seen.lastExtra1 = extra1;
    g_seen.lastExtra2 = extra2;
    g_seen.lastQueue = queueId;
    BIG_st_FileData data;
    g_seen.hadData = g_reader->bGetFileData(fileIndex, &data) && data.po_Buffer != nullptr;
    g_seen.dataSize = g_seen.hadData ? data.ul_DataSize : 0;
    g_seen.data.assign(data.pu8_Data, data.pu8_Data + g_seen.dataSize);
    if (data.po_Buffer != nullptr)
        data.po_Buffer->Release();
    if (g_seen.during != nullptr) {
        auto during = g_seen.during;
        g_seen.during = nullptr;
        during(fileIndex);
    }
    g_objects.push_back(std::make_unique<Object>());
    g_objects.back()->fileIndex = fileIndex;
    --g_seen.depth;
    return g_objects.back().get();
}

void ReuseObject(void*, uint32_t, uint32_t) {
    ++g_seen.reuses;
}

constexpr uint8_t kTypeIni = 1;  // "ini"

class LoadManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ERR_SetInteractive(false);
        g_seen = Seen{};
        g_objects.clear();
        char pattern[] = "/tmp/orvex_loadmgr_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        m_dir = pattern;
        m_asyncIO = std::make_unique<BIG_cl_AsynchronousIOManager>();
        m_fat = std::make_unique<BIG_cl_AsynchronousFat>(m_asyncIO.get());
        ASSERT_EQ(m_fat->File().eCreate(m_dir + "/test.bf", true, 0, false), 0u);
        ASSERT_TRUE(m_fat->Create(64, 8, 0, 1));
        m_manager = std::make_unique<BIG_cl_LoadManager>(*m_asyncIO);
        m_manager->SetFat(m_fat.get(), m_fat.get());
        m_manager->AddLoadCallback(kTypeIni, &LoadObject);
        g_manager = m_manager.get();
        g_reader = m_fat.get();
        g_asyncIO = m_asyncIO.get();
    }
    void TearDown() override {
        g_manager = nullptr;
        g_reader = nullptr;
        g_asyncIO = nullptr;
        m_manager.reset();
        m_fat.reset();
        m_asyncIO.reset();
        std::error_code ec;
        std::filesystem::remove_all(m_dir, ec);
        BIG_DuplicatedFilesManager::DestroySingleton();
    }

    uint32_t AddFile(const std::string& name, uint32_t key, const std::vector<uint8_t>& content) {
        const uint32_t index = m_fat->ul_CreateFile(name.c_str(), 1, 0, key);
        EXPECT_NE(index, BIG_cl_Fat::kNoFile);
        m_fat->SaveFile(index, content.data(), static_cast<uint32_t>(content.size()));
        return index;
    }
    uint32_t AddLink(const std::string& name, uint32_t key, uint32_t k0, uint32_t k1 = 0xFFFFFFFF) {
        const uint32_t index = m_fat->ul_CreateFile(name.c_str(), 1, 0, key);
        EXPECT_NE(index, BIG_cl_Fat::kNoFile);
        m_fat->SaveLinkFile(index, k0, k1, 0xFFFFFFFF, 0xFFFFFFFF);
        return index;
    }

    std::string m_dir;
    std::unique_ptr<BIG_cl_AsynchronousIOManager> m_asyncIO;
    std::unique_ptr<BIG_cl_AsynchronousFat> m_fat;
    std::unique_ptr<BIG_cl_LoadManager> m_manager;
};

TEST_F(LoadManagerTest, LoadsAFileThroughItsTypeCallbackAndRecordsTheObject) {
    const uint32_t index = AddFile("a.ini", 0x100, Content({0x200}, {1, 2, 3, 4, 5}));
    void* result = reinterpret_cast<void*>(1);
    ASSERT_TRUE(m_manager->bLoadFileAfter(0x100, 0, 77, &result, 3, false, nullptr, 0xFFFFFFFF, 11, 22));
    m_manager->LoadAll(false);
    EXPECT_EQ(m_manager->ul_GetRequestCount(), 0u);
    ASSERT_EQ(g_seen.loads, 1);
    EXPECT_EQ(g_seen.lastFile, index);
    EXPECT_EQ(g_seen.lastUser, 77u);
    EXPECT_EQ(g_seen.lastExtra1, 11u);
    EXPECT_EQ(g_seen.lastExtra2, 22u);
    EXPECT_EQ(g_seen.lastQueue, 3u);
    EXPECT_TRUE(g_seen.hadData);
    EXPECT_EQ(g_seen.data, (std::vector<uint8_t>{1, 2, 3, 4, 5}));
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(static_cast<Object*>(result)->fileIndex, index);
    // Recorded in the file entry as a handle of the slot table.
    const uint32_t handle = m_fat->ul_GetDataInMemory(index);
    ASSERT_NE(handle, 0u);
    EXPECT_EQ(BIG::DataHandles::p_Get(handle), result);
    BIG::DataHandles::Unregister(handle);
}

TEST_F(LoadManagerTest, AlreadyLoadedObjectIsSharedWithoutAReadAndItsCountersRise) {
    const uint32_t index = AddFile("a.ini", 0x100, Content({}, {9}));
    void* first = nullptr;
    ASSERT_TRUE(m_manager->bLoadFileAfter(0x100, 0, 0, &first, 1));
    m_manager->LoadAll(false);
    ASSERT_NE(first, nullptr);
    const uint32_t reads = m_asyncIO->ul_GetReadCount();

    struct Case {
        uint32_t flags;
        uint16_t counter0;
        uint16_t counter4;
    } cases[] = {{0, 0, 0},
                 {BIG_cl_LoadManager::LoadFlag_AddRef0, 1, 0},
                 {BIG_cl_LoadManager::LoadFlag_AddRef4, 1, 1},
                 {BIG_cl_LoadManager::LoadFlag_AddRef0 | BIG_cl_LoadManager::LoadFlag_AddRef4, 2, 2}};
    for (const Case& c : cases) {
        void* again = nullptr;
        EXPECT_TRUE(m_manager->bLoadFileAfter(0x100, c.flags, 0, &again, 1));
        EXPECT_EQ(again, first);  // at once: no request, no pumping
        EXPECT_EQ(m_manager->ul_GetRequestCount(), 0u);
        EXPECT_EQ(static_cast<Object*>(first)->counter0, c.counter0);
        EXPECT_EQ(static_cast<Object*>(first)->counter4, c.counter4);
    }
    EXPECT_EQ(g_seen.loads, 1);
    EXPECT_EQ(m_asyncIO->ul_GetReadCount(), reads);

    // With a reuse callback, the request is queued and the callback runs once.
    m_manager->AddReuseCallback(kTypeIni, &ReuseObject);
    void* reused = nullptr;
    EXPECT_TRUE(m_manager->bLoadFileAfter(0x100, BIG_cl_LoadManager::LoadFlag_AddRef0, 0, &reused, 1));
    EXPECT_EQ(reused, nullptr);
    EXPECT_EQ(m_manager->ul_GetReadyCount(), 1u);
    m_manager->LoadAll(false);
    EXPECT_EQ(reused, first);
    EXPECT_EQ(g_seen.reuses, 1);
    EXPECT_EQ(static_cast<Object*>(first)->counter0, 3);
    EXPECT_EQ(g_seen.loads, 1);
    EXPECT_EQ(m_asyncIO->ul_GetReadCount(), reads);
    BIG::DataHandles::Unregister(m_fat->ul_GetDataInMemory(index));
}

TEST_F(LoadManagerTest, EmptyOrUnreadableFilesReachTheCallbackWithoutContent) {
    // A zero-length content: the content read cannot start, the callback runs at once.
    const uint32_t empty = AddFile("empty.ini", 0x101, {});
    void* result = nullptr;
    ASSERT_TRUE(m_manager->bLoadFileAfter(0x101, BIG_cl_LoadManager::LoadFlag_NoRecord, 0, &result, 2));
    m_manager->LoadAll(false);
    EXPECT_EQ(g_seen.loads, 1);
    EXPECT_EQ(g_seen.lastFile, empty);
    EXPECT_EQ(g_seen.dataSize, 0u);
    EXPECT_NE(result, nullptr);
    EXPECT_EQ(m_fat->ul_GetDataInMemory(empty), 0u);  // not recorded with LoadFlag_NoRecord

    // A file that was never saved has no content at all.
    const uint32_t unsaved = m_fat->ul_CreateFile("unsaved.ini", 1, 0, 0x102);
    ASSERT_NE(unsaved, BIG_cl_Fat::kNoFile);
    result = nullptr;
    ASSERT_TRUE(m_manager->bLoadFileAfter(0x102, BIG_cl_LoadManager::LoadFlag_NoRecord, 0, &result, 2));
    EXPECT_EQ(m_manager->ul_GetReadyCount(), 1u);  // treated without content on the next pass
    m_manager->LoadAll(false);
    EXPECT_EQ(g_seen.loads, 2);
    EXPECT_EQ(g_seen.lastFile, unsaved);
    EXPECT_FALSE(g_seen.hadData);
}

TEST_F(LoadManagerTest, KeyZeroAssertsAndUnknownKeysAreLogged) {
    LoadLogCapture log;
    void* result = reinterpret_cast<void*>(1);
    EXPECT_FALSE(m_manager->bLoadFileAfter(0, 0, 0, &result, 0));
    EXPECT_EQ(log.Count("BIG_cl_LoadManager::bLoadFileAfter: Invalid key (key == 0)"), 1);
    EXPECT_EQ(result, reinterpret_cast<void*>(1));

    const uint32_t named = AddFile("named.ini", 0x300, Content({}, {1}));
    (void)named;
    struct Case {
        uint32_t key;
        uint32_t shown;
        const char* expected;  // null: nothing logged
    } cases[] = {
        {0x999, 0xFFFFFFFF, "missing <Unknown>"},
        {0x999, 0x300, "missing <'named.ini' [key: 300]>"},
        {0x999, 0, "missing <>"},
        {0xFFFFFFFF, 0xFFFFFFFF, nullptr},
    };
    for (const Case& c : cases) {
        result = reinterpret_cast<void*>(1);
        LoadLogCapture caseLog;
        EXPECT_FALSE(m_manager->bLoadFileAfter(c.key, 0, 0, &result, 0, false, "missing <%s>", c.shown));
        EXPECT_EQ(result, nullptr);
        if (c.expected != nullptr)
            EXPECT_EQ(caseLog.Count(c.expected), 1) << caseLog.All();
        else
            EXPECT_EQ(caseLog.Count("missing"), 0);
    }
    EXPECT_EQ(m_manager->ul_GetRequestCount(), 0u);
}

TEST_F(LoadManagerTest, MissingLoadCallbackIsReportedAndDeliversNothing) {
    AddFile("data.ldb", 0x400, Content({}, {1}));
    LoadLogCapture log;
    void* result = reinterpret_cast<void*>(1);
    ASSERT_TRUE(m_manager->bLoadFileAfter(0x400, 0, 0, &result, 1));
    m_manager->LoadAll(false);
    EXPECT_EQ(result, nullptr);
    EXPECT_GE(log.Count("BIG_cl_LoadManager: Cannot find load callback for file"), 1);
    EXPECT_EQ(m_manager->ul_GetRequestCount(), 0u);
}

TEST_F(LoadManagerTest, LinksAreFollowedToTheirTarget) {
    const uint32_t target = AddFile("target.ini", 0x500, Content({}, {42}));
    AddLink("link.ini", 0x501, 0x500);
    AddLink("chain.ini", 0x502, 0x501);
    AddLink("dangling.ini", 0x503, 0x5FF);
    AddLink("self.ini", 0x504, 0x504);

    void* result = nullptr;
    ASSERT_TRUE(m_manager->bLoadFileAfter(0x502, 0, 5, &result, 1));
    m_manager->LoadAll(false);
    ASSERT_EQ(g_seen.loads, 1);
    EXPECT_EQ(g_seen.lastFile, target);  // through two links
    EXPECT_EQ(g_seen.lastUser, 5u);
    EXPECT_EQ(g_seen.data, std::vector<uint8_t>{42});
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(BIG::DataHandles::p_Get(m_fat->ul_GetDataInMemory(target)), result);

    // A target that is not in the bigfile, and a link to itself: no callback, no object.
    for (uint32_t key : {0x503u, 0x504u}) {
        result = reinterpret_cast<void*>(1);
        LoadLogCapture log;
        ASSERT_TRUE(m_manager->bLoadFileAfter(key, 0, 0, &result, 1));
        m_manager->LoadAll(false);
        EXPECT_EQ(result, nullptr) << std::hex << key;
        EXPECT_EQ(g_seen.loads, 1);
        EXPECT_EQ(log.Count("link chain longer than"), key == 0x504u ? 1 : 0);
        EXPECT_EQ(m_manager->ul_GetRequestCount(), 0u);
    }
    BIG::DataHandles::Unregister(m_fat->ul_GetDataInMemory(target));
}

TEST_F(LoadManagerTest, CallbacksAreNeverReenteredByCompletionsTheyCause) {
    const uint32_t a = AddFile("a.ini", 0x650, Content({}, {1}));
    const uint32_t b = AddFile("b.ini", 0x651, Content({}, {2}));
    static void* s_resultB;
    static int s_loadsInsideA;
    s_resultB = nullptr;
    s_loadsInsideA = -1;
    g_seen.during = [](uint32_t) {
        EXPECT_TRUE(g_manager->bIsInCallback());
        EXPECT_TRUE(
            g_manager->bLoadFileAfter(0x651, BIG_cl_LoadManager::LoadFlag_NoRecord, 0, &s_resultB, 1));
        // Pump the reader from inside the callback, as a synchronous read does:
        // B's length arrives here and must wait.
        for (int i = 0; i < 2000 && g_manager->ul_GetReadyCount() == 0; ++i) {
            g_asyncIO->TreatFinishedReads();
            if (g_manager->ul_GetReadyCount() == 0)
                PLT::SleepMs(1);
        }
        EXPECT_EQ(g_manager->ul_GetReadyCount(), 1u);
        s_loadsInsideA = g_seen.loads;
    };
    void* resultA = nullptr;
    ASSERT_TRUE(m_manager->bLoadFileAfter(0x650, BIG_cl_LoadManager::LoadFlag_NoRecord, 0, &resultA, 1));
    m_manager->LoadAll(false);
    EXPECT_EQ(s_loadsInsideA, 1);  // B waited for A's callback to end
    EXPECT_EQ(g_seen.maxDepth, 1);
    EXPECT_EQ(g_seen.loads, 2);
    ASSERT_NE(resultA, nullptr);
    ASSERT_NE(s_resultB, nullptr);
    EXPECT_EQ(static_cast<Object*>(resultA)->fileIndex, a);
    EXPECT_EQ(static_cast<Object*>(s_resultB)->fileIndex, b);
    EXPECT_EQ(g_seen.data, std::vector<uint8_t>{2});
    EXPECT_FALSE(m_manager->bIsInCallback());
}

TEST_F(LoadManagerTest, CanceledRequestIsNotDestroyedWhileItIsTreated) {
    AddFile("a.ini", 0x600, Content({}, {1}));
    void* result = nullptr;
    ASSERT_TRUE(m_manager->bLoadFileAfter(0x600, BIG_cl_LoadManager::LoadFlag_NoRecord, 0, &result, 1));
    LoadLogCapture log;
    static uint32_t s_countDuring;
    g_seen.during = [](uint32_t) {
        // The request being treated cancels itself, and a pass destroys canceled requests.
        g_manager->CancelRequest(const_cast<BIG_st_LoadRequest*>(g_manager->po_GetCurrentRequest()));
        g_manager->DestroyCanceledRequests();
        s_countDuring = g_manager->ul_GetRequestCount();
    };
    s_countDuring = 0;
    m_manager->LoadAll(false);
    EXPECT_EQ(s_countDuring, 1u);  // still alive inside its callback
    EXPECT_EQ(log.Count("Postponing canceled file request destruction because being treated"), 1);
    EXPECT_EQ(m_manager->ul_GetRequestCount(), 0u);  // gone afterwards
    EXPECT_EQ(result, nullptr);                      // and nothing delivered
    EXPECT_EQ(log.Count("Invalid internal state!"), 0);
}

TEST_F(LoadManagerTest, CanceledQueuedRequestsAreDestroyedOnTheNextPass) {
    AddFile("a.ini", 0x700, Content({}, {1}));
    void* result = nullptr;
    m_asyncIO->PauseReading();  // keep the read queued
    ASSERT_TRUE(m_manager->bLoadFileAfter(0x700, 0, 0, &result, 1, true));
    ASSERT_EQ(m_manager->ul_GetRequestCount(), 1u);
    BIG_st_LoadRequest* request = m_manager->po_FindRequest(m_fat->ul_GetFileIndex(0x700, false), 1);
    ASSERT_NE(request, nullptr);
    const uint32_t handle = m_manager->ul_RequestHandle(request);
    m_manager->CancelRequest(request);
    EXPECT_EQ(m_manager->po_FindRequest(m_fat->ul_GetFileIndex(0x700, false), 1), nullptr);
    m_manager->RunOneFrame(false);
    EXPECT_EQ(m_manager->ul_GetRequestCount(), 0u);
    EXPECT_EQ(m_manager->po_RequestFromHandle(handle), nullptr);  // the stale handle finds nothing
    m_asyncIO->ResumeReading();
    // The read that was queued completes into nothing.
    for (int i = 0; i < 200 && m_asyncIO->ul_GetRequestCount() != 0; ++i) {
        m_manager->RunOneFrame(false);
        PLT::SleepMs(1);
    }
    EXPECT_EQ(g_seen.loads, 0);
    EXPECT_EQ(result, nullptr);
}

TEST_F(LoadManagerTest, PoolHolds130000RequestsAndRefusesThe130001st) {
    LoadLogCapture log;
    std::vector<BIG_st_LoadRequest*> requests;
    requests.reserve(BIG_cl_LoadManager::kPoolSize);
    for (uint32_t i = 0; i < BIG_cl_LoadManager::kPoolSize; ++i) {
        BIG_st_LoadRequest* r = m_manager->po_AllocateRequest(i, i, nullptr, 0, i % 7);
        ASSERT_NE(r, nullptr) << i;
        requests.push_back(r);
    }
    EXPECT_EQ(m_manager->ul_GetRequestCount(), BIG_cl_LoadManager::kPoolSize);
    EXPECT_EQ(m_manager->po_AllocateRequest(1, 0, nullptr, 0, 0), nullptr);
    EXPECT_EQ(log.Count("BIG_cl_LoadManager::bLoadFileAfter: The array is full"), 1);
    EXPECT_EQ(m_manager->ul_GetQueueCount(0), 18572u);
    EXPECT_EQ(m_manager->ul_GetQueueCount(6), 18571u);

    // Every handle is distinct and leads back to its request.
    EXPECT_EQ(m_manager->po_RequestFromHandle(m_manager->ul_RequestHandle(requests[129999])),
              requests[129999]);
    EXPECT_EQ(m_manager->po_RequestFromHandle(0), nullptr);

    // Canceled requests go back to the free list, and can be taken again.
    for (uint32_t i = 0; i < BIG_cl_LoadManager::kPoolSize; i += 2)
        m_manager->CancelRequest(requests[i]);
    m_manager->DestroyCanceledRequests();
    EXPECT_EQ(m_manager->ul_GetRequestCount(), BIG_cl_LoadManager::kPoolSize / 2);
    BIG_st_LoadRequest* again = m_manager->po_AllocateRequest(1, 0, nullptr, 0, 0);
    ASSERT_NE(again, nullptr);
    for (auto* r : requests)
        if (r != again)
            m_manager->CancelRequest(r);
    m_manager->DestroyCanceledRequests();
    EXPECT_EQ(m_manager->ul_GetRequestCount(), 1u);
    EXPECT_EQ(log.Count("Invalid internal state!"), 0);
}

// The pool's records are made as they are first needed: freed records are
// taken again, last freed first, before a record that was never used, and a
// handle naming a record never handed out finds nothing.
TEST_F(LoadManagerTest, FreedRecordsAreTakenBeforeRecordsNeverUsed) {
    BIG_st_LoadRequest* r[4];
    for (uint32_t i = 0; i < 4; ++i)
        ASSERT_NE(r[i] = m_manager->po_AllocateRequest(i, 0, nullptr, 0, 0), nullptr);
    EXPECT_EQ(r[1], r[0] + 1);
    EXPECT_EQ(r[3], r[0] + 3);
    const uint32_t unused = m_manager->ul_RequestHandle(r[3]) + 1;  // the record after r[3]
    EXPECT_EQ(m_manager->po_RequestFromHandle(unused), nullptr);

    m_manager->CancelRequest(r[1]);
    m_manager->CancelRequest(r[2]);
    m_manager->DestroyCanceledRequests();
    EXPECT_EQ(m_manager->po_AllocateRequest(10, 0, nullptr, 0, 0), r[2]);
    EXPECT_EQ(m_manager->po_AllocateRequest(11, 0, nullptr, 0, 0), r[1]);
    BIG_st_LoadRequest* fresh = m_manager->po_AllocateRequest(12, 0, nullptr, 0, 0);
    EXPECT_EQ(fresh, r[0] + 4);
    EXPECT_EQ(fresh->ul_File, 12u);
    EXPECT_EQ(fresh->uw_State & BIG_cl_LoadManager::Status_Mask, 0);
    EXPECT_EQ(m_manager->po_RequestFromHandle(unused), fresh);
    EXPECT_EQ(m_manager->po_FindRequest(12, 0), fresh);
    EXPECT_EQ(m_manager->ul_GetRequestCount(), 5u);
}

TEST_F(LoadManagerTest, BadQueueIdAndLoadFlagsAreRefused) {
    LoadLogCapture log;
    EXPECT_EQ(m_manager->po_AllocateRequest(0, 0, nullptr, 0, 7), nullptr);
    EXPECT_EQ(log.Count("Invalid input parameter (_queueID)"), 1);
    AddFile("a.ini", 0x800, Content({}, {1}));
    void* result = nullptr;
    EXPECT_FALSE(m_manager->bLoadFileAfter(0x800, 0, 0, &result, 9));
    EXPECT_EQ(m_manager->ul_GetRequestCount(), 0u);
    BIG_st_LoadRequest* r = m_manager->po_AllocateRequest(0, 0, nullptr, 0x1F, 0);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(log.Count("Value overflow!"), 1);
    EXPECT_EQ(r->uw_State & 0xF, 0xF);
}

TEST_F(LoadManagerTest, TimeLimitedFramesEventuallyLoadEverything) {
    for (uint32_t i = 0; i < 40; ++i)
        AddFile("f" + std::to_string(i) + ".ini", 0x900 + i, Content({}, {static_cast<uint8_t>(i)}));
    std::vector<void*> results(40, nullptr);
    for (uint32_t i = 0; i < 40; ++i)
        ASSERT_TRUE(m_manager->bLoadFileAfter(0x900 + i, BIG_cl_LoadManager::LoadFlag_NoRecord, i,
                                              &results[i], 1 + i % 6));
    for (int frame = 0; frame < 20000 && m_manager->ul_GetRequestCount() != 0; ++frame)
        m_manager->RunOneFrame(true);
    EXPECT_EQ(m_manager->ul_GetRequestCount(), 0u);
    EXPECT_EQ(g_seen.loads, 40);
    for (void* r : results)
        EXPECT_NE(r, nullptr);
    EXPECT_GT(m_manager->f_GetLoadingTime(), 0.0f);
}

// ---- the duplicated-files table through the load manager --------------------------

std::vector<uint8_t> DupData(uint32_t count, uint8_t shift, const std::vector<uint32_t>& entries) {
    std::vector<uint8_t> out;
    BIG::Endian::ByteAppender app(&out);
    app.U32(count);
    app.U8(shift);
    for (uint32_t v : entries)
        app.U32(v);
    return out;
}

TEST_F(LoadManagerTest, DuplicatedFilesTableLoadsFromKey0x1000) {
    BIG_DuplicatedFilesManager::CreateSingleton();
    // No key 0x1000: the empty table stays.
    EXPECT_FALSE(BIG_DuplicatedFilesManager::bLoadFromBigfile(*m_manager, *m_fat));
    EXPECT_FALSE(BIG_DuplicatedFilesManager::Get()->bHasData());

    AddFile("copies.dup", 0x1000, Content({}, DupData(3, 3, {10, 0xFFFFFFFF, 7})));
    ASSERT_TRUE(BIG_DuplicatedFilesManager::bLoadFromBigfile(*m_manager, *m_fat));
    auto table = BIG_DuplicatedFilesManager::Get();
    ASSERT_EQ(table->ul_GetCount(), 3u);
    EXPECT_EQ(static_cast<uint64_t>(table->ul_GetPosition(0)) * 8, 80u);
    EXPECT_EQ(table->ul_GetPosition(1), 0xFFFFFFFFu);
    EXPECT_EQ(m_manager->ul_GetRequestCount(), 0u);
    EXPECT_EQ(m_fat->ul_GetDataInMemory(m_fat->ul_GetFileIndex(0x1000, false)), 0u);
}

TEST_F(LoadManagerTest, MalformedDuplicatedFilesDataKeepsThePreviousTable) {
    const std::vector<uint8_t> previous = DupData(1, 3, {5});
    BIG_DuplicatedFilesManager::Replace(
        BIG_DuplicatedFilesManager::po_Decode(previous.data(), previous.size(), nullptr));
    struct Case {
        const char* what;
        std::vector<uint8_t> content;
    };
    std::vector<Case> cases = {
        {"count larger than the data", Content({}, DupData(1000, 3, {1, 2}))},
        {"huge count", Content({}, DupData(0xFFFFFFFF, 3, {}))},
        {"no data part", Content({0x1}, {})},
        {"reference table longer than the content", {9, 0, 0, 0, 1, 0, 0, 0}},
    };
    const uint32_t index = AddFile("copies.dup", 0x1000, {});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        m_fat->SaveFile(index, c.content.data(), static_cast<uint32_t>(c.content.size()));
        LoadLogCapture log;
        EXPECT_FALSE(BIG_DuplicatedFilesManager::bLoadFromBigfile(*m_manager, *m_fat));
        EXPECT_GE(log.Count("File is corrupted"), 1) << log.All();
        EXPECT_EQ(m_manager->ul_GetRequestCount(), 0u);  // the request completed
        EXPECT_EQ(BIG_DuplicatedFilesManager::ul_GetGlobalPosition(0), 5u);
    }
}

}  // namespace
