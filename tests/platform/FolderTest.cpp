// Writing and reading a tree under one folder: links planted in it are
// refused, never followed, and special files are never opened as if they were
// files.
#include "platform/Folder.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "platform/FaultInjection.h"
#include "tests/platform/TempDir.h"

namespace PLT {
namespace {

namespace fs = std::filesystem;
using test::ReadText;
using test::TempDir;
using test::WriteText;

TEST(Folder, CreatesFoldersAndFilesRelativeToTheirParent) {
    TempDir dir;
    const FileHandle root = OpenDirectory(dir.Path());
    ASSERT_NE(root, kInvalidFile);
    const FileHandle sub = OpenOrMakeSubdirectory(root, "a b");
    ASSERT_NE(sub, kInvalidFile);
    const FileHandle again = OpenOrMakeSubdirectory(root, "a b");  // an existing folder is fine
    ASSERT_NE(again, kInvalidFile);
    const FileHandle file = CreateFileIn(sub, "x.ini");
    ASSERT_NE(file, kInvalidFile);
    EXPECT_TRUE(WriteAll(file, "hello", 5));
    CloseFile(file);
    EXPECT_EQ(ReadText(dir.Path() + "/a b/x.ini"), "hello");
    const FileHandle below = OpenDirectoryBelow(root, "a b");
    ASSERT_NE(below, kInvalidFile);
    const FileHandle read = OpenFileBelow(below, "x.ini");
    CloseFile(below);
    ASSERT_NE(read, kInvalidFile);
    char text[5];
    EXPECT_TRUE(ReadAt(read, 0, text, 5));
    EXPECT_EQ(std::string(text, 5), "hello");
    CloseFile(read);
    EXPECT_TRUE(SyncFileSystem(root));
    for (const char* bad : {"", ".", "..", "a/b"}) {
        EXPECT_EQ(OpenOrMakeSubdirectory(root, bad), kInvalidFile) << bad;
        EXPECT_EQ(CreateFileIn(root, bad), kInvalidFile) << bad;
    }
    for (const char* bad : {"", "/a b/x.ini", "a b//x.ini", "./a b/x.ini", "a b/../a b/x.ini", "a b/"})
        EXPECT_EQ(OpenFileBelow(root, bad), kInvalidFile) << bad;
    CloseFile(again);
    CloseFile(sub);
    CloseFile(root);
}

TEST(Folder, PlantedLinksAreRefusedNotFollowed) {
    TempDir dir;
    const std::string out = dir.Path() + "/out";
    const std::string elsewhere = dir.Path() + "/elsewhere";
    fs::create_directories(out);
    fs::create_directories(elsewhere);
    WriteText(elsewhere + "/victim", "keep");
    fs::create_directory_symlink(elsewhere, out + "/folder");
    fs::create_symlink(elsewhere + "/victim", out + "/file");
    fs::create_symlink(elsewhere + "/absent", out + "/dangling");
    const FileHandle root = OpenDirectory(out);
    ASSERT_NE(root, kInvalidFile);
    EXPECT_EQ(OpenOrMakeSubdirectory(root, "folder"), kInvalidFile);
    EXPECT_EQ(LastError(), kErrSymbolicLink);
    EXPECT_EQ(OpenOrMakeSubdirectory(root, "dangling"), kInvalidFile);
    EXPECT_EQ(LastError(), kErrSymbolicLink);
    EXPECT_EQ(CreateFileIn(root, "file"), kInvalidFile);
    EXPECT_EQ(LastError(), kErrSymbolicLink);
    EXPECT_EQ(CreateFileIn(root, "dangling"), kInvalidFile);
    EXPECT_EQ(LastError(), kErrSymbolicLink);
    // Reading: a link at the end or on the way is named, never followed.
    const struct {
        const char* path;
        const char* link;
    } reads[] = {{"file", "file"}, {"folder/victim", "folder"}, {"dangling", "dangling"}};
    for (const auto& r : reads) {
        std::string failedAt;
        EXPECT_EQ(OpenFileBelow(root, r.path, &failedAt), kInvalidFile) << r.path;
        EXPECT_EQ(LastError(), kErrSymbolicLink) << r.path;
        EXPECT_EQ(failedAt, r.link);
    }
    EXPECT_EQ(OpenDirectoryBelow(root, "folder"), kInvalidFile);
    EXPECT_EQ(LastError(), kErrSymbolicLink);
    CloseFile(root);
    EXPECT_EQ(ReadText(elsewhere + "/victim"), "keep");
    EXPECT_FALSE(fs::exists(elsewhere + "/absent"));
    EXPECT_EQ(std::distance(fs::directory_iterator(elsewhere), fs::directory_iterator()), 1);
}

// A FIFO without writer would block an open for reading forever.
TEST(Folder, OnlyRegularFilesAreOpened) {
    TempDir dir;
    const std::string fifo = dir.Path() + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(OpenFile(fifo, Access::eRead, Disposition::eOpenExisting), kInvalidFile);
    EXPECT_EQ(LastError(), kErrNotRegularFile);
    EXPECT_EQ(OpenFile(fifo, Access::eReadWrite, Disposition::eOpenExisting), kInvalidFile);
    EXPECT_EQ(LastError(), kErrNotRegularFile);
    EXPECT_EQ(OpenFile(dir.Path(), Access::eRead, Disposition::eOpenExisting), kInvalidFile);
    EXPECT_EQ(LastError(), kErrNotRegularFile);
    const FileHandle root = OpenDirectory(dir.Path());
    EXPECT_EQ(CreateFileIn(root, "fifo"), kInvalidFile);
    EXPECT_EQ(LastError(), kErrNotRegularFile);
    EXPECT_EQ(OpenFileBelow(root, "fifo"), kInvalidFile);
    EXPECT_EQ(LastError(), kErrNotRegularFile);
    CloseFile(root);
    // A link to a regular file is still a file.
    WriteText(dir.Path() + "/real", "abc");
    fs::create_symlink(dir.Path() + "/real", dir.Path() + "/link");
    const FileHandle file = OpenFile(dir.Path() + "/link", Access::eRead, Disposition::eOpenExisting);
    ASSERT_NE(file, kInvalidFile);
    char text[3];
    EXPECT_TRUE(ReadAt(file, 0, text, 3));
    CloseFile(file);
}

TEST(Folder, FaultsAreInjectedLikeOtherFileCalls) {
    TempDir dir;
    const FileHandle root = OpenDirectory(dir.Path());
    ASSERT_NE(root, kInvalidFile);
    InjectFault(FaultOp::eOpen, 1);
    EXPECT_EQ(OpenOrMakeSubdirectory(root, "a"), kInvalidFile);
    EXPECT_EQ(LastError(), kErrInjected);
    const FileHandle file = CreateFileIn(root, "b");
    ASSERT_NE(file, kInvalidFile);
    InjectFault(FaultOp::eOpen, 1);
    EXPECT_EQ(OpenFileBelow(root, "b"), kInvalidFile);
    EXPECT_EQ(LastError(), kErrInjected);
    InjectFault(FaultOp::eWrite, 1);
    EXPECT_FALSE(WriteAll(file, "x", 1));
    InjectFault(FaultOp::eFlush, 1);
    EXPECT_FALSE(SyncFileSystem(root));
    ClearFaults();
    CloseFile(file);
    CloseFile(root);
}

}  // namespace
}  // namespace PLT
