#include "platform/Memory.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <new>

namespace PLT {
namespace {

// The huge page size of x86-64 and arm64 with 4 KiB pages: the alignment and
// granule at which the kernel can back a mapping with huge pages.
constexpr size_t kHugePage = size_t{2} << 20;

size_t RoundToHugePages(size_t size) {
    return (size + kHugePage - 1) & ~(kHugePage - 1);
}

size_t RoundToPages(size_t size) {
    const size_t page = PageSize();
    return size > SIZE_MAX - (page - 1) ? 0 : (size + page - 1) & ~(page - 1);
}

}  // namespace

size_t PageSize() {
    static const size_t page = [] {
        const long value = sysconf(_SC_PAGESIZE);
        return value > 0 ? static_cast<size_t>(value) : size_t{4096};
    }();
    return page;
}

void* AllocPages(size_t size) {
    const size_t rounded = RoundToPages(size);
    if (rounded == 0) {
        return nullptr;
    }
    // Anonymous mappings arrive zero-filled and page-aligned.
    void* block = mmap(nullptr, rounded, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return block == MAP_FAILED ? nullptr : block;
}

void FreePages(void* block, size_t size) {
    if (block != nullptr) {
        munmap(block, RoundToPages(size));
    }
}

void* AllocLargeBlock(size_t size) {
    if (size < kLargeBlockMin)
        return ::operator new(size);
    if (size > SIZE_MAX / 2)
        throw std::bad_alloc();
    // Map one huge page more than needed and give back what lies outside an
    // aligned run of whole huge pages.
    const size_t rounded = RoundToHugePages(size);
    const size_t mapped = rounded + kHugePage;
    void* raw = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED)
        throw std::bad_alloc();
    const uintptr_t start = reinterpret_cast<uintptr_t>(raw);
    const uintptr_t aligned = (start + kHugePage - 1) & ~(uintptr_t{kHugePage} - 1);
    if (aligned > start)
        munmap(raw, aligned - start);
    const uintptr_t end = start + mapped;
    if (end > aligned + rounded)
        munmap(reinterpret_cast<void*>(aligned + rounded), end - (aligned + rounded));
    // A hint: without huge pages the block works the same, page by page.
    madvise(reinterpret_cast<void*>(aligned), rounded, MADV_HUGEPAGE);
    return reinterpret_cast<void*>(aligned);
}

void FreeLargeBlock(void* block, size_t size) noexcept {
    if (block == nullptr)
        return;
    if (size < kLargeBlockMin) {
        ::operator delete(block);
        return;
    }
    munmap(block, RoundToHugePages(size));
}

}  // namespace PLT
