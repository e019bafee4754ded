#include "host/CmdWhy.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <iostream>
#include <memory>
#include <ostream>

#include "BIGfile/BIG_Fat.h"
#include "BIGfile/BIG_FileEntry.h"
#include "host/BigTools.h"
#include "host/Command.h"
#include "host/ExitCode.h"
#include "host/SplitQuerySession.h"
#include "host/SplitOptions.h"
#include "host/SplitSummary.h"
#include "platform/OutputCapture.h"

namespace HOST {

namespace {

using Json = nlohmann::ordered_json;
using Query = ORVEX::OVI_SplitQuery;

std::string Lower(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::vector<WhyStep> Steps(Query& query, const std::vector<uint32_t>& keys) {
    std::vector<WhyStep> steps;
    for (uint32_t key : keys)
        steps.push_back(WhyStep{key, query.FilePath(key)});
    return steps;
}

// The shortest chain to `key` from any of `roots`, each within its own closure.
std::vector<uint32_t> ChainFromRoots(Query& query, const std::vector<uint32_t>& roots, uint32_t key) {
    std::vector<uint32_t> best;
    for (uint32_t root : roots) {
        std::vector<uint32_t> chain = query.ShortestChain({root}, key, query.Closure(root));
        if (!chain.empty() && (best.empty() || chain.size() < best.size()))
            best = std::move(chain);
    }
    return best;
}

// The chain to `key` from the keys forced into the common closure, and the
// source of its first key.
std::vector<uint32_t> ChainFromForced(Query& query, uint32_t key, Query::Source* source) {
    const Query::KeySet& common = query.Closure(Query::kCommonRoot);
    *source = query.eDirectSource(key);
    if (*source != Query::Source::kNone)
        return {key};
    std::vector<uint32_t> starts;
    for (uint32_t forced : common)
        if (query.eDirectSource(forced) != Query::Source::kNone)
            starts.push_back(forced);
    std::vector<uint32_t> chain = query.ShortestChain(starts, key, common);
    if (!chain.empty())
        *source = query.eDirectSource(chain.front());
    return chain;
}

std::string WorldList(const std::vector<std::string>& worlds) {
    std::string text;
    for (const std::string& w : worlds)
        text += (text.empty() ? "" : ", ") + w;
    return text;
}

}  // namespace

WhyAnswer AnswerWhy(SplitQuerySession& session, uint32_t key, bool referrers) {
    Query& query = session.Query();
    WhyAnswer a;
    a.ul_Key = key;
    a.s_Path = query.FilePath(key);
    const auto record = query.Records().find(key);
    const uint32_t useCount = record == query.Records().end() ? 0 : record->second.ul_UseCount;
    const uint32_t weight = query.ul_GetWeight();

    std::vector<uint32_t> needers;  // roots whose closures hold the key
    for (const auto& [root, unused] : query.Roots()) {
        if (query.Closure(root).count(key) == 0)
            continue;
        needers.push_back(root);
        const std::string name = query.WorldName(root);
        a.worlds.push_back(name.empty() ? KeyText(root) : name);
    }
    const bool inCommon = query.Closure(Query::kCommonRoot).count(key) != 0;
    const bool commonPass = useCount >= weight;

    if (const Query::Output* output = query.pFindOutput(key)) {
        a.b_Placed = true;
        a.s_Output = output->s_Name;
        if (!commonPass) {
            // Placed by a world pass: the world whose output it is (in single
            // mode, any world that needs it).
            std::vector<uint32_t> roots;
            for (uint32_t root : needers)
                if (query.bSingleOutput() || query.WorldName(root) == output->s_Name)
                    roots.push_back(root);
            a.s_Rule = "world closure";
            a.chain = Steps(query, ChainFromRoots(query, roots, key));
            a.s_Detail = "only " +
                         (roots.empty() ? std::string("one world") : query.WorldName(roots.front())) +
                         " needs it (use count " + std::to_string(useCount) + ", below the weight " +
                         std::to_string(weight) + ")";
        } else {
            Query::Source source = Query::Source::kNone;
            std::vector<uint32_t> chain =
                inCommon ? ChainFromForced(query, key, &source) : std::vector<uint32_t>{};
            if (source != Query::Source::kNone) {
                a.s_Rule = Query::psz_SourceName(source);
                a.chain = Steps(query, chain);
                a.s_Detail = chain.size() <= 1 ? "it is a " + a.s_Rule
                                               : "a " + a.s_Rule + " refers to it (use count " +
                                                     std::to_string(useCount) + ")";
            } else {
                a.s_Rule = "use count";
                a.chain = Steps(query, ChainFromRoots(query, needers, key));
                a.s_Detail = "its use count " + std::to_string(useCount) + " reaches the weight " +
                             std::to_string(weight) + ": needed by " + WorldList(a.worlds);
            }
        }
    } else {
        const bool needed = commonPass || inCommon || !needers.empty();
        std::string criterion;
        if (needed && !query.bHasFile(key)) {
            a.s_Rule = "unplaced";
            a.s_Detail = "needed, but the bigfile has no file with this key";
        } else if (needed && query.bRemoved(key, &criterion)) {
            a.s_Rule = "rem criterion";
            a.s_Detail = "needed, but its name holds the --remove text \"" + criterion + "\"";
        } else if (!needers.empty() && !commonPass && query.bIsGmKey(key)) {
            a.s_Rule = "gmbigfile";
            a.s_Detail = "needed by " + WorldList(a.worlds) + ", but the gmbigfile holds it";
        } else if (!needed) {
            a.s_Rule = "not needed";
            a.s_Detail = query.bHasFile(key) ? "no selected world and no forced key needs it"
                                             : "the bigfile has no file with this key, and nothing needs it";
        } else {
            a.s_Rule = "unplaced";
            a.s_Detail = "needed, but no output took it (its world has no output)";
        }
        if (inCommon) {
            Query::Source source = Query::Source::kNone;
            a.chain = Steps(query, ChainFromForced(query, key, &source));
        }
        if (a.chain.empty())
            a.chain = Steps(query, ChainFromRoots(query, needers, key));
    }

    if (referrers) {
        std::vector<uint32_t> from;
        for (const auto& [other, unused] : query.Records()) {
            const std::vector<uint32_t> links = query.Links(other);
            if (std::find(links.begin(), links.end(), key) != links.end())
                from.push_back(other);
        }
        a.referrers = Steps(query, from);
    }
    return a;
}

bool bResolveWhyTargets(const std::string& bigfile, const std::vector<std::string>& targets,
                        std::vector<uint32_t>* keys, std::string* error) {
    keys->clear();
    std::unique_ptr<BIG_cl_Fat> fat;
    struct Entry {
        uint32_t key;
        std::string path;
        std::string name;
    };
    std::vector<Entry> entries;
    for (const std::string& target : targets) {
        uint32_t key = 0;
        if (bParseKey(target, &key)) {
            keys->push_back(key);
            continue;
        }
        if (!fat) {
            fat = Tools::OpenBigfile(bigfile, error);
            if (!fat) {
                *error = "cannot read " + bigfile + ": " + *error;
                return false;
            }
            for (uint32_t i = 0; i < fat->ul_GetFileCount(); ++i)
                if (fat->FileEntry(i).ul_Key != 0)
                    entries.push_back(
                        Entry{fat->FileEntry(i).ul_Key, fat->GetFilePath(i), fat->GetFileName(i)});
            fat->File().eClose();
        }
        // A path when it holds a '/', else a name; exact matches first.
        const bool path = target.find('/') != std::string::npos;
        std::vector<uint32_t> exact;
        std::vector<uint32_t> folded;
        for (const Entry& e : entries) {
            const std::string& text = path ? e.path : e.name;
            if (text == target)
                exact.push_back(e.key);
            else if (Lower(text) == Lower(target))
                folded.push_back(e.key);
        }
        const std::vector<uint32_t>& match = exact.empty() ? folded : exact;
        if (match.empty()) {
            std::vector<std::string> known;
            known.reserve(entries.size());
            for (const Entry& e : entries)
                known.push_back(path ? e.path : e.name);
            const std::string closest = ClosestName(target, known);
            *error = target + ": no file of that " + (path ? "path" : "name") + " in " + bigfile +
                     (closest.empty() ? std::string() : "; did you mean " + closest + "?");
            return false;
        }
        if (match.size() != 1) {
            *error =
                target + ": " + std::to_string(match.size()) + " files of that name; give a key or a path";
            return false;
        }
        keys->push_back(match[0]);
    }
    return true;
}

int RunWhy(const SplitSettings& settings, const std::vector<std::string>& targets, bool json, bool referrers,
           std::ostream& out, std::ostream& err) {
    if (settings.s_Bigfile.empty() || targets.empty()) {
        err << "orvex why: " << (settings.s_Bigfile.empty() ? "BIGFILE" : "a KEY, PATH or NAME")
            << " is required\n";
        return kExitUsage;
    }
    // The engine's and the splitter's own lines belong to a split; `why`
    // prints only its answers (through std::cout, which this leaves alone).
    PLT::StdoutCapture quiet([](std::string_view) {});
    std::string error;
    // A bigfile that cannot be read gets the sentence and the exit code of every other command.
    {
        Tools::OpenFailure failure = Tools::OpenFailure::eNone;
        std::unique_ptr<BIG_cl_Fat> fat = Tools::OpenBigfile(settings.s_Bigfile, &error, &failure);
        if (!fat) {
            err << "orvex why: " << Tools::EscapeText(settings.s_Bigfile) << ": " << error << "\n";
            return Tools::ExitCodeFor(failure);
        }
        fat->File().eClose();
    }
    std::vector<uint32_t> keys;
    if (!bResolveWhyTargets(settings.s_Bigfile, targets, &keys, &error)) {
        err << "orvex why: " << error << "\n";
        return error.rfind("cannot read", 0) == 0 ? ExitCodeForStatus(5) : kExitUsage;
    }
    SplitQuerySession session;
    bool usage = false;
    if (!session.bRun(settings, &error, &usage)) {
        err << "orvex why: " << error << "\n";
        return usage ? kExitUsage : ExitCodeForStatus(4);
    }
    std::vector<WhyAnswer> answers;
    for (uint32_t key : keys)
        answers.push_back(AnswerWhy(session, key, referrers));

    if (json) {
        Json all = Json::array();
        for (const WhyAnswer& a : answers) {
            Json o;
            o["key"] = KeyText(a.ul_Key);
            o["output"] = a.b_Placed ? Json(a.s_Output) : Json(nullptr);
            o["rule"] = a.s_Rule;
            o["worlds"] = a.worlds;
            Json chain = Json::array();
            for (const WhyStep& s : a.chain)
                chain.push_back(Json{{"key", KeyText(s.ul_Key)}, {"path", s.s_Path}});
            o["chain"] = std::move(chain);
            if (referrers) {
                Json from = Json::array();
                for (const WhyStep& s : a.referrers)
                    from.push_back(Json{{"key", KeyText(s.ul_Key)}, {"path", s.s_Path}});
                o["referrers"] = std::move(from);
            }
            all.push_back(std::move(o));
        }
        const Json& shown = answers.size() == 1 ? all[0] : all;
        out << shown.dump(2, ' ', false, Json::error_handler_t::replace) << "\n";
        return 0;
    }
    for (const WhyAnswer& a : answers) {
        out << KeyText(a.ul_Key) << " " << (a.s_Path.empty() ? "(not in the bigfile)" : a.s_Path) << "\n";
        out << "  output: " << (a.b_Placed ? a.s_Output : "none") << "\n";
        out << "  rule:   " << a.s_Rule << ": " << a.s_Detail << "\n";
        if (!a.worlds.empty())
            out << "  worlds: " << WorldList(a.worlds) << "\n";
        for (size_t i = 0; i < a.chain.size(); ++i)
            out << (i == 0 ? "  chain:  " : "       -> ") << KeyText(a.chain[i].ul_Key) << " "
                << a.chain[i].s_Path << "\n";
        if (referrers) {
            out << "  referred to by " << a.referrers.size() << (a.referrers.size() == 1 ? " file" : " files")
                << (a.referrers.empty() ? "\n" : ":\n");
            for (const WhyStep& s : a.referrers)
                out << "    " << KeyText(s.ul_Key) << " " << s.s_Path << "\n";
        }
    }
    return 0;
}

}  // namespace HOST

namespace HOST {
namespace {

Command Setup(CLI::App& parent) {
    CLI::App* app = parent.add_subcommand(
        "why", "Where a split would put each file, by which rule, and the references that lead to it");
    // The split's own options, from its one table, then what only `why` takes.
    auto options = std::make_shared<SplitCommandLine>(app, kQueryIgnoredOptions);
    struct State {
        std::vector<std::string> targets;
        bool b_Json = false;
        bool b_Referrers = false;
    };
    auto state = std::make_shared<State>();
    app->add_option("targets", state->targets,
                    "KEY (0x... or decimal), full PATH in the bigfile, or file NAME")
        ->required();
    app->add_flag("--json", state->b_Json, "One JSON object per file (an array for several)");
    app->add_flag("--referrers", state->b_Referrers, "Also list the files that refer to each");
    return Command{app, [options, state] {
                       SplitSettings settings;
                       std::string error;
                       if (!options->bSettings(&settings, &error)) {
                           std::cerr << "orvex why: " << error << "\n";
                           return kExitUsage;
                       }
                       return RunWhy(settings, state->targets, state->b_Json, state->b_Referrers, std::cout,
                                     std::cerr);
                   }};
}

const CommandRegistrar s_Registrar(&Setup);

}  // namespace
}  // namespace HOST
