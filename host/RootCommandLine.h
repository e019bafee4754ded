// The whole orvex command line: the root options and every registered
// command. main parses it; the man page and the shell completion are written
// from it, so that they say what --help says.
#pragma once

#include <CLI/CLI.hpp>

#include <vector>

#include "host/Command.h"

namespace HOST {

// CLI11 keeps the addresses of the members: the object stays where it was made.
struct RootCommandLine {
    RootCommandLine();
    RootCommandLine(const RootCommandLine&) = delete;
    RootCommandLine& operator=(const RootCommandLine&) = delete;

    CLI::App app{"orvex: split, inspect and build bigfiles"};
    bool b_Interactive = false;
    std::vector<Command> commands;
};

}  // namespace HOST
