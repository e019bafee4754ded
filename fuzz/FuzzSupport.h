// Shared by the fuzz targets: raw inputs become in-memory files, so that each
// input costs no disk traffic and every parser reads exactly the bytes given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "BIGfile/BIG_File.h"
#include "ERRor/ERR_Assert.h"
#include "platform/File.h"

namespace FUZZ {

// Between the segment files of a multi-segment input (and in the dictionary).
inline constexpr std::string_view kSegmentSeparator = "--orvex-segment--";
// More pieces than this are left in the last segment file: a bigfile may have
// 255 segments, but a few already reach every path of the set checks.
inline constexpr unsigned kMaxSegments = 8;

inline void Init() {
    static const bool s_bDone = [] {
        ERR_SetInteractive(false);
        return true;
    }();
    (void)s_bDone;
}

// Makes `data` the set of segment files of the bigfile at `path` (a memory
// path): the pieces between separators are segment 0, 1, ... Earlier inputs'
// memory files are forgotten first. Returns the number of segment files.
inline unsigned SetBigfile(const std::string& path, const uint8_t* data, size_t size) {
    PLT::ClearMemoryFiles();
    const std::string_view all(reinterpret_cast<const char*>(data), size);
    unsigned count = 0;
    size_t from = 0;
    for (;;) {
        size_t to = count + 1 < kMaxSegments ? all.find(kSegmentSeparator, from) : std::string_view::npos;
        const std::string_view piece = all.substr(from, to == std::string_view::npos ? all.npos : to - from);
        const std::string name = count == 0 ? path : BIG::File::SegmentFileName(path, count);
        PLT::SetMemoryFile(name, piece.data(), piece.size());
        ++count;
        if (to == std::string_view::npos)
            return count;
        from = to + kSegmentSeparator.size();
    }
}

// A memory file with the whole input.
inline std::string SetFile(const std::string& name, const uint8_t* data, size_t size) {
    const std::string path = std::string(PLT::kMemoryPrefix) + name;
    PLT::SetMemoryFile(path, data, size);
    return path;
}

}  // namespace FUZZ
