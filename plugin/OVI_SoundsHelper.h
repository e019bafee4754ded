// The sounds helper: finds the sound packages that the splitter's outputs need
// and copies them from the game's data root into a separate sound folder.
//
// Its key map is filled by the splitter with the keys of the placed sound
// files (mode 1). CopySoundFiles turns each key's record name into a package
// name ("Levels/Town.snd" -> "Town.pk"), reads each such package for the
// further packages it names, and copies every package found, with its English
// variant, from <root>/sound_bin_pc to <root>/sound_bin_pc_dlc.
//
// Sound package (".pk"), all integers little-endian u32:
//   | offset | size | content                                                |
//   |--------|------|--------------------------------------------------------|
//   | 0      | 64   | header: word 1 = T, size in bytes of the entry table;   |
//   |        |      | word 2 = E, offset of the name block; others not used   |
//   | 64     | T    | entry table: T / 8 entries of two u32, the second the  |
//   |        |      | size of one data item                                   |
//   | 64 + T |      | the data items, one after another                       |
//   | E      | 8    | u32 not used; u32 B, size of the name list              |
//   | E + 8  | B    | names, each NUL-terminated                              |
// A package is used only when 64 + T + the sum of the item sizes equals E.
//
// Names that make paths: every package name, whether derived from a record or
// read from a package, is a plain file name. A name holding '/', '\' or ".."
// is refused with a warning line, so no copy reads or writes outside the data
// root's sound folders.
//
// Threads: runs on the host's calling thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "plugin/OVI_LoadHelpers.h"

namespace ORVEX {

// The 64-byte header of a sound package.
struct OVI_st_SoundPackageHeader {
    static constexpr size_t kEncodedSize = 64;
    static constexpr size_t kOffTableSize = 4;
    static constexpr size_t kOffNameBlock = 8;

    uint32_t ul_TableSize = 0;  // T
    uint32_t ul_NameBlock = 0;  // E

    static bool bDecode(const uint8_t* data, size_t size, OVI_st_SoundPackageHeader* out);
};

// The name block's head at E: an unused word and the name list size B.
struct OVI_st_SoundNameBlock {
    static constexpr size_t kEncodedSize = 8;
    static constexpr size_t kOffListSize = 4;
    static constexpr size_t kEntrySize = 8;         // one entry of the entry table
    static constexpr size_t kOffEntryItemSize = 4;  // within an entry
};

class OVI_SoundsHelper : public OVI_HelperInterface {
public:
    static constexpr const char* kSourceFolder = "sound_bin_pc";
    static constexpr const char* kDlcFolder = "sound_bin_pc_dlc";
    static constexpr const char* kEnglishFolder = "english";
    static constexpr const char* kReportFile = "sound_bin_pc_dlc.txt";
    // Always copied once any package is needed.
    static constexpr const char* kBasePackage = "7fffffff.pk";
    static constexpr const char* kPackageExt = "pk";
    static constexpr const char* kEnglishSourceExt = "lpk";
    static constexpr const char* kEnglishTargetExt = "lspk";

    // Copy results, summed per name.
    static constexpr int kCopiedRoot = 1;
    static constexpr int kCopiedEnglish = 2;

    // The record name of a key. The splitter hands a lookup into its records
    // map that creates an empty record for a key without one.
    using NameOfKey = std::function<std::string(uint32_t key)>;
    // Hash of a package name -> the name.
    using SoundNameMap = std::map<uint32_t, std::string>;

    ~OVI_SoundsHelper() override;

    // For each key of the key map in ascending order: the package of its
    // record name is noted (status 4 when that package exists but is empty)
    // and, when new and readable, read for the packages it names. Unless
    // `noCopy`, every noted package and its English variant are copied from
    // `dataRoot`/sound_bin_pc into `dataRoot`/sound_bin_pc_dlc (the folders are
    // created when missing; existing ones are used). With `report`,
    // "sound_bin_pc_dlc.txt" in the current directory gets one line per
    // package: the name right-aligned in 96 columns, ", ", and "Both", "Root"
    // or "Failed" right-aligned in 16 (an empty report when the folders
    // cannot be created). Nothing is created or written when no package is
    // needed. Returns 0, or 4 when a needed package is empty, the folders
    // cannot be created, a package that is there cannot be copied (one error
    // line counts them) or the report cannot be written. Packages that the
    // source folder lacks are counted in one warning line.
    int32_t CopySoundFiles(const NameOfKey& nameOf, std::string_view dataRoot, bool noCopy, bool report);

    const SoundNameMap& SoundNames() const { return m_soundNames; }

    // The package name of a record name: its file-name part (after the last
    // '\' or '/') with everything after its first '.' replaced by "pk", or
    // ".pk" appended when it has no '.'.
    static std::string PackageNameOf(std::string_view recordName);
    // `fileName` with everything after its first '.' replaced by `ext`, or
    // "." + `ext` appended when it has none.
    static std::string ReplaceExtension(std::string_view fileName, std::string_view ext);
    // True for a plain file name (OVI_bIsPlainFileName) that holds no "..".
    static bool bIsPlainName(std::string_view name);

    // Reads the names listed by the package at `path`. False (with the
    // reason in `*problem`) when the file cannot be opened or read or is not
    // a consistent package; names read before a partial last name are kept
    // and the partial name is reported through `*problem` too.
    static bool bReadPackageNames(const std::string& path, std::vector<std::string>* names,
                                  std::string* problem);

    // One report line, "%96s, %16s\n" without a length limit.
    static std::string ReportLine(std::string_view name, std::string_view word);

private:
    // Inserts (hash, name); true when the hash was new.
    bool bNoteName(const std::string& name);
    void ReadPackage(const std::string& path, const std::string& name);
    // Creates the target folders; false (after an error line) when they cannot be made.
    static bool bMakeTargetFolders(const std::string& root);
    // Copies one package and its English variant; the sum of the copy results.
    // `*rootError` names the package and the reason when its own copy fails.
    static int CopyOne(const std::string& root, const std::string& name, std::string* rootError);

    SoundNameMap m_soundNames;
};

}  // namespace ORVEX
