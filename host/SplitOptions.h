// The split options, written once.
//
// One table (ORVEX_SPLIT_OPTIONS) names every setting of a split: its command-line
// name, the settings-file key (the name without "--"), the help text, what its
// value is, where it is kept in SplitSettings and which field of the parameter
// block it fills. The command line, the settings file, the block fill, the man
// page and the shell completion all walk that table (SplitOptions() at run
// time), so a new option is one row.
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
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "orvex/OVC_Interface.h"

namespace CLI {
class App;
class Option;
}  // namespace CLI

namespace HOST {

// What an option's value is: its C++ type, its type in the settings file,
// what the shell completes, and the value's name in the man page.
enum class SplitValue : uint8_t {
    Flag,    // bool; no value on the command line, true or false in the file
    Number,  // uint16_t: an integer from 0 to 65535
    File,    // the path of a file
    Folder,  // the path of a folder
    Text,    // any other text
    Keys,    // repeatable: keys (0x... or decimal) or names; integers in the file are keys
    Texts,   // repeatable: texts
};

template <SplitValue>
struct SplitType {
    using Type = std::string;
};
template <>
struct SplitType<SplitValue::Flag> {
    using Type = bool;
};
template <>
struct SplitType<SplitValue::Number> {
    using Type = uint16_t;
};
template <>
struct SplitType<SplitValue::Keys> {
    using Type = std::vector<std::string>;
};
template <>
struct SplitType<SplitValue::Texts> {
    using Type = std::vector<std::string>;
};

using SplitParams = ORVEX::OVI_SplitterParams;
// The block field of a setting that only the host uses.
inline constexpr std::monostate kHostOnly{};

// The split options, in the order of the help text; one row each:
//   X(VALUE, MEMBER, NAME, BLOCK FIELD, INITIAL, HELP)
// VALUE is a SplitValue; MEMBER the SplitSettings field that keeps it; NAME
// the command-line name ("--x", or without dashes the positional argument),
// which without its dashes is also the settings-file key; BLOCK FIELD the
// parameter block field it fills, or kHostOnly; INITIAL its value when
// neither the command line nor the file gives it; HELP the text of --help and
// of the man page. The worlds are host-only here: the block gets their keys
// once the names are resolved.
#define ORVEX_SPLIT_OPTIONS(X)                                                                             \
    X(File, s_Bigfile, "bigfile", &SplitParams::msz_BigfilePath, {}, "The game bigfile to split")          \
    X(Folder, s_DataRoot, "--data-root", &SplitParams::msz_DataRoot, {},                                   \
      "Game data root; outputs go to DIR/DLC/NAME/NAME.big")                                               \
    X(Keys, worlds, "--world", kHostOnly, {}, "World to split: key (0x... or decimal) or world file name") \
    X(Keys, forceKeys, "--force-key", &SplitParams::mmap_ForcedKeys, {},                                   \
      "Key forced into the common bigfile")                                                                \
    X(Texts, forceDirs, "--force-dir", &SplitParams::mmap_ForcedDirs, {},                                  \
      "FAT directory whose files are forced into the common bigfile")                                      \
    X(Texts, removes, "--remove", &SplitParams::mmap_RemCriteria, {},                                      \
      "Name fragment: files whose name holds it are placed nowhere")                                       \
    X(File, s_GmBigfile, "--gm-bigfile", &SplitParams::msz_GmBigfilePath, {},                              \
      "Bigfile whose keys stay out of the world outputs")                                                  \
    X(File, s_AILibrary, "--ai-library", &SplitParams::msz_AILibraryPath, {},                              \
      "The game's AI library (object lists)")                                                              \
    X(File, s_RefsCache, "--refs-cache", &SplitParams::msz_RefsCachePath, {},                              \
      "Read this refs.bin instead of scanning the bigfile")                                                \
    X(Flag, b_WriteRefsCache, "--write-refs-cache", &SplitParams::mb_WriteRefsCache, false,                \
      "Write refs.bin in the work folder")                                                                 \
    X(File, s_CriticalList, "--critical-list", &SplitParams::msz_CriticalListPath, {},                     \
      "Text file of keys that must be placed")                                                             \
    X(File, s_Replacement, "--replacement", &SplitParams::msz_ReplacementPath, {},                         \
      "File the replacement content passes through")                                                       \
    X(Flag, b_Replace, "--replace", &SplitParams::mb_Replace, false,                                       \
      "Every txd file of the outputs gets the replacement content")                                        \
    X(Flag, b_Single, "--single", &SplitParams::mb_Single, false, "One output bigfile, \"dlc\"")           \
    X(Flag, b_Dlc, "--dlc", &SplitParams::mb_Dlc, false, "Single output with the DLC rules")               \
    X(Flag, b_NoCopy, "--no-copy", &SplitParams::mb_NoCopy, false,                                         \
      "Write no output bigfile and copy no sound package")                                                 \
    X(Flag, b_Linker, "--linker", &SplitParams::mb_Linker, false, "Enter link files into linker_pc.map")   \
    X(Number, uw_PackageId, "--package-id", &SplitParams::muw_PackageId, 0xFFFF,                           \
      "Package id of every output (0-65535)")                                                              \
    X(Number, uw_PackageWord, "--package-word", &SplitParams::muw_PackageWord, 0,                          \
      "Package word of every output (0-65535)")                                                            \
    X(Flag, b_SmallHeader, "--small-header", &SplitParams::mb_SmallHeader, false,                          \
      "Output containers with the small segment header")                                                   \
    X(Flag, b_KeysOnly, "--keys-only", &SplitParams::mb_KeysOnly, false,                                   \
      "Forced keys and directories without what they refer to")                                            \
    X(Flag, b_Compress, "--compress", &SplitParams::mb_Compress, false,                                    \
      "Also write NAME.big.gz beside every output")                                                        \
    X(Flag, b_Report, "--report", &SplitParams::mb_ReportMissing, false,                                   \
      "Write the logs and reports, and report missing files")                                              \
    X(Number, uw_DirCountBase, "--dir-count-base", &SplitParams::muw_DirCountBase,                         \
      SplitParams::kDefaultDirCountBase, "Directory table size base of the outputs")                       \
    X(Folder, s_WorkDir, "--work-dir", kHostOnly, {},                                                      \
      "Folder of refs.bin, logs and reports (default: here)")                                              \
    X(File, s_Plugin, "--plugin", kHostOnly, {},                                                           \
      "The plug-in to load (default: as `orvex plugin` finds it)")                                         \
    X(File, s_SummaryJson, "--summary-json", kHostOnly, {},                                                \
      "Also write the run's JSON summary to this file (with --report also split-summary.json in the work " \
      "folder)")                                                                                           \
    X(Flag, b_Reproducible, "--reproducible", kHostOnly, false,                                            \
      "Byte-identical outputs on a re-run: set stamps from the tables, gzip times from the source "        \
      "bigfile (or SOURCE_DATE_EPOCH, which also asks for this)")                                          \
    X(Flag, b_NoWait, "--no-wait", kHostOnly, false,                                                       \
      "Fail at once when another split is writing into the data root's DLC folder")                        \
    X(Flag, b_Quiet, "--quiet", kHostOnly, false, "Print only errors and the summary")                     \
    X(Flag, b_Verbose, "--verbose", kHostOnly, false, "Also print the plug-in's info lines")

// Every setting of a split, one member per row of ORVEX_SPLIT_OPTIONS.
struct SplitSettings {
#define ORVEX_SPLIT_MEMBER(VALUE, MEMBER, NAME, FIELD, INITIAL, HELP) \
    SplitType<SplitValue::VALUE>::Type MEMBER = INITIAL;
    ORVEX_SPLIT_OPTIONS(ORVEX_SPLIT_MEMBER)
#undef ORVEX_SPLIT_MEMBER
};

// Where a setting is kept; the alternative follows from its SplitValue.
using SplitField = std::variant<std::string SplitSettings::*, bool SplitSettings::*,
                                uint16_t SplitSettings::*, std::vector<std::string> SplitSettings::*>;

// Where a setting goes in the parameter block. A text field gets the path as
// seen from the work folder; a key map the parsed keys; a text map the texts
// numbered in the order given.
using SplitTarget = std::variant<std::monostate, char (SplitParams::*)[SplitParams::kPathSize],
                                 char (SplitParams::*)[SplitParams::kGmPathSize], bool SplitParams::*,
                                 uint16_t SplitParams::*, std::map<uint32_t, uint32_t> SplitParams::*,
                                 std::map<uint32_t, std::string> SplitParams::*>;

struct SplitOption {
    const char* s_Name;  // "--data-root"; a name without dashes is the positional argument
    SplitValue e_Value;
    SplitField field;
    SplitTarget target;
    const char* s_Help;

    bool bPositional() const { return s_Name[0] != '-'; }
    // Its key in the settings file: the name without "--".
    std::string_view Key() const;
    // How messages name it: "--data-root", or "BIGFILE" for the positional.
    std::string Label() const;
};

// Every split option, in the order of the help text.
std::span<const SplitOption> SplitOptions();
// The value's name in --help and the man page ("FILE", "DIR", "KEY", "TEXT");
// null where the command line's own name is kept (flags, numbers). The shell
// completion offers folders for "DIR" and file names for "FILE" and "TEXT".
const char* SplitValueName(SplitValue value);
// The option of a settings-file key; null for an unknown key.
const SplitOption* FindSplitOption(std::string_view key);

// Reads a TOML settings file into `settings` (only the keys it has). False
// with `*error` set on a syntax error, an unknown key or a value of the wrong
// type or range.
bool bLoadSplitConfig(const std::string& path, SplitSettings* settings, std::string* error);

// A key as the options take it: "0x" and hexadecimal digits, or decimal
// digits, within 32 bits. False for anything else.
bool bParseKey(const std::string& text, uint32_t* key);

// `path` (relative to the current directory, or absolute) as the plug-in will
// see it from `workDir` (the current directory when empty): the shortest of
// the forms that name the same file there, so that the fixed-size fields hold
// as many paths as they can. Empty stays empty.
std::string PathFromWorkDir(const std::string& path, const std::string& workDir);

// Each path of the block that is not spelled as the user gave it: (as in the
// block, as given), so that messages can show what the user typed.
std::vector<std::pair<std::string, std::string>> BlockPathsAsGiven(const SplitSettings& settings);

// Fills the block from the settings and the resolved world keys. False with
// `*error` naming the option when a path does not fit its field or a forced
// key does not parse. The block is left partly filled then.
bool bFillSplitParams(const SplitSettings& settings, const std::vector<uint32_t>& worldKeys,
                      SplitParams* params, std::string* error);

// The split options on one command: every row of the table, then --config.
// Any command that takes the split options declares them through this. CLI11
// keeps the addresses of the members, so the object stays where it was made
// until the command line has been parsed and read back.
//
// `refused` names the options that only shape what a split writes, for a
// command that writes none: they are left out of its help, and bSettings
// refuses them when the command line gives them, so that the user never
// believes one was honoured. A --config file may still hold them (it is the
// split's own settings file); they keep their initial values then.
class SplitCommandLine {
public:
    explicit SplitCommandLine(CLI::App* app, std::span<const std::string_view> refused = {});
    SplitCommandLine(const SplitCommandLine&) = delete;
    SplitCommandLine& operator=(const SplitCommandLine&) = delete;

    // Once parsed: the --config file's settings with every option given on the
    // command line on top. False with `*error` set when the file cannot be read
    // or the command line gives a refused option.
    bool bSettings(SplitSettings* settings, std::string* error) const;

private:
    CLI::App* mp_App;
    SplitSettings m_Given;
    std::string ms_Config;
    std::vector<std::pair<CLI::Option*, const SplitOption*>> m_Options;
    std::vector<std::pair<CLI::Option*, const SplitOption*>> m_Refused;
};

}  // namespace HOST
