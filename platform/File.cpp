#include "platform/File.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "platform/FaultInjection.h"
#include "platform/internal/MemoryFiles.h"
#include "platform/internal/SysError.h"

namespace PLT {
namespace {

thread_local int t_lastError = 0;

// Alignment that satisfies O_DIRECT on every block device we meet (512 or 4096
// byte logical blocks).
constexpr size_t kDirectAlign = 4096;
// Bounds the memory of one bounce-buffer or fallback copy step.
constexpr size_t kChunk = size_t{1} << 20;

bool FailInjected() {
    detail::SetLastError(kErrInjected);
    return false;
}

bool Fail() {
    detail::CaptureErrno();
    return false;
}

bool IsDirect(int fd) {
    const int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && (flags & O_DIRECT) != 0;
}

// Turns an O_DIRECT descriptor into a buffered one for good. Used only when the
// file system accepted O_DIRECT at open but refuses a particular transfer.
void DropDirect(int fd) {
    const int flags = fcntl(fd, F_GETFL);
    if (flags >= 0 && (flags & O_DIRECT) != 0) {
        fcntl(fd, F_SETFL, flags & ~O_DIRECT);
    }
}

ssize_t PreadOnce(int fd, void* buffer, size_t size, uint64_t offset) {
    for (;;) {
        const ssize_t got = pread(fd, buffer, size, static_cast<off_t>(offset));
        if (got >= 0 || errno != EINTR) {
            return got;
        }
    }
}

// An unaligned read on an O_DIRECT descriptor: read the aligned blocks around
// it into a bounce buffer and copy out the part asked for.
ssize_t BounceRead(int fd, void* buffer, size_t size, uint64_t offset) {
    size = std::min(size, kChunk);
    const uint64_t start = offset & ~uint64_t{kDirectAlign - 1};
    const size_t lead = static_cast<size_t>(offset - start);
    const size_t span = (lead + size + kDirectAlign - 1) & ~(kDirectAlign - 1);
    void* raw = std::aligned_alloc(kDirectAlign, span);
    if (raw == nullptr) {
        errno = ENOMEM;
        return -1;
    }
    std::unique_ptr<void, void (*)(void*)> bounce(raw, std::free);
    ssize_t got = PreadOnce(fd, raw, span, start);
    if (got < 0 && errno == EINVAL) {
        DropDirect(fd);
        return PreadOnce(fd, buffer, size, offset);
    }
    if (got < 0) {
        return got;
    }
    if (static_cast<size_t>(got) <= lead) {
        return 0;
    }
    const size_t usable = std::min(size, static_cast<size_t>(got) - lead);
    std::memcpy(buffer, static_cast<const uint8_t*>(raw) + lead, usable);
    return static_cast<ssize_t>(usable);
}

bool OffsetFits(uint64_t offset, size_t size) {
    return offset <= static_cast<uint64_t>(LLONG_MAX) && size <= static_cast<uint64_t>(LLONG_MAX) - offset;
}

std::string ParentOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) {
        return ".";
    }
    if (slash == 0) {
        return "/";
    }
    return path.substr(0, slash);
}

// A name beside `path` that no other writer (thread or process) picks.
std::string TempNameFor(const std::string& path) {
    static std::atomic<uint64_t> counter{0};
    const size_t slash = path.find_last_of('/');
    const std::string dir = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    return dir + "." + base + ".tmp." + std::to_string(getpid()) + "." +
           std::to_string(counter.fetch_add(1, std::memory_order_relaxed));
}

// Creates a fresh file that must not exist yet; counts as an open for faults.
int CreateExclusive(const std::string& path, mode_t mode) {
    if (ShouldFail(FaultOp::eOpen)) {
        FailInjected();
        return -1;
    }
    for (;;) {
        const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (fd >= 0) {
            return fd;
        }
        if (errno != EINTR) {
            Fail();
            return -1;
        }
    }
}

// Removes a half-made file without losing the reason of the failure.
void Discard(const std::string& path) {
    const int saved = LastError();
    unlink(path.c_str());
    detail::SetLastError(saved);
}

void SyncDirectory(const std::string& dir) {
    const int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        fsync(fd);  // best effort: some file systems refuse fsync on directories
        close(fd);
    }
}

bool CopyWithReadWrite(int in, int out) {
    std::unique_ptr<uint8_t[]> buffer(new uint8_t[kChunk]);
    uint64_t offset = 0;
    for (;;) {
        size_t got = 0;
        if (!ReadAt(in, offset, buffer.get(), kChunk, &got) && LastError() != kErrShortRead) {
            return false;
        }
        if (got == 0) {
            return true;
        }
        if (!WriteAt(out, offset, buffer.get(), got)) {
            return false;
        }
        offset += got;
        if (got < kChunk) {
            return true;
        }
    }
}

bool CopyData(int in, int out) {
    if (CopyFileRangeDisabled()) {
        return CopyWithReadWrite(in, out);
    }
    loff_t inOffset = 0;
    loff_t outOffset = 0;
    for (;;) {
        const ssize_t moved = copy_file_range(in, &inOffset, out, &outOffset, kChunk * 64, 0);
        if (moved < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (inOffset == 0 && (errno == ENOSYS || errno == EXDEV || errno == EINVAL ||
                                  errno == EOPNOTSUPP || errno == EBADF || errno == EPERM)) {
                return CopyWithReadWrite(in, out);
            }
            return Fail();
        }
        if (moved == 0) {
            // Some pseudo files report nothing to copy_file_range: read them.
            return inOffset != 0 || CopyWithReadWrite(in, out);
        }
        // The kernel moved the bytes without us reading or writing them; the
        // fault switch still sees one read and one write per step.
        if (ShouldFail(FaultOp::eRead) || ShouldFail(FaultOp::eWrite)) {
            return FailInjected();
        }
    }
}

}  // namespace

namespace detail {

void SetLastError(int error) {
    t_lastError = error;
}

int CaptureErrno() {
    t_lastError = errno;
    return t_lastError;
}

}  // namespace detail

int LastError() {
    return t_lastError;
}

std::string ErrorText(int error) {
    switch (error) {
        case 0:
            return "no error";
        case kErrShortRead:
            return "unexpected end of file";
        case kErrInjected:
            return "injected fault";
        case kErrSymbolicLink:
            return "it is a symbolic link, which is never followed here";
        case kErrNotRegularFile:
            return "not a regular file";
        default:
            break;
    }
    char buffer[256];
    // GNU strerror_r: returns the text, which may or may not be `buffer`.
    return strerror_r(error, buffer, sizeof(buffer));
}

FileHandle OpenFile(const std::string& path, Access access, Disposition disposition, Caching caching) {
    if (ShouldFail(FaultOp::eOpen)) {
        FailInjected();
        return kInvalidFile;
    }
    if (detail::IsMemoryPath(path)) {
        return detail::OpenMemoryPath(path, access, disposition);
    }
    int flags = O_CLOEXEC | (access == Access::eRead ? O_RDONLY : O_RDWR);
    switch (disposition) {
        case Disposition::eOpenExisting:
            break;
        case Disposition::eCreateAlways:
            flags |= O_CREAT | O_TRUNC;
            break;
        case Disposition::eOpenAlways:
            flags |= O_CREAT;
            break;
    }
    bool direct = caching == Caching::eUnbuffered;
    for (;;) {
        // Non-blocking only until the kind is known: opening a FIFO would
        // otherwise wait for a writer forever.
        const int fd = open(path.c_str(), flags | O_NONBLOCK | (direct ? O_DIRECT : 0), 0666);
        if (fd >= 0) {
            struct stat st;
            if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
                close(fd);
                detail::SetLastError(kErrNotRegularFile);
                return kInvalidFile;
            }
            fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
            return fd;
        }
        if (errno == EINTR) {
            continue;
        }
        if (direct && errno == EINVAL) {
            direct = false;  // tmpfs and some others refuse O_DIRECT
            continue;
        }
        if (errno == ENXIO) {
            // A FIFO without reader, a socket or an absent device: no file to write.
            detail::SetLastError(kErrNotRegularFile);
            return kInvalidFile;
        }
        Fail();
        return kInvalidFile;
    }
}

void CloseFile(FileHandle file) {
    if (file != kInvalidFile) {
        // Linux releases the descriptor even when close reports EINTR: never retry.
        close(file);
    }
}

bool ReadAt(FileHandle file, uint64_t offset, void* buffer, size_t size, size_t* transferred) {
    if (transferred != nullptr) {
        *transferred = 0;
    }
    if (ShouldFail(FaultOp::eRead)) {
        return FailInjected();
    }
    if (!OffsetFits(offset, size)) {
        detail::SetLastError(EINVAL);
        return false;
    }
    uint8_t* out = static_cast<uint8_t*>(buffer);
    size_t done = 0;
    while (done < size) {
        ssize_t got = PreadOnce(file, out + done, size - done, offset + done);
        if (got < 0 && errno == EINVAL && IsDirect(file)) {
            got = BounceRead(file, out + done, size - done, offset + done);
        }
        if (got < 0) {
            return Fail();
        }
        if (got == 0) {
            break;
        }
        done += static_cast<size_t>(got);
        if (transferred != nullptr) {
            *transferred = done;
        }
    }
    if (done < size) {
        detail::SetLastError(kErrShortRead);
        return false;
    }
    return true;
}

bool WriteAt(FileHandle file, uint64_t offset, const void* buffer, size_t size) {
    if (ShouldFail(FaultOp::eWrite)) {
        return FailInjected();
    }
    if (!OffsetFits(offset, size)) {
        detail::SetLastError(EINVAL);
        return false;
    }
    const uint8_t* in = static_cast<const uint8_t*>(buffer);
    size_t done = 0;
    while (done < size) {
        const ssize_t put = pwrite(file, in + done, size - done, static_cast<off_t>(offset + done));
        if (put < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (errno == EINVAL && IsDirect(file)) {
                DropDirect(file);
                continue;
            }
            return Fail();
        }
        if (put == 0) {
            detail::SetLastError(ENOSPC);
            return false;
        }
        done += static_cast<size_t>(put);
    }
    return true;
}

bool Flush(FileHandle file) {
    if (ShouldFail(FaultOp::eFlush)) {
        return FailInjected();
    }
    for (;;) {
        if (fdatasync(file) == 0) {
            return true;
        }
        if (errno != EINTR) {
            return Fail();
        }
    }
}

void StartWriteback(FileHandle file, uint64_t offset, uint64_t size) {
    if (file == kInvalidFile || !OffsetFits(offset, size)) {
        return;
    }
    // Fails on files without a backing device (memory files): nothing to start.
    (void)sync_file_range(file, static_cast<off_t>(offset), static_cast<off_t>(size), SYNC_FILE_RANGE_WRITE);
}

bool GetFileSize(FileHandle file, uint64_t* size) {
    struct stat st;
    if (fstat(file, &st) != 0) {
        return Fail();
    }
    *size = static_cast<uint64_t>(st.st_size);
    return true;
}

bool SetFileEnd(FileHandle file, uint64_t size) {
    if (size > static_cast<uint64_t>(LLONG_MAX)) {
        detail::SetLastError(EINVAL);
        return false;
    }
    for (;;) {
        if (ftruncate(file, static_cast<off_t>(size)) == 0) {
            return true;
        }
        if (errno != EINTR) {
            return Fail();
        }
    }
}

bool FileExists(const std::string& path) {
    if (detail::IsMemoryPath(path)) {
        return detail::MemoryPathExists(path);
    }
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool DirectoryExists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool IsSymbolicLink(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

bool GetPathSize(const std::string& path, uint64_t* size) {
    if (detail::IsMemoryPath(path)) {
        return detail::MemoryPathStat(path, size, nullptr);
    }
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        return Fail();
    }
    *size = static_cast<uint64_t>(st.st_size);
    return true;
}

bool GetPathTimes(const std::string& path, uint64_t* modifiedNs, uint64_t* changedNs) {
    if (detail::IsMemoryPath(path)) {
        if (!detail::MemoryPathStat(path, nullptr, modifiedNs)) {
            return false;
        }
        *changedNs = *modifiedNs;
        return true;
    }
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        return Fail();
    }
    auto ns = [](const struct timespec& t) {
        return static_cast<uint64_t>(t.tv_sec) * 1000000000ull + static_cast<uint64_t>(t.tv_nsec);
    };
    *modifiedNs = ns(st.st_mtim);
    *changedNs = ns(st.st_ctim);
    return true;
}

bool RemoveFile(const std::string& path) {
    if (detail::IsMemoryPath(path)) {
        return detail::RemoveMemoryPath(path);
    }
    return unlink(path.c_str()) == 0 || Fail();
}

bool RemoveDirectory(const std::string& path) {
    return rmdir(path.c_str()) == 0 || Fail();
}

bool RenameFile(const std::string& from, const std::string& to) {
    if (ShouldFail(FaultOp::eRename)) {
        return FailInjected();
    }
    if (detail::IsMemoryPath(from) && detail::IsMemoryPath(to)) {
        return detail::RenameMemoryPath(from, to);
    }
    return rename(from.c_str(), to.c_str()) == 0 || Fail();
}

bool MakeDirectory(const std::string& path) {
    if (mkdir(path.c_str(), 0777) == 0) {
        return true;
    }
    Fail();
    if (LastError() == EEXIST) {
        detail::SetLastError(kErrExists);
    }
    return false;
}

bool MakeDirectories(const std::string& path) {
    if (path.empty()) {
        detail::SetLastError(ENOENT);
        return false;
    }
    size_t pos = 0;
    for (;;) {
        pos = path.find('/', pos + 1);
        const std::string prefix = path.substr(0, pos);
        if (!prefix.empty() && mkdir(prefix.c_str(), 0777) != 0 && errno != EEXIST) {
            return Fail();
        }
        if (pos == std::string::npos) {
            break;
        }
    }
    if (!DirectoryExists(path)) {
        detail::SetLastError(ENOTDIR);
        return false;
    }
    return true;
}

bool ListDirectory(const std::string& path, std::vector<std::string>* names) {
    names->clear();
    DIR* dir = opendir(path.c_str());
    if (dir == nullptr) {
        return Fail();
    }
    for (;;) {
        errno = 0;
        const dirent* entry = readdir(dir);
        if (entry == nullptr) {
            break;
        }
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
            names->emplace_back(entry->d_name);
        }
    }
    const bool ok = errno == 0 || Fail();
    closedir(dir);
    std::sort(names->begin(), names->end());
    return ok;
}

bool CopyFile(const std::string& from, const std::string& to, bool failIfExists) {
    const int in = OpenFile(from, Access::eRead, Disposition::eOpenExisting);
    if (in == kInvalidFile) {
        return false;
    }
    struct stat st;
    if (fstat(in, &st) != 0) {
        Fail();
        CloseFile(in);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        detail::SetLastError(S_ISDIR(st.st_mode) ? EISDIR : EINVAL);
        CloseFile(in);
        return false;
    }
    // Without failIfExists the copy goes to a temporary file that replaces the
    // destination only when complete: a failed copy keeps the old file.
    const std::string target = failIfExists ? to : TempNameFor(to);
    const int out = CreateExclusive(target, st.st_mode & 07777);
    if (out < 0) {
        if (LastError() == EEXIST) {
            detail::SetLastError(kErrExists);
        }
        CloseFile(in);
        return false;
    }
    bool ok = CopyData(in, out);
    CloseFile(in);
    CloseFile(out);
    if (ok && !failIfExists) {
        ok = RenameFile(target, to);
    }
    if (!ok) {
        Discard(target);
    }
    return ok;
}

bool ReadWholeFile(const std::string& path, std::string* data) {
    data->clear();
    const int fd = OpenFile(path, Access::eRead, Disposition::eOpenExisting);
    if (fd == kInvalidFile) {
        return false;
    }
    uint64_t size = 0;
    bool ok = GetFileSize(fd, &size);
    if (ok && size > data->max_size()) {
        detail::SetLastError(EFBIG);
        ok = false;
    }
    if (ok) {
        data->resize(static_cast<size_t>(size));
        size_t got = 0;
        // A file that shrank since fstat gives what is there.
        ok = ReadAt(fd, 0, data->data(), data->size(), &got) || LastError() == kErrShortRead;
        data->resize(got);
    }
    CloseFile(fd);
    return ok;
}

bool WriteWholeFile(const std::string& path, const void* data, size_t size) {
    if (detail::IsMemoryPath(path)) {
        return SetMemoryFile(path, data, size);  // replaced whole, as the rename below does
    }
    const std::string temp = TempNameFor(path);
    struct stat old;
    const mode_t mode = stat(path.c_str(), &old) == 0 ? (old.st_mode & 07777) : 0666;
    const int fd = CreateExclusive(temp, mode);
    if (fd < 0) {
        return false;
    }
    bool ok = WriteAt(fd, 0, data, size) && Flush(fd);
    CloseFile(fd);
    ok = ok && RenameFile(temp, path);
    if (!ok) {
        Discard(temp);
        return false;
    }
    SyncDirectory(ParentOf(path));
    return true;
}

std::string CurrentDirectory() {
    std::string buffer(256, '\0');
    for (;;) {
        if (getcwd(buffer.data(), buffer.size()) != nullptr) {
            buffer.resize(std::strlen(buffer.c_str()));
            return buffer;
        }
        if (errno != ERANGE) {
            Fail();
            return std::string();
        }
        buffer.resize(buffer.size() * 2);
    }
}

bool ChangeDirectory(const std::string& path) {
    return chdir(path.c_str()) == 0 || Fail();
}

}  // namespace PLT
