// Little-endian field codec shared by every on-disk record of the bigfile library.
//
// All multi-byte fields of the bigfile format, the segment headers and the side
// files are little-endian. Records are decoded from one whole buffer at named
// offsets through these helpers; a struct is never laid over file bytes.
//
// - Get*/Put* work on a raw pointer and trust the caller's bounds (use them only
//   after the record's length has been checked once).
// - ByteReader/ByteWriter check every access against the buffer they wrap. A
//   failed access yields 0 (reads) or writes nothing, and latches a failure flag
//   that the caller tests once after the whole record: `bOk()`.
// - ByteAppender grows a std::vector for writers of variable-length files.
//
// Header-only; no state is shared between threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace BIG::Endian {

inline uint8_t Get8(const uint8_t* p) {
    return p[0];
}
inline uint16_t Get16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline uint32_t Get32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline uint64_t Get64(const uint8_t* p) {
    return static_cast<uint64_t>(Get32(p)) | (static_cast<uint64_t>(Get32(p + 4)) << 32);
}

inline void Put8(uint8_t* p, uint8_t v) {
    p[0] = v;
}
inline void Put16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
inline void Put32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}
inline void Put64(uint8_t* p, uint64_t v) {
    Put32(p, static_cast<uint32_t>(v));
    Put32(p + 4, static_cast<uint32_t>(v >> 32));
}

// True when [offset, offset + count) lies inside a buffer of `size` bytes,
// computed without overflow.
inline bool bFits(size_t size, size_t offset, size_t count) {
    return offset <= size && count <= size - offset;
}

// Bounds-checked reads at offsets of one record buffer.
class ByteReader {
public:
    ByteReader(const void* data, size_t size) : m_pData(static_cast<const uint8_t*>(data)), m_size(size) {}

    uint8_t U8(size_t offset) { return bCheck(offset, 1) ? Get8(m_pData + offset) : 0; }
    uint16_t U16(size_t offset) { return bCheck(offset, 2) ? Get16(m_pData + offset) : 0; }
    uint32_t U32(size_t offset) { return bCheck(offset, 4) ? Get32(m_pData + offset) : 0; }
    uint64_t U64(size_t offset) { return bCheck(offset, 8) ? Get64(m_pData + offset) : 0; }
    // Copies `count` bytes; on a bounds failure `out` is zero-filled.
    void Bytes(size_t offset, void* out, size_t count) {
        if (bCheck(offset, count))
            std::memcpy(out, m_pData + offset, count);
        else if (count != 0)
            std::memset(out, 0, count);
    }

    size_t Size() const { return m_size; }
    // False once any access fell outside the buffer.
    bool bOk() const { return m_bOk; }

private:
    bool bCheck(size_t offset, size_t count) {
        if (m_pData != nullptr && bFits(m_size, offset, count))
            return true;
        m_bOk = false;
        return false;
    }

    const uint8_t* m_pData;
    size_t m_size;
    bool m_bOk = true;
};

// Bounds-checked writes at offsets of one record buffer.
class ByteWriter {
public:
    ByteWriter(void* data, size_t size) : m_pData(static_cast<uint8_t*>(data)), m_size(size) {}

    void U8(size_t offset, uint8_t v) {
        if (bCheck(offset, 1))
            Put8(m_pData + offset, v);
    }
    void U16(size_t offset, uint16_t v) {
        if (bCheck(offset, 2))
            Put16(m_pData + offset, v);
    }
    void U32(size_t offset, uint32_t v) {
        if (bCheck(offset, 4))
            Put32(m_pData + offset, v);
    }
    void U64(size_t offset, uint64_t v) {
        if (bCheck(offset, 8))
            Put64(m_pData + offset, v);
    }
    void Bytes(size_t offset, const void* in, size_t count) {
        if (count != 0 && bCheck(offset, count))
            std::memcpy(m_pData + offset, in, count);
    }
    void Zero(size_t offset, size_t count) {
        if (count != 0 && bCheck(offset, count))
            std::memset(m_pData + offset, 0, count);
    }

    size_t Size() const { return m_size; }
    bool bOk() const { return m_bOk; }

private:
    bool bCheck(size_t offset, size_t count) {
        if (m_pData != nullptr && bFits(m_size, offset, count))
            return true;
        m_bOk = false;
        return false;
    }

    uint8_t* m_pData;
    size_t m_size;
    bool m_bOk = true;
};

// Appends little-endian fields to a growing byte vector.
class ByteAppender {
public:
    explicit ByteAppender(std::vector<uint8_t>* out) : m_pOut(out) {}

    void U8(uint8_t v) { m_pOut->push_back(v); }
    void U16(uint16_t v) { Put16(Grow(2), v); }
    void U32(uint32_t v) { Put32(Grow(4), v); }
    void U64(uint64_t v) { Put64(Grow(8), v); }
    void Bytes(const void* in, size_t count) {
        if (count != 0)
            std::memcpy(Grow(count), in, count);
    }
    void Zero(size_t count) {
        if (count != 0)
            std::memset(Grow(count), 0, count);
    }
    size_t Size() const { return m_pOut->size(); }

private:
    uint8_t* Grow(size_t count) {
        const size_t at = m_pOut->size();
        m_pOut->resize(at + count);
        return m_pOut->data() + at;
    }

    std::vector<uint8_t>* m_pOut;
};

}  // namespace BIG::Endian
