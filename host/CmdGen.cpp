// orvex gen OUTDIR: generates seeded synthetic game data (host/Gen.h) and
// prints its summary.
#include <cstdio>
#include <memory>
#include <string>

#include "host/Command.h"
#include "host/ExitCode.h"
#include "host/Gen.h"
#include "platform/Terminal.h"
#include "orvex/OVC_Interface.h"

namespace {

struct GenArgs {
    HOST::GenOptions options;
    bool quiet = false;
};

int RunGen(const GenArgs& args) {
    HOST::GenOptions options = args.options;
    if (!args.quiet) {
        // In steps of 5 %: a line each where standard error is not a terminal.
        auto shown = std::make_shared<int>(-1);
        options.progress = [shown](uint32_t done, uint32_t total) {
            const int step = static_cast<int>(uint64_t{done} * 20 / total);
            if (step == *shown)
                return;
            *shown = step;
            PLT::SetStatusLine("gen: " + std::to_string(step * 5) + "% of " + std::to_string(total) +
                               " files");
        };
    }
    HOST::GenSummary summary;
    std::string error;
    const bool ok = HOST::bGenerate(options, &summary, &error);
    if (!args.quiet)
        PLT::SetStatusLine("");
    if (!ok) {
        std::fflush(stdout);
        std::fprintf(stderr, "orvex gen: %s\n", error.c_str());
        return HOST::ExitCodeForStatus(OVC_Status_Failure);
    }
    if (!args.quiet) {
        if (summary.ul_Files != options.ul_Files)
            std::printf("(%u files asked; %u is the least that holds every kind for %u world(s))\n",
                        options.ul_Files, summary.ul_Files, options.ul_Worlds);
        std::printf("output folder %s\n%s", options.s_OutDir.c_str(),
                    HOST::FormatGenSummary(summary).c_str());
        std::fflush(stdout);
    }
    return HOST::ExitCodeForStatus(OVC_Status_Success);
}

HOST::Command Setup(CLI::App& parent) {
    CLI::App* app = parent.add_subcommand(
        "gen",
        "Generate a seeded synthetic game bigfile, its data root with sound packages, and optionally a "
        "gmbigfile and a critical list");
    auto args = std::make_shared<GenArgs>();
    HOST::GenOptions& o = args->options;
    app->add_option("outdir", o.s_OutDir, "Output folder (created; must be empty)")->required();
    app->add_option("--seed", o.ull_Seed, "Seed: the same seed gives the same bytes")->capture_default_str();
    app->add_option("--worlds", o.ul_Worlds, "Number of worlds")
        ->check(CLI::Range(1u, HOST::kGenMaxWorlds))
        ->capture_default_str();
    app->add_option("--files", o.ul_Files, "Number of files of the bigfile")
        ->check(CLI::Range(0u, HOST::kGenMaxFiles))
        ->capture_default_str();
    app->add_option("--size-scale", o.d_SizeScale, "Multiplies the content sizes")
        ->check(CLI::Range(0.001, HOST::kGenMaxSizeScale))
        ->capture_default_str();
    app->add_flag("--gm-bigfile", o.b_GmBigfile, "Also write gm.big, a second bigfile whose keys overlap");
    app->add_flag("--critical-list", o.b_CriticalList, "Also write critical.txt, a critical list");
    app->add_flag("--quiet", args->quiet, "Print nothing but errors");
    return HOST::Command{app, [args] { return RunGen(*args); }};
}

const HOST::CommandRegistrar s_Registrar(&Setup);

}  // namespace
