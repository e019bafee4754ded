// The writer's read-ahead: whatever its bounds, and whatever it fails to
// read, an output comes out as the writer alone would make it, and no thread
// outlives the output.
#include <gtest/gtest.h>

#include <csignal>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <random>
#include <thread>

#include "ERRor/ERR_Log.h"
#include "platform/FaultInjection.h"
#include "platform/Signals.h"
#include "test_writer_support.h"
#include "tests/support/LogCapture.h"

namespace {

using namespace writer_test;
using ovibig_test::Bytes;
using ovibig_test::ReadAll;
using ovibig_test::WriteAll;

constexpr uint32_t kFirstKey = 0x500;
constexpr uint32_t kFiles = 48;
constexpr uint32_t kLooseKey = kFirstKey + 41;    // "00000529.key", copied last
constexpr uint32_t kCorruptKey = kFirstKey + 20;  // its length word is made too large
constexpr uint32_t kSegmentSize = 96 * 1024;
constexpr const char* kFailedRead = "Failed reading BF!";

// A seeded sample over several segment files: contents from none to 40 KB
// (beyond the small bounds below), one link file, in directories.
std::vector<SourceFile> SampleFiles() {
    std::mt19937 random(17);
    std::vector<SourceFile> files;
    for (uint32_t i = 0; i < kFiles; ++i) {
        SourceFile f;
        f.dir = "/d" + std::to_string(i % 5);
        f.name = "f" + std::to_string(i) + ".bin";
        f.key = kFirstKey + i;
        f.time = 1000 + i;
        const uint32_t size = i % 9 == 4 ? 0 : i % 6 == 1 ? 20000 + random() % 20000 : random() % 5000;
        std::string payload(size, '\0');
        for (char& c : payload)
            c = static_cast<char>(random());
        if (size != 0)
            f.content = ovibig_test::Content({kFirstKey + (i + 1) % kFiles}, payload);
        files.push_back(f);
    }
    files[30].link = true;
    files[30].targets[0] = kFirstKey;
    return files;
}

// Every key of the sample, in an order unlike that of the places of their
// contents, and a key the source lacks.
std::vector<uint32_t> SampleKeys() {
    std::vector<uint32_t> keys;
    for (uint32_t i = 0; i < kFiles; ++i)
        keys.push_back(kFirstKey + (i * 7) % kFiles);
    keys.push_back(0x999);
    return keys;
}

size_t ThreadCount() {
    size_t n = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/task"))
        ++n;
    return n;
}

// What one output left: its status, its lines, the bytes of its files.
struct Outcome {
    int32_t result = 0;
    int32_t status = 0;
    std::string lines;
    std::vector<std::pair<std::string, Bytes>> files;
};

class ReadAheadTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(MakeSource(temp.File("source.big"), SampleFiles(), kSegmentSize));
        ASSERT_TRUE(fs::exists(temp.File("source.big2")));  // several segment files
        // A loose key file is loaded by the writer itself (its content
        // must match the table's checksum).
        const std::string loose = SampleFiles()[kLooseKey - kFirstKey].content;
        WriteAll(temp.File("00000529.key"), Bytes(loose.begin(), loose.end()));
        fs::create_directories(temp.Path() / "Data");
        ORVEX::OVI_bSetText(params.msz_BigfilePath, "source.big");
        ORVEX::OVI_bSetText(params.msz_DataRoot, "Data");
        ASSERT_TRUE(tool.bStart(params));
        ASSERT_NE(tool.mpo_Fat->FileEntry(tool.mpo_Fat->ul_GetFileIndex(kLooseKey, false)).uc_StorageFlags &
                      BIG_st_FileEntry::kStorageLooseKey,
                  0);
        // Stamps from the tables, so that two writes of an output compare.
        tool.mb_Reproducible = true;
    }
    void TearDown() override {
        PLT::ClearFaults();
        tool.eDeinit();
    }

    Outcome Write(ORVEX::OVI_ReadAhead::Limits limits) {
        tool.mo_ReadAheadLimits = limits;
        tool.SetStatus(OVC_Status_Success);
        auto output = TestSplitter::Output("Marlin", SampleKeys());
        const size_t threads = ThreadCount();
        testing::internal::CaptureStdout();
        Outcome outcome;
        outcome.result = tool._CreateBigFile(*output);
        // The output goes into place once its files are synced.
        if (outcome.result == 0)
            outcome.result = tool._eFinishPendingOutputs();
        std::fflush(stdout);
        outcome.lines = testing::internal::GetCapturedStdout();
        outcome.status = tool.l_Status();
        EXPECT_EQ(ThreadCount(), threads) << "a thread outlived the output";
        for (const std::string& name : Tree("Data/DLC/Marlin"))
            outcome.files.emplace_back(name, ReadAll("Data/DLC/Marlin/" + name));
        return outcome;
    }
    static void ExpectSame(const Outcome& got, const Outcome& plain) {
        EXPECT_EQ(got.result, plain.result);
        EXPECT_EQ(got.status, plain.status);
        EXPECT_EQ(got.lines, plain.lines);
        EXPECT_TRUE(got.files == plain.files) << "the output's files differ";
    }

    // Makes the length word of kCorruptKey's content claim far more than the
    // bigfile holds, and opens the source again.
    void CorruptLengthWord() {
        const std::vector<SourceFile> files = SampleFiles();
        const Bytes corrupt(files[kCorruptKey - kFirstKey].content.begin(),
                            files[kCorruptKey - kFirstKey].content.end());
        ASSERT_FALSE(corrupt.empty());
        int patched = 0;
        for (const auto& entry : fs::directory_iterator(".")) {
            const std::string name = entry.path().filename().string();
            if (name.rfind("source.big", 0) != 0)
                continue;
            Bytes bytes = ReadAll(name);
            auto at = std::search(bytes.begin(), bytes.end(), corrupt.begin(), corrupt.end());
            if (at == bytes.end())
                continue;
            BIG::Endian::Put32(&*(at - 4), 0x7FFFFFF0u);
            WriteAll(name, bytes);
            ++patched;
        }
        ASSERT_EQ(patched, 1);
        tool.eDeinit();
        ASSERT_TRUE(tool.bStart(params));
        tool.mb_Reproducible = true;
    }

    // The source file of each key of SampleKeys, in that order.
    std::vector<uint32_t> SampleSourceFiles() const {
        std::vector<uint32_t> files;
        for (uint32_t key : SampleKeys())
            files.push_back(tool.mpo_Fat->ul_GetFileIndex(key, false));
        return files;
    }
    // The content length of every source file, as the scan finds them.
    std::vector<uint32_t> ContentLengths() const {
        std::vector<uint32_t> lengths(tool.mpo_Fat->ul_GetFileCount());
        for (uint32_t index = 0; index < lengths.size(); ++index)
            lengths[index] = static_cast<uint32_t>(ContentOf(*tool.mpo_Fat, index).size());
        return lengths;
    }
    // The writer never waits; the tests do, so that every content was read
    // or failed before it is taken. False when the worker took too long.
    static bool bAllHandedOver(const ORVEX::OVI_ReadAhead& ahead) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (ahead.ul_GetHandedOver() < ahead.ul_GetJobCount() &&
               std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return ahead.ul_GetHandedOver() == ahead.ul_GetJobCount();
    }

    // Takes `slot` (source file `file`): true when a content was handed
    // out, which must then be that file's.
    static bool bTakeAndCheck(ORVEX::OVI_ReadAhead& ahead, uint32_t slot, BIG_cl_Fat& source, uint32_t file) {
        ORVEX::OVI_ReadAhead::Content content = ahead.Take(slot);
        if (!content.bRead())
            return false;
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(content.pu8_GetData()), content.ul_GetSize()),
                  ContentOf(source, file))
            << slot;
        return true;
    }

    static constexpr ORVEX::OVI_ReadAhead::Limits kPlain{0, 0};
    TempFolder temp;
    ScopedCurrentDirectory here{temp.Path().string()};
    ORVEX::OVI_SplitterParams params;
    TestSplitter tool;
};

TEST_F(ReadAheadTest, OutputsAreThoseOfThePlainPathWhateverTheBounds) {
    const Outcome plain = Write(kPlain);
    ASSERT_EQ(plain.result, 0) << plain.lines;
    ASSERT_EQ(plain.files.size(), 1u);
    struct Case {
        const char* what;
        ORVEX::OVI_ReadAhead::Limits limits;
    } cases[] = {
        {"the default bounds", {}},
        {"a ring smaller than the largest contents", {16 * 1024, 64}},
        {"a ring that holds one small content", {6000, 64}},
        {"one content at a time", {1u << 20, 1}},
    };
    // With the lengths the scan finds, contents are read in one read.
    const std::vector<uint32_t> lengths = ContentLengths();
    for (const bool known : {false, true}) {
        tool.mau_ContentLengths = known ? lengths : std::vector<uint32_t>();
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.what) + (known ? ", lengths known" : ""));
            ExpectSame(Write(c.limits), plain);
        }
    }
}

// A length that is not the one stored (the source changed since it was
// scanned) never yields a content cut or padded to it: the writer loads that
// file itself.
TEST_F(ReadAheadTest, AContentOfAnotherLengthThanTheOneExpectedIsLeftToTheWriter) {
    BIG_cl_Fat& source = *tool.mpo_Fat;
    const std::vector<uint32_t> files = SampleSourceFiles();
    std::vector<uint32_t> lengths = ContentLengths();
    // Slots whose files have content, each given a wrong length in turn.
    std::vector<uint32_t> wrong;
    for (uint32_t slot = 0; slot < files.size() && wrong.size() < 3; ++slot) {
        if (files[slot] != BIG_cl_Fat::kNoFile && lengths[files[slot]] > 8)
            wrong.push_back(slot);
    }
    ASSERT_EQ(wrong.size(), 3u);
    lengths[files[wrong[0]]] -= 1;
    lengths[files[wrong[1]]] += 8;
    lengths[files[wrong[2]]] = 1;

    ORVEX::OVI_ReadAhead ahead(source, files, ORVEX::OVI_ReadAhead::Limits{}, nullptr, &lengths);
    const size_t jobs = ahead.ul_GetJobCount();
    ASSERT_TRUE(bAllHandedOver(ahead));
    size_t read = 0;
    for (uint32_t slot = 0; slot < files.size(); ++slot) {
        const bool taken = bTakeAndCheck(ahead, slot, source, files[slot]);
        EXPECT_FALSE(taken && std::find(wrong.begin(), wrong.end(), slot) != wrong.end()) << slot;
        read += taken ? 1 : 0;
    }
    EXPECT_EQ(read, jobs - wrong.size());
}

// A read that fails on the worker hands that content over unread, never in
// part; the writer then loads it itself, with the outcome of its own load.
// The faults count every thread's reads (other threads of the process read
// too): from the nth on, every read fails, so at least the worker's reads
// from its nth on do.
TEST_F(ReadAheadTest, AReadFaultOnTheWorkerHandsTheContentOverUnread) {
    BIG_cl_Fat& source = *tool.mpo_Fat;
    const std::vector<uint32_t> files = SampleSourceFiles();
    for (const uint64_t nth : {1u, 2u, 5u, 9u, 0u}) {
        SCOPED_TRACE(nth);
        test_support::LogCapture log;
        if (nth != 0)
            PLT::InjectFault(PLT::FaultOp::eRead, nth, true);
        ORVEX::OVI_ReadAhead ahead(source, files);
        const size_t jobs = ahead.ul_GetJobCount();
        ASSERT_GT(jobs, 30u);
        ASSERT_TRUE(bAllHandedOver(ahead));
        PLT::ClearFaults();
        size_t read = 0;
        for (uint32_t slot = 0; slot < files.size(); ++slot)
            read += bTakeAndCheck(ahead, slot, source, files[slot]) ? 1 : 0;
        // Each content takes one read or two: those from the nth on failed.
        if (nth != 0)
            EXPECT_LE(read, nth - 1);
        else
            EXPECT_EQ(read, jobs);
        EXPECT_FALSE(log.bContains(kFailedRead)) << log.All();
    }
    // Reads that fail on both threads end as they do on the writer's alone.
    Outcome failed[2];
    size_t reports[2] = {};
    for (int k = 0; k < 2; ++k) {
        test_support::LogCapture log;
        PLT::InjectFault(PLT::FaultOp::eRead, 1, true);
        failed[k] = Write(k == 0 ? kPlain : ORVEX::OVI_ReadAhead::Limits{});
        PLT::ClearFaults();
        reports[k] = log.Count(kFailedRead);
    }
    ExpectSame(failed[1], failed[0]);
    EXPECT_EQ(reports[1], reports[0]);
    EXPECT_GT(reports[0], 0u);
}

// The ring kept from one reader to the next still holds the bytes of the
// one before: every content handed out must be its own, whatever the order
// of the files and whether the bound lets the ring be taken again.
TEST_F(ReadAheadTest, AKeptRingHandsOutOnlyTheContentsOfItsCurrentReader) {
    BIG_cl_Fat& source = *tool.mpo_Fat;
    // Only files whose content lies in the source's container: each slot is a job.
    std::vector<uint32_t> files;
    for (uint32_t key : SampleKeys()) {
        const uint32_t index = source.ul_GetFileIndex(key, false);
        BIG_st_ContentPlace place;
        if (index != BIG_cl_Fat::kNoFile && source.bGetContentPlace(index, &place) && place.po_Fat == &source)
            files.push_back(index);
    }
    std::vector<uint32_t> reversed(files.rbegin(), files.rend());
    ORVEX::OVI_ReadAhead::Ring keep;
    const struct {
        const std::vector<uint32_t>* files;
        ORVEX::OVI_ReadAhead::Limits limits;
    } readers[] = {{&files, {16 * 1024, 64}},
                   {&reversed, {16 * 1024, 64}},
                   {&files, {}},
                   {&reversed, {}},
                   {&files, {16 * 1024, 64}}};
    for (size_t r = 0; r < std::size(readers); ++r) {
        SCOPED_TRACE(r);
        const std::vector<uint32_t>& order = *readers[r].files;
        ORVEX::OVI_ReadAhead ahead(source, order, readers[r].limits, &keep);
        ASSERT_EQ(ahead.ul_GetJobCount(), order.size());
        ASSERT_GT(order.size(), 30u);
        size_t read = 0;
        for (uint32_t slot = 0; slot < order.size(); ++slot) {
            // Waits, unlike the writer, so that every content is read ahead.
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
            while (ahead.ul_GetHandedOver() <= slot && std::chrono::steady_clock::now() < deadline)
                std::this_thread::sleep_for(std::chrono::microseconds(100));
            read += bTakeAndCheck(ahead, slot, source, order[slot]) ? 1 : 0;
        }
        // Only contents larger than the ring are left to the writer.
        EXPECT_GT(read, order.size() / 2);
    }
}

// A file whose length word is corrupt is left to the writer, which reports
// it; the report asks for an interrupt, which stops the output at the next
// file, with the worker reading ahead.
TEST_F(ReadAheadTest, AnInterruptMidOutputStopsTheWorkerAndFailsTheOutputAsBefore) {
    CorruptLengthWord();

    Outcome outcomes[2];
    for (int k = 0; k < 2; ++k) {
        PLT::CatchInterrupts();
        const int listener = ERR_AddLogListener([](const ERR_st_LogRecord& record) {
            if (record.text.find("invalid size") != std::string::npos)
                std::raise(SIGINT);
        });
        test_support::LogCapture log;
        outcomes[k] = Write(k == 0 ? kPlain : ORVEX::OVI_ReadAhead::Limits{16 * 1024, 4});
        ERR_RemoveLogListener(listener);
        PLT::ClearInterrupt();
        PLT::ReleaseInterrupts();
        EXPECT_TRUE(log.bContains("invalid size")) << log.All();
    }
    EXPECT_EQ(outcomes[0].result, -1);
    EXPECT_NE(outcomes[0].lines.find("Marlin: interrupted"), std::string::npos) << outcomes[0].lines;
    EXPECT_TRUE(outcomes[0].files.empty());
    ExpectSame(outcomes[1], outcomes[0]);
}

// A content that cannot be read fails its output: it is never copied as an
// empty file under a successful run.
TEST_F(ReadAheadTest, AContentThatCannotBeReadFailsTheOutput) {
    for (const bool fault : {true, false}) {
        SCOPED_TRACE(fault ? "reads fail" : "a length word runs past the bigfile");
        if (!fault)
            CorruptLengthWord();
        for (const ORVEX::OVI_ReadAhead::Limits limits : {kPlain, ORVEX::OVI_ReadAhead::Limits{}}) {
            SCOPED_TRACE(limits.ull_Bytes);
            test_support::LogCapture log;
            if (fault)
                PLT::InjectFault(PLT::FaultOp::eRead, 1, true);
            const Outcome outcome = Write(limits);
            PLT::ClearFaults();
            EXPECT_EQ(outcome.result, -1);
            EXPECT_EQ(outcome.status, OVC_Status_Failure);
            EXPECT_NE(outcome.lines.find("cannot be read from the source bigfile"), std::string::npos)
                << outcome.lines;
            EXPECT_TRUE(outcome.files.empty());
        }
    }
}

}  // namespace
