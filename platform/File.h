// Files and directories: the only door from the engine code to the file system.
//
// Every function is safe to call from any thread. A descriptor may be shared
// between threads because reads and writes are positioned (pread/pwrite); no
// call moves a shared file offset. Failures return false (or kInvalidFile)
// and leave the reason in LastError() of the calling thread. EINTR and short
// transfers are handled inside: a successful ReadAt/WriteAt moved every byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace PLT {

using FileHandle = int;
inline constexpr FileHandle kInvalidFile = -1;

enum class Access : uint8_t { eRead, eReadWrite };
enum class Disposition : uint8_t {
    eOpenExisting,  // fail when the file does not exist
    eCreateAlways,  // create, or truncate an existing file to empty
    eOpenAlways,    // open, creating an empty file when absent
};
enum class Caching : uint8_t {
    eNormal,
    // Second descriptor of the asynchronous reader. O_DIRECT where the file
    // system takes it, else a plain descriptor. Transfers of any alignment
    // work: an unaligned read goes through a bounce buffer, and a write the
    // file system refuses turns the descriptor buffered for good. Page-aligned
    // buffers with 2048-aligned offsets and sizes take the direct path.
    eUnbuffered,
};

// errno-style code of the last failed call on this thread (0 when none).
int LastError();
// Human-readable text of an error code.
std::string ErrorText(int error);

// Opens a file. Sharing is the OS default on Linux (everybody may share).
// Only a regular file (or a symbolic link to one) is opened: anything else
// fails with kErrNotRegularFile before it could block (a FIFO without writer).
FileHandle OpenFile(const std::string& path, Access access, Disposition disposition,
                    Caching caching = Caching::eNormal);
// Closing kInvalidFile does nothing. Never fails from the caller's view.
void CloseFile(FileHandle file);

// Reads exactly `size` bytes at `offset`. Reading past the end of the file fails
// (LastError() == kErrShortRead) and `*transferred` (when given) tells how many
// bytes arrived.
bool ReadAt(FileHandle file, uint64_t offset, void* buffer, size_t size, size_t* transferred = nullptr);
// Writes exactly `size` bytes at `offset`, growing the file as needed.
bool WriteAt(FileHandle file, uint64_t offset, const void* buffer, size_t size);
// fdatasync: the data written so far reaches the disk.
bool Flush(FileHandle file);
// Starts writing `size` bytes at `offset` to the disk without waiting, so that
// a later Flush finds them written while the caller went on working. Only a
// hint: it reports nothing, and Flush still says whether the data arrived.
void StartWriteback(FileHandle file, uint64_t offset, uint64_t size);
bool GetFileSize(FileHandle file, uint64_t* size);
// Truncates or extends the file to exactly `size` bytes.
bool SetFileEnd(FileHandle file, uint64_t size);

// Path operations.
bool FileExists(const std::string& path);       // a regular file
bool DirectoryExists(const std::string& path);  // a directory
bool IsSymbolicLink(const std::string& path);   // a symbolic link itself, whatever it names
bool GetPathSize(const std::string& path, uint64_t* size);
// Last modification and last status change (nanoseconds since 1970). The change
// time moves on every write, rename or copy and cannot be set back by a tool.
bool GetPathTimes(const std::string& path, uint64_t* modifiedNs, uint64_t* changedNs);
bool RemoveFile(const std::string& path);
// Removes an empty directory.
bool RemoveDirectory(const std::string& path);
// Atomic replace of `to` by `from` on the same file system.
bool RenameFile(const std::string& from, const std::string& to);
// Creates one directory. An existing directory fails with LastError() == kErrExists
// (the part error 183 plays on the original platform).
bool MakeDirectory(const std::string& path);
// Creates every missing directory of `path`; an existing one is fine.
bool MakeDirectories(const std::string& path);
// Names (not paths) of the entries of a directory, without "." and "..", sorted.
bool ListDirectory(const std::string& path, std::vector<std::string>* names);
// Copies a regular file (copy_file_range, else read/write) with its permission
// bits. With `failIfExists`, an existing destination fails with kErrExists and is
// left alone; otherwise the copy goes through a temporary file renamed over the
// destination, so a failed copy keeps the old destination.
bool CopyFile(const std::string& from, const std::string& to, bool failIfExists);
// Whole-file helpers for side files. WriteWholeFile writes a temporary file in the
// same folder, syncs it and renames it over `path`, so a failure never leaves a
// half file: the old file stays and the temporary is removed.
bool ReadWholeFile(const std::string& path, std::string* data);
bool WriteWholeFile(const std::string& path, const void* data, size_t size);
std::string CurrentDirectory();
bool ChangeDirectory(const std::string& path);

// In-memory files, so that tests and fuzzers feed raw bytes through the real
// file paths without touching the disk. A path that starts with kMemoryPrefix
// names a file whose bytes live in memory: every call above works on it as on
// a disk file (its handles are ordinary descriptors), opening one that was
// never set fails as an absent file, and creating one makes it. The namespace
// exists only once SetMemoryFile has been called; other paths never change.
inline constexpr const char kMemoryPrefix[] = "memory:";
// Creates or replaces the memory file at `path` (which must start with
// kMemoryPrefix) with a copy of the bytes. Handles still open on the old
// content see the new one, as with a file rewritten in place.
bool SetMemoryFile(const std::string& path, const void* data, size_t size);
// A handle to a nameless file holding a copy of the bytes; CloseFile frees it.
FileHandle OpenMemoryFile(const void* data, size_t size);
// Forgets every memory file (open handles keep their bytes until closed).
void ClearMemoryFiles();

// Error codes beyond errno's (negative so they never collide).
inline constexpr int kErrShortRead = -1000;       // end of file before `size` bytes
inline constexpr int kErrInjected = -1001;        // a fault made by FaultInjection.h
inline constexpr int kErrNotFound = 2;            // ENOENT
inline constexpr int kErrExists = 17;             // EEXIST
inline constexpr int kErrSymbolicLink = -1002;    // a symbolic link where a file or folder should be
inline constexpr int kErrNotRegularFile = -1003;  // a FIFO, device, socket or folder where a file should be

}  // namespace PLT
