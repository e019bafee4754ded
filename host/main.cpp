// orvex: the command-line host of the bigfile plug-in and the bigfile tools.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "ERRor/ERR_Host.h"
#include "host/Command.h"
#include "host/ExitCode.h"
#include "host/RootCommandLine.h"
#include "host/Startup.h"
#include "orvex/OVC_Interface.h"

#ifdef ORVEX_WITH_MIMALLOC
#include <mimalloc.h>

namespace {

// Every allocation of the process (the plug-in's too) goes through mimalloc,
// linked ahead of the C library, on 2 MiB pages: a split then takes a few
// thousand page faults where it took over ten thousand. Set before any
// library's start-up code allocates, so that the main thread's first segment,
// where most of the records go, is on such pages too. (Other threads start on
// small pages, mimalloc's default, which keeps their small heaps small.)
void UseLargePages(int, char**, char**) {
    mi_option_set_enabled(mi_option_large_os_pages, true);
}
[[gnu::section(".preinit_array"), gnu::used]] void (*const kUseLargePages)(int, char**,
                                                                           char**) = &UseLargePages;

}  // namespace
#endif

int main(int argc, char** argv) {
    HOST::RootCommandLine line;
    CLI::App& app = line.app;

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int code = app.exit(e);
        if (code == 0)
            return 0;
        std::fputs(HOST::DidYouMean(app, std::vector<std::string>(argv + 1, argv + argc)).c_str(), stderr);
        return HOST::kExitUsage;
    }

    HOST::SetUpTerminal(line.b_Interactive);

    for (const HOST::Command& command : line.commands) {
        if (!command.app->parsed())
            continue;
        try {
            const int code = command.run();
            ERR_ShowRepeatedAssertions();
            return code;
        } catch (const std::exception& e) {
            std::fflush(stdout);
            std::fprintf(stderr, "orvex %s: %s\n", command.app->get_name().c_str(), e.what());
            return HOST::ExitCodeForStatus(OVC_Status_Failure);
        }
    }
    std::printf("%s", app.help().c_str());
    return 0;
}
