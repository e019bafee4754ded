#include "host/CmdSplit.h"

#include <toml++/toml.h>

#include <algorithm>
#include <cctype>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <memory>
#include <set>

#include "BIGfile/BIG_Fat.h"
#include "BIGfile/BIG_File.h"
#include "host/BigTools.h"
#include "host/Command.h"
#include "host/ExitCode.h"
#include "host/PluginLoader.h"
#include "platform/File.h"
#include "platform/Terminal.h"
#include "plugin/OVI_ReportFormat.h"
#include "plugin/OVI_SplitterParams.h"
#include "plugin/OVI_Text.h"

namespace HOST {
namespace {

namespace fs = std::filesystem;

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

// ---- configuration file ------------------------------------------------------

bool bTomlString(const toml::node& node, const std::string& key, std::string* out, std::string* error) {
    if (const auto* value = node.as_string()) {
        *out = value->get();
        return true;
    }
    *error = "\"" + key + "\" must be a string";
    return false;
}

bool bTomlBool(const toml::node& node, const std::string& key, bool* out, std::string* error) {
    if (const auto* value = node.as_boolean()) {
        *out = value->get();
        return true;
    }
    *error = "\"" + key + "\" must be true or false";
    return false;
}

bool bTomlU16(const toml::node& node, const std::string& key, uint16_t* out, std::string* error) {
    const auto* value = node.as_integer();
    if (value == nullptr || value->get() < 0 || value->get() > 0xFFFF) {
        *error = "\"" + key + "\" must be an integer from 0 to 65535";
        return false;
    }
    *out = static_cast<uint16_t>(value->get());
    return true;
}

// A list of texts; integers are taken as keys and written in hexadecimal.
bool bTomlList(const toml::node& node, const std::string& key, bool integers, std::vector<std::string>* out,
               std::string* error) {
    const auto* array = node.as_array();
    if (array == nullptr) {
        *error = "\"" + key + "\" must be an array";
        return false;
    }
    out->clear();
    for (const toml::node& item : *array) {
        if (const auto* text = item.as_string()) {
            out->push_back(text->get());
        } else if (const auto* number = item.as_integer(); integers && number != nullptr) {
            if (number->get() < 0 || number->get() > 0xFFFFFFFFll) {
                *error = "\"" + key + "\" holds a key outside 32 bits";
                return false;
            }
            out->push_back(Hex(static_cast<uint32_t>(number->get())));
        } else {
            *error = "\"" + key + "\" must hold " + (integers ? "keys or names" : "strings");
            return false;
        }
    }
    return true;
}

// ---- paths -----------------------------------------------------------------------

struct TextField {
    const char* option;
    const std::string* value;
    char* field;
    size_t size;
};

template <size_t N>
TextField Field(const char* option, const std::string& value, char (&field)[N]) {
    return TextField{option, &value, field, N};
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
            name == ORVEX::kFinalReportName || name == "Common.log" || name == "refs.bin" ||
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

bool bParseKey(const std::string& text, uint32_t* key) {
    if (text.empty())
        return false;
    uint64_t value = 0;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        if (text.size() > 10)
            return false;
        for (size_t i = 2; i < text.size(); ++i) {
            const char c = text[i];
            if (!std::isxdigit(static_cast<unsigned char>(c)))
                return false;
            value = value * 16 +
                    static_cast<uint64_t>(std::isdigit(static_cast<unsigned char>(c))
                                              ? c - '0'
                                              : std::tolower(static_cast<unsigned char>(c)) - 'a' + 10);
        }
    } else {
        if (text.size() > 10)
            return false;
        for (char c : text) {
            if (!std::isdigit(static_cast<unsigned char>(c)))
                return false;
            value = value * 10 + static_cast<uint64_t>(c - '0');
        }
        if (value > 0xFFFFFFFFull)
            return false;
    }
    *key = static_cast<uint32_t>(value);
    return true;
}

bool bLoadSplitConfig(const std::string& path, SplitSettings* s, std::string* error) {
    std::string text;
    if (!PLT::ReadWholeFile(path, &text)) {
        *error = "cannot read " + path + ": " + PLT::ErrorText(PLT::LastError());
        return false;
    }
    toml::table table;
    try {
        table = toml::parse(text, path);
    } catch (const toml::parse_error& e) {
        char where[64];
        std::snprintf(where, sizeof where, ":%u:%u: ", static_cast<unsigned>(e.source().begin.line),
                      static_cast<unsigned>(e.source().begin.column));
        *error = path + where + std::string(e.description());
        return false;
    }
    const struct {
        const char* key;
        std::string* value;
    } strings[] = {
        {"bigfile", &s->s_Bigfile},         {"data-root", &s->s_DataRoot},
        {"gm-bigfile", &s->s_GmBigfile},    {"ai-library", &s->s_AILibrary},
        {"refs-cache", &s->s_RefsCache},    {"critical-list", &s->s_CriticalList},
        {"replacement", &s->s_Replacement}, {"work-dir", &s->s_WorkDir},
        {"plugin", &s->s_Plugin},
    };
    const struct {
        const char* key;
        bool* value;
    } flags[] = {
        {"write-refs-cache", &s->b_WriteRefsCache},
        {"replace", &s->b_Replace},
        {"single", &s->b_Single},
        {"dlc", &s->b_Dlc},
        {"no-copy", &s->b_NoCopy},
        {"linker", &s->b_Linker},
        {"small-header", &s->b_SmallHeader},
        {"keys-only", &s->b_KeysOnly},
        {"compress", &s->b_Compress},
        {"report", &s->b_Report},
    };
    const struct {
        const char* key;
        uint16_t* value;
    } numbers[] = {
        {"package-id", &s->uw_PackageId},
        {"package-word", &s->uw_PackageWord},
        {"dir-count-base", &s->uw_DirCountBase},
    };
    const struct {
        const char* key;
        std::vector<std::string>* value;
        bool keys;
    } lists[] = {
        {"world", &s->worlds, true},
        {"force-key", &s->forceKeys, true},
        {"force-dir", &s->forceDirs, false},
        {"remove", &s->removes, false},
    };

    for (const auto& [name, node] : table) {
        const std::string key(name.str());
        bool known = false;
        bool ok = true;
        for (const auto& e : strings)
            if (key == e.key) {
                known = true;
                ok = bTomlString(node, key, e.value, error);
            }
        for (const auto& e : flags)
            if (key == e.key) {
                known = true;
                ok = bTomlBool(node, key, e.value, error);
            }
        for (const auto& e : numbers)
            if (key == e.key) {
                known = true;
                ok = bTomlU16(node, key, e.value, error);
            }
        for (const auto& e : lists)
            if (key == e.key) {
                known = true;
                ok = bTomlList(node, key, e.keys, e.value, error);
            }
        if (!known) {
            *error = path + ": unknown setting \"" + key + "\"";
            return false;
        }
        if (!ok) {
            *error = path + ": " + *error;
            return false;
        }
    }
    return true;
}

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

std::string PathFromWorkDir(const std::string& path, const std::string& workDir) {
    if (path.empty())
        return path;
    std::error_code ec;
    const fs::path absolute = fs::absolute(path, ec).lexically_normal();
    if (ec)
        return path;
    const fs::path runIn =
        fs::absolute(workDir.empty() ? fs::path(".") : fs::path(workDir), ec).lexically_normal();
    if (ec)
        return path;
    const bool folder = path.back() == '/';
    auto withSlash = [folder](std::string text) {
        if (folder && !text.empty() && text.back() != '/')
            text += '/';
        return text;
    };
    // As given, when it still names the same file from where the plug-in runs.
    std::string best = workDir.empty() || path[0] == '/' ? path : withSlash(absolute.string());
    const std::string relative = withSlash(absolute.lexically_relative(runIn).string());
    if (!relative.empty() && relative.size() < best.size())
        best = relative;
    return best;
}

bool bFillSplitParams(const SplitSettings& s, const std::vector<uint32_t>& worldKeys,
                      ORVEX::OVI_SplitterParams* p, std::string* error) {
    const std::string bigfile = PathFromWorkDir(s.s_Bigfile, s.s_WorkDir);
    const std::string dataRoot = PathFromWorkDir(s.s_DataRoot, s.s_WorkDir);
    const std::string gm = PathFromWorkDir(s.s_GmBigfile, s.s_WorkDir);
    const std::string ai = PathFromWorkDir(s.s_AILibrary, s.s_WorkDir);
    const std::string refs = PathFromWorkDir(s.s_RefsCache, s.s_WorkDir);
    const std::string critical = PathFromWorkDir(s.s_CriticalList, s.s_WorkDir);
    const std::string replacement = PathFromWorkDir(s.s_Replacement, s.s_WorkDir);
    const TextField fields[] = {
        Field("BIGFILE", bigfile, p->msz_BigfilePath),
        Field("--data-root", dataRoot, p->msz_DataRoot),
        Field("--gm-bigfile", gm, p->msz_GmBigfilePath),
        Field("--ai-library", ai, p->msz_AILibraryPath),
        Field("--refs-cache", refs, p->msz_RefsCachePath),
        Field("--critical-list", critical, p->msz_CriticalListPath),
        Field("--replacement", replacement, p->msz_ReplacementPath),
    };
    for (const TextField& f : fields) {
        if (f.value->size() >= f.size || f.value->find('\0') != std::string::npos) {
            *error = std::string(f.option) + " " + *f.value + ": " + std::to_string(f.value->size()) +
                     " characters, the plug-in's field holds at most " + std::to_string(f.size - 1) +
                     (s.s_WorkDir.empty() ? "" : " (as seen from the work folder)");
            return false;
        }
        std::memset(f.field, 0, f.size);
        std::memcpy(f.field, f.value->data(), f.value->size());
    }

    p->mb_WriteRefsCache = s.b_WriteRefsCache;
    p->mb_ReportMissing = s.b_Report;
    p->mmap_Worlds.clear();
    for (uint32_t key : worldKeys)
        p->mmap_Worlds.emplace(key, 0);
    p->mmap_ForcedKeys.clear();
    for (const std::string& text : s.forceKeys) {
        uint32_t key = 0;
        if (!bParseKey(text, &key)) {
            *error = "--force-key " + text + ": not a key (0x and hexadecimal digits, or decimal)";
            return false;
        }
        p->mmap_ForcedKeys.emplace(key, 0);
    }
    // The u32 of these maps only keeps the order the user gave.
    p->mmap_ForcedDirs.clear();
    for (size_t i = 0; i < s.forceDirs.size(); ++i)
        p->mmap_ForcedDirs.emplace(static_cast<uint32_t>(i), s.forceDirs[i]);
    p->mmap_RemCriteria.clear();
    for (size_t i = 0; i < s.removes.size(); ++i)
        p->mmap_RemCriteria.emplace(static_cast<uint32_t>(i), s.removes[i]);
    p->muw_DirCountBase = s.uw_DirCountBase;
    p->mb_Single = s.b_Single;
    p->mb_Dlc = s.b_Dlc;
    p->mb_Replace = s.b_Replace;
    p->mb_NoCopy = s.b_NoCopy;
    p->mb_Linker = s.b_Linker;
    p->muw_PackageId = s.uw_PackageId;
    p->muw_PackageWord = s.uw_PackageWord;
    p->mb_SmallHeader = s.b_SmallHeader;
    p->mb_KeysOnly = s.b_KeysOnly;
    p->mb_Compress = s.b_Compress;
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

        status = objects.tool->eInit(objects.params);
        if (status == OVC_Status_Success)
            status = objects.tool->eRun();
        objects.tool->eDeinit();
        if (PLT::IsStderrTerminal())
            PLT::SetStatusLine(std::string());
        std::fflush(stdout);
        PrintSummary(settings, selected, PathFromWorkDir(settings.s_DataRoot, settings.s_WorkDir), status,
                     out);
    }
    if (!settings.s_WorkDir.empty())
        PLT::ChangeDirectory(startDir);
    return ExitCodeForStatus(status);
}

namespace {

Command Setup(CLI::App& parent) {
    CLI::App* app = parent.add_subcommand(
        "split", "Cut a bigfile into a common bigfile and one bigfile per world (or one dlc bigfile)");
    struct State {
        SplitSettings s;
        std::string config;
        std::vector<std::pair<CLI::Option*, std::function<void(SplitSettings&, const SplitSettings&)>>> given;
    };
    auto state = std::make_shared<State>();
    SplitSettings& s = state->s;
    auto keep = [state](CLI::Option* option,
                        std::function<void(SplitSettings&, const SplitSettings&)> apply) {
        state->given.emplace_back(option, std::move(apply));
    };
#define ORVEX_KEEP(field) [](SplitSettings& to, const SplitSettings& from) { to.field = from.field; }
    keep(app->add_option("bigfile", s.s_Bigfile, "The game bigfile to split"), ORVEX_KEEP(s_Bigfile));
    keep(app->add_option("--data-root", s.s_DataRoot, "Game data root; outputs go to DIR/DLC/NAME/NAME.big"),
         ORVEX_KEEP(s_DataRoot));
    keep(app->add_option("--world", s.worlds, "World to split: key (0x... or decimal) or world file name")
             ->allow_extra_args(false)
             ->take_all(),
         ORVEX_KEEP(worlds));
    keep(app->add_option("--force-key", s.forceKeys, "Key forced into the common bigfile")
             ->allow_extra_args(false)
             ->take_all(),
         ORVEX_KEEP(forceKeys));
    keep(app->add_option("--force-dir", s.forceDirs,
                         "FAT directory whose files are forced into the common bigfile")
             ->allow_extra_args(false)
             ->take_all(),
         ORVEX_KEEP(forceDirs));
    keep(app->add_option("--remove", s.removes, "Name fragment: files whose name holds it are placed nowhere")
             ->allow_extra_args(false)
             ->take_all(),
         ORVEX_KEEP(removes));
    keep(app->add_option("--gm-bigfile", s.s_GmBigfile, "Bigfile whose keys stay out of the world outputs"),
         ORVEX_KEEP(s_GmBigfile));
    keep(app->add_option("--ai-library", s.s_AILibrary, "The game's AI library (object lists)"),
         ORVEX_KEEP(s_AILibrary));
    keep(app->add_option("--refs-cache", s.s_RefsCache, "Read this refs.bin instead of scanning the bigfile"),
         ORVEX_KEEP(s_RefsCache));
    keep(app->add_flag("--write-refs-cache", s.b_WriteRefsCache, "Write refs.bin in the work folder"),
         ORVEX_KEEP(b_WriteRefsCache));
    keep(app->add_option("--critical-list", s.s_CriticalList, "Text file of keys that must be placed"),
         ORVEX_KEEP(s_CriticalList));
    keep(app->add_option("--replacement", s.s_Replacement, "File the replacement content passes through"),
         ORVEX_KEEP(s_Replacement));
    keep(
        app->add_flag("--replace", s.b_Replace, "Every txd file of the outputs gets the replacement content"),
        ORVEX_KEEP(b_Replace));
    keep(app->add_flag("--single", s.b_Single, "One output bigfile, \"dlc\""), ORVEX_KEEP(b_Single));
    keep(app->add_flag("--dlc", s.b_Dlc, "Single output with the DLC rules"), ORVEX_KEEP(b_Dlc));
    keep(app->add_flag("--no-copy", s.b_NoCopy, "Write no output bigfile and copy no sound package"),
         ORVEX_KEEP(b_NoCopy));
    keep(app->add_flag("--linker", s.b_Linker, "Enter link files into linker_pc.map"), ORVEX_KEEP(b_Linker));
    keep(app->add_option("--package-id", s.uw_PackageId, "Package id of every output (0-65535)")
             ->check(CLI::Range(0, 0xFFFF)),
         ORVEX_KEEP(uw_PackageId));
    keep(app->add_option("--package-word", s.uw_PackageWord, "Package word of every output (0-65535)")
             ->check(CLI::Range(0, 0xFFFF)),
         ORVEX_KEEP(uw_PackageWord));
    keep(app->add_flag("--small-header", s.b_SmallHeader, "Output containers with the small segment header"),
         ORVEX_KEEP(b_SmallHeader));
    keep(app->add_flag("--keys-only", s.b_KeysOnly, "Forced keys and directories without what they refer to"),
         ORVEX_KEEP(b_KeysOnly));
    keep(app->add_flag("--compress", s.b_Compress, "Also write NAME.big.gz beside every output"),
         ORVEX_KEEP(b_Compress));
    keep(app->add_flag("--report", s.b_Report, "Write the logs and reports, and report missing files"),
         ORVEX_KEEP(b_Report));
    keep(app->add_option("--dir-count-base", s.uw_DirCountBase, "Directory table size base of the outputs")
             ->check(CLI::Range(0, 0xFFFF)),
         ORVEX_KEEP(uw_DirCountBase));
    keep(app->add_option("--work-dir", s.s_WorkDir, "Folder of refs.bin, logs and reports (default: here)"),
         ORVEX_KEEP(s_WorkDir));
    keep(app->add_option("--plugin", s.s_Plugin, "The plug-in to load (default: as `orvex plugin` finds it)"),
         ORVEX_KEEP(s_Plugin));
#undef ORVEX_KEEP
    app->add_option("--config", state->config, "TOML file with the same settings; the command line wins");

    return Command{app, [state] {
                       SplitSettings settings;
                       if (!state->config.empty()) {
                           std::string error;
                           if (!bLoadSplitConfig(state->config, &settings, &error)) {
                               std::cerr << "orvex split: " << error << "\n";
                               return kExitUsage;
                           }
                       }
                       for (const auto& [option, apply] : state->given)
                           if (option->count() > 0)
                               apply(settings, state->s);
                       return RunSplit(settings, std::cout, std::cerr);
                   }};
}

const CommandRegistrar s_Registrar(&Setup);

}  // namespace
}  // namespace HOST
