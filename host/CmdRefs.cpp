// orvex refs BIGFILE [KEY]: indexes a bigfile's references (or loads its IDX
// file when that matches the bigfile), leaves the IDX file beside a writable
// bigfile, prints the indexing statistics and, for a key, what it refers to
// and what refers to it.
#include <cstdio>
#include <iostream>
#include <memory>
#include <optional>
#include <string>

#include "BIGfile/BIG_Fat.h"
#include "BIGfile/BIG_ReferenceManager.h"
#include "host/BigTools.h"
#include "host/Command.h"
#include "host/ExitCode.h"
#include "host/RefIndexStatus.h"
#include "platform/Signals.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 4;

bool bParseKey(std::string digits, uint32_t* key) {
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X'))
        digits = digits.substr(2);
    if (digits.empty() || digits.size() > 8 ||
        digits.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
        return false;
    *key = static_cast<uint32_t>(std::stoul(digits, nullptr, 16));
    return true;
}

std::string Describe(BIG_cl_Fat& fat, uint32_t key) {
    char text[16];
    std::snprintf(text, sizeof text, "%08X", key);
    const uint32_t index = fat.ul_GetFileIndex(key, false);
    return std::string(text) + "  " +
           (index != BIG_cl_Fat::kNoFile ? fat.GetFilePath(index) : "(not in the bigfile)");
}

void PrintPairs(BIG_cl_Fat& fat, const char* title, const BIG::KeyCountVector& pairs) {
    std::cout << title << " (" << pairs.size() << "):\n";
    for (const BIG::KeyCount& pair : pairs)
        std::cout << "  " << Describe(fat, pair.ul_Key)
                  << (pair.ul_Count > 1 ? "  x" + std::to_string(pair.ul_Count) : "") << "\n";
}

int Run(const std::string& path, const std::string& keyText) {
    uint32_t key = 0;
    if (!keyText.empty() && !bParseKey(keyText, &key)) {
        std::fprintf(stderr, "orvex refs: '%s' is not a key (up to 8 hexadecimal digits)\n", keyText.c_str());
        return kExitFailure;
    }
    // The sentence and the exit code of every other command for the same damage.
    std::string error;
    HOST::Tools::OpenFailure failure = HOST::Tools::OpenFailure::eNone;
    std::unique_ptr<BIG_cl_Fat> fat = HOST::Tools::OpenBigfile(path, &error, &failure);
    if (!fat) {
        std::fprintf(stderr, "orvex refs: %s: %s\n", HOST::Tools::EscapeText(path).c_str(), error.c_str());
        return HOST::Tools::ExitCodeFor(failure);
    }
    int exitCode = kExitOk;
    {
        BIG::ReferenceManager::Options options;
        options.loadManagerBusy = [] { return false; };  // no game loads here
        BIG::ReferenceManager manager(*fat, options);
        std::optional<HOST::RefIndexStatus> status(std::in_place, manager);
        if (!manager.bStart()) {
            std::fprintf(stderr,
                         "orvex refs: the reference manager is not active (./Marlin.ini, [%s] %s=0)\n",
                         BIG::ReferenceManager::kProfileSection, BIG::ReferenceManager::kProfileKey);
            fat->File().eClose();
            return kExitFailure;
        }
        // A batch run lets the indexation finish, so that the IDX file it
        // leaves is whole; Ctrl-C stops it with no IDX file written.
        PLT::CatchInterrupts();
        const bool finished = manager.bFinish([] { return PLT::InterruptRequested(); });
        PLT::ReleaseInterrupts();
        // The status line goes before the report: both may share one terminal.
        status.reset();
        if (!finished && PLT::InterruptRequested()) {
            std::fprintf(stderr, "orvex refs: interrupted\n");
            fat->File().eClose();
            return HOST::kExitInterrupted;
        }
        const bool complete = manager.ul_GetState() == BIG::ReferenceManager::State_Complete;
        std::cout << "bigfile:          " << path << "\n";
        std::cout << "IDX file:         " << manager.GetIdxPath() << "\n";
        std::cout << "indexation:       " << (complete ? "complete" : "not complete") << "\n";
        std::cout << "files read:       " << manager.ull_GetFilesRead()
                  << (manager.ull_GetFilesRead() == 0 ? " (the IDX file matched the bigfile)" : "") << "\n";
        std::cout << "graph entries:    " << manager.GetEntryCount() << "\n";
        std::cout << "isolated files:   " << manager.GetIsolatedFiles().size() << "\n";
        std::cout << "self-referencing: " << manager.GetSelfReferencingFiles().size() << "\n";
        if (!complete)
            exitCode = kExitFailure;
        if (!keyText.empty()) {
            BIG::FileInfos infos;
            std::cout << "key:              " << Describe(*fat, key) << "\n";
            if (!manager.bGetInfos(key, &infos)) {
                std::cout << "the key is in no reference\n";
            } else {
                if (infos.ul_SelfRefs != 0)
                    std::cout << "self references:  " << infos.ul_SelfRefs << "\n";
                PrintPairs(*fat, "refers to", infos.References);
                PrintPairs(*fat, "referred to by", infos.ReferencedBy);
            }
        }
        manager.Stop();  // before the bigfile closes
    }
    fat->File().eClose();
    return exitCode;
}

HOST::Command SetupRefs(CLI::App& parent) {
    CLI::App* app =
        parent.add_subcommand("refs", "Index a bigfile's references (or load its IDX file) and show a key's");
    auto path = std::make_shared<std::string>();
    auto key = std::make_shared<std::string>();
    app->add_option("bigfile", *path, "The bigfile")->required();
    app->add_option("key", *key, "A file key (hexadecimal): its references and the files that refer to it");
    return HOST::Command{app, [path, key] { return Run(*path, *key); }};
}

const HOST::CommandRegistrar s_Refs(&SetupRefs);

}  // namespace
