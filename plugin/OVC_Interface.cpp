// The exported host classes, the message output and the name hash.
#include "orvex/OVC_Interface.h"

#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <cstdio>

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/DebugOutput.h"
#include "platform/Process.h"
#include "platform/Terminal.h"
#include "plugin/OVI_HostEnvironment.h"
#include "plugin/OVI_Version.h"

OVC_Params::OVC_Params() = default;
OVC_Params::~OVC_Params() = default;

OVC_PluginInterface::OVC_PluginInterface() = default;
OVC_PluginInterface::~OVC_PluginInterface() = default;

namespace ORVEX {

const OVC_Version* OVI_GetLibraryVersion() {
    static const OVC_Version s_Version = OVC_CurrentVersion;
    return &s_Version;
}

}  // namespace ORVEX

namespace {

constexpr size_t kMessageSize = 2048;  // message cut at 2047 characters
constexpr size_t kLineSize = 4096;     // line cut at 4095 characters

// Length that snprintf left in a buffer of `size` bytes for a result of `wanted`.
size_t StoredLength(int wanted, size_t size) {
    if (wanted < 0)
        return 0;
    return static_cast<size_t>(wanted) < size ? static_cast<size_t>(wanted) : size - 1;
}

}  // namespace

extern "C" void OVC_OutputString(const char* level, const char* tag, const char* format, ...) {
    char message[kMessageSize];
    message[0] = '\0';
    if (format != nullptr) {
        va_list args;
        va_start(args, format);
        const int wanted = std::vsnprintf(message, sizeof(message), format, args);
        va_end(args);
        if (wanted < 0)
            message[0] = '\0';  // an encoding error leaves the buffer undefined
    }

    char line[kLineSize];
    const int wanted =
        std::snprintf(line, sizeof(line), "\n[%8s][%-16s][%s]", level ? level : "", tag ? tag : "", message);
    const size_t length = StoredLength(wanted, sizeof(line));
    line[length] = '\0';

    // Written as bytes: a '%' in the message or the tag is not read again.
    // Phase lines stay on standard output whatever the routing: the host reads
    // the run's phase times from them.
    const bool phase = tag != nullptr && std::string_view(tag) == "phase";
    if (phase || !ORVEX::OVI_bWriteRouted(level, line + 1, length - 1))
        std::fwrite(line, 1, length, stdout);
    PLT::DebugOutput(line);
}

namespace ORVEX {

std::string OVI_PathsAsGiven(std::string text) {
    const std::string pairs = PLT::GetEnvironmentVariable(kHostPathsVariable);
    std::vector<std::pair<std::string, std::string>> paths;
    for (size_t at = 0; at < pairs.size();) {
        size_t end = pairs.find(kHostPathsPairSeparator, at);
        if (end == std::string::npos)
            end = pairs.size();
        const std::string pair = pairs.substr(at, end - at);
        const size_t split = pair.find(kHostPathsSeparator);
        // "." alone would match the full stop of a sentence.
        if (split != std::string::npos && split != 0 && pair.substr(0, split) != ".")
            paths.emplace_back(pair.substr(0, split), pair.substr(split + 1));
        at = end + 1;
    }
    // The longest first: "../D/x" is replaced before "../D".
    std::sort(paths.begin(), paths.end(),
              [](const auto& a, const auto& b) { return a.first.size() > b.first.size(); });
    // A path stands alone when nothing that can be part of a name touches it.
    auto bPathChar = [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '_' || c == '-' || c == '~';
    };
    for (const auto& [block, given] : paths) {
        for (size_t at = text.find(block); at != std::string::npos; at = text.find(block, at)) {
            const size_t end = at + block.size();
            const bool before = at == 0 || (!bPathChar(text[at - 1]) && text[at - 1] != '/');
            const bool after = end == text.size() || block.back() == '/' || !bPathChar(text[end]);
            if (!before || !after) {
                ++at;
                continue;
            }
            text.replace(at, block.size(), given);
            at += given.size();
        }
    }
    return text;
}

bool OVI_bWriteRouted(const char* level, const char* text, size_t size) {
    const std::string route = PLT::GetEnvironmentVariable(kHostOutputVariable);
    if (route != kHostOutputQuiet && route != kHostOutputNormal && route != kHostOutputVerbose)
        return false;
    const std::string_view name = level != nullptr ? level : "";
    const bool info = name == "info";
    const bool warning = name == "warning";
    if ((info && route != kHostOutputVerbose) || (warning && route == kHostOutputQuiet))
        return true;
    // A line of its own, so that the progress line can be drawn below it.
    std::string whole = OVI_PathsAsGiven(std::string(text, size));
    whole += '\n';
    PLT::WriteAboveStatusLine(info ? stdout : stderr, whole.data(), whole.size());
    return true;
}

}  // namespace ORVEX

extern "C" uint32_t OVC_Hash(const char* text) {
    uint32_t hash = 0;
    if (text == nullptr)
        return hash;
    for (; *text != '\0'; ++text) {
        // Bytes 0x80..0xFF count as negative values, as the names were hashed
        // with a signed char; unsigned arithmetic gives the wrap modulo 2^32.
        const int32_t value = static_cast<signed char>(*text);
        hash = hash * 65599u + static_cast<uint32_t>(value);
    }
    return hash;
}
