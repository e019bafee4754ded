#include "BIGfile/BIG_FileEntry.h"

#include "BIGfile/BIG_Endian.h"
#include "BIGfile/BIG_TextField.h"

using namespace BIG::Endian;

void BIG_st_FileEntry::EncodeTo(uint8_t (&out)[kEncodedSize]) const {
    EncodeAt(&out[0]);
}

void BIG_st_FileEntry::EncodeAt(uint8_t* out) const {
    Put32(out + kOffPos, ul_Pos);
    Put32(out + kOffKey, ul_Key);
    Put32(out + kOffDataInMemory, ul_DataInMemory);
    Put8(out + kOffType, uc_Type);
    Put8(out + kOffStorageFlags, uc_StorageFlags);
    Put16(out + kOffDir, uw_Dir);
    Put32(out + kOffTime, ul_Time);
    Put32(out + kOffFlags, ul_Flags);
    Put32(out + kOffNextFile, ul_NextFile);
    Put32(out + kOffChecksum, ul_Checksum);
    BIG_EncodeTextField(out + kOffName, sz_Name, kNameSize);
    Put32(out + kOffState, ul_State);
}

bool BIG_st_FileEntry::bDecode(const uint8_t* data, size_t size, BIG_st_FileEntry* out) {
    if (data == nullptr || out == nullptr || size < kEncodedSize)
        return false;
    BIG_st_FileEntry e;
    e.ul_Pos = Get32(data + kOffPos);
    e.ul_Key = Get32(data + kOffKey);
    e.ul_DataInMemory = Get32(data + kOffDataInMemory);
    e.uc_Type = Get8(data + kOffType);
    e.uc_StorageFlags = Get8(data + kOffStorageFlags);
    e.uw_Dir = Get16(data + kOffDir);
    e.ul_Time = Get32(data + kOffTime);
    e.ul_Flags = Get32(data + kOffFlags);
    e.ul_NextFile = Get32(data + kOffNextFile);
    e.ul_Checksum = Get32(data + kOffChecksum);
    BIG_DecodeTextField(e.sz_Name, data + kOffName, kNameSize);
    e.ul_State = Get32(data + kOffState);
    *out = e;
    return true;
}
