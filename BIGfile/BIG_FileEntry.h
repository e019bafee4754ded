// One file entry of the bigfile's file table: 96 bytes, the same on disk and in
// memory (the in-memory table is an array of this struct, which the key and
// data indexes read at offsets 4 and 8 with a stride of 96).
//
//   | offset | width    | field          | meaning                                          |
//   |--------|----------|----------------|--------------------------------------------------|
//   | 0      | u32      | position       | 0xFFFFFFFF: no content. On disk: alignment units |
//   |        |          |                | from the data start; in memory: 8-byte units.    |
//   |        |          |                | Storage flags bits 0/1 change its meaning.       |
//   | 4      | u32      | key            | 0: free entry                                    |
//   | 8      | u32      | data in memory | run time: handle of the loaded object, 0: none   |
//   | 12     | u8       | file type      | index in the extension table                     |
//   | 13     | u8       | storage flags  | bit 0 copy list, bit 1 package, bit 2 loose file |
//   | 14     | u16      | directory      | index of the holding directory                   |
//   | 16     | u32      | time           | seconds since 1970                               |
//   | 20     | u32      | flags word     | editor flags; 0xFFFF3002 persisted               |
//   | 24     | u32      | next file      | next file of the directory, 0xFFFFFFFF: last     |
//   | 28     | u32      | checksum       | CRC-32 of the stored content, 0: not computed    |
//   | 32     | char[60] | name           | without extension, at most 59 characters         |
//   | 92     | u32      | state word     | editor state; top byte: change mark              |
//
// All numbers little-endian. The codec moves the fields as they are; converting
// the position between its disk and memory forms and masking run-time bits is
// the table's job, because it depends on the alignment and the storage flags.
#pragma once

#include <cstddef>
#include <cstdint>

struct BIG_st_FileEntry {
    static constexpr size_t kEncodedSize = 96;

    static constexpr size_t kOffPos = 0;
    static constexpr size_t kOffKey = 4;
    static constexpr size_t kOffDataInMemory = 8;
    static constexpr size_t kOffType = 12;
    static constexpr size_t kOffStorageFlags = 13;
    static constexpr size_t kOffDir = 14;
    static constexpr size_t kOffTime = 16;
    static constexpr size_t kOffFlags = 20;
    static constexpr size_t kOffNextFile = 24;
    static constexpr size_t kOffChecksum = 28;
    static constexpr size_t kOffName = 32;
    static constexpr size_t kOffState = 92;

    static constexpr size_t kNameSize = 60;
    static constexpr size_t kMaxNameLength = kNameSize - 1;  // 59

    // Storage flags.
    static constexpr uint8_t kStorageCopyList = 0x01;  // position indexes the duplicated-files table
    static constexpr uint8_t kStoragePackage = 0x02;   // content lies in a package bigfile
    static constexpr uint8_t kStorageLooseKey = 0x04;  // run time: a loose "*.key" file overrides it
    static constexpr uint32_t kCopyListIndexMask = 0x7FFFFFF;
    static constexpr uint32_t kPackageFileMask = 0x1FFFFFF;
    static constexpr uint32_t kPackageIndexShift = 25;

    // Flags word.
    static constexpr uint32_t kFlagWatched = 0x00000001;
    static constexpr uint32_t kFlagTemporary = 0x00000004;
    static constexpr uint32_t kFlagLinkMask = 0x000F0000;  // 0xF at creation, cleared for a link file
    static constexpr uint32_t kFlagSameAsReference = 0x00100000;
    static constexpr uint32_t kPersistedFlagsMask = 0xFFFF3002;

    // State word.
    static constexpr uint32_t kStateSaved = 0x00000001;
    static constexpr uint32_t kMarkMask = 0xFF000000;

    static constexpr uint32_t kNone = 0xFFFFFFFF;

    uint32_t ul_Pos = kNone;
    uint32_t ul_Key = 0;
    uint32_t ul_DataInMemory = 0;
    uint8_t uc_Type = 0;
    uint8_t uc_StorageFlags = 0;
    uint16_t uw_Dir = 0;
    uint32_t ul_Time = 0;
    uint32_t ul_Flags = 0;
    uint32_t ul_NextFile = kNone;
    uint32_t ul_Checksum = 0;
    char sz_Name[kNameSize] = {};
    uint32_t ul_State = 0;

    // All 96 bytes zero: a free entry as a new table holds it.
    static BIG_st_FileEntry Zeroed() {
        BIG_st_FileEntry e;
        e.ul_Pos = 0;
        e.ul_NextFile = 0;
        return e;
    }

    void EncodeTo(uint8_t (&out)[kEncodedSize]) const;
    // Also the form used by the table writers, which write into a larger buffer.
    void EncodeAt(uint8_t* out) const;
    // False (and `out` untouched) when fewer than kEncodedSize bytes are given.
    static bool bDecode(const uint8_t* data, size_t size, BIG_st_FileEntry* out);

    // An entry whose key is local (top 12 bits 0xFEF) or that is marked
    // temporary is never written to disk.
    bool bIsPersisted() const {
        return (ul_Flags & kFlagTemporary) == 0 && (ul_Key & 0xFFF00000) != 0xFEF00000;
    }
    // Neither the copy-list nor the package flag: the position is an ordinary place.
    bool bHasOrdinaryPos() const { return (uc_StorageFlags & (kStorageCopyList | kStoragePackage)) == 0; }
};

// The table indexes the in-memory array directly: keep the layout.
static_assert(sizeof(BIG_st_FileEntry) == BIG_st_FileEntry::kEncodedSize);
static_assert(offsetof(BIG_st_FileEntry, ul_Key) == BIG_st_FileEntry::kOffKey);
static_assert(offsetof(BIG_st_FileEntry, ul_DataInMemory) == BIG_st_FileEntry::kOffDataInMemory);
