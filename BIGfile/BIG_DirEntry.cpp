#include "BIGfile/BIG_DirEntry.h"

#include "BIGfile/BIG_Endian.h"
#include "BIGfile/BIG_TextField.h"

using namespace BIG::Endian;

void BIG_st_DirEntry::EncodeTo(uint8_t (&out)[kEncodedSize]) const {
    EncodeAt(&out[0]);
}

void BIG_st_DirEntry::EncodeAt(uint8_t* out) const {
    Put32(out + kOffFirstFile, ul_FirstFile);
    Put16(out + kOffParent, uw_Parent);
    Put16(out + kOffFirstSubDir, uw_FirstSubDir);
    Put16(out + kOffNextSibling, uw_NextSibling);
    BIG_EncodeTextField(out + kOffName, sz_Name, kNameSize);
    Put8(out + kOffFlags, uc_Flags);
}

bool BIG_st_DirEntry::bDecode(const uint8_t* data, size_t size, BIG_st_DirEntry* out) {
    if (data == nullptr || out == nullptr || size < kEncodedSize)
        return false;
    BIG_st_DirEntry d;
    d.ul_FirstFile = Get32(data + kOffFirstFile);
    d.uw_Parent = Get16(data + kOffParent);
    d.uw_FirstSubDir = Get16(data + kOffFirstSubDir);
    d.uw_NextSibling = Get16(data + kOffNextSibling);
    BIG_DecodeTextField(d.sz_Name, data + kOffName, kNameSize);
    d.uc_Flags = Get8(data + kOffFlags);
    *out = d;
    return true;
}
