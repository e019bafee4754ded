// The bigfile splitter, the tool the factory hands to the host.
//
// It cuts the bigfile that OVI_Big opened into a common bigfile "Marlin"
// (files needed by at least `weight` of the selected worlds, and files forced
// into it) and one bigfile per selected world (the rest of that world's
// closure), or into one "dlc" bigfile in single mode. Files of the gmbigfile
// stay out of the world outputs; files whose names hold a rem criterion stay
// out of every output. What was needed but could not be placed is counted and
// reported.
//
// Session: eInit copies the host's block (the tool keeps no pointer to it),
// eRun maps the bigfile, builds the closures, gathers the common keys and
// writes the outputs, eDeinit closes the bigfile.
//
// Files: OVI_Splitter.cpp holds the session (eInit, eRun, eDeinit), the
// mapping hooks and the pass logs; OVI_SplitterInputs.cpp reads the side
// inputs (the gmbigfile's keys, the critical list, the replacement content);
// OVI_SplitterPasses.cpp gathers the common keys and runs the output passes;
// OVI_SplitterWrite.cpp writes one SplitOutput as a bigfile under
// DATAROOT/DLC/<name>/<name>.big (optionally with a gzip copy);
// OVI_SplitterReports.cpp writes the critical and final reports and the
// link-file line; OVI_ReportFormat.h holds the names and line formats of the
// logs and reports. Logs, reports, "linker_pc.map" and the replacement file
// are written in the process's current directory.
//
// Threads: everything runs on the host's calling thread, one tool at a time,
// but for the helpers of the writer (the read-ahead of the contents an output
// copies, the gzip copies), which it starts and waits for.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <set>
#include <memory>
#include <string>
#include <string_view>

#include "platform/File.h"
#include "plugin/OVI_Big.h"
#include "plugin/OVI_LinkerConvert.h"
#include "plugin/OVI_LoadHelpers.h"
#include "plugin/OVI_ReadAhead.h"
#include "plugin/OVI_SoundsHelper.h"
#include "plugin/OVI_SplitOutput.h"
#include "orvex/OVC_Interface.h"

class BIG_cl_Fat;

namespace ORVEX {

class OVI_GzipCopier;
class OVI_SyncQueue;

// The rem criteria of a run: name fragments; a file whose name contains one
// is placed nowhere. Ordered by the host's u32.
struct RemovalCriteria {
    std::map<uint32_t, std::string> m_Criteria;
};

// The content every type-126 file of the outputs receives when the
// replacement flag is set. Empty until loaded.
struct ReplacementContent {
    static constexpr uint32_t kNoType = 0xFFFFFFFF;
    uint32_t ul_Type = kNoType;
    uint32_t ul_Size = 0;
    std::unique_ptr<uint8_t[]> p_Data;

    bool bHasData() const { return p_Data != nullptr && ul_Size != 0; }
};

// Keys that must be placed, read from a text file of entries
// "word key number number" (whitespace separated, numbers in decimal); made
// for one output pass and then discarded.
class CriticalList {
public:
    static constexpr int32_t kStatusRead = 0;
    static constexpr int32_t kStatusNotOpened = 4;
    // Bounds of the side file: a longer file or word is refused with an error line.
    static constexpr uint64_t kMaxFileSize = 64u << 20;
    static constexpr size_t kMaxWordLength = 1023;

    // Reads the list. A file that does not open leaves the list not loaded
    // (status 4). An entry that does not parse ends the reading with an
    // error line; the entries before it stay. A key listed twice counts once.
    // True when the whole list was read (an empty path reads nothing and is
    // true); false after an error line naming the path and the reason.
    bool Load(const std::string& path);
    // Parses list text (the file's bytes). Returns false, with the reason in
    // `*problem`, at the first entry that does not parse.
    bool bParse(std::string_view text, std::string* problem);
    // A key newly added to an output: a listed key's count rises by 1.
    void Check(uint32_t key);

    int32_t l_Status = kStatusNotOpened;
    bool b_Loaded = false;
    std::map<uint32_t, uint32_t> m_Keys;  // listed key -> number of outputs that took it
};

class OVI_Splitter : public OVI_Big {
public:
    // Types that steer the splitter.
    static constexpr uint32_t kTypeWorld = 4;
    static constexpr uint32_t kTypeReplacement = 126;
    // Forced into the common output (walk mode 2) unless the DLC flag is set.
    static constexpr uint32_t kTypeDst = 40;
    static constexpr uint32_t kTypeEnd = 60;
    static constexpr uint32_t kTypeEps = 129;
    static constexpr uint32_t kTypeEpl = 131;
    // Placed files of these types go to the sounds helper.
    static constexpr uint32_t kSoundTypes[] = {52, 61, 62, 63, 64};
    static constexpr uint32_t kDlcWeight = 10000000;
    static constexpr uint32_t kCommonRoot = 0xFFFFFFFF;
    // Keys of 255 and below are never counted as unplaced.
    static constexpr uint32_t kLastUncountedKey = 255;
    static constexpr const char* kCommonName = "Marlin";
    static constexpr const char* kSingleName = "dlc";
    static constexpr const char* kLinkerMap = "linker_pc.map";
    // The "info" lines that give the wall time of each phase of eRun:
    // "scan 1.250000 s", then closures, writing (the gzip copies excluded)
    // and compression (the time the run waited for the gzip copies, which
    // are written while the next output is).
    static constexpr const char* kPhaseTag = "phase";
    static constexpr const char* kPhaseLine = "%s %.6f s";

    OVI_Splitter();
    ~OVI_Splitter() override;

    const OVC_Version* GetVersion() override;
    // Refuses (status 1, nothing started) a block whose full version word is
    // not 1.1.1.1 or that is not a splitter block. Then runs OVI_Big's eInit
    // and, when that succeeds, copies the block (all but the reserved word),
    // builds the CRC table and, unless the DLC flag is set, loads the AI
    // objects; under the DLC flag the weight becomes 10000000.
    int32_t eInit(OVC_Params* params) override;
    int32_t eDeinit() override;
    // The whole split: reads the gmbigfile's keys, maps the references (from
    // the reference cache when one is named, else by scanning the bigfile),
    // resolves the banks, builds the closures, loads the replacement content
    // (replacement flag), gathers the common keys, writes the outputs, copies
    // the sound packages, saves the link map (linker flag) and the critical
    // report, then the final report. Returns the worst status of the run: 0;
    // -1 when a scanned file had no data; 4 when an output, a log, a report,
    // a sound package or a named side input failed, or a world was skipped.
    int32_t eRun() override;
    // Link files, world roots, forced types, bank files and the replacement
    // capture. Always false.
    bool OnFileRefs(const FileRefRecord& record, const uint8_t* payload, uint32_t payloadSize) override;
    // Records (missing key, referring key). Always true.
    bool OnMissingRef(uint32_t referringKey, uint32_t missingKey) override;

    // Pass logs, one open at a time, in the current directory. Each returns
    // 0 on success, 4 otherwise. A log is kept in memory and written whole
    // through a temporary file when it is closed: a log that cannot be
    // written raises the session status to 4 (with an error line) and leaves
    // no cut file. A success never lowers the session status.
    virtual int32_t OpenLog(const char* path);
    virtual int32_t LogPrintf(const char* format, ...) __attribute__((format(printf, 2, 3)));
    virtual int32_t CloseLog();

    // True for a name that may become an output folder and file name: not
    // empty, at most 63 characters, no '/', '\\' or NUL, not "." or "..".
    static bool bIsSafeOutputName(std::string_view name);
    // One of the seven keys put into the common output unless the DLC flag is set.
    static bool bIsBuiltInCommonKey(uint32_t key);

protected:
    // ---- side inputs (OVI_SplitterInputs.cpp) ------------------------------------
    // Keys of every file of the gmbigfile. 0, or 4 when it cannot be opened or read.
    int32_t _LoadGmKeys(const std::string& path);
    // Loads the replacement file into the replacement content (replacement
    // flag set; after the closures, before the common keys are gathered).
    void _LoadReplacement();
    // Writes the content of type-126 file `index` to the replacement path
    // (replacement flag and path set); called for a file smaller than any
    // seen before in this session.
    void _CaptureReplacement(const FileRefRecord& record, uint32_t index);

    // ---- passes (OVI_SplitterPasses.cpp) -------------------------------------------
    void _GatherCommonKeys();
    // Appends a key map (key -> walk mode) to the common closure; always 0.
    int32_t _eAppendKeys(const std::map<uint32_t, uint32_t>& keys);
    // True to keep the file, false to leave it out.
    bool _CheckRemCriteria(const FileRefRecord& record);
    // `records` indexes mmap_Records for the passes' look-ups of closure keys.
    void _CreateCommon(CriticalList& list, SplitOutput& output, RecordIndex& records);
    void _CreateSplit(CriticalList& list, uint32_t root, SplitOutput& output, RecordIndex& records);
    void _CreateBigFiles();
    // True once an interrupt was asked for (the first time: an error line and status 4).
    bool _bInterrupted();
    // The end of eRun: the bank registry cleared, the closing line, the status.
    int32_t _EndRun(bool catchInterrupts);
    // After a pass and its log: the pass's "Not Good" message when the pass
    // itself failed.
    void _EndPass(const char* format, const std::string& name);
    // A world skipped before its pass: the error line and status 4.
    void _SkipWorld(uint32_t root, const std::string& why);
    static bool bIsSoundType(uint32_t type);
    // Prepares an output: name, package word and id, key array of `capacity`.
    bool _bMakeOutput(SplitOutput& output, const std::string& name, uint32_t capacity);
    // The output name of world root `root`: its file name cut at the last '.';
    // empty (after an error line) when it has no FAT entry or is not a safe name.
    std::string _WorldOutputName(uint32_t root);
    // The full FAT path of world file `root` (empty when it has none).
    std::string _WorldFilePath(uint32_t root) const;
    // Places `key` into `output`, counting it in the critical list and handing
    // sound files to the sounds helper. True when the key was new there.
    bool _bPlace(CriticalList& list, SplitOutput& output, uint32_t key, const FileRefRecord& record);
    // Adds 1 to the unplaced count of `key` (keys above 255 only).
    void _CountUnplaced(uint32_t key);
    bool _bHasFile(uint32_t key) const;

    // ---- output writer (OVI_SplitterWrite.cpp) ------------------------------------
    // Writes `output` as DATAROOT/DLC/<name>/<name>.big from its keys map (and
    // a gzip copy when the compress flag is set). 0 on success; on failure -1
    // when the output had no key, else 0. The sync of its files and the gzip
    // copy run in the background: the output then waits, complete in its
    // work folder, until _eFinishPendingOutputs moves it into place (the next
    // outputs call it, and the run once every output is written).
    // Virtual so that a test can take the outputs without writing them.
    virtual int32_t _CreateBigFile(SplitOutput& output);
    // Moves the waiting outputs into place, oldest first: those whose sync
    // and gzip copy have ended, then more, waiting for them, until at most
    // `keep` wait. An output whose files could not be synced is discarded;
    // one whose copy failed goes into place without it, after its error
    // line. 0, or -1 when an output could not be moved.
    int32_t _eFinishPendingOutputs(size_t keep = 0);
    // Removes the work files of an output that failed, says why, raises the
    // status; -1.
    int32_t _eDiscardOutput(const std::string& name, const std::string& buildPath, const std::string& work,
                            const std::string& reason);
    // The source file of each of the first `count` keys of `keys`
    // (BIG_cl_Fat::kNoFile for a key without one).
    std::vector<uint32_t> _SourceFiles(const uint32_t* keys, uint32_t count) const;
    // Copies the first `count` keys of `keys` from the process-wide FAT into
    // `fat`; `files` are their source files (_SourceFiles), and `ahead` reads
    // their contents ahead. False at the first file that cannot be copied,
    // with the reason in `*reason` when it is known (empty for a write error
    // of the table).
    bool _CopyFiles(BIG_cl_Fat& fat, const uint32_t* keys, const std::vector<uint32_t>& files,
                    OVI_ReadAhead& ahead, std::string* reason);
    // Copies source file `sourceIndex` into directory `dirIndex` of `fat`,
    // with its content from `ahead` when that was read ahead, else loaded
    // here. False when it cannot be created or stored, or when its content
    // does not match the source table's checksum (the source changed under
    // the run).
    bool _CopyFile(uint32_t sourceIndex, BIG_cl_Fat& fat, uint16_t dirIndex, std::string* reason,
                   OVI_ReadAhead::Content ahead = OVI_ReadAhead::Content());
    // Takes the run's reproducibility from the environment. False, after the
    // error line, for a SOURCE_DATE_EPOCH that is not a time.
    bool _bTakeReproducibility();
    // Writes the world closures to the file the host named (kHostClosuresVariable), if any.
    void _HandClosuresToHost();

    // ---- reports (OVI_SplitterReports.cpp) ------------------------------------------
    // "report" and critical_report.csv from `list` and the missing references.
    void _WriteCriticalReport(CriticalList& list);
    // final_missing.files.csv from the unplaced counts; the output lines only
    // when `report`. 0, or -1 when some unplaced key has no FAT entry.
    int32_t _eWriteFinalReport(bool report);
    // The "link-file" info line of link file `record`, whose FAT entry is `index`.
    void _PrintLinkFile(const FileRefRecord& record, uint32_t index);
    // Writes a report whole; a report that cannot be written is a failure.
    void _WriteReport(const char* name, const std::string& text);
    // FileTypeInString of a type code (the type-name table).
    static const char* psz_TypeName(uint32_t type);

    // ---- members -----------------------------------------------------------------------
    OVI_SplitterParams mo_Params;  // the tool's copy; OVI_Big's block pointer points at it
    OVI_AILoadHelper mo_AILoadHelper;
    OVI_SoundsHelper mo_SoundsHelper;  // its key map receives the placed sound files
    OVI_DirLoadHelper mo_DirLoadHelper;
    RemovalCriteria mo_RemCriteria;
    ReplacementContent mo_Replacement;
    // Size and times of the source's segment files when the first output of
    // the run was written; each output checks them again (empty until then).
    std::vector<uint64_t> mab_SourceState;
    OVI_LinkerConvert mo_Linker;
    std::map<uint32_t, uint32_t> mmap_Unplaced;          // key -> passes that failed to place it
    std::multimap<uint32_t, uint32_t> mmap_MissingRefs;  // missing key -> referring key
    // The open pass log: its path and its text so far.
    bool mb_LogOpen = false;
    std::string ms_LogPath;
    std::string ms_LogText;
    // The status of the pass under way alone, for its "Not Good" message.
    int32_t ml_PassStatus = OVC_Status_Success;
    // A named side input of eInit (the AI library) that failed; raised into
    // the run's status by eRun.
    int32_t ml_InputStatus = OVC_Status_Success;
    bool mb_InterruptSaid = false;
    std::set<uint32_t> mst_GmKeys;
    // Set by a successful eInit, cleared by eDeinit: eRun needs an open bigfile.
    bool mb_Initialised = false;
    // Reproducible outputs (the host asked, or SOURCE_DATE_EPOCH is set): set
    // stamps from each output's tables, and the gzip header time below.
    bool mb_Reproducible = false;
    // Time of every gzip copy's header: 0 (none) unless reproducible.
    uint32_t mul_GzipTime = 0;
    // Wall time the run spent on (waiting for) the gzip copies, for the
    // "phase" lines.
    double md_CompressSeconds = 0;
    // The outputs whose files are being synced (and gzip copies written),
    // oldest first: complete in their work folders, moved into place by
    // _eFinishPendingOutputs.
    struct PendingOutput {
        std::string s_Name;
        std::string s_BuildPath;  // in the work folder
        std::string s_Path;       // its place
        std::string s_Work;
        unsigned uw_Segments = 0;
        bool b_Gzip = false;
    };
    std::deque<PendingOutput> mo_Pending;
    // Outputs that may wait at once; beyond, the next output waits for the
    // oldest. Each with a gzip copy holds its two files open.
    static constexpr size_t kMaxPendingOutputs = 8;
    std::unique_ptr<OVI_GzipCopier> mpo_Gzip;  // made with the first copy
    // The syncs of the pending outputs' files, one per output, in mo_Pending's order.
    std::unique_ptr<OVI_SyncQueue> mpo_Sync;  // made with the first output
    // Bounds of the contents read ahead while an output is written (0 bytes:
    // every content is loaded by the writing thread).
    OVI_ReadAhead::Limits mo_ReadAheadLimits;
    OVI_ReadAhead::Ring mo_ReadAheadRing;  // kept from one output to the next
    // The content length the scan found of each source file (0: none found),
    // which lets the read-ahead read a content in one read.
    std::vector<uint32_t> mau_ContentLengths;
    // Smallest size word of a type-126 file seen in this session.
    uint32_t mul_SmallestReplacementSize = 0xFFFFFFFF;
};

}  // namespace ORVEX
