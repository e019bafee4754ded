// orvex plugin [PATH]: loads the plug-in as the tools do, checks its entry
// points and version gates, and reports what it found.
#include <cinttypes>
#include <cstdio>
#include <memory>
#include <string>

#include "host/Command.h"
#include "host/ExitCode.h"
#include "host/PluginLoader.h"

namespace {

constexpr OVC_Version kOtherVersion = {1, 1, 1, 2};
constexpr uint32_t kHashOfAbc = 0x3025F862u;

std::string VersionText(const OVC_Version* version) {
    if (version == nullptr)
        return "none";
    char text[32];
    std::snprintf(text, sizeof(text), "%u.%u.%u.%u", version->uc_Major, version->uc_Minor,
                  version->uc_Release, version->uc_Build);
    return text;
}

// One checked fact; prints it and returns whether it holds.
bool Check(bool holds, const std::string& what) {
    std::printf("  %-44s %s\n", what.c_str(), holds ? "ok" : "FAILED");
    return holds;
}

// Creates with the right version, refuses the wrong one, destroys.
template <typename Object>
bool CheckGates(const char* name, Object* (*create)(const OVC_Version*), int32_t (*destroy)(Object*)) {
    bool ok = Check(create(&kOtherVersion) == nullptr, std::string(name) + "(1.1.1.2) refused");
    Object* object = create(&OVC_CurrentVersion);
    ok = Check(object != nullptr, std::string(name) + "(1.1.1.1) gives an object") && ok;
    if (object == nullptr)
        return false;
    const OVC_Version* version = object->GetVersion();
    ok = Check(OVC_ul_VersionWord(version) == OVC_VersionWord, "  its version is " + VersionText(version)) &&
         ok;
    return Check(destroy(object) == 0, "  handed back and destroyed") && ok;
}

int RunPlugin(const std::string& explicitPath) {
    const HOST::PluginLocation location = HOST::LocatePlugin(explicitPath);
    if (location.path.empty()) {
        std::fprintf(stderr, "orvex plugin: %s\n", location.error.c_str());
        return HOST::ExitCodeForStatus(OVC_Status_Failure);
    }
    std::printf("plug-in: %s (%s)\n", location.path.c_str(), location.source.c_str());

    HOST::Plugin plugin;
    std::string error;
    const bool loaded = plugin.bLoad(location.path, &error);
    if (!plugin.bIsOpen()) {
        std::fprintf(stderr, "orvex plugin: %s\n", error.c_str());
        return HOST::ExitCodeForStatus(OVC_Status_Failure);
    }

    std::printf("entry points:\n");
    const struct {
        const char* name;
        bool found;
    } entries[] = {
        {"OVC_InitParams", plugin.pfn_InitParams != nullptr},
        {"OVC_InitPlugin", plugin.pfn_InitPlugin != nullptr},
        {"OVC_DeinitParams", plugin.pfn_DeinitParams != nullptr},
        {"OVC_DeinitPlugin", plugin.pfn_DeinitPlugin != nullptr},
        {"OVC_OutputString", plugin.pfn_OutputString != nullptr},
        {"OVC_Hash", plugin.pfn_Hash != nullptr},
    };
    for (const auto& entry : entries)
        std::printf("  %-44s %s\n", entry.name, entry.found ? "found" : "MISSING");
    if (!loaded) {
        std::fprintf(stderr, "orvex plugin: %s\n", error.c_str());
        return HOST::ExitCodeForStatus(OVC_Status_Failure);
    }

    std::printf("version gates:\n");
    bool ok = CheckGates("OVC_InitParams", plugin.pfn_InitParams, plugin.pfn_DeinitParams);
    ok = CheckGates("OVC_InitPlugin", plugin.pfn_InitPlugin, plugin.pfn_DeinitPlugin) && ok;

    std::printf("name hash:\n");
    const uint32_t hash = plugin.pfn_Hash("abc");
    char what[64];
    std::snprintf(what, sizeof(what), "OVC_Hash(\"abc\") = 0x%08" PRIX32, hash);
    ok = Check(hash == kHashOfAbc, what) && ok;

    std::printf("%s\n", ok ? "plug-in ok" : "plug-in FAILED its checks");
    std::fflush(stdout);
    return HOST::ExitCodeForStatus(ok ? OVC_Status_Success : OVC_Status_Failure);
}

HOST::Command Setup(CLI::App& parent) {
    CLI::App* app = parent.add_subcommand(
        "plugin", "Load the plug-in, check its entry points and version gates, and report what was found");
    auto path = std::make_shared<std::string>();
    app->add_option("path", *path,
                    "The plug-in to load (default: $ORVEX_PLUGIN, else ../lib/liborvexbig.so beside orvex, "
                    "else the build tree's)");
    return HOST::Command{app, [path] { return RunPlugin(*path); }};
}

const HOST::CommandRegistrar s_Registrar(&Setup);

}  // namespace
