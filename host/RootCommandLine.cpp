#include "host/RootCommandLine.h"

namespace HOST {

RootCommandLine::RootCommandLine() {
    app.set_version_flag("--version", "orvex " ORVEX_VERSION);
    app.add_flag("--interactive", b_Interactive,
                 "Ask on the terminal when an assertion or message box needs an answer (default: answer "
                 "automatically)");
    app.require_subcommand(0, 1);
    for (CommandSetup setup : RegisteredCommands())
        commands.push_back(setup(app));
}

}  // namespace HOST
