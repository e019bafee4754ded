// Key → item index table that stores no keys of its own.
//
// The indexed items live in an external array owned by the caller (a bigfile
// table's 96-byte file entries, a linker's key/target pairs). The key of item i
// is the native u32 at base + i × stride + key offset, read whenever a
// candidate is compared, so the table costs 4 bytes per entry.
//
// Layout: N lines (N a power of two, at least 2048), 44 bytes each:
//
//   | offset | width    | field                                            |
//   |--------|----------|--------------------------------------------------|
//   | 0      | u32      | home count: entries whose home is this line,     |
//   |        |          | wherever they were placed                        |
//   | 4      | u32 × 10 | slots: 0xFFFFFFFF when empty, else item index in |
//   |        |          | bits 0-26, probe distance (0-31) in bits 27-31   |
//
// A key's home line is the Wang 32-bit integer mix of the key, masked by N − 1.
// An entry goes into the first empty slot of its home line or of one of the 31
// lines after it, wrapping from the last line to line 0, and remembers how far
// it went. Item indexes are limited to 27 bits.
//
// Misuse (index too large, table not initialised, removing what is absent, a
// full neighbourhood, a failed allocation) is reported as an "Assert"
// assertion; the operation then returns without changing the entries. Find
// never raises.
//
// Thread-safety: none. The owner edits the table from one thread; Find may run
// on several threads at once while no edit is in progress.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

class BIG_cl_HashTable {
public:
    static constexpr uint32_t kNone = 0xFFFFFFFF;
    static constexpr uint32_t kSlotsPerLine = 10;
    static constexpr uint32_t kLineBytes = 4 + 4 * kSlotsPerLine;  // 44
    static constexpr uint32_t kMaxProbe = 32;                      // lines visited from the home line
    static constexpr uint32_t kIndexBits = 27;
    static constexpr uint32_t kIndexMask = (1u << kIndexBits) - 1;  // 0x7FFFFFF
    static constexpr uint32_t kMinLineBits = 11;                    // 2048 lines

    BIG_cl_HashTable() = default;
    ~BIG_cl_HashTable() { Free(); }
    BIG_cl_HashTable(const BIG_cl_HashTable&) = delete;
    BIG_cl_HashTable& operator=(const BIG_cl_HashTable&) = delete;
    BIG_cl_HashTable(BIG_cl_HashTable&& other) noexcept;
    BIG_cl_HashTable& operator=(BIG_cl_HashTable&& other) noexcept;

    // Builds an empty table sized for `itemCount` items of the array at
    // `itemBase` (N = 2048, doubled while N < itemCount / 4). Any previous lines
    // are released first. The array is not read here and must stay valid, at
    // the same address and with at least `itemCount` items, until the next Init
    // or Free; an array that moves or grows needs a new Init and a rebuild.
    // `untracked`, `memCategory` and `memTag` say how the line array is
    // reported to a memory tracker. On allocation failure the table is left
    // uninitialised after the assertion.
    void Init(const void* itemBase, uint32_t itemCount, uint32_t stride, uint32_t keyOffset, bool untracked,
              uint16_t memCategory, uint32_t memTag);

    // Enters `index` under `key`. The index must be below the item count given
    // to Init (and so below 2^27): the key of every entry is read back from the
    // item array.
    void Add(uint32_t index, uint32_t key);

    // Removes the entry `index` from the neighbourhood of `key` (the index, not
    // the key, identifies the entry).
    void Remove(uint32_t index, uint32_t key);

    // The index of an item whose key equals `key`, or kNone. An uninitialised
    // table finds nothing.
    uint32_t Find(uint32_t key) const;

    // Releases the line array; the table is uninitialised afterwards.
    void Free();

    // N × 44 bytes (0 when uninitialised).
    uint32_t ul_MemSize() const { return m_numberOfLines * kLineBytes; }

    bool b_IsInitialized() const { return m_numberOfLines != 0; }
    uint32_t ul_NumberOfLines() const { return m_numberOfLines; }
    uint32_t ul_ItemCount() const { return m_itemCount; }
    // The home line of `key` in this table; kNone when uninitialised.
    uint32_t ul_HomeLine(uint32_t key) const;
    // The home count of line `line` (0 for a line outside the table).
    uint32_t ul_HomeCount(uint32_t line) const;
    // The raw slot word (index | distance << 27, or 0xFFFFFFFF); 0xFFFFFFFF
    // outside the table.
    uint32_t ul_Slot(uint32_t line, uint32_t slot) const;

    bool b_IsUntracked() const { return m_untracked; }
    uint16_t uw_MemCategory() const { return m_memCategory; }
    uint32_t ul_MemTag() const { return m_memTag; }

    // The 32-bit integer mix that picks a key's home line.
    static constexpr uint32_t ul_Hash(uint32_t k) {
        uint32_t h = k + ~(k << 15);
        h ^= h >> 10;
        h += h << 3;
        h ^= h >> 6;
        h += ~(h << 11);
        h ^= h >> 16;
        return h;
    }

private:
    struct Line {
        uint32_t homeCount;
        uint32_t slots[kSlotsPerLine];
    };
    static_assert(sizeof(Line) == kLineBytes);

    uint32_t ul_ItemKey(uint32_t index) const;
    uint32_t ul_Wrap(uint32_t line) const { return line & (m_numberOfLines - 1); }

    std::unique_ptr<Line[]> m_lines;
    uint32_t m_numberOfLines = 0;  // 0: not initialised
    const unsigned char* m_itemBase = nullptr;
    uint32_t m_itemCount = 0;
    uint32_t m_stride = 0;
    uint32_t m_keyOffset = 0;
    bool m_untracked = false;
    uint16_t m_memCategory = 0;
    uint32_t m_memTag = 0;
};
