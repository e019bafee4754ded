// Fixed-size, zero-terminated text fields of the bigfile records.
//
// A field of n bytes holds at most n - 1 characters and a terminator. Text
// longer than that is cut; a field read from disk without a terminator is cut
// at its last byte, so an in-memory field is always terminated.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

// Copies `text` (null: empty) into `field`, cut to fieldSize - 1 characters and
// zero-padded to the end of the field.
inline void BIG_CopyTextField(char* field, size_t fieldSize, const char* text) {
    if (fieldSize == 0)
        return;
    size_t length = 0;
    if (text != nullptr) {
        while (length < fieldSize - 1 && text[length] != '\0')
            ++length;
        std::memcpy(field, text, length);
    }
    std::memset(field + length, 0, fieldSize - length);
}

// Decodes a field of `fieldSize` stored bytes into `field` (same size): the
// text up to its terminator, or the first fieldSize - 1 bytes when none.
inline void BIG_DecodeTextField(char* field, const uint8_t* stored, size_t fieldSize) {
    if (fieldSize == 0)
        return;
    size_t length = 0;
    while (length < fieldSize - 1 && stored[length] != 0)
        ++length;
    std::memcpy(field, stored, length);
    std::memset(field + length, 0, fieldSize - length);
}

// Writes the text of `field` into `stored` (fieldSize bytes), zero-padded.
inline void BIG_EncodeTextField(uint8_t* stored, const char* field, size_t fieldSize) {
    if (fieldSize == 0)
        return;
    size_t length = 0;
    while (length < fieldSize - 1 && field[length] != '\0')
        ++length;
    std::memcpy(stored, field, length);
    std::memset(stored + length, 0, fieldSize - length);
}
