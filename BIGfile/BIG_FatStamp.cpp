// The segment set stamp of a reproducible bigfile: a hash of its own header
// and tables instead of the counter's value, so that a re-run on the same
// input writes the same bytes.
#include <algorithm>
#include <vector>

#include "BIGfile/BIG_Fat.h"
#include "BIGfile/BIG_File.h"
#include "platform/Thread.h"

namespace {

// 64-bit FNV-1a: small, fixed by its definition, and good enough to tell
// two tables apart; the stamp is no security feature.
constexpr uint64_t kFnvOffset = 0xCBF29CE484222325ull;
constexpr uint64_t kFnvPrime = 0x100000001B3ull;
// Tables are read in pieces of this size, each inside one segment.
constexpr uint32_t kChunkBytes = 1u << 20;

uint64_t Fnv1a(uint64_t hash, const uint8_t* data, size_t size) {
    for (size_t i = 0; i < size; ++i) {
        hash ^= data[i];
        hash *= kFnvPrime;
    }
    return hash;
}

}  // namespace

BIG::Status BIG_cl_Fat::eDeriveSetStamp() {
    BIG::File& file = *m_pFile;
    if (!file.bIsOpen())
        return BIG::Status::InvalidArgument("the set stamp of a bigfile that is not open");
    const uint64_t begin = file.oGetFileContentStart().ull_GetByteOffset();
    // Header and tables as stored; an empty bigfile with a large alignment
    // may end before its data start.
    const uint64_t end =
        std::min(mo_DataPos.ull_GetByteOffset(), file.oGetFileContentEnd().ull_GetByteOffset());
    std::vector<uint8_t> chunk(kChunkBytes);
    uint64_t hash = kFnvOffset;
    for (uint64_t at = begin; at < end;) {
        uint64_t segmentEnd = 0;
        for (uint16_t i = 0; i < file.uw_GetSegmentCount() && segmentEnd == 0; ++i) {
            const BIG::File::FileSegment& s = file.GetSegment(i);
            if (s.o_Start.ull_GetByteOffset() <= at && at < s.o_End.ull_GetByteOffset())
                segmentEnd = s.o_End.ull_GetByteOffset();
        }
        if (segmentEnd == 0)
            return BIG::Status::Corrupt(file.GetPath() + ": the tables lie outside the segments");
        const uint32_t count =
            static_cast<uint32_t>(std::min<uint64_t>({end, segmentEnd, at + kChunkBytes}) - at);
        if (!bReadAt(file, BIG_POS(at), chunk.data(), count))
            return BIG::Status::IOError(file.GetPath() +
                                        ": the tables cannot be read back for the set stamp");
        hash = Fnv1a(hash, chunk.data(), count);
        at += count;
    }
    uint32_t error;
    {
        PLT::ScopedLock<PLT::CriticalSection> lock(m_lock);
        error = file.eFixSetStamp(hash);
    }
    if (error != BIG::eFile_Ok)
        return BIG::Status::IOError(file.GetPath() + ": the segment headers cannot be rewritten");
    return BIG::Status::Ok();
}
