// Deciding the files of a generation, their keys, folders and references.
#include "host/GenPlan.h"

#include <algorithm>
#include <cstdio>
#include <numeric>
#include <set>
#include <utility>

#include "BIGfile/BIG_Extensions.h"
#include "BIGfile/BIG_Fat.h"
#include "host/GenRandom.h"

namespace HOST::GEN {
namespace {

struct KindInfo {
    const char* word;    // in file names
    const char* folder;  // under the pool's folder
    const char* ext;
    uint32_t weight;  // share of a pool, in percent
};

// Indexed by the resource kinds; the weights add up to 100.
constexpr KindInfo kResourceInfo[kResourceKinds] = {
    {"obj", "Objects", "gao", 14},  {"mesh", "Meshes", "msh", 16}, {"mat", "Materials", "mat", 8},
    {"tex", "Textures", "txd", 16}, {"img", "Textures", "tga", 5}, {"dds", "Textures", "dds", 4},
    {"skel", "Anims", "ske", 2},    {"anim", "Anims", "ani", 10},  {"snd", "Sounds", "snk", 7},
    {"fx", "Effects", "sfx", 6},    {"col", "Physics", "col", 4},  {"nav", "Physics", "nav", 2},
    {"ai", "AI", "ai", 3},          {"part", "Effects", "par", 3},
};

// Sound files take these types in turn, so every sound type occurs.
constexpr const char* kSoundExts[] = {"snk", "sam", "sin", "smx", "svs"};

// The built-in common keys that name files here, and their names. 0x1000 is
// left out: it names the duplicated-files table, which has a format of its own.
constexpr struct {
    uint32_t key;
    const char* name;
} kBuiltins[] = {
    {0x02000000u, "EngineSettings.ini"}, {0xBD10946Bu, "InputMap.gao"}, {0xB7101620u, "SystemFonts.gao"},
    {0x1F10C807u, "LoadingScreen.gao"},  {0xFC0B0ABCu, "MainMenu.gao"}, {0xDD008657u, "Hud.gao"},
};

constexpr const char* kForcedNames[] = {"Intro.dst", "Credits.end", "Episode_01.eps", "Episodes.epl"};
constexpr const char* kCacheNames[] = {"ShaderCache.ccm", "SectorCache.ard"};
constexpr const char* kUnneededExts[] = {"txd", "msh", "ani", "col"};

constexpr const char* kWorldFirst[] = {"Har",   "Cit",   "Mire",  "Ash",   "Iron",  "Sun",   "Frost",
                                       "Drift", "Stone", "Raven", "Elder", "Gold",  "Thorn", "Wind",
                                       "Salt",  "Ember", "Moss",  "Gray",  "Storm", "Bright"};
constexpr const char* kWorldSecond[] = {"vale",  "adel",  "wood",  "fall",  "gate", "reach", "hold", "moor",
                                        "haven", "spire", "marsh", "crest", "ford", "watch", "deep", "field"};

constexpr uint32_t kObjectsPerSector = 128;
constexpr uint32_t kFilesPerFolder = 256;
constexpr uint32_t kEffectsPerBank = 12;
constexpr uint32_t kBankEffectSlots = 24;
constexpr uint32_t kBankAnimSlots = 4;
constexpr uint32_t kMaxSharedBanks = 64;
// Every sound type occurs in every pool.
constexpr uint32_t kMinSounds = std::size(kSoundExts);
constexpr uint32_t kMinPool = kResourceKinds - 1 + kMinSounds;
// A bank list counts its banks in one byte: a world's own banks and the
// shared ones it lists stay below 256.
constexpr uint32_t kMaxWorldBanks = 180;
constexpr uint32_t kWorldLinks = 2;
constexpr uint32_t kFirstUserIdBase = 0x300;
constexpr uint32_t kUserIdSpread = 0x400;

// Purpose tags of the hashes, so that two decisions about one file differ.
enum Tag : uint64_t {
    kTagUserId = 1,
    kTagStride,
    kTagOffset,
    kTagWorldName,
    kTagWorldSize,
    kTagExtra,
    kTagCross,
    kTagMissing,
    kTagShare,
    kTagSubRef,
    kTagNamed,
    kTagList,
    kTagElementRefs,
    kTagPick,
};

uint32_t Gcd(uint32_t a, uint32_t b) {
    while (b != 0) {
        const uint32_t t = a % b;
        a = b;
        b = t;
    }
    return a;
}

class Builder {
public:
    Builder(Plan* plan, uint64_t seed) : m_plan(*plan), mull_Seed(seed) {}

    void Run(uint32_t worlds, uint32_t files);

private:
    uint64_t H(uint64_t tag, uint64_t a, uint64_t b = 0) const { return Hash(mull_Seed, tag, a, b); }

    uint32_t Dir(const std::string& path);
    // `base` holds the first kFilesPerFolder files, then base/001, base/002, ...
    uint32_t ChunkDir(const std::string& base, uint32_t ordinal);
    uint32_t Add(uint8_t kind, uint16_t pool, uint32_t ordinal, const char* ext, uint32_t dir);
    uint32_t AddFixed(uint8_t kind, const std::string& name, uint32_t dir);

    void CountPool(uint32_t size, PlanPool* pool) const;
    void LayOutPool(uint16_t poolId, PlanPool* pool);
    void AssignKeys();

    void Edge(uint32_t parent, uint32_t key) { m_edges.emplace_back(parent, key); }
    uint32_t Key(uint32_t index) const { return m_plan.files[index].ul_Key; }
    uint32_t At(const PlanPool& pool, int kind, uint32_t ordinal) const {
        return pool.ul_First[kind] + ordinal;
    }
    uint32_t KeyAt(const PlanPool& pool, int kind, uint32_t ordinal) const {
        return Key(At(pool, kind, ordinal));
    }
    uint32_t MissingKey(uint64_t hash) {
        ++m_plan.ul_MissingRefs;
        return (kMissingUserId << 20) | static_cast<uint32_t>(hash & 0xFFFFF);
    }
    // Every child of `childKind` gets a parent of `parentKind`; with
    // `extraPercent`, a parent also names one more child.
    void Cover(const PlanPool& pool, int parentKind, int childKind, uint32_t extraPercent);
    void PoolEdges(const PlanPool& pool, bool isWorld);
    void MakeBanks(PlanPool* pool, uint32_t count, uint32_t firstFile);
    void MakeBankElements(const PlanPool& pool, uint32_t bankIndex, uint32_t local, uint32_t count,
                          const std::vector<uint32_t>& candidates);
    void Finish();

    Plan& m_plan;
    uint64_t mull_Seed;
    std::map<std::string, uint32_t> m_dirIndex;
    std::vector<std::pair<uint32_t, uint32_t>> m_edges;  // (parent index, child key)

    // Plan indices of the global files.
    std::vector<uint32_t> m_builtins, m_forced, m_cache, m_interface, m_unneeded, m_worldBanks;
    std::vector<uint32_t> m_worldLists, m_worldElementLists;
    std::vector<std::vector<uint32_t>> m_worldLinks;
    uint32_t mul_GlobalLink = 0;
    uint32_t mul_OrphanBank = 0;
    uint32_t mul_SharedBanks = 0;
    std::vector<uint32_t> m_worldBankCount;
    std::vector<bool> m_effectInBank;  // by plan index
};

uint32_t Builder::Dir(const std::string& path) {
    const auto found = m_dirIndex.find(path);
    if (found != m_dirIndex.end())
        return found->second;
    const size_t slash = path.find_last_of('/');
    if (slash != 0 && slash != std::string::npos)
        Dir(path.substr(0, slash));
    const uint32_t index = static_cast<uint32_t>(m_plan.dirs.size());
    m_plan.dirs.push_back(path);
    m_dirIndex.emplace(path, index);
    return index;
}

uint32_t Builder::ChunkDir(const std::string& base, uint32_t ordinal) {
    if (ordinal < kFilesPerFolder)
        return Dir(base);
    char chunk[16];
    std::snprintf(chunk, sizeof chunk, "/%03u", ordinal / kFilesPerFolder);
    return Dir(base + chunk);
}

uint32_t Builder::Add(uint8_t kind, uint16_t pool, uint32_t ordinal, const char* ext, uint32_t dir) {
    PlanFile f;
    f.uc_Kind = kind;
    f.uw_Pool = pool;
    f.ul_Ordinal = ordinal;
    f.ul_Dir = dir;
    f.uc_Type = BIG_cl_Fat::CompressFileType(ext);
    m_plan.files.push_back(f);
    return static_cast<uint32_t>(m_plan.files.size() - 1);
}

uint32_t Builder::AddFixed(uint8_t kind, const std::string& name, uint32_t dir) {
    const size_t dot = name.find_last_of('.');
    const uint32_t index = Add(kind, kGlobalPool, 0, name.c_str() + dot + 1, dir);
    m_plan.fixedNames.emplace(index, name);
    return index;
}

void Builder::CountPool(uint32_t size, PlanPool* pool) const {
    size = std::max(size, kMinPool);
    uint32_t sum = 0;
    for (int k = 0; k < kResourceKinds; ++k) {
        pool->ul_Count[k] =
            std::max<uint32_t>(k == kSound ? kMinSounds : 1, size * kResourceInfo[k].weight / 100);
        sum += pool->ul_Count[k];
    }
    if (sum < size)
        pool->ul_Count[kObject] += size - sum;
}

void Builder::LayOutPool(uint16_t poolId, PlanPool* pool) {
    for (int k = 0; k < kResourceKinds; ++k) {
        pool->ul_First[k] = static_cast<uint32_t>(m_plan.files.size());
        const std::string base = pool->s_Folder + "/" + kResourceInfo[k].folder;
        for (uint32_t o = 0; o < pool->ul_Count[k]; ++o) {
            const char* ext = k == kSound ? kSoundExts[o % std::size(kSoundExts)] : kResourceInfo[k].ext;
            Add(static_cast<uint8_t>(k), poolId, o, ext, ChunkDir(base, o));
        }
    }
}

void Builder::Run(uint32_t worlds, uint32_t files) {
    m_plan.ull_Seed = mull_Seed;
    const uint32_t interfaceCount = std::max<uint32_t>(4, files / 200);
    const uint32_t unneededCount = std::max<uint32_t>(2, files / 100);
    const uint32_t fixedGlobal =
        static_cast<uint32_t>(std::size(kBuiltins) + std::size(kForcedNames) + std::size(kCacheNames)) +
        interfaceCount + 1 /* link */ + unneededCount + 1 /* orphan bank */;
    const uint32_t fixedPerWorld = 3 + kWorldLinks;

    // Pool sizes: a quarter shared, the rest spread over the worlds with
    // sizes that differ by up to ±30 %. Sectors and banks come out of the same
    // budget (about 0.6 % of a pool plus two).
    const int64_t avail = static_cast<int64_t>(files) - fixedGlobal - int64_t{fixedPerWorld} * worlds;
    const uint32_t sharedSize = static_cast<uint32_t>(std::max<int64_t>(kMinPool, avail / 4));
    const int64_t worldBudget = std::max<int64_t>(0, avail - sharedSize - int64_t{2} * worlds);
    std::vector<uint32_t> weights(worlds);
    uint64_t weightSum = 0;
    for (uint32_t w = 0; w < worlds; ++w) {
        weights[w] = 70 + Below(H(kTagWorldSize, w), 61);
        weightSum += weights[w];
    }

    m_plan.shared.s_Name = "Shared";
    m_plan.shared.s_Folder = "/Shared";
    CountPool(sharedSize, &m_plan.shared);
    m_plan.worlds.resize(worlds);
    std::set<std::string> names;
    for (uint32_t w = 0; w < worlds; ++w) {
        PlanPool& pool = m_plan.worlds[w];
        const uint64_t h = H(kTagWorldName, w);
        std::string name = std::string(kWorldFirst[Below(h, std::size(kWorldFirst))]) +
                           kWorldSecond[Below(Mix64(h), std::size(kWorldSecond))];
        if (!names.insert(name).second) {
            name += std::to_string(w);
            names.insert(name);
        }
        pool.s_Name = name;
        pool.s_Folder = "/Levels/" + name;
        const uint64_t size = static_cast<uint64_t>(worldBudget) * weights[w] / weightSum;
        CountPool(static_cast<uint32_t>(size - size / 160), &pool);
        pool.ul_Sectors = (pool.ul_Count[kObject] + kObjectsPerSector - 1) / kObjectsPerSector;
    }
    mul_SharedBanks = std::clamp<uint32_t>(
        (m_plan.shared.ul_Count[kEffect] + kEffectsPerBank - 1) / kEffectsPerBank, 1, kMaxSharedBanks);
    const uint32_t bankCap =
        std::clamp<uint32_t>((kMaxBanks - 1 - mul_SharedBanks) / worlds, 1, kMaxWorldBanks);
    m_worldBankCount.resize(worlds);
    for (uint32_t w = 0; w < worlds; ++w) {
        const uint32_t effects = m_plan.worlds[w].ul_Count[kEffect];
        m_worldBankCount[w] =
            std::clamp<uint32_t>((effects + kEffectsPerBank - 1) / kEffectsPerBank, 1, bankCap);
    }

    // Hit the asked count exactly when it is above the minimum: the shared
    // textures take up the difference.
    uint64_t total = fixedGlobal + mul_SharedBanks;
    for (int k = 0; k < kResourceKinds; ++k)
        total += m_plan.shared.ul_Count[k];
    for (uint32_t w = 0; w < worlds; ++w) {
        total += fixedPerWorld + m_plan.worlds[w].ul_Sectors + m_worldBankCount[w];
        for (int k = 0; k < kResourceKinds; ++k)
            total += m_plan.worlds[w].ul_Count[k];
    }
    if (total < files)
        m_plan.shared.ul_Count[kTexture] += static_cast<uint32_t>(files - total);
    else if (total > files)
        m_plan.shared.ul_Count[kTexture] -=
            static_cast<uint32_t>(std::min<uint64_t>(total - files, m_plan.shared.ul_Count[kTexture] - 1));

    // Layout, in the order the files are made.
    for (const auto& b : kBuiltins)
        m_builtins.push_back(AddFixed(kBuiltin, b.name, Dir("/Engine")));
    for (const char* name : kForcedNames)
        m_forced.push_back(AddFixed(kForced, name, Dir("/Engine")));
    for (const char* name : kCacheNames)
        m_cache.push_back(AddFixed(kCache, name, Dir("/Cache")));
    const std::string forced = "/Interface";
    uint32_t fonts = 0, pages = 0;
    for (uint32_t o = 0; o < interfaceCount; ++o) {
        const bool font = o % 4 == 3;
        const uint32_t dir = font ? ChunkDir(forced + "/Fonts", fonts++) : ChunkDir(forced, pages++);
        const char* ext = font ? "tga" : (o % 4 == 0 ? "gao" : o % 4 == 1 ? "txd" : "tga");
        const uint32_t index = Add(kInterface, kGlobalPool, o, ext, dir);
        char name[64];
        std::snprintf(name, sizeof name, "%s_%03u.%s", font ? "Font" : "Interface", o, ext);
        m_plan.fixedNames.emplace(index, name);
        m_interface.push_back(index);
    }
    mul_GlobalLink = AddFixed(kLink, "Interface_link.lay", Dir(forced));

    LayOutPool(kSharedPool, &m_plan.shared);
    m_plan.shared.ul_FirstSector = static_cast<uint32_t>(m_plan.files.size());
    const uint32_t firstSharedBank = static_cast<uint32_t>(m_plan.files.size());
    for (uint32_t b = 0; b < mul_SharedBanks; ++b)
        Add(kBank, kSharedPool, b, "dbk", Dir("/Shared/Banks"));
    mul_OrphanBank = AddFixed(kBank, "Orphan_bank.dbk", Dir("/Shared/Banks"));

    std::vector<uint32_t> firstWorldBank(worlds);
    m_worldLinks.resize(worlds);
    for (uint32_t w = 0; w < worlds; ++w) {
        PlanPool& pool = m_plan.worlds[w];
        const uint16_t id = static_cast<uint16_t>(w);
        pool.ul_WorldFile = Add(kWorld, id, 0, "wor", Dir(pool.s_Folder));
        pool.ul_FirstSector = static_cast<uint32_t>(m_plan.files.size());
        for (uint32_t s = 0; s < pool.ul_Sectors; ++s)
            Add(kSector, id, s, "gol", ChunkDir(pool.s_Folder + "/Sectors", s));
        LayOutPool(id, &pool);
        firstWorldBank[w] = static_cast<uint32_t>(m_plan.files.size());
        for (uint32_t b = 0; b < m_worldBankCount[w]; ++b)
            Add(kBank, id, b, "dbk", ChunkDir(pool.s_Folder + "/Banks", b));
        m_worldLists.push_back(Add(kBankList, id, 0, "dbl", Dir(pool.s_Folder + "/Banks")));
        m_worldElementLists.push_back(Add(kElementRefList, id, 0, "dbr", Dir(pool.s_Folder + "/Banks")));
        for (uint32_t l = 0; l < kWorldLinks; ++l)
            m_worldLinks[w].push_back(Add(kLink, id, l, "lay", Dir(pool.s_Folder + "/Links")));
    }
    for (uint32_t o = 0; o < unneededCount; ++o) {
        const char* ext = kUnneededExts[o % std::size(kUnneededExts)];
        m_unneeded.push_back(Add(kUnneeded, kGlobalPool, o, ext, ChunkDir("/Unused", o)));
    }

    AssignKeys();
    m_effectInBank.assign(m_plan.files.size(), false);

    // Banks: shared first, then the orphan, then each world's, so that a
    // bank's sub-references only reach banks made before it.
    MakeBanks(&m_plan.shared, mul_SharedBanks, firstSharedBank);
    {
        PlanBank orphan;
        orphan.ul_File = mul_OrphanBank;
        const uint32_t g = static_cast<uint32_t>(m_plan.banks.size());
        orphan.uc_Id = static_cast<uint8_t>(g & 0xFF);
        const uint32_t base = (g >> 8) * kMaxElements;
        const PlanPool& s = m_plan.shared;
        for (uint32_t e = 0; e < std::min<uint32_t>(2, s.ul_Count[kEffect]); ++e) {
            PlanElement element;
            element.uc_Id = static_cast<uint8_t>(base + e);
            element.ul_Key = KeyAt(s, kEffect, e);
            Edge(mul_OrphanBank, element.ul_Key);
            orphan.elements.push_back(element);
        }
        m_plan.files[mul_OrphanBank].ul_Aux = g;
        m_plan.banks.push_back(std::move(orphan));
    }
    for (uint32_t w = 0; w < worlds; ++w)
        MakeBanks(&m_plan.worlds[w], m_worldBankCount[w], firstWorldBank[w]);

    Finish();
}

void Builder::AssignKeys() {
    // Keys are spread over the whole bigfile rather than numbered in layout
    // order: a permutation j = (a·i + b) mod M of the plan indices, each j
    // then written as a user id (from a seeded base) and a 20-bit counter.
    const uint32_t m = static_cast<uint32_t>(m_plan.files.size());
    const uint32_t userBase = kFirstUserIdBase + Below(H(kTagUserId, 0), kUserIdSpread);
    uint32_t a = static_cast<uint32_t>(H(kTagStride, 0) % m) | 1;
    while (Gcd(a, m) != 1)
        a = (a + 2) % m;
    if (a == 0)
        a = 1;
    const uint32_t b = static_cast<uint32_t>(H(kTagOffset, 0) % m);
    for (uint32_t i = 0; i < m; ++i) {
        const uint32_t j = static_cast<uint32_t>((uint64_t{a} * i + b) % m);
        m_plan.files[i].ul_Key = ((userBase + (j >> 20)) << 20) | (j & 0xFFFFF);
    }
    for (size_t n = 0; n < m_builtins.size(); ++n)
        m_plan.files[m_builtins[n]].ul_Key = kBuiltins[n].key;
}

void Builder::MakeBanks(PlanPool* pool, uint32_t count, uint32_t firstFile) {
    // Sub-references may go to the shared banks and to this pool's earlier banks.
    std::vector<uint32_t> candidates;
    const bool shared = pool == &m_plan.shared;
    if (!shared) {
        for (uint32_t g = 0; g < mul_SharedBanks; ++g)
            candidates.push_back(g);
    }
    for (uint32_t local = 0; local < count; ++local) {
        const uint32_t g = static_cast<uint32_t>(m_plan.banks.size());
        PlanBank bank;
        bank.ul_File = firstFile + local;
        bank.uc_Id = static_cast<uint8_t>(g & 0xFF);
        m_plan.files[bank.ul_File].ul_Aux = g;
        m_plan.banks.push_back(std::move(bank));
        pool->banks.push_back(g);
        MakeBankElements(*pool, g, local, count, candidates);
        candidates.push_back(g);
    }
}

void Builder::MakeBankElements(const PlanPool& pool, uint32_t g, uint32_t local, uint32_t count,
                               const std::vector<uint32_t>& candidates) {
    PlanBank& bank = m_plan.banks[g];
    const uint32_t base = (g >> 8) * kMaxElements;
    auto add = [&](uint32_t key) {
        PlanElement element;
        element.uc_Id = static_cast<uint8_t>(base + bank.elements.size());
        element.ul_Key = key;
        const uint64_t h = H(kTagSubRef, g, bank.elements.size());
        const uint32_t r = Below(h, 10);
        const uint32_t subRefs = candidates.empty() ? 0 : r < 6 ? 0 : r < 9 ? 1 : 2;
        for (uint32_t s = 0; s < subRefs; ++s) {
            const PlanBank& target = m_plan.banks[candidates[Below(Mix64(h + s), candidates.size())]];
            const PlanElement& e = target.elements[Below(Mix64(h ^ (s + 7)), target.elements.size())];
            element.subRefs.emplace_back(target.uc_Id, e.uc_Id);
        }
        if (key != 0)
            Edge(bank.ul_File, key);
        bank.elements.push_back(std::move(element));
    };
    for (uint32_t e = local; e < pool.ul_Count[kEffect] && e / count < kBankEffectSlots; e += count) {
        add(KeyAt(pool, kEffect, e));
        m_effectInBank[At(pool, kEffect, e)] = true;
    }
    for (uint32_t a = local; a < pool.ul_Count[kAnim] && a / count < kBankAnimSlots; a += count)
        add(KeyAt(pool, kAnim, a));
    if (Percent(H(kTagNamed, g), 20))
        add(0);
}

void Builder::Cover(const PlanPool& pool, int parentKind, int childKind, uint32_t extraPercent) {
    const uint32_t parents = pool.ul_Count[parentKind];
    const uint32_t children = pool.ul_Count[childKind];
    const uint32_t offset = Below(H(kTagPick, pool.ul_First[parentKind], childKind), parents);
    for (uint32_t c = 0; c < children; ++c)
        Edge(At(pool, parentKind, (c + offset) % parents), KeyAt(pool, childKind, c));
    if (extraPercent == 0)
        return;
    for (uint32_t p = 0; p < parents; ++p) {
        const uint64_t h = H(kTagExtra, At(pool, parentKind, p), childKind);
        if (Percent(h, extraPercent))
            Edge(At(pool, parentKind, p), KeyAt(pool, childKind, Below(Mix64(h), children)));
    }
}

void Builder::PoolEdges(const PlanPool& pool, bool isWorld) {
    const PlanPool& shared = m_plan.shared;
    Cover(pool, kObject, kMesh, 30);
    Cover(pool, kObject, kAnim, 20);
    Cover(pool, kObject, kSound, 0);
    Cover(pool, kObject, kCollision, 0);
    Cover(pool, kObject, kNav, 0);
    Cover(pool, kObject, kAi, 0);
    Cover(pool, kObject, kParticle, 0);
    Cover(pool, kMesh, kMaterial, 30);
    Cover(pool, kMaterial, kTexture, 40);
    Cover(pool, kMaterial, kImage, 0);
    Cover(pool, kMaterial, kDds, 0);
    for (uint32_t a = 0; a < pool.ul_Count[kAnim]; ++a)
        Edge(At(pool, kAnim, a), KeyAt(pool, kSkeleton, a % pool.ul_Count[kSkeleton]));
    for (uint32_t p = 0; p < pool.ul_Count[kParticle]; ++p) {
        const uint64_t h = H(kTagPick, At(pool, kParticle, p));
        Edge(At(pool, kParticle, p), KeyAt(pool, kTexture, Below(h, pool.ul_Count[kTexture])));
    }
    // Effects that no bank holds hang from an object.
    for (uint32_t e = 0; e < pool.ul_Count[kEffect]; ++e) {
        if (!m_effectInBank[At(pool, kEffect, e)])
            Edge(At(pool, kObject, Below(H(kTagPick, At(pool, kEffect, e)), pool.ul_Count[kObject])),
                 KeyAt(pool, kEffect, e));
    }
    if (isWorld) {
        // Some of a world's materials and objects use shared textures and meshes.
        for (uint32_t m = 0; m < pool.ul_Count[kMaterial]; ++m) {
            const uint64_t h = H(kTagCross, At(pool, kMaterial, m));
            if (Percent(h, 10))
                Edge(At(pool, kMaterial, m),
                     KeyAt(shared, kTexture, Below(Mix64(h), shared.ul_Count[kTexture])));
        }
        for (uint32_t o = 0; o < pool.ul_Count[kObject]; ++o) {
            const uint64_t h = H(kTagCross, At(pool, kObject, o));
            if (Percent(h, 5))
                Edge(At(pool, kObject, o), KeyAt(shared, kMesh, Below(Mix64(h), shared.ul_Count[kMesh])));
        }
    }
    // A few references to keys that no file has.
    for (int k = 0; k < kResourceKinds; ++k) {
        for (uint32_t o = 0; o < pool.ul_Count[k]; ++o) {
            const uint64_t h = H(kTagMissing, At(pool, k, o));
            if (Below(h, 200) == 0)
                Edge(At(pool, k, o), MissingKey(Mix64(h)));
        }
    }
}

void Builder::Finish() {
    const PlanPool& shared = m_plan.shared;
    const uint32_t worlds = static_cast<uint32_t>(m_plan.worlds.size());
    auto sharedPick = [&](int kind, uint64_t h) {
        return KeyAt(shared, kind, Below(h, shared.ul_Count[kind]));
    };

    for (size_t n = 0; n < m_builtins.size(); ++n) {
        const uint64_t h = H(kTagPick, m_builtins[n]);
        if (n == 0)
            Edge(m_builtins[n], KeyAt(shared, kTexture, 0));
        for (uint32_t r = 0; r <= Below(h, 3); ++r)
            Edge(m_builtins[n], sharedPick(kObject, Mix64(h + r)));
    }
    for (uint32_t index : m_forced) {
        const uint64_t h = H(kTagPick, index);
        Edge(index, sharedPick(kObject, h));
        Edge(index, sharedPick(kObject, Mix64(h)));
    }
    for (size_t o = 0; o < m_interface.size(); o += 4) {
        // The forced directory's objects use its images and now and then a shared texture.
        for (size_t c = o + 1; c < std::min(o + 3, m_interface.size()); ++c)
            Edge(m_interface[o], Key(m_interface[c]));
        const uint64_t h = H(kTagPick, m_interface[o]);
        if (Percent(h, 30))
            Edge(m_interface[o], sharedPick(kTexture, Mix64(h)));
    }
    // The forced directory's link: no kind-1 target, then two of its files.
    Edge(mul_GlobalLink, 0xFFFFFFFF);
    Edge(mul_GlobalLink, Key(m_interface[0]));
    Edge(mul_GlobalLink, Key(m_interface[1]));
    Edge(mul_GlobalLink, 0xFFFFFFFF);
    for (uint32_t index : m_unneeded) {
        const uint64_t h = H(kTagPick, index);
        if (Percent(h, 50))
            Edge(index, sharedPick(kTexture, Mix64(h)));
    }

    PoolEdges(shared, false);
    Edge(At(shared, kMesh, 0), kSmallMissingKey);
    ++m_plan.ul_MissingRefs;

    for (uint32_t w = 0; w < worlds; ++w) {
        const PlanPool& pool = m_plan.worlds[w];
        const uint32_t world = pool.ul_WorldFile;
        for (uint32_t s = 0; s < pool.ul_Sectors; ++s)
            Edge(world, Key(pool.ul_FirstSector + s));
        Edge(world, Key(m_worldLists[w]));
        Edge(world, Key(m_worldElementLists[w]));
        for (uint32_t link : m_worldLinks[w])
            Edge(world, Key(link));
        if (w == 0) {
            for (uint32_t index : m_cache)
                Edge(world, Key(index));
            Edge(world, Key(mul_OrphanBank));
            // Keys a reference table may hold that name no file at all.
            Edge(pool.ul_FirstSector, 0);
            Edge(pool.ul_FirstSector, 0xFFFFFFFF);
            Edge(At(pool, kObject, 0), MissingKey(H(kTagMissing, 0, 1)));
        }
        for (uint32_t o = 0; o < pool.ul_Count[kObject]; ++o)
            Edge(pool.ul_FirstSector + o / kObjectsPerSector, KeyAt(pool, kObject, o));
        PoolEdges(pool, true);

        // Links: (object, mesh, texture, none), (mesh, material, texture, none);
        // the first world's second link points at a missing key.
        const std::vector<uint32_t>& links = m_worldLinks[w];
        Edge(links[0], KeyAt(pool, kObject, 0));
        Edge(links[0], KeyAt(pool, kMesh, 0));
        Edge(links[0], KeyAt(pool, kTexture, 0));
        Edge(links[0], 0xFFFFFFFF);
        Edge(links[1],
             w == 0 ? MissingKey(H(kTagMissing, 0, 2)) : KeyAt(pool, kMesh, 1 % pool.ul_Count[kMesh]));
        Edge(links[1], KeyAt(pool, kMaterial, 0));
        Edge(links[1], KeyAt(pool, kTexture, 1 % pool.ul_Count[kTexture]));
        Edge(links[1], 0xFFFFFFFF);

        // The bank list names the world's banks and shared ones: those whose
        // number falls to this world, so that every shared bank is listed
        // somewhere, and one more.
        for (uint32_t g : pool.banks)
            Edge(m_worldLists[w], Key(m_plan.banks[g].ul_File));
        const uint32_t extra = Below(H(kTagList, w), mul_SharedBanks);
        bool listedExtra = false;
        for (uint32_t g = w; g < mul_SharedBanks; g += worlds) {
            Edge(m_worldLists[w], Key(m_plan.banks[g].ul_File));
            listedExtra = listedExtra || g == extra;
        }
        if (!listedExtra)
            Edge(m_worldLists[w], Key(m_plan.banks[extra].ul_File));

        // The element reference list names elements of the world's and the shared banks.
        std::vector<std::pair<uint8_t, uint8_t>> refs;
        const uint64_t h = H(kTagElementRefs, w);
        const uint32_t n = 4 + Below(h, 9);
        for (uint32_t r = 0; r < n; ++r) {
            const uint64_t hr = Mix64(h + r);
            const bool own = Percent(hr, 60);
            const uint32_t g =
                own ? pool.banks[Below(Mix64(hr), pool.banks.size())] : Below(Mix64(hr), mul_SharedBanks);
            const PlanBank& bank = m_plan.banks[g];
            const PlanElement& e = bank.elements[Below(Mix64(hr ^ 1), bank.elements.size())];
            refs.emplace_back(bank.uc_Id, e.uc_Id);
        }
        if (w == 0)
            refs.emplace_back(kMissingBankId, kMissingElementId);
        m_plan.files[m_worldElementLists[w]].ul_Aux = static_cast<uint32_t>(m_plan.elementRefLists.size());
        m_plan.elementRefLists.push_back(std::move(refs));
    }

    // Shared objects are used by one to four worlds each, through their sectors.
    for (uint32_t o = 0; o < shared.ul_Count[kObject]; ++o) {
        const uint64_t h = H(kTagShare, o);
        uint32_t users = 1;
        if (worlds > 1 && !Percent(h, 20))
            users = 2 + Below(Mix64(h), std::min<uint32_t>(worlds, 4) - 1);
        const uint32_t start = Below(Mix64(h + 1), worlds);
        for (uint32_t u = 0; u < users; ++u) {
            const PlanPool& pool = m_plan.worlds[(start + u) % worlds];
            const uint32_t sector = pool.ul_FirstSector + Below(Mix64(h + 2 + u), pool.ul_Sectors);
            Edge(sector, KeyAt(shared, kObject, o));
        }
    }

    // Sounds: the shared packages, and the one sound whose package is absent.
    uint32_t sounds = shared.ul_Count[kSound];
    for (const PlanPool& pool : m_plan.worlds)
        sounds += pool.ul_Count[kSound];
    m_plan.ul_SharedPackages = std::clamp<uint32_t>(sounds / 20, 2, 500);
    m_plan.ul_NoPackageSound = At(shared, kSound, shared.ul_Count[kSound] - 1);

    // Reference tables in edge order, grouped by parent (a stable counting sort).
    const size_t m = m_plan.files.size();
    m_plan.refBegin.assign(m + 1, 0);
    for (const auto& e : m_edges)
        ++m_plan.refBegin[e.first + 1];
    std::partial_sum(m_plan.refBegin.begin(), m_plan.refBegin.end(), m_plan.refBegin.begin());
    m_plan.refKeys.resize(m_edges.size());
    std::vector<uint32_t> next(m_plan.refBegin.begin(), m_plan.refBegin.end() - 1);
    for (const auto& e : m_edges)
        m_plan.refKeys[next[e.first]++] = e.second;
    m_edges.clear();
    m_edges.shrink_to_fit();
}

}  // namespace

void BuildPlan(uint64_t seed, uint32_t worlds, uint32_t files, uint32_t sizeScaleMilli, Plan* plan) {
    *plan = Plan();
    plan->ul_SizeScaleMilli = sizeScaleMilli;
    Builder(plan, seed).Run(std::max<uint32_t>(1, worlds), files);
}

const char* TypeExtension(uint8_t type) {
    return BIG_Extensions::sz_Get(type);
}

const std::string& PoolName(const Plan& plan, uint16_t pool) {
    static const std::string kNone;
    if (pool == kSharedPool)
        return plan.shared.s_Name;
    if (pool < plan.worlds.size())
        return plan.worlds[pool].s_Name;
    return kNone;
}

std::string FileName(const Plan& plan, uint32_t index) {
    const auto fixed = plan.fixedNames.find(index);
    if (fixed != plan.fixedNames.end())
        return fixed->second;
    const PlanFile& f = plan.files[index];
    const char* pool = PoolName(plan, f.uw_Pool).c_str();
    const char* ext = TypeExtension(f.uc_Type);
    char name[96];
    switch (f.uc_Kind) {
        case kWorld:
            std::snprintf(name, sizeof name, "%s.%s", pool, ext);
            break;
        case kSector:
            std::snprintf(name, sizeof name, "%s_sector_%03u.%s", pool, f.ul_Ordinal, ext);
            break;
        case kBank:
            std::snprintf(name, sizeof name, "%s_bank_%03u.%s", pool, f.ul_Ordinal, ext);
            break;
        case kBankList:
            std::snprintf(name, sizeof name, "%s_banks.%s", pool, ext);
            break;
        case kElementRefList:
            std::snprintf(name, sizeof name, "%s_elements.%s", pool, ext);
            break;
        case kLink:
            std::snprintf(name, sizeof name, "%s_link_%02u.%s", pool, f.ul_Ordinal, ext);
            break;
        case kUnneeded:
            std::snprintf(name, sizeof name, "Unused_%05u.%s", f.ul_Ordinal, ext);
            break;
        default:
            std::snprintf(name, sizeof name, "%s_%s_%05u.%s", pool,
                          f.uc_Kind < kResourceKinds ? kResourceInfo[f.uc_Kind].word : "file", f.ul_Ordinal,
                          ext);
            break;
    }
    return name;
}

}  // namespace HOST::GEN
