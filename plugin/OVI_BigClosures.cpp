// The closures of the roots, on a dense copy of the graph.
//
// _WalkRefs and _ExpandBanks work on trees keyed by resource key: per world
// and per reached file a set insertion, a record look-up and a use-count
// look-up. With tens of thousands of files and tens of worlds those look-ups
// were most of the time between the scan and the writing. Here every key
// that a walk can reach gets a dense number in ascending key order; a world's
// closure is a byte per number, its edges are one array, and the use counts
// are added to the records once, after every world. Numbering in key order
// keeps what the tree walk did: the banks are expanded in ascending key
// order, and a key added behind the one being expanded is not visited.
#include <algorithm>
#include <functional>
#include <iterator>
#include <map>
#include <vector>

#include "plugin/OVI_Big.h"

namespace ORVEX {
namespace {

constexpr uint32_t kNoId = 0xFFFFFFFF;

// OVI_Big::_ul_ExpandBank: what a bank file adds, and the uses it gains itself.
using BankExpander = std::function<uint32_t(uint32_t key, const FileRefRecord& record,
                                            const std::function<void(uint32_t, uint32_t, bool)>& add)>;

// The types whose files the bank registry expands.
bool bIsBankType(uint32_t type) {
    return type == OVI_Big::kTypeDynamicBank || type == OVI_Big::kTypeDynamicBankList ||
           type == OVI_Big::kTypeElementRefList;
}

// Key -> dense number, open addressing in a power-of-two table at most half
// full: one or two probes of one array, where a search of the sorted keys
// would touch a cache line per halving. It doubles as keys arrive, so that
// no count known beforehand has to bound them.
class KeyIds {
public:
    // Room for `count` keys before the first doubling.
    explicit KeyIds(size_t count) {
        size_t size = 16;
        while (size < 2 * count)
            size *= 2;
        m_slots.assign(size, Slot{0, kNoId});
        m_mask = size - 1;
    }

    // The number of `key`, or kNoId.
    uint32_t Find(uint32_t key) const {
        for (size_t at = Home(key);; at = (at + 1) & m_mask) {
            const Slot& slot = m_slots[at];
            if (slot.id == kNoId || slot.key == key)
                return slot.id;
        }
    }
    // Gives `key` the number `id` unless it has one; returns its number.
    uint32_t Insert(uint32_t key, uint32_t id) {
        if (2 * (m_used + 1) > m_slots.size())
            Grow();
        Slot& slot = m_slots[Place(key)];
        if (slot.id != kNoId)
            return slot.id;
        slot = Slot{key, id};
        ++m_used;
        return id;
    }
    // Replaces every number n by renumber(n).
    template <typename Function>
    void Renumber(Function&& renumber) {
        for (Slot& slot : m_slots)
            if (slot.id != kNoId)
                slot.id = renumber(slot.id);
    }

private:
    struct Slot {
        uint32_t key;
        uint32_t id;
    };
    size_t Home(uint32_t key) const { return (size_t{key} * 0x9E3779B97F4A7C15ull >> 32) & m_mask; }
    // The slot that holds `key`, or the free one where it would go.
    size_t Place(uint32_t key) const {
        size_t at = Home(key);
        while (m_slots[at].id != kNoId && m_slots[at].key != key)
            at = (at + 1) & m_mask;
        return at;
    }
    void Grow() {
        std::vector<Slot> old(2 * m_slots.size(), Slot{0, kNoId});
        old.swap(m_slots);
        m_mask = m_slots.size() - 1;
        for (const Slot& slot : old)
            if (slot.id != kNoId)
                m_slots[Place(slot.key)] = slot;
    }

    std::vector<Slot> m_slots;
    size_t m_mask = 0;
    size_t m_used = 0;
};

// The graph with dense numbers: keys[id] ascending, the edges of id in
// edges[edgeStart[id] .. edgeStart[id + 1]), in their mapped order.
struct DenseGraph {
    std::vector<uint32_t> keys;
    std::vector<FileRefRecord*> records;  // null for a key without a record
    std::vector<uint32_t> edgeStart;
    std::vector<uint32_t> edges;
    std::vector<uint32_t> banks;  // ascending: the numbers of the records of a bank type
    KeyIds ids{0};

    uint32_t Id(uint32_t key) const { return ids.Find(key); }
};

// One walk of the records (already in key order) and one of the edge lists.
// The keys that only edges and roots name (files of the bigfile never mapped)
// are few: they are sorted apart and merged in.
DenseGraph MakeDenseGraph(OVI_Big::RecordMap& records, const OVI_Big::EdgeMap& edgeMap,
                          const std::map<uint32_t, uint32_t>& roots) {
    DenseGraph graph;
    graph.keys.reserve(records.size());
    graph.records.reserve(records.size());
    for (auto& [key, record] : records) {
        if (bIsBankType(record.ul_Type))
            graph.banks.push_back(static_cast<uint32_t>(graph.keys.size()));
        graph.keys.push_back(key);
        graph.records.push_back(&record);
    }
    const auto mapped = static_cast<uint32_t>(graph.keys.size());
    graph.ids = KeyIds(mapped + roots.size() + edgeMap.size());
    for (uint32_t id = 0; id < mapped; ++id)
        graph.ids.Insert(graph.keys[id], id);

    // Keys without a record get numbers from `mapped` on, in the order met.
    std::vector<uint32_t> others;
    auto number = [&](uint32_t key) {
        const auto next = static_cast<uint32_t>(mapped + others.size());
        const uint32_t id = graph.ids.Insert(key, next);
        if (id == next)
            others.push_back(key);
        return id;
    };
    struct Edges {
        uint32_t from;
        const std::vector<uint32_t>* targets;
    };
    std::vector<Edges> lists;
    lists.reserve(edgeMap.size());
    size_t edgeCount = 0;
    for (const auto& [from, targets] : edgeMap) {
        lists.push_back(Edges{number(from), &targets});
        edgeCount += targets.size();
    }
    std::vector<uint32_t> targetIds;
    targetIds.reserve(edgeCount);
    for (const Edges& list : lists)
        for (uint32_t target : *list.targets)
            targetIds.push_back(number(target));
    for (const auto& [root, unused] : roots)
        number(root);

    // The numbers in key order: the records and the others merged.
    std::vector<uint32_t> renumbered;  // provisional number -> final one
    if (!others.empty()) {
        std::vector<uint32_t> order(others.size());
        for (uint32_t i = 0; i < order.size(); ++i)
            order[i] = i;
        std::sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) { return others[a] < others[b]; });
        const size_t count = mapped + others.size();
        renumbered.resize(count);
        std::vector<uint32_t> keys(count);
        std::vector<FileRefRecord*> withRecords(count, nullptr);
        uint32_t r = 0, o = 0;
        for (uint32_t id = 0; id < count; ++id) {
            if (o == order.size() || (r < mapped && graph.keys[r] < others[order[o]])) {
                keys[id] = graph.keys[r];
                withRecords[id] = graph.records[r];
                renumbered[r++] = id;
            } else {
                keys[id] = others[order[o]];
                renumbered[mapped + order[o++]] = id;
            }
        }
        graph.keys = std::move(keys);
        graph.records = std::move(withRecords);
        graph.ids.Renumber([&](uint32_t id) { return renumbered[id]; });
        for (Edges& list : lists)
            list.from = renumbered[list.from];
        for (uint32_t& id : targetIds)
            id = renumbered[id];
        for (uint32_t& id : graph.banks)
            id = renumbered[id];
    }

    const size_t count = graph.keys.size();
    graph.edgeStart.assign(count + 1, 0);
    for (const Edges& list : lists)
        graph.edgeStart[list.from + 1] = static_cast<uint32_t>(list.targets->size());
    for (size_t id = 0; id < count; ++id)
        graph.edgeStart[id + 1] += graph.edgeStart[id];
    graph.edges.resize(edgeCount);
    const uint32_t* target = targetIds.data();
    for (const Edges& list : lists) {
        const size_t n = list.targets->size();
        std::copy(target, target + n, graph.edges.begin() + graph.edgeStart[list.from]);
        target += n;
    }
    return graph;
}

// One root's closure at a time over the dense graph; the use counts of every
// root add up in `useCounts` (by number) and `otherCounts` (keys a bank
// names that nothing else does).
class ClosureWalker {
public:
    explicit ClosureWalker(const DenseGraph& graph)
        : m_graph(graph), m_inSet(graph.keys.size(), 0), m_useCounts(graph.keys.size(), 0) {}

    // Everything reachable from `root`, expanded through the banks.
    void Walk(uint32_t rootKey, const BankExpander& expandBank) {
        std::fill(m_inSet.begin(), m_inSet.end(), 0);
        m_others.clear();
        const uint32_t root = m_graph.Id(rootKey);
        if (root != kNoId)
            WalkFrom(root);
        ExpandBanks(expandBank);
    }

    // The closure just walked, in ascending key order, each key counted once more.
    OVI_Big::KeySet TakeClosure() {
        std::vector<uint32_t> keys;
        for (uint32_t id = 0; id < m_inSet.size(); ++id)
            if (m_inSet[id] != 0) {
                keys.push_back(m_graph.keys[id]);
                m_useCounts[id] += 1;
            }
        for (uint32_t key : m_others)
            m_otherCounts[key] += 1;
        std::vector<uint32_t> merged;
        merged.reserve(keys.size() + m_others.size());
        std::merge(keys.begin(), keys.end(), m_others.begin(), m_others.end(), std::back_inserter(merged));
        return OVI_Big::KeySet::FromSorted(std::move(merged));
    }

    const std::vector<uint32_t>& UseCounts() const { return m_useCounts; }
    const std::map<uint32_t, uint32_t>& OtherCounts() const { return m_otherCounts; }

private:
    // Adds the keys reachable from `from` (not `from` itself), depth first.
    void WalkFrom(uint32_t from) {
        m_stack.clear();
        m_stack.push_back({m_graph.edgeStart[from], m_graph.edgeStart[from + 1]});
        while (!m_stack.empty()) {
            auto& [next, end] = m_stack.back();
            if (next == end) {
                m_stack.pop_back();
                continue;
            }
            const uint32_t child = m_graph.edges[next++];
            if (m_inSet[child] != 0)
                continue;
            m_inSet[child] = 1;
            if (m_graph.edgeStart[child] != m_graph.edgeStart[child + 1])
                m_stack.push_back({m_graph.edgeStart[child], m_graph.edgeStart[child + 1]});
        }
    }

    // A key a bank names: added with `count` more uses, walked when `walk`.
    void AddNamed(uint32_t key, uint32_t count, bool walk) {
        const uint32_t id = m_graph.Id(key);
        if (id == kNoId) {
            // No record and no edges: it is in the closure and counted, nothing more.
            const auto at = std::lower_bound(m_others.begin(), m_others.end(), key);
            if (at == m_others.end() || *at != key)
                m_others.insert(at, key);
            m_otherCounts[key] += count;
            return;
        }
        m_inSet[id] = 1;
        m_useCounts[id] += count;
        if (walk)
            WalkFrom(id);
    }

    // In ascending key order, as the tree walk's set iterates; only the bank
    // files can add anything.
    void ExpandBanks(const BankExpander& expandBank) {
        const auto add = [this](uint32_t ref, uint32_t uses, bool walk) { AddNamed(ref, uses, walk); };
        for (uint32_t id : m_graph.banks)
            if (m_inSet[id] != 0)
                m_useCounts[id] += expandBank(m_graph.keys[id], *m_graph.records[id], add);
    }

    struct Range {
        uint32_t next;
        uint32_t end;
    };

    const DenseGraph& m_graph;
    std::vector<uint8_t> m_inSet;
    std::vector<uint32_t> m_useCounts;
    std::vector<Range> m_stack;
    std::vector<uint32_t> m_others;  // this root's keys without a number, ascending
    std::map<uint32_t, uint32_t> m_otherCounts;
};

}  // namespace

OVI_Big::RecordIndex::RecordIndex(RecordMap& records) : m_records(records) {
    m_keys.reserve(records.size());
    m_values.reserve(records.size());
    for (auto& [key, record] : records) {
        m_keys.push_back(key);
        m_values.push_back(&record);
    }
}

FileRefRecord& OVI_Big::RecordIndex::operator[](uint32_t key) {
    // Galloping from the last hit: a key close behind it costs a few steps.
    size_t low = 0;
    size_t high = m_keys.size();
    if (m_last < m_keys.size() && m_keys[m_last] <= key) {
        low = m_last;
        size_t step = 1;
        while (low + step < high && m_keys[low + step] < key) {
            low += step;
            step *= 2;
        }
        high = std::min(high, low + step + 1);
    }
    const auto at = std::lower_bound(m_keys.begin() + static_cast<std::ptrdiff_t>(low),
                                     m_keys.begin() + static_cast<std::ptrdiff_t>(high), key);
    m_last = static_cast<size_t>(at - m_keys.begin());
    if (at != m_keys.end() && *at == key)
        return *m_values[m_last];
    return m_records[key];
}

void OVI_Big::_BuildClosures() {
    if (mmap_Roots.empty())
        return;
    const DenseGraph graph = MakeDenseGraph(mmap_Records, mmap_Edges, mmap_Roots);
    ClosureWalker walker(graph);
    for (const auto& [root, unused] : mmap_Roots) {
        KeySet& set = mmap_Closures[root];
        if (!set.empty()) {
            // A closure from an earlier run of the session grows on the trees.
            KeyTree tree = set.ToSet();
            _WalkRefs(tree, root, kWalkOnly);
            _ExpandBanks(tree);
            for (uint32_t key : tree)
                UseCount(key) += 1;
            set = KeySet(tree);
            continue;
        }
        walker.Walk(root, [this](uint32_t key, const FileRefRecord& record, const auto& add) {
            return _ul_ExpandBank(key, record, add);
        });
        set = walker.TakeClosure();
    }
    // Every key a closure holds has a record from here on, as UseCount makes one.
    const std::vector<uint32_t>& counts = walker.UseCounts();
    for (uint32_t id = 0; id < counts.size(); ++id) {
        if (counts[id] == 0)
            continue;
        if (FileRefRecord* record = graph.records[id])
            record->ul_UseCount += counts[id];
        else
            UseCount(graph.keys[id]) += counts[id];
    }
    for (const auto& [key, count] : walker.OtherCounts())
        UseCount(key) += count;
}

}  // namespace ORVEX
