// The reference manager over a real bigfile built with the table's writer:
// indexing, the IDX round trip and its fallbacks, changes, removal, pause,
// yield rules and progress.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "BIGfile/BIG_Endian.h"
#include "BIGfile/BIG_Fat.h"
#include "BIGfile/BIG_Init.h"
#include "BIGfile/BIG_RefIndexFile.h"
#include "BIGfile/BIG_ReferenceManager.h"
#include "ERRor/ERR_Assert.h"
#include "ERRor/ERR_Log.h"
#include "platform/FaultInjection.h"
#include "platform/File.h"
#include "tests/support/LogCapture.h"

namespace {

namespace fs = std::filesystem;
using BIG::FileInfos;
using BIG::KeyCountVector;
using BIG::ReferenceManager;
using Bytes = std::vector<uint8_t>;

constexpr uint32_t kWaitMs = 20000;

Bytes ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteAll(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

using RefMessages = test_support::LogCapture;

// A clock that moves 10 s at every reading: the yield rule and the
// notification interval never hold anything back.
struct FastClock {
    std::atomic<uint64_t> now{1000000};
    uint64_t Read() { return now.fetch_add(10000) + 10000; }
};

struct FileRecipe {
    uint32_t key;
    std::vector<uint32_t> refs;
    std::string extension = "bin";
};

Bytes Content(const std::vector<uint32_t>& refs, uint32_t declaredCount = 0xFFFFFFFF) {
    Bytes bytes(4 + 4 * refs.size());
    BIG::Endian::Put32(bytes.data(),
                       declaredCount == 0xFFFFFFFF ? static_cast<uint32_t>(refs.size()) : declaredCount);
    for (size_t i = 0; i < refs.size(); ++i)
        BIG::Endian::Put32(bytes.data() + 4 + 4 * i, refs[i]);
    const char payload[] = "payload";
    bytes.insert(bytes.end(), payload, payload + sizeof payload);
    return bytes;
}

class RefMgrTest : public ::testing::Test {
protected:
    void SetUp() override {
        static std::atomic<int> counter{0};
        m_folder = fs::temp_directory_path() / ("orvex_refmgr_" + std::to_string(std::random_device{}()) +
                                                "_" + std::to_string(counter++));
        fs::remove_all(m_folder);
        fs::create_directories(m_folder);
        m_bigfile = (m_folder / "data.big").string();
        m_idx = (m_folder / "data.idx").string();
    }
    void TearDown() override {
        StopProcessManager();
        m_fat.reset();
        std::error_code ec;
        fs::remove_all(m_folder, ec);
        PLT::ClearFaults();
    }

    // The process-wide manager over the bigfile, with the library hooks
    // installed; both are taken back when the test ends, whatever it asserted.
    ReferenceManager* StartProcessManager() {
        m_savedHooks = BIG_LibraryHooks();
        mb_ProcessManager = true;
        ReferenceManager::SetCreationOptions(FastOptions());
        ReferenceManager::InstallLibraryHooks();
        return ReferenceManager::po_Create(*m_fat);
    }
    void StopProcessManager() {
        if (!mb_ProcessManager)
            return;
        mb_ProcessManager = false;
        ReferenceManager::Destroy();
        ReferenceManager::SetCreationOptions({});
        BIG_LibraryHooks() = m_savedHooks;
    }
    // A new bigfile holding `files`, left open for editing.
    void Build(const std::vector<FileRecipe>& files, uint32_t capacity = 32) {
        m_fat = std::make_unique<BIG_cl_Fat>();
        ASSERT_EQ(m_fat->File().eCreate(m_bigfile, false, 0xC0000000, true), BIG::eFile_Ok);
        ASSERT_TRUE(m_fat->Create(capacity, 8, 0, 1));
        for (const FileRecipe& f : files) {
            const std::string name = "f" + std::to_string(f.key) + "." + f.extension;
            const uint32_t index = m_fat->ul_CreateFile(name.c_str(), 1000, BIG_cl_Fat::kRootDir, f.key);
            ASSERT_NE(index, BIG_cl_Fat::kNoFile);
            const Bytes content = Content(f.refs);
            m_fat->SaveFile(index, content.data(), static_cast<uint32_t>(content.size()));
        }
        m_fat->File().eFlush();
    }
    // Closes and reopens the bigfile, as a new run would.
    void Reopen() {
        m_fat->File().eFlush();
        m_fat->File().eClose();
        m_fat = std::make_unique<BIG_cl_Fat>();
        ASSERT_EQ(m_fat->File().eOpen(m_bigfile, false, true, false), BIG::eFile_Ok);
        ASSERT_TRUE(m_fat->ReadFat(true));
    }
    // File times tick coarsely: waits (a few ms) until a file written now is
    // dated after `path`, so that an edit is seen as newer than the IDX file.
    void WaitForLaterFileTime(const std::string& path) {
        uint64_t target = 0;
        uint64_t changed = 0;
        ASSERT_TRUE(PLT::GetPathTimes(path, &target, &changed));
        const std::string probe = (m_folder / "probe").string();
        for (int i = 0; i < 5000; ++i) {
            WriteAll(probe, Bytes{1});
            uint64_t modified = 0;
            ASSERT_TRUE(PLT::GetPathTimes(probe, &modified, &changed));
            if (modified > target)
                return;
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        FAIL() << "the file clock did not move";
    }
    uint32_t Index(uint32_t key) { return m_fat->ul_GetFileIndex(key, false); }
    void SaveRefs(uint32_t key, const std::vector<uint32_t>& refs, uint32_t declaredCount = 0xFFFFFFFF) {
        const Bytes content = Content(refs, declaredCount);
        m_fat->SaveFile(Index(key), content.data(), static_cast<uint32_t>(content.size()));
    }

    ReferenceManager::Options FastOptions() {
        ReferenceManager::Options options;
        options.profilePath = (m_folder / "Marlin.ini").string();
        auto clock = m_clock;
        options.clockMs = [clock] { return clock->Read(); };
        options.loadManagerBusy = [] { return false; };
        return options;
    }
    // A started manager that has finished its first indexation.
    std::unique_ptr<ReferenceManager> Run(ReferenceManager::Options options) {
        auto manager = std::make_unique<ReferenceManager>(*m_fat, std::move(options));
        EXPECT_TRUE(manager->bStart());
        EXPECT_TRUE(manager->bWaitUntilComplete(kWaitMs));
        return manager;
    }
    std::unique_ptr<ReferenceManager> Run() { return Run(FastOptions()); }

    bool mb_ProcessManager = false;
    BIG_st_LibraryHooks m_savedHooks;
    fs::path m_folder;
    std::string m_bigfile;
    std::string m_idx;
    std::unique_ptr<BIG_cl_Fat> m_fat;
    std::shared_ptr<FastClock> m_clock = std::make_shared<FastClock>();
};

FileInfos Node(ReferenceManager& manager, uint32_t key) {
    FileInfos infos;
    EXPECT_TRUE(manager.bGetInfos(key, &infos)) << std::hex << key;
    return infos;
}

void ExpectSameGraph(const std::vector<FileInfos>& a, const std::vector<FileInfos>& b) {
    ASSERT_EQ(a.size(), b.size());
    for (size_t i = 0; i < a.size(); ++i) {
        EXPECT_EQ(a[i].ul_Key, b[i].ul_Key);
        EXPECT_EQ(a[i].uc_Present, b[i].uc_Present) << std::hex << a[i].ul_Key;
        EXPECT_EQ(a[i].ul_SelfRefs, b[i].ul_SelfRefs) << std::hex << a[i].ul_Key;
        EXPECT_EQ(a[i].References, b[i].References) << std::hex << a[i].ul_Key;
        EXPECT_EQ(a[i].ReferencedBy, b[i].ReferencedBy) << std::hex << a[i].ul_Key;
    }
}

// A -> B x3, A -> C, B -> C, C names itself twice, D alone, M an "mta" file
// that refers to A and is never indexed, and a reference to a missing key.
std::vector<FileRecipe> SmallBigfile() {
    return {
        {0xA0, {0xB0, 0xB0, 0xC0, 0xB0}},
        {0xB0, {0xC0, 0x12345}},
        {0xC0, {0xC0, 0xC0}},
        {0xD0, {}},
        {0xE0, {0xA0}, "mta"},
    };
}

TEST(RefMgrIdxPath, CutAfterTheFirstBigOfTheFileName) {
    struct Case {
        const char* bigfile;
        const char* idx;
    };
    const Case cases[] = {
        {"world.big", "world.idx"},
        {"/data/data.big.old", "/data/data.idx"},
        {"/data/World.BIG", "/data/World.idx"},
        {"/work/my.bigfiles/world.big", "/work/my.bigfiles/world.idx"},
        {"/work/my.big/world.bf", "/work/my.big/world.idx"},
        {"/work/world", "/work/world.idx"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ReferenceManager::IdxPathFor(c.bigfile), c.idx) << c.bigfile;
}

TEST(RefMgrStatusText, TextsOfEveryState) {
    EXPECT_EQ(ReferenceManager::StatusText(0, 0), "Indexation intialised.");
    EXPECT_EQ(ReferenceManager::StatusText(1, 12.34f), "Loading indexation file [12.3%]...");
    EXPECT_EQ(ReferenceManager::StatusText(2, 5), "Indexing files [5.0%]");
    EXPECT_EQ(ReferenceManager::StatusText(3, 100), "Updating indexation [100.0%]...");
    EXPECT_EQ(ReferenceManager::StatusText(4, 0), "Saving indexation file [0.0%]...");
    EXPECT_EQ(ReferenceManager::StatusText(5, 50), "Compute some stats [50.0%]");
    EXPECT_EQ(ReferenceManager::StatusText(6, 0), "Indexation complete.");
}

TEST_F(RefMgrTest, FullIndexingBuildsTheGraphWithCountsAndSelfReferences) {
    Build(SmallBigfile());
    auto manager = Run();
    EXPECT_EQ(manager->ul_GetState(), ReferenceManager::State_Complete);

    const FileInfos a = Node(*manager, 0xA0);
    EXPECT_EQ(a.References, (KeyCountVector{{0xB0, 3}, {0xC0, 1}}));
    EXPECT_TRUE(a.ReferencedBy.empty()) << "the mta file is not indexed";
    const FileInfos b = Node(*manager, 0xB0);
    EXPECT_EQ(b.References, (KeyCountVector{{0xC0, 1}})) << "missing keys are not linked";
    EXPECT_EQ(b.ReferencedBy, (KeyCountVector{{0xA0, 3}}));
    const FileInfos c = Node(*manager, 0xC0);
    EXPECT_EQ(c.ul_SelfRefs, 2u);
    EXPECT_TRUE(c.References.empty()) << "no self link";
    EXPECT_EQ(c.ReferencedBy, (KeyCountVector{{0xA0, 1}, {0xB0, 1}}));
    FileInfos none;
    EXPECT_FALSE(manager->bGetInfos(0xE0, &none));
    EXPECT_FALSE(manager->bGetInfos(0x12345, &none));
    EXPECT_EQ(manager->GetIsolatedFiles(), (std::vector<uint32_t>{0xD0}));
    EXPECT_EQ(manager->GetSelfReferencingFiles(), (std::vector<uint32_t>{0xC0}));
    EXPECT_TRUE(fs::exists(m_idx));
    EXPECT_FALSE(fs::exists(m_idx + ".tmp"));
}

TEST_F(RefMgrTest, CountThatDoesNotFitTheContentKeepsTheReferencesThatFit) {
    Build({{0xA0, {}}, {0xB0, {}}});
    // Count 1000, two keys, then the 8-byte payload: four words fit.
    SaveRefs(0xA0, {0xB0, 0xB0}, 1000);
    RefMessages messages;
    auto manager = Run();
    EXPECT_EQ(Node(*manager, 0xA0).References, (KeyCountVector{{0xB0, 2}}));
    EXPECT_TRUE(messages.bContains("lists 1000 references but its content holds 4")) << messages.All();
}

TEST_F(RefMgrTest, IdxRoundTripTrustsAnUntouchedBigfileAndRereadsOnlyChanges) {
    Build(SmallBigfile());
    std::vector<FileInfos> before;
    {
        auto manager = Run();
        EXPECT_EQ(manager->ull_GetFilesRead(), 4u) << "every indexed file once";
        before = manager->Snapshot();
    }
    const Bytes firstIdx = ReadAll(m_idx);
    Reopen();
    {
        auto manager = Run();
        EXPECT_EQ(manager->ull_GetFilesRead(), 0u) << "nothing changed since the IDX file";
        ExpectSameGraph(manager->Snapshot(), before);

        manager->Pause();
        SaveRefs(0xB0, {0xD0});
        manager->Resume();
        ASSERT_TRUE(manager->bWaitUntilComplete(kWaitMs));
        EXPECT_EQ(manager->ull_GetFilesRead(), 1u) << "only the saved file";
        EXPECT_EQ(Node(*manager, 0xB0).References, (KeyCountVector{{0xD0, 1}}));
        EXPECT_EQ(Node(*manager, 0xC0).ReferencedBy, (KeyCountVector{{0xA0, 1}}));
        EXPECT_EQ(Node(*manager, 0xD0).ReferencedBy, (KeyCountVector{{0xB0, 1}}));
        before = manager->Snapshot();
    }
    EXPECT_EQ(ReadAll(m_idx + ".backup"), firstIdx) << "the previous IDX file became the backup";
    Reopen();
    {
        auto manager = Run();
        EXPECT_EQ(manager->ull_GetFilesRead(), 0u);
        ExpectSameGraph(manager->Snapshot(), before);
    }
}

TEST_F(RefMgrTest, StopAfterTheBigfileClosedSavesNoGraphItCannotRead) {
    Build(SmallBigfile());
    auto busy = std::make_shared<std::atomic<bool>>(false);
    ReferenceManager::Options options = FastOptions();
    options.loadManagerBusy = [busy] { return busy->load(); };
    auto manager = Run(options);
    ASSERT_TRUE(fs::exists(m_idx));
    // A change the worker holds back while the game loads; then the bigfile closes first.
    busy->store(true);
    SaveRefs(0xA0, {0xB0, 0xD0});
    m_fat->File().eFlush();
    m_fat->File().eClose();
    manager->Stop();
    manager.reset();

    Reopen();
    auto next = Run();
    EXPECT_EQ(Node(*next, 0xA0).References, (KeyCountVector{{0xB0, 1}, {0xD0, 1}}));
    EXPECT_EQ(Node(*next, 0xD0).ReferencedBy, (KeyCountVector{{0xA0, 1}}));
}

TEST_F(RefMgrTest, BigfileWrittenAfterTheIdxFileIsReadAgain) {
    Build(SmallBigfile());
    { Run(); }
    // Another program edits the bigfile and adds a file; nobody updates the IDX file.
    WaitForLaterFileTime(m_idx);
    Reopen();
    SaveRefs(0xC0, {0xD0});
    const uint32_t added = m_fat->ul_CreateFile("added.bin", 1000, BIG_cl_Fat::kRootDir, 0xF0);
    ASSERT_NE(added, BIG_cl_Fat::kNoFile);
    const Bytes content = Content({0xA0});
    m_fat->SaveFile(added, content.data(), static_cast<uint32_t>(content.size()));
    Reopen();
    auto manager = Run();
    EXPECT_EQ(manager->ull_GetFilesRead(), 5u) << "every known file and the new one";
    const FileInfos c = Node(*manager, 0xC0);
    EXPECT_EQ(c.ul_SelfRefs, 0u);
    EXPECT_EQ(c.References, (KeyCountVector{{0xD0, 1}}));
    EXPECT_EQ(Node(*manager, 0xA0).ReferencedBy, (KeyCountVector{{0xF0, 1}}));
}

// File times tick coarsely: a bigfile dated like its IDX file may have been
// written just after it, so it is read again.
TEST_F(RefMgrTest, BigfileDatedLikeItsIdxFileIsReadAgain) {
    Build(SmallBigfile());
    { Run(); }
    Reopen();
    m_fat->File().eClose();
    fs::last_write_time(m_bigfile, fs::last_write_time(m_idx));
    Reopen();
    auto manager = Run();
    EXPECT_EQ(manager->ull_GetFilesRead(), 4u) << "nothing trusted";
}

// The graph is a cache: a folder that refuses it is said once, the
// references stay in memory and nothing is raised.
TEST_F(RefMgrTest, AnIdxFileThatCannotBeWrittenIsOneWarningAndTheGraphStaysInMemory) {
    Build(SmallBigfile());
    RefMessages messages;
    PLT::InjectFault(PLT::FaultOp::eOpen, 1, true);
    auto manager = Run();
    manager->Pause();
    SaveRefs(0xD0, {0xA0});
    manager->Resume();
    ASSERT_TRUE(manager->bWaitUntilComplete(kWaitMs));
    manager->Stop();
    PLT::ClearFaults();
    EXPECT_EQ(messages.Count("cannot be written"), 1u) << messages.All();
    EXPECT_FALSE(messages.bContains("Can not create indexation file.")) << messages.All();
    EXPECT_EQ(Node(*manager, 0xA0).ReferencedBy, (KeyCountVector{{0xD0, 1}}));
    EXPECT_FALSE(fs::exists(m_idx));
}

// A batch run's end waits for the whole graph; an interrupt before that
// leaves no IDX file.
TEST_F(RefMgrTest, FinishWaitsForTheIndexationOrStopsWithoutAPartialGraph) {
    Build(SmallBigfile());
    auto busy = std::make_shared<std::atomic<bool>>(true);
    ReferenceManager::Options options = FastOptions();
    options.loadManagerBusy = [busy] { return busy->load(); };
    {
        ReferenceManager manager(*m_fat, options);
        ASSERT_TRUE(manager.bStart());
        EXPECT_FALSE(manager.bFinish([] { return true; }, 1));
        EXPECT_FALSE(manager.bIsRunning());
        EXPECT_FALSE(fs::exists(m_idx));
    }
    ReferenceManager manager(*m_fat, options);
    ASSERT_TRUE(manager.bStart());
    EXPECT_TRUE(manager.bFinish([] { return false; }, 1))
        << "a busy loader does not hold back a batch run's end";
    EXPECT_EQ(manager.ul_GetState(), ReferenceManager::State_Complete);
    EXPECT_TRUE(fs::exists(m_idx));
    manager.Stop();
}

// The distinct states that the listeners saw, in order.
struct StateLog {
    std::mutex mutex;
    std::vector<uint32_t> states;
    static void Record(uint32_t state, const char*, void* user) {
        auto* log = static_cast<StateLog*>(user);
        std::lock_guard<std::mutex> lock(log->mutex);
        if (log->states.empty() || log->states.back() != state)
            log->states.push_back(state);
    }
    std::vector<uint32_t> States() {
        std::lock_guard<std::mutex> lock(mutex);
        return states;
    }
};

TEST_F(RefMgrTest, MalformedIdxFilesFallBackToFullIndexing) {
    Build(SmallBigfile());
    std::vector<FileInfos> expected;
    {
        auto manager = Run();
        expected = manager->Snapshot();
    }
    const Bytes valid = ReadAll(m_idx);
    auto words = [&](std::function<void(Bytes&)> edit) {
        Bytes b = valid;
        edit(b);
        return b;
    };
    FileInfos twice{0x77, 0, 0, {}, {}};
    struct Case {
        const char* name;
        Bytes bytes;
        const char* message;
    };
    const std::vector<Case> cases = {
        {"empty", Bytes(), "empty file"},
        {"size not a multiple of 4", words([](Bytes& b) { b.push_back(0); }), "not a multiple of 4"},
        {"wrong first magic", words([](Bytes& b) { b[0] ^= 0xFF; }), "bad magic"},
        {"wrong last magic", words([](Bytes& b) { b[b.size() - 1] ^= 0xFF; }), "bad magic"},
        {"version 2", words([](Bytes& b) { BIG::Endian::Put32(b.data() + 4, 2); }), "unknown version"},
        {"record count beyond the file",
         words([](Bytes& b) { BIG::Endian::Put32(b.data() + 8, 0x7FFFFFFF); }), "counts do not fit"},
        {"reference count beyond the file",
         words([](Bytes& b) { BIG::Endian::Put32(b.data() + 20, 0x40000000); }), "counts do not fit"},
        {"duplicate key", BIG::IdxFile::Encode({&twice, &twice}), "Duplicate key in the IDX file!"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WriteAll(m_idx, c.bytes);
        Reopen();
        RefMessages messages;
        StateLog log;
        auto manager = std::make_unique<ReferenceManager>(*m_fat, FastOptions());
        manager->AddProgressListener(&StateLog::Record, &log);
        ASSERT_TRUE(manager->bStart());
        ASSERT_TRUE(manager->bWaitUntilComplete(kWaitMs));
        ExpectSameGraph(manager->Snapshot(), expected);
        EXPECT_TRUE(messages.bContains(c.message)) << messages.All();
        EXPECT_EQ(log.States(), (std::vector<uint32_t>{1, 2, 4, 5, 6}));
        EXPECT_EQ(manager->ull_GetFilesRead(), 4u);
        manager.reset();
        EXPECT_EQ(ReadAll(m_idx), valid) << "the rewritten file is the full graph again";
    }
}

TEST_F(RefMgrTest, CountsFollowSavesAndSelfReferencesHaveNoLink) {
    Build({{0xA0, {}}, {0xB0, {}}, {0xC0, {}}});
    auto manager = Run();
    manager->Pause();
    SaveRefs(0xA0, {0xB0, 0xB0, 0xB0, 0xA0, 0xA0});
    manager->Resume();
    ASSERT_TRUE(manager->bWaitUntilComplete(kWaitMs));
    FileInfos a = Node(*manager, 0xA0);
    EXPECT_EQ(a.References, (KeyCountVector{{0xB0, 3}}));
    EXPECT_EQ(a.ul_SelfRefs, 2u);
    EXPECT_TRUE(a.ReferencedBy.empty());
    EXPECT_EQ(Node(*manager, 0xB0).ReferencedBy, (KeyCountVector{{0xA0, 3}}));
    EXPECT_EQ(manager->GetSelfReferencingFiles(), (std::vector<uint32_t>{0xA0}));

    manager->Pause();
    SaveRefs(0xA0, {0xB0, 0xC0, 0xB0});
    manager->Resume();
    ASSERT_TRUE(manager->bWaitUntilComplete(kWaitMs));
    a = Node(*manager, 0xA0);
    EXPECT_EQ(a.References, (KeyCountVector{{0xB0, 2}, {0xC0, 1}}));
    EXPECT_EQ(a.ul_SelfRefs, 0u);
    EXPECT_EQ(Node(*manager, 0xB0).ReferencedBy, (KeyCountVector{{0xA0, 2}}));
    EXPECT_EQ(Node(*manager, 0xC0).ReferencedBy, (KeyCountVector{{0xA0, 1}}));
    EXPECT_TRUE(manager->GetSelfReferencingFiles().empty());
}

TEST_F(RefMgrTest, RemovalKeepsReferencedEntriesAndDropsOthers) {
    Build({{0xA0, {0xB0}}, {0xB0, {0xC0}}, {0xC0, {}}, {0xD0, {0xC0}}});
    auto manager = Run();
    manager->Pause();
    ASSERT_TRUE(m_fat->bDeleteFile(Index(0xB0)));  // still named by A
    ASSERT_TRUE(m_fat->bDeleteFile(Index(0xD0)));  // named by nobody
    manager->Resume();
    ASSERT_TRUE(manager->bWaitUntilComplete(kWaitMs));

    const FileInfos b = Node(*manager, 0xB0);
    EXPECT_EQ(b.uc_Present, 0);
    EXPECT_TRUE(b.References.empty());
    EXPECT_EQ(b.ReferencedBy, (KeyCountVector{{0xA0, 1}}));
    FileInfos d;
    EXPECT_FALSE(manager->bGetInfos(0xD0, &d));
    EXPECT_TRUE(Node(*manager, 0xC0).ReferencedBy.empty());
    EXPECT_EQ(manager->GetIsolatedFiles(), (std::vector<uint32_t>{0xC0}));

    // Once A lets go of B, the absent entry leaves the graph too.
    manager->Pause();
    SaveRefs(0xA0, {});
    manager->Resume();
    ASSERT_TRUE(manager->bWaitUntilComplete(kWaitMs));
    EXPECT_FALSE(manager->bGetInfos(0xB0, &d));
    EXPECT_TRUE(Node(*manager, 0xA0).References.empty());
}

TEST_F(RefMgrTest, InactiveInSettingsStartsNothing) {
    Build(SmallBigfile());
    {
        std::ofstream ini(m_folder / "Marlin.ini");
        ini << "[ReferenceManager]\nActive=0\n";
    }
    RefMessages messages;
    ReferenceManager manager(*m_fat, FastOptions());
    EXPECT_FALSE(manager.bStart());
    EXPECT_FALSE(manager.bIsRunning());
    EXPECT_FALSE(manager.bWaitUntilComplete(10));
    EXPECT_EQ(manager.ul_GetState(), ReferenceManager::State_Initialised);
    EXPECT_EQ(manager.GetEntryCount(), 0u);
    // Not even watching the table: a save adds nothing.
    SaveRefs(0xA0, {0xB0});
    EXPECT_EQ(manager.GetPendingCount(), 0u);
    EXPECT_FALSE(messages.bContains("Starting files indexation"));
    EXPECT_FALSE(fs::exists(m_idx));
}

TEST_F(RefMgrTest, StartIsLogged) {
    Build(SmallBigfile());
    RefMessages messages;
    auto manager = Run();
    EXPECT_TRUE(messages.bContains("Starting files indexation..."));
}

// The clock stands still unless the worker sleeps; sleeps are counted.
struct ManualClock {
    std::atomic<uint64_t> now{500000};
    std::atomic<int> yieldSleeps{0};
    std::atomic<int> busyPolls{0};
};

TEST_F(RefMgrTest, YieldRulesQuietTimeLoadingAndImmediateMode) {
    Build({{0xA0, {}}, {0xB0, {}}});
    auto clock = std::make_shared<ManualClock>();
    ReferenceManager::Options options = FastOptions();
    options.clockMs = [clock] { return clock->now.load(); };
    options.sleepMs = [clock](uint32_t ms) {
        if (ms == ReferenceManager::kYieldSleepMs)
            ++clock->yieldSleeps;
        clock->now += ms;
    };
    // The load manager is busy for the first three questions of each batch.
    options.loadManagerBusy = [clock] { return clock->busyPolls.fetch_sub(1) > 0; };
    auto manager = Run(options);

    struct Batch {
        const char* name;
        int busy;
        int sleeps;
    };
    const Batch batches[] = {
        {"quiet time after the last change", 0, 2},
        {"load manager busy after the quiet time", 3, 5},
    };
    std::vector<uint32_t> refs;
    for (const Batch& batch : batches) {
        SCOPED_TRACE(batch.name);
        const int sleepsBefore = clock->yieldSleeps.load();
        clock->busyPolls = batch.busy;
        manager->Pause();
        refs.push_back(0xB0);
        SaveRefs(0xA0, refs);
        manager->Resume();
        ASSERT_TRUE(manager->bWaitUntilComplete(kWaitMs));
        EXPECT_EQ(clock->yieldSleeps.load() - sleepsBefore, batch.sleeps);
        EXPECT_EQ(Node(*manager, 0xA0).References,
                  (KeyCountVector{{0xB0, static_cast<uint32_t>(refs.size())}}));
    }

    // Immediate mode: the change is applied at once, inside the quiet time and
    // while the game loads; the save that follows waits for the game again.
    clock->busyPolls = 1 << 30;
    manager->SetImmediateMode(true);
    manager->Pause();
    SaveRefs(0xA0, {0xB0});
    manager->Resume();
    bool applied = false;
    for (int i = 0; i < 20000 && !applied; ++i) {
        FileInfos a;
        applied = manager->bGetInfos(0xA0, &a) && a.References == KeyCountVector{{0xB0, 1}};
        if (!applied)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_TRUE(applied);
    EXPECT_EQ(manager->ul_GetState(), ReferenceManager::State_Saving);
    EXPECT_FALSE(manager->bIsImmediateMode()) << "cleared once the changes are applied";
    clock->busyPolls = 0;
    ASSERT_TRUE(manager->bWaitUntilComplete(kWaitMs));
}

TEST_F(RefMgrTest, ProgressNotificationsAreSpacedAndEndWithCompletion) {
    std::vector<FileRecipe> files;
    for (uint32_t k = 1; k <= 40; ++k)
        files.push_back({0x100 + k, {0x100 + (k % 40) + 1}});
    Build(files, 64);
    auto clock = std::make_shared<ManualClock>();
    ReferenceManager::Options options = FastOptions();
    // Every reading moves 30 ms: about one notification in seven goes out.
    options.clockMs = [clock] { return clock->now.fetch_add(30) + 30; };
    options.sleepMs = [clock](uint32_t ms) { clock->now += ms; };

    struct Seen {
        std::mutex mutex;
        std::vector<std::pair<uint64_t, std::string>> calls;
        std::shared_ptr<ManualClock> clock;
    } seen;
    seen.clock = clock;
    ReferenceManager manager(*m_fat, options);
    const int id = manager.AddProgressListener(
        [](uint32_t, const char* text, void* user) {
            auto* s = static_cast<Seen*>(user);
            std::lock_guard<std::mutex> lock(s->mutex);
            s->calls.emplace_back(s->clock->now.load(), text);
        },
        &seen);
    ASSERT_TRUE(manager.bStart());
    ASSERT_TRUE(manager.bWaitUntilComplete(kWaitMs));
    manager.Stop();
    manager.RemoveProgressListener(id);

    std::lock_guard<std::mutex> lock(seen.mutex);
    ASSERT_GE(seen.calls.size(), 2u);
    EXPECT_EQ(seen.calls.back().second, "Indexation complete.");
    for (size_t i = 1; i < seen.calls.size(); ++i)
        EXPECT_GE(seen.calls[i].first - seen.calls[i - 1].first, 200u) << seen.calls[i].second;
    bool sawIndexing = false;
    for (const auto& call : seen.calls)
        sawIndexing = sawIndexing || call.second.rfind("Indexing files [", 0) == 0;
    EXPECT_TRUE(sawIndexing);
}

TEST_F(RefMgrTest, FailedSaveKeepsThePreviousIdxFileAndLeavesNoTemporary) {
    Build({{0xA0, {0xB0}}, {0xB0, {}}});
    auto manager = Run();
    const Bytes first = ReadAll(m_idx);
    RefMessages messages;
    manager->Pause();
    SaveRefs(0xA0, {});
    PLT::InjectFault(PLT::FaultOp::eRename, 1, true);
    manager->Resume();
    ASSERT_TRUE(manager->bWaitUntilComplete(kWaitMs));
    PLT::ClearFaults();
    EXPECT_TRUE(messages.bContains("Can not create indexation file.")) << messages.All();
    EXPECT_EQ(ReadAll(m_idx), first);
    for (const auto& entry : fs::directory_iterator(m_folder))
        EXPECT_EQ(entry.path().filename().string().find("data.idx.tmp"), std::string::npos) << entry.path();

    // The stop finds the graph newer than the file and saves it.
    manager.reset();
    Reopen();
    auto again = Run();
    EXPECT_EQ(again->ull_GetFilesRead(), 0u);
    EXPECT_TRUE(Node(*again, 0xA0).References.empty());
}

TEST_F(RefMgrTest, ResumeWithoutPauseIsReported) {
    Build({{0xA0, {}}});
    RefMessages messages;
    ReferenceManager manager(*m_fat, FastOptions());
    manager.Resume();
    EXPECT_TRUE(messages.bContains("BIG::ReferenceManager must be paused to use 'Resume'!"));
    manager.Pause();
    manager.Pause();  // nested on one thread
    EXPECT_EQ(manager.ul_GetPauseCount(), 2u);
    std::thread other([&] { manager.Resume(); });  // not the pausing thread
    other.join();
    EXPECT_EQ(manager.ul_GetPauseCount(), 2u);
    manager.Resume();
    manager.Resume();
    EXPECT_EQ(manager.ul_GetPauseCount(), 0u);
    EXPECT_EQ(manager.GetEntryCount(), 0u) << "the main lock is free again";
}

TEST_F(RefMgrTest, EditsWhileTheBigfileIsIndexedLeaveTheGraphOfTheEditedBigfile) {
    std::vector<FileRecipe> files;
    for (uint32_t k = 0; k < 300; ++k)
        files.push_back({0x1000 + k, {0x1000 + (k + 1) % 300, 0x1000 + (k * 7) % 300}});
    Build(files, 512);
    ReferenceManager* manager = StartProcessManager();
    ASSERT_NE(manager, nullptr);
    // Every edit pauses the worker for its duration, whatever state it is in.
    for (uint32_t k = 0; k < 300; k += 3) {
        SaveRefs(0x1000 + k, {0x1000 + (k + 2) % 300});
        const std::string name = "n" + std::to_string(k) + ".bin";
        const uint32_t added = m_fat->ul_CreateFile(name.c_str(), 1000, BIG_cl_Fat::kRootDir, 0x5000 + k);
        ASSERT_NE(added, BIG_cl_Fat::kNoFile);
        SaveRefs(0x5000 + k, {0x1000 + k});
        if (k % 2 == 0) {
            ASSERT_TRUE(m_fat->bDeleteFile(added));  // nobody refers to it
        }
    }
    ASSERT_TRUE(manager->bWaitUntilComplete(kWaitMs));
    const std::vector<FileInfos> live = manager->Snapshot();
    StopProcessManager();

    fs::remove(m_idx);
    fs::remove(m_idx + ".backup");
    auto fresh = Run();
    ExpectSameGraph(live, fresh->Snapshot());
}

TEST_F(RefMgrTest, TableGrowthPausesTheWorker) {
    std::vector<FileRecipe> files;
    for (uint32_t k = 1; k <= 8; ++k)
        files.push_back({0x200 + k, {0x200 + (k % 8) + 1}});
    Build(files, 8);
    ReferenceManager* manager = StartProcessManager();
    ASSERT_NE(manager, nullptr);
    ASSERT_TRUE(manager->bWaitUntilComplete(kWaitMs));

    std::atomic<int> progressCalls{0};
    std::atomic<bool> pausedDuringGrowth{true};
    m_fat->SetProgressCallback([&](int, float, const char*, const char*) {
        ++progressCalls;
        if (manager->ul_GetPauseCount() != 1 || !manager->bIsImmediateMode())
            pausedDuringGrowth = false;
    });
    uint32_t newFiles = 0;
    uint16_t newDirs = 0;
    m_fat->ComputeNewFileAndDirCount(0, &newFiles, &newDirs);
    ASSERT_TRUE(m_fat->bIncreaseFatSize(newFiles, newDirs));
    EXPECT_GT(progressCalls.load(), 0);
    EXPECT_TRUE(pausedDuringGrowth.load());
    EXPECT_EQ(manager->ul_GetPauseCount(), 0u);
    m_fat->SetProgressCallback({});

    // Files moved; the graph still reads them.
    manager->Pause();
    SaveRefs(0x201, {0x205});
    manager->Resume();
    ASSERT_TRUE(manager->bWaitUntilComplete(kWaitMs));
    EXPECT_EQ(Node(*manager, 0x201).References, (KeyCountVector{{0x205, 1}}));
    EXPECT_EQ(Node(*manager, 0x202).ReferencedBy, KeyCountVector{});

    // An editor that pauses around its edits may grow the table meanwhile:
    // the growth's own pause nests on the same thread.
    const uint32_t capacity = m_fat->ul_GetFileCount();
    manager->Pause();
    for (uint32_t k = 0; k <= capacity; ++k)
        ASSERT_NE(m_fat->ul_CreateFile(("g" + std::to_string(k) + ".bin").c_str(), 1000, BIG_cl_Fat::kRootDir,
                                       0x300 + k),
                  BIG_cl_Fat::kNoFile);
    SaveRefs(0x300, {0x201});
    manager->Resume();
    EXPECT_GT(m_fat->ul_GetFileCount(), capacity);
    ASSERT_TRUE(manager->bWaitUntilComplete(kWaitMs));
    EXPECT_EQ(Node(*manager, 0x201).ReferencedBy, (KeyCountVector{{0x208, 1}, {0x300, 1}}));

    StopProcessManager();
    EXPECT_EQ(ReferenceManager::po_Get(), nullptr);
}

// A writer that fills other bigfiles (the splitter's outputs) never waits
// for, nor holds back, the indexation of the bigfile it reads.
TEST_F(RefMgrTest, EditsOfAnotherTableLeaveTheWorkerAlone) {
    Build(SmallBigfile());
    ReferenceManager* manager = StartProcessManager();
    ASSERT_NE(manager, nullptr);
    ASSERT_TRUE(manager->bWaitUntilComplete(kWaitMs));

    BIG_cl_Fat other;
    ASSERT_EQ(other.File().eCreate((m_folder / "other.big").string(), false, 0xC0000000, true),
              BIG::eFile_Ok);
    ASSERT_TRUE(other.Create(1, 4, 0, 1));
    uint32_t pausesSeen = 0;
    other.SetProgressCallback(
        [&](int, float, const char*, const char*) { pausesSeen += manager->ul_GetPauseCount(); });
    for (uint32_t k = 0; k < 8; ++k) {  // past the first capacity: a growth too
        const uint32_t index =
            other.ul_CreateFile(("o" + std::to_string(k)).c_str(), 1000, BIG_cl_Fat::kRootDir, 0x900 + k);
        ASSERT_NE(index, BIG_cl_Fat::kNoFile);
        other.SaveFile(index, "abc", 3);
    }
    EXPECT_EQ(pausesSeen, 0u);
    EXPECT_EQ(manager->ul_GetPauseCount(), 0u);
    {
        BIG_cl_ReferenceManagerPause pause(*m_fat, false);
        EXPECT_EQ(manager->ul_GetPauseCount(), 1u) << "its own table's edits still pause it";
        BIG_cl_ReferenceManagerPause elsewhere(other, false);
        EXPECT_EQ(manager->ul_GetPauseCount(), 1u);
    }
    EXPECT_EQ(manager->ul_GetPauseCount(), 0u);
    other.File().eClose();
}

}  // namespace
