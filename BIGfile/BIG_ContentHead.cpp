#include "BIGfile/BIG_ContentHead.h"

#include <algorithm>
#include <cstring>

#include "BIGfile/BIG_Endian.h"

void BIG_st_ContentHead::EncodeTo(uint8_t (&out)[kEncodedSize]) const {
    BIG::Endian::ByteWriter w(out, kEncodedSize);
    w.U32(kOffLength, ul_Length);
    w.U32(kOffRefCount, ul_RefCount);
}

bool BIG_st_ContentHead::bDecode(const uint8_t* data, size_t size, BIG_st_ContentHead* out) {
    uint32_t length = 0;
    if (!bDecodeLength(data, size, &length))
        return false;
    return bDecodeContent(data + kLengthSize, size - kLengthSize, length, out);
}

bool BIG_st_ContentHead::bDecodeLength(const uint8_t* data, size_t size, uint32_t* out) {
    if (data == nullptr || out == nullptr || size < kLengthSize)
        return false;
    *out = BIG::Endian::Get32(data + kOffLength);
    return true;
}

bool BIG_st_ContentHead::bDecodeContent(const uint8_t* content, size_t size, uint32_t length,
                                        BIG_st_ContentHead* out) {
    if (out == nullptr)
        return false;
    BIG_st_ContentHead h;
    h.ul_Length = length;
    if (h.bHasTable()) {
        if (content == nullptr || size < kCountSize)
            return false;
        h.ul_RefCount = BIG::Endian::Get32(content);
    }
    *out = h;
    return true;
}

uint32_t BIG_st_ContentHead::ul_KeysThatFit() const {
    if (!bHasTable())
        return 0;
    return std::min<uint32_t>(ul_RefCount, static_cast<uint32_t>((ul_Length - kCountSize) / kKeySize));
}

uint32_t BIG_st_ContentHead::ul_TableSize() const {
    if (!bHasTable())
        return 0;
    return static_cast<uint32_t>(kCountSize + kKeySize * ul_KeysThatFit());
}

uint32_t BIG_st_ContentHead::ul_KeyAt(const uint8_t* keys, uint32_t i) {
    return BIG::Endian::Get32(keys + kKeySize * static_cast<size_t>(i));
}

void BIG_st_ContentHead::DecodeKeys(const void* keys, uint32_t count, uint32_t* out) {
    const auto* bytes = static_cast<const uint8_t*>(keys);
    for (uint32_t i = 0; i < count; ++i) {
        uint8_t raw[kKeySize];
        std::memcpy(raw, bytes + kKeySize * static_cast<size_t>(i), kKeySize);
        out[i] = BIG::Endian::Get32(raw);
    }
}
