// orvex gen: the output folder, the bigfiles and the summary.
#include "host/Gen.h"

#include <cmath>
#include <cstdio>
#include <memory>
#include <unordered_map>

#include "BIGfile/BIG_Fat.h"
#include "BIGfile/BIG_File.h"
#include "host/GenContent.h"
#include "host/GenPlan.h"
#include "host/GenRandom.h"
#include "platform/File.h"

namespace HOST {
namespace {

using namespace GEN;

// Segment files of at most 2 GB, as the game's own bigfiles.
constexpr uint32_t kMaxSegmentSize = 0x80000000u;
constexpr uint32_t kPackageWord = 0;
constexpr uint8_t kHeaderByte = 1;
constexpr uint64_t kTagStamp = 201;
constexpr uint64_t kTagGm = 202;
constexpr uint32_t kGmOnlyFolderFiles = 256;

// The container of a generated bigfile: its set stamp, which ties the segment
// files of one bigfile together, comes from the seed instead of the clock.
class SeededContainer : public BIG::FileEd {
public:
    explicit SeededContainer(uint64_t stamp) : mull_Stamp(stamp) {}
    uint32_t eWriteFileHeader(uint16_t segment) override {
        m_ullSetStamp = mull_Stamp;
        return FileEd::eWriteFileHeader(segment);
    }

private:
    uint64_t mull_Stamp;
};

class SeededFat : public BIG_cl_Fat {
public:
    explicit SeededFat(uint64_t stamp) { m_pFile = std::make_unique<SeededContainer>(stamp); }
};

bool Fail(std::string* error, const std::string& text) {
    *error = text;
    return false;
}

// Creates the bigfile's container and its empty tables.
bool BeginBigfile(BIG_cl_Fat& fat, const std::string& path, uint32_t files, size_t dirs, std::string* error) {
    if (dirs + 2 > BIG_cl_Fat::kNoDir)
        return Fail(error, "too many directories for one bigfile");
    if (fat.File().eCreate(path, false, kMaxSegmentSize, false) != BIG::eFile_Ok)
        return Fail(error, "cannot create " + path);
    if (!fat.Create(files, static_cast<uint16_t>(dirs + 2), kPackageWord, kHeaderByte))
        return Fail(error, "cannot lay out the tables of " + path);
    return true;
}

// Header (its table checksum covers the final entries), flush, close.
bool EndBigfile(BIG_cl_Fat& fat, const std::string& path, uint32_t* segments, uint64_t* bytes,
                std::string* error) {
    fat.WriteFatHeader();
    const bool written = fat.LastEditStatus().bOk();
    const bool flushed = fat.File().eFlush() == BIG::eFile_Ok;
    const uint16_t count = fat.File().uw_GetSegmentCount();
    fat.File().eClose();
    if (!written || !flushed)
        return Fail(error, "write error in " + path);
    if (segments != nullptr)
        *segments = count;
    for (uint16_t s = 0; s < count && bytes != nullptr; ++s) {
        uint64_t size = 0;
        if (PLT::GetPathSize(s == 0 ? path : BIG::File::SegmentFileName(path, s), &size))
            *bytes += size;
    }
    return true;
}

// Makes a file with the plan's time stamp, stores its content, and sets the
// time again: storing a content stamps the entry with the clock.
bool AddFile(BIG_cl_Fat& fat, const Plan& plan, const std::string& name, uint16_t dir, uint32_t key,
             const std::function<uint32_t(uint32_t)>& store, uint64_t* contentBytes, std::string* error) {
    const uint32_t time = FileTime(plan, key);
    const uint32_t index = fat.ul_CreateFile(name.c_str(), time, dir, key);
    if (index == BIG_cl_Fat::kNoFile)
        return Fail(error, "cannot create the file " + name);
    const uint32_t size = store(index);
    if (size == 0 || !fat.LastEditStatus().bOk() || fat.ul_GetFilePosition(index) == BIG_st_FileEntry::kNone)
        return Fail(error, "cannot store the content of " + name);
    BIG_st_FileEntry* entry = fat.pst_GetFileEntry(index);
    entry->ul_Time = time;
    fat.WriteFileEntry(index);
    if (!fat.LastEditStatus().bOk())
        return Fail(error, "write error in " + fat.File().GetPath());
    *contentBytes += uint64_t{size} + 4;
    return true;
}

bool bInGm(const Plan& plan, uint32_t index) {
    const PlanFile& f = plan.files[index];
    if (f.uc_Kind != kTexture && f.uc_Kind != kMesh && f.uc_Kind != kImage)
        return false;
    if (f.uw_Pool == kGlobalPool)
        return false;
    // Each world's first image is always there, so even a tiny generation overlaps.
    if (f.uc_Kind == kImage && f.ul_Ordinal == 0 && f.uw_Pool != kSharedPool)
        return true;
    return Below(Hash(plan.ull_Seed, kTagGm, f.ul_Key), f.uw_Pool == kSharedPool ? 20 : 10) == 0;
}

bool WriteDataBigfile(const GenOptions& options, const Plan& plan, const std::string& path,
                      GenSummary* summary, std::string* error) {
    SeededFat fat(Hash(plan.ull_Seed, kTagStamp, 0));
    const uint32_t count = static_cast<uint32_t>(plan.files.size());
    if (!BeginBigfile(fat, path, count, plan.dirs.size(), error))
        return false;

    // Folders: parents come first in the plan, so each one's parent exists.
    std::vector<uint16_t> dirs(plan.dirs.size());
    std::unordered_map<std::string, uint16_t> byPath;
    for (size_t d = 0; d < plan.dirs.size(); ++d) {
        const std::string& p = plan.dirs[d];
        const size_t slash = p.find_last_of('/');
        const auto parent = byPath.find(p.substr(0, slash));
        const uint16_t parentDir = parent == byPath.end() ? BIG_cl_Fat::kRootDir : parent->second;
        dirs[d] = fat.uw_CreateDir(p.c_str() + slash + 1, parentDir);
        if (dirs[d] == BIG_cl_Fat::kNoDir)
            return Fail(error, "cannot create the directory " + p);
        byPath.emplace(p, dirs[d]);
    }

    const uint32_t step = std::max<uint32_t>(1, count / 100);
    for (uint32_t i = 0; i < count; ++i) {
        const PlanFile& f = plan.files[i];
        const auto store = [&](uint32_t fatIndex) { return WriteFileContent(fat, plan, i, fatIndex); };
        if (!AddFile(fat, plan, FileName(plan, i), dirs[f.ul_Dir], f.ul_Key, store,
                     &summary->ull_ContentBytes, error))
            return false;
        if (options.progress && (i % step == 0 || i + 1 == count))
            options.progress(i + 1, count);
    }
    summary->ul_Files = count;
    summary->ul_Dirs = fat.uw_CountUsedDirs();
    return EndBigfile(fat, path, &summary->ul_Segments, &summary->ull_BigfileBytes, error);
}

// The gmbigfile: about a tenth of the worlds' meshes and textures and a
// twentieth of the shared ones (at least each world's first image), with the same keys, names, folders and
// contents as in data.big, and a few files of its own.
bool WriteGmBigfile(const Plan& plan, const std::string& path, GenSummary* summary, std::string* error) {
    std::vector<uint32_t> chosen;
    for (uint32_t i = 0; i < plan.files.size(); ++i) {
        if (bInGm(plan, i))
            chosen.push_back(i);
    }
    const uint32_t own = std::max<uint32_t>(2, static_cast<uint32_t>(plan.files.size() / 200));
    SeededFat fat(Hash(plan.ull_Seed, kTagStamp, 1));
    const size_t ownDirs = 1 + own / kGmOnlyFolderFiles;
    if (!BeginBigfile(fat, path, static_cast<uint32_t>(chosen.size()) + own, plan.dirs.size() + ownDirs,
                      error))
        return false;
    std::unordered_map<uint32_t, uint16_t> dirs;
    auto dirOf = [&](const std::string& p) { return fat.uw_CreateDirPath(p.c_str()); };
    uint64_t bytes = 0;
    for (uint32_t i : chosen) {
        const PlanFile& f = plan.files[i];
        auto found = dirs.find(f.ul_Dir);
        if (found == dirs.end())
            found = dirs.emplace(f.ul_Dir, dirOf(plan.dirs[f.ul_Dir])).first;
        if (found->second == BIG_cl_Fat::kNoDir)
            return Fail(error, "cannot create the directory " + plan.dirs[f.ul_Dir] + " in " + path);
        const auto store = [&](uint32_t fatIndex) { return WriteFileContent(fat, plan, i, fatIndex); };
        if (!AddFile(fat, plan, FileName(plan, i), found->second, f.ul_Key, store, &bytes, error))
            return false;
    }
    for (uint32_t o = 0; o < own; ++o) {
        char folder[32], name[32];
        std::snprintf(folder, sizeof folder, "/GameModes/%03u", o / kGmOnlyFolderFiles);
        std::snprintf(name, sizeof name, "GameMode_%05u.txd", o);
        const uint16_t dir = dirOf(folder);
        if (dir == BIG_cl_Fat::kNoDir)
            return Fail(error, std::string("cannot create the directory ") + folder + " in " + path);
        const uint32_t key = (kGmOnlyUserId << 20) | o;
        const uint32_t size = 256 + Below(Hash(plan.ull_Seed, kTagGm, key), 4096);
        const auto store = [&](uint32_t fatIndex) {
            return WritePlainContent(fat, plan.ull_Seed, key, size, fatIndex);
        };
        if (!AddFile(fat, plan, name, dir, key, store, &bytes, error))
            return false;
    }
    summary->ul_GmFiles = static_cast<uint32_t>(chosen.size()) + own;
    summary->ul_GmSharedKeys = static_cast<uint32_t>(chosen.size());
    return EndBigfile(fat, path, nullptr, nullptr, error);
}

void CountKinds(const Plan& plan, GenSummary* summary) {
    summary->worlds.clear();
    for (const PlanPool& pool : plan.worlds)
        summary->worlds.push_back({plan.files[pool.ul_WorldFile].ul_Key, pool.s_Name, 0});
    for (uint32_t i = 0; i < plan.files.size(); ++i) {
        const PlanFile& f = plan.files[i];
        if (f.uw_Pool < summary->worlds.size())
            ++summary->worlds[f.uw_Pool].ul_Files;
        if (f.uw_Pool == kSharedPool && f.uc_Kind < kResourceKinds)
            ++summary->ul_SharedFiles;
        switch (f.uc_Type) {
            case 40:
            case 60:
            case 129:
            case 131:
                ++summary->ul_ForcedTypeFiles;
                break;
            case 52:
            case 61:
            case 62:
            case 63:
            case 64:
                ++summary->ul_SoundFiles;
                break;
            case 87:
                ++summary->ul_Banks;
                break;
            case 88:
                ++summary->ul_BankLists;
                break;
            case 89:
                ++summary->ul_ElementRefLists;
                break;
            case 126:
                ++summary->ul_TxdFiles;
                break;
            default:
                break;
        }
        summary->ul_LinkFiles += f.uc_Kind == kLink ? 1 : 0;
        summary->ul_BuiltinFiles += f.uc_Kind == kBuiltin ? 1 : 0;
        summary->ul_UnneededFiles += f.uc_Kind == kUnneeded ? 1 : 0;
        const std::string& dir = plan.dirs[f.ul_Dir];
        const std::string forced = kGenForcedDirectory;
        if (dir == forced || dir.compare(0, forced.size() + 1, forced + "/") == 0)
            ++summary->ul_ForcedDirFiles;
    }
    summary->ul_MissingRefs = plan.ul_MissingRefs;
}

bool PrepareFolder(const std::string& path, std::string* error) {
    if (PLT::FileExists(path))
        return Fail(error, path + " is a file, not a folder");
    if (PLT::DirectoryExists(path)) {
        std::vector<std::string> names;
        if (!PLT::ListDirectory(path, &names))
            return Fail(error, "cannot list " + path);
        if (!names.empty())
            return Fail(error, path + " is not empty; generate into a new or empty folder");
    }
    if (!PLT::MakeDirectories(path))
        return Fail(error, "cannot create " + path + ": " + PLT::ErrorText(PLT::LastError()));
    return true;
}

}  // namespace

bool bGenerate(const GenOptions& options, GenSummary* summary, std::string* error) {
    *summary = GenSummary();
    if (options.s_OutDir.empty())
        return Fail(error, "no output folder");
    if (options.ul_Worlds < 1 || options.ul_Worlds > kGenMaxWorlds)
        return Fail(error, "the number of worlds must be between 1 and " + std::to_string(kGenMaxWorlds));
    if (options.ul_Files > kGenMaxFiles)
        return Fail(error, "the number of files must be at most " + std::to_string(kGenMaxFiles));
    if (!(options.d_SizeScale > 0.0) || options.d_SizeScale > kGenMaxSizeScale)
        return Fail(error, "the size scale must be above 0 and at most 64");
    const uint32_t scaleMilli =
        std::max<uint32_t>(1, static_cast<uint32_t>(std::lround(options.d_SizeScale * 1000)));

    if (!PrepareFolder(options.s_OutDir, error))
        return false;
    const std::string dataRoot = options.s_OutDir + "/" + kGenDataRootName;
    if (!PLT::MakeDirectories(dataRoot + "/sound_bin_pc/english"))
        return Fail(error, "cannot create " + dataRoot + "/sound_bin_pc/english");

    Plan plan;
    BuildPlan(options.ull_Seed, options.ul_Worlds, options.ul_Files, scaleMilli, &plan);
    CountKinds(plan, summary);

    summary->s_BigfilePath = options.s_OutDir + "/" + kGenBigfileName;
    summary->s_DataRoot = dataRoot;
    if (!WriteDataBigfile(options, plan, summary->s_BigfilePath, summary, error))
        return false;

    PackageStats packages;
    if (!WriteSoundPackages(plan, dataRoot, &packages, error))
        return false;
    summary->ul_SoundPackages = packages.ul_Packages;
    summary->ul_EnglishPackages = packages.ul_English;
    summary->ull_SoundBytes = packages.ull_Bytes;

    if (options.b_GmBigfile) {
        summary->s_GmBigfilePath = options.s_OutDir + "/" + kGenGmBigfileName;
        if (!WriteGmBigfile(plan, summary->s_GmBigfilePath, summary, error))
            return false;
    }
    if (options.b_CriticalList) {
        summary->s_CriticalListPath = options.s_OutDir + "/" + kGenCriticalListName;
        const std::string list = CriticalList(plan, &summary->ul_CriticalKeys);
        if (!PLT::WriteWholeFile(summary->s_CriticalListPath, list.data(), list.size()))
            return Fail(error, "cannot write " + summary->s_CriticalListPath);
    }
    const std::string text = FormatGenSummary(*summary);
    const std::string summaryPath = options.s_OutDir + "/" + kGenSummaryName;
    if (!PLT::WriteWholeFile(summaryPath, text.data(), text.size()))
        return Fail(error, "cannot write " + summaryPath);
    return true;
}

std::string FormatGenSummary(const GenSummary& s) {
    std::string out;
    char line[512];
    auto add = [&](const char* format, auto... args) {
        std::snprintf(line, sizeof line, format, args...);
        out += line;
    };
    // Names relative to the output folder, so that the summary of one seed is
    // the same wherever it was generated.
    add("bigfile %s: %u files, %u directories, %u segment(s), %llu bytes of contents, %llu bytes on disk\n",
        kGenBigfileName, s.ul_Files, s.ul_Dirs, s.ul_Segments,
        static_cast<unsigned long long>(s.ull_ContentBytes),
        static_cast<unsigned long long>(s.ull_BigfileBytes));
    add("worlds: %zu\n", s.worlds.size());
    for (const GenWorld& w : s.worlds)
        add("world 0x%08X %s %u\n", w.ul_Key, w.s_Name.c_str(), w.ul_Files);
    add("shared resources: %u\n", s.ul_SharedFiles);
    add("txd files: %u\n", s.ul_TxdFiles);
    add("dynamic banks: %u, bank lists: %u, element reference lists: %u\n", s.ul_Banks, s.ul_BankLists,
        s.ul_ElementRefLists);
    add("link files: %u\n", s.ul_LinkFiles);
    add("forced-type files: %u\n", s.ul_ForcedTypeFiles);
    add("forced directory %s: %u files\n", kGenForcedDirectory, s.ul_ForcedDirFiles);
    add("built-in common key files: %u\n", s.ul_BuiltinFiles);
    add("files nothing refers to: %u\n", s.ul_UnneededFiles);
    add("references to missing keys: %u\n", s.ul_MissingRefs);
    add("sound files: %u\n", s.ul_SoundFiles);
    add("data root %s: %u sound packages, %u English variants, %llu bytes\n", kGenDataRootName,
        s.ul_SoundPackages, s.ul_EnglishPackages, static_cast<unsigned long long>(s.ull_SoundBytes));
    if (!s.s_GmBigfilePath.empty())
        add("gmbigfile %s: %u files, %u keys also in the bigfile\n", kGenGmBigfileName, s.ul_GmFiles,
            s.ul_GmSharedKeys);
    if (!s.s_CriticalListPath.empty())
        add("critical list %s: %u lines\n", kGenCriticalListName, s.ul_CriticalKeys);
    return out;
}

}  // namespace HOST
