// orvex demo [DIR]: generates a small sample game (orvex gen) into DIR/sample
// and splits it with reports on, the logs and reports going to DIR/work.
// Running it again replaces what an earlier demo left in DIR, and nothing else.
#include <cstdio>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "host/CmdSplit.h"
#include "host/Command.h"
#include "host/ExitCode.h"
#include "host/Gen.h"
#include "platform/File.h"
#include "orvex/OVC_Interface.h"

namespace {

constexpr const char* kDefaultFolder = "demo";
constexpr uint64_t kSeed = 7;
constexpr uint32_t kWorlds = 4;
constexpr uint32_t kFiles = 3000;
// How deep an earlier demo's folders go; deeper trees are not ours.
constexpr int kMaxDepth = 16;

// Removes `path` and everything below it.
bool bRemoveTree(const std::string& path, int depth = 0) {
    if (PLT::FileExists(path))
        return PLT::RemoveFile(path);
    if (!PLT::DirectoryExists(path))
        return true;
    if (depth > kMaxDepth)
        return false;
    std::vector<std::string> names;
    if (!PLT::ListDirectory(path, &names))
        return false;
    for (const std::string& name : names)
        if (!bRemoveTree(path + "/" + name, depth + 1))
            return false;
    return PLT::RemoveDirectory(path);
}

// Empties what an earlier demo made in `folder`: the generated sample (known
// by the files gen writes) and the work folder. False when `folder` holds a
// sample folder that gen did not make.
bool bClearEarlierDemo(const std::string& folder, std::string* error) {
    const std::string sample = folder + "/sample";
    if (PLT::DirectoryExists(sample)) {
        if (!PLT::FileExists(sample + "/" + HOST::kGenSummaryName) ||
            !PLT::FileExists(sample + "/" + HOST::kGenBigfileName)) {
            *error = sample + " exists and was not made by orvex demo; choose another folder";
            return false;
        }
        if (!bRemoveTree(sample)) {
            *error = "cannot remove the earlier sample " + sample;
            return false;
        }
    }
    const std::string work = folder + "/work";
    if (PLT::DirectoryExists(work) && !bRemoveTree(work)) {
        *error = "cannot remove the earlier work folder " + work;
        return false;
    }
    return true;
}

int RunDemo(std::string folder) {
    if (folder.empty())
        folder = kDefaultFolder;
    while (folder.size() > 1 && folder.back() == '/')
        folder.pop_back();
    std::string error;
    if (!PLT::MakeDirectories(folder)) {
        std::fprintf(stderr, "orvex demo: cannot create %s: %s\n", folder.c_str(),
                     PLT::ErrorText(PLT::LastError()).c_str());
        return HOST::ExitCodeForStatus(OVC_Status_Failure);
    }
    if (!bClearEarlierDemo(folder, &error)) {
        std::fprintf(stderr, "orvex demo: %s\n", error.c_str());
        return HOST::ExitCodeForStatus(OVC_Status_Failure);
    }

    HOST::GenOptions options;
    options.s_OutDir = folder + "/sample";
    options.ull_Seed = kSeed;
    options.ul_Worlds = kWorlds;
    options.ul_Files = kFiles;
    options.b_GmBigfile = true;
    options.b_CriticalList = true;
    HOST::GenSummary generated;
    std::printf("generating a sample game in %s\n", options.s_OutDir.c_str());
    std::fflush(stdout);
    if (!HOST::bGenerate(options, &generated, &error)) {
        std::fprintf(stderr, "orvex demo: %s\n", error.c_str());
        return HOST::ExitCodeForStatus(OVC_Status_Failure);
    }
    std::printf("%s\n", HOST::FormatGenSummary(generated).c_str());

    HOST::SplitSettings settings;
    settings.s_Bigfile = generated.s_BigfilePath;
    settings.s_DataRoot = generated.s_DataRoot;
    settings.s_GmBigfile = generated.s_GmBigfilePath;
    settings.s_CriticalList = generated.s_CriticalListPath;
    settings.s_WorkDir = folder + "/work";
    settings.forceDirs.push_back(HOST::kGenForcedDirectory);
    for (const HOST::GenWorld& world : generated.worlds)
        settings.worlds.push_back(world.s_Name);
    settings.b_Report = true;
    settings.b_Compress = true;
    settings.b_Linker = true;
    std::printf("splitting %s into a common bigfile and %zu worlds\n", settings.s_Bigfile.c_str(),
                settings.worlds.size());
    std::fflush(stdout);
    return HOST::RunSplit(settings, std::cout, std::cerr);
}

HOST::Command Setup(CLI::App& parent) {
    CLI::App* app = parent.add_subcommand(
        "demo", "Generate a small sample game into DIR (default ./demo) and split it with reports on");
    auto folder = std::make_shared<std::string>();
    app->add_option("dir", *folder, "Folder of the demo (sample/ and work/ inside it are replaced)");
    return HOST::Command{app, [folder] { return RunDemo(*folder); }};
}

const HOST::CommandRegistrar s_Registrar(&Setup);

}  // namespace
