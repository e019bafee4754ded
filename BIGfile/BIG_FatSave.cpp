// Storing file contents: placement, change marks by save mode, the save
// buffer with its reference table, two-part and link-file saves.

#include <cstring>

#include "BIGfile/BIG_Crc32.h"
#include "BIGfile/BIG_Endian.h"
#include "BIGfile/BIG_Fat.h"
#include "BIGfile/BIG_Init.h"
#include "ERRor/ERR_Assert.h"
#include "platform/Clock.h"

namespace {

constexpr uint16_t kFirstFormatWithRefs = 40;
constexpr uint32_t kLinkFileSize = 20;

}  // namespace

uint64_t BIG_cl_Fat::ull_DataEndBytes() {
    // New contents go after everything the container holds, and never into the tables.
    const uint64_t end = m_pFile->bIsOpen() ? m_pFile->oGetFileContentEnd().ull_GetByteOffset() : 0;
    return std::max(ull_AlignUp(end), mo_DataPos.ull_GetByteOffset());
}

void BIG_cl_Fat::SaveFile(uint32_t index, const void* buffer, uint32_t size) {
    Raise(eSaveFile(index, buffer, size));
}

void BIG_cl_Fat::SaveStoredFile(uint32_t index, const uint8_t* stored, uint32_t size, uint32_t crc) {
    Raise(eSaveStoredFile(index, stored, size, crc));
}

BIG::Status BIG_cl_Fat::eSaveFile(uint32_t index, const void* buffer, uint32_t size) {
    return _eSaveContent(index, buffer, size, nullptr, nullptr);
}

BIG::Status BIG_cl_Fat::eSaveStoredFile(uint32_t index, const uint8_t* stored, uint32_t size, uint32_t crc) {
    if (stored == nullptr || BIG::Endian::Get32(stored) != size)
        return BIG::Status::InvalidArgument("the stored form does not hold the content's length");
    return _eSaveContent(index, stored + 4, size, stored, &crc);
}

BIG::Status BIG_cl_Fat::_eSaveContent(uint32_t index, const void* buffer, uint32_t size,
                                      const uint8_t* stored, const uint32_t* knownCrc) {
    // The indexation thread reads the entries and contents this edit changes.
    BIG_cl_ReferenceManagerPause pause(*this, false);
    if (index >= mul_FileCount || mast_File[index].ul_Key == 0) {
        ERR_X_Raise("AssertExIgnore", "Bad FileIndex, cannot save");
        return BIG::Status::InvalidArgument("bad file index");
    }
    if (buffer == nullptr && size != 0)
        return BIG::Status::InvalidArgument("no content");
    BIG_st_FileEntry& e = mast_File[index];
    const uint32_t crc = knownCrc != nullptr ? *knownCrc : BIG_ul_Crc32(buffer, size);
    // Unchanged only when there is stored content to compare with: a new entry's
    // checksum is 0, which is also the checksum of an empty content.
    if (crc == e.ul_Checksum && bIsFilePositionValid(index))
        return BIG::Status::Ok();
    // Restored when the content cannot be written, so that a retry is not taken for "unchanged".
    const BIG_st_FileEntry before = e;
    const size_t crcCount = m_fileCRCs.size();

    const uint32_t topMark = e.ul_State & BIG_st_FileEntry::kMarkMask;
    auto localOrCreatedMark = [&] {
        if (mb_LocalChange)
            SetMark(index, kMarkLocal);
        else if ((e.ul_Flags & BIG_st_FileEntry::kFlagSameAsReference) != 0)
            SetMark(index, kMarkCreated);
    };
    auto finishMark = [&] {
        e.ul_Flags &= ~BIG_st_FileEntry::kFlagSameAsReference;
        e.ul_State |= BIG_st_FileEntry::kStateSaved;
    };
    if (mul_SaveMode == 1) {
        m_fileCRCs.push_back({index, e.ul_Checksum, e.ul_State, 1});
        localOrCreatedMark();
        finishMark();
    } else if (mul_SaveMode == 2) {
        BIG_st_FileCRC* record = nullptr;
        for (BIG_st_FileCRC& r : m_fileCRCs) {
            if (r.ul_FileIndex == index)
                record = &r;
        }
        uint32_t reference = e.ul_Checksum;
        if (record != nullptr) {
            reference = record->ul_OldChecksum;
            record->ul_Pending = 0;
        }
        if (reference != crc) {
            SetMark(index, m_fileCheck && m_fileCheck(index) ? kMarkChecked : kMarkChanged);
            finishMark();
        } else if (record != nullptr) {
            e.ul_State = record->ul_OldState;
            e.ul_Flags |= BIG_st_FileEntry::kFlagSameAsReference;
        }
    } else if (topMark != kMarkChecked && topMark != kMarkChanged) {
        localOrCreatedMark();
        finishMark();
        if (!mb_LocalChange && (e.ul_State & BIG_st_FileEntry::kMarkMask) == kMarkLocal &&
            (e.ul_State & BIG_st_FileEntry::kStateSaved) != 0)
            e.ul_State &= ~BIG_st_FileEntry::kMarkMask;
    }

    PreEdit();
    e.ul_Checksum = crc;
    e.ul_Time = PLT::UnixTimeNow();

    // Places: in place when the old content exists here and is not smaller, else at the end.
    std::vector<uint32_t> places;
    const bool here =
        (e.uc_StorageFlags & BIG_st_FileEntry::kStoragePackage) == 0 && bIsFilePositionValid(index);
    uint32_t oldLength = 0;
    if (here && bGetStoredLength(index, &oldLength) && size <= oldLength) {
        if ((e.uc_StorageFlags & BIG_st_FileEntry::kStorageCopyList) != 0) {
            const uint32_t count = e.ul_Pos >> 27;
            const uint32_t first = e.ul_Pos & BIG_st_FileEntry::kCopyListIndexMask;
            for (uint32_t c = 0; c < count; ++c) {
                const uint32_t place = BIG_ul_DuplicatedPosition(first + c);
                if (place != BIG_st_FileEntry::kNone)
                    places.push_back(place);
            }
        } else {
            places.push_back(e.ul_Pos);
        }
    }
    const bool toEnd = places.empty();
    if (toEnd) {
        const uint64_t end = ull_DataEndBytes() - mo_DataPos.ull_GetByteOffset();
        if (end >= BIG_POS::kByteLimit) {
            ERR_X_RaisePrintf("Assert", "SaveFile : the bigfile is full, %s is not saved", e.sz_Name);
            e = before;
            return BIG::Status::InvalidArgument("the bigfile is full");
        }
        places.push_back(static_cast<uint32_t>(end >> 3));
    }
    auto at = [&](uint32_t place) { return BIG_POS::FromValue(mo_DataPos.ul_GetValue() + place); };

    // What an in-place save overwrites, so that a failure can put it back: every
    // copy and the entry then agree on the old content again.
    std::vector<uint8_t> old;
    if (!toEnd) {
        old.resize(static_cast<size_t>(oldLength) + 4);
        if (!bReadAt(*m_pFile, at(places[0]), old.data(), static_cast<uint32_t>(old.size()))) {
            e = before;
            m_fileCRCs.resize(crcCount);
            return BIG::Status::IOError(GetFileName(index) + ": its stored content cannot be read");
        }
    }
    // Every copy written so far, and the one whose write failed, get the old bytes back.
    auto restore = [&](size_t touched) {
        for (size_t k = 0; k < touched; ++k)
            eWriteAt(at(places[k]), old.data(), static_cast<uint32_t>(old.size()));
    };

    BIG::Status status;
    size_t written = 0;
    {
        PLT::ScopedLock<PLT::CriticalSection> lock(m_lock);
        // The stored form, length word first, unless the caller holds it: in
        // a buffer kept from save to save, since a split saves tens of
        // thousands of contents, and a fresh zeroed buffer for each cost an
        // allocation and a pass over the bytes.
        const size_t storedSize = static_cast<size_t>(size) + 4;
        if (stored == nullptr) {
            if (m_storedImage.size() < storedSize)
                m_storedImage.resize(storedSize);
            BIG::Endian::Put32(m_storedImage.data(), size);
            if (size != 0)
                std::memcpy(m_storedImage.data() + 4, buffer, size);
            stored = m_storedImage.data();
        }
        for (; written < places.size() && status.bOk(); ++written)
            status = eWriteAt(at(places[written]), stored, static_cast<uint32_t>(storedSize));
        if (m_storedImage.size() > kKeptStoredImage)
            std::vector<uint8_t>().swap(m_storedImage);
    }
    if (status.bOk()) {
        if (toEnd) {
            // Moved to the end: the content is now an ordinary one of this bigfile.
            e.ul_Pos = places[0];
            e.uc_StorageFlags &= static_cast<uint8_t>(
                ~(BIG_st_FileEntry::kStorageCopyList | BIG_st_FileEntry::kStoragePackage));
        }
        status = eWriteFileEntry(index);
    }
    if (!status.bOk()) {
        if (!toEnd)
            restore(written);
        const bool entryTouched = written == places.size();
        e = before;
        if (entryTouched)
            eWriteFileEntry(index);  // the entry write may have landed: the old one again
        m_fileCRCs.resize(crcCount);
        return status;
    }
    if (bWatchesAll() || (e.ul_Flags & BIG_st_FileEntry::kFlagWatched) != 0 ||
        (e.uw_Dir < muw_DirCount && (mast_Dir[e.uw_Dir].uc_Flags & BIG_st_DirEntry::kFlagWatched) != 0))
        Notify(e.uw_Dir, index, e.ul_Key, kEventFileSaved);
    return BIG::Status::Ok();
}

void BIG_cl_Fat::PrepareSaveBuffer(uint32_t size) {
    if (m_saveBuffer.size() < static_cast<size_t>(size) + 4)
        m_saveBuffer.resize(static_cast<size_t>(size) + 4);  // "BIG_cl_Fat : Save buffer"
    mul_SaveUsed = 0;
    m_saveRefs.clear();
    // Reserved by the first save, not by every table that is only read.
    m_saveRefs.reserve(kRefBufferSize / sizeof(uint32_t));
}

void BIG_cl_Fat::AppendToSaveBuffer(const void* data, uint32_t size) {
    if (size == 0)
        return;
    const size_t need = static_cast<size_t>(mul_SaveUsed) + size;
    if (m_saveBuffer.size() < need)
        m_saveBuffer.resize(need);
    std::memcpy(m_saveBuffer.data() + mul_SaveUsed, data, size);
    mul_SaveUsed = static_cast<uint32_t>(need);
}

void BIG_cl_Fat::SaveBufferInFile(uint32_t index) {
    const size_t refBytes = m_saveRefs.size() * sizeof(uint32_t);
    if (refBytes > kRefBufferSize || mul_SaveUsed > m_saveBuffer.size()) {
        ERR_X_RaisePrintf("Assert", "SaveBufferInFile: Buffer is full for file %s",
                          index < mul_FileCount ? mast_File[index].sz_Name : "?");
        mul_SaveUsed = 0;
        m_saveRefs.clear();
        Raise(BIG::Status::InvalidArgument("the save buffer is full"));
        return;
    }
    uint32_t total = mul_SaveUsed;
    if (muw_FormatNb >= kFirstFormatWithRefs) {
        // The reference table goes in front: move the content forward.
        const uint32_t head = static_cast<uint32_t>(4 + refBytes);
        if (m_saveBuffer.size() < static_cast<size_t>(mul_SaveUsed) + head)
            m_saveBuffer.resize(static_cast<size_t>(mul_SaveUsed) + head);
        std::memmove(m_saveBuffer.data() + head, m_saveBuffer.data(), mul_SaveUsed);
        BIG::Endian::Put32(m_saveBuffer.data(), static_cast<uint32_t>(m_saveRefs.size()));
        for (size_t i = 0; i < m_saveRefs.size(); ++i)
            BIG::Endian::Put32(m_saveBuffer.data() + 4 + 4 * i, m_saveRefs[i]);
        total += head;
    }
    SaveFile(index, m_saveBuffer.data(), total);
    mul_SaveUsed = 0;
    m_saveRefs.clear();
}

void BIG_cl_Fat::SaveFileTwoParts(uint32_t index, const void* data, uint32_t dataSize, const void* header,
                                  uint32_t headerSize) {
    if (muw_FormatNb < kFirstFormatWithRefs) {
        ERR_X_Raise("Assert", "Unsupported big file version!");
        return;
    }
    // The caller's reference list stays: it heads the content.
    mul_SaveUsed = 0;
    AppendToSaveBuffer(header, headerSize);
    AppendToSaveBuffer(data, dataSize);
    SaveBufferInFile(index);
}

void BIG_cl_Fat::SaveLinkFile(uint32_t index, uint32_t v0, uint32_t v1, uint32_t v2, uint32_t v3) {
    uint8_t content[kLinkFileSize];
    BIG::Endian::Put32(content, 4);
    BIG::Endian::Put32(content + 4, v0);
    BIG::Endian::Put32(content + 8, v1);
    BIG::Endian::Put32(content + 12, v2);
    BIG::Endian::Put32(content + 16, v3);
    SaveFile(index, content, sizeof content);
    if (index >= mul_FileCount)
        return;
    mast_File[index].ul_Flags &= ~BIG_st_FileEntry::kFlagLinkMask;
    WriteFileEntry(index);
}
