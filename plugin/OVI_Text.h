// Fixed-size text fields of the parameter blocks.
//
// The host writes the blocks' text fields in place. A path that does not fit is
// refused, never shortened: a shortened path would silently name another file.
#pragma once

#include <cstddef>
#include <cstring>
#include <string_view>

namespace ORVEX {

// Stores `text` NUL-terminated in `field` and zeroes the rest. Returns false and
// leaves the field untouched when the text needs more than N - 1 bytes or holds
// a NUL byte.
template <size_t N>
bool OVI_bSetText(char (&field)[N], std::string_view text) {
    static_assert(N > 0);
    if (text.size() >= N || text.find('\0') != std::string_view::npos)
        return false;
    std::memset(field, 0, N);
    std::memcpy(field, text.data(), text.size());
    return true;
}

// The text of a field, up to its first NUL or its whole size when it has none.
template <size_t N>
std::string_view OVI_TextOf(const char (&field)[N]) {
    const void* end = std::memchr(field, '\0', N);
    return std::string_view(field, end ? static_cast<const char*>(end) - field : N);
}

// Longest text a field of N bytes holds.
template <size_t N>
constexpr size_t OVI_TextCapacity(const char (&)[N]) {
    return N - 1;
}

}  // namespace ORVEX
