#include "host/SplitReportHtml.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <map>
#include <set>
#include <utility>
#include <vector>

#include "BIGfile/BIG_Extensions.h"
#include "host/SplitQuerySession.h"

namespace HOST {

namespace {

constexpr int kChartWidth = 900;
constexpr int kLabelWidth = 220;
constexpr int kBarHeight = 18;
constexpr int kHeatMapSize = 600;          // the grid's side, whatever the number of worlds
constexpr size_t kHeatMapLabelsUpTo = 40;  // above, the names are too small to read: numbers instead
constexpr size_t kTypesShown = 12;

const char* kStyle = R"(
body{font:14px/1.4 sans-serif;margin:24px;color:#222;background:#fff}
h1{font-size:22px}h2{font-size:18px;margin-top:32px;border-bottom:1px solid #ccc}
h3{font-size:15px;margin-bottom:4px}
table{border-collapse:collapse;margin:8px 0}
th,td{border:1px solid #ccc;padding:2px 8px;text-align:left}
td.n{text-align:right;font-variant-numeric:tabular-nums}
.problems{border:2px solid #c00;background:#fee;color:#c00;padding:8px 16px}
.problems li{color:#c00}
.legend span{display:inline-block;width:12px;height:12px;margin:0 4px 0 12px;vertical-align:middle}
svg text{font:11px sans-serif}
.own{fill:#3b6fb6}.common{fill:#e8a33d}.type{fill:#5a9e6f}
.none{color:#666}
)";

std::string U64(uint64_t value) {
    return std::to_string(value);
}

std::string Num(uint64_t value) {
    return "<td class=\"n\">" + U64(value) + "</td>";
}

std::string Cell(const std::string& text) {
    return "<td>" + HtmlEscape(text) + "</td>";
}

// A short size for chart labels; the exact figure goes beside it.
std::string Human(uint64_t bytes) {
    const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    double value = static_cast<double>(bytes);
    size_t unit = 0;
    while (value >= 1024 && unit + 1 < std::size(units)) {
        value /= 1024;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", value, units[unit]);
    return text;
}

std::string TypeName(uint32_t type) {
    return BIG_Extensions::sz_Get(std::min<uint32_t>(type, BIG_Extensions::kCount - 1));
}

// White to dark red by the share of the largest figure.
std::string HeatColour(uint64_t value, uint64_t largest) {
    const double share = largest == 0 ? 0 : static_cast<double>(value) / static_cast<double>(largest);
    const int g = static_cast<int>(245 - share * 200);
    char text[16];
    std::snprintf(text, sizeof text, "#f5%02x%02x", g, g);
    return text;
}

void Problems(const SplitRunFacts& facts, std::string* html) {
    if (facts.problems.empty())
        return;
    *html += "<section class=\"problems\" id=\"problems\"><h2>Problems</h2><ul>\n";
    for (const std::string& problem : facts.problems)
        *html += "<li>" + HtmlEscape(problem) + "</li>\n";
    *html += "</ul></section>\n";
}

void OutputTable(const SplitRunFacts& facts, std::string* html) {
    *html +=
        "<h2>Outputs</h2>\n<table id=\"outputs\"><tr><th>Output</th><th>Kind</th><th>World key</th>"
        "<th>Files</th><th>Bytes</th><th>Content bytes</th><th>.gz bytes</th><th>Path</th></tr>\n";
    for (const SplitOutputFacts& o : facts.outputs) {
        *html +=
            "<tr>" + Cell(o.s_Name) + Cell(o.s_Kind) + Cell(o.b_HasWorldKey ? KeyText(o.ul_WorldKey) : "");
        if (o.b_Written)
            *html += Num(o.ul_Files) + Num(o.ull_Bytes) + Num(o.ull_ContentBytes);
        else
            *html += "<td colspan=\"3\" class=\"none\">not written</td>";
        *html += o.b_Gzip ? Num(o.ull_GzBytes) : "<td></td>";
        *html += Cell(o.s_Path) + "</tr>\n";
    }
    *html += "</table>\n";
}

void SizeBars(const SplitRunFacts& facts, const SplitSharing& sharing, std::string* html) {
    struct Bar {
        std::string name;
        uint64_t own = 0;
        uint64_t common = 0;
    };
    std::vector<Bar> bars;
    for (const SplitOutputFacts& o : facts.outputs) {
        if (!o.b_Written)
            continue;
        Bar bar{o.s_Name, o.ull_ContentBytes, 0};
        for (const SplitSharing::World& w : sharing.worlds)
            if (o.s_Kind == "world" && o.b_HasWorldKey && w.ul_Key == o.ul_WorldKey)
                bar.common = w.ull_FromCommon;
        bars.push_back(bar);
    }
    std::stable_sort(bars.begin(), bars.end(),
                     [](const Bar& a, const Bar& b) { return a.own + a.common > b.own + b.common; });
    *html +=
        "<h2>Size of each output</h2>\n<p class=\"legend\"><span class=\"own\" style=\"background:#3b6fb6\">"
        "</span>its own contents<span style=\"background:#e8a33d\"></span>contents it needs from the "
        "common output</p>\n";
    if (bars.empty()) {
        *html += "<p class=\"none\">No output was written.</p>\n";
        return;
    }
    uint64_t largest = 1;
    for (const Bar& b : bars)
        largest = std::max(largest, b.own + b.common);
    const int height = static_cast<int>(bars.size()) * (kBarHeight + 6) + 6;
    const int span = kChartWidth - kLabelWidth - 260;
    *html += "<svg id=\"size-bars\" xmlns=\"http://www.w3.org/2000/svg\" width=\"" +
             std::to_string(kChartWidth) + "\" height=\"" + std::to_string(height) + "\">\n";
    int y = 6;
    for (const Bar& b : bars) {
        const int ownWidth =
            static_cast<int>(static_cast<double>(b.own) / static_cast<double>(largest) * span);
        const int commonWidth =
            static_cast<int>(static_cast<double>(b.common) / static_cast<double>(largest) * span);
        const std::string name = HtmlEscape(b.name);
        *html += "<text x=\"0\" y=\"" + std::to_string(y + 13) + "\">" + name + "</text>\n";
        *html += "<rect class=\"own\" x=\"" + std::to_string(kLabelWidth) + "\" y=\"" + std::to_string(y) +
                 "\" width=\"" + std::to_string(std::max(ownWidth, 1)) + "\" height=\"" +
                 std::to_string(kBarHeight) + "\"><title>" + name + ": own " + U64(b.own) +
                 " bytes</title></rect>\n";
        if (b.common != 0)
            *html += "<rect class=\"common\" x=\"" + std::to_string(kLabelWidth + ownWidth) + "\" y=\"" +
                     std::to_string(y) + "\" width=\"" + std::to_string(std::max(commonWidth, 1)) +
                     "\" height=\"" + std::to_string(kBarHeight) + "\"><title>" + name + ": from common " +
                     U64(b.common) + " bytes</title></rect>\n";
        *html += "<text x=\"" + std::to_string(kLabelWidth + ownWidth + commonWidth + 6) + "\" y=\"" +
                 std::to_string(y + 13) + "\">" + U64(b.own) + (b.common ? " + " + U64(b.common) : "") +
                 " bytes (" + Human(b.own + b.common) + ")</text>\n";
        y += kBarHeight + 6;
    }
    *html += "</svg>\n";
}

void TypeBars(const SplitRunFacts& facts, std::string* html) {
    *html += "<h2>Bytes by file type</h2>\n";
    for (const SplitOutputFacts& o : facts.outputs) {
        if (!o.b_Written)
            continue;
        std::map<uint32_t, std::pair<uint64_t, uint32_t>> byType;  // type -> bytes, files
        for (const SplitFileFacts& f : o.files) {
            byType[f.ul_Type].first += f.ull_Size;
            byType[f.ul_Type].second += 1;
        }
        std::vector<std::pair<uint32_t, std::pair<uint64_t, uint32_t>>> types(byType.begin(), byType.end());
        std::stable_sort(types.begin(), types.end(),
                         [](const auto& a, const auto& b) { return a.second.first > b.second.first; });
        *html += "<h3>" + HtmlEscape(o.s_Name) + "</h3>\n";
        if (types.empty()) {
            *html += "<p class=\"none\">No file.</p>\n";
            continue;
        }
        // The top types as bars; the rest together, so that the bars add up.
        if (types.size() > kTypesShown) {
            std::pair<uint64_t, uint32_t> rest{0, 0};
            for (size_t i = kTypesShown - 1; i < types.size(); ++i) {
                rest.first += types[i].second.first;
                rest.second += types[i].second.second;
            }
            types.resize(kTypesShown - 1);
            types.push_back({0xFFFFFFFF, rest});
        }
        const uint64_t largest = std::max<uint64_t>(1, types.front().second.first);
        const int height = static_cast<int>(types.size()) * (kBarHeight + 4) + 4;
        const int span = kChartWidth - kLabelWidth - 260;
        *html += "<svg class=\"types\" xmlns=\"http://www.w3.org/2000/svg\" width=\"" +
                 std::to_string(kChartWidth) + "\" height=\"" + std::to_string(height) + "\">\n";
        int y = 4;
        for (const auto& [type, figures] : types) {
            const std::string label =
                type == 0xFFFFFFFF ? "other types" : TypeName(type) + " (" + std::to_string(type) + ")";
            const int width =
                static_cast<int>(static_cast<double>(figures.first) / static_cast<double>(largest) * span);
            *html += "<text x=\"0\" y=\"" + std::to_string(y + 13) + "\">" + HtmlEscape(label) + "</text>";
            *html += "<rect class=\"type\" x=\"" + std::to_string(kLabelWidth) + "\" y=\"" +
                     std::to_string(y) + "\" width=\"" + std::to_string(std::max(width, 1)) + "\" height=\"" +
                     std::to_string(kBarHeight) + "\"><title>" + HtmlEscape(label) + ": " +
                     U64(figures.first) + " bytes in " + std::to_string(figures.second) +
                     " files</title></rect>";
            *html += "<text x=\"" + std::to_string(kLabelWidth + width + 6) + "\" y=\"" +
                     std::to_string(y + 13) + "\">" + U64(figures.first) + " bytes, " +
                     std::to_string(figures.second) + " files</text>\n";
            y += kBarHeight + 4;
        }
        *html += "</svg>\n";
    }
}

void HeatMap(const SplitSharing& sharing, std::string* html) {
    *html += "<h2>Contents shared between worlds</h2>\n";
    const size_t n = sharing.worlds.size();
    if (!sharing.b_Known || n == 0) {
        *html += "<p class=\"none\">No world was split.</p>\n";
        return;
    }
    *html +=
        "<p>Bytes of the files that both worlds' closures need (the diagonal: the whole closure). "
        "Each cell's exact figure shows when the pointer rests on it.</p>\n";
    const bool names = n <= kHeatMapLabelsUpTo;
    const int cell = std::max(4, kHeatMapSize / static_cast<int>(n));
    const int margin = names ? 160 : 40;
    const int side = margin + cell * static_cast<int>(n) + 4;
    uint64_t largest = 0;
    for (size_t i = 0; i < n; ++i)
        for (size_t j = 0; j < n; ++j)
            if (i != j)
                largest = std::max(largest, sharing.shared[i * n + j]);
    *html += "<svg id=\"heat-map\" xmlns=\"http://www.w3.org/2000/svg\" width=\"" + std::to_string(side) +
             "\" height=\"" + std::to_string(side) + "\">\n";
    for (size_t i = 0; i < n; ++i) {
        const std::string label = names ? HtmlEscape(sharing.worlds[i].s_Name) : std::to_string(i + 1);
        const int at = margin + static_cast<int>(i) * cell;
        *html += "<text x=\"" + std::to_string(margin - 4) + "\" y=\"" + std::to_string(at + cell / 2 + 4) +
                 "\" text-anchor=\"end\">" + label + "</text>";
        *html += "<text transform=\"translate(" + std::to_string(at + cell / 2 + 4) + "," +
                 std::to_string(margin - 4) + ") rotate(-90)\">" + label + "</text>\n";
    }
    for (size_t i = 0; i < n; ++i) {
        for (size_t j = 0; j < n; ++j) {
            const uint64_t value = sharing.shared[i * n + j];
            const std::string colour = i == j ? "#dde4ee" : HeatColour(value, largest);
            *html += "<rect x=\"" + std::to_string(margin + static_cast<int>(j) * cell) + "\" y=\"" +
                     std::to_string(margin + static_cast<int>(i) * cell) + "\" width=\"" +
                     std::to_string(cell) + "\" height=\"" + std::to_string(cell) + "\" fill=\"" + colour +
                     "\"><title>" + HtmlEscape(sharing.worlds[i].s_Name) + " \xC3\x97 " +
                     HtmlEscape(sharing.worlds[j].s_Name) + ": " + U64(value) + " bytes</title></rect>";
        }
        *html += "\n";
    }
    *html += "</svg>\n";
    if (!names) {
        *html += "<table class=\"heat-legend\"><tr><th>#</th><th>World</th></tr>\n";
        for (size_t i = 0; i < n; ++i)
            *html += "<tr>" + Num(i + 1) + Cell(sharing.worlds[i].s_Name) + "</tr>\n";
        *html += "</table>\n";
    }
}

void LargestFiles(const SplitRunFacts& facts, std::string* html) {
    *html += "<h2>Largest files</h2>\n";
    for (const SplitOutputFacts& o : facts.outputs) {
        if (!o.b_Written)
            continue;
        std::vector<const SplitFileFacts*> files;
        for (const SplitFileFacts& f : o.files)
            files.push_back(&f);
        const size_t shown = std::min(kReportLargestFiles, files.size());
        std::partial_sort(files.begin(), files.begin() + static_cast<ptrdiff_t>(shown), files.end(),
                          [](const SplitFileFacts* a, const SplitFileFacts* b) {
                              return a->ull_Size != b->ull_Size ? a->ull_Size > b->ull_Size
                                                                : a->ul_Key < b->ul_Key;
                          });
        *html += "<h3>" + HtmlEscape(o.s_Name) +
                 "</h3>\n<table class=\"largest\"><tr><th>Key</th><th>Path</th>"
                 "<th>Bytes</th></tr>\n";
        for (size_t i = 0; i < shown; ++i)
            *html += "<tr>" + Cell(KeyText(files[i]->ul_Key)) + Cell(files[i]->s_Path) +
                     Num(files[i]->ull_Size) + "</tr>\n";
        *html += "</table>\n";
    }
}

void Unplaced(const SplitRunFacts& facts, std::string* html) {
    *html += "<h2>Unplaced keys</h2>\n";
    if (!facts.b_UnplacedKnown) {
        *html += "<p class=\"none\">final_missing.files.csv could not be read.</p>\n";
    } else if (facts.unplaced.empty()) {
        *html += "<p>None.</p>\n";
    } else {
        *html +=
            "<table id=\"unplaced\"><tr><th>Key</th><th>Index</th><th>Type</th><th>Path</th>"
            "<th>Passes</th></tr>\n";
        for (const UnplacedRow& r : facts.unplaced)
            *html += "<tr>" + Cell(KeyText(r.ul_Key)) + Num(r.ul_Index) + Cell(r.s_TypeName) +
                     Cell(r.s_Path) + Num(r.ul_Count) + "</tr>\n";
        *html += "</table>\n";
    }
    *html += "<h2>Missing references</h2>\n";
    if (!facts.b_MissingKnown) {
        *html += "<p class=\"none\">critical_report.csv could not be read.</p>\n";
    } else if (facts.missing.empty()) {
        *html += "<p>None.</p>\n";
    } else {
        *html +=
            "<table id=\"missing\"><tr><th>Missing key</th><th>Name</th><th>Referred to by</th>"
            "<th>Its name</th></tr>\n";
        for (const MissingRefRow& r : facts.missing)
            *html += "<tr>" + Cell(r.s_MissingKey) + Cell(r.s_MissingName) + Cell(r.s_ParentKey) +
                     Cell(r.s_ParentName) + "</tr>\n";
        *html += "</table>\n";
    }
}

void Phases(const SplitRunFacts& facts, std::string* html) {
    *html += "<h2>Time</h2>\n<table id=\"phases\"><tr><th>Phase</th><th>Seconds</th></tr>\n";
    char text[32];
    for (const char* phase : kSplitPhases) {
        const auto it = facts.phases.find(phase);
        if (it == facts.phases.end()) {
            *html += "<tr>" + Cell(phase) + "<td class=\"none\">not reported</td></tr>\n";
            continue;
        }
        std::snprintf(text, sizeof text, "%.3f", it->second);
        *html += "<tr>" + Cell(phase) + "<td class=\"n\">" + text + "</td></tr>\n";
    }
    std::snprintf(text, sizeof text, "%.3f", facts.d_RunSeconds);
    *html += "<tr>" + Cell("whole run") + "<td class=\"n\">" + text + "</td></tr>\n</table>\n";
}

}  // namespace

std::string HtmlEscape(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&#39;";
                break;
            default:
                // Control characters would make the page invalid XML inside SVG.
                if (static_cast<unsigned char>(c) < 0x20 && c != '\t' && c != '\n')
                    out += "&#xFFFD;";
                else
                    out += c;
        }
    }
    return out;
}

SplitSharing ComputeSharing(const std::vector<WorldFile>& selected, const ORVEX::OVI_Closures& closures,
                            const SplitOutputFacts* common) {
    SplitSharing sharing;
    // Sorted vectors rather than maps: tens of thousands of keys, a node each, cost more than the sums.
    // The common output's sizes by key; of a key listed twice, the first counts.
    std::vector<std::pair<uint32_t, uint64_t>> commonSizes;
    if (common != nullptr) {
        commonSizes.reserve(common->files.size());
        for (const SplitFileFacts& f : common->files)
            commonSizes.emplace_back(f.ul_Key, f.ull_Size);
        std::stable_sort(commonSizes.begin(), commonSizes.end(),
                         [](const auto& a, const auto& b) { return a.first < b.first; });
    }
    std::vector<const std::set<uint32_t>*> worldClosures;
    for (const WorldFile& w : selected) {
        const auto closure = closures.worlds.find(w.ul_Key);
        if (closure == closures.worlds.end())
            continue;
        SplitSharing::World world;
        world.ul_Key = w.ul_Key;
        world.s_Name = w.s_Name;
        for (uint32_t key : closure->second) {
            const auto it = std::lower_bound(commonSizes.begin(), commonSizes.end(), key,
                                             [](const auto& entry, uint32_t k) { return entry.first < k; });
            if (it != commonSizes.end() && it->first == key)
                world.ull_FromCommon += it->second;
        }
        sharing.worlds.push_back(std::move(world));
        worldClosures.push_back(&closure->second);
    }
    const size_t n = sharing.worlds.size();
    sharing.shared.assign(n * n, 0);
    // Keys grouped by the set of worlds that need them, so that each group is
    // added to its pairs once: a hundred worlds sharing most files stay cheap.
    // (key, world) pairs in key order, each key's worlds ascending.
    std::vector<std::pair<uint32_t, uint32_t>> needs;
    size_t total = 0;
    for (const std::set<uint32_t>* closure : worldClosures)
        total += closure->size();
    needs.reserve(total);
    for (size_t i = 0; i < n; ++i)
        for (uint32_t key : *worldClosures[i])
            needs.emplace_back(key, static_cast<uint32_t>(i));
    std::sort(needs.begin(), needs.end());
    std::map<std::vector<uint32_t>, uint64_t> groups;
    std::vector<uint32_t> worlds;
    auto size = closures.sizes.begin();  // keys ascending, as the pairs
    for (size_t j = 0; j < needs.size();) {
        const uint32_t key = needs[j].first;
        worlds.clear();
        for (; j < needs.size() && needs[j].first == key; ++j)
            worlds.push_back(needs[j].second);
        while (size != closures.sizes.end() && size->first < key)
            ++size;
        groups[worlds] += size != closures.sizes.end() && size->first == key ? size->second : 0;
    }
    for (const auto& [members, bytes] : groups)
        for (uint32_t a : members)
            for (uint32_t b : members)
                sharing.shared[a * n + b] += bytes;
    sharing.b_Known = true;
    return sharing;
}

SplitSharing ComputeSharing(SplitQuerySession& session, const SplitOutputFacts* common) {
    ORVEX::OVI_SplitQuery& query = session.Query();
    ORVEX::OVI_Closures closures;
    for (const WorldFile& w : session.SelectedWorlds()) {
        if (query.Roots().count(w.ul_Key) == 0)
            continue;
        closures.worlds[w.ul_Key] = query.Closure(w.ul_Key).ToSet();
        for (uint32_t key : query.Closure(w.ul_Key)) {
            const auto record = query.Records().find(key);
            closures.sizes[key] = record == query.Records().end() ? 0 : record->second.ul_Size;
        }
    }
    return ComputeSharing(session.SelectedWorlds(), closures, common);
}

std::string SplitReportHtml(const SplitRunFacts& facts, const SplitSharing& sharing) {
    std::string html =
        "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n<title>orvex split: " +
        HtmlEscape(facts.s_Bigfile) + "</title>\n<style>" + kStyle + "</style></head>\n<body>\n";
    html += "<h1>Split of " + HtmlEscape(facts.s_Bigfile) + "</h1>\n";
    html += "<p id=\"status\">Status " + std::to_string(facts.l_Status) + ", exit code " +
            std::to_string(facts.i_ExitCode) + ". Work folder " + HtmlEscape(facts.s_WorkDir) + ".</p>\n";
    Problems(facts, &html);
    OutputTable(facts, &html);
    SizeBars(facts, sharing, &html);
    TypeBars(facts, &html);
    HeatMap(sharing, &html);
    LargestFiles(facts, &html);
    Unplaced(facts, &html);
    Phases(facts, &html);
    html += "</body></html>\n";
    return html;
}

}  // namespace HOST
