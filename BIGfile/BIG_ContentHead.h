// The head of a file's stored content: its length and its reference table.
//
// | Offset | Width   | Field           | Meaning                                             |
// |--------|---------|-----------------|-----------------------------------------------------|
// | 0x00   | u32     | length L        | content bytes that follow this word                 |
// | 0x04   | u32     | reference count | n, the keys this file refers to                     |
// | 0x08   | n × u32 | keys            | the referenced keys, in the order they were written |
// | 8 + 4n |         | payload         | L − 4 − 4n bytes, what the loaders read             |
//
// All fields little-endian. The content is the L bytes after the length word:
// the reference table (count, then keys), then the payload. A loose key file
// holds the content alone, its size being L. Bigfiles of formats below 40
// have no reference table: their content is all payload.
//
// The count is stored as written and may claim more keys than L holds; the
// codec never lets a caller read past L (ul_KeysThatFit), and each caller
// decides whether such a table is an error or is cut.
#pragma once

#include <cstddef>
#include <cstdint>

struct BIG_st_ContentHead {
    static constexpr size_t kEncodedSize = 8;
    static constexpr size_t kOffLength = 0x00;
    static constexpr size_t kOffRefCount = 0x04;
    static constexpr size_t kOffKeys = 0x08;
    // The length word in front of the content; the count opens the content.
    static constexpr size_t kLengthSize = 4;
    static constexpr size_t kCountSize = 4;
    static constexpr size_t kKeySize = 4;
    // First format whose contents begin with a reference table.
    static constexpr uint16_t kFirstFormatWithRefs = 40;

    uint32_t ul_Length = 0;    // L
    uint32_t ul_RefCount = 0;  // n as stored; 0 when L leaves no room for it

    // Writes the length and the count (the keys follow them in the file).
    void EncodeTo(uint8_t (&out)[kEncodedSize]) const;
    // From the stored bytes, length word first. False (and `out` unchanged)
    // when fewer than 4 bytes are given, or fewer than 8 while L has room for
    // a count.
    static bool bDecode(const uint8_t* data, size_t size, BIG_st_ContentHead* out);
    // The length word alone, for a reader that fetches it before the rest.
    // False when fewer than 4 bytes are given.
    static bool bDecodeLength(const uint8_t* data, size_t size, uint32_t* out);
    // From the content itself (the count first), `length` being L: the form
    // of loaded contents and loose key files. False (and `out` unchanged) when
    // L has room for a count but fewer than 4 bytes are given.
    static bool bDecodeContent(const uint8_t* content, size_t size, uint32_t length, BIG_st_ContentHead* out);

    // L holds the count word.
    bool bHasTable() const { return ul_Length >= kCountSize; }
    // The keys that lie inside L: n, or fewer when n claims more.
    uint32_t ul_KeysThatFit() const;
    // n keys and the count fit in L.
    bool bTableFits() const { return bHasTable() && ul_KeysThatFit() == ul_RefCount; }
    // Bytes of the content before the payload: the count and the keys that fit
    // (0 when L has no room for the count).
    uint32_t ul_TableSize() const;
    // Bytes of the content after the table.
    uint32_t ul_PayloadSize() const { return ul_Length - ul_TableSize(); }

    // Key `i` of a key block (the bytes after the count).
    static uint32_t ul_KeyAt(const uint8_t* keys, uint32_t i);
    // Decodes `count` keys from `keys` into `out`; `out` may be the key block
    // itself (the keys are then decoded in place).
    static void DecodeKeys(const void* keys, uint32_t count, uint32_t* out);
};
