// One directory entry of the bigfile's directory table: 64 bytes.
//
//   | offset | width    | field              | meaning                                    |
//   |--------|----------|--------------------|--------------------------------------------|
//   | 0      | u32      | first file         | first file of the directory; 0xFFFFFFFF    |
//   | 4      | u16      | parent             | 0xFFFF for the root                        |
//   | 6      | u16      | first subdirectory | 0xFFFF: none                               |
//   | 8      | u16      | next sibling       | next directory of the parent; 0xFFFF: last |
//   | 10     | char[53] | name               | at most 52 characters; empty: free entry;  |
//   |        |          |                    | the root is "/"                            |
//   | 63     | u8       | flags              | bits 0 and 1 are run time, stored as zero  |
//
// All numbers little-endian.
#pragma once

#include <cstddef>
#include <cstdint>

struct BIG_st_DirEntry {
    static constexpr size_t kEncodedSize = 64;

    static constexpr size_t kOffFirstFile = 0;
    static constexpr size_t kOffParent = 4;
    static constexpr size_t kOffFirstSubDir = 6;
    static constexpr size_t kOffNextSibling = 8;
    static constexpr size_t kOffName = 10;
    static constexpr size_t kOffFlags = 63;

    static constexpr size_t kNameSize = 53;
    static constexpr size_t kMaxNameLength = kNameSize - 1;  // 52

    static constexpr uint8_t kFlagWatched = 0x01;
    static constexpr uint8_t kRunTimeFlags = 0x03;

    static constexpr uint16_t kNoDir = 0xFFFF;
    static constexpr uint32_t kNoFile = 0xFFFFFFFF;

    uint32_t ul_FirstFile = kNoFile;
    uint16_t uw_Parent = kNoDir;
    uint16_t uw_FirstSubDir = kNoDir;
    uint16_t uw_NextSibling = kNoDir;
    char sz_Name[kNameSize] = {};
    uint8_t uc_Flags = 0;

    // All 64 bytes zero: a free entry as a new table holds it.
    static BIG_st_DirEntry Zeroed() {
        BIG_st_DirEntry d;
        d.ul_FirstFile = 0;
        d.uw_Parent = 0;
        d.uw_FirstSubDir = 0;
        d.uw_NextSibling = 0;
        return d;
    }

    // Writes the fields as they are; the table clears the run-time flags first.
    void EncodeTo(uint8_t (&out)[kEncodedSize]) const;
    void EncodeAt(uint8_t* out) const;
    static bool bDecode(const uint8_t* data, size_t size, BIG_st_DirEntry* out);

    bool bIsUsed() const { return sz_Name[0] != '\0'; }
};
