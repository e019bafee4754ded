// Reads arbitrary bytes as a sound package and its name list: inconsistent
// tables, offsets and unterminated names give a problem text, never a crash
// or a read outside the file; every name read is then made a package name.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "plugin/OVI_SoundsHelper.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FUZZ::Init();
    const std::string path = FUZZ::SetFile("sound_bin_pc/fuzz.pk", data, size);
    std::vector<std::string> names;
    std::string problem;
    ORVEX::OVI_SoundsHelper::bReadPackageNames(path, &names, &problem);
    for (const std::string& name : names) {
        const std::string package = ORVEX::OVI_SoundsHelper::PackageNameOf(name);
        ORVEX::OVI_SoundsHelper::bIsPlainName(package);
        ORVEX::OVI_SoundsHelper::ReplaceExtension(package, ORVEX::OVI_SoundsHelper::kEnglishTargetExt);
    }
    return 0;
}
