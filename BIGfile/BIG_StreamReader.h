// Sequential reader over a file's content written with a reference table:
//
//   u32       reference count n
//   n x u32   referenced keys
//   ...       data part
//
// Construction reads n; the keys then come with ul_ReadRef (or are skipped by
// SkipRefs) and the data part with the typed reads. Every read is checked
// against the innermost open chunk (or the content): a read that would leave it
// fails, yields 0 and latches bOk() to false, and nothing is ever read outside
// the bytes given.
//
// A chunk is a u32 byte length followed by that many bytes; OpenChunk enters
// it, CloseChunk leaves it (skipping what was not read). Destroying a reader
// with chunks still open raises "Not all chunks were closed!".
//
// Not thread-safe; the bytes must outlive the reader.
#pragma once

#include <cstddef>
#include <cstdint>

class BIG_StreamReader {
public:
    static constexpr uint32_t kMaxChunkDepth = 16;

    BIG_StreamReader(const uint8_t* data, size_t size);
    ~BIG_StreamReader();
    BIG_StreamReader(const BIG_StreamReader&) = delete;
    BIG_StreamReader& operator=(const BIG_StreamReader&) = delete;

    uint32_t ul_GetRefCount() const { return m_refCount; }
    // True when the reference table fits the content.
    bool bRefTableFits() const { return m_bRefTableFits; }
    // The data part starts right after the reference table.
    size_t DataPartOffset() const;
    size_t DataPartSize() const;

    uint32_t ul_ReadRef() { return ul_Read32(); }
    void SkipRefs();  // moves to the data part

    uint8_t uc_Read8();
    uint16_t uw_Read16();
    uint32_t ul_Read32();
    bool bReadBytes(void* out, size_t count);
    bool bSkip(size_t count);

    // Enters a chunk; false (nothing entered) when its length does not fit or
    // the nesting is too deep.
    bool bOpenChunk(uint32_t* length = nullptr);
    // Leaves the innermost chunk, the cursor moving to its end.
    void CloseChunk();
    uint32_t ul_OpenChunks() const { return m_depth; }

    size_t Offset() const { return m_offset; }
    // Bytes left before the end of the innermost chunk (or of the content).
    size_t Remaining() const { return Limit() - m_offset; }
    bool bOk() const { return m_bOk; }

private:
    size_t Limit() const { return m_depth != 0 ? m_chunkEnds[m_depth - 1] : m_size; }
    bool bTake(size_t count, const uint8_t** at);

    const uint8_t* m_pData;
    size_t m_size;
    size_t m_offset = 0;
    uint32_t m_refCount = 0;
    bool m_bRefTableFits = false;
    bool m_bOk = true;
    uint32_t m_depth = 0;
    size_t m_chunkEnds[kMaxChunkDepth] = {};
};
