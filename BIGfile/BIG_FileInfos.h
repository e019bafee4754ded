// One node of the reference graph: a key, whether it names a file of the
// bigfile, how often the file names itself, which keys it refers to and which
// entries refer to it, each with a count.
//
// Both pair vectors are kept sorted by key with one pair per key and counts of
// at least 1; every helper below preserves that. The graph is symmetric: when
// A's references hold {B, n}, B's referenced-by holds {A, n}.
//
// Threads: plain data, guarded by the reference manager's main lock.
#pragma once

#include <cstdint>
#include <vector>

namespace BIG {

struct KeyCount {
    uint32_t ul_Key = 0;
    uint32_t ul_Count = 0;
    bool operator==(const KeyCount&) const = default;
};

using KeyCountVector = std::vector<KeyCount>;

struct FileInfos {
    uint32_t ul_Key = 0;
    // Names a file of the bigfile whose type is not "mta".
    uint8_t uc_Present = 0;
    // How many times the file's own key occurs in its reference list.
    uint32_t ul_SelfRefs = 0;
    KeyCountVector References;
    KeyCountVector ReferencedBy;
};

// The pair of `key`, or null (bisection).
const KeyCount* pst_FindPair(const KeyCountVector& pairs, uint32_t key);
bool bContainsKey(const KeyCountVector& pairs, uint32_t key);
// Adds `count` to the pair of `key`, inserting it in order when missing.
void AddPairCount(KeyCountVector& pairs, uint32_t key, uint32_t count);
// Lowers the pair of `key` by `count` and drops it at 0. When the pair is
// missing or holds less, it is dropped and false is returned (the caller
// reports "Remove too many references").
bool bRemovePairCount(KeyCountVector& pairs, uint32_t key, uint32_t count);
// True when keys strictly increase and no count is 0.
bool bIsWellFormed(const KeyCountVector& pairs);

}  // namespace BIG
