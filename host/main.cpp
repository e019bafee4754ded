// orvex: the command-line host of the bigfile plug-in and the bigfile tools.
#include <CLI/CLI.hpp>

#include <cstdio>

int main(int argc, char** argv) {
    CLI::App app{"orvex: split, inspect and build bigfiles"};
    app.set_version_flag("--version", "orvex 0.1.0");
    app.require_subcommand(0, 1);
    CLI11_PARSE(app, argc, argv);
    if (app.get_subcommands().empty()) {
        std::printf("%s", app.help().c_str());
    }
    return 0;
}
