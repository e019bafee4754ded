// orvex gen: a seeded generator of synthetic game data for the splitter and
// its benchmarks.
//
// It writes, under one output folder:
//   data.big          the game bigfile, made with the bigfile library's writer:
//                     worlds ("wor") whose reference tables reach their own
//                     resources and part of a shared pool, meshes, materials,
//                     textures of widely varied sizes ("txd" and others),
//                     sounds, dynamic banks ("dbk"), bank lists ("dbl") and
//                     element reference lists ("dbr") with valid payloads,
//                     link files, files of the types that are forced into the
//                     common bigfile, the files of the seven built-in common
//                     keys but 0x1000, a forced directory ("/Interface"),
//                     files no world needs, and references to missing keys
//   Data/             the data root: sound_bin_pc/*.pk sound packages and
//                     sound_bin_pc/english/*.lpk English variants
//   gm.big            (optional) a second bigfile whose keys partly overlap
//   critical.txt      (optional) a critical list: lines "name key type references"
//   summary.txt       the summary that is also printed
//
// Determinism: every byte is a function of the options alone. File times and
// the container's set stamp come from the seed, never from the clock; every
// file gets an explicit key, so the per-user key counter in the settings
// store is never read or advanced.
//
// Memory: contents are generated one file at a time and written at once; what
// is held is the plan (a few words per file and its reference keys) and the
// bigfile table itself, so a generation of hundreds of thousands of files and
// several GB runs in bounded memory.
//
// Failure: a bad option or a folder that is not empty is refused before
// anything is written; a write failure ends the run with an error text. The
// output folder is then incomplete and must not be used.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace HOST {

inline constexpr const char* kGenBigfileName = "data.big";
inline constexpr const char* kGenDataRootName = "Data";
inline constexpr const char* kGenGmBigfileName = "gm.big";
inline constexpr const char* kGenCriticalListName = "critical.txt";
inline constexpr const char* kGenSummaryName = "summary.txt";
// The FAT directory whose files the splitter may be asked to force into the common bigfile.
inline constexpr const char* kGenForcedDirectory = "/Interface";

// Limits of the options (checked by bGenerate).
inline constexpr uint32_t kGenMaxWorlds = 1000;
inline constexpr uint32_t kGenMaxFiles = 4000000;
inline constexpr double kGenMaxSizeScale = 64.0;

struct GenOptions {
    std::string s_OutDir;
    uint64_t ull_Seed = 1;
    uint32_t ul_Worlds = 4;
    // Files of data.big. Raised to the smallest count that holds every kind
    // for the number of worlds (GenSummary::ul_Files tells the count made).
    uint32_t ul_Files = 2000;
    // Multiplies the payload sizes of resources and sound packages.
    double d_SizeScale = 1.0;
    bool b_GmBigfile = false;
    bool b_CriticalList = false;
    // Called now and then while data.big is written (files done, files in all).
    std::function<void(uint32_t, uint32_t)> progress;
};

struct GenWorld {
    uint32_t ul_Key = 0;
    std::string s_Name;     // the world file's name without ".wor"
    uint32_t ul_Files = 0;  // files of the world's own folder, the world file included
};

struct GenSummary {
    std::string s_BigfilePath;
    std::string s_DataRoot;
    std::string s_GmBigfilePath;     // empty without a gmbigfile
    std::string s_CriticalListPath;  // empty without a critical list
    std::vector<GenWorld> worlds;

    uint32_t ul_Files = 0;  // files of data.big
    uint32_t ul_Dirs = 0;   // directories of data.big, the root and "Temp" included
    uint32_t ul_Segments = 0;
    uint64_t ull_ContentBytes = 0;  // stored contents, length words included
    uint64_t ull_BigfileBytes = 0;  // size on disk of every segment file

    uint32_t ul_SharedFiles = 0;      // resources of the shared pool
    uint32_t ul_TxdFiles = 0;         // type 126
    uint32_t ul_Banks = 0;            // type 87
    uint32_t ul_BankLists = 0;        // type 88
    uint32_t ul_ElementRefLists = 0;  // type 89
    uint32_t ul_LinkFiles = 0;
    uint32_t ul_ForcedTypeFiles = 0;  // types 40, 60, 129 and 131
    uint32_t ul_ForcedDirFiles = 0;   // files under kGenForcedDirectory
    uint32_t ul_BuiltinFiles = 0;     // files of the built-in common keys
    uint32_t ul_UnneededFiles = 0;    // files that nothing refers to
    uint32_t ul_MissingRefs = 0;      // references to keys that data.big lacks
    uint32_t ul_SoundFiles = 0;       // types 52, 61, 62, 63 and 64
    uint32_t ul_SoundPackages = 0;    // .pk files
    uint32_t ul_EnglishPackages = 0;  // .lpk files
    uint64_t ull_SoundBytes = 0;

    uint32_t ul_GmFiles = 0;
    uint32_t ul_GmSharedKeys = 0;  // keys of gm.big that data.big holds too
    uint32_t ul_CriticalKeys = 0;  // lines of the critical list
};

// Generates everything under options.s_OutDir (created when missing; it must
// be empty). False with `*error` set when an option is out of range or a
// write failed.
bool bGenerate(const GenOptions& options, GenSummary* summary, std::string* error);

// The summary as printed: one "world 0x%08X name files" line per world, then
// the counts.
std::string FormatGenSummary(const GenSummary& summary);

}  // namespace HOST
