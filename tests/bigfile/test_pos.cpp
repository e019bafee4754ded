// BIG_POS / BIG_Offset construction, arithmetic and range reports; the
// little-endian field codec.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "BIGfile/BIG_Endian.h"
#include "BIGfile/BIG_Pos.h"
#include "ERRor/ERR_Assert.h"
#include "ERRor/ERR_Log.h"
#include "tests/support/LogCapture.h"

namespace {

// Assertions only.
struct PosAssertLog : test_support::LogCapture {
    PosAssertLog() : LogCapture({ERR_Level_Assert}) {}
};

const char* const kAligned = "Value not properly aligned!";
const char* const kTooBig = "Value too big!";
const char* const kNegPos = "operator -= will produce negative BIG_POS value which is not supported!";
const char* const kNegOffset = "Operation will produce negative offset which is not supported!";

struct ConstructCase {
    uint64_t bytes;
    uint32_t value;       // expected stored value
    const char* message;  // expected report, or nullptr
};

TEST(BigPosConstruction, ByteOffsetsMapToUnitsOrReport) {
    const ConstructCase cases[] = {
        {0, 0, nullptr},
        {8, 1, nullptr},
        {0x7FFFFFFF0ull, 0xFFFFFFFE, nullptr},  // the largest representable place
        {4, 0xFFFFFFFF, kAligned},
        {0x7FFFFFFF1ull, 0xFFFFFFFF, kAligned},
        {0x7FFFFFFF8ull, 0xFFFFFFFF, kTooBig},  // would collide with none
        {0x800000000ull, 0xFFFFFFFF, kTooBig},
        {UINT64_MAX - 7, 0xFFFFFFFF, kTooBig},
    };
    for (const ConstructCase& c : cases) {
        SCOPED_TRACE(c.bytes);
        {
            PosAssertLog log;
            const BIG_POS pos(c.bytes);
            EXPECT_EQ(pos.ul_GetValue(), c.value);
            EXPECT_EQ(log.Count(), c.message ? 1u : 0u);
            if (c.message)
                EXPECT_EQ(log.Count(c.message), 1u);
            else
                EXPECT_EQ(pos.ull_GetByteOffset(), c.bytes);
        }
        {
            PosAssertLog log;
            const BIG_Offset offset(c.bytes);
            EXPECT_EQ(offset.ul_GetValue(), c.value);
            EXPECT_EQ(log.Count(), c.message ? 1u : 0u);
        }
    }
}

TEST(BigPosConstruction, DefaultIsNone) {
    EXPECT_TRUE(BIG_POS().bIsNone());
    EXPECT_TRUE(BIG_Offset().bIsNone());
    EXPECT_FALSE(BIG_POS(0).bIsNone());
    EXPECT_EQ(BIG_POS::FromValue(0x12345678).ull_GetByteOffset(), 0x12345678ull * 8);
}

TEST(BigPosArithmetic, AddSubtractAndCompare) {
    PosAssertLog log;
    const BIG_POS p(4096);
    const BIG_Offset o(24);
    EXPECT_EQ((p + o).ull_GetByteOffset(), 4120u);
    EXPECT_EQ((p - o).ull_GetByteOffset(), 4072u);
    EXPECT_EQ((p + o) - p, o);
    EXPECT_LT(p, p + o);
    EXPECT_EQ((o + o).ull_GetByteOffset(), 48u);
    EXPECT_EQ((o - o).ul_GetValue(), 0u);
    EXPECT_EQ(log.Count(), 0u);
}

TEST(BigPosArithmetic, LeavingTheRangeReportsAndGivesNone) {
    PosAssertLog log;
    const BIG_POS small(16);
    const BIG_Offset big(64);

    BIG_POS p = small;
    p -= big;
    EXPECT_TRUE(p.bIsNone());
    EXPECT_EQ(log.Count(kNegPos), 1u);

    EXPECT_TRUE((small - BIG_POS(64)).bIsNone());
    EXPECT_TRUE((BIG_Offset(16) - big).bIsNone());
    EXPECT_EQ(log.Count(kNegOffset), 2u);

    // 0xFFFFFFFE + 1 would become none: reported as too big.
    EXPECT_TRUE((BIG_POS::FromValue(0xFFFFFFFE) + BIG_Offset(8)).bIsNone());
    EXPECT_TRUE((BIG_Offset::FromValue(0x80000000) + BIG_Offset::FromValue(0x80000000)).bIsNone());
    EXPECT_EQ(log.Count(kTooBig), 2u);

    // A none operand propagates without a second report.
    const size_t before = log.Count();
    EXPECT_TRUE((BIG_POS() + big).bIsNone());
    EXPECT_TRUE((BIG_POS() - big).bIsNone());
    EXPECT_TRUE((small - BIG_POS()).bIsNone());
    EXPECT_EQ(log.Count(), before);
}

TEST(BigPosAlign, RoundsToThePowerOfTwo) {
    EXPECT_EQ(BIG_ull_AlignUp(0, 3), 0u);
    EXPECT_EQ(BIG_ull_AlignUp(1, 3), 8u);
    EXPECT_EQ(BIG_ull_AlignUp(8, 3), 8u);
    EXPECT_EQ(BIG_ull_AlignUp(2048 + 96000, 11), 98304u);
    EXPECT_EQ(BIG_ull_AlignDown(4095, 11), 2048u);
    EXPECT_EQ(BIG_ull_AlignUp(UINT64_MAX - 3, 3), 0xFFFFFFFFFFFFFFF8ull);  // saturates
    EXPECT_EQ(BIG_ull_AlignUp(5, 200), 0xFFFFFFFFFFFFFFF8ull);             // absurd shift
}

TEST(BigEndianCodec, PutGetRoundTripAndByteOrder) {
    uint8_t buf[16] = {};
    BIG::Endian::ByteWriter w(buf, sizeof buf);
    w.U16(0, 0x0102);
    w.U32(2, 0x03040506);
    w.U64(6, 0x0708090A0B0C0D0Eull);
    w.U8(14, 0xF0);
    EXPECT_TRUE(w.bOk());
    const uint8_t expected[16] = {0x02, 0x01, 0x06, 0x05, 0x04, 0x03, 0x0E, 0x0D,
                                  0x0C, 0x0B, 0x0A, 0x09, 0x08, 0x07, 0xF0, 0x00};
    EXPECT_EQ(0, memcmp(buf, expected, sizeof buf));

    BIG::Endian::ByteReader r(buf, sizeof buf);
    EXPECT_EQ(r.U16(0), 0x0102);
    EXPECT_EQ(r.U32(2), 0x03040506u);
    EXPECT_EQ(r.U64(6), 0x0708090A0B0C0D0Eull);
    EXPECT_EQ(r.U8(14), 0xF0);
    EXPECT_TRUE(r.bOk());
}

TEST(BigEndianCodec, OutOfBoundsAccessLatchesFailure) {
    uint8_t buf[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    BIG::Endian::ByteReader r(buf, sizeof buf);
    EXPECT_EQ(r.U32(4), 0x08070605u);
    EXPECT_TRUE(r.bOk());
    EXPECT_EQ(r.U32(5), 0u);
    EXPECT_FALSE(r.bOk());
    EXPECT_EQ(r.U8(0), 1);  // later reads in range still work
    EXPECT_FALSE(r.bOk());  // but the failure stays

    BIG::Endian::ByteReader huge(buf, sizeof buf);
    EXPECT_EQ(huge.U64(SIZE_MAX - 2), 0u);  // offset + size would wrap
    EXPECT_FALSE(huge.bOk());

    BIG::Endian::ByteWriter w(buf, sizeof buf);
    w.U64(1, 0);
    EXPECT_FALSE(w.bOk());
    EXPECT_EQ(buf[1], 2);  // nothing written

    std::vector<uint8_t> out;
    BIG::Endian::ByteAppender a(&out);
    a.U32(0xAABBCCDD);
    a.Zero(2);
    a.U16(0x1122);
    EXPECT_EQ(out, (std::vector<uint8_t>{0xDD, 0xCC, 0xBB, 0xAA, 0, 0, 0x22, 0x11}));
}

}  // namespace
