// Parses arbitrary text as the splitter's critical list, both from bytes and
// through the file loader with its size and word bounds.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/FuzzSupport.h"
#include "plugin/OVI_Splitter.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FUZZ::Init();
    ORVEX::CriticalList parsed;
    std::string problem;
    parsed.bParse(std::string_view(reinterpret_cast<const char*>(data), size), &problem);
    for (const auto& entry : parsed.m_Keys)
        parsed.Check(entry.first);

    ORVEX::CriticalList loaded;
    loaded.Load(FUZZ::SetFile("critical.txt", data, size));
    // The loader reads the same text: it must agree with the parser.
    if (loaded.m_Keys.size() != parsed.m_Keys.size())
        __builtin_trap();
    return 0;
}
