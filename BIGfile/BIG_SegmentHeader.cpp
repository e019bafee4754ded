#include "BIGfile/BIG_SegmentHeader.h"

#include <cstring>

#include "BIGfile/BIG_Endian.h"

void BIG_st_SegmentHeader::EncodeTo(uint8_t (&out)[kEncodedSize]) const {
    BIG::Endian::ByteWriter w(out, kEncodedSize);
    w.Bytes(kOffMagic, kMagic, sizeof kMagic);
    w.U8(kOffVersion, kVersion);
    w.U8(kOffSegmentCount, uc_SegmentCount);
    w.U8(kOffSegmentIndex, uc_SegmentIndex);
    w.U8(kOffReserved8, uc_Reserved);
    w.U32(kOffMaxSegmentSize, ul_MaxSegmentSize);
    w.U32(kOffReserved32, ul_Reserved);
    w.U64(kOffContentBase, ull_ContentBase);
    w.U64(kOffStart, ull_Start);
    w.U64(kOffEnd, ull_End);
    w.U64(kOffSetStamp, ull_SetStamp);
}

bool BIG_st_SegmentHeader::bDecode(const uint8_t* data, size_t size, BIG_st_SegmentHeader* out) {
    if (data == nullptr || out == nullptr || size < kEncodedSize)
        return false;
    BIG::Endian::ByteReader r(data, kEncodedSize);
    uint8_t magic[sizeof kMagic];
    r.Bytes(kOffMagic, magic, sizeof magic);
    if (std::memcmp(magic, kMagic, sizeof kMagic) != 0 || r.U8(kOffVersion) != kVersion)
        return false;

    BIG_st_SegmentHeader h;
    h.uc_SegmentCount = r.U8(kOffSegmentCount);
    h.uc_SegmentIndex = r.U8(kOffSegmentIndex);
    h.uc_Reserved = r.U8(kOffReserved8);
    h.ul_MaxSegmentSize = r.U32(kOffMaxSegmentSize);
    h.ul_Reserved = r.U32(kOffReserved32);
    h.ull_ContentBase = r.U64(kOffContentBase);
    h.ull_Start = r.U64(kOffStart);
    h.ull_End = r.U64(kOffEnd);
    h.ull_SetStamp = r.U64(kOffSetStamp);
    if (!r.bOk())
        return false;
    *out = h;
    return true;
}
