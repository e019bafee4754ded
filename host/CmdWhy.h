// orvex why BIGFILE KEY|PATH|NAME... [split options]: where the split would
// put each file and why.
//
// The splitter's own mapping and passes run inside orvex on the same settings
// as `orvex split` (SplitQuerySession), nothing is written, and each file is
// answered from what the passes did: the output that took it (its name as in
// DATAROOT/DLC/NAME) or none, the rule, the worlds whose closures need it and
// the shortest chain of references that leads to it, from a world root or
// from a key forced into the common output.
//
// Rules (the "rule" of --json):
//   "built-in key", "forced key", "forced directory", "forced type",
//   "AI object"      in the common output, forced there (the file itself, or
//                    the forced key the chain starts from)
//   "use count"      in the common output: its use count reached the weight
//                    (the worlds listed need it)
//   "world closure"  in the output of the one world whose closure needs it
//   "gmbigfile"      a world needs it, but the gmbigfile holds it
//   "rem criterion"  needed, but its name holds a --remove text
//   "unplaced"       needed, but not placed (not in the bigfile, or its world
//                    has no output)
//   "not needed"     no selected world and no forced key needs it
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

#include "host/CmdSplit.h"

namespace HOST {

class SplitQuerySession;

struct WhyStep {
    uint32_t ul_Key = 0;
    std::string s_Path;
};

struct WhyAnswer {
    uint32_t ul_Key = 0;
    std::string s_Path;  // empty when the bigfile lacks the key
    bool b_Placed = false;
    std::string s_Output;
    std::string s_Rule;
    std::string s_Detail;  // a sentence for the text answer
    std::vector<std::string> worlds;
    std::vector<WhyStep> chain;
    std::vector<WhyStep> referrers;
};

// The answer for `key` from a session that ran. `referrers` also lists the
// files that refer to it.
WhyAnswer AnswerWhy(SplitQuerySession& session, uint32_t key, bool referrers);

// Turns each KEY|PATH|NAME into a key of `bigfile`: a key as the options take
// it, a full path as `orvex ls` shows it, or a file name with its extension
// (exactly, else without regard to case; it must name one file). False with
// `*error` set for the first that names no file, or more than one.
bool bResolveWhyTargets(const std::string& bigfile, const std::vector<std::string>& targets,
                        std::vector<uint32_t>* keys, std::string* error);

// Runs the query and prints the answers (text, or JSON: one object, or an
// array for several targets). Returns the exit code: 0, 2 for a usage error,
// else the failure's.
int RunWhy(const SplitSettings& settings, const std::vector<std::string>& targets, bool json, bool referrers,
           std::ostream& out, std::ostream& err);

}  // namespace HOST
