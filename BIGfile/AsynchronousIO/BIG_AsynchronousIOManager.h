// The asynchronous I/O manager: every read of file content from the open
// bigfile (and from package bigfiles) is asked for here as a request and
// carried out by one background thread, the read launcher.
//
// Requests wait in seven queues (0 to 6; queue 0 is always served first). A
// queue keeps one request table per bigfile, and three policies per queue
// decide which bigfile to read next, how neighbouring requests are merged into
// one physical read, and how a table stores its requests. A finished read
// lands in a read buffer that is kept afterwards, so that a later request whose
// bytes are already in memory is answered without reading again.
//
// Threads and locks:
// - Any thread may add requests, pause, resume and find data.
// - The read launcher issues one physical read at a time on the platform's
//   asynchronous device; the device's thread only records the result.
// - Completion callbacks run on the thread that calls TreatFinishedReads (the
//   pumping thread), or inside bAddReadRequest for an immediate completion.
//   No lock of the manager is held while a callback runs, so a callback may add
//   requests or run a nested treatment.
// - The manager mutex guards queues, tables and read buffers; the launcher
//   mutex guards the enabled, paused, waiting and read-in-progress flags. Order:
//   manager mutex before launcher mutex, never the other way.
//
// Data objects: a callback receives a BIG::FBuff holding one reference that the
// callee owns and must Release(). The bytes stay valid, and their read buffer
// is kept, while any reference is alive.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "platform/Thread.h"
#include "platform/ThreadAnnotations.h"

class BIG_cl_TimeBudget;
class BIG_cl_BufferManager;
class BIG_cl_AsynchronousIO;

namespace PLT {
class AsyncReadDevice;
class CriticalSection;
}  // namespace PLT

namespace BIG {
class File;
class FBuff;
struct Request;
class RequestPool;
class ReqQueues;
class ReadBufferCollection;
class ReadTarget;

// Bigfile index of the main bigfile; packages are 0 to 127.
inline constexpr uint32_t kMainBigfile = 0xFFFFFFFF;
inline constexpr uint32_t kMaxPackages = 128;
inline constexpr uint32_t kQueueCount = 7;
inline constexpr uint32_t kMaxCallbacks = 4;
// Callback index of a request that nobody waits for.
inline constexpr uint32_t kNoCallback = 7;
// Largest content that a read of one file may ask for.
inline constexpr uint32_t kMaxReadSize = 10485760;
// Commit size of the read buffers of group 0: the largest content, its length
// prefix and the widening of the read to whole blocks of the read granularity
// at both ends (65536 bytes each), so that every content that passes the size
// check fits its aligned read.
inline constexpr uint32_t kReadBufferSize = kMaxReadSize + 2 * 65536;

// Completion of a read request. pData carries one reference that the callee
// owns (release it with pData->Release()); it is null when the read failed
// (bFailed), for instance after a device error or when the bytes lie past the
// end of the bigfile. ulUser is the word given with the request.
using ReadCallback = std::function<void(FBuff* pData, bool bFailed, uint32_t ulUser)>;
// Asked, for a request whose delivery had to be postponed, whether its owner
// has given it up; true drops the request without a callback.
using CancelQuery = std::function<bool(uint32_t ulUser)>;
}  // namespace BIG

class BIG_cl_AsynchronousIOManager {
public:
    // Creates the request pool, the buffer manager (group 0 at 10 MB, group 1
    // at 0), the seven queues with their default policies and the read buffers,
    // and starts the read launcher. Data reuse is on.
    BIG_cl_AsynchronousIOManager();
    // Wakes and stops the launcher, waits for the read in flight, then destroys
    // queues, requests and buffers. Undelivered requests are dropped.
    ~BIG_cl_AsynchronousIOManager();
    BIG_cl_AsynchronousIOManager(const BIG_cl_AsynchronousIOManager&) = delete;
    BIG_cl_AsynchronousIOManager& operator=(const BIG_cl_AsynchronousIOManager&) = delete;

    // The process-wide manager made by the library's start-up (null outside it).
    static BIG_cl_AsynchronousIOManager* po_GetInstance();

    // Binds a bigfile index (kMainBigfile or a package 0..127) to the container
    // that holds its bytes; null unbinds. The container must stay alive, opened
    // for asynchronous reading, while requests on it exist. `po_Lock`, when
    // given, is the lock of the table that owns the container: the launcher
    // takes it around its calls into the container.
    void SetBigfile(uint32_t ulBfIdx, BIG::File* po_File, PLT::CriticalSection* po_Lock = nullptr);
    // Same with any description of the bytes' geometry (tests use their own).
    void SetReadTarget(uint32_t ulBfIdx, std::shared_ptr<BIG::ReadTarget> target,
                       BIG::File* po_File = nullptr);
    BIG::File* po_GetBigfile(uint32_t ulBfIdx) const;

    // Returns the callback's index (0 to 3); the fifth registration asserts
    // and returns -1.
    int i_RegisterCallback(BIG::ReadCallback callback);
    void RegisterCancelQuery(BIG::CancelQuery query);

    // Asks for `ulSize` bytes at `ulPos` (a BIG_POS value: 8-byte units in the
    // bigfile's address space) of bigfile `ulBfIdx`, on queue `ulQueueId`. When
    // the bytes are already in a read buffer and `bAllowImmediate` is set, the
    // callback runs before this call returns. Returns false, after an
    // assertion, when the request is refused (bad queue, size, callback index or
    // bigfile index); nothing is queued then.
    bool bAddReadRequest(uint32_t ulPos, uint32_t ulSize, uint32_t ulUser, uint32_t ulCallbackIdx,
                         bool bAllowImmediate, uint32_t ulBfIdx, uint32_t ulQueueId);

    // Delivers the requests of finished reads (pumping thread). With a budget,
    // delivery stops once it is spent; what is left stays for the next call.
    void TreatFinishedReads(BIG_cl_TimeBudget* po_Budget = nullptr);

    // A data object (one reference, owned by the caller) over bytes already held
    // by a read buffer, or null.
    BIG::FBuff* po_FindData(uint32_t ulPos, uint32_t ulSize, uint32_t ulBfIdx);

    // Pausing counts; each pause needs its resume. Resuming when not paused
    // asserts ("...ResumeReading: AIO manager not paused!").
    void PauseReading();
    void ResumeReading();
    bool bIsPaused() const;

    // Switches a queue to the load-order policies, or back to its defaults.
    // Nothing in this library records a load order, so activation is only
    // reachable by explicit calls (tests); see BIG_ReqPolicies.h.
    void ActivateLoadOrdering(uint32_t ulQueueId);
    void DeactivateLoadOrdering(uint32_t ulQueueId, bool bRequireEmptyQueue);
    bool bIsLoadOrderingActive(uint32_t ulQueueId) const;

    // Waits for the read in flight, then empties every read buffer that nobody
    // uses; a buffer with requests or data still out is emptied once treated.
    void Flush();

    void SetDataReuse(bool bReuse);
    bool bGetDataReuse() const;

    // Byte offset where the launcher's last read of bigfile `ulBfIdx` ended (0
    // when its last read was on another bigfile).
    uint64_t ull_GetLastReadPosition(uint32_t ulBfIdx) const;
    // Sleeps until a read ends or a request is found unreadable, at most
    // `ulTimeoutMs`; for threads that wait for their own requests.
    void WaitForReadEnd(uint32_t ulTimeoutMs);

    // Requests queued or waiting on a read buffer, not yet delivered.
    uint32_t ul_GetRequestCount() const;
    // Physical reads launched so far.
    uint32_t ul_GetReadCount() const;

    BIG_cl_BufferManager& GetBufferManager();

    // Use counts of read buffers, changed by the data objects (BIG::FBuff) that
    // view their bytes. A used buffer is never reclaimed.
    void AddBufferUse(BIG_cl_AsynchronousIO* po_Buffer);
    void ReleaseBufferUse(BIG_cl_AsynchronousIO* po_Buffer);

private:
    struct Impl;
    std::unique_ptr<Impl> m_pImpl;
};
