#include "platform/Thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <string>

#include "platform/Memory.h"

namespace PLT {
namespace {

TEST(SemaphoreTest, CountsTimesOutAndRespectsItsMaximum) {
    Semaphore sem(1, 3);
    EXPECT_TRUE(sem.Wait(0));
    EXPECT_FALSE(sem.Wait(0));
    EXPECT_FALSE(sem.Wait(30));  // times out
    EXPECT_TRUE(sem.Post(3));
    EXPECT_FALSE(sem.Post(1));  // beyond the maximum: refused, count unchanged
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(sem.Wait(0));
    }
    EXPECT_FALSE(sem.Wait(0));
}

TEST(SemaphoreTest, WakesAWaiterOnAnotherThread) {
    Semaphore request;
    Semaphore reply;
    std::atomic<int> served{0};
    Thread worker;
    ASSERT_TRUE(worker.Start("sem-worker", [&] {
        for (int i = 0; i < 100; ++i) {
            ASSERT_TRUE(request.Wait());
            ++served;
            reply.Post();
        }
    }));
    for (int i = 0; i < 100; ++i) {
        request.Post();
        ASSERT_TRUE(reply.Wait(10000));
    }
    worker.Join();
    EXPECT_FALSE(worker.Joinable());
    EXPECT_EQ(served.load(), 100);
}

TEST(ThreadTest, NamesTheThreadAndRefusesASecondStart) {
    Thread thread;
    std::string seen;
    uint64_t id = 0;
    Semaphore started;
    Semaphore release;
    ASSERT_TRUE(thread.Start("a-very-long-thread-name", [&] {
        id = CurrentThreadId();
        std::ifstream comm("/proc/self/task/" + std::to_string(id) + "/comm");
        std::getline(comm, seen);
        started.Post();
        release.Wait();
    }));
    ASSERT_TRUE(started.Wait(10000));
    EXPECT_TRUE(thread.Joinable());
    EXPECT_FALSE(thread.Start("second", [] {}));
    release.Post();
    thread.Join();
    EXPECT_EQ(seen, "a-very-long-thr");
    EXPECT_NE(id, CurrentThreadId());
}

TEST(ThreadTest, CriticalSectionIsReentrantAndExcludesOthers) {
    CriticalSection cs;
    int counter = 0;
    // Clang's analysis knows no re-entrant capabilities: nesting is the point here.
    auto body = [&]() PLT_NO_THREAD_SAFETY_ANALYSIS {
        for (int i = 0; i < 10000; ++i) {
            ScopedLock<CriticalSection> outer(cs);
            ScopedLock<CriticalSection> inner(cs);
            ++counter;
        }
    };
    Thread a;
    Thread b;
    ASSERT_TRUE(a.Start("cs-a", body));
    ASSERT_TRUE(b.Start("cs-b", body));
    a.Join();
    b.Join();
    EXPECT_EQ(counter, 20000);
}

TEST(MemoryTest, PagesAreAlignedZeroedAndWritable) {
    const size_t page = PageSize();
    ASSERT_GE(page, 4096u);
    EXPECT_EQ(AllocPages(0), nullptr);
    for (size_t size : {size_t{1}, page, page + 1, 5 * page}) {
        auto* block = static_cast<uint8_t*>(AllocPages(size));
        ASSERT_NE(block, nullptr);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(block) % page, 0u);
        const size_t rounded = (size + page - 1) / page * page;
        for (size_t i = 0; i < rounded; i += 512) {
            EXPECT_EQ(block[i], 0u);
            block[i] = 0xA5;
        }
        block[rounded - 1] = 1;  // the rounding is usable
        FreePages(block, size);
    }
    FreePages(nullptr, 10);
}

}  // namespace
}  // namespace PLT
