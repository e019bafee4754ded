#include "host/CmdSplit.h"

#include <algorithm>
#include <cctype>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <set>

#include "BIGfile/BIG_Fat.h"
#include "BIGfile/BIG_File.h"
#include "host/BigTools.h"
#include "host/Command.h"
#include "host/ExitCode.h"
#include "host/PluginLoader.h"
#include "host/SplitRunReports.h"
#include "host/SplitSummary.h"
#include "platform/Clock.h"
#include "platform/File.h"
#include "platform/OutputCapture.h"
#include "platform/Process.h"
#include "platform/Signals.h"
#include "platform/Terminal.h"
#include "plugin/OVI_HostEnvironment.h"
#include "plugin/OVI_ReportFormat.h"
#include "orvex/OVC_Interface.h"

namespace HOST {
namespace {

constexpr uint8_t kWorldType = 4;
constexpr const char* kWorldExtension = ".wor";
constexpr const char* kAllWorlds = "all";
constexpr const char* kCommonName = "Marlin";
constexpr const char* kSingleName = "dlc";
constexpr unsigned kMaxSegments = 255;

bool bEndsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

std::string Lower(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string Hex(uint32_t key) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", key);
    return text;
}

// ---- the run ---------------------------------------------------------------------------

struct OutputSummary {
    std::string s_Name;
    bool b_Exists = false;
    uint32_t ul_Files = 0;
    uint64_t ull_Bytes = 0;
    unsigned u_Segments = 0;
    bool b_Gzip = false;
    uint64_t ull_GzipBytes = 0;
};

OutputSummary SummariseOutput(const std::string& dataRoot, const std::string& name) {
    OutputSummary s;
    s.s_Name = name;
    std::string path = dataRoot;
    if (!path.empty() && path.back() != '/')
        path += '/';
    path += "DLC/" + name + "/" + name + ".big";
    for (unsigned k = 0; k <= kMaxSegments; ++k) {
        const std::string file = k == 0 ? path : BIG::File::SegmentFileName(path, k);
        uint64_t size = 0;
        if (!PLT::FileExists(file) || !PLT::GetPathSize(file, &size))
            break;
        s.ull_Bytes += size;
        s.u_Segments = k + 1;
    }
    if (s.u_Segments == 0)
        return s;
    std::string error;
    std::unique_ptr<BIG_cl_Fat> fat = Tools::OpenBigfile(path, &error);
    if (fat) {
        s.b_Exists = true;
        s.ul_Files = fat->ul_CountUsedFiles();
        fat->File().eClose();
    }
    s.b_Gzip = PLT::GetPathSize(path + ".gz", &s.ull_GzipBytes);
    return s;
}

// Rows of the final report (its header excluded); -1 when it cannot be read.
long CountReportRows(const std::string& path) {
    std::string text;
    if (!PLT::ReadWholeFile(path, &text))
        return -1;
    long rows = static_cast<long>(std::count(text.begin(), text.end(), '\n'));
    return rows > 0 ? rows - 1 : 0;
}

// The tool objects, handed back to the plug-in in every case.
struct PluginObjects {
    Plugin* plugin = nullptr;
    OVC_Params* params = nullptr;
    OVC_PluginInterface* tool = nullptr;
    ~PluginObjects() {
        if (tool != nullptr)
            plugin->pfn_DeinitPlugin(tool);
        if (params != nullptr)
            plugin->pfn_DeinitParams(params);
    }
};

// The plug-in's standard output as it passes. Its "phase" lines are info
// lines: shown only with --verbose, though the summary's times are read from
// them in every mode. Without --verbose the text goes on a line at a time,
// each up to and with its newline.
class PluginStdout {
public:
    explicit PluginStdout(bool verbose) : mb_Verbose(verbose) {}
    void Feed(std::string_view text, const PLT::StreamCapture& to) {
        if (mb_Verbose) {
            to.Forward(text);
            return;
        }
        ms_Pending.append(text);
        size_t start = 0;
        for (size_t end; (end = ms_Pending.find('\n', start)) != std::string::npos; start = end + 1)
            _Show(std::string_view(ms_Pending).substr(start, end + 1 - start), to);
        ms_Pending.erase(0, start);
    }
    // What is left once the plug-in is done.
    void Finish(const PLT::StreamCapture& to) {
        _Show(ms_Pending, to);
        ms_Pending.clear();
    }

private:
    static void _Show(std::string_view line, const PLT::StreamCapture& to) {
        // The plug-in begins each line with its newline: alone, it is what is
        // left of a line not shown.
        constexpr std::string_view kPhase = "[    info][phase           ][";
        if (!line.empty() && line != "\n" && line.substr(0, kPhase.size()) != kPhase)
            to.Forward(line);
    }
    bool mb_Verbose;
    std::string ms_Pending;
};

// Modification time of a path in nanoseconds; 0 when it has none.
uint64_t ModifiedNs(const std::string& path) {
    uint64_t modified = 0;
    uint64_t changed = 0;
    return PLT::GetPathTimes(path, &modified, &changed) ? modified : 0;
}

// The same figures from the outputs as the reports read them.
OutputSummary SummaryOf(const SplitOutputFacts& facts, const std::string& dataRoot) {
    OutputSummary s;
    s.s_Name = facts.s_Name;
    s.ull_Bytes = facts.ull_Bytes;
    s.u_Segments = facts.u_Segments;
    if (s.u_Segments == 0)
        return s;
    s.b_Exists = facts.b_Written;
    s.ul_Files = facts.ul_Files;
    std::string path = dataRoot;
    if (!path.empty() && path.back() != '/')
        path += '/';
    path += "DLC/" + facts.s_Name + "/" + facts.s_Name + ".big.gz";
    s.b_Gzip = PLT::GetPathSize(path, &s.ull_GzipBytes);
    return s;
}

// Prints the summary and returns its problems, which the JSON summary lists too.
// `outputs`: the outputs as ReadSplitOutputs read them, in its order; null
// when they were not read, and each is then read here.
std::vector<std::string> PrintSummary(const SplitSettings& settings, const std::vector<WorldFile>& selected,
                                      const std::string& dataRootFromWork, int32_t status,
                                      const ErrorLines& errors, uint64_t startNs,
                                      const std::vector<SplitOutputFacts>* outputs, std::ostream& out) {
    std::vector<std::string> problems;
    out << "\n\nsplit " << settings.s_Bigfile << ": status " << status << "\n";
    if (settings.b_NoCopy) {
        out << "outputs: none written (--no-copy)\n";
    } else {
        struct Shown {
            std::string name;
            std::string label;
            uint32_t root;
        };
        std::vector<Shown> names;
        if (settings.b_Single || settings.b_Dlc) {
            names.push_back({kSingleName, kSingleName, 0});
        } else {
            names.push_back({kCommonName, std::string(kCommonName) + " (common)", 0});
            for (const WorldFile& w : selected)
                names.push_back({w.s_Name, w.s_Name, w.ul_Key});
        }
        out << "outputs under " << settings.s_DataRoot << (bEndsWith(settings.s_DataRoot, "/") ? "" : "/")
            << "DLC:\n";
        for (size_t k = 0; k < names.size(); ++k) {
            const Shown& shown = names[k];
            const std::string& name = shown.name;
            const bool read = outputs != nullptr && k < outputs->size() && (*outputs)[k].s_Name == name;
            const OutputSummary s =
                read ? SummaryOf((*outputs)[k], dataRootFromWork) : SummariseOutput(dataRootFromWork, name);
            const std::string big = dataRootFromWork + (bEndsWith(dataRootFromWork, "/") ? "" : "/") +
                                    "DLC/" + name + "/" + name + ".big";
            // A bigfile older than the run was kept from an earlier one.
            const bool written = s.b_Exists && ModifiedNs(big) >= startNs;
            char line[256];
            if (!written) {
                std::snprintf(line, sizeof line, "  %-24s not written%s\n", shown.label.c_str(),
                              s.b_Exists ? " (the older bigfile is kept)" : "");
                problems.push_back(shown.label + ": not written (" + settings.s_DataRoot +
                                   (bEndsWith(settings.s_DataRoot, "/") ? "" : "/") + "DLC/" + name + "/" +
                                   name + ".big)");
            } else {
                std::snprintf(line, sizeof line, "  %-24s %10" PRIu32 " files %14" PRIu64 " bytes",
                              shown.label.c_str(), s.ul_Files, s.ull_Bytes);
                out << line;
                if (s.u_Segments > 1)
                    out << " in " << s.u_Segments << " segments";
                if (s.b_Gzip && ModifiedNs(big + ".gz") >= startNs)
                    out << ", " << name << ".big.gz " << s.ull_GzipBytes << " bytes";
                if (settings.b_Report && shown.root != 0)
                    out << ", log " << ORVEX::OVI_WorldLogName(shown.root);
                line[0] = '\n';
                line[1] = '\0';
            }
            out << line;
        }
    }
    // What the plug-in said went wrong, in its own words.
    problems.insert(problems.end(), errors.Kept().begin(), errors.Kept().end());
    if (errors.Count() > errors.Kept().size())
        problems.push_back("... and " + std::to_string(errors.Count() - errors.Kept().size()) +
                           " more error lines on standard error");
    if (status != OVC_Status_Success && errors.Count() == 0)
        problems.push_back("status " + std::to_string(status) +
                           ": the lines above on standard error say what failed");
    // The work folder as the user gave it; the current one when none was given.
    std::string folder = settings.s_WorkDir.empty() ? PLT::CurrentDirectory() : settings.s_WorkDir;
    while (folder.size() > 1 && folder.back() == '/')
        folder.pop_back();
    const long unplaced = CountReportRows(ORVEX::kFinalReportName);
    if (unplaced < 0)
        out << "unplaced keys: unknown (" << ORVEX::kFinalReportName << " not written)\n";
    else
        out << "unplaced keys: " << unplaced << " (" << folder << "/" << ORVEX::kFinalReportName << ")\n";

    std::vector<std::string> reports;
    std::vector<std::string> names;
    PLT::ListDirectory(".", &names);
    for (const std::string& name : names) {
        if (name == ORVEX::kCriticalListReportName || name == ORVEX::kCriticalReportName ||
            name == ORVEX::kFinalReportName || name == ORVEX::kCommonLogName || name == "refs.bin" ||
            name == "linker_pc.map" || (name.rfind("0x", 0) == 0 && bEndsWith(name, ".log")))
            reports.push_back(name);
    }
    out << "reports in " << folder << ":";
    for (const std::string& name : reports)
        out << " " << name;
    out << "\n";
    if (!problems.empty()) {
        out << "problems:\n";
        for (const std::string& problem : problems)
            out << "  " << problem << "\n";
    }
    out.flush();
    return problems;
}

}  // namespace

bool bListWorldFiles(const std::string& bigfile, std::vector<WorldFile>* worlds, std::string* error,
                     Tools::OpenFailure* failure) {
    worlds->clear();
    // The plug-in reads the whole table again: here only the world entries are kept.
    std::vector<BIG_st_ListedFile> listed;
    if (!Tools::bListBigfileFiles(bigfile, kWorldType, &listed, error, failure))
        return false;
    for (const BIG_st_ListedFile& f : listed) {
        if (!bEndsWith(f.s_Name, kWorldExtension))
            continue;
        worlds->push_back(WorldFile{f.ul_Key, f.s_Name.substr(0, f.s_Name.rfind('.'))});
    }
    std::sort(worlds->begin(), worlds->end(),
              [](const WorldFile& a, const WorldFile& b) { return a.ul_Key < b.ul_Key; });
    return true;
}

bool bResolveWorlds(const std::vector<std::string>& values, const std::vector<WorldFile>& worlds,
                    std::vector<uint32_t>* keys, std::string* error) {
    keys->clear();
    for (std::string value : values) {
        // Every world file of the bigfile.
        if (value == kAllWorlds) {
            for (const WorldFile& w : worlds)
                keys->push_back(w.ul_Key);
            continue;
        }
        // A world file's full name names the world.
        if (value.size() > std::strlen(kWorldExtension) && bEndsWith(Lower(value), kWorldExtension))
            value.resize(value.size() - std::strlen(kWorldExtension));
        uint32_t key = 0;
        if (bParseKey(value, &key)) {
            const bool found = std::any_of(worlds.begin(), worlds.end(),
                                           [&](const WorldFile& w) { return w.ul_Key == key; });
            if (!found) {
                *error = "--world " + value + ": the bigfile has no world file with key " + Hex(key);
                return false;
            }
            keys->push_back(key);
            continue;
        }
        std::vector<uint32_t> exact;
        std::vector<uint32_t> folded;
        for (const WorldFile& w : worlds) {
            if (w.s_Name == value)
                exact.push_back(w.ul_Key);
            else if (Lower(w.s_Name) == Lower(value))
                folded.push_back(w.ul_Key);
        }
        const std::vector<uint32_t>& match = exact.empty() ? folded : exact;
        if (match.size() != 1) {
            *error = "--world " + value + ": " +
                     (match.empty() ? std::string("no world file of that name")
                                    : std::to_string(match.size()) + " world files of that name; give a key");
            if (match.empty()) {
                std::vector<std::string> names;
                for (const WorldFile& w : worlds)
                    names.push_back(w.s_Name);
                const std::string closest = ClosestName(value, names);
                if (!closest.empty())
                    *error += "; did you mean " + closest + "?";
            }
            return false;
        }
        keys->push_back(match[0]);
    }
    return true;
}

namespace {

// The output's directory table holds the base + 3 entries in 16 bits.
constexpr uint32_t kMaxDirCountBase = 0xFFFF - 3;

// Restores the signal handlers and the environment the run changed.
struct RunGuard {
    RunGuard() { PLT::CatchInterrupts(); }
    ~RunGuard() {
        PLT::ReleaseInterrupts();
        PLT::SetEnvironmentVariable(ORVEX::kHostInterruptsVariable, "");
        PLT::SetEnvironmentVariable(ORVEX::kHostOutputVariable, "");
        PLT::SetEnvironmentVariable(ORVEX::kHostPathsVariable, "");
        PLT::SetEnvironmentVariable(ORVEX::kHostReproducibleVariable, "");
        PLT::SetEnvironmentVariable(ORVEX::kHostClosuresVariable, "");
    }
};

// The closures the plug-in left in the current folder; the file is removed
// whatever it holds.
std::optional<ORVEX::OVI_Closures> TakeClosures() {
    std::string bytes;
    const bool read = PLT::ReadWholeFile(kSplitClosuresName, &bytes);
    PLT::RemoveFile(kSplitClosuresName);
    ORVEX::OVI_Closures closures;
    if (!read ||
        !ORVEX::OVI_bDecodeClosures(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), &closures))
        return std::nullopt;
    return closures;
}

// A named side input: a readable regular file. Usage error (2) when there
// is none at that path, environment error (4) when it cannot be read.
int CheckInput(const char* option, const std::string& path, std::string* error) {
    if (path.empty())
        return 0;
    if (!PLT::FileExists(path)) {
        uint64_t size = 0;
        *error = std::string(option) + " " + path +
                 (PLT::GetPathSize(path, &size) ? ": not a regular file" : ": no such file");
        return kExitUsage;
    }
    const PLT::FileHandle file = PLT::OpenFile(path, PLT::Access::eRead, PLT::Disposition::eOpenExisting);
    if (file == PLT::kInvalidFile) {
        *error = std::string(option) + " " + path + ": cannot be read: " + PLT::ErrorText(PLT::LastError());
        return ExitCodeForStatus(OVC_Status_Failure);
    }
    PLT::CloseFile(file);
    return 0;
}

// DATAROOT/DLC exists (made when missing) and is locked for this run alone.
int LockOutputFolder(const SplitSettings& settings, PLT::FolderLock* lock, std::ostream& err) {
    const std::string dlc = settings.s_DataRoot + (bEndsWith(settings.s_DataRoot, "/") ? "" : "/") + "DLC";
    if (!PLT::DirectoryExists(dlc) && !PLT::MakeDirectory(dlc) && !PLT::DirectoryExists(dlc)) {
        err << "orvex split: cannot create " << dlc << ": " << PLT::ErrorText(PLT::LastError()) << "\n";
        return ExitCodeForStatus(OVC_Status_Failure);
    }
    if (!PLT::IsWritableDirectory(dlc)) {
        err << "orvex split: cannot write into " << dlc << ": " << PLT::ErrorText(PLT::LastError()) << "\n";
        return ExitCodeForStatus(OVC_Status_Failure);
    }
    const std::string& lockPath = dlc;
    PLT::FolderLock::Result result = lock->eLock(lockPath, false);
    if (result == PLT::FolderLock::Result::eBusy) {
        if (settings.b_NoWait) {
            err << "orvex split: another split is writing into " << dlc << " (it holds the folder's lock); "
                << "not waiting (--no-wait)\n";
            return ExitCodeForStatus(OVC_Status_Failure);
        }
        err << "orvex split: another split is writing into " << dlc << "; waiting for it to finish\n";
        err.flush();
        result = lock->eLock(lockPath, true);
    }
    switch (result) {
        case PLT::FolderLock::Result::eLocked:
            return 0;
        case PLT::FolderLock::Result::eInterrupted:
            err << "orvex split: interrupted\n";
            return kExitInterrupted;
        default:
            err << "orvex split: cannot lock " << dlc << ": " << PLT::ErrorText(PLT::LastError()) << "\n";
            return ExitCodeForStatus(OVC_Status_Failure);
    }
}

// Removes what an interrupted or failed run may have left in the outputs'
// work folders (DATAROOT/DLC/NAME/.NAME.partial); finished outputs stay.
void RemoveWorkFolders(const std::string& dataRoot) {
    const std::string dlc = dataRoot + (bEndsWith(dataRoot, "/") ? "" : "/") + "DLC";
    std::vector<std::string> outputs;
    if (!PLT::ListDirectory(dlc, &outputs))
        return;
    for (const std::string& name : outputs) {
        const std::string work = dlc + "/" + name + "/." + name + ".partial";
        std::vector<std::string> files;
        if (!PLT::ListDirectory(work, &files))
            continue;
        for (const std::string& file : files)
            PLT::RemoveFile(work + "/" + file);
        PLT::RemoveDirectory(work);
    }
}

// The block's rewritten paths and their spellings as given, for the
// plug-in's messages; a path holding a separator is left as it is.
std::string HostPaths(const SplitSettings& settings) {
    std::string pairs;
    for (const auto& [block, given] : BlockPathsAsGiven(settings)) {
        const auto bSeparated = [](const std::string& path) {
            return path.find(ORVEX::kHostPathsSeparator) != std::string::npos ||
                   path.find(ORVEX::kHostPathsPairSeparator) != std::string::npos;
        };
        if (bSeparated(block) || bSeparated(given))
            continue;
        if (!pairs.empty())
            pairs += ORVEX::kHostPathsPairSeparator;
        pairs += block + ORVEX::kHostPathsSeparator + given;
    }
    return pairs;
}

int Interrupted(const SplitSettings& settings, std::ostream& err) {
    RemoveWorkFolders(settings.s_DataRoot);
    err << "orvex split: interrupted\n";
    return kExitInterrupted;
}

}  // namespace

int RunSplit(const SplitSettings& settings, std::ostream& out, std::ostream& err) {
    if (settings.s_Bigfile.empty() || settings.s_DataRoot.empty()) {
        err << "orvex split: " << (settings.s_Bigfile.empty() ? "BIGFILE" : "--data-root")
            << " is required (on the command line or in the --config file)\n";
        return kExitUsage;
    }
    if (settings.uw_DirCountBase == 0 || settings.uw_DirCountBase > kMaxDirCountBase) {
        err << "orvex split: --dir-count-base " << settings.uw_DirCountBase << ": must be from 1 to "
            << kMaxDirCountBase
            << " (an output's directory table holds the base + 3 entries, at most 65535)\n";
        return kExitUsage;
    }
    if (settings.b_Quiet && settings.b_Verbose) {
        err << "orvex split: --quiet and --verbose cannot be given together\n";
        return kExitUsage;
    }
    // A build that asks for a fixed time must get it, never the clock's.
    if (uint32_t epoch = 0; PLT::GetSourceDateEpoch(&epoch) == PLT::SourceDateEpoch::eMalformed) {
        err << "orvex split: " << PLT::kSourceDateEpochVariable << "="
            << PLT::GetEnvironmentVariable(PLT::kSourceDateEpochVariable)
            << " is not a time in seconds from 0 to 4294967295\n";
        return kExitUsage;
    }
    std::string error;
    // Checked before anything is read or loaded, so that a refused path costs nothing.
    ORVEX::OVI_SplitterParams check;
    if (!bFillSplitParams(settings, {}, &check, &error)) {
        err << "orvex split: " << error << "\n";
        return kExitUsage;
    }
    // The outputs go into DLC inside it; a game's data root is never made up.
    if (!PLT::DirectoryExists(settings.s_DataRoot)) {
        err << "orvex split: --data-root " << settings.s_DataRoot << ": no such folder\n";
        return kExitUsage;
    }
    if (!PLT::FileExists(settings.s_Bigfile)) {
        err << "orvex split: " << settings.s_Bigfile
            << (PLT::DirectoryExists(settings.s_Bigfile) ? ": not a regular file\n" : ": no such file\n");
        return kExitUsage;
    }
    // Every named input before minutes of scanning.
    const std::pair<const char*, const std::string*> inputs[] = {
        {"--gm-bigfile", &settings.s_GmBigfile},
        {"--critical-list", &settings.s_CriticalList},
        {"--refs-cache", &settings.s_RefsCache},
        {"--ai-library", &settings.s_AILibrary},
    };
    for (const auto& [option, path] : inputs) {
        if (const int code = CheckInput(option, *path, &error); code != 0) {
            err << "orvex split: " << error << "\n";
            return code;
        }
    }

    RunGuard guard;
    PLT::FolderLock lock;
    if (const int code = LockOutputFolder(settings, &lock, err); code != 0)
        return code;

    // The same sentence and exit code as every other command for the same damage:
    // 4 when the file cannot be opened, 5 when its tables cannot be read.
    std::vector<WorldFile> worlds;
    Tools::OpenFailure failure = Tools::OpenFailure::eNone;
    if (!bListWorldFiles(settings.s_Bigfile, &worlds, &error, &failure)) {
        err << "orvex split: " << Tools::EscapeText(settings.s_Bigfile) << ": " << error << "\n";
        return Tools::ExitCodeFor(failure);
    }
    std::vector<uint32_t> keys;
    if (!bResolveWorlds(settings.worlds, worlds, &keys, &error)) {
        err << "orvex split: " << error << "\n";
        return kExitUsage;
    }
    std::vector<WorldFile> selected;
    const std::set<uint32_t> chosen(keys.begin(), keys.end());
    for (const WorldFile& w : worlds)
        if (chosen.count(w.ul_Key) != 0)
            selected.push_back(w);

    if (!settings.s_WorkDir.empty() && !PLT::DirectoryExists(settings.s_WorkDir) &&
        !PLT::MakeDirectories(settings.s_WorkDir)) {
        err << "orvex split: cannot create the work folder " << settings.s_WorkDir << ": "
            << PLT::ErrorText(PLT::LastError()) << "\n";
        return ExitCodeForStatus(OVC_Status_Failure);
    }
    if (PLT::InterruptRequested())
        return Interrupted(settings, err);

    const PluginLocation location = LocatePlugin(settings.s_Plugin);
    Plugin plugin;
    if (location.path.empty() || !plugin.bLoad(location.path, &error)) {
        err << "orvex split: " << (location.path.empty() ? location.error : error) << "\n";
        return ExitCodeForStatus(OVC_Status_Failure);
    }
    PLT::SetEnvironmentVariable(ORVEX::kHostInterruptsVariable, ORVEX::kHostInterruptsCatch);
    PLT::SetEnvironmentVariable(ORVEX::kHostPathsVariable, HostPaths(settings));
    PLT::SetEnvironmentVariable(ORVEX::kHostOutputVariable, settings.b_Quiet     ? ORVEX::kHostOutputQuiet
                                                            : settings.b_Verbose ? ORVEX::kHostOutputVerbose
                                                                                 : ORVEX::kHostOutputNormal);
    PLT::SetEnvironmentVariable(ORVEX::kHostReproducibleVariable,
                                settings.b_Reproducible ? ORVEX::kHostReproducibleOn : "");
    // The size report's sharing figures come from the splitter's own closures.
    const bool wantClosures = settings.b_Report && !settings.b_Single && !settings.b_Dlc;
    PLT::SetEnvironmentVariable(ORVEX::kHostClosuresVariable, wantClosures ? kSplitClosuresName : "");

    int32_t status = OVC_Status_Failure;
    SplitRunOutcome outcome;
    std::string startDir = PLT::CurrentDirectory();
    {
        PluginObjects objects;
        objects.plugin = &plugin;
        objects.params = plugin.pfn_InitParams(&OVC_CurrentVersion);
        objects.tool = plugin.pfn_InitPlugin(&OVC_CurrentVersion);
        if (objects.params == nullptr || objects.tool == nullptr) {
            err << "orvex split: the plug-in refused to make its parameter block or tool\n";
            return ExitCodeForStatus(OVC_Status_WrongVersion);
        }
        // The block was made by the plug-in from the same header: its fields
        // are written in place, as the real host does.
        auto* params = static_cast<ORVEX::OVI_SplitterParams*>(objects.params);
        if (!bFillSplitParams(settings, keys, params, &error)) {
            err << "orvex split: " << error << "\n";
            return kExitUsage;
        }
        if (!settings.s_WorkDir.empty() && !PLT::ChangeDirectory(settings.s_WorkDir)) {
            err << "orvex split: cannot change into " << settings.s_WorkDir << ": "
                << PLT::ErrorText(PLT::LastError()) << "\n";
            return ExitCodeForStatus(OVC_Status_Failure);
        }
        // A file of a run that stopped half-way would pass for this run's.
        if (wantClosures)
            PLT::RemoveFile(kSplitClosuresName);

        // Whole seconds: a file time lags the clock by up to a tick.
        const uint64_t startNs = uint64_t{PLT::UnixTimeNow()} * 1000000000u;
        // The plug-in's lines go on to standard output and standard error; its
        // "phase" lines are also kept, and its error lines for the summary.
        PhaseLines phases;
        ErrorLines errors;
        const double started = PLT::MonotonicSeconds();
        {
            PLT::StdoutCapture* self = nullptr;
            PluginStdout shown(settings.b_Verbose);
            PLT::StdoutCapture capture([&](std::string_view text) {
                shown.Feed(text, *self);
                phases.Feed(text);
            });
            self = &capture;
            PLT::StderrCapture* selfErr = nullptr;
            PLT::StderrCapture captureErr([&](std::string_view text) {
                selfErr->Forward(text);
                errors.Feed(text);
            });
            selfErr = &captureErr;
            status = objects.tool->eInit(objects.params);
            if (status == OVC_Status_Success)
                status = objects.tool->eRun();
            objects.tool->eDeinit();
            std::fflush(stdout);
            shown.Finish(capture);
        }
        if (wantClosures)
            outcome.closures = TakeClosures();
        PLT::SetEnvironmentVariable(ORVEX::kHostClosuresVariable, "");
        outcome.l_Status = status;
        outcome.phases = phases.Phases();
        outcome.d_RunSeconds = PLT::MonotonicSeconds() - started;
        if (PLT::IsStderrTerminal())
            PLT::SetStatusLine(std::string());
        std::fflush(stdout);
        if (!PLT::InterruptRequested()) {
            const std::string dataRootFromWork = PathFromWorkDir(settings.s_DataRoot, settings.s_WorkDir);
            // The reports read every output's tables: the summary takes its figures from that one reading.
            if (!settings.b_NoCopy && (settings.b_Report || !settings.s_SummaryJson.empty()))
                outcome.outputs = ReadSplitOutputs(settings, selected, dataRootFromWork);
            outcome.problems = PrintSummary(settings, selected, dataRootFromWork, status, errors, startNs,
                                            outcome.outputs ? &*outcome.outputs : nullptr, out);
        }
    }
    if (!settings.s_WorkDir.empty())
        PLT::ChangeDirectory(startDir);
    if (PLT::InterruptRequested())
        return Interrupted(settings, err);
    if (!bWriteSplitRunReports(settings, selected, settings.s_SummaryJson, outcome, out, err) &&
        status == OVC_Status_Success)
        status = OVC_Status_Failure;
    return ExitCodeForStatus(status);
}

namespace {

Command Setup(CLI::App& parent) {
    CLI::App* app = parent.add_subcommand(
        "split", "Cut a bigfile into a common bigfile and one bigfile per world (or one dlc bigfile)");
    auto options = std::make_shared<SplitCommandLine>(app);
    return Command{app, [options] {
                       SplitSettings settings;
                       std::string error;
                       if (!options->bSettings(&settings, &error)) {
                           std::cerr << "orvex split: " << error << "\n";
                           return kExitUsage;
                       }
                       return RunSplit(settings, std::cout, std::cerr);
                   }};
}

const CommandRegistrar s_Registrar(&Setup);

}  // namespace
}  // namespace HOST
