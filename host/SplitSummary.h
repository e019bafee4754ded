// What a split left behind, gathered after the run for the JSON summary and
// the HTML size report: the outputs under the data root (read back from their
// tables), the CSV reports of the work folder, the phase times the plug-in
// wrote as "phase" lines, and the run's status and problems.
//
// JSON summary, schema "orvex_split_summary" 1 (an object; sizes in bytes,
// times in seconds):
//   orvex_split_summary  1, raised when a field changes meaning or goes away
//   bigfile              the split bigfile, as given
//   status, exit_code    the tool's status and orvex's exit code
//   outputs              one object per output the run was to write:
//     name               as in DATAROOT/DLC/NAME ("Marlin", a world's name, "dlc")
//     kind               "common", "world" or "dlc"
//     world_key          "0x%08X" of the world file; null for common and dlc
//     written            whether NAME.big was found and its tables read
//     files, bytes       used file entries; bytes of NAME.big and its segments
//     content_bytes      the files' contents (the sum of the listed sizes)
//     segments           segment files of NAME.big
//     gz_bytes           NAME.big.gz; null when there is none
//     path               DATAROOT/DLC/NAME/NAME.big, with DATAROOT as given
//   unplaced_keys        rows of final_missing.files.csv; null when unread
//   missing_references   rows of critical_report.csv (--report); null when unread
//   problems             the printed summary's problems: outputs not written,
//                        then the plug-in's error lines ("TAG: MESSAGE");
//                        [] when none
//   reports              files the run left in the work folder, by name
//   work_dir             the work folder, absolute
//   phases               scan, closures, writing (gzip copies excluded),
//                        compression: seconds each, null when not reported;
//                        run: the whole plug-in session as the host timed it
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace HOST {

inline constexpr int kSplitSummarySchema = 1;
inline constexpr const char* kSplitSummaryName = "split-summary.json";
inline constexpr const char* kSplitReportName = "split-report.html";
// The phases of the JSON summary, in their order.
inline constexpr const char* kSplitPhases[] = {"scan", "closures", "writing", "compression"};

struct SplitFileFacts {
    uint32_t ul_Key = 0;
    uint32_t ul_Type = 0;
    uint64_t ull_Size = 0;  // content bytes; 0 for a file without content
    std::string s_Path;     // full path in the bigfile
};

struct SplitOutputFacts {
    std::string s_Name;
    std::string s_Kind;  // "common", "world" or "dlc"
    bool b_HasWorldKey = false;
    uint32_t ul_WorldKey = 0;
    std::string s_Path;  // DATAROOT/DLC/NAME/NAME.big, DATAROOT as the user gave it
    bool b_Written = false;
    uint32_t ul_Files = 0;
    uint64_t ull_Bytes = 0;
    unsigned u_Segments = 0;
    bool b_Gzip = false;
    uint64_t ull_GzBytes = 0;
    uint64_t ull_ContentBytes = 0;
    std::vector<SplitFileFacts> files;  // in key order
};

// A row of final_missing.files.csv.
struct UnplacedRow {
    uint32_t ul_Key = 0;
    uint32_t ul_Index = 0;
    uint32_t ul_Type = 0;
    std::string s_TypeName;
    std::string s_Path;
    uint32_t ul_Count = 0;
};

// A row of critical_report.csv: a missing key and the file that refers to it.
struct MissingRefRow {
    std::string s_MissingKey;  // as written ("0x%08X")
    std::string s_MissingName;
    std::string s_ParentKey;
    std::string s_ParentName;
};

struct SplitRunFacts {
    std::string s_Bigfile;
    int32_t l_Status = 0;
    int i_ExitCode = 0;
    std::vector<SplitOutputFacts> outputs;
    bool b_UnplacedKnown = false;
    std::vector<UnplacedRow> unplaced;
    bool b_MissingKnown = false;
    std::vector<MissingRefRow> missing;
    std::vector<std::string> problems;
    std::vector<std::string> reports;
    std::string s_WorkDir;
    std::map<std::string, double> phases;  // the phases reported, by name
    double d_RunSeconds = 0;
};

// Collects the plug-in's "phase" lines from the text it writes to standard
// output (fed in pieces as they come).
class PhaseLines {
public:
    void Feed(std::string_view text);
    const std::map<std::string, double>& Phases() const { return m_Phases; }

private:
    void _Line(std::string_view line);
    std::string ms_Pending;
    std::map<std::string, double> m_Phases;
};

// Collects the plug-in's "error" and "critical" lines from the text it writes
// to standard error (fed in pieces as they come), each as "TAG: MESSAGE", for
// the summary's problems. Keeps the first kMaxKept and counts them all; a line
// equal to the one just before it is taken once.
class ErrorLines {
public:
    static constexpr size_t kMaxKept = 20;
    void Feed(std::string_view text);
    const std::vector<std::string>& Kept() const { return m_Kept; }
    size_t Count() const { return m_Count; }

private:
    void _Line(std::string_view line);
    std::string ms_Pending;
    std::string ms_Last;  // the last line taken, as a problem
    std::vector<std::string> m_Kept;
    size_t m_Count = 0;
};

// Reads output `name` under `dataRoot` (as seen from the current directory).
// `shownRoot` is the data root as the user gave it, for the path.
SplitOutputFacts ReadOutputFacts(const std::string& dataRoot, const std::string& shownRoot,
                                 const std::string& name, const std::string& kind);

// Splits one CSV row; a field in double quotes may hold commas and doubled quotes.
std::vector<std::string> SplitCsvRow(std::string_view line);
// The rows of final_missing.files.csv and critical_report.csv at `path`;
// false when the file cannot be read or a row does not parse.
bool bReadFinalReport(const std::string& path, std::vector<UnplacedRow>* rows);
bool bReadCriticalReport(const std::string& path, std::vector<MissingRefRow>* rows);

// The reports of a run found in `folder`: the logs, CSVs, "report",
// "refs.bin", "linker_pc.map" and this host's own files, sorted by name.
std::vector<std::string> ListRunReports(const std::string& folder);

// The JSON summary (schema above), indented, with a final newline.
std::string SplitSummaryJson(const SplitRunFacts& facts);

// "0x%08X".
std::string KeyText(uint32_t key);

}  // namespace HOST
