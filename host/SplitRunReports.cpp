#include "host/SplitRunReports.h"

#include <algorithm>
#include <filesystem>
#include <ostream>

#include "host/ExitCode.h"
#include "host/SplitQuerySession.h"
#include "host/SplitReportHtml.h"
#include "host/SplitSummary.h"
#include "platform/File.h"
#include "plugin/OVI_ReportFormat.h"

namespace HOST {

namespace {

constexpr const char* kCommonName = "Marlin";
constexpr const char* kSingleName = "dlc";

bool bWrite(const std::string& path, const std::string& text, std::ostream& err) {
    if (PLT::WriteWholeFile(path, text.data(), text.size()))
        return true;
    err << "orvex split: cannot write " << path << ": " << PLT::ErrorText(PLT::LastError()) << "\n";
    return false;
}

}  // namespace

std::vector<SplitOutputFacts> ReadSplitOutputs(const SplitSettings& settings,
                                               const std::vector<WorldFile>& selected,
                                               const std::string& dataRoot) {
    std::vector<SplitOutputFacts> outputs;
    if (settings.b_Single || settings.b_Dlc) {
        outputs.push_back(ReadOutputFacts(dataRoot, settings.s_DataRoot, kSingleName, "dlc"));
        return outputs;
    }
    outputs.push_back(ReadOutputFacts(dataRoot, settings.s_DataRoot, kCommonName, "common"));
    for (const WorldFile& w : selected) {
        SplitOutputFacts world = ReadOutputFacts(dataRoot, settings.s_DataRoot, w.s_Name, "world");
        world.b_HasWorldKey = true;
        world.ul_WorldKey = w.ul_Key;
        outputs.push_back(std::move(world));
    }
    return outputs;
}

bool bWriteSplitRunReports(const SplitSettings& settings, const std::vector<WorldFile>& selected,
                           const std::string& summaryJson, const SplitRunOutcome& outcome, std::ostream& out,
                           std::ostream& err) {
    if (!settings.b_Report && summaryJson.empty())
        return true;
    SplitRunFacts facts;
    facts.s_Bigfile = settings.s_Bigfile;
    facts.l_Status = outcome.l_Status;
    facts.i_ExitCode = ExitCodeForStatus(outcome.l_Status);
    const std::string work = settings.s_WorkDir.empty() ? std::string(".") : settings.s_WorkDir;
    auto inWork = [&work](const std::string& name) { return work + "/" + name; };
    facts.s_WorkDir = std::filesystem::absolute(work).lexically_normal().string();
    if (!facts.s_WorkDir.empty() && facts.s_WorkDir.size() > 1 && facts.s_WorkDir.back() == '/')
        facts.s_WorkDir.pop_back();
    facts.phases = outcome.phases;
    facts.d_RunSeconds = outcome.d_RunSeconds;
    // The summary's own list: both summaries name the same problems.
    facts.problems = outcome.problems;

    const bool single = settings.b_Single || settings.b_Dlc;
    if (!settings.b_NoCopy)
        facts.outputs =
            outcome.outputs ? *outcome.outputs : ReadSplitOutputs(settings, selected, settings.s_DataRoot);
    facts.b_UnplacedKnown = bReadFinalReport(inWork(ORVEX::kFinalReportName), &facts.unplaced);
    facts.b_MissingKnown =
        settings.b_Report && bReadCriticalReport(inWork(ORVEX::kCriticalReportName), &facts.missing);

    bool written = true;
    // Listed as what the run leaves, the host's own files included.
    const auto listReports = [&facts, &settings, &work]() {
        facts.reports = ListRunReports(work);
        for (const char* own : {kSplitSummaryName, kSplitReportName})
            if (settings.b_Report &&
                std::find(facts.reports.begin(), facts.reports.end(), own) == facts.reports.end())
                facts.reports.push_back(own);
        std::sort(facts.reports.begin(), facts.reports.end());
    };
    listReports();

    if (settings.b_Report) {
        // The closures behind the sharing figures: the splitter's decisions
        // run again inside orvex, on the same settings.
        SplitSharing sharing;
        const SplitOutputFacts* common = facts.outputs.empty() ? nullptr : &facts.outputs.front();
        if (!single && outcome.closures) {
            sharing = ComputeSharing(selected, *outcome.closures, common);
        } else if (!single) {
            // A plug-in that handed over no closures: the decisions run again here.
            SplitQuerySession session;
            std::string error;
            bool usage = false;
            if (session.bRun(settings, &error, &usage)) {
                sharing = ComputeSharing(session, common);
            } else {
                err << "orvex split: the size report has no sharing figures: " << error << "\n";
            }
        }
        written = bWrite(inWork(kSplitReportName), SplitReportHtml(facts, sharing), err) && written;
        written = bWrite(inWork(kSplitSummaryName), SplitSummaryJson(facts), err) && written;
    }
    if (!summaryJson.empty())
        written = bWrite(summaryJson, SplitSummaryJson(facts), err) && written;
    if (settings.b_Report)
        out << "size report: "
            << (settings.s_WorkDir.empty() ? facts.s_WorkDir + "/" + kSplitReportName
                                           : inWork(kSplitReportName))
            << "\n";
    return written;
}

}  // namespace HOST
