// The reference manager on a 200k-file bigfile: a full indexation, the reload
// of its IDX file when the bigfile is untouched (nothing reread), and the
// reload after the bigfile was written (every file reread and compared).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "BIGfile/BIG_Endian.h"
#include "BIGfile/BIG_Fat.h"
#include "BIGfile/BIG_ReferenceManager.h"
#include "ERRor/ERR_Assert.h"
#include "platform/Clock.h"
#include "platform/File.h"

namespace {

constexpr uint32_t kFiles = 200000;
constexpr uint32_t kFirstKey = 0x100;

std::string BenchPath(const char* name) {
    const auto dir = std::filesystem::temp_directory_path() / "orvex_bench_refmgr";
    std::filesystem::create_directories(dir);
    return (dir / name).string();
}

// Every file refers to 0 to 8 others (some twice) ahead of a 64-byte payload.
void WriteBigfile(const std::string& path) {
    BIG_cl_Fat fat;
    fat.File().eCreate(path, false, 0xC0000000, true);
    fat.Create(kFiles, 16, 0, 1);
    const uint16_t dir = fat.uw_CreateDirPath("/levels/town");
    std::mt19937 random(7);
    std::vector<uint8_t> content;
    for (uint32_t i = 0; i < kFiles; ++i) {
        const uint32_t refs = random() % 9;
        content.assign(4 + 4 * refs + 64, 'p');
        BIG::Endian::Put32(content.data(), refs);
        for (uint32_t r = 0; r < refs; ++r)
            BIG::Endian::Put32(content.data() + 4 + 4 * r, kFirstKey + random() % kFiles);
        char name[32];
        std::snprintf(name, sizeof name, "f%u.msh", i);
        const uint32_t index = fat.ul_CreateFile(name, 1, dir, kFirstKey + i);
        fat.SaveFile(index, content.data(), static_cast<uint32_t>(content.size()));
    }
    fat.File().eFlush();
    fat.File().eClose();
}

const std::string& Bigfile() {
    static const std::string path = [] {
        const std::string p = BenchPath("world.big");
        WriteBigfile(p);
        return p;
    }();
    return path;
}

std::unique_ptr<BIG_cl_Fat> Open(const std::string& path) {
    auto fat = std::make_unique<BIG_cl_Fat>();
    fat->File().eOpen(path, false, true, false);
    fat->ReadFat(true);
    return fat;
}

BIG::ReferenceManager::Options Options() {
    BIG::ReferenceManager::Options options;
    options.profilePath = BenchPath("Marlin.ini");
    options.loadManagerBusy = [] { return false; };
    return options;
}

// One indexation from start to completion; the counters tell what it did.
void RunOnce(BIG_cl_Fat& fat, benchmark::State& state) {
    BIG::ReferenceManager manager(fat, Options());
    manager.SetImmediateMode(true);
    manager.bStart();
    if (!manager.bWaitUntilComplete(600000))
        state.SkipWithError("indexation did not complete");
    state.counters["files_read"] = static_cast<double>(manager.ull_GetFilesRead());
    state.counters["nodes"] = static_cast<double>(manager.GetEntryCount());
}

void BM_FullIndexing(benchmark::State& state) {
    ERR_SetInteractive(false);
    auto fat = Open(Bigfile());
    const std::string idx = BIG::ReferenceManager::IdxPathFor(Bigfile());
    for (auto _ : state) {
        state.PauseTiming();
        PLT::RemoveFile(idx);
        state.ResumeTiming();
        RunOnce(*fat, state);
    }
}
BENCHMARK(BM_FullIndexing)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

void BM_ReloadIdxUntouched(benchmark::State& state) {
    ERR_SetInteractive(false);
    auto fat = Open(Bigfile());
    RunOnce(*fat, state);  // writes the IDX file
    for (auto _ : state)
        RunOnce(*fat, state);
}
BENCHMARK(BM_ReloadIdxUntouched)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

void BM_ReloadIdxAfterBigfileWrite(benchmark::State& state) {
    ERR_SetInteractive(false);
    auto fat = Open(Bigfile());
    RunOnce(*fat, state);
    std::vector<uint8_t> content(4 + 64, 'q');
    BIG::Endian::Put32(content.data(), 0);
    for (auto _ : state) {
        state.PauseTiming();
        // Written after the IDX file: nothing in it can be trusted as it is.
        PLT::SleepMs(20);
        fat->SaveFile(fat->ul_GetFileIndex(kFirstKey, false), content.data(),
                      static_cast<uint32_t>(content.size()));
        content[4] ^= 1;
        state.ResumeTiming();
        RunOnce(*fat, state);
    }
}
BENCHMARK(BM_ReloadIdxAfterBigfileWrite)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
