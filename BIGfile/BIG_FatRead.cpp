// Reading the header and the tables of a bigfile, with every count and link
// checked against what the container can hold before it is used.
#include <cctype>
#include <cstring>
#include <memory>
#include <sstream>
#include <vector>

#include "BIGfile/BIG_Endian.h"
#include "BIGfile/BIG_Fat.h"
#include "BIGfile/BIG_FatHeader.h"
#include "BIGfile/BIG_ReducedFileEntry.h"
#include "ERRor/ERR_Assert.h"
#include "ERRor/ERR_Log.h"
#include "platform/File.h"
#include "platform/Memory.h"
#include "platform/Xattr.h"

namespace {

constexpr uint8_t kMinAlignmentShift = 3;
// Larger shifts cannot describe a place that a 32-bit position reaches.
constexpr uint8_t kMaxAlignmentShift = 31;
constexpr uint32_t kFileIoGranularity = 65536;
constexpr size_t kMaxDataRootLength = 31;
constexpr const char* kClientStream = "P4Client.stream";
// On-disk positions that no 8-byte position can hold become this value, which
// lies beyond every container and so reads as an invalid position.
constexpr uint32_t kUnreachablePos = 0xFFFFFFFE;

// The in-memory form of a stored position: alignment units become 8-byte
// units; a copy-list or package position is an index and stays. `*far` is set
// for a position that no 8-byte position can hold.
uint32_t ul_PosInMemory(uint32_t pos, uint8_t storageFlags, uint8_t shift, bool* far) {
    *far = false;
    if ((storageFlags & (BIG_st_FileEntry::kStorageCopyList | BIG_st_FileEntry::kStoragePackage)) != 0 ||
        pos == BIG_st_FileEntry::kNone)
        return pos;
    const uint64_t bytes = static_cast<uint64_t>(pos) << shift;
    if (bytes >= BIG_POS::kByteLimit) {
        *far = true;
        return kUnreachablePos;
    }
    return static_cast<uint32_t>(bytes >> 3);
}

// The file table's read buffer: megabytes, filled by each read before use.
class TableReadBuffer {
public:
    explicit TableReadBuffer(size_t size)
        : m_size(size), m_data(static_cast<uint8_t*>(PLT::AllocLargeBlock(size))) {}
    ~TableReadBuffer() { PLT::FreeLargeBlock(m_data, m_size); }
    TableReadBuffer(const TableReadBuffer&) = delete;
    TableReadBuffer& operator=(const TableReadBuffer&) = delete;
    uint8_t* get() const { return m_data; }

private:
    size_t m_size;
    uint8_t* m_data;
};

}  // namespace

using BIG::Endian::Get32;
using BIG::Endian::Get8;

bool BIG_cl_Fat::bCountsFit(BIG::File& file, uint32_t fileCount, uint16_t dirCount, bool reduced) const {
    if (!file.bIsOpen())
        return false;
    const uint64_t start = file.oGetFileContentStart().ull_GetByteOffset();
    const uint64_t end = file.oGetFileContentEnd().ull_GetByteOffset();
    const uint64_t fat = ull_AlignUp(start + kHeaderSize);
    const uint64_t entrySize = reduced ? BIG_st_ReducedFileEntry::kEncodedSize : kFileEntrySize;
    // 64-bit products of 32-bit and 16-bit counts cannot overflow.
    const uint64_t fileBytes = static_cast<uint64_t>(fileCount) * entrySize;
    if (fat > end || fileBytes > end - fat)
        return false;
    // The directory table is placed after a 96-byte stride in every case.
    const uint64_t dir = ull_AlignUp(fat + static_cast<uint64_t>(fileCount) * kFileEntrySize);
    const uint64_t data = ull_AlignUp(dir + static_cast<uint64_t>(dirCount) * kDirEntrySize);
    if (data >= BIG_POS::kByteLimit)
        return false;
    if (reduced)
        return true;
    return dir <= end && static_cast<uint64_t>(dirCount) * kDirEntrySize <= end - dir;
}

bool BIG_cl_Fat::ReadFatHeader(uint8_t* outReduced, BIG::File* container) {
    return bReadFatHeader(outReduced, container, FileTablePrep::eFill);
}

bool BIG_cl_Fat::bReadFatHeader(uint8_t* outReduced, BIG::File* container, FileTablePrep prep) {
    BIG::File& file = container != nullptr ? *container : *m_pFile;
    uint8_t raw[BIG_st_FatHeader::kEncodedSize] = {};
    BIG_st_FatHeader header;
    // A header that cannot be read is not used: its counts would size the tables.
    if (!file.bIsOpen() || !bReadAt(file, file.oGetFileContentStart(), raw, sizeof raw) ||
        !BIG_st_FatHeader::bDecode(raw, sizeof raw, &header)) {
        if (!file.bIsOpen())
            ERR_X_Raise("Assert", "Failed reading BF!");
        ClearTables();
        return false;
    }

    const bool shiftUsable =
        header.uc_AlignmentShift >= kMinAlignmentShift && header.uc_AlignmentShift <= kMaxAlignmentShift;
    if (!shiftUsable) {
        ERR_X_Raise("Assert",
                    "Failed to set content alignment, the big file is not compatible with this version of "
                    "Marlin!");
    } else {
        file.SetAlignmentShift(header.uc_AlignmentShift);
    }

    const bool reduced = (header.uc_ReducedFat & BIG_st_FatHeader::kReducedFatBit) != 0;
    if (!bCountsFit(file, header.ul_FileCount, header.uw_DirCount, reduced)) {
        ERR_X_RaisePrintf(
            "Assert",
            "Corrupt bigfile %s: its header lists %u files and %u directories, more than the file "
            "holds.",
            m_pFile->GetPath().c_str(), header.ul_FileCount, header.uw_DirCount);
        ClearTables();
        return false;
    }

    if (header.ul_FileCount != mul_FileCount || mast_File.size() != header.ul_FileCount)
        ResizeFileTable(header.ul_FileCount, prep);
    m_keyHolder.SetFileCount(prep == FileTablePrep::eNone ? 0 : header.ul_FileCount);
    const uint64_t start = file.oGetFileContentStart().ull_GetByteOffset();
    mo_FatPos = BIG_POS(ull_AlignUp(start + kHeaderSize));

    mb_Reduced = reduced;
    muc_HeaderFlags = header.uc_HeaderFlags;
    if (reduced)
        muc_HeaderFlags |= BIG_st_FatHeader::kHeaderFlagLinearized;
    if (outReduced != nullptr)
        *outReduced = header.uc_ReducedFat;

    ms_Label = header.sz_Label;
    mul_SyncedCL = header.ul_SyncedCL;
    mul_ReferenceCL = header.ul_ReferenceCL;
    if (header.uw_DirCount != muw_DirCount || mast_Dir.size() != header.uw_DirCount)
        ResizeDirTable(header.uw_DirCount);
    muw_FormatNb = header.uw_FormatNb;

    mo_DirPos = BIG_POS(ull_AlignUp(mo_FatPos.ull_GetByteOffset() +
                                    static_cast<uint64_t>(header.ul_FileCount) * kFileEntrySize));
    mo_DataPos = BIG_POS(ull_AlignUp(mo_DirPos.ull_GetByteOffset() +
                                     static_cast<uint64_t>(header.uw_DirCount) * kDirEntrySize));
    muw_TempDirIndex = header.uw_TempDirIndex;

    // The client name kept beside the bigfile wins over the header's copy.
    std::string stream;
    if (!m_pFile->GetPath().empty() && PLT::ReadStream(m_pFile->GetPath(), kClientStream, &stream)) {
        std::istringstream words(stream);
        std::string word;
        words >> word;
        ms_ClientName = word.substr(0, 255);
    } else {
        ms_ClientName = header.sz_ClientName;
    }

    mul_LastSubmittedCL = header.ul_LastSubmittedCL;
    mul_PackageWord = header.ul_PackageWord;
    muc_HeaderByte = header.uc_HeaderByte;
    ms_DataRoot.assign(header.sz_DataRoot, strnlen(header.sz_DataRoot, kMaxDataRootLength));
    if (ms_DataRoot.empty())
        ms_DataRoot = kDefaultDataRoot;
    // Applied as far as it goes, but positions counted in another unit than
    // the writer's would point at the wrong bytes: no table is read with it.
    return shiftUsable;
}

bool BIG_cl_Fat::ReadFat(bool clearData) {
    return bReadTables(clearData, 0, nullptr);
}

bool BIG_cl_Fat::bListFilesOfType(uint8_t type, std::vector<BIG_st_ListedFile>* out) {
    out->clear();
    // The listing leaves no table behind, so it must not repair anything on disk.
    if (m_pFile->bIsOpen() && !m_pFile->bIsReadOnly()) {
        ERR_X_Raise("Assert", "bListFilesOfType: the bigfile must be opened read-only");
        return false;
    }
    const bool ok = bReadTables(false, type, out);
    ClearTables();
    if (!ok)
        out->clear();
    return ok;
}

bool BIG_cl_Fat::bReadTables(bool clearData, uint8_t listType, std::vector<BIG_st_ListedFile>* listed) {
    if (!bReadFatHeader(nullptr, nullptr,
                        listed != nullptr ? FileTablePrep::eNone : FileTablePrep::eReserve)) {
        ClearTables();
        return false;
    }
    m_pFile->SetReadGranularity(kFileIoGranularity);
    m_pFile->SetMergeThreshold(kFileIoGranularity);

    if (mb_Reduced) {
        // The reduced table sets a few fields of each entry; the others stay as a resize leaves them.
        if (listed == nullptr && mast_File.size() != mul_FileCount)
            mast_File.resize(mul_FileCount, BIG_st_FileEntry::Zeroed());
        if (!m_pFile->bIsReadOnly()) {
            ERR_X_Raise("Assert", "Unable to read reduced FAT in read/write mode");
            return false;
        }
        return bReadReducedTable(clearData, listType, listed);
    }

    if (muw_DirCount == 0) {
        ERR_X_RaisePrintf("Assert", "Corrupt bigfile %s: it has no directory table.",
                          m_pFile->GetPath().c_str());
        ClearTables();
        return false;
    }
    maul_LastFileOfDir.clear();
    if (!bReadFileTable(clearData, listType, listed) || !bReadDirTable())
        return false;
    // A listing keeps no file table: nothing below may walk one.
    if (listed != nullptr)
        mul_FileCount = 0;
    if (!mast_Dir[kRootDir].bIsUsed()) {
        ERR_X_RaisePrintf("Assert", "Corrupt bigfile %s: its root directory is missing.",
                          m_pFile->GetPath().c_str());
        ClearTables();
        return false;
    }
    const uint16_t loop = uw_FindDirectoryLoop();
    if (loop != kNoDir) {
        ERR_X_RaisePrintf("Assert", "Corrupt bigfile %s: directory %u lies in a loop of parent directories.",
                          m_pFile->GetPath().c_str(), loop);
        ClearTables();
        return false;
    }

    mul_FirstFreeFile = 0;
    for (uint32_t i = 0; i < mul_FileCount; ++i) {
        if (mast_File[i].ul_Key == 0) {
            mul_FirstFreeFile = i;
            break;
        }
    }
    muw_FirstFreeDir = 0;
    while (muw_FirstFreeDir < muw_DirCount && mast_Dir[muw_FirstFreeDir].bIsUsed())
        ++muw_FirstFreeDir;

    // Repairing may create a directory and so grow the tables: indexes come after.
    RepairTempDir();
    if (listed != nullptr)
        return true;
    RebuildIndexes();
    ScanLooseKeyFiles();
    return true;
}

uint16_t BIG_cl_Fat::uw_FindDirectoryLoop() const {
    // Paths are made by walking parents until "none", so the root must name none
    // either: a parent inside the table would lead the walk on, back to it.
    if (mast_Dir[kRootDir].uw_Parent < muw_DirCount)
        return kRootDir;
    // Each walk stops at the first entry already settled, so every entry is
    // stepped on once: O(DirCount) in all.
    enum : uint8_t { kUnknown, kOnPath, kSettled };
    std::vector<uint8_t> state(muw_DirCount, kUnknown);
    state[kRootDir] = kSettled;
    std::vector<uint16_t> path;
    for (uint16_t d = 1; d < muw_DirCount; ++d) {
        if (!mast_Dir[d].bIsUsed() || state[d] != kUnknown)
            continue;
        path.clear();
        uint16_t at = d;
        while (at < muw_DirCount && state[at] == kUnknown) {
            state[at] = kOnPath;
            path.push_back(at);
            at = mast_Dir[at].uw_Parent;
        }
        if (at < muw_DirCount && state[at] == kOnPath)
            return at;
        for (uint16_t p : path)
            state[p] = kSettled;
    }
    return kNoDir;
}

bool BIG_cl_Fat::bReadFileTable(bool clearData, uint8_t listType, std::vector<BIG_st_ListedFile>* listed) {
    const uint32_t count = mul_FileCount;
    const TableReadBuffer chunk(static_cast<size_t>(std::min(count, kFileReadChunk)) * kFileEntrySize);
    const uint8_t shift = uc_Shift();
    uint32_t unreachable = 0;

    auto decode = [&](uint32_t first, uint32_t n) {
        for (uint32_t i = 0; i < n; ++i) {
            const uint8_t* raw = chunk.get() + static_cast<size_t>(i) * kFileEntrySize;
            bool far = false;
            if (listed != nullptr) {
                // Only what the listing and the position warning need is looked at.
                ul_PosInMemory(Get32(raw + BIG_st_FileEntry::kOffPos),
                               Get8(raw + BIG_st_FileEntry::kOffStorageFlags), shift, &far);
                unreachable += far ? 1 : 0;
                if (Get8(raw + BIG_st_FileEntry::kOffType) != listType ||
                    Get32(raw + BIG_st_FileEntry::kOffKey) == 0)
                    continue;
                BIG_st_FileEntry e;
                BIG_st_FileEntry::bDecode(raw, kFileEntrySize, &e);
                listed->push_back(BIG_st_ListedFile{first + i, e.ul_Key, FileNameOf(e)});
                continue;
            }
            BIG_st_FileEntry e;
            BIG_st_FileEntry::bDecode(raw, kFileEntrySize, &e);
            // The loose-file bit belongs to this process; the scan sets it again.
            e.uc_StorageFlags &= static_cast<uint8_t>(~BIG_st_FileEntry::kStorageLooseKey);
            if (clearData)
                e.ul_DataInMemory = 0;
            e.ul_Pos = ul_PosInMemory(e.ul_Pos, e.uc_StorageFlags, shift, &far);
            unreachable += far ? 1 : 0;
            // Entries past the table's old size are appended into the room reserved for them.
            const uint32_t index = first + i;
            if (index < mast_File.size())
                mast_File[index] = e;
            else
                mast_File.push_back(e);
        }
    };

    bool ok = true;
    uint32_t done = 0;
    {
        PLT::ScopedLock<PLT::CriticalSection> lock(m_lock);
        while (ok && count - done > kFileReadChunk) {
            ok = bReadAt(*m_pFile, mo_FatPos, chunk.get(), kFileReadChunk * kFileEntrySize,
                         static_cast<uint64_t>(done) * kFileEntrySize);
            if (ok) {
                decode(done, kFileReadChunk);
                done += kFileReadChunk;
            }
        }
        if (ok && count > done) {
            const uint32_t rest = count - done;
            ok = bReadAt(*m_pFile, mo_FatPos, chunk.get(), rest * kFileEntrySize,
                         static_cast<uint64_t>(done) * kFileEntrySize);
            if (ok)
                decode(done, rest);
        }
    }
    // What a failed read did not reach stays as a resize leaves it.
    if (listed == nullptr && mast_File.size() < count)
        mast_File.resize(count, BIG_st_FileEntry::Zeroed());
    if (unreachable != 0)
        ERR_LogPrintf(ERR_Level_Warning, ERR_Cat_Others, "%s: %u file positions lie beyond any bigfile.\n",
                      m_pFile->GetPath().c_str(), unreachable);
    return ok;
}

bool BIG_cl_Fat::bReadReducedTable(bool clearData, uint8_t listType, std::vector<BIG_st_ListedFile>* listed) {
    constexpr size_t kSize = BIG_st_ReducedFileEntry::kEncodedSize;
    const uint8_t shift = uc_Shift();
    std::vector<uint8_t> raw(static_cast<size_t>(mul_FileCount) *
                             kSize);  // "BIG_cl_Fat::ReadFat() temp pReducedFAT"
    if (mul_FileCount != 0) {
        // The reduced table is at most 10 × FileCount bytes: the count check bounds one read to the file.
        if (raw.size() > UINT32_MAX ||
            !bReadAt(*m_pFile, mo_FatPos, raw.data(), static_cast<uint32_t>(raw.size())))
            return false;
    }
    for (uint32_t i = 0; i < mul_FileCount; ++i) {
        BIG_st_ReducedFileEntry r;
        BIG_st_ReducedFileEntry::bDecode(raw.data() + static_cast<size_t>(i) * kSize, kSize, &r);
        if (listed != nullptr) {
            // A reduced entry has no name: the listing gives what a new table holds.
            if (r.uc_Type == listType && r.ul_Key != 0) {
                BIG_st_FileEntry e = BIG_st_FileEntry::Zeroed();
                e.uc_Type = r.uc_Type;
                listed->push_back(BIG_st_ListedFile{i, r.ul_Key, FileNameOf(e)});
            }
            continue;
        }
        BIG_st_FileEntry& e = mast_File[i];
        bool far = false;
        e.ul_Pos = ul_PosInMemory(r.ul_Pos, r.uc_StorageFlags, shift, &far);
        e.ul_Key = r.ul_Key;
        e.uc_Type = r.uc_Type;
        e.uc_StorageFlags = r.uc_StorageFlags & static_cast<uint8_t>(~BIG_st_FileEntry::kStorageLooseKey);
        e.ul_Checksum = 0;
        if (clearData)
            e.ul_DataInMemory = 0;
    }
    return true;
}

bool BIG_cl_Fat::bReadDirTable() {
    const size_t size = static_cast<size_t>(muw_DirCount) * kDirEntrySize;
    const auto raw = std::make_unique_for_overwrite<uint8_t[]>(size);  // filled by the read
    if (!bReadAt(*m_pFile, mo_DirPos, raw.get(), static_cast<uint32_t>(size)))
        return false;
    for (uint16_t i = 0; i < muw_DirCount; ++i)
        BIG_st_DirEntry::bDecode(raw.get() + static_cast<size_t>(i) * kDirEntrySize, kDirEntrySize,
                                 &mast_Dir[i]);
    return true;
}

void BIG_cl_Fat::RepairTempDir() {
    if (muw_TempDirIndex != 0 && muw_TempDirIndex < muw_DirCount && mast_Dir[muw_TempDirIndex].bIsUsed())
        return;
    muw_TempDirIndex = kNoDir;
    if (m_pFile->bIsReadOnly()) {
        // A read-only bigfile gets its "Temp" directory in memory only, and only
        // in a free entry: it never grows or moves anything.
        if (uw_FindFreeDir() == kNoDir) {
            ERR_LogPrintf(ERR_Level_Warning, ERR_Cat_Others,
                          "%s: the Temp directory is missing and the directory table is full; it is not "
                          "repaired in a read-only open.\n",
                          m_pFile->GetPath().c_str());
            return;
        }
        mb_NoWrite = true;
        muw_TempDirIndex = uw_CreateDir(kTempDirName, kRootDir);
        mb_NoWrite = false;
        return;
    }
    const uint16_t temp = uw_CreateDir(kTempDirName, kRootDir);
    muw_TempDirIndex = temp;
    if (temp != kNoDir)
        WriteFatHeader();
}

void BIG_cl_Fat::ScanLooseKeyFiles() {
    m_looseKeyFiles.clear();
    const std::string folder = PLT::CurrentDirectory();
    std::vector<std::string> names;
    if (folder.empty() || !PLT::ListDirectory(folder, &names))
        return;
    for (const std::string& name : names) {
        // Exactly eight hexadecimal digits and ".key" (any case, as the name match is on Windows).
        if (name.size() != 12 || name[8] != '.' || std::tolower(static_cast<unsigned char>(name[9])) != 'k' ||
            std::tolower(static_cast<unsigned char>(name[10])) != 'e' ||
            std::tolower(static_cast<unsigned char>(name[11])) != 'y')
            continue;
        uint32_t key = 0;
        bool hex = true;
        for (int i = 0; i < 8 && hex; ++i) {
            const int c = static_cast<unsigned char>(name[i]);
            hex = std::isxdigit(c) != 0;
            key = (key << 4) | static_cast<uint32_t>(std::isdigit(c) ? c - '0' : std::tolower(c) - 'a' + 10);
        }
        if (!hex || key == kNoKey)
            continue;
        const uint32_t index = m_keyIndex.Find(key);
        if (index == BIG_cl_HashTable::kNone)
            continue;
        mast_File[index].uc_StorageFlags |= BIG_st_FileEntry::kStorageLooseKey;
        // Keep the name as found: on Linux the case of the name matters.
        m_looseKeyFiles[key] = folder + "/" + name;
    }
}
