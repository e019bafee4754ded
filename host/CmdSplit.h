// orvex split: the bigfile splitter driven through the plug-in, as the real
// host drives it (OVC_InitParams, OVC_InitPlugin, eInit, eRun, eDeinit, and
// the objects handed back).
//
// Settings come from the command line and, with --config, from a TOML file
// whose keys are the option names without "--" (plus "bigfile"); a value given
// on the command line wins over the file's, and a list given on the command
// line replaces the file's list. Relative paths are taken from the current
// directory; with --work-dir they are rewritten so that they still name the
// same files once the host has changed into the work folder.
//
// Text fields of the parameter block have fixed sizes; a path that does not
// fit is refused with an error naming the option, never cut.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <map>
#include <string>
#include <vector>

namespace ORVEX {
class OVI_SplitterParams;
}

namespace HOST {

struct SplitSettings {
    std::string s_Bigfile;
    std::string s_DataRoot;
    std::vector<std::string> worlds;  // keys (hex with 0x, or decimal) or world names
    std::vector<std::string> forceKeys;
    std::vector<std::string> forceDirs;
    std::vector<std::string> removes;
    std::string s_GmBigfile;
    std::string s_AILibrary;
    std::string s_RefsCache;
    std::string s_CriticalList;
    std::string s_Replacement;
    std::string s_WorkDir;
    std::string s_Plugin;  // empty: found as `orvex plugin` finds it
    bool b_WriteRefsCache = false;
    bool b_Replace = false;
    bool b_Single = false;
    bool b_Dlc = false;
    bool b_NoCopy = false;
    bool b_Linker = false;
    bool b_SmallHeader = false;
    bool b_KeysOnly = false;
    bool b_Compress = false;
    bool b_Report = false;
    uint16_t uw_PackageId = 0xFFFF;
    uint16_t uw_PackageWord = 0;
    uint16_t uw_DirCountBase = 16384;
};

// Reads a TOML settings file into `settings` (only the keys it has). False
// with `*error` set on a syntax error, an unknown key or a value of the wrong
// type or range.
bool bLoadSplitConfig(const std::string& path, SplitSettings* settings, std::string* error);

// A key as the options take it: "0x" and hexadecimal digits, or decimal
// digits, within 32 bits. False for anything else.
bool bParseKey(const std::string& text, uint32_t* key);

// A world file of the bigfile: its key and its name without ".wor".
struct WorldFile {
    uint32_t ul_Key = 0;
    std::string s_Name;
};
// Every world file (type 4, name ending in ".wor") of the bigfile, in
// ascending key order. False with `*error` set when the bigfile cannot be read.
bool bListWorldFiles(const std::string& bigfile, std::vector<WorldFile>* worlds, std::string* error);

// Turns each --world value into a key: a key must name a world file, a name
// must match exactly one world file's name (exactly, else without regard to
// case). False with `*error` set for the first value that does not.
bool bResolveWorlds(const std::vector<std::string>& values, const std::vector<WorldFile>& worlds,
                    std::vector<uint32_t>* keys, std::string* error);

// `path` (relative to the current directory, or absolute) as the plug-in will
// see it from `workDir` (the current directory when empty): the shortest of
// the forms that name the same file there, so that the fixed-size fields hold
// as many paths as they can. Empty stays empty.
std::string PathFromWorkDir(const std::string& path, const std::string& workDir);

// Fills the block from the settings and the resolved world keys. False with
// `*error` naming the option when a path does not fit its field or a forced
// key does not parse. The block is left partly filled then.
bool bFillSplitParams(const SplitSettings& settings, const std::vector<uint32_t>& worldKeys,
                      ORVEX::OVI_SplitterParams* params, std::string* error);

// Runs the whole split: resolves the worlds, loads the plug-in, fills its
// block, changes into the work folder, drives the tool, prints the summary on
// `out`. Returns the exit code (usage errors 2, else the tool's status).
int RunSplit(const SplitSettings& settings, std::ostream& out, std::ostream& err);

}  // namespace HOST
