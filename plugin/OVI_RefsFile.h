// The reference cache "refs.bin": the reference tables of a bigfile's files,
// written by a full scan so that the next run can map the graph without
// reading the bigfile.
//
// Layout (every integer a little-endian u32):
//
//   | part    | field         | meaning                                            |
//   |---------|---------------|----------------------------------------------------|
//   | header  | count         | file entries the writing scan visited; the records |
//   |         |               | that follow can be fewer                           |
//   | record  | index         | the file's FAT index                               |
//   |         | key           |                                                    |
//   |         | size          | the size word in front of the file's data          |
//   |         | type          | file-type code                                     |
//   |         | name length L | at most 1023                                       |
//   |         | name          | L bytes, no terminator                             |
//   |         | ref count m   |                                                    |
//   |         | keys          | m u32 referenced keys                              |
//
// The use count is not stored; a record read back has use count 0.
//
// Writing goes to "<path>.tmp", renamed over <path> only once every byte is
// written and flushed, so a failed scan never leaves a cut cache that looks
// whole. Reading checks every length against the bytes left in the file
// before it allocates, and stops at the first malformed record; the records
// before it stay valid. A cache is read through twice (checked, then mapped,
// after Rewind): a file of up to wholeFileMax bytes is read whole, with one
// read, and both passes take it from memory; a larger one is read in chunks
// of one buffer, reused, so that its size never sizes an allocation.
//
// Not thread-safe; one object per file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/File.h"
#include "plugin/OVI_FileRefRecord.h"

namespace ORVEX {

struct OVI_RefsFileFormat {
    static constexpr uint32_t kMaxNameLength = 1023;
    static constexpr size_t kHeaderSize = 4;
    // index, key, size, type, name length.
    static constexpr size_t kRecordHeadSize = 20;
    static constexpr size_t kOffIndex = 0;
    static constexpr size_t kOffKey = 4;
    static constexpr size_t kOffSize = 8;
    static constexpr size_t kOffType = 12;
    static constexpr size_t kOffNameLength = 16;
    static constexpr const char* kDefaultName = "refs.bin";
    // The largest file the reader reads whole; a larger one goes in chunks.
    static constexpr uint64_t kWholeFileMax = uint64_t{256} << 20;
    static constexpr const char* kTempSuffix = ".tmp";
};

// Appends one encoded record to `out`. False (nothing appended) when the name
// is longer than kMaxNameLength.
bool OVI_bEncodeRefsRecord(const FileRefRecord& record, const uint32_t* keys, std::vector<uint8_t>* out);

class OVI_RefsFileWriter {
public:
    OVI_RefsFileWriter() = default;
    // An uncommitted file is abandoned: its temporary file is removed.
    ~OVI_RefsFileWriter();
    OVI_RefsFileWriter(const OVI_RefsFileWriter&) = delete;
    OVI_RefsFileWriter& operator=(const OVI_RefsFileWriter&) = delete;

    // Creates "<path>.tmp" and writes the header. False, with the reason in
    // Error(), when it cannot be created.
    bool bCreate(const std::string& path, uint32_t count);
    bool bIsOpen() const { return mh_File != PLT::kInvalidFile; }
    // False once any write failed (the file is then abandoned at commit).
    bool bAppend(const FileRefRecord& record, const uint32_t* keys);
    // Writes what is buffered, flushes, closes and renames the file over the
    // path. False (the old file at the path kept) on any failure.
    bool bCommit();
    // Closes and removes the temporary file.
    void Abandon();
    const std::string& Error() const { return ms_Error; }
    uint32_t ul_RecordCount() const { return mul_Records; }

private:
    static constexpr size_t kFlushSize = 1 << 20;
    bool bFlushBuffer();
    void Fail(const std::string& what);

    PLT::FileHandle mh_File = PLT::kInvalidFile;
    std::string ms_Path;
    std::string ms_TempPath;
    std::vector<uint8_t> m_buffer;
    uint64_t mull_Written = 0;
    uint32_t mul_Records = 0;
    bool mb_Failed = false;
    std::string ms_Error;
};

class OVI_RefsFileReader {
public:
    enum class Next {
        eRecord,  // a record was read
        eEnd,     // the file ends cleanly after the previous record
        eError,   // malformed or unreadable record; see Error()
    };

    explicit OVI_RefsFileReader(uint64_t wholeFileMax = OVI_RefsFileFormat::kWholeFileMax)
        : mull_WholeFileMax(wholeFileMax) {}
    ~OVI_RefsFileReader();
    OVI_RefsFileReader(const OVI_RefsFileReader&) = delete;
    OVI_RefsFileReader& operator=(const OVI_RefsFileReader&) = delete;

    // Opens the file and reads its count. False, with the reason in Error(),
    // when it cannot be opened or is shorter than its header.
    bool bOpen(const std::string& path);
    // Goes back to the first record, for another pass over the file.
    void Rewind();
    uint32_t ul_Count() const { return mul_Count; }
    // Reads the next record; its keys go to `keys` (not null; grown by its
    // rule), the use count is 0.
    Next eNext(FileRefRecord* record, OVI_RefBuffer* keys);
    // Checks the next record as eNext does, with the same errors, and steps
    // over its name and keys without reading them: `record` gets the index,
    // key, size, type and reference count, an empty name.
    Next eSkip(FileRefRecord* record);
    const std::string& Error() const { return ms_Error; }
    void Close();

private:
    static constexpr size_t kChunkSize = 1 << 16;
    // eNext, or eSkip when `keys` is null.
    Next eRead(FileRefRecord* record, OVI_RefBuffer* keys);
    // Copies the next `count` bytes of the file to `out`; false at its end.
    bool bTake(void* out, size_t count);
    // Steps over the next `count` bytes; false (nothing consumed) past the end.
    bool bSkip(uint64_t count);
    uint64_t ull_Left() const { return mull_FileSize - mull_Consumed; }

    const uint64_t mull_WholeFileMax;
    PLT::FileHandle mh_File = PLT::kInvalidFile;
    uint64_t mull_FileSize = 0;
    uint64_t mull_Consumed = 0;  // bytes handed out so far
    uint64_t mull_ChunkAt = 0;   // file offset of m_chunk[0]
    std::vector<uint8_t> m_chunk;
    size_t m_chunkUsed = 0;
    uint32_t mul_Count = 0;
    uint32_t mul_Read = 0;
    std::string ms_Error;
};

}  // namespace ORVEX
