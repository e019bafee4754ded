// The split's own summary files, written after the run: the JSON summary
// (--summary-json PATH, and split-summary.json in the work folder with
// --report) and, with --report, split-report.html in the work folder. See
// SplitSummary.h for the schema and SplitReportHtml.h for the page.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "host/CmdSplit.h"
#include "host/SplitSummary.h"
#include "plugin/OVI_ClosuresFile.h"

namespace HOST {

struct SplitRunOutcome {
    int32_t l_Status = 0;
    std::map<std::string, double> phases;  // from the plug-in's "phase" lines
    double d_RunSeconds = 0;
    std::vector<std::string> problems;  // as the printed summary lists them
    // The world closures the plug-in handed over (kSplitClosuresName); none
    // when it did not, and the size report then maps the bigfile itself.
    std::optional<ORVEX::OVI_Closures> closures;
    // The outputs read back once after the run for both the printed summary
    // and the reports; none when no report asks for them.
    std::optional<std::vector<SplitOutputFacts>> outputs;
};

// Reads back the outputs the run was to write (the common one first, then the
// `selected` worlds; or the single "dlc" one), under `dataRoot` as seen from
// the current folder; their paths show the data root as the user gave it.
std::vector<SplitOutputFacts> ReadSplitOutputs(const SplitSettings& settings,
                                               const std::vector<WorldFile>& selected,
                                               const std::string& dataRoot);

// The file, in the work folder, through which the plug-in hands its closures
// to the host; it exists only during the run.
inline constexpr const char* kSplitClosuresName = ".orvex-closures";

// Called from the folder the split started in (the paths of `settings` are
// taken from there), once the plug-in's session has ended. `summaryJson` is
// the --summary-json path (empty: none). False, after a message on `err`,
// when a file that was asked for could not be written.
bool bWriteSplitRunReports(const SplitSettings& settings, const std::vector<WorldFile>& selected,
                           const std::string& summaryJson, const SplitRunOutcome& outcome, std::ostream& out,
                           std::ostream& err);

}  // namespace HOST
