// The per-user settings store: the registry's place on Linux.
//
// A text file (`$MARLIN_REGISTRY`, else `$XDG_CONFIG_HOME/marlin/registry.ini`,
// else `~/.config/marlin/registry.ini`) with one section per key path
// ("[Software\Marlin\...]") and typed values:
//   "Name"=dword:0000002a
//   "Name"="text"
// Every access holds an flock on the file: shared for reads, exclusive for
// Update, so that a read-modify-write of one process never interleaves with
// another's (two processes of one user never draw the same key).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <variant>

namespace PLT {

using SettingValue = std::variant<uint32_t, std::string>;
// section (key path) -> value name -> value
using SettingsMap = std::map<std::string, std::map<std::string, SettingValue>>;

class SettingsStore {
public:
    // The file in use, from the environment as described above.
    static std::string DefaultPath();
    explicit SettingsStore(std::string path = DefaultPath());

    const std::string& Path() const { return m_path; }

    std::optional<uint32_t> ReadDword(const std::string& keyPath, const std::string& name) const;
    std::optional<std::string> ReadString(const std::string& keyPath, const std::string& name) const;
    bool WriteDword(const std::string& keyPath, const std::string& name, uint32_t value);
    bool WriteString(const std::string& keyPath, const std::string& name, const std::string& value);

    // Reads the whole store, lets `edit` change it and writes it back, all under
    // one exclusive lock. `edit` returning false leaves the file untouched.
    // Creates the file and its folders when absent. False on I/O failure.
    bool Update(const std::function<bool(SettingsMap&)>& edit);
    bool ReadAll(SettingsMap* out) const;

private:
    std::string m_path;
};

}  // namespace PLT
