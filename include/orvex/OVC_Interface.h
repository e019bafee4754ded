// The host interface of liborvexbig.so, interface version 1.1.1.1.
//
// This is the one definition of what a host sees of the plug-in: the plug-in
// itself is built from this header, and a host needs nothing else from the
// project. Include it, load the library with dlopen and look the six entry
// points up by their plain names with dlsym (OVC_pfn_* below give their types).
//
// A host asks for one parameter block (OVC_InitParams) and one tool object
// (OVC_InitPlugin), fills the block's fields directly, drives the tool through
// eInit, eRun and eDeinit, and hands both objects back (OVC_DeinitPlugin,
// OVC_DeinitParams). Every creation and destruction is gated by the interface
// version 1.1.1.1. OVC_OutputString and OVC_Hash need no set-up.
//
// The block a host gets from OVC_InitParams is an ORVEX::OVI_SplitterParams;
// the host casts it and writes its fields in place. A host never constructs a
// block itself: only the plug-in has its virtual operations. Host and plug-in
// must be built by the same compiler and standard library, since the block is
// a plain record behind its one virtual operation and its map fields are
// shared as they are; the static_asserts at the end pin its layout.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#define OVC_EXPORT __attribute__((visibility("default")))

// The four-byte interface version. Wherever it is compared, its bytes are read
// as one little-endian word and compared with OVC_VersionWord.
struct OVC_Version {
    uint8_t uc_Major;
    uint8_t uc_Minor;
    uint8_t uc_Release;
    uint8_t uc_Build;
};

constexpr uint32_t OVC_VersionWord = 0x01010101u;
constexpr OVC_Version OVC_CurrentVersion = {1, 1, 1, 1};

// The version's bytes as the little-endian word the gates compare; 0 for none.
constexpr uint32_t OVC_ul_VersionWord(const OVC_Version* version) {
    if (version == nullptr)
        return 0;
    return static_cast<uint32_t>(version->uc_Major) | static_cast<uint32_t>(version->uc_Minor) << 8 |
           static_cast<uint32_t>(version->uc_Release) << 16 | static_cast<uint32_t>(version->uc_Build) << 24;
}

// Status of a tool's last operation, returned by eInit, eDeinit and eRun.
enum : int32_t {
    OVC_Status_Success = 0,
    OVC_Status_WrongVersion = 1,  // the block handed to eInit is not of this interface version
    OVC_Status_Failure = 4,       // engine, bigfile or an output file failed
    OVC_Status_ReadingFat = 5,    // set while the FAT is read, replaced once it is read
    OVC_Status_NoData = -1,       // a file chosen for reference mapping has no data
};

// Abstract base of every parameter block.
class OVC_EXPORT OVC_Params {
public:
    virtual const OVC_Version* GetVersion() = 0;
    // Declared after GetVersion so that GetVersion keeps the first slot.
    virtual ~OVC_Params();

protected:
    OVC_Params();
    // Blocks are plain records: a tool copies the host's block into its own.
    OVC_Params(const OVC_Params&) = default;
    OVC_Params& operator=(const OVC_Params&) = default;
};

// Abstract base of every tool object. Slot order: GetVersion, eInit, eDeinit,
// eRun; the destructor comes after them.
class OVC_EXPORT OVC_PluginInterface {
public:
    virtual const OVC_Version* GetVersion() = 0;
    // Checks the block's version, starts the engine and copies what the tool
    // needs from the block; keeps no pointer to it afterwards.
    virtual int32_t eInit(OVC_Params* params) = 0;
    virtual int32_t eDeinit() = 0;
    virtual int32_t eRun() = 0;
    virtual ~OVC_PluginInterface();

protected:
    OVC_PluginInterface();
    OVC_PluginInterface(const OVC_PluginInterface&) = delete;
    OVC_PluginInterface& operator=(const OVC_PluginInterface&) = delete;
};

extern "C" {

// New parameter block, or null when `version` is not 1.1.1.1 or memory runs out.
OVC_EXPORT OVC_Params* OVC_InitParams(const OVC_Version* version);
// New tool object, or null when `version` is not 1.1.1.1 or memory runs out.
OVC_EXPORT OVC_PluginInterface* OVC_InitPlugin(const OVC_Version* version);
// 0: destroyed. 1: refused (null, or the object reports another version); the
// object is left alive and the caller still owns it.
OVC_EXPORT int32_t OVC_DeinitParams(OVC_Params* params);
OVC_EXPORT int32_t OVC_DeinitPlugin(OVC_PluginInterface* plugin);
// Writes "\n[%8s][%-16s][%s]" (level, tag, formatted message) to standard
// output and the debugger output. The message is cut at 2047 characters, the
// line at 4095. Callable at any time, from any thread.
OVC_EXPORT void OVC_OutputString(const char* level, const char* tag, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
// h = h * 65599 + (signed byte), modulo 2^32, over the NUL-terminated text.
OVC_EXPORT uint32_t OVC_Hash(const char* text);

}  // extern "C"

// The exported functions as the host looks them up.
using OVC_pfn_InitParams = OVC_Params* (*)(const OVC_Version*);
using OVC_pfn_InitPlugin = OVC_PluginInterface* (*)(const OVC_Version*);
using OVC_pfn_DeinitParams = int32_t (*)(OVC_Params*);
using OVC_pfn_DeinitPlugin = int32_t (*)(OVC_PluginInterface*);
using OVC_pfn_OutputString = void (*)(const char*, const char*, const char*, ...);
using OVC_pfn_Hash = uint32_t (*)(const char*);

namespace ORVEX {

// The part of the parameter block that the inspection session reads. The host
// writes these fields in place, in this order; the splitter's own fields
// follow them. Text fields are fixed-size, NUL-terminated buffers: a text that
// does not fit must be refused, never cut (a cut path names another file).
class OVI_BigParams : public OVC_Params {
public:
    static constexpr size_t kPathSize = 64;

    // GetVersion is left to the concrete block.

    char msz_DataRoot[kPathSize] = {};     // 1: folder of the game's loose files
    char msz_BigfilePath[kPathSize] = {};  // 2: the bigfile to open
    bool mb_First = false;                 // 3: copied into the tool, read by nothing
    bool mb_WriteRefsCache = false;        // 4: the full scan writes "refs.bin"
    bool mb_ReportMissing = false;         // 5: report missing files, write the reports
    float mf_Ratio = 0.5f;                 // 6: carried with the block, read by nothing

protected:
    OVI_BigParams() = default;
    OVI_BigParams(const OVI_BigParams&) = default;
    OVI_BigParams& operator=(const OVI_BigParams&) = default;
};

// The splitter's parameter block: OVI_BigParams' fields, then these, in this
// order. The host fills every field, maps included, before eInit; the values
// of the maps the host does not read are written as 0.
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

// The layout both sides rely on. P is the size of a pointer (the virtual table
// pointer comes first), M the size of a std::map; on x86-64 with libstdc++
// (P = 8, M = 48):
//
//   offset  field                 offset  field
//        8  msz_DataRoot[64]         656  msz_RefsCachePath[64]
//       72  msz_BigfilePath[64]      720  msz_CriticalListPath[64]
//      136  mb_First                 784  msz_ReplacementPath[64]
//      137  mb_WriteRefsCache        848  mul_Reserved
//      138  mb_ReportMissing         852  mul_Spare
//      140  mf_Ratio                 856  muw_DirCountBase
//      144  msz_GmBigfilePath[256]   858  mb_Single .. 862 mb_Linker
//      400  msz_AILibraryPath[64]    864  muw_PackageId
//      464  mmap_Worlds              866  muw_PackageWord
//      512  mmap_ForcedKeys          868  mb_SmallHeader
//      560  mmap_ForcedDirs          869  mb_KeysOnly
//      608  mmap_RemCriteria         870  mb_Compress
//                                    872  (size of OVI_SplitterParams; OVI_BigParams: 144)
//
// offsetof on a class with virtual operations is conditionally supported;
// GCC and Clang give the offsets of the Itanium C++ ABI and say so in a warning.
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
#endif
namespace OVC_Layout {
using ORVEX::OVI_BigParams;
using ORVEX::OVI_SplitterParams;
constexpr size_t P = sizeof(void*);
constexpr size_t M = sizeof(std::map<uint32_t, uint32_t>);
static_assert(sizeof(std::map<uint32_t, std::string>) == M);
static_assert(sizeof(OVC_Version) == 4);
static_assert(sizeof(OVC_Params) == P);

static_assert(offsetof(OVI_BigParams, msz_DataRoot) == P);
static_assert(offsetof(OVI_BigParams, msz_BigfilePath) == P + 64);
static_assert(offsetof(OVI_BigParams, mb_First) == P + 128);
static_assert(offsetof(OVI_BigParams, mb_WriteRefsCache) == P + 129);
static_assert(offsetof(OVI_BigParams, mb_ReportMissing) == P + 130);
static_assert(offsetof(OVI_BigParams, mf_Ratio) == P + 132);
static_assert(sizeof(OVI_BigParams) == P + 136);

constexpr size_t B = sizeof(OVI_BigParams);
constexpr size_t kMaps = B + 320;  // the maps follow the two texts
constexpr size_t kTexts = kMaps + 4 * M;
static_assert(offsetof(OVI_SplitterParams, msz_GmBigfilePath) == B);
static_assert(offsetof(OVI_SplitterParams, msz_AILibraryPath) == B + 256);
static_assert(offsetof(OVI_SplitterParams, mmap_Worlds) == kMaps);
static_assert(offsetof(OVI_SplitterParams, mmap_ForcedKeys) == kMaps + M);
static_assert(offsetof(OVI_SplitterParams, mmap_ForcedDirs) == kMaps + 2 * M);
static_assert(offsetof(OVI_SplitterParams, mmap_RemCriteria) == kMaps + 3 * M);
static_assert(offsetof(OVI_SplitterParams, msz_RefsCachePath) == kTexts);
static_assert(offsetof(OVI_SplitterParams, msz_CriticalListPath) == kTexts + 64);
static_assert(offsetof(OVI_SplitterParams, msz_ReplacementPath) == kTexts + 128);
static_assert(offsetof(OVI_SplitterParams, mul_Reserved) == kTexts + 192);
static_assert(offsetof(OVI_SplitterParams, mul_Spare) == kTexts + 196);
static_assert(offsetof(OVI_SplitterParams, muw_DirCountBase) == kTexts + 200);
static_assert(offsetof(OVI_SplitterParams, mb_Single) == kTexts + 202);
static_assert(offsetof(OVI_SplitterParams, mb_Dlc) == kTexts + 203);
static_assert(offsetof(OVI_SplitterParams, mb_Replace) == kTexts + 204);
static_assert(offsetof(OVI_SplitterParams, mb_NoCopy) == kTexts + 205);
static_assert(offsetof(OVI_SplitterParams, mb_Linker) == kTexts + 206);
static_assert(offsetof(OVI_SplitterParams, muw_PackageId) == kTexts + 208);
static_assert(offsetof(OVI_SplitterParams, muw_PackageWord) == kTexts + 210);
static_assert(offsetof(OVI_SplitterParams, mb_SmallHeader) == kTexts + 212);
static_assert(offsetof(OVI_SplitterParams, mb_KeysOnly) == kTexts + 213);
static_assert(offsetof(OVI_SplitterParams, mb_Compress) == kTexts + 214);
static_assert(sizeof(OVI_SplitterParams) == kTexts + 216);
#if defined(__x86_64__) && defined(__GLIBCXX__)
static_assert(sizeof(OVI_BigParams) == 144 && kMaps == 464 && sizeof(OVI_SplitterParams) == 872);
#endif
}  // namespace OVC_Layout
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
