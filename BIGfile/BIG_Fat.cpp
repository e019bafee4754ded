#include "BIGfile/BIG_Fat.h"

#include <cstdio>
#include <cstring>

#include "BIGfile/BIG_Init.h"
#include "ERRor/ERR_Assert.h"

BIG_cl_Fat::BIG_cl_Fat()
    : m_pFile(std::make_unique<BIG::FileEd>()), m_loadBuffer(std::make_shared<BIG_st_ByteBlock>()) {
    m_loadBuffer->p_Data.reset(new uint8_t[kLoadBufferSize]);
    m_loadBuffer->ul_Capacity = kLoadBufferSize;
    m_saveBuffer.resize(kSaveBufferSize);
}

BIG_cl_Fat::~BIG_cl_Fat() {
    // The indexes point into the tables: drop them first.
    m_keyIndex.Free();
    m_dataIndex.Free();
    if (m_pFile->bIsOpen())
        m_pFile->eClose();
}

BIG_st_FileEntry* BIG_cl_Fat::pst_GetFileEntry(uint32_t index) {
    return index < mul_FileCount ? &mast_File[index] : nullptr;
}

BIG_st_DirEntry* BIG_cl_Fat::pst_GetDirEntry(uint16_t index) {
    return index < muw_DirCount ? &mast_Dir[index] : nullptr;
}

void BIG_cl_Fat::SetVersionInfo(uint32_t lastSubmittedCL, uint32_t syncedCL, uint32_t referenceCL,
                                const std::string& clientName, const std::string& label) {
    mul_LastSubmittedCL = lastSubmittedCL;
    mul_SyncedCL = syncedCL;
    mul_ReferenceCL = referenceCL;
    ms_ClientName = clientName.substr(0, 29);
    ms_Label = label.substr(0, 17);
}

uint8_t BIG_cl_Fat::uc_Shift() const {
    return m_pFile->uc_GetAlignmentShift();
}

uint64_t BIG_cl_Fat::ull_AlignUp(uint64_t bytes) const {
    return BIG_ull_AlignUp(bytes, uc_Shift());
}

bool BIG_cl_Fat::bReadAt(BIG::File& file, BIG_POS pos, void* buffer, uint32_t count, uint64_t extra) {
    uint32_t error;
    {
        PLT::ScopedLock<PLT::CriticalSection> lock(m_lock);
        error = file.eRead(pos, buffer, count, extra);
    }
    if (error != BIG::eFile_Ok) {
        ERR_X_Raise("Assert", "Failed reading BF!");
        return false;
    }
    return true;
}

BIG::Status BIG_cl_Fat::eWriteAt(BIG_POS pos, const void* buffer, uint32_t count, uint64_t extra) {
    if (mb_NoWrite)
        return BIG::Status::Ok();
    uint32_t error;
    {
        PLT::ScopedLock<PLT::CriticalSection> lock(m_lock);
        error = m_pFile->eWrite(pos, buffer, count, extra);
    }
    if (error != BIG::eFile_Ok) {
        char text[160];
        std::snprintf(text, sizeof text, "%s: writing %u bytes at byte %llu failed (container error %u)",
                      m_pFile->GetPath().c_str(), count,
                      static_cast<unsigned long long>(pos.ull_GetByteOffset() + extra), error);
        return BIG::Status::IOError(text);
    }
    mb_Written = true;
    return BIG::Status::Ok();
}

void BIG_cl_Fat::Raise(const BIG::Status& status) {
    m_lastEdit = status;
    if (status.eKind() == BIG::StatusKind::eIOError)
        ReportError(kWriteErrorCode, false);
}

void BIG_cl_Fat::ClearTables() {
    m_keyIndex.Free();
    m_dataIndex.Free();
    mast_File.clear();
    mast_File.shrink_to_fit();
    mast_Dir.clear();
    mast_Dir.shrink_to_fit();
    mul_FileCount = 0;
    muw_DirCount = 0;
    mul_FirstFreeFile = 0;
    muw_FirstFreeDir = 0;
    m_looseKeyFiles.clear();
    maul_LastFileOfDir.clear();
    m_keyHolder.SetFileCount(0);
}

void BIG_cl_Fat::ResizeFileTable(uint32_t count, FileTablePrep prep) {
    // The indexes read the array in place: they are rebuilt by the caller.
    m_keyIndex.Free();
    m_dataIndex.Free();
    switch (prep) {
        case FileTablePrep::eFill:
            mast_File.resize(count, BIG_st_FileEntry::Zeroed());
            break;
        case FileTablePrep::eReserve:
            // A reader that overwrites every entry need not zero-fill them first.
            if (mast_File.size() > count)
                mast_File.resize(count);
            mast_File.reserve(count);
            break;
        case FileTablePrep::eNone:
            mast_File.clear();
            mast_File.shrink_to_fit();
            break;
    }
    mul_FileCount = count;
    m_keyHolder.SetFileCount(prep == FileTablePrep::eNone ? 0 : count);
    if (mul_FirstFreeFile >= count)
        mul_FirstFreeFile = 0;
}

void BIG_cl_Fat::ResizeDirTable(uint16_t count) {
    mast_Dir.resize(count, BIG_st_DirEntry::Zeroed());
    maul_LastFileOfDir.clear();
    muw_DirCount = count;
    if (muw_FirstFreeDir >= count)
        muw_FirstFreeDir = 0;
}

void BIG_cl_Fat::RebuildIndexes() {
    const BIG_st_FileEntry* base = mast_File.data();
    m_keyIndex.Init(base, mul_FileCount, kFileEntrySize, BIG_st_FileEntry::kOffKey, false, 0, 0);
    m_dataIndex.Init(base, mul_FileCount, kFileEntrySize, BIG_st_FileEntry::kOffDataInMemory, false, 0, 0);
    for (uint32_t i = 0; i < mul_FileCount; ++i) {
        const BIG_st_FileEntry& e = mast_File[i];
        if (e.ul_Key != 0)
            m_keyIndex.Add(i, e.ul_Key);
        if (e.ul_DataInMemory != 0)
            m_dataIndex.Add(i, e.ul_DataInMemory);
    }
}

void BIG_cl_Fat::EncodeFileEntryForDisk(uint32_t index, uint8_t* out) const {
    const BIG_st_FileEntry& e = mast_File[index];
    if (!e.bIsPersisted()) {
        std::memset(out, 0, kFileEntrySize);
        return;
    }
    BIG_st_FileEntry disk = e;
    disk.ul_Flags &= BIG_st_FileEntry::kPersistedFlagsMask;
    disk.ul_DataInMemory = 0;
    disk.uc_StorageFlags &= static_cast<uint8_t>(~BIG_st_FileEntry::kStorageLooseKey);
    if (disk.bHasOrdinaryPos() && disk.ul_Pos != BIG_st_FileEntry::kNone) {
        // Memory: 8-byte units; disk: alignment units. Positions are aligned, so nothing is lost.
        disk.ul_Pos = static_cast<uint32_t>((static_cast<uint64_t>(disk.ul_Pos) << 3) >> uc_Shift());
    }
    disk.ul_NextFile = ul_NextPersisted(e.ul_NextFile);
    disk.EncodeAt(out);
}

uint32_t BIG_cl_Fat::ul_NextPersisted(uint32_t next) const {
    // Entries that are never written are left out of the chains as stored, so
    // that a reader never follows a link into an entry it does not have.
    for (uint32_t steps = 0; next < mul_FileCount && !mast_File[next].bIsPersisted() && steps < mul_FileCount;
         ++steps)
        next = mast_File[next].ul_NextFile;
    return next;
}

void BIG_cl_Fat::EncodeDirEntryForDisk(uint16_t index, uint8_t* out) const {
    BIG_st_DirEntry disk = mast_Dir[index];
    disk.uc_Flags &= static_cast<uint8_t>(~BIG_st_DirEntry::kRunTimeFlags);
    if (index == muw_TempDirIndex)
        disk.ul_FirstFile = BIG_st_DirEntry::kNoFile;  // the temporary files are never listed on disk
    else
        disk.ul_FirstFile = ul_NextPersisted(disk.ul_FirstFile);
    disk.EncodeAt(out);
}
