// A set of file keys held as one sorted array: a world's closure.
//
// A split holds a closure per world, tens of thousands of keys each, built
// once in key order and then only read (iterated in key order, asked whether
// it holds a key). An array costs 4 bytes a key and no allocation per key,
// where a tree costs a node of 40 bytes each, spread over the heap.
//
// Inserting into the middle moves the keys behind: fine for a few keys at a
// time (a root joining its closure), not for growing a set key by key in
// random order; the tree walks that do that work on a std::set and assign
// the result (FromSorted).
//
// Not thread-safe; a value type.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <set>
#include <utility>
#include <vector>

namespace ORVEX {

class OVI_KeySet {
public:
    using value_type = uint32_t;
    using const_iterator = std::vector<uint32_t>::const_iterator;
    using iterator = const_iterator;

    OVI_KeySet() = default;
    OVI_KeySet(std::initializer_list<uint32_t> keys) : m_keys(keys) { SortUnique(); }
    explicit OVI_KeySet(const std::set<uint32_t>& keys) : m_keys(keys.begin(), keys.end()) {}

    // Takes keys already ascending and distinct (the caller's promise).
    static OVI_KeySet FromSorted(std::vector<uint32_t> keys) {
        OVI_KeySet set;
        set.m_keys = std::move(keys);
        return set;
    }

    const_iterator begin() const { return m_keys.begin(); }
    const_iterator end() const { return m_keys.end(); }
    size_t size() const { return m_keys.size(); }
    bool empty() const { return m_keys.empty(); }
    void clear() { m_keys.clear(); }

    const_iterator find(uint32_t key) const {
        const auto at = std::lower_bound(m_keys.begin(), m_keys.end(), key);
        return at != m_keys.end() && *at == key ? at : m_keys.end();
    }
    size_t count(uint32_t key) const { return find(key) != end() ? 1 : 0; }
    bool contains(uint32_t key) const { return find(key) != end(); }

    // As std::set::insert: where the key is, and whether it was added.
    std::pair<const_iterator, bool> insert(uint32_t key) {
        const auto at = std::lower_bound(m_keys.begin(), m_keys.end(), key);
        if (at != m_keys.end() && *at == key)
            return {at, false};
        return {m_keys.insert(at, key), true};
    }

    std::set<uint32_t> ToSet() const { return std::set<uint32_t>(m_keys.begin(), m_keys.end()); }

    friend bool operator==(const OVI_KeySet& a, const OVI_KeySet& b) { return a.m_keys == b.m_keys; }

private:
    void SortUnique() {
        std::sort(m_keys.begin(), m_keys.end());
        m_keys.erase(std::unique(m_keys.begin(), m_keys.end()), m_keys.end());
    }

    std::vector<uint32_t> m_keys;
};

}  // namespace ORVEX
