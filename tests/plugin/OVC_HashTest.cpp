#include <gtest/gtest.h>

#include <cstdint>

#include "orvex/OVC_Interface.h"

namespace {

struct HashCase {
    const char* text;
    uint32_t hash;
};

TEST(OVC_Hash, KnownValues) {
    const HashCase cases[] = {
        {"", 0},
        {"a", 97},
        {"abc", 0x3025F862u},
        // A byte of 0x80..0xFF is a negative value: 0xE9 counts as -23.
        {"\xE9", static_cast<uint32_t>(-23)},
        {"a\xE9", 97u * 65599u - 23u},
        {"\x80", static_cast<uint32_t>(-128)},
    };
    for (const HashCase& c : cases)
        EXPECT_EQ(OVC_Hash(c.text), c.hash) << "text \"" << c.text << "\"";
}

TEST(OVC_Hash, WrapsModulo2To32) {
    // Long enough that the running product overflows many times; checked
    // against a 64-bit computation reduced at every step.
    const char text[] = "Orvex/worlds/Forest_Level_07/ambient_night_loop.sam";
    uint64_t expected = 0;
    for (const char* p = text; *p; ++p)
        expected =
            (expected * 65599u + static_cast<uint64_t>(static_cast<int64_t>(static_cast<signed char>(*p)))) &
            0xFFFFFFFFu;
    EXPECT_EQ(OVC_Hash(text), static_cast<uint32_t>(expected));
}

TEST(OVC_Hash, NullIsEmpty) {
    EXPECT_EQ(OVC_Hash(nullptr), 0u);
}

}  // namespace
