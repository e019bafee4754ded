// Packs from an arbitrary manifest: wrapped or cut numbers, duplicate keys,
// names and data paths that leave the folder and malformed JSON must be
// refused with an error, and a refused pack leaves nothing behind.
//
// Input: the manifest's text. The folder also holds "data/a.bin" (a few
// bytes), so that manifests that name it get as far as writing the bigfile.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

#include "fuzz/FuzzSupport.h"
#include "host/BigTools.h"

namespace {

const std::filesystem::path& Root() {
    static const std::filesystem::path root = [] {
        const std::filesystem::path shm = "/dev/shm";
        const std::filesystem::path base =
            std::filesystem::is_directory(shm) ? shm : std::filesystem::temp_directory_path();
        const std::filesystem::path r = base / ("orvex_fuzz_pack_" + std::to_string(getpid()));
        std::filesystem::remove_all(r);
        std::filesystem::create_directories(r / "in" / "data");
        std::ofstream(r / "in" / "data" / "a.bin", std::ios::binary) << "content";
        std::filesystem::create_directories(r / "out");
        return r;
    }();
    return root;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (1u << 16))
        return 0;
    FUZZ::Init();
    const std::filesystem::path& root = Root();
    {
        std::ofstream manifest(root / "in" / "manifest.json", std::ios::binary | std::ios::trunc);
        manifest.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    const std::filesystem::path out = root / "out" / "packed.big";
    std::string error;
    const bool packed = HOST::Tools::Pack((root / "in").string(), out.string(), {}, &error);
    // A refused pack leaves the output folder as it found it.
    if (!packed && !std::filesystem::is_empty(root / "out"))
        __builtin_trap();
    std::filesystem::remove_all(root / "out");
    std::filesystem::create_directory(root / "out");
    return 0;
}
