// split-report.html: one self-contained page (inline CSS and SVG, no script,
// nothing fetched) that shows what a split made: the run's problems first, in
// red; a table of the outputs; each output's size as a stacked bar (its own
// contents, and for a world the contents it needs from the common output),
// largest first; bytes by file type per output; a world × world heat map of
// the contents both worlds' closures need (the exact figure in each cell's
// SVG <title>); the 20 largest files of each output; the unplaced keys and
// the missing references with the files that refer to them; the phase times.
//
// Every number is written out in full as text (no rounding), so that the page
// can be read, and checked, without a browser: the figures are those of the
// JSON summary and the CSV reports.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/SplitSummary.h"
#include "plugin/OVI_ClosuresFile.h"

namespace HOST {

struct WorldFile;
class SplitQuerySession;

// What the closures of the selected worlds share, from the splitter's own
// closures (content bytes, as the size words give them).
struct SplitSharing {
    struct World {
        uint32_t ul_Key = 0;
        std::string s_Name;
        uint64_t ull_FromCommon = 0;  // contents of its closure that the common output holds
    };
    bool b_Known = false;
    std::vector<World> worlds;     // ascending key order
    std::vector<uint64_t> shared;  // worlds × worlds: contents both closures need; diagonal: the closure's
};

// Computes the sharing of the `selected` worlds that have a closure, and the
// common output as written (its file list; null when there is none).
SplitSharing ComputeSharing(const std::vector<WorldFile>& selected, const ORVEX::OVI_Closures& closures,
                            const SplitOutputFacts* common);
// The same from a query session that ran.
SplitSharing ComputeSharing(SplitQuerySession& session, const SplitOutputFacts* common);

// Largest files of each output shown.
inline constexpr size_t kReportLargestFiles = 20;

std::string SplitReportHtml(const SplitRunFacts& facts, const SplitSharing& sharing);

// Text made safe inside HTML and SVG elements and attributes.
std::string HtmlEscape(const std::string& text);

}  // namespace HOST
