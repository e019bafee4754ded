// Small text helpers shared by the platform's parsers. Private to platform/.
#pragma once

#include <cctype>
#include <string>

namespace PLT::internal {

// `text` without leading and trailing white space.
inline std::string Trim(const std::string& text) {
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end && std::isspace(static_cast<unsigned char>(text[begin])))
        ++begin;
    while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1])))
        --end;
    return text.substr(begin, end - begin);
}

}  // namespace PLT::internal
