// The 128-byte bigfile header, at the container's content start.
//
//   | offset | width    | field            | meaning                                        |
//   |--------|----------|------------------|------------------------------------------------|
//   | 0x00   | u16      | FormatNb         | format number (135 for bigfiles made here)     |
//   | 0x02   | u16      | DirCount         | directory entries (0 in a reduced FAT)         |
//   | 0x04   | u32      | FileCount        | file entries                                   |
//   | 0x08   | u16      | TempDirIndex     | index of the directory "Temp"                  |
//   | 0x0A   | u8       | HeaderFlags      | bit 3: linearized; other bits carried through  |
//   | 0x0B   | u8       | ReducedFat       | bit 0: the file table holds 10-byte entries    |
//   | 0x0C   | 4 bytes  | reserved         | zero                                           |
//   | 0x10   | u32      | FatCrc           | CRC-32 of the in-memory file table (unchecked) |
//   | 0x14   | u32      | LastSubmittedCL  | version-control number                         |
//   | 0x18   | u32      | SyncedCL         | version-control number                         |
//   | 0x1C   | char[30] | ClientName       | zero-terminated, at most 29 characters         |
//   | 0x3A   | char[18] | Label            | zero-terminated, at most 17 characters         |
//   | 0x4C   | u32      | ReferenceCL      | version-control number                         |
//   | 0x50   | u32      | PackageWord      | low 16 bits: creator's value; high: package id |
//   | 0x54   | u8       | HeaderByte       | creator's value                                |
//   | 0x55   | u8       | AlignmentShift   | container alignment shift, 3 or more           |
//   | 0x56   | 2 bytes  | reserved         | zero                                           |
//   | 0x58   | char[40] | DataRoot         | zero-terminated data root                      |
//
// All numbers little-endian. Texts without a terminating zero are cut at their
// field on decoding (the last byte of the field becomes the terminator).
#pragma once

#include <cstddef>
#include <cstdint>

struct BIG_st_FatHeader {
    static constexpr size_t kEncodedSize = 128;

    static constexpr size_t kOffFormatNb = 0x00;
    static constexpr size_t kOffDirCount = 0x02;
    static constexpr size_t kOffFileCount = 0x04;
    static constexpr size_t kOffTempDirIndex = 0x08;
    static constexpr size_t kOffHeaderFlags = 0x0A;
    static constexpr size_t kOffReducedFat = 0x0B;
    static constexpr size_t kOffFatCrc = 0x10;
    static constexpr size_t kOffLastSubmittedCL = 0x14;
    static constexpr size_t kOffSyncedCL = 0x18;
    static constexpr size_t kOffClientName = 0x1C;
    static constexpr size_t kOffLabel = 0x3A;
    static constexpr size_t kOffReferenceCL = 0x4C;
    static constexpr size_t kOffPackageWord = 0x50;
    static constexpr size_t kOffHeaderByte = 0x54;
    static constexpr size_t kOffAlignmentShift = 0x55;
    static constexpr size_t kOffDataRoot = 0x58;

    static constexpr size_t kClientNameSize = 30;
    static constexpr size_t kLabelSize = 18;
    static constexpr size_t kDataRootSize = 40;

    static constexpr uint8_t kHeaderFlagLinearized = 0x08;
    static constexpr uint8_t kReducedFatBit = 0x01;

    uint16_t uw_FormatNb = 0;
    uint16_t uw_DirCount = 0;
    uint32_t ul_FileCount = 0;
    uint16_t uw_TempDirIndex = 0;
    uint8_t uc_HeaderFlags = 0;
    uint8_t uc_ReducedFat = 0;
    uint32_t ul_FatCrc = 0;
    uint32_t ul_LastSubmittedCL = 0;
    uint32_t ul_SyncedCL = 0;
    char sz_ClientName[kClientNameSize] = {};
    char sz_Label[kLabelSize] = {};
    uint32_t ul_ReferenceCL = 0;
    uint32_t ul_PackageWord = 0;
    uint8_t uc_HeaderByte = 0;
    uint8_t uc_AlignmentShift = 0;
    char sz_DataRoot[kDataRootSize] = {};

    // Reserved bytes are written as zero; texts are written up to their
    // terminator and zero-padded.
    void EncodeTo(uint8_t (&out)[kEncodedSize]) const;
    // False (and `out` untouched) when fewer than kEncodedSize bytes are given.
    static bool bDecode(const uint8_t* data, size_t size, BIG_st_FatHeader* out);
};
