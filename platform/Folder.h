// Writing a tree under one folder without ever leaving it.
//
// Every directory and file is created relative to an open descriptor of its
// parent and named by one component, and no symbolic link is followed on the
// way: a link planted where an entry should go is refused (LastError() ==
// kErrSymbolicLink), so nothing is ever written outside the folder, however
// the names of the tree were chosen. Descriptors are owned by the caller and
// closed with CloseFile. Safe from any thread.
#pragma once

#include <string>

#include "platform/File.h"

namespace PLT {

// Opens the directory `path` itself for creating entries in it. Links inside
// `path` are followed: it is the folder the user named.
FileHandle OpenDirectory(const std::string& path);
// The subdirectory `name` of `parent`, created first when missing. A symbolic
// link of that name fails with kErrSymbolicLink, another kind of file with
// ENOTDIR. `name` is one component: no "/", not "." or "..".
FileHandle OpenOrMakeSubdirectory(FileHandle parent, const std::string& name);
// Creates the regular file `name` in `parent` for writing, or truncates the
// one there; a symbolic link of that name fails with kErrSymbolicLink.
FileHandle CreateFileIn(FileHandle parent, const std::string& name);
// Opens the regular file at `relPath` below `folder` for reading, one
// component at a time ("a/b/c.ini"; no empty, "." or ".." component), never
// following a symbolic link: a link anywhere on the way fails with
// kErrSymbolicLink, so a tree read this way is never left, whatever links were
// planted in it. Anything but a regular file at the end fails with
// kErrNotRegularFile (without waiting on a FIFO). On failure `failedAt` (when
// given) is `relPath` up to the component that could not be opened.
FileHandle OpenFileBelow(FileHandle folder, const std::string& relPath, std::string* failedAt = nullptr);
// The directory at `relPath` below `folder`, opened the same way (to open many
// files of one folder with OpenFileBelow relative to it).
FileHandle OpenDirectoryBelow(FileHandle folder, const std::string& relPath, std::string* failedAt = nullptr);
// Writes every byte of `data` at the file's current end onwards (sequentially).
bool WriteAll(FileHandle file, const void* data, size_t size);
// Brings everything written to the file system that holds `handle` to the disk
// (one call for a whole tree instead of one per file).
bool SyncFileSystem(FileHandle handle);

}  // namespace PLT
