#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "DesignPaTterns/DPT_RefCounted.h"
#include "DesignPaTterns/DPT_Singleton.h"
#include "ErrTestSupport.h"

namespace {

class Tracked : public DPT::RefCounted {
public:
    explicit Tracked(int* deletions) : m_deletions(deletions) {}
    ~Tracked() override { ++*m_deletions; }

private:
    int* m_deletions;
};

class RefCountedTest : public ::testing::Test {
protected:
    void SetUp() override { ResetErrorState(); }
    void TearDown() override { ResetErrorState(); }
};

TEST_F(RefCountedTest, DeletesWhenTheLastReferenceGoes) {
    int deletions = 0;
    auto* object = new Tracked(&deletions);
    EXPECT_EQ(object->uw_GetRefCount(), 0);
    EXPECT_EQ(object->ul_GetAllocParam(), 0u);
    EXPECT_EQ(object->uw_GetAllocParam(), 0);
    object->AddRef();
    object->AddRef();
    object->Release();
    EXPECT_EQ(deletions, 0);
    EXPECT_EQ(object->uw_GetRefCount(), 1);
    object->Release();
    EXPECT_EQ(deletions, 1);
    EXPECT_EQ(ERR_rJournal().Size(), 0u) << "a balanced release asserts nothing";
}

TEST_F(RefCountedTest, ReleaseAtZeroAssertsAndWrapsWithoutDeleting) {
    int deletions = 0;
    Tracked object(&deletions);  // never deleted through Release: it lives on the stack
    LogCapture capture;
    object.Release();
    EXPECT_EQ(object.uw_GetRefCount(), 0xFFFF);
    EXPECT_EQ(deletions, 0);
    auto records = capture.Records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_NE(records[0].text.find("#Assert:  Assert In file '"), std::string::npos);
    EXPECT_NE(records[0].text.find("Invalid reference count! - User clicked on Continue."),
              std::string::npos);
    std::vector<std::string> texts = JournalTexts();
    ASSERT_GE(texts.size(), 3u);
    EXPECT_EQ(texts[0], "Assert");
    EXPECT_EQ(texts[2], "Invalid reference count!");
}

TEST_F(RefCountedTest, CountersAreSafeAcrossThreads) {
    int deletions = 0;
    auto* object = new Tracked(&deletions);
    object->AddRef();
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([object] {
            for (int i = 0; i < 10000; ++i) {
                object->AddRef();
                object->Release();
            }
        });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(object->uw_GetRefCount(), 1);
    EXPECT_EQ(deletions, 0);
    object->Release();
    EXPECT_EQ(deletions, 1);
}

struct Counted {
    static inline std::atomic<int> constructed{0};
    static inline std::atomic<int> destroyed{0};
    Counted() { ++constructed; }
    ~Counted() { ++destroyed; }
    int value = 7;
};

TEST(Singleton, CreatedOnFirstUseOnceAcrossThreads) {
    using Holder = DPT::Singleton<Counted>;
    Holder::Destroy();
    Counted::constructed = 0;
    Counted::destroyed = 0;
    EXPECT_EQ(Holder::pGet(), nullptr);
    std::vector<std::thread> threads;
    std::vector<Counted*> seen(8);
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&seen, t] { seen[t] = &Holder::Instance(); });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(Counted::constructed, 1);
    for (Counted* p : seen)
        EXPECT_EQ(p, Holder::pGet());
    Holder::Destroy();
    EXPECT_EQ(Counted::destroyed, 1);
    EXPECT_EQ(Holder::pGet(), nullptr);
}

TEST(Singleton, ExplicitCreateAndDestroy) {
    using Holder = DPT::Singleton<Counted>;
    Holder::Destroy();
    Counted::constructed = 0;
    Counted::destroyed = 0;
    EXPECT_TRUE(Holder::bCreate());
    EXPECT_FALSE(Holder::bCreate());
    EXPECT_EQ(Counted::constructed, 1);
    EXPECT_EQ(Holder::Instance().value, 7);
    Holder::Destroy();
    Holder::Destroy();  // a second shutdown is harmless
    EXPECT_EQ(Counted::destroyed, 1);
    EXPECT_TRUE(Holder::bCreate());
    Holder::Destroy();
    EXPECT_EQ(Counted::constructed, 2);
}

}  // namespace
