// The event journal: an in-memory sequence of typed binary records that keeps
// every assertion and message box with a time stamp.
//
// Records (little-endian):
//   header  | u8 1  | u64 local time (FILETIME, 100 ns since 1601) | u16 event code |  11 bytes
//   text    | u8 11 | text bytes | u8 0                                            |  len + 2 bytes
//
// The buffer starts at 32768 bytes. Before each append, when the bytes used
// plus 512 exceed the capacity, the capacity doubles; it keeps doubling while
// the record itself would not fit, so that a text longer than the margin never
// writes past the end. The write offset is kept across growth. A journal never
// grows beyond its limit (64 MiB unless told otherwise): once a record would
// cross it, that record and every later one are dropped and counted, so that
// a run that raises the same assertion millions of times cannot exhaust memory.
//
// Thread-safe: every member takes the journal's own lock. Callers that need
// several records to stay together (one assertion) serialise among themselves.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/Thread.h"

enum : uint16_t {
    ERR_Event_Assert = 14,
    ERR_Event_MessageBox = 15,
};

class ERR_cl_LogFile {
public:
    static constexpr uint8_t kRecordHeader = 1;
    static constexpr uint8_t kRecordText = 11;
    static constexpr size_t kHeaderRecordSize = 11;
    static constexpr size_t kInitialCapacity = 32768;
    static constexpr size_t kGrowthMargin = 512;
    static constexpr size_t kDefaultLimit = size_t{64} << 20;

    explicit ERR_cl_LogFile(size_t limit = kDefaultLimit);
    ERR_cl_LogFile(const ERR_cl_LogFile&) = delete;
    ERR_cl_LogFile& operator=(const ERR_cl_LogFile&) = delete;

    // Header record stamped with the current local time.
    void AppendHeader(uint16_t eventCode);
    void AppendHeaderAt(uint16_t eventCode, uint64_t localFileTime);
    // Text record; null appends an empty text.
    void AppendText(const char* text);

    size_t Size() const;      // bytes written
    size_t Capacity() const;  // bytes allocated
    uint64_t DroppedRecords() const;
    // A copy of the bytes written so far.
    std::vector<uint8_t> Bytes() const;
    // Forgets every record (the capacity stays); for hosts that flush it.
    void Clear();

    // One decoded record.
    struct Record {
        uint8_t kind = 0;   // kRecordHeader or kRecordText
        uint64_t time = 0;  // header only
        uint16_t code = 0;  // header only
        std::string text;   // text only
    };
    // Walks `size` bytes of records. False (with the records before it in
    // `out`) when a record is unknown, cut short or a text lacks its zero.
    static bool bDecode(const uint8_t* data, size_t size, std::vector<Record>* out);

private:
    // Grows for a record of `recordSize` bytes; false when it must be dropped.
    bool bReserve(size_t recordSize) PLT_REQUIRES(m_mutex);

    mutable PLT::Mutex m_mutex;
    std::vector<uint8_t> m_buffer PLT_GUARDED_BY(m_mutex);  // size() is the capacity
    size_t m_used PLT_GUARDED_BY(m_mutex) = 0;
    uint64_t m_dropped PLT_GUARDED_BY(m_mutex) = 0;
    bool m_full PLT_GUARDED_BY(m_mutex) = false;
    const size_t m_limit;
};

// The process's journal, created on first use and kept until the process ends.
ERR_cl_LogFile& ERR_rJournal();
