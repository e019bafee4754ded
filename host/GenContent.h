// Contents made from a plan, one file at a time: file contents (stored through
// the bigfile table's save buffer), sound packages and the critical list.
//
// Sound package (".pk", and its English variant ".lpk"), little-endian u32s:
//   | offset | content                                                       |
//   |--------|---------------------------------------------------------------|
//   | 0      | header, 64 bytes: magic "SPK1", T (entry table bytes),        |
//   |        | E (offset of the name block), item count, sample rate, zeros  |
//   | 64     | entry table: T / 8 entries (item offset from 64 + T, size)    |
//   | 64 + T | the items, one after another                                  |
//   | E      | name count, B (bytes of names), B bytes of NUL-terminated     |
//   |        | names of the further packages this one needs                  |
// E = 64 + T + the sum of the item sizes, which is what readers check.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/GenPlan.h"

class BIG_cl_Fat;

namespace HOST::GEN {

inline constexpr uint32_t kPackageHeaderSize = 64;
inline constexpr uint32_t kPackageMagic = 0x314B5053;  // "SPK1"
inline constexpr uint32_t kPackageSampleRate = 44100;

// The file's time stamp: seeded, never the clock.
uint32_t FileTime(const Plan& plan, uint32_t key);

// Stores the content of plan file `index` into the bigfile entry `fatIndex`.
// Returns the stored content size (reference table included), or 0 when the
// content could not be stored.
uint32_t WriteFileContent(BIG_cl_Fat& fat, const Plan& plan, uint32_t index, uint32_t fatIndex);

// A plain content of `size` payload bytes with no reference, for files that
// exist outside the plan (the gmbigfile's own files).
uint32_t WritePlainContent(BIG_cl_Fat& fat, uint64_t seed, uint32_t key, uint32_t size, uint32_t fatIndex);

struct PackageStats {
    uint32_t ul_Packages = 0;
    uint32_t ul_English = 0;
    uint64_t ull_Bytes = 0;
};

// Writes every sound package under `dataRoot`/sound_bin_pc (and its english
// folder, which must exist). False with `*error` set on a write failure.
bool WriteSoundPackages(const Plan& plan, const std::string& dataRoot, PackageStats* stats,
                        std::string* error);

// The package name of a sound file ("Town_snd_00004.pk"), as the splitter
// derives it from the file's name.
std::string PackageName(const Plan& plan, uint32_t index);

// The lines of the critical list: "name key type references", one per listed
// key; a missing key, a file no world needs and a repeated key among them.
std::string CriticalList(const Plan& plan, uint32_t* lines);

}  // namespace HOST::GEN
