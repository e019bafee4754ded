// The fault loop: each editing operation runs while the platform fails its
// n-th write, flush or rename, for every n from 1 until the operation runs
// without a fault. After each run the bigfile opens, every other file reads
// back byte-identical, the operation's own file is wholly old or wholly new,
// and the table that made the edit agrees with the bigfile on disk.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "BIGfile/BIG_Fat.h"
#include "BIGfile/BIG_Init.h"
#include "fat_test_support.h"
#include "platform/FaultInjection.h"

namespace {

using namespace fat_test;

constexpr uint32_t kNewKey = 0x300;
// Files of the template bigfile.
constexpr uint32_t kSmall = 0x100;     // saved in place
constexpr uint32_t kLarge = 0x101;     // saved larger: moves to the end
constexpr uint32_t kCopies = 0x102;    // a copy list of two places
constexpr uint32_t kDoomed = 0x104;    // deleted
constexpr uint32_t kEmpty = 0x105;     // created without content, then saved
constexpr uint32_t kAfterGap = 0x107;  // moved down by Clean

// Key -> content of every used file (no content: ""); the header's package word under key 0.
using Snapshot = std::map<uint32_t, std::string>;

// Each copy of a copy list, read at its own place, joined by "|".
std::string Copies(BIG_cl_Fat& fat, uint32_t positionWord) {
    std::string out;
    for (uint32_t c = 0; c < (positionWord >> 27); ++c) {
        const uint32_t place = BIG_ul_DuplicatedPosition((positionWord & 0x7FFFFFF) + c);
        const BIG_POS at = BIG_POS::FromValue(fat.oGetDataPos().ul_GetValue() + place);
        uint8_t raw[4] = {};
        std::string bytes;
        if (fat.File().eRead(at, raw, 4) == BIG::eFile_Ok) {
            bytes.resize(BIG::Endian::Get32(raw));
            if (bytes.size() > 1u << 20 ||
                fat.File().eRead(at, bytes.data(), static_cast<uint32_t>(bytes.size()), 4) != BIG::eFile_Ok)
                bytes = "<unreadable>";
        }
        out += (c != 0 ? "|" : "") + bytes;
    }
    return out;
}

Snapshot Take(BIG_cl_Fat& fat) {
    Snapshot out;
    for (uint32_t i = 0; i < fat.ul_GetFileCount(); ++i) {
        const BIG_st_FileEntry& e = fat.FileEntry(i);
        if (e.ul_Key == 0)
            continue;
        if ((e.uc_StorageFlags & BIG_st_FileEntry::kStorageCopyList) != 0)
            out[e.ul_Key] = Copies(fat, e.ul_Pos);
        else
            out[e.ul_Key] = fat.bIsFilePositionValid(i) ? Content(fat, i) : std::string();
    }
    out[0] = std::to_string(fat.ul_GetPackageWord());
    return out;
}

// Every used file is listed once by the directory tree.
void ExpectListed(BIG_cl_Fat& fat) {
    std::vector<uint32_t> listed;
    fat.ListFilesInSubtree(BIG_cl_Fat::kRootDir, &listed);
    EXPECT_EQ(listed.size(), fat.ul_CountUsedFiles());
}

struct Operation {
    const char* name;
    bool full;  // runs on the bigfile whose file table is full
    std::function<void(BIG_cl_Fat&)> run;
    // The expected state after a fault-free run, from the state before.
    std::function<void(Snapshot&)> apply;
};

std::string Pattern(size_t size, char seed) {
    std::string s(size, '\0');
    for (size_t i = 0; i < size; ++i)
        s[i] = static_cast<char>(seed + i * 13 + (i >> 7));
    return s;
}

const std::string kCopyContent = Pattern(64, 'c');

std::vector<Operation> Operations() {
    auto save = [](uint32_t key, std::string content) {
        return [key, content](BIG_cl_Fat& fat) {
            fat.SaveFile(fat.ul_GetFileIndex(key), content.data(), static_cast<uint32_t>(content.size()));
        };
    };
    auto becomes = [](uint32_t key, std::string content) {
        return [key, content](Snapshot& s) { s[key] = content; };
    };
    return {
        {"create", false, [](BIG_cl_Fat& fat) { fat.ul_CreateFile("made.ini", 1000, 0, kNewKey); },
         becomes(kNewKey, "")},
        {"save new content", false, save(kEmpty, "first content"), becomes(kEmpty, "first content")},
        {"save in place", false, save(kSmall, "SMALL"), becomes(kSmall, "SMALL")},
        {"save larger", false, save(kLarge, Pattern(5000, 'L')), becomes(kLarge, Pattern(5000, 'L'))},
        {"save to copy places", false, save(kCopies, Pattern(64, 'C')),
         becomes(kCopies, Pattern(64, 'C') + "|" + Pattern(64, 'C'))},
        {"delete", false, [](BIG_cl_Fat& fat) { fat.bDeleteFile(fat.ul_GetFileIndex(kDoomed)); },
         [](Snapshot& s) { s.erase(kDoomed); }},
        {"create directory", false,
         [](BIG_cl_Fat& fat) {
             const uint16_t dir = fat.uw_CreateDir("fresh", BIG_cl_Fat::kRootDir);
             if (dir != BIG_cl_Fat::kNoDir)
                 fat.ul_CreateFile("inside.ini", 1000, dir, kNewKey);
         },
         becomes(kNewKey, "")},
        {"clean", false, [](BIG_cl_Fat& fat) { fat.Clean(); }, [](Snapshot&) {}},
        {"header rewrite", false, [](BIG_cl_Fat& fat) { fat.SetPackageId(0x77); },
         [](Snapshot& s) { s[0] = std::to_string((0x77u << 16) | (std::stoul(s[0]) & 0xFFFF)); }},
        {"growth", true, [](BIG_cl_Fat& fat) { fat.ul_CreateFile("grown.ini", 1000, 0, kNewKey); },
         becomes(kNewKey, "")},
    };
}

class FatFaultLoop : public ::testing::Test {
protected:
    void SetUp() override {
        // Room to spare: a copy list whose second copy is what the deleted
        // "second.bin" held, and a gap before the last file for Clean.
        m_roomy = m_tmp.File("roomy.bf");
        ASSERT_TRUE(MakeBigfile(m_roomy, 16, 8,
                                {{"/a", "small.ini", kSmall, "small"},
                                 {"/a", "large.ini", kLarge, Pattern(3000, 'l')},
                                 {"/a", "copies.ini", kCopies, kCopyContent},
                                 {"/b", "second.ini", 0x103, kCopyContent},
                                 {"/b", "doomed.ini", kDoomed, "doomed"},
                                 {"/b", "empty.ini", kEmpty, ""},
                                 {"/b", "gap.ini", 0x106, Pattern(700, 'g')},
                                 {"/b", "after.ini", kAfterGap, Pattern(900, 'a')}}));
        {
            BIG_cl_Fat fat;
            ASSERT_TRUE(OpenBigfile(fat, m_roomy, false));
            const uint32_t copies = fat.ul_GetFileIndex(kCopies);
            const uint32_t second = fat.ul_GetFileIndex(0x103);
            m_places = {fat.FileEntry(copies).ul_Pos, fat.FileEntry(second).ul_Pos};
            BIG_st_FileEntry* e = fat.pst_GetFileEntry(copies);
            e->uc_StorageFlags |= BIG_st_FileEntry::kStorageCopyList;
            e->ul_Pos = 2u << 27;
            fat.WriteFileEntry(copies);
            ASSERT_TRUE(fat.bDeleteFile(second));
            ASSERT_TRUE(fat.bDeleteFile(fat.ul_GetFileIndex(0x106)));
            fat.File().eFlush();
        }
        // Every file entry used: the next creation grows the tables.
        m_full = m_tmp.File("full.bf");
        ASSERT_TRUE(MakeBigfile(m_full, 4, 4,
                                {{"/a", "one.ini", kSmall, "one"},
                                 {"/a", "two.ini", kLarge, Pattern(3000, 't')},
                                 {"/b", "three.ini", 0x102, "three"},
                                 {"/b", "four.ini", 0x103, Pattern(200, 'f')}}));
        m_saved = BIG_LibraryHooks().duplicatedPosition;
        BIG_LibraryHooks().duplicatedPosition = [this](uint32_t index) {
            return index < m_places.size() ? m_places[index] : 0xFFFFFFFFu;
        };
    }
    void TearDown() override {
        PLT::ClearFaults();
        BIG_LibraryHooks().duplicatedPosition = m_saved;
    }

    TempFolder m_tmp;
    std::string m_roomy;
    std::string m_full;
    std::vector<uint32_t> m_places;
    std::function<uint32_t(uint32_t)> m_saved;
};

TEST_F(FatFaultLoop, EveryEditLeavesAWholeBigfileWhateverCallFails) {
    Messages quiet;  // the write-error reports of the failed runs
    const struct {
        PLT::FaultOp op;
        const char* name;
    } kinds[] = {
        {PLT::FaultOp::eWrite, "write"}, {PLT::FaultOp::eFlush, "flush"}, {PLT::FaultOp::eRename, "rename"}};
    const Bytes roomy = ReadAll(m_roomy);
    const Bytes full = ReadAll(m_full);
    uint64_t total = 0;
    std::string summary;
    for (const Operation& op : Operations()) {
        const std::string& path = op.full ? m_full : m_roomy;
        const Bytes& original = op.full ? full : roomy;
        Snapshot before;
        {
            WriteAll(path, original);
            BIG_cl_Fat fat;
            ASSERT_TRUE(OpenBigfile(fat, path, true));
            before = Take(fat);
        }
        Snapshot after = before;
        op.apply(after);
        for (const auto& kind : kinds) {
            uint64_t points = 0;
            for (uint64_t nth = 1;; ++nth) {
                SCOPED_TRACE(testing::Message() << op.name << ", " << kind.name << " " << nth);
                ASSERT_LT(nth, 500u);
                WriteAll(path, original);
                Snapshot edited;
                bool fired = false;
                {
                    BIG_cl_Fat fat;
                    ASSERT_TRUE(OpenBigfile(fat, path, false));
                    PLT::InjectFault(kind.op, nth);
                    op.run(fat);
                    fat.File().eFlush();
                    fired = PLT::InjectedFailures(kind.op) != 0;
                    PLT::ClearFaults();
                    edited = Take(fat);
                    fat.File().eClose();
                }
                BIG_cl_Fat again;
                ASSERT_TRUE(OpenBigfile(again, path, true)) << quiet.All();
                ExpectListed(again);
                const Snapshot disk = Take(again);
                EXPECT_EQ(disk, edited) << "the table that edited agrees with the disk";
                if (!fired) {
                    EXPECT_EQ(disk, after);
                    break;
                }
                ++points;
                EXPECT_TRUE(disk == before || disk == after) << "wholly old or wholly new";
            }
            total += points;
            summary += std::string(op.name) + " x " + kind.name + ": " + std::to_string(points) + "\n";
        }
    }
    RecordProperty("failure_points", static_cast<int>(total));
    std::printf("fault loop: %zu operations, %llu failure points\n%s", Operations().size(),
                static_cast<unsigned long long>(total), summary.c_str());
    EXPECT_GT(total, 50u);
}

}  // namespace
