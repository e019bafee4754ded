#include "BIGfile/BIG_Pos.h"

#include "ERRor/ERR_Assert.h"

namespace {

constexpr const char* kCategory = "AssertEx";
constexpr uint64_t kSaturated = 0xFFFFFFFFFFFFFFF8ull;

// Shared by both types: the stored value for a byte offset, or none after a report.
uint32_t ulCheckedValue(uint64_t byteOffset) {
    if ((byteOffset & 7) != 0) {
        ERR_X_Raise(kCategory, "Value not properly aligned!");
        return 0xFFFFFFFF;
    }
    if (byteOffset >= BIG_POS::kByteLimit) {
        ERR_X_Raise(kCategory, "Value too big!");
        return 0xFFFFFFFF;
    }
    return static_cast<uint32_t>(byteOffset >> 3);
}

// Sum of two stored values; none when either is none, reported when it leaves the range.
uint32_t ulAdd(uint32_t a, uint32_t b) {
    if (a == 0xFFFFFFFF || b == 0xFFFFFFFF)
        return 0xFFFFFFFF;
    const uint64_t sum = static_cast<uint64_t>(a) + b;
    if (sum >= 0xFFFFFFFF) {
        ERR_X_Raise(kCategory, "Value too big!");
        return 0xFFFFFFFF;
    }
    return static_cast<uint32_t>(sum);
}

}  // namespace

uint64_t BIG_ull_AlignUp(uint64_t bytes, uint32_t shift) {
    if (shift >= 63)
        return bytes == 0 ? 0 : kSaturated;
    const uint64_t mask = (uint64_t{1} << shift) - 1;
    if (bytes > UINT64_MAX - mask)
        return kSaturated;
    return (bytes + mask) & ~mask;
}

uint64_t BIG_ull_AlignDown(uint64_t bytes, uint32_t shift) {
    if (shift >= 63)
        return 0;
    const uint64_t mask = (uint64_t{1} << shift) - 1;
    return bytes & ~mask;
}

BIG_POS::BIG_POS(uint64_t byteOffset) : m_ulValue(ulCheckedValue(byteOffset)) {}

BIG_POS& BIG_POS::operator+=(BIG_Offset offset) {
    m_ulValue = ulAdd(m_ulValue, offset.ul_GetValue());
    return *this;
}

BIG_POS& BIG_POS::operator-=(BIG_Offset offset) {
    if (bIsNone() || offset.bIsNone()) {
        m_ulValue = kNone;
    } else if (offset.ul_GetValue() > m_ulValue) {
        ERR_X_Raise(kCategory, "operator -= will produce negative BIG_POS value which is not supported!");
        m_ulValue = kNone;
    } else {
        m_ulValue -= offset.ul_GetValue();
    }
    return *this;
}

BIG_POS operator+(BIG_POS pos, BIG_Offset offset) {
    return pos += offset;
}
BIG_POS operator-(BIG_POS pos, BIG_Offset offset) {
    return pos -= offset;
}

BIG_Offset operator-(BIG_POS a, BIG_POS b) {
    if (a.bIsNone() || b.bIsNone())
        return BIG_Offset::None();
    if (b.ul_GetValue() > a.ul_GetValue()) {
        ERR_X_Raise(kCategory, "Operation will produce negative offset which is not supported!");
        return BIG_Offset::None();
    }
    return BIG_Offset::FromValue(a.ul_GetValue() - b.ul_GetValue());
}

BIG_Offset::BIG_Offset(uint64_t byteOffset) : m_ulValue(ulCheckedValue(byteOffset)) {}

BIG_Offset& BIG_Offset::operator+=(BIG_Offset other) {
    m_ulValue = ulAdd(m_ulValue, other.m_ulValue);
    return *this;
}

BIG_Offset& BIG_Offset::operator-=(BIG_Offset other) {
    if (bIsNone() || other.bIsNone()) {
        m_ulValue = kNone;
    } else if (other.m_ulValue > m_ulValue) {
        ERR_X_Raise(kCategory, "Operation will produce negative offset which is not supported!");
        m_ulValue = kNone;
    } else {
        m_ulValue -= other.m_ulValue;
    }
    return *this;
}

BIG_Offset operator+(BIG_Offset a, BIG_Offset b) {
    return a += b;
}
BIG_Offset operator-(BIG_Offset a, BIG_Offset b) {
    return a -= b;
}
