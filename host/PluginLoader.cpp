#include "host/PluginLoader.h"

#include <cstdlib>

#include "platform/File.h"
#include "platform/Process.h"

namespace HOST {
namespace {

constexpr char kLibraryName[] = "liborvexbig.so";

std::string DirectoryOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

template <typename Pointer>
bool bLookUp(const PLT::DynamicLibrary& library, const char* name, Pointer* out, std::string* missing) {
    *out = reinterpret_cast<Pointer>(library.Symbol(name));
    if (*out == nullptr)
        *missing += std::string(missing->empty() ? "" : ", ") + name;
    return *out != nullptr;
}

}  // namespace

PluginLocation LocatePlugin(const std::string& explicitPath) {
    PluginLocation location;
    if (!explicitPath.empty()) {
        location.path = explicitPath;
        location.source = "command line";
        return location;
    }
    const char* fromEnvironment = std::getenv("ORVEX_PLUGIN");
    if (fromEnvironment != nullptr && fromEnvironment[0] != '\0') {
        location.path = fromEnvironment;
        location.source = "$ORVEX_PLUGIN";
        return location;
    }

    std::string tried;
    const std::string executable = PLT::ExecutablePath();
    if (!executable.empty()) {
        const std::string installed = DirectoryOf(executable) + "/../lib/" + kLibraryName;
        if (PLT::FileExists(installed)) {
            location.path = installed;
            location.source = "beside the executable";
            return location;
        }
        tried += installed;
    }
    const std::string buildTree = ORVEX_BUILD_TREE_PLUGIN;
    if (PLT::FileExists(buildTree)) {
        location.path = buildTree;
        location.source = "build tree";
        return location;
    }
    tried += (tried.empty() ? "" : ", ") + buildTree;
    location.error =
        std::string(kLibraryName) + " not found (set $ORVEX_PLUGIN or give its path); tried " + tried;
    return location;
}

bool Plugin::bLoad(const std::string& path, std::string* error) {
    if (!m_library.Open(path)) {
        *error = "cannot load " + path + ": " + m_library.Error();
        return false;
    }
    std::string missing;
    bool found = bLookUp(m_library, "OVC_InitParams", &pfn_InitParams, &missing);
    found = bLookUp(m_library, "OVC_InitPlugin", &pfn_InitPlugin, &missing) && found;
    found = bLookUp(m_library, "OVC_DeinitParams", &pfn_DeinitParams, &missing) && found;
    found = bLookUp(m_library, "OVC_DeinitPlugin", &pfn_DeinitPlugin, &missing) && found;
    found = bLookUp(m_library, "OVC_OutputString", &pfn_OutputString, &missing) && found;
    found = bLookUp(m_library, "OVC_Hash", &pfn_Hash, &missing) && found;
    if (!found)
        *error = path + " lacks " + missing;
    return found;
}

}  // namespace HOST
