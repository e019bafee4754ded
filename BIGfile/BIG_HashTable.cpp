#include "BIGfile/BIG_HashTable.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <new>
#include <utility>

#include "ERRor/ERR_Assert.h"

namespace {

constexpr const char kAssert[] = "Assert";
constexpr const char kTooBig[] = "Input value too big!";
constexpr const char kNotInTable[] = "Hash table : Trying to remove a value which is not in the table";
constexpr uint32_t kEmptySlot = 0xFFFFFFFF;

// Items beyond 2^27 cannot be entered, so sizing for more would only waste
// memory; the cap also keeps N × 44 inside 32 bits.
constexpr uint32_t kMaxSizedItems = BIG_cl_HashTable::kIndexMask + 1;

uint32_t ul_Distance(uint32_t slot) {
    return slot >> BIG_cl_HashTable::kIndexBits;
}
uint32_t ul_Index(uint32_t slot) {
    return slot & BIG_cl_HashTable::kIndexMask;
}

}  // namespace

BIG_cl_HashTable::BIG_cl_HashTable(BIG_cl_HashTable&& other) noexcept {
    *this = std::move(other);
}

BIG_cl_HashTable& BIG_cl_HashTable::operator=(BIG_cl_HashTable&& other) noexcept {
    if (this != &other) {
        Free();
        m_lines = std::move(other.m_lines);
        m_numberOfLines = std::exchange(other.m_numberOfLines, 0);
        m_itemBase = std::exchange(other.m_itemBase, nullptr);
        m_itemCount = std::exchange(other.m_itemCount, 0);
        m_stride = other.m_stride;
        m_keyOffset = other.m_keyOffset;
        m_untracked = other.m_untracked;
        m_memCategory = other.m_memCategory;
        m_memTag = other.m_memTag;
    }
    return *this;
}

void BIG_cl_HashTable::Init(const void* itemBase, uint32_t itemCount, uint32_t stride, uint32_t keyOffset,
                            bool untracked, uint16_t memCategory, uint32_t memTag) {
    Free();
    m_itemBase = static_cast<const unsigned char*>(itemBase);
    m_itemCount = itemBase ? itemCount : 0;  // no array, nothing can be entered
    m_stride = stride;
    m_keyOffset = keyOffset;
    m_untracked = untracked;
    m_memCategory = memCategory;
    m_memTag = memTag;

    const uint32_t sized = itemCount < kMaxSizedItems ? itemCount : kMaxSizedItems;
    uint32_t bits = kMinLineBits;
    uint32_t lines = 1u << bits;
    while (lines < sized / 4) {
        lines <<= 1;
        ++bits;
    }

    m_lines.reset(new (std::nothrow) Line[lines]);
    if (!m_lines) {
        ERR_X_RaisePrintf(
            kAssert,
            "Memory allocation failed in BIG_cl_HashTable::Init / MemSize = %u / _numberOfItem = "
            "%u / NumberOfLine = %u / NumberOfBit = %u\nPlease, click on Debug to report the problem",
            lines * kLineBytes, itemCount, lines, bits);
        m_itemCount = 0;
        return;
    }
    for (uint32_t i = 0; i < lines; ++i) {
        m_lines[i].homeCount = 0;
        std::fill(std::begin(m_lines[i].slots), std::end(m_lines[i].slots), kEmptySlot);
    }
    m_numberOfLines = lines;
}

void BIG_cl_HashTable::Add(uint32_t index, uint32_t key) {
    if (index & ~kIndexMask) {
        ERR_X_Raise(kAssert, kTooBig);
        return;
    }
    if (m_numberOfLines == 0) {
        ERR_X_Raise(kAssert, "Hash table not initialized!");
        return;
    }
    // Every entry's key is read back from the item array; an index past its
    // end would make later lookups read foreign memory.
    if (index >= m_itemCount) {
        ERR_X_Raise(kAssert, kTooBig);
        return;
    }
    const uint32_t home = ul_HomeLine(key);
    for (uint32_t d = 0; d < kMaxProbe; ++d) {
        Line& line = m_lines[ul_Wrap(home + d)];
        for (uint32_t& slot : line.slots) {
            if (slot == kEmptySlot) {
                slot = index | (d << kIndexBits);
                ++m_lines[home].homeCount;
                return;
            }
        }
    }
    // The home count is only raised for an entry that was placed, so that it
    // keeps matching the entries a lookup can meet.
    ERR_X_Raise(kAssert, "Unable to initialize hashtable (this may be related to bigfile loading)");
}

void BIG_cl_HashTable::Remove(uint32_t index, uint32_t key) {
    if (index & ~kIndexMask) {
        ERR_X_Raise(kAssert, kTooBig);
        return;
    }
    if (m_numberOfLines == 0) {
        ERR_X_Raise(kAssert, kNotInTable);
        return;
    }
    const uint32_t home = ul_HomeLine(key);
    uint32_t remaining = m_lines[home].homeCount;
    if (remaining == 0) {
        ERR_X_Raise(kAssert, kNotInTable);
        return;
    }
    for (uint32_t d = 0; d < kMaxProbe; ++d) {
        Line& line = m_lines[ul_Wrap(home + d)];
        for (uint32_t& slot : line.slots) {
            if (slot == kEmptySlot || ul_Distance(slot) != d)
                continue;
            if (ul_Index(slot) == index) {
                slot = kEmptySlot;
                --m_lines[home].homeCount;
                return;
            }
            if (--remaining == 0) {
                ERR_X_Raise(kAssert, kNotInTable);
                return;
            }
        }
    }
    ERR_X_Raise(kAssert,
                "Error while removing an item from the hashtable (this may be related to bigfile loading)");
}

uint32_t BIG_cl_HashTable::Find(uint32_t key) const {
    if (m_numberOfLines == 0)
        return kNone;
    const uint32_t home = ul_HomeLine(key);
    uint32_t remaining = m_lines[home].homeCount;
    if (remaining == 0)
        return kNone;
    for (uint32_t d = 0; d < kMaxProbe; ++d) {
        const Line& line = m_lines[ul_Wrap(home + d)];
        for (const uint32_t slot : line.slots) {
            if (slot == kEmptySlot || ul_Distance(slot) != d)
                continue;
            const uint32_t index = ul_Index(slot);
            if (ul_ItemKey(index) == key)
                return index;
            if (--remaining == 0)
                return kNone;
        }
    }
    return kNone;
}

void BIG_cl_HashTable::Free() {
    m_lines.reset();
    m_numberOfLines = 0;
}

uint32_t BIG_cl_HashTable::ul_HomeLine(uint32_t key) const {
    if (m_numberOfLines == 0)
        return kNone;
    return ul_Hash(key) & (m_numberOfLines - 1);
}

uint32_t BIG_cl_HashTable::ul_HomeCount(uint32_t line) const {
    return line < m_numberOfLines ? m_lines[line].homeCount : 0;
}

uint32_t BIG_cl_HashTable::ul_Slot(uint32_t line, uint32_t slot) const {
    if (line >= m_numberOfLines || slot >= kSlotsPerLine)
        return kEmptySlot;
    return m_lines[line].slots[slot];
}

uint32_t BIG_cl_HashTable::ul_ItemKey(uint32_t index) const {
    uint32_t key;
    std::memcpy(&key, m_itemBase + size_t{index} * m_stride + m_keyOffset, sizeof key);
    return key;
}
