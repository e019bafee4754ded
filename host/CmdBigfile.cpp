// The bigfile maintenance commands: info, ls, extract, pack, verify.
#include <cstdio>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "BIGfile/BIG_Fat.h"
#include "host/BigTools.h"
#include "host/Command.h"
#include "host/ExitCode.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 4;

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

std::unique_ptr<BIG_cl_Fat> OpenOrReport(const char* command, const std::string& path) {
    std::string error;
    auto fat = HOST::Tools::OpenBigfile(path, &error);
    if (!fat)
        std::fprintf(stderr, "orvex %s: %s\n", command, error.c_str());
    return fat;
}

HOST::Command SetupInfo(CLI::App& parent) {
    CLI::App* app = parent.add_subcommand("info", "Show a bigfile's header, segments, counts and data size");
    auto path = std::make_shared<std::string>();
    app->add_option("bigfile", *path, "The bigfile")->required();
    return HOST::Command{app, [path] {
                             auto fat = OpenOrReport("info", *path);
                             if (!fat)
                                 return kExitFailure;
                             HOST::Tools::PrintInfo(*fat, *path, std::cout);
                             fat->File().eClose();
                             return kExitOk;
                         }};
}

HOST::Command SetupLs(CLI::App& parent) {
    CLI::App* app = parent.add_subcommand("ls", "List the files of a bigfile: key, type, size, full path");
    auto path = std::make_shared<std::string>();
    auto tree = std::make_shared<bool>(false);
    auto json = std::make_shared<bool>(false);
    app->add_option("bigfile", *path, "The bigfile")->required();
    app->add_flag("--tree", *tree, "Show the directory tree");
    app->add_flag("--json", *json, "One JSON array, one object per used file entry");
    return HOST::Command{app, [path, tree, json] {
                             auto fat = OpenOrReport("ls", *path);
                             if (!fat)
                                 return kExitFailure;
                             if (*json)
                                 HOST::Tools::PrintJson(*fat, std::cout);
                             else if (*tree)
                                 HOST::Tools::PrintTree(*fat, std::cout);
                             else
                                 HOST::Tools::PrintListing(*fat, std::cout);
                             fat->File().eClose();
                             return kExitOk;
                         }};
}

HOST::Command SetupExtract(CLI::App& parent) {
    CLI::App* app = parent.add_subcommand(
        "extract", "Write a bigfile's files under their directory paths, with manifest.json for `pack`");
    auto path = std::make_shared<std::string>();
    auto outDir = std::make_shared<std::string>();
    auto keys = std::make_shared<std::vector<std::string>>();
    app->add_option("bigfile", *path, "The bigfile")->required();
    app->add_option("outdir", *outDir, "The folder to write into")->required();
    app->add_option("--key", *keys, "Only this key (hexadecimal; repeatable)");
    return HOST::Command{app, [path, outDir, keys] {
                             std::vector<uint32_t> wanted;
                             for (const std::string& k : *keys) {
                                 uint32_t key;
                                 if (!bParseKey(k, &key)) {
                                     std::fprintf(stderr, "orvex extract: \"%s\" is not a key\n", k.c_str());
                                     return HOST::kExitUsage;
                                 }
                                 wanted.push_back(key);
                             }
                             auto fat = OpenOrReport("extract", *path);
                             if (!fat)
                                 return kExitFailure;
                             HOST::Tools::ExtractResult result;
                             const bool ok = HOST::Tools::Extract(*fat, *outDir, wanted, &result);
                             fat->File().eClose();
                             for (const std::string& e : result.errors)
                                 std::fprintf(stderr, "orvex extract: %s\n", e.c_str());
                             std::printf("extracted %u files into %s", result.ul_Files, outDir->c_str());
                             if (result.ul_Renamed)
                                 std::printf(" (%u names made safe)", result.ul_Renamed);
                             std::printf("\n");
                             return ok ? kExitOk : kExitFailure;
                         }};
}

HOST::Command SetupPack(CLI::App& parent) {
    CLI::App* app = parent.add_subcommand("pack", "Build a bigfile from a folder made by `extract`");
    auto inDir = std::make_shared<std::string>();
    auto out = std::make_shared<std::string>();
    auto options = std::make_shared<HOST::Tools::PackOptions>();
    app->add_option("folder", *inDir, "The folder with manifest.json")->required();
    app->add_option("output", *out, "The bigfile to create")->required();
    app->add_option("--alignment-shift", options->i_AlignmentShift,
                    "Alignment of contents as a power of two, 3 (8 bytes) or more (default: the manifest's)");
    app->add_option("--max-segment-size", options->ul_MaxSegmentSize,
                    "Largest content of one segment file, in bytes");
    app->add_flag("--small-header", options->b_SmallHeader,
                  "Start segment contents at 2048 bytes, not 65536");
    return HOST::Command{app, [inDir, out, options] {
                             std::string error;
                             if (!HOST::Tools::Pack(*inDir, *out, *options, &error)) {
                                 std::fprintf(stderr, "orvex pack: %s\n", error.c_str());
                                 return kExitFailure;
                             }
                             std::printf("packed %s into %s\n", inDir->c_str(), out->c_str());
                             return kExitOk;
                         }};
}

HOST::Command SetupVerify(CLI::App& parent) {
    CLI::App* app =
        parent.add_subcommand("verify", "Check a bigfile's structure and every content's checksum");
    auto path = std::make_shared<std::string>();
    app->add_option("bigfile", *path, "The bigfile")->required();
    return HOST::Command{app, [path] {
                             auto fat = OpenOrReport("verify", *path);
                             if (!fat)
                                 return kExitFailure;
                             const std::vector<std::string> problems = HOST::Tools::Verify(*fat);
                             const uint32_t files = fat->ul_CountUsedFiles();
                             fat->File().eClose();
                             for (const std::string& p : problems)
                                 std::printf("%s\n", p.c_str());
                             if (problems.empty()) {
                                 std::printf("%s: %u files, all sound\n", path->c_str(), files);
                                 return kExitOk;
                             }
                             std::printf("%s: %zu problems\n", path->c_str(), problems.size());
                             return kExitFailure;
                         }};
}

const HOST::CommandRegistrar s_Info(&SetupInfo);
const HOST::CommandRegistrar s_Ls(&SetupLs);
const HOST::CommandRegistrar s_Extract(&SetupExtract);
const HOST::CommandRegistrar s_Pack(&SetupPack);
const HOST::CommandRegistrar s_Verify(&SetupVerify);

}  // namespace
