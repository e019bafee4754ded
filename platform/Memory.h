// Page allocation for read buffers that unbuffered descriptors fill directly,
// and for large tables that are filled as soon as they are made.
#pragma once

#include <cstddef>
#include <new>

namespace PLT {

size_t PageSize();
// Page-aligned, zero-filled block of `size` bytes rounded up to whole pages;
// nullptr on failure. Free with FreePages and the same size.
void* AllocPages(size_t size);
void FreePages(void* block, size_t size);

// Blocks of kLargeBlockMin bytes or more come from their own mapping, backed by
// huge pages where the system grants them: a table of megabytes then costs a
// few page faults instead of one per 4 KiB page, each of which is dear on a
// virtual machine. Smaller blocks come from operator new. Not zero-filled as
// far as the caller may know. AllocLargeBlock throws std::bad_alloc on
// failure; free with FreeLargeBlock and the same size. Any thread.
inline constexpr size_t kLargeBlockMin = size_t{1} << 20;
void* AllocLargeBlock(size_t size);
void FreeLargeBlock(void* block, size_t size) noexcept;

// A standard allocator over AllocLargeBlock, for vectors that hold large tables.
template <class T>
struct LargeBlockAllocator {
    using value_type = T;
    LargeBlockAllocator() noexcept = default;
    template <class U>
    LargeBlockAllocator(const LargeBlockAllocator<U>&) noexcept {}
    T* allocate(size_t n) {
        if (n > static_cast<size_t>(-1) / sizeof(T))
            throw std::bad_array_new_length();
        return static_cast<T*>(AllocLargeBlock(n * sizeof(T)));
    }
    void deallocate(T* block, size_t n) noexcept { FreeLargeBlock(block, n * sizeof(T)); }
    template <class U>
    bool operator==(const LargeBlockAllocator<U>&) const noexcept {
        return true;
    }
};

}  // namespace PLT
