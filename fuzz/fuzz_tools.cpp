// Runs the maintenance tools over arbitrary bytes as a whole bigfile (segment
// files as fuzz_fat_read takes them): `ls` in every form, `info`, `verify`,
// and `extract` into a temporary folder, which must get every write and keep
// it. Damage gives error lines, never a crash, a hang or unbounded output.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <ostream>
#include <streambuf>
#include <string>
#include <vector>

#include "BIGfile/BIG_Fat.h"
#include "fuzz/FuzzSupport.h"
#include "host/BigTools.h"

namespace {

// Counts what the printers write without keeping it.
class CountingBuffer : public std::streambuf {
public:
    size_t written = 0;

protected:
    int overflow(int c) override {
        ++written;
        return c;
    }
    std::streamsize xsputn(const char*, std::streamsize n) override {
        written += static_cast<size_t>(n);
        return n;
    }
};

// The extraction folder, on the memory file system when the machine has one.
const std::filesystem::path& ExtractRoot() {
    static const std::filesystem::path root = [] {
        const std::filesystem::path shm = "/dev/shm";
        const std::filesystem::path base =
            std::filesystem::is_directory(shm) ? shm : std::filesystem::temp_directory_path();
        return base / ("orvex_fuzz_tools_" + std::to_string(getpid()));
    }();
    return root;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (1u << 20))
        return 0;
    FUZZ::Init();
    const std::string path = std::string(PLT::kMemoryPrefix) + "tools/fuzz.bf";
    FUZZ::SetBigfile(path, data, size);
    std::string error;
    auto fat = HOST::Tools::OpenBigfile(path, &error);
    if (!fat)
        return 0;
    CountingBuffer sink;
    std::ostream out(&sink);
    HOST::Tools::PrintInfo(*fat, path, out);
    HOST::Tools::PrintListing(*fat, out);
    HOST::Tools::PrintTree(*fat, out);
    HOST::Tools::PrintJson(*fat, out);
    HOST::Tools::Verify(*fat);

    const std::filesystem::path& root = ExtractRoot();
    std::filesystem::remove_all(root);
    const std::filesystem::path folder = root / "out";
    std::filesystem::create_directories(folder);
    HOST::Tools::ExtractResult result;
    HOST::Tools::Extract(*fat, folder.string(), {}, &result);
    // Everything written stays inside the folder: nothing beside it in the root.
    for (const auto& entry : std::filesystem::directory_iterator(root))
        if (entry.path() != folder)
            __builtin_trap();
    std::filesystem::remove_all(root);
    fat->File().eClose();
    return 0;
}
