// Arbitrary bytes as the first segment header of a bigfile: the codec must
// reject or round-trip them, and the container must interpret them without
// crashing, keeping every accepted segment inside the addressable range.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "BIGfile/BIG_File.h"
#include "BIGfile/BIG_SegmentHeader.h"
#include "ERRor/ERR_Assert.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool s_bInit = [] {
        ERR_SetInteractive(false);
        return true;
    }();
    (void)s_bInit;

    BIG_st_SegmentHeader header;
    if (BIG_st_SegmentHeader::bDecode(data, size, &header)) {
        uint8_t again[BIG_st_SegmentHeader::kEncodedSize];
        header.EncodeTo(again);
        if (std::memcmp(again, data, sizeof again) != 0)
            __builtin_trap();
    }

    BIG::File file;
    BIG::File::FileSegment segment;
    if (file.eInterpretFileHeader(data, size, &segment, true) == BIG::eFile_Ok) {
        if (segment.o_ContentBase.bIsNone() || segment.o_Start.bIsNone() || segment.o_End.bIsNone() ||
            segment.o_ContentBase.ull_GetByteOffset() % 2048 != 0 ||
            segment.o_ContentBase.ull_GetByteOffset() == 0)
            __builtin_trap();
    }
    return 0;
}
