#include "platform/Clock.h"

#include <time.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>

namespace PLT {
namespace {

constexpr uint64_t kNsPerSecond = 1000000000ull;
// Seconds from 1601-01-01 (the FILETIME epoch) to 1970-01-01.
constexpr int64_t kFileTimeEpochOffset = 11644473600ll;

std::atomic<int64_t> s_shiftSeconds{0};

timespec Now(clockid_t clock) {
    timespec ts{};
    clock_gettime(clock, &ts);
    ts.tv_sec += static_cast<time_t>(s_shiftSeconds.load(std::memory_order_relaxed));
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

SourceDateEpoch GetSourceDateEpoch(uint32_t* seconds) {
    const char* text = std::getenv(kSourceDateEpochVariable);
    if (text == nullptr || text[0] == '\0')
        return SourceDateEpoch::eUnset;
    uint64_t value = 0;
    for (const char* c = text; *c != '\0'; ++c) {
        if (*c < '0' || *c > '9')
            return SourceDateEpoch::eMalformed;
        value = value * 10 + static_cast<uint64_t>(*c - '0');
        if (value > UINT32_MAX)
            return SourceDateEpoch::eMalformed;
    }
    *seconds = static_cast<uint32_t>(value);
    return SourceDateEpoch::eSet;
}

void ShiftClocksForTests(int64_t seconds) {
    s_shiftSeconds.store(seconds, std::memory_order_relaxed);
}

}  // namespace PLT
