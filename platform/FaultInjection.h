// One switch through which tests make a chosen file call fail.
//
// Counting starts when a fault is armed: with nth = 1 the next matching call
// fails. A one-shot fault disarms itself after firing; a persistent one keeps
// failing every later call of that kind until ClearFaults(). An injected
// failure reports LastError() == kErrInjected and transfers nothing.
// Thread-safe; counters are process-wide.
#pragma once

#include <cstdint>

namespace PLT {

enum class FaultOp : uint8_t { eOpen, eRead, eWrite, eFlush, eRename, eCount };

void InjectFault(FaultOp op, uint64_t nth, bool persistent = false);
void ClearFaults();
// How many calls of `op` failed by injection since the last ClearFaults().
uint64_t InjectedFailures(FaultOp op);

// Used by the platform layer itself: true when this call must fail. Every
// OpenFile, ReadAt, WriteAt, Flush and RenameFile asks, and so do the calls
// built on them (CopyFile, WriteWholeFile, ReadWholeFile, the asynchronous
// device's reads, the settings store).
bool ShouldFail(FaultOp op);

// Makes CopyFile skip copy_file_range and take its read/write path, so that
// tests reach the fallback on any file system. Process-wide.
void DisableCopyFileRange(bool disabled);
bool CopyFileRangeDisabled();

}  // namespace PLT
