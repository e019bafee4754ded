// The 48-byte header at byte 0 of every segment file of a bigfile.
//
// | Offset | Width | Field              | Meaning                                              |
// |--------|-------|--------------------|------------------------------------------------------|
// | 0x00   | 4     | magic              | "MBIG"                                               |
// | 0x04   | u8    | version            | 1                                                    |
// | 0x05   | u8    | segment count      | number of segment files of the bigfile               |
// | 0x06   | u8    | segment index      | index of this file, 0 for the first                  |
// | 0x07   | u8    | reserved           | 0                                                    |
// | 0x08   | u32   | max segment size   | content bytes one segment may hold before a new one  |
// | 0x0C   | u32   | reserved           | 0                                                    |
// | 0x10   | u64   | content base       | local byte offset of the content, a multiple of 2048 |
// | 0x18   | u64   | start              | global byte offset of the segment's first byte       |
// | 0x20   | u64   | end                | global byte offset just past the segment's content   |
// | 0x28   | u64   | set stamp          | equal in every segment written together              |
//
// All fields little-endian. Segment count, maximum size, the reserved word at
// 0x0C and the set stamp must agree across the segments of one bigfile; the
// container checks that, this codec only moves bytes.
#pragma once

#include <cstddef>
#include <cstdint>

struct BIG_st_SegmentHeader {
    static constexpr size_t kEncodedSize = 48;
    static constexpr uint8_t kMagic[4] = {'M', 'B', 'I', 'G'};
    static constexpr uint8_t kVersion = 1;

    static constexpr size_t kOffMagic = 0x00;
    static constexpr size_t kOffVersion = 0x04;
    static constexpr size_t kOffSegmentCount = 0x05;
    static constexpr size_t kOffSegmentIndex = 0x06;
    static constexpr size_t kOffReserved8 = 0x07;
    static constexpr size_t kOffMaxSegmentSize = 0x08;
    static constexpr size_t kOffReserved32 = 0x0C;
    static constexpr size_t kOffContentBase = 0x10;
    static constexpr size_t kOffStart = 0x18;
    static constexpr size_t kOffEnd = 0x20;
    static constexpr size_t kOffSetStamp = 0x28;

    uint8_t uc_SegmentCount = 0;
    uint8_t uc_SegmentIndex = 0;
    uint8_t uc_Reserved = 0;
    uint32_t ul_MaxSegmentSize = 0;
    uint32_t ul_Reserved = 0;
    uint64_t ull_ContentBase = 0;
    uint64_t ull_Start = 0;
    uint64_t ull_End = 0;
    uint64_t ull_SetStamp = 0;

    // Writes the magic, version 1 and every field.
    void EncodeTo(uint8_t (&out)[kEncodedSize]) const;
    // False when fewer than 48 bytes are given, the magic is not "MBIG" or the
    // version is not 1; `out` is then left unchanged.
    static bool bDecode(const uint8_t* data, size_t size, BIG_st_SegmentHeader* out);
};
