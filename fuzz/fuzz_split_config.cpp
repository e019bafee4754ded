// Reads arbitrary text as the splitter's TOML settings file: syntax errors,
// unknown keys and values of the wrong type or range give an error text,
// never a crash or an uncaught exception.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/FuzzSupport.h"
#include "host/SplitOptions.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FUZZ::Init();
    const std::string path = FUZZ::SetFile("split.toml", data, size);
    HOST::SplitSettings settings;
    std::string error;
    HOST::bLoadSplitConfig(path, &settings, &error);
    return 0;
}
