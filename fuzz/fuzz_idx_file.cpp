// Decodes arbitrary bytes as an IDX file (the cached reference graph): each
// input decodes or is refused, and what decodes encodes back to the same
// records.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "BIGfile/BIG_RefIndexFile.h"
#include "fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FUZZ::Init();
    std::vector<BIG::FileInfos> records;
    uint32_t duplicate = 0;
    if (BIG::IdxFile::Decode(data, size, &records, &duplicate) != BIG::IdxFile::eDecode::Ok)
        return 0;
    std::vector<const BIG::FileInfos*> order;
    for (const BIG::FileInfos& r : records)
        order.push_back(&r);
    const std::vector<uint8_t> again = BIG::IdxFile::Encode(order);
    std::vector<BIG::FileInfos> back;
    if (BIG::IdxFile::Decode(again.data(), again.size(), &back) != BIG::IdxFile::eDecode::Ok ||
        back.size() != records.size())
        __builtin_trap();
    return 0;
}
