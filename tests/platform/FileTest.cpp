#include "platform/File.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <atomic>
#include <functional>
#include <thread>
#include <vector>

#include "platform/FaultInjection.h"
#include "tests/platform/TempDir.h"
#include "platform/Process.h"

namespace PLT {
namespace {

using test::ReadText;
using test::TempDir;
using test::WriteText;

std::string Pattern(size_t size, unsigned seed = 1) {
    std::string data(size, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (char& c : data) {
        x = x * 1103515245u + 12345u;
        c = static_cast<char>(x >> 24);
    }
    return data;
}

class FileTest : public ::testing::Test {
protected:
    void TearDown() override {
        ClearFaults();
        DisableCopyFileRange(false);
    }
    TempDir m_dir;
};

TEST_F(FileTest, WriteThenReadAndShortReadAtEndOfFile) {
    const std::string path = m_dir / "a.bin";
    const std::string data = Pattern(100);
    FileHandle f = OpenFile(path, Access::eReadWrite, Disposition::eCreateAlways);
    ASSERT_NE(f, kInvalidFile);
    ASSERT_TRUE(WriteAt(f, 0, data.data(), data.size()));
    uint64_t size = 0;
    ASSERT_TRUE(GetFileSize(f, &size));
    EXPECT_EQ(size, 100u);

    char buffer[20];
    size_t got = 99;
    ASSERT_TRUE(ReadAt(f, 10, buffer, sizeof(buffer), &got));
    EXPECT_EQ(got, sizeof(buffer));
    EXPECT_EQ(std::string(buffer, 20), data.substr(10, 20));

    EXPECT_FALSE(ReadAt(f, 90, buffer, sizeof(buffer), &got));
    EXPECT_EQ(LastError(), kErrShortRead);
    EXPECT_EQ(got, 10u);
    EXPECT_EQ(std::string(buffer, 10), data.substr(90, 10));

    EXPECT_FALSE(ReadAt(f, 500, buffer, sizeof(buffer), &got));
    EXPECT_EQ(LastError(), kErrShortRead);
    EXPECT_EQ(got, 0u);

    // Writing past the end grows the file; SetFileEnd cuts and extends.
    ASSERT_TRUE(WriteAt(f, 200, "z", 1));
    ASSERT_TRUE(GetFileSize(f, &size));
    EXPECT_EQ(size, 201u);
    ASSERT_TRUE(SetFileEnd(f, 50));
    ASSERT_TRUE(GetFileSize(f, &size));
    EXPECT_EQ(size, 50u);
    ASSERT_TRUE(Flush(f));
    CloseFile(f);
    EXPECT_EQ(ReadText(path), data.substr(0, 50));
}

TEST_F(FileTest, DispositionsAndMissingFiles) {
    const std::string path = m_dir / "d.bin";
    EXPECT_EQ(OpenFile(path, Access::eRead, Disposition::eOpenExisting), kInvalidFile);
    EXPECT_EQ(LastError(), ENOENT);
    EXPECT_FALSE(ErrorText(LastError()).empty());

    WriteText(path, "keep");
    FileHandle f = OpenFile(path, Access::eReadWrite, Disposition::eOpenAlways);
    ASSERT_NE(f, kInvalidFile);
    CloseFile(f);
    EXPECT_EQ(ReadText(path), "keep");

    f = OpenFile(path, Access::eReadWrite, Disposition::eCreateAlways);
    ASSERT_NE(f, kInvalidFile);
    CloseFile(f);
    EXPECT_EQ(ReadText(path), "");

    // A read-only descriptor refuses writes with the system's reason.
    f = OpenFile(path, Access::eRead, Disposition::eOpenExisting);
    ASSERT_NE(f, kInvalidFile);
    EXPECT_FALSE(WriteAt(f, 0, "x", 1));
    EXPECT_EQ(LastError(), EBADF);
    CloseFile(f);
    CloseFile(kInvalidFile);

    uint64_t size = 1;
    EXPECT_TRUE(GetPathSize(path, &size));
    EXPECT_EQ(size, 0u);
    EXPECT_TRUE(FileExists(path));
    EXPECT_FALSE(DirectoryExists(path));
    EXPECT_TRUE(RemoveFile(path));
    EXPECT_FALSE(FileExists(path));
    EXPECT_FALSE(RemoveFile(path));
    EXPECT_EQ(LastError(), ENOENT);
}

// The unbuffered descriptor gives the same bytes as a plain one for any offset
// and size, aligned or not, whether or not the file system took O_DIRECT.
TEST_F(FileTest, UnbufferedReadsMatchPlainReads) {
    std::vector<std::string> folders = {m_dir.Path()};
    if (DirectoryExists("/dev/shm")) {
        folders.push_back("/dev/shm");  // tmpfs refuses O_DIRECT
    }
    const std::string data = Pattern(3 * 4096 + 123, 7);
    struct Case {
        uint64_t offset;
        size_t size;
    };
    const Case cases[] = {{0, 4096},       {4096, 8192},     {1, 100},    {4095, 2},
                          {100, 3 * 4096}, {0, data.size()}, {2048, 2048}};
    for (const std::string& folder : folders) {
        const std::string path = folder + "/unbuffered-" + std::to_string(reinterpret_cast<uintptr_t>(this)) +
                                 "-" + std::to_string(PLT::CurrentProcessId());
        WriteText(path, data);
        FileHandle f = OpenFile(path, Access::eRead, Disposition::eOpenExisting, Caching::eUnbuffered);
        ASSERT_NE(f, kInvalidFile) << folder;
        for (const Case& c : cases) {
            std::string buffer(c.size, '\0');
            size_t got = 0;
            ASSERT_TRUE(ReadAt(f, c.offset, buffer.data(), c.size, &got))
                << folder << " " << c.offset << "+" << c.size << ": " << ErrorText(LastError());
            EXPECT_EQ(buffer, data.substr(c.offset, c.size)) << folder << " " << c.offset;
        }
        std::string tail(5000, '\0');
        size_t got = 0;
        EXPECT_FALSE(ReadAt(f, data.size() - 10, tail.data(), tail.size(), &got));
        EXPECT_EQ(LastError(), kErrShortRead);
        EXPECT_EQ(got, 10u);
        EXPECT_EQ(tail.substr(0, 10), data.substr(data.size() - 10));
        CloseFile(f);

        // Unaligned writes through an unbuffered descriptor land as well.
        f = OpenFile(path, Access::eReadWrite, Disposition::eOpenExisting, Caching::eUnbuffered);
        ASSERT_NE(f, kInvalidFile);
        ASSERT_TRUE(WriteAt(f, 3, "abc", 3)) << ErrorText(LastError());
        CloseFile(f);
        EXPECT_EQ(ReadText(path).substr(0, 8), data.substr(0, 3) + "abc" + data.substr(6, 2));
        RemoveFile(path);
    }
}

// Each kind of call, n-th call counting from arming, once or from then on.
TEST_F(FileTest, FaultInjectionOnEveryOperation) {
    const std::string path = m_dir / "f.bin";
    WriteText(path, Pattern(64));
    FileHandle f = OpenFile(path, Access::eReadWrite, Disposition::eOpenExisting);
    ASSERT_NE(f, kInvalidFile);
    char buffer[8];
    int renames = 0;
    const std::string renameA = m_dir / "r0";
    WriteText(renameA, "r");

    struct OpCase {
        FaultOp op;
        const char* name;
        std::function<bool()> call;
    };
    const OpCase ops[] = {
        {FaultOp::eOpen, "open",
         [&] {
             FileHandle g = OpenFile(path, Access::eRead, Disposition::eOpenExisting);
             CloseFile(g);
             return g != kInvalidFile;
         }},
        {FaultOp::eRead, "read", [&] { return ReadAt(f, 0, buffer, sizeof(buffer)); }},
        {FaultOp::eWrite, "write", [&] { return WriteAt(f, 0, "12345678", 8); }},
        {FaultOp::eFlush, "flush", [&] { return Flush(f); }},
        {FaultOp::eRename, "rename",
         [&] {
             const std::string from = m_dir / ("r" + std::to_string(renames));
             const std::string to = m_dir / ("r" + std::to_string(renames + 1));
             if (!RenameFile(from, to)) {
                 return false;
             }
             ++renames;
             return true;
         }},
    };
    for (const OpCase& c : ops) {
        for (bool persistent : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (persistent ? " persistent" : " once"));
            InjectFault(c.op, 3, persistent);
            EXPECT_TRUE(c.call());
            EXPECT_TRUE(c.call());
            EXPECT_FALSE(c.call());
            EXPECT_EQ(LastError(), kErrInjected);
            EXPECT_EQ(c.call(), !persistent);
            EXPECT_EQ(c.call(), !persistent);
            EXPECT_EQ(InjectedFailures(c.op), persistent ? 3u : 1u);
            // Faults of one kind leave the other kinds alone.
            for (const OpCase& other : ops) {
                if (other.op != c.op) {
                    EXPECT_TRUE(other.call()) << other.name;
                }
            }
            ClearFaults();
            EXPECT_TRUE(c.call());
            EXPECT_EQ(InjectedFailures(c.op), 0u);
        }
    }
    CloseFile(f);
}

TEST_F(FileTest, FaultCountingIsExactAcrossThreads) {
    const std::string path = m_dir / "t.bin";
    WriteText(path, Pattern(16));
    FileHandle f = OpenFile(path, Access::eRead, Disposition::eOpenExisting);
    ASSERT_NE(f, kInvalidFile);
    InjectFault(FaultOp::eRead, 2500);
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            char b[4];
            for (int i = 0; i < 1000; ++i) {
                if (!ReadAt(f, 0, b, sizeof(b))) {
                    EXPECT_EQ(LastError(), kErrInjected);
                    ++failures;
                }
            }
        });
    }
    for (std::thread& t : threads) {
        t.join();
    }
    CloseFile(f);
    EXPECT_EQ(failures.load(), 1);
    EXPECT_EQ(InjectedFailures(FaultOp::eRead), 1u);
}

TEST_F(FileTest, WriteWholeFileFailureKeepsTheOldFile) {
    const std::string path = m_dir / "side.txt";
    ASSERT_TRUE(WriteWholeFile(path, "old", 3));
    for (FaultOp op : {FaultOp::eOpen, FaultOp::eWrite, FaultOp::eFlush, FaultOp::eRename}) {
        SCOPED_TRACE(static_cast<int>(op));
        InjectFault(op, 1);
        EXPECT_FALSE(WriteWholeFile(path, "new content", 11));
        EXPECT_EQ(LastError(), kErrInjected);
        EXPECT_EQ(ReadText(path), "old");
        std::vector<std::string> names;
        ASSERT_TRUE(ListDirectory(m_dir.Path(), &names));
        EXPECT_EQ(names, std::vector<std::string>{"side.txt"});  // no temporary left behind
    }
    ASSERT_TRUE(WriteWholeFile(path, "new content", 11));
    std::string back;
    ASSERT_TRUE(ReadWholeFile(path, &back));
    EXPECT_EQ(back, "new content");
    EXPECT_FALSE(ReadWholeFile(m_dir / "absent", &back));
    EXPECT_EQ(LastError(), ENOENT);
}

TEST_F(FileTest, CopyFileBothPathsFailIfExistsAndFaults) {
    const std::string from = m_dir / "src";
    const std::string to = m_dir / "dst";
    for (bool fallback : {false, true}) {
        DisableCopyFileRange(fallback);
        for (size_t size : {size_t{0}, size_t{1}, size_t{(3u << 20) + 7}}) {
            SCOPED_TRACE(std::to_string(size) + (fallback ? " read/write" : " copy_file_range"));
            const std::string data = Pattern(size, static_cast<unsigned>(size));
            WriteText(from, data);
            WriteText(to, "previous");

            EXPECT_FALSE(CopyFile(from, to, true));
            EXPECT_EQ(LastError(), kErrExists);
            EXPECT_EQ(ReadText(to), "previous");

            // A failing copy keeps the destination as it was.
            InjectFault(size == 0 ? FaultOp::eOpen : FaultOp::eWrite, 1);
            EXPECT_FALSE(CopyFile(from, to, false));
            EXPECT_EQ(LastError(), kErrInjected);
            EXPECT_EQ(ReadText(to), "previous");
            ClearFaults();

            ASSERT_TRUE(CopyFile(from, to, false)) << ErrorText(LastError());
            EXPECT_TRUE(ReadText(to) == data);

            ASSERT_TRUE(RemoveFile(to));
            InjectFault(size == 0 ? FaultOp::eOpen : FaultOp::eRead, 1);
            EXPECT_FALSE(CopyFile(from, to, true));
            EXPECT_FALSE(FileExists(to));  // the half copy is removed
            ClearFaults();
            ASSERT_TRUE(CopyFile(from, to, true));
            EXPECT_TRUE(ReadText(to) == data);

            std::vector<std::string> names;
            ASSERT_TRUE(ListDirectory(m_dir.Path(), &names));
            EXPECT_EQ(names, (std::vector<std::string>{"dst", "src"}));
        }
    }
    EXPECT_FALSE(CopyFile(m_dir / "absent", to, false));
    EXPECT_EQ(LastError(), ENOENT);
    EXPECT_FALSE(CopyFile(m_dir.Path(), m_dir / "dir-copy", false));
    EXPECT_FALSE(FileExists(m_dir / "dir-copy"));
}

TEST_F(FileTest, DirectoriesListSortedAndMakeDirectoryReportsExisting) {
    for (const char* name : {"b", "a", ".hidden", "C", "a.key"}) {
        WriteText(m_dir / name, name);
    }
    ASSERT_TRUE(MakeDirectory(m_dir / "sub"));
    std::vector<std::string> names;
    ASSERT_TRUE(ListDirectory(m_dir.Path(), &names));
    EXPECT_EQ(names, (std::vector<std::string>{".hidden", "C", "a", "a.key", "b", "sub"}));
    EXPECT_FALSE(ListDirectory(m_dir / "absent", &names));
    EXPECT_EQ(LastError(), ENOENT);
    EXPECT_TRUE(names.empty());

    EXPECT_FALSE(MakeDirectory(m_dir / "sub"));
    EXPECT_EQ(LastError(), kErrExists);
    EXPECT_FALSE(MakeDirectory(m_dir / "absent/sub"));
    EXPECT_EQ(LastError(), ENOENT);

    ASSERT_TRUE(MakeDirectories(m_dir / "x/y/z"));
    ASSERT_TRUE(MakeDirectories(m_dir / "x/y/z"));
    EXPECT_TRUE(DirectoryExists(m_dir / "x/y/z"));
    EXPECT_FALSE(MakeDirectories(m_dir / "a/below-a-file"));
}

// Memory files take every path and handle call a disk file takes, and a
// handle to one sees the bytes without any file on disk.
TEST_F(FileTest, MemoryFilesBehaveAsFilesWithoutTouchingTheDisk) {
    const std::string data = Pattern(5000, 3);
    const std::string path = std::string(kMemoryPrefix) + "set/world.bf";
    EXPECT_FALSE(SetMemoryFile("world.bf", data.data(), data.size()));  // outside the namespace
    EXPECT_EQ(LastError(), EINVAL);
    ASSERT_TRUE(SetMemoryFile(path, data.data(), data.size()));
    EXPECT_TRUE(FileExists(path));
    EXPECT_FALSE(std::filesystem::exists(path));
    uint64_t size = 0;
    ASSERT_TRUE(GetPathSize(path, &size));
    EXPECT_EQ(size, data.size());

    FileHandle f = OpenFile(path, Access::eRead, Disposition::eOpenExisting, Caching::eUnbuffered);
    ASSERT_NE(f, kInvalidFile);
    std::string back(100, '\0');
    ASSERT_TRUE(ReadAt(f, 4900, back.data(), back.size()));
    EXPECT_EQ(back, data.substr(4900));
    EXPECT_FALSE(ReadAt(f, 4901, back.data(), back.size()));
    EXPECT_EQ(LastError(), kErrShortRead);
    EXPECT_FALSE(WriteAt(f, 0, "x", 1));  // opened for reading only

    // New content reaches handles already open, as a file rewritten in place.
    ASSERT_TRUE(SetMemoryFile(path, "abc", 3));
    ASSERT_TRUE(GetFileSize(f, &size));
    EXPECT_EQ(size, 3u);
    CloseFile(f);

    // Creating in the namespace makes a file, writes land in memory, and the
    // whole-file helpers, rename and remove follow.
    const std::string made = std::string(kMemoryPrefix) + "set/world.big1";
    EXPECT_EQ(OpenFile(made, Access::eReadWrite, Disposition::eOpenExisting), kInvalidFile);
    EXPECT_EQ(LastError(), ENOENT);
    f = OpenFile(made, Access::eReadWrite, Disposition::eCreateAlways);
    ASSERT_NE(f, kInvalidFile);
    ASSERT_TRUE(WriteAt(f, 10, "hello", 5));
    ASSERT_TRUE(Flush(f));
    CloseFile(f);
    std::string whole;
    ASSERT_TRUE(ReadWholeFile(made, &whole));
    EXPECT_EQ(whole, std::string(10, '\0') + "hello");
    ASSERT_TRUE(WriteWholeFile(made, "new", 3));
    const std::string moved = std::string(kMemoryPrefix) + "moved";
    ASSERT_TRUE(RenameFile(made, moved));
    EXPECT_FALSE(FileExists(made));
    ASSERT_TRUE(ReadWholeFile(moved, &whole));
    EXPECT_EQ(whole, "new");
    EXPECT_TRUE(RemoveFile(moved));
    EXPECT_FALSE(RemoveFile(moved));

    // A nameless memory file.
    f = OpenMemoryFile(data.data(), data.size());
    ASSERT_NE(f, kInvalidFile);
    ASSERT_TRUE(GetFileSize(f, &size));
    EXPECT_EQ(size, data.size());
    CloseFile(f);

    ClearMemoryFiles();
    EXPECT_FALSE(FileExists(path));
}

TEST_F(FileTest, ChangeDirectoryRoundTrip) {
    const std::string before = CurrentDirectory();
    ASSERT_FALSE(before.empty());
    ASSERT_TRUE(ChangeDirectory(m_dir.Path()));
    EXPECT_EQ(std::filesystem::path(CurrentDirectory()), std::filesystem::canonical(m_dir.Path()));
    ASSERT_TRUE(ChangeDirectory(before));
    EXPECT_FALSE(ChangeDirectory(m_dir / "absent"));
    EXPECT_EQ(LastError(), ENOENT);
}

}  // namespace
}  // namespace PLT
