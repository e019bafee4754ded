// Lookup rate of the key hash table against std::unordered_map on the same
// keys. The hash table reads every candidate's key from a 96-byte file table,
// as the bigfile table's key index does, so the measured cost includes those
// entry reads; the map keeps its own copy of each key.
//
// Key sets (400000 keys each):
//   random     - uniformly drawn 32-bit keys;
//   sequential - user-id | counter keys as new files get them: 4 users, each
//                with 100000 consecutive counters in the low 20 bits.
// Lookups visit the keys in a shuffled order; "miss" lookups use keys that are
// absent from the set. The packed-key variant indexes a plain u32 array
// instead, to show what the entry reads cost.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "BIGfile/BIG_HashTable.h"

namespace {

constexpr uint32_t kCount = 400000;
constexpr uint32_t kStride = 96;
constexpr uint32_t kKeyOffset = 4;

enum KeyKind { kRandom = 0, kSequential = 1 };

struct KeySet {
    std::vector<uint32_t> keys;    // keys[i] is the key of file i
    std::vector<uint32_t> hits;    // shuffled present keys
    std::vector<uint32_t> misses;  // absent keys
    std::vector<unsigned char> entries;
};

KeySet MakeKeys(KeyKind kind) {
    KeySet set;
    std::mt19937 rng(kind == kRandom ? 1 : 2);
    std::unordered_set<uint32_t> seen;
    if (kind == kRandom) {
        while (set.keys.size() < kCount) {
            const uint32_t key = rng();
            if (key != 0 && key != 0xFFFFFFFF && seen.insert(key).second)
                set.keys.push_back(key);
        }
    } else {
        for (uint32_t user = 0; user < 4; ++user)
            for (uint32_t counter = 1; counter <= kCount / 4; ++counter)
                set.keys.push_back(((0x100 + user) << 20) | counter);
        seen.insert(set.keys.begin(), set.keys.end());
    }
    set.hits = set.keys;
    std::shuffle(set.hits.begin(), set.hits.end(), rng);
    while (set.misses.size() < kCount) {
        // Random misses for random keys; for sequential keys, the counters
        // just past each user's last file and other users' ranges.
        const uint32_t key =
            kind == kRandom ? rng() : (((0x100 + rng() % 8) << 20) | (kCount / 4 + 1 + rng() % 0x10000));
        if (key != 0 && !seen.count(key))
            set.misses.push_back(key);
    }
    set.entries.assign(size_t{kCount} * kStride, 0);
    for (uint32_t i = 0; i < kCount; ++i)
        std::memcpy(&set.entries[size_t{i} * kStride + kKeyOffset], &set.keys[i], 4);
    return set;
}

const KeySet& Keys(KeyKind kind) {
    static const KeySet sets[2] = {MakeKeys(kRandom), MakeKeys(kSequential)};
    return sets[kind];
}

const char* KindName(int64_t kind) {
    return kind == kRandom ? "random" : "sequential";
}

void BuildTable(BIG_cl_HashTable& table, const KeySet& set) {
    table.Init(set.entries.data(), kCount, kStride, kKeyOffset, true, 0, 0);
    for (uint32_t i = 0; i < kCount; ++i)
        table.Add(i, set.keys[i]);
}

void BuildMap(std::unordered_map<uint32_t, uint32_t>& map, const KeySet& set) {
    map.reserve(kCount);
    for (uint32_t i = 0; i < kCount; ++i)
        map.emplace(set.keys[i], i);
}

void BM_HashTableFind(benchmark::State& state) {
    const KeySet& set = Keys(static_cast<KeyKind>(state.range(0)));
    const bool hit = state.range(1) != 0;
    BIG_cl_HashTable table;
    BuildTable(table, set);
    const std::vector<uint32_t>& probes = hit ? set.hits : set.misses;
    size_t i = 0;
    uint32_t found = 0;
    for (auto _ : state) {
        found += table.Find(probes[i]) != BIG_cl_HashTable::kNone;
        if (++i == probes.size())
            i = 0;
    }
    benchmark::DoNotOptimize(found);
    state.SetItemsProcessed(state.iterations());
    state.SetLabel(std::string(KindName(state.range(0))) + (hit ? " hit" : " miss") + " lines=" +
                   std::to_string(table.ul_NumberOfLines()) + " bytes=" + std::to_string(table.ul_MemSize()));
}

// The same table over a packed key array (stride 4): separates the cost of
// the line walk from that of reading candidates' keys out of 96-byte entries.
void BM_HashTableFindPackedKeys(benchmark::State& state) {
    const KeySet& set = Keys(static_cast<KeyKind>(state.range(0)));
    const bool hit = state.range(1) != 0;
    BIG_cl_HashTable table;
    table.Init(set.keys.data(), kCount, sizeof(uint32_t), 0, true, 0, 0);
    for (uint32_t i = 0; i < kCount; ++i)
        table.Add(i, set.keys[i]);
    const std::vector<uint32_t>& probes = hit ? set.hits : set.misses;
    size_t i = 0;
    uint32_t found = 0;
    for (auto _ : state) {
        found += table.Find(probes[i]) != BIG_cl_HashTable::kNone;
        if (++i == probes.size())
            i = 0;
    }
    benchmark::DoNotOptimize(found);
    state.SetItemsProcessed(state.iterations());
    state.SetLabel(std::string(KindName(state.range(0))) + (hit ? " hit" : " miss"));
}

void BM_UnorderedMapFind(benchmark::State& state) {
    const KeySet& set = Keys(static_cast<KeyKind>(state.range(0)));
    const bool hit = state.range(1) != 0;
    std::unordered_map<uint32_t, uint32_t> map;
    BuildMap(map, set);
    const std::vector<uint32_t>& probes = hit ? set.hits : set.misses;
    size_t i = 0;
    uint32_t found = 0;
    for (auto _ : state) {
        found += map.find(probes[i]) != map.end();
        if (++i == probes.size())
            i = 0;
    }
    benchmark::DoNotOptimize(found);
    state.SetItemsProcessed(state.iterations());
    state.SetLabel(std::string(KindName(state.range(0))) + (hit ? " hit" : " miss") +
                   " buckets=" + std::to_string(map.bucket_count()));
}

// The full rebuild the bigfile table does after reading or growing its table.
void BM_HashTableBuild(benchmark::State& state) {
    const KeySet& set = Keys(static_cast<KeyKind>(state.range(0)));
    for (auto _ : state) {
        BIG_cl_HashTable table;
        BuildTable(table, set);
        benchmark::DoNotOptimize(table.ul_HomeCount(0));
    }
    state.SetItemsProcessed(state.iterations() * kCount);
    state.SetLabel(KindName(state.range(0)));
}

void BM_UnorderedMapBuild(benchmark::State& state) {
    const KeySet& set = Keys(static_cast<KeyKind>(state.range(0)));
    for (auto _ : state) {
        std::unordered_map<uint32_t, uint32_t> map;
        BuildMap(map, set);
        benchmark::DoNotOptimize(map.size());
    }
    state.SetItemsProcessed(state.iterations() * kCount);
    state.SetLabel(KindName(state.range(0)));
}

BENCHMARK(BM_HashTableFind)->ArgsProduct({{kRandom, kSequential}, {1, 0}});
BENCHMARK(BM_HashTableFindPackedKeys)->ArgsProduct({{kRandom, kSequential}, {1, 0}});
BENCHMARK(BM_UnorderedMapFind)->ArgsProduct({{kRandom, kSequential}, {1, 0}});
BENCHMARK(BM_HashTableBuild)->Arg(kRandom)->Arg(kSequential)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_UnorderedMapBuild)->Arg(kRandom)->Arg(kSequential)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
