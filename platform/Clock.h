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

// SOURCE_DATE_EPOCH: the time that a reproducible build writes wherever it
// would otherwise write the clock's. Unset or empty: eUnset. Decimal digits
// of at most 4294967295 (a bigfile and a gzip header hold 32-bit times):
// eSet, `*seconds` gets the value. Anything else: eMalformed, which a caller
// must refuse rather than fall back on the clock.
inline constexpr const char* kSourceDateEpochVariable = "SOURCE_DATE_EPOCH";
enum class SourceDateEpoch : uint8_t { eUnset, eSet, eMalformed };
SourceDateEpoch GetSourceDateEpoch(uint32_t* seconds);

// Tests only: moves every clock above (the wall clock, the high-resolution
// counter and the clocks built on them) by `seconds`, so that two runs can be
// made at different times without waiting. Process-wide; 0 puts them back.
void ShiftClocksForTests(int64_t seconds);

}  // namespace PLT
