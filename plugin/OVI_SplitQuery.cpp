#include "plugin/OVI_SplitQuery.h"

#include <algorithm>
#include <deque>
#include <unordered_map>

#include "BIGfile/BIG_Fat.h"
#include "plugin/OVI_BankRegistry.h"

namespace ORVEX {

namespace {

const OVI_Big::KeySet& EmptySet() {
    static const OVI_Big::KeySet s_Empty;
    return s_Empty;
}

}  // namespace

int32_t OVI_SplitQuery::eInit(OVC_Params* params) {
    const auto* block = params != nullptr ? dynamic_cast<const OVI_SplitterParams*>(params) : nullptr;
    if (block == nullptr)
        return OVI_Splitter::eInit(params);  // refused as the splitter refuses it
    OVI_SplitterParams quiet = *block;
    quiet.msz_DataRoot[0] = '\0';
    quiet.msz_ReplacementPath[0] = '\0';
    quiet.mb_WriteRefsCache = false;
    quiet.mb_ReportMissing = false;
    quiet.mb_Replace = false;
    quiet.mb_Linker = false;
    quiet.mb_Compress = false;
    // The outputs must reach _CreateBigFile, which keeps them.
    quiet.mb_NoCopy = false;
    m_Outputs.clear();
    m_BankLinks.clear();
    mb_BankLinksTaken = false;
    return OVI_Splitter::eInit(&quiet);
}

int32_t OVI_SplitQuery::_CreateBigFile(SplitOutput& output) {
    if (!mb_BankLinksTaken) {
        mb_BankLinksTaken = true;
        BankRegistry& registry = BankRegistry::Instance();
        for (const auto& [key, record] : mmap_Records) {
            std::vector<uint32_t> links;
            if (record.ul_Type == kTypeDynamicBank) {
                if (const DynamicBank* bank = registry.FindBank(key))
                    for (const auto& [ref, count] : bank->m_RefCounts)
                        links.push_back(ref);
            } else if (record.ul_Type == kTypeDynamicBankList) {
                if (const DynamicBankList* list = registry.FindDynamicBankList(key))
                    for (const auto& [ref, bank] : list->m_Entries)
                        links.push_back(ref);
            } else if (record.ul_Type == kTypeElementRefList) {
                if (const ElementReferenceList* list = registry.FindElementReferenceList(key))
                    for (const auto& [ref, count] : list->m_RefCounts)
                        links.push_back(ref);
            }
            if (!links.empty())
                m_BankLinks.emplace(key, std::move(links));
        }
    }
    Output kept;
    kept.s_Name = output.s_Name;
    for (const auto& [key, unused] : output.m_Keys)
        kept.keys.insert(key);
    m_Outputs.push_back(std::move(kept));
    return OVC_Status_Success;
}

const OVI_SplitQuery::Output* OVI_SplitQuery::pFindOutput(uint32_t key) const {
    for (const Output& output : m_Outputs)
        if (output.keys.count(key) != 0)
            return &output;
    return nullptr;
}

const OVI_Big::KeySet& OVI_SplitQuery::Closure(uint32_t root) const {
    const auto it = mmap_Closures.find(root);
    return it == mmap_Closures.end() ? EmptySet() : it->second;
}

bool OVI_SplitQuery::bRemoved(uint32_t key, std::string* criterion) {
    criterion->clear();
    const auto it = mmap_Records.find(key);
    const FileRefRecord record = it == mmap_Records.end() ? FileRefRecord{} : it->second;
    if (_CheckRemCriteria(record))
        return false;
    for (const auto& [order, text] : mo_RemCriteria.m_Criteria) {
        if (record.s_Name.find(text) != std::string::npos) {
            *criterion = text;
            break;
        }
    }
    return true;
}

OVI_SplitQuery::Source OVI_SplitQuery::eDirectSource(uint32_t key) const {
    if (!_bHasFile(key))
        return Source::kNone;  // _eAppendKeys passes over keys the bigfile lacks
    if (mo_DirLoadHelper.KeyMap().count(key) != 0)
        return Source::kForcedDirectory;
    if (mmap_SecondKeys.count(key) != 0) {
        // The second key set keeps the first insertion: forced types during
        // the mapping, then the built-in keys, then the forced keys.
        const auto record = mmap_Records.find(key);
        const uint32_t type = record == mmap_Records.end() ? 0 : record->second.ul_Type;
        const bool dlc = mo_Params.mb_Dlc;
        if (!dlc && (type == kTypeDst || type == kTypeEnd || type == kTypeEps || type == kTypeEpl))
            return Source::kForcedType;
        if (!dlc && bIsBuiltInCommonKey(key))
            return Source::kBuiltInKey;
        if (mo_Params.mmap_ForcedKeys.count(key) != 0)
            return Source::kForcedKey;
    }
    if (mo_AILoadHelper.KeyMap().count(key) != 0)
        return Source::kAIObject;
    return Source::kNone;
}

const char* OVI_SplitQuery::psz_SourceName(Source source) {
    switch (source) {
        case Source::kForcedDirectory:
            return "forced directory";
        case Source::kForcedType:
            return "forced type";
        case Source::kBuiltInKey:
            return "built-in key";
        case Source::kForcedKey:
            return "forced key";
        case Source::kAIObject:
            return "AI object";
        case Source::kNone:
            break;
    }
    return "none";
}

std::vector<uint32_t> OVI_SplitQuery::Links(uint32_t key) const {
    std::vector<uint32_t> links;
    if (const auto edges = mmap_Edges.find(key); edges != mmap_Edges.end())
        links = edges->second;
    if (const auto banks = m_BankLinks.find(key); banks != m_BankLinks.end())
        links.insert(links.end(), banks->second.begin(), banks->second.end());
    return links;
}

std::vector<uint32_t> OVI_SplitQuery::ShortestChain(const std::vector<uint32_t>& starts, uint32_t target,
                                                    const KeySet& within) const {
    constexpr uint32_t kStart = 0xFFFFFFFF;
    std::unordered_map<uint32_t, uint32_t> from;  // key -> the key it was reached from
    std::deque<uint32_t> queue;
    for (uint32_t start : starts) {
        if (within.count(start) == 0 || !from.emplace(start, kStart).second)
            continue;
        queue.push_back(start);
    }
    bool found = from.count(target) != 0;
    while (!found && !queue.empty()) {
        const uint32_t key = queue.front();
        queue.pop_front();
        for (uint32_t next : Links(key)) {
            if (within.count(next) == 0 || !from.emplace(next, key).second)
                continue;
            if (next == target) {
                found = true;
                break;
            }
            queue.push_back(next);
        }
    }
    std::vector<uint32_t> chain;
    if (!found)
        return chain;
    for (uint32_t key = target;; key = from[key]) {
        chain.push_back(key);
        if (from[key] == kStart)
            break;
    }
    std::reverse(chain.begin(), chain.end());
    return chain;
}

std::string OVI_SplitQuery::FilePath(uint32_t key) const {
    if (mpo_Fat == nullptr)
        return std::string();
    const uint32_t index = mpo_Fat->ul_GetFileIndex(key, false);
    return index == BIG_cl_Fat::kNoFile ? std::string() : mpo_Fat->GetFilePath(index);
}

}  // namespace ORVEX
