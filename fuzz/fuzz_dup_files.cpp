// Decodes arbitrary bytes as the duplicated-files table and asks it every
// position and copy list: damaged counts and copy lists must give errors or
// "no place", never a crash or a read outside the table.
#include <cstddef>
#include <cstdint>
#include <string>

#include "BIGfile/BIG_DuplicatedFilesManager.h"
#include "fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FUZZ::Init();
    std::string error;
    const auto table = BIG_DuplicatedFilesManager::po_Decode(data, size, &error);
    if (!table)
        return 0;
    const uint32_t count = table->ul_GetCount();
    for (uint32_t i = 0; i <= count && i < 65536; ++i) {
        const uint32_t word = table->ul_GetPosition(i);
        BIG_st_CopyList copies;
        table->bGetCopyList(word, &copies);
        table->ul_GetFirstCopyPosition(word);
    }
    return 0;
}
