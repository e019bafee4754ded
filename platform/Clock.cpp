#include "platform/Clock.h"

#include <time.h>

#include <cerrno>

namespace PLT {
namespace {

constexpr uint64_t kNsPerSecond = 1000000000ull;
// Seconds from 1601-01-01 (the FILETIME epoch) to 1970-01-01.
constexpr int64_t kFileTimeEpochOffset = 11644473600ll;

timespec Now(clockid_t clock) {
    timespec ts{};
    clock_gettime(clock, &ts);
    return ts;
}

}  // namespace

uint64_t HighResCounter() {
    const timespec ts = Now(CLOCK_MONOTONIC);
    return static_cast<uint64_t>(ts.tv_sec) * kNsPerSecond + static_cast<uint64_t>(ts.tv_nsec);
}

uint64_t HighResFrequency() {
    return kNsPerSecond;
}

uint64_t MonotonicMs() {
    return HighResCounter() / 1000000ull;
}

double MonotonicSeconds() {
    return static_cast<double>(HighResCounter()) / static_cast<double>(kNsPerSecond);
}

uint32_t UnixTimeNow() {
    return static_cast<uint32_t>(Now(CLOCK_REALTIME).tv_sec);
}

uint64_t LocalFileTimeNow() {
    const timespec ts = Now(CLOCK_REALTIME);
    tm local{};
    const time_t seconds = ts.tv_sec;
    const int64_t utcOffset = localtime_r(&seconds, &local) != nullptr ? local.tm_gmtoff : 0;
    const int64_t localSeconds = static_cast<int64_t>(ts.tv_sec) + utcOffset + kFileTimeEpochOffset;
    return static_cast<uint64_t>(localSeconds) * 10000000ull + static_cast<uint64_t>(ts.tv_nsec) / 100u;
}

void SleepMs(uint32_t milliseconds) {
    timespec remaining{static_cast<time_t>(milliseconds / 1000),
                       static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}

}  // namespace PLT
