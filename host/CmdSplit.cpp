#include "host/CmdSplit.h"

#include <algorithm>
#include <cctype>
#include <cinttypes>
#include <cstdio>
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
#include "platform/Terminal.h"
#include "plugin/OVI_ReportFormat.h"
#include "orvex/OVC_Interface.h"

namespace HOST {
namespace {

constexpr uint32_t kWorldType = 4;
constexpr const char* kWorldExtension = ".wor";
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

void PrintSummary(const SplitSettings& settings, const std::vector<WorldFile>& selected,
                  const std::string& dataRootFromWork, int32_t status, std::ostream& out) {
    out << "\n\nsplit " << settings.s_Bigfile << ": status " << status << "\n";
    if (settings.b_NoCopy) {
        out << "outputs: none written (--no-copy)\n";
    } else {
        std::vector<std::string> names;
        if (settings.b_Single || settings.b_Dlc) {
            names.push_back(kSingleName);
        } else {
            names.push_back(kCommonName);
            for (const WorldFile& w : selected)
                names.push_back(w.s_Name);
        }
        out << "outputs under " << settings.s_DataRoot << (bEndsWith(settings.s_DataRoot, "/") ? "" : "/")
            << "DLC:\n";
        for (const std::string& name : names) {
            const OutputSummary s = SummariseOutput(dataRootFromWork, name);
            char line[256];
            if (!s.b_Exists) {
                std::snprintf(line, sizeof line, "  %-24s not written\n", name.c_str());
            } else {
                std::snprintf(line, sizeof line, "  %-24s %10" PRIu32 " files %14" PRIu64 " bytes",
                              name.c_str(), s.ul_Files, s.ull_Bytes);
                out << line;
                if (s.u_Segments > 1)
                    out << " in " << s.u_Segments << " segments";
                if (s.b_Gzip)
                    out << ", " << name << ".big.gz " << s.ull_GzipBytes << " bytes";
                line[0] = '\n';
                line[1] = '\0';
            }
            out << line;
        }
    }
    const std::string folder = PLT::CurrentDirectory();
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
    out.flush();
}

}  // namespace

bool bListWorldFiles(const std::string& bigfile, std::vector<WorldFile>* worlds, std::string* error) {
    worlds->clear();
    std::unique_ptr<BIG_cl_Fat> fat = Tools::OpenBigfile(bigfile, error);
    if (!fat)
        return false;
    for (uint32_t i = 0; i < fat->ul_GetFileCount(); ++i) {
        const BIG_st_FileEntry& e = fat->FileEntry(i);
        if (e.ul_Key == 0 || e.uc_Type != kWorldType)
            continue;
        const std::string name = fat->GetFileName(i);
        if (!bEndsWith(name, kWorldExtension))
            continue;
        worlds->push_back(WorldFile{e.ul_Key, name.substr(0, name.rfind('.'))});
    }
    fat->File().eClose();
    std::sort(worlds->begin(), worlds->end(),
              [](const WorldFile& a, const WorldFile& b) { return a.ul_Key < b.ul_Key; });
    return true;
}

bool bResolveWorlds(const std::vector<std::string>& values, const std::vector<WorldFile>& worlds,
                    std::vector<uint32_t>* keys, std::string* error) {
    keys->clear();
    for (const std::string& value : values) {
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
            return false;
        }
        keys->push_back(match[0]);
    }
    return true;
}

int RunSplit(const SplitSettings& settings, std::ostream& out, std::ostream& err) {
    if (settings.s_Bigfile.empty() || settings.s_DataRoot.empty()) {
        err << "orvex split: " << (settings.s_Bigfile.empty() ? "BIGFILE" : "--data-root")
            << " is required (on the command line or in the --config file)\n";
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
    std::vector<WorldFile> worlds;
    if (!bListWorldFiles(settings.s_Bigfile, &worlds, &error)) {
        err << "orvex split: cannot read " << settings.s_Bigfile << ": " << error << "\n";
        return ExitCodeForStatus(OVC_Status_Failure);
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

    const PluginLocation location = LocatePlugin(settings.s_Plugin);
    Plugin plugin;
    if (location.path.empty() || !plugin.bLoad(location.path, &error)) {
        err << "orvex split: " << (location.path.empty() ? location.error : error) << "\n";
        return ExitCodeForStatus(OVC_Status_Failure);
    }

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
        if (PLT::IsStderrTerminal())
            PLT::SetStatusLine("splitting " + settings.s_Bigfile + ": starting");

        // The plug-in's lines go on to standard output; its "phase" lines are also kept.
        PhaseLines phases;
        const double started = PLT::MonotonicSeconds();
        {
            PLT::StdoutCapture* self = nullptr;
            PLT::StdoutCapture capture([&](std::string_view text) {
                self->Forward(text);
                phases.Feed(text);
            });
            self = &capture;
            status = objects.tool->eInit(objects.params);
            if (status == OVC_Status_Success)
                status = objects.tool->eRun();
            objects.tool->eDeinit();
        }
        outcome.l_Status = status;
        outcome.phases = phases.Phases();
        outcome.d_RunSeconds = PLT::MonotonicSeconds() - started;
        if (PLT::IsStderrTerminal())
            PLT::SetStatusLine(std::string());
        std::fflush(stdout);
        PrintSummary(settings, selected, PathFromWorkDir(settings.s_DataRoot, settings.s_WorkDir), status,
                     out);
    }
    if (!settings.s_WorkDir.empty())
        PLT::ChangeDirectory(startDir);
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
