// Names, paths, directory lookups and counts. Every walk of a file or
// directory chain is bounded: a chain that leaves the table or loops is
// reported once and ends the walk.
#include <cctype>
#include <cstring>

#include "BIGfile/BIG_Extensions.h"
#include "BIGfile/BIG_Fat.h"
#include "BIGfile/BIG_TextField.h"
#include "ERRor/ERR_Assert.h"

namespace {

constexpr size_t kMaxExtLength = 3;

// Case-insensitive comparison of at most `n` characters (ASCII, as the names are).
bool bSameName(const char* a, const char* b, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        const int ca = std::tolower(static_cast<unsigned char>(a[i]));
        const int cb = std::tolower(static_cast<unsigned char>(b[i]));
        if (ca != cb)
            return false;
        if (ca == 0)
            return true;
    }
    return true;
}

void ReportBrokenChain(const char* what, uint32_t at) {
    ERR_X_RaisePrintf("Assert", "Corrupt bigfile: the %s chain is broken at entry %u.", what, at);
}

}  // namespace

uint16_t BIG_cl_Fat::FindSubDir(const char* name, uint16_t parent) const {
    if (mast_Dir.empty() || name == nullptr || parent == kNoDir || parent >= muw_DirCount)
        return kNoDir;
    uint16_t dir = mast_Dir[parent].uw_FirstSubDir;
    for (uint32_t steps = 0; dir != kNoDir; ++steps) {
        if (dir >= muw_DirCount || steps >= muw_DirCount) {
            ReportBrokenChain("directory", dir);
            return kNoDir;
        }
        if (mast_Dir[dir].bIsUsed() && bSameName(mast_Dir[dir].sz_Name, name, BIG_st_DirEntry::kNameSize))
            return dir;
        dir = mast_Dir[dir].uw_NextSibling;
    }
    return kNoDir;
}

uint32_t BIG_cl_Fat::ul_CountUsedFiles() const {
    uint32_t n = 0;
    for (uint32_t i = 0; i < mul_FileCount; ++i)
        n += mast_File[i].ul_Key != 0 ? 1 : 0;
    return n;
}

uint16_t BIG_cl_Fat::uw_CountUsedDirs() const {
    uint16_t n = 0;
    for (uint16_t i = 0; i < muw_DirCount; ++i)
        n += mast_Dir[i].bIsUsed() ? 1 : 0;
    return n;
}

std::string BIG_cl_Fat::GetFileName(uint32_t index) const {
    if (index >= mul_FileCount)
        return std::string();
    return FileNameOf(mast_File[index]);
}

std::string BIG_cl_Fat::FileNameOf(const BIG_st_FileEntry& e) {
    std::string name(e.sz_Name, strnlen(e.sz_Name, BIG_st_FileEntry::kNameSize));
    name += '.';
    name += BIG_Extensions::sz_Get(e.uc_Type < BIG_Extensions::kCount ? e.uc_Type : 0);
    return name;
}

std::string BIG_cl_Fat::GetDirPath(uint16_t dir) const {
    if (dir >= muw_DirCount)
        return std::string();
    std::vector<uint16_t> chain;
    for (uint16_t d = dir; d != kNoDir; d = mast_Dir[d].uw_Parent) {
        if (d >= muw_DirCount || chain.size() >= muw_DirCount) {
            ReportBrokenChain("parent directory", d);
            return std::string();
        }
        chain.push_back(d);
    }
    // The last element is the root: its name ("/") opens the path.
    std::string path(mast_Dir[chain.back()].sz_Name);
    for (size_t i = chain.size() - 1; i-- > 0;) {
        path += '/';
        path += mast_Dir[chain[i]].sz_Name;
    }
    return path;
}

std::string BIG_cl_Fat::GetFilePath(uint32_t index) const {
    if (index >= mul_FileCount)
        return std::string();
    const std::string dir = GetDirPath(mast_File[index].uw_Dir);
    if (dir.empty())
        return std::string();
    return dir + "/" + GetFileName(index);
}

void BIG_cl_Fat::ListFilesInSubtree(uint16_t dir, std::vector<uint32_t>* out) const {
    if (out == nullptr || dir >= muw_DirCount)
        return;
    std::vector<bool> seenDir(muw_DirCount, false);
    std::vector<bool> seenFile(mul_FileCount, false);
    std::vector<uint16_t> stack{dir};
    while (!stack.empty()) {
        const uint16_t d = stack.back();
        stack.pop_back();
        if (seenDir[d]) {
            ReportBrokenChain("directory", d);
            continue;
        }
        seenDir[d] = true;
        for (uint32_t f = mast_Dir[d].ul_FirstFile; f != kNoFile; f = mast_File[f].ul_NextFile) {
            if (f >= mul_FileCount || seenFile[f]) {
                ReportBrokenChain("file", f);
                break;
            }
            seenFile[f] = true;
            out->push_back(f);
        }
        // Subdirectories in sibling order: pushed in reverse so the first is visited first.
        std::vector<uint16_t> subs;
        for (uint16_t s = mast_Dir[d].uw_FirstSubDir; s != kNoDir; s = mast_Dir[s].uw_NextSibling) {
            if (s >= muw_DirCount || subs.size() >= muw_DirCount) {
                ReportBrokenChain("directory", s);
                break;
            }
            subs.push_back(s);
        }
        for (size_t i = subs.size(); i-- > 0;)
            stack.push_back(subs[i]);
    }
}

uint32_t BIG_cl_Fat::ul_CountFilesInSubtree(uint16_t dir) const {
    std::vector<uint32_t> files;
    ListFilesInSubtree(dir, &files);
    return static_cast<uint32_t>(files.size());
}

bool BIG_cl_Fat::bFindLastFile(uint16_t dir, uint32_t* last) const {
    *last = kNoFile;
    if (dir >= muw_DirCount)
        return false;
    if (maul_LastFileOfDir.size() != muw_DirCount)
        maul_LastFileOfDir.assign(muw_DirCount, kNoFile);
    const uint32_t cached = maul_LastFileOfDir[dir];
    if (cached < mul_FileCount && mast_Dir[dir].ul_FirstFile != kNoFile && mast_File[cached].ul_Key != 0 &&
        mast_File[cached].uw_Dir == dir && mast_File[cached].ul_NextFile == kNoFile) {
        *last = cached;
        return true;
    }
    uint32_t f = mast_Dir[dir].ul_FirstFile;
    for (uint32_t steps = 0; f != kNoFile; ++steps) {
        if (f >= mul_FileCount || steps >= mul_FileCount) {
            ReportBrokenChain("file", f);
            return false;
        }
        *last = f;
        f = mast_File[f].ul_NextFile;
    }
    maul_LastFileOfDir[dir] = *last;
    return true;
}

bool BIG_cl_Fat::bFindLastSubDir(uint16_t parent, uint16_t* last) const {
    *last = kNoDir;
    if (parent >= muw_DirCount)
        return false;
    uint16_t d = mast_Dir[parent].uw_FirstSubDir;
    for (uint32_t steps = 0; d != kNoDir; ++steps) {
        if (d >= muw_DirCount || steps >= muw_DirCount) {
            ReportBrokenChain("directory", d);
            return false;
        }
        *last = d;
        d = mast_Dir[d].uw_NextSibling;
    }
    return true;
}

void BIG_cl_Fat::SplitFileName(char* nameOut, char* extOut, const char* fullName) {
    if (nameOut == nullptr || extOut == nullptr)
        return;
    nameOut[0] = '\0';
    extOut[0] = '\0';
    if (fullName == nullptr) {
        ERR_X_Raise("Assert", "BIG_cl_Fat::SplitFileName called on NULL.");
        return;
    }
    const char* dot = std::strrchr(fullName, '.');
    const size_t nameLength = dot != nullptr ? static_cast<size_t>(dot - fullName) : std::strlen(fullName);
    if (dot == nullptr && nameLength > BIG_st_FileEntry::kMaxNameLength) {
        ERR_X_RaisePrintf(
            "AssertExIgnore",
            "Trying to use name \"%s\", which is too long. Max is %u chars for name (not counting "
            "extension). It will be truncated.",
            fullName, static_cast<unsigned>(BIG_st_FileEntry::kMaxNameLength));
    } else if (dot != nullptr && nameLength > BIG_st_FileEntry::kMaxNameLength) {
        ERR_X_RaisePrintf(
            "AssertExIgnore",
            "Trying to use name \"%s\", which is too long. Max is %u chars for name (not counting "
            "extension). It will be truncated (preserving extension.)",
            fullName, static_cast<unsigned>(BIG_st_FileEntry::kMaxNameLength));
    }
    const size_t keep = std::min(nameLength, BIG_st_FileEntry::kMaxNameLength);
    std::memcpy(nameOut, fullName, keep);
    nameOut[keep] = '\0';
    if (dot == nullptr)
        return;
    const char* ext = dot + 1;
    if (std::strlen(ext) > kMaxExtLength) {
        ERR_X_RaisePrintf(
            "AssertExIgnore",
            "Trying to use extension \"%s\", which is too long. Max is %u chars for extension. It will "
            "be truncated to avoid overflow, but THIS IS ABNORMAL!",
            ext, static_cast<unsigned>(kMaxExtLength));
    }
    BIG_CopyTextField(extOut, kMaxExtLength + 1, ext);
}

uint8_t BIG_cl_Fat::CompressFileType(const char* extension) {
    if (extension == nullptr)
        return 0;
    const size_t length = std::strlen(extension);
    if (length > kMaxExtLength) {
        // The text keeps its "%s": the message was never formatted.
        ERR_X_Raise("AssertExIgnore", "Filesize too long: %s. This might be very bad.");
        return 0;
    }
    char lower[kMaxExtLength + 1] = {};
    for (size_t i = 0; i < length; ++i)
        lower[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(extension[i])));
    for (uint32_t i = 0; i < BIG_Extensions::kCount; ++i) {
        if (std::strcmp(BIG_Extensions::sz_Get(i), lower) == 0)
            return static_cast<uint8_t>(i);
    }
    return 0;
}
