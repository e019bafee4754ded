// Subcommands of orvex. Each lives in its own Cmd*.cpp and registers itself
// with a file-scope HOST::CommandRegistrar; main adds every registered command
// to the command line and runs the one that was chosen.
#pragma once

#include <CLI/CLI.hpp>

#include <functional>
#include <string>
#include <string_view>
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

// The name of `names` that `typed` most likely misspells (at most two letters
// added, dropped, changed or swapped, and no more than a third of what was
// typed); empty when none is that close or `typed` is one of them.
std::string ClosestName(std::string_view typed, const std::vector<std::string>& names);

// For a command line that did not parse: one line per mistyped command or
// option of `args` (argv without the program), "did you mean" its closest
// name; empty when there is nothing to suggest.
std::string DidYouMean(const CLI::App& root, const std::vector<std::string>& args);

}  // namespace HOST
