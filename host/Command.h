// Subcommands of orvex. Each lives in its own Cmd*.cpp and registers itself
// with a file-scope HOST::CommandRegistrar; main adds every registered command
// to the command line and runs the one that was chosen.
#pragma once

#include <CLI/CLI.hpp>

#include <functional>
#include <vector>

namespace HOST {

struct Command {
    CLI::App* app = nullptr;   // the subcommand's node, made by the setup
    std::function<int()> run;  // runs it once parsed; returns the exit code
};

// Adds the subcommand to `parent` with its options and returns it.
using CommandSetup = Command (*)(CLI::App& parent);

class CommandRegistrar {
public:
    explicit CommandRegistrar(CommandSetup setup);
};

// Every registered setup, in registration order.
const std::vector<CommandSetup>& RegisteredCommands();

}  // namespace HOST
