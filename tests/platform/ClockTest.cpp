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

}  // namespace
}  // namespace PLT
