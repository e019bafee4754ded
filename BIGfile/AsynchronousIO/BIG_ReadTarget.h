// What the read launcher needs to know about one bigfile's container: how to
// widen a byte range into an aligned physical read, whether a range lies in
// one segment, and the read granularity. BIG::File answers through
// FileReadTarget; tests may describe a geometry of their own.
//
// Called by the read launcher under the manager mutex. FileReadTarget takes the
// bigfile table's lock (when given) around every call into the container,
// since the container has no lock of its own.
#pragma once

#include <cstdint>

#include "platform/File.h"
#include "platform/Thread.h"

namespace BIG {

class File;

// One physical read. Global byte offsets address the bigfile; the device reads
// [ull_LocalStart, ull_LocalStart + ull_LocalSize) of h_File into the buffer,
// where the global range starts ull_Skip bytes in.
struct AlignedRead {
    uint64_t ull_Start = 0;  // global, aligned
    uint64_t ull_End = 0;    // global, aligned, at most the segment's end
    uint64_t ull_LocalStart = 0;
    uint64_t ull_LocalSize = 0;
    uint64_t ull_Skip = 0;
    PLT::FileHandle h_File = PLT::kInvalidFile;
};

class ReadTarget {
public:
    virtual ~ReadTarget() = default;
    // Widens [start, end) to blocks of granularity × factor (and to at least the
    // merge threshold, in the given direction). False when no segment holds it.
    virtual bool bAlign(uint64_t ullStart, uint64_t ullEnd, bool bForward, uint32_t ulFactor,
                        AlignedRead* po_Out) = 0;
    // True when one segment holds the whole range.
    virtual bool bIsValidRange(uint64_t ullStart, uint64_t ullEnd) = 0;
    virtual uint32_t ul_GetGranularity() = 0;
    virtual uint32_t ul_GetAlignmentShift() = 0;
};

class FileReadTarget : public ReadTarget {
public:
    FileReadTarget(File* po_File, PLT::CriticalSection* po_Lock) : mpo_File(po_File), mpo_Lock(po_Lock) {}

    bool bAlign(uint64_t ullStart, uint64_t ullEnd, bool bForward, uint32_t ulFactor,
                AlignedRead* po_Out) override;
    bool bIsValidRange(uint64_t ullStart, uint64_t ullEnd) override;
    uint32_t ul_GetGranularity() override;
    uint32_t ul_GetAlignmentShift() override;

    File* po_GetFile() const { return mpo_File; }

private:
    File* mpo_File;
    PLT::CriticalSection* mpo_Lock;
};

}  // namespace BIG
