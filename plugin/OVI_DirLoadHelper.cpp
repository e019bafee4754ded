#include <vector>

#include "BIGfile/BIG_DirEntry.h"
#include "BIGfile/BIG_Fat.h"
#include "BIGfile/BIG_Init.h"
#include "orvex/OVC_Interface.h"
#include "plugin/OVI_LoadHelpers.h"

namespace ORVEX {

namespace {
constexpr const char* kTag = "loaddirectory";
}  // namespace

OVI_DirLoadHelper::~OVI_DirLoadHelper() = default;

uint16_t OVI_DirLoadHelper::uw_FindDirectory(const BIG_cl_Fat& fat, std::string_view path) {
    if (fat.uw_GetDirCount() == 0)
        return BIG_cl_Fat::kNoDir;
    uint16_t dir = BIG_cl_Fat::kRootDir;
    // The leading '/' is skipped whatever the first character is.
    std::string_view rest = path.empty() ? path : path.substr(1);
    while (!rest.empty()) {
        const size_t slash = rest.find('/');
        const std::string_view component = rest.substr(0, slash);
        rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
        if (component.empty())
            continue;
        // A longer component can match no stored name; it is never shortened to one that might.
        if (component.size() > BIG_st_DirEntry::kMaxNameLength)
            return BIG_cl_Fat::kNoDir;
        const std::string name(component);
        dir = fat.FindSubDir(name.c_str(), dir);
        if (dir == BIG_cl_Fat::kNoDir)
            return dir;
    }
    return dir;
}

bool OVI_DirLoadHelper::bListFiles(const BIG_cl_Fat& fat, std::string_view path, std::vector<uint32_t>* out) {
    const uint16_t dir = uw_FindDirectory(fat, path);
    if (dir == BIG_cl_Fat::kNoDir)
        return false;
    // The table's walk: a directory's own files along its chain, then each
    // subdirectory in sibling order, depth first; broken chains are reported there.
    fat.ListFilesInSubtree(dir, out);
    return true;
}

void OVI_DirLoadHelper::LoadDirectory(const BIG_cl_Fat& fat, std::string_view path, uint32_t mode) {
    std::vector<uint32_t> files;
    if (!bListFiles(fat, path, &files)) {
        const std::string text(path);
        OVC_OutputString("warning", kTag, "OVI_DirLoadHelper::LoadDirectory Directory ! Found : %s",
                         text.c_str());
        return;
    }
    for (const uint32_t index : files)
        bInsertKey(fat.ul_GetFileKey(index), mode);
}

void OVI_DirLoadHelper::LoadDirectory(std::string_view path, uint32_t mode) {
    const BIG_cl_Fat* fat = BIG_pst_GetGlobalFat();
    if (fat == nullptr) {
        const std::string text(path);
        OVC_OutputString("error", kTag, "OVI_DirLoadHelper::LoadDirectory No bigfile is open for %s",
                         text.c_str());
        return;
    }
    LoadDirectory(*fat, path, mode);
}

}  // namespace ORVEX
