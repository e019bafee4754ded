#include "platform/FaultInjection.h"

#include <atomic>
#include <mutex>

namespace PLT {
namespace {

constexpr size_t kOpCount = static_cast<size_t>(FaultOp::eCount);

struct FaultSlot {
    uint64_t countdown = 0;  // calls still to pass before the fault fires; 0 = disarmed
    bool persistent = false;
    bool firing = false;  // a persistent fault that has fired fails every later call
    uint64_t failures = 0;
};

struct FaultTable {
    std::mutex mutex;
    FaultSlot slots[kOpCount];
    // Lets the common case (nothing armed) pass without taking the mutex.
    std::atomic<bool> armed[kOpCount] = {};
};

FaultTable& Table() {
    static FaultTable table;
    return table;
}

std::atomic<bool> g_copyFileRangeDisabled{false};

}  // namespace

void InjectFault(FaultOp op, uint64_t nth, bool persistent) {
    const size_t index = static_cast<size_t>(op);
    if (index >= kOpCount || nth == 0) {
        return;
    }
    FaultTable& table = Table();
    std::lock_guard<std::mutex> lock(table.mutex);
    FaultSlot& slot = table.slots[index];
    slot.countdown = nth;
    slot.persistent = persistent;
    slot.firing = false;
    table.armed[index].store(true, std::memory_order_release);
}

void ClearFaults() {
    FaultTable& table = Table();
    std::lock_guard<std::mutex> lock(table.mutex);
    for (size_t i = 0; i < kOpCount; ++i) {
        table.slots[i] = FaultSlot();
        table.armed[i].store(false, std::memory_order_release);
    }
}

uint64_t InjectedFailures(FaultOp op) {
    const size_t index = static_cast<size_t>(op);
    if (index >= kOpCount) {
        return 0;
    }
    FaultTable& table = Table();
    std::lock_guard<std::mutex> lock(table.mutex);
    return table.slots[index].failures;
}

bool ShouldFail(FaultOp op) {
    const size_t index = static_cast<size_t>(op);
    if (index >= kOpCount) {
        return false;
    }
    FaultTable& table = Table();
    if (!table.armed[index].load(std::memory_order_acquire)) {
        return false;
    }
    std::lock_guard<std::mutex> lock(table.mutex);
    FaultSlot& slot = table.slots[index];
    if (slot.firing) {
        ++slot.failures;
        return true;
    }
    if (slot.countdown == 0 || --slot.countdown != 0) {
        return false;
    }
    ++slot.failures;
    if (slot.persistent) {
        slot.firing = true;
    } else {
        table.armed[index].store(false, std::memory_order_release);
    }
    return true;
}

void DisableCopyFileRange(bool disabled) {
    g_copyFileRangeDisabled.store(disabled, std::memory_order_relaxed);
}

bool CopyFileRangeDisabled() {
    return g_copyFileRangeDisabled.load(std::memory_order_relaxed);
}

}  // namespace PLT
