// The host interface of the plug-in: what a host sees of the library.
//
// A host asks for one parameter block (OVC_InitParams) and one tool object
// (OVC_InitPlugin), fills the block's fields directly, drives the tool through
// eInit, eRun and eDeinit, and hands both objects back (OVC_DeinitPlugin,
// OVC_DeinitParams). Every creation and destruction is gated by the interface
// version 1.1.1.1. OVC_OutputString and OVC_Hash need no set-up.
//
// Host and library must be built from these headers by the same compiler: the
// parameter block is a plain record behind its one virtual operation and the
// host writes its fields in place.
#pragma once

#include <cstdint>

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
