// orvex gen: same seed, same bytes; the bigfile, its banks, the sound
// packages, the gmbigfile and the critical list read back with the project's
// own readers and hold every kind the splitter needs; bad options are refused;
// a large run stays in bounded memory.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "BIGfile/BIG_Endian.h"
#include "BIGfile/BIG_Fat.h"
#include "ERRor/ERR_Assert.h"
#include "host/Gen.h"
#include "platform/Process.h"
#include "plugin/OVI_BankRegistry.h"

namespace {

namespace fs = std::filesystem;
namespace LE = BIG::Endian;
using Bytes = std::vector<uint8_t>;

constexpr uint32_t kLinkMask = 0x000F0000;
constexpr uint32_t kMissingElement = (7u << 24) | 255u;
// 2010-01-01 and 2015-01-01: where the seeded time stamps lie.
constexpr uint32_t kTimeFrom = 1262304000u;
constexpr uint32_t kTimeTo = 1420070400u;

class TempDir {
public:
    explicit TempDir(const std::string& tag) {
        m_path =
            fs::temp_directory_path() /
            ("orvex_gen_" + tag + "_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
             "_" + std::to_string(PLT::CurrentProcessId()) + "_" + std::to_string(std::rand()));
        fs::remove_all(m_path);
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(m_path, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string Path() const { return m_path.string(); }
    std::string operator/(const std::string& name) const { return (m_path / name).string(); }

private:
    fs::path m_path;
};

Bytes ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

HOST::GenSummary Generate(const HOST::GenOptions& options) {
    HOST::GenSummary summary;
    std::string error;
    EXPECT_TRUE(HOST::bGenerate(options, &summary, &error)) << error;
    return summary;
}

HOST::GenOptions Options(const std::string& dir, uint64_t seed, uint32_t worlds, uint32_t files) {
    HOST::GenOptions o;
    o.s_OutDir = dir;
    o.ull_Seed = seed;
    o.ul_Worlds = worlds;
    o.ul_Files = files;
    o.b_GmBigfile = true;
    o.b_CriticalList = true;
    return o;
}

// Every regular file under `root`, by path relative to it.
std::map<std::string, Bytes> Tree(const std::string& root) {
    std::map<std::string, Bytes> out;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        if (entry.is_regular_file())
            out[fs::relative(entry.path(), root).string()] = ReadAll(entry.path().string());
    }
    return out;
}

TEST(Gen, SameSeedGivesTheSameBytesAnotherSeedDiffers) {
    TempDir a("a"), b("b"), c("c");
    const HOST::GenSummary sa = Generate(Options(a.Path(), 11, 3, 600));
    Generate(Options(b.Path(), 11, 3, 600));
    const std::map<std::string, Bytes> ta = Tree(a.Path()), tb = Tree(b.Path());
    ASSERT_GT(ta.size(), 10u);
    ASSERT_EQ(ta.size(), tb.size());
    for (const auto& [name, bytes] : ta) {
        const auto other = tb.find(name);
        ASSERT_NE(other, tb.end()) << name;
        EXPECT_TRUE(bytes == other->second) << name << " differs between two runs of one seed";
    }

    Generate(Options(c.Path(), 12, 3, 600));
    EXPECT_FALSE(ReadAll(a / "data.big") == ReadAll(c / "data.big"));
    EXPECT_FALSE(ReadAll(a / "summary.txt") == ReadAll(c / "summary.txt"));
    EXPECT_EQ(sa.ul_Files, 600u);
}

// ---------------------------------------------------------------- read back

struct FileInfo {
    uint32_t index = 0;
    uint8_t type = 0;
    uint32_t flags = 0;
    uint32_t time = 0;
    std::string name;
    std::string path;
    std::vector<uint32_t> refs;
    Bytes payload;  // the content after its reference table
};

// Every file of a bigfile with its reference table, read through the table's reader.
std::map<uint32_t, FileInfo> ReadBigfile(const std::string& path, BIG_cl_Fat& fat) {
    std::map<uint32_t, FileInfo> files;
    EXPECT_EQ(fat.File().eOpen(path, true, true, false), BIG::eFile_Ok) << path;
    EXPECT_TRUE(fat.ReadFat(true)) << path;
    for (uint32_t i = 0; i < fat.ul_GetFileCount(); ++i) {
        const BIG_st_FileEntry& e = fat.FileEntry(i);
        if (e.ul_Key == 0)
            continue;
        FileInfo f;
        f.index = i;
        f.type = e.uc_Type;
        f.flags = e.ul_Flags;
        f.time = e.ul_Time;
        f.name = fat.GetFileName(i);
        f.path = fat.GetFilePath(i);
        BIG_st_ByteBlock block;
        uint32_t length = 0;
        EXPECT_TRUE(fat.LoadFileInBuffer(i, &block, &length)) << f.path;
        const uint8_t* data = block.p_Data.get();
        EXPECT_GE(length, 4u) << f.path;
        if (length < 4)
            continue;
        const uint32_t m = LE::Get32(data);
        EXPECT_LE(m, (length - 4) / 4) << f.path << ": reference table larger than the content";
        if (m > (length - 4) / 4)
            continue;
        for (uint32_t r = 0; r < m; ++r)
            f.refs.push_back(LE::Get32(data + 4 + 4 * r));
        f.payload.assign(data + 4 + 4 * m, data + length);
        EXPECT_TRUE(files.emplace(e.ul_Key, std::move(f)).second) << "key " << e.ul_Key << " twice";
    }
    return files;
}

// Keys reachable from `root` through reference tables (the root not included).
std::set<uint32_t> Closure(const std::map<uint32_t, FileInfo>& files, uint32_t root) {
    std::set<uint32_t> seen;
    std::vector<uint32_t> todo = {root};
    while (!todo.empty()) {
        const auto f = files.find(todo.back());
        todo.pop_back();
        if (f == files.end())
            continue;
        for (uint32_t k : f->second.refs) {
            if (files.count(k) != 0 && seen.insert(k).second)
                todo.push_back(k);
        }
    }
    return seen;
}

// Strict decoders of the bank formats: every payload byte and reference key is used exactly.
struct DecodedBank {
    bool ok = false;
    uint32_t elements = 0;
};

DecodedBank DecodeBank(const FileInfo& f) {
    DecodedBank out;
    const Bytes& p = f.payload;
    size_t at = 0, key = 0;
    if (p.size() < 2)
        return out;
    const uint32_t n = p[1];
    at = 2;
    for (uint32_t e = 0; e < n; ++e) {
        if (at + 2 > p.size())
            return out;
        const uint8_t marker = p[at + 1];
        at += 2;
        if (marker == 0xFE) {
            while (at < p.size() && p[at] != 0)
                ++at;
            if (at >= p.size())
                return out;
            ++at;
        } else if (key++ >= f.refs.size()) {
            return out;
        }
        if (at + 2 > p.size())
            return out;
        const uint32_t s = LE::Get16(p.data() + at);
        at += 2 + 2 * static_cast<size_t>(s);
    }
    out.ok = at == p.size() && key == f.refs.size();
    out.elements = n;
    return out;
}

bool DecodeBankList(const FileInfo& f) {
    return f.payload.size() == 1 && f.payload[0] == f.refs.size();
}

bool DecodeElementRefList(const FileInfo& f, std::vector<uint32_t>* packed) {
    if (f.payload.size() < 2)
        return false;
    const uint32_t n = LE::Get16(f.payload.data());
    if (f.payload.size() != 2 + 2 * static_cast<size_t>(n))
        return false;
    for (uint32_t i = 0; i < n; ++i)
        packed->push_back((uint32_t{f.payload[2 + 2 * i]} << 24) | f.payload[3 + 2 * i]);
    return true;
}

// A sound package: header, entry table, items, name block, nothing after it.
bool DecodePackage(const Bytes& b, std::vector<std::string>* names) {
    if (b.size() < 64)
        return false;
    const uint32_t table = LE::Get32(b.data() + 4);
    const uint32_t nameBlock = LE::Get32(b.data() + 8);
    if (table % 8 != 0 || uint64_t{64} + table > b.size())
        return false;
    uint64_t items = 0;
    for (uint32_t e = 0; e < table / 8; ++e)
        items += LE::Get32(b.data() + 64 + 8 * e + 4);
    if (uint64_t{64} + table + items != nameBlock || uint64_t{nameBlock} + 8 > b.size())
        return false;
    const uint32_t bytes = LE::Get32(b.data() + nameBlock + 4);
    if (uint64_t{nameBlock} + 8 + bytes != b.size())
        return false;
    for (size_t at = nameBlock + 8; at < b.size();) {
        size_t end = at;
        while (end < b.size() && b[end] != 0)
            ++end;
        if (end == b.size())
            return false;
        names->emplace_back(reinterpret_cast<const char*>(b.data() + at), end - at);
        at = end + 1;
    }
    return names->size() == LE::Get32(b.data() + nameBlock);
}

struct Config {
    uint64_t seed;
    uint32_t worlds;
    uint32_t files;
};

// One generation per configuration, shared by the tests of that configuration
// and removed at exit.
struct Generated {
    std::unique_ptr<TempDir> dir;
    HOST::GenSummary summary;
};

const Generated& GenerateOnce(const Config& c) {
    static std::map<uint64_t, Generated> s_made;
    Generated& g = s_made[c.seed];
    if (g.dir == nullptr) {
        g.dir = std::make_unique<TempDir>("read" + std::to_string(c.seed));
        g.summary = Generate(Options(g.dir->Path(), c.seed, c.worlds, c.files));
    }
    return g;
}

class GenReadBack : public ::testing::TestWithParam<Config> {
protected:
    void SetUp() override {
        ERR_SetInteractive(false);
        const Generated& g = GenerateOnce(GetParam());
        m_dir = g.dir.get();
        m_summary = g.summary;
        m_files = ReadBigfile(*m_dir / "data.big", m_fat);
    }
    void TearDown() override {
        if (m_fat.File().bIsOpen())
            m_fat.File().eClose();
    }

    const TempDir* m_dir = nullptr;
    HOST::GenSummary m_summary;
    BIG_cl_Fat m_fat;
    std::map<uint32_t, FileInfo> m_files;
};

TEST_P(GenReadBack, BigfileHoldsEveryKindTheSplitterNeeds) {
    ASSERT_EQ(m_files.size(), m_summary.ul_Files);
    EXPECT_GE(m_summary.ul_Files, GetParam().files);

    std::map<uint8_t, uint32_t> byType;
    uint32_t links = 0, missing = 0, smallMissing = 0;
    std::set<uint32_t> referenced;
    for (const auto& [key, f] : m_files) {
        ++byType[f.type];
        EXPECT_GE(f.time, kTimeFrom) << f.path << ": time stamp from the clock?";
        EXPECT_LT(f.time, kTimeTo) << f.path;
        if ((f.flags & kLinkMask) == 0) {
            ++links;
            ASSERT_EQ(f.refs.size(), 4u) << f.path;
            EXPECT_TRUE(f.payload.empty()) << f.path;
            uint32_t targets[4];
            m_fat.GetLinkFileKeys(f.index, targets);
            for (int t = 0; t < 4; ++t)
                EXPECT_EQ(targets[t], f.refs[t]) << f.path;
        }
        for (uint32_t r : f.refs) {
            referenced.insert(r);
            if (r != 0 && r != 0xFFFFFFFF && m_files.count(r) == 0) {
                ++missing;
                smallMissing += r <= 255 ? 1 : 0;
            }
        }
    }
    EXPECT_EQ(links, m_summary.ul_LinkFiles);
    EXPECT_GE(links, 1 + 2 * GetParam().worlds);
    EXPECT_EQ(missing, m_summary.ul_MissingRefs);
    EXPECT_GE(smallMissing, 1u);
    EXPECT_GT(missing, smallMissing);
    EXPECT_TRUE(referenced.count(0) != 0 && referenced.count(0xFFFFFFFF) != 0);

    EXPECT_EQ(byType[4], GetParam().worlds);
    EXPECT_EQ(byType[87], m_summary.ul_Banks);
    EXPECT_EQ(byType[88], GetParam().worlds);
    EXPECT_EQ(byType[89], GetParam().worlds);
    EXPECT_EQ(byType[126], m_summary.ul_TxdFiles);
    EXPECT_GE(byType[126], 3u);
    for (uint8_t type : {40, 60, 129, 131, 52, 61, 62, 63, 64, 86, 109})
        EXPECT_GE(byType[type], 1u) << "no file of type " << int{type};
    for (uint32_t key : {0x02000000u, 0xBD10946Bu, 0xB7101620u, 0x1F10C807u, 0xFC0B0ABCu, 0xDD008657u})
        EXPECT_EQ(m_files.count(key), 1u) << std::hex << key;
    EXPECT_EQ(m_files.count(0x1000), 0u) << "0x1000 is the duplicated-files table";

    // Textures of widely varied sizes.
    size_t smallest = SIZE_MAX, largest = 0;
    for (const auto& [key, f] : m_files) {
        if (f.type == 126) {
            smallest = std::min(smallest, f.payload.size());
            largest = std::max(largest, f.payload.size());
        }
    }
    EXPECT_GT(largest, 4 * smallest);

    // The forced directory holds files and a subdirectory.
    const uint16_t forced = m_fat.FindSubDir("Interface", BIG_cl_Fat::kRootDir);
    ASSERT_NE(forced, BIG_cl_Fat::kNoDir);
    EXPECT_NE(m_fat.DirEntry(forced).uw_FirstSubDir, BIG_cl_Fat::kNoDir);
    std::vector<uint32_t> inForced;
    m_fat.ListFilesInSubtree(forced, &inForced);
    EXPECT_EQ(inForced.size(), m_summary.ul_ForcedDirFiles);

    // Worlds: named as the summary says, each reaching textures; with several
    // worlds some files are needed by two or more and others by one only.
    ASSERT_EQ(m_summary.worlds.size(), GetParam().worlds);
    std::map<uint32_t, uint32_t> users;
    for (const HOST::GenWorld& w : m_summary.worlds) {
        const auto f = m_files.find(w.ul_Key);
        ASSERT_NE(f, m_files.end()) << w.s_Name;
        EXPECT_EQ(f->second.type, 4);
        EXPECT_EQ(f->second.name, w.s_Name + ".wor");
        const std::set<uint32_t> closure = Closure(m_files, w.ul_Key);
        bool texture = false;
        for (uint32_t k : closure) {
            ++users[k];
            texture = texture || m_files.at(k).type == 126;
        }
        EXPECT_TRUE(texture) << w.s_Name;
        EXPECT_GT(closure.size(), 20u) << w.s_Name;
    }
    uint32_t sharedByTwo = 0, ownedByOne = 0;
    for (const auto& [key, n] : users) {
        sharedByTwo += n >= 2 ? 1 : 0;
        ownedByOne += n == 1 ? 1 : 0;
    }
    EXPECT_GT(ownedByOne, 0u);
    if (GetParam().worlds >= 2) {
        EXPECT_GT(sharedByTwo, 0u);
    }

    // Files under /Unused are needed by nothing.
    uint32_t unneeded = 0;
    for (const auto& [key, f] : m_files) {
        if (f.path.rfind("/Unused/", 0) == 0 || f.path.rfind("//Unused/", 0) == 0) {
            ++unneeded;
            EXPECT_EQ(referenced.count(key), 0u) << f.path;
        }
    }
    EXPECT_EQ(unneeded, m_summary.ul_UnneededFiles);
}

TEST_P(GenReadBack, BankPayloadsDecodeAndResolve) {
    ORVEX::BankRegistry& registry = ORVEX::BankRegistry::Instance();
    registry.Clear();
    std::set<uint32_t> listed;
    uint32_t missingRefs = 0;
    for (const auto& [key, f] : m_files) {
        if (f.type != 87 && f.type != 88 && f.type != 89)
            continue;
        Bytes content(4 + 4 * f.refs.size());
        LE::Put32(content.data(), static_cast<uint32_t>(f.refs.size()));
        for (size_t r = 0; r < f.refs.size(); ++r)
            LE::Put32(content.data() + 4 + 4 * r, f.refs[r]);
        content.insert(content.end(), f.payload.begin(), f.payload.end());
        ORVEX::BankFileView view;
        ASSERT_TRUE(ORVEX::BankFileView::bFromContent(key, content.data(), content.size(), &view));
        if (f.type == 87) {
            const DecodedBank bank = DecodeBank(f);
            EXPECT_TRUE(bank.ok) << f.path;
            EXPECT_GE(bank.elements, 1u) << f.path;
            EXPECT_EQ(registry.ParseDynamicBank(&view), 0) << f.path;
            ASSERT_NE(registry.Banks().count(key), 0u);
            EXPECT_EQ(registry.Banks().at(key)->m_Elements.size(), bank.elements) << f.path;
        } else if (f.type == 88) {
            EXPECT_TRUE(DecodeBankList(f)) << f.path;
            for (uint32_t r : f.refs) {
                EXPECT_EQ(m_files.at(r).type, 87) << f.path << " lists a file that is no bank";
                listed.insert(r);
            }
            EXPECT_EQ(registry.ParseDynamicBankList(&view), 0) << f.path;
        } else {
            std::vector<uint32_t> packed;
            EXPECT_TRUE(DecodeElementRefList(f, &packed)) << f.path;
            for (uint32_t p : packed)
                missingRefs += p == kMissingElement ? 1 : 0;
            EXPECT_EQ(registry.ParseElementReferenceList(&view), 0) << f.path;
        }
    }
    EXPECT_EQ(missingRefs, 1u);
    EXPECT_EQ(registry.ResolveAll(), 0);

    // Every listed bank was found; the one reference to an absent element is the only one missing.
    for (const auto& [key, list] : registry.BankLists()) {
        for (const auto& [bankKey, bank] : list->m_Entries)
            EXPECT_NE(bank, nullptr) << bankKey;
        EXPECT_FALSE(list->m_RefCounts.empty());
    }
    ASSERT_EQ(registry.MissingElementRefs().size(), 1u);
    EXPECT_EQ(registry.MissingElementRefs().begin()->first, kMissingElement);
    // Element reference lists resolve into keys of the bigfile (0 for elements named by text).
    for (const auto& [key, list] : registry.ElementReferenceLists()) {
        EXPECT_FALSE(list->m_RefCounts.empty());
        for (const auto& [resource, count] : list->m_RefCounts)
            EXPECT_TRUE(resource == 0 || m_files.count(resource) != 0) << std::hex << resource;
    }
    // One bank is named by no list: the splitter cannot find it.
    EXPECT_EQ(registry.Banks().size(), listed.size() + 1);
    registry.Clear();
}

TEST_P(GenReadBack, SoundPackagesDecode) {
    const std::string root = *m_dir / "Data/sound_bin_pc/";
    uint32_t sounds = 0, absent = 0;
    std::set<std::string> needed = {"7fffffff.pk"};
    for (const auto& [key, f] : m_files) {
        if (f.type != 52 && (f.type < 61 || f.type > 64))
            continue;
        ++sounds;
        const std::string package = f.name.substr(0, f.name.find('.')) + ".pk";
        if (!fs::exists(root + package)) {
            ++absent;
            continue;
        }
        needed.insert(package);
    }
    EXPECT_EQ(sounds, m_summary.ul_SoundFiles);
    EXPECT_EQ(absent, 1u) << "one sound file has no package";

    uint32_t packages = 0;
    for (const auto& entry : fs::directory_iterator(root)) {
        if (!entry.is_regular_file())
            continue;
        ++packages;
        std::vector<std::string> names;
        EXPECT_TRUE(DecodePackage(ReadAll(entry.path().string()), &names)) << entry.path();
        for (const std::string& n : names)
            EXPECT_TRUE(fs::exists(root + n)) << entry.path() << " names " << n;
        needed.erase(entry.path().filename().string());
    }
    EXPECT_TRUE(needed.empty());
    EXPECT_EQ(packages, m_summary.ul_SoundPackages);

    uint32_t english = 0;
    for (const auto& entry : fs::directory_iterator(root + "english")) {
        ++english;
        std::vector<std::string> names;
        EXPECT_TRUE(DecodePackage(ReadAll(entry.path().string()), &names)) << entry.path();
        const std::string stem = entry.path().stem().string();
        EXPECT_EQ(entry.path().extension(), ".lpk");
        EXPECT_TRUE(fs::exists(root + stem + ".pk")) << entry.path();
    }
    EXPECT_EQ(english, m_summary.ul_EnglishPackages);
    EXPECT_LT(english, packages) << "some packages have no English variant";
}

TEST_P(GenReadBack, GmBigfileOverlapsAndCriticalListNamesKeys) {
    BIG_cl_Fat gm;
    const std::map<uint32_t, FileInfo> gmFiles = ReadBigfile(*m_dir / "gm.big", gm);
    gm.File().eClose();
    uint32_t overlap = 0;
    for (const auto& [key, f] : gmFiles) {
        const auto same = m_files.find(key);
        if (same == m_files.end())
            continue;
        ++overlap;
        EXPECT_EQ(f.path, same->second.path);
        EXPECT_TRUE(f.payload == same->second.payload) << f.path;
    }
    EXPECT_EQ(gmFiles.size(), m_summary.ul_GmFiles);
    EXPECT_EQ(overlap, m_summary.ul_GmSharedKeys);
    EXPECT_GT(overlap, 0u);
    EXPECT_LT(overlap, gmFiles.size());

    std::ifstream in(*m_dir / "critical.txt");
    std::string line;
    std::map<uint32_t, uint32_t> listed;
    uint32_t lines = 0;
    while (std::getline(in, line)) {
        char word[64];
        unsigned key = 0, a = 0, b = 0;
        ASSERT_EQ(std::sscanf(line.c_str(), "%63s %u %u %u", word, &key, &a, &b), 4) << line;
        ++listed[key];
        ++lines;
    }
    EXPECT_EQ(lines, m_summary.ul_CriticalKeys);
    uint32_t absent = 0, twice = 0;
    for (const auto& [key, n] : listed) {
        absent += m_files.count(key) == 0 ? 1 : 0;
        twice += n > 1 ? 1 : 0;
    }
    EXPECT_EQ(absent, 1u);
    EXPECT_EQ(twice, 1u);
    for (const HOST::GenWorld& w : m_summary.worlds)
        EXPECT_EQ(listed.count(w.ul_Key), 1u) << w.s_Name;
}

INSTANTIATE_TEST_SUITE_P(Sizes, GenReadBack,
                         ::testing::Values(Config{3, 1, 10},      // raised to the least that holds every kind
                                           Config{5, 4, 1500},    // several worlds sharing a pool
                                           Config{9, 2, 4000}));  // two worlds: sharing means both

// ---------------------------------------------------------------- refusals

TEST(Gen, RefusesBadOptionsAndANonEmptyFolder) {
    TempDir dir("refuse");
    const struct {
        uint32_t worlds;
        uint32_t files;
        double scale;
    } cases[] = {
        {0, 100, 1.0},
        {HOST::kGenMaxWorlds + 1, 100, 1.0},
        {2, HOST::kGenMaxFiles + 1, 1.0},
        {2, 100, 0.0},
        {2, 100, -1.0},
        {2, 100, NAN},
        {2, 100, 65.0},
    };
    for (const auto& c : cases) {
        HOST::GenOptions o = Options(dir.Path(), 1, c.worlds, c.files);
        o.d_SizeScale = c.scale;
        HOST::GenSummary summary;
        std::string error;
        EXPECT_FALSE(HOST::bGenerate(o, &summary, &error)) << c.worlds << " " << c.files << " " << c.scale;
        EXPECT_FALSE(error.empty());
        EXPECT_FALSE(fs::exists(dir.Path())) << "nothing is written for a refused option";
    }

    fs::create_directories(dir.Path());
    { std::ofstream(dir / "keep.txt") << "mine"; }
    HOST::GenSummary summary;
    std::string error;
    EXPECT_FALSE(HOST::bGenerate(Options(dir.Path(), 1, 2, 100), &summary, &error));
    EXPECT_NE(error.find("not empty"), std::string::npos) << error;
    EXPECT_FALSE(fs::exists(dir / "data.big"));
    EXPECT_EQ(ReadAll(dir / "keep.txt"), (Bytes{'m', 'i', 'n', 'e'}));

    EXPECT_FALSE(HOST::bGenerate(Options(dir / "keep.txt", 1, 2, 100), &summary, &error));
}

// ---------------------------------------------------------------- the command

PLT::ProcessResult RunOrvex(const std::vector<std::string>& args, const std::vector<std::string>& env = {}) {
    std::vector<std::string> argv = {ORVEX_EXE};
    argv.insert(argv.end(), args.begin(), args.end());
    PLT::ProcessResult result;
    EXPECT_TRUE(PLT::RunProcess(argv, env, &result));
    return result;
}

TEST(GenCommand, UsageErrors) {
    TempDir dir("usage");
    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{"gen"},
                                               {"gen", dir.Path(), "--worlds", "0"},
                                               {"gen", dir.Path(), "--size-scale", "100"},
                                               {"gen", dir.Path(), "--files", "lots"}}) {
        const PLT::ProcessResult r = RunOrvex(args);
        EXPECT_EQ(r.exitCode, 2) << args.size() << "\n" << r.err;
    }
    EXPECT_FALSE(fs::exists(dir.Path()));
}

// Holding the contents would take over 200 MB here; the plan and the table
// take a few. Peak memory is that of the largest child waited for, which is
// this one (the other children of this binary are far smaller).
TEST(GenCommand, LargeRunStaysInBoundedMemoryAndLeavesTheKeyCounterAlone) {
    constexpr long kBoundKb = 128 * 1024;
    TempDir dir("large");
    TempDir settings("settings");
    const std::string registry = settings / "registry.ini";
    const PLT::ProcessResult r = RunOrvex({"gen", dir.Path(), "--files", "20000", "--worlds", "8", "--quiet"},
                                          {"MARLIN_REGISTRY=" + registry});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(r.out.empty()) << r.out;
    rusage usage{};
    ASSERT_EQ(getrusage(RUSAGE_CHILDREN, &usage), 0);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    // Sanitizers' shadow memory and quarantine say nothing about the generator's own use.
    EXPECT_LT(usage.ru_maxrss, kBoundKb);
#endif
    uint64_t bytes = 0;
    ASSERT_TRUE(fs::exists(dir / "data.big"));
    bytes = fs::file_size(dir / "data.big");
    EXPECT_GT(bytes, static_cast<uint64_t>(kBoundKb) * 1024 * 3 / 2);
    EXPECT_FALSE(fs::exists(registry)) << "the generator drew keys from the settings store";
    const Bytes summary = ReadAll(dir / "summary.txt");
    EXPECT_NE(std::string(summary.begin(), summary.end()).find("data.big: 20000 files"), std::string::npos);
}

}  // namespace
