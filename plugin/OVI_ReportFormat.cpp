#include "plugin/OVI_ReportFormat.h"

#include <cstdarg>
#include <cstdio>

#include "BIGfile/BIG_Extensions.h"

namespace ORVEX {
namespace {

constexpr uint32_t kTypeNameCount = 138;

// The report's type names: the extension table's texts, except where older
// names are still shown to the people who read these reports.
struct TypeNameOverride {
    uint32_t type;
    const char* name;
};
constexpr TypeNameOverride kOverrides[] = {
    {2, "uwl"},  {10, "cin"}, {18, "obk"}, {24, "ter"}, {26, "gro"}, {33, "txs"}, {34, "fnt"}, {37, "vid"},
    {42, "cob"}, {45, "mgm"}, {46, "mgb"}, {47, "mft"}, {53, "wav"}, {54, "wae"}, {55, "wai"}, {56, "mus"},
    {57, "dsp"}, {58, "dsl"}, {59, "aep"}, {65, "stp"}, {66, "mtp"}, {67, "vtp"}, {68, "sta"}, {69, "snz"},
    {70, "abl"}, {85, "pfe"}, {93, "his"}, {95, "ico"}, {96, "mes"}, {98, "maf"},
};

}  // namespace

const char* OVI_psz_TypeName(uint32_t type) {
    if (type < kTypeNameCount) {
        for (const TypeNameOverride& o : kOverrides) {
            if (o.type == type)
                return o.name;
        }
    }
    if (type < BIG_Extensions::kCount)
        return BIG_Extensions::sz_Get(type);
    return "Unknown";
}

std::string OVI_WorldLogName(uint32_t rootKey) {
    char name[32];
    std::snprintf(name, sizeof(name), "0x%8x.log", rootKey);
    return name;
}

void OVI_AppendF(std::string* out, const char* format, ...) {
    char local[512];
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int wanted = std::vsnprintf(local, sizeof(local), format, args);
    va_end(args);
    if (wanted < 0) {
        va_end(again);
        return;
    }
    if (static_cast<size_t>(wanted) < sizeof(local)) {
        out->append(local, static_cast<size_t>(wanted));
    } else {
        const size_t start = out->size();
        out->resize(start + static_cast<size_t>(wanted) + 1);
        std::vsnprintf(out->data() + start, static_cast<size_t>(wanted) + 1, format, again);
        out->resize(start + static_cast<size_t>(wanted));
    }
    va_end(again);
}

std::string OVI_CsvField(std::string_view text) {
    if (text.find_first_of(",\"\r\n") == std::string_view::npos)
        return std::string(text);
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '"')
            quoted += '"';
        quoted += c;
    }
    quoted += '"';
    return quoted;
}

}  // namespace ORVEX
