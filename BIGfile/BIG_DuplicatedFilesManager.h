// The duplicated-files table: places of files whose content is stored more than
// once in the bigfile.
//
// A file entry whose storage flags have bit 0 set holds a copy list instead of a
// position:
//
//   bits 27-31  number of copies (1 to 31)
//   bits 0-26   index of the first copy in this table
//
// The copies are that many consecutive table entries. Each entry is an ordinary
// in-memory position (8-byte units from the data start, 0xFFFFFFFF = no place).
//
// The table is loaded from the file of key 0x1000 (type 3, "dup"). Its content is
// a reference table followed by this data part (little-endian):
//
//   offset  width    field
//   0       u32      entry count N
//   4       u8       shift S
//   5       N x u32  each entry's place in units of 2^S bytes; 0xFFFFFFFF = none
//
// Thread-safety: a table never changes once built. The process-wide table is
// held through a shared pointer that readers copy under a lock, so a reader on
// any thread keeps the table it got alive while the loading thread replaces it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class BIG_cl_Fat;
class BIG_cl_LoadManager;

// The copy list of one file entry.
struct BIG_st_CopyList {
    static constexpr uint32_t kMaxCopies = 31;
    uint32_t count = 0;                   // copies that the table holds for the entry
    uint32_t positions[kMaxCopies] = {};  // in-memory positions, first copy first
};

class BIG_DuplicatedFilesManager {
public:
    static constexpr uint32_t kFileKey = 0x1000;
    static constexpr uint8_t kFileType = 3;  // "dup"
    static constexpr uint8_t kStorageFlag = 0x01;
    static constexpr uint32_t kIndexMask = 0x07FFFFFF;
    static constexpr int kCountShift = 27;
    static constexpr uint32_t kNoPlace = 0xFFFFFFFF;
    // Data part layout.
    static constexpr size_t kOffsetCount = 0;
    static constexpr size_t kOffsetShift = 4;
    static constexpr size_t kOffsetEntries = 5;

    BIG_DuplicatedFilesManager() = default;  // empty
    explicit BIG_DuplicatedFilesManager(std::vector<uint32_t> positions)
        : m_positions(std::move(positions)) {}

    uint32_t ul_GetCount() const { return static_cast<uint32_t>(m_positions.size()); }
    bool bHasData() const { return !m_positions.empty(); }

    // Entry `index` of the table; kNoPlace when the index lies outside it.
    uint32_t ul_GetPosition(uint32_t index) const;

    // The places of the copy list held in a copy-list entry's position word.
    // False (count 0) when the list names no copy or reaches outside the table;
    // the latter is logged as a damaged entry.
    bool bGetCopyList(uint32_t positionWord, BIG_st_CopyList* out) const;

    // "The" position of a copy-list entry: its first copy, or kNoPlace.
    uint32_t ul_GetFirstCopyPosition(uint32_t positionWord) const;

    static uint32_t ul_CopyCount(uint32_t positionWord) { return positionWord >> kCountShift; }
    static uint32_t ul_FirstIndex(uint32_t positionWord) { return positionWord & kIndexMask; }

    // Decodes a data part. On malformed data returns null and puts the reason in
    // `error` (when given); nothing is allocated before the count is checked
    // against the bytes that hold it.
    static std::unique_ptr<BIG_DuplicatedFilesManager> po_Decode(const uint8_t* data, size_t size,
                                                                 std::string* error);

    // Load callback for type 3 (see BIG_cl_LoadManager::AddLoadCallback). Reads the
    // file's data from the asynchronous table; returns a new table (owned by the
    // caller) or null when the data is missing or malformed (reported with the
    // file's name).
    static void* p_LoadCallback(uint32_t fileIndex, uint32_t userData, uint32_t extra1, uint32_t extra2,
                                uint32_t queueId);

    // Loads the table of `fat` (key 0x1000) through `loadManager` on queue 6 and,
    // when a table results, makes it the process-wide one. Returns true when the
    // table was replaced; the previous table stays otherwise.
    static bool bLoadFromBigfile(BIG_cl_LoadManager& loadManager, BIG_cl_Fat& fat);

    // Process-wide table. Null before CreateSingleton and after DestroySingleton.
    static void CreateSingleton();  // an empty table
    static void DestroySingleton();
    static std::shared_ptr<const BIG_DuplicatedFilesManager> Get();
    static void Replace(std::shared_ptr<const BIG_DuplicatedFilesManager> table);
    // Shortcuts on the process-wide table (kNoPlace / false without one).
    static uint32_t ul_GetGlobalPosition(uint32_t index);
    static bool bGetGlobalCopyList(uint32_t positionWord, BIG_st_CopyList* out);

private:
    std::vector<uint32_t> m_positions;
};
