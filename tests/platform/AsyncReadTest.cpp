#include "platform/AsyncRead.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fstream>
#include <memory>
#include <mutex>
#include <set>
#include <vector>

#include "platform/FaultInjection.h"
#include "platform/Memory.h"
#include "platform/Thread.h"
#include "tests/platform/TempDir.h"

namespace PLT {
namespace {

struct Result {
    bool done = false;
    bool ok = false;
    size_t transferred = 0;
    int error = 0;
    uint64_t thread = 0;
};

class AsyncReadTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_data.resize(1 << 20);
        uint32_t x = 12345;
        for (char& c : m_data) {
            x = x * 1664525u + 1013904223u;
            c = static_cast<char>(x >> 24);
        }
        m_path = m_dir / "data.bin";
        test::WriteText(m_path, m_data);
    }
    void TearDown() override { ClearFaults(); }

    // A completion that records into results[user] and counts down `done`.
    AsyncReadCompletion Recorder(std::vector<Result>* results, Semaphore* done) {
        return [this, results, done](const AsyncReadRequest& r, bool ok, size_t transferred, int error) {
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                Result& slot = (*results)[r.user];
                EXPECT_FALSE(slot.done) << "posted twice";
                slot = Result{true, ok, transferred, error, CurrentThreadId()};
                std::ifstream comm("/proc/self/task/" + std::to_string(slot.thread) + "/comm");
                std::getline(comm, threadName);
            }
            done->Post();
        };
    }

    test::TempDir m_dir;
    std::string m_path;
    std::string m_data;
    std::mutex m_mutex;
    std::string threadName;  // of the thread that posted the last completion
};

TEST_F(AsyncReadTest, CompletesManyReadsWithTheRightBytes) {
    for (Caching caching : {Caching::eNormal, Caching::eUnbuffered}) {
        SCOPED_TRACE(static_cast<int>(caching));
        FileHandle f = OpenFile(m_path, Access::eRead, Disposition::eOpenExisting, caching);
        ASSERT_NE(f, kInvalidFile);
        constexpr size_t kReads = 400;
        std::vector<Result> results(kReads);
        std::vector<std::unique_ptr<uint8_t, std::function<void(uint8_t*)>>> buffers;
        std::vector<AsyncReadRequest> requests;
        Semaphore done;
        {
            AsyncReadDevice device("test-reader");
            uint32_t x = 99;
            for (size_t i = 0; i < kReads; ++i) {
                x = x * 1664525u + 1013904223u;
                AsyncReadRequest r;
                r.file = f;
                // Every fourth read is 2048-aligned in page memory; the rest are
                // arbitrary; the last runs past the end of the file.
                const bool aligned = i % 4 == 0;
                r.size = aligned ? 2048u * (1 + x % 8) : 1 + x % 20000;
                r.offset = aligned ? 2048u * (x % 500) : x % (m_data.size() - r.size);
                if (i == kReads - 1) {
                    r.offset = m_data.size() - 100;
                    r.size = 4096;
                }
                const size_t size = r.size;
                buffers.emplace_back(static_cast<uint8_t*>(AllocPages(size)),
                                     [size](uint8_t* p) { FreePages(p, size); });
                r.buffer = buffers.back().get();
                r.user = i;
                requests.push_back(r);
                ASSERT_TRUE(device.Submit(r, Recorder(&results, &done)));
            }
            for (size_t i = 0; i < kReads; ++i) {
                ASSERT_TRUE(done.Wait(30000));
            }
        }
        std::set<uint64_t> threads;
        for (size_t i = 0; i < kReads; ++i) {
            const AsyncReadRequest& r = requests[i];
            const Result& got = results[i];
            ASSERT_TRUE(got.done);
            ASSERT_TRUE(got.ok) << i << ": " << ErrorText(got.error);
            const size_t expected = std::min<size_t>(r.size, m_data.size() - r.offset);
            ASSERT_EQ(got.transferred, expected) << i;
            EXPECT_EQ(got.error, expected < r.size ? kErrShortRead : 0);
            EXPECT_EQ(std::string(static_cast<const char*>(r.buffer), expected),
                      m_data.substr(r.offset, expected))
                << i;
            threads.insert(got.thread);
        }
        ASSERT_EQ(threads.size(), 1u);
        EXPECT_EQ(threads.count(CurrentThreadId()), 0u);
        EXPECT_EQ(threadName, "test-reader");
        CloseFile(f);
    }
}

TEST_F(AsyncReadTest, CancelPendingFailsReadsNotYetStarted) {
    FileHandle f = OpenFile(m_path, Access::eRead, Disposition::eOpenExisting);
    ASSERT_NE(f, kInvalidFile);
    constexpr size_t kReads = 50;
    std::vector<Result> results(kReads + 1);
    std::vector<char> buffer((kReads + 1) * 16);
    Semaphore done;
    Semaphore gateEntered;
    Semaphore gate;
    AsyncReadDevice device;
    AsyncReadRequest first{f, 0, buffer.data(), 16, kReads};
    // The first completion holds the device thread until the rest is queued and cancelled.
    auto record = Recorder(&results, &done);
    ASSERT_TRUE(device.Submit(first, [&](const AsyncReadRequest& r, bool ok, size_t n, int e) {
        gateEntered.Post();
        gate.Wait();
        record(r, ok, n, e);
    }));
    ASSERT_TRUE(gateEntered.Wait(10000));
    for (size_t i = 0; i < kReads; ++i) {
        ASSERT_TRUE(device.Submit(AsyncReadRequest{f, i * 16, buffer.data() + i * 16, 16, i}, record));
    }
    EXPECT_EQ(device.Pending(), kReads + 1);
    device.CancelPending();
    gate.Post();
    for (size_t i = 0; i <= kReads; ++i) {
        ASSERT_TRUE(done.Wait(10000));
    }
    EXPECT_TRUE(results[kReads].ok);
    for (size_t i = 0; i < kReads; ++i) {
        EXPECT_FALSE(results[i].ok) << i;
        EXPECT_EQ(results[i].error, ECANCELED) << i;
        EXPECT_EQ(results[i].transferred, 0u);
    }
    // The device keeps serving reads submitted after the cancel.
    std::vector<Result> later(1);
    ASSERT_TRUE(device.Submit(AsyncReadRequest{f, 32, buffer.data(), 16, 0}, Recorder(&later, &done)));
    ASSERT_TRUE(done.Wait(10000));
    EXPECT_TRUE(later[0].ok);
    EXPECT_EQ(std::string(buffer.data(), 16), m_data.substr(32, 16));
    CloseFile(f);
}

TEST_F(AsyncReadTest, DestructionDrainsAndFaultsReachTheDevice) {
    FileHandle f = OpenFile(m_path, Access::eRead, Disposition::eOpenExisting);
    ASSERT_NE(f, kInvalidFile);
    constexpr size_t kReads = 200;
    std::vector<Result> results(kReads);
    std::vector<char> buffer(kReads * 8);
    Semaphore done;
    InjectFault(FaultOp::eRead, 3);
    {
        AsyncReadDevice device;
        for (size_t i = 0; i < kReads; ++i) {
            ASSERT_TRUE(device.Submit(AsyncReadRequest{f, i * 8, buffer.data() + i * 8, 8, i},
                                      Recorder(&results, &done)));
        }
    }
    for (size_t i = 0; i < kReads; ++i) {
        ASSERT_TRUE(results[i].done) << i;
        EXPECT_EQ(results[i].ok, i != 2) << i;
    }
    EXPECT_EQ(results[2].error, kErrInjected);
    EXPECT_EQ(std::string(buffer.data() + 8 * 7, 8), m_data.substr(8 * 7, 8));
    CloseFile(f);
}

TEST_F(AsyncReadTest, CompletionsMaySubmitAndBadDescriptorsFail) {
    FileHandle f = OpenFile(m_path, Access::eRead, Disposition::eOpenExisting);
    ASSERT_NE(f, kInvalidFile);
    AsyncReadDevice device;
    Semaphore done;
    char buffer[64];
    int chained = 0;
    std::function<void(const AsyncReadRequest&, bool, size_t, int)> next;
    next = [&](const AsyncReadRequest& r, bool ok, size_t, int) {
        EXPECT_TRUE(ok);
        if (++chained < 10) {
            EXPECT_TRUE(device.Submit(AsyncReadRequest{f, r.offset + 64, buffer, 64, 0}, next));
        } else {
            done.Post();
        }
    };
    ASSERT_TRUE(device.Submit(AsyncReadRequest{f, 0, buffer, 64, 0}, next));
    ASSERT_TRUE(done.Wait(10000));
    EXPECT_EQ(std::string(buffer, 64), m_data.substr(9 * 64, 64));

    int error = 0;
    ASSERT_TRUE(device.Submit(AsyncReadRequest{kInvalidFile, 0, buffer, 64, 0},
                              [&](const AsyncReadRequest&, bool ok, size_t, int e) {
                                  EXPECT_FALSE(ok);
                                  error = e;
                                  done.Post();
                              }));
    ASSERT_TRUE(done.Wait(10000));
    EXPECT_EQ(error, EBADF);
    CloseFile(f);
}

}  // namespace
}  // namespace PLT
