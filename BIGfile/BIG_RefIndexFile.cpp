#include "BIGfile/BIG_RefIndexFile.h"

#include <algorithm>

#include "BIGfile/BIG_Endian.h"

namespace BIG::IdxFile {

namespace {

using Endian::Get32;
using Endian::Put32;

// Record lookup over a flat copy of the sorted keys: far fewer cache misses
// than a bisection over the records themselves.
class RecordIndex {
public:
    explicit RecordIndex(const std::vector<FileInfos>& sorted) : m_records(sorted) {
        m_keys.reserve(sorted.size());
        for (const FileInfos& r : sorted)
            m_keys.push_back(r.ul_Key);
    }
    const FileInfos* pst_Find(uint32_t key) const {
        const auto it = std::lower_bound(m_keys.begin(), m_keys.end(), key);
        return it != m_keys.end() && *it == key ? &m_records[static_cast<size_t>(it - m_keys.begin())]
                                                : nullptr;
    }

private:
    const std::vector<FileInfos>& m_records;
    std::vector<uint32_t> m_keys;
};

// Reads `count` pairs at `p`; the caller checked that they fit.
void ReadPairs(const uint8_t* p, uint32_t count, KeyCountVector* out) {
    out->resize(count);
    for (uint32_t i = 0; i < count; ++i, p += kPairSize)
        (*out)[i] = KeyCount{Get32(p), Get32(p + 4)};
}

bool bPairsFitRecord(const FileInfos& r) {
    return bIsWellFormed(r.References) && bIsWellFormed(r.ReferencedBy) &&
           !bContainsKey(r.References, r.ul_Key) && !bContainsKey(r.ReferencedBy, r.ul_Key);
}

// Drops the pairs whose other side has no record; false when a pair whose
// other side exists is not mirrored there with the same count.
bool bLinkRecords(std::vector<FileInfos>& sorted) {
    const RecordIndex index(sorted);
    auto mirrored = [&](const FileInfos& owner, KeyCountVector& pairs, KeyCountVector FileInfos::*otherSide) {
        bool ok = true;
        pairs.erase(std::remove_if(pairs.begin(), pairs.end(),
                                   [&](const KeyCount& pair) {
                                       const FileInfos* other = index.pst_Find(pair.ul_Key);
                                       if (other == nullptr)
                                           return true;
                                       const KeyCount* back = pst_FindPair(other->*otherSide, owner.ul_Key);
                                       if (back == nullptr || back->ul_Count != pair.ul_Count)
                                           ok = false;
                                       return false;
                                   }),
                    pairs.end());
        return ok;
    };
    for (FileInfos& r : sorted) {
        if (!mirrored(r, r.References, &FileInfos::ReferencedBy) ||
            !mirrored(r, r.ReferencedBy, &FileInfos::References))
            return false;
    }
    return true;
}

}  // namespace

const char* sz_DecodeText(eDecode result) {
    switch (result) {
        case eDecode::Ok:
            return "valid";
        case eDecode::Empty:
            return "empty file";
        case eDecode::BadSize:
            return "size is not a multiple of 4 or too large";
        case eDecode::Truncated:
            return "file too short";
        case eDecode::BadMagic:
            return "bad magic number";
        case eDecode::BadVersion:
            return "unknown version";
        case eDecode::BadCount:
            return "counts do not fit the file";
        case eDecode::BadPairs:
            return "malformed reference pairs";
        case eDecode::DuplicateKey:
            return "duplicate key";
        case eDecode::Asymmetric:
            return "references and referrers do not match";
    }
    return "unknown error";
}

uint64_t ull_RecordSize(const FileInfos& infos) {
    return kMinRecordSize +
           kPairSize * (static_cast<uint64_t>(infos.References.size()) + infos.ReferencedBy.size());
}

eDecode Decode(const uint8_t* data, size_t size, std::vector<FileInfos>* out, uint32_t* duplicate) {
    out->clear();
    if (size == 0 || data == nullptr)
        return eDecode::Empty;
    if (size % 4 != 0 || size > kMaxFileSize)
        return eDecode::BadSize;
    if (size < kHeaderSize + kTrailerSize)
        return eDecode::Truncated;
    if (Get32(data) != kMagic || Get32(data + size - kTrailerSize) != kMagic)
        return eDecode::BadMagic;
    if (Get32(data + 4) != kVersion)
        return eDecode::BadVersion;
    const uint32_t count = Get32(data + 8);
    const size_t end = size - kTrailerSize;
    if (count > (end - kHeaderSize) / kMinRecordSize)
        return eDecode::BadCount;

    std::vector<FileInfos> records(count);
    size_t at = kHeaderSize;
    for (FileInfos& r : records) {
        // key, self count, nr, then nr pairs and at least the word nb.
        if (end - at < 12)
            return eDecode::BadCount;
        r.ul_Key = Get32(data + at);
        r.ul_SelfRefs = Get32(data + at + 4);
        const uint32_t nr = Get32(data + at + 8);
        at += 12;
        if (end - at < 4 || nr > (end - at - 4) / kPairSize)
            return eDecode::BadCount;
        ReadPairs(data + at, nr, &r.References);
        at += kPairSize * nr;
        const uint32_t nb = Get32(data + at);
        at += 4;
        if (nb > (end - at) / kPairSize)
            return eDecode::BadCount;
        ReadPairs(data + at, nb, &r.ReferencedBy);
        at += kPairSize * nb;
        if (!bPairsFitRecord(r))
            return eDecode::BadPairs;
    }
    if (at != end)
        return eDecode::BadCount;

    // Written in key order; anything else is sorted here.
    const auto byKey = [](const FileInfos& a, const FileInfos& b) { return a.ul_Key < b.ul_Key; };
    if (!std::is_sorted(records.begin(), records.end(), byKey))
        std::sort(records.begin(), records.end(), byKey);
    for (size_t i = 1; i < records.size(); ++i) {
        if (records[i - 1].ul_Key == records[i].ul_Key) {
            if (duplicate != nullptr)
                *duplicate = records[i].ul_Key;
            return eDecode::DuplicateKey;
        }
    }
    if (!bLinkRecords(records))
        return eDecode::Asymmetric;
    *out = std::move(records);
    return eDecode::Ok;
}

void EncodeHeader(uint8_t* out, uint32_t recordCount) {
    Put32(out, kMagic);
    Put32(out + 4, kVersion);
    Put32(out + 8, recordCount);
}

size_t EncodeRecord(const FileInfos& infos, uint8_t* out, size_t room) {
    const uint64_t need = ull_RecordSize(infos);
    if (need > room)
        return 0;
    uint8_t* p = out;
    auto put = [&p](uint32_t v) {
        Put32(p, v);
        p += 4;
    };
    put(infos.ul_Key);
    put(infos.ul_SelfRefs);
    put(static_cast<uint32_t>(infos.References.size()));
    for (const KeyCount& pair : infos.References) {
        put(pair.ul_Key);
        put(pair.ul_Count);
    }
    put(static_cast<uint32_t>(infos.ReferencedBy.size()));
    for (const KeyCount& pair : infos.ReferencedBy) {
        put(pair.ul_Key);
        put(pair.ul_Count);
    }
    return static_cast<size_t>(need);
}

void EncodeTrailer(uint8_t* out) {
    Put32(out, kMagic);
}

std::vector<uint8_t> Encode(const std::vector<const FileInfos*>& records) {
    uint64_t size = kHeaderSize + kTrailerSize;
    for (const FileInfos* r : records)
        size += ull_RecordSize(*r);
    std::vector<uint8_t> bytes(static_cast<size_t>(size));
    EncodeHeader(bytes.data(), static_cast<uint32_t>(records.size()));
    size_t at = kHeaderSize;
    for (const FileInfos* r : records)
        at += EncodeRecord(*r, bytes.data() + at, bytes.size() - kTrailerSize - at);
    EncodeTrailer(bytes.data() + at);
    return bytes;
}

}  // namespace BIG::IdxFile
