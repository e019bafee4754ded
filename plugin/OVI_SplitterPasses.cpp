// The splitter's placement: the common keys, the rem criteria and the output
// passes that decide which keys each output bigfile receives.
//
// When the passes start, a record's use count is the number of selected
// worlds whose closure holds it, plus what the bank expansion added, plus
// what _eAppendKeys set or added for the forced keys. A key whose use count
// reaches the weight goes to the common output; a key of a world's closure
// below the weight goes to that world's output; in both cases only when the
// bigfile holds it and the rem criteria keep it, and for a world only when it
// is not a gmfile.
#include <algorithm>
#include <cstdio>
#include <map>
#include <string>

#include "BIGfile/BIG_Fat.h"
#include "plugin/OVI_ReportFormat.h"
#include "plugin/OVI_Splitter.h"
#include "plugin/OVI_Text.h"

namespace ORVEX {

namespace {

constexpr uint32_t kNoKey = 0xFFFFFFFF;

struct BuiltInKey {
    uint32_t ul_Key;
    uint32_t ul_Mode;
};

// Put into the second key set before the forced keys unless the DLC flag is set.
constexpr BuiltInKey kBuiltInCommonKeys[] = {
    {0x02000000, OVI_Big::kWalkCount},  {0xBD10946B, OVI_Big::kWalkCount}, {0xB7101620, OVI_Big::kWalkCount},
    {0x1F10C807, OVI_Big::kWalkCount},  {0x00001000, OVI_Big::kWalkCount}, {0xFC0B0ABC, OVI_Big::kWalkWeight},
    {0xDD008657, OVI_Big::kWalkWeight},
};

}  // namespace

bool OVI_Splitter::bIsBuiltInCommonKey(uint32_t key) {
    return std::any_of(std::begin(kBuiltInCommonKeys), std::end(kBuiltInCommonKeys),
                       [key](const BuiltInKey& builtIn) { return builtIn.ul_Key == key; });
}

bool OVI_Splitter::bIsSoundType(uint32_t type) {
    return std::find(std::begin(kSoundTypes), std::end(kSoundTypes), type) != std::end(kSoundTypes);
}

bool OVI_Splitter::_bHasFile(uint32_t key) const {
    return _bIsKeyInBigfile(key);
}

// ---- common keys -----------------------------------------------------------------

void OVI_Splitter::_GatherCommonKeys() {
    if (!mo_Params.mb_Dlc)
        for (const BuiltInKey& builtIn : kBuiltInCommonKeys)
            mmap_SecondKeys.emplace(builtIn.ul_Key, builtIn.ul_Mode);
    const uint32_t mode = mo_Params.mb_KeysOnly ? kWalkCount : kWalkWeight;
    for (const auto& [order, path] : mo_Params.mmap_ForcedDirs)
        mo_DirLoadHelper.LoadDirectory(path, mode);
    for (const auto& [key, unused] : mo_Params.mmap_ForcedKeys)
        mmap_SecondKeys.emplace(key, mode);
    _eAppendKeys(mo_DirLoadHelper.KeyMap());
    _eAppendKeys(mmap_SecondKeys);
    _eAppendKeys(mo_AILoadHelper.KeyMap());
}

int32_t OVI_Splitter::_eAppendKeys(const std::map<uint32_t, uint32_t>& keys) {
    // The walks grow the common closure key by key: on a tree, kept as an array.
    KeyTree common = mmap_Closures[kCommonRoot].ToSet();
    for (const auto& [key, mode] : keys) {
        if (!_bHasFile(key)) {
            if (mb_ReportMissing && key != 0 && key != kNoKey)
                OVC_OutputString("warning", "filenotfound",
                                 "OVI_Splitter::_eAppendKeys File ! Found : Refkey %u | 0x%08X", key, key);
            continue;
        }
        UseCount(key);  // makes sure the key has a record
        common.insert(key);
        switch (mode) {
            case kWalkCount:
                UseCount(key) = mul_Weight;
                break;
            case kWalkOnly:
                _WalkRefs(common, key, kWalkOnly);
                break;
            case kWalkWeight:
                UseCount(key) = mul_Weight;
                _WalkRefs(common, key, kWalkWeight);
                break;
            default:
                break;
        }
    }
    _ExpandBanks(common);
    // Runs at the end of each call: a key that entered the common closure in
    // an earlier call gets 1 more per later call.
    for (uint32_t key : common)
        UseCount(key) += 1;
    mmap_Closures[kCommonRoot] = KeySet(common);
    return OVC_Status_Success;
}

// ---- rem criteria ------------------------------------------------------------------

bool OVI_Splitter::_CheckRemCriteria(const FileRefRecord& record) {
    if (mo_RemCriteria.m_Criteria.empty())
        return true;
    if (record.s_Name.empty())
        return false;
    bool keep = true;
    for (const auto& [order, criterion] : mo_RemCriteria.m_Criteria) {
        if (record.s_Name.find(criterion) == std::string::npos)
            continue;
        OVC_OutputString("info", "remkey", "%32s removed by rem criteria ( %32s )\n", record.s_Name.c_str(),
                         criterion.c_str());
        keep = false;
    }
    return keep;
}

// ---- passes --------------------------------------------------------------------------

void OVI_Splitter::_CountUnplaced(uint32_t key) {
    if (key > kLastUncountedKey)
        mmap_Unplaced[key] += 1;
}

bool OVI_Splitter::_bPlace(CriticalList& list, SplitOutput& output, uint32_t key,
                           const FileRefRecord& record) {
    const bool added = output.bInsert(key);
    if (added && list.b_Loaded)
        list.Check(key);
    if (bIsSoundType(record.ul_Type))
        mo_SoundsHelper.bInsertKey(key, kWalkOnly);
    return added;
}

void OVI_Splitter::_CreateCommon(CriticalList& list, SplitOutput& output, RecordIndex& records) {
    // The common closure first, without a log line. A key the bigfile lacks
    // (a bank may name one) is left to the record walk below, which counts it
    // unplaced: placing it would count it in the critical list as written
    // while the writer skips it.
    const KeySet& common = mmap_Closures[kCommonRoot];
    for (uint32_t key : common) {
        const FileRefRecord& record = records[key];
        if (record.ul_UseCount >= mul_Weight && _bHasFile(key) && _CheckRemCriteria(record))
            _bPlace(list, output, key, record);
    }
    // Then every record that reached the weight; those below are the worlds'.
    uint32_t line = 0;
    for (const auto& [key, record] : mmap_Records) {
        if (record.ul_UseCount < mul_Weight)
            continue;
        if (_bHasFile(key) && _CheckRemCriteria(record)) {
            if (mb_ReportMissing)
                LogPrintf(kCommonLogLine, line++, key, static_cast<int>(record.ul_Type),
                          static_cast<unsigned long>(record.ul_Size), key, record.s_Name.c_str(),
                          record.ul_UseCount);
            _bPlace(list, output, key, record);
        } else if (key != 0 && key != kNoKey) {
            if (mb_ReportMissing)
                OVC_OutputString("error", "filenotfound",
                                 "OVI_Splitter::_CreateCommon File ! Found : Refkey %u | 0x%08X", key, key);
            _CountUnplaced(key);
        }
    }
}

void OVI_Splitter::_CreateSplit(CriticalList& list, uint32_t root, SplitOutput& output,
                                RecordIndex& records) {
    const KeySet& closure = mmap_Closures[root];
    uint32_t line = 0;
    for (uint32_t key : closure) {
        const FileRefRecord& record = records[key];
        if (record.ul_UseCount >= mul_Weight || key == 0)
            continue;
        if (!_bHasFile(key) || !_CheckRemCriteria(record)) {
            if (key != kNoKey) {
                if (mb_ReportMissing)
                    OVC_OutputString("warning", "filenotfound",
                                     "OVI_Splitter::_CreateSplit File ! Found : Refkey %u | 0x%08X", key,
                                     key);
                _CountUnplaced(key);
            }
            continue;
        }
        // Only the world outputs leave gmfiles out: one that reached the
        // common output stays there.
        if (mst_GmKeys.count(key) != 0) {
            if (mb_ReportMissing)
                LogPrintf(kGmExcludedLogLine, key, record.s_Name.c_str());
            continue;
        }
        if (mb_ReportMissing)
            LogPrintf(kWorldLogLine, line++, key, static_cast<int>(record.ul_Type), key,
                      record.s_Name.c_str(), record.ul_UseCount);
        _bPlace(list, output, key, record);
    }
}

void OVI_Splitter::_EndPass(const char* format, const std::string& name) {
    // Only what failed in this pass: an earlier failure has had its own message.
    if (ml_PassStatus != OVC_Status_Success)
        Print(format, name.c_str());
    ml_PassStatus = OVC_Status_Success;
}

void OVI_Splitter::_SkipWorld(uint32_t root, const std::string& why) {
    OVC_OutputString("error", "big-file", "World 0x%08X %s: no output for it", root, why.c_str());
    _RaiseStatus(OVC_Status_Failure);
}

// ---- outputs ---------------------------------------------------------------------------

bool OVI_Splitter::_bMakeOutput(SplitOutput& output, const std::string& name, uint32_t capacity) {
    output.s_Name = name;
    output.ul_PackageWord = mo_Params.muw_PackageWord;
    output.ul_PackageId = mo_Params.muw_PackageId;
    output.uc_HeaderByte = SplitOutput::kHeaderByte;
    output.m_Keys.clear();
    if (!output.bReserve(capacity)) {
        OVC_OutputString("error", "big-file", "No memory for the %u keys of output '%s'", capacity,
                         name.c_str());
        _RaiseStatus(OVC_Status_Failure);
        return false;
    }
    return true;
}

std::string OVI_Splitter::_WorldOutputName(uint32_t root) {
    const uint32_t index = mpo_Fat->ul_GetFileIndex(root, true);
    if (index == BIG_cl_Fat::kNoFile) {
        _SkipWorld(root, "has no file in the bigfile");
        return std::string();
    }
    std::string name = mpo_Fat->GetFileName(index);
    const size_t dot = name.rfind('.');
    if (dot != std::string::npos)
        name.resize(dot);
    if (!bIsSafeOutputName(name)) {
        _SkipWorld(root, "is named '" + name + "', which cannot name an output folder");
        return std::string();
    }
    return name;
}

std::string OVI_Splitter::_WorldFilePath(uint32_t root) const {
    const uint32_t index = mpo_Fat->ul_GetFileIndex(root, false);
    return index == BIG_cl_Fat::kNoFile ? std::string() : mpo_Fat->GetFilePath(index);
}

void OVI_Splitter::_CreateBigFiles() {
    CriticalList list;
    const std::string criticalPath(OVI_TextOf(mo_Params.msz_CriticalListPath));
    if (!list.Load(criticalPath))
        _RaiseStatus(OVC_Status_Failure);
    const bool report = mb_ReportMissing;
    const bool copy = !mo_Params.mb_NoCopy;
    static constexpr const char* kCommonNotGood = "[error: splitter] Skipping Marlin. Not Good%s\n";
    static constexpr const char* kWorldNotGood = "[error: splitter] Skipping World. Not Good : %s\n";

    // The key array is sized before the pass; should a pass place more keys
    // (it cannot), the array grows before writing rather than drop any.
    auto write = [&](SplitOutput& output) {
        if (output.m_Keys.size() > output.ul_Capacity &&
            !output.bReserve(static_cast<uint32_t>(output.m_Keys.size()))) {
            OVC_OutputString("error", "big-file", "No memory for the keys of output '%s'",
                             output.s_Name.c_str());
            _RaiseStatus(OVC_Status_Failure);
            return;
        }
        _CreateBigFile(output);
    };
    // One pass between its log's opening and closing.
    auto pass = [&](const std::string& logName, auto&& body) {
        ml_PassStatus = OVC_Status_Success;
        if (report)
            OpenLog(logName.c_str());
        body();
        if (report)
            CloseLog();
    };

    RecordIndex records(mmap_Records);
    mau_ContentLengths.assign(mpo_Fat != nullptr ? mpo_Fat->ul_GetFileCount() : 0, 0);
    for (const auto& [key, record] : mmap_Records) {
        if (record.ul_Index < mau_ContentLengths.size())
            mau_ContentLengths[record.ul_Index] = record.ul_Size;
    }
    if (mo_Params.mb_Single || mo_Params.mb_Dlc) {
        SplitOutput single;
        if (_bMakeOutput(single, kSingleName, static_cast<uint32_t>(mmap_Records.size()))) {
            pass(kCommonLogName, [&] { _CreateCommon(list, single, records); });
            _EndPass(kCommonNotGood, "");
            for (const auto& entry : mmap_Roots) {
                const uint32_t root = entry.first;  // a plain name: clang 14 lambdas cannot capture bindings
                if (_bInterrupted())
                    return;
                mmap_Closures[root].insert(root);
                pass(OVI_WorldLogName(root), [&] { _CreateSplit(list, root, single, records); });
                _EndPass(kWorldNotGood, single.s_Name);
            }
            if (copy && !_bInterrupted())
                write(single);
        }
    } else {
        {
            SplitOutput common;
            if (_bMakeOutput(common, kCommonName, static_cast<uint32_t>(mmap_Records.size()))) {
                pass(kCommonLogName, [&] { _CreateCommon(list, common, records); });
                _EndPass(kCommonNotGood, "");
                if (copy)
                    write(common);
            }
        }
        std::map<std::string, uint32_t> outputNames = {{kCommonName, kCommonRoot}};
        for (const auto& entry : mmap_Roots) {
            const uint32_t root = entry.first;
            if (_bInterrupted())
                return;
            KeySet& closure = mmap_Closures[root];
            closure.insert(root);
            const std::string name = _WorldOutputName(root);
            if (name.empty())
                continue;
            // A second output of one name would overwrite the first.
            const auto [taken, fresh] = outputNames.emplace(name, root);
            if (!fresh) {
                const std::string first = taken->second == kCommonRoot
                                              ? "the common output"
                                              : "world file " + _WorldFilePath(taken->second);
                _SkipWorld(root, "(" + _WorldFilePath(root) + ") makes the output '" + name + "' as " +
                                     first + " does");
                continue;
            }
            SplitOutput world;
            if (!_bMakeOutput(world, name, static_cast<uint32_t>(closure.size())))
                continue;
            pass(OVI_WorldLogName(root), [&] { _CreateSplit(list, root, world, records); });
            _EndPass(kWorldNotGood, world.s_Name);
            if (copy)
                write(world);
        }
    }

    if (_bInterrupted())
        return;
    _RaiseStatus(mo_SoundsHelper.CopySoundFiles([this](uint32_t key) { return mmap_Records[key].s_Name; },
                                                OVI_TextOf(mo_Params.msz_DataRoot), mo_Params.mb_NoCopy,
                                                report));
    if (mo_Params.mb_Linker) {
        if (mo_Linker.Save(kLinkerMap) != 0) {
            OVC_OutputString("error", "link-file", "%s not written: %s", kLinkerMap,
                             PLT::ErrorText(PLT::LastError()).c_str());
            _RaiseStatus(OVC_Status_Failure);
        }
        mo_Linker.Load();
    }
    if (report)
        _WriteCriticalReport(list);
}

}  // namespace ORVEX
