#include "plugin/OVI_ClosuresFile.h"

#include "BIGfile/BIG_Endian.h"

namespace ORVEX {

std::vector<uint8_t> OVI_EncodeClosures(const OVI_Closures& closures) {
    std::vector<uint8_t> out;
    BIG::Endian::ByteAppender put(&out);
    put.U32(OVI_ClosuresFormat::kMagic);
    put.U32(OVI_ClosuresFormat::kVersion);
    put.U32(static_cast<uint32_t>(closures.worlds.size()));
    for (const auto& [root, keys] : closures.worlds) {
        put.U32(root);
        put.U32(static_cast<uint32_t>(keys.size()));
        for (uint32_t key : keys)
            put.U32(key);
    }
    put.U32(static_cast<uint32_t>(closures.sizes.size()));
    for (const auto& [key, size] : closures.sizes) {
        put.U32(key);
        put.U32(size);
    }
    return out;
}

bool OVI_bDecodeClosures(const uint8_t* data, size_t size, OVI_Closures* out) {
    BIG::Endian::ByteReader in(data, size);
    if (in.U32(0) != OVI_ClosuresFormat::kMagic || in.U32(4) != OVI_ClosuresFormat::kVersion || !in.bOk())
        return false;
    OVI_Closures read;
    size_t at = OVI_ClosuresFormat::kHeaderSize;
    const uint32_t worlds = in.U32(8);
    for (uint32_t w = 0; w < worlds && in.bOk(); ++w) {
        const uint32_t root = in.U32(at);
        const uint32_t count = in.U32(at + 4);
        at += 8;
        // Every key is 4 bytes of the file: nothing is taken on trust.
        if (!in.bOk() || count > (size - at) / 4)
            return false;
        std::set<uint32_t>& keys = read.worlds[root];
        for (uint32_t k = 0; k < count; ++k, at += 4)
            keys.insert(in.U32(at));
    }
    const uint32_t sizes = in.U32(at);
    at += 4;
    if (!in.bOk() || sizes > (size - at) / 8)
        return false;
    for (uint32_t s = 0; s < sizes; ++s, at += 8)
        read.sizes[in.U32(at)] = in.U32(at + 4);
    if (!in.bOk() || at != size)
        return false;
    *out = std::move(read);
    return true;
}

}  // namespace ORVEX
