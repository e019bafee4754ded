// Threads and locks.
//
// Mutex is a plain exclusive lock; CriticalSection may be re-entered by the
// thread that holds it (the engine's tables lock around nested calls).
// Semaphore counts; Wait returns false on timeout. Clang's thread-safety
// analysis treats CriticalSection as a plain capability: code that nests it on
// purpose marks that function PLT_NO_THREAD_SAFETY_ANALYSIS.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "platform/ThreadAnnotations.h"

namespace PLT {

class PLT_CAPABILITY("mutex") Mutex {
public:
    void Lock() PLT_ACQUIRE() { m_mutex.lock(); }
    void Unlock() PLT_RELEASE() { m_mutex.unlock(); }
    bool TryLock() PLT_TRY_ACQUIRE(true) { return m_mutex.try_lock(); }
    std::mutex& Native() { return m_mutex; }
    // BasicLockable spelling, so that std::condition_variable_any can wait on a
    // Mutex that clang's analysis knows as the guard of the fields.
    void lock() PLT_ACQUIRE() { m_mutex.lock(); }
    void unlock() PLT_RELEASE() { m_mutex.unlock(); }

private:
    std::mutex m_mutex;
};

class PLT_CAPABILITY("mutex") CriticalSection {
public:
    void Enter() PLT_ACQUIRE() { m_mutex.lock(); }
    void Leave() PLT_RELEASE() { m_mutex.unlock(); }

private:
    std::recursive_mutex m_mutex;
};

template <class TLock>
class PLT_SCOPED_CAPABILITY ScopedLock;

template <>
class PLT_SCOPED_CAPABILITY ScopedLock<Mutex> {
public:
    explicit ScopedLock(Mutex& m) PLT_ACQUIRE(m) : m_lock(m) { m_lock.Lock(); }
    ~ScopedLock() PLT_RELEASE() { m_lock.Unlock(); }
    ScopedLock(const ScopedLock&) = delete;
    ScopedLock& operator=(const ScopedLock&) = delete;

private:
    Mutex& m_lock;
};

template <>
class PLT_SCOPED_CAPABILITY ScopedLock<CriticalSection> {
public:
    explicit ScopedLock(CriticalSection& cs) PLT_ACQUIRE(cs) : m_lock(cs) { m_lock.Enter(); }
    ~ScopedLock() PLT_RELEASE() { m_lock.Leave(); }
    ScopedLock(const ScopedLock&) = delete;
    ScopedLock& operator=(const ScopedLock&) = delete;

private:
    CriticalSection& m_lock;
};

class Semaphore {
public:
    explicit Semaphore(uint32_t initial = 0, uint32_t maximum = 0x7FFFFFFF);
    // Adds `count` (never beyond the maximum); false when it would exceed it.
    bool Post(uint32_t count = 1);
    // Waits for a unit; timeoutMs == UINT32_MAX waits forever. Timeouts run on
    // the monotonic clock.
    bool Wait(uint32_t timeoutMs = UINT32_MAX);

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    uint32_t m_count;
    uint32_t m_maximum;
};

// A joinable thread with a name visible to debuggers (cut to 15 characters).
// Start once; Join (or the destructor) waits for the body to return.
class Thread {
public:
    Thread();
    ~Thread();  // joins when still joinable
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    bool Start(const std::string& name, std::function<void()> body);
    void Join();
    bool Joinable() const;

private:
    struct Impl;
    std::unique_ptr<Impl> m_pImpl;
};

uint64_t CurrentThreadId();
void SetCurrentThreadName(const std::string& name);

}  // namespace PLT
