#include "plugin/OVI_RefsFile.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "BIGfile/BIG_Endian.h"

namespace ORVEX {

using Fmt = OVI_RefsFileFormat;

bool OVI_RefBuffer::bReserve(uint64_t bytes) {
    bytes = (bytes + 3) & ~uint64_t{3};
    if (bytes <= mul_Capacity && m_data)
        return true;
    if (bytes > 0xFFFFFFFCu) {
        Release();
        return false;
    }
    uint64_t capacity = uint64_t{mul_Capacity} + kGrowStep;
    if (capacity < bytes)
        capacity = bytes;
    Release();
    m_data.reset(new (std::nothrow) uint32_t[capacity / 4]);
    if (!m_data)
        return false;
    mul_Capacity = static_cast<uint32_t>(capacity);
    ++mul_Allocations;
    return true;
}

void OVI_RefBuffer::Release() {
    m_data.reset();
    mul_Capacity = 0;
}

bool OVI_bEncodeRefsRecord(const FileRefRecord& record, const uint32_t* keys, std::vector<uint8_t>* out) {
    if (record.s_Name.size() > Fmt::kMaxNameLength)
        return false;
    const uint32_t nameLength = static_cast<uint32_t>(record.s_Name.size());
    const size_t start = out->size();
    out->resize(start + Fmt::kRecordHeadSize + nameLength + 4 + size_t{4} * record.ul_RefCount);
    uint8_t* p = out->data() + start;
    BIG::Endian::Put32(p + Fmt::kOffIndex, record.ul_Index);
    BIG::Endian::Put32(p + Fmt::kOffKey, record.ul_Key);
    BIG::Endian::Put32(p + Fmt::kOffSize, record.ul_Size);
    BIG::Endian::Put32(p + Fmt::kOffType, record.ul_Type);
    BIG::Endian::Put32(p + Fmt::kOffNameLength, nameLength);
    p += Fmt::kRecordHeadSize;
    std::memcpy(p, record.s_Name.data(), nameLength);
    p += nameLength;
    BIG::Endian::Put32(p, record.ul_RefCount);
    p += 4;
    for (uint32_t i = 0; i < record.ul_RefCount; ++i, p += 4)
        BIG::Endian::Put32(p, keys[i]);
    return true;
}

// ---- writer ----------------------------------------------------------------

OVI_RefsFileWriter::~OVI_RefsFileWriter() {
    Abandon();
}

void OVI_RefsFileWriter::Fail(const std::string& what) {
    if (!mb_Failed)
        ms_Error = what + " '" + ms_TempPath + "': " + PLT::ErrorText(PLT::LastError());
    mb_Failed = true;
}

bool OVI_RefsFileWriter::bCreate(const std::string& path, uint32_t count) {
    Abandon();
    ms_Path = path;
    ms_TempPath = path + Fmt::kTempSuffix;
    mb_Failed = false;
    ms_Error.clear();
    mull_Written = 0;
    mul_Records = 0;
    m_buffer.clear();
    mh_File = PLT::OpenFile(ms_TempPath, PLT::Access::eReadWrite, PLT::Disposition::eCreateAlways);
    if (mh_File == PLT::kInvalidFile) {
        Fail("cannot create");
        return false;
    }
    uint8_t header[Fmt::kHeaderSize];
    BIG::Endian::Put32(header, count);
    m_buffer.assign(header, header + sizeof header);
    return true;
}

bool OVI_RefsFileWriter::bFlushBuffer() {
    if (m_buffer.empty() || mb_Failed)
        return !mb_Failed;
    if (!PLT::WriteAt(mh_File, mull_Written, m_buffer.data(), m_buffer.size())) {
        Fail("cannot write");
        return false;
    }
    mull_Written += m_buffer.size();
    m_buffer.clear();
    return true;
}

bool OVI_RefsFileWriter::bAppend(const FileRefRecord& record, const uint32_t* keys) {
    if (!bIsOpen() || mb_Failed)
        return false;
    if (!OVI_bEncodeRefsRecord(record, keys, &m_buffer)) {
        mb_Failed = true;
        ms_Error = "the name of file " + std::to_string(record.ul_Index) + " is longer than " +
                   std::to_string(Fmt::kMaxNameLength) + " bytes";
        return false;
    }
    ++mul_Records;
    return m_buffer.size() < kFlushSize || bFlushBuffer();
}

bool OVI_RefsFileWriter::bCommit() {
    if (!bIsOpen())
        return false;
    bool ok = bFlushBuffer();
    if (ok && !PLT::Flush(mh_File)) {
        Fail("cannot flush");
        ok = false;
    }
    PLT::CloseFile(mh_File);
    mh_File = PLT::kInvalidFile;
    if (ok && !PLT::RenameFile(ms_TempPath, ms_Path)) {
        Fail("cannot rename");
        ok = false;
    }
    if (!ok)
        PLT::RemoveFile(ms_TempPath);
    m_buffer.clear();
    return ok;
}

void OVI_RefsFileWriter::Abandon() {
    if (!bIsOpen())
        return;
    PLT::CloseFile(mh_File);
    mh_File = PLT::kInvalidFile;
    PLT::RemoveFile(ms_TempPath);
    m_buffer.clear();
}

// ---- reader ----------------------------------------------------------------

OVI_RefsFileReader::~OVI_RefsFileReader() {
    Close();
}

void OVI_RefsFileReader::Close() {
    PLT::CloseFile(mh_File);
    mh_File = PLT::kInvalidFile;
    m_chunk.clear();
    m_chunk.shrink_to_fit();
}

bool OVI_RefsFileReader::bOpen(const std::string& path) {
    Close();
    ms_Error.clear();
    mull_FileSize = mull_Consumed = mull_ChunkAt = 0;
    m_chunkUsed = 0;
    mul_Count = mul_Read = 0;
    mh_File = PLT::OpenFile(path, PLT::Access::eRead, PLT::Disposition::eOpenExisting);
    if (mh_File == PLT::kInvalidFile || !PLT::GetFileSize(mh_File, &mull_FileSize)) {
        ms_Error = "cannot open '" + path + "': " + PLT::ErrorText(PLT::LastError());
        Close();
        return false;
    }
    uint8_t header[Fmt::kHeaderSize];
    if (!bTake(header, sizeof header)) {
        ms_Error = "'" + path + "' is shorter than its 4-byte header";
        Close();
        return false;
    }
    mul_Count = BIG::Endian::Get32(header);
    return true;
}

bool OVI_RefsFileReader::bTake(void* out, size_t count) {
    if (count > ull_Left())
        return false;
    uint8_t* dst = static_cast<uint8_t*>(out);
    while (count != 0) {
        const uint64_t chunkEnd = mull_ChunkAt + m_chunk.size();
        if (mull_Consumed >= chunkEnd || mull_Consumed < mull_ChunkAt) {
            // Refill from the current place, which a skip may have moved past
            // the chunk or a rewind before it; the last chunk may be short. A
            // file small enough is read whole, with the first refill.
            const uint64_t left = ull_Left();
            const size_t want = static_cast<size_t>(mull_FileSize <= mull_WholeFileMax ? left
                                                    : left < kChunkSize                ? left
                                                                                       : kChunkSize);
            m_chunk.resize(want);
            mull_ChunkAt = mull_Consumed;
            if (!PLT::ReadAt(mh_File, mull_ChunkAt, m_chunk.data(), want)) {
                ms_Error = "read failed: " + PLT::ErrorText(PLT::LastError());
                m_chunk.clear();
                return false;
            }
            continue;
        }
        const size_t from = static_cast<size_t>(mull_Consumed - mull_ChunkAt);
        const uint64_t inChunk = chunkEnd - mull_Consumed;
        const size_t n = static_cast<size_t>(inChunk < count ? inChunk : count);
        std::memcpy(dst, m_chunk.data() + from, n);
        dst += n;
        count -= n;
        mull_Consumed += n;
    }
    return true;
}

void OVI_RefsFileReader::Rewind() {
    if (mh_File == PLT::kInvalidFile)
        return;
    mull_Consumed = Fmt::kHeaderSize;
    mul_Read = 0;
    ms_Error.clear();
}

bool OVI_RefsFileReader::bSkip(uint64_t count) {
    if (count > ull_Left())
        return false;
    mull_Consumed += count;
    return true;
}

OVI_RefsFileReader::Next OVI_RefsFileReader::eNext(FileRefRecord* record, OVI_RefBuffer* keys) {
    return eRead(record, keys);
}

OVI_RefsFileReader::Next OVI_RefsFileReader::eSkip(FileRefRecord* record) {
    return eRead(record, nullptr);
}

OVI_RefsFileReader::Next OVI_RefsFileReader::eRead(FileRefRecord* record, OVI_RefBuffer* keys) {
    if (mh_File == PLT::kInvalidFile)
        return Next::eError;
    if (ull_Left() == 0)
        return Next::eEnd;
    const uint32_t number = mul_Read;
    auto fail = [&](const std::string& what) {
        if (ms_Error.empty())
            ms_Error = what;
        ms_Error = "record " + std::to_string(number) + ": " + ms_Error;
        return Next::eError;
    };
    // Formatted only for a message: most records are read without one.
    auto keyText = [](uint32_t key) {
        char text[16];
        std::snprintf(text, sizeof text, "0x%08X", key);
        return std::string(text);
    };

    uint8_t head[Fmt::kRecordHeadSize];
    if (!bTake(head, sizeof head))
        return fail("the file ends inside the record");
    FileRefRecord r;
    r.ul_Index = BIG::Endian::Get32(head + Fmt::kOffIndex);
    r.ul_Key = BIG::Endian::Get32(head + Fmt::kOffKey);
    r.ul_Size = BIG::Endian::Get32(head + Fmt::kOffSize);
    r.ul_Type = BIG::Endian::Get32(head + Fmt::kOffType);
    const uint32_t nameLength = BIG::Endian::Get32(head + Fmt::kOffNameLength);
    if (nameLength > Fmt::kMaxNameLength)
        return fail("key " + keyText(r.ul_Key) + " has a name of " + std::to_string(nameLength) +
                    " bytes, more than " + std::to_string(Fmt::kMaxNameLength));
    bool named = false;
    if (keys != nullptr) {
        r.s_Name.resize(nameLength);
        named = bTake(r.s_Name.data(), nameLength);
    } else {
        named = bSkip(nameLength);
    }
    uint8_t countBytes[4];
    if (!named || !bTake(countBytes, sizeof countBytes))
        return fail("the file ends inside the record of key " + keyText(r.ul_Key));
    r.ul_RefCount = BIG::Endian::Get32(countBytes);
    const uint64_t keyBytes = uint64_t{4} * r.ul_RefCount;
    if (keyBytes > ull_Left())
        return fail("key " + keyText(r.ul_Key) + " claims " + std::to_string(r.ul_RefCount) +
                    " references, more than the " + std::to_string(ull_Left()) + " bytes left hold");
    if (keys == nullptr) {
        bSkip(keyBytes);
    } else if (r.ul_RefCount != 0) {
        if (!keys->bReserve(keyBytes))
            return fail("no memory for " + std::to_string(r.ul_RefCount) + " references");
        uint32_t* out = keys->pul_Data();
        if (!bTake(out, static_cast<size_t>(keyBytes)))
            return fail("the file ends inside the record of key " + keyText(r.ul_Key));
        // Decoded in place: each key's bytes are read before its word is written.
        for (uint32_t i = 0; i < r.ul_RefCount; ++i)
            out[i] = BIG::Endian::Get32(reinterpret_cast<const uint8_t*>(out + i));
    }
    *record = std::move(r);
    ++mul_Read;
    return Next::eRecord;
}

}  // namespace ORVEX
