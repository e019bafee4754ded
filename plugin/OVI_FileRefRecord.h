// One mapped file of the reference graph, and the growable key buffer that
// carries a file's reference keys while the file is being processed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace ORVEX {

// A record's reference keys are not kept in it: they lie in the reference
// buffer while the record is processed (OVI_RefBuffer).
struct FileRefRecord {
    uint32_t ul_Key = 0;
    uint32_t ul_Type = 0;      // file-type code of its FAT entry
    uint32_t ul_Size = 0;      // the size word stored in front of the file's data
    uint32_t ul_UseCount = 0;  // raised by the closure computation
    uint32_t ul_Index = 0;     // index of its FAT entry
    uint32_t ul_RefCount = 0;  // keys of its reference table
    std::string s_Name;        // name, ".", extension, as the FAT gives it (no directory)
};

// Growable array of u32 keys whose capacity is counted in bytes. Growth rule:
// when a larger size is needed the old array is released, the capacity grows
// by 64 bytes and, if that is still too small, becomes exactly the size
// needed. The array only grows until it is released.
//
// Not thread-safe; one user at a time.
class OVI_RefBuffer {
public:
    static constexpr uint32_t kGrowStep = 64;
    // Capacity brought about before a scan: tables of up to 4096 keys.
    static constexpr uint32_t kScanCapacity = 0x4000;

    // Makes room for `bytes` bytes (rounded up to whole keys). False, with the
    // buffer released, when the memory cannot be had; nothing kept is valid then.
    bool bReserve(uint64_t bytes);
    void Release();

    uint32_t* pul_Data() { return m_data.get(); }
    const uint32_t* pul_Data() const { return m_data.get(); }
    uint32_t ul_Capacity() const { return mul_Capacity; }  // bytes
    // Number of allocations made so far (for the growth-rule checks).
    uint32_t ul_AllocationCount() const { return mul_Allocations; }

private:
    std::unique_ptr<uint32_t[]> m_data;
    uint32_t mul_Capacity = 0;
    uint32_t mul_Allocations = 0;
};

}  // namespace ORVEX
