#include "host/SplitSummary.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "BIGfile/BIG_ContentHead.h"
#include "BIGfile/BIG_Fat.h"
#include "BIGfile/BIG_File.h"
#include "BIGfile/BIG_FileEntry.h"
#include "host/BigTools.h"
#include "platform/File.h"
#include "plugin/OVI_ReportFormat.h"
#include "plugin/OVI_SoundsHelper.h"

namespace HOST {

namespace {

using Json = nlohmann::ordered_json;

constexpr unsigned kMaxSegments = 255;
constexpr uint32_t kNoSize = 0xFFFFFFFF;

bool bEndsWith(std::string_view text, std::string_view end) {
    return text.size() >= end.size() && text.substr(text.size() - end.size()) == end;
}

bool bParseU32(const std::string& text, uint32_t* value) {
    if (text.empty() || text.size() > 10 || !std::all_of(text.begin(), text.end(), [](char c) {
            return std::isdigit(static_cast<unsigned char>(c));
        }))
        return false;
    const unsigned long long number = std::strtoull(text.c_str(), nullptr, 10);
    if (number > 0xFFFFFFFFull)
        return false;
    *value = static_cast<uint32_t>(number);
    return true;
}

bool bIsKeyText(const std::string& text) {
    return text.size() == 10 && text[0] == '0' && text[1] == 'x' &&
           std::all_of(text.begin() + 2, text.end(),
                       [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); });
}

std::string Join(const std::vector<std::string>& fields, size_t first, size_t end) {
    std::string text;
    for (size_t i = first; i < end; ++i) {
        if (i != first)
            text += ',';
        text += fields[i];
    }
    return text;
}

// The data rows of a CSV file (its header line left out).
bool bReadRows(const std::string& path, std::vector<std::string>* rows) {
    std::string text;
    if (!PLT::ReadWholeFile(path, &text))
        return false;
    rows->clear();
    size_t start = 0;
    bool header = true;
    bool quoted = false;
    // A quoted field may hold a line break: rows end only outside quotes.
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '"')
            quoted = !quoted;
        if (text[i] != '\n' || quoted)
            continue;
        std::string row = text.substr(start, i - start);
        if (!row.empty() && row.back() == '\r')
            row.pop_back();
        if (!header)
            rows->push_back(std::move(row));
        header = false;
        start = i + 1;
    }
    if (start < text.size() && !header)
        rows->push_back(text.substr(start));
    return true;
}

}  // namespace

std::string KeyText(uint32_t key) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", key);
    return text;
}

// ---- phase lines ---------------------------------------------------------------

void PhaseLines::Feed(std::string_view text) {
    ms_Pending.append(text);
    size_t start = 0;
    for (size_t end; (end = ms_Pending.find('\n', start)) != std::string::npos; start = end + 1)
        _Line(std::string_view(ms_Pending).substr(start, end - start));
    ms_Pending.erase(0, start);
    // The plug-in's lines begin with their newline: a line is whole once it
    // ends in "]", so that the last one does not wait for a newline that never comes.
    if (bEndsWith(ms_Pending, " s]")) {
        _Line(ms_Pending);
        ms_Pending.clear();
    }
}

void PhaseLines::_Line(std::string_view line) {
    // "[    info][phase           ][scan 1.250000 s]"
    constexpr std::string_view kHead = "[    info][phase           ][";
    if (line.substr(0, kHead.size()) != kHead || !bEndsWith(line, " s]"))
        return;
    const std::string body(line.substr(kHead.size(), line.size() - kHead.size() - 3));
    const size_t space = body.find(' ');
    if (space == std::string::npos)
        return;
    char* end = nullptr;
    const double seconds = std::strtod(body.c_str() + space + 1, &end);
    if (end == body.c_str() + space + 1 || *end != '\0')
        return;
    m_Phases[body.substr(0, space)] = seconds;
}

void ErrorLines::Feed(std::string_view text) {
    // A line longer than any the plug-in writes is not one of its lines.
    constexpr size_t kLongest = 1 << 16;
    ms_Pending.append(text);
    size_t start = 0;
    for (size_t end; (end = ms_Pending.find('\n', start)) != std::string::npos; start = end + 1)
        _Line(std::string_view(ms_Pending).substr(start, end - start));
    ms_Pending.erase(0, start);
    if (ms_Pending.size() > kLongest)
        ms_Pending.clear();
}

void ErrorLines::_Line(std::string_view line) {
    // "[   error][sounds          ][message]"
    constexpr std::string_view kLevels[] = {"[   error][", "[critical]["};
    const bool wanted = std::any_of(std::begin(kLevels), std::end(kLevels), [line](std::string_view level) {
        return line.substr(0, level.size()) == level;
    });
    if (!wanted || line.back() != ']')
        return;
    line.remove_prefix(kLevels[0].size());
    line.remove_suffix(1);
    const size_t split = line.find("][");
    if (split == std::string_view::npos)
        return;
    std::string_view tag = line.substr(0, split);
    while (!tag.empty() && tag.back() == ' ')
        tag.remove_suffix(1);
    std::string problem = std::string(tag) + ": " + std::string(line.substr(split + 2));
    // The debugger output (MARLIN_DEBUG_OUTPUT=1) repeats each line right after it.
    if (problem == ms_Last)
        return;
    ms_Last = problem;
    if (m_Count++ < kMaxKept)
        m_Kept.push_back(std::move(problem));
}

// ---- outputs -----------------------------------------------------------------------

namespace {

// A listed content whose stored length is wanted: the file's index, and its
// place in the facts' list.
struct LengthWord {
    BIG_st_ContentPlace o_Place;
    uint64_t ull_At = 0;  // container byte offset of the length word
    uint32_t ul_Index = 0;
    size_t ul_Slot = 0;
};

// One read takes the length words of the contents that follow while the gaps
// between them stay under kHeadGap bytes, up to kHeadReadMax bytes: an
// output's contents lie in position order, and a system call per content cost
// more than copying a few KiB.
constexpr uint64_t kHeadGap = 16 * 1024;
constexpr uint64_t kHeadReadMax = 1024 * 1024;

uint64_t SizeOf(BIG_cl_Fat& fat, uint32_t index) {
    const uint32_t size = fat.ul_GetFileSize(index);
    return size == kNoSize ? 0 : size;
}

// The stored length of each content of `heads` (files with a valid position)
// into its facts, as BIG_cl_Fat::ul_GetFileSize gives it; a content the
// reads below cannot settle (in a package, a loose file, a length word across
// a segment's end, a length beyond the container) is asked of the table itself.
void ReadContentSizes(BIG_cl_Fat& fat, std::vector<LengthWord>* heads, std::vector<SplitFileFacts>* files) {
    constexpr uint32_t kLength = BIG_st_ContentHead::kLengthSize;
    std::vector<LengthWord> placed;
    placed.reserve(heads->size());
    for (LengthWord& head : *heads) {
        if (fat.bGetContentPlace(head.ul_Index, &head.o_Place) && head.o_Place.po_Fat == &fat &&
            head.o_Place.ull_Available >= kLength) {
            head.ull_At = head.o_Place.o_Head.ull_GetByteOffset();
            placed.push_back(head);
        } else {
            (*files)[head.ul_Slot].ull_Size = SizeOf(fat, head.ul_Index);
        }
    }
    std::sort(placed.begin(), placed.end(),
              [](const LengthWord& a, const LengthWord& b) { return a.ull_At < b.ull_At; });
    std::vector<uint8_t> window;
    uint64_t start = 0;
    uint64_t held = 0;
    for (size_t i = 0; i < placed.size(); ++i) {
        const LengthWord& head = placed[i];
        if (head.ull_At < start || head.ull_At + kLength > start + held) {
            uint64_t end = head.ull_At + kLength;
            for (size_t j = i + 1; j < placed.size(); ++j) {
                const uint64_t next = placed[j].ull_At + kLength;
                if (placed[j].ull_At > end + kHeadGap || next - head.ull_At > kHeadReadMax)
                    break;
                end = next;
            }
            window.resize(static_cast<size_t>(end - head.ull_At));
            start = head.ull_At;
            held = 0;
            // A read stops at the end of the segment file that holds its start.
            held = fat.ul_ReadInSegment(head.o_Place.o_Head, window.data(),
                                        static_cast<uint32_t>(window.size()));
        }
        uint32_t stored = 0;
        const bool read =
            head.ull_At + kLength <= start + held &&
            BIG_st_ContentHead::bDecodeLength(window.data() + (head.ull_At - start), kLength, &stored);
        // A length that does not fit in the container: the table's own check says so.
        (*files)[head.ul_Slot].ull_Size =
            read && stored <= head.o_Place.ull_Available - kLength ? stored : SizeOf(fat, head.ul_Index);
    }
}

}  // namespace

SplitOutputFacts ReadOutputFacts(const std::string& dataRoot, const std::string& shownRoot,
                                 const std::string& name, const std::string& kind) {
    SplitOutputFacts facts;
    facts.s_Name = name;
    facts.s_Kind = kind;
    auto under = [&name](std::string root) {
        if (!root.empty() && root.back() != '/')
            root += '/';
        return root + "DLC/" + name + "/" + name + ".big";
    };
    const std::string path = under(dataRoot);
    facts.s_Path = under(shownRoot);
    for (unsigned k = 0; k <= kMaxSegments; ++k) {
        const std::string file = k == 0 ? path : BIG::File::SegmentFileName(path, k);
        uint64_t size = 0;
        if (!PLT::FileExists(file) || !PLT::GetPathSize(file, &size))
            break;
        facts.ull_Bytes += size;
        facts.u_Segments = k + 1;
    }
    if (facts.u_Segments == 0)
        return facts;
    std::string error;
    std::unique_ptr<BIG_cl_Fat> fat = Tools::OpenBigfile(path, &error);
    if (!fat)
        return facts;
    facts.b_Written = true;
    const uint32_t used = fat->ul_CountUsedFiles();
    facts.files.reserve(used);
    std::vector<LengthWord> heads;
    heads.reserve(used);
    // A directory's path is built once for all its files; a broken chain is
    // asked again each time, so that it is reported as often as before.
    std::vector<std::string> dirPaths(fat->uw_GetDirCount());
    for (uint32_t i = 0; i < fat->ul_GetFileCount(); ++i) {
        const BIG_st_FileEntry& entry = fat->FileEntry(i);
        if (entry.ul_Key == 0)
            continue;
        SplitFileFacts file;
        file.ul_Key = entry.ul_Key;
        file.ul_Type = entry.uc_Type;
        if (fat->bIsFilePositionValid(i))
            heads.push_back(LengthWord{{}, 0, i, facts.files.size()});
        if (entry.uw_Dir < dirPaths.size()) {
            std::string& dir = dirPaths[entry.uw_Dir];
            if (dir.empty())
                dir = fat->GetDirPath(entry.uw_Dir);
            if (!dir.empty())
                file.s_Path = dir + "/" + fat->GetFileName(i);
        }
        facts.files.push_back(std::move(file));
    }
    ReadContentSizes(*fat, &heads, &facts.files);
    for (const SplitFileFacts& file : facts.files)
        facts.ull_ContentBytes += file.ull_Size;
    fat->File().eClose();
    std::sort(facts.files.begin(), facts.files.end(),
              [](const SplitFileFacts& a, const SplitFileFacts& b) { return a.ul_Key < b.ul_Key; });
    facts.ul_Files = static_cast<uint32_t>(facts.files.size());
    facts.b_Gzip = PLT::FileExists(path + ".gz") && PLT::GetPathSize(path + ".gz", &facts.ull_GzBytes);
    return facts;
}

// ---- reports -------------------------------------------------------------------------

std::vector<std::string> SplitCsvRow(std::string_view line) {
    std::vector<std::string> fields(1);
    bool quoted = false;
    for (size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (quoted) {
            if (c == '"' && i + 1 < line.size() && line[i + 1] == '"') {
                fields.back() += '"';
                ++i;
            } else if (c == '"') {
                quoted = false;
            } else {
                fields.back() += c;
            }
        } else if (c == '"' && fields.back().empty()) {
            quoted = true;
        } else if (c == ',') {
            fields.emplace_back();
        } else {
            fields.back() += c;
        }
    }
    return fields;
}

bool bReadFinalReport(const std::string& path, std::vector<UnplacedRow>* rows) {
    std::vector<std::string> lines;
    if (!bReadRows(path, &lines))
        return false;
    rows->clear();
    for (const std::string& line : lines) {
        // Key,Index,FileType,FileTypeInString,FileName,RefCount; an unquoted
        // path holding commas spreads over the fields between.
        const std::vector<std::string> f = SplitCsvRow(line);
        UnplacedRow row;
        if (f.size() < 6 || !bParseU32(f[0], &row.ul_Key) || !bParseU32(f[1], &row.ul_Index) ||
            !bParseU32(f[2], &row.ul_Type) || !bParseU32(f.back(), &row.ul_Count))
            return false;
        row.s_TypeName = f[3];
        row.s_Path = Join(f, 4, f.size() - 1);
        rows->push_back(std::move(row));
    }
    return true;
}

bool bReadCriticalReport(const std::string& path, std::vector<MissingRefRow>* rows) {
    std::vector<std::string> lines;
    if (!bReadRows(path, &lines))
        return false;
    rows->clear();
    for (const std::string& line : lines) {
        // MissingFileKey,MissingFileName,MissingFileIndex,ParentFileKey,ParentFileName,ParentFileIndex;
        // unquoted names holding commas are told apart by the parent key
        // that follows the missing file's index.
        const std::vector<std::string> f = SplitCsvRow(line);
        if (f.size() < 6 || !bIsKeyText(f[0]))
            return false;
        size_t parent = 0;
        for (size_t i = 3; i + 2 < f.size(); ++i) {
            uint32_t index = 0;
            if (bIsKeyText(f[i]) && bParseU32(f[i - 1], &index)) {
                parent = i;
                break;
            }
        }
        if (parent == 0)
            return false;
        MissingRefRow row;
        row.s_MissingKey = f[0];
        row.s_MissingName = Join(f, 1, parent - 1);
        row.s_ParentKey = f[parent];
        row.s_ParentName = Join(f, parent + 1, f.size() - 1);
        rows->push_back(std::move(row));
    }
    return true;
}

std::vector<std::string> ListRunReports(const std::string& folder) {
    std::vector<std::string> names;
    std::vector<std::string> reports;
    PLT::ListDirectory(folder, &names);
    for (const std::string& name : names) {
        if (name == ORVEX::kCriticalListReportName || name == ORVEX::kCriticalReportName ||
            name == ORVEX::kFinalReportName || name == "Common.log" || name == "refs.bin" ||
            name == "linker_pc.map" || name == ORVEX::OVI_SoundsHelper::kReportFile ||
            name == kSplitSummaryName || name == kSplitReportName ||
            (name.rfind("0x", 0) == 0 && bEndsWith(name, ".log")))
            reports.push_back(name);
    }
    std::sort(reports.begin(), reports.end());
    return reports;
}

// ---- JSON ------------------------------------------------------------------------------

std::string SplitSummaryJson(const SplitRunFacts& facts) {
    Json all;
    all["orvex_split_summary"] = kSplitSummarySchema;
    all["bigfile"] = facts.s_Bigfile;
    all["status"] = facts.l_Status;
    all["exit_code"] = facts.i_ExitCode;
    Json outputs = Json::array();
    for (const SplitOutputFacts& o : facts.outputs) {
        Json out;
        out["name"] = o.s_Name;
        out["kind"] = o.s_Kind;
        out["world_key"] = o.b_HasWorldKey ? Json(KeyText(o.ul_WorldKey)) : Json(nullptr);
        out["written"] = o.b_Written;
        out["files"] = o.ul_Files;
        out["bytes"] = o.ull_Bytes;
        out["content_bytes"] = o.ull_ContentBytes;
        out["segments"] = o.u_Segments;
        out["gz_bytes"] = o.b_Gzip ? Json(o.ull_GzBytes) : Json(nullptr);
        out["path"] = o.s_Path;
        outputs.push_back(std::move(out));
    }
    all["outputs"] = std::move(outputs);
    all["unplaced_keys"] = facts.b_UnplacedKnown ? Json(facts.unplaced.size()) : Json(nullptr);
    all["missing_references"] = facts.b_MissingKnown ? Json(facts.missing.size()) : Json(nullptr);
    all["problems"] = facts.problems;
    all["reports"] = facts.reports;
    all["work_dir"] = facts.s_WorkDir;
    Json phases;
    for (const char* phase : kSplitPhases) {
        const auto it = facts.phases.find(phase);
        phases[phase] = it == facts.phases.end() ? Json(nullptr) : Json(it->second);
    }
    phases["run"] = facts.d_RunSeconds;
    all["phases"] = std::move(phases);
    return all.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

}  // namespace HOST
