// Profile (INI) reading: the stand-in for GetPrivateProfileIntA.
#pragma once

#include <string>

namespace PLT {

// Integer value of `key` in `[section]` of `file`; `defaultValue` when the file,
// the section or the key is missing. Section and key compare case-insensitively;
// the value is parsed like atoi (leading digits, optional sign).
int GetProfileInt(const std::string& section, const std::string& key, int defaultValue,
                  const std::string& file = "./Marlin.ini");

}  // namespace PLT
