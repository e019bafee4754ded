#include "platform/Memory.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

namespace PLT {
namespace {

// Every byte of a block is the caller's, on both sides of the size where
// blocks move from operator new to their own aligned mapping.
TEST(MemoryTest, LargeBlocksAreWholeOnEitherSideOfTheThreshold) {
    const size_t huge = size_t{2} << 20;
    for (const size_t size :
         {size_t{1}, kLargeBlockMin - 1, kLargeBlockMin, huge, huge + 1, 3 * huge + 4097}) {
        auto* block = static_cast<uint8_t*>(AllocLargeBlock(size));
        ASSERT_NE(block, nullptr) << size;
        std::memset(block, 0xA5, size);
        EXPECT_EQ(block[0], 0xA5) << size;
        EXPECT_EQ(block[size - 1], 0xA5) << size;
        if (size >= kLargeBlockMin) {
            EXPECT_EQ(reinterpret_cast<uintptr_t>(block) % huge, 0u) << size;
        }
        FreeLargeBlock(block, size);
    }
}

TEST(MemoryTest, AVectorOnLargeBlocksKeepsItsItemsAcrossGrowth) {
    std::vector<uint32_t, LargeBlockAllocator<uint32_t>> items;
    for (uint32_t i = 0; i < (3u << 20); ++i)
        items.push_back(i * 7);
    for (uint32_t i = 0; i < items.size(); i += 4093)
        ASSERT_EQ(items[i], i * 7);
    EXPECT_EQ(items.back(), ((3u << 20) - 1) * 7);
    items.resize(10);
    items.shrink_to_fit();
    EXPECT_EQ(items[9], 63u);
}

}  // namespace
}  // namespace PLT
