// The gzip copy of an output bigfile, made through zlib's gzip file functions.
//
// The source is read through the gzip reader (a plain file reads unchanged) in
// blocks of kGzipBlockSize bytes and written through the gzip writer at level
// kGzipLevel with the default strategy. The copy is complete only when every
// block was written and the writer closed cleanly: on any failure the
// destination is removed, so a ".gz" file that exists was written whole.
#pragma once

#include <cstdint>
#include <string>

namespace ORVEX {

inline constexpr int kGzipLevel = 8;
inline constexpr uint32_t kGzipBlockSize = 8192;

// Writes `destinationPath` (created or truncated) as the gzip stream of the
// bytes of `sourcePath`. False with the reason in `*error` (when given) when
// either file cannot be opened, the parameters are refused, or a read or
// write fails; the destination does not exist afterwards.
bool OVI_bGzipCopy(const std::string& sourcePath, const std::string& destinationPath, std::string* error);

}  // namespace ORVEX
