// BIG::FBuff views without an asynchronous owner: bytes, size, counting.
#include <gtest/gtest.h>

#include <cstdint>

#include "BIGfile/BIG_FBuff.h"
#include "ERRor/ERR_Assert.h"

namespace {

// Records its own destruction.
class WatchedFBuff : public BIG::FBuff {
public:
    WatchedFBuff(void* data, uint32_t size, bool* destroyed)
        : BIG::FBuff(data, size, 7), m_pDestroyed(destroyed) {}
    ~WatchedFBuff() override { *m_pDestroyed = true; }

private:
    bool* m_pDestroyed;
};

TEST(FBuffView, LastReleaseDeletesTheView) {
    ERR_SetInteractive(false);
    uint8_t bytes[16] = {1, 2, 3};
    bool destroyed = false;
    BIG::FBuff* view = new WatchedFBuff(bytes, sizeof bytes, &destroyed);
    EXPECT_EQ(view->uw_GetRefCount(), 0);
    EXPECT_EQ(view->pc_GetData(), bytes);
    EXPECT_EQ(view->ul_GetSize(), 16u);
    EXPECT_EQ(view->ul_GetAllocParam(), 0u);
    EXPECT_EQ(view->uw_GetAllocParam(), 7);
    EXPECT_EQ(view->po_GetAsyncOwner(), nullptr);
    EXPECT_EQ(view->po_GetReadBuffer(), nullptr);

    view->SetData(bytes + 4, 8);
    EXPECT_EQ(view->pc_GetData(), bytes + 4);
    EXPECT_EQ(view->ul_GetSize(), 8u);

    view->AddRef();
    view->AddRef();
    view->Release();
    EXPECT_FALSE(destroyed);
    view->Release();
    EXPECT_TRUE(destroyed);
    EXPECT_EQ(bytes[0], 1);  // the bytes are not the view's to free
}

}  // namespace
