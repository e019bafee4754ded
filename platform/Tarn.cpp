#include "platform/Tarn.h"

#include "platform/internal/Text.h"

#include <cctype>
#include <cstdlib>

namespace PLT::Tarn {
namespace {

using internal::Trim;

bool StartsWithNoCase(const std::string& text, const std::string& prefix) {
    if (text.size() < prefix.size()) {
        return false;
    }
    for (size_t i = 0; i < prefix.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) {
            return false;
        }
    }
    return true;
}

}  // namespace

std::optional<std::string> ResolveRemotePath(const std::string& remotePath) {
    std::string path = remotePath;
    static const std::string kDevkit = "devkit:";
    if (StartsWithNoCase(path, kDevkit)) {
        path.erase(0, kDevkit.size());
    }
    std::string resolved;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find_first_of("\\/", start);
        if (end == std::string::npos) {
            end = path.size();
        }
        const std::string part = path.substr(start, end - start);
        start = end + 1;
        if (part.empty() || part == ".") {
            continue;
        }
        // ".." climbs out; ':' would be another device; NUL would cut the path short.
        if (part == ".." || part.find(':') != std::string::npos || part.find('\0') != std::string::npos) {
            return std::nullopt;
        }
        if (!resolved.empty()) {
            resolved += '/';
        }
        resolved += part;
    }
    if (resolved.empty()) {
        return std::nullopt;
    }
    return resolved;
}

RemoteFile::~RemoteFile() {
    CloseFile(m_handle);
}

uint32_t RemoteFile::Read(uint64_t offset, void* buffer, uint32_t count) {
    size_t transferred = 0;
    ReadAt(m_handle, offset, buffer, count, &transferred);
    return static_cast<uint32_t>(transferred);
}

uint32_t RemoteFile::Write(uint64_t offset, const void* buffer, uint32_t count) {
    return WriteAt(m_handle, offset, buffer, count) ? count : 0;
}

void RemoteFile::Release() {
    delete this;
}

RemoteFile* Target::OpenFile(const std::string& remotePath) {
    const std::optional<std::string> relative = ResolveRemotePath(remotePath);
    if (!relative) {
        return nullptr;
    }
    const std::string local = m_directory + "/" + *relative;
    if (!FileExists(local)) {
        return nullptr;
    }
    FileHandle handle = PLT::OpenFile(local, Access::eReadWrite, Disposition::eOpenExisting);
    if (handle == kInvalidFile) {
        handle = PLT::OpenFile(local, Access::eRead, Disposition::eOpenExisting);
    }
    return handle == kInvalidFile ? nullptr : new RemoteFile(handle, local);
}

RemoteFile* Target::CreateFile(const std::string& remotePath) {
    const std::optional<std::string> relative = ResolveRemotePath(remotePath);
    if (!relative) {
        return nullptr;
    }
    const size_t slash = relative->find_last_of('/');
    if (slash != std::string::npos && !MakeDirectories(m_directory + "/" + relative->substr(0, slash))) {
        return nullptr;
    }
    const std::string local = m_directory + "/" + *relative;
    const FileHandle handle = PLT::OpenFile(local, Access::eReadWrite, Disposition::eCreateAlways);
    return handle == kInvalidFile ? nullptr : new RemoteFile(handle, local);
}

void Target::Release() {
    delete this;
}

Neighborhood* Neighborhood::Create() {
    const char* targets = std::getenv("TARN_TARGETS");
    return Create(targets != nullptr ? targets : "");
}

Neighborhood* Neighborhood::Create(const std::string& targets) {
    auto* neighborhood = new Neighborhood();
    size_t start = 0;
    while (start < targets.size()) {
        size_t end = targets.find(',', start);
        if (end == std::string::npos) {
            end = targets.size();
        }
        const std::string entry = targets.substr(start, end - start);
        start = end + 1;
        const size_t equals = entry.find('=');
        if (equals == std::string::npos) {
            continue;
        }
        std::string name = Trim(entry.substr(0, equals));
        std::string directory = Trim(entry.substr(equals + 1));
        while (directory.size() > 1 && directory.back() == '/') {
            directory.pop_back();
        }
        if (!name.empty() && !directory.empty()) {
            neighborhood->m_targets.push_back(Entry{std::move(name), std::move(directory)});
        }
    }
    return neighborhood;
}

Target* Neighborhood::GetDefaultTarget() const {
    if (m_targets.empty()) {
        return nullptr;
    }
    return new Target(m_targets.front().name, m_targets.front().directory);
}

Target* Neighborhood::GetTarget(const std::string& name) const {
    for (const Entry& entry : m_targets) {
        if (entry.name == name) {
            return new Target(entry.name, entry.directory);
        }
    }
    return nullptr;
}

void Neighborhood::Release() {
    delete this;
}

}  // namespace PLT::Tarn
