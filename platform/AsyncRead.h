// The asynchronous positioned read device: the stand-in for overlapped reads.
//
// A device owns one thread that takes submitted reads in order, runs pread and
// posts each completion by calling its callback on the device thread, outside
// the device's lock: a callback may Submit again. A callback must not hold a
// lock of its own that a Submit caller also holds while waiting for that
// completion. The buffer stays owned by the submitter and must live until the
// completion has been posted. Submit, CancelPending and Pending may be called
// from any thread. Destruction drains: reads already submitted complete (with
// ok = false when CancelPending ran first) before the thread ends; it must not
// run on the device thread. A read on an unbuffered descriptor may use any
// offset, size and buffer (see File.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

#include "platform/File.h"

namespace PLT {

struct AsyncReadRequest {
    FileHandle file = kInvalidFile;
    uint64_t offset = 0;
    void* buffer = nullptr;
    uint32_t size = 0;
    uint64_t user = 0;  // the submitter's tag, handed back unchanged
};

// ok: the read moved `transferred` bytes (fewer only at end of file, then
// error == kErrShortRead); error: LastError()-style code when !ok (ECANCELED
// for a cancelled read, kErrInjected for an injected read fault).
using AsyncReadCompletion =
    std::function<void(const AsyncReadRequest& request, bool ok, size_t transferred, int error)>;

class AsyncReadDevice {
public:
    explicit AsyncReadDevice(const char* threadName = "AsyncReadDevice");
    ~AsyncReadDevice();
    AsyncReadDevice(const AsyncReadDevice&) = delete;
    AsyncReadDevice& operator=(const AsyncReadDevice&) = delete;

    // Queues a read; false only after shutdown began.
    bool Submit(const AsyncReadRequest& request, AsyncReadCompletion completion);
    // Completes every read not yet started with ok = false, error = ECANCELED.
    void CancelPending();
    // Number of reads submitted whose completion has not yet returned.
    size_t Pending() const;

private:
    struct Impl;
    std::unique_ptr<Impl> m_pImpl;
};

}  // namespace PLT
