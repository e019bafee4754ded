#include "BIGfile/BIG_FileInfos.h"

#include <algorithm>

namespace BIG {

namespace {

KeyCountVector::const_iterator LowerBound(const KeyCountVector& pairs, uint32_t key) {
    return std::lower_bound(pairs.begin(), pairs.end(), key,
                            [](const KeyCount& pair, uint32_t k) { return pair.ul_Key < k; });
}

}  // namespace

const KeyCount* pst_FindPair(const KeyCountVector& pairs, uint32_t key) {
    const auto it = LowerBound(pairs, key);
    return it != pairs.end() && it->ul_Key == key ? &*it : nullptr;
}

bool bContainsKey(const KeyCountVector& pairs, uint32_t key) {
    return pst_FindPair(pairs, key) != nullptr;
}

void AddPairCount(KeyCountVector& pairs, uint32_t key, uint32_t count) {
    if (count == 0)
        return;
    const auto at = pairs.begin() + (LowerBound(pairs, key) - pairs.cbegin());
    if (at != pairs.end() && at->ul_Key == key)
        at->ul_Count += count;
    else
        pairs.insert(at, KeyCount{key, count});
}

bool bRemovePairCount(KeyCountVector& pairs, uint32_t key, uint32_t count) {
    const auto at = pairs.begin() + (LowerBound(pairs, key) - pairs.cbegin());
    if (at == pairs.end() || at->ul_Key != key)
        return count == 0;
    if (at->ul_Count > count) {
        at->ul_Count -= count;
        return true;
    }
    const bool exact = at->ul_Count == count;
    pairs.erase(at);
    return exact;
}

bool bIsWellFormed(const KeyCountVector& pairs) {
    for (size_t i = 0; i < pairs.size(); ++i) {
        if (pairs[i].ul_Count == 0 || (i != 0 && pairs[i - 1].ul_Key >= pairs[i].ul_Key))
            return false;
    }
    return true;
}

}  // namespace BIG
