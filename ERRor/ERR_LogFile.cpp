#include "ERRor/ERR_LogFile.h"

#include <cstring>

#include "DesignPaTterns/DPT_Singleton.h"
#include "platform/Clock.h"

namespace {

void PutLe16(uint8_t* out, uint16_t v) {
    out[0] = static_cast<uint8_t>(v);
    out[1] = static_cast<uint8_t>(v >> 8);
}

void PutLe64(uint8_t* out, uint64_t v) {
    for (int i = 0; i < 8; ++i)
        out[i] = static_cast<uint8_t>(v >> (8 * i));
}

uint16_t GetLe16(const uint8_t* in) {
    return static_cast<uint16_t>(in[0] | (in[1] << 8));
}

uint64_t GetLe64(const uint8_t* in) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i)
        v = (v << 8) | in[i];
    return v;
}

}  // namespace

ERR_cl_LogFile::ERR_cl_LogFile(size_t limit) : m_limit(limit < kInitialCapacity ? kInitialCapacity : limit) {
    m_buffer.resize(kInitialCapacity);
}

bool ERR_cl_LogFile::bReserve(size_t recordSize) {
    if (m_full || recordSize > m_limit - m_used) {
        m_full = true;
        ++m_dropped;
        return false;
    }
    size_t capacity = m_buffer.size();
    if (m_used + kGrowthMargin > capacity)
        capacity *= 2;
    while (m_used + recordSize > capacity)
        capacity *= 2;
    if (capacity > m_limit)
        capacity = m_limit;
    if (capacity != m_buffer.size())
        m_buffer.resize(capacity);
    return true;
}

void ERR_cl_LogFile::AppendHeader(uint16_t eventCode) {
    AppendHeaderAt(eventCode, PLT::LocalFileTimeNow());
}

void ERR_cl_LogFile::AppendHeaderAt(uint16_t eventCode, uint64_t localFileTime) {
    PLT::ScopedLock<PLT::Mutex> lock(m_mutex);
    if (!bReserve(kHeaderRecordSize))
        return;
    uint8_t* out = m_buffer.data() + m_used;
    out[0] = kRecordHeader;
    PutLe64(out + 1, localFileTime);
    PutLe16(out + 9, eventCode);
    m_used += kHeaderRecordSize;
}

void ERR_cl_LogFile::AppendText(const char* text) {
    if (!text)
        text = "";
    size_t length = std::strlen(text);
    PLT::ScopedLock<PLT::Mutex> lock(m_mutex);
    if (length > m_limit || !bReserve(length + 2))
        return;
    uint8_t* out = m_buffer.data() + m_used;
    out[0] = kRecordText;
    std::memcpy(out + 1, text, length);
    out[1 + length] = 0;
    m_used += length + 2;
}

size_t ERR_cl_LogFile::Size() const {
    PLT::ScopedLock<PLT::Mutex> lock(m_mutex);
    return m_used;
}

size_t ERR_cl_LogFile::Capacity() const {
    PLT::ScopedLock<PLT::Mutex> lock(m_mutex);
    return m_buffer.size();
}

uint64_t ERR_cl_LogFile::DroppedRecords() const {
    PLT::ScopedLock<PLT::Mutex> lock(m_mutex);
    return m_dropped;
}

std::vector<uint8_t> ERR_cl_LogFile::Bytes() const {
    PLT::ScopedLock<PLT::Mutex> lock(m_mutex);
    return std::vector<uint8_t>(m_buffer.begin(), m_buffer.begin() + static_cast<ptrdiff_t>(m_used));
}

void ERR_cl_LogFile::Clear() {
    PLT::ScopedLock<PLT::Mutex> lock(m_mutex);
    m_used = 0;
    m_dropped = 0;
    m_full = false;
}

bool ERR_cl_LogFile::bDecode(const uint8_t* data, size_t size, std::vector<Record>* out) {
    size_t pos = 0;
    while (pos < size) {
        Record record;
        record.kind = data[pos];
        if (record.kind == kRecordHeader) {
            if (size - pos < kHeaderRecordSize)
                return false;
            record.time = GetLe64(data + pos + 1);
            record.code = GetLe16(data + pos + 9);
            pos += kHeaderRecordSize;
        } else if (record.kind == kRecordText) {
            const void* end = std::memchr(data + pos + 1, 0, size - pos - 1);
            if (!end)
                return false;
            size_t length = static_cast<size_t>(static_cast<const uint8_t*>(end) - (data + pos + 1));
            record.text.assign(reinterpret_cast<const char*>(data + pos + 1), length);
            pos += length + 2;
        } else {
            return false;
        }
        out->push_back(std::move(record));
    }
    return true;
}

ERR_cl_LogFile& ERR_rJournal() {
    return DPT::Singleton<ERR_cl_LogFile>::Instance();
}
