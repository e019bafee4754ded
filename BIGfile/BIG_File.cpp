#include "BIGfile/BIG_File.h"

#include <algorithm>
#include <cstring>

#include "ERRor/ERR_Assert.h"
#include "platform/Clock.h"

// Each site keeps its own "ignore always" state.
#define BIG_FILE_RAISE(message) ERR_X_Raise("AssertEx", (message))

namespace BIG {

namespace {

constexpr const char* kNotOpened = "The file is not opened!";
constexpr const char* kInvalidParam = "Invalid input parameter!";
constexpr const char* kOffsetOverflow = "Offset overflow!";
constexpr const char* kOpenTitle = "Error opening big file!";
constexpr uint64_t kLocalLimit = uint64_t{1} << 32;

std::string HeaderReadMessage(const std::string& name) {
    return "Error reading " + name + "\n(Error reading segment header)";
}

}  // namespace

File::File() = default;

File::~File() {
    if (bIsOpen()) {
        BIG_FILE_RAISE("Close file before destroying!");
        File::eClose();
    }
}

std::string File::SegmentFileName(const std::string& path, unsigned index) {
    const size_t slash = path.find_last_of("/\\");
    const size_t dot = path.find_last_of('.');
    const bool dotInName = dot != std::string::npos && (slash == std::string::npos || dot > slash);
    return (dotInName ? path.substr(0, dot) : path) + ".big" + std::to_string(index);
}

bool File::bIsAligned(BIG_POS position) const {
    const uint64_t bytes = position.ull_GetByteOffset();
    return BIG_ull_AlignDown(bytes, m_ucAlignmentShift) == bytes;
}

bool File::bLocalOffset(const FileSegment& s, uint64_t g, uint64_t* local) {
    *local = s.o_ContentBase.ull_GetByteOffset() + (g - s.o_Start.ull_GetByteOffset());
    return *local < kLocalLimit;
}

int File::iFindSegment(uint64_t g) const {
    for (size_t i = 0; i < m_aSegments.size(); ++i) {
        const FileSegment& s = m_aSegments[i];
        if (s.o_Start.ull_GetByteOffset() <= g && g < s.o_End.ull_GetByteOffset())
            return static_cast<int>(i);
    }
    return -1;
}

void File::CloseSegment(FileSegment* segment) {
    PLT::CloseFile(segment->h_File);
    PLT::CloseFile(segment->h_AsyncFile);
    segment->h_File = PLT::kInvalidFile;
    segment->h_AsyncFile = PLT::kInvalidFile;
}

// ---------------------------------------------------------------- open / close

bool File::bOpenSegmentFiles(const std::string& name, FileSegment* segment, uint32_t* error) {
    const PLT::FileHandle h = PLT::OpenFile(name, m_bReadOnly ? PLT::Access::eRead : PLT::Access::eReadWrite,
                                            PLT::Disposition::eOpenExisting);
    if (h == PLT::kInvalidFile) {
        ShowOpenProblem("Error opening " + name);
        *error = eFile_CannotOpen;
        return false;
    }
    const uint32_t e = eReadFileHeader(h, segment, false);
    if (e != eFile_Ok) {
        ShowOpenProblem(HeaderReadMessage(name));
        PLT::CloseFile(h);
        *error = e;
        return false;
    }
    if (m_bAsynchronous) {
        segment->h_AsyncFile = PLT::OpenFile(name, PLT::Access::eRead, PLT::Disposition::eOpenExisting,
                                             PLT::Caching::eUnbuffered);
        if (segment->h_AsyncFile == PLT::kInvalidFile) {
            ShowOpenProblem("Error opening " + name + " in asynchronous mode!");
            CloseSegment(segment);
            *error = eFile_CannotOpen;
            return false;
        }
    }
    return true;
}

uint32_t File::eOpen(const std::string& path, bool readOnly, bool acceptSmallFile, bool asynchronous) {
    if (bIsOpen()) {
        BIG_FILE_RAISE("Close the file before opening the new one!");
        return eResult(eFile_AlreadyOpen);
    }
    m_sPath = path;
    m_bReadOnly = readOnly;
    m_bAsynchronous = asynchronous;
    m_sOpenProblem.clear();

    const PLT::FileHandle h = PLT::OpenFile(path, readOnly ? PLT::Access::eRead : PLT::Access::eReadWrite,
                                            PLT::Disposition::eOpenExisting);
    if (h == PLT::kInvalidFile)
        return eResult(eFile_CannotOpen);
    if (!acceptSmallFile) {
        uint64_t size = 0;
        if (!PLT::GetFileSize(h, &size) || size <= kSmallFileLimit) {
            PLT::CloseFile(h);
            return eResult(eFile_CannotOpen);
        }
    }

    FileSegment first;
    uint32_t e = eReadFileHeader(h, &first, true);
    if (e != eFile_Ok) {
        ShowOpenProblem(HeaderReadMessage(path));
        PLT::CloseFile(h);
        return eResult(e);
    }
    if (asynchronous) {
        first.h_AsyncFile = PLT::OpenFile(path, PLT::Access::eRead, PLT::Disposition::eOpenExisting,
                                          PLT::Caching::eUnbuffered);
        if (first.h_AsyncFile == PLT::kInvalidFile) {
            ShowOpenProblem("Error opening " + path + " in asynchronous mode!");
            PLT::CloseFile(h);
            return eResult(eFile_CannotOpen);
        }
    }
    m_aSegments.push_back(first);

    for (unsigned k = 1; k < m_ucHeaderSegmentCount; ++k) {
        FileSegment segment;
        if (!bOpenSegmentFiles(SegmentFileName(path, k), &segment, &e)) {
            eClose();
            return eResult(e);
        }
        m_aSegments.push_back(segment);
    }
    return eResult(eValidateSegments());
}

uint32_t File::eValidateSegments() {
    const size_t expected = m_ucHeaderSegmentCount;
    const size_t opened = m_aSegments.size();
    if (opened != expected) {
        ShowOpenProblem("Error opening " + m_sPath + ".\n" +
                        "The number of segment files opened does not match!\n" +
                        "(expected:" + std::to_string(expected) + " opened:" + std::to_string(opened) + ")");
        eClose();
        return eFile_BadSegmentHeader;
    }
    uint64_t previousEnd = 0;
    for (size_t i = 0; i < opened; ++i) {
        const FileSegment& s = m_aSegments[i];
        const uint64_t start = s.o_Start.ull_GetByteOffset();
        const uint64_t end = s.o_End.ull_GetByteOffset();
        // The content of a segment must also stay within the 32-bit local offsets.
        const bool localFits = s.o_ContentBase.ull_GetByteOffset() + (end - start) <= kLocalLimit;
        if (start != previousEnd || end < start || !localFits) {
            ShowOpenProblem("Error opening " + m_sPath + ".\n" + "Segment data for segment " +
                            std::to_string(i) + " is invalid!\n");
            eClose();
            return eFile_BadSegmentHeader;
        }
        previousEnd = end;
    }
    // Only now may the claims size anything: a header that names content its
    // file does not hold would have readers allocate for bytes that are not there.
    for (size_t i = 0; i < opened; ++i) {
        const FileSegment& s = m_aSegments[i];
        const uint64_t claimed = s.o_End.ull_GetByteOffset() - s.o_Start.ull_GetByteOffset();
        if (claimed == 0)
            continue;  // an empty segment claims nothing past its header
        const uint64_t localEnd = s.o_ContentBase.ull_GetByteOffset() + claimed;
        uint64_t size = 0;
        if (!bSegmentFileHolds(static_cast<uint16_t>(i), localEnd, &size)) {
            const std::string name = i == 0 ? m_sPath : SegmentFileName(m_sPath, static_cast<unsigned>(i));
            ShowOpenProblem("Error opening " + m_sPath + ".\n" + "Segment " + std::to_string(i) +
                            " claims content up to byte " + std::to_string(localEnd) + " of " + name +
                            (size != 0 ? ", which holds " + std::to_string(size) + " bytes!\n"
                                       : ", which is shorter!\n"));
            eClose();
            return eFile_BadSegmentHeader;
        }
    }
    return eFile_Ok;
}

bool File::bSegmentFileHolds(uint16_t index, uint64_t localEnd, uint64_t* size) {
    *size = 0;
    return PLT::GetFileSize(m_aSegments[index].h_File, size) && *size >= localEnd;
}

uint32_t File::eClose() {
    if (!bIsOpen()) {
        BIG_FILE_RAISE(kNotOpened);
        return eResult(eFile_NotOpen);
    }
    // What the cache still holds is dropped, and its writer done, before the
    // handles close: no page may reach a descriptor that is reused.
    m_pCache.reset();
    for (FileSegment& s : m_aSegments)
        CloseSegment(&s);
    m_aSegments.clear();
    m_bSetStampFixed = false;
    return eResult(eFile_Ok);
}

// ---------------------------------------------------------------- create / segments

uint32_t File::eCreate(const std::string& path, bool asynchronous, uint32_t maxSegmentSize,
                       bool smallHeader) {
    if (bIsOpen()) {
        BIG_FILE_RAISE("Close the file before creating a new one!");
        return eResult(eFile_AlreadyOpen);
    }
    m_sPath = path;
    m_ulMaxSegmentSize = maxSegmentSize;
    m_bAsynchronous = asynchronous;
    m_bReadOnly = false;
    m_bSetStampFixed = false;
    m_ulReserved = 0;
    m_ucHeaderSegmentCount = 0;
    return eAddSegment(smallHeader);
}

uint32_t File::eNewSegmentLayout(bool smallHeader, FileSegment* out) {
    if (m_aSegments.size() >= kMaxSegments) {
        BIG_FILE_RAISE("Too many segment files!");
        return eFile_InvalidParameter;
    }
    out->o_ContentBase =
        BIG_POS(BIG_ull_AlignUp(smallHeader ? kSmallContentBase : kLargeContentBase, m_ucAlignmentShift));
    if (out->o_ContentBase.bIsNone() || out->o_ContentBase.ull_GetByteOffset() >= kLocalLimit) {
        BIG_FILE_RAISE(kOffsetOverflow);
        return eFile_InvalidParameter;
    }
    out->o_Start = m_aSegments.empty() ? BIG_POS(0) : m_aSegments.back().o_End;
    out->o_End = out->o_Start;
    return eFile_Ok;
}

uint32_t File::eAddSegment(bool smallHeader) {
    const size_t k = m_aSegments.size();
    FileSegment segment;
    const uint32_t layout = eNewSegmentLayout(smallHeader, &segment);
    if (layout != eFile_Ok)
        return eResult(layout);

    const std::string name = k == 0 ? m_sPath : SegmentFileName(m_sPath, static_cast<unsigned>(k));
    segment.h_File = PLT::OpenFile(name, PLT::Access::eReadWrite, PLT::Disposition::eCreateAlways);
    if (segment.h_File == PLT::kInvalidFile)
        return eResult(eFile_CannotOpen);
    if (m_bAsynchronous) {
        segment.h_AsyncFile = PLT::OpenFile(name, PLT::Access::eRead, PLT::Disposition::eOpenExisting,
                                            PLT::Caching::eUnbuffered);
        if (segment.h_AsyncFile == PLT::kInvalidFile) {
            CloseSegment(&segment);
            return eResult(eFile_CannotOpen);
        }
    }
    m_aSegments.push_back(segment);
    m_ucHeaderSegmentCount = static_cast<uint8_t>(m_aSegments.size());

    const uint32_t e = eRefreshHeaders();
    if (e != eFile_Ok)
        UndoAddSegment(name);
    return eResult(e);
}

void File::UndoAddSegment(const std::string& name) {
    // Headers that say "one more segment" with no such segment would make the
    // set unopenable; take the segment back and rewrite what remains.
    if (m_pCache)
        m_pCache->Drop(static_cast<uint16_t>(m_aSegments.size() - 1));
    CloseSegment(&m_aSegments.back());
    m_aSegments.pop_back();
    m_ucHeaderSegmentCount = static_cast<uint8_t>(m_aSegments.size());
    if (!m_aSegments.empty()) {
        PLT::RemoveFile(name);
        eRefreshHeaders();
    }
}

uint32_t File::eRemoveSegment() {
    if (!bIsOpen()) {
        BIG_FILE_RAISE(kNotOpened);
        return eResult(eFile_NotOpen);
    }
    if (m_aSegments.size() == 1)
        return eResult(eFile_CannotOpen);
    const std::string name = SegmentFileName(m_sPath, static_cast<unsigned>(m_aSegments.size() - 1));
    if (m_pCache)
        m_pCache->Drop(static_cast<uint16_t>(m_aSegments.size() - 1));
    CloseSegment(&m_aSegments.back());
    m_aSegments.pop_back();
    m_ucHeaderSegmentCount = static_cast<uint8_t>(m_aSegments.size());
    uint32_t e = eRefreshHeaders();
    if (!PLT::RemoveFile(name) && e == eFile_Ok)
        e = eFile_DeleteFailed;
    return eResult(e);
}

// ---------------------------------------------------------------- headers

uint32_t File::eFixSetStamp(uint64_t stamp) {
    if (!bIsOpen()) {
        BIG_FILE_RAISE(kNotOpened);
        return eResult(eFile_NotOpen);
    }
    m_ullSetStamp = stamp;
    m_bSetStampFixed = true;
    return eResult(eRefreshHeaders());
}

uint32_t File::eRefreshHeaders() {
    if (!m_bSetStampFixed)
        m_ullSetStamp = PLT::HighResCounter();
    m_ulReserved = 0;
    for (size_t i = 0; i < m_aSegments.size(); ++i) {
        const uint32_t e = eWriteFileHeader(static_cast<uint16_t>(i));
        if (e != eFile_Ok)
            return e;
    }
    return eFile_Ok;
}

uint32_t File::ePrepareHeaderForWriting(BIG_st_SegmentHeader* out, uint16_t segment) {
    if (out == nullptr || segment >= m_aSegments.size()) {
        BIG_FILE_RAISE(kInvalidParam);
        return eResult(eFile_InvalidParameter);
    }
    const FileSegment& s = m_aSegments[segment];
    out->uc_SegmentCount = m_ucHeaderSegmentCount;
    out->uc_SegmentIndex = static_cast<uint8_t>(segment);
    out->uc_Reserved = 0;
    out->ul_MaxSegmentSize = m_ulMaxSegmentSize;
    out->ul_Reserved = m_ulReserved;
    out->ull_ContentBase = s.o_ContentBase.ull_GetByteOffset();
    out->ull_Start = s.o_Start.ull_GetByteOffset();
    out->ull_End = s.o_End.ull_GetByteOffset();
    out->ull_SetStamp = m_ullSetStamp;
    return eFile_Ok;
}

uint32_t File::eEncodeHeader(uint16_t index, uint8_t (&bytes)[BIG_st_SegmentHeader::kEncodedSize]) {
    BIG_st_SegmentHeader header;
    const uint32_t e = ePrepareHeaderForWriting(&header, index);
    if (e == eFile_Ok)
        header.EncodeTo(bytes);
    return e;
}

uint32_t File::eWriteFileHeader(uint16_t segment) {
    uint8_t bytes[BIG_st_SegmentHeader::kEncodedSize];
    const uint32_t e = eEncodeHeader(segment, bytes);
    if (e != eFile_Ok)
        return eResult(e);
    if (!bWriteLocal(segment, m_aSegments[segment].h_File, 0, bytes, sizeof bytes))
        return eResult(eFile_WriteFailed);
    return eResult(eFile_Ok);
}

uint32_t File::eReadFileHeader(PLT::FileHandle file, FileSegment* out, bool first) {
    if (file == PLT::kInvalidFile || out == nullptr) {
        BIG_FILE_RAISE("Invalid input parameter");
        return eResult(eFile_InvalidParameter);
    }
    uint8_t bytes[BIG_st_SegmentHeader::kEncodedSize];
    if (!PLT::ReadAt(file, 0, bytes, sizeof bytes))
        return eResult(eFile_ReadFailed);
    FileSegment segment;
    const uint32_t e = eInterpretFileHeader(bytes, sizeof bytes, &segment, first);
    if (e != eFile_Ok)
        return eResult(e);
    segment.h_File = file;
    *out = segment;
    return eResult(eFile_Ok);
}

uint32_t File::eInterpretFileHeader(const uint8_t* header, size_t size, FileSegment* out, bool first) {
    BIG_st_SegmentHeader h;
    if (out == nullptr || !BIG_st_SegmentHeader::bDecode(header, size, &h))
        return eResult(eFile_BadSegmentHeader);
    if (first) {
        m_ucHeaderSegmentCount = h.uc_SegmentCount;
        m_ulMaxSegmentSize = h.ul_MaxSegmentSize;
        m_ulReserved = h.ul_Reserved;
        m_ullSetStamp = h.ull_SetStamp;
    }
    if (h.uc_SegmentCount != m_ucHeaderSegmentCount || h.ul_MaxSegmentSize != m_ulMaxSegmentSize ||
        h.ul_Reserved != m_ulReserved || h.ull_SetStamp != m_ullSetStamp)
        return eResult(eFile_BadSegmentHeader);
    // A base below 2048 would put content over the header itself.
    if (h.ull_ContentBase % kSmallContentBase != 0 || h.ull_ContentBase < kSmallContentBase) {
        BIG_FILE_RAISE("Invalid content start offset!");
        return eResult(eFile_BadSegmentHeader);
    }
    FileSegment segment;
    segment.o_ContentBase = BIG_POS(h.ull_ContentBase);
    segment.o_Start = BIG_POS(h.ull_Start);
    segment.o_End = BIG_POS(h.ull_End);
    if (segment.o_ContentBase.bIsNone() || segment.o_Start.bIsNone() || segment.o_End.bIsNone())
        return eResult(eFile_BadSegmentHeader);
    *out = segment;
    return eResult(eFile_Ok);
}

// ---------------------------------------------------------------- transfers

bool File::bWriteLocal(uint16_t segment, PLT::FileHandle file, uint64_t offset, const void* data,
                       uint32_t count) {
    return m_pCache ? m_pCache->bWrite(segment, file, offset, data, count)
                    : PLT::WriteAt(file, offset, data, count);
}

bool File::bReadLocal(uint16_t segment, PLT::FileHandle file, uint64_t offset, void* data, uint32_t count) {
    return m_pCache ? m_pCache->bRead(segment, file, offset, data, count)
                    : PLT::ReadAt(file, offset, data, count);
}

uint32_t File::eCheckTransfer(BIG_POS position, const void* buffer) {
    if (!bIsOpen()) {
        BIG_FILE_RAISE(kNotOpened);
        return eFile_NotOpen;
    }
    if (buffer == nullptr || position.bIsNone() || !bIsAligned(position)) {
        BIG_FILE_RAISE(kInvalidParam);
        return eFile_InvalidParameter;
    }
    return eFile_Ok;
}

uint32_t File::eGetReadParams(FileIOParams* out, BIG_POS position, uint32_t count, uint64_t extra) {
    if (!bIsOpen())
        return eResult(eFile_NotOpen);
    if (out == nullptr || position.bIsNone() || !bIsAligned(position)) {
        BIG_FILE_RAISE(kInvalidParam);
        return eResult(eFile_InvalidParameter);
    }
    const uint64_t base = position.ull_GetByteOffset();
    if (extra > UINT64_MAX - base) {
        BIG_FILE_RAISE(kOffsetOverflow);
        return eResult(eFile_InvalidParameter);
    }
    const uint64_t g = base + extra;
    const int index = iFindSegment(g);
    if (index < 0)
        return eResult(eFile_CannotOpen);
    const FileSegment& s = m_aSegments[index];
    uint64_t local = 0;
    if (!bLocalOffset(s, g, &local)) {
        BIG_FILE_RAISE(kOffsetOverflow);
        return eResult(eFile_InvalidParameter);
    }
    const uint64_t available = s.o_End.ull_GetByteOffset() - g;
    out->h_File = s.h_File;
    out->h_AsyncFile = s.h_AsyncFile;
    out->ul_LocalOffset = static_cast<uint32_t>(local);
    out->ul_Count = static_cast<uint32_t>(std::min<uint64_t>(count, available));
    out->uw_Segment = static_cast<uint16_t>(index);
    return eResult(eFile_Ok);
}

uint32_t File::eRead(BIG_POS position, void* buffer, uint32_t count, uint64_t extra) {
    uint32_t e = eCheckTransfer(position, buffer);
    if (e != eFile_Ok)
        return eResult(e);
    FileIOParams params;
    e = eGetReadParams(&params, position, count, extra);
    if (e != eFile_Ok)
        return eResult(e);
    if (params.h_File == PLT::kInvalidFile) {
        BIG_FILE_RAISE("Could not find segment for the input offset");
        return eResult(eFile_InvalidParameter);
    }
    if (params.ul_Count != count) {
        BIG_FILE_RAISE("The read goes out of the segment!");
        return eResult(eFile_InvalidParameter);
    }
    if (count != 0 && !bReadLocal(params.uw_Segment, params.h_File, params.ul_LocalOffset, buffer, count))
        return eResult(eFile_ReadFailed);
    return eResult(eFile_Ok);
}

uint32_t File::eGetWriteParams(FileIOParams* out, BIG_POS position, uint32_t count, uint64_t extra) {
    if (!bIsOpen()) {
        BIG_FILE_RAISE(kNotOpened);
        return eResult(eFile_NotOpen);
    }
    if (out == nullptr || position.bIsNone() || !bIsAligned(position)) {
        BIG_FILE_RAISE(kInvalidParam);
        return eResult(eFile_InvalidParameter);
    }
    uint32_t e = eGetReadParams(out, position, count, extra);
    if (e != eFile_Ok && e != eFile_CannotOpen)
        return e;
    if (e == eFile_Ok) {
        if (out->ul_Count == count)
            return eResult(eFile_Ok);  // an overwrite inside one segment
        if (out->uw_Segment + 1u != m_aSegments.size()) {
            BIG_FILE_RAISE("Selected segment is not the last one!");
            return eResult(eFile_InvalidParameter);
        }
    }
    const uint64_t g = position.ull_GetByteOffset() + extra;  // no overflow: checked by eGetReadParams

    for (;;) {
        const FileSegment& last = m_aSegments.back();
        const uint64_t start = last.o_Start.ull_GetByteOffset();
        const uint64_t end = last.o_End.ull_GetByteOffset();
        if (g < end || (g - start) + count <= m_ulMaxSegmentSize)
            break;
        // An empty last segment cannot be helped by another empty one: a write
        // larger than the maximum segment size goes alone into it.
        if (start == end)
            break;
        e = eAddSegment(last.o_ContentBase.ull_GetByteOffset() == kSmallContentBase);
        if (e != eFile_Ok)
            return e;
    }

    FileSegment& last = m_aSegments.back();
    const uint64_t newEnd = BIG_ull_AlignUp(g + count, m_ucAlignmentShift);
    uint64_t local = 0;
    if (newEnd >= BIG_POS::kByteLimit || !bLocalOffset(last, g, &local) || local + count > kLocalLimit) {
        BIG_FILE_RAISE(kOffsetOverflow);
        return eResult(eFile_InvalidParameter);
    }
    const BIG_POS oldEnd = last.o_End;
    last.o_End = std::max(oldEnd, BIG_POS(newEnd));

    out->h_File = last.h_File;
    out->h_AsyncFile = last.h_AsyncFile;
    out->ul_LocalOffset = static_cast<uint32_t>(local);
    // The write reaches at least the segment's new end, so the file always
    // holds every byte its header claims, whatever the alignment unit.
    const uint64_t claimedEnd = last.o_ContentBase.ull_GetByteOffset() +
                                (last.o_End.ull_GetByteOffset() - last.o_Start.ull_GetByteOffset());
    out->ul_Count = static_cast<uint32_t>(std::max(BIG_ull_AlignUp(local + count, 11), claimedEnd) - local);
    out->uw_Segment = static_cast<uint16_t>(m_aSegments.size() - 1);

    e = eRefreshHeaders();
    if (e != eFile_Ok)
        m_aSegments.back().o_End = oldEnd;  // the data has not moved: keep the recorded end true
    return eResult(e);
}

uint32_t File::eWrite(BIG_POS position, const void* buffer, uint32_t count, uint64_t extra) {
    uint32_t e = eCheckTransfer(position, buffer);
    if (e != eFile_Ok)
        return eResult(e);
    const size_t segmentsBefore = m_aSegments.size();
    const BIG_POS endBefore = m_aSegments.back().o_End;
    FileIOParams params;
    e = eGetWriteParams(&params, position, count, extra);
    if (e != eFile_Ok)
        return eResult(e);
    // An extended write pads with zero bytes to the 2048-byte boundary or the
    // segment's aligned end, whichever is further, so no stale or
    // uninitialised byte ever lands in the file.
    static const uint8_t kZeros[kWriteBoundary] = {};
    bool written =
        count == 0 || bWriteLocal(params.uw_Segment, params.h_File, params.ul_LocalOffset, buffer, count);
    for (uint32_t done = count; written && done < params.ul_Count;) {
        const uint32_t chunk = std::min<uint32_t>(params.ul_Count - done, kWriteBoundary);
        written = bWriteLocal(params.uw_Segment, params.h_File, uint64_t{params.ul_LocalOffset} + done,
                              kZeros, chunk);
        done += chunk;
    }
    if (!written) {
        RollBackExtension(segmentsBefore, endBefore);
        return eResult(eFile_WriteFailed);
    }
    return eResult(eRefreshHeaders());
}

void File::RollBackExtension(size_t segmentsBefore, BIG_POS endBefore) {
    // The headers already claim the extended end; bring them back to the bytes
    // that are really there. A segment started for this write stays, empty.
    FileSegment& last = m_aSegments.back();
    const BIG_POS end = m_aSegments.size() == segmentsBefore ? endBefore : last.o_Start;
    if (last.o_End == end)
        return;
    last.o_End = end;
    eRefreshHeaders();
}

uint32_t File::eWriteOut() {
    if (!bIsOpen()) {
        BIG_FILE_RAISE(kNotOpened);
        return eResult(eFile_NotOpen);
    }
    if (m_pCache && !m_pCache->bFlush())
        return eResult(eFile_WriteFailed);
    return eResult(eFile_Ok);
}

uint32_t File::eFlush() {
    if (const uint32_t written = eWriteOut(); written != eFile_Ok)
        return written;
    for (const FileSegment& s : m_aSegments) {
        if (!PLT::Flush(s.h_File))
            return eResult(eFile_FlushFailed);
    }
    return eResult(eFile_Ok);
}

uint32_t File::eSetEndOfFile(BIG_POS) {
    return eResult(eFile_NotSupported);
}

void File::ShowOpenProblem(const std::string& text) {
    m_sOpenProblem = text;
    ShowMessage(text, kOpenTitle);
}

void File::ShowMessage(const std::string& text, const std::string&) {
    BIG_FILE_RAISE(text.c_str());
}

// ---------------------------------------------------------------- ranges

uint32_t File::eAlignOffsets(FileAlignedRange* out, uint64_t start, uint64_t end, bool extendForward,
                             uint32_t factor) {
    if (!bIsOpen())
        return eResult(eFile_NotOpen);
    const int index = iFindSegment(start);
    const uint64_t block = uint64_t{m_ulReadGranularity} * factor;
    if (out == nullptr || index < 0 || end < start || block == 0 ||
        end > m_aSegments[index].o_End.ull_GetByteOffset())
        return eResult(eFile_InvalidParameter);
    const FileSegment& s = m_aSegments[index];
    const uint64_t base = s.o_ContentBase.ull_GetByteOffset();
    const uint64_t segStart = s.o_Start.ull_GetByteOffset();
    const uint64_t segEnd = s.o_End.ull_GetByteOffset();

    // Block-aligned local range (offsets within one segment stay far below 2^64).
    uint64_t a = (base + (start - segStart)) / block * block;
    const uint64_t bRaw = base + (end - segStart);
    uint64_t b = (bRaw / block + (bRaw % block != 0 ? 1 : 0)) * block;
    if (b - a < m_ulMergeThreshold) {
        if (extendForward)
            b = a + m_ulMergeThreshold;
        else
            a = b > m_ulMergeThreshold ? b - m_ulMergeThreshold : 0;
    }
    if (a >= kLocalLimit) {
        BIG_FILE_RAISE("Local start value overflow!");
        return eResult(eFile_InvalidParameter);
    }
    if (b >= kLocalLimit) {
        BIG_FILE_RAISE("Local end value overflow!");
        return eResult(eFile_InvalidParameter);
    }
    if (b < a) {
        BIG_FILE_RAISE("Size value overflow!");
        return eResult(eFile_InvalidParameter);
    }
    const uint64_t ga = std::min(std::max(a, base) - base + segStart, segEnd);
    const uint64_t gb = std::min(std::max(b, base) - base + segStart, segEnd);

    out->o_Start = BIG_POS(BIG_ull_AlignDown(ga, 3));
    out->o_End = BIG_POS(BIG_ull_AlignUp(gb, 3));
    out->ull_LocalSize = b - a;
    out->ull_GlobalSize = gb - ga;
    out->b_AtSegmentStart = ga == segStart;
    out->ull_LocalStart = a;
    out->ull_LocalEnd = b;
    out->h_AsyncFile = s.h_AsyncFile;
    return eResult(eFile_Ok);
}

bool File::bIsValidRange(uint64_t start, uint64_t end) {
    if (!bIsOpen()) {
        BIG_FILE_RAISE(kNotOpened);
        return false;
    }
    const int index = iFindSegment(start);
    return index >= 0 && start <= end && end <= m_aSegments[index].o_End.ull_GetByteOffset();
}

BIG_POS File::oGetFileContentStart() {
    if (!bIsOpen()) {
        BIG_FILE_RAISE(kNotOpened);
        return BIG_POS::None();
    }
    return m_aSegments.front().o_Start;
}

BIG_POS File::oGetFileContentEnd() {
    if (!bIsOpen()) {
        BIG_FILE_RAISE(kNotOpened);
        return BIG_POS::None();
    }
    return m_aSegments.back().o_End;
}

}  // namespace BIG
