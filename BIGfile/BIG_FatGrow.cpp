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

BIG::Status BIG_cl_Fat::eGrow(int which) {
    uint32_t files = 0;
    uint16_t dirs = 0;
    ComputeNewFileAndDirCount(which, &files, &dirs);
    if (files == 0 || dirs == 0)
        return BIG::Status::InvalidArgument("the tables cannot grow");
    return eIncreaseFatSize(files, dirs);
}

BIG::Status BIG_cl_Fat::eCopyContent(BIG_POS from, BIG_POS to, uint32_t bytes, std::vector<uint8_t>* kept) {
    // Forward copy in pieces; safe for overlapping ranges when moving down.
    std::vector<uint8_t> chunk(std::min(bytes, kCopyChunk));
    for (uint32_t done = 0; done < bytes;) {
        const uint32_t n = std::min(bytes - done, kCopyChunk);
        if (!bReadAt(*m_pFile, from, chunk.data(), n, done))
            return BIG::Status::IOError(m_pFile->GetPath() + ": a content to move cannot be read");
        if (kept != nullptr && bytes <= kCopyChunk)
            *kept = chunk;  // before the write, which may land over the source and still fail
        const BIG::Status status = eWriteAt(to, chunk.data(), n, done);
        if (!status.bOk())
            return status;
        done += n;
    }
    return BIG::Status::Ok();
}

bool BIG_cl_Fat::bIncreaseFatSize(uint32_t newFileCount, uint16_t newDirCount) {
    const BIG::Status status = eIncreaseFatSize(newFileCount, newDirCount);
    Raise(status);
    return status.bOk();
}

BIG::Status BIG_cl_Fat::eIncreaseFatSize(uint32_t newFileCount, uint16_t newDirCount) {
    if (newFileCount < mul_FileCount || newDirCount < muw_DirCount ||
        newFileCount > BIG_cl_HashTable::kIndexMask) {
        ERR_X_RaisePrintf("Assert", "BIG_cl_Fat::bIncreaseFatSize : cannot hold %u files and %u directories",
                          newFileCount, newDirCount);
        return BIG::Status::InvalidArgument("the tables cannot hold that many entries");
    }
    if (mb_NoWrite || !m_pFile->bIsOpen() || m_pFile->bIsReadOnly()) {
        // Moving contents without writing them would point entries at bytes never written.
        ERR_X_Raise("Assert", "BIG_cl_Fat::bIncreaseFatSize : a bigfile open for reading never grows");
        return BIG::Status::InvalidArgument("the bigfile is open for reading");
    }
    BIG_cl_ReferenceManagerPause pause(*this);
    PreEdit();
    Progress(0, 0.0f, "Increasing the size of the bigfile. Please wait...", "Bigfile manager");
    auto finish = [this](BIG::Status status) {
        Progress(2, 1.0f, nullptr, nullptr);
        return status;
    };

    const uint64_t oldData = mo_DataPos.ull_GetByteOffset();
    const uint64_t newDir =
        ull_AlignUp(mo_FatPos.ull_GetByteOffset() + static_cast<uint64_t>(newFileCount) * kFileEntrySize);
    const uint64_t newData = ull_AlignUp(newDir + static_cast<uint64_t>(newDirCount) * kDirEntrySize);
    if (newData >= BIG_POS::kByteLimit) {
        ERR_X_Raise("Assert", "BIG_cl_Fat::bIncreaseFatSize : the bigfile cannot grow further");
        return finish(BIG::Status::InvalidArgument("the bigfile cannot grow further"));
    }
    const uint64_t shift = newData - oldData;

    for (uint32_t i = 0; i < mul_FileCount; ++i) {
        const BIG_st_FileEntry& e = mast_File[i];
        if (e.ul_Key != 0 && (e.uc_StorageFlags & BIG_st_FileEntry::kStorageCopyList) != 0 &&
            (e.uc_StorageFlags & BIG_st_FileEntry::kStoragePackage) == 0) {
            ERR_X_Raise("Assert", "not yet implemented!");
            return finish(BIG::Status::InvalidArgument("copy lists cannot move"));
        }
    }

    // 1. Clear the space the grown tables take: each content lying there is
    // copied to the end and its entry rewritten in the old layout, one file at
    // a time, so that the bigfile on disk stays whole whatever fails.
    uint64_t end = std::max(ull_DataEndBytes(), newData);
    for (uint32_t i = 0; i < mul_FileCount; ++i) {
        BIG_st_FileEntry& e = mast_File[i];
        if (e.ul_Key == 0 || !e.bHasOrdinaryPos() || e.ul_Pos == BIG_st_FileEntry::kNone)
            continue;
        if (oldData + e.ul_Pos * uint64_t{8} >= newData)
            continue;
        const BIG_st_FileEntry before = e;
        uint32_t length = 0;
        if (!bIsFilePositionValid(i) || !bGetStoredLength(i, &length)) {
            // Its place is about to hold the tables: a corrupt content is dropped, not carried.
            e.ul_Pos = BIG_st_FileEntry::kNone;
            e.ul_Checksum = 0;
        } else {
            const BIG::Status copied = eCopyContent(BIG_POS::FromValue(mo_DataPos.ul_GetValue() + e.ul_Pos),
                                                    BIG_POS(end), length + 4);
            if (!copied.bOk())
                return finish(copied);
            e.ul_Pos = static_cast<uint32_t>((end - oldData) >> 3);
        }
        const BIG::Status written = eWriteFileEntry(i);
        if (!written.bOk()) {
            RestoreFileEntry(i, before);
            return finish(written);
        }
        if (e.ul_Pos != BIG_st_FileEntry::kNone)
            end = ull_AlignUp(end + length + 4);
    }

    // 2. The new layout in memory, the old one kept to put back.
    decltype(mast_File) oldFiles = mast_File;
    std::vector<BIG_st_DirEntry> oldDirs = mast_Dir;
    const uint32_t oldFileCount = mul_FileCount;
    const uint16_t oldDirCount = muw_DirCount;
    const BIG_POS oldDirPos = mo_DirPos;
    const BIG_POS oldDataPos = mo_DataPos;
    const uint32_t oldFirstFreeFile = mul_FirstFreeFile;
    const uint16_t oldFirstFreeDir = muw_FirstFreeDir;

    ResizeFileTable(newFileCount);
    ResizeDirTable(newDirCount);
    const uint64_t units = shift >> 3;
    for (BIG_st_FileEntry& e : mast_File) {
        if (e.ul_Key == 0 || !e.bHasOrdinaryPos() || e.ul_Pos == BIG_st_FileEntry::kNone)
            continue;
        e.ul_Pos = e.ul_Pos >= units ? static_cast<uint32_t>(e.ul_Pos - units) : BIG_st_FileEntry::kNone;
    }
    mo_DirPos = BIG_POS(newDir);
    mo_DataPos = BIG_POS(newData);
    RebuildIndexes();

    // 3. The moved tables, then the header that makes them the bigfile's.
    BIG::Status status;
    {
        PLT::ScopedLock<PLT::CriticalSection> lock(m_lock);
        status = eWriteWholeTables();
    }
    if (status.bOk())
        status = eWriteFatHeader(nullptr, false, false);
    if (status.bOk())
        return finish(status);

    // 4. Failed: the old layout again, in memory and on disk.
    mast_File = std::move(oldFiles);
    mast_Dir = std::move(oldDirs);
    mul_FileCount = oldFileCount;
    muw_DirCount = oldDirCount;
    m_keyHolder.SetFileCount(oldFileCount);
    mo_DirPos = oldDirPos;
    mo_DataPos = oldDataPos;
    mul_FirstFreeFile = oldFirstFreeFile;
    muw_FirstFreeDir = oldFirstFreeDir;
    maul_LastFileOfDir.clear();
    RebuildIndexes();
    BIG::Status restored;
    {
        PLT::ScopedLock<PLT::CriticalSection> lock(m_lock);
        restored = eWriteWholeTables();
    }
    if (restored.bOk())
        restored = eWriteFatHeader(nullptr, false, false);
    if (!restored.bOk())
        ERR_LogPrintf(ERR_Level_Error, ERR_Cat_Others,
                      "%s: the tables could not be put back after a failed growth; the bigfile is damaged "
                      "(%s).\n",
                      m_pFile->GetPath().c_str(), restored.Message().c_str());
    return finish(status);
}

void BIG_cl_Fat::Clean() {
    Raise(eClean());
}

BIG::Status BIG_cl_Fat::eClean() {
    PreEdit();
    Progress(0, 0.0f, "Preparing...", "Cleaning bigfile...");
    auto finish = [this](BIG::Status status) {
        Progress(2, 1.0f, nullptr, nullptr);
        return status;
    };
    const uint64_t dataStart = mo_DataPos.ull_GetByteOffset();
    const uint64_t dataSize = ull_DataEndBytes() - dataStart;
    auto at = [&](uint32_t pos) { return BIG_POS::FromValue(mo_DataPos.ul_GetValue() + pos); };
    // Stored length at a place of the data area, checked against the data size.
    auto lengthAt = [&](uint32_t pos, uint32_t* length) {
        uint8_t raw[BIG_st_ContentHead::kLengthSize];
        if (pos == BIG_st_FileEntry::kNone || !bReadAt(*m_pFile, at(pos), raw, sizeof raw) ||
            !BIG_st_ContentHead::bDecodeLength(raw, sizeof raw, length))
            return false;
        return *length <= kCleanMaxLength && static_cast<uint64_t>(pos) * 8 + 4 + *length <= dataSize;
    };
    auto dropCorrupt = [&](uint32_t index) {
        BIG_st_FileEntry& e = mast_File[index];
        const BIG_st_FileEntry before = e;
        e.ul_Pos = BIG_st_FileEntry::kNone;
        e.uc_StorageFlags &= static_cast<uint8_t>(~BIG_st_FileEntry::kStorageCopyList);
        e.ul_Checksum = 0;
        ERR_LogPrintf(ERR_Level_Warning, ERR_Cat_Others,
                      "The file %s/%s is corrupted. Its content has been deleted\n",
                      GetDirPath(e.uw_Dir).c_str(), GetFileName(index).c_str());
        BIG::Status status = eWriteFileEntry(index);
        if (!status.bOk()) {
            RestoreFileEntry(index, before);
            return status;
        }
        if (m_pFile->eFlush() != BIG::eFile_Ok)
            status = BIG::Status::IOError(m_pFile->GetPath() + ": flush failed");
        return status;
    };

    // Ordinary contents move down; every copy of a copy list stays where the
    // duplicated-files table places it, and nothing moves over it.
    struct Item {
        uint32_t pos;
        uint32_t index;
    };
    struct Range {
        uint64_t start;
        uint64_t end;
    };
    std::vector<Item> items;
    std::vector<Range> pinned;
    for (uint32_t i = 0; i < mul_FileCount; ++i) {
        const BIG_st_FileEntry& e = mast_File[i];
        if (e.ul_Key == 0 || (e.uc_StorageFlags & BIG_st_FileEntry::kStoragePackage) != 0)
            continue;
        if ((e.uc_StorageFlags & BIG_st_FileEntry::kStorageCopyList) == 0) {
            items.push_back({e.ul_Pos, i});
            continue;
        }
        const uint32_t count = e.ul_Pos >> 27;
        const uint32_t first = e.ul_Pos & BIG_st_FileEntry::kCopyListIndexMask;
        bool any = false;
        for (uint32_t c = 0; c < count; ++c) {
            const uint32_t place = BIG_ul_DuplicatedPosition(first + c);
            uint32_t length = 0;
            if (!lengthAt(place, &length))
                continue;
            const uint64_t start = static_cast<uint64_t>(place) * 8;
            pinned.push_back({start, start + ull_AlignUp(static_cast<uint64_t>(length) + 4)});
            any = true;
        }
        if (!any) {
            const BIG::Status status = dropCorrupt(i);
            if (!status.bOk())
                return finish(status);
        }
    }
    std::stable_sort(items.begin(), items.end(), [](const Item& a, const Item& b) { return a.pos < b.pos; });
    std::sort(pinned.begin(), pinned.end(), [](const Range& a, const Range& b) { return a.start < b.start; });

    uint64_t read = 0;
    uint64_t write = 0;
    uint64_t lastReport = 0;
    for (const Item& item : items) {
        BIG_st_FileEntry& e = mast_File[item.index];
        uint32_t length = 0;
        const uint64_t from = static_cast<uint64_t>(item.pos) * 8;
        const bool corrupt = item.pos == BIG_st_FileEntry::kNone || from < read ||
                             !bIsFilePositionValid(item.index) || !lengthAt(item.pos, &length);
        if (corrupt) {
            if (item.pos == BIG_st_FileEntry::kNone && e.ul_Checksum == 0)
                continue;  // a file without content yet is not damaged
            const BIG::Status status = dropCorrupt(item.index);
            if (!status.bOk())
                return finish(status);
            continue;
        }
        const uint64_t span = ull_AlignUp(static_cast<uint64_t>(length) + 4);
        uint64_t to = write;
        for (const Range& p : pinned) {
            if (p.end <= to)
                continue;
            if (p.start >= to + span)
                break;
            to = p.end;
        }
        if (to < from) {
            if (to - lastReport >= kCleanProgressStep) {
                lastReport = to;
                const std::string text = "Moving file " + GetFileName(item.index);
                Progress(1, dataSize != 0 ? static_cast<float>(to) / static_cast<float>(dataSize) : 1.0f,
                         text.c_str(), "Cleaning bigfile...");
            }
            // The entry on disk names the old place until it is rewritten: when the
            // copy ran over the old bytes and then something failed, they go back.
            // (A move of more than one copy piece over itself cannot be undone.)
            std::vector<uint8_t> kept;
            auto giveBack = [&] {
                if (to + length + 4 > from && !kept.empty())
                    eWriteAt(at(item.pos), kept.data(), static_cast<uint32_t>(kept.size()));
            };
            BIG::Status status = eCopyContent(at(item.pos), BIG_POS(dataStart + to), length + 4, &kept);
            if (!status.bOk()) {
                giveBack();
                return finish(status);
            }
            e.ul_Pos = static_cast<uint32_t>(to >> 3);
            status = eWriteFileEntry(item.index);
            if (!status.bOk()) {
                giveBack();
                BIG_st_FileEntry old = e;
                old.ul_Pos = item.pos;
                RestoreFileEntry(item.index, old);
                return finish(status);
            }
        } else {
            to = from;  // pinned copies leave no room below it: it stays
        }
        read = from + span;
        write = to + span;
    }
    for (const Range& p : pinned)
        write = std::max(write, p.end);
    uint32_t cut = BIG::eFile_Ok;
    if (dataStart + write < ull_DataEndBytes()) {
        PLT::ScopedLock<PLT::CriticalSection> lock(m_lock);
        cut = m_pFile->eSetEndOfFile(BIG_POS(dataStart + write));
    }
    if (cut != BIG::eFile_Ok)
        ERR_Log(ERR_Level_Warning, ERR_Cat_Others,
                "Failed to change size of the bigfile in the clean process.\n");
    return finish(BIG::Status::Ok());
}
