// The checksum of stored contents and of the file table: the standard
// reflected CRC-32 (polynomial 0x04C11DB7, initial value 0xFFFFFFFF, final
// complement). Computed with the carry-less multiply instructions where the
// processor has them: a split checksums every byte it copies.
#pragma once

#include <cstddef>
#include <cstdint>

// The CRC-32 of `size` bytes, continuing from `crc` (0 to start). Chained
// calls over consecutive pieces give the CRC-32 of the whole.
uint32_t BIG_ul_Crc32(const void* data, size_t size, uint32_t crc = 0);
