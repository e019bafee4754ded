// `orvex diff A.big B.big [--json]`: what changed between two bigfiles, file
// by file, matched by key.
//
// Contents are compared by their size and CRC-32, read through each table,
// never by their positions: two bigfiles that hold the same files in other
// segment layouts, alignments or copy-list storage are the same. A file
// stored in several places is read at every place, and its copies must
// agree; the duplicated-files table, which lists those places, is compared by
// path, name, type and time only. A content kept in a package bigfile cannot
// be read here (that bigfile is not open): such a file is listed as "not
// compared" and counted apart, never as the same. Exit codes follow diff: 0
// the same, 1 they differ, 4 (as the other tools) when either bigfile or one
// of its contents cannot be read, the copies of a file disagree, or nothing
// differs but some contents could not be compared, 5 when its tables cannot
// be read, 2 for a usage error.

#include <cinttypes>
#include <cstdio>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "BIGfile/BIG_Crc32.h"
#include "BIGfile/BIG_DuplicatedFilesManager.h"
#include "BIGfile/BIG_Extensions.h"
#include "BIGfile/BIG_Fat.h"
#include "host/BigTools.h"
#include "host/BigToolsInternal.h"
#include "host/Command.h"

namespace {

using Json = nlohmann::ordered_json;

constexpr int kExitSame = 0;
constexpr int kExitDiffer = 1;
constexpr int kExitError = 4;

// What is compared of one file.
struct FileFacts {
    bool b_HasContent = false;  // false: the entry has no stored content
    uint32_t ul_Size = 0;
    uint32_t ul_Crc = 0;
    std::string s_Path;
    std::string s_Name;
    uint32_t ul_Type = 0;
    uint32_t ul_Time = 0;
    bool b_Layout = false;     // the duplicated-files table: where copies lie, not a content
    bool b_InPackage = false;  // the content lies in package bigfile ul_Package, not read
    uint32_t ul_Package = 0;
};

struct Side {
    std::string s_Path;
    std::map<uint32_t, FileFacts> m_Files;  // by key
    uint64_t ull_Bytes = 0;
    uint32_t ul_PackageFiles = 0;  // files whose content was not read
};

std::string KeyText(uint32_t key) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", key);
    return text;
}

std::string Hex8(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "%08x", value);
    return text;
}

const char* TypeText(uint32_t type) {
    return type < BIG_Extensions::kCount ? BIG_Extensions::sz_Get(type) : "?";
}

// Every used entry of the bigfile at `path`, its contents read through the
// bigfile's own duplicated-files table (never the process-wide one). False,
// with `error` set and `*exitCode` the code to end with, when the bigfile
// cannot be read, a key is used twice, a listed content cannot be read or the
// copies of one file disagree.
bool bCollect(const std::string& path, Side* side, std::string* error, int* exitCode) {
    side->s_Path = path;
    *exitCode = kExitError;
    HOST::Tools::OpenFailure failure = HOST::Tools::OpenFailure::eNone;
    std::unique_ptr<BIG_cl_Fat> fat = HOST::Tools::OpenBigfile(path, error, &failure);
    if (!fat) {
        // The sentence and the exit code of every other command for the same damage.
        *error = HOST::Tools::EscapeText(path) + ": " + *error;
        *exitCode = HOST::Tools::ExitCodeFor(failure);
        return false;
    }
    HOST::Tools::detail::ContentReader contents(*fat);
    std::vector<uint32_t> places;
    std::vector<uint8_t> data;
    bool ok = true;
    for (uint32_t i = 0; i < fat->ul_GetFileCount() && ok; ++i) {
        const BIG_st_FileEntry& e = fat->FileEntry(i);
        if (e.ul_Key == 0)
            continue;
        FileFacts facts;
        facts.s_Path = fat->GetFilePath(i);
        facts.s_Name = fat->GetFileName(i);
        facts.ul_Type = e.uc_Type;
        facts.ul_Time = e.ul_Time;
        facts.b_Layout = e.ul_Key == BIG_DuplicatedFilesManager::kFileKey;
        const std::string what = KeyText(e.ul_Key) + " " + facts.s_Path;
        std::string problem;
        // A content kept in a package bigfile cannot be read: that bigfile is not open here.
        const bool inPackage = (e.uc_StorageFlags & BIG_st_FileEntry::kStoragePackage) != 0;
        facts.b_InPackage = inPackage;
        facts.ul_Package = inPackage ? e.ul_Pos >> BIG_st_FileEntry::kPackageIndexShift : 0;
        side->ul_PackageFiles += inPackage ? 1 : 0;
        if (!inPackage && !contents.bPlaces(i, &places, &problem)) {
            *error = path + ": the content of " + what + " cannot be read: " + problem;
            ok = false;
            break;
        }
        for (size_t c = 0; !inPackage && c < places.size(); ++c) {
            if (!contents.bRead(places[c], &data, &problem)) {
                *error = path + ": the content of " + what + " cannot be read: " + problem;
                ok = false;
                break;
            }
            const uint32_t crc = BIG_ul_Crc32(data.data(), data.size());
            if (c == 0) {
                facts.b_HasContent = true;
                facts.ul_Size = static_cast<uint32_t>(data.size());
                facts.ul_Crc = crc;
            } else if (crc != facts.ul_Crc || data.size() != facts.ul_Size) {
                // Which copy is the file? Neither answer would be honest.
                *error = path + ": the copies of " + what + " differ (copy 1 and copy " +
                         std::to_string(c + 1) + " of " + std::to_string(places.size()) + ")";
                ok = false;
                break;
            }
        }
        if (!ok)
            break;
        side->ull_Bytes += facts.ul_Size;
        if (!side->m_Files.emplace(e.ul_Key, std::move(facts)).second) {
            *error = path + ": key " + KeyText(e.ul_Key) + " is used by more than one entry";
            ok = false;
        }
    }
    fat->File().eClose();
    return ok;
}

// The fields in which two files of the same key differ.
std::vector<std::string> Differences(const FileFacts& a, const FileFacts& b) {
    std::vector<std::string> fields;
    // The duplicated-files table lists where copies lie: two layouts of the
    // same files give two tables, so its bytes are no content to compare.
    // A content that was not read is no content to compare either.
    const bool unread = (a.b_Layout && b.b_Layout) || a.b_InPackage || b.b_InPackage;
    if (!unread && (a.b_HasContent != b.b_HasContent || a.ul_Crc != b.ul_Crc))
        fields.push_back("content");
    if (!unread && a.ul_Size != b.ul_Size)
        fields.push_back("size");
    if (a.s_Path != b.s_Path)
        fields.push_back("path");
    if (a.s_Name != b.s_Name)
        fields.push_back("name");
    if (a.ul_Type != b.ul_Type)
        fields.push_back("type");
    if (a.ul_Time != b.ul_Time)
        fields.push_back("time");
    return fields;
}

struct Changed {
    uint32_t ul_Key = 0;
    std::vector<std::string> fields;
};

struct Comparison {
    std::vector<uint32_t> onlyInA;
    std::vector<uint32_t> onlyInB;
    std::vector<Changed> changed;
    // In both, alike in every field that could be compared, but the content
    // of one side (or both) lies in a package bigfile: neither same nor changed.
    std::vector<uint32_t> notCompared;
    uint32_t ul_Same = 0;
    uint64_t ull_OnlyInABytes = 0;
    uint64_t ull_OnlyInBBytes = 0;
    uint64_t ull_ChangedABytes = 0;
    uint64_t ull_ChangedBBytes = 0;

    bool bDiffer() const { return !onlyInA.empty() || !onlyInB.empty() || !changed.empty(); }
    bool bSame() const { return !bDiffer() && notCompared.empty(); }
};

Comparison Compare(const Side& a, const Side& b) {
    Comparison c;
    for (const auto& [key, facts] : a.m_Files) {
        const auto other = b.m_Files.find(key);
        if (other == b.m_Files.end()) {
            c.onlyInA.push_back(key);
            c.ull_OnlyInABytes += facts.ul_Size;
            continue;
        }
        std::vector<std::string> fields = Differences(facts, other->second);
        if (fields.empty()) {
            if (facts.b_InPackage || other->second.b_InPackage)
                c.notCompared.push_back(key);
            else
                ++c.ul_Same;
            continue;
        }
        c.changed.push_back(Changed{key, std::move(fields)});
        c.ull_ChangedABytes += facts.ul_Size;
        c.ull_ChangedBBytes += other->second.ul_Size;
    }
    for (const auto& [key, facts] : b.m_Files) {
        if (a.m_Files.count(key) == 0) {
            c.onlyInB.push_back(key);
            c.ull_OnlyInBBytes += facts.ul_Size;
        }
    }
    return c;
}

std::string SizeText(const FileFacts& f) {
    if (f.b_InPackage)
        return "content in package bigfile " + std::to_string(f.ul_Package) + ", not read";
    return f.b_HasContent ? std::to_string(f.ul_Size) + " bytes" : "no content";
}

// Why the content of a file in both bigfiles was not compared; empty when it was.
std::string NotComparedReason(const FileFacts& a, const FileFacts& b) {
    if (!a.b_InPackage && !b.b_InPackage)
        return std::string();
    std::string where;
    if (a.b_InPackage)
        where = "package bigfile " + std::to_string(a.ul_Package) + " of A";
    if (b.b_InPackage)
        where +=
            (where.empty() ? "" : " and ") + ("package bigfile " + std::to_string(b.ul_Package) + " of B");
    return "the content lies in " + where + ", which is not open here";
}

// One field's two values, as the text report shows them.
std::string FieldChange(const std::string& field, const FileFacts& a, const FileFacts& b) {
    if (field == "content")
        return "content " + (a.b_HasContent ? Hex8(a.ul_Crc) : std::string("none")) + " -> " +
               (b.b_HasContent ? Hex8(b.ul_Crc) : std::string("none"));
    if (field == "size")
        return "size " + std::to_string(a.ul_Size) + " -> " + std::to_string(b.ul_Size);
    if (field == "path")
        return "path " + a.s_Path + " -> " + b.s_Path;
    if (field == "name")
        return "name " + a.s_Name + " -> " + b.s_Name;
    if (field == "type")
        return std::string("type ") + TypeText(a.ul_Type) + " -> " + TypeText(b.ul_Type);
    return "time " + std::to_string(a.ul_Time) + " -> " + std::to_string(b.ul_Time);
}

void PrintText(const Side& a, const Side& b, const Comparison& c, std::ostream& out) {
    for (uint32_t key : c.onlyInA) {
        const FileFacts& f = a.m_Files.at(key);
        out << "only in A  " << Hex8(key) << "  " << SizeText(f) << "  " << f.s_Path << "\n";
    }
    for (uint32_t key : c.onlyInB) {
        const FileFacts& f = b.m_Files.at(key);
        out << "only in B  " << Hex8(key) << "  " << SizeText(f) << "  " << f.s_Path << "\n";
    }
    for (const Changed& ch : c.changed) {
        const FileFacts& fa = a.m_Files.at(ch.ul_Key);
        const FileFacts& fb = b.m_Files.at(ch.ul_Key);
        out << "differs    " << Hex8(ch.ul_Key) << "  " << fa.s_Path << ":";
        const char* separator = " ";
        for (const std::string& field : ch.fields) {
            out << separator << FieldChange(field, fa, fb);
            separator = "; ";
        }
        const std::string unread = NotComparedReason(fa, fb);
        if (!unread.empty())
            out << "; content not compared: " << unread;
        out << "\n";
    }
    for (uint32_t key : c.notCompared) {
        const FileFacts& fa = a.m_Files.at(key);
        out << "not compared  " << Hex8(key) << "  " << fa.s_Path << ": "
            << NotComparedReason(fa, b.m_Files.at(key)) << "\n";
    }
    for (const Side* side : {&a, &b}) {
        out << (side == &a ? "A " : "B ") << side->s_Path << ": " << side->m_Files.size() << " files, "
            << side->ull_Bytes << " bytes";
        if (side->ul_PackageFiles != 0)
            out << " (" << side->ul_PackageFiles << " of them in package bigfiles, not read)";
        out << "\n";
    }
    if (c.bSame()) {
        out << "same files and contents\n";
        return;
    }
    out << "only in A: " << c.onlyInA.size() << " files, " << c.ull_OnlyInABytes
        << " bytes; only in B: " << c.onlyInB.size() << " files, " << c.ull_OnlyInBBytes
        << " bytes; differ: " << c.changed.size() << " files, " << c.ull_ChangedABytes << " bytes in A, "
        << c.ull_ChangedBBytes << " bytes in B; same: " << c.ul_Same << " files";
    if (!c.notCompared.empty())
        out << "; not compared: " << c.notCompared.size() << " files";
    out << "\n";
}

Json FactsJson(uint32_t key, const FileFacts& f) {
    Json o;
    o["key"] = KeyText(key);
    o["path"] = f.s_Path;
    o["name"] = f.s_Name;
    o["type"] = f.ul_Type;
    o["time"] = f.ul_Time;
    o["size"] = f.b_HasContent ? Json(f.ul_Size) : Json(nullptr);
    o["crc32"] = f.b_HasContent ? Json(Hex8(f.ul_Crc)) : Json(nullptr);
    if (f.b_InPackage)
        o["package"] = f.ul_Package;
    return o;
}

void PrintJson(const Side& a, const Side& b, const Comparison& c, std::ostream& out) {
    Json j;
    j["same"] = c.bSame();
    j["a"] = {{"path", a.s_Path},
              {"files", a.m_Files.size()},
              {"bytes", a.ull_Bytes},
              {"package_files", a.ul_PackageFiles}};
    j["b"] = {{"path", b.s_Path},
              {"files", b.m_Files.size()},
              {"bytes", b.ull_Bytes},
              {"package_files", b.ul_PackageFiles}};
    Json onlyA = Json::array();
    for (uint32_t key : c.onlyInA)
        onlyA.push_back(FactsJson(key, a.m_Files.at(key)));
    Json onlyB = Json::array();
    for (uint32_t key : c.onlyInB)
        onlyB.push_back(FactsJson(key, b.m_Files.at(key)));
    Json changed = Json::array();
    for (const Changed& ch : c.changed) {
        Json o;
        o["key"] = KeyText(ch.ul_Key);
        o["fields"] = ch.fields;
        o["a"] = FactsJson(ch.ul_Key, a.m_Files.at(ch.ul_Key));
        o["b"] = FactsJson(ch.ul_Key, b.m_Files.at(ch.ul_Key));
        changed.push_back(std::move(o));
    }
    Json notCompared = Json::array();
    for (uint32_t key : c.notCompared) {
        Json o;
        o["key"] = KeyText(key);
        o["reason"] = NotComparedReason(a.m_Files.at(key), b.m_Files.at(key));
        o["a"] = FactsJson(key, a.m_Files.at(key));
        o["b"] = FactsJson(key, b.m_Files.at(key));
        notCompared.push_back(std::move(o));
    }
    j["only_in_a"] = std::move(onlyA);
    j["only_in_b"] = std::move(onlyB);
    j["changed"] = std::move(changed);
    j["not_compared"] = std::move(notCompared);
    j["totals"] = {
        {"only_in_a", {{"files", c.onlyInA.size()}, {"bytes", c.ull_OnlyInABytes}}},
        {"only_in_b", {{"files", c.onlyInB.size()}, {"bytes", c.ull_OnlyInBBytes}}},
        {"changed",
         {{"files", c.changed.size()}, {"a_bytes", c.ull_ChangedABytes}, {"b_bytes", c.ull_ChangedBBytes}}},
        {"same", {{"files", c.ul_Same}}},
        {"not_compared", {{"files", c.notCompared.size()}}}};
    out << j.dump(2) << "\n";
}

HOST::Command SetupDiff(CLI::App& parent) {
    CLI::App* app = parent.add_subcommand(
        "diff",
        "Compare two bigfiles by key: files only in one, and files whose content, size, path, name, "
        "type or time differ (exit 0 same, 1 different, 4 unreadable or not all compared, 5 damaged "
        "tables)");
    auto pathA = std::make_shared<std::string>();
    auto pathB = std::make_shared<std::string>();
    auto json = std::make_shared<bool>(false);
    app->add_option("A", *pathA, "The first bigfile")->required();
    app->add_option("B", *pathB, "The second bigfile")->required();
    app->add_flag("--json", *json, "One JSON object instead of the text report");
    return HOST::Command{
        app, [pathA, pathB, json] {
            Side a;
            Side b;
            std::string error;
            int code = kExitError;
            if (!bCollect(*pathA, &a, &error, &code) || !bCollect(*pathB, &b, &error, &code)) {
                std::fprintf(stderr, "orvex diff: %s\n", error.c_str());
                return code;
            }
            const Comparison c = Compare(a, b);
            if (*json)
                PrintJson(a, b, c, std::cout);
            else
                PrintText(a, b, c, std::cout);
            if (c.bDiffer())
                return kExitDiffer;
            if (!c.notCompared.empty()) {
                // Nothing found to differ is no answer while contents went unread.
                std::cout.flush();
                std::fprintf(stderr,
                             "orvex diff: %zu files not compared: their contents lie in package bigfiles, "
                             "which are not open here\n",
                             c.notCompared.size());
                return kExitError;
            }
            return kExitSame;
        }};
}

const HOST::CommandRegistrar s_Diff(&SetupDiff);

}  // namespace
