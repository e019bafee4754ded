// `orvex pack`: a bigfile rebuilt from a folder made by `extract`.
//
// The manifest is checked whole before anything is built: every number within
// the width of its field, every key used once, every name one component that
// the tables can hold, every data path inside the folder. A bad field is named
// by its place in the manifest ("files[3].key"). The bigfile is built in a
// private folder beside the output and moved into place only when whole; the
// private folder is removed on every path out.
#include <algorithm>
#include <map>
#include <optional>
#include <stdexcept>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "BIGfile/BIG_DuplicatedFilesManager.h"
#include "BIGfile/BIG_Endian.h"
#include "BIGfile/BIG_Fat.h"
#include "host/BigTools.h"
#include "host/BigToolsInternal.h"
#include "platform/File.h"
#include "platform/Folder.h"
#include "platform/Process.h"

namespace HOST::Tools {
namespace {

using detail::Hex8;
using detail::JoinPath;
using detail::Json;

constexpr int kOldestManifest = 1;
constexpr int kNewestManifest = 3;
// From version 3 on, directories name their parent by place: two of one name can be siblings.
constexpr int kFirstManifestWithParents = 3;
// Longest texts the tables hold (without their terminating zero).
constexpr size_t kMaxFileStem = 59;
constexpr size_t kMaxDirName = 52;
constexpr size_t kMaxDataRoot = 39;
constexpr size_t kMaxLabel = 17;
constexpr size_t kMaxClientName = 29;
constexpr uint32_t kLocalKeyMask = 0xFFF00000;
constexpr uint32_t kLocalKeys = 0xFEF00000;
// The duplicated-files table: at most this many entries, places in units of 2^shift bytes.
constexpr uint32_t kMaxTableEntries = 1u << 27;
constexpr uint64_t kMaxTableShift = 35;

class ManifestError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

[[noreturn]] void Bad(const std::string& path, const std::string& what) {
    throw ManifestError(path + ": " + what);
}

const Json* Find(const Json& o, const char* field) {
    const auto it = o.find(field);
    return it == o.end() || it->is_null() ? nullptr : &*it;
}

uint64_t Number(const Json& o, const std::string& path, const char* field, uint64_t max,
                std::optional<uint64_t> fallback) {
    const std::string at = path + "." + field;
    const Json* v = Find(o, field);
    if (v == nullptr) {
        if (fallback)
            return *fallback;
        Bad(at, "missing");
    }
    if (v->is_number_integer() && !v->is_number_unsigned())
        Bad(at, std::to_string(v->get<int64_t>()) + " is negative; it must lie between 0 and " +
                    std::to_string(max));
    if (!v->is_number_unsigned())
        Bad(at, "must be a whole number between 0 and " + std::to_string(max));
    const uint64_t n = v->get<uint64_t>();
    if (n > max)
        Bad(at, std::to_string(n) + " does not fit; it must lie between 0 and " + std::to_string(max));
    return n;
}

bool Flag(const Json& o, const std::string& path, const char* field, bool fallback) {
    const Json* v = Find(o, field);
    if (v == nullptr)
        return fallback;
    if (!v->is_boolean())
        Bad(path + "." + field, "must be true or false");
    return v->get<bool>();
}

std::string Bytes(const Json& v, const std::string& at) {
    std::string out;
    if (!detail::bBytesFromJson(v, &out))
        Bad(at, "must be a text or {\"hex\": \"...\"}");
    if (out.find('\0') != std::string::npos)
        Bad(at, "holds a zero byte");
    return out;
}

std::string Text(const Json& o, const std::string& path, const char* field, size_t maxLength,
                 const std::string& fallback) {
    const Json* v = Find(o, field);
    if (v == nullptr)
        return fallback;
    const std::string at = path + "." + field;
    std::string text = Bytes(*v, at);
    if (text.size() > maxLength)
        Bad(at, std::to_string(text.size()) + " bytes; the field holds at most " + std::to_string(maxLength));
    return text;
}

// One component of a path inside the bigfile: no separator, never "." or "..".
std::string Component(const Json& v, const std::string& at, size_t maxLength) {
    std::string name = Bytes(v, at);
    if (name.empty())
        Bad(at, "is empty");
    if (name.find('/') != std::string::npos)
        Bad(at, "\"" + EscapeText(name) + "\" holds a \"/\"; a name is one path component");
    if (name.size() > maxLength)
        Bad(at, std::to_string(name.size()) + " bytes; at most " + std::to_string(maxLength));
    return name;
}

std::vector<std::string> Components(const Json& v, const std::string& at) {
    if (!v.is_array())
        Bad(at, "must be an array of directory names");
    std::vector<std::string> out;
    for (size_t k = 0; k < v.size(); ++k)
        out.push_back(Component(v[k], at + "[" + std::to_string(k) + "]", kMaxDirName));
    return out;
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

struct ManifestFile {
    uint32_t key = 0;
    std::string name;
    int32_t dir = -1;  // place in Manifest::dirs; -1: the root
    uint32_t time = 0;
    std::optional<uint32_t> flags;
    std::optional<uint8_t> type;
    std::optional<std::vector<uint32_t>> linkKeys;
    std::optional<std::string> data;
    bool raw = false;
    std::vector<uint32_t> refs;
    uint32_t copies = 0;                // 0: an ordinary file
    std::optional<uint32_t> copyIndex;  // where the manifest puts its copy list in the table
    uint32_t first = 0;                 // where it goes: copyIndex, else after the others
};

struct ManifestDir {
    std::string name;
    int32_t parent = -1;  // place in Manifest::dirs; -1: the root
};

struct Manifest {
    uint8_t alignmentShift = 3;
    uint32_t fileCount = 0;
    uint32_t dirCount = 0;
    uint8_t headerFlags = 0;
    uint32_t packageWord = 0;
    uint8_t headerByte = 0;
    std::string dataRoot, label, clientName;
    uint32_t lastSubmittedCL = 0, syncedCL = 0, referenceCL = 0;
    std::vector<ManifestDir> dirs;
    std::vector<ManifestFile> files;
    uint32_t dupEntries = 0;          // entries of the rebuilt duplicated-files table
    std::optional<uint8_t> dupShift;  // the source table's shift, kept when it can hold every place
};

// Each copy list keeps the index the manifest gives it in the duplicated-files
// table; those without one (manifests of older versions, or edited by hand)
// follow the last. Returns the entries the lists need.
uint64_t PlaceCopyLists(std::vector<ManifestFile>* files) {
    std::vector<size_t> indexed;
    for (size_t f = 0; f < files->size(); ++f)
        if ((*files)[f].copies != 0 && (*files)[f].copyIndex)
            indexed.push_back(f);
    std::sort(indexed.begin(), indexed.end(),
              [files](size_t a, size_t b) { return *(*files)[a].copyIndex < *(*files)[b].copyIndex; });
    uint64_t next = 0;
    for (size_t k = 0; k < indexed.size(); ++k) {
        ManifestFile& file = (*files)[indexed[k]];
        if (k > 0 && *file.copyIndex < next)
            Bad("files[" + std::to_string(indexed[k]) + "].copy_index",
                "table entries " + std::to_string(*file.copyIndex) + " to " +
                    std::to_string(*file.copyIndex + file.copies - 1) + " are also copies of files[" +
                    std::to_string(indexed[k - 1]) + "]");
        file.first = *file.copyIndex;
        next = uint64_t{file.first} + file.copies;
    }
    for (size_t f = 0; f < files->size(); ++f) {
        ManifestFile& file = (*files)[f];
        if (file.copies == 0 || file.copyIndex)
            continue;
        if (next > BIG_DuplicatedFilesManager::kIndexMask)
            Bad("files[" + std::to_string(f) + "].copies", "no room left in the duplicated-files table (" +
                                                               std::to_string(kMaxTableEntries) +
                                                               " entries)");
        file.first = static_cast<uint32_t>(next);
        next += file.copies;
    }
    if (next > kMaxTableEntries)
        Bad("files", "the copy lists need " + std::to_string(next) +
                         " entries of the duplicated-files table; it holds at most " +
                         std::to_string(kMaxTableEntries));
    return next;
}

// Directories of a manifest of version 3 on: {"name": ..., "parent": place or
// null}, in any order, every chain of parents reaching the root.
void ParseDirectories(const Json& dirs, std::vector<ManifestDir>* out) {
    for (size_t d = 0; d < dirs.size(); ++d) {
        const std::string at = "directories[" + std::to_string(d) + "]";
        const Json& o = dirs[d];
        if (!o.is_object())
            Bad(at, "must be an object with a name and a parent");
        const Json* name = Find(o, "name");
        if (name == nullptr)
            Bad(at + ".name", "missing");
        ManifestDir dir;
        dir.name = Component(*name, at + ".name", kMaxDirName);
        if (Find(o, "parent") != nullptr)
            dir.parent = static_cast<int32_t>(Number(o, at, "parent", dirs.size() - 1, std::nullopt));
        out->push_back(std::move(dir));
    }
    // A loop of parents would leave its directories nowhere to go.
    enum State : uint8_t { kUnseen, kOnPath, kReachesRoot };
    std::vector<State> state(out->size(), kUnseen);
    std::vector<int32_t> path;
    for (size_t d = 0; d < out->size(); ++d) {
        path.clear();
        int32_t at = static_cast<int32_t>(d);
        for (; at >= 0 && state[at] == kUnseen; at = (*out)[at].parent) {
            state[at] = kOnPath;
            path.push_back(at);
        }
        if (at >= 0 && state[at] == kOnPath)
            Bad("directories[" + std::to_string(at) + "].parent", "makes a loop of parent directories");
        for (int32_t p : path)
            state[p] = kReachesRoot;
    }
}

// Directories of a manifest of versions 1 and 2, named by their path: one
// directory per path, made with its parents on first mention. Exact names:
// two folders whose names differ only in case stay two.
class DirsByPath {
public:
    explicit DirsByPath(std::vector<ManifestDir>* dirs) : m_dirs(*dirs) {}
    int32_t i_Place(const std::vector<std::string>& components) {
        int32_t parent = -1;
        for (const std::string& c : components) {
            const auto [it, fresh] = m_places.try_emplace({parent, c}, static_cast<int32_t>(m_dirs.size()));
            if (fresh)
                m_dirs.push_back({c, parent});
            parent = it->second;
        }
        return parent;
    }

private:
    std::vector<ManifestDir>& m_dirs;
    std::map<std::pair<int32_t, std::string>, int32_t> m_places;
};

Manifest ParseManifest(const std::string& text) {
    Json root;
    try {
        root = Json::parse(text);
    } catch (const nlohmann::json::exception& ex) {
        Bad("manifest", std::string("not valid JSON (") + ex.what() + ")");
    }
    if (!root.is_object())
        Bad("manifest", "must be an object");
    const uint64_t version = Number(root, "manifest", "orvex_manifest", 1000, std::nullopt);
    if (version < kOldestManifest || version > kNewestManifest)
        Bad("orvex_manifest", "version " + std::to_string(version) + " is not supported (1 to 3)");
    const Json* header = Find(root, "header");
    if (header == nullptr || !header->is_object())
        Bad("header", "missing or not an object");
    Manifest m;
    const std::string h = "header";
    m.alignmentShift = static_cast<uint8_t>(Number(*header, h, "alignment_shift", 255, 3));
    if (m.alignmentShift < kMinPackShift || m.alignmentShift > kMaxPackShift)
        Bad("header.alignment_shift", std::to_string(m.alignmentShift) + " is out of range (" +
                                          std::to_string(kMinPackShift) + " to " +
                                          std::to_string(kMaxPackShift) + ")");
    m.fileCount = static_cast<uint32_t>(Number(*header, h, "file_count", UINT32_MAX, 0));
    m.dirCount = static_cast<uint32_t>(Number(*header, h, "dir_count", 0xFFFF, 0));
    m.headerFlags = static_cast<uint8_t>(Number(*header, h, "header_flags", 0xFF, 0));
    m.packageWord = static_cast<uint32_t>(Number(*header, h, "package_word", UINT32_MAX, 0));
    m.headerByte = static_cast<uint8_t>(Number(*header, h, "header_byte", 0xFF, 0));
    m.dataRoot = Text(*header, h, "data_root", kMaxDataRoot, BIG_cl_Fat::kDefaultDataRoot);
    m.label = Text(*header, h, "label", kMaxLabel, "");
    m.clientName = Text(*header, h, "client_name", kMaxClientName, "");
    m.lastSubmittedCL = static_cast<uint32_t>(Number(*header, h, "last_submitted_cl", UINT32_MAX, 0));
    m.syncedCL = static_cast<uint32_t>(Number(*header, h, "synced_cl", UINT32_MAX, 0));
    m.referenceCL = static_cast<uint32_t>(Number(*header, h, "reference_cl", UINT32_MAX, 0));

    const Json* dirs = Find(root, "directories");
    if (dirs == nullptr || !dirs->is_array())
        Bad("directories", "missing or not an array");
    const bool byParent = version >= kFirstManifestWithParents;
    DirsByPath byPath(&m.dirs);
    if (byParent)
        ParseDirectories(*dirs, &m.dirs);
    else
        for (size_t d = 0; d < dirs->size(); ++d)
            byPath.i_Place(Components((*dirs)[d], "directories[" + std::to_string(d) + "]"));

    const Json* files = Find(root, "files");
    if (files == nullptr || !files->is_array())
        Bad("files", "missing or not an array");
    std::unordered_map<uint32_t, size_t> keys;
    for (size_t f = 0; f < files->size(); ++f) {
        const std::string at = "files[" + std::to_string(f) + "]";
        const Json& o = (*files)[f];
        if (!o.is_object())
            Bad(at, "must be an object");
        ManifestFile file;
        file.key = static_cast<uint32_t>(Number(o, at, "key", UINT32_MAX, std::nullopt));
        if (file.key == 0 || file.key == BIG_cl_Fat::kNoKey || (file.key & kLocalKeyMask) == kLocalKeys)
            Bad(at + ".key", Hex8(file.key) + " cannot be stored (0, ffffffff and fefxxxxx are not keys)");
        const auto [other, fresh] = keys.emplace(file.key, f);
        if (!fresh)
            Bad(at + ".key",
                Hex8(file.key) + " is also the key of files[" + std::to_string(other->second) + "]");
        const Json* name = Find(o, "name");
        if (name == nullptr)
            Bad(at + ".name", "missing");
        file.name = Component(*name, at + ".name", SIZE_MAX);
        const size_t dot = file.name.rfind('.');
        if ((dot == std::string::npos ? file.name.size() : dot) > kMaxFileStem)
            Bad(at + ".name",
                "the name before its extension is longer than " + std::to_string(kMaxFileStem) + " bytes");
        if (const Json* dir = Find(o, "dir"); dir != nullptr && byParent) {
            if (m.dirs.empty())
                Bad(at + ".dir", "names a directory, but the manifest lists none");
            file.dir = static_cast<int32_t>(Number(o, at, "dir", m.dirs.size() - 1, std::nullopt));
        } else if (dir != nullptr) {
            file.dir = byPath.i_Place(Components(*dir, at + ".dir"));
        }
        file.time = static_cast<uint32_t>(Number(o, at, "time", UINT32_MAX, 0));
        if (Find(o, "flags") != nullptr)
            file.flags = static_cast<uint32_t>(Number(o, at, "flags", UINT32_MAX, std::nullopt));
        if (Find(o, "type") != nullptr)
            file.type = static_cast<uint8_t>(Number(o, at, "type", 0xFF, std::nullopt));
        file.copies = static_cast<uint32_t>(Number(o, at, "copies", BIG_st_CopyList::kMaxCopies, 0));
        if (Find(o, "copy_index") != nullptr) {
            if (file.copies == 0)
                Bad(at + ".copy_index", "only a file stored in several places has one");
            file.copyIndex = static_cast<uint32_t>(
                Number(o, at, "copy_index", BIG_DuplicatedFilesManager::kIndexMask, std::nullopt));
        }
        if (const Json* link = Find(o, "link_keys")) {
            if (!link->is_array() || link->size() != 4)
                Bad(at + ".link_keys", "a link file needs four keys");
            std::vector<uint32_t> values;
            for (size_t k = 0; k < 4; ++k)
                values.push_back(static_cast<uint32_t>(Number(Json{{"v", (*link)[k]}},
                                                              at + ".link_keys[" + std::to_string(k) + "]",
                                                              "v", UINT32_MAX, std::nullopt)));
            file.linkKeys = values;
        } else if (const Json* data = Find(o, "data")) {
            if (!data->is_string())
                Bad(at + ".data", "must be a path inside the folder, or null");
            const std::string rel = data->get<std::string>();
            if (!bIsSafeRelativePath(rel))
                Bad(at + ".data", "data path \"" + EscapeText(rel) + "\" leaves the folder");
            file.data = rel;
            file.raw = Flag(o, at, "raw", false);
            if (const Json* refs = Find(o, "refs")) {
                if (!refs->is_array())
                    Bad(at + ".refs", "must be an array of keys");
                for (size_t r = 0; r < refs->size(); ++r)
                    file.refs.push_back(static_cast<uint32_t>(Number(Json{{"v", (*refs)[r]}},
                                                                     at + ".refs[" + std::to_string(r) + "]",
                                                                     "v", UINT32_MAX, std::nullopt)));
            }
            if (file.raw && !file.refs.empty())
                Bad(at + ".refs", "a raw content has no reference table");
        }
        if (file.copies != 0 && !file.data && !file.linkKeys)
            Bad(at + ".copies", "a file without content has no copies");
        m.files.push_back(std::move(file));
    }
    m.dupEntries = static_cast<uint32_t>(PlaceCopyLists(&m.files));
    if (m.dupEntries != 0 && !keys.count(BIG_DuplicatedFilesManager::kFileKey))
        Bad("files", "files stored in several places need the duplicated-files table (key 00001000)");
    if (const auto it = keys.find(BIG_DuplicatedFilesManager::kFileKey);
        it != keys.end() && m.dupEntries != 0) {
        if (m.files[it->second].copies != 0 || m.files[it->second].linkKeys)
            Bad("files[" + std::to_string(it->second) + "]",
                "the duplicated-files table must be an ordinary file");
    }
    m.dupEntries = std::max<uint32_t>(
        m.dupEntries,
        static_cast<uint32_t>(Number(root, "manifest", "duplicated_files_entries", kMaxTableEntries, 0)));
    if (Find(root, "duplicated_files_shift") != nullptr)
        m.dupShift = static_cast<uint8_t>(
            Number(root, "manifest", "duplicated_files_shift", kMaxTableShift, std::nullopt));
    return m;
}

// Makes the manifest's directories in the table, each after its parents
// (which the list may give later); the table index of each in `made`. A new
// table already holds "Temp" at the top: the first such directory of the
// manifest is that one, not a second beside it.
bool bMakeDirectories(BIG_cl_Fat& fat, const std::vector<ManifestDir>& dirs, std::vector<uint16_t>* made,
                      std::string* error) {
    made->assign(dirs.size(), BIG_cl_Fat::kNoDir);
    uint16_t temp = fat.uw_GetTempDirIndex();
    std::vector<int32_t> chain;
    for (size_t d = 0; d < dirs.size(); ++d) {
        chain.clear();
        for (int32_t at = static_cast<int32_t>(d); at >= 0 && (*made)[at] == BIG_cl_Fat::kNoDir;
             at = dirs[at].parent)
            chain.push_back(at);
        for (size_t k = chain.size(); k-- > 0;) {
            const ManifestDir& dir = dirs[chain[k]];
            if (dir.parent < 0 && temp != BIG_cl_Fat::kNoDir && dir.name == BIG_cl_Fat::kTempDirName) {
                (*made)[chain[k]] = std::exchange(temp, BIG_cl_Fat::kNoDir);
                continue;
            }
            const uint16_t parent = dir.parent < 0 ? BIG_cl_Fat::kRootDir : (*made)[dir.parent];
            (*made)[chain[k]] = fat.uw_CreateDir(dir.name.c_str(), parent);
            if ((*made)[chain[k]] == BIG_cl_Fat::kNoDir) {
                *error = "cannot create directory directories[" + std::to_string(chain[k]) + "]";
                return false;
            }
        }
    }
    return true;
}

// The shift of the rebuilt duplicated-files table: the source's when it holds
// every place exactly (whole units, below the no-place value), else the
// alignment's, which every place is a multiple of.
uint8_t uc_TableShift(std::optional<uint8_t> source, uint8_t alignment, const std::vector<uint32_t>& places) {
    if (!source)
        return alignment;
    const uint64_t unit = uint64_t{1} << *source;
    for (uint32_t place : places) {
        const uint64_t byte = uint64_t{place} * 8;
        if (place != BIG_DuplicatedFilesManager::kNoPlace &&
            (byte % unit != 0 || byte / unit >= BIG_DuplicatedFilesManager::kNoPlace))
            return alignment;
    }
    return *source;
}

// Reads the data files of the folder open as `folder` (shown as `inDir`), one
// component at a time and without following a link: a link planted in the
// folder could otherwise name any file of the machine. The last file's folder
// stays open, since a manifest lists the files of one folder together.
class ListedReader {
public:
    ListedReader(PLT::FileHandle folder, const std::string& inDir)
        : m_folder(folder), ms_InDir(inDir), m_dir(folder) {}
    ~ListedReader() {
        if (m_dir != m_folder)
            PLT::CloseFile(m_dir);
    }
    ListedReader(const ListedReader&) = delete;
    ListedReader& operator=(const ListedReader&) = delete;

    // The whole file `rel` into `bytes`; false with `error` naming `field`
    // and, for a folder on the way that failed (a link), that folder.
    bool bRead(const std::string& rel, size_t extra, const std::string& field, std::string* bytes,
               std::string* error) {
        const size_t slash = rel.rfind('/');
        const std::string dirRel = slash == std::string::npos ? "" : rel.substr(0, slash);
        std::string failedAt;
        if (m_dir == PLT::kInvalidFile || dirRel != ms_DirRel) {
            if (m_dir != m_folder)
                PLT::CloseFile(m_dir);
            ms_DirRel = dirRel;
            m_dir = dirRel.empty() ? m_folder : PLT::OpenDirectoryBelow(m_folder, dirRel, &failedAt);
        }
        PLT::FileHandle file = PLT::kInvalidFile;
        if (m_dir != PLT::kInvalidFile) {
            file = PLT::OpenFileBelow(m_dir, slash == std::string::npos ? rel : rel.substr(slash + 1),
                                      &failedAt);
            failedAt = JoinPath(dirRel, failedAt);
        }
        const std::string shown = "cannot read " + EscapeText(JoinPath(ms_InDir, rel)) + " (" + field + "): ";
        uint64_t size = 0;
        bool ok = file != PLT::kInvalidFile && PLT::GetFileSize(file, &size);
        if (!ok) {
            const std::string where = file == PLT::kInvalidFile && failedAt != rel
                                          ? EscapeText(JoinPath(ms_InDir, failedAt)) + ": "
                                          : "";
            *error = shown + where + PLT::ErrorText(PLT::LastError());
        } else if (size > UINT32_MAX - extra) {
            *error = shown + "too large for a bigfile";
            ok = false;
        } else {
            bytes->resize(static_cast<size_t>(size));
            ok = PLT::ReadAt(file, 0, bytes->data(), bytes->size());
            if (!ok)
                *error = shown + PLT::ErrorText(PLT::LastError());
        }
        PLT::CloseFile(file);
        return ok;
    }

private:
    PLT::FileHandle m_folder;
    std::string ms_InDir;
    std::string ms_DirRel;  // the folder open as m_dir, relative to m_folder
    PLT::FileHandle m_dir;
};

// Builds the bigfile at `tmpPath` from the folder `inDir`, open as `folder`;
// reports through `error`.
bool bPackInto(const Manifest& m, PLT::FileHandle folder, const std::string& inDir,
               const std::string& tmpPath, const PackOptions& options, std::string* error) {
    const uint64_t fileCount = std::max<uint64_t>(m.fileCount, m.files.size() + 1);
    const uint64_t dirCount = std::max<uint64_t>(m.dirCount, m.dirs.size() + 2);
    if (fileCount > UINT32_MAX || dirCount > 0xFFFF) {
        *error = "manifest: too many files or directories for one bigfile";
        return false;
    }
    const int shift = options.i_AlignmentShift >= 0 ? options.i_AlignmentShift : m.alignmentShift;
    BIG_cl_Fat fat;
    fat.File().SetAlignmentShift(static_cast<uint8_t>(shift));
    const uint32_t e = fat.File().eCreate(tmpPath, false, options.ul_MaxSegmentSize, options.b_SmallHeader);
    if (e != 0) {
        *error = "cannot create " + tmpPath + ": " + PLT::ErrorText(PLT::LastError());
        return false;
    }
    if (options.b_Reproducible) {
        uint32_t newest = 0;
        for (const ManifestFile& f : m.files)
            newest = std::max(newest, f.time);
        fat.SetVersionInfoTime(options.o_Time.value_or(newest));
    }
    // Each edit's outcome is read as it is made; the first failure stops the build.
    const auto edited = [&] {
        if (fat.LastEditStatus().bOk())
            return true;
        *error = "write error while building " + tmpPath;
        return false;
    };
    bool ok = fat.Create(static_cast<uint32_t>(fileCount), static_cast<uint16_t>(dirCount), m.packageWord,
                         m.headerByte);
    if (ok) {
        fat.SetDataRoot(m.dataRoot);
        fat.SetHeaderFlags(m.headerFlags);
        fat.SetVersionInfo(m.lastSubmittedCL, m.syncedCL, m.referenceCL, m.clientName, m.label);
    }
    std::vector<uint16_t> dirs;
    ok = ok && bMakeDirectories(fat, m.dirs, &dirs, error);
    ListedReader listed(folder, inDir);
    // Filled in as the copies are stored; entries that no copy list names keep no place.
    std::vector<uint32_t> dupPlaces(m.dupEntries, BIG_DuplicatedFilesManager::kNoPlace);
    uint32_t dupIndex = BIG_cl_Fat::kNoFile;
    std::vector<uint8_t> dupRefs;
    std::vector<uint8_t> data;
    std::string bytes;
    for (size_t f = 0; ok && f < m.files.size(); ++f) {
        const ManifestFile& o = m.files[f];
        const std::string at = "files[" + std::to_string(f) + "]";
        const uint16_t dir = o.dir < 0 ? BIG_cl_Fat::kRootDir : dirs[o.dir];
        const uint32_t index = fat.ul_CreateFile(o.name.c_str(), o.time, dir, o.key);
        if (index == BIG_cl_Fat::kNoFile) {
            *error = "cannot create " + at + " (key " + Hex8(o.key) + ")";
            ok = false;
            break;
        }
        data.clear();
        if (o.data) {
            if (!listed.bRead(*o.data, 4 * (o.refs.size() + 1), at + ".data", &bytes, error)) {
                ok = false;
                break;
            }
            if (!o.raw) {
                BIG::Endian::ByteAppender out(&data);
                out.U32(static_cast<uint32_t>(o.refs.size()));
                for (uint32_t r : o.refs)
                    out.U32(r);
            }
            data.insert(data.end(), bytes.begin(), bytes.end());
        }
        if (o.linkKeys) {
            // The bytes a link file stores, for its further copies.
            BIG::Endian::ByteAppender out(&data);
            out.U32(4);
            for (uint32_t k : *o.linkKeys)
                out.U32(k);
        }
        if (o.key == BIG_DuplicatedFilesManager::kFileKey && m.dupEntries != 0) {
            // Rebuilt below, once every copy has its place; its reference table stays.
            dupIndex = index;
            BIG::Endian::ByteAppender refs(&dupRefs);
            refs.U32(static_cast<uint32_t>(o.refs.size()));
            for (uint32_t r : o.refs)
                refs.U32(r);
        } else if (o.linkKeys) {
            fat.SaveLinkFile(index, (*o.linkKeys)[0], (*o.linkKeys)[1], (*o.linkKeys)[2], (*o.linkKeys)[3]);
        } else if (o.data) {
            fat.SaveFile(index, data.data(), static_cast<uint32_t>(data.size()));
        }
        if (!edited()) {
            ok = false;
            break;
        }
        BIG_st_FileEntry* entry = fat.pst_GetFileEntry(index);
        if (o.copies != 0 && entry->ul_Pos != BIG_st_FileEntry::kNone) {
            // Each further copy is saved as if the file had no place yet, which puts it at the end.
            dupPlaces[o.first] = entry->ul_Pos;
            for (uint32_t c = 1; c < o.copies; ++c) {
                entry->ul_Pos = BIG_st_FileEntry::kNone;
                fat.SaveFile(index, data.data(), static_cast<uint32_t>(data.size()));
                entry = fat.pst_GetFileEntry(index);
                if (!edited()) {
                    ok = false;
                    break;
                }
                dupPlaces[o.first + c] = entry->ul_Pos;
            }
            if (!ok)
                break;
            entry->ul_Pos = o.copies << BIG_DuplicatedFilesManager::kCountShift | o.first;
            entry->uc_StorageFlags |= BIG_st_FileEntry::kStorageCopyList;
        }
        // Saving stamps the current time and resets the flags word: put back the source's.
        entry->ul_Time = o.time;
        if (o.flags)
            entry->ul_Flags = *o.flags;
        if (o.type)
            entry->uc_Type = *o.type;
        fat.WriteFileEntry(index);
        ok = edited();
    }
    if (ok && dupIndex != BIG_cl_Fat::kNoFile) {
        std::vector<uint8_t> table = dupRefs;
        BIG::Endian::ByteAppender out(&table);
        out.U32(m.dupEntries);
        const uint8_t tableShift = uc_TableShift(m.dupShift, static_cast<uint8_t>(shift), dupPlaces);
        out.U8(tableShift);
        for (uint32_t place : dupPlaces)
            out.U32(place == BIG_DuplicatedFilesManager::kNoPlace
                        ? place
                        : static_cast<uint32_t>((uint64_t{place} * 8) >> tableShift));
        const BIG_st_FileEntry before = fat.FileEntry(dupIndex);
        fat.SaveFile(dupIndex, table.data(), static_cast<uint32_t>(table.size()));
        ok = edited();
        if (ok) {
            BIG_st_FileEntry* entry = fat.pst_GetFileEntry(dupIndex);
            entry->ul_Time = before.ul_Time;
            entry->ul_Flags = before.ul_Flags;
            entry->uc_Type = before.uc_Type;
            fat.WriteFileEntry(dupIndex);
            ok = edited();
        }
    }
    if (ok) {
        fat.WriteFatHeader();
        ok = edited();
    }
    if (ok && options.b_Reproducible) {
        const BIG::Status stamped = fat.eDeriveSetStamp();
        if (!stamped.bOk()) {
            *error = stamped.Message();
            ok = false;
        }
    }
    if (ok && fat.File().eFlush() != 0) {
        *error = "cannot flush " + tmpPath;
        ok = false;
    }
    fat.File().eClose();
    return ok;
}

// Files of the folder (relative paths) that the manifest does not name, walked
// without recursion. A link is an entry, never a folder to enter: one that
// names its own folder would make the walk endless.
void ListUnlisted(const std::string& inDir, const Manifest& m, std::vector<std::string>* out) {
    std::unordered_set<std::string> listed;
    for (const ManifestFile& f : m.files)
        if (f.data)
            listed.insert(*f.data);
    std::vector<std::string> folders{""};
    std::vector<std::string> names;
    while (!folders.empty()) {
        const std::string rel = folders.back();
        folders.pop_back();
        if (!PLT::ListDirectory(JoinPath(inDir, rel), &names))
            continue;
        for (const std::string& n : names) {
            const std::string child = JoinPath(rel, n);
            if (rel.empty() && n == kManifestName)
                continue;
            const std::string path = JoinPath(inDir, child);
            if (!PLT::IsSymbolicLink(path) && PLT::DirectoryExists(path))
                folders.push_back(child);
            else if (!listed.count(child))
                out->push_back(child);
        }
    }
    std::sort(out->begin(), out->end());
}

}  // namespace

bool bCheckManifest(const std::string& text, std::string* error) {
    try {
        ParseManifest(text);
    } catch (const ManifestError& ex) {
        *error = std::string("manifest: ") + ex.what();
        return false;
    } catch (const std::exception& ex) {
        *error = std::string("manifest: ") + ex.what();
        return false;
    }
    return true;
}

bool Pack(const std::string& inDir, const std::string& outPath, const PackOptions& options,
          std::string* error, std::vector<std::string>* warnings) {
    // The folder first: a folder that is not there is named as such, not as
    // a manifest that cannot be read.
    struct Folder {
        PLT::FileHandle handle;
        ~Folder() {
            if (handle != PLT::kInvalidFile)
                PLT::CloseFile(handle);
        }
    } folder{PLT::OpenDirectory(inDir)};
    if (folder.handle == PLT::kInvalidFile) {
        *error = inDir + ": cannot open the folder: " + PLT::ErrorText(PLT::LastError());
        return false;
    }
    std::string text;
    const std::string manifestPath = JoinPath(inDir, kManifestName);
    if (!PLT::ReadWholeFile(manifestPath, &text)) {
        *error = "cannot read " + manifestPath + ": " + PLT::ErrorText(PLT::LastError());
        return false;
    }
    Manifest manifest;
    try {
        manifest = ParseManifest(text);
    } catch (const std::exception& ex) {
        *error = manifestPath + ": " + ex.what();
        return false;
    }
    if (warnings != nullptr) {
        std::vector<std::string> unlisted;
        ListUnlisted(inDir, manifest, &unlisted);
        for (const std::string& u : unlisted)
            warnings->push_back(JoinPath(inDir, u) + " is not listed in the manifest and is left out");
    }
    // Built in a private folder beside the output, then moved into place
    // segment by segment (the first last): a failure never leaves a bigfile
    // that looks finished, and the segments keep their names.
    const size_t slash = outPath.rfind('/');
    const std::string outDir = slash == std::string::npos ? "." : outPath.substr(0, slash);
    const std::string baseName = slash == std::string::npos ? outPath : outPath.substr(slash + 1);
    const std::string work = JoinPath(outDir, ".orvex-pack-" + std::to_string(PLT::CurrentProcessId()));
    if (!PLT::MakeDirectories(work)) {
        *error = "cannot create " + work + ": " + PLT::ErrorText(PLT::LastError());
        return false;
    }
    struct CleanUp {
        const std::string& work;
        ~CleanUp() {
            std::vector<std::string> names;
            if (PLT::ListDirectory(work, &names))
                for (const std::string& n : names)
                    PLT::RemoveFile(JoinPath(work, n));
            PLT::RemoveDirectory(work);
        }
    } cleanUp{work};
    bool ok = false;
    try {
        ok = bPackInto(manifest, folder.handle, inDir, JoinPath(work, baseName), options, error);
    } catch (const std::exception& ex) {
        *error = std::string("cannot build the bigfile: ") + ex.what();
        ok = false;
    }
    if (!ok)
        return false;
    std::vector<std::string> names;
    PLT::ListDirectory(work, &names);
    std::stable_partition(names.begin(), names.end(),
                          [&baseName](const std::string& n) { return n != baseName; });
    for (const std::string& n : names) {
        if (!PLT::RenameFile(JoinPath(work, n), JoinPath(outDir, n))) {
            *error = "cannot move " + n + " into " + outDir + ": " + PLT::ErrorText(PLT::LastError());
            return false;
        }
    }
    return true;
}

}  // namespace HOST::Tools
