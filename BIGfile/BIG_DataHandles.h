// Process-wide slot table between loaded objects and the 32-bit handles that
// file entries keep in their data-in-memory word (a pointer never goes into 32
// bits). Handle 0 means none; handles are reused after they are freed.
//
// The table does not own the objects: the loader registers an object when it
// attaches it and frees the handle when the object goes away.
// Thread-safe.
#pragma once

#include <cstdint>

namespace BIG::DataHandles {

// The handle of `object` (the same handle while it stays registered); 0 for a
// null object or when 2^27 handles are in use.
uint32_t ul_Register(void* object);
// The object of a handle, or null for 0 and unknown handles.
void* p_Get(uint32_t handle);
// The handle of a registered object, or 0.
uint32_t ul_Find(void* object);
// Frees a handle; unknown handles are ignored.
void Unregister(uint32_t handle);
// Handles in use.
uint32_t ul_Count();

}  // namespace BIG::DataHandles
