#include "host/Command.h"

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

}  // namespace HOST
