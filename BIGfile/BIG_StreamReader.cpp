#include "BIGfile/BIG_StreamReader.h"

#include <cstring>

#include "BIGfile/BIG_Endian.h"
#include "ERRor/ERR_Assert.h"

BIG_StreamReader::BIG_StreamReader(const uint8_t* data, size_t size)
    : m_pData(data), m_size(data != nullptr ? size : 0) {
    m_refCount = ul_Read32();
    m_bRefTableFits = m_bOk && BIG::Endian::bFits(m_size, 4, static_cast<uint64_t>(m_refCount) * 4);
}

BIG_StreamReader::~BIG_StreamReader() {
    if (m_depth != 0)
        ERR_X_Raise("Assert", "Not all chunks were closed!");
}

size_t BIG_StreamReader::DataPartOffset() const {
    return m_bRefTableFits ? 4 + static_cast<size_t>(m_refCount) * 4 : m_size;
}

size_t BIG_StreamReader::DataPartSize() const {
    return m_size - DataPartOffset();
}

void BIG_StreamReader::SkipRefs() {
    const size_t dataStart = DataPartOffset();
    if (!m_bRefTableFits)
        m_bOk = false;
    if (m_offset < dataStart && dataStart <= Limit())
        m_offset = dataStart;
}

bool BIG_StreamReader::bTake(size_t count, const uint8_t** at) {
    if (!BIG::Endian::bFits(Limit(), m_offset, count)) {
        m_bOk = false;
        return false;
    }
    *at = m_pData + m_offset;
    m_offset += count;
    return true;
}

uint8_t BIG_StreamReader::uc_Read8() {
    const uint8_t* at;
    return bTake(1, &at) ? at[0] : 0;
}

uint16_t BIG_StreamReader::uw_Read16() {
    const uint8_t* at;
    return bTake(2, &at) ? BIG::Endian::Get16(at) : 0;
}

uint32_t BIG_StreamReader::ul_Read32() {
    const uint8_t* at;
    return bTake(4, &at) ? BIG::Endian::Get32(at) : 0;
}

bool BIG_StreamReader::bReadBytes(void* out, size_t count) {
    const uint8_t* at;
    if (!bTake(count, &at)) {
        if (count != 0)
            std::memset(out, 0, count);
        return false;
    }
    if (count != 0)
        std::memcpy(out, at, count);
    return true;
}

bool BIG_StreamReader::bSkip(size_t count) {
    const uint8_t* at;
    return bTake(count, &at);
}

bool BIG_StreamReader::bOpenChunk(uint32_t* length) {
    if (length != nullptr)
        *length = 0;
    if (m_depth == kMaxChunkDepth) {
        m_bOk = false;
        return false;
    }
    const size_t start = m_offset;
    const uint8_t* at;
    if (!bTake(4, &at))
        return false;
    const uint32_t chunkLength = BIG::Endian::Get32(at);
    if (!BIG::Endian::bFits(Limit(), m_offset, chunkLength)) {
        m_offset = start;
        m_bOk = false;
        return false;
    }
    m_chunkEnds[m_depth++] = m_offset + chunkLength;
    if (length != nullptr)
        *length = chunkLength;
    return true;
}

void BIG_StreamReader::CloseChunk() {
    if (m_depth == 0) {
        ERR_X_Raise("Assert", "No chunk to close!");
        return;
    }
    m_offset = m_chunkEnds[--m_depth];
}
