#include "platform/Memory.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

namespace PLT {
namespace {

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

}  // namespace PLT
