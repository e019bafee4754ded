// Positions and distances inside a bigfile, counted in 8-byte units in 32 bits.
//
// BIG_POS is a place in the container's address space; BIG_Offset a distance,
// or a place relative to the start of the data area. Both hold byte offset / 8,
// so the largest byte offset they can name is 0x7FFFFFFF0 (just under 32 GiB);
// the value 0xFFFFFFFF is reserved for "none" and is never produced by
// construction from bytes.
//
// Construction from a byte offset checks that it is a multiple of 8 ("Value not
// properly aligned!") and below 0x7FFFFFFF8 ("Value too big!"). A failed check
// raises an assertion and the result is none, so that a caller that continues
// past the report reaches an error instead of silently using a wrong place. The
// same holds for arithmetic that leaves the range: an overflow gives "Value too
// big!", a subtraction below zero gives the type's own message, and the result
// is none. A none operand makes the result none without a report (it was
// reported where it arose, or it means "no position" on purpose).
//
// Value types; no shared state.
#pragma once

#include <compare>
#include <cstdint>

// Rounds a byte offset up (or down) to a multiple of 2^shift. A result that
// cannot be represented saturates to 0xFFFFFFFFFFFFFFF8, which every position
// constructor rejects as too big.
uint64_t BIG_ull_AlignUp(uint64_t bytes, uint32_t shift);
uint64_t BIG_ull_AlignDown(uint64_t bytes, uint32_t shift);

class BIG_Offset;

class BIG_POS {
public:
    static constexpr uint32_t kNone = 0xFFFFFFFF;
    // First byte offset that cannot be held.
    static constexpr uint64_t kByteLimit = 0x7FFFFFFF8ull;

    // None.
    constexpr BIG_POS() = default;
    // From a byte offset (see the header comment for the checks).
    explicit BIG_POS(uint64_t byteOffset);
    // From a stored 8-byte-unit value, unchecked (0xFFFFFFFF is none).
    static constexpr BIG_POS FromValue(uint32_t value) {
        BIG_POS pos;
        pos.m_ulValue = value;
        return pos;
    }
    static constexpr BIG_POS None() { return BIG_POS(); }

    constexpr uint32_t ul_GetValue() const { return m_ulValue; }
    constexpr bool bIsNone() const { return m_ulValue == kNone; }
    // value × 8. Meaningless for none; test bIsNone() first.
    constexpr uint64_t ull_GetByteOffset() const { return static_cast<uint64_t>(m_ulValue) << 3; }

    BIG_POS& operator+=(BIG_Offset offset);
    BIG_POS& operator-=(BIG_Offset offset);
    friend BIG_POS operator+(BIG_POS pos, BIG_Offset offset);
    friend BIG_POS operator-(BIG_POS pos, BIG_Offset offset);
    // Distance between two positions.
    friend BIG_Offset operator-(BIG_POS a, BIG_POS b);

    constexpr auto operator<=>(const BIG_POS&) const = default;

private:
    uint32_t m_ulValue = kNone;
};

class BIG_Offset {
public:
    static constexpr uint32_t kNone = 0xFFFFFFFF;
    static constexpr uint64_t kByteLimit = 0x7FFFFFFF8ull;

    constexpr BIG_Offset() = default;
    explicit BIG_Offset(uint64_t byteOffset);
    static constexpr BIG_Offset FromValue(uint32_t value) {
        BIG_Offset offset;
        offset.m_ulValue = value;
        return offset;
    }
    static constexpr BIG_Offset None() { return BIG_Offset(); }

    constexpr uint32_t ul_GetValue() const { return m_ulValue; }
    constexpr bool bIsNone() const { return m_ulValue == kNone; }
    constexpr uint64_t ull_GetByteOffset() const { return static_cast<uint64_t>(m_ulValue) << 3; }

    BIG_Offset& operator+=(BIG_Offset other);
    BIG_Offset& operator-=(BIG_Offset other);
    friend BIG_Offset operator+(BIG_Offset a, BIG_Offset b);
    friend BIG_Offset operator-(BIG_Offset a, BIG_Offset b);

    constexpr auto operator<=>(const BIG_Offset&) const = default;

private:
    uint32_t m_ulValue = kNone;
};
