// The IDX file: the reference graph of a bigfile cached beside it
// ("world.big" -> "world.idx"), so that the next run only has to update it.
//
// All words are little-endian u32; the file size is a multiple of 4.
//
//   | offset   | field                                   |
//   |----------|-----------------------------------------|
//   | 0        | magic 0xF1EF0447                        |
//   | 4        | version 1                               |
//   | 8        | record count N                          |
//   | 12       | N records (below)                       |
//   | size - 4 | magic 0xF1EF0447                        |
//
// One record, 16 + 8 x (nr + nb) bytes:
//
//   | field                                            |
//   |--------------------------------------------------|
//   | key                                              |
//   | self-reference count                             |
//   | nr, then nr pairs {key, count} (references)      |
//   | nb, then nb pairs {key, count} (referenced by)   |
//
// Decoding checks every count against the bytes that can hold it before
// anything is allocated, and rejects what the graph could not have produced:
// unsorted or repeated pairs, zero counts, a record listing itself, one key
// recorded twice, and references that the other side does not mirror.
// References to keys that have no record (files that were absent when the
// graph was saved) are dropped, as the load would drop them anyway.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "BIGfile/BIG_FileInfos.h"

namespace BIG::IdxFile {

inline constexpr uint32_t kMagic = 0xF1EF0447;
inline constexpr uint32_t kVersion = 1;
inline constexpr size_t kHeaderSize = 12;  // magic, version, count
inline constexpr size_t kTrailerSize = 4;  // magic
inline constexpr size_t kMinRecordSize = 16;
inline constexpr size_t kPairSize = 8;
// Larger files are refused unread: far beyond any bigfile's graph.
inline constexpr uint64_t kMaxFileSize = 0x7FFFFFF8;

enum class eDecode : uint8_t {
    Ok,
    Empty,
    BadSize,    // not a multiple of 4, or too large
    Truncated,  // shorter than header and trailer
    BadMagic,
    BadVersion,
    BadCount,      // counts that do not fit the file, or bytes left over
    BadPairs,      // unsorted, repeated, zero counts, or a record naming itself
    DuplicateKey,  // one key recorded twice
    Asymmetric,    // a reference the other side does not mirror
};

// English text for the log line that explains why a file was set aside.
const char* sz_DecodeText(eDecode result);

// Size of one record.
uint64_t ull_RecordSize(const FileInfos& infos);

// Decodes a whole IDX file. On success `out` holds the records sorted by key
// (uc_Present 0). On failure `out` is empty; for DuplicateKey `*duplicate`
// (when given) receives the key.
eDecode Decode(const uint8_t* data, size_t size, std::vector<FileInfos>* out, uint32_t* duplicate = nullptr);

// Writes the header (magic, version, count) into 12 bytes.
void EncodeHeader(uint8_t* out, uint32_t recordCount);
// Writes one record at `out` with `room` bytes available; the number of bytes
// written, or 0 when it does not fit.
size_t EncodeRecord(const FileInfos& infos, uint8_t* out, size_t room);
void EncodeTrailer(uint8_t* out);

// A whole file from records, in the order given.
std::vector<uint8_t> Encode(const std::vector<const FileInfos*>& records);

}  // namespace BIG::IdxFile
