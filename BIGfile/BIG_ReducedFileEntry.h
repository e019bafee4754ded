// One entry of a reduced file table: 10 bytes, packed. A bigfile whose header
// has the ReducedFat bit stores FileCount of these and no directory table.
//
//   | offset | width | field         | meaning                                         |
//   |--------|-------|---------------|-------------------------------------------------|
//   | 0      | u32   | position      | alignment units from the data start; 0xFFFFFFFF |
//   | 4      | u32   | key           |                                                 |
//   | 8      | u8    | file type     | index in the extension table                    |
//   | 9      | u8    | storage flags | as in the full entry                            |
//
// All numbers little-endian.
#pragma once

#include <cstddef>
#include <cstdint>

struct BIG_st_ReducedFileEntry {
    static constexpr size_t kEncodedSize = 10;

    static constexpr size_t kOffPos = 0;
    static constexpr size_t kOffKey = 4;
    static constexpr size_t kOffType = 8;
    static constexpr size_t kOffStorageFlags = 9;

    uint32_t ul_Pos = 0xFFFFFFFF;
    uint32_t ul_Key = 0;
    uint8_t uc_Type = 0;
    uint8_t uc_StorageFlags = 0;

    void EncodeTo(uint8_t (&out)[kEncodedSize]) const;
    static bool bDecode(const uint8_t* data, size_t size, BIG_st_ReducedFileEntry* out);
};
