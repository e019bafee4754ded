// Reads arbitrary bytes as the reference cache "refs.bin": every record is
// read or refused, never a crash, a hang or an allocation beyond the lengths
// that the file can hold.
#include <cstddef>
#include <cstdint>

#include "fuzz/FuzzSupport.h"
#include "plugin/OVI_RefsFile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FUZZ::Init();
    const std::string path = FUZZ::SetFile("refs.bin", data, size);
    ORVEX::OVI_RefsFileReader reader;
    if (!reader.bOpen(path))
        return 0;
    ORVEX::FileRefRecord record;
    ORVEX::OVI_RefBuffer keys;
    // A record takes at least its 24-byte head and count: more steps than
    // that would be a reader that does not advance.
    for (size_t steps = 0; steps <= size / 24 + 1; ++steps) {
        if (reader.eNext(&record, &keys) != ORVEX::OVI_RefsFileReader::Next::eRecord)
            return 0;
    }
    __builtin_trap();
}
