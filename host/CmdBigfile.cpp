// The bigfile maintenance commands: info, ls, extract, pack, verify.
//
// Exit codes: 0 success; 2 a usage error; 4 a failure, or a bigfile whose
// contents are damaged; 5 a bigfile whose header or tables cannot be read.
// A damaged bigfile gets one plain sentence naming the path as given.
#include <cstdio>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "BIGfile/BIG_Fat.h"
#include "host/BigTools.h"
#include "host/Command.h"
#include "host/ExitCode.h"
#include "platform/Clock.h"
#include "platform/Process.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 4;
// Problems listed one by one before they are only counted.
constexpr size_t kMaxProblemLines = 20;

// Keys on the command line: hexadecimal with or without 0x, as the listing shows them.
bool bParseKey(const std::string& text, uint32_t* key) {
    std::string digits = text;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X'))
        digits = digits.substr(2);
    if (digits.empty() || digits.size() > 8)
        return false;
    uint32_t value = 0;
    for (char c : digits) {
        int v;
        if (c >= '0' && c <= '9')
            v = c - '0';
        else if (c >= 'a' && c <= 'f')
            v = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            v = c - 'A' + 10;
        else
            return false;
        value = value << 4 | static_cast<uint32_t>(v);
    }
    *key = value;
    return true;
}

// Opens the bigfile or says in one sentence why not; `exitCode` gets 4 or 5.
std::unique_ptr<BIG_cl_Fat> OpenOrReport(const char* command, const std::string& path, int* exitCode) {
    std::string error;
    HOST::Tools::OpenFailure failure = HOST::Tools::OpenFailure::eNone;
    auto fat = HOST::Tools::OpenBigfile(path, &error, &failure);
    if (!fat) {
        std::fprintf(stderr, "orvex %s: %s: %s\n", command, HOST::Tools::EscapeText(path).c_str(),
                     error.c_str());
        *exitCode = HOST::Tools::ExitCodeFor(failure);
    }
    return fat;
}

// Problems met while listing: a few named, all counted; exit 4 when any.
int ReportProblems(const char* command, const std::string& path, const std::vector<std::string>& problems) {
    if (problems.empty())
        return kExitOk;
    for (size_t i = 0; i < problems.size() && i < kMaxProblemLines; ++i)
        std::fprintf(stderr, "orvex %s: %s\n", command, problems[i].c_str());
    if (problems.size() > kMaxProblemLines)
        std::fprintf(stderr, "orvex %s: ... and %zu more\n", command, problems.size() - kMaxProblemLines);
    std::fprintf(stderr, "orvex %s: %s is damaged: %zu problems\n", command,
                 HOST::Tools::EscapeText(path).c_str(), problems.size());
    return kExitFailure;
}

HOST::Command SetupInfo(CLI::App& parent) {
    CLI::App* app = parent.add_subcommand("info", "Show a bigfile's header, segments, counts and data size");
    auto path = std::make_shared<std::string>();
    app->add_option("bigfile", *path, "The bigfile")->required();
    return HOST::Command{app, [path] {
                             int code = kExitOk;
                             auto fat = OpenOrReport("info", *path, &code);
                             if (!fat)
                                 return code;
                             HOST::Tools::PrintInfo(*fat, *path, std::cout);
                             fat->File().eClose();
                             return kExitOk;
                         }};
}

HOST::Command SetupLs(CLI::App& parent) {
    CLI::App* app =
        parent.add_subcommand("ls", "List the files of a bigfile: key, type, size, copies, full path");
    auto path = std::make_shared<std::string>();
    auto tree = std::make_shared<bool>(false);
    auto json = std::make_shared<bool>(false);
    app->add_option("bigfile", *path, "The bigfile")->required();
    app->add_flag("--tree", *tree, "Show the directory tree");
    app->add_flag("--json", *json, "One JSON array, one object per used file entry");
    return HOST::Command{app, [path, tree, json] {
                             int code = kExitOk;
                             auto fat = OpenOrReport("ls", *path, &code);
                             if (!fat)
                                 return code;
                             std::vector<std::string> problems;
                             if (*json)
                                 problems = HOST::Tools::PrintJson(*fat, std::cout);
                             else if (*tree)
                                 problems = HOST::Tools::PrintTree(*fat, std::cout);
                             else
                                 problems = HOST::Tools::PrintListing(*fat, std::cout);
                             fat->File().eClose();
                             std::cout.flush();
                             return ReportProblems("ls", *path, problems);
                         }};
}

HOST::Command SetupExtract(CLI::App& parent) {
    CLI::App* app = parent.add_subcommand(
        "extract", "Write a bigfile's files under their directory paths, with manifest.json for `pack`");
    auto path = std::make_shared<std::string>();
    auto outDir = std::make_shared<std::string>();
    auto keys = std::make_shared<std::vector<std::string>>();
    auto noSync = std::make_shared<bool>(false);
    app->add_option("bigfile", *path, "The bigfile")->required();
    app->add_option("outdir", *outDir, "The folder to write into")->required();
    app->add_option("--key", *keys, "Only this key (hexadecimal; repeatable)");
    app->add_flag("--no-sync", *noSync, "Do not wait for the written files to reach the disk");
    return HOST::Command{app, [path, outDir, keys, noSync] {
                             HOST::Tools::ExtractOptions options;
                             options.b_Sync = !*noSync;
                             for (const std::string& k : *keys) {
                                 uint32_t key;
                                 if (!bParseKey(k, &key)) {
                                     std::fprintf(stderr, "orvex extract: \"%s\" is not a key\n", k.c_str());
                                     return HOST::kExitUsage;
                                 }
                                 options.keys.push_back(key);
                             }
                             int code = kExitOk;
                             auto fat = OpenOrReport("extract", *path, &code);
                             if (!fat)
                                 return code;
                             HOST::Tools::ExtractResult result;
                             const bool ok = HOST::Tools::ExtractWithOptions(*fat, *outDir, options, &result);
                             fat->File().eClose();
                             for (uint32_t key : result.missingKeys)
                                 std::fprintf(stderr, "orvex extract: %s has no file with key %08x\n",
                                              HOST::Tools::EscapeText(*path).c_str(), key);
                             for (const std::string& e : result.errors)
                                 std::fprintf(stderr, "orvex extract: %s\n", e.c_str());
                             if (!ok) {
                                 std::fprintf(stderr, "orvex extract: incomplete: %u files written into %s\n",
                                              result.ul_Files, HOST::Tools::EscapeText(*outDir).c_str());
                                 return kExitFailure;
                             }
                             std::printf("extracted %u files into %s", result.ul_Files,
                                         HOST::Tools::EscapeText(*outDir).c_str());
                             if (result.ul_Renamed)
                                 std::printf(
                                     " (%u names spelled differently on disk; the manifest keeps them)",
                                     result.ul_Renamed);
                             std::printf("\n");
                             return kExitOk;
                         }};
}

// A number option checked before any work: a usage error names the valid range.
bool bNumberOption(const char* name, const std::string& text, int64_t min, int64_t max, int64_t* out) {
    size_t used = 0;
    int64_t value = 0;
    try {
        value = std::stoll(text, &used, 0);
    } catch (const std::exception&) {
        used = 0;
    }
    if (used == 0 || used != text.size() || value < min || value > max) {
        std::fprintf(stderr, "orvex pack: %s %s: must be a whole number from %lld to %lld\n", name,
                     text.c_str(), static_cast<long long>(min), static_cast<long long>(max));
        return false;
    }
    *out = value;
    return true;
}

HOST::Command SetupPack(CLI::App& parent) {
    CLI::App* app = parent.add_subcommand("pack", "Build a bigfile from a folder made by `extract`");
    auto inDir = std::make_shared<std::string>();
    auto out = std::make_shared<std::string>();
    auto shift = std::make_shared<std::string>();
    auto segment = std::make_shared<std::string>();
    auto smallHeader = std::make_shared<bool>(false);
    app->add_option("folder", *inDir, "The folder with manifest.json")->required();
    app->add_option("output", *out, "The bigfile to create")->required();
    app->add_option("--alignment-shift", *shift,
                    "Alignment of contents as a power of two, 3 (8 bytes) to 16 (default: the manifest's)");
    app->add_option("--max-segment-size", *segment,
                    "Largest content of one segment file, in bytes (4096 to 3221225472)");
    app->add_flag("--small-header", *smallHeader, "Start segment contents at 2048 bytes, not 65536");
    auto reproducible = std::make_shared<bool>(false);
    app->add_flag("--reproducible", *reproducible,
                  "Byte-identical output on a re-run: the set stamp from the tables (SOURCE_DATE_EPOCH also "
                  "asks for this and dates the version XML)");
    return HOST::Command{
        app, [inDir, out, shift, segment, smallHeader, reproducible] {
            HOST::Tools::PackOptions options;
            options.b_SmallHeader = *smallHeader;
            options.b_Reproducible = *reproducible;
            uint32_t epoch = 0;
            switch (PLT::GetSourceDateEpoch(&epoch)) {
                case PLT::SourceDateEpoch::eMalformed:
                    std::fprintf(stderr, "orvex pack: %s=%s is not a time in seconds from 0 to 4294967295\n",
                                 PLT::kSourceDateEpochVariable,
                                 PLT::GetEnvironmentVariable(PLT::kSourceDateEpochVariable).c_str());
                    return HOST::kExitUsage;
                case PLT::SourceDateEpoch::eSet:
                    options.b_Reproducible = true;
                    options.o_Time = epoch;
                    break;
                case PLT::SourceDateEpoch::eUnset:
                    break;
            }
            int64_t value = 0;
            if (!shift->empty()) {
                if (!bNumberOption("--alignment-shift", *shift, HOST::Tools::kMinPackShift,
                                   HOST::Tools::kMaxPackShift, &value))
                    return HOST::kExitUsage;
                options.i_AlignmentShift = static_cast<int>(value);
            }
            if (!segment->empty()) {
                if (!bNumberOption("--max-segment-size", *segment,
                                   static_cast<int64_t>(HOST::Tools::kMinSegmentSize),
                                   static_cast<int64_t>(HOST::Tools::kMaxSegmentSize), &value))
                    return HOST::kExitUsage;
                options.ul_MaxSegmentSize = static_cast<uint32_t>(value);
            }
            std::string error;
            std::vector<std::string> warnings;
            const bool ok = HOST::Tools::Pack(*inDir, *out, options, &error, &warnings);
            for (const std::string& w : warnings)
                std::fprintf(stderr, "orvex pack: warning: %s\n", w.c_str());
            if (!ok) {
                std::fprintf(stderr, "orvex pack: %s\n", error.c_str());
                return kExitFailure;
            }
            std::printf("packed %s into %s\n", HOST::Tools::EscapeText(*inDir).c_str(),
                        HOST::Tools::EscapeText(*out).c_str());
            return kExitOk;
        }};
}

HOST::Command SetupVerify(CLI::App& parent) {
    CLI::App* app =
        parent.add_subcommand("verify", "Check a bigfile's structure and every content's checksum");
    auto path = std::make_shared<std::string>();
    app->add_option("bigfile", *path, "The bigfile")->required();
    return HOST::Command{app, [path] {
                             int code = kExitOk;
                             auto fat = OpenOrReport("verify", *path, &code);
                             if (!fat)
                                 return code;
                             HOST::Tools::VerifyStats stats;
                             const std::vector<std::string> problems = HOST::Tools::Verify(*fat, &stats);
                             fat->File().eClose();
                             for (const std::string& p : problems)
                                 std::printf("%s\n", p.c_str());
                             if (problems.empty()) {
                                 std::printf("OK: %u files, %llu bytes checked\n", stats.ul_Files,
                                             static_cast<unsigned long long>(stats.ull_Bytes));
                                 return kExitOk;
                             }
                             std::printf("%s: %zu problems\n", HOST::Tools::EscapeText(*path).c_str(),
                                         problems.size());
                             return kExitFailure;
                         }};
}

const HOST::CommandRegistrar s_Info(&SetupInfo);
const HOST::CommandRegistrar s_Ls(&SetupLs);
const HOST::CommandRegistrar s_Extract(&SetupExtract);
const HOST::CommandRegistrar s_Pack(&SetupPack);
const HOST::CommandRegistrar s_Verify(&SetupVerify);

}  // namespace
