// The one rule for a name that the tools turn into a file or folder name.
//
// Output names (from world names and the split's settings) and sound package
// names (from record names and package files) become one path component under
// the data root: such a name must never lead out of its folder.
#pragma once

#include <cstddef>
#include <string_view>

namespace ORVEX {

// True for one plain path component: not empty, at most `maxLength` bytes,
// not "." or "..", and no '/', '\' or NUL ('\' too, since names come from
// records written on Windows, where it separates folders).
inline bool OVI_bIsPlainFileName(std::string_view name, size_t maxLength = std::string_view::npos) {
    if (name.empty() || name.size() > maxLength || name == "." || name == "..")
        return false;
    return name.find_first_of(std::string_view("/\\\0", 3)) == std::string_view::npos;
}

}  // namespace ORVEX
