// The remote-target library's place on Linux: targets are local directories.
//
// `$TARN_TARGETS` = "name=dir[,name=dir...]"; the first entry is the default
// target. A remote path ("devkit:\\sub\\file.bf", "\\sub\\file.bf" or
// "sub/file.bf") resolves under its target's directory: a "devkit:" prefix
// and leading separators are dropped, "\\" becomes "/", "." and empty parts
// vanish, and a ".." part (or any other way out of the directory, such as a
// further drive prefix "x:") refuses the path, so nothing outside the target
// directory is ever opened.
//
// Objects are released explicitly (Release deletes them), as callers keep them
// in arrays; the unique_ptr aliases below release automatically. A file may be
// used while its target or neighbourhood has been released. Objects are not
// shared between threads without the caller's own lock.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/File.h"

namespace PLT::Tarn {

class RemoteFile {
public:
    // Bytes moved: fewer than `count` at the end of the file (read) or on failure.
    uint32_t Read(uint64_t offset, void* buffer, uint32_t count);
    uint32_t Write(uint64_t offset, const void* buffer, uint32_t count);
    void Release();
    const std::string& LocalPath() const { return m_localPath; }

private:
    friend class Target;
    RemoteFile(FileHandle handle, std::string localPath)
        : m_handle(handle), m_localPath(std::move(localPath)) {}
    ~RemoteFile();
    FileHandle m_handle;
    std::string m_localPath;
};

class Target {
public:
    // An existing file (read-write when allowed, else read-only), or nullptr.
    RemoteFile* OpenFile(const std::string& remotePath);
    // A new empty file (an existing one is truncated), with its folders; or nullptr.
    RemoteFile* CreateFile(const std::string& remotePath);
    void Release();
    const std::string& Name() const { return m_name; }
    const std::string& Directory() const { return m_directory; }

private:
    friend class Neighborhood;
    Target(std::string name, std::string directory)
        : m_name(std::move(name)), m_directory(std::move(directory)) {}
    ~Target() = default;
    std::string m_name;
    std::string m_directory;
};

class Neighborhood {
public:
    // From `$TARN_TARGETS`; an unset variable gives a neighbourhood without targets.
    static Neighborhood* Create();
    // From an explicit "name=dir[,name=dir...]" list. Malformed entries are skipped.
    static Neighborhood* Create(const std::string& targets);

    // nullptr when there is no target.
    Target* GetDefaultTarget() const;
    // Names compare exactly; nullptr when unknown.
    Target* GetTarget(const std::string& name) const;
    size_t TargetCount() const { return m_targets.size(); }
    void Release();

private:
    struct Entry {
        std::string name;
        std::string directory;
    };
    Neighborhood() = default;
    ~Neighborhood() = default;
    std::vector<Entry> m_targets;
};

// The path relative to a target directory, or nullopt when the remote path
// would leave it (or names nothing).
std::optional<std::string> ResolveRemotePath(const std::string& remotePath);

struct Releaser {
    template <class T>
    void operator()(T* object) const {
        if (object != nullptr) {
            object->Release();
        }
    }
};
using NeighborhoodPtr = std::unique_ptr<Neighborhood, Releaser>;
using TargetPtr = std::unique_ptr<Target, Releaser>;
using RemoteFilePtr = std::unique_ptr<RemoteFile, Releaser>;

}  // namespace PLT::Tarn
