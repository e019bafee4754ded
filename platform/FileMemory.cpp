// In-memory files: anonymous memory files (memfd) registered under paths of
// the memory namespace. A handle to one is an ordinary descriptor, so every
// handle call of File.h (and the asynchronous reader) works on it unchanged;
// only the path calls look here first.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <map>
#include <string>

#include "platform/File.h"
#include "platform/Thread.h"
#include "platform/internal/MemoryFiles.h"
#include "platform/internal/SysError.h"

namespace PLT {
namespace {

// Set by the first SetMemoryFile: until then no path is looked up here, so a
// program that never uses memory files never pays for them nor meets them.
std::atomic<bool> g_inUse{false};

class MemoryFiles {
public:
    // The descriptor registered under `path`, or -1.
    int Find(const std::string& path) PLT_REQUIRES(m_lock) {
        const auto it = m_files.find(path);
        return it == m_files.end() ? -1 : it->second;
    }
    void Put(const std::string& path, int fd) PLT_REQUIRES(m_lock) {
        const auto it = m_files.find(path);
        if (it != m_files.end()) {
            close(it->second);
            it->second = fd;
        } else {
            m_files.emplace(path, fd);
        }
    }
    bool Remove(const std::string& path) PLT_REQUIRES(m_lock) {
        const auto it = m_files.find(path);
        if (it == m_files.end())
            return false;
        close(it->second);  // open handles keep the bytes alive until they close
        m_files.erase(it);
        return true;
    }
    bool Rename(const std::string& from, const std::string& to) PLT_REQUIRES(m_lock) {
        const auto it = m_files.find(from);
        if (it == m_files.end())
            return false;
        const int fd = it->second;
        m_files.erase(it);
        Put(to, fd);
        return true;
    }
    void Clear() PLT_REQUIRES(m_lock) {
        for (const auto& entry : m_files)
            close(entry.second);
        m_files.clear();
    }

    Mutex m_lock;

private:
    std::map<std::string, int> m_files PLT_GUARDED_BY(m_lock);
};

MemoryFiles& Files() {
    static MemoryFiles* files = new MemoryFiles;  // never destroyed: used until exit
    return *files;
}

int NewMemoryFd() {
    const int fd = memfd_create("orvex-memory-file", MFD_CLOEXEC);
    if (fd < 0)
        detail::CaptureErrno();
    return fd;
}

// A second open file description of the same bytes, with its own access mode,
// as opening a disk file twice gives.
int Reopen(int fd, Access access) {
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    for (;;) {
        const int again = open(self.c_str(), O_CLOEXEC | (access == Access::eRead ? O_RDONLY : O_RDWR));
        if (again >= 0)
            return again;
        if (errno != EINTR)
            break;
    }
    // Without /proc the duplicate shares the description; reads and writes
    // are positioned, so only the access mode is lost.
    const int dup = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (dup < 0)
        detail::CaptureErrno();
    return dup;
}

// Replaces the whole content. Not a WriteAt: filling a memory file is set-up,
// not one of the calls that tests make fail.
bool WriteAll(int fd, const void* data, size_t size) {
    if (ftruncate(fd, 0) != 0) {
        detail::CaptureErrno();
        return false;
    }
    const uint8_t* in = static_cast<const uint8_t*>(data);
    size_t done = 0;
    while (done < size) {
        const ssize_t put = pwrite(fd, in + done, size - done, static_cast<off_t>(done));
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0) {
            detail::SetLastError(put < 0 ? errno : ENOSPC);
            return false;
        }
        done += static_cast<size_t>(put);
    }
    return true;
}

}  // namespace

bool SetMemoryFile(const std::string& path, const void* data, size_t size) {
    if (path.compare(0, std::char_traits<char>::length(kMemoryPrefix), kMemoryPrefix) != 0) {
        detail::SetLastError(EINVAL);
        return false;
    }
    g_inUse.store(true, std::memory_order_release);
    MemoryFiles& files = Files();
    ScopedLock<Mutex> lock(files.m_lock);
    int fd = files.Find(path);
    // Replacing the bytes of a registered file reuses its descriptor: no
    // system call beyond the truncate and the write.
    if (fd >= 0)
        return WriteAll(fd, data, size);
    fd = NewMemoryFd();
    if (fd < 0)
        return false;
    if (!WriteAll(fd, data, size)) {
        close(fd);
        return false;
    }
    files.Put(path, fd);
    return true;
}

FileHandle OpenMemoryFile(const void* data, size_t size) {
    const int fd = NewMemoryFd();
    if (fd < 0)
        return kInvalidFile;
    if (!WriteAll(fd, data, size)) {
        close(fd);
        return kInvalidFile;
    }
    return fd;
}

void ClearMemoryFiles() {
    MemoryFiles& files = Files();
    ScopedLock<Mutex> lock(files.m_lock);
    files.Clear();
}

namespace detail {

bool IsMemoryPath(const std::string& path) {
    return g_inUse.load(std::memory_order_acquire) &&
           path.compare(0, std::char_traits<char>::length(kMemoryPrefix), kMemoryPrefix) == 0;
}

FileHandle OpenMemoryPath(const std::string& path, Access access, Disposition disposition) {
    MemoryFiles& files = Files();
    ScopedLock<Mutex> lock(files.m_lock);
    int fd = files.Find(path);
    if (fd < 0) {
        if (disposition == Disposition::eOpenExisting) {
            SetLastError(ENOENT);
            return kInvalidFile;
        }
        fd = NewMemoryFd();
        if (fd < 0)
            return kInvalidFile;
        files.Put(path, fd);
    } else if (disposition == Disposition::eCreateAlways && ftruncate(fd, 0) != 0) {
        CaptureErrno();
        return kInvalidFile;
    }
    return Reopen(fd, access);
}

bool MemoryPathExists(const std::string& path) {
    MemoryFiles& files = Files();
    ScopedLock<Mutex> lock(files.m_lock);
    return files.Find(path) >= 0;
}

bool MemoryPathStat(const std::string& path, uint64_t* size, uint64_t* timeNs) {
    MemoryFiles& files = Files();
    ScopedLock<Mutex> lock(files.m_lock);
    const int fd = files.Find(path);
    struct stat st;
    if (fd < 0) {
        SetLastError(ENOENT);
        return false;
    }
    if (fstat(fd, &st) != 0) {
        CaptureErrno();
        return false;
    }
    if (size != nullptr)
        *size = static_cast<uint64_t>(st.st_size);
    if (timeNs != nullptr)
        *timeNs = static_cast<uint64_t>(st.st_mtim.tv_sec) * 1000000000ull +
                  static_cast<uint64_t>(st.st_mtim.tv_nsec);
    return true;
}

bool RemoveMemoryPath(const std::string& path) {
    MemoryFiles& files = Files();
    ScopedLock<Mutex> lock(files.m_lock);
    if (files.Remove(path))
        return true;
    SetLastError(ENOENT);
    return false;
}

bool RenameMemoryPath(const std::string& from, const std::string& to) {
    MemoryFiles& files = Files();
    ScopedLock<Mutex> lock(files.m_lock);
    if (files.Rename(from, to))
        return true;
    SetLastError(ENOENT);
    return false;
}

}  // namespace detail
}  // namespace PLT
