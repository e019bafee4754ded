// Finding and loading liborvexbig.so, and its six entry points.
#pragma once

#include <string>

#include "platform/DynamicLibrary.h"
#include "orvex/OVC_Interface.h"

namespace HOST {

struct PluginLocation {
    std::string path;    // empty when no plug-in was found
    std::string source;  // how it was chosen: "command line", "$ORVEX_PLUGIN", ...
    std::string error;   // why none was found
};

// The plug-in to load: `explicitPath` when not empty, else $ORVEX_PLUGIN when
// set, else ../lib/liborvexbig.so beside the executable, else the build tree's.
// An explicit path or $ORVEX_PLUGIN is taken as given, even when missing, so
// that a wrong setting is reported rather than passed over.
PluginLocation LocatePlugin(const std::string& explicitPath);

// The loaded library and its entry points. Objects the plug-in made must be
// handed back before this is destroyed: destruction unloads the library.
class Plugin {
public:
    // Loads the library and looks up all six entry points. False with `error`
    // set when the library does not load or an entry point is missing; the
    // pointers that were found stay set, for reporting.
    bool bLoad(const std::string& path, std::string* error);
    bool bIsOpen() const { return m_library.IsOpen(); }

    OVC_pfn_InitParams pfn_InitParams = nullptr;
    OVC_pfn_InitPlugin pfn_InitPlugin = nullptr;
    OVC_pfn_DeinitParams pfn_DeinitParams = nullptr;
    OVC_pfn_DeinitPlugin pfn_DeinitPlugin = nullptr;
    OVC_pfn_OutputString pfn_OutputString = nullptr;
    OVC_pfn_Hash pfn_Hash = nullptr;

private:
    PLT::DynamicLibrary m_library;
};

}  // namespace HOST
