// The asynchronous I/O manager end to end: the read launcher, the platform's
// asynchronous device, read buffers and delivery on the pumping thread, over a
// plain file whose local offsets equal its global ones.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "BIGfile/AsynchronousIO/BIG_AsynchronousIOManager.h"
#include "BIGfile/AsynchronousIO/BIG_BufferManager.h"
#include "BIGfile/AsynchronousIO/BIG_ReadTarget.h"
#include "BIGfile/BIG_FBuff.h"
#include "BIGfile/BIG_TimeBudget.h"
#include "ERRor/ERR_Assert.h"
#include "ERRor/ERR_Log.h"
#include "platform/Clock.h"
#include "platform/File.h"
#include "tests/support/LogCapture.h"
#include "platform/Process.h"

namespace {

constexpr uint32_t kMain = BIG::kMainBigfile;
constexpr uint64_t kGran = 65536;

using AsyncManagerLog = test_support::LogCapture;

// One plain file read through the device: a single segment from 0 to its size.
class PlainFileTarget : public BIG::ReadTarget {
public:
    PlainFileTarget(PLT::FileHandle file, uint64_t size) : m_file(file), m_size(size) {}
    bool bAlign(uint64_t start, uint64_t end, bool forward, uint32_t factor, BIG::AlignedRead* out) override {
        if (!bIsValidRange(start, end))
            return false;
        const uint64_t block = kGran * factor;
        uint64_t a = start / block * block;
        uint64_t b = (end + block - 1) / block * block;
        if (b - a < kGran) {
            if (forward)
                b = a + kGran;
            else
                a = b > kGran ? b - kGran : 0;
        }
        out->ull_Start = a;
        out->ull_End = std::min(b, m_size);
        out->ull_LocalStart = a;
        out->ull_LocalSize = b - a;
        out->ull_Skip = 0;
        out->h_File = m_file;
        return true;
    }
    bool bIsValidRange(uint64_t start, uint64_t end) override { return start < m_size && end <= m_size; }
    uint32_t ul_GetGranularity() override { return kGran; }
    uint32_t ul_GetAlignmentShift() override { return 3; }

private:
    PLT::FileHandle m_file;
    uint64_t m_size;
};

// Byte i of the test file is a function of i, so any slice can be checked.
uint8_t ByteAt(uint64_t i) {
    return static_cast<uint8_t>((i * 131) ^ (i >> 9));
}

struct Delivery {
    uint32_t user;
    bool failed;
    std::vector<uint8_t> bytes;
};

class AsyncManagerTest : public ::testing::Test {
protected:
    static constexpr uint64_t kFileSize = 3 * 1024 * 1024 + 1000;

    void SetUp() override {
        ERR_SetInteractive(false);
        m_path = (std::filesystem::temp_directory_path() /
                  ("orvex-asyncio-" + std::to_string(reinterpret_cast<uintptr_t>(this)) + "-" +
                   std::to_string(PLT::CurrentProcessId()) + ".bin"))
                     .string();
        std::vector<uint8_t> data(kFileSize);
        for (uint64_t i = 0; i < kFileSize; ++i)
            data[i] = ByteAt(i);
        ASSERT_TRUE(PLT::WriteWholeFile(m_path, data.data(), data.size()));
        m_file = PLT::OpenFile(m_path, PLT::Access::eRead, PLT::Disposition::eOpenExisting);
        ASSERT_NE(m_file, PLT::kInvalidFile);
        m_manager = std::make_unique<BIG_cl_AsynchronousIOManager>();
        m_manager->SetReadTarget(kMain, std::make_shared<PlainFileTarget>(m_file, kFileSize));
        m_callback = m_manager->i_RegisterCallback([this](BIG::FBuff* data, bool failed, uint32_t user) {
            Delivery d{user, failed, {}};
            if (data != nullptr) {
                d.bytes.assign(data->pc_GetData(), data->pc_GetData() + data->ul_GetSize());
                data->Release();
            }
            m_deliveries.push_back(std::move(d));
        });
        ASSERT_EQ(m_callback, 0);
    }

    void TearDown() override {
        m_manager.reset();
        PLT::CloseFile(m_file);
        PLT::RemoveFile(m_path);
    }

    bool bAdd(uint64_t byteStart, uint32_t size, uint32_t user, uint32_t queue = 1, bool immediate = true) {
        return m_manager->bAddReadRequest(static_cast<uint32_t>(byteStart >> 3), size, user,
                                          static_cast<uint32_t>(m_callback), immediate, kMain, queue);
    }

    // Pumps until `count` deliveries arrived (bounded, so a lost request fails
    // the test instead of hanging it).
    void PumpUntil(size_t count) {
        for (int i = 0; i < 20000 && m_deliveries.size() < count; ++i) {
            m_manager->TreatFinishedReads();
            if (m_deliveries.size() < count)
                PLT::SleepMs(1);
        }
        ASSERT_EQ(m_deliveries.size(), count);
    }

    void ExpectBytes(const Delivery& d, uint64_t byteStart, uint32_t size) {
        ASSERT_FALSE(d.failed) << d.user;
        ASSERT_EQ(d.bytes.size(), size) << d.user;
        for (uint32_t i = 0; i < size; ++i)
            ASSERT_EQ(d.bytes[i], ByteAt(byteStart + i)) << "user " << d.user << " byte " << i;
    }

    const Delivery* Find(uint32_t user) const {
        for (const Delivery& d : m_deliveries)
            if (d.user == user)
                return &d;
        return nullptr;
    }

    std::string m_path;
    PLT::FileHandle m_file = PLT::kInvalidFile;
    std::unique_ptr<BIG_cl_AsynchronousIOManager> m_manager;
    int m_callback = -1;
    std::vector<Delivery> m_deliveries;
};

TEST_F(AsyncManagerTest, DeliversTheRequestedBytesOfEveryQueue) {
    struct Ask {
        uint64_t start;
        uint32_t size;
        uint32_t queue;
    };
    const Ask asks[] = {
        {0, 4, 1},
        {8, 100, 1},
        {2 * 1024 * 1024, 70000, 2},
        {640, 8, 0},
        {3 * 1024 * 1024, 1000, 6},
        {1024 * 1024 + 16, 4, 3},
        {kFileSize - 8, 8, 0},
    };
    uint32_t user = 100;
    for (const Ask& a : asks)
        ASSERT_TRUE(bAdd(a.start, a.size, user++, a.queue));
    PumpUntil(std::size(asks));
    user = 100;
    for (const Ask& a : asks) {
        const Delivery* d = Find(user++);
        ASSERT_NE(d, nullptr);
        ExpectBytes(*d, a.start, a.size);
    }
    EXPECT_EQ(m_manager->ul_GetRequestCount(), 0u);
}

TEST_F(AsyncManagerTest, HeldRangeCompletesWithoutANewRead) {
    ASSERT_TRUE(bAdd(4096, 16, 1));
    PumpUntil(1);
    const uint32_t reads = m_manager->ul_GetReadCount();
    EXPECT_GE(reads, 1u);

    // Allowed: the callback runs inside the call.
    ASSERT_TRUE(bAdd(4096 + 64, 32, 2));
    ASSERT_EQ(m_deliveries.size(), 2u);
    ExpectBytes(m_deliveries[1], 4096 + 64, 32);

    // Not allowed: it waits for the next treatment, still without a read.
    ASSERT_TRUE(bAdd(8000, 8, 3, 1, false));
    EXPECT_EQ(m_deliveries.size(), 2u);
    EXPECT_EQ(m_manager->ul_GetRequestCount(), 1u);
    m_manager->TreatFinishedReads();
    ASSERT_EQ(m_deliveries.size(), 3u);
    ExpectBytes(m_deliveries[2], 8000, 8);
    EXPECT_EQ(m_manager->ul_GetReadCount(), reads);

    BIG::FBuff* found = m_manager->po_FindData(4096 >> 3, 64, kMain);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->pc_GetData()[0], ByteAt(4096));
    found->Release();
    EXPECT_EQ(m_manager->po_FindData(static_cast<uint32_t>((2 * 1024 * 1024) >> 3), 8, kMain), nullptr);

    // Without data reuse the same bytes are read again.
    m_manager->SetDataReuse(false);
    ASSERT_TRUE(bAdd(4096, 16, 4));
    EXPECT_EQ(m_deliveries.size(), 3u);
    PumpUntil(4);
    EXPECT_GT(m_manager->ul_GetReadCount(), reads);
}

TEST_F(AsyncManagerTest, PauseCountsAndResumeWithoutPauseAsserts) {
    AsyncManagerLog log;
    m_manager->ResumeReading();
    EXPECT_TRUE(log.bContains("BIG_cl_AsynchronousIOManager::ResumeReading: AIO manager not paused!"));
    m_manager->PauseReading();
    m_manager->PauseReading();
    ASSERT_TRUE(bAdd(0, 64, 1));
    PLT::SleepMs(30);
    m_manager->TreatFinishedReads();
    m_manager->ResumeReading();
    EXPECT_TRUE(m_manager->bIsPaused());
    PLT::SleepMs(30);
    m_manager->TreatFinishedReads();
    EXPECT_TRUE(m_deliveries.empty());
    EXPECT_EQ(m_manager->ul_GetReadCount(), 0u);
    m_manager->ResumeReading();
    EXPECT_FALSE(m_manager->bIsPaused());
    PumpUntil(1);
    ExpectBytes(m_deliveries[0], 0, 64);
}

TEST_F(AsyncManagerTest, AtMostFourCallbacks) {
    AsyncManagerLog log;
    for (int expected = 1; expected < 4; ++expected)
        EXPECT_EQ(m_manager->i_RegisterCallback([](BIG::FBuff*, bool, uint32_t) {}), expected);
    EXPECT_EQ(m_manager->i_RegisterCallback([](BIG::FBuff*, bool, uint32_t) {}), -1);
    EXPECT_TRUE(log.bContains("BIG_cl_AsynchronousIOManager::iRegisterCallback: Too many callback"));
}

TEST_F(AsyncManagerTest, RefusedRequestsQueueNothing) {
    AsyncManagerLog log;
    EXPECT_FALSE(bAdd(0, 4, 1, 7));
    EXPECT_TRUE(log.bContains("Invalid input parameter!"));
    EXPECT_FALSE(m_manager->bAddReadRequest(0, 4, 1, 0, true, 5, 1));
    EXPECT_TRUE(log.bContains("Bigfile at index 5 is null"));
    EXPECT_FALSE(m_manager->bAddReadRequest(0, 0x10000000, 1, 0, true, kMain, 1));
    EXPECT_TRUE(log.bContains("Size too big, the value will be lost!"));
    EXPECT_FALSE(m_manager->bAddReadRequest(0, 0, 1, 0, true, kMain, 1));
    EXPECT_FALSE(m_manager->bAddReadRequest(0, 4, 1, 8, true, kMain, 1));
    EXPECT_TRUE(log.bContains("Callback index too big, the value will be lost!"));
    EXPECT_EQ(m_manager->ul_GetRequestCount(), 0u);
}

TEST_F(AsyncManagerTest, BytesPastTheEndAndUnreadableRangesFail) {
    AsyncManagerLog log;
    // Inside the last block but past the file's end: the device reads short.
    auto shortTarget = std::make_shared<PlainFileTarget>(m_file, kFileSize + 4096);
    m_manager->SetReadTarget(kMain, shortTarget);
    ASSERT_TRUE(bAdd(kFileSize + 8, 8, 1));
    // Outside the container entirely: never launched.
    ASSERT_TRUE(bAdd(kFileSize + 8192, 8, 2, 0));
    ASSERT_TRUE(bAdd(kFileSize - 16, 8, 3));
    PumpUntil(3);
    EXPECT_TRUE(Find(1)->failed);
    EXPECT_TRUE(Find(1)->bytes.empty());
    EXPECT_TRUE(Find(2)->failed);
    ExpectBytes(*Find(3), kFileSize - 16, 8);
    EXPECT_TRUE(log.bContains("eAlignOffsets failed!"));
}

TEST_F(AsyncManagerTest, SpentBudgetPostponesDeliveryAndDropsCanceledRequests) {
    ASSERT_TRUE(bAdd(0, 8, 1));
    PumpUntil(1);
    std::vector<uint32_t> canceled = {3};
    m_manager->RegisterCancelQuery(
        [&](uint32_t user) { return std::find(canceled.begin(), canceled.end(), user) != canceled.end(); });
    ASSERT_TRUE(bAdd(16, 8, 2, 1, false));
    ASSERT_TRUE(bAdd(32, 8, 3, 2, false));
    double now = 0.0;
    BIG_cl_TimeBudget budget(0.005, 0.033, [&] { return now; });
    now = 1.0;  // far past the frame limit and the minimum slice
    m_manager->TreatFinishedReads(&budget);
    EXPECT_EQ(m_deliveries.size(), 1u);
    EXPECT_EQ(m_manager->ul_GetRequestCount(), 1u) << "the canceled request is dropped";
    budget.StartFrame();
    budget.StartSlice();
    m_manager->TreatFinishedReads(&budget);
    ASSERT_EQ(m_deliveries.size(), 2u);
    ExpectBytes(m_deliveries[1], 16, 8);
    EXPECT_EQ(Find(3), nullptr);
}

TEST_F(AsyncManagerTest, ManySmallRequestsMergeIntoFewReads) {
    const uint32_t count = 2000;
    for (uint32_t i = 0; i < count; ++i)
        ASSERT_TRUE(bAdd(static_cast<uint64_t>(i) * 1024, 8, i, 1 + i % 6, false));
    PumpUntil(count);
    for (const Delivery& d : m_deliveries)
        ExpectBytes(d, static_cast<uint64_t>(d.user) * 1024, 8);
    EXPECT_LE(m_manager->ul_GetReadCount(), 40u) << "2 MB of neighbours needs a handful of merged reads";
}

TEST_F(AsyncManagerTest, FlushEmptiesBuffersThatNobodyUses) {
    ASSERT_TRUE(bAdd(0, 8, 1));
    PumpUntil(1);
    BIG::FBuff* kept = m_manager->po_FindData(0, 8, kMain);
    ASSERT_NE(kept, nullptr);
    m_manager->Flush();
    EXPECT_EQ(kept->pc_GetData()[0], ByteAt(0)) << "a used buffer keeps its bytes";
    EXPECT_EQ(m_manager->po_FindData(0, 8, kMain), nullptr) << "but serves no new request";
    kept->Release();
    m_manager->TreatFinishedReads();
    EXPECT_EQ(m_manager->GetBufferManager().ul_GetAllocated(0), 0u);
}

TEST_F(AsyncManagerTest, LoadOrderingSwitchesPoliciesOnlyOnRequest) {
    AsyncManagerLog log;
    m_manager->DeactivateLoadOrdering(6, true);
    EXPECT_TRUE(log.bContains("Can't deactivate load ordering if optimization is not activated!"));
    m_manager->ActivateLoadOrdering(6);
    EXPECT_TRUE(m_manager->bIsLoadOrderingActive(6));
    ASSERT_TRUE(bAdd(4096, 8, 1, 6));
    PumpUntil(1);
    ExpectBytes(m_deliveries[0], 4096, 8);
    m_manager->PauseReading();
    ASSERT_TRUE(bAdd(1 << 20, 8, 2, 6));
    m_manager->DeactivateLoadOrdering(6, true);
    EXPECT_TRUE(
        log.bContains("Can't deactivate load ordering if there are still some requests in the queue!"));
    m_manager->ResumeReading();
    PumpUntil(2);
    m_manager->DeactivateLoadOrdering(6, true);
    EXPECT_FALSE(m_manager->bIsLoadOrderingActive(6));
}

}  // namespace
