// The reference-counted base of loaded file buffers and the linker.
//
// The count is 0 after construction: the creator takes its reference with
// AddRef. Release lowers it; the call that brings it to 0 deletes the object.
// Releasing an object whose count is already 0 raises "Invalid reference
// count!" (category "Assert") and lowers it anyway (16-bit wrap to 0xFFFF), so
// an over-released object is never deleted twice. Raising the count past
// 0xFFFF raises "Reference count overflow!" and leaves it at 0xFFFF.
//
// The count is atomic, so references may be taken and dropped on different
// threads. Objects must be created with new (Release deletes them with
// delete); a class allocated otherwise overrides Release.
//
// Virtual slots, in order: destructor, Release, ul_GetAllocParam,
// uw_GetAllocParam.
#pragma once

#include <atomic>
#include <cstdint>

namespace DPT {

class RefCounted {
public:
    RefCounted() = default;
    // A copy is a new object: it starts with no reference of its own.
    RefCounted(const RefCounted&) {}
    RefCounted& operator=(const RefCounted&) { return *this; }
    virtual ~RefCounted() = default;

    virtual void Release();
    // The allocation tag and memory category the object was allocated with,
    // for the memory manager's tracking; 0 when not tracked.
    virtual uint32_t ul_GetAllocParam() const { return 0; }
    virtual uint16_t uw_GetAllocParam() const { return 0; }

    void AddRef();
    uint16_t uw_GetRefCount() const { return m_uwRefCount.load(std::memory_order_relaxed); }

private:
    std::atomic<uint16_t> m_uwRefCount{0};
};

}  // namespace DPT
