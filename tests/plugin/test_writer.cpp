// The output writer: place, content and entries of the copied files, the
// directory-count rule, replacement content, the gzip copy, and what a failed
// output leaves behind.
#include <gtest/gtest.h>
#include <zlib.h>

#include <csignal>

#include <algorithm>
#include <chrono>

#include "BIGfile/BIG_Endian.h"
#include "platform/Clock.h"
#include "platform/FaultInjection.h"
#include "platform/Process.h"
#include "platform/Signals.h"
#include "plugin/OVI_Gzip.h"
#include "test_writer_support.h"

namespace {

using namespace writer_test;
using ovibig_test::ReadAll;
using ovibig_test::WriteAll;

constexpr uint32_t kHouse = 0x100;    // /levels/town/house.msh
constexpr uint32_t kStreet = 0x101;   // /levels/town/street.txd
constexpr uint32_t kTree = 0x102;     // /Levels/forest/tree.txd
constexpr uint32_t kRootIni = 0x103;  // /root.ini
constexpr uint32_t kGate = 0x104;     // /links/gate.msh, a link file
constexpr uint32_t kNothing = 0x105;  // /empty/nothing.mat, no content
constexpr uint32_t kTown = 0x106;     // /levels/town/Town.wor
constexpr uint32_t kMissing = 0x999;  // not in the source
constexpr const char* kUnableLine = "[   error][big-file        ][Unable to Create]";

std::vector<SourceFile> SourceFiles() {
    std::vector<SourceFile> files = {
        {"/levels/town", "house.msh", kHouse, ovibig_test::Content({kStreet}, "house"), 111},
        {"/levels/town", "street.txd", kStreet, "texture-A", 222},
        {"/Levels/forest", "tree.txd", kTree, "texture-BB", 333},
        {"", "root.ini", kRootIni, "ini", 444},
        {"/links", "gate.msh", kGate, "", 555, true},
        {"/empty", "nothing.mat", kNothing, "", 666},
        {"/levels/town", "Town.wor", kTown, ovibig_test::Content({kHouse}, "world"), 777},
    };
    files[4].targets[0] = kHouse;
    files[4].targets[1] = kStreet;
    files[4].targets[2] = 0xDEAD;
    return files;
}

std::string Captured() {
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

class WriterTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(MakeSource(temp.File("source.big"), SourceFiles()));
        fs::create_directories(temp.Path() / "Data");
        // Short relative paths: the block's fields hold 63 characters.
        ORVEX::OVI_bSetText(params.msz_BigfilePath, "source.big");
        ORVEX::OVI_bSetText(params.msz_DataRoot, "Data");
        params.muw_PackageId = 0x1234;
        params.muw_PackageWord = 0x0042;
        ASSERT_TRUE(tool.bStart(params));
    }
    void TearDown() override {
        PLT::ClearFaults();
        tool.eDeinit();
    }

    int32_t Write(const std::string& name, const std::vector<uint32_t>& keys, uint32_t capacity = 0) {
        auto output = TestSplitter::Output(name, keys, capacity);
        output->ul_PackageId = tool.mo_Params.muw_PackageId;
        output->ul_PackageWord = tool.mo_Params.muw_PackageWord;
        const int32_t written = tool._CreateBigFile(*output);
        // A gzip copy is written in the background: the output goes into
        // place once it is done.
        const int32_t placed = tool._eFinishPendingOutputs();
        return written != 0 ? written : placed;
    }
    // Writes `name` and leaves it waiting for its gzip copy, as the run does
    // while it writes the next output.
    int32_t Start(const std::string& name, const std::vector<uint32_t>& keys) {
        auto output = TestSplitter::Output(name, keys);
        return tool._CreateBigFile(*output);
    }
    static std::string OutPath(const std::string& name) { return "Data/DLC/" + name + "/" + name + ".big"; }

    TempFolder temp;
    ScopedCurrentDirectory here{temp.Path().string()};
    ORVEX::OVI_SplitterParams params;
    TestSplitter tool;
};

TEST_F(WriterTest, CopiesChosenFilesWithTheirPlaceNameTimeTypeAndLinkMarker) {
    ASSERT_EQ(Write("Marlin", {kHouse, kStreet, kRootIni, kGate, kNothing, kMissing}), 0);
    EXPECT_EQ(tool.l_Status(), OVC_Status_Success);
    // Nothing but the bigfile is left: the work folder is gone.
    EXPECT_EQ(Tree("Data"), (std::vector<std::string>{"DLC", "DLC/Marlin", "DLC/Marlin/Marlin.big"}));

    auto out = OpenOutput(OutPath("Marlin"));
    ASSERT_NE(out, nullptr);
    BIG_cl_Fat& source = *tool.mpo_Fat;
    EXPECT_EQ(out->ul_GetFileCount(), 6u);  // one entry per key of the array
    EXPECT_EQ(out->ul_CountUsedFiles(), 5u);
    EXPECT_EQ(out->uc_GetHeaderByte(), 1u);
    EXPECT_EQ(out->ul_GetPackageWord(), 0x12340042u);
    EXPECT_EQ(out->ul_GetFileIndex(kMissing, false), BIG_cl_Fat::kNoFile);
    for (uint32_t key : {kHouse, kStreet, kRootIni, kGate, kNothing}) {
        SCOPED_TRACE(key);
        const uint32_t i = out->ul_GetFileIndex(key, false);
        const uint32_t s = source.ul_GetFileIndex(key, false);
        ASSERT_NE(i, BIG_cl_Fat::kNoFile);
        EXPECT_EQ(out->GetFilePath(i), source.GetFilePath(s));
        EXPECT_EQ(out->FileEntry(i).ul_Time, source.FileEntry(s).ul_Time);
        EXPECT_EQ(out->FileEntry(i).uc_Type, source.FileEntry(s).uc_Type);
        EXPECT_EQ(out->FileEntry(i).ul_Flags & BIG_st_FileEntry::kFlagLinkMask,
                  source.FileEntry(s).ul_Flags & BIG_st_FileEntry::kFlagLinkMask);
        EXPECT_EQ(ContentOf(*out, i), ContentOf(source, s));
    }
    EXPECT_EQ(out->GetFilePath(out->ul_GetFileIndex(kHouse, false)), "//levels/town/house.msh");
    // The link file stays one, with its targets.
    uint32_t targets[4];
    out->GetLinkFileKeys(out->ul_GetFileIndex(kGate, false), targets);
    EXPECT_EQ(targets[0], kHouse);
    EXPECT_EQ(targets[1], kStreet);
    EXPECT_EQ(out->FileEntry(out->ul_GetFileIndex(kNothing, false)).ul_Pos, BIG_st_FileEntry::kNone);
    out->File().eClose();
}

TEST_F(WriterTest, DirectoryCountFollowsTheBaseOrTheKeyCountModulo65536) {
    const struct {
        uint32_t keys;
        uint16_t base;
        uint16_t dirs;
    } cases[] = {
        {3, 16384, 16387}, {20000, 16384, 20000}, {70000, 16384, 4464}, {5, 10, 13}, {20, 10, 20},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.keys);
        tool.mo_Params.muw_DirCountBase = c.base;
        // Keys the source lacks: the table is laid out, nothing is copied.
        std::vector<uint32_t> keys;
        for (uint32_t k = 0; k < c.keys; ++k)
            keys.push_back(0x40000000 + k);
        ASSERT_EQ(Write("Count", keys), 0);
        auto out = OpenOutput(OutPath("Count"));
        ASSERT_NE(out, nullptr);
        EXPECT_EQ(out->uw_GetDirCount(), c.dirs);
        EXPECT_EQ(out->ul_GetFileCount(), c.keys);
        out->File().eClose();
    }
}

TEST_F(WriterTest, KeysBeyondTheCapacityAreDroppedAndAnEmptyOutputIsAnEmptyBigfile) {
    ASSERT_EQ(Write("Two", {kRootIni, kHouse, kStreet}, 2), 0);
    auto out = OpenOutput(OutPath("Two"));
    ASSERT_NE(out, nullptr);
    EXPECT_NE(out->ul_GetFileIndex(kHouse, false), BIG_cl_Fat::kNoFile);
    EXPECT_NE(out->ul_GetFileIndex(kStreet, false), BIG_cl_Fat::kNoFile);
    EXPECT_EQ(out->ul_GetFileIndex(kRootIni, false), BIG_cl_Fat::kNoFile);
    out->File().eClose();

    ASSERT_EQ(Write("Empty", {}), 0);
    out = OpenOutput(OutPath("Empty"));
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(out->ul_CountUsedFiles(), 0u);
    out->File().eClose();
}

TEST_F(WriterTest, ReplacementContentGoesToEveryTxdFileOnly) {
    const std::string replacement = "REPLACED";
    tool.mo_Replacement.ul_Type = 126;
    tool.mo_Replacement.ul_Size = static_cast<uint32_t>(replacement.size());
    tool.mo_Replacement.p_Data.reset(new uint8_t[replacement.size()]);
    std::memcpy(tool.mo_Replacement.p_Data.get(), replacement.data(), replacement.size());

    ASSERT_EQ(Write("Marlin", {kHouse, kStreet, kTree}), 0);
    auto out = OpenOutput(OutPath("Marlin"));
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(ContentOf(*out, out->ul_GetFileIndex(kStreet, false)), replacement);
    EXPECT_EQ(ContentOf(*out, out->ul_GetFileIndex(kTree, false)), replacement);
    EXPECT_EQ(ContentOf(*out, out->ul_GetFileIndex(kHouse, false)), ovibig_test::Content({kStreet}, "house"));
    // The replacement does not change the time either.
    EXPECT_EQ(out->FileEntry(out->ul_GetFileIndex(kStreet, false)).ul_Time, 222u);
    out->File().eClose();
}

TEST_F(WriterTest, CompressWritesAGzipCopyThatGzipAcceptsBesideTheBigfile) {
    tool.mo_Params.mb_Compress = true;
    ASSERT_EQ(Write("Town", {kHouse, kStreet, kTown}), 0);
    EXPECT_EQ(Tree("Data/DLC/Town"), (std::vector<std::string>{"Town.big", "Town.big.gz"}));

    PLT::ProcessResult result;
    ASSERT_TRUE(PLT::RunProcess({"gzip", "-t", OutPath("Town") + ".gz"}, {}, &result));
    EXPECT_EQ(result.exitCode, 0) << result.err;

    gzFile in = gzopen((OutPath("Town") + ".gz").c_str(), "rb");
    ASSERT_NE(in, nullptr);
    std::vector<uint8_t> unpacked;
    uint8_t block[4096];
    int got;
    while ((got = gzread(in, block, sizeof block)) > 0)
        unpacked.insert(unpacked.end(), block, block + got);
    gzclose(in);
    EXPECT_EQ(unpacked, ReadAll(OutPath("Town")));
}

// A reproducible output is the same bytes, gzip copy included, whatever the
// clock and the data root; the gzip header carries the run's time. Without
// it the set stamp is the counter's and the gzip header has no time.
TEST_F(WriterTest, ReproducibleOutputsAreTheSameBytesWhateverTheClockAndTheDataRoot) {
    tool.mo_Params.mb_Compress = true;
    fs::create_directories(temp.Path() / "Later");
    const std::vector<uint32_t> keys = {kHouse, kStreet, kGate, kNothing, kTown};
    const struct {
        bool reproducible;
        uint32_t gzipTime;
    } cases[] = {{true, 1234567890u}, {false, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reproducible ? "reproducible" : "plain");
        tool.mb_Reproducible = c.reproducible;
        tool.mul_GzipTime = c.gzipTime;
        ORVEX::OVI_bSetText(tool.mo_Params.msz_DataRoot, "Data");
        ASSERT_EQ(Write("Town", keys), 0);
        PLT::ShiftClocksForTests(86400);
        ORVEX::OVI_bSetText(tool.mo_Params.msz_DataRoot, "Later");
        const int32_t later = Write("Town", keys);
        PLT::ShiftClocksForTests(0);
        ASSERT_EQ(later, 0);
        const std::string first = OutPath("Town");
        const std::string second = "Later/DLC/Town/Town.big";
        EXPECT_EQ(ReadAll(first) == ReadAll(second), c.reproducible);
        EXPECT_EQ(ReadAll(first + ".gz") == ReadAll(second + ".gz"), c.reproducible);
        const std::vector<uint8_t> gz = ReadAll(second + ".gz");
        ASSERT_GE(gz.size(), 8u);
        EXPECT_EQ(BIG::Endian::Get32(gz.data() + 4), c.gzipTime);
        auto output = OpenOutput(second);
        ASSERT_NE(output, nullptr);
        EXPECT_EQ(output->FileEntry(output->ul_GetFileIndex(kTown, false)).ul_Time, 777u);
        output->File().eClose();
    }
}

// Where the run takes its reproducibility from: the host's variable, or
// SOURCE_DATE_EPOCH, which also gives the gzip time; a malformed one stops
// the run before anything is written.
TEST_F(WriterTest, ReproducibilityComesFromTheHostOrSourceDateEpoch) {
    uint64_t modifiedNs = 0, changedNs = 0;
    ASSERT_TRUE(PLT::GetPathTimes("source.big", &modifiedNs, &changedNs));
    const uint32_t sourceTime = static_cast<uint32_t>(modifiedNs / 1000000000u);
    const struct {
        const char* host;   // ORVEX_HOST_REPRODUCIBLE, "" for unset
        const char* epoch;  // SOURCE_DATE_EPOCH, "" for unset
        bool ok;
        bool reproducible;
        uint32_t gzipTime;
    } cases[] = {
        {"", "", true, false, 0},
        {"1", "", true, true, sourceTime},
        {"", "1700000000", true, true, 1700000000u},
        {"1", "42", true, true, 42},
        {"", "soon", false, false, 0},
        {"1", "-5", false, false, 0},
    };
    testing::internal::CaptureStdout();
    for (const auto& c : cases) {
        PLT::SetEnvironmentVariable("ORVEX_HOST_REPRODUCIBLE", c.host);
        PLT::SetEnvironmentVariable("SOURCE_DATE_EPOCH", c.epoch);
        tool.mul_GzipTime = 99;
        EXPECT_EQ(tool._bTakeReproducibility(), c.ok) << c.host << " " << c.epoch;
        if (!c.ok)
            continue;
        EXPECT_EQ(tool.mb_Reproducible, c.reproducible) << c.host << " " << c.epoch;
        EXPECT_EQ(tool.mul_GzipTime, c.gzipTime) << c.host << " " << c.epoch;
    }
    PLT::SetEnvironmentVariable("ORVEX_HOST_REPRODUCIBLE", "");
    PLT::SetEnvironmentVariable("SOURCE_DATE_EPOCH", "");
    const std::string lines = Captured();
    EXPECT_NE(lines.find("SOURCE_DATE_EPOCH=soon is not a time in seconds"), std::string::npos) << lines;
    EXPECT_NE(lines.find("SOURCE_DATE_EPOCH=-5 is not a time in seconds"), std::string::npos) << lines;
}

TEST_F(WriterTest, GzipCopyOfAMissingFileFailsAndLeavesNoDestination) {
    std::string error;
    EXPECT_FALSE(ORVEX::OVI_bGzipCopy("no-such.big", "no-such.big.gz", &error));
    EXPECT_NE(error.find("no-such.big"), std::string::npos) << error;
    EXPECT_FALSE(fs::exists("no-such.big.gz"));
    // Into a folder that does not exist: the writer cannot be created.
    WriteAll("plain.big", {1, 2, 3});
    EXPECT_FALSE(ORVEX::OVI_bGzipCopy("plain.big", "no/such/folder/plain.big.gz", &error));
}

std::vector<uint8_t> Gunzip(const std::string& path) {
    std::vector<uint8_t> unpacked;
    gzFile in = gzopen(path.c_str(), "rb");
    if (in == nullptr)
        return unpacked;
    uint8_t block[65536];
    int got;
    while ((got = gzread(in, block, sizeof block)) > 0)
        unpacked.insert(unpacked.end(), block, block + got);
    gzclose(in);
    return unpacked;
}

// Half compressible bytes: runs of a counter between runs of noise.
std::vector<uint8_t> MixedBytes(size_t size) {
    std::vector<uint8_t> bytes(size);
    uint32_t state = 5;
    for (size_t i = 0; i < bytes.size(); ++i) {
        state = state * 1664525u + 1013904223u;
        bytes[i] = static_cast<uint8_t>((i % 512 < 256) ? i / 7 : state >> 24);
    }
    return bytes;
}

TEST_F(WriterTest, GzipCopiesOfSeveralMembersReadBackWholeAndAWriteFaultLeavesNone) {
    struct Case {
        const char* what;
        size_t size;
    } cases[] = {
        {"empty", 0},
        {"one member", 1000},
        {"exactly two chunks", 2 * ORVEX::kGzipChunkSize},
        {"five members, the last short", 4 * ORVEX::kGzipChunkSize + 12345},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::vector<uint8_t> bytes = MixedBytes(c.size);
        WriteAll("source.big", bytes);
        std::string error;
        ASSERT_TRUE(ORVEX::OVI_bGzipCopy("source.big", "source.big.gz", &error)) << error;
        PLT::ProcessResult result;
        ASSERT_TRUE(PLT::RunProcess({"gzip", "-t", "source.big.gz"}, {}, &result));
        EXPECT_EQ(result.exitCode, 0) << result.err;
        EXPECT_EQ(Gunzip("source.big.gz"), bytes);

        for (const PLT::FaultOp op : {PLT::FaultOp::eRead, PLT::FaultOp::eWrite}) {
            if (c.size == 0 && op == PLT::FaultOp::eRead)
                continue;  // an empty source is never read
            PLT::InjectFault(op, c.size > ORVEX::kGzipChunkSize ? 2 : 1);
            EXPECT_FALSE(ORVEX::OVI_bGzipCopy("source.big", "faulted.big.gz", &error));
            PLT::ClearFaults();
            EXPECT_FALSE(fs::exists("faulted.big.gz"));
        }
    }
}

// Copies come back in the order they were queued, each whole; a cancelled
// copy leaves no destination, and the copier goes on with the next ones.
TEST_F(WriterTest, GzipCopiesComeBackInTheirOrderAndACancelledOneLeavesNone) {
    const std::vector<uint8_t> large = MixedBytes(48u << 20);
    WriteAll("large.big", large);
    WriteAll("small.big", MixedBytes(3 * ORVEX::kGzipChunkSize + 7));
    ORVEX::OVI_GzipCopier copier;
    copier.Start("small.big", "first.gz", 0);
    copier.Start("no-such.big", "missing.gz", 0);
    copier.Start("large.big", "second.gz", 0);
    EXPECT_EQ(copier.ul_Queued(), 3u);
    std::string error;
    EXPECT_TRUE(copier.bFinish(&error)) << error;
    EXPECT_EQ(Gunzip("first.gz"), ReadAll("small.big"));
    EXPECT_FALSE(copier.bFinish(&error));
    EXPECT_NE(error.find("cannot open no-such.big"), std::string::npos) << error;
    EXPECT_FALSE(fs::exists("missing.gz"));
    EXPECT_TRUE(copier.bFinish(&error)) << error;
    EXPECT_EQ(Gunzip("second.gz"), large);

    // 48 members do not end while the next line runs.
    copier.Start("large.big", "cancelled.gz", 0);
    copier.Cancel();
    copier.Start("small.big", "after.gz", 0);
    bool cancelled = false;
    EXPECT_FALSE(copier.bFinish(&error, &cancelled));
    EXPECT_TRUE(cancelled);
    EXPECT_FALSE(fs::exists("cancelled.gz"));
    EXPECT_TRUE(copier.bFinish(&error, &cancelled)) << error;
    EXPECT_FALSE(cancelled);
    EXPECT_EQ(Gunzip("after.gz"), ReadAll("small.big"));
    EXPECT_FALSE(copier.bFinish(&error));  // nothing queued
    EXPECT_EQ(copier.ul_Queued(), 0u);
}

// An interrupt does not wait for the copies under way: their outputs are not
// finished and keep the bigfile and copy they had.
TEST_F(WriterTest, AnInterruptDropsTheOutputsWhoseCopiesHaveNotEnded) {
    constexpr uint32_t kLarge = 0x200;
    std::vector<SourceFile> files = SourceFiles();
    const std::vector<uint8_t> noise = MixedBytes(24u << 20);
    files.push_back({"/large", "large.bin", kLarge, std::string(noise.begin(), noise.end()), 888});
    ASSERT_TRUE(MakeSource(temp.File("large.big"), files));
    tool.eDeinit();
    ORVEX::OVI_bSetText(params.msz_BigfilePath, "large.big");
    ASSERT_TRUE(tool.bStart(params));
    tool.mo_Params.mb_Compress = true;
    ASSERT_EQ(Write("Large", {kHouse}), 0);
    const std::vector<uint8_t> before = ReadAll(OutPath("Large"));
    const std::vector<uint8_t> beforeCopy = ReadAll(OutPath("Large") + ".gz");

    ASSERT_EQ(Start("Large", {kHouse, kLarge}), 0);
    const bool ended = tool.mpo_Gzip->bOldestEnded();
    PLT::CatchInterrupts();
    std::raise(SIGINT);
    testing::internal::CaptureStdout();
    const int32_t result = tool._eFinishPendingOutputs();
    const std::string lines = Captured();
    PLT::ClearInterrupt();
    PLT::ReleaseInterrupts();
    EXPECT_EQ(Tree("Data/DLC/Large"), (std::vector<std::string>{"Large.big", "Large.big.gz"}));
    EXPECT_EQ(Gunzip(OutPath("Large") + ".gz"), ReadAll(OutPath("Large")));
    if (!ended) {  // a copy of 24 members has hardly ever ended by then
        EXPECT_EQ(result, -1);
        EXPECT_NE(lines.find("Large: interrupted"), std::string::npos) << lines;
        EXPECT_NE(lines.find(kUnableLine), std::string::npos) << lines;
        EXPECT_EQ(ReadAll(OutPath("Large")), before);
        EXPECT_EQ(ReadAll(OutPath("Large") + ".gz"), beforeCopy);
    }
}

// The run writes the next outputs while the copies of those before are
// written: each waits, whole, in its work folder, and moves into place with
// its copy once the copy has ended; never is a bigfile in place without it.
TEST_F(WriterTest, OutputsWaitForTheirGzipCopiesWhileTheNextOnesAreWritten) {
    tool.mo_Params.mb_Compress = true;
    const std::vector<std::pair<std::string, std::vector<uint32_t>>> outputs = {
        {"Town", {kHouse, kStreet, kTown}},
        {"Forest", {kTree}},
        // Of the same name as one that may still wait: it does not take its
        // work folder from under it.
        {"Forest", {kTree, kRootIni}},
    };
    for (const auto& [name, keys] : outputs) {
        ASSERT_EQ(Start(name, keys), 0);
        for (const char* written : {"Town", "Forest"}) {
            if (fs::exists(OutPath(written))) {
                EXPECT_EQ(Gunzip(OutPath(written) + ".gz"), ReadAll(OutPath(written))) << written;
            }
        }
    }
    ASSERT_EQ(tool._eFinishPendingOutputs(), 0);
    EXPECT_EQ(Tree("Data/DLC/Forest"), (std::vector<std::string>{"Forest.big", "Forest.big.gz"}));
    EXPECT_EQ(Gunzip(OutPath("Forest") + ".gz"), ReadAll(OutPath("Forest")));
    auto out = OpenOutput(OutPath("Forest"));
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(out->ul_CountUsedFiles(), 2u);
    out->File().eClose();
    EXPECT_EQ(Tree("Data/DLC/Town"), (std::vector<std::string>{"Town.big", "Town.big.gz"}));
    EXPECT_EQ(tool.l_Status(), OVC_Status_Success);
    EXPECT_EQ(tool._eFinishPendingOutputs(), 0);  // nothing waits any more

    // However many outputs the run writes, only so many wait at once.
    for (size_t n = 0; n < TestSplitter::kMaxPendingOutputs + 2; ++n) {
        ASSERT_EQ(Start("Out" + std::to_string(n), {kHouse}), 0);
        EXPECT_LE(tool.mo_Pending.size(), TestSplitter::kMaxPendingOutputs);
    }
    ASSERT_EQ(tool._eFinishPendingOutputs(), 0);
    EXPECT_TRUE(tool.mo_Pending.empty());
}

// Every write from the nth on fails, whether it is the bigfile's or its
// copy's: a failed bigfile keeps the old one and its old copy; a failed copy
// lets the new bigfile into place without any copy, and says so. Either way
// the run fails, and a copy that is there is whole and of the bigfile beside it.
TEST_F(WriterTest, AWriteFaultInTheBigfileOrItsCopyFailsTheRunAndNoCopyIsOfAnotherBigfile) {
    tool.mo_Params.mb_Compress = true;
    const std::vector<uint32_t> oldKeys = {kHouse};
    const std::vector<uint32_t> newKeys = {kHouse, kStreet, kRootIni, kTown};
    bool copyFailed = false;
    bool bigfileFailed = false;
    uint64_t nth = 1;
    for (;; ++nth) {
        SCOPED_TRACE(nth);
        ASSERT_LT(nth, 64u) << "no run succeeded";
        ASSERT_EQ(Write("Marlin", oldKeys), 0);
        const std::vector<uint8_t> before = ReadAll(OutPath("Marlin"));
        tool.SetStatus(OVC_Status_Success);
        PLT::InjectFault(PLT::FaultOp::eWrite, nth, true);
        testing::internal::CaptureStdout();
        const int32_t result = Write("Marlin", newKeys);
        const std::string lines = Captured();
        const bool faulted = PLT::InjectedFailures(PLT::FaultOp::eWrite) != 0;
        PLT::ClearFaults();
        if (!faulted) {
            EXPECT_EQ(result, 0) << lines;
            break;
        }
        EXPECT_EQ(tool.l_Status(), OVC_Status_Failure) << lines;
        if (result == -1) {
            bigfileFailed = true;
            EXPECT_NE(lines.find(kUnableLine), std::string::npos) << lines;
            EXPECT_EQ(ReadAll(OutPath("Marlin")), before);
            EXPECT_EQ(Tree("Data/DLC/Marlin"), (std::vector<std::string>{"Marlin.big", "Marlin.big.gz"}));
        } else {
            copyFailed = true;
            EXPECT_NE(lines.find("gzip copy not written: cannot write"), std::string::npos) << lines;
            EXPECT_EQ(Tree("Data/DLC/Marlin"), (std::vector<std::string>{"Marlin.big"}));
            auto out = OpenOutput(OutPath("Marlin"));
            ASSERT_NE(out, nullptr);
            EXPECT_EQ(out->ul_CountUsedFiles(), newKeys.size());
            out->File().eClose();
        }
        if (fs::exists(OutPath("Marlin") + ".gz")) {
            EXPECT_EQ(Gunzip(OutPath("Marlin") + ".gz"), ReadAll(OutPath("Marlin")));
        }
    }
    EXPECT_TRUE(bigfileFailed);
    EXPECT_TRUE(copyFailed);
}

TEST_F(WriterTest, AFailedRenameLeavesNoNewBigfileBesideAnOldGzipCopy) {
    tool.mo_Params.mb_Compress = true;
    // The renames of a one-segment output: the bigfile, then its copy.
    for (uint64_t nth : {1, 2}) {
        SCOPED_TRACE(nth);
        ASSERT_EQ(Write("Town", {kHouse}), 0);
        tool.SetStatus(OVC_Status_Success);
        PLT::InjectFault(PLT::FaultOp::eRename, nth);
        testing::internal::CaptureStdout();
        const int32_t result = Write("Town", {kHouse, kStreet, kTown});
        const std::string lines = Captured();
        PLT::ClearFaults();
        EXPECT_EQ(result, -1);
        EXPECT_EQ(tool.l_Status(), OVC_Status_Failure);
        EXPECT_NE(lines.find(kUnableLine), std::string::npos) << lines;
        // Whatever bigfile is in place, a copy beside it is its own: both
        // old, or the old copy gone.
        if (fs::exists(OutPath("Town") + ".gz")) {
            EXPECT_EQ(Gunzip(OutPath("Town") + ".gz"), ReadAll(OutPath("Town")));
        }
        if (nth == 2) {
            auto out = OpenOutput(OutPath("Town"));
            ASSERT_NE(out, nullptr);
            EXPECT_EQ(out->ul_CountUsedFiles(), 3u);  // the new bigfile, without its copy
            out->File().eClose();
            EXPECT_FALSE(fs::exists(OutPath("Town") + ".gz"));
        }
    }
}

// An output goes into place only once its files are on the disk: when their
// sync fails, the previous bigfile (and its copy) stays, and nothing of the
// new one is left.
TEST_F(WriterTest, AFailedSyncKeepsThePreviousBigfile) {
    for (const bool compress : {false, true}) {
        SCOPED_TRACE(compress ? "with a gzip copy" : "without a copy");
        tool.mo_Params.mb_Compress = compress;
        tool.SetStatus(OVC_Status_Success);
        ASSERT_EQ(Write("Town", {kHouse}), 0);
        const std::vector<uint8_t> before = ReadAll(OutPath("Town"));
        const std::vector<std::string> tree = Tree("Data/DLC/Town");
        testing::internal::CaptureStdout();
        PLT::InjectFault(PLT::FaultOp::eFlush, 1);
        const int32_t result = Write("Town", {kHouse, kStreet, kTown});
        PLT::ClearFaults();
        const std::string lines = Captured();
        EXPECT_EQ(result, -1);
        EXPECT_EQ(tool.l_Status(), OVC_Status_Failure);
        EXPECT_NE(lines.find("Town: cannot flush "), std::string::npos) << lines;
        EXPECT_NE(lines.find(kUnableLine), std::string::npos) << lines;
        EXPECT_EQ(ReadAll(OutPath("Town")), before);
        EXPECT_EQ(Tree("Data/DLC/Town"), tree);
    }
}

TEST_F(WriterTest, ASourceChangedDuringTheRunFailsTheOutputAndSaysWhat) {
    struct Case {
        const char* what;
        bool rewriteContent;  // else only the file's time moves
        const char* expected;
    } cases[] = {
        {"a content rewritten in place", true, "street.txd [0x00000101] does not match its table checksum"},
        {"the file touched", false, "changed during the run"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(MakeSource(temp.File("source.big"), SourceFiles()));
        tool.eDeinit();
        ASSERT_TRUE(tool.bStart(params));
        tool.mab_SourceState.clear();
        ASSERT_EQ(Write("Marlin", {kHouse}), 0);  // the run's first output notes the source
        if (c.rewriteContent) {
            std::vector<uint8_t> bytes = ReadAll("source.big");
            const std::string old = "texture-A";
            auto at = std::search(bytes.begin(), bytes.end(), old.begin(), old.end());
            ASSERT_NE(at, bytes.end());
            at[8] = 'Z';
            const auto time = fs::last_write_time("source.big");
            WriteAll("source.big", bytes);
            fs::last_write_time("source.big", time);
        } else {
            fs::last_write_time("source.big", fs::last_write_time("source.big") + std::chrono::seconds(5));
        }
        tool.SetStatus(OVC_Status_Success);
        testing::internal::CaptureStdout();
        const int32_t result = Write("Town", {kHouse, kStreet, kTown});
        const std::string lines = Captured();
        EXPECT_EQ(result, -1);
        EXPECT_EQ(tool.l_Status(), OVC_Status_Failure);
        EXPECT_NE(lines.find(c.expected), std::string::npos) << lines;
        EXPECT_FALSE(fs::exists(OutPath("Town")));
    }
}

TEST_F(WriterTest, AWriteFaultFailsTheOutputKeepsTheOldBigfileAndLeavesNoPartialFile) {
    ASSERT_EQ(Write("Marlin", {kHouse}), 0);
    const auto before = ReadAll(OutPath("Marlin"));
    ASSERT_FALSE(before.empty());

    // Every write the output makes fails in turn (the output's writes are
    // held and reach the file in a few large ones), until a run makes fewer
    // writes than the fault waits for and succeeds.
    uint64_t nth = 1;
    for (;; ++nth) {
        SCOPED_TRACE(nth);
        ASSERT_LT(nth, 64u) << "no run succeeded";
        tool.SetStatus(OVC_Status_Success);
        PLT::InjectFault(PLT::FaultOp::eWrite, nth, true);
        testing::internal::CaptureStdout();
        const int32_t result = Write("Marlin", {kHouse, kStreet, kRootIni, kTown});
        const std::string lines = Captured();
        const bool faulted = PLT::InjectedFailures(PLT::FaultOp::eWrite) != 0;
        PLT::ClearFaults();
        if (!faulted) {
            EXPECT_EQ(result, 0) << lines;
            break;
        }
        EXPECT_EQ(result, -1);
        EXPECT_EQ(tool.l_Status(), OVC_Status_Failure);
        EXPECT_NE(lines.find(kUnableLine), std::string::npos) << lines;
        EXPECT_EQ(ReadAll(OutPath("Marlin")), before);
        EXPECT_EQ(Tree("Data/DLC/Marlin"), (std::vector<std::string>{"Marlin.big"}));
    }
    EXPECT_GT(nth, 1u);
}

TEST_F(WriterTest, AFolderThatCannotBeMadeFailsTheOutput) {
    WriteAll("Data/DLC", {'x'});  // a file where the folder should be
    testing::internal::CaptureStdout();
    EXPECT_EQ(Write("Marlin", {kHouse}), -1);
    const std::string lines = Captured();
    EXPECT_EQ(tool.l_Status(), OVC_Status_Failure);
    EXPECT_NE(lines.find(kUnableLine), std::string::npos) << lines;
    EXPECT_NE(lines.find("Data/DLC"), std::string::npos) << lines;
}

TEST_F(WriterTest, NamesThatAreNotPlainFileNamesWriteNothing) {
    for (const char* name : {"", ".", "..", "a/b", "../escape", "a\\b", "/abs"}) {
        SCOPED_TRACE(name);
        tool.SetStatus(OVC_Status_Success);
        testing::internal::CaptureStdout();
        EXPECT_EQ(Write(name, {kHouse}), -1);
        const std::string lines = Captured();
        EXPECT_EQ(tool.l_Status(), OVC_Status_Failure);
        EXPECT_NE(lines.find(kUnableLine), std::string::npos) << lines;
    }
    EXPECT_TRUE(Tree("Data").empty());
    EXPECT_FALSE(fs::exists("escape"));
    EXPECT_FALSE(fs::exists("Data/escape"));
}

TEST_F(WriterTest, RewritingAnOutputReplacesItAndDropsStaleSegmentFiles) {
    ASSERT_EQ(Write("Marlin", {kHouse, kStreet}), 0);
    // Leftovers of an older bigfile of several segments and of a stopped run.
    WriteAll("Data/DLC/Marlin/Marlin.big1", {1, 2, 3});
    fs::create_directories("Data/DLC/Marlin/.Marlin.partial");
    WriteAll("Data/DLC/Marlin/.Marlin.partial/Marlin.big", {4, 5, 6});

    ASSERT_EQ(Write("Marlin", {kRootIni}), 0);
    EXPECT_EQ(Tree("Data/DLC/Marlin"), (std::vector<std::string>{"Marlin.big"}));
    auto out = OpenOutput(OutPath("Marlin"));
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(out->ul_CountUsedFiles(), 1u);
    EXPECT_NE(out->ul_GetFileIndex(kRootIni, false), BIG_cl_Fat::kNoFile);
    out->File().eClose();
}

TEST_F(WriterTest, ADataRootEndingInASeparatorGetsNoSecondOne) {
    ORVEX::OVI_bSetText(tool.mo_Params.msz_DataRoot, "Data/");
    ASSERT_EQ(Write("Marlin", {kHouse}), 0);
    EXPECT_TRUE(fs::exists(OutPath("Marlin")));
}

}  // namespace
