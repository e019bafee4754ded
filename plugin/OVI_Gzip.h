// The gzip copy of an output bigfile.
//
// The copy is a gzip file of independent members, one per kGzipChunkSize bytes
// of the source (the last one shorter; an empty source gives one empty
// member), each the deflate stream of its chunk at level kGzipLevel.
// Members are compressed two at a time, one on a helper thread and one on the
// caller's, and written in order; `gzip -d`, `gzip -t` and zlib's gzread read
// the file whole, and it decompresses to the source byte for byte. Every read
// and write goes through the platform layer, so its fault injection reaches
// them.
//
// The copy is complete only when every member was written: on any failure the
// destination is removed, so a ".gz" file that exists was written whole.
#pragma once

#include <cstdint>
#include <string>

namespace ORVEX {

inline constexpr int kGzipLevel = 8;
inline constexpr uint32_t kGzipChunkSize = 4u << 20;

// Writes `destinationPath` (created or truncated) as the gzip copy of the
// bytes of `sourcePath`; every member's header carries `time` (seconds since
// 1970, 0 for none). False with the reason in `*error` (when given) when
// either file cannot be opened or a read or write fails; the destination does
// not exist afterwards.
bool OVI_bGzipCopy(const std::string& sourcePath, const std::string& destinationPath, std::string* error,
                   uint32_t time = 0);

}  // namespace ORVEX
