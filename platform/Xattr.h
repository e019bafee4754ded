// Extended attributes: the stand-in for alternate data streams.
// A stream "S" of a file is the attribute "user.S". File systems that refuse
// extended attributes make these calls fail quietly (false).
#pragma once

#include <string>

namespace PLT {

bool ReadStream(const std::string& path, const std::string& stream, std::string* value);
bool WriteStream(const std::string& path, const std::string& stream, const std::string& value);

}  // namespace PLT
