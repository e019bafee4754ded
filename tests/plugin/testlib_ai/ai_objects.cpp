// A stand-in for the game's AI library, loaded by the AI load helper's tests.
//
// Like the real library, it writes "aiobjects.bin" into the current directory
// while it loads. The bytes it writes are those of the file named by the
// environment variable ORVEX_TEST_AI_SOURCE; without it, it writes nothing.
// Plain C library calls only, so that the module unloads on dlclose and the
// next load runs the constructor again.
#include <cstdio>
#include <cstdlib>

namespace {

__attribute__((constructor)) void WriteObjectList() {
    const char* source = std::getenv("ORVEX_TEST_AI_SOURCE");
    if (source == nullptr || *source == '\0')
        return;
    std::FILE* in = std::fopen(source, "rb");
    if (in == nullptr)
        return;
    std::FILE* out = std::fopen("aiobjects.bin", "wb");
    if (out != nullptr) {
        char buffer[4096];
        size_t n = 0;
        while ((n = std::fread(buffer, 1, sizeof(buffer), in)) > 0)
            std::fwrite(buffer, 1, n, out);
        std::fclose(out);
    }
    std::fclose(in);
}

}  // namespace
