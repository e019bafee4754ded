// Lookups, positions, sizes and content reads.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "BIGfile/AsynchronousIO/BIG_AsynchronousIOManager.h"
#include "BIGfile/BIG_ContentHead.h"
#include "BIGfile/BIG_Extensions.h"
#include "BIGfile/BIG_Fat.h"
#include "BIGfile/BIG_Init.h"
#include "ERRor/ERR_Assert.h"
#include "platform/File.h"

namespace {

// Process-wide switch of the missing-key report: takes the assertion's answer,
// so an ignore-always answer silences every later report.
int s_iReportMissingKey = 1;

constexpr uint32_t kLengthSize = BIG_st_ContentHead::kLengthSize;
// Bytes of a content read with its length word: most game files are smaller.
constexpr uint32_t kReadAheadBytes = 4096;

BIG_st_LoadedFileInfo LoadInfo(const BIG_st_FileEntry& e) {
    BIG_st_LoadedFileInfo info;
    info.ul_Key = e.ul_Key;
    info.ul_Flags = e.ul_Flags;
    info.uc_Type = e.uc_Type;
    return info;
}

}  // namespace

uint32_t BIG_cl_Fat::ul_GetFileIndex(uint32_t key, bool reportMissing) const {
    if (key == kNoKey)
        return kNoFile;
    const uint32_t index = m_keyIndex.Find(key);
    if (index != BIG_cl_HashTable::kNone && index < mul_FileCount)
        return index;
    if (reportMissing && s_iReportMissingKey > 0) {
        s_iReportMissingKey =
            ERR_i_AssertPrintf("EditorAssertEx", __FILE__, __LINE__, ERR_uc_CategoryFlags("EditorAssertEx"),
                               "File can't be found for key %08lx: An object (freed, or saved for example) "
                               "has no associated file.",
                               static_cast<unsigned long>(key));
    }
    return kNoFile;
}

uint32_t BIG_cl_Fat::ul_GetFileIndexFromData(uint32_t handle) const {
    if (handle == 0)
        return kNoFile;
    const uint32_t index = m_dataIndex.Find(handle);
    return index < mul_FileCount ? index : kNoFile;
}

uint32_t BIG_cl_Fat::ul_GetFileKey(uint32_t index) const {
    if (index == kNoFile) {
        ERR_X_Raise("EditorAssertEx", "ul_GetFileKey : Invalid index");
        return kNoKey;
    }
    if (index >= mul_FileCount) {
        ERR_X_RaisePrintf("EditorAssertEx", "ul_GetFileKey : Invalid index %u (%u files)", index,
                          mul_FileCount);
        return kNoKey;
    }
    return mast_File[index].ul_Key;
}

uint32_t BIG_cl_Fat::ul_GetFilePosition(uint32_t index) const {
    if (index >= mul_FileCount)
        return BIG_st_FileEntry::kNone;
    const BIG_st_FileEntry& e = mast_File[index];
    if ((e.uc_StorageFlags & BIG_st_FileEntry::kStorageCopyList) != 0)
        return BIG_ul_DuplicatedPosition(e.ul_Pos & BIG_st_FileEntry::kCopyListIndexMask);
    return e.ul_Pos;
}

bool BIG_cl_Fat::bIsFilePositionValid(uint32_t index) const {
    if (index >= mul_FileCount)
        return false;
    const BIG_cl_Fat* fat = this;
    uint32_t fileIndex = index;
    const BIG_st_FileEntry& e = mast_File[index];
    if ((e.uc_StorageFlags & BIG_st_FileEntry::kStoragePackage) != 0) {
        const uint32_t package = e.ul_Pos >> BIG_st_FileEntry::kPackageIndexShift;
        if (package >= BIG_ul_PackageCount())
            return false;
        fat = BIG_pst_PackageFat(package);
        fileIndex = e.ul_Pos & BIG_st_FileEntry::kPackageFileMask;
        // A package entry never points on into a further package.
        if (fat == nullptr || fileIndex >= fat->mul_FileCount ||
            (fat->mast_File[fileIndex].uc_StorageFlags & BIG_st_FileEntry::kStoragePackage) != 0)
            return false;
    }
    const uint32_t pos = fat->ul_GetFilePosition(fileIndex);
    if (pos == BIG_st_FileEntry::kNone || !fat->m_pFile->bIsOpen())
        return false;
    const uint32_t end = fat->m_pFile->oGetFileContentEnd().ul_GetValue();
    const uint32_t data = fat->mo_DataPos.ul_GetValue();
    return end != BIG_POS::kNone && end > data && pos < end - data;
}

BIG_POS BIG_cl_Fat::oGetFileOffset(uint32_t index) const {
    // Package contents are read through the package's own table.
    const bool package =
        index < mul_FileCount && (mast_File[index].uc_StorageFlags & BIG_st_FileEntry::kStoragePackage) != 0;
    if (package || !bIsFilePositionValid(index)) {
        ERR_X_RaisePrintf(
            "AssertEx",
            "File %s has an invalid position in FAT! Your BF must be corrupted!\nTry deleting this "
            "file and creating a new one.\n(Skipping this assert will certainly lead to others, more "
            "cryptic ones...)",
            index < mul_FileCount ? mast_File[index].sz_Name : "?");
        return BIG_POS::None();
    }
    return BIG_POS::FromValue(mo_DataPos.ul_GetValue() + ul_GetFilePosition(index));
}

bool BIG_cl_Fat::bGetContentPlace(uint32_t index, BIG_st_ContentPlace* out) const {
    static_assert(BIG_st_ContentHead::kOffKeys == 8, "oKeys is one 8-byte unit after the head");
    *out = BIG_st_ContentPlace{};
    if (index >= mul_FileCount)
        return false;
    const BIG_st_FileEntry& e = mast_File[index];
    if ((e.uc_StorageFlags & BIG_st_FileEntry::kStorageLooseKey) != 0)
        return false;
    const BIG_cl_Fat* fat = this;
    uint32_t fileIndex = index;
    uint32_t bigfile = BIG::kMainBigfile;
    if ((e.uc_StorageFlags & BIG_st_FileEntry::kStoragePackage) != 0) {
        // A package entry names a file of that package's own table, never a
        // further package entry.
        bigfile = e.ul_Pos >> BIG_st_FileEntry::kPackageIndexShift;
        fat = bigfile < BIG_ul_PackageCount() ? BIG_pst_PackageFat(bigfile) : nullptr;
        fileIndex = e.ul_Pos & BIG_st_FileEntry::kPackageFileMask;
        if (fat == nullptr || fileIndex >= fat->mul_FileCount ||
            (fat->mast_File[fileIndex].uc_StorageFlags & BIG_st_FileEntry::kStoragePackage) != 0)
            return false;
    }
    // Copy-list entries go through the duplicated-files table (first copy).
    if (!fat->bIsFilePositionValid(fileIndex))
        return false;
    const uint64_t value = uint64_t{fat->mo_DataPos.ul_GetValue()} + fat->ul_GetFilePosition(fileIndex);
    const uint64_t end = fat->m_pFile->oGetFileContentEnd().ull_GetByteOffset();
    if (value >= BIG_POS::kNone || value * 8 >= end)
        return false;
    out->po_Fat = const_cast<BIG_cl_Fat*>(fat);
    out->ul_Index = fileIndex;
    out->ul_Bigfile = bigfile;
    out->o_Head = BIG_POS::FromValue(static_cast<uint32_t>(value));
    out->ull_Available = end - value * 8;
    return true;
}

std::string BIG_cl_Fat::LooseKeyFilePath(uint32_t index) const {
    auto found = m_looseKeyFiles.find(mast_File[index].ul_Key);
    if (found != m_looseKeyFiles.end())
        return found->second;
    char name[16];
    GetKeyFileName(index, name, sizeof name);
    return name;
}

void BIG_cl_Fat::GetKeyFileName(uint32_t index, char* out, size_t size) const {
    if (out == nullptr || size == 0)
        return;
    char name[16];
    std::snprintf(name, sizeof name, "%08X.key", index < mul_FileCount ? mast_File[index].ul_Key : 0u);
    std::snprintf(out, size, "%s", name);
}

bool BIG_cl_Fat::bStoredLengthFits(uint32_t index, BIG_POS offset, uint32_t stored) {
    // The length must fit between the content and the end of the container.
    const uint64_t end = m_pFile->oGetFileContentEnd().ull_GetByteOffset();
    const uint64_t first = offset.ull_GetByteOffset() + kLengthSize;
    if (first > end || stored > end - first) {
        ERR_X_RaisePrintf(
            "AssertEx",
            "File %s has an invalid size in FAT (%u bytes beyond the end of the bigfile)! Your BF "
            "must be corrupted!",
            mast_File[index].sz_Name, stored);
        return false;
    }
    return true;
}

bool BIG_cl_Fat::bGetStoredLength(uint32_t index, uint32_t* length) {
    const BIG_POS offset = oGetFileOffset(index);
    if (offset.bIsNone())
        return false;
    uint8_t raw[kLengthSize];
    PLT::ScopedLock<PLT::CriticalSection> lock(m_lock);
    if (!bReadAt(*m_pFile, offset, raw, kLengthSize))
        return false;
    uint32_t stored = 0;
    BIG_st_ContentHead::bDecodeLength(raw, sizeof raw, &stored);
    if (!bStoredLengthFits(index, offset, stored))
        return false;
    *length = stored;
    return true;
}

bool BIG_cl_Fat::bReadStoredHead(uint32_t index, uint32_t* length, uint8_t* buffer, uint32_t capacity,
                                 uint32_t* got) {
    *got = 0;
    const BIG_POS offset = oGetFileOffset(index);
    if (offset.bIsNone())
        return false;
    // As much as the segment holds from the length word on, up to `capacity`.
    BIG::FileIOParams params;
    if (capacity < kLengthSize || m_pFile->eGetReadParams(&params, offset, capacity) != BIG::eFile_Ok ||
        params.ul_Count < kLengthSize)
        return bGetStoredLength(index, length);
    const uint32_t span = params.ul_Count;
    PLT::ScopedLock<PLT::CriticalSection> lock(m_lock);
    if (!bReadAt(*m_pFile, offset, buffer, span))
        return false;
    uint32_t stored = 0;
    BIG_st_ContentHead::bDecodeLength(buffer, span, &stored);
    if (!bStoredLengthFits(index, offset, stored))
        return false;
    *got = std::min(stored, span - kLengthSize);
    *length = stored;
    return true;
}

uint32_t BIG_cl_Fat::ul_GetFileSize(uint32_t index) {
    if (index >= mul_FileCount)
        return 0;
    const BIG_st_FileEntry& e = mast_File[index];
    if ((e.uc_StorageFlags & BIG_st_FileEntry::kStorageLooseKey) != 0) {
        uint64_t size = 0;
        if (!PLT::GetPathSize(LooseKeyFilePath(index), &size) || size >= 0xFFFFFFFF)
            return 0xFFFFFFFF;
        return static_cast<uint32_t>(size);
    }
    if ((e.uc_StorageFlags & BIG_st_FileEntry::kStoragePackage) != 0) {
        BIG_cl_Fat* fat = BIG_pst_PackageFat(e.ul_Pos >> BIG_st_FileEntry::kPackageIndexShift);
        if (!bIsFilePositionValid(index) || fat == nullptr)
            return 0;
        return fat->ul_GetFileSize(e.ul_Pos & BIG_st_FileEntry::kPackageFileMask);
    }
    if (!bIsFilePositionValid(index))
        return 0;
    uint32_t length = 0;
    return bGetStoredLength(index, &length) ? length : 0xFFFFFFFF;
}

bool BIG_cl_Fat::ReadFileContent(uint32_t index, void* buffer, uint32_t offset, uint32_t count) {
    if (index >= mul_FileCount || buffer == nullptr)
        return false;
    const BIG_st_FileEntry& e = mast_File[index];
    if ((e.uc_StorageFlags & BIG_st_FileEntry::kStorageLooseKey) != 0) {
        const PLT::FileHandle file =
            PLT::OpenFile(LooseKeyFilePath(index), PLT::Access::eRead, PLT::Disposition::eOpenExisting);
        if (file == PLT::kInvalidFile)
            return false;
        const bool ok = PLT::ReadAt(file, offset, buffer, count);
        PLT::CloseFile(file);
        return ok;
    }
    if ((e.uc_StorageFlags & BIG_st_FileEntry::kStoragePackage) != 0) {
        BIG_cl_Fat* fat = BIG_pst_PackageFat(e.ul_Pos >> BIG_st_FileEntry::kPackageIndexShift);
        return bIsFilePositionValid(index) && fat != nullptr &&
               fat->ReadFileContent(e.ul_Pos & BIG_st_FileEntry::kPackageFileMask, buffer, offset, count);
    }
    const BIG_POS at = oGetFileOffset(index);
    if (at.bIsNone())
        return false;
    PLT::ScopedLock<PLT::CriticalSection> lock(m_lock);
    if (e.uc_Type != BIG_Extensions::kTypeTxd)
        m_keyHolder.RecordLoad(index, count, false, LoadInfo(e));
    return bReadAt(*m_pFile, at, buffer, count, static_cast<uint64_t>(kLengthSize) + offset);
}

uint32_t BIG_cl_Fat::ul_ReadInSegment(BIG_POS pos, void* buffer, uint32_t capacity) {
    PLT::ScopedLock<PLT::CriticalSection> lock(m_lock);
    BIG::FileIOParams params;
    if (m_pFile->eGetReadParams(&params, pos, capacity) != BIG::eFile_Ok ||
        m_pFile->eRead(pos, buffer, params.ul_Count) != BIG::eFile_Ok)
        return 0;
    return params.ul_Count;
}

uint32_t BIG_cl_Fat::ul_ReadQuietly(BIG_POS pos, uint64_t extra, void* buffer, uint32_t count) const {
    if (buffer == nullptr || count == 0 || pos.bIsNone())
        return 0;
    PLT::FileHandle handle = PLT::kInvalidFile;
    uint64_t local = 0;
    uint32_t n = 0;
    {
        // Without the table's lock, which the table's own loads hold across
        // their reads: the segment list of a bigfile opened to read does not
        // change, and the read is positioned.
        const BIG::FileEd& file = *m_pFile;
        if (!file.bIsOpen() || file.bIsRemote() || file.bIsPrivateOutput())
            return 0;
        // The checks of eRead, without its reports.
        const uint64_t base = pos.ull_GetByteOffset();
        if (BIG_ull_AlignDown(base, file.uc_GetAlignmentShift()) != base || extra > UINT64_MAX - base)
            return 0;
        const uint64_t at = base + extra;
        for (uint16_t k = 0; k < file.uw_GetSegmentCount() && handle == PLT::kInvalidFile; ++k) {
            const BIG::File::FileSegment& s = file.GetSegment(k);
            const uint64_t start = s.o_Start.ull_GetByteOffset();
            const uint64_t end = s.o_End.ull_GetByteOffset();
            if (at < start || at >= end)
                continue;
            n = static_cast<uint32_t>(std::min<uint64_t>(count, end - at));
            local = s.o_ContentBase.ull_GetByteOffset() + (at - start);
            if (s.h_File == PLT::kInvalidFile || local >= uint64_t{1} << 32)
                return 0;
            handle = s.h_File;
        }
    }
    return handle != PLT::kInvalidFile && PLT::ReadAt(handle, local, buffer, n) ? n : 0;
}

bool BIG_cl_Fat::LoadFileInBuffer(uint32_t index, BIG_st_ByteBlock* block, uint32_t* length) {
    if (length != nullptr)
        *length = 0;
    if (block == nullptr || length == nullptr || !bIsFilePositionValid(index))
        return false;
    const BIG_st_FileEntry& e = mast_File[index];
    if ((e.uc_StorageFlags & BIG_st_FileEntry::kStoragePackage) != 0) {
        BIG_cl_Fat* fat = BIG_pst_PackageFat(e.ul_Pos >> BIG_st_FileEntry::kPackageIndexShift);
        return fat != nullptr &&
               fat->LoadFileInBuffer(e.ul_Pos & BIG_st_FileEntry::kPackageFileMask, block, length);
    }

    const bool loose = (e.uc_StorageFlags & BIG_st_FileEntry::kStorageLooseKey) != 0;
    PLT::ScopedLock<PLT::CriticalSection> lock(m_lock);
    uint32_t stored = 0;
    PLT::FileHandle looseFile = PLT::kInvalidFile;
    if (loose) {
        looseFile =
            PLT::OpenFile(LooseKeyFilePath(index), PLT::Access::eRead, PLT::Disposition::eOpenExisting);
        uint64_t size = 0;
        if (looseFile == PLT::kInvalidFile || !PLT::GetFileSize(looseFile, &size) || size >= 0xFFFFFFFF) {
            PLT::CloseFile(looseFile);
            return false;
        }
        stored = static_cast<uint32_t>(size);
    }
    // A plain content: its length word and, for most files, the whole
    // content come in one read (a split copies tens of thousands of small files).
    uint8_t head[kReadAheadBytes];
    uint32_t got = 0;
    if (!loose && !bReadStoredHead(index, &stored, head, sizeof head, &got))
        return false;

    if (stored == 0) {
        PLT::CloseFile(looseFile);
        return false;
    }
    if (block->ul_Capacity < stored) {
        block->p_Data.reset();  // "BIG_cl_Fat : Load buffer"
        block->p_Data.reset(new uint8_t[stored]);
        block->ul_Capacity = stored;
    }
    bool ok = true;
    if (loose) {
        ok = PLT::ReadAt(looseFile, 0, block->p_Data.get(), stored);
        PLT::CloseFile(looseFile);
    } else {
        std::memcpy(block->p_Data.get(), head + kLengthSize, got);
        if (got < stored)
            ok = bReadAt(*m_pFile, oGetFileOffset(index), block->p_Data.get() + got, stored - got,
                         uint64_t{kLengthSize} + got);
    }
    if (!ok)
        return false;
    *length = stored;
    return true;
}

void BIG_cl_Fat::SetDataInMemory(uint32_t index, uint32_t handle) {
    if (index >= mul_FileCount)
        return;
    BIG_st_FileEntry& e = mast_File[index];
    if (e.ul_DataInMemory == handle)
        return;
    if (e.ul_DataInMemory != 0) {
        if (handle != 0)
            ERR_X_RaisePrintf(
                "AssertEx",
                "BIG_cl_Fat::SetDataInMemory() : trying to set data on a file (%s) that already have "
                "data associated",
                GetFileName(index).c_str());
        m_dataIndex.Remove(index, e.ul_DataInMemory);
    }
    e.ul_DataInMemory = handle;
    if (handle != 0) {
        m_dataIndex.Add(index, handle);
        ++mul_DataAttachCount;
    }
}

uint32_t BIG_cl_Fat::ul_GetDataInMemory(uint32_t index) const {
    return index < mul_FileCount ? mast_File[index].ul_DataInMemory : 0;
}
