// Inspection session on a large bigfile: the full scan (_ScanFiles), reading
// the reference cache back (_ReadRefsFile) and the closures of 50 worlds
// (_BuildClosures).
//
// The bigfile is made once with the table's writer in a temporary folder
// ($ORVEX_BENCH_DIR when set): 200000 files in 50 world clusters and one
// shared cluster. Each file refers to the next two of its cluster and to one
// shared file; each world refers to the head of its cluster and to 16 shared
// files, so a world's closure holds its cluster and part of the shared files.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "BIGfile/BIG_Endian.h"
#include "BIGfile/BIG_Fat.h"
#include "plugin/OVI_Big.h"
#include "plugin/OVI_Text.h"

namespace {

namespace fs = std::filesystem;

constexpr uint32_t kFiles = 200000;
constexpr uint32_t kWorlds = 50;
constexpr uint32_t kShared = 20000;  // files of the shared cluster
constexpr uint32_t kClusterSize = (kFiles - kShared) / kWorlds;
constexpr uint32_t kFirstKey = 0x00100000;
constexpr uint32_t kFirstWorldKey = 0x00F00000;
const char* const kBigfileName = "inspect.bf";

uint32_t FileKey(uint32_t i) {
    return kFirstKey + i;
}

std::string Content(const std::vector<uint32_t>& refs, size_t payload) {
    std::vector<uint8_t> bytes;
    BIG::Endian::ByteAppender out(&bytes);
    out.U32(static_cast<uint32_t>(refs.size()));
    for (uint32_t k : refs)
        out.U32(k);
    out.Zero(payload);
    return std::string(bytes.begin(), bytes.end());
}

struct Params : ORVEX::OVI_BigParams {
    const OVC_Version* GetVersion() override { return &OVC_CurrentVersion; }
};

class Tool : public ORVEX::OVI_Big {
public:
    const OVC_Version* GetVersion() override { return &OVC_CurrentVersion; }
    int32_t eRun() override { return ml_Status; }
    bool OnFileRefs(const ORVEX::FileRefRecord& record, const uint8_t*, uint32_t) override {
        if (record.ul_Type == 4)
            mmap_Roots[record.ul_Key] = 0;
        return false;
    }
    void Scan() { _ScanFiles(mpo_Fat->ul_GetFileCount()); }
    void ReadCache() { _ReadRefsFile(ms_RefsCachePath); }
    void Closures() { _BuildClosures(); }
    void ClearGraph() {
        mmap_Records.clear();
        mmap_Edges.clear();
        mmap_Closures.clear();
    }
    void ClearClosures() {
        mmap_Closures.clear();
        for (auto& [key, record] : mmap_Records)
            record.ul_UseCount = 0;
    }
    size_t Records() const { return mmap_Records.size(); }
    size_t ClosureKeys() const {
        size_t n = 0;
        for (const auto& [root, set] : mmap_Closures)
            n += set.size();
        return n;
    }
    void SetWriteCache(bool on) { mb_WriteRefsCache = on; }
};

// The folder, the bigfile and one session over it, made on first use.
struct Session {
    fs::path dir;
    fs::path previous;
    std::unique_ptr<Tool> tool;
    double generateSeconds = 0;

    Session() {
        const char* base = std::getenv("ORVEX_BENCH_DIR");
        dir = fs::path(base ? base : fs::temp_directory_path().string()) / "orvex_bench_scan_closures";
        fs::create_directories(dir);
        previous = fs::current_path();
        fs::current_path(dir);  // refs.bin lands here; the block's path field is short
        if (!fs::exists(kBigfileName))
            Generate();
        tool = std::make_unique<Tool>();
        Params params;
        ORVEX::OVI_bSetText(params.msz_BigfilePath, kBigfileName);
        if (tool->eInit(&params) != OVC_Status_Success)
            std::fprintf(stderr, "cannot open %s\n", (dir / kBigfileName).c_str());
    }
    ~Session() {
        tool->eDeinit();
        fs::current_path(previous);
    }

    void Generate() {
        const auto start = std::chrono::steady_clock::now();
        BIG_cl_Fat fat;
        fat.File().eCreate(kBigfileName, false, 0xC0000000, true);
        fat.Create(kFiles + kWorlds + 16, 16, 0, 1);
        const std::string fileName = "file.txt";
        for (uint32_t i = 0; i < kFiles; ++i) {
            std::vector<uint32_t> refs;
            const bool shared = i < kShared;
            const uint32_t clusterStart = shared ? 0 : kShared + (i - kShared) / kClusterSize * kClusterSize;
            const uint32_t clusterEnd = shared ? kShared : clusterStart + kClusterSize;
            for (uint32_t step = 1; step <= 2; ++step)
                if (i + step < clusterEnd)
                    refs.push_back(FileKey(i + step));
            refs.push_back(FileKey((i * 2654435761u) % kShared));
            const uint32_t index =
                fat.ul_CreateFile(fileName.c_str(), 1000, BIG_cl_Fat::kRootDir, FileKey(i));
            const std::string content = Content(refs, 64 + (i % 7) * 32);
            fat.SaveFile(index, content.data(), static_cast<uint32_t>(content.size()));
        }
        for (uint32_t w = 0; w < kWorlds; ++w) {
            std::vector<uint32_t> refs = {FileKey(kShared + w * kClusterSize)};
            for (uint32_t s = 0; s < 16; ++s)
                refs.push_back(FileKey((w * 977 + s * 1231) % kShared));
            const uint32_t index =
                fat.ul_CreateFile("world.wor", 1000, BIG_cl_Fat::kRootDir, kFirstWorldKey + w);
            const std::string content = Content(refs, 256);
            fat.SaveFile(index, content.data(), static_cast<uint32_t>(content.size()));
        }
        fat.File().eFlush();
        fat.File().eClose();
        generateSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        std::fprintf(stderr, "generated %u files and %u worlds in %.1f s\n", kFiles, kWorlds,
                     generateSeconds);
    }
};

Session& GetSession() {
    static Session session;
    return session;
}

void BM_ScanFiles(benchmark::State& state) {
    Tool& tool = *GetSession().tool;
    tool.SetWriteCache(state.range(0) != 0);
    for (auto _ : state) {
        tool.ClearGraph();
        tool.Scan();
    }
    tool.SetWriteCache(false);
    state.counters["records"] = static_cast<double>(tool.Records());
    state.counters["files/s"] = benchmark::Counter(static_cast<double>(kFiles + kWorlds),
                                                   benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_ScanFiles)
    ->Arg(0)
    ->Arg(1)
    ->ArgName("write_refs_bin")
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);

void BM_ReadRefsFile(benchmark::State& state) {
    Tool& tool = *GetSession().tool;
    if (!fs::exists("refs.bin")) {
        tool.SetWriteCache(true);
        tool.Scan();
        tool.SetWriteCache(false);
    }
    state.counters["bytes"] = static_cast<double>(fs::file_size("refs.bin"));
    for (auto _ : state) {
        tool.ClearGraph();
        tool.ReadCache();
    }
    state.counters["records"] = static_cast<double>(tool.Records());
}
BENCHMARK(BM_ReadRefsFile)->Unit(benchmark::kMillisecond)->Iterations(5);

void BM_BuildClosures(benchmark::State& state) {
    Tool& tool = *GetSession().tool;
    if (tool.Records() == 0)
        tool.Scan();
    for (auto _ : state) {
        tool.ClearClosures();
        tool.Closures();
    }
    state.counters["closure_keys"] = static_cast<double>(tool.ClosureKeys());
}
BENCHMARK(BM_BuildClosures)->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace

BENCHMARK_MAIN();
