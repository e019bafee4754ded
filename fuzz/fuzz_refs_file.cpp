// Reads arbitrary bytes as the reference cache "refs.bin": every record is
// read or refused, never a crash, a hang or an allocation beyond the lengths
// that the file can hold. Stepping over the records (the check before a
// cache is mapped) must meet the same records and the same end, error
// message included, as reading them.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/FuzzSupport.h"
#include "plugin/OVI_RefsFile.h"

namespace {

struct Walk {
    size_t records = 0;
    uint64_t keySum = 0;
    ORVEX::OVI_RefsFileReader::Next end = ORVEX::OVI_RefsFileReader::Next::eError;
    std::string error;
};

Walk WalkFile(const std::string& path, size_t size, bool skip) {
    Walk walk;
    ORVEX::OVI_RefsFileReader reader;
    if (!reader.bOpen(path))
        return walk;
    ORVEX::FileRefRecord record;
    ORVEX::OVI_RefBuffer keys;
    // A record takes at least its 24-byte head and count: more steps than
    // that would be a reader that does not advance.
    for (size_t steps = 0; steps <= size / 24 + 1; ++steps) {
        walk.end = skip ? reader.eSkip(&record) : reader.eNext(&record, &keys);
        if (walk.end != ORVEX::OVI_RefsFileReader::Next::eRecord) {
            walk.error = reader.Error();
            return walk;
        }
        ++walk.records;
        walk.keySum += uint64_t{record.ul_Key} + record.ul_Index + record.ul_RefCount;
    }
    __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FUZZ::Init();
    const std::string path = FUZZ::SetFile("refs.bin", data, size);
    const Walk read = WalkFile(path, size, false);
    const Walk skipped = WalkFile(path, size, true);
    // Reading can also fail for want of memory, which stepping over cannot.
    if (read.error.find("no memory") != std::string::npos)
        return 0;
    if (read.records != skipped.records || read.keySum != skipped.keySum || read.end != skipped.end ||
        read.error != skipped.error)
        __builtin_trap();
    return 0;
}
