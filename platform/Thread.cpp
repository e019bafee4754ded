#include "platform/Thread.h"

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <system_error>
#include <thread>

namespace PLT {

Semaphore::Semaphore(uint32_t initial, uint32_t maximum)
    : m_count(initial < maximum ? initial : maximum), m_maximum(maximum) {}

bool Semaphore::Post(uint32_t count) {
    // Notify under the lock: a waiter that returns may destroy the semaphore
    // at once, which must not happen while this call still touches it.
    std::lock_guard<std::mutex> lock(m_mutex);
    if (count > m_maximum - m_count) {
        return false;
    }
    m_count += count;
    if (count == 1) {
        m_cv.notify_one();
    } else {
        m_cv.notify_all();
    }
    return true;
}

bool Semaphore::Wait(uint32_t timeoutMs) {
    std::unique_lock<std::mutex> lock(m_mutex);
    const auto available = [this] { return m_count > 0; };
    if (timeoutMs == UINT32_MAX) {
        m_cv.wait(lock, available);
    } else if (!m_cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), available)) {
        return false;
    }
    --m_count;
    return true;
}

struct Thread::Impl {
    std::thread thread;
};

Thread::Thread() = default;

Thread::~Thread() {
    Join();
}

bool Thread::Start(const std::string& name, std::function<void()> body) {
    if (m_pImpl != nullptr && m_pImpl->thread.joinable()) {
        return false;
    }
    if (m_pImpl == nullptr) {
        m_pImpl = std::make_unique<Impl>();
    }
    try {
        m_pImpl->thread = std::thread([name, body = std::move(body)] {
            SetCurrentThreadName(name);
            body();
        });
    } catch (const std::system_error&) {
        return false;  // the system refused another thread
    }
    return true;
}

void Thread::Join() {
    if (m_pImpl != nullptr && m_pImpl->thread.joinable()) {
        m_pImpl->thread.join();
    }
}

bool Thread::Joinable() const {
    return m_pImpl != nullptr && m_pImpl->thread.joinable();
}

uint64_t CurrentThreadId() {
    return static_cast<uint64_t>(syscall(SYS_gettid));
}

void SetCurrentThreadName(const std::string& name) {
    // The kernel keeps 15 characters and the terminating zero.
    pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());
}

}  // namespace PLT
