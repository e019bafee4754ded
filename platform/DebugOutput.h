// The debugger output channel: standard error when MARLIN_DEBUG_OUTPUT=1,
// dropped otherwise. Thread-safe; one call writes one text unchanged.
#pragma once

namespace PLT {

void DebugOutput(const char* text);
bool DebugOutputEnabled();

}  // namespace PLT
