// One output bigfile being assembled by the splitter.
//
// The passes insert the keys the output receives into `m_Keys`; the writer
// turns the map into the key array (ascending order, at most `ul_Capacity`
// keys) and writes the bigfile from it. The capacity is fixed before the pass
// (the number of records for the common and single outputs, the size of the
// world's closure for a world output), so no pass can produce more keys than
// the array holds.
//
// `s_Name` is a plain file name (no '/', '\\', not "." or ".."): the splitter
// refuses any other name before an output is made, because the name becomes
// both a folder and a file name under DATAROOT/DLC.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <new>
#include <string>

namespace ORVEX {

struct SplitOutput {
    // Longest name an output carries.
    static constexpr size_t kMaxNameLength = 63;
    static constexpr uint8_t kHeaderByte = 1;

    std::string s_Name;                  // at most kMaxNameLength characters
    uint32_t ul_PackageWord = 0;         // from the block's package word
    std::unique_ptr<uint32_t[]> p_Keys;  // the key array, ul_Capacity entries
    uint32_t ul_Capacity = 0;
    uint32_t ul_Count = 0;                // keys in the array
    uint32_t ul_PackageId = 0xFFFF;       // from the block's package id
    uint8_t uc_HeaderByte = kHeaderByte;  // always 1
    std::map<uint32_t, uint32_t> m_Keys;  // keys the passes placed; the value is always 0

    SplitOutput() = default;
    SplitOutput(const SplitOutput&) = delete;
    SplitOutput& operator=(const SplitOutput&) = delete;

    // Allocates the key array for `capacity` keys (count 0). False (no array,
    // capacity 0) when the memory cannot be had.
    bool bReserve(uint32_t capacity) {
        p_Keys.reset(capacity ? new (std::nothrow) uint32_t[capacity] : nullptr);
        ul_Capacity = p_Keys ? capacity : 0;
        ul_Count = 0;
        return p_Keys != nullptr || capacity == 0;
    }
    // Inserts `key` into the map; true when it was new there.
    // Passes place keys in ascending order: those go in at the end without a search.
    bool bInsert(uint32_t key) {
        if (m_Keys.empty() || m_Keys.rbegin()->first < key) {
            m_Keys.emplace_hint(m_Keys.end(), key, 0);
            return true;
        }
        return m_Keys.emplace(key, 0).second;
    }
};

}  // namespace ORVEX
