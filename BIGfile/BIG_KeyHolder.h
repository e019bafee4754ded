// Per-file load bookkeeping beside a bigfile table: which worlds loaded each
// file, how large it was when stored, and the keys of the files loaded so far.
//
// One holder belongs to each bigfile table, which creates and releases it with
// itself and keeps its file count equal to the table's FileCount
// (SetFileCount). Recording is off after construction; while it is off,
// RecordLoad does nothing. The world, block, tag and unique-world arrays are
// kept for tools that split a bigfile by world; this library only creates them
// empty and releases them.
//
// Thread-safety: none; the owning table calls it under its own lock.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

// A growable array carrying the allocation label under which it is reported.
// Appending doubles the capacity when full, starting at the needed size.
template <typename T>
class BIG_tl_LabeledArray {
public:
    explicit BIG_tl_LabeledArray(const char* label = "") : m_label(label) {}

    const char* sz_Label() const { return m_label; }
    void SetLabel(const char* label) { m_label = label; }

    void Append(T value) {
        if (m_items.size() == m_items.capacity())
            m_items.reserve(m_items.empty() ? 1 : m_items.capacity() * 2);
        m_items.push_back(std::move(value));
    }
    void Resize(size_t size) { m_items.resize(size); }
    void Release() { std::vector<T>().swap(m_items); }

    size_t size() const { return m_items.size(); }
    bool empty() const { return m_items.empty(); }
    T& operator[](size_t i) { return m_items[i]; }
    const T& operator[](size_t i) const { return m_items[i]; }
    const std::vector<T>& Items() const { return m_items; }
    std::vector<T>& Items() { return m_items; }

private:
    const char* m_label;
    std::vector<T> m_items;
};

// One bit per file index, with its allocation label.
class BIG_cl_BitArray {
public:
    explicit BIG_cl_BitArray(const char* label = "") : m_label(label) {}

    const char* sz_Label() const { return m_label; }
    void SetLabel(const char* label) { m_label = label; }

    // Bits below the new size keep their value; new bits are clear.
    void Resize(uint32_t bits);
    void Release();
    uint32_t ul_Size() const { return m_bits; }
    bool b_Get(uint32_t i) const { return i < m_bits && ((m_words[i >> 5] >> (i & 31)) & 1u); }
    void Set(uint32_t i) {
        if (i < m_bits)
            m_words[i >> 5] |= 1u << (i & 31);
    }

private:
    const char* m_label;
    std::vector<uint32_t> m_words;
    uint32_t m_bits = 0;
};

using BIG_tdst_WorldMask = std::array<uint32_t, 4>;  // 128 worlds, one bit each

// What the holder keeps per file index.
struct BIG_st_KeyHolderFileData {
    BIG_tdst_WorldMask aul_WorldMask{};  // worlds that loaded the file
    uint32_t ul_Size = 0;                // stored size: content length + 4
};

struct BIG_st_Block {
    uint32_t ul_FirstFile = 0xFFFFFFFF;
    uint32_t ul_Count = 0;
};

struct BIG_cl_BlockIndex {
    uint32_t ul_Block = 0xFFFFFFFF;
};

struct BIG_st_World {
    uint32_t ul_Index = 0xFFFFFFFF;      // 0xFFFFFFFF: free
    std::unique_ptr<uint8_t[]> p_Block;  // owned memory block
    uint32_t ul_Size = 0;
    std::shared_ptr<void> p_Object;  // owned object of the world's loader
    bool b_Flag = false;
};

class BIG_cl_UniqueWorld {
public:
    BIG_cl_UniqueWorld();
    static constexpr const char* kLabel = "BIG_cl_UniqueWorld";

    BIG_tl_LabeledArray<BIG_st_World> mast_UniqueWorld;
};

// Entry fields of the loaded file that recording needs, handed in by the table.
struct BIG_st_LoadedFileInfo {
    uint32_t ul_Key = 0;
    uint32_t ul_Flags = 0;  // the entry's flags word
    uint8_t uc_Type = 0;    // the entry's file type
};

class BIG_cl_KeyHolder {
public:
    static constexpr uint32_t kNone = 0xFFFFFFFF;
    static constexpr uint8_t kTypeTxd = 126;             // never marked as loaded
    static constexpr uint32_t kKeptFileFlag = 1u << 19;  // flags-word bit: the key is listed

    struct Tag {
        uint32_t ul_Key = 0;
        uint32_t ul_Tag = 0;
    };

    // Constructs and runs Init.
    BIG_cl_KeyHolder();
    ~BIG_cl_KeyHolder();
    BIG_cl_KeyHolder(const BIG_cl_KeyHolder&) = delete;
    BIG_cl_KeyHolder& operator=(const BIG_cl_KeyHolder&) = delete;

    // Creates every array empty under its label, and the unique-world object.
    // The file count becomes 0; recording and the world mask are unchanged.
    void Init();
    // Frees every array; each world's block and object are released and its
    // index set to 0xFFFFFFFF. The file count becomes 0.
    void Release();

    // Keeps the per-file arrays at `fileCount` entries: the data of the files
    // that remain is kept, new files start clear.
    void SetFileCount(uint32_t fileCount);
    uint32_t ul_GetFileCount() const { return m_fileCount; }

    void SetRecording(bool on) { m_recording = on; }
    bool b_IsRecording() const { return m_recording; }
    void SetCurrentWorldMask(const BIG_tdst_WorldMask& mask) { m_currentWorldMask = mask; }
    const BIG_tdst_WorldMask& CurrentWorldMask() const { return m_currentWorldMask; }

    // Records that file `index` was read or loaded, `size` content bytes
    // (0xFFFFFFFF: size unknown, the stored size is kept). Does nothing while
    // recording is off. An index outside the file count raises an assertion.
    void RecordLoad(uint32_t index, uint32_t size, bool extra, const BIG_st_LoadedFileInfo& info);

    // The count offered as FileCount of a reduced header; nothing sets it here.
    uint32_t ul_ReducedFileCount() const { return m_reducedFileCount; }
    void SetReducedFileCount(uint32_t count) { m_reducedFileCount = count; }

    // Read access for tools and tests.
    const BIG_st_KeyHolderFileData* pst_FileData(uint32_t index) const;
    bool b_IsLoaded(uint32_t index) const { return mab_LoadedFile.b_Get(index); }
    const BIG_tl_LabeledArray<uint32_t>& Keys() const { return maul_Key; }
    const BIG_tl_LabeledArray<uint32_t>& ExtraKeys() const { return maul_ExtraKey; }
    const BIG_tl_LabeledArray<uint32_t>& Indexes() const { return maul_Index; }
    const BIG_cl_BitArray& BackupLoadedFile() const { return mab_BackupLoadedFile; }
    const BIG_tl_LabeledArray<BIG_st_World>& Worlds() const { return mast_World; }
    BIG_tl_LabeledArray<BIG_st_World>& Worlds() { return mast_World; }
    const BIG_cl_UniqueWorld* pUniqueWorld() const { return m_uniqueWorld.get(); }

private:
    uint32_t m_fileCount = 0;
    BIG_tl_LabeledArray<uint32_t> maul_Key;
    BIG_tl_LabeledArray<uint32_t> maul_ExtraKey;
    BIG_tl_LabeledArray<uint32_t> maul_Index;
    BIG_cl_BitArray mab_LoadedFile;
    BIG_cl_BitArray mab_BackupLoadedFile;
    BIG_tdst_WorldMask m_currentWorldMask{};
    bool m_recording = false;
    BIG_tl_LabeledArray<BIG_st_KeyHolderFileData> mast_FileData;
    BIG_tl_LabeledArray<BIG_st_Block> mast_BlockArray;
    BIG_tl_LabeledArray<BIG_cl_BlockIndex> maul_BlockIndexArray;
    BIG_tl_LabeledArray<BIG_cl_BlockIndex> maul_SortedBlock;
    BIG_tl_LabeledArray<Tag> m_keyTags;
    BIG_tl_LabeledArray<BIG_st_World> mast_World;
    uint32_t m_reducedFileCount = 0;
    std::unique_ptr<BIG_cl_UniqueWorld> m_uniqueWorld;
};
