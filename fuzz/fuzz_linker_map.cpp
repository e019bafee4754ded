// Reads arbitrary bytes as a linker map: every input either decodes or is
// refused, and whatever decodes encodes back to the same header and links.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "BIGfile/BIG_Linker.h"
#include "ERRor/ERR_Assert.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ERR_SetInteractive(false);
    BIG_cl_Linker map(0, 0);
    if (map.eDecode(data, size) != BIG_cl_Linker::Decode::eOk)
        return 0;
    std::vector<uint8_t> encoded;
    map.EncodeTo(&encoded);
    // The encoding is the input without whatever followed the links.
    if (encoded.size() > size || std::memcmp(encoded.data(), data, encoded.size()) != 0)
        std::abort();
    for (uint32_t i = 0; i < map.ul_GetLinkCount(); ++i) {
        const uint32_t found = map.ul_FindLink(map.GetLinks()[i].ul_Key);
        if (found == BIG_cl_HashTable::kNone || map.GetLinks()[found].ul_Key != map.GetLinks()[i].ul_Key)
            std::abort();
    }
    return 0;
}
