// Linker map: a flat table of (link file key, target key) pairs with a hash
// index on the link file key, and its file format.
//
// File layout (all integers little-endian):
//
//   | offset | size  | field                                                 |
//   |--------|-------|-------------------------------------------------------|
//   | 0      | 4     | version: 1 as written; a reader takes values below 3  |
//   |        |       | and ignores a file whose version is 3 or more         |
//   | 4      | 4     | n, the number of links                                |
//   | 8      | 56    | reserved block, carried through unchanged (zeros when |
//   |        |       | the map was built in memory)                          |
//   | 64     | 8 × n | the links, u32 key then u32 target key, in the order  |
//   |        |       | they were added                                       |
//
// Nothing follows the links; a reader ignores bytes that do.
//
// Ownership: the map owns its links array and its key index. Reference
// counting follows DPT::RefCounted (count 0 after construction); an object
// that is a member of another is never Release()d.
//
// Thread-safety: none; one thread builds and reads a map.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "BIGfile/BIG_HashTable.h"
#include "DesignPaTterns/DPT_RefCounted.h"

// One link as the map holds it in memory. The key index reads the key at
// offset 0 of each 8-byte item.
struct BIG_st_Link {
    uint32_t ul_Key;
    uint32_t ul_Target;
};
static_assert(sizeof(BIG_st_Link) == 8);

class BIG_cl_Linker : public DPT::RefCounted {
public:
    static constexpr uint32_t kVersion = 1;
    // Files whose version is this or above are not read.
    static constexpr uint32_t kFirstUnreadableVersion = 3;

    // Encoded layout.
    static constexpr size_t kVersionOffset = 0;
    static constexpr size_t kCountOffset = 4;
    static constexpr size_t kReservedOffset = 8;
    static constexpr size_t kReservedSize = 56;
    static constexpr size_t kHeaderSize = 64;
    static constexpr size_t kLinkSize = 8;

    // How the key index is reported to the memory tracker.
    static constexpr uint16_t kIndexMemCategory = 243;
    static constexpr uint32_t kIndexMemTag = 515;

    BIG_cl_Linker(uint16_t uwAllocParam, uint32_t ulAllocParam);
    ~BIG_cl_Linker() override;
    BIG_cl_Linker(const BIG_cl_Linker&) = delete;
    BIG_cl_Linker& operator=(const BIG_cl_Linker&) = delete;

    uint32_t ul_GetAllocParam() const override { return mul_AllocParam; }
    uint16_t uw_GetAllocParam() const override { return muw_AllocParam; }

    // Makes room for `ulCapacity` links (any previous links are freed first)
    // and builds an empty key index over them. The link count becomes 0. When
    // the array cannot be allocated an "Assert" assertion is raised and the map
    // stays without room.
    void Init(uint32_t ulCapacity);
    // Releases the links and the key index; the map holds nothing afterwards.
    void Free();

    uint32_t ul_GetVersion() const { return mul_Version; }
    uint32_t ul_GetLinkCount() const { return mul_LinkCount; }
    uint32_t ul_GetCapacity() const { return mul_Capacity; }
    const BIG_st_Link* GetLinks() const { return mast_Links.get(); }
    const uint8_t* GetReserved() const { return mau8_Reserved; }
    const BIG_cl_HashTable& GetKeyIndex() const { return m_KeyIndex; }
    // Position of a link whose key is `ulKey`, or BIG_cl_HashTable::kNone.
    uint32_t ul_FindLink(uint32_t ulKey) const { return m_KeyIndex.Find(ulKey); }

    // The encoded file: kHeaderSize + 8 × link count bytes.
    size_t EncodedSize() const { return kHeaderSize + kLinkSize * static_cast<size_t>(mul_LinkCount); }
    void EncodeTo(std::vector<uint8_t>* out) const;

    // Result of reading an encoded map.
    enum class Decode : uint8_t {
        eOk,
        eEmpty,           // no byte at all: nothing to read
        eTooShort,        // shorter than the 64-byte header
        eNewerVersion,    // version 3 or more: ignored by design
        eTruncatedLinks,  // fewer bytes than the announced links need
        eNoMemory,        // the links array could not be allocated
    };
    // Replaces the content of this map by the encoded map: version, reserved
    // block, links, and a key index with each link entered in order. The link
    // count is checked against the bytes that hold the links before anything
    // is allocated. On any result but eOk the map is left empty.
    Decode eDecode(const uint8_t* pu8_Data, size_t size);
    static const char* DecodeText(Decode result);

protected:
    // Appends one link and enters it into the key index. False (and nothing
    // stored) when the map has no room left; an "Assert" assertion says so.
    bool bAppendLink(uint32_t ulKey, uint32_t ulTarget);

private:
    uint32_t mul_AllocParam;
    uint16_t muw_AllocParam;
    uint32_t mul_Version = kVersion;
    uint32_t mul_LinkCount = 0;
    uint8_t mau8_Reserved[kReservedSize] = {};
    std::unique_ptr<BIG_st_Link[]> mast_Links;
    uint32_t mul_Capacity = 0;
    BIG_cl_HashTable m_KeyIndex;
};
