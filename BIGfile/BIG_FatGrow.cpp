// Growing the tables and compacting the data area.
#include <algorithm>
#include <cstring>

#include "BIGfile/BIG_ContentHead.h"
#include "BIGfile/BIG_Fat.h"
#include "BIGfile/BIG_Init.h"
#include "ERRor/ERR_Assert.h"
#include "ERRor/ERR_Log.h"

namespace {

constexpr uint32_t kCopyChunk = 1u << 20;
constexpr uint32_t kCleanMaxLength = 100000000;
constexpr uint64_t kCleanProgressStep = 0x80000;

}  // namespace

void BIG_cl_Fat::ComputeNewFileAndDirCount(int which, uint32_t* newFileCount, uint16_t* newDirCount) const {
    *newFileCount = 0;
    *newDirCount = 0;
    if (mul_FileCount == 0 || muw_DirCount == 0) {
        ERR_X_Raise(
            "Assert",
            "BIG_cl_Fat::ComputeNewFileAndDirCount: invalid number of files or directories in the bigfile");
        return;
    }
    if (which != 0 && which != 1)
        return;
    const uint32_t grownFiles =
        mul_FileCount > 0xFFFFFFFF - kFileGrowStep ? 0xFFFFFFFF : mul_FileCount + kFileGrowStep;
    const uint16_t grownDirs = muw_DirCount > 0x7FFF ? 0xFFFF : static_cast<uint16_t>(muw_DirCount * 2);
    bool growFiles;
    bool growDirs;
    if (which == 0) {
        growFiles = true;
        growDirs = uw_CountUsedDirs() > ((static_cast<uint32_t>(muw_DirCount) * 3) >> 2);
    } else {
        growDirs = true;
        growFiles =
            ul_CountUsedFiles() > static_cast<uint32_t>((static_cast<uint64_t>(mul_FileCount) * 3) >> 2);
    }
    const uint32_t files = growFiles ? grownFiles : mul_FileCount;
    const uint16_t dirs = growDirs ? grownDirs : muw_DirCount;
    if ((growFiles && files == mul_FileCount) || (growDirs && dirs == muw_DirCount)) {
        ERR_X_Raise(
            "Assert",
            "BIG_cl_Fat::ComputeNewFileAndDirCount : couldn't increase bigfile size, internal limit reached");
        return;
    }
    *newFileCount = files;
    *newDirCount = dirs;
}

bool BIG_cl_Fat::bGrow(int which) {
    uint32_t files = 0;
    uint16_t dirs = 0;
    ComputeNewFileAndDirCount(which, &files, &dirs);
    return files != 0 && dirs != 0 && bIncreaseFatSize(files, dirs);
}

void BIG_cl_Fat::CopyContentOrThrow(BIG_POS from, BIG_POS to, uint32_t bytes) {
    // Forward copy in pieces; safe for overlapping ranges when moving down.
    std::vector<uint8_t> chunk(std::min(bytes, kCopyChunk));
    for (uint32_t done = 0; done < bytes;) {
        const uint32_t n = std::min(bytes - done, kCopyChunk);
        uint32_t error;
        {
            PLT::ScopedLock<PLT::CriticalSection> lock(m_lock);
            error = m_pFile->eRead(from, chunk.data(), n, done);
        }
        if (error != BIG::eFile_Ok)
            throw BIG_cl_WriteError();
        WriteAtOrThrow(to, chunk.data(), n, done);
        done += n;
    }
}

bool BIG_cl_Fat::bIncreaseFatSize(uint32_t newFileCount, uint16_t newDirCount) {
    if (newFileCount < mul_FileCount || newDirCount < muw_DirCount ||
        newFileCount > BIG_cl_HashTable::kIndexMask) {
        ERR_X_RaisePrintf("Assert", "BIG_cl_Fat::bIncreaseFatSize : cannot hold %u files and %u directories",
                          newFileCount, newDirCount);
        return false;
    }
    BIG_cl_ReferenceManagerPause pause;
    PreEdit();
    Progress(0, 0.0f, "Increasing the size of the bigfile. Please wait...", "Bigfile manager");

    const uint64_t oldData = mo_DataPos.ull_GetByteOffset();
    const uint64_t newDir =
        ull_AlignUp(mo_FatPos.ull_GetByteOffset() + static_cast<uint64_t>(newFileCount) * kFileEntrySize);
    const uint64_t newData = ull_AlignUp(newDir + static_cast<uint64_t>(newDirCount) * kDirEntrySize);
    if (newData >= BIG_POS::kByteLimit) {
        ERR_X_Raise("Assert", "BIG_cl_Fat::bIncreaseFatSize : the bigfile cannot grow further");
        Progress(2, 1.0f, nullptr, nullptr);
        return false;
    }
    const uint64_t shift = newData - oldData;

    for (uint32_t i = 0; i < mul_FileCount; ++i) {
        const BIG_st_FileEntry& e = mast_File[i];
        if (e.ul_Key != 0 && (e.uc_StorageFlags & BIG_st_FileEntry::kStorageCopyList) != 0 &&
            (e.uc_StorageFlags & BIG_st_FileEntry::kStoragePackage) == 0) {
            ERR_X_Raise("Assert", "not yet implemented!");
            Progress(2, 1.0f, nullptr, nullptr);
            return false;
        }
    }

    try {
        // Clear the space the grown tables take: move the contents lying there to the end.
        uint64_t end = std::max(ull_DataEndBytes(), newData);
        for (uint32_t i = 0; i < mul_FileCount; ++i) {
            BIG_st_FileEntry& e = mast_File[i];
            if (e.ul_Key == 0 || !e.bHasOrdinaryPos() || e.ul_Pos == BIG_st_FileEntry::kNone)
                continue;
            if (oldData + e.ul_Pos * uint64_t{8} >= newData)
                continue;
            uint32_t length = 0;
            if (!bIsFilePositionValid(i) || !bGetStoredLength(i, &length)) {
                // Its place is about to hold the tables: a corrupt content is dropped, not carried.
                e.ul_Pos = BIG_st_FileEntry::kNone;
                e.ul_Checksum = 0;
                continue;
            }
            CopyContentOrThrow(BIG_POS::FromValue(mo_DataPos.ul_GetValue() + e.ul_Pos), BIG_POS(end),
                               length + 4);
            e.ul_Pos = static_cast<uint32_t>((end - oldData) >> 3);
            end = ull_AlignUp(end + length + 4);
        }

        ResizeFileTable(newFileCount);
        ResizeDirTable(newDirCount);
        for (BIG_st_FileEntry& e : mast_File) {
            if (e.ul_Key == 0 || !e.bHasOrdinaryPos() || e.ul_Pos == BIG_st_FileEntry::kNone)
                continue;
            const uint64_t units = shift >> 3;
            e.ul_Pos = e.ul_Pos >= units ? static_cast<uint32_t>(e.ul_Pos - units) : BIG_st_FileEntry::kNone;
        }
        mo_DirPos = BIG_POS(newDir);
        mo_DataPos = BIG_POS(newData);
        RebuildIndexes();
        WriteFatHeaderOrThrow(nullptr, false, false);
        PLT::ScopedLock<PLT::CriticalSection> lock(m_lock);
        WriteWholeTablesOrThrow();
    } catch (const BIG_cl_WriteError& error) {
        ReportError(error.ul_Code(), false);
        Progress(2, 1.0f, nullptr, nullptr);
        return false;
    }
    Progress(2, 1.0f, nullptr, nullptr);
    return true;
}

void BIG_cl_Fat::Clean() {
    PreEdit();
    Progress(0, 0.0f, "Preparing...", "Cleaning bigfile...");
    const uint64_t dataStart = mo_DataPos.ull_GetByteOffset();
    const uint64_t dataSize = ull_DataEndBytes() - dataStart;

    // Used files of this bigfile by content position (a copy list by its first place).
    struct Item {
        uint32_t pos;
        uint32_t index;
    };
    std::vector<Item> items;
    for (uint32_t i = 0; i < mul_FileCount; ++i) {
        const BIG_st_FileEntry& e = mast_File[i];
        if (e.ul_Key == 0 || (e.uc_StorageFlags & BIG_st_FileEntry::kStoragePackage) != 0)
            continue;
        items.push_back({ul_GetFilePosition(i), i});
    }
    std::stable_sort(items.begin(), items.end(), [](const Item& a, const Item& b) { return a.pos < b.pos; });

    uint64_t read = 0;
    uint64_t write = 0;
    uint64_t lastReport = 0;
    try {
        for (const Item& item : items) {
            BIG_st_FileEntry& e = mast_File[item.index];
            uint32_t length = 0;
            const uint64_t at = static_cast<uint64_t>(item.pos) * 8;
            bool corrupt =
                item.pos == BIG_st_FileEntry::kNone || at < read || !bIsFilePositionValid(item.index);
            if (!corrupt) {
                uint8_t raw[BIG_st_ContentHead::kLengthSize];
                corrupt = !bReadAt(*m_pFile, BIG_POS::FromValue(mo_DataPos.ul_GetValue() + item.pos), raw,
                                   sizeof raw) ||
                          !BIG_st_ContentHead::bDecodeLength(raw, sizeof raw, &length);
                corrupt = corrupt || length > kCleanMaxLength || at + 4 + length > dataSize;
            }
            if (corrupt) {
                if (item.pos == BIG_st_FileEntry::kNone && e.ul_Checksum == 0)
                    continue;  // a file without content yet is not damaged
                e.ul_Pos = BIG_st_FileEntry::kNone;
                e.uc_StorageFlags &= static_cast<uint8_t>(~BIG_st_FileEntry::kStorageCopyList);
                e.ul_Checksum = 0;
                ERR_LogPrintf(ERR_Level_Warning, ERR_Cat_Others,
                              "The file %s/%s is corrupted. Its content has been deleted\n",
                              GetDirPath(e.uw_Dir).c_str(), GetFileName(item.index).c_str());
                WriteFileEntry(item.index);
                m_pFile->eFlush();
                continue;
            }
            const uint64_t span = ull_AlignUp(static_cast<uint64_t>(length) + 4);
            if ((e.uc_StorageFlags & BIG_st_FileEntry::kStorageCopyList) != 0) {
                // The other copies are placed by the duplicated-files table, which is not ours to
                // rewrite: a copy list stays where it is and the write cursor passes it.
                read = at + span;
                write = std::max(write, read);
                continue;
            }
            if (at != write) {
                if (write - lastReport >= kCleanProgressStep) {
                    lastReport = write;
                    const std::string text = "Moving file " + GetFileName(item.index);
                    Progress(1,
                             dataSize != 0 ? static_cast<float>(write) / static_cast<float>(dataSize) : 1.0f,
                             text.c_str(), "Cleaning bigfile...");
                }
                CopyContentOrThrow(BIG_POS(dataStart + at), BIG_POS(dataStart + write), length + 4);
                e.ul_Pos = static_cast<uint32_t>(write >> 3);
                WriteFileEntry(item.index);
            }
            read = at + span;
            write += span;
        }
    } catch (const BIG_cl_WriteError& error) {
        ReportError(error.ul_Code(), false);
        Progress(2, 1.0f, nullptr, nullptr);
        return;
    }
    uint32_t cut = BIG::eFile_Ok;
    if (dataStart + write < ull_DataEndBytes()) {
        PLT::ScopedLock<PLT::CriticalSection> lock(m_lock);
        cut = m_pFile->eSetEndOfFile(BIG_POS(dataStart + write));
    }
    if (cut != BIG::eFile_Ok)
        ERR_Log(ERR_Level_Warning, ERR_Cat_Others,
                "Failed to change size of the bigfile in the clean process.\n");
    Progress(2, 1.0f, nullptr, nullptr);
}
