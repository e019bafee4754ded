#include "BIGfile/BIG_FatHeader.h"

#include <cstring>

#include "BIGfile/BIG_Endian.h"
#include "BIGfile/BIG_TextField.h"

using namespace BIG::Endian;

void BIG_st_FatHeader::EncodeTo(uint8_t (&out)[kEncodedSize]) const {
    std::memset(out, 0, kEncodedSize);
    Put16(out + kOffFormatNb, uw_FormatNb);
    Put16(out + kOffDirCount, uw_DirCount);
    Put32(out + kOffFileCount, ul_FileCount);
    Put16(out + kOffTempDirIndex, uw_TempDirIndex);
    Put8(out + kOffHeaderFlags, uc_HeaderFlags);
    Put8(out + kOffReducedFat, uc_ReducedFat);
    Put32(out + kOffFatCrc, ul_FatCrc);
    Put32(out + kOffLastSubmittedCL, ul_LastSubmittedCL);
    Put32(out + kOffSyncedCL, ul_SyncedCL);
    BIG_EncodeTextField(out + kOffClientName, sz_ClientName, kClientNameSize);
    BIG_EncodeTextField(out + kOffLabel, sz_Label, kLabelSize);
    Put32(out + kOffReferenceCL, ul_ReferenceCL);
    Put32(out + kOffPackageWord, ul_PackageWord);
    Put8(out + kOffHeaderByte, uc_HeaderByte);
    Put8(out + kOffAlignmentShift, uc_AlignmentShift);
    BIG_EncodeTextField(out + kOffDataRoot, sz_DataRoot, kDataRootSize);
}

bool BIG_st_FatHeader::bDecode(const uint8_t* data, size_t size, BIG_st_FatHeader* out) {
    if (data == nullptr || out == nullptr || size < kEncodedSize)
        return false;
    BIG_st_FatHeader h;
    h.uw_FormatNb = Get16(data + kOffFormatNb);
    h.uw_DirCount = Get16(data + kOffDirCount);
    h.ul_FileCount = Get32(data + kOffFileCount);
    h.uw_TempDirIndex = Get16(data + kOffTempDirIndex);
    h.uc_HeaderFlags = Get8(data + kOffHeaderFlags);
    h.uc_ReducedFat = Get8(data + kOffReducedFat);
    h.ul_FatCrc = Get32(data + kOffFatCrc);
    h.ul_LastSubmittedCL = Get32(data + kOffLastSubmittedCL);
    h.ul_SyncedCL = Get32(data + kOffSyncedCL);
    BIG_DecodeTextField(h.sz_ClientName, data + kOffClientName, kClientNameSize);
    BIG_DecodeTextField(h.sz_Label, data + kOffLabel, kLabelSize);
    h.ul_ReferenceCL = Get32(data + kOffReferenceCL);
    h.ul_PackageWord = Get32(data + kOffPackageWord);
    h.uc_HeaderByte = Get8(data + kOffHeaderByte);
    h.uc_AlignmentShift = Get8(data + kOffAlignmentShift);
    BIG_DecodeTextField(h.sz_DataRoot, data + kOffDataRoot, kDataRootSize);
    *out = h;
    return true;
}
