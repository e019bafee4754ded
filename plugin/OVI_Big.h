// Base of the library's tools: the inspection session over one bigfile.
//
// eInit starts the engine and opens the bigfile named in the parameter block
// on the process-wide table; the tool's eRun then maps the reference graph of
// every file (_ScanFiles, or _ReadRefsFile from a reference cache), computes
// the closure of every root with a use count per file (_BuildClosures) and
// works on the result; eDeinit closes the bigfile and stops the engine.
//
// The graph: `mmap_Records` holds one record per mapped file; `mmap_Edges`
// holds, per referring key, the referenced keys that exist in the bigfile, in
// the order they were mapped, duplicates kept (the ordered multimap of the
// design, kept as one vector per key: walks only ever ask for one key's edges
// in order, and a vector per file costs a fraction of a tree node per edge).
// Closures and use counts follow the walk modes of _WalkRefs.
//
// Hooks for the concrete tool: OnFileRefs for every mapped record (the record
// is already stored and its keys are in the reference buffer), OnMissingRef for
// every reference to a key the bigfile lacks.
//
// Threads: everything runs on the host's calling thread. The reference buffer,
// the shared file buffer and the bank registry are process-wide: one tool runs
// at a time.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "orvex/OVC_Interface.h"
#include "plugin/OVI_FileRefRecord.h"
#include "plugin/OVI_KeySet.h"
#include "plugin/OVI_RefsFile.h"

class BIG_cl_Fat;
struct BIG_st_ContentPlace;

namespace ORVEX {

// The worse of two tool statuses: 0, then -1 (a file without data), then 1,
// 4 and 5; an unknown status counts as a failure (4). A run's status is the
// worst of its steps: a later success never lowers an earlier failure.
int32_t OVI_l_WorseStatus(int32_t a, int32_t b);

class OVI_Big : public OVC_PluginInterface {
public:
    // The library's own bigfile format number.
    static constexpr uint32_t kLibraryFormatNb = 135;
    static constexpr uint32_t kDefaultWeight = 2;
    // Walk modes of _WalkRefs.
    static constexpr uint32_t kWalkCount = 0;   // +1 per reached file
    static constexpr uint32_t kWalkOnly = 1;    // no counting
    static constexpr uint32_t kWalkWeight = 2;  // + weight per reached file
    // Types the scan leaves out.
    static constexpr uint32_t kTypeCcm = 86;
    static constexpr uint32_t kTypeArd = 109;
    // Types expanded with the bank registry.
    static constexpr uint32_t kTypeDynamicBank = 87;
    static constexpr uint32_t kTypeDynamicBankList = 88;
    static constexpr uint32_t kTypeElementRefList = 89;

    using RecordMap = std::map<uint32_t, FileRefRecord>;
    // A closure, as the split keeps it; KeyTree while a tree walk grows one.
    using KeySet = OVI_KeySet;
    using KeyTree = std::set<uint32_t>;
    using EdgeMap = std::unordered_map<uint32_t, std::vector<uint32_t>>;

    OVI_Big();
    ~OVI_Big() override;

    // GetVersion and eRun are left to the concrete tool.

    // Refuses (status 1, nothing started) a block without a version or whose
    // version's first byte is not 1. Then starts the engine and opens the
    // bigfile (4 when either fails), reads its table (5 when that fails),
    // writes the "version" lines, loads the duplicated-files table (kept until
    // eDeinit) and returns 0. The block must be an OVI_BigParams.
    int32_t eInit(OVC_Params* params) override;
    // Closes the bigfile and stops what this tool's eInit started; returns the
    // status unchanged.
    int32_t eDeinit() override;

    // Called once per mapped record, the record stored and its keys in the
    // reference buffer (pul_GetRefKeys). `payload` is the file's data after
    // its reference table, or null (size 0) when the data are not in memory;
    // it must not be used once the call returns. The base does nothing.
    virtual bool OnFileRefs(const FileRefRecord& record, const uint8_t* payload, uint32_t payloadSize);
    // Called with the referring key and the referenced key when a file refers
    // to a key that the bigfile lacks (never for 0 or 0xFFFFFFFF). The base
    // does nothing.
    virtual bool OnMissingRef(uint32_t referringKey, uint32_t missingKey);
    // Formats into 1024 bytes (cut at 1023), writes the text to standard
    // output, then a newline and the text to the debugger output.
    virtual void Print(const char* format, ...) __attribute__((format(printf, 2, 3)));

    int32_t l_Status() const { return ml_Status; }
    uint32_t ul_GetWeight() const { return mul_Weight; }

    // Processes that start the engine count here; the runtime library stops
    // when the count drops to zero.
    static uint32_t ul_RuntimeUsers();
    // Frees the engine's process-wide state: its shared file buffer and its
    // reference buffer (the plug-in's unload, with every tool stopped).
    static void ReleaseRuntime();

protected:
    // Builds records and edges from every file's reference table; writes
    // "refs.bin" in the current directory when the write flag is set. The
    // status is raised to -1 when any file that passed the filters has no
    // data, wherever it lies in the table.
    void _ScanFiles(uint32_t fileCount);
    // Builds records and edges from a reference cache, once the whole cache
    // has been checked against the bigfile: a cache that cannot be read or
    // is damaged (error line, status 4) or that was made from another
    // bigfile or an older state of this one (one warning) is not used, and
    // the bigfile is scanned instead (writing a fresh cache when the write
    // flag is set). A record whose key is in the table at another index is
    // repaired to that index. Every key of the cache has its record before
    // the first hook runs, the records not yet reached empty; a cache that
    // fails while it is mapped (error line, status 4) keeps the records
    // mapped so far and no other.
    void _ReadRefsFile(const std::string& path);
    // Stores `record` (replacing any record with its key) and an edge per
    // key of `keys` that the bigfile holds; missing keys go to OnMissingRef.
    // Returns the stored record.
    const FileRefRecord& _MapRefs(FileRefRecord record, const uint32_t* keys);
    // _MapRefs' edges: of `from`'s `refCount` keys, those the bigfile holds.
    void _MapEdges(uint32_t from, uint32_t refCount, const uint32_t* keys);
    // Makes the record of every key of `order` (key << 32 | slot; sorted
    // here) that has none, in key order: (*nodes)[slot] is the key's node.
    // Returns the first slot of each key whose node was made here.
    std::vector<uint32_t> _MakeRecordNodes(std::vector<uint64_t>& order,
                                           std::vector<RecordMap::iterator>* nodes);
    // The closure and use counts of every root, in ascending key order.
    void _BuildClosures();
    // Adds everything reachable from `key` to `set`, counting by `mode`.
    void _WalkRefs(KeyTree& set, uint32_t key, uint32_t mode);
    // Adds what the dynamic banks, bank lists and element reference lists of
    // `set` need (visiting keys inserted behind the current one too).
    void _ExpandBanks(KeyTree& set);
    // What bank file `key` (record `record`) adds to a closure: `add(ref,
    // uses, walk)` for each key it names, in the registry's order. Returns
    // the uses the file itself gains (a bank list gains the weight); 0 for
    // another type or a bank the registry lacks (with its warning).
    uint32_t _ul_ExpandBank(uint32_t key, const FileRefRecord& record,
                            const std::function<void(uint32_t ref, uint32_t uses, bool walk)>& add);
    // Key, type, index and name of FAT entry `index`; use count 0. The status
    // is left alone. 0 (record untouched) when there is no table or no such entry.
    uint32_t _FillFileRecord(uint32_t index, FileRefRecord* record);
    // Reads the size word and reference table of FAT entry `index` into
    // `record` and the reference buffer: 0, or -1 when the file has no data.
    // Only the 8-byte head and the keys are read; when the whole content is
    // already in memory, `payload` receives the data after the table (valid
    // until the next read), else null and size 0.
    int32_t _eReadRefTable(uint32_t index, FileRefRecord* record, const uint8_t** payload = nullptr,
                           uint32_t* payloadSize = nullptr);

    // A batch run's end: lets the reference manager finish indexing the
    // bigfile (its IDX file then lies beside it for the next run), showing
    // the progress on a terminal's status line; an interrupt cuts it short.
    void _FinishIndexing();

    // Whether the bigfile holds a file with `key`; the tables' key index.
    virtual bool _bIsKeyInBigfile(uint32_t key) const;

    // The keys of the record being processed (valid during OnFileRefs).
    static const uint32_t* pul_GetRefKeys();
    static OVI_RefBuffer& RefBuffer();
    // Raises the status to `status` when that is worse; never lowers it.
    void _RaiseStatus(int32_t status) { ml_Status = OVI_l_WorseStatus(ml_Status, status); }

    // Use count of `key`, creating an empty record (all fields 0) when absent.
    uint32_t& UseCount(uint32_t key) { return mmap_Records[key].ul_UseCount; }

    // The records in a flat, sorted array, for the loops that look up every
    // key of a closure: a search of contiguous keys, starting from the last
    // hit as closures ascend, instead of a walk from the tree's root through
    // nodes spread over the heap. Records made after the index are found in
    // the map; an absent key gets an empty record there, as
    // mmap_Records[key] gives it.
    class RecordIndex {
    public:
        explicit RecordIndex(RecordMap& records);
        FileRefRecord& operator[](uint32_t key);

    private:
        RecordMap& m_records;
        std::vector<uint32_t> m_keys;
        std::vector<FileRefRecord*> m_values;
        size_t m_last = 0;  // where the previous key was found or would be
    };

    std::map<uint32_t, uint32_t> mmap_Roots;       // root keys; the value is not used here
    std::map<uint32_t, uint32_t> mmap_SecondKeys;  // the tool's own
    RecordMap mmap_Records;
    std::map<uint32_t, KeySet> mmap_Closures;
    EdgeMap mmap_Edges;
    int32_t ml_Status = OVC_Status_Success;
    uint32_t mul_FileCount = 0;
    bool mb_First = false;
    bool mb_WriteRefsCache = false;
    bool mb_ReportMissing = false;
    uint32_t mul_Weight = kDefaultWeight;
    // The tool's own copy of the parameter block (set by the concrete tool).
    OVI_BigParams* mpo_Params = nullptr;
    // The table the session works on: the process-wide one after eInit.
    BIG_cl_Fat* mpo_Fat = nullptr;
    // Where "refs.bin" is written.
    std::string ms_RefsCachePath = "refs.bin";
    // A reference cache up to this size is read whole, with one read.
    uint64_t mull_RefsReadWholeMax = OVI_RefsFileFormat::kWholeFileMax;

private:
    void _StopEngine();

    // The first bytes of the content being scanned. Small enough that a copy
    // costs less than the second read it saves; most contents fit whole, so
    // their payload is handed over from here.
    static constexpr uint32_t kHeadWindowSize = 4096;
    // During a scan, the heads of the files that follow, when they lie close
    // behind each other, come with the same read: a system call costs as much
    // as copying several KiB, and a bigfile of small files would otherwise
    // take one per file. Gaps up to kScanMergeGap are read through; one read
    // holds up to kScanReadMax bytes and looks up to kScanLookahead entries on.
    static constexpr uint32_t kScanMergeGap = 16384;
    static constexpr uint32_t kScanReadMax = 1u << 20;
    static constexpr uint32_t kScanLookahead = 1024;
    struct ScanWindow {
        const BIG_cl_Fat* po_Fat = nullptr;  // whose container the bytes are from; null when none are held
        uint64_t ull_Start = 0;              // container byte offset of the first byte held
        uint32_t ul_Size = 0;                // bytes held
        bool b_ToSegmentEnd = false;         // the read stopped at its segment file's end
        std::vector<uint8_t> au8_Bytes;
    };
    // The bytes from the head of the file at `index` (at `place`) to the end
    // of the last following head worth the same read.
    uint32_t _ul_ScanExtent(uint32_t index, const BIG_st_ContentPlace& place) const;
    ScanWindow mo_ScanWindow;
    bool mb_ScanReadsAhead = false;

    bool mb_RuntimeStarted = false;
    bool mb_LibraryStarted = false;
    bool mb_BigfileOpen = false;
};

}  // namespace ORVEX
