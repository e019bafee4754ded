// Pins what a split writes: a checksum of every output bigfile (segment set
// stamp masked), of every report, log and copied sound package, for seeded
// samples in each mode. A change of the writer's speed, buffering or threads
// must leave every figure here as it is; a change of what is written shows up
// as the manifest line of the file that moved.
//
// The gzip copies are not pinned byte for byte (the compressor may change);
// each must decompress to its bigfile exactly.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "BIGfile/BIG_DuplicatedFilesManager.h"
#include "BIGfile/BIG_Endian.h"
#include "BIGfile/BIG_FBuff.h"
#include "BIGfile/BIG_Fat.h"
#include "BIGfile/BIG_File.h"
#include "BIGfile/BIG_SegmentHeader.h"
#include "host/BigTools.h"
#include "host/Gen.h"
#include "platform/File.h"
#include "platform/Process.h"
#include "tests/support/RunOrvex.h"

namespace {

namespace fs = std::filesystem;

using test_support::RunOrvex;

std::string ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string Gunzip(const fs::path& path) {
    std::string out;
    gzFile file = gzopen(path.c_str(), "rb");
    if (file == nullptr)
        return out;
    char block[65536];
    int got;
    while ((got = gzread(file, block, sizeof block)) > 0)
        out.append(block, static_cast<size_t>(got));
    if (got < 0)
        out = "<gzread failed>";
    gzclose(file);
    return out;
}

bool bIsSegmentFile(const std::string& name) {
    const size_t dot = name.rfind(".big");
    return dot != std::string::npos && name.find_first_not_of("0123456789", dot + 4) == std::string::npos;
}

// The segment set stamp is drawn from the clock: zero it before hashing.
void MaskStamp(std::string* bytes) {
    if (bytes->size() >= BIG_st_SegmentHeader::kEncodedSize && bytes->substr(0, 4) == "MBIG")
        std::fill_n(bytes->begin() + BIG_st_SegmentHeader::kOffSetStamp, 8, '\0');
}

uint32_t Crc(const std::string& bytes) {
    return static_cast<uint32_t>(
        crc32(0L, reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uInt>(bytes.size())));
}

// "path size crc" per file below `root` (gzip copies checked, not listed),
// sorted; every failed gzip check is a line of its own.
std::string Manifest(const fs::path& root) {
    std::vector<std::string> lines;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        if (!entry.is_regular_file())
            continue;
        const std::string relative = fs::relative(entry.path(), root).string();
        const std::string name = entry.path().filename().string();
        // The summary and the size report carry wall times and absolute paths.
        if (name == "split-summary.json" || name == "split-report.html")
            continue;
        // The host's summary and size report hold wall times; test_split_reports checks them.
        if (name == "split-summary.json" || name == "split-report.html")
            continue;
        std::string bytes = ReadAll(entry.path());
        if (name.size() > 3 && name.compare(name.size() - 3, 3, ".gz") == 0) {
            const fs::path big = entry.path().parent_path() / name.substr(0, name.size() - 3);
            if (Gunzip(entry.path()) != ReadAll(big))
                lines.push_back(relative + " does not decompress to its bigfile");
            continue;
        }
        if (bIsSegmentFile(name))
            MaskStamp(&bytes);
        char line[64];
        std::snprintf(line, sizeof line, " %zu %08x", bytes.size(), Crc(bytes));
        lines.push_back(relative + line);
    }
    std::sort(lines.begin(), lines.end());
    std::string out;
    for (const std::string& line : lines)
        out += line + "\n";
    return out;
}

// Copies the bigfile at `from` into a new one at `to` whose segments hold at
// most `maxSegment` bytes, and stores every `copyListEvery`-th content through
// the duplicated-files table (a copy list of two places, both the content).
// `listedSizes` receives the key and content size of each file stored so.
bool bRewrite(const std::string& from, const std::string& to, uint32_t maxSegment, uint32_t copyListEvery,
              std::map<uint32_t, uint32_t>* listedSizes, std::string* error) {
    std::unique_ptr<BIG_cl_Fat> source = HOST::Tools::OpenBigfile(from, error);
    if (!source)
        return false;
    BIG_cl_Fat fat;
    bool ok = fat.File().eCreate(to, false, maxSegment, false) == BIG::eFile_Ok &&
              fat.Create(source->ul_GetFileCount() + 1, source->uw_GetDirCount(), 0, 1);
    std::vector<uint32_t> listed;
    uint32_t stored = 0;
    for (uint32_t i = 0; ok && i < source->ul_GetFileCount(); ++i) {
        const BIG_st_FileEntry from = source->FileEntry(i);
        if (from.ul_Key == 0 || !from.bIsPersisted())
            continue;
        const uint16_t dir = fat.uw_CreateDirPath(source->GetDirPath(from.uw_Dir).c_str());
        const uint32_t index =
            fat.ul_CreateFile(source->GetFileName(i).c_str(), from.ul_Time, dir, from.ul_Key);
        ok = dir != BIG_cl_Fat::kNoDir && index != BIG_cl_Fat::kNoFile;
        if (!ok)
            break;
        BIG::FBuff* buffer = nullptr;
        source->LoadFile(i, &buffer);
        if (buffer != nullptr && buffer->ul_GetSize() != 0) {
            fat.SaveFile(index, buffer->pc_GetData(), buffer->ul_GetSize());
            if (copyListEvery != 0 && ++stored % copyListEvery == 0) {
                listed.push_back(index);
                (*listedSizes)[from.ul_Key] = buffer->ul_GetSize();
            }
        }
        if (buffer != nullptr)
            buffer->Release();
        BIG_st_FileEntry* entry = fat.pst_GetFileEntry(index);
        entry->ul_Flags = (entry->ul_Flags & ~BIG_st_FileEntry::kFlagLinkMask) |
                          (from.ul_Flags & BIG_st_FileEntry::kFlagLinkMask);
        entry->uc_Type = from.uc_Type;
        entry->ul_Time = from.ul_Time;
        fat.WriteFileEntry(index);
    }
    if (ok && !listed.empty()) {
        // The table: an empty reference table, then count, shift 3 and the places.
        std::vector<uint8_t> bytes;
        BIG::Endian::ByteAppender app(&bytes);
        app.U32(0);
        app.U32(static_cast<uint32_t>(listed.size() * 2));
        app.U8(3);
        for (uint32_t index : listed) {
            app.U32(fat.FileEntry(index).ul_Pos);
            app.U32(fat.FileEntry(index).ul_Pos);
        }
        const uint32_t table =
            fat.ul_CreateFile("copies.dup", 1000, BIG_cl_Fat::kRootDir, BIG_DuplicatedFilesManager::kFileKey);
        ok = table != BIG_cl_Fat::kNoFile;
        if (ok) {
            fat.SaveFile(table, bytes.data(), static_cast<uint32_t>(bytes.size()));
            fat.pst_GetFileEntry(table)->uc_Type = BIG_DuplicatedFilesManager::kFileType;
            fat.pst_GetFileEntry(table)->ul_Time = 1000;  // the save took the clock's
            fat.WriteFileEntry(table);
        }
        for (size_t n = 0; ok && n < listed.size(); ++n) {
            BIG_st_FileEntry* entry = fat.pst_GetFileEntry(listed[n]);
            entry->uc_StorageFlags |= BIG_st_FileEntry::kStorageCopyList;
            entry->ul_Pos = (2u << BIG_DuplicatedFilesManager::kCountShift) | static_cast<uint32_t>(2 * n);
            fat.WriteFileEntry(listed[n]);
        }
    }
    ok = ok && fat.File().eFlush() == BIG::eFile_Ok;
    ok = fat.File().eClose() == BIG::eFile_Ok && ok;
    source->File().eClose();
    if (!ok)
        *error = "cannot rewrite " + from + " into " + to;
    return ok;
}

struct Sample {
    const char* name;
    uint64_t seed;
    uint32_t worlds;
    uint32_t files;
    uint32_t maxSegment;  // 0: as generated
    uint32_t copyListEvery;
};

struct Scenario {
    const char* name;
    const char* sample;
    std::vector<std::string> options;
    uint32_t expectedCrc;  // of the manifest of the data root and the work folder
};

class SplitPinned : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_root = new fs::path(fs::temp_directory_path() /
                              ("orvex_split_pinned_" + std::to_string(PLT::CurrentProcessId())));
        fs::remove_all(*s_root);
    }
    static void TearDownTestSuite() {
        std::error_code ec;
        fs::remove_all(*s_root, ec);
        delete s_root;
    }

    // Generates the sample, rewritten when asked into small segments with copy lists.
    static bool bMakeSample(const Sample& s, HOST::GenSummary* summary, std::string* bigfile,
                            std::map<uint32_t, uint32_t>* listedSizes) {
        HOST::GenOptions options;
        options.s_OutDir = (*s_root / s.name).string();
        options.ul_Worlds = s.worlds;
        options.ul_Files = s.files;
        options.ull_Seed = s.seed;
        options.b_GmBigfile = true;
        options.b_CriticalList = true;
        std::string error;
        if (!HOST::bGenerate(options, summary, &error)) {
            ADD_FAILURE() << error;
            return false;
        }
        *bigfile = summary->s_BigfilePath;
        if (s.maxSegment != 0) {
            *bigfile = (*s_root / s.name / "segmented.big").string();
            if (!bRewrite(summary->s_BigfilePath, *bigfile, s.maxSegment, s.copyListEvery, listedSizes,
                          &error)) {
                ADD_FAILURE() << error;
                return false;
            }
            // The rewritten sample has several segments. (Its copy lists are
            // checked through the split's outputs below.)
            std::unique_ptr<BIG_cl_Fat> fat = HOST::Tools::OpenBigfile(*bigfile, &error);
            if (!fat) {
                ADD_FAILURE() << error;
                return false;
            }
            EXPECT_GT(fat->File().uw_GetSegmentCount(), 2u);
            fat->File().eClose();
        }
        return true;
    }

    static fs::path* s_root;
};

fs::path* SplitPinned::s_root = nullptr;

TEST_F(SplitPinned, OutputsReportsAndLogsOfSeededSamplesKeepTheirChecksums) {
    const Sample samples[] = {
        {"plain", 21, 4, 900, 0, 0},
        // Several segment files and contents read through copy lists.
        {"segmented", 22, 3, 700, 1u << 20, 7},
    };
    const Scenario scenarios[] = {
        {"every output, every report",
         "plain",
         {"--report", "--compress", "--linker", "--force-dir", "/Interface", "--gm", "--critical"},
         0xCCF93E7A},
        {"single", "plain", {"--single", "--report", "--compress"}, 0x5B315F5E},
        {"dlc", "plain", {"--dlc", "--report", "--gm"}, 0x709B59ED},
        {"segmented source with copy lists",
         "segmented",
         {"--report", "--compress", "--gm", "--critical"},
         0x477012BD},
        {"segmented source, small headers, package id",
         "segmented",
         {"--small-header", "--package-id", "7", "--package-word", "3", "--report"},
         0xCD9F90E2},
    };

    for (const Sample& sample : samples) {
        HOST::GenSummary summary;
        std::string bigfile;
        std::map<uint32_t, uint32_t> listedSizes;
        ASSERT_TRUE(bMakeSample(sample, &summary, &bigfile, &listedSizes)) << sample.name;
        for (const Scenario& scenario : scenarios) {
            if (std::string(scenario.sample) != sample.name)
                continue;
            SCOPED_TRACE(scenario.name);
            const fs::path dir =
                *s_root / (std::string(sample.name) + "_" + std::to_string(&scenario - scenarios));
            fs::create_directories(dir / "Data");
            fs::copy(summary.s_DataRoot, dir / "Data", fs::copy_options::recursive);
            std::vector<std::string> args = {"split",       bigfile,
                                             "--data-root", (dir / "Data").string(),
                                             "--work-dir",  (dir / "work").string()};
            for (const HOST::GenWorld& w : summary.worlds) {
                args.push_back("--world");
                args.push_back(w.s_Name);
            }
            for (const std::string& option : scenario.options) {
                if (option == "--gm") {
                    args.insert(args.end(), {"--gm-bigfile", summary.s_GmBigfilePath});
                } else if (option == "--critical") {
                    args.insert(args.end(), {"--critical-list", summary.s_CriticalListPath});
                } else {
                    args.push_back(option);
                }
            }
            const PLT::ProcessResult result = RunOrvex(args);
            ASSERT_EQ(result.exitCode, 0) << result.out << result.err;
            const std::string manifest =
                "data root\n" + Manifest(dir / "Data") + "work folder\n" + Manifest(dir / "work");
            // Contents read through copy lists arrive whole.
            uint32_t found = 0;
            for (const auto& entry : fs::recursive_directory_iterator(dir / "Data" / "DLC")) {
                if (entry.path().extension() != ".big")
                    continue;
                std::string error;
                std::unique_ptr<BIG_cl_Fat> out = HOST::Tools::OpenBigfile(entry.path().string(), &error);
                ASSERT_NE(out, nullptr) << error;
                for (const auto& [key, size] : listedSizes) {
                    const uint32_t index = out->ul_GetFileIndex(key, false);
                    if (index == BIG_cl_Fat::kNoFile)
                        continue;
                    ++found;
                    EXPECT_EQ(out->ul_GetFileSize(index), size) << std::hex << key;
                }
                out->File().eClose();
            }
            EXPECT_EQ(found == 0, listedSizes.empty());
            EXPECT_EQ(manifest.find("does not decompress"), std::string::npos) << manifest;
            EXPECT_EQ(Crc(manifest), scenario.expectedCrc)
                << std::hex << "manifest crc 0x" << Crc(manifest) << "\n"
                << manifest;
        }
    }
}

}  // namespace
