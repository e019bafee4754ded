// Reads arbitrary bytes as the AI library's object list "aiobjects.bin":
// whole records give keys, a trailing partial record is reported, nothing
// more.
#include <cstddef>
#include <cstdint>

#include "fuzz/FuzzSupport.h"
#include "plugin/OVI_LoadHelpers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FUZZ::Init();
    ORVEX::OVI_AILoadHelper helper;
    size_t partial = 0;
    const uint32_t repeated = helper.ul_ReadRecords(data, size, &partial);
    if (partial != size % ORVEX::OVI_AILoadHelper::kRecordSize ||
        repeated > size / ORVEX::OVI_AILoadHelper::kRecordSize)
        __builtin_trap();
    return 0;
}
