#include "platform/Profile.h"

#include "platform/internal/Text.h"

#include <cctype>
#include <climits>
#include <cstdint>

#include "platform/File.h"

namespace PLT {
namespace {

using internal::Trim;

bool SameText(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

// atoi without its undefined overflow: out-of-range values saturate.
int ParseInt(const std::string& text) {
    size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    int64_t value = 0;
    for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > int64_t{INT_MAX} + 1) {
            value = int64_t{INT_MAX} + 1;
        }
    }
    value = negative ? -value : value;
    return static_cast<int>(value > INT_MAX ? INT_MAX : value);
}

}  // namespace

int GetProfileInt(const std::string& section, const std::string& key, int defaultValue,
                  const std::string& file) {
    std::string text;
    if (!ReadWholeFile(file, &text)) {
        return defaultValue;
    }
    bool inSection = false;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        const std::string line = Trim(text.substr(start, end - start));
        start = end + 1;
        if (line.empty() || line[0] == ';') {
            continue;
        }
        if (line[0] == '[') {
            const size_t close = line.find(']');
            inSection = SameText(
                Trim(line.substr(1, close == std::string::npos ? std::string::npos : close - 1)), section);
            continue;
        }
        const size_t equals = line.find('=');
        if (!inSection || equals == std::string::npos || !SameText(Trim(line.substr(0, equals)), key)) {
            continue;
        }
        std::string value = Trim(line.substr(equals + 1));
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
            value.back() == value.front()) {
            value = Trim(value.substr(1, value.size() - 2));
        }
        return value.empty() ? defaultValue : ParseInt(value);
    }
    return defaultValue;
}

}  // namespace PLT
