// The bigfile table on realistic sizes: writing many files into one directory
// (the splitter's output pattern), and reading a large table back.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <string>

#include "BIGfile/BIG_Fat.h"
#include "ERRor/ERR_Assert.h"

namespace {

std::string BenchPath(const char* name) {
    const auto dir = std::filesystem::temp_directory_path() / "orvex_bench_fat";
    std::filesystem::create_directories(dir);
    return (dir / name).string();
}

// Creates `n` files with 200-byte contents in one directory of a new bigfile.
void WriteBigfile(const std::string& path, uint32_t n) {
    BIG_cl_Fat fat;
    fat.File().eCreate(path, false, 0xC0000000, true);
    fat.Create(n, 16, 0, 1);
    const uint16_t dir = fat.uw_CreateDirPath("/levels/town");
    const std::string content(200, 'c');
    for (uint32_t i = 0; i < n; ++i) {
        const uint32_t index =
            fat.ul_CreateFile(("f" + std::to_string(i) + ".msh").c_str(), 1, dir, 0x100 + i);
        fat.SaveFile(index, content.data(), static_cast<uint32_t>(content.size()));
    }
    fat.File().eFlush();
    fat.File().eClose();
}

void BM_CreateAndSaveFiles(benchmark::State& state) {
    ERR_SetInteractive(false);
    const std::string path = BenchPath("write.bf");
    for (auto _ : state)
        WriteBigfile(path, static_cast<uint32_t>(state.range(0)));
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_CreateAndSaveFiles)->Arg(1000)->Arg(100000)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_ReadFatAndLookUp(benchmark::State& state) {
    ERR_SetInteractive(false);
    const std::string path = BenchPath("read.bf");
    const uint32_t n = static_cast<uint32_t>(state.range(0));
    WriteBigfile(path, n);
    for (auto _ : state) {
        BIG_cl_Fat fat;
        fat.File().eOpen(path, true, true, false);
        fat.ReadFat(true);
        uint32_t found = 0;
        for (uint32_t i = 0; i < n; ++i)
            found += fat.ul_GetFileIndex(0x100 + i, false) != BIG_cl_Fat::kNoFile ? 1 : 0;
        benchmark::DoNotOptimize(found);
        fat.File().eClose();
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_ReadFatAndLookUp)->Arg(20000)->Arg(400000)->Unit(benchmark::kMillisecond);

// Opening a bigfile and reading its tables alone: the fixed start-up of every
// tool that opens one (the split's plug-in, info, ls).
void BM_ReadFat(benchmark::State& state) {
    ERR_SetInteractive(false);
    const std::string path = BenchPath("read.bf");
    WriteBigfile(path, static_cast<uint32_t>(state.range(0)));
    for (auto _ : state) {
        BIG_cl_Fat fat;
        fat.File().eOpen(path, true, true, false);
        benchmark::DoNotOptimize(fat.ReadFat(true));
        fat.File().eClose();
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_ReadFat)->Arg(60000)->Arg(400000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
