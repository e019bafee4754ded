// The world closures of a finished split, handed to the host that ran it.
//
// `orvex split --report` draws the size report's sharing figures from the
// closures that the splitter computed. The plug-in is a separate library
// behind a fixed interface, so the host names a file (kHostClosuresVariable)
// and the splitter writes its world closures there at the end of the run; the
// host reads it back and removes it.
//
// Layout (every integer a little-endian u32):
//
//   | part   | field        | meaning                                         |
//   |--------|--------------|-------------------------------------------------|
//   | header | magic        | "OVCL"                                          |
//   |        | version      | 1                                               |
//   |        | world count  | W                                               |
//   | world  | root key     | W times, ascending root key                     |
//   |        | key count n  |                                                 |
//   |        | keys         | n keys, ascending: the closure, root included   |
//   | sizes  | count s      |                                                 |
//   | size   | key, size    | s times: the size word of each key of a closure |
//
// Reading checks every count against the bytes left before it allocates; a
// file that does not end exactly after its last field is refused whole.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace ORVEX {

struct OVI_Closures {
    std::map<uint32_t, std::set<uint32_t>> worlds;  // root key -> closure
    std::map<uint32_t, uint32_t> sizes;             // key -> size word
};

struct OVI_ClosuresFormat {
    static constexpr uint32_t kMagic = 0x4C43564F;  // "OVCL"
    static constexpr uint32_t kVersion = 1;
    static constexpr size_t kHeaderSize = 12;
};

std::vector<uint8_t> OVI_EncodeClosures(const OVI_Closures& closures);
// False, `*out` untouched, for bytes that are not a whole closures file.
bool OVI_bDecodeClosures(const uint8_t* data, size_t size, OVI_Closures* out);

}  // namespace ORVEX
