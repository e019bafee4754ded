// The running process and child processes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace PLT {

// Absolute path of the running executable; empty when it cannot be told.
std::string ExecutablePath();

struct ProcessResult {
    // The child's exit code; -1 when it could not be started or was ended by
    // a signal (then `signal` holds the signal number).
    int exitCode = -1;
    int signal = 0;
    std::string out;  // everything it wrote to standard output
    std::string err;  // everything it wrote to standard error
};

// Runs argv[0] (looked up in PATH when it holds no '/') with `argv`, standard
// input closed to /dev/null, and waits for it. `envChanges` edits the inherited
// environment: "NAME=VALUE" sets a variable, "NAME" alone removes it. Returns
// false when the child could not be started. Both outputs are drained together,
// so a chatty child cannot block. Safe to call from any thread.
bool RunProcess(const std::vector<std::string>& argv, const std::vector<std::string>& envChanges,
                ProcessResult* result);

}  // namespace PLT

namespace PLT {

uint32_t CurrentProcessId();

// The value of an environment variable; empty when unset.
std::string GetEnvironmentVariable(const std::string& name);
// Sets (or, with an empty value and `remove`, removes) a variable of this process.
// Not thread-safe against concurrent environment readers: call during start-up.
bool SetEnvironmentVariable(const std::string& name, const std::string& value);

}  // namespace PLT
