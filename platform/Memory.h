// Page allocation for read buffers that unbuffered descriptors fill directly.
#pragma once

#include <cstddef>

namespace PLT {

size_t PageSize();
// Page-aligned, zero-filled block of `size` bytes rounded up to whole pages;
// nullptr on failure. Free with FreePages and the same size.
void* AllocPages(size_t size);
void FreePages(void* block, size_t size);

}  // namespace PLT
