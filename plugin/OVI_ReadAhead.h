// Read-ahead of the contents that the writer copies into one output.
//
// The writer copies an output's files in key order, and their contents lie
// in the source in no particular order: each costs one or two positioned
// reads on the writing thread. An OVI_ReadAhead reads the stored contents of
// the next files, in the order the writer takes them, on a thread of its own
// and into a bounded ring of bytes, while the writer edits the output's tables
// and saves; the writer takes each content in turn.
//
// Only plain contents of the source's own container are read ahead (no loose
// key file, no package file, no content larger than the ring). The worker
// raises nothing and prints nothing: whatever it could not read (a failed or
// short read, a length that does not fit the container, a content that spans
// segment files) it hands over as not read, and the writer then loads that
// file itself, with the reports and outcome of its own load.
//
// Memory: the contents read ahead and not yet released hold at most
// `Limits::ull_Bytes` bytes (the ring, allocated once) and at most
// `Limits::ul_Items` contents.
//
// Threads: one worker per object, started by the constructor and stopped and
// joined by Stop or the destructor. Take and the Content handles belong to
// one thread, the writer's, which never waits for the worker; every Content
// must be released before the object is destroyed. The source table and its container must not change while
// the worker runs (the split reads a bigfile it opened to read).
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

class BIG_cl_Fat;

namespace ORVEX {

// Bounds of the contents read ahead and not yet released. A few MiB keep
// thousands of small contents ahead of the writer; the ring's pages stay
// resident once used, so it is no larger than that.
struct OVI_ReadAheadLimits {
    static constexpr uint64_t kDefaultBytes = uint64_t{4} << 20;
    static constexpr uint32_t kDefaultItems = 4096;

    uint64_t ull_Bytes = kDefaultBytes;  // 0: nothing is read ahead
    uint32_t ul_Items = kDefaultItems;
};

class OVI_ReadAhead {
    struct Impl;

public:
    using Limits = OVI_ReadAheadLimits;

    // A content handed over by Take: its bytes stay valid until the handle is
    // destroyed, which gives their room back to the worker. Not read
    // (bRead() false): the caller loads the file itself.
    class Content {
    public:
        Content() = default;
        Content(Content&& other) noexcept;
        Content& operator=(Content&& other) noexcept;
        Content(const Content&) = delete;
        Content& operator=(const Content&) = delete;
        ~Content();

        bool bRead() const { return mpu8_Data != nullptr; }
        const uint8_t* pu8_GetData() const { return mpu8_Data; }
        uint32_t ul_GetSize() const { return mul_Size; }
        // The stored form: the length word, then the data.
        const uint8_t* pu8_GetStored() const { return mpu8_Data != nullptr ? mpu8_Data - 4 : nullptr; }
        // BIG_ul_Crc32 of the data.
        uint32_t ul_GetCrc() const { return mul_Crc; }

    private:
        friend class OVI_ReadAhead;
        void Release();

        Impl* mpo_Owner = nullptr;
        const uint8_t* mpu8_Data = nullptr;
        uint32_t mul_Size = 0;
        uint32_t mul_Crc = 0;
        uint64_t mull_Room = 0;  // ring bytes it holds, padding included
    };

    // The ring's memory, kept by the caller from one object to the next: a
    // fresh ring costs a page fault for every 4 KiB the worker first touches,
    // on each output.
    class Ring {
    private:
        friend class OVI_ReadAhead;
        std::unique_ptr<uint8_t[]> mpu8_Data;
        uint64_t mull_Size = 0;
    };

    // `files[slot]` is the source index that the writer copies at `slot`
    // (BIG_cl_Fat::kNoFile for none). The places of the contents are resolved
    // here, on the calling thread; then the worker starts (when it cannot,
    // nothing is read ahead). With `keep`, the ring is taken from it when it
    // holds one of the bound's size, and left in it at the end. `lengths`,
    // when given, holds the content length expected of each source file (0:
    // unknown): such a content is read in one read instead of two, and one
    // whose length word says otherwise is left to the writer.
    OVI_ReadAhead(const BIG_cl_Fat& source, const std::vector<uint32_t>& files, Limits limits = Limits(),
                  Ring* keep = nullptr, const std::vector<uint32_t>* lengths = nullptr);
    ~OVI_ReadAhead();
    OVI_ReadAhead(const OVI_ReadAhead&) = delete;
    OVI_ReadAhead& operator=(const OVI_ReadAhead&) = delete;

    // The content of `files[slot]` when the worker has read it by now. Slots
    // are taken in ascending order; a slot passed over is dropped. Never
    // waits: not read (the caller loads the file itself, and the worker
    // skips it) for a file that is not read ahead, one the worker has not got
    // to yet or could not read, after Stop, and while the caller still holds
    // a content (contents are released in the order they were taken).
    Content Take(uint32_t slot);
    // The contents the worker tries to read, and how many of them it has
    // handed over (read or not) so far.
    size_t ul_GetJobCount() const;
    size_t ul_GetHandedOver() const;
    // Stops the worker and waits for it; Take then hands out only what was
    // already read. Idempotent.
    void Stop();

private:
    std::unique_ptr<Impl> m_pImpl;
};

}  // namespace ORVEX
