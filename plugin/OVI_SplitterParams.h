// The splitter's parameter block: OVI_BigParams' fields, then these, in this
// order. The host fills every field, maps included, before eInit.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "plugin/OVI_BigParams.h"

namespace ORVEX {

class OVI_SplitterParams : public OVI_BigParams {
public:
    static constexpr size_t kGmPathSize = 256;
    // Directory table size base of every output bigfile, unless the host says otherwise.
    static constexpr uint16_t kDefaultDirCountBase = 16384;

    OVI_SplitterParams() = default;
    OVI_SplitterParams(const OVI_SplitterParams&) = default;
    OVI_SplitterParams& operator=(const OVI_SplitterParams&) = default;
    ~OVI_SplitterParams() override = default;

    const OVC_Version* GetVersion() override;

    char msz_GmBigfilePath[kGmPathSize] = {};          // 7: keys excluded from the world outputs
    char msz_AILibraryPath[kPathSize] = {};            // 8: library of the AI object lists
    std::map<uint32_t, uint32_t> mmap_Worlds;          // 9: world keys to split; value unread
    std::map<uint32_t, uint32_t> mmap_ForcedKeys;      // 10: keys forced into the common output
    std::map<uint32_t, std::string> mmap_ForcedDirs;   // 11: FAT directory paths forced into it
    std::map<uint32_t, std::string> mmap_RemCriteria;  // 12: name fragments placed nowhere
    char msz_RefsCachePath[kPathSize] = {};            // 13: "refs.bin" to read instead of scanning
    char msz_CriticalListPath[kPathSize] = {};         // 14: keys that must be placed
    char msz_ReplacementPath[kPathSize] = {};          // 15: file the replacement content passes through
    uint32_t mul_Reserved = 0xFFFFFFFFu;               // 16: neither copied nor read
    uint32_t mul_Spare = 0x80000u;                     // 17: copied, not read
    uint16_t muw_DirCountBase = kDefaultDirCountBase;  // 18
    bool mb_Single = false;                            // 19: one output bigfile
    bool mb_Dlc = false;                               // 20: single mode with the DLC changes
    bool mb_Replace = false;                           // 21: type-126 files get the replacement content
    bool mb_NoCopy = false;                            // 22: write no output bigfile, copy no sound package
    bool mb_Linker = false;                            // 23: link files enter "linker_pc.map"
    uint16_t muw_PackageId = 0xFFFFu;                  // 24
    uint16_t muw_PackageWord = 0;                      // 25: low half of the package word
    bool mb_SmallHeader = false;                       // 26: small segment header for the outputs
    bool mb_KeysOnly = false;                          // 27: forced keys and directories walk with mode 0
    bool mb_Compress = false;                          // 28: gzip copy of every output
};

}  // namespace ORVEX
