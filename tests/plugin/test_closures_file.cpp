// The closures file the splitter hands to its host: exact bytes of a known
// value, a round trip, and every cut or inflated file refused whole.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "BIGfile/BIG_Endian.h"
#include "plugin/OVI_ClosuresFile.h"

namespace {

using ORVEX::OVI_Closures;

OVI_Closures Sample() {
    OVI_Closures c;
    c.worlds[0x500] = {0x500, 0x10, 0x11};
    c.worlds[0x400] = {0x400};
    c.sizes = {{0x10, 100}, {0x11, 0}, {0x400, 7}, {0x500, 0xFFFFFFFF}};
    return c;
}

TEST(ClosuresFile, EncodesTheLayoutByteForByte) {
    // Built field by field, apart from the encoder.
    std::vector<uint8_t> expected;
    BIG::Endian::ByteAppender put(&expected);
    for (uint32_t v : {0x4C43564Fu, 1u,    2u,                     // "OVCL", version, worlds
                       0x400u,      1u,    0x400u,                 // world 0x400
                       0x500u,      3u,    0x10u,  0x11u, 0x500u,  // world 0x500, keys ascending
                       4u,          0x10u, 100u,   0x11u, 0u,     0x400u, 7u, 0x500u, 0xFFFFFFFFu})
        put.U32(v);
    const std::vector<uint8_t> bytes = ORVEX::OVI_EncodeClosures(Sample());
    EXPECT_EQ(bytes, expected);
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin(), bytes.begin() + 4),
              (std::vector<uint8_t>{'O', 'V', 'C', 'L'}));

    OVI_Closures back;
    ASSERT_TRUE(ORVEX::OVI_bDecodeClosures(bytes.data(), bytes.size(), &back));
    EXPECT_EQ(back.worlds, Sample().worlds);
    EXPECT_EQ(back.sizes, Sample().sizes);
    OVI_Closures empty;
    const std::vector<uint8_t> none = ORVEX::OVI_EncodeClosures(empty);
    EXPECT_EQ(none.size(), 16u);
    EXPECT_TRUE(ORVEX::OVI_bDecodeClosures(none.data(), none.size(), &back));
    EXPECT_TRUE(back.worlds.empty() && back.sizes.empty());
}

TEST(ClosuresFile, CutInflatedOrForeignFilesAreRefusedWhole) {
    const std::vector<uint8_t> good = ORVEX::OVI_EncodeClosures(Sample());
    OVI_Closures untouched = Sample();
    for (size_t size = 0; size < good.size(); ++size)
        EXPECT_FALSE(ORVEX::OVI_bDecodeClosures(good.data(), size, &untouched)) << "cut at " << size;
    std::vector<uint8_t> longer = good;
    longer.push_back(0);
    EXPECT_FALSE(ORVEX::OVI_bDecodeClosures(longer.data(), longer.size(), &untouched));
    // Counts far beyond the bytes: nothing is allocated for them.
    for (size_t offset : {size_t{8}, size_t{16}, size_t{28}, size_t{44}}) {
        std::vector<uint8_t> inflated = good;
        BIG::Endian::Put32(inflated.data() + offset, 0x40000000);
        EXPECT_FALSE(ORVEX::OVI_bDecodeClosures(inflated.data(), inflated.size(), &untouched)) << offset;
    }
    for (size_t offset : {size_t{0}, size_t{4}}) {
        std::vector<uint8_t> foreign = good;
        foreign[offset] ^= 1;
        EXPECT_FALSE(ORVEX::OVI_bDecodeClosures(foreign.data(), foreign.size(), &untouched)) << offset;
    }
    EXPECT_EQ(untouched.worlds, Sample().worlds);
}

}  // namespace
