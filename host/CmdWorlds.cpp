// orvex worlds BIGFILE: the world files of a bigfile with the size of what
// each one needs, measured the way the splitter measures it (reference graph
// of every file, dynamic banks expanded), so that a user can choose the
// worlds of a split.
#include <cinttypes>
#include <cstdio>
#include <memory>
#include <string>

#include "BIGfile/BIG_Fat.h"
#include "host/BigTools.h"
#include "host/CmdSplit.h"
#include "host/Command.h"
#include "host/ExitCode.h"
#include "plugin/OVI_BankRegistry.h"
#include "plugin/OVI_Big.h"
#include "orvex/OVC_Interface.h"
#include "plugin/OVI_Text.h"

namespace {

constexpr uint32_t kWorldType = 4;
constexpr const char* kWorldExtension = ".wor";

struct WorldsParams : ORVEX::OVI_BigParams {
    const OVC_Version* GetVersion() override { return &OVC_CurrentVersion; }
};

bool bEndsWith(const std::string& text, const char* end) {
    const std::string tail(end);
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// Maps the bigfile as the splitter does, with every world file as a root.
class WorldsTool : public ORVEX::OVI_Big {
public:
    const OVC_Version* GetVersion() override { return &OVC_CurrentVersion; }

    int32_t eRun() override {
        mul_FileCount = mpo_Fat != nullptr ? mpo_Fat->ul_GetFileCount() : 0;
        _ScanFiles(mul_FileCount);
        ORVEX::BankRegistry::Instance().ResolveAll();
        _BuildClosures();
        ORVEX::BankRegistry::Instance().Clear();
        return ml_Status;
    }

    bool OnFileRefs(const ORVEX::FileRefRecord& record, const uint8_t*, uint32_t) override {
        ORVEX::BankRegistry& banks = ORVEX::BankRegistry::Instance();
        switch (record.ul_Type) {
            case kWorldType:
                if (bEndsWith(record.s_Name, kWorldExtension))
                    mmap_Roots.emplace(record.ul_Key, 0);
                break;
            case kTypeDynamicBank:
                banks.ParseDynamicBankFromFat(record.ul_Key, record.ul_Index);
                break;
            case kTypeDynamicBankList:
                banks.ParseDynamicBankListFromFat(record.ul_Key, record.ul_Index);
                break;
            case kTypeElementRefList:
                banks.ParseElementReferenceListFromFat(record.ul_Key, record.ul_Index);
                break;
            default:
                break;
        }
        return false;
    }

    void PrintWorlds(std::FILE* out) const {
        std::fprintf(out, "\n\n%-10s  %-32s %10s %14s %10s\n", "key", "world", "files", "bytes", "own files");
        for (const auto& [root, unused] : mmap_Roots) {
            const auto record = mmap_Records.find(root);
            std::string name = record != mmap_Records.end() ? record->second.s_Name : std::string();
            name = name.substr(0, name.rfind('.'));
            uint32_t files = 0;
            uint32_t own = 0;
            uint64_t bytes = 0;
            const auto closure = mmap_Closures.find(root);
            if (closure != mmap_Closures.end()) {
                for (uint32_t key : closure->second) {
                    const auto r = mmap_Records.find(key);
                    if (r == mmap_Records.end() || r->second.ul_Key == 0)
                        continue;  // a key the bigfile lacks
                    ++files;
                    bytes += r->second.ul_Size;
                    own += r->second.ul_UseCount == 1 ? 1 : 0;
                }
            }
            std::fprintf(out, "0x%08" PRIX32 "  %-32s %10" PRIu32 " %14" PRIu64 " %10" PRIu32 "\n", root,
                         HOST::Tools::EscapeText(name).c_str(), files, bytes, own);
        }
        std::fprintf(out, "%zu world files; own files are needed by no other world\n", mmap_Roots.size());
    }
};

int RunWorlds(const std::string& given) {
    // The same checks and the same plain sentence as the other maintenance
    // commands, before the plug-in meets the bigfile.
    {
        std::string error;
        HOST::Tools::OpenFailure failure = HOST::Tools::OpenFailure::eNone;
        auto fat = HOST::Tools::OpenBigfile(given, &error, &failure);
        if (!fat) {
            std::fprintf(stderr, "orvex worlds: %s: %s\n", HOST::Tools::EscapeText(given).c_str(),
                         error.c_str());
            return HOST::Tools::ExitCodeFor(failure);
        }
        fat->File().eClose();
    }
    // The block's field is short: the shortest form of the path that names the file.
    const std::string bigfile = HOST::PathFromWorkDir(given, std::string());
    WorldsParams params;
    if (!ORVEX::OVI_bSetText(params.msz_BigfilePath, bigfile)) {
        std::fprintf(stderr, "orvex worlds: %s: %zu characters, the plug-in's field holds at most %zu\n",
                     bigfile.c_str(), bigfile.size(), ORVEX::OVI_TextCapacity(params.msz_BigfilePath));
        return HOST::kExitUsage;
    }
    auto tool = std::make_unique<WorldsTool>();
    int32_t status = tool->eInit(&params);
    if (status == OVC_Status_Success) {
        status = tool->eRun();
        tool->PrintWorlds(stdout);
        // A last file without data is no reason to hide the table.
        if (status == OVC_Status_NoData)
            status = OVC_Status_Success;
    }
    tool->eDeinit();
    std::fflush(stdout);
    return HOST::ExitCodeForStatus(status);
}

HOST::Command Setup(CLI::App& parent) {
    CLI::App* app = parent.add_subcommand(
        "worlds", "List the world files of a bigfile with the files and bytes each one needs");
    auto path = std::make_shared<std::string>();
    app->add_option("bigfile", *path, "The bigfile")->required();
    return HOST::Command{app, [path] { return RunWorlds(*path); }};
}

const HOST::CommandRegistrar s_Registrar(&Setup);

}  // namespace
