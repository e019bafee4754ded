// The IDX file codec and the sorted pair vectors of the reference graph.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "BIGfile/BIG_Endian.h"
#include "BIGfile/BIG_FileInfos.h"
#include "BIGfile/BIG_RefIndexFile.h"

namespace {

using BIG::FileInfos;
using BIG::KeyCount;
using BIG::KeyCountVector;
namespace Idx = BIG::IdxFile;
using Bytes = std::vector<uint8_t>;

std::vector<uint32_t> Words(const Bytes& bytes) {
    std::vector<uint32_t> words(bytes.size() / 4);
    for (size_t i = 0; i < words.size(); ++i)
        words[i] = BIG::Endian::Get32(bytes.data() + 4 * i);
    return words;
}

Bytes FromWords(const std::vector<uint32_t>& words) {
    Bytes bytes(words.size() * 4);
    for (size_t i = 0; i < words.size(); ++i)
        BIG::Endian::Put32(bytes.data() + 4 * i, words[i]);
    return bytes;
}

// A -> B three times, A -> C once, B -> C twice; C names itself once.
std::vector<FileInfos> SmallGraph() {
    FileInfos a{0xA, 0, 0, {{0xB, 3}, {0xC, 1}}, {}};
    FileInfos b{0xB, 0, 0, {{0xC, 2}}, {{0xA, 3}}};
    FileInfos c{0xC, 0, 1, {}, {{0xA, 1}, {0xB, 2}}};
    return {a, b, c};
}

Bytes EncodeAll(const std::vector<FileInfos>& records) {
    std::vector<const FileInfos*> pointers;
    for (const FileInfos& r : records)
        pointers.push_back(&r);
    return Idx::Encode(pointers);
}

TEST(RefMgrPairs, AddKeepsOrderAndSumsCounts) {
    KeyCountVector pairs;
    for (uint32_t key : {5u, 1u, 9u, 5u, 1u, 5u})
        BIG::AddPairCount(pairs, key, 1);
    EXPECT_EQ(pairs, (KeyCountVector{{1, 2}, {5, 3}, {9, 1}}));
    EXPECT_TRUE(BIG::bIsWellFormed(pairs));
    EXPECT_TRUE(BIG::bContainsKey(pairs, 9));
    EXPECT_FALSE(BIG::bContainsKey(pairs, 4));
    BIG::AddPairCount(pairs, 7, 0);
    EXPECT_FALSE(BIG::bContainsKey(pairs, 7)) << "a zero count adds no pair";
}

TEST(RefMgrPairs, RemoveLowersDropsAndReportsExcess) {
    KeyCountVector pairs{{1, 2}, {5, 3}};
    EXPECT_TRUE(BIG::bRemovePairCount(pairs, 5, 1));
    EXPECT_EQ(pairs, (KeyCountVector{{1, 2}, {5, 2}}));
    EXPECT_TRUE(BIG::bRemovePairCount(pairs, 5, 2));
    EXPECT_EQ(pairs, (KeyCountVector{{1, 2}}));
    EXPECT_FALSE(BIG::bRemovePairCount(pairs, 1, 3)) << "more than the pair holds";
    EXPECT_TRUE(pairs.empty()) << "the pair is dropped all the same";
    EXPECT_FALSE(BIG::bRemovePairCount(pairs, 8, 1)) << "a missing pair";
}

TEST(RefMgrPairs, WellFormedRejectsDisorderRepeatsAndZeroCounts) {
    EXPECT_TRUE(BIG::bIsWellFormed({}));
    EXPECT_FALSE(BIG::bIsWellFormed({{2, 1}, {1, 1}}));
    EXPECT_FALSE(BIG::bIsWellFormed({{2, 1}, {2, 1}}));
    EXPECT_FALSE(BIG::bIsWellFormed({{2, 0}}));
}

TEST(RefMgrIdxCodec, ExactBytesOfOneSmallGraph) {
    const Bytes bytes = EncodeAll(SmallGraph());
    const std::vector<uint32_t> expected = {
        0xF1EF0447, 1, 3,                         // header
        0xA,        0, 2, 0xB, 3,   0xC, 1,   0,  // A
        0xB,        0, 1, 0xC, 2,   1,   0xA, 3,  // B
        0xC,        1, 0, 2,   0xA, 1,   0xB, 2,  // C
        0xF1EF0447,                               // trailer
    };
    EXPECT_EQ(Words(bytes), expected);
    // 12 + records of 16 + 8 x (nr + nb) + 4.
    EXPECT_EQ(bytes.size(), 12u + (16 + 16) + (16 + 16) + (16 + 16) + 4);
    EXPECT_EQ(bytes[0], 0x47) << "little-endian";
}

TEST(RefMgrIdxCodec, RoundTripSortsRecordsByKey) {
    std::vector<FileInfos> graph = SmallGraph();
    std::swap(graph[0], graph[2]);
    const Bytes bytes = EncodeAll(graph);
    std::vector<FileInfos> decoded;
    ASSERT_EQ(Idx::Decode(bytes.data(), bytes.size(), &decoded), Idx::eDecode::Ok);
    const std::vector<FileInfos> expected = SmallGraph();
    ASSERT_EQ(decoded.size(), expected.size());
    for (size_t i = 0; i < decoded.size(); ++i) {
        EXPECT_EQ(decoded[i].ul_Key, expected[i].ul_Key);
        EXPECT_EQ(decoded[i].ul_SelfRefs, expected[i].ul_SelfRefs);
        EXPECT_EQ(decoded[i].References, expected[i].References);
        EXPECT_EQ(decoded[i].ReferencedBy, expected[i].ReferencedBy);
        EXPECT_EQ(decoded[i].uc_Present, 0);
    }
}

TEST(RefMgrIdxCodec, EmptyGraphIsSixteenBytes) {
    const Bytes bytes = EncodeAll({});
    EXPECT_EQ(Words(bytes), (std::vector<uint32_t>{0xF1EF0447, 1, 0, 0xF1EF0447}));
    std::vector<FileInfos> decoded;
    EXPECT_EQ(Idx::Decode(bytes.data(), bytes.size(), &decoded), Idx::eDecode::Ok);
    EXPECT_TRUE(decoded.empty());
}

TEST(RefMgrIdxCodec, PairsToKeysWithoutRecordAreDropped) {
    // A refers to D, whose file was absent when the graph was saved.
    std::vector<FileInfos> graph = SmallGraph();
    graph[0].References.push_back({0xD, 4});
    graph[2].ReferencedBy.insert(graph[2].ReferencedBy.begin(), {0x9, 1});
    const Bytes bytes = EncodeAll(graph);
    std::vector<FileInfos> decoded;
    ASSERT_EQ(Idx::Decode(bytes.data(), bytes.size(), &decoded), Idx::eDecode::Ok);
    EXPECT_EQ(decoded[0].References, (KeyCountVector{{0xB, 3}, {0xC, 1}}));
    EXPECT_EQ(decoded[2].ReferencedBy, (KeyCountVector{{0xA, 1}, {0xB, 2}}));
}

TEST(RefMgrIdxCodec, EncodeRecordRefusesTooSmallRoom) {
    const FileInfos a = SmallGraph()[0];
    Bytes room(Idx::ull_RecordSize(a));
    EXPECT_EQ(Idx::EncodeRecord(a, room.data(), room.size() - 4), 0u);
    EXPECT_EQ(Idx::EncodeRecord(a, room.data(), room.size()), room.size());
}

// Each malformed form, made by word surgery on a valid file.
struct Malformed {
    const char* name;
    std::function<Bytes(std::vector<uint32_t>)> make;
    Idx::eDecode expected;
};

TEST(RefMgrIdxCodec, MalformedFilesAreRejected) {
    const std::vector<uint32_t> valid = Words(EncodeAll(SmallGraph()));
    auto words = [](std::function<void(std::vector<uint32_t>&)> edit) {
        return [edit](std::vector<uint32_t> w) {
            edit(w);
            return FromWords(w);
        };
    };
    const size_t last = valid.size() - 1;
    const std::vector<Malformed> cases = {
        {"empty", [](std::vector<uint32_t>) { return Bytes(); }, Idx::eDecode::Empty},
        {"size not a multiple of 4",
         [](std::vector<uint32_t> w) {
             Bytes b = FromWords(w);
             b.push_back(0);
             return b;
         },
         Idx::eDecode::BadSize},
        {"only 3 words", words([](auto& w) { w.resize(3); }), Idx::eDecode::Truncated},
        {"first magic", words([](auto& w) { w[0] ^= 1; }), Idx::eDecode::BadMagic},
        {"last magic", words([last](auto& w) { w[last] = 0; }), Idx::eDecode::BadMagic},
        {"version 2", words([](auto& w) { w[1] = 2; }), Idx::eDecode::BadVersion},
        {"version 0", words([](auto& w) { w[1] = 0; }), Idx::eDecode::BadVersion},
        {"record count too large for the file", words([](auto& w) { w[2] = 0xFFFFFFFF; }),
         Idx::eDecode::BadCount},
        {"record count one too many", words([](auto& w) { w[2] = 4; }), Idx::eDecode::BadCount},
        {"record count too small leaves bytes", words([](auto& w) { w[2] = 2; }), Idx::eDecode::BadCount},
        {"reference count huge", words([](auto& w) { w[5] = 0x20000000; }), Idx::eDecode::BadCount},
        {"referrer count runs past the trailer", words([](auto& w) { w[22] = 3; }), Idx::eDecode::BadCount},
        {"referrer count huge", words([](auto& w) { w[10] = 0xFFFFFFFF; }), Idx::eDecode::BadCount},
        {"truncated record before its trailer", words([](auto& w) {
             w.resize(w.size() - 5);
             w.push_back(0xF1EF0447);
         }),
         Idx::eDecode::BadCount},
        {"unsorted references", words([](auto& w) { std::swap(w[6], w[8]); }), Idx::eDecode::BadPairs},
        {"zero count", words([](auto& w) { w[7] = 0; }), Idx::eDecode::BadPairs},
        {"record listing itself", words([](auto& w) { w[6] = 0xA; }), Idx::eDecode::BadPairs},
        {"count not mirrored", words([](auto& w) { w[7] = 2; }), Idx::eDecode::Asymmetric},
    };
    for (const Malformed& c : cases) {
        const Bytes bytes = c.make(valid);
        std::vector<FileInfos> decoded(1);
        EXPECT_EQ(Idx::Decode(bytes.data(), bytes.size(), &decoded), c.expected) << c.name;
        EXPECT_TRUE(decoded.empty()) << c.name;
        EXPECT_STRNE(Idx::sz_DecodeText(c.expected), "unknown error");
    }
}

TEST(RefMgrIdxCodec, DuplicateKeyIsNamed) {
    std::vector<FileInfos> graph = {FileInfos{7, 0, 0, {}, {}}, FileInfos{7, 0, 2, {}, {}}};
    const Bytes bytes = EncodeAll(graph);
    std::vector<FileInfos> decoded;
    uint32_t duplicate = 0;
    EXPECT_EQ(Idx::Decode(bytes.data(), bytes.size(), &decoded, &duplicate), Idx::eDecode::DuplicateKey);
    EXPECT_EQ(duplicate, 7u);
}

}  // namespace
