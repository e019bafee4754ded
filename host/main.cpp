// orvex: the command-line host of the bigfile plug-in and the bigfile tools.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <exception>
#include <vector>

#include "host/Command.h"
#include "host/ExitCode.h"
#include "host/Startup.h"
#include "plugin/OVC_Interface.h"

int main(int argc, char** argv) {
    CLI::App app{"orvex: split, inspect and build bigfiles"};
    app.set_version_flag("--version", "orvex " ORVEX_VERSION);
    bool interactive = false;
    app.add_flag("--interactive", interactive,
                 "Ask on the terminal when an assertion or message box needs an answer (default: answer "
                 "automatically)");
    app.require_subcommand(0, 1);

    std::vector<HOST::Command> commands;
    for (HOST::CommandSetup setup : HOST::RegisteredCommands())
        commands.push_back(setup(app));

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int code = app.exit(e);
        return code == 0 ? 0 : HOST::kExitUsage;
    }

    HOST::SetUpTerminal(interactive);

    for (const HOST::Command& command : commands) {
        if (!command.app->parsed())
            continue;
        try {
            return command.run();
        } catch (const std::exception& e) {
            std::fflush(stdout);
            std::fprintf(stderr, "orvex %s: %s\n", command.app->get_name().c_str(), e.what());
            return HOST::ExitCodeForStatus(OVC_Status_Failure);
        }
    }
    std::printf("%s", app.help().c_str());
    return 0;
}
