// Clocks. Monotonic values never go back; wall values follow the system clock.
#pragma once

#include <cstdint>

namespace PLT {

// The high-resolution counter and its frequency (ticks per second).
uint64_t HighResCounter();
uint64_t HighResFrequency();
// Milliseconds on the monotonic clock, for timeouts and frame budgets.
uint64_t MonotonicMs();
double MonotonicSeconds();
// Seconds since 1970 (UTC), the bigfile's file time.
uint32_t UnixTimeNow();
// Local time as a Windows FILETIME (100 ns units since 1601-01-01), for journals.
uint64_t LocalFileTimeNow();
void SleepMs(uint32_t milliseconds);

}  // namespace PLT
