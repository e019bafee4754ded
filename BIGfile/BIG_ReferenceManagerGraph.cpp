// The reference manager's graph work: loading and saving the IDX file,
// indexing every file, applying changes, statistics. Everything here runs
// under the main lock (on the worker, or in Stop once it has ended).
#include <algorithm>

#include "BIGfile/BIG_ContentHead.h"
#include "BIGfile/BIG_Fat.h"
#include "BIGfile/BIG_RefIndexFile.h"
#include "BIGfile/BIG_ReferenceManager.h"
#include "ERRor/ERR_Assert.h"
#include "ERRor/ERR_Log.h"
#include "platform/File.h"
#include "platform/Process.h"

namespace BIG {

namespace {

constexpr uint8_t kOutsideStorage = BIG_st_FileEntry::kStorageLooseKey | BIG_st_FileEntry::kStoragePackage;
constexpr size_t kStackKeyBytes = 1024;

float Percent(size_t done, size_t total) {
    return total == 0 ? 100.0f : static_cast<float>(done) * 100.0f / static_cast<float>(total);
}

bool bByKey(const std::unique_ptr<FileInfos>& infos, uint32_t key) {
    return infos->ul_Key < key;
}

void RaiseRemoveTooMany() {
    ERR_X_Raise("AssertExIgnore", "Remove too many references");
}

}  // namespace

// ---- table ----------------------------------------------------------------------

const FileInfos* ReferenceManager::pst_Find(uint32_t key) const {
    return pst_FindMutable(key);
}

FileInfos* ReferenceManager::pst_FindMutable(uint32_t key) const {
    const auto it = std::lower_bound(m_table.begin(), m_table.end(), key, bByKey);
    return it != m_table.end() && (*it)->ul_Key == key ? it->get() : nullptr;
}

FileInfos& ReferenceManager::GetOrCreate(uint32_t key, bool present) {
    const auto it = std::lower_bound(m_table.begin(), m_table.end(), key, bByKey);
    if (it != m_table.end() && (*it)->ul_Key == key)
        return **it;
    auto infos = std::make_unique<FileInfos>();
    infos->ul_Key = key;
    infos->uc_Present = present ? 1 : 0;
    return **m_table.insert(it, std::move(infos));
}

void ReferenceManager::EraseEntry(uint32_t key) {
    const auto it = std::lower_bound(m_table.begin(), m_table.end(), key, bByKey);
    if (it != m_table.end() && (*it)->ul_Key == key)
        m_table.erase(it);
}

void ReferenceManager::ClearTable() {
    m_table.clear();
}

bool ReferenceManager::bGetInfos(uint32_t key, FileInfos* out) {
    PLT::ScopedLock<PLT::Mutex> lock(m_mainLock);
    const FileInfos* infos = pst_Find(key);
    if (infos == nullptr)
        return false;
    *out = *infos;
    return true;
}

size_t ReferenceManager::GetEntryCount() {
    PLT::ScopedLock<PLT::Mutex> lock(m_mainLock);
    return m_table.size();
}

std::vector<FileInfos> ReferenceManager::Snapshot() {
    PLT::ScopedLock<PLT::Mutex> lock(m_mainLock);
    std::vector<FileInfos> copy;
    copy.reserve(m_table.size());
    for (const std::unique_ptr<FileInfos>& e : m_table)
        copy.push_back(*e);
    return copy;
}

std::vector<uint32_t> ReferenceManager::GetIsolatedFiles() {
    PLT::ScopedLock<PLT::Mutex> lock(m_mainLock);
    return m_isolated;
}

std::vector<uint32_t> ReferenceManager::GetSelfReferencingFiles() {
    PLT::ScopedLock<PLT::Mutex> lock(m_mainLock);
    return m_selfReferencing;
}

// ---- files of the bigfile ---------------------------------------------------------

bool ReferenceManager::bIsIndexable(uint32_t index) const {
    if (index >= m_fat.ul_GetFileCount())
        return false;
    const BIG_st_FileEntry& e = m_fat.FileEntry(index);
    return e.ul_Key != 0 && e.uc_Type != kTypeMta && (e.ul_Flags & kTemporaryFlag) == 0;
}

uint32_t ReferenceManager::ul_IndexableFileOf(uint32_t key) const {
    const uint32_t index = m_fat.ul_GetFileIndex(key, false);
    if (index == kNone || index >= m_fat.ul_GetFileCount() || m_fat.FileEntry(index).uc_Type == kTypeMta)
        return kNone;
    return index;
}

bool ReferenceManager::bReadKeys(uint32_t index, std::vector<uint32_t>* out) {
    out->clear();
    if (!m_fat.bIsFilePositionValid(index))
        return false;
    m_filesRead.fetch_add(1, std::memory_order_relaxed);
    const BIG_st_FileEntry& e = m_fat.FileEntry(index);
    using Head = BIG_st_ContentHead;
    Head head;
    uint8_t stackBytes[kStackKeyBytes];
    std::vector<uint8_t> heapBytes;
    auto keyBytes = [&](uint32_t n) -> uint8_t* {
        if (static_cast<size_t>(n) * Head::kKeySize <= kStackKeyBytes)
            return stackBytes;
        heapBytes.resize(static_cast<size_t>(n) * Head::kKeySize);
        return heapBytes.data();
    };
    uint32_t fit = 0;
    uint8_t* bytes = nullptr;

    if ((e.uc_StorageFlags & kOutsideStorage) != 0) {
        // Loose key files and packages: through the table's own readers.
        const uint32_t length = m_fat.ul_GetFileSize(index);
        uint8_t raw[Head::kCountSize];
        if (length == 0xFFFFFFFF || length < Head::kCountSize ||
            !m_fat.ReadFileContent(index, raw, 0, sizeof raw))
            return false;
        Head::bDecodeContent(raw, sizeof raw, length, &head);
        fit = head.ul_KeysThatFit();
        bytes = keyBytes(fit);
        if (fit != 0 && !m_fat.ReadFileContent(index, bytes, Head::kCountSize,
                                               fit * static_cast<uint32_t>(Head::kKeySize)))
            return false;
    } else {
        // Two small reads straight from the container: length and count, then the keys.
        PLT::ScopedLock<PLT::CriticalSection> lock(m_fat.Lock());
        BIG::FileEd& file = m_fat.File();
        const BIG_POS at = m_fat.oGetFileOffset(index);
        if (at.bIsNone())
            return false;
        const uint64_t end = file.oGetFileContentEnd().ull_GetByteOffset();
        const uint64_t first = at.ull_GetByteOffset() + Head::kLengthSize;
        if (first > end || end - first < Head::kCountSize)
            return false;
        uint8_t stored[Head::kEncodedSize];
        if (file.eRead(at, stored, sizeof stored) != eFile_Ok || !Head::bDecode(stored, sizeof stored, &head))
            return false;
        if (head.ul_Length > end - first) {
            ERR_LogPrintf(ERR_Level_Warning, ERR_Cat_Bigfile,
                          "Indexation: file %08X has a length beyond the end of the bigfile, skipped\n",
                          e.ul_Key);
            return false;
        }
        if (!head.bHasTable())
            return false;
        fit = head.ul_KeysThatFit();
        bytes = keyBytes(fit);
        if (fit != 0 &&
            file.eRead(at, bytes, fit * static_cast<uint32_t>(Head::kKeySize), Head::kOffKeys) != eFile_Ok)
            return false;
    }
    if (head.ul_RefCount > fit)
        ERR_LogPrintf(ERR_Level_Warning, ERR_Cat_Bigfile,
                      "Indexation: file %08X lists %u references but its content holds %u\n", e.ul_Key,
                      head.ul_RefCount, fit);
    out->resize(fit);
    Head::DecodeKeys(bytes, fit, out->data());
    return true;
}

void ReferenceManager::Link(FileInfos& from, uint32_t targetKey) {
    FileInfos* target = pst_FindMutable(targetKey);
    if (target == nullptr || target->uc_Present == 0) {
        if (ul_IndexableFileOf(targetKey) == kNone)
            return;
        if (target == nullptr)
            target = &GetOrCreate(targetKey, true);
        target->uc_Present = 1;
    }
    AddPairCount(from.References, targetKey, 1);
    AddPairCount(target->ReferencedBy, from.ul_Key, 1);
}

void ReferenceManager::IndexFile(uint32_t index) {
    if (!bIsIndexable(index))
        return;
    const uint32_t key = m_fat.FileEntry(index).ul_Key;
    FileInfos& infos = GetOrCreate(key, true);
    infos.uc_Present = 1;
    std::vector<uint32_t> keys;
    if (!bReadKeys(index, &keys))
        return;
    for (uint32_t k : keys) {
        if (k == key)
            ++infos.ul_SelfRefs;
        else
            Link(infos, k);
    }
}

void ReferenceManager::UpdateFile(uint32_t index) {
    if (!bIsIndexable(index))
        return;
    const uint32_t key = m_fat.FileEntry(index).ul_Key;
    FileInfos* infos = pst_FindMutable(key);
    if (infos == nullptr) {
        IndexFile(index);
        return;
    }
    infos->uc_Present = 1;
    KeyCountVector vanished = infos->References;
    infos->ul_SelfRefs = 0;
    std::vector<uint32_t> keys;
    bReadKeys(index, &keys);  // no readable content: every reference vanished
    for (uint32_t k : keys) {
        if (k == key)
            ++infos->ul_SelfRefs;
        else if (!bRemovePairCount(vanished, k, 1))
            Link(*infos, k);
    }
    for (const KeyCount& pair : vanished) {
        if (!bRemovePairCount(infos->References, pair.ul_Key, pair.ul_Count))
            RaiseRemoveTooMany();
        FileInfos* target = pst_FindMutable(pair.ul_Key);
        if (target == nullptr)
            continue;
        if (!bRemovePairCount(target->ReferencedBy, key, pair.ul_Count))
            RaiseRemoveTooMany();
        if (target->uc_Present == 0 && target->References.empty() && target->ReferencedBy.empty())
            EraseEntry(pair.ul_Key);
    }
}

void ReferenceManager::RemoveFileKey(uint32_t key) {
    FileInfos* infos = pst_FindMutable(key);
    if (infos == nullptr)
        return;
    std::vector<uint32_t> orphans;
    for (const KeyCount& pair : infos->References) {
        FileInfos* target = pst_FindMutable(pair.ul_Key);
        if (target == nullptr) {
            ERR_X_Raise("AssertExIgnore", "Inconsistences in index table!");
            continue;
        }
        if (!bRemovePairCount(target->ReferencedBy, key, pair.ul_Count))
            RaiseRemoveTooMany();
        // A removed file that nobody names any more leaves the graph with it.
        if (target->uc_Present == 0 && target->References.empty() && target->ReferencedBy.empty())
            orphans.push_back(pair.ul_Key);
    }
    infos->References.clear();
    infos->ul_SelfRefs = 0;
    infos->uc_Present = 0;
    if (infos->ReferencedBy.empty())
        EraseEntry(key);
    for (uint32_t orphan : orphans)
        EraseEntry(orphan);
}

// ---- steps --------------------------------------------------------------------------

void ReferenceManager::IndexAll() {
    mb_GraphDirty = true;
    ClearTable();
    m_isolated.clear();
    m_selfReferencing.clear();
    // Nodes of every indexed file first, in one sorted batch, so that linking
    // rarely has to insert into the sorted table.
    {
        std::vector<uint32_t> keys;
        keys.reserve(m_fat.ul_GetFileCount());
        for (uint32_t i = 0; i < m_fat.ul_GetFileCount(); ++i) {
            if (bIsIndexable(i))
                keys.push_back(m_fat.FileEntry(i).ul_Key);
        }
        std::sort(keys.begin(), keys.end());
        keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
        m_table.reserve(std::max(keys.size(), kInitialCapacity));
        for (uint32_t key : keys) {
            auto infos = std::make_unique<FileInfos>();
            infos->ul_Key = key;
            infos->uc_Present = 1;
            m_table.push_back(std::move(infos));
        }
    }
    for (uint32_t i = 0; i < m_fat.ul_GetFileCount(); ++i) {
        if (!bPausePoint())
            return;
        IndexFile(i);
        NotifyProgress(State_Indexing, Percent(i, m_fat.ul_GetFileCount()));
    }
}

bool ReferenceManager::bIsBigfileOlderThan(uint64_t idxModifiedNs) const {
    const BIG::FileEd& file = m_fat.File();
    const uint16_t segments = file.uw_GetSegmentCount();
    if (segments == 0)
        return false;
    for (uint16_t k = 0; k < segments; ++k) {
        const std::string name = k == 0 ? file.GetPath() : BIG::File::SegmentFileName(file.GetPath(), k);
        uint64_t modified = 0;
        uint64_t changed = 0;
        // File times come from a coarse clock: a bigfile written in the same
        // tick as the IDX file may have been written after it, so only a
        // strictly older bigfile is trusted. A change notified while the IDX
        // file was being written is caught when the manager stops.
        if (!PLT::GetPathTimes(name, &modified, &changed) || std::max(modified, changed) >= idxModifiedNs)
            return false;
    }
    return true;
}

bool ReferenceManager::bLoad() {
    ClearTable();
    m_isolated.clear();
    m_selfReferencing.clear();
    TakePending();

    uint64_t modified = 0;
    uint64_t changed = 0;
    uint64_t size = 0;
    if (!PLT::GetPathTimes(m_idxPath, &modified, &changed) || !PLT::GetPathSize(m_idxPath, &size))
        return false;
    std::vector<FileInfos> records;
    IdxFile::eDecode result = IdxFile::eDecode::BadSize;
    uint32_t duplicate = 0;
    if (size % 4 == 0 && size <= IdxFile::kMaxFileSize) {
        std::string data;
        if (!PLT::ReadWholeFile(m_idxPath, &data))
            return false;
        result =
            IdxFile::Decode(reinterpret_cast<const uint8_t*>(data.data()), data.size(), &records, &duplicate);
    }
    if (result != IdxFile::eDecode::Ok) {
        if (result == IdxFile::eDecode::DuplicateKey)
            ERR_X_Raise("AssertEx", "Duplicate key in the IDX file!");
        ERR_LogPrintf(ERR_Level_Warning, ERR_Cat_Bigfile,
                      "Indexation file %s set aside (%s), indexing every file\n", m_idxPath.c_str(),
                      IdxFile::sz_DecodeText(result));
        return false;
    }

    // Untouched since the graph was saved: only what it cannot know is read.
    const bool trusted = bIsBigfileOlderThan(modified);
    std::vector<PendingChange> rereads;
    m_table.reserve(std::max(records.size(), kInitialCapacity));
    for (size_t i = 0; i < records.size(); ++i) {
        auto infos = std::make_unique<FileInfos>(std::move(records[i]));
        const uint32_t index = ul_IndexableFileOf(infos->ul_Key);
        infos->uc_Present = index != kNone ? 1 : 0;
        if (index != kNone && (!trusted || (m_fat.FileEntry(index).uc_StorageFlags & kOutsideStorage) != 0))
            rereads.push_back(PendingChange{index, infos->ul_Key});
        m_table.push_back(std::move(infos));
        NotifyProgress(State_Loading, Percent(i, records.size()));
        if (bStopRequested())
            return true;
    }
    records.clear();
    records.shrink_to_fit();
    mb_GraphDirty = false;
    for (uint32_t i = 0; i < m_fat.ul_GetFileCount(); ++i) {
        if (bIsIndexable(i) && pst_FindMutable(m_fat.FileEntry(i).ul_Key) == nullptr)
            rereads.push_back(PendingChange{i, kNone});
    }
    {
        // Ahead of any change notified meanwhile, without counting as a change.
        PLT::ScopedLock<PLT::Mutex> lock(m_pendingLock);
        m_pending.insert(m_pending.begin(), rereads.begin(), rereads.end());
    }
    RemoveAbsentEntries();
    return true;
}

void ReferenceManager::RemoveAbsentEntries() {
    for (const std::unique_ptr<FileInfos>& entry : m_table) {
        FileInfos& e = *entry;
        if (e.uc_Present != 0)
            continue;
        for (const KeyCount& pair : e.References) {
            FileInfos* target = pst_FindMutable(pair.ul_Key);
            if (target == nullptr)
                ERR_X_Raise("AssertExIgnore", "Inconsistencies in index table!");
            else if (!bRemovePairCount(target->ReferencedBy, e.ul_Key, pair.ul_Count))
                RaiseRemoveTooMany();
        }
        for (const KeyCount& pair : e.ReferencedBy) {
            FileInfos* source = pst_FindMutable(pair.ul_Key);
            if (source == nullptr)
                ERR_X_Raise("AssertExIgnore", "Inconsistencies in index table!");
            else if (!bRemovePairCount(source->References, e.ul_Key, pair.ul_Count))
                RaiseRemoveTooMany();
        }
        e.References.clear();
        e.ReferencedBy.clear();
    }
    const auto absent =
        std::remove_if(m_table.begin(), m_table.end(),
                       [](const std::unique_ptr<FileInfos>& e) { return e->uc_Present == 0; });
    if (absent != m_table.end())
        mb_GraphDirty = true;
    m_table.erase(absent, m_table.end());
}

void ReferenceManager::ApplyPending(bool honourStop) {
    std::vector<PendingChange> changes = TakePending();
    if (!changes.empty())
        mb_GraphDirty = true;
    for (size_t i = 0; i < changes.size(); ++i) {
        if (honourStop && !bPausePoint()) {
            // Unapplied changes stay pending for whoever brings the graph up to date.
            PLT::ScopedLock<PLT::Mutex> lock(m_pendingLock);
            m_pending.insert(m_pending.begin(), changes.begin() + static_cast<std::ptrdiff_t>(i),
                             changes.end());
            return;
        }
        const PendingChange& c = changes[i];
        if (c.ul_File != kNone)
            UpdateFile(c.ul_File);
        else if (c.ul_Key != kNone)
            RemoveFileKey(c.ul_Key);
        NotifyProgress(State_Updating, Percent(i, changes.size()));
    }
}

bool ReferenceManager::bSave(bool honourStop) {
    const uint64_t generation = m_changeGeneration.load();
    const bool complete = !bHasPending();
    if (!complete)
        ERR_Log(ERR_Level_Warning, ERR_Cat_Bigfile,
                "Should not save index file if the indexation is not complete.");

    uint64_t size = IdxFile::kHeaderSize + IdxFile::kTrailerSize;
    uint32_t records = 0;
    for (const std::unique_ptr<FileInfos>& e : m_table) {
        if (e->uc_Present != 0) {
            size += IdxFile::ull_RecordSize(*e);
            ++records;
        }
    }
    if (size > IdxFile::kMaxFileSize) {
        ERR_X_Raise("Assert", "Can not create indexation file.");
        return false;
    }
    std::vector<uint8_t> buffer(static_cast<size_t>(size));
    IdxFile::EncodeHeader(buffer.data(), records);
    size_t at = IdxFile::kHeaderSize;
    for (size_t i = 0; i < m_table.size(); ++i) {
        if (honourStop && bStopRequested())
            return false;
        const FileInfos& e = *m_table[i];
        if (e.uc_Present != 0)
            at += IdxFile::EncodeRecord(e, buffer.data() + at, buffer.size() - IdxFile::kTrailerSize - at);
        NotifyProgress(State_Saving, Percent(i, m_table.size()));
    }
    if (at + IdxFile::kTrailerSize != buffer.size()) {
        ERR_X_Raise("Assert", "Save buffer size mismatch (possible memory crash)!");
        return false;
    }
    IdxFile::EncodeTrailer(buffer.data() + at);

    // The new graph is complete on disk before the old one moves aside. The
    // temporary name is this process's own: two runs over one bigfile never
    // write into each other's file.
    const std::string temporary = m_idxPath + ".tmp" + std::to_string(PLT::CurrentProcessId());
    const PLT::FileHandle out =
        PLT::OpenFile(temporary, PLT::Access::eReadWrite, PLT::Disposition::eCreateAlways);
    if (out == PLT::kInvalidFile) {
        // The graph is a cache: a folder that refuses it costs the next run an
        // indexation, not this run its result.
        if (!mb_IdxUnwritable)
            ERR_LogPrintf(ERR_Level_Warning, ERR_Cat_Bigfile,
                          "Indexation file %s cannot be written (%s); the references stay in memory\n",
                          m_idxPath.c_str(), PLT::ErrorText(PLT::LastError()).c_str());
        mb_IdxUnwritable = true;
        mb_GraphDirty = false;
        return false;
    }
    const bool written = PLT::WriteAt(out, 0, buffer.data(), buffer.size()) && PLT::Flush(out);
    PLT::CloseFile(out);
    if (!written) {
        PLT::RemoveFile(temporary);
        ERR_X_Raise("AssertEx", "Can not create indexation file.");
        return false;
    }
    if (PLT::FileExists(m_idxPath)) {
        const std::string backup = m_idxPath + ".backup";
        if (PLT::FileExists(backup))
            PLT::RemoveFile(backup);
        if (!PLT::RenameFile(m_idxPath, backup))
            ERR_X_Raise("AssertEx", "Unable to make an index file backup!\n");
    }
    if (!PLT::RenameFile(temporary, m_idxPath)) {
        PLT::RemoveFile(temporary);
        ERR_X_Raise("AssertEx", "Can not create indexation file.");
        return false;
    }
    mb_WroteIdx = true;
    mb_GraphDirty = false;
    mb_SavedComplete = complete;
    mull_SavedGeneration = generation;
    return true;
}

void ReferenceManager::ComputeStatistics() {
    m_isolated.clear();
    m_selfReferencing.clear();
    for (size_t i = 0; i < m_table.size(); ++i) {
        if (bStopRequested())
            return;
        const FileInfos& e = *m_table[i];
        if (e.uc_Present != 0 && e.References.empty() && e.ReferencedBy.empty())
            m_isolated.push_back(e.ul_Key);
        if (e.ul_SelfRefs != 0)
            m_selfReferencing.push_back(e.ul_Key);
        NotifyProgress(State_Statistics, Percent(i, m_table.size()));
    }
}

}  // namespace BIG
