// The stream reader over contents written with a reference table, and the
// load-order hooks.
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "BIGfile/BIG_Endian.h"
#include "BIGfile/BIG_StreamReader.h"
#include "BIGfile/LoadOrdering/BIG_LoadOrderManager.h"
#include "ERRor/ERR_Assert.h"
#include "ERRor/ERR_Log.h"
#include "tests/support/LogCapture.h"

namespace {

using StreamLogCapture = test_support::LogCapture;

std::vector<uint8_t> Content(const std::vector<uint32_t>& refs, const std::vector<uint8_t>& data) {
    std::vector<uint8_t> out;
    BIG::Endian::ByteAppender app(&out);
    app.U32(static_cast<uint32_t>(refs.size()));
    for (uint32_t k : refs)
        app.U32(k);
    app.Bytes(data.data(), data.size());
    return out;
}

TEST(LoadStreamReader, ReadsReferencesThenTheDataPart) {
    const auto bytes = Content({0x11, 0x22}, {7, 0x34, 0x12, 0x78, 0x56, 0x34, 0x12});
    BIG_StreamReader reader(bytes.data(), bytes.size());
    EXPECT_EQ(reader.ul_GetRefCount(), 2u);
    EXPECT_TRUE(reader.bRefTableFits());
    EXPECT_EQ(reader.DataPartOffset(), 12u);
    EXPECT_EQ(reader.DataPartSize(), 7u);
    EXPECT_EQ(reader.ul_ReadRef(), 0x11u);
    reader.SkipRefs();
    EXPECT_EQ(reader.uc_Read8(), 7u);
    EXPECT_EQ(reader.uw_Read16(), 0x1234u);
    EXPECT_EQ(reader.ul_Read32(), 0x12345678u);
    EXPECT_TRUE(reader.bOk());
    EXPECT_EQ(reader.Remaining(), 0u);
    EXPECT_EQ(reader.ul_Read32(), 0u);  // past the end: 0 and latched
    EXPECT_FALSE(reader.bOk());
}

TEST(LoadStreamReader, TruncatedContentsNeverReadOutside) {
    struct Case {
        const char* what;
        std::vector<uint8_t> bytes;
        bool refsFit;
    } cases[] = {
        {"empty", {}, false},
        {"count cut", {4, 0}, false},
        {"count larger than the content", {5, 0, 0, 0, 1, 0, 0, 0}, false},
        {"huge count", {0xFF, 0xFF, 0xFF, 0xFF}, false},
        {"count only", {0, 0, 0, 0}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        BIG_StreamReader reader(c.bytes.data(), c.bytes.size());
        EXPECT_EQ(reader.bRefTableFits(), c.refsFit);
        reader.SkipRefs();
        EXPECT_EQ(reader.bOk(), c.refsFit);
        EXPECT_EQ(reader.DataPartSize(), 0u);
        uint8_t sink[8];
        EXPECT_FALSE(reader.bReadBytes(sink, sizeof sink));
        EXPECT_EQ(reader.ul_Read32(), 0u);
    }
    BIG_StreamReader none(nullptr, 100);
    EXPECT_FALSE(none.bOk());
    EXPECT_EQ(none.Remaining(), 0u);
}

TEST(LoadStreamReader, ChunksBoundReadsAndMustBeClosed) {
    ERR_SetInteractive(false);
    // data part: chunk{ u32 0xAA, chunk{ u8 1 } , u8 2 }, u8 3
    std::vector<uint8_t> data;
    BIG::Endian::ByteAppender app(&data);
    app.U32(4 + 4 + 1 + 1);  // outer chunk
    app.U32(0xAA);
    app.U32(1);  // inner chunk
    app.U8(1);
    app.U8(2);
    app.U8(3);
    const auto bytes = Content({}, data);
    StreamLogCapture log;
    {
        BIG_StreamReader reader(bytes.data(), bytes.size());
        reader.SkipRefs();
        uint32_t length = 0;
        ASSERT_TRUE(reader.bOpenChunk(&length));
        EXPECT_EQ(length, 10u);
        EXPECT_EQ(reader.ul_Read32(), 0xAAu);
        ASSERT_TRUE(reader.bOpenChunk(&length));
        EXPECT_EQ(length, 1u);
        EXPECT_EQ(reader.ul_Read32(), 0u);  // would cross the inner chunk's end
        EXPECT_FALSE(reader.bOk());
        reader.CloseChunk();
        EXPECT_EQ(reader.uc_Read8(), 2u);
        reader.CloseChunk();
        EXPECT_EQ(reader.uc_Read8(), 3u);
        EXPECT_EQ(reader.ul_OpenChunks(), 0u);
    }
    EXPECT_EQ(log.Count("Not all chunks were closed!"), 0);
    {
        BIG_StreamReader reader(bytes.data(), bytes.size());
        reader.SkipRefs();
        ASSERT_TRUE(reader.bOpenChunk());
    }
    EXPECT_EQ(log.Count("Not all chunks were closed!"), 1);
    {
        // A chunk longer than what holds it is not entered.
        const auto bad = Content({}, {200, 0, 0, 0, 1, 2});
        BIG_StreamReader reader(bad.data(), bad.size());
        reader.SkipRefs();
        EXPECT_FALSE(reader.bOpenChunk());
        EXPECT_EQ(reader.ul_OpenChunks(), 0u);
    }
    EXPECT_EQ(log.Count("Not all chunks were closed!"), 1);
}

TEST(LoadOrderManager, HooksDoNothingWhileInactive) {
    ERR_SetInteractive(false);
    StreamLogCapture log;
    BIG_LoadOrderManager manager(nullptr, nullptr);
    EXPECT_FALSE(manager.bIsActive());
    EXPECT_EQ(manager.GetState(), BIG_LoadOrderManager::e_Inactive);
    EXPECT_EQ(manager.ul_GetQueueId(), 6u);
    auto* fat = reinterpret_cast<BIG_cl_Fat*>(&manager);  // never dereferenced
    manager.SetFat(fat);
    EXPECT_EQ(manager.po_GetFat(), fat);
    manager.FileConsumed(1, 6, nullptr);
    manager.LinkFollowed(1, 2, 6);
    manager.OneFrame(nullptr);
    manager.ReportOutOfOrderFiles();
    manager.Deactivate();
    EXPECT_FALSE(manager.bIsActive());
    EXPECT_EQ(log.Count("LoadOrderList"), 0);

    auto callback = +[](uint32_t, uint32_t) {};
    manager.SetOrderedFileCallback(146, callback);
    EXPECT_EQ(manager.GetOrderedFileCallback(146), callback);
    EXPECT_EQ(manager.GetOrderedFileCallback(147), nullptr);
    manager.SetOrderedFileCallback(147, callback);
    EXPECT_EQ(log.Count("Invalid input parameter (type)"), 1);
}

}  // namespace
