#include "host/SplitOptions.h"

#include <CLI/CLI.hpp>
#include <toml++/toml.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>

#include "host/Command.h"
#include "platform/File.h"
#include "plugin/OVI_Text.h"

namespace HOST {
namespace {

namespace fs = std::filesystem;

using S = SplitSettings;
using P = SplitParams;
using V = SplitValue;

constexpr SplitOption kSplitOptions[] = {
#define ORVEX_SPLIT_ROW(VALUE, MEMBER, NAME, FIELD, INITIAL, HELP) {NAME, V::VALUE, &S::MEMBER, FIELD, HELP},
    ORVEX_SPLIT_OPTIONS(ORVEX_SPLIT_ROW)
#undef ORVEX_SPLIT_ROW
};

// A row whose block field does not take its kind of value fails to compile.
constexpr bool bTargetTakes(SplitValue value, const SplitTarget& target) {
    if (std::holds_alternative<std::monostate>(target))
        return true;
    switch (value) {
        case V::Flag:
            return std::holds_alternative<bool P::*>(target);
        case V::Number:
            return std::holds_alternative<uint16_t P::*>(target);
        case V::File:
        case V::Folder:
        case V::Text:
            return std::holds_alternative<char(P::*)[P::kPathSize]>(target) ||
                   std::holds_alternative<char(P::*)[P::kGmPathSize]>(target);
        case V::Keys:
            return std::holds_alternative<std::map<uint32_t, uint32_t> P::*>(target);
        case V::Texts:
            return std::holds_alternative<std::map<uint32_t, std::string> P::*>(target);
    }
    return false;
}

// Two rows with one name would make the settings file ambiguous.
constexpr bool bTableIsSound() {
    for (size_t i = 0; i < std::size(kSplitOptions); ++i) {
        if (!bTargetTakes(kSplitOptions[i].e_Value, kSplitOptions[i].target))
            return false;
        for (size_t j = 0; j < i; ++j)
            if (std::string_view(kSplitOptions[i].s_Name) == kSplitOptions[j].s_Name)
                return false;
    }
    return true;
}
static_assert(bTableIsSound(), "a split option's block field does not take its value, or a name is repeated");

template <class... F>
struct Overload : F... {
    using F::operator()...;
};
template <class... F>
Overload(F...) -> Overload<F...>;

std::string Hex(uint32_t key) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", key);
    return text;
}

// ---- settings file ------------------------------------------------------------

bool bTomlString(const toml::node& node, const std::string& key, std::string* out, std::string* error) {
    if (const auto* value = node.as_string()) {
        *out = value->get();
        return true;
    }
    *error = "\"" + key + "\" must be a string";
    return false;
}

bool bTomlBool(const toml::node& node, const std::string& key, bool* out, std::string* error) {
    if (const auto* value = node.as_boolean()) {
        *out = value->get();
        return true;
    }
    *error = "\"" + key + "\" must be true or false";
    return false;
}

bool bTomlU16(const toml::node& node, const std::string& key, uint16_t* out, std::string* error) {
    const auto* value = node.as_integer();
    if (value == nullptr || value->get() < 0 || value->get() > 0xFFFF) {
        *error = "\"" + key + "\" must be an integer from 0 to 65535";
        return false;
    }
    *out = static_cast<uint16_t>(value->get());
    return true;
}

// A list of texts; integers are taken as keys and written in hexadecimal.
bool bTomlList(const toml::node& node, const std::string& key, bool integers, std::vector<std::string>* out,
               std::string* error) {
    const auto* array = node.as_array();
    if (array == nullptr) {
        *error = "\"" + key + "\" must be an array";
        return false;
    }
    out->clear();
    for (const toml::node& item : *array) {
        if (const auto* text = item.as_string()) {
            out->push_back(text->get());
        } else if (const auto* number = item.as_integer(); integers && number != nullptr) {
            if (number->get() < 0 || number->get() > 0xFFFFFFFFll) {
                *error = "\"" + key + "\" holds a key outside 32 bits";
                return false;
            }
            out->push_back(Hex(static_cast<uint32_t>(number->get())));
        } else {
            *error = "\"" + key + "\" must hold " + (integers ? "keys or names" : "strings");
            return false;
        }
    }
    return true;
}

bool bTomlSetting(const SplitOption& option, const toml::node& node, SplitSettings* s, std::string* error) {
    const std::string key(option.Key());
    return std::visit(Overload{
                          [&](std::string S::*m) { return bTomlString(node, key, &(s->*m), error); },
                          [&](bool S::*m) { return bTomlBool(node, key, &(s->*m), error); },
                          [&](uint16_t S::*m) { return bTomlU16(node, key, &(s->*m), error); },
                          [&](std::vector<std::string> S::*m) {
                              return bTomlList(node, key, option.e_Value == V::Keys, &(s->*m), error);
                          },
                      },
                      option.field);
}

// ---- parameter block --------------------------------------------------------------

// A path as the block carries it, seen from the work folder.
std::string BlockPath(const std::string& value, const std::string& workDir) {
    std::string path = PathFromWorkDir(value, workDir);
    // A path given with a "/" keeps one: the AI library's loader searches
    // its library path for a bare name, and would load another file.
    if (value.find('/') != std::string::npos && path.find('/') == std::string::npos)
        path = "./" + path;
    return path;
}

template <size_t N>
bool bFillText(const SplitOption& option, const std::string& value, const std::string& workDir,
               char (&field)[N], std::string* error) {
    const std::string path = BlockPath(value, workDir);
    if (ORVEX::OVI_bSetText(field, path))
        return true;
    *error = option.Label() + " " + path + ": " + std::to_string(path.size()) +
             " characters, the plug-in's field holds at most " +
             std::to_string(ORVEX::OVI_TextCapacity(field)) +
             (workDir.empty() ? "" : " (as seen from the work folder)");
    return false;
}

bool bFillTarget(const SplitOption& option, const SplitSettings& s, P* p, std::string* error) {
    return std::visit(
        Overload{
            [](std::monostate) { return true; },
            [&](char(P::*f)[P::kPathSize]) {
                return bFillText(option, s.*std::get<std::string S::*>(option.field), s.s_WorkDir, p->*f,
                                 error);
            },
            [&](char(P::*f)[P::kGmPathSize]) {
                return bFillText(option, s.*std::get<std::string S::*>(option.field), s.s_WorkDir, p->*f,
                                 error);
            },
            [&](bool P::*f) {
                p->*f = s.*std::get<bool S::*>(option.field);
                return true;
            },
            [&](uint16_t P::*f) {
                p->*f = s.*std::get<uint16_t S::*>(option.field);
                return true;
            },
            [&](std::map<uint32_t, uint32_t> P::*f) {
                (p->*f).clear();
                for (const std::string& text : s.*std::get<std::vector<std::string> S::*>(option.field)) {
                    uint32_t key = 0;
                    if (!bParseKey(text, &key)) {
                        *error = option.Label() + " " + text +
                                 ": not a key (0x and hexadecimal digits, or decimal)";
                        return false;
                    }
                    (p->*f).emplace(key, 0);
                }
                return true;
            },
            [&](std::map<uint32_t, std::string> P::*f) {
                // The u32 of these maps only keeps the order the user gave.
                const std::vector<std::string>& texts =
                    s.*std::get<std::vector<std::string> S::*>(option.field);
                (p->*f).clear();
                for (size_t i = 0; i < texts.size(); ++i)
                    (p->*f).emplace(static_cast<uint32_t>(i), texts[i]);
                return true;
            },
        },
        option.target);
}

bool bIsTextField(const SplitOption& option) {
    return std::holds_alternative<char(P::*)[P::kPathSize]>(option.target) ||
           std::holds_alternative<char(P::*)[P::kGmPathSize]>(option.target);
}

}  // namespace

std::string_view SplitOption::Key() const {
    std::string_view name(s_Name);
    return name.substr(name.find_first_not_of('-'));
}

std::string SplitOption::Label() const {
    if (!bPositional())
        return s_Name;
    std::string label(s_Name);
    for (char& c : label)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return label;
}

std::span<const SplitOption> SplitOptions() {
    return kSplitOptions;
}

const char* SplitValueName(SplitValue value) {
    switch (value) {
        case V::File:
            return "FILE";
        case V::Folder:
            return "DIR";
        case V::Text:
        case V::Texts:
            return "TEXT";
        case V::Keys:
            return "KEY";
        default:
            return nullptr;
    }
}

const SplitOption* FindSplitOption(std::string_view key) {
    for (const SplitOption& option : kSplitOptions)
        if (option.Key() == key)
            return &option;
    return nullptr;
}

bool bParseKey(const std::string& text, uint32_t* key) {
    if (text.empty())
        return false;
    uint64_t value = 0;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        if (text.size() > 10)
            return false;
        for (size_t i = 2; i < text.size(); ++i) {
            const char c = text[i];
            if (!std::isxdigit(static_cast<unsigned char>(c)))
                return false;
            value = value * 16 +
                    static_cast<uint64_t>(std::isdigit(static_cast<unsigned char>(c))
                                              ? c - '0'
                                              : std::tolower(static_cast<unsigned char>(c)) - 'a' + 10);
        }
    } else {
        if (text.size() > 10)
            return false;
        for (char c : text) {
            if (!std::isdigit(static_cast<unsigned char>(c)))
                return false;
            value = value * 10 + static_cast<uint64_t>(c - '0');
        }
        if (value > 0xFFFFFFFFull)
            return false;
    }
    *key = static_cast<uint32_t>(value);
    return true;
}

bool bLoadSplitConfig(const std::string& path, SplitSettings* s, std::string* error) {
    std::string text;
    if (!PLT::ReadWholeFile(path, &text)) {
        *error = "cannot read " + path + ": " + PLT::ErrorText(PLT::LastError());
        return false;
    }
    toml::table table;
    try {
        table = toml::parse(text, path);
    } catch (const toml::parse_error& e) {
        char where[64];
        std::snprintf(where, sizeof where, ":%u:%u: ", static_cast<unsigned>(e.source().begin.line),
                      static_cast<unsigned>(e.source().begin.column));
        *error = path + where + std::string(e.description());
        return false;
    }
    for (const auto& [name, node] : table) {
        const std::string key(name.str());
        const SplitOption* option = FindSplitOption(key);
        if (option == nullptr) {
            std::vector<std::string> keys;
            for (const SplitOption& known : kSplitOptions)
                keys.emplace_back(known.Key());
            const std::string closest = ClosestName(key, keys);
            *error = path + ": unknown setting \"" + key + "\"" +
                     (closest.empty() ? std::string() : "; did you mean \"" + closest + "\"?");
            return false;
        }
        if (!bTomlSetting(*option, node, s, error)) {
            *error = path + ": " + *error;
            return false;
        }
    }
    return true;
}

std::string PathFromWorkDir(const std::string& path, const std::string& workDir) {
    if (path.empty())
        return path;
    std::error_code ec;
    const fs::path absolute = fs::absolute(path, ec).lexically_normal();
    if (ec)
        return path;
    const fs::path runIn =
        fs::absolute(workDir.empty() ? fs::path(".") : fs::path(workDir), ec).lexically_normal();
    if (ec)
        return path;
    const bool folder = path.back() == '/';
    auto withSlash = [folder](std::string text) {
        if (folder && !text.empty() && text.back() != '/')
            text += '/';
        return text;
    };
    // As given, when it still names the same file from where the plug-in runs.
    std::string best = workDir.empty() || path[0] == '/' ? path : withSlash(absolute.string());
    const std::string relative = withSlash(absolute.lexically_relative(runIn).string());
    if (!relative.empty() && relative.size() < best.size())
        best = relative;
    return best;
}

std::vector<std::pair<std::string, std::string>> BlockPathsAsGiven(const SplitSettings& s) {
    std::vector<std::pair<std::string, std::string>> paths;
    for (const SplitOption& option : kSplitOptions) {
        if (!bIsTextField(option))
            continue;
        const std::string& value = s.*std::get<std::string S::*>(option.field);
        const std::string path = BlockPath(value, s.s_WorkDir);
        if (!value.empty() && path != value)
            paths.emplace_back(path, value);
    }
    return paths;
}

bool bFillSplitParams(const SplitSettings& s, const std::vector<uint32_t>& worldKeys, P* p,
                      std::string* error) {
    // Paths first: a path that does not fit is the first thing reported.
    for (const SplitOption& option : kSplitOptions)
        if (bIsTextField(option) && !bFillTarget(option, s, p, error))
            return false;
    for (const SplitOption& option : kSplitOptions)
        if (!bIsTextField(option) && !bFillTarget(option, s, p, error))
            return false;
    p->mmap_Worlds.clear();
    for (uint32_t key : worldKeys)
        p->mmap_Worlds.emplace(key, 0);
    return true;
}

// ---- command line ------------------------------------------------------------------

SplitCommandLine::SplitCommandLine(CLI::App* app) {
    for (const SplitOption& option : kSplitOptions) {
        const std::string name =
            option.bPositional() ? std::string(option.Key()) : std::string(option.s_Name);
        CLI::Option* added = std::visit(
            Overload{
                [&](std::string S::*m) { return app->add_option(name, m_Given.*m, option.s_Help); },
                [&](bool S::*m) { return app->add_flag(name, m_Given.*m, option.s_Help); },
                [&](uint16_t S::*m) {
                    return app->add_option(name, m_Given.*m, option.s_Help)->check(CLI::Range(0, 0xFFFF));
                },
                [&](std::vector<std::string> S::*m) {
                    // One value each time it is given, so that a positional after it stays positional.
                    return app->add_option(name, m_Given.*m, option.s_Help)
                        ->allow_extra_args(false)
                        ->take_all();
                },
            },
            option.field);
        if (const char* valueName = SplitValueName(option.e_Value))
            added->type_name(valueName);
        m_Options.emplace_back(added, &option);
    }
    app->add_option("--config", ms_Config, "TOML file with the same settings; the command line wins")
        ->type_name("FILE");
}

bool SplitCommandLine::bSettings(SplitSettings* settings, std::string* error) const {
    *settings = SplitSettings();
    if (!ms_Config.empty() && !bLoadSplitConfig(ms_Config, settings, error))
        return false;
    for (const auto& [added, option] : m_Options)
        if (added->count() > 0)
            std::visit([&](auto m) { settings->*m = m_Given.*m; }, option->field);
    return true;
}

}  // namespace HOST
