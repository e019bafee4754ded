#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <unordered_map>
#include <vector>

#include "BIGfile/BIG_HashTable.h"
#include "test_hash_support.h"

namespace {

constexpr uint32_t kNone = BIG_cl_HashTable::kNone;
constexpr const char kTooBig[] = "Input value too big!";
constexpr const char kNotInTable[] = "Hash table : Trying to remove a value which is not in the table";
constexpr const char kNoRoom[] = "Unable to initialize hashtable (this may be related to bigfile loading)";

// A file table as the bigfile table holds it: 96-byte entries, the key at
// offset 4 and the data-in-memory word at offset 8.
class EntryArray {
public:
    static constexpr uint32_t kStride = 96;
    static constexpr uint32_t kKeyOffset = 4;
    static constexpr uint32_t kDataOffset = 8;

    explicit EntryArray(uint32_t count) : m_bytes(size_t{count} * kStride, 0), m_count(count) {}

    const void* Base() const { return m_bytes.data(); }
    uint32_t Count() const { return m_count; }
    void SetKey(uint32_t index, uint32_t key) { Put(index, kKeyOffset, key); }
    void SetData(uint32_t index, uint32_t data) { Put(index, kDataOffset, data); }
    void Grow(uint32_t extra) {
        m_count += extra;
        m_bytes.resize(size_t{m_count} * kStride, 0);
    }

private:
    void Put(uint32_t index, uint32_t offset, uint32_t value) {
        std::memcpy(&m_bytes[size_t{index} * kStride + offset], &value, sizeof value);
    }
    std::vector<unsigned char> m_bytes;
    uint32_t m_count;
};

void InitKeyIndex(BIG_cl_HashTable& table, const EntryArray& entries) {
    table.Init(entries.Base(), entries.Count(), EntryArray::kStride, EntryArray::kKeyOffset, true, 0, 0);
}

// `count` distinct keys, starting the search at `from`, whose home line in a
// table of `lines` lines is `line`.
std::vector<uint32_t> KeysWithHome(uint32_t line, uint32_t lines, size_t count, uint32_t from = 1) {
    std::vector<uint32_t> keys;
    for (uint32_t k = from; keys.size() < count; ++k)
        if ((BIG_cl_HashTable::ul_Hash(k) & (lines - 1)) == line)
            keys.push_back(k);
    return keys;
}

uint32_t SlotIndex(uint32_t slot) {
    return slot & BIG_cl_HashTable::kIndexMask;
}
uint32_t SlotDistance(uint32_t slot) {
    return slot >> BIG_cl_HashTable::kIndexBits;
}

// Line and distance of the entry `index`; line kNone when it is not placed.
struct Placement {
    uint32_t line = kNone;
    uint32_t distance = kNone;
};
Placement FindPlacement(const BIG_cl_HashTable& table, uint32_t index) {
    for (uint32_t line = 0; line < table.ul_NumberOfLines(); ++line)
        for (uint32_t s = 0; s < BIG_cl_HashTable::kSlotsPerLine; ++s) {
            const uint32_t slot = table.ul_Slot(line, s);
            if (slot != kNone && SlotIndex(slot) == index)
                return {line, SlotDistance(slot)};
        }
    return {};
}

// Every home count equals the number of placed entries whose home it is.
void ExpectHomeCountsConsistent(const BIG_cl_HashTable& table) {
    const uint32_t lines = table.ul_NumberOfLines();
    std::vector<uint32_t> homes(lines, 0);
    for (uint32_t line = 0; line < lines; ++line)
        for (uint32_t s = 0; s < BIG_cl_HashTable::kSlotsPerLine; ++s) {
            const uint32_t slot = table.ul_Slot(line, s);
            if (slot != kNone)
                ++homes[(line - SlotDistance(slot)) & (lines - 1)];
        }
    for (uint32_t line = 0; line < lines; ++line)
        ASSERT_EQ(table.ul_HomeCount(line), homes[line]) << "line " << line;
}

TEST(BigHashTableHash, MatchesTheIntegerMix) {
    // Values of the 32-bit integer mix computed independently.
    struct {
        uint32_t key, hash;
    } const cases[] = {
        {0x00000000, 0x4636b9c9}, {0x00000001, 0x62baf5a0}, {0x12345678, 0x09237efd},
        {0xFFFFFFFF, 0xdc8b039a}, {0x00100001, 0xb426804c},
    };
    for (const auto& c : cases)
        EXPECT_EQ(BIG_cl_HashTable::ul_Hash(c.key), c.hash) << std::hex << c.key;
}

TEST(BigHashTableInit, SizesLinesFromTheItemCount) {
    struct {
        uint32_t items, lines;
    } const cases[] = {
        {0, 2048},        {1, 2048},        {8192, 2048},
        {8195, 2048},     {8196, 4096},     {16384, 4096},
        {16388, 8192},    {131072, 32768},  {131072 + 131072, 65536},
        {524288, 131072}, {524292, 262144},
    };
    for (const auto& c : cases) {
        BIG_cl_HashTable table;
        std::vector<unsigned char> items(4);
        table.Init(items.data(), c.items, 0, 0, true, 0, 0);
        EXPECT_EQ(table.ul_NumberOfLines(), c.lines) << c.items << " items";
        EXPECT_EQ(table.ul_MemSize(), c.lines * 44) << c.items << " items";
        for (uint32_t line : {0u, c.lines - 1}) {
            EXPECT_EQ(table.ul_HomeCount(line), 0u);
            for (uint32_t s = 0; s < BIG_cl_HashTable::kSlotsPerLine; ++s)
                EXPECT_EQ(table.ul_Slot(line, s), kNone);
        }
    }
}

TEST(BigHashTableInit, KeepsTheTrackingParameters) {
    EntryArray entries(10);
    BIG_cl_HashTable table;
    table.Init(entries.Base(), 10, 96, 4, false, 243, 515);
    EXPECT_FALSE(table.b_IsUntracked());
    EXPECT_EQ(table.uw_MemCategory(), 243);
    EXPECT_EQ(table.ul_MemTag(), 515u);
}

TEST(BigHashTable, FindsEveryKeyOfAFileTableAndNoOther) {
    HashTestAssertions asserts;
    const uint32_t count = 20000;
    EntryArray entries(count);
    std::mt19937 rng(7);
    std::unordered_map<uint32_t, uint32_t> model;
    for (uint32_t i = 0; i < count; ++i) {
        if (i % 7 == 3)
            continue;  // free entries (key 0) stay out of the index
        uint32_t key;
        do {
            key = rng();
        } while (key == 0 || model.count(key));
        entries.SetKey(i, key);
        model[key] = i;
    }
    BIG_cl_HashTable table;
    InitKeyIndex(table, entries);
    for (const auto& [key, index] : model)
        table.Add(index, key);

    for (const auto& [key, index] : model)
        ASSERT_EQ(table.Find(key), index) << std::hex << key;
    for (int i = 0; i < 20000; ++i) {
        const uint32_t key = rng();
        if (!model.count(key)) {
            ASSERT_EQ(table.Find(key), kNone) << std::hex << key;
        }
    }
    EXPECT_EQ(table.Find(0), kNone);
    ExpectHomeCountsConsistent(table);
    EXPECT_EQ(asserts.Count(), 0u);
}

TEST(BigHashTable, KeyAndDataIndexesOverOneTableAreIndependent) {
    EntryArray entries(100);
    for (uint32_t i = 0; i < 100; ++i) {
        entries.SetKey(i, 0x00100000 + i);
        if (i % 2)
            entries.SetData(i, 1000 + i);  // a data handle attached
    }
    BIG_cl_HashTable keys, data;
    InitKeyIndex(keys, entries);
    data.Init(entries.Base(), entries.Count(), EntryArray::kStride, EntryArray::kDataOffset, true, 0, 0);
    for (uint32_t i = 0; i < 100; ++i) {
        keys.Add(i, 0x00100000 + i);
        if (i % 2)
            data.Add(i, 1000 + i);
    }
    EXPECT_EQ(keys.Find(0x00100000 + 41), 41u);
    EXPECT_EQ(data.Find(1041), 41u);
    EXPECT_EQ(data.Find(1040), kNone);
    EXPECT_EQ(keys.Find(1041), kNone);  // a data handle is no key
}

TEST(BigHashTable, ReadsKeysOfAnyStrideAndOffset) {
    // The linker's pairs: key at offset 0, stride 8.
    struct Pair {
        uint32_t key, target;
    };
    std::vector<Pair> pairs = {{0xA, 1}, {0xB, 2}, {0xC, 3}, {0xD, 4}};
    BIG_cl_HashTable table;
    table.Init(pairs.data(), 10, sizeof(Pair), 0, false, 243, 515);
    for (uint32_t i = 0; i < pairs.size(); ++i)
        table.Add(i, pairs[i].key);
    for (uint32_t i = 0; i < pairs.size(); ++i)
        EXPECT_EQ(table.Find(pairs[i].key), i);
    EXPECT_EQ(table.Find(1), kNone);
}

TEST(BigHashTable, EleventhEntryOfALineGoesToTheNextLineAndFreedSlotsAreReused) {
    HashTestAssertions asserts;
    const uint32_t home = 100;
    const auto keys = KeysWithHome(home, 2048, 11);
    EntryArray entries(32);
    BIG_cl_HashTable table;
    InitKeyIndex(table, entries);
    ASSERT_EQ(table.ul_NumberOfLines(), 2048u);
    for (uint32_t i = 0; i < keys.size(); ++i) {
        entries.SetKey(i, keys[i]);
        table.Add(i, keys[i]);
    }
    for (uint32_t i = 0; i < 10; ++i)
        EXPECT_EQ(table.ul_Slot(home, i), i) << "slot " << i;
    EXPECT_EQ(table.ul_Slot(home + 1, 0), 10u | (1u << 27));
    EXPECT_EQ(table.ul_HomeCount(home), 11u);
    EXPECT_EQ(table.ul_HomeCount(home + 1), 0u);
    for (uint32_t i = 0; i < keys.size(); ++i)
        EXPECT_EQ(table.Find(keys[i]), i);

    // A key homed in the next line is not confused with the overflow entry.
    const auto next = KeysWithHome(home + 1, 2048, 1);
    entries.SetKey(20, next[0]);
    table.Add(20, next[0]);
    EXPECT_EQ(FindPlacement(table, 20).line, home + 1);
    EXPECT_EQ(FindPlacement(table, 20).distance, 0u);
    EXPECT_EQ(table.ul_HomeCount(home + 1), 1u);
    EXPECT_EQ(table.Find(next[0]), 20u);
    EXPECT_EQ(table.Find(keys[10]), 10u);

    table.Remove(3, keys[3]);
    EXPECT_EQ(table.ul_Slot(home, 3), kNone);
    EXPECT_EQ(table.Find(keys[3]), kNone);
    EXPECT_EQ(table.Find(keys[10]), 10u);  // found past the freed slot
    table.Add(3, keys[3]);
    EXPECT_EQ(table.ul_Slot(home, 3), 3u);
    EXPECT_EQ(table.Find(keys[3]), 3u);
    ExpectHomeCountsConsistent(table);
    EXPECT_EQ(asserts.Count(), 0u);
}

TEST(BigHashTable, LastLineOverflowsIntoLineZero) {
    HashTestAssertions asserts;
    const uint32_t last = 2047;
    const auto keys = KeysWithHome(last, 2048, 12);
    const auto zero = KeysWithHome(0, 2048, 2);
    EntryArray entries(32);
    BIG_cl_HashTable table;
    InitKeyIndex(table, entries);
    // A line-0 entry first, so that the wrapped entries share its line.
    entries.SetKey(20, zero[0]);
    table.Add(20, zero[0]);
    for (uint32_t i = 0; i < keys.size(); ++i) {
        entries.SetKey(i, keys[i]);
        table.Add(i, keys[i]);
    }
    EXPECT_EQ(table.ul_Slot(0, 0), 20u);
    EXPECT_EQ(table.ul_Slot(0, 1), 10u | (1u << 27));
    EXPECT_EQ(table.ul_Slot(0, 2), 11u | (1u << 27));
    EXPECT_EQ(table.ul_HomeCount(last), 12u);
    EXPECT_EQ(table.ul_HomeCount(0), 1u);
    for (uint32_t i = 0; i < keys.size(); ++i)
        EXPECT_EQ(table.Find(keys[i]), i);
    EXPECT_EQ(table.Find(zero[0]), 20u);
    // Absent keys of both homes stop at their own entries.
    const auto absent = KeysWithHome(last, 2048, 1, keys.back() + 1);
    EXPECT_EQ(table.Find(absent[0]), kNone);
    EXPECT_EQ(table.Find(zero[1]), kNone);

    table.Remove(11, keys[11]);
    table.Remove(20, zero[0]);
    EXPECT_EQ(table.Find(keys[10]), 10u);
    EXPECT_EQ(table.Find(keys[11]), kNone);
    EXPECT_EQ(table.Find(zero[0]), kNone);
    ExpectHomeCountsConsistent(table);
    EXPECT_EQ(asserts.Count(), 0u);
}

TEST(BigHashTable, RemovalKeepsLaterEntriesFindable) {
    HashTestAssertions asserts;
    // 25 entries of one home spread over three lines; remove them in an order
    // that empties slots before, between and after the survivors.
    const uint32_t home = 700;
    const auto keys = KeysWithHome(home, 2048, 25);
    EntryArray entries(25);
    BIG_cl_HashTable table;
    InitKeyIndex(table, entries);
    for (uint32_t i = 0; i < keys.size(); ++i) {
        entries.SetKey(i, keys[i]);
        table.Add(i, keys[i]);
    }
    EXPECT_EQ(FindPlacement(table, 24).line, home + 2);
    const uint32_t order[] = {0,  12, 24, 5, 19, 1, 11, 23, 2,  13, 7,  20, 3,
                              18, 9,  22, 4, 14, 6, 21, 8,  16, 10, 17, 15};
    std::vector<bool> present(keys.size(), true);
    for (const uint32_t gone : order) {
        table.Remove(gone, keys[gone]);
        present[gone] = false;
        for (uint32_t i = 0; i < keys.size(); ++i)
            ASSERT_EQ(table.Find(keys[i]), present[i] ? i : kNone) << "after removing " << gone;
    }
    EXPECT_EQ(table.ul_HomeCount(home), 0u);
    EXPECT_EQ(asserts.Count(), 0u);
}

TEST(BigHashTable, RandomEditsAgreeWithAMap) {
    HashTestAssertions asserts;
    const uint32_t count = 8192;  // 2048 lines, about four entries a line
    EntryArray entries(count);
    BIG_cl_HashTable table;
    InitKeyIndex(table, entries);
    std::unordered_map<uint32_t, uint32_t> model;  // key → index
    std::vector<uint32_t> keyOf(count, 0);
    std::mt19937 rng(12345);
    for (int step = 0; step < 60000; ++step) {
        const uint32_t index = rng() % count;
        if (keyOf[index] == 0) {
            uint32_t key;
            do {
                // A narrow key range mixes repeats of freed keys with new ones.
                key = 1 + rng() % 40000;
            } while (model.count(key));
            keyOf[index] = key;
            entries.SetKey(index, key);
            table.Add(index, key);
            model[key] = index;
        } else {
            table.Remove(index, keyOf[index]);
            model.erase(keyOf[index]);
            entries.SetKey(index, 0);
            keyOf[index] = 0;
        }
        const uint32_t probe = 1 + rng() % 40000;
        const auto it = model.find(probe);
        ASSERT_EQ(table.Find(probe), it == model.end() ? kNone : it->second) << "step " << step;
    }
    for (const auto& [key, index] : model)
        ASSERT_EQ(table.Find(key), index);
    ExpectHomeCountsConsistent(table);
    EXPECT_EQ(asserts.Count(), 0u);
}

TEST(BigHashTable, GrowthRebuildKeepsEveryKeyAndTakesTheNewEntries) {
    HashTestAssertions asserts;
    // The bigfile table grows its file table by 131072 entries and rebuilds
    // its index over the moved array.
    EntryArray entries(8192);
    for (uint32_t i = 0; i < 8192; ++i)
        entries.SetKey(i, 0x00300000 + i);
    BIG_cl_HashTable table;
    InitKeyIndex(table, entries);
    for (uint32_t i = 0; i < 8192; ++i)
        table.Add(i, 0x00300000 + i);
    ASSERT_EQ(table.ul_NumberOfLines(), 2048u);

    entries.Grow(131072);
    InitKeyIndex(table, entries);
    EXPECT_EQ(table.ul_NumberOfLines(), 65536u);
    EXPECT_EQ(table.Find(0x00300000), kNone);  // the rebuild starts empty
    for (uint32_t i = 0; i < entries.Count(); ++i) {
        entries.SetKey(i, 0x00300000 + i);
        table.Add(i, 0x00300000 + i);
    }
    for (uint32_t i = 0; i < entries.Count(); i += 97)
        ASSERT_EQ(table.Find(0x00300000 + i), i);
    EXPECT_EQ(table.Find(0x00300000 + entries.Count() - 1), entries.Count() - 1);
    EXPECT_EQ(table.Find(0x00300000 + entries.Count()), kNone);
    EXPECT_EQ(asserts.Count(), 0u);
}

TEST(BigHashTable, MoveHandsOverTheLines) {
    EntryArray entries(4);
    entries.SetKey(2, 77);
    BIG_cl_HashTable a;
    InitKeyIndex(a, entries);
    a.Add(2, 77);
    BIG_cl_HashTable b(std::move(a));
    EXPECT_EQ(b.Find(77), 2u);
    EXPECT_FALSE(a.b_IsInitialized());  // NOLINT(bugprone-use-after-move): moved-from state is defined
    EXPECT_EQ(a.Find(77), kNone);
    b.Free();
    EXPECT_EQ(b.Find(77), kNone);
    EXPECT_EQ(b.ul_MemSize(), 0u);
}

// Misuse: each case raises its message once and leaves the entries as they were.
TEST(BigHashTableMisuse, RaisesTheMessageAndChangesNothing) {
    const auto keys = KeysWithHome(5, 2048, 2);
    ASSERT_NE(BIG_cl_HashTable::ul_Hash(0x0BADF00D) & 2047, 5u);
    struct Case {
        const char* name;
        void (*act)(BIG_cl_HashTable&, const std::vector<uint32_t>&);
        const char* message;
    } const cases[] = {
        {"add 27-bit overflow", [](BIG_cl_HashTable& t, const auto& k) { t.Add(0x8000000, k[1]); }, kTooBig},
        {"add top bit", [](BIG_cl_HashTable& t, const auto& k) { t.Add(0x80000001, k[1]); }, kTooBig},
        {"add past the items", [](BIG_cl_HashTable& t, const auto& k) { t.Add(16, k[1]); }, kTooBig},
        {"remove 27-bit overflow", [](BIG_cl_HashTable& t, const auto& k) { t.Remove(0x8000000, k[0]); },
         kTooBig},
        {"remove an index never added", [](BIG_cl_HashTable& t, const auto& k) { t.Remove(3, k[0]); },
         kNotInTable},
        {"remove from an empty home", [](BIG_cl_HashTable& t, const auto&) { t.Remove(0, 0x0BADF00D); },
         kNotInTable},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EntryArray entries(16);
        entries.SetKey(0, keys[0]);
        BIG_cl_HashTable table;
        InitKeyIndex(table, entries);
        table.Add(0, keys[0]);
        HashTestAssertions asserts;
        c.act(table, keys);
        EXPECT_EQ(asserts.Count(), 1u);
        EXPECT_EQ(asserts.Count(c.message), 1u);
        EXPECT_EQ(table.Find(keys[0]), 0u);
        EXPECT_EQ(table.Find(keys[1]), kNone);
        ExpectHomeCountsConsistent(table);
    }
}

TEST(BigHashTableMisuse, UninitialisedTableFindsNothingAndRefusesEntries) {
    HashTestAssertions asserts;
    BIG_cl_HashTable table;
    EXPECT_EQ(table.Find(1234), kNone);
    EXPECT_EQ(table.ul_MemSize(), 0u);
    EXPECT_EQ(asserts.Count(), 0u);
    table.Add(0, 1234);
    EXPECT_EQ(asserts.Count("Hash table not initialized!"), 1u);
    EXPECT_FALSE(table.b_IsInitialized());
    EXPECT_EQ(table.Find(1234), kNone);
    table.Remove(0, 1234);
    EXPECT_EQ(asserts.Count(kNotInTable), 1u);
}

TEST(BigHashTableMisuse, FullNeighbourhoodLeavesTheEntryOutAndCountsStayTrue) {
    const uint32_t home = 2040;  // the neighbourhood wraps to line 0
    const auto keys = KeysWithHome(home, 2048, 321);
    EntryArray entries(321);
    BIG_cl_HashTable table;
    InitKeyIndex(table, entries);
    HashTestAssertions asserts;
    for (uint32_t i = 0; i < keys.size(); ++i) {
        entries.SetKey(i, keys[i]);
        table.Add(i, keys[i]);
    }
    EXPECT_EQ(asserts.Count(), 1u);
    EXPECT_EQ(asserts.Count(kNoRoom), 1u);
    EXPECT_EQ(table.ul_HomeCount(home), 320u);
    EXPECT_EQ(FindPlacement(table, 319).line, (home + 31) & 2047);
    EXPECT_EQ(FindPlacement(table, 319).distance, 31u);
    EXPECT_EQ(table.Find(keys[320]), kNone);
    for (uint32_t i = 0; i < 320; i += 31)
        EXPECT_EQ(table.Find(keys[i]), i);
    ExpectHomeCountsConsistent(table);

    // Removing what was left out is reported as absent, and once room is made
    // the entry goes in.
    asserts.Clear();
    table.Remove(320, keys[320]);
    EXPECT_EQ(asserts.Count(kNotInTable), 1u);
    table.Remove(7, keys[7]);
    table.Add(320, keys[320]);
    EXPECT_EQ(table.Find(keys[320]), 320u);
    EXPECT_EQ(FindPlacement(table, 320).line, home);
    EXPECT_EQ(asserts.Count(), 1u);
}

}  // namespace
