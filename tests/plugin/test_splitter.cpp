// The splitter end to end on small bigfiles built with the table's writer:
// which output each file lands in, the gmbigfile, the DLC and single modes,
// forced keys and directories, rem criteria, the replacement capture, the
// unplaced counts, the session status, the link map and the side inputs.
//
// The outputs are taken at the writer's door (_CreateBigFile), so these
// tests check the placement decision, not the bigfile writing.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "BIGfile/BIG_Endian.h"
#include "BIGfile/BIG_Fat.h"
#include "BIGfile/BIG_Init.h"
#include "ERRor/ERR_Assert.h"
#include "plugin/OVI_Splitter.h"
#include "orvex/OVC_Interface.h"
#include "plugin/OVI_Text.h"
#include "platform/Process.h"

namespace {

namespace fs = std::filesystem;
using Keys = std::set<uint32_t>;
using ORVEX::CriticalList;
using ORVEX::OVI_Splitter;
using ORVEX::OVI_SplitterParams;
using ORVEX::SplitOutput;

// ---- fixtures ------------------------------------------------------------------------

struct FileDef {
    FileDef(std::string n, uint32_t k, std::vector<uint32_t> r = {}, uint32_t s = 0, std::string d = {},
            bool nd = false, bool l = false)
        : name(std::move(n)), key(k), refs(std::move(r)), size(s), dir(std::move(d)), noData(nd), link(l) {}

    std::string name;  // with extension
    uint32_t key;
    std::vector<uint32_t> refs;
    uint32_t size;    // stored content size; 0: reference table and a short payload
    std::string dir;  // FAT directory path; empty: the root
    bool noData;      // entry without content
    bool link;        // flags marked as a link file (content as given)
};

std::string ContentOf(const FileDef& f) {
    std::vector<uint8_t> bytes;
    BIG::Endian::ByteAppender out(&bytes);
    out.U32(static_cast<uint32_t>(f.refs.size()));
    for (uint32_t k : f.refs)
        out.U32(k);
    std::string text(bytes.begin(), bytes.end());
    if (f.size != 0) {
        // Pad the payload so that the stored size is exactly f.size.
        std::string payload(f.size > text.size() ? f.size - text.size() : 0, 'p');
        for (size_t i = 0; i < payload.size(); ++i)
            payload[i] = static_cast<char>('a' + (f.key + i) % 26);
        return text + payload;
    }
    return text + "data";
}

bool MakeBigfile(const std::string& path, const std::vector<FileDef>& files) {
    BIG_cl_Fat fat;
    if (fat.File().eCreate(path, false, 0xC0000000, true) != BIG::eFile_Ok)
        return false;
    // No spare entry: the last entry of the table is the last file given.
    bool ok = fat.Create(static_cast<uint32_t>(files.size()), 16, 0, 1);
    for (const FileDef& f : files) {
        uint16_t dir = BIG_cl_Fat::kRootDir;
        if (!f.dir.empty())
            dir = fat.uw_CreateDirPath(f.dir.c_str());
        const uint32_t index = fat.ul_CreateFile(f.name.c_str(), 1000, dir, f.key);
        ok = ok && index != BIG_cl_Fat::kNoFile;
        if (!ok)
            break;
        if (!f.noData) {
            const std::string content = ContentOf(f);
            fat.SaveFile(index, content.data(), static_cast<uint32_t>(content.size()));
        }
        if (f.link) {
            fat.pst_GetFileEntry(index)->ul_Flags &= ~BIG_st_FileEntry::kFlagLinkMask;
            fat.WriteFileEntry(index);
        }
    }
    fat.File().eFlush();
    fat.File().eClose();
    return ok;
}

std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

size_t CountOf(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

// A splitter that takes its outputs at the writer's door and opens its
// state to the tests.
class SplitterProbe : public OVI_Splitter {
public:
    struct Output {
        std::string name;
        Keys keys;
        uint32_t capacity;
        uint32_t packageId;
        uint32_t packageWord;
    };

    int32_t _CreateBigFile(SplitOutput& output) override {
        Keys keys;
        for (const auto& [key, unused] : output.m_Keys)
            keys.insert(key);
        outputs_.push_back(
            Output{output.s_Name, keys, output.ul_Capacity, output.ul_PackageId, output.ul_PackageWord});
        return 0;
    }
    const Output* Find(const std::string& name) const {
        for (const Output& o : outputs_)
            if (o.name == name)
                return &o;
        return nullptr;
    }
    std::vector<std::string> Names() const {
        std::vector<std::string> names;
        for (const Output& o : outputs_)
            names.push_back(o.name);
        return names;
    }
    uint32_t Use(uint32_t key) const {
        auto it = mmap_Records.find(key);
        return it == mmap_Records.end() ? 0 : it->second.ul_UseCount;
    }

    using OVI_Splitter::_eAppendKeys;
    using OVI_Splitter::_GatherCommonKeys;
    using OVI_Splitter::mmap_Closures;
    using OVI_Splitter::mmap_MissingRefs;
    using OVI_Splitter::mmap_Records;
    using OVI_Splitter::mmap_Unplaced;
    using OVI_Splitter::mo_AILoadHelper;
    using OVI_Splitter::mo_DirLoadHelper;
    using OVI_Splitter::mo_Params;
    using OVI_Splitter::mo_Replacement;
    using OVI_Splitter::mst_GmKeys;

    std::vector<Output> outputs_;
};

class WorkDir {
public:
    explicit WorkDir(const fs::path& dir) : m_old(fs::current_path()) { fs::current_path(dir); }
    ~WorkDir() { fs::current_path(m_old); }

private:
    fs::path m_old;
};

// Keys of the small game used by most tests. Keys stay above 255 (those at
// or below are never counted as unplaced) and away from the built-in keys.
constexpr uint32_t kTown = 0x10001;    // Town.wor, selected
constexpr uint32_t kPort = 0x10002;    // Port.wor, selected
constexpr uint32_t kCave = 0x10003;    // Cave.wor, not selected
constexpr uint32_t kShared = 0x20001;  // needed by Town and Port
constexpr uint32_t kTownOwn = 0x20002;
constexpr uint32_t kPortOwn = 0x20003;
constexpr uint32_t kCaveOwn = 0x20004;
constexpr uint32_t kDeep = 0x20005;        // reached from kTownOwn
constexpr uint32_t kLoose = 0x20006;       // needed by nobody
constexpr uint32_t kMenu = 0x30001;        // /Interface/Menu.gao
constexpr uint32_t kIcon = 0x30002;        // reached only from Menu
constexpr uint32_t kBuiltIn = 0xFC0B0ABC;  // built-in common key, mode 2
constexpr uint32_t kBuiltInChild = 0x30003;

std::vector<FileDef> SmallGame() {
    return {
        {"Town.wor", kTown, {kShared, kTownOwn}},
        {"Port.wor", kPort, {kShared, kPortOwn}},
        {"Cave.wor", kCave, {kCaveOwn, kShared}},
        {"Shared.gao", kShared, {}},
        {"TownOwn.gao", kTownOwn, {kDeep}},
        {"PortOwn.gao", kPortOwn, {}},
        {"CaveOwn.gao", kCaveOwn, {}},
        {"Deep.gao", kDeep, {}},
        {"Loose.gao", kLoose, {}},
        {"Menu.gao", kMenu, {kIcon}, 0, "/Interface"},
        {"Icon.gao", kIcon, {}},
        {"BuiltIn.gao", kBuiltIn, {kBuiltInChild}},
        {"BuiltInChild.gao", kBuiltInChild, {}},
    };
}

class Splitter : public testing::Test {
protected:
    void SetUp() override {
        ERR_SetInteractive(false);
        dir_ =
            fs::temp_directory_path() /
            ("orvex_splitter_" + std::string(testing::UnitTest::GetInstance()->current_test_info()->name()) +
             "_" + std::to_string(PLT::CurrentProcessId()) + "_" + std::to_string(std::rand()));
        fs::remove_all(dir_);
        fs::create_directories(dir_ / "Data");
        work_ = std::make_unique<WorkDir>(dir_);
        params_.mmap_Worlds = {{kTown, 0}, {kPort, 0}};
        ORVEX::OVI_bSetText(params_.msz_BigfilePath, "game.big");
        ORVEX::OVI_bSetText(params_.msz_DataRoot, "Data");
        params_.mb_NoCopy = false;
    }
    void TearDown() override {
        work_.reset();
        std::error_code ec;
        fs::remove_all(dir_, ec);
        ASSERT_FALSE(BIG_bIsLibraryStarted()) << "a test left the engine running";
    }

    // eInit, eRun and eDeinit on `files`; the output lines in `out_`.
    int32_t Run(OVI_Splitter& probe, const std::vector<FileDef>& files) {
        EXPECT_TRUE(MakeBigfile((dir_ / "game.big").string(), files));
        testing::internal::CaptureStdout();
        int32_t status = probe.eInit(&params_);
        EXPECT_EQ(status, OVC_Status_Success);
        if (status == OVC_Status_Success)
            status = probe.eRun();
        probe.eDeinit();
        out_ = testing::internal::GetCapturedStdout();
        return status;
    }

    fs::path dir_;
    std::unique_ptr<WorkDir> work_;
    OVI_SplitterParams params_;
    std::string out_;
};

// ---- placement ------------------------------------------------------------------------

TEST_F(Splitter, SharedFilesGoToMarlinAndTheRestToTheirWorld) {
    SplitterProbe probe;
    ASSERT_EQ(Run(probe, SmallGame()), OVC_Status_Success) << out_;

    // Marlin first, then the worlds in ascending root-key order.
    EXPECT_EQ(probe.Names(), (std::vector<std::string>{"Marlin", "Town", "Port"}));
    const auto* marlin = probe.Find("Marlin");
    const auto* town = probe.Find("Town");
    const auto* port = probe.Find("Port");
    ASSERT_TRUE(marlin && town && port);

    // Shared by two selected worlds: the weight is reached, Marlin only.
    EXPECT_EQ(probe.Use(kShared), 2u);
    EXPECT_EQ(marlin->keys.count(kShared), 1u);
    EXPECT_EQ(town->keys.count(kShared), 0u);
    EXPECT_EQ(port->keys.count(kShared), 0u);
    // A world's own files, its root and what they reach go to that world.
    EXPECT_EQ(town->keys, (Keys{kTown, kTownOwn, kDeep}));
    EXPECT_EQ(port->keys, (Keys{kPort, kPortOwn}));
    // An unselected world gets no output, and what only it needs goes nowhere.
    for (const auto& o : probe.outputs_) {
        EXPECT_EQ(o.keys.count(kCave), 0u) << o.name;
        EXPECT_EQ(o.keys.count(kCaveOwn), 0u) << o.name;
        EXPECT_EQ(o.keys.count(kLoose), 0u) << o.name;
    }
    // The built-in mode-2 key and what it reaches are common.
    EXPECT_EQ(marlin->keys.count(kBuiltIn), 1u);
    EXPECT_EQ(marlin->keys.count(kBuiltInChild), 1u);
    // The common output is sized by the records, a world's by its closure.
    EXPECT_GE(marlin->capacity, marlin->keys.size());
    EXPECT_EQ(town->capacity, 4u);
    EXPECT_EQ(marlin->packageId, 0xFFFFu);
    EXPECT_EQ(marlin->packageWord, 0u);
    EXPECT_NE(out_.find("[    info][session         ][Splitter Session Complete]"), std::string::npos);
}

TEST_F(Splitter, AGmfileOfOneWorldLandsNowhereAndAGmfileInMarlinStays) {
    ASSERT_TRUE(MakeBigfile((dir_ / "gm.big").string(),
                            {{"TownOwn.gao", kTownOwn, {}}, {"Shared.gao", kShared, {}}}));
    ORVEX::OVI_bSetText(params_.msz_GmBigfilePath, "gm.big");
    params_.mb_ReportMissing = true;
    SplitterProbe probe;
    ASSERT_EQ(Run(probe, SmallGame()), OVC_Status_Success) << out_;

    EXPECT_EQ(probe.mst_GmKeys, (Keys{kTownOwn, kShared}));
    for (const auto& o : probe.outputs_)
        EXPECT_EQ(o.keys.count(kTownOwn), 0u) << o.name;
    // Reached only through the gmfile: still Town's.
    EXPECT_EQ(probe.Find("Town")->keys, (Keys{kTown, kDeep}));
    EXPECT_EQ(probe.Find("Marlin")->keys.count(kShared), 1u);
    // The world log names the exclusion; the blank-padded log name comes from "0x%8x.log".
    const std::string log = ReadText((dir_ / "0x   10001.log").string());
    EXPECT_NE(log.find("Excluding gmfile 0x00020002 TownOwn.gao\n"), std::string::npos) << log;
    EXPECT_EQ(CountOf(log, "\n"), 3u) << log;  // Town, Deep, and the exclusion
}

TEST_F(Splitter, AGmbigfileThatCannotBeOpenedIsReportedAndFailsTheRun) {
    ORVEX::OVI_bSetText(params_.msz_GmBigfilePath, "absent.big");
    SplitterProbe probe;
    ASSERT_EQ(Run(probe, SmallGame()), OVC_Status_Failure) << out_;
    EXPECT_NE(out_.find("[   error][gmbigfile       ][Error opening gmbigfile 'absent.big']"),
              std::string::npos)
        << out_;
    EXPECT_NE(out_.find("gmbigfile absent.big cannot be opened: No such file or directory"),
              std::string::npos)
        << out_;
    // The outputs are still written, without the exclusion.
    EXPECT_EQ(probe.Find("Town")->keys, (Keys{kTown, kTownOwn, kDeep}));
}

TEST_F(Splitter, SingleAndDlcModesFillOneOutput) {
    struct Case {
        const char* label;
        bool single;
        bool dlc;
        uint32_t weight;
        bool builtInPlaced;
    };
    const Case cases[] = {
        {"single", true, false, 2, true},
        // Under the DLC flag the weight is 10000000: sharing never promotes a
        // file and the built-in keys are not gathered.
        {"dlc", false, true, 10000000, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        params_.mb_Single = c.single;
        params_.mb_Dlc = c.dlc;
        params_.mmap_ForcedKeys = {{kLoose, 0}};
        SplitterProbe probe;
        ASSERT_EQ(Run(probe, SmallGame()), OVC_Status_Success) << out_;
        EXPECT_EQ(probe.ul_GetWeight(), c.weight);
        ASSERT_EQ(probe.Names(), (std::vector<std::string>{"dlc"}));
        const Keys& keys = probe.outputs_[0].keys;
        for (uint32_t key : {kTown, kPort, kShared, kTownOwn, kPortOwn, kDeep, kLoose})
            EXPECT_EQ(keys.count(key), 1u) << std::hex << key;
        EXPECT_EQ(keys.count(kCaveOwn), 0u);
        EXPECT_EQ(keys.count(kBuiltIn), c.builtInPlaced ? 1u : 0u);
        EXPECT_EQ(keys.count(kBuiltInChild), c.builtInPlaced ? 1u : 0u);
        if (c.dlc) {
            EXPECT_EQ(probe.Use(kShared), 2u);  // shared, yet below the weight
        }
        fs::remove(dir_ / "game.big");
    }
}

TEST_F(Splitter, ForcedDirectoriesWalkTheirReferencesUnlessKeysOnly) {
    for (bool keysOnly : {false, true}) {
        SCOPED_TRACE(keysOnly ? "keys only" : "walk");
        params_.mmap_ForcedDirs = {{1, "/Interface"}};
        params_.mb_KeysOnly = keysOnly;
        // Also forced as a key, with mode 0 under keys-only: the built-in
        // key's mode 2, inserted first, is kept.
        params_.mmap_ForcedKeys = {{kBuiltIn, 0}};
        SplitterProbe probe;
        ASSERT_EQ(Run(probe, SmallGame()), OVC_Status_Success) << out_;
        const Keys& marlin = probe.Find("Marlin")->keys;
        EXPECT_EQ(marlin.count(kMenu), 1u);
        // Icon is reached only from Menu: placed with the walk, nowhere without it.
        EXPECT_EQ(marlin.count(kIcon), keysOnly ? 0u : 1u);
        for (const auto& o : probe.outputs_) {
            if (o.name != "Marlin") {
                EXPECT_EQ(o.keys.count(kIcon), 0u) << o.name;
            }
        }
        EXPECT_EQ(marlin.count(kBuiltInChild), 1u);
        fs::remove(dir_ / "game.big");
    }
}

TEST_F(Splitter, ForcedTypesAreCommonUnlessDlc) {
    auto files = SmallGame();
    constexpr uint32_t kEnd = 0x50001, kEndChild = 0x50002;
    files.push_back({"Credits.end", kEnd, {kEndChild}});
    files.push_back({"CreditsMusic.gao", kEndChild, {}});
    SplitterProbe probe;
    ASSERT_EQ(Run(probe, files), OVC_Status_Success) << out_;
    EXPECT_EQ(probe.Find("Marlin")->keys.count(kEnd), 1u);
    EXPECT_EQ(probe.Find("Marlin")->keys.count(kEndChild), 1u);

    fs::remove(dir_ / "game.big");
    params_.mb_Dlc = true;
    SplitterProbe dlc;
    ASSERT_EQ(Run(dlc, files), OVC_Status_Success) << out_;
    EXPECT_EQ(dlc.outputs_.at(0).keys.count(kEnd), 0u);
}

TEST_F(Splitter, AppendKeysRaisesEarlierKeysOncePerCall) {
    SplitterProbe probe;
    ASSERT_TRUE(MakeBigfile((dir_ / "game.big").string(), SmallGame()));
    testing::internal::CaptureStdout();
    ASSERT_EQ(probe.eInit(&params_), OVC_Status_Success);
    // Nothing mapped, no built-in keys: only the three maps count.
    // Directory map (call 1): Menu with mode 0.
    // Second key set (call 2): PortOwn with mode 0, and a key the bigfile lacks.
    // AI map (call 3): Deep with mode 2, and Menu again, set to the weight anew.
    probe.mo_Params.mb_Dlc = true;
    probe.mo_Params.mmap_ForcedDirs = {{1, "/Interface"}};
    probe.mo_Params.mb_KeysOnly = true;
    probe.mo_Params.mmap_ForcedKeys = {{kPortOwn, 0}, {0x7777777, 0}};
    probe.mo_AILoadHelper.bInsertKey(kDeep, 2);
    probe.mo_AILoadHelper.bInsertKey(kMenu, 2);
    probe._GatherCommonKeys();
    probe.eDeinit();
    testing::internal::GetCapturedStdout();

    // Menu: the weight 2, +1, +1, then set to the weight again by call 3, +1.
    EXPECT_EQ(probe.Use(kMenu), 3u);
    // PortOwn entered in call 2: weight, +1, +1.
    EXPECT_EQ(probe.Use(kPortOwn), 4u);
    // Deep entered in call 3 with mode 2: the weight and +1.
    EXPECT_EQ(probe.Use(kDeep), 3u);
    EXPECT_EQ(probe.mmap_Closures[OVI_Splitter::kCommonRoot].ToSet(), (Keys{kMenu, kPortOwn, kDeep}));
    // A forced key the bigfile lacks gets no record.
    EXPECT_EQ(probe.mmap_Records.count(0x7777777), 0u);
}

TEST_F(Splitter, RemCriteriaLeaveFilesOutOfEveryOutput) {
    struct Case {
        const char* label;
        std::map<uint32_t, std::string> criteria;
        Keys absent;  // in no output
        Keys present;
    };
    const Case cases[] = {
        {"none", {}, {}, {kShared, kTownOwn, kDeep, kTown}},
        {"one", {{1, "Own"}}, {kTownOwn, kPortOwn}, {kShared, kDeep, kTown, kPort}},
        // An empty criterion occurs in every name.
        {"empty", {{1, ""}}, {kShared, kTownOwn, kDeep, kTown, kPort, kBuiltIn}, {}},
        // Two matching criteria: two lines for one name.
        {"two", {{1, "Town"}, {2, "Own"}}, {kTownOwn, kTown, kPortOwn}, {kShared, kDeep}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        params_.mmap_RemCriteria = c.criteria;
        SplitterProbe probe;
        ASSERT_EQ(Run(probe, SmallGame()), OVC_Status_Success) << out_;
        Keys placed;
        for (const auto& o : probe.outputs_)
            placed.insert(o.keys.begin(), o.keys.end());
        for (uint32_t key : c.absent)
            EXPECT_EQ(placed.count(key), 0u) << std::hex << key;
        for (uint32_t key : c.present)
            EXPECT_EQ(placed.count(key), 1u) << std::hex << key;
        // Left-out keys above 255 are counted as unplaced.
        for (uint32_t key : c.absent)
            EXPECT_GE(probe.mmap_Unplaced.count(key), 1u) << std::hex << key;
        fs::remove(dir_ / "game.big");
    }
    params_.mmap_RemCriteria = {{1, "Town"}, {2, "Own"}};
    SplitterProbe probe;
    ASSERT_EQ(Run(probe, SmallGame()), OVC_Status_Success);
    // A name that holds two criteria writes two lines.
    for (const char* criterion : {"Town", "Own"}) {
        char line[160];
        std::snprintf(line, sizeof line,
                      "[    info][remkey          ][%32s removed by rem criteria ( %32s )\n]", "TownOwn.gao",
                      criterion);
        EXPECT_NE(out_.find(line), std::string::npos) << line << out_;
    }
}

TEST_F(Splitter, AKeyTwoWorldsFailToPlaceIsCountedPerPass) {
    // Shared.gao is left out by a criterion. Split mode: the common pass
    // fails once. DLC: each world pass fails, RefCount 2.
    for (bool dlc : {false, true}) {
        SCOPED_TRACE(dlc ? "dlc" : "split");
        params_.mb_Dlc = dlc;
        params_.mmap_RemCriteria = {{1, "Shared"}};
        SplitterProbe probe;
        ASSERT_EQ(Run(probe, SmallGame()), OVC_Status_Success) << out_;
        EXPECT_EQ(probe.mmap_Unplaced[kShared], dlc ? 2u : 1u);
        fs::remove(dir_ / "game.big");
    }
}

TEST_F(Splitter, ReplacementCaptureKeepsTheSmallestTxd) {
    auto files = SmallGame();
    // Mapped in this order: size words 300, 120, 500.
    files.push_back({"Big.txd", 0x60001, {}, 300});
    files.push_back({"Small.txd", 0x60002, {}, 120});
    files.push_back({"Huge.txd", 0x60003, {}, 500});
    FileDef small = files[files.size() - 2];
    for (bool flag : {true, false}) {
        SCOPED_TRACE(flag ? "flag" : "no flag");
        fs::remove(dir_ / "replace.bin");
        params_.mb_Replace = flag;
        ORVEX::OVI_bSetText(params_.msz_ReplacementPath, "replace.bin");
        SplitterProbe probe;
        ASSERT_EQ(Run(probe, files), OVC_Status_Success) << out_;
        if (flag) {
            EXPECT_EQ(ReadText((dir_ / "replace.bin").string()), ContentOf(small));
            EXPECT_EQ(probe.mo_Replacement.ul_Type, 126u);
            EXPECT_EQ(probe.mo_Replacement.ul_Size, 120u);
            ASSERT_TRUE(probe.mo_Replacement.bHasData());
        } else {
            EXPECT_FALSE(fs::exists(dir_ / "replace.bin"));
            EXPECT_FALSE(probe.mo_Replacement.bHasData());
        }
        fs::remove(dir_ / "game.big");
    }
}

TEST_F(Splitter, ReplacementFileIsBoundedWhenLoaded) {
    params_.mb_Replace = true;
    ORVEX::OVI_bSetText(params_.msz_ReplacementPath, "replace.bin");
    {
        // Larger than any bigfile file may be: refused with a line.
        std::ofstream big(dir_ / "replace.bin", std::ios::binary);
        big.seekp(10485760);
        big.put('x');
    }
    SplitterProbe probe;
    ASSERT_EQ(Run(probe, SmallGame()), OVC_Status_Failure) << out_;
    EXPECT_FALSE(probe.mo_Replacement.bHasData());
    EXPECT_NE(out_.find("Replacement file 'replace.bin' not used"), std::string::npos) << out_;
}

TEST_F(Splitter, AReplacementThatCannotBeOpenedFailsTheRun) {
    // No txd file in the game: nothing is captured, and the named file is not there.
    params_.mb_Replace = true;
    ORVEX::OVI_bSetText(params_.msz_ReplacementPath, "nowhere.bin");
    SplitterProbe probe;
    ASSERT_EQ(Run(probe, SmallGame()), OVC_Status_Failure) << out_;
    EXPECT_NE(out_.find("Replacement file nowhere.bin cannot be opened: No such file or directory"),
              std::string::npos)
        << out_;
    EXPECT_EQ(probe.Names(), (std::vector<std::string>{"Marlin", "Town", "Port"}));
}

// ---- status and logs ----------------------------------------------------------------------

TEST_F(Splitter, AFileWithoutDataGivesMinusOneWithoutAnyPassSayingNotGood) {
    auto files = SmallGame();
    files.insert(files.begin() + 4, {"Empty.gao", 0x70001, {}, 0, "", true});
    SplitterProbe probe;
    EXPECT_EQ(Run(probe, files), OVC_Status_NoData);
    EXPECT_EQ(probe.Names(), (std::vector<std::string>{"Marlin", "Town", "Port"}));
    // The scan's status is not a pass's failure.
    EXPECT_EQ(out_.find("Not Good"), std::string::npos) << out_;
    EXPECT_NE(out_.find("Splitter Session Complete"), std::string::npos);
}

TEST_F(Splitter, ALogThatCannotBeWrittenFailsItsPassAndTheRunWhateverFollows) {
    params_.mb_ReportMissing = true;
    // A folder where Town's log should be: the log cannot be put in place.
    fs::create_directories(dir_ / "0x   10001.log" / "inside");
    SplitterProbe probe;
    EXPECT_EQ(Run(probe, SmallGame()), OVC_Status_Failure) << out_;
    EXPECT_NE(out_.find("[   error][log             ][Log 0x   10001.log not written: "), std::string::npos)
        << out_;
    // Only Town's pass says so, on a line of its own; the passes after it
    // (Port) and their successful logs do not lower the status.
    EXPECT_NE(out_.find("[error: splitter] Skipping World. Not Good : Town\n"), std::string::npos) << out_;
    EXPECT_EQ(out_.find("Skipping Marlin"), std::string::npos) << out_;
    EXPECT_EQ(out_.find("Not Good : Port"), std::string::npos) << out_;
    EXPECT_TRUE(fs::exists(dir_ / "0x   10002.log"));
    EXPECT_EQ(probe.Names(), (std::vector<std::string>{"Marlin", "Town", "Port"}));
    // No temporary file is left beside the logs.
    for (const auto& entry : fs::directory_iterator(dir_))
        EXPECT_EQ(entry.path().filename().string().find(".tmp"), std::string::npos) << entry.path();
}

TEST_F(Splitter, AFailedOutputIsNeverHiddenByTheLogsOfLaterPasses) {
    // Both with and without the logs: the status stays 4 from the first output on.
    for (const bool report : {false, true}) {
        SCOPED_TRACE(report);
        params_.mb_ReportMissing = report;
        fs::remove_all(dir_ / "Data");
        fs::create_directories(dir_ / "Data");
        std::ofstream(dir_ / "Data" / "DLC") << "a file where the folder should be";
        OVI_Splitter splitter;
        EXPECT_EQ(Run(splitter, SmallGame()), OVC_Status_Failure) << out_;
        EXPECT_EQ(CountOf(out_, "[Unable to Create]"), 3u) << out_;
        fs::remove(dir_ / "game.big");
    }
}

TEST_F(Splitter, LogsListThePlacedKeysOfEachPass) {
    params_.mb_ReportMissing = true;
    SplitterProbe probe;
    ASSERT_EQ(Run(probe, SmallGame()), OVC_Status_Success) << out_;
    const std::string common = ReadText((dir_ / "Common.log").string());
    // Shared.gao is the first record at the weight; it holds 8 bytes.
    const int gaoType = static_cast<int>(probe.mmap_Records.at(kShared).ul_Type);
    char line[256];
    std::snprintf(line, sizeof line, "%12u, %12u, %12d, %12lu, 0x%08X, %64s, %12u\n", 0u, kShared, gaoType,
                  8ul, kShared, "Shared.gao", 2u);
    EXPECT_EQ(common.substr(0, std::string(line).size()), line) << common;
    // A root is not in its own closure: its use count stays 0.
    const std::string port = ReadText((dir_ / "0x   10002.log").string());
    std::snprintf(line, sizeof line, "%12u, %12u, %12d, 0x%08X, %64s, %12u\n", 0u, kPort, 4, kPort,
                  "Port.wor", 0u);
    EXPECT_EQ(port.substr(0, std::string(line).size()), line) << port;
    EXPECT_EQ(CountOf(port, "\n"), 2u);
    // Every pass ended with its log closed: a new one opens.
    EXPECT_EQ(probe.OpenLog("again.log"), OVC_Status_Success);
    EXPECT_EQ(probe.OpenLog("twice.log"), OVC_Status_Failure);
    EXPECT_EQ(probe.LogPrintf("%s", "x"), OVC_Status_Success);
    EXPECT_EQ(probe.CloseLog(), OVC_Status_Success);
    EXPECT_EQ(probe.CloseLog(), OVC_Status_Failure);
    EXPECT_EQ(probe.LogPrintf("%s", "x"), OVC_Status_Failure);
    EXPECT_EQ(ReadText((dir_ / "again.log").string()), "x");
}

TEST_F(Splitter, MissingReferencesAreRecordedPerReferrer) {
    auto files = SmallGame();
    files[3].refs = {0x12345678};                        // Shared.gao
    files[4].refs = {kDeep, 0x12345678, 0xFFFFFFFF, 0};  // TownOwn.gao
    SplitterProbe probe;
    ASSERT_EQ(Run(probe, files), OVC_Status_Success) << out_;
    const std::multimap<uint32_t, uint32_t> expected = {{0x12345678, kShared}, {0x12345678, kTownOwn}};
    EXPECT_EQ(probe.mmap_MissingRefs, expected);
}

// ---- on disk, through the writer and the reports ------------------------------------

// The keys of the bigfile at `path`; empty when it does not open.
Keys KeysOfBigfile(const fs::path& path) {
    Keys keys;
    BIG_cl_Fat fat;
    if (fat.File().eOpen(path.string(), true, true, false) != BIG::eFile_Ok)
        return keys;
    if (fat.ReadFat(true))
        for (uint32_t i = 0; i < fat.ul_GetFileCount(); ++i)
            if (fat.FileEntry(i).ul_Key != 0)
                keys.insert(fat.FileEntry(i).ul_Key);
    fat.File().eClose();
    return keys;
}

TEST_F(Splitter, OutputBigfilesOnDiskHoldWhatThePassesPlaced) {
    params_.mb_ReportMissing = true;
    {
        std::ofstream list(dir_ / "critical.txt");
        list << "Shared 131073 0 0\nCaveOwn 131076 0 0\n";
    }
    ORVEX::OVI_bSetText(params_.msz_CriticalListPath, "critical.txt");
    OVI_Splitter splitter;
    ASSERT_EQ(Run(splitter, SmallGame()), OVC_Status_Success) << out_;

    const fs::path dlc = dir_ / "Data" / "DLC";
    const Keys marlin = KeysOfBigfile(dlc / "Marlin" / "Marlin.big");
    EXPECT_EQ(marlin.count(kShared), 1u);
    EXPECT_EQ(marlin.count(kBuiltIn), 1u);
    EXPECT_EQ(marlin.count(kBuiltInChild), 1u);
    EXPECT_EQ(marlin.count(kTownOwn), 0u);
    EXPECT_EQ(KeysOfBigfile(dlc / "Town" / "Town.big"), (Keys{kTown, kTownOwn, kDeep}));
    EXPECT_EQ(KeysOfBigfile(dlc / "Port" / "Port.big"), (Keys{kPort, kPortOwn}));
    EXPECT_FALSE(fs::exists(dlc / "Cave"));

    // Nothing unplaced: the final report has its header only.
    EXPECT_EQ(ReadText((dir_ / "final_missing.files.csv").string()),
              "Key,Index,FileType,FileTypeInString,FileName,RefCount\n");
    // The critical list's key that no output took is reported.
    const std::string report = ReadText((dir_ / "report").string());
    EXPECT_EQ(CountOf(report, "\n"), 1u) << report;
    EXPECT_EQ(report.rfind("0x00020004, 131076, ", 0), 0u) << report;
    EXPECT_NE(report.find(", 0x00020004, CaveOwn.gao, 0\n"), std::string::npos) << report;
}

TEST_F(Splitter, WithTheDlcFlagAKeyTwoWorldsCannotPlaceHasRefCount2) {
    params_.mb_Dlc = true;
    params_.mmap_RemCriteria = {{1, "Shared"}};
    OVI_Splitter splitter;
    ASSERT_EQ(Run(splitter, SmallGame()), OVC_Status_Success) << out_;
    const Keys single = KeysOfBigfile(dir_ / "Data" / "DLC" / "dlc" / "dlc.big");
    EXPECT_EQ(single, (Keys{kTown, kPort, kTownOwn, kPortOwn, kDeep}));
    const std::string final = ReadText((dir_ / "final_missing.files.csv").string());
    // Key, index 3 (its place in the table), type, type name, path, RefCount.
    const size_t row = final.find("\n131073,3,");
    ASSERT_NE(row, std::string::npos) << final;
    EXPECT_NE(final.find("/Shared.gao,2\n", row), std::string::npos) << final;
    EXPECT_EQ(CountOf(final, "\n"), 2u) << final;
}

// ---- mended faults -----------------------------------------------------------------------

// A bank list of the common closure names a key the bigfile lacks: the writer
// cannot write it, so the common pass never places it (nor counts it in the
// critical list); the final report lists it as unplaced.
TEST_F(Splitter, ACommonKeyWithoutAFileIsNeverPlaced) {
    constexpr uint32_t kList = 0x30010;
    constexpr uint32_t kAbsent = 0x30011;
    auto files = SmallGame();
    files[11].refs = {kBuiltInChild, kList};  // BuiltIn.gao, walked with the weight
    // Its payload's count (the first byte of "data") is larger than its one key: the key is kept.
    files.push_back({"List.dbl", kList, {kAbsent}});
    SplitterProbe probe;
    ASSERT_EQ(Run(probe, files), OVC_Status_Success) << out_;
    ASSERT_EQ(probe.mmap_Closures[OVI_Splitter::kCommonRoot].count(kAbsent), 1u);
    const auto* marlin = probe.Find("Marlin");
    ASSERT_NE(marlin, nullptr);
    EXPECT_EQ(marlin->keys.count(kList), 1u);
    EXPECT_EQ(marlin->keys.count(kAbsent), 0u);
    const std::string final = ReadText((dir_ / "final_missing.files.csv").string());
    EXPECT_NE(final.find("\n" + std::to_string(kAbsent) + ",0,0,Unknown,Unknown,0\n"), std::string::npos)
        << final;
}

TEST_F(Splitter, ALinkFileWithAnEmptyTableAddsNoLink) {
    auto files = SmallGame();
    // A real link (content {4, a, b, c, d}) and, after it, a link-marked file
    // whose reference table is empty.
    files.push_back({"Link.lnk", 0x80001, {kShared, kTownOwn, kPortOwn, 0xFFFFFFFF}, 0, "", false, true});
    files.push_back({"Hollow.lnk", 0x80002, {}, 0, "", false, true});
    files.push_back({"NoTarget.lnk", 0x80003, {0xFFFFFFFF, kShared, 0, 0}, 0, "", false, true});
    params_.mb_Linker = true;
    SplitterProbe probe;
    ASSERT_EQ(Run(probe, files), OVC_Status_Success) << out_;
    const std::string map = ReadText((dir_ / "linker_pc.map").string());
    ASSERT_EQ(map.size(), 64u + 8u) << "one link only";
    std::vector<uint8_t> bytes(map.begin(), map.end());
    EXPECT_EQ(BIG::Endian::Get32(bytes.data() + 4), 1u);
    EXPECT_EQ(BIG::Endian::Get32(bytes.data() + 64), 0x80001u);
    EXPECT_EQ(BIG::Endian::Get32(bytes.data() + 68), kShared);
}

TEST_F(Splitter, WorldNamesThatCannotNameAFolderGetNoOutput) {
    struct Case {
        const char* entryName;  // the FAT entry's name, without extension
        const char* shown;
    };
    const Case cases[] = {{".", "."}, {"..", ".."}, {"a/b", "a/b"}, {"a\\b", "a\\b"}, {"", ""}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.entryName);
        ASSERT_TRUE(MakeBigfile((dir_ / "game.big").string(), SmallGame()));
        {
            // Rename Town.wor's entry in place.
            BIG_cl_Fat fat;
            ASSERT_EQ(fat.File().eOpen((dir_ / "game.big").string(), false, true, false), BIG::eFile_Ok);
            ASSERT_TRUE(fat.ReadFat(false));
            const uint32_t index = fat.ul_GetFileIndex(kTown, false);
            BIG_st_FileEntry* entry = fat.pst_GetFileEntry(index);
            std::memset(entry->sz_Name, 0, sizeof entry->sz_Name);
            std::memcpy(entry->sz_Name, c.entryName, std::strlen(c.entryName));
            fat.WriteFileEntry(index);
            fat.File().eFlush();
            fat.File().eClose();
        }
        SplitterProbe probe;
        testing::internal::CaptureStdout();
        ASSERT_EQ(probe.eInit(&params_), OVC_Status_Success);
        probe.eRun();
        probe.eDeinit();
        out_ = testing::internal::GetCapturedStdout();
        EXPECT_EQ(probe.Names(), (std::vector<std::string>{"Marlin", "Port"})) << out_;
        EXPECT_NE(out_.find("World 0x00010001 is named '" + std::string(c.shown) + "'"), std::string::npos)
            << out_;
        fs::remove(dir_ / "game.big");
    }
}

TEST_F(Splitter, TwoWorldsWithOneOutputNameAreRefusedNamingBothWorldFiles) {
    auto files = SmallGame();
    files.push_back({"Town.wor", 0x10004, {kTownOwn}, 0, "/Other"});
    files.push_back({"Marlin.wor", 0x10005, {kPortOwn}});
    params_.mmap_Worlds = {{kTown, 0}, {kPort, 0}, {0x10004, 0}, {0x10005, 0}};
    SplitterProbe probe;
    EXPECT_EQ(Run(probe, files), OVC_Status_Failure) << out_;
    // The first Town and Port are written, the clashing two are not.
    EXPECT_EQ(probe.Names(), (std::vector<std::string>{"Marlin", "Town", "Port"})) << out_;
    EXPECT_NE(
        out_.find(
            "World 0x00010004 (//Other/Town.wor) makes the output 'Town' as world file //Town.wor does"),
        std::string::npos)
        << out_;
    EXPECT_NE(
        out_.find("World 0x00010005 (//Marlin.wor) makes the output 'Marlin' as the common output does"),
        std::string::npos)
        << out_;
}

TEST(SplitterOutputName, OnlyPlainNamesNameAnOutput) {
    const std::pair<const char*, bool> cases[] = {
        {"Town", true}, {"Marlin", true}, {"a.b", true}, {"...", true},   {"", false},     {".", false},
        {"..", false},  {"a/b", false},   {"/", false},  {"a\\b", false}, {"../x", false},
    };
    for (const auto& [name, safe] : cases)
        EXPECT_EQ(OVI_Splitter::bIsSafeOutputName(name), safe) << name;
    EXPECT_FALSE(OVI_Splitter::bIsSafeOutputName(std::string(64, 'a')));
    EXPECT_TRUE(OVI_Splitter::bIsSafeOutputName(std::string(63, 'a')));
    EXPECT_FALSE(OVI_Splitter::bIsSafeOutputName(std::string("a\0b", 3)));
}

TEST(SplitterCriticalList, EntriesAreReadUntilOneDoesNotParse) {
    struct Case {
        const char* text;
        Keys keys;
        bool ok;
    };
    const Case cases[] = {
        {"", {}, true},
        {"a 1 2 3\nb 4 5 6\n", {1, 4}, true},
        {"a 1 2 3\r\nb 1 5 6\r\n", {1}, true},  // a key listed twice counts once
        {"a\t4294967295 0 0", {4294967295u}, true},
        {"a 1 2 3\nbad line here\nc 7 8 9\n", {1}, false},
        {"a 1 2 3\nb 4 5\n", {1}, false},   // incomplete last entry
        {"a 4294967296 0 0\n", {}, false},  // does not fit 32 bits
        {"a -5 0 0\n", {}, false},
        {"a 0x10 0 0\n", {}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        CriticalList list;
        std::string problem;
        EXPECT_EQ(list.bParse(c.text, &problem), c.ok) << problem;
        EXPECT_EQ(c.ok, problem.empty()) << problem;
        Keys keys;
        for (const auto& [key, count] : list.m_Keys) {
            keys.insert(key);
            EXPECT_EQ(count, 0u);
        }
        EXPECT_EQ(keys, c.keys);
    }
    CriticalList list;
    std::string problem;
    EXPECT_FALSE(list.bParse(std::string(2000, 'w') + " 1 2 3", &problem));
    EXPECT_NE(problem.find("word of 2000 characters"), std::string::npos) << problem;
}

TEST(SplitterCriticalList, LoadReportsWhatItCouldNotRead) {
    const fs::path dir =
        fs::temp_directory_path() / ("orvex_critical_" + std::to_string(PLT::CurrentProcessId()));
    fs::create_directories(dir);
    const std::string path = (dir / "critical.txt").string();
    {
        std::ofstream out(path);
        out << "Town 65537 4 100\nnot a number here\nPort 65538 4 100\n";
    }
    CriticalList list;
    testing::internal::CaptureStdout();
    list.Load(path);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(list.b_Loaded);
    EXPECT_EQ(list.l_Status, CriticalList::kStatusRead);
    EXPECT_EQ(list.m_Keys.size(), 1u);
    EXPECT_NE(out.find("[   error][critical-list   ][Critical list '" + path + "': entry 2 has 'a'"),
              std::string::npos)
        << out;

    list.Check(65537);
    list.Check(65537);
    list.Check(99);
    EXPECT_EQ(list.m_Keys.at(65537), 2u);
    EXPECT_EQ(list.m_Keys.count(99), 0u);

    for (const std::string& absent : {std::string(), (dir / "absent.txt").string()}) {
        CriticalList none;
        testing::internal::CaptureStdout();
        // No path asks for nothing; a named list that cannot be opened is a failure, with its reason.
        EXPECT_EQ(none.Load(absent), absent.empty());
        const std::string said = testing::internal::GetCapturedStdout();
        EXPECT_EQ(said, absent.empty() ? ""
                                       : "\n[   error][critical-list   ][Critical list " + absent +
                                             " cannot be opened: No such file or directory]");
        EXPECT_FALSE(none.b_Loaded);
        EXPECT_EQ(none.l_Status, CriticalList::kStatusNotOpened);
    }
    std::error_code ec;
    fs::remove_all(dir, ec);
}

}  // namespace
