#include "platform/AsyncRead.h"

#include <cerrno>
#include <condition_variable>
#include <deque>

#include "platform/Thread.h"

namespace PLT {

struct AsyncReadDevice::Impl {
    // Work items never change after Submit; only the device thread pops them.
    struct Item {
        AsyncReadRequest request;
        AsyncReadCompletion completion;
        uint64_t sequence;
    };

    mutable Mutex mutex;
    std::condition_variable_any wake;
    std::deque<Item> queue PLT_GUARDED_BY(mutex);
    uint64_t nextSequence PLT_GUARDED_BY(mutex) = 0;
    // Items with a smaller sequence were cancelled before they started.
    uint64_t cancelledBelow PLT_GUARDED_BY(mutex) = 0;
    size_t running PLT_GUARDED_BY(mutex) = 0;
    bool stopping PLT_GUARDED_BY(mutex) = false;
    Thread thread;

    void Run() PLT_EXCLUDES(mutex);
};

void AsyncReadDevice::Impl::Run() {
    for (;;) {
        Item item;
        bool cancelled = false;
        {
            ScopedLock<Mutex> lock(mutex);
            while (queue.empty() && !stopping) {
                wake.wait(mutex);
            }
            if (queue.empty()) {
                return;  // stopping, and every submitted read was posted
            }
            item = std::move(queue.front());
            queue.pop_front();
            cancelled = item.sequence < cancelledBelow;
            running = 1;
        }
        bool ok = false;
        size_t transferred = 0;
        int error = ECANCELED;
        if (!cancelled) {
            const AsyncReadRequest& r = item.request;
            ok = ReadAt(r.file, r.offset, r.buffer, r.size, &transferred);
            error = ok ? 0 : LastError();
            if (!ok && error == kErrShortRead) {
                ok = true;  // the end of the file: the caller sees how much arrived
            }
        }
        if (item.completion) {
            item.completion(item.request, ok, transferred, error);
        }
        ScopedLock<Mutex> lock(mutex);
        running = 0;
    }
}

AsyncReadDevice::AsyncReadDevice(const char* threadName) : m_pImpl(std::make_unique<Impl>()) {
    Impl* impl = m_pImpl.get();
    if (!impl->thread.Start(threadName != nullptr ? threadName : "AsyncReadDevice",
                            [impl] { impl->Run(); })) {
        ScopedLock<Mutex> lock(impl->mutex);
        impl->stopping = true;  // no thread: every Submit is refused
    }
}

AsyncReadDevice::~AsyncReadDevice() {
    {
        ScopedLock<Mutex> lock(m_pImpl->mutex);
        m_pImpl->stopping = true;
    }
    m_pImpl->wake.notify_all();
    m_pImpl->thread.Join();
}

bool AsyncReadDevice::Submit(const AsyncReadRequest& request, AsyncReadCompletion completion) {
    {
        ScopedLock<Mutex> lock(m_pImpl->mutex);
        if (m_pImpl->stopping) {
            return false;
        }
        m_pImpl->queue.push_back(Impl::Item{request, std::move(completion), m_pImpl->nextSequence++});
    }
    m_pImpl->wake.notify_one();
    return true;
}

void AsyncReadDevice::CancelPending() {
    ScopedLock<Mutex> lock(m_pImpl->mutex);
    m_pImpl->cancelledBelow = m_pImpl->nextSequence;
}

size_t AsyncReadDevice::Pending() const {
    ScopedLock<Mutex> lock(m_pImpl->mutex);
    return m_pImpl->queue.size() + m_pImpl->running;
}

}  // namespace PLT
