// The per-user settings store: the registry's place on Linux.
//
// A text file (`$MARLIN_REGISTRY`, else `$XDG_CONFIG_HOME/marlin/registry.ini`,
// else `~/.config/marlin/registry.ini`) with one section per key path
// ("[Software\Marlin\...]") and typed values:
//   "Name"=dword:0000002a
//   "Name"="text"
// In text values and names, '\\' and '"' are escaped with a backslash, and so
// are line ends ("\n", "\r"). Lines that fit none of these forms are skipped
// when read (and dropped by the next Update). Every access holds an flock on
// the sidecar file "<path>.lock": shared for reads, exclusive for Update, so
// that a read-modify-write of one process never interleaves with another's
// (two processes of one user never draw the same key). The lock lives beside
// the file rather than on it because Update replaces the file by rename.
// Section and value names compare exactly. Thread-safe: every call opens its
// own descriptors.
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
    // one exclusive lock. `edit` returning false leaves the file untouched (and
    // Update returns true). Creates the file and its folders when absent. False
    // on I/O failure (the file keeps its old content) or when a section or name
    // holds a line end, which the format cannot carry (LastError() == EINVAL).
    bool Update(const std::function<bool(SettingsMap&)>& edit);
    // A missing file reads as an empty store.
    bool ReadAll(SettingsMap* out) const;

    // The text form, exposed for tests and tools.
    static SettingsMap Parse(const std::string& text);
    static std::string Format(const SettingsMap& map);

private:
    std::string m_path;
};

}  // namespace PLT
