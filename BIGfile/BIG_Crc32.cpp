#include "BIGfile/BIG_Crc32.h"

#include <libdeflate.h>

uint32_t BIG_ul_Crc32(const void* data, size_t size, uint32_t crc) {
    return size == 0 ? crc : libdeflate_crc32(crc, data, size);
}
