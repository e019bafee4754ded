// orvex's exit codes.
#pragma once

#include <cstdint>

namespace HOST {

constexpr int kExitUsage = 2;          // the command line could not be understood
constexpr int kExitInterrupted = 130;  // SIGINT or SIGTERM stopped the run (128 + SIGINT)

// The exit code for a tool status: 0, 1, 4 and 5 as they are, 3 for -1 (a file
// without data). Any other status is a failure, 4.
int ExitCodeForStatus(int32_t status);

}  // namespace HOST
