// Creating a bigfile, its files and directories; the entry writers, change
// observers and the error reporter.
#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>

#include "BIGfile/BIG_Fat.h"
#include "BIGfile/BIG_Init.h"
#include "BIGfile/BIG_TextField.h"
#include "ERRor/ERR_Assert.h"
#include "ERRor/ERR_MessageBox.h"
#include "platform/Clock.h"

namespace {

// Root and "Temp" at least: a smaller directory table cannot hold a new bigfile.
constexpr uint16_t kMinDirCount = 2;
constexpr uint32_t kCreatedFlags = BIG_st_FileEntry::kFlagLinkMask;  // 0x000F0000

}  // namespace

bool BIG_cl_Fat::Create(uint32_t fileCount, uint16_t dirCount, uint32_t packageWord, uint8_t headerByte) {
    const BIG::Status status = eCreate(fileCount, dirCount, packageWord, headerByte);
    Raise(status);
    return status.bOk();
}

BIG::Status BIG_cl_Fat::eCreate(uint32_t fileCount, uint16_t dirCount, uint32_t packageWord,
                                uint8_t headerByte) {
    if (!m_pFile->bIsOpen() || m_pFile->bIsReadOnly()) {
        ERR_X_Raise("Assert", "BIG_cl_Fat::Create : the bigfile is not open for writing");
        return BIG::Status::InvalidArgument("the bigfile is not open for writing");
    }
    if (dirCount < kMinDirCount)
        dirCount = kMinDirCount;
    const uint64_t start = m_pFile->oGetFileContentStart().ull_GetByteOffset();
    const uint64_t fat = ull_AlignUp(start + kHeaderSize);
    const uint64_t dir = ull_AlignUp(fat + static_cast<uint64_t>(fileCount) * kFileEntrySize);
    const uint64_t data = ull_AlignUp(dir + static_cast<uint64_t>(dirCount) * kDirEntrySize);
    if (data >= BIG_POS::kByteLimit || fileCount > BIG_cl_HashTable::kIndexMask) {
        ERR_X_RaisePrintf("Assert",
                          "BIG_cl_Fat::Create : %u files and %u directories do not fit in a bigfile",
                          fileCount, dirCount);
        return BIG::Status::InvalidArgument("the tables do not fit in a bigfile");
    }
    mul_PackageWord = packageWord;
    muc_HeaderByte = headerByte;
    ms_ClientName.clear();
    ms_Label.clear();
    mul_LastSubmittedCL = mul_SyncedCL = mul_ReferenceCL = 0;
    mb_Reduced = false;
    muc_HeaderFlags = 0;

    ClearTables();
    mast_File.assign(fileCount, BIG_st_FileEntry::Zeroed());  // "BIG_cl_Fat : File FAT"
    mul_FileCount = fileCount;
    m_keyHolder.SetFileCount(fileCount);
    mast_Dir.assign(dirCount, BIG_st_DirEntry::Zeroed());  // "BIG_cl_Fat : Directory FAT"
    muw_DirCount = dirCount;
    mul_FirstFreeFile = 0;
    muw_FirstFreeDir = 0;
    muw_FormatNb = kFormatNb;
    mo_FatPos = BIG_POS(fat);
    mo_DirPos = BIG_POS(dir);
    mo_DataPos = BIG_POS(data);
    RebuildIndexes();

    BIG_st_DirEntry& root = mast_Dir[kRootDir];
    root = BIG_st_DirEntry();
    BIG_CopyTextField(root.sz_Name, sizeof root.sz_Name, "/");
    muw_TempDirIndex = kNoDir;
    ms_DataRoot = kDefaultDataRoot;
    // Tables first, header last: a bigfile whose header is written is whole.
    BIG::Status status = eWriteWholeTables();
    if (!status.bOk())
        return status;
    // "Temp" goes in after the tables are on disk, so its entry lands on a table that exists.
    uint16_t temp = kNoDir;
    status = eCreateDir(kTempDirName, kRootDir, &temp);
    if (!status.bOk())
        return status;
    muw_TempDirIndex = temp;
    return eWriteFatHeader(nullptr, false, false);
}

uint32_t BIG_cl_Fat::ul_FindFreeFile() {
    for (uint32_t i = mul_FirstFreeFile; i < mul_FileCount; ++i) {
        if (mast_File[i].ul_Key == 0)
            return mul_FirstFreeFile = i;
    }
    for (uint32_t i = 0; i < mul_FirstFreeFile && i < mul_FileCount; ++i) {
        if (mast_File[i].ul_Key == 0)
            return mul_FirstFreeFile = i;
    }
    return kNoFile;
}

uint16_t BIG_cl_Fat::uw_FindFreeDir() {
    for (uint32_t i = muw_FirstFreeDir; i < muw_DirCount; ++i) {
        if (!mast_Dir[i].bIsUsed())
            return muw_FirstFreeDir = static_cast<uint16_t>(i);
    }
    for (uint32_t i = 0; i < muw_FirstFreeDir && i < muw_DirCount; ++i) {
        if (!mast_Dir[i].bIsUsed())
            return muw_FirstFreeDir = static_cast<uint16_t>(i);
    }
    return kNoDir;
}

uint32_t BIG_cl_Fat::ul_CreateFile(const char* name, uint32_t time, uint16_t dir, uint32_t key) {
    uint32_t index = kNoFile;
    Raise(eCreateFile(name, time, dir, key, &index));
    return index;
}

BIG::Status BIG_cl_Fat::eCreateFile(const char* name, uint32_t time, uint16_t dir, uint32_t key,
                                    uint32_t* out) {
    // The indexation thread reads the entries and contents this edit changes.
    BIG_cl_ReferenceManagerPause pause(*this, false);
    *out = kNoFile;
    const char* dot = name != nullptr ? std::strrchr(name, '.') : nullptr;
    const size_t stem = name == nullptr  ? 0
                        : dot != nullptr ? static_cast<size_t>(dot - name)
                                         : std::strlen(name);
    if (name == nullptr || stem > BIG_st_FileEntry::kMaxNameLength) {
        ERR_X_Raise("EditorAssertEx", "ul_CreateFile : Invalid file name");
        return BIG::Status::InvalidArgument("invalid file name");
    }
    if (dir >= muw_DirCount || !mast_Dir[dir].bIsUsed()) {
        ERR_X_RaisePrintf("EditorAssertEx", "ul_CreateFile : Invalid directory %u", dir);
        return BIG::Status::InvalidArgument("invalid directory");
    }
    if (key != 0 && key != kNoKey) {
        // A second entry under a key could never be found by it.
        const uint32_t owner = m_keyIndex.Find(key);
        if (owner != BIG_cl_HashTable::kNone) {
            ERR_X_RaisePrintf("EditorAssertEx", "ul_CreateFile : Key %08x is already used by %s", key,
                              GetFileName(owner).c_str());
            return BIG::Status::InvalidArgument("key already used");
        }
    }
    PreEdit();
    if (time == 0)
        time = PLT::UnixTimeNow();

    // The name may point into the table that growing moves.
    const std::string nameCopy(name);
    uint32_t index = ul_FindFreeFile();
    if (index == kNoFile) {
        const BIG::Status grown = eGrow(0);
        if (!grown.bOk())
            return grown;
        index = ul_FindFreeFile();
        if (index == kNoFile) {
            ERR_X_Raise("EditorAssertEx", "ul_CreateFile : Unable to create a new file");
            return BIG::Status::InvalidArgument("no free file entry");
        }
    }
    uint32_t last = kNoFile;
    if (!bFindLastFile(dir, &last))
        return BIG::Status::Corrupt("broken file chain");
    if (key == 0 || key == kNoKey) {
        key = ul_GetNewKey();
        if (key == kNoKey)
            return BIG::Status::InvalidArgument("no key");  // a file nobody can find by key is not made
    }

    BIG_st_FileEntry& e = mast_File[index];
    const BIG_st_FileEntry freeEntry = e;
    char ext[4];
    e = BIG_st_FileEntry();
    SplitFileName(e.sz_Name, ext, nameCopy.c_str());
    e.ul_Pos = BIG_st_FileEntry::kNone;
    e.ul_Key = key;
    e.ul_DataInMemory = 0;
    e.uc_Type = CompressFileType(ext);
    e.uc_StorageFlags = 0;  // a reused entry must not keep the meaning of an old position
    e.uw_Dir = dir;
    e.ul_Time = time;
    e.ul_Flags = kCreatedFlags;
    e.ul_NextFile = kNoFile;
    e.ul_Checksum = 0;
    e.ul_State = BIG_st_FileEntry::kStateSaved;
    if (mb_LocalChange)
        e.ul_State = (e.ul_State & ~BIG_st_FileEntry::kMarkMask) | kMarkLocal;
    else if ((e.ul_Flags & BIG_st_FileEntry::kFlagSameAsReference) != 0)
        e.ul_State = (e.ul_State & ~BIG_st_FileEntry::kMarkMask) | kMarkCreated;
    e.ul_Flags &= ~BIG_st_FileEntry::kFlagSameAsReference;

    // The entry first, then the link to it: until the link is written the
    // directory on disk does not list the new file. A write that reports a
    // failure may still have landed, so each failure writes the old record back.
    BIG::Status status = eWriteFileEntry(index);
    if (status.bOk()) {
        if (last == kNoFile) {
            mast_Dir[dir].ul_FirstFile = index;
            status = eWriteDirEntry(dir);
            if (!status.bOk()) {
                mast_Dir[dir].ul_FirstFile = kNoFile;
                eWriteDirEntry(dir);
            }
        } else {
            mast_File[last].ul_NextFile = index;
            status = eWriteFileEntry(last);
            if (!status.bOk()) {
                mast_File[last].ul_NextFile = kNoFile;
                eWriteFileEntry(last);
            }
        }
    }
    if (!status.bOk()) {
        RestoreFileEntry(index, freeEntry);
        return status;
    }
    if (dir < maul_LastFileOfDir.size())
        maul_LastFileOfDir[dir] = index;
    m_keyIndex.Add(index, key);
    if (bWatchesAll() || (mast_Dir[dir].uc_Flags & BIG_st_DirEntry::kFlagWatched) != 0)
        Notify(dir, index, key, kEventFileCreated);
    *out = index;
    return BIG::Status::Ok();
}

uint16_t BIG_cl_Fat::uw_CreateDir(const char* name, uint16_t parent) {
    uint16_t index = kNoDir;
    Raise(eCreateDir(name, parent, &index));
    return index;
}

BIG::Status BIG_cl_Fat::eCreateDir(const char* name, uint16_t parent, uint16_t* out) {
    // The indexation thread reads the entries and contents this edit changes.
    BIG_cl_ReferenceManagerPause pause(*this, false);
    *out = kNoDir;
    if (name == nullptr || name[0] == '\0') {
        ERR_X_Raise("Assert", "uw_CreateDir : Invalid directory name");
        return BIG::Status::InvalidArgument("invalid directory name");
    }
    if (std::strlen(name) > BIG_st_DirEntry::kMaxNameLength) {
        ERR_X_Raise("Assert", "uw_CreateDir : Directory name is too long");
        return BIG::Status::InvalidArgument("directory name too long");
    }
    if (parent >= muw_DirCount || !mast_Dir[parent].bIsUsed()) {
        ERR_X_RaisePrintf("Assert", "uw_CreateDir : Invalid parent directory %u", parent);
        return BIG::Status::InvalidArgument("invalid parent directory");
    }
    PreEdit();
    const std::string nameCopy(name);
    uint16_t index = uw_FindFreeDir();
    if (index == kNoDir) {
        const BIG::Status grown = eGrow(1);
        if (!grown.bOk())
            return grown;
        index = uw_FindFreeDir();
        if (index == kNoDir) {
            ERR_X_Raise("Assert", "uw_CreateDir : Unable to create a new directory");
            return BIG::Status::InvalidArgument("no free directory entry");
        }
    }
    uint16_t last = kNoDir;
    if (!bFindLastSubDir(parent, &last))
        return BIG::Status::Corrupt("broken directory chain");

    BIG_st_DirEntry& d = mast_Dir[index];
    const BIG_st_DirEntry freeEntry = d;
    d = BIG_st_DirEntry();
    BIG_CopyTextField(d.sz_Name, sizeof d.sz_Name, nameCopy.c_str());
    d.uw_Parent = parent;
    BIG::Status status = eWriteDirEntry(index);
    if (status.bOk()) {
        const uint16_t owner = last == kNoDir ? parent : last;
        uint16_t& link = last == kNoDir ? mast_Dir[parent].uw_FirstSubDir : mast_Dir[last].uw_NextSibling;
        link = index;
        status = eWriteDirEntry(owner);
        if (!status.bOk()) {
            link = kNoDir;
            eWriteDirEntry(owner);
        }
    }
    if (!status.bOk()) {
        d = freeEntry;
        eWriteDirEntry(index);  // best effort: the old free entry again
        return status;
    }
    if (bWatchesAll() || (mast_Dir[parent].uc_Flags & BIG_st_DirEntry::kFlagWatched) != 0)
        Notify(index, kNoFile, kNoKey, kEventDirCreated);
    *out = index;
    return BIG::Status::Ok();
}

uint16_t BIG_cl_Fat::uw_CreateDirPath(const char* path) {
    if (path == nullptr || muw_DirCount == 0)
        return kNoDir;
    uint16_t current = kRootDir;
    const char* p = path;
    while (*p != '\0') {
        while (*p == '/')
            ++p;
        const char* end = p;
        while (*end != '\0' && *end != '/')
            ++end;
        if (end != p) {
            // Components are cut to what a directory name holds.
            const std::string component(p, std::min<size_t>(end - p, BIG_st_DirEntry::kMaxNameLength));
            uint16_t next = FindSubDir(component.c_str(), current);
            if (next == kNoDir)
                next = uw_CreateDir(component.c_str(), current);
            if (next == kNoDir)
                return kNoDir;
            current = next;
        }
        p = end;
    }
    return current;
}

bool BIG_cl_Fat::bDeleteFile(uint32_t index) {
    if (index >= mul_FileCount || mast_File[index].ul_Key == 0)
        return false;
    const BIG::Status status = eDeleteFile(index);
    Raise(status);
    return status.bOk();
}

BIG::Status BIG_cl_Fat::eDeleteFile(uint32_t index) {
    // The indexation thread reads the entries and contents this edit changes.
    BIG_cl_ReferenceManagerPause pause(*this, false);
    if (index >= mul_FileCount || mast_File[index].ul_Key == 0)
        return BIG::Status::NotFound("no such file");
    PreEdit();
    BIG_st_FileEntry& e = mast_File[index];
    const BIG_st_FileEntry before = e;
    const uint16_t dir = e.uw_Dir;
    const uint32_t key = e.ul_Key;
    // Unlink first, then free the entry: a failure in between leaves an entry
    // that no directory lists, never a list that leads into a freed entry.
    uint32_t predecessor = kNoFile;
    bool linkedFromDir = false;
    if (dir < muw_DirCount) {
        if (mast_Dir[dir].ul_FirstFile == index) {
            linkedFromDir = true;
        } else {
            uint32_t f = mast_Dir[dir].ul_FirstFile;
            for (uint32_t steps = 0; f < mul_FileCount && steps < mul_FileCount; ++steps) {
                if (mast_File[f].ul_NextFile == index) {
                    predecessor = f;
                    break;
                }
                f = mast_File[f].ul_NextFile;
            }
        }
    }
    auto relink = [&](uint32_t next) -> BIG::Status {
        if (linkedFromDir) {
            mast_Dir[dir].ul_FirstFile = next;
            return eWriteDirEntry(dir);
        }
        if (predecessor != kNoFile) {
            mast_File[predecessor].ul_NextFile = next;
            return eWriteFileEntry(predecessor);
        }
        return BIG::Status::Ok();
    };
    BIG::Status status = relink(e.ul_NextFile);
    if (!status.bOk()) {
        relink(index);  // memory back to the chain as it is on disk
        return status;
    }
    e = BIG_st_FileEntry::Zeroed();
    e.ul_Pos = BIG_st_FileEntry::kNone;
    e.ul_NextFile = kNoFile;
    status = eWriteFileEntry(index);
    if (!status.bOk()) {
        RestoreFileEntry(index, before);
        relink(index);  // best effort: listed again, as before
        return status;
    }
    maul_LastFileOfDir.clear();
    m_keyIndex.Remove(index, key);
    if (before.ul_DataInMemory != 0)
        m_dataIndex.Remove(index, before.ul_DataInMemory);
    const bool watched =
        bWatchesAll() || (before.ul_Flags & BIG_st_FileEntry::kFlagWatched) != 0 ||
        (dir < muw_DirCount && (mast_Dir[dir].uc_Flags & BIG_st_DirEntry::kFlagWatched) != 0);
    if (watched)
        Notify(dir, index, key, kEventFileDeleted);
    return BIG::Status::Ok();
}

void BIG_cl_Fat::WriteFileEntry(uint32_t index) {
    Raise(eWriteFileEntry(index));
}

void BIG_cl_Fat::RestoreFileEntry(uint32_t index, const BIG_st_FileEntry& old) {
    mast_File[index] = old;
    eWriteFileEntry(index);
}

BIG::Status BIG_cl_Fat::eWriteFileEntry(uint32_t index) {
    if (index >= mul_FileCount)
        return BIG::Status::InvalidArgument("file index outside the table");
    if (!mast_File[index].bIsPersisted()) {
        // The entry itself is never written, but the stored chain skips it:
        // rewrite whatever links to it on disk.
        const uint16_t dir = mast_File[index].uw_Dir;
        if (dir >= muw_DirCount)
            return BIG::Status::Ok();
        uint32_t owner = kNoFile;
        uint32_t f = mast_Dir[dir].ul_FirstFile;
        for (uint32_t steps = 0; f < mul_FileCount && f != index && steps < mul_FileCount; ++steps) {
            if (mast_File[f].bIsPersisted())
                owner = f;
            f = mast_File[f].ul_NextFile;
        }
        if (owner == kNoFile)
            return eWriteDirEntry(dir);
        index = owner;
    }
    uint8_t raw[BIG_st_FileEntry::kEncodedSize];
    EncodeFileEntryForDisk(index, raw);
    return eWriteAt(mo_FatPos, raw, sizeof raw, static_cast<uint64_t>(index) * kFileEntrySize);
}

void BIG_cl_Fat::WriteDirEntry(uint16_t index) {
    Raise(eWriteDirEntry(index));
}

BIG::Status BIG_cl_Fat::eWriteDirEntry(uint16_t index) {
    if (index >= muw_DirCount)
        return BIG::Status::InvalidArgument("directory index outside the table");
    uint8_t raw[BIG_st_DirEntry::kEncodedSize];
    EncodeDirEntryForDisk(index, raw);
    return eWriteAt(mo_DirPos, raw, sizeof raw, static_cast<uint64_t>(index) * kDirEntrySize);
}

BIG::Status BIG_cl_Fat::eWriteWholeTables() {
    // The directory table first: when the tables grow it lands on space that
    // the old tables do not use, and the file table after it covers the rest.
    BIG::Status status = eWriteRecords(
        mo_DirPos, muw_DirCount, kDirEntrySize,
        [this](uint32_t i, uint8_t* out) { EncodeDirEntryForDisk(static_cast<uint16_t>(i), out); });
    if (!status.bOk())
        return status;
    return eWriteRecords(mo_FatPos, mul_FileCount, kFileEntrySize,
                         [this](uint32_t i, uint8_t* out) { EncodeFileEntryForDisk(i, out); });
}

namespace {

// Zeros for the stretches of a table whose records encode to nothing but
// zeros (every entry of a new table): shared by all writes, so that those
// stretches cost neither fresh memory nor encoding into a buffer. Never
// written; zero-initialised static storage, so it takes no room in the
// binary and its pages are the system's shared zero page until read.
constexpr uint32_t kZeroBlockSize = 1024 * 1024;
alignas(4096) uint8_t g_ZeroBlock[kZeroBlockSize];
// The encoded records in between go out through one buffer of this size,
// small enough to come back from the heap without page faults.
constexpr uint32_t kRecordBufferSize = 64 * 1024;
// A run of zero records at least this long leaves the buffer for the zero block.
constexpr uint32_t kZeroRunBytes = 4096;
constexpr uint32_t kMaxRecordSize = 128;

bool bAllZero(const uint8_t* data, uint32_t size) {
    return std::memcmp(data, g_ZeroBlock, size) == 0;
}

}  // namespace

BIG::Status BIG_cl_Fat::eWriteRecords(BIG_POS base, uint32_t count, uint32_t size,
                                      const std::function<void(uint32_t, uint8_t*)>& encode) {
    static_assert(kFileEntrySize <= kMaxRecordSize && kDirEntrySize <= kMaxRecordSize);
    if (size == 0 || size > kMaxRecordSize)
        return BIG::Status::InvalidArgument("table records of an unexpected size");
    const uint32_t capacity = kRecordBufferSize / size * size;  // whole records
    std::unique_ptr<uint8_t[]> buffer;
    uint32_t held = 0;       // encoded bytes in the buffer
    uint32_t heldZeros = 0;  // the buffer's last bytes that are zero records
    uint64_t heldAt = 0;     // table byte offset of the buffer's first byte
    uint64_t zeros = 0;      // bytes of the zero run not written yet, at heldAt
    auto writeZeros = [&]() {
        while (zeros != 0) {
            const auto n = static_cast<uint32_t>(std::min<uint64_t>(zeros, kZeroBlockSize));
            const BIG::Status status = eWriteAt(base, g_ZeroBlock, n, heldAt);
            if (!status.bOk())
                return status;
            heldAt += n;
            zeros -= n;
        }
        return BIG::Status::Ok();
    };
    auto writeHeld = [&](uint32_t bytes) {
        BIG::Status status = BIG::Status::Ok();
        if (bytes != 0)
            status = eWriteAt(base, buffer.get(), bytes, heldAt);
        heldAt += bytes;
        held = heldZeros = 0;
        return status;
    };
    uint8_t record[kMaxRecordSize];
    for (uint32_t i = 0; i < count; ++i) {
        encode(i, record);
        if (bAllZero(record, size)) {
            if (held == 0) {
                zeros += size;
                continue;
            }
            heldZeros += size;
            // A long run of zero records: the buffer goes out without them.
            if (heldZeros >= kZeroRunBytes) {
                const uint32_t run = heldZeros - size;
                const BIG::Status status = writeHeld(held - run);
                if (!status.bOk())
                    return status;
                zeros = run + size;
                continue;
            }
        } else {
            heldZeros = 0;
            if (zeros != 0) {
                const BIG::Status status = writeZeros();
                if (!status.bOk())
                    return status;
            }
        }
        if (!buffer)
            buffer = std::make_unique_for_overwrite<uint8_t[]>(capacity);
        std::memcpy(buffer.get() + held, record, size);
        held += size;
        if (held == capacity) {
            const BIG::Status status = writeHeld(held);
            if (!status.bOk())
                return status;
        }
    }
    if (held != 0)
        return writeHeld(held);
    return writeZeros();
}

void BIG_cl_Fat::SetMark(uint32_t index, uint32_t mark) {
    BIG_st_FileEntry& e = mast_File[index];
    e.ul_State = (e.ul_State & ~BIG_st_FileEntry::kMarkMask) | mark;
}

int BIG_cl_Fat::AddWarnCallback(BIG_tdpfn_WarnCallback callback, void* user) {
    for (int i = 0; i < kWarnSlots; ++i) {
        WarnSlot& slot = mast_Warn[i];
        if (slot.pfn != nullptr)
            continue;
        slot.pfn = callback;
        slot.user = user;
        slot.uw_Dir = kNoDir;
        slot.ul_File = kNoFile;
        slot.b_DirSet = slot.b_FileSet = true;
        if (i > mi_WarnMax)
            mi_WarnMax = i;
        ++mi_WatchAll;
        return i;
    }
    return -1;
}

void BIG_cl_Fat::RemoveWarnCallback(int index) {
    if (index < 0 || index >= kWarnSlots)
        return;
    WarnSlot& slot = mast_Warn[index];
    slot.pfn = nullptr;
    if (!slot.b_DirSet)
        ERR_X_RaisePrintf("AssertExIgnore",
                          "Calling BIG_cl_Fat::RemoveWarnCallback(%d) with bad dir initialization", index);
    if (!slot.b_FileSet)
        ERR_X_RaisePrintf("AssertExIgnore",
                          "Calling BIG_cl_Fat::RemoveWarnCallback(%d) with bad file initialization", index);
    auto watchedElsewhere = [&](auto member, auto value) {
        for (int i = 0; i <= mi_WarnMax; ++i) {
            if (i != index && mast_Warn[i].pfn != nullptr && mast_Warn[i].*member == value)
                return true;
        }
        return false;
    };
    if (slot.b_DirSet && slot.uw_Dir != kNoDir && slot.uw_Dir < muw_DirCount &&
        !watchedElsewhere(&WarnSlot::uw_Dir, slot.uw_Dir))
        mast_Dir[slot.uw_Dir].uc_Flags &= static_cast<uint8_t>(~BIG_st_DirEntry::kFlagWatched);
    if (slot.b_FileSet && slot.ul_File != kNoFile && slot.ul_File < mul_FileCount &&
        !watchedElsewhere(&WarnSlot::ul_File, slot.ul_File))
        mast_File[slot.ul_File].ul_Flags &= ~BIG_st_FileEntry::kFlagWatched;
    if (slot.b_DirSet && slot.b_FileSet && slot.uw_Dir == kNoDir && slot.ul_File == kNoFile) {
        if (--mi_WatchAll < 0) {
            ERR_X_Raise("Assert", "RemoveWarnCallback : Invalid number of warn callback");
            mi_WatchAll = 0;
        }
    }
    slot.b_DirSet = slot.b_FileSet = false;
    if (index == mi_WarnMax) {
        while (mi_WarnMax >= 0 && mast_Warn[mi_WarnMax].pfn == nullptr)
            --mi_WarnMax;
    }
}

void BIG_cl_Fat::Notify(uint16_t dir, uint32_t file, uint32_t key, uint32_t event) {
    for (int i = 0; i <= mi_WarnMax; ++i) {
        const WarnSlot& slot = mast_Warn[i];
        if (slot.pfn == nullptr)
            continue;
        if ((slot.uw_Dir == kNoDir || slot.uw_Dir == dir) &&
            (slot.ul_File == kNoFile || slot.ul_File == file))
            slot.pfn(slot.user, dir, file, key, event);
    }
}

void BIG_cl_Fat::ReportError(uint32_t code, bool reportOnce) {
    if (!mb_ReportErrors)
        return;
    if (reportOnce)
        mb_ReportErrors = false;
    if (code == kWriteErrorCode)
        ERR_i_MessageBox("Write error. Maybe the disk is full", "Error", ERR_MB_OK);
}
