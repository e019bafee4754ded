// The bigfile table (FAT): the header, the file table and the directory table
// of one bigfile, held in memory over its segmented container.
//
// Layout of a bigfile in the container's address space (H = content start,
// every step rounded up to the container's alignment 2^s, s >= 3):
//   header (128 bytes, BIG_FatHeader.h) at H
//   file table at F = H + 128: FileCount entries of 96 bytes (BIG_FileEntry.h),
//     or of 10 bytes in a reduced FAT (BIG_ReducedFileEntry.h)
//   directory table at D = F + FileCount × 96: DirCount entries of 64 bytes
//     (BIG_DirEntry.h); the 96-byte stride holds even for a reduced FAT
//   data area from S = D + DirCount × 64. A file's content lies at S + its
//     position: a u32 length L, then L bytes (from format 40 on they begin
//     with the reference table: a u32 count n and n u32 keys).
//
// Read side (BIG_FatRead.cpp, BIG_FatContent.cpp, BIG_FatLoad.cpp,
// BIG_FatNames.cpp): reading and checking the tables, key lookup through the
// key index, positions, sizes and contents, loose "*.key" overrides, names and
// paths. Write side (BIG_FatEdit.cpp, BIG_FatSave.cpp, BIG_FatGrow.cpp,
// BIG_FatHeaderWrite.cpp, BIG_Keys.cpp): creating a bigfile, files and
// directories, keys, storing contents, growing and compacting the tables, the
// header and version-information writer, change observers.
//
// Errors: the write side carries every outcome as a BIG::Status. The
// specified operations keep their signatures, answer with a failure value
// (0xFFFFFFFF for files, 0xFFFF for directories, false, nothing stored) and
// raise a container write failure in one place (Raise: "Write error. Maybe
// the disk is full"); their outcome stays readable as LastEditStatus(). An
// edit that fails leaves the bigfile on disk and the table in memory as they
// were before it. Counts, links and positions read from a bigfile are checked
// before they are used: a corrupt bigfile gives an error, never a crash.
//
// Threads: every access to the container is made under the table's lock (a
// re-entrant critical section), so the asynchronous reader and the indexation
// thread may read contents concurrently; ul_ReadQuietly alone reads without
// it, from a container whose segments do not change. The entries and indexes are read
// without the lock; edits are expected from one editing thread, and growth
// pauses the indexation thread (BIG_Init.h) while the tables move.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

#include "BIGfile/BIG_DirEntry.h"
#include "BIGfile/BIG_File.h"
#include "BIGfile/BIG_FileEntry.h"
#include "BIGfile/BIG_HashTable.h"
#include "BIGfile/BIG_KeyHolder.h"
#include "BIGfile/BIG_Pos.h"
#include "BIGfile/BIG_Status.h"
#include "platform/Memory.h"
#include "platform/Thread.h"

namespace BIG {
class FBuff;
}

// Save-mode bookkeeping: the state of a file before its first save in modes 1 and 2.
struct BIG_st_FileCRC {
    uint32_t ul_FileIndex = 0;
    uint32_t ul_OldChecksum = 0;
    uint32_t ul_OldState = 0;
    uint32_t ul_Pending = 0;  // 1 when recorded
};

// A growable byte block that only grows. Shared so that a view handed out over
// it (LoadFile) keeps it alive after the table has moved on to a larger block.
struct BIG_st_ByteBlock {
    std::unique_ptr<uint8_t[]> p_Data;
    uint32_t ul_Capacity = 0;
};

class BIG_cl_Fat;

// Where a file's stored content lies, for readers that fetch its head and
// keys themselves (BIG_ContentHead.h): resolved through the package list and
// the copy list by the table (BIG_cl_Fat::bGetContentPlace).
struct BIG_st_ContentPlace {
    BIG_cl_Fat* po_Fat = nullptr;  // the table whose container holds the bytes
    uint32_t ul_Index = 0;         // the file's index in that table
    uint32_t ul_Bigfile = 0;       // the asynchronous I/O manager's number: main bigfile or package
    BIG_POS o_Head;                // the length word
    uint64_t ull_Available = 0;    // container bytes from the length word to the content end
    // The first referenced key, BIG_st_ContentHead::kOffKeys bytes after the length word.
    BIG_POS oKeys() const { return BIG_POS::FromValue(o_Head.ul_GetValue() + 1); }
};

// A used file entry picked by BIG_cl_Fat::bListFilesOfType.
struct BIG_st_ListedFile {
    uint32_t ul_Index = 0;
    uint32_t ul_Key = 0;
    std::string s_Name;  // as GetFileName gives it: name, ".", extension
};

// Change observers (warn callbacks): user data, directory, file, key, event.
using BIG_tdpfn_WarnCallback = void (*)(void* user, uint16_t dir, uint32_t file, uint32_t key,
                                        uint32_t event);

class BIG_cl_Fat {
public:
    static constexpr uint16_t kFormatNb = 135;
    static constexpr uint32_t kNoFile = 0xFFFFFFFF;
    static constexpr uint16_t kNoDir = 0xFFFF;
    static constexpr uint32_t kNoKey = 0xFFFFFFFF;
    static constexpr uint16_t kRootDir = 0;
    static constexpr uint32_t kHeaderSize = 128;
    static constexpr uint32_t kFileEntrySize = 96;
    static constexpr uint32_t kDirEntrySize = 64;
    // The file table is read in one piece up to this many entries, then in chunks of this size.
    static constexpr uint32_t kFileReadChunk = 32768;
    static constexpr uint32_t kLoadBufferSize = 32768;
    static constexpr uint32_t kSaveBufferSize = 32768;
    static constexpr uint32_t kRefBufferSize = 1048576;
    static constexpr uint32_t kFileGrowStep = 0x20000;
    static constexpr const char* kTempDirName = "Temp";
    static constexpr const char* kDefaultDataRoot = "/Data/";

    // Change marks (top byte of the state word).
    static constexpr uint32_t kMarkCreated = 0x04000000;
    static constexpr uint32_t kMarkChecked = 0x08000000;
    static constexpr uint32_t kMarkChanged = 0x10000000;
    static constexpr uint32_t kMarkLocal = 0x20000000;

    // Warn-callback events.
    static constexpr uint32_t kEventDirCreated = 0;
    static constexpr uint32_t kEventFileCreated = 3;
    static constexpr uint32_t kEventFileSaved = 4;
    static constexpr uint32_t kEventFileDeleted = 5;
    static constexpr int kWarnSlots = 128;

    // An empty table owning a closed container; load buffer allocated.
    BIG_cl_Fat();
    BIG_cl_Fat(const BIG_cl_Fat&) = delete;
    BIG_cl_Fat& operator=(const BIG_cl_Fat&) = delete;
    virtual ~BIG_cl_Fat();

    // ---- store operations (virtual, in this slot order) -------------------------
    // Stores a header part followed by a data part as one content (format 40 or above).
    virtual void SaveFileTwoParts(uint32_t index, const void* data, uint32_t dataSize, const void* header,
                                  uint32_t headerSize);
    // Stores the content built in the save buffer, preceded by its reference table.
    virtual void SaveBufferInFile(uint32_t index);
    // Stores a whole content. Nothing is written when the content is unchanged.
    virtual void SaveFile(uint32_t index, const void* buffer, uint32_t size);
    // Stores a link file: the count 4 and the four values.
    virtual void SaveLinkFile(uint32_t index, uint32_t v0, uint32_t v1, uint32_t v2, uint32_t v3);
    // SaveFile of a content whose stored form the caller holds: `stored` is
    // the length word (`size`) followed by the `size` bytes, and `crc` is
    // BIG_ul_Crc32 of those bytes. A copier that reads whole stored contents
    // saves the staging copy and the checksum pass of SaveFile.
    void SaveStoredFile(uint32_t index, const uint8_t* stored, uint32_t size, uint32_t crc);

    // ---- container --------------------------------------------------------------
    BIG::FileEd& File() { return *m_pFile; }
    const BIG::FileEd& File() const { return *m_pFile; }

    // ---- read side ----------------------------------------------------------------
    // Reads the header and both tables of the open container and builds the
    // indexes. False (after the report) when the bigfile is unreadable or
    // corrupt; the table is then left empty or as far as it was read.
    bool ReadFat(bool clearData);
    // Reads and applies the header of `container` (null: the table's own).
    // `outReduced` receives the header's ReducedFat byte. False when it cannot
    // be read or its counts do not fit the container (nothing applied), or when
    // its alignment shift is unusable (applied with the previous alignment).
    bool ReadFatHeader(uint8_t* outReduced = nullptr, BIG::File* container = nullptr);
    // For a caller that only wants a few entries and then closes the bigfile:
    // reads the header and both tables of the open, read-only container with
    // every check, report and warning of ReadFat, in the same order, but keeps
    // no file table, index or loose-file list. `*out` receives the used
    // entries (non-zero key) of type `type`, in index order. The tables are
    // left empty whatever the outcome; the header fields stay applied. False
    // exactly when ReadFat would be, and for a writable container.
    bool bListFilesOfType(uint8_t type, std::vector<BIG_st_ListedFile>* out);

    uint32_t ul_GetFileIndex(uint32_t key, bool reportMissing = true) const;
    // The file whose data-in-memory handle is `handle`, or kNoFile.
    uint32_t ul_GetFileIndexFromData(uint32_t handle) const;
    uint32_t ul_GetFileKey(uint32_t index) const;
    // The entry's in-memory position (8-byte units from S), through the
    // duplicated-files table for a copy-list entry; 0xFFFFFFFF when none.
    uint32_t ul_GetFilePosition(uint32_t index) const;
    bool bIsFilePositionValid(uint32_t index) const;
    // Position of the stored content (its length prefix); none after a report.
    BIG_POS oGetFileOffset(uint32_t index) const;
    // Where the stored content of file `index` lies (BIG_st_ContentPlace).
    // False, without a report, for a loose key file, a package entry whose
    // package or file is missing, and a file without valid data.
    bool bGetContentPlace(uint32_t index, BIG_st_ContentPlace* out) const;
    uint32_t ul_GetFileSize(uint32_t index);
    // Reads `count` bytes of the content from `offset` on. False on failure.
    bool ReadFileContent(uint32_t index, void* buffer, uint32_t offset, uint32_t count);
    // Loads the whole content into the load buffer and hands out one reference
    // of a view over it (release it). `*out` is released first; none on failure.
    // The view stays valid after later loads.
    void LoadFile(uint32_t index, BIG::FBuff** out);
    // Loads the whole content into `block`, growing it when needed. False when
    // the file has no valid content or is empty.
    bool LoadFileInBuffer(uint32_t index, BIG_st_ByteBlock* block, uint32_t* length);
    // The four values of a link file; 0xFFFFFFFF each when it is not one.
    void GetLinkFileKeys(uint32_t index, uint32_t (&out)[4]);
    // Reads up to `capacity` bytes at `pos` of the table's own container,
    // under the table's lock, never past the end of the segment file that
    // holds `pos`: for readers that take the heads of several contents in one
    // read. Returns the bytes read, 0 on a failed read.
    uint32_t ul_ReadInSegment(BIG_POS pos, void* buffer, uint32_t capacity);
    // For a reader on another thread (the split's read-ahead): reads up to
    // `count` bytes at byte pos × 8 + extra of the table's own container,
    // never past the end of the segment file that holds the first byte,
    // without the table's lock: the container must stay open and its segment
    // list unchanged meanwhile (a bigfile opened to read, which nothing
    // edits). It raises nothing and changes nothing that the table's thread
    // sees (the container's last error included). Returns the bytes read: 0
    // for an offset that eRead would refuse, a container that is not read
    // from local files directly (remote, private output) or a failed read.
    uint32_t ul_ReadQuietly(BIG_POS pos, uint64_t extra, void* buffer, uint32_t count) const;
    // What LoadFile records of a whole load (the key holder's record), for a
    // content of `length` bytes that the caller read with ul_ReadQuietly
    // instead; the load buffer stays as it was.
    void NoteWholeLoad(uint32_t index, uint32_t length);
    // Attaches the handle of a loaded object (BIG_DataHandles.h) to the entry; 0 detaches.
    void SetDataInMemory(uint32_t index, uint32_t handle);
    uint32_t ul_GetDataInMemory(uint32_t index) const;
    uint32_t ul_GetDataAttachCount() const { return mul_DataAttachCount; }
    // "%08X.key" of the entry's key, cut to size - 1 characters.
    void GetKeyFileName(uint32_t index, char* out, size_t size) const;

    // ---- names, paths, counts (BIG_FatNames.cpp) -------------------------------
    // First subdirectory of `parent` named `name` (case-insensitive), or kNoDir.
    uint16_t FindSubDir(const char* name, uint16_t parent) const;
    uint32_t ul_CountUsedFiles() const;
    uint16_t uw_CountUsedDirs() const;
    // Name, ".", extension of the type (type 0: a bare ".").
    std::string GetFileName(uint32_t index) const;
    // Root name, then each component, "/" between them ("/", "//levels").
    // Empty after a report when the parent chain is broken.
    std::string GetDirPath(uint16_t dir) const;
    // The directory's path, "/", the file name.
    std::string GetFilePath(uint32_t index) const;
    uint32_t ul_CountFilesInSubtree(uint16_t dir) const;
    // Files of a directory before those of its subdirectories.
    void ListFilesInSubtree(uint16_t dir, std::vector<uint32_t>* out) const;
    // Splits "name.ext": the name (cut to 59 characters, `nameOut` at least 60
    // bytes) and the extension after the last "." (cut to 3, `extOut` 4 bytes).
    static void SplitFileName(char* nameOut, char* extOut, const char* fullName);
    // The type byte of an extension (case-insensitive); 0 when unknown.
    static uint8_t CompressFileType(const char* extension);

    // ---- state ----------------------------------------------------------------------
    uint32_t ul_GetFileCount() const { return mul_FileCount; }
    uint16_t uw_GetDirCount() const { return muw_DirCount; }
    const BIG_st_FileEntry& FileEntry(uint32_t index) const { return mast_File[index]; }
    const BIG_st_DirEntry& DirEntry(uint16_t index) const { return mast_Dir[index]; }
    // Editable entry (null outside the table); write it back with WriteFileEntry.
    BIG_st_FileEntry* pst_GetFileEntry(uint32_t index);
    BIG_st_DirEntry* pst_GetDirEntry(uint16_t index);
    BIG_POS oGetFatPos() const { return mo_FatPos; }
    BIG_POS oGetDirPos() const { return mo_DirPos; }
    BIG_POS oGetDataPos() const { return mo_DataPos; }
    uint16_t uw_GetFormatNb() const { return muw_FormatNb; }
    uint16_t uw_GetTempDirIndex() const { return muw_TempDirIndex; }
    uint8_t uc_GetHeaderFlags() const { return muc_HeaderFlags; }
    uint32_t ul_GetPackageWord() const { return mul_PackageWord; }
    uint8_t uc_GetHeaderByte() const { return muc_HeaderByte; }
    const std::string& GetDataRoot() const { return ms_DataRoot; }
    const std::string& GetLabel() const { return ms_Label; }
    const std::string& GetClientName() const { return ms_ClientName; }
    uint32_t ul_GetLastSubmittedCL() const { return mul_LastSubmittedCL; }
    uint32_t ul_GetSyncedCL() const { return mul_SyncedCL; }
    uint32_t ul_GetReferenceCL() const { return mul_ReferenceCL; }
    void SetVersionInfo(uint32_t lastSubmittedCL, uint32_t syncedCL, uint32_t referenceCL,
                        const std::string& clientName, const std::string& label);
    // Header fields carried through by tools that rebuild a bigfile; written by
    // the next WriteFatHeader. The data root keeps at most 39 characters.
    void SetDataRoot(const std::string& dataRoot) { ms_DataRoot = dataRoot.substr(0, 39); }
    void SetHeaderFlags(uint8_t flags) { muc_HeaderFlags = flags; }
    bool bIsReducedFat() const { return mb_Reduced; }
    bool bHasWritten() const { return mb_Written; }
    BIG_cl_KeyHolder& KeyHolder() { return m_keyHolder; }
    PLT::CriticalSection& Lock() { return m_lock; }
    // Outcome of the last editing operation (Create, ul_CreateFile, uw_CreateDir,
    // bDeleteFile, SaveFile and the store operations built on it, the entry and
    // header writers, growth, Clean). Ok when it succeeded.
    const BIG::Status& LastEditStatus() const { return m_lastEdit; }

    // ---- write side -----------------------------------------------------------------
    // Lays out an empty bigfile in the open, writable container: root "/",
    // "Temp", header, tables. False when a write failed (after the report).
    bool Create(uint32_t fileCount, uint16_t dirCount, uint32_t packageWord, uint8_t headerByte);
    // New file in `dir`; time 0: now; key 0 or 0xFFFFFFFF: a new key. kNoFile on failure.
    uint32_t ul_CreateFile(const char* name, uint32_t time, uint16_t dir, uint32_t key);
    // New directory appended to `parent`'s subdirectories. kNoDir on failure.
    uint16_t uw_CreateDir(const char* name, uint16_t parent);
    // "/a/b/c" relative to the root: each missing component is created.
    uint16_t uw_CreateDirPath(const char* path);
    // Frees a file: unlinks it from its directory and writes it with key 0.
    bool bDeleteFile(uint32_t index);

    // Keys: the user's next key lives in the per-user settings store.
    static void ReadUserId();
    static uint32_t ul_GetNewKey();
    static uint32_t ul_GetCurrentKey();
    static uint16_t uw_GetUserId();
    // Forgets the key read by ReadUserId (tests, user change).
    static void ResetUserKey();

    // Save buffer: the caller builds a content here (and its reference list),
    // then calls SaveBufferInFile.
    void PrepareSaveBuffer(uint32_t size);
    uint8_t* pu8_GetSaveBuffer() { return m_saveBuffer.data(); }
    uint32_t ul_GetSaveBufferCapacity() const { return static_cast<uint32_t>(m_saveBuffer.size()); }
    void SetSaveBufferUsed(uint32_t used) { mul_SaveUsed = used; }
    void AppendToSaveBuffer(const void* data, uint32_t size);
    void AddSaveReference(uint32_t key) { m_saveRefs.push_back(key); }

    // Growth. which: 0 the file table is full, 1 the directory table.
    void ComputeNewFileAndDirCount(int which, uint32_t* newFileCount, uint16_t* newDirCount) const;
    bool bIncreaseFatSize(uint32_t newFileCount, uint16_t newDirCount);

    // Status-returning cores of the operations above: they raise nothing for a
    // write failure (the specified operations do, through Raise) and leave the
    // table and the bigfile as they were when they fail.
    BIG::Status eCreate(uint32_t fileCount, uint16_t dirCount, uint32_t packageWord, uint8_t headerByte);
    BIG::Status eCreateFile(const char* name, uint32_t time, uint16_t dir, uint32_t key, uint32_t* index);
    BIG::Status eCreateDir(const char* name, uint16_t parent, uint16_t* index);
    BIG::Status eDeleteFile(uint32_t index);
    BIG::Status eSaveFile(uint32_t index, const void* buffer, uint32_t size);
    BIG::Status eSaveStoredFile(uint32_t index, const uint8_t* stored, uint32_t size, uint32_t crc);
    BIG::Status eIncreaseFatSize(uint32_t newFileCount, uint16_t newDirCount);
    BIG::Status eClean();
    BIG::Status eWriteFileEntry(uint32_t index);
    BIG::Status eWriteDirEntry(uint16_t index);
    BIG::Status eWriteFatHeader(BIG::File* container = nullptr, bool linearized = false,
                                bool reduced = false);

    // Writers. Failures are reported, never thrown to the caller.
    void WriteFileEntry(uint32_t index);
    void WriteDirEntry(uint16_t index);
    // The header (and client-name stream, settings, version XML) of `container`
    // (null: the table's own).
    void WriteFatHeader(BIG::File* container = nullptr, bool linearized = false, bool reduced = false);
    bool GetVersionInfoXmlFileFullPath(const char* name, std::string* out) const;
    // The moment the version XML's Date and Time name: `unixSeconds`, written
    // in UTC, for a reproducible bigfile; unset (the default), the clock's
    // local time when the XML is written.
    void SetVersionInfoTime(std::optional<uint32_t> unixSeconds) { m_versionInfoTime = unixSeconds; }
    void SetPackageId(uint16_t id);
    // Fixes the container's set stamp to a 64-bit hash of the header and the
    // tables as stored (BIG::File::eFixSetStamp), for outputs that must come
    // out byte-identical on a re-run: the same tables give the same stamp
    // whatever the clock. Call once the tables are final (after the last
    // entry or header write). Fails when they cannot be read back or the
    // headers cannot be rewritten.
    BIG::Status eDeriveSetStamp();
    // Compacts the data area; see BIG_FatGrow.cpp.
    void Clean();

    int AddWarnCallback(BIG_tdpfn_WarnCallback callback, void* user);
    void RemoveWarnCallback(int slot);
    // Code of a container write failure, the only code the writers report.
    static constexpr uint32_t kWriteErrorCode = 1;
    void ReportError(uint32_t code, bool reportOnce);

    void SetLocalChange(bool on) { mb_LocalChange = on; }
    void SetSaveMode(uint32_t mode) { mul_SaveMode = mode; }
    const std::vector<BIG_st_FileCRC>& GetFileCRCs() const { return m_fileCRCs; }
    void SetPreEditCallback(std::function<void()> cb) { m_preEdit = std::move(cb); }
    void SetProgressCallback(std::function<void(int, float, const char*, const char*)> cb) {
        m_progress = std::move(cb);
    }
    void SetFileCheckCallback(std::function<bool(uint32_t)> cb) { m_fileCheck = std::move(cb); }
    void SetReportErrors(bool on) { mb_ReportErrors = on; }

protected:
    // Container access under the lock. Reads report "Failed reading BF!".
    bool bReadAt(BIG::File& file, BIG_POS pos, void* buffer, uint32_t count, uint64_t extra = 0);
    // A write that reports a failure may still have landed (the container
    // refreshes its segment headers after the bytes): undo by writing the old
    // record back, never by assuming nothing changed.
    BIG::Status eWriteAt(BIG_POS pos, const void* buffer, uint32_t count, uint64_t extra = 0);
    // Puts `old` back into the entry, in memory and (best effort) on disk.
    void RestoreFileEntry(uint32_t index, const BIG_st_FileEntry& old);
    // The one place where a failed edit is raised: a write failure goes to
    // ReportError ("Write error. Maybe the disk is full"); the other kinds were
    // raised where they arose. Records the outcome as LastEditStatus.
    void Raise(const BIG::Status& status);
    uint8_t uc_Shift() const;
    // A directory whose parent chain loops back on itself (the root counts when
    // it names a parent), or kNoDir. Bounded: O(DirCount).
    uint16_t uw_FindDirectoryLoop() const;
    uint64_t ull_AlignUp(uint64_t bytes) const;
    // The table as it is on disk for a full rewrite (non-persisted entries as zeros).
    BIG::Status eWriteWholeTables();
    // Writes `count` records of `size` bytes from `base` on, as `encode` makes
    // them; stretches of zero records go out without being gathered in memory.
    BIG::Status eWriteRecords(BIG_POS base, uint32_t count, uint32_t size,
                              const std::function<void(uint32_t, uint8_t*)>& encode);
    void EncodeFileEntryForDisk(uint32_t index, uint8_t* out) const;
    void EncodeDirEntryForDisk(uint16_t index, uint8_t* out) const;
    // `next`, or the first entry after it in its chain that is written to disk.
    uint32_t ul_NextPersisted(uint32_t next) const;
    void ClearTables();
    // How a file table whose size changes is left: zero-filled; kept up to the
    // new count with room reserved, for a reader that appends the rest; or
    // emptied, for a listing that keeps no table (key holder not sized).
    enum class FileTablePrep { eFill, eReserve, eNone };
    void ResizeFileTable(uint32_t count, FileTablePrep prep = FileTablePrep::eFill);
    void ResizeDirTable(uint16_t count);
    void RebuildIndexes();
    void ScanLooseKeyFiles();
    // Checks the counts against the container before anything is allocated.
    bool bCountsFit(BIG::File& file, uint32_t fileCount, uint16_t dirCount, bool reduced) const;
    bool bReadFatHeader(uint8_t* outReduced, BIG::File* container, FileTablePrep prep);
    // ReadFat, or bListFilesOfType when `listed` is given.
    bool bReadTables(bool clearData, uint8_t listType, std::vector<BIG_st_ListedFile>* listed);
    bool bReadFileTable(bool clearData, uint8_t listType, std::vector<BIG_st_ListedFile>* listed);
    bool bReadReducedTable(bool clearData, uint8_t listType, std::vector<BIG_st_ListedFile>* listed);
    static std::string FileNameOf(const BIG_st_FileEntry& e);
    bool bReadDirTable();
    void RepairTempDir();
    uint32_t ul_FindFreeFile();
    uint16_t uw_FindFreeDir();
    BIG::Status eGrow(int which);
    // Last file of a directory's chain, kNoFile for an empty one; false for a broken chain.
    bool bFindLastFile(uint16_t dir, uint32_t* last) const;
    bool bFindLastSubDir(uint16_t parent, uint16_t* last) const;
    void Notify(uint16_t dir, uint32_t file, uint32_t key, uint32_t event);
    bool bWatchesAll() const { return mi_WatchAll > 0; }
    void SetMark(uint32_t index, uint32_t mark);
    void PreEdit() {
        if (m_preEdit)
            m_preEdit();
    }
    void Progress(int mode, float fraction, const char* text, const char* title) {
        if (m_progress)
            m_progress(mode, fraction, text, title);
    }
    std::string LooseKeyFilePath(uint32_t index) const;
    // Content length and place of a file, with the range checked against the
    // container. False after a report for a corrupt entry.
    bool bGetStoredLength(uint32_t index, uint32_t* length);
    // The same in one read of up to `capacity` bytes into `buffer`: the length
    // word, then `*got` bytes of the content behind it (never past the
    // segment's end).
    bool bReadStoredHead(uint32_t index, uint32_t* length, uint8_t* buffer, uint32_t capacity, uint32_t* got);
    // True when `stored` bytes behind the length word at `offset` fit in the
    // container; otherwise reports the corrupt entry.
    bool bStoredLengthFits(uint32_t index, BIG_POS offset, uint32_t stored);
    void WriteVersionInfoXml(bool linearized) const;
    uint32_t ul_FileTableCrc() const;
    // Copies `bytes` bytes from one place of the data area to another; `kept`
    // (when given) receives the bytes of a copy made in one piece, so that a
    // caller can put them back.
    BIG::Status eCopyContent(BIG_POS from, BIG_POS to, uint32_t bytes, std::vector<uint8_t>* kept = nullptr);
    uint64_t ull_DataEndBytes();

    std::unique_ptr<BIG::FileEd> m_pFile;

    uint32_t mul_FileCount = 0;
    // Megabytes filled as soon as they are made: huge pages where granted.
    std::vector<BIG_st_FileEntry, PLT::LargeBlockAllocator<BIG_st_FileEntry>> mast_File;
    uint16_t muw_DirCount = 0;
    std::vector<BIG_st_DirEntry> mast_Dir;
    BIG_POS mo_FatPos = BIG_POS::FromValue(0);
    BIG_POS mo_DirPos = BIG_POS::FromValue(0);
    BIG_POS mo_DataPos = BIG_POS::FromValue(0);
    uint16_t muw_FormatNb = 0;
    uint16_t muw_TempDirIndex = kNoDir;
    uint8_t muc_HeaderFlags = 0;
    bool mb_Reduced = false;
    uint32_t mul_LastSubmittedCL = 0;
    uint32_t mul_SyncedCL = 0;
    uint32_t mul_ReferenceCL = 0;
    std::string ms_ClientName;
    std::string ms_Label;
    std::string ms_DataRoot;
    std::optional<uint32_t> m_versionInfoTime;
    uint32_t mul_PackageWord = 0;
    uint8_t muc_HeaderByte = 0;

    BIG_cl_HashTable m_keyIndex;
    BIG_cl_HashTable m_dataIndex;
    uint32_t mul_FirstFreeFile = 0;
    uint16_t muw_FirstFreeDir = 0;
    uint32_t mul_DataAttachCount = 0;

    std::shared_ptr<BIG_st_ByteBlock> m_loadBuffer;
    const uint8_t* mpu8_LoadCursor = nullptr;
    uint32_t mul_LoadRemaining = 0;
    // Last file of each directory's chain as last seen, so that appending many
    // files to one directory does not walk its chain each time. Checked before use.
    mutable std::vector<uint32_t> maul_LastFileOfDir;
    // Loose "*.key" overrides found by ReadFat: key -> path.
    std::unordered_map<uint32_t, std::string> m_looseKeyFiles;

    std::vector<uint8_t> m_saveBuffer;
    uint32_t mul_SaveUsed = 0;
    // The stored form of the content being saved; kept up to kKeptStoredImage bytes.
    static constexpr size_t kKeptStoredImage = size_t{4} << 20;
    std::vector<uint8_t> m_storedImage;
    // eSaveFile and eSaveStoredFile: `stored` null stages `buffer`; `crc`
    // null computes the checksum once the arguments are checked.
    BIG::Status _eSaveContent(uint32_t index, const void* buffer, uint32_t size, const uint8_t* stored,
                              const uint32_t* crc);
    std::vector<uint32_t> m_saveRefs;

    BIG_cl_KeyHolder m_keyHolder;
    mutable PLT::CriticalSection m_lock;
    bool mb_Written = false;
    // Set while the temporary directory of a read-only bigfile is repaired in memory.
    bool mb_NoWrite = false;

    bool mb_LocalChange = false;
    uint32_t mul_SaveMode = 0;
    std::vector<BIG_st_FileCRC> m_fileCRCs;
    std::function<void()> m_preEdit;
    std::function<void(int, float, const char*, const char*)> m_progress;
    std::function<bool(uint32_t)> m_fileCheck;
    bool mb_ReportErrors = true;
    BIG::Status m_lastEdit;

    struct WarnSlot {
        BIG_tdpfn_WarnCallback pfn = nullptr;
        void* user = nullptr;
        uint16_t uw_Dir = kNoDir;
        uint32_t ul_File = kNoFile;
        bool b_DirSet = false;
        bool b_FileSet = false;
    };
    WarnSlot mast_Warn[kWarnSlots];
    int mi_WarnMax = -1;
    int mi_WatchAll = 0;
};
