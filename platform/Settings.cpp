#include "platform/Settings.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

#include "platform/File.h"
#include "platform/internal/SysError.h"

namespace PLT {
namespace {

// Holds an flock on "<path>.lock" for its lifetime.
class SidecarLock {
public:
    SidecarLock(const std::string& path, bool exclusive) {
        const std::string lockPath = path + ".lock";
        for (;;) {
            m_fd = open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
            if (m_fd >= 0 || errno != EINTR) {
                break;
            }
        }
        if (m_fd < 0 && !exclusive) {
            // A store we may read but not write beside (read-only folder): read it unlocked.
            m_fd = open(lockPath.c_str(), O_RDONLY | O_CLOEXEC);
        }
        if (m_fd < 0) {
            detail::CaptureErrno();
            return;
        }
        while (flock(m_fd, exclusive ? LOCK_EX : LOCK_SH) != 0) {
            if (errno != EINTR) {
                detail::CaptureErrno();
                close(m_fd);
                m_fd = -1;
                return;
            }
        }
    }
    ~SidecarLock() {
        if (m_fd >= 0) {
            close(m_fd);  // releases the flock
        }
    }
    SidecarLock(const SidecarLock&) = delete;
    SidecarLock& operator=(const SidecarLock&) = delete;

    bool Held() const { return m_fd >= 0; }

private:
    int m_fd = -1;
};

std::string Trim(const std::string& text) {
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end && (text[begin] == ' ' || text[begin] == '\t')) {
        ++begin;
    }
    while (end > begin && (text[end - 1] == ' ' || text[end - 1] == '\t' || text[end - 1] == '\r')) {
        --end;
    }
    return text.substr(begin, end - begin);
}

std::string Quote(const std::string& text) {
    std::string quoted = "\"";
    for (char c : text) {
        switch (c) {
            case '\\':
                quoted += "\\\\";
                break;
            case '"':
                quoted += "\\\"";
                break;
            case '\n':
                quoted += "\\n";
                break;
            case '\r':
                quoted += "\\r";
                break;
            default:
                quoted += c;
        }
    }
    return quoted + "\"";
}

// Reads a quoted text starting at `*pos` (on the opening quote); moves `*pos`
// past the closing quote. False when the text is not a well-formed quote.
bool Unquote(const std::string& line, size_t* pos, std::string* out) {
    if (*pos >= line.size() || line[*pos] != '"') {
        return false;
    }
    out->clear();
    for (size_t i = *pos + 1; i < line.size(); ++i) {
        const char c = line[i];
        if (c == '"') {
            *pos = i + 1;
            return true;
        }
        if (c == '\\') {
            if (++i >= line.size()) {
                return false;
            }
            switch (line[i]) {
                case 'n':
                    *out += '\n';
                    break;
                case 'r':
                    *out += '\r';
                    break;
                default:
                    *out += line[i];  // '\\', '"' and anything else stand for themselves
            }
        } else {
            *out += c;
        }
    }
    return false;
}

bool ParseDword(const std::string& text, uint32_t* value) {
    if (text.empty() || text.size() > 8) {
        return false;
    }
    uint32_t result = 0;
    for (char c : text) {
        uint32_t digit;
        if (c >= '0' && c <= '9') {
            digit = static_cast<uint32_t>(c - '0');
        } else if (c >= 'a' && c <= 'f') {
            digit = static_cast<uint32_t>(c - 'a' + 10);
        } else if (c >= 'A' && c <= 'F') {
            digit = static_cast<uint32_t>(c - 'A' + 10);
        } else {
            return false;
        }
        result = result << 4 | digit;
    }
    *value = result;
    return true;
}

// One `"Name"=value` line; false when malformed.
bool ParseValue(const std::string& line, std::string* name, SettingValue* value) {
    size_t pos = 0;
    if (!Unquote(line, &pos, name)) {
        return false;
    }
    const std::string rest = Trim(line.substr(pos));
    if (rest.empty() || rest[0] != '=') {
        return false;
    }
    const std::string data = Trim(rest.substr(1));
    static const std::string kDword = "dword:";
    if (data.compare(0, kDword.size(), kDword) == 0) {
        uint32_t number = 0;
        if (!ParseDword(data.substr(kDword.size()), &number)) {
            return false;
        }
        *value = number;
        return true;
    }
    size_t textPos = 0;
    std::string text;
    if (!Unquote(data, &textPos, &text) || textPos != data.size()) {
        return false;
    }
    *value = std::move(text);
    return true;
}

bool HasLineEnd(const std::string& text) {
    return text.find_first_of("\r\n") != std::string::npos;
}

bool Storable(const SettingsMap& map) {
    for (const auto& [section, values] : map) {
        if (HasLineEnd(section) || section.empty()) {
            return false;
        }
        for (const auto& entry : values) {
            if (HasLineEnd(entry.first)) {
                return false;
            }
        }
    }
    return true;
}

std::string HomeDirectory() {
    if (const char* home = std::getenv("HOME"); home != nullptr && home[0] != '\0') {
        return home;
    }
    std::vector<char> buffer(16384);
    passwd entry;
    passwd* found = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
        found->pw_dir != nullptr) {
        return found->pw_dir;
    }
    return ".";
}

std::string ParentOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos || slash == 0 ? std::string() : path.substr(0, slash);
}

// Reads the store file into `map`; a missing file is an empty store.
bool Load(const std::string& path, SettingsMap* map) {
    std::string text;
    if (!ReadWholeFile(path, &text)) {
        if (LastError() == ENOENT) {
            map->clear();
            return true;
        }
        return false;
    }
    *map = SettingsStore::Parse(text);
    return true;
}

}  // namespace

std::string SettingsStore::DefaultPath() {
    if (const char* path = std::getenv("MARLIN_REGISTRY"); path != nullptr && path[0] != '\0') {
        return path;
    }
    // XDG_CONFIG_HOME is only honoured when absolute; a relative value is ignored.
    if (const char* config = std::getenv("XDG_CONFIG_HOME"); config != nullptr && config[0] == '/') {
        return std::string(config) + "/marlin/registry.ini";
    }
    return HomeDirectory() + "/.config/marlin/registry.ini";
}

SettingsStore::SettingsStore(std::string path) : m_path(std::move(path)) {}

SettingsMap SettingsStore::Parse(const std::string& text) {
    SettingsMap map;
    std::map<std::string, SettingValue>* section = nullptr;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        const std::string line = Trim(text.substr(start, end - start));
        start = end + 1;
        if (line.empty() || line[0] == ';' || line[0] == '#') {
            continue;
        }
        if (line[0] == '[') {
            const size_t close = line.find_last_of(']');
            // Values under a broken header must not land in the previous section.
            section = close != std::string::npos && close > 1 ? &map[line.substr(1, close - 1)] : nullptr;
            continue;
        }
        std::string name;
        SettingValue value;
        if (section != nullptr && ParseValue(line, &name, &value)) {
            (*section)[name] = std::move(value);
        }
    }
    return map;
}

std::string SettingsStore::Format(const SettingsMap& map) {
    std::string text;
    for (const auto& [section, values] : map) {
        if (!text.empty()) {
            text += '\n';
        }
        text += "[" + section + "]\n";
        for (const auto& [name, value] : values) {
            text += Quote(name) + "=";
            if (const uint32_t* number = std::get_if<uint32_t>(&value)) {
                static const char kHex[] = "0123456789abcdef";
                text += "dword:";
                for (int shift = 28; shift >= 0; shift -= 4) {
                    text += kHex[(*number >> shift) & 0xF];
                }
            } else {
                text += Quote(std::get<std::string>(value));
            }
            text += '\n';
        }
    }
    return text;
}

bool SettingsStore::ReadAll(SettingsMap* out) const {
    out->clear();
    SidecarLock lock(m_path, false);
    if (!lock.Held()) {
        // No folder yet means no store yet.
        return LastError() == ENOENT;
    }
    return Load(m_path, out);
}

std::optional<uint32_t> SettingsStore::ReadDword(const std::string& keyPath, const std::string& name) const {
    SettingsMap map;
    if (!ReadAll(&map)) {
        return std::nullopt;
    }
    const auto section = map.find(keyPath);
    if (section == map.end()) {
        return std::nullopt;
    }
    const auto value = section->second.find(name);
    if (value == section->second.end() || !std::holds_alternative<uint32_t>(value->second)) {
        return std::nullopt;
    }
    return std::get<uint32_t>(value->second);
}

std::optional<std::string> SettingsStore::ReadString(const std::string& keyPath,
                                                     const std::string& name) const {
    SettingsMap map;
    if (!ReadAll(&map)) {
        return std::nullopt;
    }
    const auto section = map.find(keyPath);
    if (section == map.end()) {
        return std::nullopt;
    }
    const auto value = section->second.find(name);
    if (value == section->second.end() || !std::holds_alternative<std::string>(value->second)) {
        return std::nullopt;
    }
    return std::get<std::string>(value->second);
}

bool SettingsStore::WriteDword(const std::string& keyPath, const std::string& name, uint32_t value) {
    return Update([&](SettingsMap& map) {
        map[keyPath][name] = value;
        return true;
    });
}

bool SettingsStore::WriteString(const std::string& keyPath, const std::string& name,
                                const std::string& value) {
    return Update([&](SettingsMap& map) {
        map[keyPath][name] = value;
        return true;
    });
}

bool SettingsStore::Update(const std::function<bool(SettingsMap&)>& edit) {
    const std::string parent = ParentOf(m_path);
    if (!parent.empty() && !MakeDirectories(parent)) {
        return false;
    }
    SidecarLock lock(m_path, true);
    if (!lock.Held()) {
        return false;
    }
    SettingsMap map;
    if (!Load(m_path, &map)) {
        return false;
    }
    if (!edit(map)) {
        return true;
    }
    if (!Storable(map)) {
        detail::SetLastError(EINVAL);
        return false;
    }
    const std::string text = Format(map);
    return WriteWholeFile(m_path, text.data(), text.size());
}

}  // namespace PLT
