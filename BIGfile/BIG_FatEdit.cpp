// Creating a bigfile, its files and directories; the entry writers, change
// observers and the error reporter.
#include <cstring>

#include "BIGfile/BIG_Fat.h"
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
    if (!m_pFile->bIsOpen() || m_pFile->bIsReadOnly()) {
        ERR_X_Raise("Assert", "BIG_cl_Fat::Create : the bigfile is not open for writing");
        return false;
    }
    if (dirCount < kMinDirCount)
        dirCount = kMinDirCount;
    mul_PackageWord = packageWord;
    muc_HeaderByte = headerByte;
    ms_ClientName.clear();
    ms_Label.clear();
    mul_LastSubmittedCL = mul_SyncedCL = mul_ReferenceCL = 0;
    mb_Reduced = false;
    muc_HeaderFlags = 0;

    const uint64_t start = m_pFile->oGetFileContentStart().ull_GetByteOffset();
    const uint64_t fat = ull_AlignUp(start + kHeaderSize);
    const uint64_t dir = ull_AlignUp(fat + static_cast<uint64_t>(fileCount) * kFileEntrySize);
    const uint64_t data = ull_AlignUp(dir + static_cast<uint64_t>(dirCount) * kDirEntrySize);
    if (data >= BIG_POS::kByteLimit || fileCount > BIG_cl_HashTable::kIndexMask) {
        ERR_X_RaisePrintf("Assert",
                          "BIG_cl_Fat::Create : %u files and %u directories do not fit in a bigfile",
                          fileCount, dirCount);
        return false;
    }

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
    const uint32_t errorsBefore = mul_WriteErrors;
    try {
        WriteFatHeaderOrThrow(nullptr, false, false);
        WriteWholeTablesOrThrow();
    } catch (const BIG_cl_WriteError& error) {
        ReportError(error.ul_Code(), false);
        return false;
    }
    // "Temp" goes in after the tables are on disk, so its entry lands on a table that exists.
    muw_TempDirIndex = uw_CreateDir(kTempDirName, kRootDir);
    try {
        WriteFatHeaderOrThrow(nullptr, false, false);
    } catch (const BIG_cl_WriteError& error) {
        ReportError(error.ul_Code(), false);
        return false;
    }
    return muw_TempDirIndex != kNoDir && mul_WriteErrors == errorsBefore;
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
    const char* dot = name != nullptr ? std::strrchr(name, '.') : nullptr;
    const size_t stem = name == nullptr  ? 0
                        : dot != nullptr ? static_cast<size_t>(dot - name)
                                         : std::strlen(name);
    if (name == nullptr || stem > BIG_st_FileEntry::kMaxNameLength) {
        ERR_X_Raise("EditorAssertEx", "ul_CreateFile : Invalid file name");
        return kNoFile;
    }
    if (dir >= muw_DirCount || !mast_Dir[dir].bIsUsed()) {
        ERR_X_RaisePrintf("EditorAssertEx", "ul_CreateFile : Invalid directory %u", dir);
        return kNoFile;
    }
    PreEdit();
    if (time == 0)
        time = PLT::UnixTimeNow();

    // The name may point into the table that growing moves.
    const std::string nameCopy(name);
    uint32_t index = ul_FindFreeFile();
    if (index == kNoFile) {
        if (!bGrow(0))
            return kNoFile;
        index = ul_FindFreeFile();
        if (index == kNoFile) {
            ERR_X_Raise("EditorAssertEx", "ul_CreateFile : Unable to create a new file");
            return kNoFile;
        }
    }
    uint32_t last = kNoFile;
    if (!bFindLastFile(dir, &last))
        return kNoFile;
    if (key == 0 || key == kNoKey) {
        key = ul_GetNewKey();
        if (key == kNoKey)
            return kNoFile;  // a file nobody can find by key is not made
    }

    BIG_st_FileEntry& e = mast_File[index];
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
    WriteFileEntry(index);

    if (last == kNoFile) {
        mast_Dir[dir].ul_FirstFile = index;
        WriteDirEntry(dir);
    } else {
        mast_File[last].ul_NextFile = index;
        WriteFileEntry(last);
    }
    if (dir < maul_LastFileOfDir.size())
        maul_LastFileOfDir[dir] = index;
    m_keyIndex.Add(index, key);
    if (bWatchesAll() || (mast_Dir[dir].uc_Flags & BIG_st_DirEntry::kFlagWatched) != 0)
        Notify(dir, index, key, kEventFileCreated);
    return index;
}

uint16_t BIG_cl_Fat::uw_CreateDir(const char* name, uint16_t parent) {
    if (name == nullptr || name[0] == '\0') {
        ERR_X_Raise("Assert", "uw_CreateDir : Invalid directory name");
        return kNoDir;
    }
    if (std::strlen(name) > BIG_st_DirEntry::kMaxNameLength) {
        ERR_X_Raise("Assert", "uw_CreateDir : Directory name is too long");
        return kNoDir;
    }
    if (parent >= muw_DirCount || !mast_Dir[parent].bIsUsed()) {
        ERR_X_RaisePrintf("Assert", "uw_CreateDir : Invalid parent directory %u", parent);
        return kNoDir;
    }
    PreEdit();
    const std::string nameCopy(name);
    uint16_t index = uw_FindFreeDir();
    if (index == kNoDir) {
        if (!bGrow(1))
            return kNoDir;
        index = uw_FindFreeDir();
        if (index == kNoDir) {
            ERR_X_Raise("Assert", "uw_CreateDir : Unable to create a new directory");
            return kNoDir;
        }
    }
    uint16_t last = kNoDir;
    if (!bFindLastSubDir(parent, &last))
        return kNoDir;

    BIG_st_DirEntry& d = mast_Dir[index];
    d = BIG_st_DirEntry();
    BIG_CopyTextField(d.sz_Name, sizeof d.sz_Name, nameCopy.c_str());
    d.uw_Parent = parent;
    WriteDirEntry(index);
    if (last == kNoDir) {
        mast_Dir[parent].uw_FirstSubDir = index;
        WriteDirEntry(parent);
    } else {
        mast_Dir[last].uw_NextSibling = index;
        WriteDirEntry(last);
    }
    if (bWatchesAll() || (mast_Dir[parent].uc_Flags & BIG_st_DirEntry::kFlagWatched) != 0)
        Notify(index, kNoFile, kNoKey, kEventDirCreated);
    return index;
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
    PreEdit();
    BIG_st_FileEntry& e = mast_File[index];
    const uint16_t dir = e.uw_Dir;
    const uint32_t key = e.ul_Key;
    if (dir < muw_DirCount) {
        if (mast_Dir[dir].ul_FirstFile == index) {
            mast_Dir[dir].ul_FirstFile = e.ul_NextFile;
            WriteDirEntry(dir);
        } else {
            uint32_t f = mast_Dir[dir].ul_FirstFile;
            for (uint32_t steps = 0; f < mul_FileCount && steps < mul_FileCount; ++steps) {
                if (mast_File[f].ul_NextFile == index) {
                    mast_File[f].ul_NextFile = e.ul_NextFile;
                    WriteFileEntry(f);
                    break;
                }
                f = mast_File[f].ul_NextFile;
            }
        }
    }
    maul_LastFileOfDir.clear();
    m_keyIndex.Remove(index, key);
    if (e.ul_DataInMemory != 0)
        m_dataIndex.Remove(index, e.ul_DataInMemory);
    const bool watched =
        bWatchesAll() || (e.ul_Flags & BIG_st_FileEntry::kFlagWatched) != 0 ||
        (dir < muw_DirCount && (mast_Dir[dir].uc_Flags & BIG_st_DirEntry::kFlagWatched) != 0);
    e = BIG_st_FileEntry::Zeroed();
    e.ul_Pos = BIG_st_FileEntry::kNone;
    e.ul_NextFile = kNoFile;
    WriteFileEntry(index);
    if (watched)
        Notify(dir, index, key, kEventFileDeleted);
    return true;
}

void BIG_cl_Fat::WriteFileEntry(uint32_t index) {
    if (index >= mul_FileCount)
        return;
    try {
        if (!mast_File[index].bIsPersisted()) {
            // The entry itself is never written, but the stored chain skips it:
            // rewrite whatever links to it on disk.
            const uint16_t dir = mast_File[index].uw_Dir;
            if (dir >= muw_DirCount)
                return;
            uint32_t owner = kNoFile;
            uint32_t f = mast_Dir[dir].ul_FirstFile;
            for (uint32_t steps = 0; f < mul_FileCount && f != index && steps < mul_FileCount; ++steps) {
                if (mast_File[f].bIsPersisted())
                    owner = f;
                f = mast_File[f].ul_NextFile;
            }
            if (owner == kNoFile) {
                WriteDirEntry(dir);
                return;
            }
            index = owner;
        }
        uint8_t raw[BIG_st_FileEntry::kEncodedSize];
        EncodeFileEntryForDisk(index, raw);
        WriteAtOrThrow(mo_FatPos, raw, sizeof raw, static_cast<uint64_t>(index) * kFileEntrySize);
    } catch (const BIG_cl_WriteError& error) {
        ReportError(error.ul_Code(), false);
    }
}

void BIG_cl_Fat::WriteDirEntry(uint16_t index) {
    if (index >= muw_DirCount)
        return;
    try {
        uint8_t raw[BIG_st_DirEntry::kEncodedSize];
        EncodeDirEntryForDisk(index, raw);
        WriteAtOrThrow(mo_DirPos, raw, sizeof raw, static_cast<uint64_t>(index) * kDirEntrySize);
    } catch (const BIG_cl_WriteError& error) {
        ReportError(error.ul_Code(), false);
    }
}

void BIG_cl_Fat::WriteWholeTablesOrThrow() {
    // In pieces of the read chunk, so that a table of any size needs bounded memory.
    std::vector<uint8_t> raw(static_cast<size_t>(std::min(std::max(mul_FileCount, 1u), kFileReadChunk)) *
                             kFileEntrySize);
    for (uint32_t done = 0; done < mul_FileCount;) {
        const uint32_t n = std::min(mul_FileCount - done, kFileReadChunk);
        for (uint32_t i = 0; i < n; ++i)
            EncodeFileEntryForDisk(done + i, raw.data() + static_cast<size_t>(i) * kFileEntrySize);
        WriteAtOrThrow(mo_FatPos, raw.data(), n * kFileEntrySize,
                       static_cast<uint64_t>(done) * kFileEntrySize);
        done += n;
    }
    std::vector<uint8_t> dirs(static_cast<size_t>(muw_DirCount) * kDirEntrySize);
    for (uint16_t i = 0; i < muw_DirCount; ++i)
        EncodeDirEntryForDisk(i, dirs.data() + static_cast<size_t>(i) * kDirEntrySize);
    if (!dirs.empty())
        WriteAtOrThrow(mo_DirPos, dirs.data(), static_cast<uint32_t>(dirs.size()));
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
    ++mul_WriteErrors;
    if (!mb_ReportErrors)
        return;
    if (reportOnce)
        mb_ReportErrors = false;
    if (code == BIG_cl_WriteError::kCode)
        ERR_i_MessageBox("Write error. Maybe the disk is full", "Error", ERR_MB_OK);
}
