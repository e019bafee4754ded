#include "platform/DebugOutput.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace PLT {

// The switch is read on every call so that a test (or a debugging session that
// sets the variable late) sees the change at once; getenv costs next to nothing
// beside a write to standard error.
bool DebugOutputEnabled() {
    const char* value = std::getenv("MARLIN_DEBUG_OUTPUT");
    return value != nullptr && std::strcmp(value, "1") == 0;
}

void DebugOutput(const char* text) {
    if (text == nullptr || !DebugOutputEnabled()) {
        return;
    }
    // One lock keeps texts of different threads from interleaving.
    static std::mutex mutex;
    std::lock_guard<std::mutex> lock(mutex);
    size_t left = std::strlen(text);
    while (left > 0) {
        const ssize_t put = write(STDERR_FILENO, text, left);
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put <= 0) {
            return;
        }
        text += put;
        left -= static_cast<size_t>(put);
    }
}

}  // namespace PLT
