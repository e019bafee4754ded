// The man page and the bash completion of orvex, written from the command
// line itself (every command, option, value name and help text as --help shows
// them) and from the split option table (the settings-file keys). The build
// writes them with orvex_docs; they are installed beside the binary.
#pragma once

#include <iosfwd>
#include <string>

namespace CLI {
class App;
}

namespace HOST {

// orvex.1 in man(7) format. `version` goes into the title line.
void WriteManPage(const CLI::App& root, const std::string& version, std::ostream& out);

// A bash script that defines the completion function and registers it for
// "orvex": commands after "orvex", options after "-", folders after options
// whose value is a DIR, file names after other options that take a value and
// for positional arguments.
void WriteBashCompletion(const CLI::App& root, std::ostream& out);

}  // namespace HOST
