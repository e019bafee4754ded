// The plan of a generation: every file of data.big with its key, type, folder
// and reference table, the dynamic banks and element reference lists, decided
// before anything is written. Contents are not part of the plan; they are
// made from it one file at a time (GenContent.h).
//
// Memory: about 24 bytes per file plus 4 per reference key; banks and lists
// are small (at most kMaxBanks banks of at most kMaxElements elements).
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

namespace HOST::GEN {

// What a file is for. The order of the resource kinds is the order of their
// folders in a pool.
enum Kind : uint8_t {
    // Resources of a pool (a world's own or the shared one).
    kObject,
    kMesh,
    kMaterial,
    kTexture,  // "txd", type 126
    kImage,    // "tga"
    kDds,      // "dds"
    kSkeleton,
    kAnim,
    kSound,   // "snk", "sam", "sin", "smx", "svs" in turn; each has a sound package
    kEffect,  // "sfx"; mostly reached as elements of dynamic banks
    kCollision,
    kNav,
    kAi,
    kParticle,
    kResourceKinds,
    // Structure.
    kWorld = kResourceKinds,
    kSector,
    kBank,
    kBankList,
    kElementRefList,
    kLink,
    kBuiltin,    // a file of a built-in common key
    kInterface,  // a file of the forced directory
    kForced,     // a file of a forced type
    kCache,      // types the reference scan skips ("ccm", "ard")
    kUnneeded,   // nothing refers to it
    kKindCount
};

inline constexpr uint16_t kSharedPool = 0xFFFE;
inline constexpr uint16_t kGlobalPool = 0xFFFF;

// Key families. Keys carry a user id in their top 12 bits: the generated files
// take ids from kFirstUserId on (never one of a built-in key or a local key);
// missing references and files found only in the gmbigfile use ids of their
// own, so they can never name a file of data.big.
inline constexpr uint32_t kMissingUserId = 0xA00;
inline constexpr uint32_t kGmOnlyUserId = 0xA80;
// A missing key of 255 or below: the splitter never counts those as unplaced.
inline constexpr uint32_t kSmallMissingKey = 200;

// Dynamic banks: (bank id, element id) pairs are unique over the bigfile:
// bank g has id g & 0xFF and element ids from (g >> 8) * kMaxElements on.
inline constexpr uint32_t kMaxElements = 32;
inline constexpr uint32_t kMaxBanks = 1792;
// An element reference that no bank has (element 255 is never given).
inline constexpr uint8_t kMissingBankId = 7;
inline constexpr uint8_t kMissingElementId = 255;
inline constexpr uint8_t kMarkerNamed = 0xFE;
inline constexpr uint8_t kMarkerKeyed = 0x01;

struct PlanFile {
    uint32_t ul_Key = 0;
    uint32_t ul_Dir = 0;      // index into Plan::dirs
    uint32_t ul_Ordinal = 0;  // number among the files of its kind in its pool
    uint32_t ul_Aux = 0;      // kBank: index into Plan::banks; kElementRefList: into Plan::elementRefLists
    uint16_t uw_Pool = kGlobalPool;
    uint8_t uc_Type = 0;
    uint8_t uc_Kind = kUnneeded;
};

struct PlanElement {
    uint8_t uc_Id = 0;
    uint32_t ul_Key = 0;                               // 0: named by text (marker 0xFE)
    std::vector<std::pair<uint8_t, uint8_t>> subRefs;  // (bank id, element id)
};

struct PlanBank {
    uint32_t ul_File = 0;
    uint8_t uc_Id = 0;
    std::vector<PlanElement> elements;
};

struct PlanPool {
    std::string s_Name;                      // file-name prefix ("Harborvale", "Shared")
    std::string s_Folder;                    // "/Levels/Harborvale", "/Shared"
    uint32_t ul_First[kResourceKinds] = {};  // plan index of the first file of each kind
    uint32_t ul_Count[kResourceKinds] = {};
    uint32_t ul_WorldFile = 0xFFFFFFFF;  // worlds only
    uint32_t ul_FirstSector = 0;
    uint32_t ul_Sectors = 0;
    std::vector<uint32_t> banks;  // indices into Plan::banks
};

struct Plan {
    uint64_t ull_Seed = 0;
    uint32_t ul_SizeScaleMilli = 1000;  // the size scale in thousandths
    std::vector<PlanFile> files;
    // Reference table of file i: refKeys[refBegin[i] .. refBegin[i + 1]).
    std::vector<uint32_t> refBegin;
    std::vector<uint32_t> refKeys;
    std::vector<std::string> dirs;  // every folder, parents before children
    std::vector<PlanPool> worlds;
    PlanPool shared;
    std::vector<PlanBank> banks;
    std::vector<std::vector<std::pair<uint8_t, uint8_t>>> elementRefLists;
    // Names of files that do not follow the pool naming (built-ins, the forced
    // directory, forced types, cache files): plan index to name.
    std::unordered_map<uint32_t, std::string> fixedNames;
    uint32_t ul_SharedPackages = 0;  // "Common_sfx_%03u.pk"
    uint32_t ul_MissingRefs = 0;
    uint32_t ul_NoPackageSound = 0xFFFFFFFF;  // the one sound file whose package is absent

    uint32_t ul_RefCount(uint32_t i) const { return refBegin[i + 1] - refBegin[i]; }
    const uint32_t* pul_Refs(uint32_t i) const { return refKeys.data() + refBegin[i]; }
};

// Builds the plan for `files` files (raised to the minimum the worlds need)
// and `worlds` worlds.
void BuildPlan(uint64_t seed, uint32_t worlds, uint32_t files, uint32_t sizeScaleMilli, Plan* plan);

// The file's name with its extension ("Harborvale_mesh_00012.msh").
std::string FileName(const Plan& plan, uint32_t index);
// The extension of a type code.
const char* TypeExtension(uint8_t type);
// The pool's name ("Shared" for the shared pool, "" for global files).
const std::string& PoolName(const Plan& plan, uint16_t pool);

}  // namespace HOST::GEN
