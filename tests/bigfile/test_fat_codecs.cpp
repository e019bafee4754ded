// Exact bytes of the bigfile records, the extension table and name splitting.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "BIGfile/BIG_ContentHead.h"
#include "BIGfile/BIG_Crc32.h"
#include "BIGfile/BIG_DirEntry.h"
#include "BIGfile/BIG_Extensions.h"
#include "BIGfile/BIG_Fat.h"
#include "BIGfile/BIG_FatHeader.h"
#include "BIGfile/BIG_FileEntry.h"
#include "BIGfile/BIG_ReducedFileEntry.h"
#include "fat_test_support.h"

namespace {

using fat_test::Bytes;

// Expected bytes built by hand: little-endian fields at their documented offsets.
void Put(Bytes& b, size_t at, uint64_t value, int width) {
    for (int i = 0; i < width; ++i)
        b[at + i] = static_cast<uint8_t>(value >> (8 * i));
}
void PutText(Bytes& b, size_t at, const char* text) {
    std::memcpy(b.data() + at, text, std::strlen(text));
}

TEST(FatCodecs, HeaderExactBytes) {
    BIG_st_FatHeader h;
    h.uw_FormatNb = 135;
    h.uw_DirCount = 0x1234;
    h.ul_FileCount = 0x00020001;
    h.uw_TempDirIndex = 7;
    h.uc_HeaderFlags = 0x08;
    h.uc_ReducedFat = 1;
    h.ul_FatCrc = 0xDEADBEEF;
    h.ul_LastSubmittedCL = 11;
    h.ul_SyncedCL = 22;
    std::strcpy(h.sz_ClientName, "client");
    std::strcpy(h.sz_Label, "label");
    h.ul_ReferenceCL = 33;
    h.ul_PackageWord = 0xFFFF0005;
    h.uc_HeaderByte = 1;
    h.uc_AlignmentShift = 11;
    std::strcpy(h.sz_DataRoot, "/Data/");
    uint8_t out[BIG_st_FatHeader::kEncodedSize];
    std::memset(out, 0xAA, sizeof out);
    h.EncodeTo(out);

    Bytes want(128, 0);
    Put(want, 0x00, 135, 2);
    Put(want, 0x02, 0x1234, 2);
    Put(want, 0x04, 0x00020001, 4);
    Put(want, 0x08, 7, 2);
    Put(want, 0x0A, 0x08, 1);
    Put(want, 0x0B, 1, 1);
    Put(want, 0x10, 0xDEADBEEF, 4);
    Put(want, 0x14, 11, 4);
    Put(want, 0x18, 22, 4);
    PutText(want, 0x1C, "client");
    PutText(want, 0x3A, "label");
    Put(want, 0x4C, 33, 4);
    Put(want, 0x50, 0xFFFF0005, 4);
    Put(want, 0x54, 1, 1);
    Put(want, 0x55, 11, 1);
    PutText(want, 0x58, "/Data/");
    EXPECT_EQ(Bytes(out, out + sizeof out), want);

    BIG_st_FatHeader back;
    ASSERT_TRUE(BIG_st_FatHeader::bDecode(out, sizeof out, &back));
    EXPECT_EQ(back.ul_FileCount, 0x00020001u);
    EXPECT_STREQ(back.sz_ClientName, "client");
    EXPECT_STREQ(back.sz_DataRoot, "/Data/");
    EXPECT_FALSE(BIG_st_FatHeader::bDecode(out, sizeof out - 1, &back));
}

TEST(FatCodecs, FileEntryExactBytes) {
    BIG_st_FileEntry e;
    e.ul_Pos = 0x01020304;
    e.ul_Key = 0x00A1B2C3;
    e.ul_DataInMemory = 9;
    e.uc_Type = 32;
    e.uc_StorageFlags = 2;
    e.uw_Dir = 0x0102;
    e.ul_Time = 1000;
    e.ul_Flags = 0x000F0000;
    e.ul_NextFile = 0xFFFFFFFF;
    e.ul_Checksum = 0xCAFEBABE;
    std::strcpy(e.sz_Name, "rock");
    e.ul_State = 0x20000001;
    uint8_t out[BIG_st_FileEntry::kEncodedSize];
    e.EncodeTo(out);

    Bytes want(96, 0);
    Put(want, 0, 0x01020304, 4);
    Put(want, 4, 0x00A1B2C3, 4);
    Put(want, 8, 9, 4);
    Put(want, 12, 32, 1);
    Put(want, 13, 2, 1);
    Put(want, 14, 0x0102, 2);
    Put(want, 16, 1000, 4);
    Put(want, 20, 0x000F0000, 4);
    Put(want, 24, 0xFFFFFFFF, 4);
    Put(want, 28, 0xCAFEBABE, 4);
    PutText(want, 32, "rock");
    Put(want, 92, 0x20000001, 4);
    EXPECT_EQ(Bytes(out, out + sizeof out), want);
}

TEST(FatCodecs, ReducedFileEntryExactBytes) {
    BIG_st_ReducedFileEntry r;
    r.ul_Pos = 0x11223344;
    r.ul_Key = 0x55667788;
    r.uc_Type = 4;
    r.uc_StorageFlags = 1;
    uint8_t out[BIG_st_ReducedFileEntry::kEncodedSize];
    r.EncodeTo(out);
    const Bytes want = {0x44, 0x33, 0x22, 0x11, 0x88, 0x77, 0x66, 0x55, 4, 1};
    EXPECT_EQ(Bytes(out, out + sizeof out), want);
}

TEST(FatCodecs, DirEntryExactBytes) {
    BIG_st_DirEntry d;
    d.ul_FirstFile = 5;
    d.uw_Parent = 0;
    d.uw_FirstSubDir = 0xFFFF;
    d.uw_NextSibling = 3;
    std::strcpy(d.sz_Name, "levels");
    d.uc_Flags = 0x80;
    uint8_t out[BIG_st_DirEntry::kEncodedSize];
    d.EncodeTo(out);
    Bytes want(64, 0);
    Put(want, 0, 5, 4);
    Put(want, 4, 0, 2);
    Put(want, 6, 0xFFFF, 2);
    Put(want, 8, 3, 2);
    PutText(want, 10, "levels");
    Put(want, 63, 0x80, 1);
    EXPECT_EQ(Bytes(out, out + sizeof out), want);
}

TEST(FatCodecs, ContentHeadExactBytes) {
    BIG_st_ContentHead h;
    h.ul_Length = 0x00010014;
    h.ul_RefCount = 3;
    uint8_t out[BIG_st_ContentHead::kEncodedSize];
    h.EncodeTo(out);
    const Bytes want = {0x14, 0x00, 0x01, 0x00, 3, 0, 0, 0};
    EXPECT_EQ(Bytes(out, out + sizeof out), want);
}

// Stored bytes: length 16, count 2, keys 0x11223344 and 0xA0B0C0D0, then 4 payload bytes.
TEST(FatCodecs, ContentHeadDecodesStoredAndLoadedForms) {
    const Bytes stored = {16,   0,    0,    0,    2,    0,    0,   0,   0x44, 0x33,
                          0x22, 0x11, 0xD0, 0xC0, 0xB0, 0xA0, 'a', 'b', 'c',  'd'};
    BIG_st_ContentHead h;
    ASSERT_TRUE(BIG_st_ContentHead::bDecode(stored.data(), stored.size(), &h));
    EXPECT_EQ(h.ul_Length, 16u);
    EXPECT_EQ(h.ul_RefCount, 2u);
    EXPECT_TRUE(h.bTableFits());
    EXPECT_EQ(h.ul_TableSize(), 12u);
    EXPECT_EQ(h.ul_PayloadSize(), 4u);
    const uint8_t* keys = stored.data() + BIG_st_ContentHead::kOffKeys;
    EXPECT_EQ(BIG_st_ContentHead::ul_KeyAt(keys, 0), 0x11223344u);
    EXPECT_EQ(BIG_st_ContentHead::ul_KeyAt(keys, 1), 0xA0B0C0D0u);
    Bytes inPlace(keys, keys + 8);
    uint32_t words[2];
    std::memcpy(words, inPlace.data(), sizeof words);
    BIG_st_ContentHead::DecodeKeys(words, 2, words);
    EXPECT_EQ(words[0], 0x11223344u);
    EXPECT_EQ(words[1], 0xA0B0C0D0u);

    // The loaded form starts at the count; its length comes from elsewhere.
    BIG_st_ContentHead loaded;
    ASSERT_TRUE(BIG_st_ContentHead::bDecodeContent(stored.data() + 4, stored.size() - 4, 16, &loaded));
    EXPECT_EQ(loaded.ul_RefCount, 2u);
    EXPECT_EQ(loaded.ul_PayloadSize(), 4u);
}

// Heads a corrupt or short file gives: the codec refuses what it cannot read
// and never lets a key outside the length be reached.
TEST(FatCodecs, ContentHeadBoundsEveryCase) {
    struct Case {
        const char* what;
        Bytes stored;
        bool decodes;
        uint32_t count, fit, table, payload;
    };
    const Case cases[] = {
        {"no length word", {1, 0, 0}, false, 0, 0, 0, 0},
        {"length with room for a count but no count", {8, 0, 0, 0, 1, 0}, false, 0, 0, 0, 0},
        {"empty content", {0, 0, 0, 0}, true, 0, 0, 0, 0},
        {"content too short for a count", {3, 0, 0, 0, 9, 9, 9}, true, 0, 0, 0, 3},
        {"count only", {4, 0, 0, 0, 0, 0, 0, 0}, true, 0, 0, 4, 0},
        {"count claims more than the length holds", {9, 0, 0, 0, 5, 0, 0, 0}, true, 5, 1, 8, 1},
        {"count of 2^32-1", {12, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF}, true, 0xFFFFFFFF, 2, 12, 0},
        {"largest length", {0xFF, 0xFF, 0xFF, 0xFF, 1, 0, 0, 0}, true, 1, 1, 8, 0xFFFFFFF7},
    };
    for (const Case& c : cases) {
        BIG_st_ContentHead h;
        h.ul_RefCount = 77;
        EXPECT_EQ(BIG_st_ContentHead::bDecode(c.stored.data(), c.stored.size(), &h), c.decodes) << c.what;
        if (!c.decodes) {
            EXPECT_EQ(h.ul_RefCount, 77u) << c.what << ": left unchanged";
            continue;
        }
        EXPECT_EQ(h.ul_RefCount, c.count) << c.what;
        EXPECT_EQ(h.ul_KeysThatFit(), c.fit) << c.what;
        EXPECT_EQ(h.bTableFits(), h.bHasTable() && c.fit == c.count) << c.what;
        EXPECT_EQ(h.ul_TableSize(), c.table) << c.what;
        EXPECT_EQ(h.ul_PayloadSize(), c.payload) << c.what;
    }
}

// A name that fills its field without a terminator is cut at the field: the
// decoded text is always terminated and never runs into the next field.
TEST(FatCodecs, NamesWithoutTerminatorAreCutAtTheirField) {
    Bytes file(96, 'x');
    BIG_st_FileEntry e;
    ASSERT_TRUE(BIG_st_FileEntry::bDecode(file.data(), file.size(), &e));
    EXPECT_EQ(std::string(e.sz_Name), std::string(59, 'x'));

    Bytes dir(64, 'y');
    BIG_st_DirEntry d;
    ASSERT_TRUE(BIG_st_DirEntry::bDecode(dir.data(), dir.size(), &d));
    EXPECT_EQ(std::string(d.sz_Name), std::string(52, 'y'));

    Bytes header(128, 'z');
    BIG_st_FatHeader h;
    ASSERT_TRUE(BIG_st_FatHeader::bDecode(header.data(), header.size(), &h));
    EXPECT_EQ(std::string(h.sz_ClientName), std::string(29, 'z'));
    EXPECT_EQ(std::string(h.sz_Label), std::string(17, 'z'));
    EXPECT_EQ(std::string(h.sz_DataRoot), std::string(39, 'z'));
}

// The checksum stored in entries and headers: the standard CRC-32, whatever
// piece sizes (and so whichever code paths of the fast routine) make it up.
TEST(FatCodecs, Crc32IsTheStandardOneInWholeAndInPieces) {
    EXPECT_EQ(BIG_ul_Crc32("123456789", 9), 0xCBF43926u);
    EXPECT_EQ(BIG_ul_Crc32(nullptr, 0), 0u);
    EXPECT_EQ(BIG_ul_Crc32("a", 1), 0xE8B7BE43u);
    Bytes data(70001);
    uint32_t x = 12345;
    for (uint8_t& b : data) {
        x = x * 1103515245u + 12345u;
        b = static_cast<uint8_t>(x >> 16);
    }
    const uint32_t whole = BIG_ul_Crc32(data.data(), data.size());
    for (size_t piece : {1u, 7u, 64u, 4095u, 65536u}) {
        uint32_t crc = 0;
        for (size_t at = 0; at < data.size(); at += piece)
            crc = BIG_ul_Crc32(data.data() + at, std::min(piece, data.size() - at), crc);
        EXPECT_EQ(crc, whole) << "pieces of " << piece;
    }
    // 0xFF bytes: the initial value and the final complement both matter.
    const Bytes ones(32, 0xFF);
    EXPECT_EQ(BIG_ul_Crc32(ones.data(), ones.size()), 0xFF6CAB0Bu);
}

TEST(FatExtensions, TypesByExtension) {
    struct Case {
        const char* ext;
        uint8_t type;
    };
    const Case cases[] = {{"TGA", 32}, {"tga", 32},  {"dup", 3},   {"wor", 4}, {"dbk", 87}, {"dbl", 88},
                          {"dbr", 89}, {"txd", 126}, {"syd", 146}, {"ai", 71}, {"xyz", 0},  {"", 0}};
    for (const Case& c : cases)
        EXPECT_EQ(BIG_cl_Fat::CompressFileType(c.ext), c.type) << c.ext;
    EXPECT_EQ(BIG_Extensions::ul_Size(), 147u);
    char text[4];
    BIG_Extensions::GetText(126, text);
    EXPECT_STREQ(text, "txd");
}

TEST(FatExtensions, OutOfRangeIndexAndLongExtensionAreReported) {
    fat_test::Messages messages;
    EXPECT_STREQ(BIG_Extensions::sz_Get(147), "");
    EXPECT_TRUE(messages.bContains("Extension error : a new extension may have been added"));
    EXPECT_EQ(BIG_cl_Fat::CompressFileType("tgax"), 0);
    EXPECT_TRUE(messages.bContains("Filesize too long: %s. This might be very bad."));
}

TEST(FatNames, SplitFileName) {
    struct Case {
        std::string full;
        std::string name;
        std::string ext;
        const char* warning;  // null: none
    };
    const std::string n59(59, 'a');
    const std::string n60(60, 'b');
    const Case cases[] = {
        {"rock.tga", "rock", "tga", nullptr},
        {"archive.tar.gz", "archive.tar", "gz", nullptr},
        {"noext", "noext", "", nullptr},
        {n59 + ".wor", n59, "wor", nullptr},
        {n60 + ".wor", std::string(59, 'b'), "wor", "It will be truncated (preserving extension.)"},
        {n60, std::string(59, 'b'), "", "It will be truncated."},
        {"x.long", "x", "lon", "Trying to use extension \"long\""},
        {"trailing.", "trailing", "", nullptr},
    };
    for (const Case& c : cases) {
        fat_test::Messages messages;
        char name[60];
        char ext[4];
        BIG_cl_Fat::SplitFileName(name, ext, c.full.c_str());
        EXPECT_EQ(name, c.name) << c.full;
        EXPECT_EQ(ext, c.ext) << c.full;
        if (c.warning != nullptr)
            EXPECT_TRUE(messages.bContains(c.warning)) << c.full << "\n" << messages.All();
        else
            EXPECT_EQ(messages.Count(), 0u) << c.full << "\n" << messages.All();
    }
    fat_test::Messages messages;
    char name[60] = "old";
    char ext[4] = "old";
    BIG_cl_Fat::SplitFileName(name, ext, nullptr);
    EXPECT_TRUE(messages.bContains("BIG_cl_Fat::SplitFileName called on NULL."));
    EXPECT_STREQ(name, "");
}

}  // namespace
