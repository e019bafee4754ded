// Private to platform/: the hooks through which File.cpp serves the paths of
// in-memory files (File.h, SetMemoryFile). Each answers whether the path was
// a memory path; only then is the result meaningful.
#pragma once

#include <cstdint>
#include <string>

#include "platform/File.h"

namespace PLT::detail {

// True when `path` names the in-memory namespace and memory files are in use.
bool IsMemoryPath(const std::string& path);
FileHandle OpenMemoryPath(const std::string& path, Access access, Disposition disposition);
bool MemoryPathExists(const std::string& path);
bool MemoryPathStat(const std::string& path, uint64_t* size, uint64_t* timeNs);
bool RemoveMemoryPath(const std::string& path);
bool RenameMemoryPath(const std::string& from, const std::string& to);

}  // namespace PLT::detail
