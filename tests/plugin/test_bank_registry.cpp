#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "BIGfile/AsynchronousIO/BIG_AsynchronousFat.h"
#include "BIGfile/BIG_Endian.h"
#include "BIGfile/BIG_FBuff.h"
#include "ERRor/ERR_Assert.h"
#include "ERRor/ERR_Log.h"
#include "plugin/OVI_BankRegistry.h"

namespace {

using ORVEX::BankFileView;
using ORVEX::BankRegistry;
using ORVEX::DynamicBank;
using ORVEX::ElementRef;
using Counts = std::map<uint32_t, uint32_t>;
using Ref = std::pair<uint8_t, uint8_t>;  // bank id, element id

// One file as the parsers see it: the keys of its reference table and its payload.
struct TestFile {
    uint32_t key = 0;
    std::vector<uint8_t> refKeys;  // little-endian u32 keys
    std::vector<uint8_t> payload;

    BankFileView View() const {
        BankFileView view;
        view.ul_Key = key;
        view.pu8_RefKeys = refKeys.data();
        view.ul_RefCount = static_cast<uint32_t>(refKeys.size() / 4);
        view.pu8_Payload = payload.data();
        view.ul_PayloadSize = payload.size();
        return view;
    }
    void AddRefKey(uint32_t k) { BIG::Endian::ByteAppender(&refKeys).U32(k); }
};

struct Elem {
    uint8_t id;
    std::optional<uint32_t> key;  // none: named by text
    std::vector<Ref> subs;
};

TestFile BankFile(uint32_t fileKey, uint8_t bankId, const std::vector<Elem>& elems) {
    TestFile f;
    f.key = fileKey;
    BIG::Endian::ByteAppender out(&f.payload);
    out.U8(bankId);
    out.U8(static_cast<uint8_t>(elems.size()));
    for (const Elem& e : elems) {
        out.U8(e.id);
        if (e.key) {
            out.U8(0x01);
            f.AddRefKey(*e.key);
        } else {
            out.U8(0xFE);
            out.Bytes("sound_name", 11);
        }
        out.U16(static_cast<uint16_t>(e.subs.size()));
        for (const Ref& r : e.subs) {
            out.U8(r.first);
            out.U8(r.second);
        }
    }
    return f;
}

TestFile ListFile(uint32_t fileKey, const std::vector<uint32_t>& bankKeys) {
    TestFile f;
    f.key = fileKey;
    f.payload.push_back(static_cast<uint8_t>(bankKeys.size()));
    for (uint32_t k : bankKeys)
        f.AddRefKey(k);
    return f;
}

TestFile RefListFile(uint32_t fileKey, const std::vector<Ref>& refs) {
    TestFile f;
    f.key = fileKey;
    BIG::Endian::ByteAppender out(&f.payload);
    out.U16(static_cast<uint16_t>(refs.size()));
    for (const Ref& r : refs) {
        out.U8(r.first);
        out.U8(r.second);
    }
    return f;
}

// The messages of the output lines written to standard output, in order.
std::vector<std::string> Messages(const std::string& out) {
    std::vector<std::string> messages;
    size_t pos = 0;
    while ((pos = out.find("\n[", pos)) != std::string::npos) {
        // "\n[%8s][%-16s][" then the message up to the closing "]".
        const size_t start = pos + 1 + 10 + 18 + 1;
        const size_t next = out.find("\n[", pos + 1);
        const size_t end = (next == std::string::npos ? out.size() : next) - 1;
        messages.push_back(start <= end ? out.substr(start, end - start) : "");
        pos += 1;
    }
    return messages;
}

size_t CountOf(const std::vector<std::string>& messages, const std::string& text) {
    size_t n = 0;
    for (const std::string& m : messages)
        n += m.find(text) != std::string::npos;
    return n;
}

class BankRegistryTest : public testing::Test {
protected:
    void SetUp() override { ERR_SetInteractive(false); }

    int32_t Bank(const TestFile& f) {
        const BankFileView v = f.View();
        return registry.ParseDynamicBank(&v);
    }
    int32_t List(const TestFile& f) {
        const BankFileView v = f.View();
        return registry.ParseDynamicBankList(&v);
    }
    int32_t RefList(const TestFile& f) {
        const BankFileView v = f.View();
        return registry.ParseElementReferenceList(&v);
    }
    // Runs ResolveAll and returns the messages it wrote.
    std::vector<std::string> Resolve() {
        testing::internal::CaptureStdout();
        EXPECT_EQ(registry.ResolveAll(), 0);
        return Messages(testing::internal::GetCapturedStdout());
    }
    const Counts& BankCounts(uint32_t fileKey) { return registry.Banks().at(fileKey)->m_RefCounts; }
    const Counts& RefListCounts(uint32_t fileKey) {
        return registry.FindElementReferenceList(fileKey)->m_RefCounts;
    }

    BankRegistry registry;
};

TEST_F(BankRegistryTest, BankElementsWithKeysNamesAndSubReferences) {
    ASSERT_EQ(Bank(BankFile(0x100, 9,
                            {{1, 0x5001, {{9, 2}}}, {2, std::nullopt, {{9, 3}, {4, 4}}}, {3, 0x5003, {}}})),
              0);
    const DynamicBank& bank = *registry.Banks().at(0x100);
    EXPECT_EQ(bank.uc_BankId, 9);
    ASSERT_EQ(bank.m_Elements.size(), 3u);
    EXPECT_EQ(bank.m_Elements.at(1)->ul_Key, 0x5001u);
    EXPECT_EQ(bank.m_Elements.at(2)->ul_Key, 0u);       // marker 0xFE: named by text
    EXPECT_EQ(bank.m_Elements.at(3)->ul_Key, 0x5003u);  // the key after the name is the next table key
    ASSERT_EQ(bank.m_Elements.at(2)->ast_SubRefs.size(), 2u);
    EXPECT_EQ(bank.m_Elements.at(2)->ast_SubRefs[1].uc_BankId, 4);
    EXPECT_EQ(bank.m_Elements.at(2)->ast_SubRefs[1].uc_ElementId, 4);
    EXPECT_EQ(bank.m_Elements.at(2)->ast_SubRefs[1].uw_Packed(), 0x0404);

    const std::vector<std::string> messages = Resolve();
    // Each element's key and what its sub-references reach; key 0 of the named element too.
    EXPECT_EQ(BankCounts(0x100), (Counts{{0, 2}, {0x5001, 1}, {0x5003, 3}}));
    EXPECT_EQ(CountOf(messages, "Unable to find Element ID: 4 in Bank ID: 4"), 1u);
}

TEST_F(BankRegistryTest, FirstElementOfAnIdStaysAndTheSecondStillTakesItsKey) {
    ASSERT_EQ(Bank(BankFile(0x100, 1, {{7, 0xA, {{1, 8}}}, {7, 0xB, {}}, {8, 0xC, {}}})), 0);
    const DynamicBank& bank = *registry.Banks().at(0x100);
    ASSERT_EQ(bank.m_Elements.size(), 2u);
    EXPECT_EQ(bank.m_Elements.at(7)->ul_Key, 0xAu);
    EXPECT_EQ(bank.m_Elements.at(7)->ast_SubRefs.size(), 1u);
    EXPECT_EQ(bank.m_Elements.at(8)->ul_Key, 0xCu);
}

TEST_F(BankRegistryTest, ListsKeepOneEntryPerKeyAndReferencesByPosition) {
    ASSERT_EQ(List(ListFile(0x200, {0x30, 0x10, 0x30, 0x20})), 0);
    const auto& entries = registry.FindDynamicBankList(0x200)->m_Entries;
    ASSERT_EQ(entries.size(), 3u);
    for (const auto& [key, bank] : entries)
        EXPECT_EQ(bank, nullptr) << key;

    ASSERT_EQ(RefList(RefListFile(0x300, {{7, 3}, {1, 2}, {7, 3}})), 0);
    const auto& refs = registry.FindElementReferenceList(0x300)->m_Entries;
    EXPECT_EQ(refs, (Counts{{0, 0x0307}, {1, 0x0201}, {2, 0x0307}}));
}

TEST_F(BankRegistryTest, NullOrAlreadyRegisteredFileChangesNothing) {
    EXPECT_EQ(registry.ParseDynamicBank(static_cast<const BankFileView*>(nullptr)), -1);
    EXPECT_EQ(registry.ParseDynamicBankList(static_cast<const BankFileView*>(nullptr)), -1);
    EXPECT_EQ(registry.ParseElementReferenceList(static_cast<const BankFileView*>(nullptr)), -1);

    ASSERT_EQ(Bank(BankFile(0x100, 1, {{1, 0xA, {}}})), 0);
    EXPECT_EQ(Bank(BankFile(0x100, 2, {{1, 0xB, {}}, {2, 0xC, {}}})), -1);
    EXPECT_EQ(registry.Banks().at(0x100)->uc_BankId, 1);
    EXPECT_EQ(registry.Banks().at(0x100)->m_Elements.size(), 1u);

    ASSERT_EQ(List(ListFile(0x100, {0x1})), 0);  // one map per kind: the same key elsewhere is fine
    EXPECT_EQ(List(ListFile(0x100, {0x2})), -1);
    EXPECT_EQ(registry.FindDynamicBankList(0x100)->m_Entries.count(0x1), 1u);
    ASSERT_EQ(RefList(RefListFile(0x100, {{1, 1}})), 0);
    EXPECT_EQ(RefList(RefListFile(0x100, {})), -1);
}

TEST_F(BankRegistryTest, SameBankIdResolvesInTheLowerKeyedBankFirst) {
    ASSERT_EQ(Bank(BankFile(0x900, 5, {{1, 0xB1, {}}, {2, 0xB2, {}}})), 0);  // higher key
    ASSERT_EQ(Bank(BankFile(0x100, 5, {{1, 0xA1, {}}})), 0);                 // lower key
    ASSERT_EQ(RefList(RefListFile(0x300, {{5, 1}, {5, 2}})), 0);
    const std::vector<std::string> messages = Resolve();
    EXPECT_EQ(RefListCounts(0x300), (Counts{{0xA1, 1}, {0xB2, 1}}));
    EXPECT_TRUE(messages.empty());
    EXPECT_TRUE(registry.MissingElementRefs().empty());
}

TEST_F(BankRegistryTest, OneLinePerDistinctMissingReference) {
    ASSERT_EQ(Bank(BankFile(0x100, 7, {{1, 0xA, {{7, 3}, {7, 3}}}})), 0);
    ASSERT_EQ(RefList(RefListFile(0x300, {{7, 3}, {7, 3}, {7, 3}, {2, 250}})), 0);
    ASSERT_EQ(RefList(RefListFile(0x301, {{7, 3}})), 0);
    const std::vector<std::string> messages = Resolve();
    EXPECT_EQ(CountOf(messages, "Unable to find Element ID: 3 in Bank ID: 7"), 1u);
    EXPECT_EQ(CountOf(messages, "Unable to find Element ID: 250 in Bank ID: 2"), 1u);
    EXPECT_EQ(messages.size(), 2u);
    // Every miss is counted: twice from the element (its two sub-references), four times from the lists.
    EXPECT_EQ(registry.MissingElementRefs(), (Counts{{(2u << 24) | 250u, 1}, {(7u << 24) | 3u, 6}}));
    EXPECT_TRUE(RefListCounts(0x300).empty());
}

TEST_F(BankRegistryTest, BankListsTakeEachKeyOfTheirBanksOnce) {
    ASSERT_EQ(Bank(BankFile(0x100, 1, {{1, 0xA, {{2, 1}}}, {2, 0xA, {}}})), 0);
    ASSERT_EQ(Bank(BankFile(0x110, 2, {{1, 0xB, {}}})), 0);
    ASSERT_EQ(List(ListFile(0x200, {0x100, 0x110, 0x777})), 0);
    const std::vector<std::string> messages = Resolve();

    EXPECT_EQ(BankCounts(0x100), (Counts{{0xA, 2}, {0xB, 1}}));
    EXPECT_EQ(registry.FindDynamicBankList(0x200)->m_RefCounts, (Counts{{0xA, 1}, {0xB, 2}}));
    EXPECT_EQ(registry.FindDynamicBankList(0x200)->m_Entries.at(0x100), registry.Banks().at(0x100).get());
    // The key of no parsed bank: once when binding, once when gathering.
    EXPECT_EQ(messages, (std::vector<std::string>{
                            "_eResolveBankList: Unable to find a Resource: 1911",
                            "_eResolveBankList: pBank is still NULL after Internal Resolve: 1911",
                        }));
}

TEST_F(BankRegistryTest, FindBankAsksTheBankListsAndTheLastOneDecides) {
    ASSERT_EQ(Bank(BankFile(0x100, 1, {{1, 0xA, {}}})), 0);
    ASSERT_EQ(Bank(BankFile(0x110, 2, {{1, 0xB, {}}})), 0);  // named by no list
    ASSERT_EQ(List(ListFile(0x200, {0x100})), 0);
    Resolve();

    testing::internal::CaptureStdout();
    EXPECT_EQ(registry.FindBank(0x100), registry.Banks().at(0x100).get());
    EXPECT_EQ(registry.FindBank(0x110), nullptr);
    EXPECT_EQ(registry.FindDynamicBankList(0x999), nullptr);
    EXPECT_EQ(registry.FindElementReferenceList(0x999), nullptr);
    EXPECT_EQ(Messages(testing::internal::GetCapturedStdout()),
              (std::vector<std::string>{"Critical Error Unable to find Bank : 272"}));

    // A later list that names the bank without having it bound decides.
    ASSERT_EQ(List(ListFile(0x300, {0x100})), 0);
    testing::internal::CaptureStdout();
    EXPECT_EQ(registry.FindBank(0x100), nullptr);
    EXPECT_EQ(Messages(testing::internal::GetCapturedStdout()),
              (std::vector<std::string>{"Critical Error Unable to find Bank : 256"}));
}

TEST_F(BankRegistryTest, ElementsReferringToEachOtherInACycleResolveOnce) {
    // A.1 -> B.1 -> A.1, A.2 -> A.2, B.1 also -> A.2.
    ASSERT_EQ(Bank(BankFile(0x100, 1, {{1, 0xA1, {{2, 1}}}, {2, 0xA2, {{1, 2}}}})), 0);
    ASSERT_EQ(Bank(BankFile(0x110, 2, {{1, 0xB1, {{1, 1}, {1, 2}}}})), 0);
    ASSERT_EQ(RefList(RefListFile(0x300, {{2, 1}, {1, 2}})), 0);
    const std::vector<std::string> messages = Resolve();
    EXPECT_TRUE(messages.empty());
    EXPECT_EQ(BankCounts(0x100), (Counts{{0xA1, 1}, {0xA2, 2}, {0xB1, 1}}));
    EXPECT_EQ(BankCounts(0x110), (Counts{{0xA1, 1}, {0xA2, 1}, {0xB1, 1}}));
    EXPECT_EQ(RefListCounts(0x300), (Counts{{0xA1, 1}, {0xA2, 2}, {0xB1, 1}}));

    // Each resolution starts afresh.
    Counts counts;
    EXPECT_EQ(registry.ResolveElementRef(ElementRef{1, 1}, &counts), 0);
    EXPECT_EQ(registry.ResolveElementRef(ElementRef{1, 1}, &counts), 0);
    EXPECT_EQ(counts, (Counts{{0xA1, 2}, {0xA2, 2}, {0xB1, 2}}));
}

TEST_F(BankRegistryTest, LongChainOfElementsResolvesWithoutRecursion) {
    // 20 banks of 250 elements, each element pointing to the next one.
    constexpr uint8_t kBanks = 20;
    constexpr uint8_t kElements = 250;
    for (uint8_t b = 0; b < kBanks; ++b) {
        std::vector<Elem> elems;
        for (uint8_t e = 0; e < kElements; ++e) {
            const bool last = e + 1 == kElements;
            const Ref next = last ? Ref{static_cast<uint8_t>((b + 1) % kBanks), 0} : Ref{b, e + 1};
            elems.push_back({e, 0x10000u * (b + 1) + e, {next}});
        }
        ASSERT_EQ(Bank(BankFile(0x1000 + b, b, elems)), 0);
    }
    Counts counts;
    EXPECT_EQ(registry.ResolveElementRef(ElementRef{3, 17}, &counts), 0);
    EXPECT_EQ(counts.size(), size_t{kBanks} * kElements);
    for (const auto& [key, count] : counts)
        EXPECT_EQ(count, 1u) << key;
}

TEST_F(BankRegistryTest, ElementIdIsNotCountedAsAResourceKey) {
    ASSERT_EQ(Bank(BankFile(0x100, 3, {{5, 0x1234, {{3, 6}}}, {6, 0x5678, {}}})), 0);
    ASSERT_EQ(RefList(RefListFile(0x300, {{3, 5}})), 0);
    Resolve();
    EXPECT_EQ(RefListCounts(0x300), (Counts{{0x1234, 1}, {0x5678, 1}}));
    EXPECT_EQ(BankCounts(0x100), (Counts{{0x1234, 1}, {0x5678, 2}}));
}

TEST_F(BankRegistryTest, DamagedPayloadsGiveAnErrorLineAndKeepWhatWasWhole) {
    struct Case {
        const char* what;
        int kind;  // 87, 88 or 89
        TestFile file;
        size_t kept;  // elements or entries registered
        bool assertion;
    };
    auto bank = [](std::vector<uint8_t> payload, std::vector<uint32_t> keys = {}) {
        TestFile f;
        f.key = 0x42;
        f.payload = std::move(payload);
        for (uint32_t k : keys)
            f.AddRefKey(k);
        return f;
    };
    TestFile twoThenNoKey = BankFile(0x42, 1, {{1, 0xA, {}}, {2, 0xB, {}}, {3, 0xC, {}}});
    twoThenNoKey.refKeys.resize(8);  // the third element's key is missing from the table
    TestFile cutInSubRefs = BankFile(0x42, 1, {{1, 0xA, {}}, {2, 0xB, {{1, 1}, {1, 1}}}});
    cutInSubRefs.payload.resize(cutInSubRefs.payload.size() - 1);
    const Case cases[] = {
        {"bank of one byte", 87, bank({0x01}), 0, false},
        {"255 elements in 8 bytes", 87, bank({1, 255, 1, 1, 0, 0, 2, 1}, {7, 8}), 1, false},
        {"element key past the table", 87, twoThenNoKey, 2, false},
        {"sub-references cut short", 87, cutInSubRefs, 1, false},
        {"65535 sub-references", 87, bank({1, 1, 1, 1, 0xFF, 0xFF, 1, 1}, {7}), 0, false},
        {"name without its end", 87, bank({1, 2, 1, 0xFE, 'a', 0, 0, 0, 2, 0xFE, 'b', 'c', 'd', 'e'}), 1,
         true},
        {"id without marker", 87, bank({1, 1, 1, 0xFE, 0, 0}), 0, false},
        {"list of 5 with 2 keys", 88, bank({5}, {0x10, 0x20}), 2, false},
        {"list of 255 with no key", 88, bank({255}), 0, false},
        {"reference list of one byte", 89, bank({3}), 0, false},
        {"65535 references in 4 bytes", 89, bank({0xFF, 0xFF, 1, 1, 2, 2}), 2, false},
        {"odd reference bytes", 89, bank({2, 0, 1, 1, 2}), 1, false},
    };
    for (const Case& c : cases) {
        BankRegistry fresh;
        std::vector<std::string> asserts;
        const int listener = ERR_AddLogListener([&](const ERR_st_LogRecord& r) {
            if (r.level == ERR_Level_Assert)
                asserts.push_back(r.text);
        });
        const BankFileView view = c.file.View();
        testing::internal::CaptureStdout();
        const int32_t result = c.kind == 87   ? fresh.ParseDynamicBank(&view)
                               : c.kind == 88 ? fresh.ParseDynamicBankList(&view)
                                              : fresh.ParseElementReferenceList(&view);
        const std::vector<std::string> messages = Messages(testing::internal::GetCapturedStdout());
        ERR_RemoveLogListener(listener);

        EXPECT_EQ(result, 0) << c.what;
        ASSERT_EQ(messages.size(), 1u) << c.what;
        EXPECT_EQ(messages[0].rfind("Malformed ", 0), 0u) << c.what << ": " << messages[0];
        EXPECT_NE(messages[0].find(" 66: "), std::string::npos) << c.what << ": " << messages[0];
        size_t kept = 0;
        if (c.kind == 87)
            kept = fresh.Banks().at(0x42)->m_Elements.size();
        else if (c.kind == 88)
            kept = fresh.FindDynamicBankList(0x42)->m_Entries.size();
        else
            kept = fresh.FindElementReferenceList(0x42)->m_Entries.size();
        EXPECT_EQ(kept, c.kept) << c.what;
        EXPECT_EQ(CountOf(asserts, "Overlapping read buffer"), c.assertion ? 1u : 0u) << c.what;
        // The registry resolves whatever was kept.
        testing::internal::CaptureStdout();
        EXPECT_EQ(fresh.ResolveAll(), 0);
        testing::internal::GetCapturedStdout();
    }
}

TEST_F(BankRegistryTest, ContentSplitChecksTheReferenceTable) {
    std::vector<uint8_t> content;
    BIG::Endian::ByteAppender out(&content);
    out.U32(2);
    out.U32(0xAAAA);
    out.U32(0xBBBB);
    out.U8(1);
    BankFileView view;
    ASSERT_TRUE(BankFileView::bFromContent(0x42, content.data(), content.size(), &view));
    EXPECT_EQ(view.ul_RefCount, 2u);
    EXPECT_EQ(view.ul_PayloadSize, 1u);
    EXPECT_EQ(BIG::Endian::Get32(view.pu8_RefKeys + 4), 0xBBBBu);

    const std::vector<uint8_t> tooMany = {0xFF, 0xFF, 0xFF, 0xFF, 1, 2, 3, 4};
    EXPECT_FALSE(BankFileView::bFromContent(0x42, tooMany.data(), tooMany.size(), &view));
    EXPECT_FALSE(BankFileView::bFromContent(0x42, content.data(), 3, &view));
    EXPECT_FALSE(BankFileView::bFromContent(0x42, content.data(), 11, &view));
}

TEST_F(BankRegistryTest, FileDataFromTheAsynchronousTable) {
    // Stored content: reference table (count, keys), then the bank list payload.
    std::vector<uint8_t> content;
    BIG::Endian::ByteAppender out(&content);
    out.U32(2);
    out.U32(0x100);
    out.U32(0x110);
    out.U8(2);
    BIG::FBuff* buffer = new BIG::FBuff(content.data(), static_cast<uint32_t>(content.size()));
    buffer->AddRef();
    BIG_st_FileData data;
    data.po_Buffer = buffer;
    data.pu8_RefTable = content.data();
    data.ul_RefCount = 2;
    data.pu8_Data = content.data() + 12;
    data.ul_DataSize = 1;
    EXPECT_EQ(registry.ParseDynamicBankList(0x200, &data), 0);
    buffer->Release();
    const auto& entries = registry.FindDynamicBankList(0x200)->m_Entries;
    EXPECT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries.count(0x110), 1u);

    // A file that could not be read is registered with nothing in it.
    BIG_st_FileData unread;
    EXPECT_EQ(registry.ParseDynamicBank(0x300, &unread), 0);
    EXPECT_EQ(registry.ParseElementReferenceList(0x300, static_cast<const BIG_st_FileData*>(nullptr)), 0);
    EXPECT_TRUE(registry.Banks().at(0x300)->m_Elements.empty());
    EXPECT_TRUE(registry.FindElementReferenceList(0x300)->m_Entries.empty());
}

TEST_F(BankRegistryTest, ClearEmptiesEverythingForTheNextRun) {
    ASSERT_EQ(Bank(BankFile(0x100, 1, {{1, 0xA, {{9, 9}}}})), 0);
    ASSERT_EQ(List(ListFile(0x200, {0x100})), 0);
    ASSERT_EQ(RefList(RefListFile(0x300, {{1, 1}})), 0);
    Resolve();
    EXPECT_FALSE(registry.MissingElementRefs().empty());
    registry.Clear();
    EXPECT_TRUE(registry.Banks().empty());
    EXPECT_TRUE(registry.BankLists().empty());
    EXPECT_TRUE(registry.ElementReferenceLists().empty());
    EXPECT_TRUE(registry.MissingElementRefs().empty());

    // The same keys parse again, and references resolve against the new banks only.
    ASSERT_EQ(Bank(BankFile(0x100, 1, {{2, 0xB, {}}})), 0);
    ASSERT_EQ(RefList(RefListFile(0x300, {{1, 1}, {1, 2}})), 0);
    const std::vector<std::string> messages = Resolve();
    EXPECT_EQ(RefListCounts(0x300), (Counts{{0xB, 1}}));
    EXPECT_EQ(messages, (std::vector<std::string>{"Unable to find Element ID: 1 in Bank ID: 1"}));
}

TEST(BankRegistryInstance, IsOneProcessWideObject) {
    EXPECT_EQ(&BankRegistry::Instance(), &BankRegistry::Instance());
}

}  // namespace
