#include "BIGfile/BIG_Linker.h"

#include <cstring>
#include <new>

#include "BIGfile/BIG_Endian.h"
#include "ERRor/ERR_Assert.h"

BIG_cl_Linker::BIG_cl_Linker(uint16_t uwAllocParam, uint32_t ulAllocParam)
    : mul_AllocParam(ulAllocParam), muw_AllocParam(uwAllocParam) {}

BIG_cl_Linker::~BIG_cl_Linker() {
    Free();
}

void BIG_cl_Linker::Init(uint32_t ulCapacity) {
    Free();
    mul_LinkCount = 0;
    // Allocated by hand so that a huge capacity fails with an assertion
    // instead of ending the process.
    mast_Links.reset(new (std::nothrow) BIG_st_Link[ulCapacity == 0 ? 1 : ulCapacity]);
    if (!mast_Links) {
        ERR_X_RaisePrintf("Assert", "BIG_cl_Linker::Init: unable to allocate %u links", ulCapacity);
        return;
    }
    mul_Capacity = ulCapacity;
    m_KeyIndex.Init(mast_Links.get(), ulCapacity, sizeof(BIG_st_Link), offsetof(BIG_st_Link, ul_Key), false,
                    kIndexMemCategory, kIndexMemTag);
}

void BIG_cl_Linker::Free() {
    if (mast_Links) {
        m_KeyIndex.Free();
        mast_Links.reset();
    }
    mul_Capacity = 0;
    mul_LinkCount = 0;
}

bool BIG_cl_Linker::bAppendLink(uint32_t ulKey, uint32_t ulTarget) {
    // Writing past the array would corrupt the heap: a full map refuses.
    if (mul_LinkCount >= mul_Capacity) {
        ERR_X_RaisePrintf("Assert", "BIG_cl_Linker: no room for link %u -> %u (%u links fit)", ulKey,
                          ulTarget, mul_Capacity);
        return false;
    }
    const uint32_t position = mul_LinkCount;
    mast_Links[position] = BIG_st_Link{ulKey, ulTarget};
    m_KeyIndex.Add(position, ulKey);
    mul_LinkCount = position + 1;
    return true;
}

void BIG_cl_Linker::EncodeTo(std::vector<uint8_t>* out) const {
    out->clear();
    out->reserve(EncodedSize());
    BIG::Endian::ByteAppender append(out);
    append.U32(mul_Version);
    append.U32(mul_LinkCount);
    append.Bytes(mau8_Reserved, kReservedSize);
    for (uint32_t i = 0; i < mul_LinkCount; ++i) {
        append.U32(mast_Links[i].ul_Key);
        append.U32(mast_Links[i].ul_Target);
    }
}

BIG_cl_Linker::Decode BIG_cl_Linker::eDecode(const uint8_t* pu8_Data, size_t size) {
    Free();
    mul_Version = kVersion;
    std::memset(mau8_Reserved, 0, kReservedSize);
    if (pu8_Data == nullptr || size == 0)
        return Decode::eEmpty;
    if (size < kHeaderSize)
        return Decode::eTooShort;

    const uint32_t version = BIG::Endian::Get32(pu8_Data + kVersionOffset);
    if (version >= kFirstUnreadableVersion)
        return Decode::eNewerVersion;
    const uint32_t count = BIG::Endian::Get32(pu8_Data + kCountOffset);
    if (count > (size - kHeaderSize) / kLinkSize)
        return Decode::eTruncatedLinks;

    Init(count);
    if (mul_Capacity != count) {
        Free();
        return Decode::eNoMemory;
    }
    mul_Version = version;
    std::memcpy(mau8_Reserved, pu8_Data + kReservedOffset, kReservedSize);
    const uint8_t* link = pu8_Data + kHeaderSize;
    for (uint32_t i = 0; i < count; ++i, link += kLinkSize)
        bAppendLink(BIG::Endian::Get32(link), BIG::Endian::Get32(link + 4));
    return Decode::eOk;
}

const char* BIG_cl_Linker::DecodeText(Decode result) {
    switch (result) {
        case Decode::eOk:
            return "ok";
        case Decode::eEmpty:
            return "empty file";
        case Decode::eTooShort:
            return "shorter than its 64-byte header";
        case Decode::eNewerVersion:
            return "version 3 or more, not read";
        case Decode::eTruncatedLinks:
            return "fewer bytes than its link count needs";
        case Decode::eNoMemory:
            return "not enough memory for its links";
    }
    return "unknown";
}
