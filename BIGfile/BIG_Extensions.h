// The file-type table: a file's type byte is the index of its lower-cased
// extension here (0 for an extension that is not listed). "---" marks an index
// that is not in use. The order is part of the bigfile format: never reorder,
// only append (and raise kCount).
#pragma once

#include <cstdint>

namespace BIG_Extensions {

inline constexpr uint32_t kCount = 147;

// Types that other parts of the library name.
inline constexpr uint8_t kTypeDup = 3;
inline constexpr uint8_t kTypeWorld = 4;
inline constexpr uint8_t kTypeDynamicBank = 87;
inline constexpr uint8_t kTypeBankList = 88;
inline constexpr uint8_t kTypeElementRefList = 89;
inline constexpr uint8_t kTypeTxd = 126;

uint32_t ul_Size();
// The extension text of `index` (without the dot). An index of kCount or more
// raises an assertion and gives "".
const char* sz_Get(uint32_t index);
// Copies the text of `index` into a 4-byte buffer, zero-terminated.
void GetText(uint32_t index, char (&out)[4]);

}  // namespace BIG_Extensions
