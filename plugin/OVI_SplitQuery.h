// The splitter's decisions without its outputs, for questions about a split
// (`orvex why`, the size report).
//
// The session runs as the splitter runs it: mapping, closures, common keys
// and the output passes, so that what each output receives is the passes' own
// answer. Only the ends change: every filled output is kept as a key set
// instead of being written, and nothing else the run could write is asked for
// (no logs or reports, no reference cache, no link map, no replacement file,
// no sound package; the data root is not used). The final missing-files
// report and the AI library's object list are still written into the current
// directory, as the splitter always does: run a query in a folder of its own.
//
// After eRun the accessors read the state the session left: records, closures,
// roots, the common closure's forced sources and the links of the graph. The
// table stays open until eDeinit, so paths can be asked in between.
//
// Threads: as the splitter; one session at a time per process.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "plugin/OVI_Splitter.h"

namespace ORVEX {

class OVI_SplitQuery : public OVI_Splitter {
public:
    // Why a key is in the common closure by itself (not only through a
    // reference), in the order the splitter appends the sources.
    enum class Source : uint8_t {
        kNone,
        kForcedDirectory,  // a file of a --force-dir directory
        kForcedType,       // a type forced into the common output (40, 60, 129, 131)
        kBuiltInKey,       // one of the seven built-in common keys
        kForcedKey,        // a --force-key key
        kAIObject,         // an object the AI library declares
    };

    struct Output {
        std::string s_Name;
        std::set<uint32_t> keys;
    };

    // Takes a copy of the splitter block with every writing option switched
    // off (see above) and runs the splitter's eInit with it.
    int32_t eInit(OVC_Params* params) override;

    // The outputs the passes filled, in the order they were filled.
    const std::vector<Output>& Outputs() const { return m_Outputs; }
    // The output that took `key`; null when none did.
    const Output* pFindOutput(uint32_t key) const;

    const RecordMap& Records() const { return mmap_Records; }
    const std::map<uint32_t, uint32_t>& Roots() const { return mmap_Roots; }
    // A root's closure (the root included once the passes ran); the common
    // closure is kCommonRoot's. Empty when there is none.
    const KeySet& Closure(uint32_t root) const;
    bool bSingleOutput() const { return mo_Params.mb_Single || mo_Params.mb_Dlc; }
    bool bHasFile(uint32_t key) const { return _bHasFile(key); }
    bool bIsGmKey(uint32_t key) const { return mst_GmKeys.count(key) != 0; }
    // Whether the rem criteria leave `key` out (the splitter's own test), and
    // the first criterion its name holds.
    bool bRemoved(uint32_t key, std::string* criterion);
    // The source that put `key` into the common closure by itself.
    Source eDirectSource(uint32_t key) const;
    static const char* psz_SourceName(Source source);

    // The keys one step from `key` in the closure walks: its references that
    // the bigfile holds and, for a bank, bank list or element reference list,
    // the keys the bank registry adds.
    std::vector<uint32_t> Links(uint32_t key) const;
    // The shortest chain of links from one of `starts` to `target` through
    // keys of `within` only (the starts included), first start first; empty
    // when there is none. A start equal to the target is a chain of one.
    std::vector<uint32_t> ShortestChain(const std::vector<uint32_t>& starts, uint32_t target,
                                        const KeySet& within) const;

    // A world root's output name (its file name without the extension); empty
    // when it has none.
    std::string WorldName(uint32_t root) { return _WorldOutputName(root); }
    // The file's full path in the bigfile; empty when the bigfile lacks it.
    std::string FilePath(uint32_t key) const;

protected:
    // Keeps the output instead of writing it. The bank registry is still
    // filled then (eRun clears it at its end): its links are taken here.
    int32_t _CreateBigFile(SplitOutput& output) override;

private:
    std::vector<Output> m_Outputs;
    std::map<uint32_t, std::vector<uint32_t>> m_BankLinks;
    bool mb_BankLinksTaken = false;
};

}  // namespace ORVEX
