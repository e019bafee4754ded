// The segmented container: one address space over one or more segment files.
//
// A bigfile may be stored as several segment files (world.bf, world.big1,
// world.big2, ...). Each starts with a 48-byte header (BIG_SegmentHeader.h)
// and holds the content of the global byte range [start, end) from its local
// byte offset `base` on. The ranges are contiguous from 0. A read or a write
// never spans two segment files; appends go to the last segment, and a new
// segment file is started when the last one would pass the maximum segment size.
//
// Every operation that reports an error code also records it as the last error
// (ul_GetLastError); refusals are raised through the assertion facility with
// the category "AssertEx", and open failures are shown through ShowMessage.
//
// Thread safety: none of its own. The bigfile table serialises synchronous use
// under its lock; the asynchronous handles are driven only by the asynchronous
// reader, which takes its parameters from eGetReadParams/eAlignOffsets.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "BIGfile/BIG_Pos.h"
#include "BIGfile/BIG_SegmentHeader.h"
#include "BIGfile/BIG_WriteBackCache.h"
#include "platform/File.h"

namespace PLT::Tarn {
class RemoteFile;
}

namespace BIG {

// Error codes of the container.
enum FileError : uint32_t {
    eFile_Ok = 0,
    eFile_AlreadyOpen = 1,
    eFile_NotOpen = 2,
    eFile_BadSegmentHeader = 3,
    eFile_CannotOpen = 4,  // also: no segment holds the offset, or the last segment cannot be removed
    eFile_ReadFailed = 6,
    eFile_WriteFailed = 7,
    eFile_FlushFailed = 8,
    eFile_SetEndFailed = 10,
    eFile_DeleteFailed = 11,
    eFile_InvalidParameter = 12,  // including alignment and overflow errors
    eFile_NotSupported = 13,
};

// Where one transfer lands: which segment file, at which local offset, how many bytes.
struct FileIOParams {
    PLT::FileHandle h_File = PLT::kInvalidFile;
    PLT::FileHandle h_AsyncFile = PLT::kInvalidFile;
    uint32_t ul_LocalOffset = 0;
    uint32_t ul_Count = 0;
    uint16_t uw_Segment = 0;
};

// A read range widened for the asynchronous reader (eAlignOffsets).
struct FileAlignedRange {
    BIG_POS o_Start;                // aligned global start
    BIG_POS o_End;                  // aligned global end, at most the segment's end
    uint64_t ull_LocalSize = 0;     // local end - local start
    uint64_t ull_GlobalSize = 0;    // global end - global start
    bool b_AtSegmentStart = false;  // the global start is the segment's start
    uint64_t ull_LocalStart = 0;
    uint64_t ull_LocalEnd = 0;
    PLT::FileHandle h_AsyncFile = PLT::kInvalidFile;
};

class File {
public:
    static constexpr uint32_t kDefaultGranularity = 65536;
    static constexpr uint64_t kSmallContentBase = 2048;
    static constexpr uint64_t kLargeContentBase = 65536;
    // Appended writes are padded with zero bytes up to this local boundary.
    static constexpr uint64_t kWriteBoundary = 2048;
    // A segment file holding `smallFileLimit` bytes or fewer is refused unless
    // small files are accepted.
    static constexpr uint64_t kSmallFileLimit = 256;
    static constexpr unsigned kMaxSegments = 255;

    struct FileSegment {
        PLT::FileHandle h_File = PLT::kInvalidFile;
        PLT::FileHandle h_AsyncFile = PLT::kInvalidFile;
        BIG_POS o_ContentBase;
        BIG_POS o_Start;
        BIG_POS o_End;
    };

    File();
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    // Destroying an open container raises "Close file before destroying!" and
    // then closes it, so no handle leaks.
    virtual ~File();

    // Opens an existing bigfile and every segment file that its first header
    // names, and checks that they belong together. Failure leaves it closed.
    virtual uint32_t eOpen(const std::string& path, bool readOnly, bool acceptSmallFile, bool asynchronous);
    // Creates (or truncates) the first segment file at `path`.
    virtual uint32_t eCreate(const std::string& path, bool asynchronous, uint32_t maxSegmentSize,
                             bool smallHeader);
    virtual uint32_t eClose();
    // Reads `count` bytes at global byte offset position × 8 + extra. The bytes
    // must lie in one segment.
    virtual uint32_t eRead(BIG_POS position, void* buffer, uint32_t count, uint64_t extra = 0);
    // Writes `count` bytes at position × 8 + extra, extending the last segment
    // or starting new ones as needed.
    virtual uint32_t eWrite(BIG_POS position, const void* buffer, uint32_t count, uint64_t extra = 0);
    virtual uint32_t eFlush();
    // What eFlush does short of waiting for the disk: every byte a private
    // output holds reaches its files, whose data a later PLT::Flush of each
    // (on any descriptor) makes durable. Same outcomes as eFlush.
    uint32_t eWriteOut();
    // Not supported here (13); BIG::FileEd truncates.
    virtual uint32_t eSetEndOfFile(BIG_POS position);
    virtual uint32_t eWriteFileHeader(uint16_t segment);
    virtual uint32_t eAddSegment(bool smallHeader);
    virtual void ShowMessage(const std::string& text, const std::string& title);
    // Drops the last segment and deletes its file.
    virtual uint32_t eRemoveSegment();

    uint32_t eGetReadParams(FileIOParams* out, BIG_POS position, uint32_t count, uint64_t extra = 0);
    uint32_t eGetWriteParams(FileIOParams* out, BIG_POS position, uint32_t count, uint64_t extra = 0);
    uint32_t eAlignOffsets(FileAlignedRange* out, uint64_t start, uint64_t end, bool extendForward,
                           uint32_t factor);
    bool bIsValidRange(uint64_t start, uint64_t end);

    uint32_t eReadFileHeader(PLT::FileHandle file, FileSegment* out, bool first);
    uint32_t eInterpretFileHeader(const uint8_t* header, size_t size, FileSegment* out, bool first);
    uint32_t ePrepareHeaderForWriting(BIG_st_SegmentHeader* out, uint16_t segment);

    BIG_POS oGetFileContentStart();
    BIG_POS oGetFileContentEnd();

    // Name of segment file k (k >= 1) of the bigfile at `path`: everything from
    // the last "." of the file name on is replaced by ".big<k>" (world.bf gives
    // world.big1). A file name without "." gets ".big<k>" appended whole.
    // Both "/" and "\\" end a folder name (remote paths use the latter).
    static std::string SegmentFileName(const std::string& path, unsigned index);

    // Private output: for a bigfile that nobody opens before it is flushed,
    // closed and moved into place. Call before eCreate; holds until eClose.
    // Writes (headers included) are held in a write-back cache and reach the
    // files in large writes, every held byte by eFlush; reads see them. A
    // write error may surface at a later write or at eFlush, and eClose
    // without eFlush drops what is held: the files are then incomplete.
    void EnablePrivateOutput(size_t cachePages = WriteBackCache::kDefaultPages) {
        m_pCache = std::make_unique<WriteBackCache>(cachePages);
    }
    bool bIsPrivateOutput() const { return m_pCache != nullptr; }

    bool bIsOpen() const { return !m_aSegments.empty(); }
    uint16_t uw_GetSegmentCount() const { return static_cast<uint16_t>(m_aSegments.size()); }
    const FileSegment& GetSegment(uint16_t index) const { return m_aSegments.at(index); }
    uint32_t ul_GetLastError() const { return m_ulLastError; }
    // What the last failed open showed through ShowMessage (empty when it
    // showed nothing), for callers that report the failure in their own words.
    const std::string& GetOpenProblem() const { return m_sOpenProblem; }
    const std::string& GetPath() const { return m_sPath; }
    bool bIsReadOnly() const { return m_bReadOnly; }
    bool bIsAsynchronous() const { return m_bAsynchronous; }
    uint64_t ull_GetSetStamp() const { return m_ullSetStamp; }
    // A stamp of the caller's choosing instead of the counter's, for outputs
    // that must come out byte-identical on a re-run: every segment header is
    // rewritten with `stamp` now, and every later refresh keeps it, until
    // eClose or the next eCreate. Call it once the contents are final.
    uint32_t eFixSetStamp(uint64_t stamp);
    bool bIsSetStampFixed() const { return m_bSetStampFixed; }
    uint32_t ul_GetMaxSegmentSize() const { return m_ulMaxSegmentSize; }

    uint8_t uc_GetAlignmentShift() const { return m_ucAlignmentShift; }
    void SetAlignmentShift(uint8_t shift) { m_ucAlignmentShift = shift; }
    uint32_t ul_GetReadGranularity() const { return m_ulReadGranularity; }
    void SetReadGranularity(uint32_t bytes) { m_ulReadGranularity = bytes; }
    uint32_t ul_GetMergeThreshold() const { return m_ulMergeThreshold; }
    void SetMergeThreshold(uint32_t bytes) { m_ulMergeThreshold = bytes; }

protected:
    // Records and returns `error`.
    uint32_t eResult(uint32_t error) {
        m_ulLastError = error;
        return error;
    }
    // New set stamp (unless fixed), then every header in index order; stops
    // at the first error.
    uint32_t eRefreshHeaders();
    // Checks shared by eRead/eWrite: open, buffer, alignment.
    uint32_t eCheckTransfer(BIG_POS position, const void* buffer);
    bool bIsAligned(BIG_POS position) const;
    // Shows an open failure with the open title and keeps its text.
    void ShowOpenProblem(const std::string& text);
    // Validation of a freshly opened set (contiguity, count, and every claimed
    // range present in its segment file); shows the messages.
    uint32_t eValidateSegments();
    // Whether the file of segment `index` holds its bytes up to local offset
    // `localEnd`; `*size` gets the file's size when it can be known (else 0).
    // A header is only a claim: nothing may be sized from it unchecked.
    virtual bool bSegmentFileHolds(uint16_t index, uint64_t localEnd, uint64_t* size);
    // Local byte offset of global byte offset g in segment `s`, or false on overflow.
    static bool bLocalOffset(const FileSegment& s, uint64_t g, uint64_t* local);
    // Index of the segment holding global byte g, or -1.
    int iFindSegment(uint64_t g) const;
    // Closes both handles of a segment.
    static void CloseSegment(FileSegment* segment);
    // Opens the files of one segment the way eOpen does; false on failure
    // (the message has been shown, nothing is left open).
    bool bOpenSegmentFiles(const std::string& name, FileSegment* segment, uint32_t* error);
    // Encodes segment `index`'s header.
    uint32_t eEncodeHeader(uint16_t index, uint8_t (&bytes)[BIG_st_SegmentHeader::kEncodedSize]);
    // Content base, start and end of the next segment; refuses a 256th segment.
    uint32_t eNewSegmentLayout(bool smallHeader, FileSegment* out);
    // After a failed data write: the last segment's end goes back to what it
    // held before eGetWriteParams extended it (or to its start when the
    // segment was added for this write), and the headers are rewritten.
    void RollBackExtension(size_t segmentsBefore, BIG_POS endBefore);
    // Rolls back a segment that eAddSegment appended but could not register.
    void UndoAddSegment(const std::string& name);

    // Positioned transfers of segment files, through the cache of a private output.
    bool bWriteLocal(uint16_t segment, PLT::FileHandle file, uint64_t offset, const void* data,
                     uint32_t count);
    bool bReadLocal(uint16_t segment, PLT::FileHandle file, uint64_t offset, void* data, uint32_t count);

    std::vector<FileSegment> m_aSegments;
    std::unique_ptr<WriteBackCache> m_pCache;
    uint64_t m_ullSetStamp = 0;
    uint32_t m_ulReserved = 0;
    uint32_t m_ulMaxSegmentSize = 0;
    uint8_t m_ucHeaderSegmentCount = 0;
    uint8_t m_ucAlignmentShift = 3;
    bool m_bReadOnly = false;
    bool m_bAsynchronous = false;
    bool m_bSetStampFixed = false;
    uint32_t m_ulReadGranularity = kDefaultGranularity;
    uint32_t m_ulMergeThreshold = kDefaultGranularity;
    uint32_t m_ulLastError = eFile_Ok;
    std::string m_sPath;
    std::string m_sOpenProblem;
};

// The container owned by the bigfile table: adds truncation and segment files
// on a remote target (location 2) reached through the Tarn layer.
class FileEd : public File {
public:
    static constexpr uint32_t kLocationRemote = 2;

    FileEd();
    ~FileEd() override;

    uint32_t eOpen(const std::string& path, bool readOnly, bool acceptSmallFile, bool asynchronous) override;
    uint32_t eOpen(const std::string& path, bool readOnly, bool acceptSmallFile, bool asynchronous,
                   uint32_t location);
    uint32_t eClose() override;
    uint32_t eRead(BIG_POS position, void* buffer, uint32_t count, uint64_t extra = 0) override;
    uint32_t eWrite(BIG_POS position, const void* buffer, uint32_t count, uint64_t extra = 0) override;
    uint32_t eFlush() override;
    uint32_t eSetEndOfFile(BIG_POS position) override;
    uint32_t eWriteFileHeader(uint16_t segment) override;
    uint32_t eAddSegment(bool smallHeader) override;
    // A message box with the error icon.
    void ShowMessage(const std::string& text, const std::string& title) override;
    uint32_t eRemoveSegment() override;

    // Reads and interprets the header of a segment file on a remote target.
    uint32_t eReadTarnFileHeader(PLT::Tarn::RemoteFile* file, FileSegment* out, bool first);

    uint32_t ul_GetLocation() const { return m_ulLocation; }
    // True while a bigfile on a remote target is open.
    bool bIsRemote() const { return m_pRemote != nullptr; }

private:
    struct Remote;  // Tarn neighbourhood, target name, remote path and per-segment files

    bool bSegmentFileHolds(uint16_t index, uint64_t localEnd, uint64_t* size) override;
    uint32_t eOpenRemote(const std::string& path, bool acceptSmallFile);
    uint32_t eOpenRemoteSegment(const std::string& remotePath, bool first, bool acceptSmallFile);
    void ReleaseRemote();

    uint32_t m_ulLocation = 0;
    std::unique_ptr<Remote> m_pRemote;
};

}  // namespace BIG
