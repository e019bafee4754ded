// minimal_host BIGFILE DATA-ROOT WORLD-KEY [PLUGIN]
//
// Loads the orvex plug-in with dlopen, checks its version gates, fills a
// parameter block for one world and runs the splitter: the outputs go to
// DATA-ROOT/DLC/, the reports into the current folder. The exit code is the
// tool's status (0 success), or 10 and up when the host itself gave up.
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <orvex/OVC_Interface.h>

namespace {

// A fixed-size text field: refused, never cut, when the text does not fit.
template <size_t N>
bool bSetText(char (&field)[N], const char* text) {
    const size_t length = std::strlen(text);
    if (length >= N)
        return false;
    std::memset(field, 0, N);
    std::memcpy(field, text, length);
    return true;
}

template <typename Function>
Function LookUp(void* library, const char* name) {
    Function function = reinterpret_cast<Function>(dlsym(library, name));
    if (function == nullptr)
        std::fprintf(stderr, "minimal_host: the plug-in has no %s\n", name);
    return function;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4 && argc != 5) {
        std::fprintf(stderr, "usage: minimal_host BIGFILE DATA-ROOT WORLD-KEY [PLUGIN]\n");
        return 10;
    }
    char* end = nullptr;
    const unsigned long worldKey = std::strtoul(argv[3], &end, 0);
    if (*argv[3] == '\0' || *end != '\0' || worldKey == 0 || worldKey > 0xFFFFFFFFul) {
        std::fprintf(stderr, "minimal_host: %s is not a world key\n", argv[3]);
        return 10;
    }
    const char* pluginPath = argc == 5 ? argv[4] : ORVEX_PLUGIN_PATH;
    void* library = dlopen(pluginPath, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        std::fprintf(stderr, "minimal_host: %s\n", dlerror());
        return 11;
    }
    const auto initParams = LookUp<OVC_pfn_InitParams>(library, "OVC_InitParams");
    const auto initPlugin = LookUp<OVC_pfn_InitPlugin>(library, "OVC_InitPlugin");
    const auto deinitParams = LookUp<OVC_pfn_DeinitParams>(library, "OVC_DeinitParams");
    const auto deinitPlugin = LookUp<OVC_pfn_DeinitPlugin>(library, "OVC_DeinitPlugin");
    if (!initParams || !initPlugin || !deinitParams || !deinitPlugin)
        return 11;

    // The gates: another version gets nothing, this one gets objects of this version.
    const OVC_Version other = {1, 1, 1, 2};
    if (initParams(&other) != nullptr || initPlugin(&other) != nullptr) {
        std::fprintf(stderr, "minimal_host: the plug-in accepted interface version 1.1.1.2\n");
        return 12;
    }
    OVC_Params* params = initParams(&OVC_CurrentVersion);
    OVC_PluginInterface* tool = initPlugin(&OVC_CurrentVersion);
    if (params == nullptr || tool == nullptr || OVC_ul_VersionWord(params->GetVersion()) != OVC_VersionWord ||
        OVC_ul_VersionWord(tool->GetVersion()) != OVC_VersionWord) {
        std::fprintf(stderr, "minimal_host: the plug-in is not of interface version 1.1.1.1\n");
        return 12;
    }

    // The block is the splitter's: its fields are written in place.
    auto* block = static_cast<ORVEX::OVI_SplitterParams*>(params);
    if (!bSetText(block->msz_BigfilePath, argv[1]) || !bSetText(block->msz_DataRoot, argv[2])) {
        std::fprintf(stderr, "minimal_host: a path is longer than the block's %zu-byte field\n",
                     ORVEX::OVI_BigParams::kPathSize);
        return 13;
    }
    block->mmap_Worlds.emplace(static_cast<uint32_t>(worldKey), 0);
    block->mb_ReportMissing = true;

    int32_t status = tool->eInit(params);
    if (status == OVC_Status_Success)
        status = tool->eRun();
    tool->eDeinit();
    std::printf("\nminimal_host: split of %s for world 0x%08lX: status %d\n", argv[1], worldKey,
                static_cast<int>(status));

    // Handed back before the library goes away.
    if (deinitPlugin(tool) != 0 || deinitParams(params) != 0)
        std::fprintf(stderr, "minimal_host: the plug-in refused to destroy its objects\n");
    dlclose(library);
    return status;
}
