// The parameter blocks are written in place by the host: their fields must keep
// the order, widths and defaults both sides agree on.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "orvex/OVC_Interface.h"
#include "plugin/OVI_Text.h"

namespace {

using ORVEX::OVI_SplitterParams;

struct Field {
    const char* name;
    size_t offset;
    size_t size;
    size_t align;
};

template <typename T>
Field Describe(const char* name, const OVI_SplitterParams& block, const T& member) {
    const auto offset =
        static_cast<size_t>(reinterpret_cast<const char*>(&member) - reinterpret_cast<const char*>(&block));
    return Field{name, offset, sizeof(T), alignof(T)};
}

#define ORVEX_FIELD(member) Describe(#member, block, block.member)

std::vector<Field> FieldsInOrder(const OVI_SplitterParams& block) {
    return {
        ORVEX_FIELD(msz_DataRoot),
        ORVEX_FIELD(msz_BigfilePath),
        ORVEX_FIELD(mb_First),
        ORVEX_FIELD(mb_WriteRefsCache),
        ORVEX_FIELD(mb_ReportMissing),
        ORVEX_FIELD(mf_Ratio),
        ORVEX_FIELD(msz_GmBigfilePath),
        ORVEX_FIELD(msz_AILibraryPath),
        ORVEX_FIELD(mmap_Worlds),
        ORVEX_FIELD(mmap_ForcedKeys),
        ORVEX_FIELD(mmap_ForcedDirs),
        ORVEX_FIELD(mmap_RemCriteria),
        ORVEX_FIELD(msz_RefsCachePath),
        ORVEX_FIELD(msz_CriticalListPath),
        ORVEX_FIELD(msz_ReplacementPath),
        ORVEX_FIELD(mul_Reserved),
        ORVEX_FIELD(mul_Spare),
        ORVEX_FIELD(muw_DirCountBase),
        ORVEX_FIELD(mb_Single),
        ORVEX_FIELD(mb_Dlc),
        ORVEX_FIELD(mb_Replace),
        ORVEX_FIELD(mb_NoCopy),
        ORVEX_FIELD(mb_Linker),
        ORVEX_FIELD(muw_PackageId),
        ORVEX_FIELD(muw_PackageWord),
        ORVEX_FIELD(mb_SmallHeader),
        ORVEX_FIELD(mb_KeysOnly),
        ORVEX_FIELD(mb_Compress),
    };
}

TEST(OVI_SplitterParams, TwentyEightFieldsInOrderWithTheirWidths) {
    const OVI_SplitterParams block;
    const std::vector<Field> fields = FieldsInOrder(block);
    ASSERT_EQ(fields.size(), 28u);

    // The first field follows the vtable pointer.
    EXPECT_EQ(fields[0].offset, sizeof(void*));
    // Every field follows the previous one at its natural alignment: no field
    // was moved, widened or narrowed.
    for (size_t i = 1; i < fields.size(); ++i) {
        const Field& prev = fields[i - 1];
        const size_t end = prev.offset + prev.size;
        const size_t expected = (end + fields[i].align - 1) / fields[i].align * fields[i].align;
        EXPECT_EQ(fields[i].offset, expected) << fields[i].name << " after " << prev.name;
    }

    struct Width {
        const char* name;
        size_t size;
    };
    const Width widths[] = {
        {"msz_DataRoot", 64},
        {"msz_BigfilePath", 64},
        {"mb_First", 1},
        {"mb_WriteRefsCache", 1},
        {"mb_ReportMissing", 1},
        {"mf_Ratio", 4},
        {"msz_GmBigfilePath", 256},
        {"msz_AILibraryPath", 64},
        {"msz_RefsCachePath", 64},
        {"msz_CriticalListPath", 64},
        {"msz_ReplacementPath", 64},
        {"mul_Reserved", 4},
        {"mul_Spare", 4},
        {"muw_DirCountBase", 2},
        {"mb_Single", 1},
        {"mb_Dlc", 1},
        {"mb_Replace", 1},
        {"mb_NoCopy", 1},
        {"mb_Linker", 1},
        {"muw_PackageId", 2},
        {"muw_PackageWord", 2},
        {"mb_SmallHeader", 1},
        {"mb_KeysOnly", 1},
        {"mb_Compress", 1},
    };
    for (const Width& w : widths) {
        bool found = false;
        for (const Field& f : fields) {
            if (std::string(f.name) == w.name) {
                EXPECT_EQ(f.size, w.size) << w.name;
                found = true;
            }
        }
        EXPECT_TRUE(found) << w.name;
    }
}

TEST(OVI_SplitterParams, Defaults) {
    const OVI_SplitterParams block;
    const std::string texts[] = {
        std::string(block.msz_DataRoot, sizeof(block.msz_DataRoot)),
        std::string(block.msz_BigfilePath, sizeof(block.msz_BigfilePath)),
        std::string(block.msz_GmBigfilePath, sizeof(block.msz_GmBigfilePath)),
        std::string(block.msz_AILibraryPath, sizeof(block.msz_AILibraryPath)),
        std::string(block.msz_RefsCachePath, sizeof(block.msz_RefsCachePath)),
        std::string(block.msz_CriticalListPath, sizeof(block.msz_CriticalListPath)),
        std::string(block.msz_ReplacementPath, sizeof(block.msz_ReplacementPath)),
    };
    for (const std::string& text : texts)
        EXPECT_EQ(text, std::string(text.size(), '\0'));

    const bool flags[] = {
        block.mb_First,       block.mb_WriteRefsCache, block.mb_ReportMissing, block.mb_Single,
        block.mb_Dlc,         block.mb_Replace,        block.mb_NoCopy,        block.mb_Linker,
        block.mb_SmallHeader, block.mb_KeysOnly,       block.mb_Compress};
    for (bool flag : flags)
        EXPECT_FALSE(flag);

    EXPECT_EQ(block.mf_Ratio, 0.5f);
    EXPECT_TRUE(block.mmap_Worlds.empty());
    EXPECT_TRUE(block.mmap_ForcedKeys.empty());
    EXPECT_TRUE(block.mmap_ForcedDirs.empty());
    EXPECT_TRUE(block.mmap_RemCriteria.empty());
    EXPECT_EQ(block.mul_Reserved, 0xFFFFFFFFu);
    EXPECT_EQ(block.mul_Spare, 0x80000u);
    EXPECT_EQ(block.muw_DirCountBase, 16384);
    EXPECT_EQ(block.muw_PackageId, 0xFFFF);
    EXPECT_EQ(block.muw_PackageWord, 0);
}

TEST(OVI_SplitterParams, CopyTakesEveryField) {
    OVI_SplitterParams block;
    ASSERT_TRUE(ORVEX::OVI_bSetText(block.msz_BigfilePath, "data/game.bf"));
    block.mmap_Worlds[0x3D00001Au] = 0;
    block.mmap_RemCriteria[0] = "_test";
    block.muw_PackageId = 7;
    block.mb_Compress = true;
    OVI_SplitterParams copy;
    copy = block;
    EXPECT_EQ(ORVEX::OVI_TextOf(copy.msz_BigfilePath), "data/game.bf");
    EXPECT_EQ(copy.mmap_Worlds, block.mmap_Worlds);
    EXPECT_EQ(copy.mmap_RemCriteria, block.mmap_RemCriteria);
    EXPECT_EQ(copy.muw_PackageId, 7);
    EXPECT_TRUE(copy.mb_Compress);
}

TEST(OVI_Text, PathsThatDoNotFitAreRefusedNotCut) {
    struct Case {
        std::string text;
        bool fits;
    };
    const Case cases[] = {
        {"", true},
        {"worlds/forest.bf", true},
        {std::string(63, 'p'), true},
        {std::string(64, 'p'), false},
        {std::string(300, 'p'), false},
        {std::string("a\0b", 3), false},
    };
    for (const Case& c : cases) {
        char field[64];
        std::memset(field, 'x', sizeof(field));
        EXPECT_EQ(ORVEX::OVI_bSetText(field, c.text), c.fits) << c.text.size();
        if (c.fits) {
            EXPECT_EQ(ORVEX::OVI_TextOf(field), c.text);
            // The rest is zeroed so the block carries no stale bytes.
            EXPECT_EQ(std::string(field + c.text.size(), sizeof(field) - c.text.size()),
                      std::string(sizeof(field) - c.text.size(), '\0'));
        } else {
            EXPECT_EQ(std::string(field, sizeof(field)), std::string(64, 'x')) << "field changed";
        }
    }
    OVI_SplitterParams block;
    EXPECT_TRUE(ORVEX::OVI_bSetText(block.msz_GmBigfilePath, std::string(255, 'g')));
    EXPECT_FALSE(ORVEX::OVI_bSetText(block.msz_GmBigfilePath, std::string(256, 'g')));
    EXPECT_EQ(ORVEX::OVI_TextCapacity(block.msz_GmBigfilePath), 255u);
}

TEST(OVI_Text, FieldWithoutTerminatorReadsItsWholeSize) {
    char field[8];
    std::memset(field, 'k', sizeof(field));
    EXPECT_EQ(ORVEX::OVI_TextOf(field), "kkkkkkkk");
}

}  // namespace
