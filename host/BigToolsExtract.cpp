// `orvex extract`: a bigfile's files written under their directory paths, and
// the manifest from which `pack` rebuilds the bigfile.
//
// Every folder and file is created relative to its parent folder's descriptor,
// one component at a time, and no symbolic link is ever followed
// (platform/Folder.h): whatever the names, nothing is written outside the
// output folder. Paths are built incrementally, one directory from its
// parent's, so a deep tree costs its size, not its depth squared.
#include <algorithm>
#include <climits>
#include <cstring>
#include <set>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "BIGfile/BIG_DuplicatedFilesManager.h"
#include "BIGfile/BIG_Fat.h"
#include "host/BigTools.h"
#include "host/BigToolsInternal.h"
#include "platform/Folder.h"

namespace HOST::Tools {
namespace {

using detail::BytesJson;
using detail::ContentReader;
using detail::Hex8;
using detail::JoinPath;
using detail::Json;

constexpr int kManifestVersion = 3;
// The longest path the platform opens by name; longer ones are refused.
constexpr size_t kMaxPathLength = PATH_MAX - 1;
// Folder descriptors kept open at once; the others are opened again on demand.
constexpr size_t kMaxOpenFolders = 128;

std::string DirName(const BIG_cl_Fat& fat, uint16_t dir) {
    const BIG_st_DirEntry& d = fat.DirEntry(dir);
    return std::string(d.sz_Name, strnlen(d.sz_Name, BIG_st_DirEntry::kNameSize));
}

// The on-disk spelling of every directory, made unique among its siblings, with
// the length of its path; and the descriptors of the folders made so far.
class FolderTree {
public:
    FolderTree(BIG_cl_Fat& fat, const std::string& outDir, PLT::FileHandle root)
        : m_fat(fat), ms_OutDir(outDir), m_dirs(std::max<size_t>(fat.uw_GetDirCount(), 1)) {
        // A reduced table has no directories: its files all go to the top.
        m_dirs[0].state = kReady;
        m_dirs[0].fd = root;
        m_dirs[0].length = outDir.size();
    }
    ~FolderTree() {
        for (size_t d = 1; d < m_dirs.size(); ++d)
            PLT::CloseFile(m_dirs[d].fd);
    }

    // Spells `dir` (and its parents first); false with `problem` when its
    // chain is broken or its path too long. Without recursion.
    bool bSpell(uint16_t dir, std::string* problem) {
        if (dir >= m_dirs.size()) {
            *problem = "directory " + std::to_string(dir) + " is outside the table";
            return false;
        }
        std::vector<uint16_t> chain;
        uint16_t at = dir;
        while (at < m_dirs.size() && m_dirs[at].state == kUnknown && chain.size() <= m_dirs.size()) {
            chain.push_back(at);
            at = m_fat.DirEntry(at).uw_Parent;
        }
        bool ok = at < m_dirs.size() && m_dirs[at].state == kReady && chain.size() <= m_dirs.size();
        for (size_t k = chain.size(); k-- > 0;) {
            Dir& d = m_dirs[chain[k]];
            const uint16_t parent = m_fat.DirEntry(chain[k]).uw_Parent;
            if (!ok) {
                d.state = kBroken;
                continue;
            }
            d.name =
                UniqueName(parent, SafeComponent(DirName(m_fat, chain[k])), "~d" + std::to_string(chain[k]));
            if (d.name != DirName(m_fat, chain[k]))
                ++mul_Renamed;
            d.length = m_dirs[parent].length + 1 + d.name.size();
            d.state = d.length > kMaxPathLength ? kTooLong : kReady;
            ok = d.state == kReady;
            if (d.state == kTooLong && m_dirs[parent].state == kReady)
                m_tooLongTops.push_back(chain[k]);
        }
        const Dir& d = m_dirs[dir];
        if (d.state == kReady)
            return true;
        *problem = d.state == kTooLong ? "its folder path is longer than the " +
                                             std::to_string(kMaxPathLength) + " bytes the platform allows"
                                       : "its directory has a broken parent chain";
        return false;
    }

    // A name for `spelled` in `parent` that no other entry there has.
    std::string UniqueName(uint16_t parent, std::string spelled, const std::string& suffix) {
        // The manifest's place at the top is never an entry's.
        if (parent == BIG_cl_Fat::kRootDir && spelled == kManifestName)
            spelled = "manifest%2Ejson";
        std::string name = spelled;
        for (int n = 0; !m_taken.insert({parent, name}).second; ++n)
            name = spelled + suffix + (n == 0 ? "" : "~" + std::to_string(n));
        return name;
    }

    // Path of a spelled directory relative to the output folder.
    std::string RelPath(uint16_t dir) const {
        std::vector<const std::string*> parts;
        for (uint16_t at = dir; at != BIG_cl_Fat::kRootDir; at = m_fat.DirEntry(at).uw_Parent)
            parts.push_back(&m_dirs[at].name);
        std::string rel;
        for (size_t k = parts.size(); k-- > 0;)
            rel = JoinPath(rel, *parts[k]);
        return rel;
    }
    size_t PathLength(uint16_t dir) const { return m_dirs[dir].length; }

    // The folder of a spelled directory, made when missing. A symbolic link on
    // the way is refused with its path in `problem`.
    PLT::FileHandle Folder(uint16_t dir, std::string* problem) {
        std::vector<uint16_t> chain;
        for (uint16_t at = dir; m_dirs[at].fd == PLT::kInvalidFile; at = m_fat.DirEntry(at).uw_Parent)
            chain.push_back(at);
        if (mul_Open + chain.size() > kMaxOpenFolders) {
            // Keep only the chain's own ancestors' descriptors: the rest are reopened on demand.
            for (size_t d = 1; d < m_dirs.size(); ++d)
                PLT::CloseFile(std::exchange(m_dirs[d].fd, PLT::kInvalidFile));
            mul_Open = 0;
            chain.clear();
            for (uint16_t at = dir; at != BIG_cl_Fat::kRootDir; at = m_fat.DirEntry(at).uw_Parent)
                chain.push_back(at);
        }
        for (size_t k = chain.size(); k-- > 0;) {
            Dir& d = m_dirs[chain[k]];
            const uint16_t parent = m_fat.DirEntry(chain[k]).uw_Parent;
            d.fd = PLT::OpenOrMakeSubdirectory(m_dirs[parent].fd, d.name);
            if (d.fd == PLT::kInvalidFile) {
                *problem = "cannot create the folder " + JoinPath(ms_OutDir, RelPath(chain[k])) + ": " +
                           PLT::ErrorText(PLT::LastError());
                return PLT::kInvalidFile;
            }
            ++mul_Open;
            // A chain deeper than the budget keeps only the descriptors it still needs.
            if (mul_Open > kMaxOpenFolders && parent != BIG_cl_Fat::kRootDir) {
                PLT::CloseFile(std::exchange(m_dirs[parent].fd, PLT::kInvalidFile));
                --mul_Open;
            }
        }
        return m_dirs[dir].fd;
    }

    uint32_t ul_Renamed() const { return mul_Renamed; }
    const std::vector<uint16_t>& TooLongTops() const { return m_tooLongTops; }

private:
    enum State : uint8_t { kUnknown, kReady, kTooLong, kBroken };
    struct Dir {
        State state = kUnknown;
        std::string name;
        size_t length = 0;
        PLT::FileHandle fd = PLT::kInvalidFile;
    };
    struct PairHash {
        size_t operator()(const std::pair<uint16_t, std::string>& p) const {
            return std::hash<std::string>()(p.second) * 65599u + p.first;
        }
    };

    BIG_cl_Fat& m_fat;
    std::string ms_OutDir;
    std::vector<Dir> m_dirs;
    std::unordered_set<std::pair<uint16_t, std::string>, PairHash> m_taken;
    std::vector<uint16_t> m_tooLongTops;
    uint32_t mul_Renamed = 0;
    size_t mul_Open = 0;
};

// The manifest's "directories": every used directory whose chain reaches the
// root through used directories, in index order so that a rebuild lays out the
// same tree, each naming its parent by its place in this list (null: the
// root), so that two sibling folders of one name stay two. `places` receives
// each directory's place, -1 for one left out (an overlong path is reported
// by the caller once per subtree, anything else here).
Json DirectoriesJson(const BIG_cl_Fat& fat, FolderTree& tree, std::vector<int32_t>* places,
                     std::vector<std::string>* errors) {
    const uint16_t count = fat.uw_GetDirCount();
    enum State : uint8_t { kUnseen, kListed, kLeftOut };
    std::vector<State> state(count, kUnseen);
    places->assign(count, -1);
    if (count == 0)
        return Json::array();
    state[BIG_cl_Fat::kRootDir] = kListed;
    std::string problem;
    std::vector<uint16_t> chain;
    for (uint16_t d = 1; d < count; ++d) {
        if (state[d] != kUnseen)
            continue;
        if (!fat.DirEntry(d).bIsUsed()) {
            state[d] = kLeftOut;
            continue;
        }
        if (!tree.bSpell(d, &problem)) {
            if (problem.find("longer") == std::string::npos)
                errors->push_back("directory " + std::to_string(d) + " has a broken parent chain");
            state[d] = kLeftOut;
            continue;
        }
        // Spelled, so its chain reaches the root: listed when every directory on it is used.
        chain.clear();
        uint16_t at = d;
        for (; state[at] == kUnseen; at = fat.DirEntry(at).uw_Parent)
            chain.push_back(at);
        bool listed = state[at] == kListed;
        for (size_t k = chain.size(); k-- > 0;) {
            listed = listed && fat.DirEntry(chain[k]).bIsUsed();
            state[chain[k]] = listed ? kListed : kLeftOut;
        }
        if (!listed)
            errors->push_back("directory " + std::to_string(d) + " lies under an unused directory entry");
    }
    int32_t next = 0;
    for (uint16_t d = 1; d < count; ++d)
        if (state[d] == kListed)
            (*places)[d] = next++;
    Json dirs = Json::array();
    for (uint16_t d = 1; d < count; ++d) {
        if (state[d] != kListed)
            continue;
        const uint16_t parent = fat.DirEntry(d).uw_Parent;
        Json o;
        o["name"] = BytesJson(DirName(fat, d));
        o["parent"] = parent == BIG_cl_Fat::kRootDir ? Json(nullptr) : Json((*places)[parent]);
        dirs.push_back(std::move(o));
    }
    return dirs;
}

bool bWriteIn(PLT::FileHandle folder, const std::string& name, const std::string& shownPath,
              const uint8_t* data, size_t size, std::string* error) {
    const PLT::FileHandle file = PLT::CreateFileIn(folder, name);
    if (file == PLT::kInvalidFile) {
        *error = "cannot write " + shownPath + ": " + PLT::ErrorText(PLT::LastError());
        return false;
    }
    const bool ok = PLT::WriteAll(file, data, size);
    if (!ok)
        *error = "cannot write " + shownPath + ": " + PLT::ErrorText(PLT::LastError());
    PLT::CloseFile(file);
    return ok;
}

Json HeaderJson(BIG_cl_Fat& fat) {
    Json header;
    header["format"] = fat.uw_GetFormatNb();
    header["alignment_shift"] = fat.File().uc_GetAlignmentShift();
    header["file_count"] = fat.ul_GetFileCount();
    header["dir_count"] = fat.uw_GetDirCount();
    header["header_flags"] = fat.uc_GetHeaderFlags();
    header["package_word"] = fat.ul_GetPackageWord();
    header["header_byte"] = fat.uc_GetHeaderByte();
    header["data_root"] = BytesJson(fat.GetDataRoot());
    header["label"] = BytesJson(fat.GetLabel());
    header["client_name"] = BytesJson(fat.GetClientName());
    header["last_submitted_cl"] = fat.ul_GetLastSubmittedCL();
    header["synced_cl"] = fat.ul_GetSyncedCL();
    header["reference_cl"] = fat.ul_GetReferenceCL();
    return header;
}

}  // namespace

bool Extract(BIG_cl_Fat& fat, const std::string& outDir, const std::vector<uint32_t>& keys,
             ExtractResult* result) {
    ExtractOptions options;
    options.keys = keys;
    options.b_Sync = false;
    return ExtractWithOptions(fat, outDir, options, result);
}

bool ExtractWithOptions(BIG_cl_Fat& fat, const std::string& outDir, const ExtractOptions& options,
                        ExtractResult* result) {
    *result = ExtractResult{};
    if (!PLT::MakeDirectories(outDir)) {
        result->errors.push_back("cannot create " + outDir + ": " + PLT::ErrorText(PLT::LastError()));
        return false;
    }
    const PLT::FileHandle root = PLT::OpenDirectory(outDir);
    if (root == PLT::kInvalidFile) {
        result->errors.push_back("cannot open " + outDir + ": " + PLT::ErrorText(PLT::LastError()));
        return false;
    }
    const std::unordered_set<uint32_t> wanted(options.keys.begin(), options.keys.end());
    for (uint32_t key : options.keys)
        if (fat.ul_GetFileIndex(key, false) == BIG_cl_Fat::kNoFile)
            result->missingKeys.push_back(key);

    Json manifest;
    manifest["orvex_manifest"] = kManifestVersion;
    manifest["header"] = HeaderJson(fat);
    ContentReader contents(fat);
    if (contents.bHasTable()) {
        // Pack rebuilds the table at this size and shift, each copy list at its own index.
        manifest["duplicated_files_entries"] = contents.ul_TableEntries();
        manifest["duplicated_files_shift"] = contents.uc_TableShift();
    }
    FolderTree tree(fat, outDir, root);
    std::string problem;

    std::vector<int32_t> dirPlaces;
    manifest["directories"] = DirectoriesJson(fat, tree, &dirPlaces, &result->errors);

    const bool hasRefs = fat.uw_GetFormatNb() >= detail::kFirstFormatWithRefs;
    Json files = Json::array();
    std::vector<uint32_t> places;
    std::vector<uint8_t> content;
    uint32_t tooDeep = 0;
    for (uint32_t i = 0; i < fat.ul_GetFileCount(); ++i) {
        const BIG_st_FileEntry& e = fat.FileEntry(i);
        if (e.ul_Key == 0 || (!wanted.empty() && !wanted.count(e.ul_Key)))
            continue;
        // Made only for a message: a path is as long as the tree is deep.
        auto label = [&fat, &e, i] { return Hex8(e.ul_Key) + " " + EscapeText(fat.GetFilePath(i)); };
        const uint16_t dirIndex = fat.bIsReducedFat() ? BIG_cl_Fat::kRootDir : e.uw_Dir;
        if (dirIndex != BIG_cl_Fat::kRootDir && (dirIndex >= dirPlaces.size() || dirPlaces[dirIndex] < 0)) {
            problem.clear();
            if (dirIndex < dirPlaces.size() && !tree.bSpell(dirIndex, &problem) &&
                problem.find("longer") != std::string::npos)
                ++tooDeep;
            else
                result->errors.push_back("file " + Hex8(e.ul_Key) + " lies in a broken directory chain");
            continue;
        }
        const std::string name = fat.GetFileName(i);
        Json o;
        o["key"] = e.ul_Key;
        o["index"] = i;
        o["dir"] = dirIndex == BIG_cl_Fat::kRootDir ? Json(nullptr) : Json(dirPlaces[dirIndex]);
        o["path"] = BytesJson(fat.GetFilePath(i));
        o["name"] = BytesJson(name);
        o["type"] = e.uc_Type;
        o["time"] = e.ul_Time;
        o["flags"] = e.ul_Flags;
        o["link"] = (e.ul_Flags & BIG_st_FileEntry::kFlagLinkMask) == 0;

        if (!contents.bPlaces(i, &places, &problem)) {
            result->errors.push_back("cannot read " + label() + ": " + problem);
            continue;
        }
        if (contents.bIsCopyList(i)) {
            o["copies"] = places.size();
            o["copy_index"] = BIG_DuplicatedFilesManager::ul_FirstIndex(e.ul_Pos);
        }
        if (places.empty()) {
            o["data"] = nullptr;
            files.push_back(std::move(o));
            ++result->ul_Files;
            continue;
        }
        // Every copy holds the same bytes (verify checks them): the first is written.
        if (!contents.bRead(places[0], &content, &problem)) {
            result->errors.push_back("cannot read " + label() + ": " + problem);
            continue;
        }
        const uint32_t length = static_cast<uint32_t>(content.size());
        uint32_t dataOffset = 0;
        Json refs = Json::array();
        bool raw = true;
        if (hasRefs && length >= 4) {
            const uint8_t* p = content.data();
            const uint32_t n =
                uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
            if (uint64_t(n) * 4 + 4 <= length) {
                raw = false;
                for (uint32_t r = 0; r < n; ++r) {
                    const uint8_t* q = p + 4 + 4 * r;
                    refs.push_back(uint32_t(q[0]) | uint32_t(q[1]) << 8 | uint32_t(q[2]) << 16 |
                                   uint32_t(q[3]) << 24);
                }
                dataOffset = 4 + 4 * n;
            }
        }
        if (!raw && o["link"].get<bool>() && refs.size() == 4 && length == 20) {
            o["link_keys"] = refs;
            o["data"] = nullptr;
            files.push_back(std::move(o));
            ++result->ul_Files;
            continue;
        }
        o["raw"] = raw;
        o["refs"] = std::move(refs);
        const std::string fileName = tree.UniqueName(dirIndex, SafeComponent(name), "~" + Hex8(e.ul_Key));
        if (fileName != name)
            ++result->ul_Renamed;
        const std::string rel = JoinPath(tree.RelPath(dirIndex), fileName);
        if (tree.PathLength(dirIndex) + 1 + fileName.size() > kMaxPathLength) {
            ++tooDeep;
            continue;
        }
        const PLT::FileHandle folder = tree.Folder(dirIndex, &problem);
        if (folder == PLT::kInvalidFile) {
            result->errors.push_back(problem);
            continue;
        }
        std::string error;
        if (!bWriteIn(folder, fileName, JoinPath(outDir, rel), content.data() + dataOffset,
                      length - dataOffset, &error)) {
            result->errors.push_back(error);
            continue;
        }
        o["data"] = rel;
        files.push_back(std::move(o));
        ++result->ul_Files;
    }
    for (uint16_t top : tree.TooLongTops())
        result->errors.push_back("directory " + std::to_string(top) + " (" +
                                 EscapeText(fat.GetDirPath(top).substr(0, 80)) +
                                 "...) and everything below it: the folder path is longer than the " +
                                 std::to_string(kMaxPathLength) + " bytes the platform allows");
    if (tooDeep != 0)
        result->errors.push_back(std::to_string(tooDeep) + " files not extracted: their paths are too long");
    manifest["files"] = std::move(files);
    result->ul_Renamed += tree.ul_Renamed();

    const std::string text = manifest.dump(1) + "\n";
    std::string error;
    if (!bWriteIn(root, kManifestName, JoinPath(outDir, kManifestName),
                  reinterpret_cast<const uint8_t*>(text.data()), text.size(), &error))
        result->errors.push_back(error);
    // One sync for the whole tree: the files reach the disk together, not one by one.
    if (options.b_Sync && !PLT::SyncFileSystem(root))
        result->errors.push_back("cannot sync " + outDir + ": " + PLT::ErrorText(PLT::LastError()));
    PLT::CloseFile(root);
    return result->errors.empty() && result->missingKeys.empty();
}

}  // namespace HOST::Tools
