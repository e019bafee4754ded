// orvex split: the bigfile splitter driven through the plug-in, as the real
// host drives it (OVC_InitParams, OVC_InitPlugin, eInit, eRun, eDeinit, and
// the objects handed back). Its settings, their table, the settings file and
// the parameter block fill are in host/SplitOptions.h.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

#include "host/BigTools.h"
#include "host/SplitOptions.h"

namespace HOST {

// A world file of the bigfile: its key and its name without ".wor".
struct WorldFile {
    uint32_t ul_Key = 0;
    std::string s_Name;
};
// Every world file (type 4, name ending in ".wor") of the bigfile, in
// ascending key order. False with `*error` set (one plain sentence, without
// the path) when the bigfile cannot be read; `failure` (when given) tells why.
bool bListWorldFiles(const std::string& bigfile, std::vector<WorldFile>* worlds, std::string* error,
                     Tools::OpenFailure* failure = nullptr);

// Turns each --world value into a key: a key must name a world file, a name
// (with or without ".wor") must match exactly one world file's name (exactly,
// else without regard to case), and "all" takes every world file. False with
// `*error` set for the first value that does not.
bool bResolveWorlds(const std::vector<std::string>& values, const std::vector<WorldFile>& worlds,
                    std::vector<uint32_t>* keys, std::string* error);

// Runs the whole split: resolves the worlds, loads the plug-in, fills its
// block, changes into the work folder, drives the tool, prints the summary on
// `out`. Returns the exit code (usage errors 2, else the tool's status).
int RunSplit(const SplitSettings& settings, std::ostream& out, std::ostream& err);

}  // namespace HOST
