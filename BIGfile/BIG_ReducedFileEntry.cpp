#include "BIGfile/BIG_ReducedFileEntry.h"

#include "BIGfile/BIG_Endian.h"

using namespace BIG::Endian;

void BIG_st_ReducedFileEntry::EncodeTo(uint8_t (&out)[kEncodedSize]) const {
    Put32(out + kOffPos, ul_Pos);
    Put32(out + kOffKey, ul_Key);
    Put8(out + kOffType, uc_Type);
    Put8(out + kOffStorageFlags, uc_StorageFlags);
}

bool BIG_st_ReducedFileEntry::bDecode(const uint8_t* data, size_t size, BIG_st_ReducedFileEntry* out) {
    if (data == nullptr || out == nullptr || size < kEncodedSize)
        return false;
    out->ul_Pos = Get32(data + kOffPos);
    out->ul_Key = Get32(data + kOffKey);
    out->uc_Type = Get8(data + kOffType);
    out->uc_StorageFlags = Get8(data + kOffStorageFlags);
    return true;
}
