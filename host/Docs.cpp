#include "host/Docs.h"

#include <CLI/CLI.hpp>

#include <ostream>
#include <vector>

#include "host/SplitOptions.h"

namespace HOST {
namespace {

std::vector<const CLI::App*> Commands(const CLI::App& root) {
    return root.get_subcommands([](const CLI::App* app) { return !app->get_name().empty(); });
}

std::vector<const CLI::Option*> Visible(const CLI::App& app) {
    return app.get_options([](const CLI::Option* option) { return !option->get_group().empty(); });
}

bool bTakesValue(const CLI::Option& option) {
    return option.get_items_expected_max() > 0;
}

// Text as roff prints it: backslashes and hyphens escaped, no line taken for a request.
std::string Roff(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\\')
            out += "\\e";
        else if (c == '-')
            out += "\\-";
        else
            out += c;
    }
    if (!out.empty() && (out[0] == '.' || out[0] == '\''))
        out.insert(0, "\\&");
    return out;
}

void ManOption(const CLI::Option& option, std::ostream& out) {
    out << ".TP\n";
    if (option.get_positional() && !option.nonpositional()) {
        out << "\\fI" << Roff(option.get_name(true)) << "\\fR";
    } else {
        out << "\\fB" << Roff(option.get_name(false, true)) << "\\fR";
        if (bTakesValue(option))
            out << " \\fI" << Roff(option.get_type_name()) << "\\fR";
        // As --help marks an option that may be given again.
        if (option.get_items_expected_max() > 1)
            out << " ...";
    }
    out << "\n" << Roff(option.get_description()) << "\n";
}

const char* TomlType(SplitValue value) {
    switch (value) {
        case SplitValue::Flag:
            return "true or false";
        case SplitValue::Number:
            return "integer, 0 to 65535";
        case SplitValue::Keys:
            return "array of keys (integers or texts) and names";
        case SplitValue::Texts:
            return "array of strings";
        default:
            return "string";
    }
}

std::string Words(const std::vector<std::string>& words) {
    std::string out;
    for (const std::string& word : words)
        out += (out.empty() ? "" : " ") + word;
    return out;
}

// The bash case pattern "--a|--b" of the given options; empty for none.
std::string Pattern(const std::vector<const CLI::Option*>& options) {
    std::string out;
    for (const CLI::Option* option : options)
        for (const std::string& name : option->get_lnames())
            out += (out.empty() ? "--" : "|--") + name;
    return out;
}

void CompleteCommand(const std::string& pattern, const CLI::App& app, std::ostream& out) {
    std::vector<std::string> names;
    std::vector<const CLI::Option*> folders;
    std::vector<const CLI::Option*> files;
    std::vector<const CLI::Option*> values;
    for (const CLI::Option* option : Visible(app)) {
        if (!option->nonpositional())
            continue;
        for (const std::string& name : option->get_snames())
            names.push_back("-" + name);
        for (const std::string& name : option->get_lnames())
            names.push_back("--" + name);
        if (!bTakesValue(*option))
            continue;
        const std::string type = option->get_type_name();
        if (type == "DIR")
            folders.push_back(option);
        else if (type == "FILE" || type == "TEXT")
            files.push_back(option);
        else
            values.push_back(option);
    }
    out << "        " << pattern << ")\n";
    out << "            opts=\"" << Words(names) << "\"\n";
    out << "            case $prev in\n";
    if (!folders.empty())
        out << "                " << Pattern(folders)
            << ") COMPREPLY=($(compgen -d -- \"$cur\")); return ;;\n";
    if (!files.empty())
        out << "                " << Pattern(files) << ") COMPREPLY=($(compgen -f -- \"$cur\")); return ;;\n";
    if (!values.empty())
        out << "                " << Pattern(values) << ") return ;;\n";
    out << "            esac\n";
    out << "            ;;\n";
}

}  // namespace

void WriteManPage(const CLI::App& root, const std::string& version, std::ostream& out) {
    std::string summary = root.get_description();
    if (summary.rfind("orvex: ", 0) == 0)
        summary = summary.substr(7);
    out << ".\\\" Written by orvex_docs from orvex's command line; edit the options, not this file.\n";
    out << ".TH ORVEX 1 \"\" \"orvex " << Roff(version) << "\" \"User Commands\"\n";
    out << ".SH NAME\norvex \\- " << Roff(summary) << "\n";
    out << ".SH SYNOPSIS\n.B orvex\n[\\fIOPTIONS\\fR] \\fICOMMAND\\fR [\\fIARGUMENTS\\fR]\n";
    out << ".SH DESCRIPTION\n"
           "orvex drives the bigfile plug-in liborvexbig.so as a host does, and inspects, checks and "
           "builds bigfiles with the bigfile library. Each command has its own options; "
           "\\fBorvex\\fR \\fICOMMAND\\fR \\fB\\-\\-help\\fR prints them.\n";
    out << ".SH OPTIONS\n";
    for (const CLI::Option* option : Visible(root))
        ManOption(*option, out);
    out << ".SH COMMANDS\n";
    for (const CLI::App* command : Commands(root)) {
        std::string synopsis = "orvex " + command->get_name() + " [OPTIONS]";
        for (const CLI::Option* option : Visible(*command))
            if (!option->nonpositional())
                synopsis += option->get_required() ? " " + option->get_name(true)
                                                   : " [" + option->get_name(true) + "]";
        out << ".SS \"" << Roff(synopsis) << "\"\n" << Roff(command->get_description()) << "\n";
        // Every command has --help; the OPTIONS section says so once.
        for (const CLI::Option* option : Visible(*command))
            if (option->get_name() != "--help")
                ManOption(*option, out);
    }
    out << ".SH \"SPLIT SETTINGS FILE\"\n"
           "\\fBorvex split \\-\\-config\\fR \\fIFILE\\fR reads a TOML file whose keys are the options' "
           "names without the leading dashes; a setting given on the command line wins over the "
           "file's, and a list given on the command line replaces the file's. An unknown key is an "
           "error. The keys:\n";
    for (const SplitOption& option : SplitOptions())
        out << ".TP\n\\fB" << Roff(std::string(option.Key())) << "\\fR (" << TomlType(option.e_Value) << ")\n"
            << Roff(option.s_Help) << "\n";
    out << ".SH ENVIRONMENT\n"
           ".TP\n\\fBORVEX_PLUGIN\\fR\nThe plug-in to load, unless \\fB\\-\\-plugin\\fR names one.\n"
           ".TP\n\\fBMARLIN_DEBUG_OUTPUT\\fR\nWhen 1, the debugger output lines go to standard error.\n"
           ".TP\n\\fBMARLIN_REGISTRY\\fR\nThe per-user settings file (default "
           "$XDG_CONFIG_HOME/marlin/registry.ini).\n"
           ".TP\n\\fBTARN_TARGETS\\fR\nRemote targets as \\fIname\\fR=\\fIdir\\fR[,...], the first "
           "being the default.\n";
    out << ".SH FILES\n"
           ".TP\n\\fI../lib/liborvexbig.so\\fR\nThe plug-in, found beside the executable's folder.\n";
    out << ".SH \"EXIT STATUS\"\n"
           "0 success; 1 wrong interface version; 2 the command line could not be understood; "
           "3 a file without data; 4 failure; 5 the bigfile's tables could not be read; "
           "130 interrupted.\n";
}

void WriteBashCompletion(const CLI::App& root, std::ostream& out) {
    std::vector<std::string> commands;
    for (const CLI::App* command : Commands(root))
        commands.push_back(command->get_name());
    out << "# bash completion for orvex. Written by orvex_docs from orvex's command line.\n"
           "_orvex() {\n"
           "    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}\n"
           "    local command='' opts='' i\n"
           "    for ((i = 1; i < COMP_CWORD; i++)); do\n"
           "        case ${COMP_WORDS[i]} in\n"
           "            -*) ;;\n"
           "            *) command=${COMP_WORDS[i]}; break ;;\n"
           "        esac\n"
           "    done\n"
           "    COMPREPLY=()\n"
           "    case $command in\n";
    CompleteCommand("''", root, out);
    for (const CLI::App* command : Commands(root))
        CompleteCommand(command->get_name(), *command, out);
    out << "        *) return ;;\n"
           "    esac\n"
           "    if [[ $cur == -* ]]; then\n"
           "        COMPREPLY=($(compgen -W \"$opts\" -- \"$cur\"))\n"
           "    elif [[ -z $command ]]; then\n"
           "        COMPREPLY=($(compgen -W \""
        << Words(commands)
        << "\" -- \"$cur\"))\n"
           "    else\n"
           "        COMPREPLY=($(compgen -f -- \"$cur\"))\n"
           "    fi\n"
           "}\n"
           "complete -o filenames -F _orvex orvex\n";
}

}  // namespace HOST
