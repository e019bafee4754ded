// The asynchronous positioned read device: the stand-in for overlapped reads.
//
// A device owns one thread that takes submitted reads in order, runs pread and
// posts each completion by calling its callback on the device thread. The
// callback must be short and must not call back into the device's Submit from
// a lock it holds while also calling Submit elsewhere. The buffer stays owned
// by the submitter and must live until the completion has been posted.
// Destruction drains: reads already submitted complete (with ok = false when
// Cancel ran first) before the thread ends.
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

// ok: the read moved `transferred` bytes (fewer only at end of file);
// error: LastError()-style code when !ok.
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
    // Number of reads submitted and not yet posted.
    size_t Pending() const;

private:
    struct Impl;
    std::unique_ptr<Impl> m_pImpl;
};

}  // namespace PLT
