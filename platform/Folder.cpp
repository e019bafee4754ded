#include "platform/Folder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/FaultInjection.h"
#include "platform/internal/SysError.h"

namespace PLT {
namespace {

bool bIsOneComponent(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

FileHandle Refuse(int error) {
    detail::SetLastError(error);
    return kInvalidFile;
}

// openat that retries on EINTR and names a refused link as such.
FileHandle OpenAt(FileHandle parent, const std::string& name, int flags, mode_t mode) {
    for (;;) {
        const int fd = openat(parent, name.c_str(), flags | O_CLOEXEC | O_NOFOLLOW, mode);
        if (fd >= 0)
            return fd;
        if (errno == EINTR)
            continue;
        if (errno == ELOOP)
            return Refuse(kErrSymbolicLink);
        if (errno == ENXIO)
            return Refuse(kErrNotRegularFile);  // a FIFO without reader, a socket
        // O_DIRECTORY on a link may also answer ENOTDIR: tell the link apart.
        struct stat st;
        const int saved = errno;
        if (saved == ENOTDIR && fstatat(parent, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISLNK(st.st_mode))
            return Refuse(kErrSymbolicLink);
        errno = saved;
        detail::CaptureErrno();
        return kInvalidFile;
    }
}

// Opens `relPath` below `folder` one component at a time, the last with
// `lastFlags`; see OpenFileBelow for `failedAt`.
FileHandle OpenBelow(FileHandle folder, const std::string& relPath, int lastFlags, std::string* failedAt) {
    if (ShouldFail(FaultOp::eOpen))
        return Refuse(kErrInjected);
    FileHandle at = folder;
    size_t start = 0;
    for (;;) {
        const size_t slash = relPath.find('/', start);
        const bool last = slash == std::string::npos;
        const size_t end = last ? relPath.size() : slash;
        const std::string name = relPath.substr(start, end - start);
        const FileHandle next = bIsOneComponent(name)
                                    ? OpenAt(at, name, last ? lastFlags : O_RDONLY | O_DIRECTORY, 0)
                                    : Refuse(EINVAL);
        if (at != folder)
            close(at);
        if (next == kInvalidFile) {
            if (failedAt != nullptr)
                *failedAt = relPath.substr(0, end);
            return kInvalidFile;
        }
        if (last)
            return next;
        at = next;
        start = slash + 1;
    }
}

}  // namespace

FileHandle OpenDirectory(const std::string& path) {
    if (ShouldFail(FaultOp::eOpen))
        return Refuse(kErrInjected);
    for (;;) {
        const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd >= 0)
            return fd;
        if (errno != EINTR) {
            detail::CaptureErrno();
            return kInvalidFile;
        }
    }
}

FileHandle OpenOrMakeSubdirectory(FileHandle parent, const std::string& name) {
    if (!bIsOneComponent(name))
        return Refuse(EINVAL);
    if (ShouldFail(FaultOp::eOpen))
        return Refuse(kErrInjected);
    // mkdirat never follows a link in its last component: an existing link
    // answers EEXIST and the open below refuses it.
    if (mkdirat(parent, name.c_str(), 0777) != 0 && errno != EEXIST) {
        detail::CaptureErrno();
        return kInvalidFile;
    }
    return OpenAt(parent, name, O_RDONLY | O_DIRECTORY, 0);
}

FileHandle CreateFileIn(FileHandle parent, const std::string& name) {
    if (!bIsOneComponent(name))
        return Refuse(EINVAL);
    if (ShouldFail(FaultOp::eOpen))
        return Refuse(kErrInjected);
    const FileHandle fd = OpenAt(parent, name, O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK, 0666);
    if (fd == kInvalidFile)
        return fd;
    // A FIFO or device of that name is no place for a file's bytes.
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return Refuse(kErrNotRegularFile);
    }
    // O_NONBLOCK changes nothing for a regular file: left as it is, two calls per file saved.
    return fd;
}

FileHandle OpenFileBelow(FileHandle folder, const std::string& relPath, std::string* failedAt) {
    const FileHandle file = OpenBelow(folder, relPath, O_RDONLY | O_NONBLOCK, failedAt);
    if (file == kInvalidFile)
        return file;
    struct stat st;
    if (fstat(file, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(file);
        if (failedAt != nullptr)
            *failedAt = relPath;
        return Refuse(kErrNotRegularFile);
    }
    // Non-blocking only until the kind was known.
    fcntl(file, F_SETFL, fcntl(file, F_GETFL) & ~O_NONBLOCK);
    return file;
}

FileHandle OpenDirectoryBelow(FileHandle folder, const std::string& relPath, std::string* failedAt) {
    return OpenBelow(folder, relPath, O_RDONLY | O_DIRECTORY, failedAt);
}

bool WriteAll(FileHandle file, const void* data, size_t size) {
    const auto* p = static_cast<const uint8_t*>(data);
    while (size > 0) {
        if (ShouldFail(FaultOp::eWrite)) {
            detail::SetLastError(kErrInjected);
            return false;
        }
        const ssize_t done = write(file, p, size);
        if (done < 0) {
            if (errno == EINTR)
                continue;
            detail::CaptureErrno();
            return false;
        }
        p += done;
        size -= static_cast<size_t>(done);
    }
    return true;
}

bool SyncFileSystem(FileHandle handle) {
    if (ShouldFail(FaultOp::eFlush)) {
        detail::SetLastError(kErrInjected);
        return false;
    }
    if (syncfs(handle) != 0) {
        detail::CaptureErrno();
        return false;
    }
    return true;
}

}  // namespace PLT
