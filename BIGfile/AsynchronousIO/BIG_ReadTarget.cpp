#include "BIGfile/AsynchronousIO/BIG_ReadTarget.h"

#include "BIGfile/BIG_File.h"

namespace BIG {

namespace {

// Holds the table's lock, when there is one, for the scope.
class OptionalLock {
public:
    explicit OptionalLock(PLT::CriticalSection* lock) : m_pLock(lock) {
        if (m_pLock != nullptr)
            m_pLock->Enter();
    }
    ~OptionalLock() {
        if (m_pLock != nullptr)
            m_pLock->Leave();
    }
    OptionalLock(const OptionalLock&) = delete;
    OptionalLock& operator=(const OptionalLock&) = delete;

private:
    PLT::CriticalSection* m_pLock;
};

}  // namespace

bool FileReadTarget::bAlign(uint64_t ullStart, uint64_t ullEnd, bool bForward, uint32_t ulFactor,
                            AlignedRead* po_Out) PLT_NO_THREAD_SAFETY_ANALYSIS {
    OptionalLock lock(mpo_Lock);
    FileAlignedRange range;
    if (mpo_File->eAlignOffsets(&range, ullStart, ullEnd, bForward, ulFactor) != eFile_Ok)
        return false;
    if (range.o_Start.bIsNone() || range.o_End.bIsNone())
        return false;
    po_Out->ull_Start = range.o_Start.ull_GetByteOffset();
    po_Out->ull_End = range.o_End.ull_GetByteOffset();
    po_Out->ull_LocalStart = range.ull_LocalStart;
    po_Out->ull_LocalSize = range.ull_LocalSize;
    po_Out->h_File = range.h_AsyncFile;
    // The global start sits at local offset base + (start - segment start),
    // which may lie past the local start when the block reaches into the header.
    po_Out->ull_Skip = 0;
    for (uint16_t i = 0; i < mpo_File->uw_GetSegmentCount(); ++i) {
        const File::FileSegment& segment = mpo_File->GetSegment(i);
        const uint64_t segStart = segment.o_Start.ull_GetByteOffset();
        const uint64_t segEnd = segment.o_End.ull_GetByteOffset();
        if (po_Out->ull_Start >= segStart && po_Out->ull_Start < segEnd) {
            const uint64_t local = segment.o_ContentBase.ull_GetByteOffset() + (po_Out->ull_Start - segStart);
            if (local < range.ull_LocalStart)
                return false;
            po_Out->ull_Skip = local - range.ull_LocalStart;
            // A container opened without asynchronous handles is read through
            // its plain descriptor: reads are positioned, so sharing it is safe.
            if (po_Out->h_File == PLT::kInvalidFile)
                po_Out->h_File = segment.h_File;
            return po_Out->ull_Skip + (po_Out->ull_End - po_Out->ull_Start) <= po_Out->ull_LocalSize;
        }
    }
    return false;
}

bool FileReadTarget::bIsValidRange(uint64_t ullStart, uint64_t ullEnd) PLT_NO_THREAD_SAFETY_ANALYSIS {
    OptionalLock lock(mpo_Lock);
    return mpo_File->bIsOpen() && mpo_File->bIsValidRange(ullStart, ullEnd);
}

uint32_t FileReadTarget::ul_GetGranularity() PLT_NO_THREAD_SAFETY_ANALYSIS {
    OptionalLock lock(mpo_Lock);
    return mpo_File->ul_GetReadGranularity();
}

uint32_t FileReadTarget::ul_GetAlignmentShift() PLT_NO_THREAD_SAFETY_ANALYSIS {
    OptionalLock lock(mpo_Lock);
    return mpo_File->uc_GetAlignmentShift();
}

}  // namespace BIG
