#include "host/BigTools.h"

#include <zlib.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <ostream>
#include <set>
#include <unordered_set>

#include <nlohmann/json.hpp>

#include "BIGfile/BIG_ContentHead.h"
#include "BIGfile/BIG_Extensions.h"
#include "BIGfile/BIG_Fat.h"
#include "BIGfile/BIG_FBuff.h"
#include "platform/File.h"
#include "platform/Process.h"

namespace HOST::Tools {
namespace {

using Json = nlohmann::ordered_json;

constexpr int kManifestVersion = 1;
constexpr const char* kManifestName = "manifest.json";
// Formats from 40 on start every content with its reference table.
constexpr uint16_t kFirstFormatWithRefs = BIG_st_ContentHead::kFirstFormatWithRefs;

std::string Hex8(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "%08x", value);
    return text;
}

bool bIsUsed(const BIG_st_FileEntry& e) {
    return e.ul_Key != 0;
}

bool bIsLink(const BIG_st_FileEntry& e) {
    return (e.ul_Flags & BIG_st_FileEntry::kFlagLinkMask) == 0;
}

// Names of the directories from the root's child down to `dir`; false when the
// parent chain is broken or loops (a corrupt table).
bool bDirComponents(const BIG_cl_Fat& fat, uint16_t dir, std::vector<std::string>* out) {
    out->clear();
    const uint16_t count = fat.uw_GetDirCount();
    uint32_t steps = 0;
    while (dir != BIG_cl_Fat::kRootDir) {
        if (dir >= count || ++steps > count)
            return false;
        const BIG_st_DirEntry& d = fat.DirEntry(dir);
        out->emplace_back(d.sz_Name, strnlen(d.sz_Name, BIG_st_DirEntry::kNameSize));
        dir = d.uw_Parent;
    }
    std::reverse(out->begin(), out->end());
    return true;
}

// The content length, or none when the entry has no readable content.
Json SizeJson(BIG_cl_Fat& fat, uint32_t index) {
    if (!fat.bIsFilePositionValid(index))
        return nullptr;
    const uint32_t size = fat.ul_GetFileSize(index);
    if (size == 0xFFFFFFFF)
        return nullptr;
    return size;
}

uint32_t Crc32(const uint8_t* data, uint32_t size) {
    if (size == 0)
        return 0;
    return static_cast<uint32_t>(crc32(crc32(0L, Z_NULL, 0), data, size));
}

std::string JoinPath(const std::string& a, const std::string& b) {
    if (a.empty())
        return b;
    return a.back() == '/' ? a + b : a + "/" + b;
}

bool bWriteFile(const std::string& path, const void* data, size_t size, std::string* error) {
    if (!PLT::WriteWholeFile(path, data, size)) {
        *error = "cannot write " + path + ": " + PLT::ErrorText(PLT::LastError());
        return false;
    }
    return true;
}

// A relative path from a manifest stays inside the folder: no absolute path,
// no "..", no empty or "." component.
bool bIsSafeRelativePath(const std::string& path) {
    if (path.empty() || path[0] == '/' || path.find('\\') != std::string::npos ||
        path.find('\0') != std::string::npos)
        return false;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos)
            end = path.size();
        const std::string part = path.substr(start, end - start);
        if (part.empty() || part == "." || part == "..")
            return false;
        start = end + 1;
    }
    return true;
}

}  // namespace

std::string SafeComponent(const std::string& name) {
    std::string out;
    out.reserve(name.size());
    for (unsigned char c : name) {
        if (c < 0x20 || c == 0x7F || c == '/' || c == '\\' || c == ':')
            out.push_back('_');
        else
            out.push_back(static_cast<char>(c));
    }
    if (out.empty() || out == "." || out == "..")
        out = std::string(out.size() + 1, '_');
    return out;
}

std::unique_ptr<BIG_cl_Fat> OpenBigfile(const std::string& path, std::string* error) {
    auto fat = std::make_unique<BIG_cl_Fat>();
    const uint32_t e = fat->File().eOpen(path, /*readOnly=*/true, /*acceptSmallFile=*/true,
                                         /*asynchronous=*/false);
    if (e != 0) {
        *error = "cannot open bigfile " + path + " (container error " + std::to_string(e) + ")";
        // The container's own words say which segment or claim is wrong.
        std::string problem = fat->File().GetOpenProblem();
        std::replace(problem.begin(), problem.end(), '\n', ' ');
        while (!problem.empty() && problem.back() == ' ')
            problem.pop_back();
        if (!problem.empty())
            *error += ": " + problem;
        return nullptr;
    }
    if (!fat->ReadFat(true)) {
        *error = "cannot read the tables of " + path;
        fat->File().eClose();
        return nullptr;
    }
    return fat;
}

void PrintInfo(BIG_cl_Fat& fat, const std::string& path, std::ostream& out) {
    BIG::File& file = fat.File();
    const uint64_t contentEnd = file.oGetFileContentEnd().ull_GetByteOffset();
    const uint64_t dataStart = fat.oGetDataPos().ull_GetByteOffset();
    out << "bigfile:          " << path << "\n";
    out << "format:           " << fat.uw_GetFormatNb() << "\n";
    out << "files:            " << fat.ul_CountUsedFiles() << " used of " << fat.ul_GetFileCount()
        << " entries" << (fat.bIsReducedFat() ? " (reduced table)" : "") << "\n";
    out << "directories:      " << fat.uw_CountUsedDirs() << " used of " << fat.uw_GetDirCount()
        << " entries\n";
    out << "temp directory:   " << fat.uw_GetTempDirIndex() << "\n";
    out << "alignment:        " << (1u << file.uc_GetAlignmentShift()) << " bytes (shift "
        << unsigned(file.uc_GetAlignmentShift()) << ")\n";
    out << "header flags:     0x" << Hex8(fat.uc_GetHeaderFlags()).substr(6) << "\n";
    out << "package word:     0x" << Hex8(fat.ul_GetPackageWord()) << " (package id "
        << (fat.ul_GetPackageWord() >> 16) << ")\n";
    out << "header byte:      " << unsigned(fat.uc_GetHeaderByte()) << "\n";
    out << "data root:        " << fat.GetDataRoot() << "\n";
    out << "label:            " << fat.GetLabel() << "\n";
    out << "client name:      " << fat.GetClientName() << "\n";
    out << "changelists:      last submitted " << fat.ul_GetLastSubmittedCL() << ", synced "
        << fat.ul_GetSyncedCL() << ", reference " << fat.ul_GetReferenceCL() << "\n";
    out << "file table at:    " << fat.oGetFatPos().ull_GetByteOffset() << "\n";
    out << "dir table at:     " << fat.oGetDirPos().ull_GetByteOffset() << "\n";
    out << "data start:       " << dataStart << "\n";
    out << "data size:        " << (contentEnd > dataStart ? contentEnd - dataStart : 0) << " bytes\n";
    out << "segments:         " << file.uw_GetSegmentCount() << "\n";
    for (uint16_t i = 0; i < file.uw_GetSegmentCount(); ++i) {
        const auto& s = file.GetSegment(i);
        out << "  [" << i << "] content base " << s.o_ContentBase.ull_GetByteOffset() << ", range "
            << s.o_Start.ull_GetByteOffset() << " - " << s.o_End.ull_GetByteOffset() << "\n";
    }
}

void PrintListing(BIG_cl_Fat& fat, std::ostream& out) {
    for (uint32_t i = 0; i < fat.ul_GetFileCount(); ++i) {
        const BIG_st_FileEntry& e = fat.FileEntry(i);
        if (!bIsUsed(e))
            continue;
        const Json size = SizeJson(fat, i);
        char line[64];
        std::snprintf(line, sizeof line, "%08x  %-3s  %10s  ", e.ul_Key,
                      BIG_Extensions::sz_Get(std::min<uint32_t>(e.uc_Type, BIG_Extensions::kCount - 1)),
                      size.is_null() ? "-" : std::to_string(size.get<uint32_t>()).c_str());
        out << line << fat.GetFilePath(i) << "\n";
    }
}

namespace {

void PrintTreeDir(BIG_cl_Fat& fat, uint16_t dir, int depth, std::vector<bool>* seen, std::ostream& out) {
    const uint16_t dirCount = fat.uw_GetDirCount();
    if (dir >= dirCount || (*seen)[dir])
        return;
    (*seen)[dir] = true;
    const std::string indent(static_cast<size_t>(depth) * 2, ' ');
    const BIG_st_DirEntry& d = fat.DirEntry(dir);
    out << indent << std::string(d.sz_Name, strnlen(d.sz_Name, BIG_st_DirEntry::kNameSize))
        << (dir == BIG_cl_Fat::kRootDir ? "" : "/") << "\n";
    std::unordered_set<uint32_t> visited;
    for (uint32_t f = d.ul_FirstFile; f != BIG_cl_Fat::kNoFile && f < fat.ul_GetFileCount();
         f = fat.FileEntry(f).ul_NextFile) {
        if (!visited.insert(f).second)
            break;  // a looping chain: shown once
        out << indent << "  " << fat.GetFileName(f) << "  [" << Hex8(fat.FileEntry(f).ul_Key) << "]\n";
    }
    for (uint16_t s = d.uw_FirstSubDir; s != BIG_cl_Fat::kNoDir && s < dirCount;
         s = fat.DirEntry(s).uw_NextSibling) {
        if ((*seen)[s])
            break;
        PrintTreeDir(fat, s, depth + 1, seen, out);
    }
}

}  // namespace

void PrintTree(BIG_cl_Fat& fat, std::ostream& out) {
    if (fat.uw_GetDirCount() == 0)
        return;
    std::vector<bool> seen(fat.uw_GetDirCount(), false);
    PrintTreeDir(fat, BIG_cl_Fat::kRootDir, 0, &seen, out);
}

void PrintJson(BIG_cl_Fat& fat, std::ostream& out) {
    Json all = Json::array();
    for (uint32_t i = 0; i < fat.ul_GetFileCount(); ++i) {
        const BIG_st_FileEntry& e = fat.FileEntry(i);
        if (!bIsUsed(e))
            continue;
        Json o;
        o["key"] = e.ul_Key;
        o["index"] = i;
        o["name"] = fat.GetFileName(i);
        o["path"] = fat.GetFilePath(i);
        o["type"] = e.uc_Type;
        o["size"] = SizeJson(fat, i);
        o["time"] = e.ul_Time;
        o["flags"] = e.ul_Flags;
        o["storage"] = e.uc_StorageFlags;
        o["checksum"] = e.ul_Checksum;
        all.push_back(std::move(o));
    }
    out << all.dump(2, ' ', false, Json::error_handler_t::replace) << "\n";
}

bool Extract(BIG_cl_Fat& fat, const std::string& outDir, const std::vector<uint32_t>& keys,
             ExtractResult* result) {
    *result = ExtractResult{};
    if (!PLT::MakeDirectories(outDir)) {
        result->errors.push_back("cannot create " + outDir + ": " + PLT::ErrorText(PLT::LastError()));
        return false;
    }
    const std::unordered_set<uint32_t> wanted(keys.begin(), keys.end());

    Json manifest;
    manifest["orvex_manifest"] = kManifestVersion;
    Json& header = manifest["header"];
    header["format"] = fat.uw_GetFormatNb();
    header["alignment_shift"] = fat.File().uc_GetAlignmentShift();
    header["file_count"] = fat.ul_GetFileCount();
    header["dir_count"] = fat.uw_GetDirCount();
    header["header_flags"] = fat.uc_GetHeaderFlags();
    header["package_word"] = fat.ul_GetPackageWord();
    header["header_byte"] = fat.uc_GetHeaderByte();
    header["data_root"] = fat.GetDataRoot();
    header["label"] = fat.GetLabel();
    header["client_name"] = fat.GetClientName();
    header["last_submitted_cl"] = fat.ul_GetLastSubmittedCL();
    header["synced_cl"] = fat.ul_GetSyncedCL();
    header["reference_cl"] = fat.ul_GetReferenceCL();

    // Directories in index order, so that a rebuild lays out the same tree.
    Json dirs = Json::array();
    std::vector<std::string> components;
    for (uint16_t d = 1; d < fat.uw_GetDirCount(); ++d) {
        if (fat.DirEntry(d).sz_Name[0] == 0)
            continue;
        if (!bDirComponents(fat, d, &components)) {
            result->errors.push_back("directory " + std::to_string(d) + " has a broken parent chain");
            continue;
        }
        dirs.push_back(components);
    }
    manifest["directories"] = std::move(dirs);

    Json files = Json::array();
    std::set<std::string> usedPaths;
    BIG_st_ByteBlock block;
    const bool hasRefs = fat.uw_GetFormatNb() >= kFirstFormatWithRefs;
    for (uint32_t i = 0; i < fat.ul_GetFileCount(); ++i) {
        const BIG_st_FileEntry& e = fat.FileEntry(i);
        if (!bIsUsed(e) || (!wanted.empty() && !wanted.count(e.ul_Key)))
            continue;
        if (!bDirComponents(fat, e.uw_Dir, &components)) {
            result->errors.push_back("file " + Hex8(e.ul_Key) + " lies in a broken directory chain");
            components.clear();
        }
        Json o;
        o["key"] = e.ul_Key;
        o["index"] = i;
        o["dir"] = components;
        o["path"] = fat.GetFilePath(i);
        o["name"] = fat.GetFileName(i);
        o["type"] = e.uc_Type;
        o["time"] = e.ul_Time;
        o["flags"] = e.ul_Flags;
        o["link"] = bIsLink(e);

        // Where the data goes: every component made safe; a clash gets the key.
        std::string relDir;
        for (const std::string& c : components) {
            const std::string safe = SafeComponent(c);
            if (safe != c)
                ++result->ul_Renamed;
            relDir = JoinPath(relDir, safe);
        }
        std::string fileName = SafeComponent(fat.GetFileName(i));
        if (fileName != fat.GetFileName(i))
            ++result->ul_Renamed;
        std::string rel = JoinPath(relDir, fileName);
        if (rel == kManifestName || !usedPaths.insert(rel).second) {
            rel = JoinPath(relDir, fileName + "~" + Hex8(e.ul_Key));
            usedPaths.insert(rel);
        }

        uint32_t length = 0;
        const bool valid = fat.bIsFilePositionValid(i);
        const bool loaded = valid && fat.LoadFileInBuffer(i, &block, &length);
        if (valid && !loaded && fat.ul_GetFileSize(i) != 0) {
            result->errors.push_back("cannot read the content of " + Hex8(e.ul_Key) + " " +
                                     o["path"].get<std::string>());
            o["data"] = nullptr;
            files.push_back(std::move(o));
            continue;
        }
        if (!valid) {
            o["data"] = nullptr;
            files.push_back(std::move(o));
            ++result->ul_Files;
            continue;
        }
        const uint8_t* content = block.p_Data.get();
        uint32_t dataOffset = 0;
        Json refs = Json::array();
        bool raw = true;
        BIG_st_ContentHead head;
        if (hasRefs && BIG_st_ContentHead::bDecodeContent(content, length, length, &head) &&
            head.bTableFits()) {
            raw = false;
            const uint8_t* keys = content + BIG_st_ContentHead::kCountSize;
            for (uint32_t r = 0; r < head.ul_RefCount; ++r)
                refs.push_back(BIG_st_ContentHead::ul_KeyAt(keys, r));
            dataOffset = head.ul_TableSize();
        }
        if (!raw && bIsLink(e) && refs.size() == 4 && length == 20) {
            o["link_keys"] = refs;
            o["data"] = nullptr;
        } else {
            o["raw"] = raw;
            o["refs"] = std::move(refs);
            const std::string full = JoinPath(outDir, rel);
            const size_t slash = full.rfind('/');
            if (slash != std::string::npos && !PLT::MakeDirectories(full.substr(0, slash))) {
                result->errors.push_back("cannot create the folder of " + full);
                continue;
            }
            std::string error;
            if (!bWriteFile(full, content + dataOffset, length - dataOffset, &error)) {
                result->errors.push_back(error);
                continue;
            }
            o["data"] = rel;
        }
        files.push_back(std::move(o));
        ++result->ul_Files;
    }
    manifest["files"] = std::move(files);
    const std::string text = manifest.dump(1, ' ', false, Json::error_handler_t::replace) + "\n";
    std::string error;
    if (!bWriteFile(JoinPath(outDir, kManifestName), text.data(), text.size(), &error)) {
        result->errors.push_back(error);
        return false;
    }
    return result->errors.empty();
}

namespace {

template <class T>
T Field(const Json& o, const char* name, T fallback) {
    const auto it = o.find(name);
    if (it == o.end() || it->is_null())
        return fallback;
    return it->get<T>();
}

// Builds the bigfile at `tmpPath`; throws nothing, reports through `error`.
bool bPackInto(const Json& manifest, const std::string& inDir, const std::string& tmpPath,
               const PackOptions& options, std::string* error) {
    const Json& header = manifest.at("header");
    const Json& files = manifest.at("files");
    const Json& dirs = manifest.at("directories");
    if (!files.is_array() || !dirs.is_array()) {
        *error = "manifest: \"files\" and \"directories\" must be arrays";
        return false;
    }
    const uint32_t fileCount =
        std::max<uint32_t>(Field<uint32_t>(header, "file_count", 0), static_cast<uint32_t>(files.size()) + 1);
    const uint32_t dirCount =
        std::max<uint32_t>(Field<uint32_t>(header, "dir_count", 0), static_cast<uint32_t>(dirs.size()) + 2);
    if (dirCount > 0xFFFF) {
        *error = "manifest: too many directories";
        return false;
    }
    int shift =
        options.i_AlignmentShift >= 0 ? options.i_AlignmentShift : Field<int>(header, "alignment_shift", 3);
    if (shift < 3 || shift > 16) {
        *error = "alignment shift " + std::to_string(shift) + " is out of range (3 to 16)";
        return false;
    }

    BIG_cl_Fat fat;
    fat.File().SetAlignmentShift(static_cast<uint8_t>(shift));
    const uint32_t e = fat.File().eCreate(tmpPath, false, options.ul_MaxSegmentSize, options.b_SmallHeader);
    if (e != 0) {
        *error = "cannot create " + tmpPath + " (container error " + std::to_string(e) + ")";
        return false;
    }
    const uint32_t writeErrors = fat.ul_GetWriteErrorCount();
    bool ok =
        fat.Create(fileCount, static_cast<uint16_t>(dirCount), Field<uint32_t>(header, "package_word", 0),
                   Field<uint8_t>(header, "header_byte", 0));
    if (ok) {
        fat.SetDataRoot(Field<std::string>(header, "data_root", BIG_cl_Fat::kDefaultDataRoot));
        fat.SetHeaderFlags(Field<uint8_t>(header, "header_flags", 0));
        fat.SetVersionInfo(
            Field<uint32_t>(header, "last_submitted_cl", 0), Field<uint32_t>(header, "synced_cl", 0),
            Field<uint32_t>(header, "reference_cl", 0), Field<std::string>(header, "client_name", ""),
            Field<std::string>(header, "label", ""));
    }
    auto dirPathOf = [](const Json& components) {
        std::string path;
        for (const auto& c : components)
            path += "/" + c.get<std::string>();
        return path;
    };
    for (size_t d = 0; ok && d < dirs.size(); ++d) {
        if (!dirs[d].empty() && fat.uw_CreateDirPath(dirPathOf(dirs[d]).c_str()) == BIG_cl_Fat::kNoDir) {
            *error = "cannot create directory " + dirPathOf(dirs[d]);
            ok = false;
        }
    }
    std::vector<uint8_t> data;
    for (size_t f = 0; ok && f < files.size(); ++f) {
        const Json& o = files[f];
        const uint32_t key = o.at("key").get<uint32_t>();
        const std::string name = o.at("name").get<std::string>();
        const std::string dirPath = dirPathOf(o.at("dir"));
        const uint16_t dir = dirPath.empty() ? BIG_cl_Fat::kRootDir : fat.uw_CreateDirPath(dirPath.c_str());
        if (key == 0 || key == 0xFFFFFFFF || dir == BIG_cl_Fat::kNoDir) {
            *error = "manifest: file " + std::to_string(f) + " has an invalid key or directory";
            ok = false;
            break;
        }
        const uint32_t time = Field<uint32_t>(o, "time", 0);
        const uint32_t index = fat.ul_CreateFile(name.c_str(), time, dir, key);
        if (index == BIG_cl_Fat::kNoFile) {
            *error = "cannot create file " + name + " (key " + Hex8(key) + ")";
            ok = false;
            break;
        }
        if (o.contains("link_keys")) {
            const Json& k = o.at("link_keys");
            if (!k.is_array() || k.size() != 4) {
                *error = "manifest: link file " + Hex8(key) + " needs four link keys";
                ok = false;
                break;
            }
            fat.SaveLinkFile(index, k[0].get<uint32_t>(), k[1].get<uint32_t>(), k[2].get<uint32_t>(),
                             k[3].get<uint32_t>());
        } else if (!o.at("data").is_null()) {
            const std::string rel = o.at("data").get<std::string>();
            if (!bIsSafeRelativePath(rel)) {
                *error = "manifest: data path \"" + rel + "\" leaves the folder";
                ok = false;
                break;
            }
            std::string bytes;
            if (!PLT::ReadWholeFile(JoinPath(inDir, rel), &bytes)) {
                *error = "cannot read " + JoinPath(inDir, rel);
                ok = false;
                break;
            }
            const Json refs = o.value("refs", Json::array());
            const bool raw = Field<bool>(o, "raw", false);
            data.clear();
            if (!raw) {
                auto put = [&data](uint32_t v) {
                    for (int b = 0; b < 4; ++b)
                        data.push_back(static_cast<uint8_t>(v >> (8 * b)));
                };
                put(static_cast<uint32_t>(refs.size()));
                for (const auto& r : refs)
                    put(r.get<uint32_t>());
            }
            data.insert(data.end(), bytes.begin(), bytes.end());
            if (data.size() > 0xFFFFFFFFull) {
                *error = "file " + Hex8(key) + " is too large";
                ok = false;
                break;
            }
            fat.SaveFile(index, data.data(), static_cast<uint32_t>(data.size()));
        }
        // Saving stamps the current time and resets the flags word: put back the source's.
        BIG_st_FileEntry* entry = fat.pst_GetFileEntry(index);
        entry->ul_Time = time;
        entry->ul_Flags = Field<uint32_t>(o, "flags", entry->ul_Flags);
        entry->uc_Type = Field<uint8_t>(o, "type", entry->uc_Type);
        fat.WriteFileEntry(index);
    }
    if (ok)
        fat.WriteFatHeader();
    if (ok && fat.ul_GetWriteErrorCount() != writeErrors) {
        *error = "write error while building " + tmpPath;
        ok = false;
    }
    if (ok && fat.File().eFlush() != 0) {
        *error = "cannot flush " + tmpPath;
        ok = false;
    }
    fat.File().eClose();
    return ok;
}

}  // namespace

bool Pack(const std::string& inDir, const std::string& outPath, const PackOptions& options,
          std::string* error) {
    std::string text;
    if (!PLT::ReadWholeFile(JoinPath(inDir, kManifestName), &text)) {
        *error = "cannot read " + JoinPath(inDir, kManifestName);
        return false;
    }
    Json manifest;
    try {
        manifest = Json::parse(text);
        if (manifest.at("orvex_manifest").get<int>() != kManifestVersion) {
            *error = "manifest: unsupported version";
            return false;
        }
        // Built in a private folder beside the output, then moved into place
        // segment by segment (the first last): a failure never leaves a
        // bigfile that looks finished, and the segments keep their names.
        const size_t slash = outPath.rfind('/');
        const std::string outDir = slash == std::string::npos ? "." : outPath.substr(0, slash);
        const std::string baseName = slash == std::string::npos ? outPath : outPath.substr(slash + 1);
        const std::string work = JoinPath(outDir, ".orvex-pack-" + std::to_string(PLT::CurrentProcessId()));
        if (!PLT::MakeDirectories(work)) {
            *error = "cannot create " + work;
            return false;
        }
        auto cleanUp = [&work] {
            std::vector<std::string> names;
            if (PLT::ListDirectory(work, &names))
                for (const std::string& n : names)
                    PLT::RemoveFile(JoinPath(work, n));
            PLT::RemoveDirectory(work);
        };
        if (!bPackInto(manifest, inDir, JoinPath(work, baseName), options, error)) {
            cleanUp();
            return false;
        }
        std::vector<std::string> names;
        PLT::ListDirectory(work, &names);
        std::stable_partition(names.begin(), names.end(),
                              [&baseName](const std::string& n) { return n != baseName; });
        for (const std::string& n : names) {
            if (!PLT::RenameFile(JoinPath(work, n), JoinPath(outDir, n))) {
                *error = "cannot move " + n + " into " + outDir;
                cleanUp();
                return false;
            }
        }
        cleanUp();
    } catch (const nlohmann::json::exception& ex) {
        *error = std::string("manifest: ") + ex.what();
        return false;
    }
    return true;
}

std::vector<std::string> Verify(BIG_cl_Fat& fat) {
    std::vector<std::string> problems;
    const uint32_t fileCount = fat.ul_GetFileCount();
    const uint16_t dirCount = fat.uw_GetDirCount();
    auto fileLabel = [&fat](uint32_t i) {
        return "file " + std::to_string(i) + " [" + Hex8(fat.FileEntry(i).ul_Key) + "] " + fat.GetFileName(i);
    };

    // Directories: parents in range, chains that end, files that point back.
    std::vector<uint8_t> listed(fileCount, 0);
    for (uint16_t d = 0; d < dirCount; ++d) {
        const BIG_st_DirEntry& dir = fat.DirEntry(d);
        if (dir.sz_Name[0] == 0)
            continue;
        if (d != BIG_cl_Fat::kRootDir &&
            (dir.uw_Parent >= dirCount || fat.DirEntry(dir.uw_Parent).sz_Name[0] == 0))
            problems.push_back("directory " + std::to_string(d) + " has an invalid parent");
        if (d == fat.uw_GetTempDirIndex())
            continue;  // its file list is never written to disk
        uint32_t steps = 0;
        for (uint32_t f = dir.ul_FirstFile; f != BIG_cl_Fat::kNoFile; f = fat.FileEntry(f).ul_NextFile) {
            if (f >= fileCount) {
                problems.push_back("directory " + std::to_string(d) + " lists file index " +
                                   std::to_string(f) + " outside the table");
                break;
            }
            if (++steps > fileCount || listed[f]) {
                problems.push_back("directory " + std::to_string(d) + " has a looping or shared file chain");
                break;
            }
            listed[f] = 1;
            if (fat.FileEntry(f).uw_Dir != d)
                problems.push_back(fileLabel(f) + " is listed in directory " + std::to_string(d) +
                                   " but names directory " + std::to_string(fat.FileEntry(f).uw_Dir));
        }
    }

    BIG_st_ByteBlock block;
    const bool hasRefs = fat.uw_GetFormatNb() >= kFirstFormatWithRefs;
    for (uint32_t i = 0; i < fileCount; ++i) {
        const BIG_st_FileEntry& e = fat.FileEntry(i);
        if (!bIsUsed(e))
            continue;
        if (fat.ul_GetFileIndex(e.ul_Key, false) != i)
            problems.push_back(fileLabel(i) + ": key also used by another entry");
        if (e.uw_Dir >= dirCount || fat.DirEntry(e.uw_Dir).sz_Name[0] == 0)
            problems.push_back(fileLabel(i) + ": invalid directory " + std::to_string(e.uw_Dir));
        else if (!listed[i] && e.uw_Dir != fat.uw_GetTempDirIndex() && !fat.bIsReducedFat())
            problems.push_back(fileLabel(i) + ": not listed in its directory");
        if (e.ul_Pos == BIG_st_FileEntry::kNone)
            continue;
        if (!fat.bIsFilePositionValid(i)) {
            problems.push_back(fileLabel(i) + ": position outside the data area");
            continue;
        }
        uint32_t length = 0;
        if (!fat.LoadFileInBuffer(i, &block, &length)) {
            if (fat.ul_GetFileSize(i) != 0)
                problems.push_back(fileLabel(i) + ": content cannot be read");
            else if (e.ul_Checksum != 0)
                problems.push_back(fileLabel(i) + ": empty content but checksum " + Hex8(e.ul_Checksum));
            continue;
        }
        const uint32_t crc = Crc32(block.p_Data.get(), length);
        if (e.ul_Checksum != 0 && crc != e.ul_Checksum)
            problems.push_back(fileLabel(i) + ": checksum mismatch (stored " + Hex8(e.ul_Checksum) +
                               ", content " + Hex8(crc) + ")");
        BIG_st_ContentHead head;
        if (hasRefs && BIG_st_ContentHead::bDecodeContent(block.p_Data.get(), length, length, &head) &&
            head.bHasTable() && !head.bTableFits())
            problems.push_back(fileLabel(i) + ": reference count " + std::to_string(head.ul_RefCount) +
                               " does not fit its content of " + std::to_string(length) + " bytes");
    }
    return problems;
}

}  // namespace HOST::Tools
