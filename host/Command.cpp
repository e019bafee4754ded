#include "host/Command.h"

#include <algorithm>

namespace HOST {
namespace {

// Function-local so that registrars in other files may run first.
std::vector<CommandSetup>& Registry() {
    static std::vector<CommandSetup> s_Setups;
    return s_Setups;
}

}  // namespace

CommandRegistrar::CommandRegistrar(CommandSetup setup) {
    Registry().push_back(setup);
}

const std::vector<CommandSetup>& RegisteredCommands() {
    return Registry();
}

namespace {

// Letters added, dropped, changed or swapped side by side (each counts 1).
size_t EditDistance(std::string_view a, std::string_view b) {
    std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
    for (size_t i = 0; i <= a.size(); ++i)
        d[i][0] = i;
    for (size_t j = 0; j <= b.size(); ++j)
        d[0][j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        for (size_t j = 1; j <= b.size(); ++j) {
            const size_t change = a[i - 1] == b[j - 1] ? 0 : 1;
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + change});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    }
    return d[a.size()][b.size()];
}

// The long names of `app`'s options, with their dashes; a hidden option
// (one the command refuses) is never suggested.
void AddOptionNames(const CLI::App& app, std::vector<std::string>* names) {
    for (const CLI::Option* option : app.get_options()) {
        if (option->get_group().empty())
            continue;
        for (const std::string& name : option->get_lnames())
            names->push_back("--" + name);
    }
}

}  // namespace

std::string ClosestName(std::string_view typed, const std::vector<std::string>& names) {
    // Longer than any name worth suggesting: no quadratic work on a hostile argument.
    constexpr size_t kLongest = 256;
    if (typed.empty() || typed.size() > kLongest)
        return std::string();
    std::string best;
    size_t bestDistance = 3;
    for (const std::string& name : names) {
        if (name == typed)
            return std::string();
        if (name.size() > kLongest)
            continue;
        const size_t distance = EditDistance(typed, name);
        if (distance < bestDistance && distance * 3 <= typed.size()) {
            best = name;
            bestDistance = distance;
        }
    }
    return best;
}

std::string DidYouMean(const CLI::App& root, const std::vector<std::string>& args) {
    std::string lines;
    const CLI::App* command = nullptr;
    for (const std::string& arg : args) {
        if (arg == "--")
            break;
        if (arg.rfind("--", 0) == 0) {
            const std::string name = arg.substr(0, arg.find('='));
            const CLI::App& app = command != nullptr ? *command : root;
            if (app.get_option_no_throw(name) != nullptr || root.get_option_no_throw(name) != nullptr)
                continue;
            std::vector<std::string> names;
            AddOptionNames(app, &names);
            if (command != nullptr)
                AddOptionNames(root, &names);
            const std::string closest = ClosestName(name, names);
            if (!closest.empty())
                lines += "orvex" + (command != nullptr ? " " + command->get_name() : std::string()) +
                         ": unknown option " + name + "; did you mean " + closest + "?\n";
            continue;
        }
        if (command != nullptr || arg.rfind('-', 0) == 0)
            continue;
        // The first word that is not an option names the command.
        std::vector<std::string> names;
        for (const CLI::App* sub : root.get_subcommands([](const CLI::App*) { return true; })) {
            if (sub->get_name() == arg) {
                command = sub;
                break;
            }
            names.push_back(sub->get_name());
        }
        if (command != nullptr)
            continue;
        const std::string closest = ClosestName(arg, names);
        if (!closest.empty())
            lines += "orvex: unknown command " + arg + "; did you mean " + closest + "?\n";
        break;
    }
    return lines;
}

}  // namespace HOST
