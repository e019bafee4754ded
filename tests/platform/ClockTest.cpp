#include "platform/Clock.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

namespace PLT {
namespace {

TEST(ClockTest, MonotonicClocksAdvanceAcrossASleep) {
    EXPECT_EQ(HighResFrequency(), 1000000000u);
    const uint64_t counter = HighResCounter();
    const uint64_t ms = MonotonicMs();
    const double seconds = MonotonicSeconds();
    SleepMs(15);
    EXPECT_GE(HighResCounter() - counter, 15u * 1000000u);
    EXPECT_GE(MonotonicMs() - ms, 15u);
    EXPECT_GE(MonotonicSeconds() - seconds, 0.015);
}

// With a fixed zone three hours east of UTC, the local FILETIME is the UTC
// time since 1601 plus three hours.
TEST(ClockTest, LocalFileTimeUsesTheLocalOffset) {
    const char* saved = std::getenv("TZ");
    const std::optional<std::string> previous = saved ? std::optional<std::string>(saved) : std::nullopt;
    setenv("TZ", "XYZ-3", 1);
    tzset();
    const uint64_t before = UnixTimeNow();
    const uint64_t fileTime = LocalFileTimeNow();
    const uint64_t after = UnixTimeNow();
    if (previous) {
        setenv("TZ", previous->c_str(), 1);
    } else {
        unsetenv("TZ");
    }
    tzset();

    constexpr uint64_t kEpoch = 11644473600ull;
    constexpr uint64_t kUnits = 10000000ull;
    EXPECT_GE(fileTime, (before + 3 * 3600 + kEpoch) * kUnits);
    EXPECT_LT(fileTime, (after + 1 + 3 * 3600 + kEpoch) * kUnits);
    const uint64_t now = static_cast<uint64_t>(std::time(nullptr));
    EXPECT_LE(before, now);
}

// SOURCE_DATE_EPOCH is taken only as whole decimal seconds that fit the
// 32-bit times of a bigfile and a gzip header; anything else is refused, never
// read as the clock.
TEST(ClockTest, SourceDateEpochIsDecimalSecondsWithin32Bits) {
    const char* saved = std::getenv(kSourceDateEpochVariable);
    const std::optional<std::string> previous = saved ? std::optional<std::string>(saved) : std::nullopt;
    const struct {
        const char* value;  // null: unset
        SourceDateEpoch expected;
        uint32_t seconds;
    } cases[] = {
        {nullptr, SourceDateEpoch::eUnset, 7},
        {"", SourceDateEpoch::eUnset, 7},
        {"0", SourceDateEpoch::eSet, 0},
        {"1700000000", SourceDateEpoch::eSet, 1700000000},
        {"4294967295", SourceDateEpoch::eSet, 4294967295u},
        {"4294967296", SourceDateEpoch::eMalformed, 7},
        {"99999999999999999999999", SourceDateEpoch::eMalformed, 7},
        {"-1", SourceDateEpoch::eMalformed, 7},
        {" 1", SourceDateEpoch::eMalformed, 7},
        {"12a", SourceDateEpoch::eMalformed, 7},
        {"1.5", SourceDateEpoch::eMalformed, 7},
    };
    for (const auto& c : cases) {
        if (c.value == nullptr)
            unsetenv(kSourceDateEpochVariable);
        else
            setenv(kSourceDateEpochVariable, c.value, 1);
        uint32_t seconds = 7;
        EXPECT_EQ(GetSourceDateEpoch(&seconds), c.expected) << (c.value ? c.value : "unset");
        EXPECT_EQ(seconds, c.seconds) << (c.value ? c.value : "unset");
    }
    if (previous)
        setenv(kSourceDateEpochVariable, previous->c_str(), 1);
    else
        unsetenv(kSourceDateEpochVariable);
}

TEST(ClockTest, ShiftedClocksMoveTogetherAndComeBack) {
    const uint32_t wall = UnixTimeNow();
    const uint64_t counter = HighResCounter();
    ShiftClocksForTests(86400);
    EXPECT_GE(UnixTimeNow(), wall + 86400);
    EXPECT_LT(UnixTimeNow(), wall + 86400 + 60);
    EXPECT_GE(HighResCounter(), counter + 86400ull * HighResFrequency());
    ShiftClocksForTests(0);
    EXPECT_LT(UnixTimeNow(), wall + 60);
    EXPECT_LT(HighResCounter(), counter + 60ull * HighResFrequency());
}

}  // namespace
}  // namespace PLT
