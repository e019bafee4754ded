#include "host/BigTools.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <ostream>
#include <unordered_map>

#include "BIGfile/BIG_Crc32.h"
#include "BIGfile/BIG_DuplicatedFilesManager.h"
#include "BIGfile/BIG_Extensions.h"
#include "BIGfile/BIG_Fat.h"
#include "BIGfile/BIG_FatHeader.h"
#include "BIGfile/BIG_SegmentHeader.h"
#include "ERRor/ERR_Log.h"
#include "host/BigToolsInternal.h"
#include "platform/File.h"

namespace HOST::Tools {
namespace {

using detail::ContentReader;
using detail::Hex8;
using detail::Json;

// The alignment shifts a reader can use: positions are 8-byte units at least,
// and a larger shift cannot describe a place that a 32-bit position reaches.
constexpr unsigned kMinReadShift = 3;
constexpr unsigned kMaxReadShift = 31;
// Indentation of `ls --tree` stops growing here, so that a deep tree does not
// print its depth squared in spaces.
constexpr size_t kMaxTreeIndent = 64;

bool bIsUsed(const BIG_st_FileEntry& e) {
    return e.ul_Key != 0;
}

std::string TypeText(uint8_t type) {
    return BIG_Extensions::sz_Get(std::min<uint32_t>(type, BIG_Extensions::kCount - 1));
}

uint64_t AlignUp(uint64_t value, unsigned shift) {
    const uint64_t unit = uint64_t{1} << shift;
    return (value + unit - 1) & ~(unit - 1);
}

// Keeps the assertion and error lines raised while it lives, so that a table
// that cannot be read is explained by the reader's own words.
class ReasonCapture {
public:
    ReasonCapture()
        : m_id(ERR_AddLogListener([this](const ERR_st_LogRecord& r) {
              if (ms_Reason.empty() && r.level >= ERR_Level_Error)
                  ms_Reason = r.text;
          })) {}
    ~ReasonCapture() { ERR_RemoveLogListener(m_id); }
    std::string Reason() const {
        std::string r = ms_Reason;
        // An assertion record: "#Assert: CATEGORY In file 'F', line N : TITLE : MESSAGE - User clicked ...".
        const size_t line = r.find("', line ");
        const size_t title = line == std::string::npos ? line : r.find(" : ", line);
        const size_t message = title == std::string::npos ? title : r.find(" : ", title + 2);
        if (message != std::string::npos) {
            const size_t answer = r.rfind(" - User clicked");
            r = r.substr(message + 3, answer == std::string::npos || answer < message ? std::string::npos
                                                                                      : answer - message - 3);
        }
        while (!r.empty() && (r.back() == '\n' || r.back() == '.' || r.back() == ' '))
            r.pop_back();
        return r;
    }

private:
    std::string ms_Reason;
    int m_id;
};

bool bFail(OpenFailure kind, const std::string& text, std::string* error, OpenFailure* failure) {
    *error = text;
    *failure = kind;
    return false;
}

}  // namespace

int ExitCodeFor(OpenFailure failure) {
    switch (failure) {
        case OpenFailure::eNone:
            return 0;
        case OpenFailure::eCannotOpen:
            return 4;
        case OpenFailure::eTablesUnreadable:
            return 5;
    }
    return 4;
}

bool bDiagnoseBigfile(const std::string& path, std::string* error, OpenFailure* failure) {
    using Kind = OpenFailure;
    *failure = Kind::eNone;
    BIG_st_SegmentHeader first;
    std::vector<BIG_st_SegmentHeader> headers;
    std::vector<uint64_t> sizes;
    for (unsigned k = 0;; ++k) {
        const std::string name = k == 0 ? path : BIG::File::SegmentFileName(path, k);
        const PLT::FileHandle file = PLT::OpenFile(name, PLT::Access::eRead, PLT::Disposition::eOpenExisting);
        if (file == PLT::kInvalidFile) {
            const std::string why = PLT::ErrorText(PLT::LastError());
            if (k == 0)
                return bFail(Kind::eCannotOpen, "cannot open: " + why, error, failure);
            return bFail(Kind::eTablesUnreadable,
                         "segment " + std::to_string(k) + " of " + std::to_string(first.uc_SegmentCount) +
                             " (" + name + ") cannot be opened: " + why,
                         error, failure);
        }
        uint64_t size = 0;
        uint8_t raw[BIG_st_SegmentHeader::kEncodedSize] = {};
        BIG_st_SegmentHeader h;
        const bool got =
            PLT::GetFileSize(file, &size) && size >= sizeof raw && PLT::ReadAt(file, 0, raw, sizeof raw);
        PLT::CloseFile(file);
        if (!got || !BIG_st_SegmentHeader::bDecode(raw, sizeof raw, &h)) {
            if (k == 0)
                return bFail(Kind::eTablesUnreadable, "not a bigfile: no segment header", error, failure);
            return bFail(Kind::eTablesUnreadable, "segment file " + name + " has no segment header", error,
                         failure);
        }
        if (k == 0)
            first = h;
        if (h.uc_SegmentIndex != k || h.uc_SegmentCount != first.uc_SegmentCount ||
            h.ull_SetStamp != first.ull_SetStamp)
            return bFail(
                Kind::eTablesUnreadable,
                "segment file " + name + " does not belong to this bigfile (its header names segment " +
                    std::to_string(h.uc_SegmentIndex) + " of " + std::to_string(h.uc_SegmentCount) + ")",
                error, failure);
        const uint64_t start = k == 0 ? 0 : headers.back().ull_End;
        if (h.ull_Start != start || h.ull_End < h.ull_Start)
            return bFail(Kind::eTablesUnreadable,
                         "segment " + std::to_string(k) + " claims the range " + std::to_string(h.ull_Start) +
                             " - " + std::to_string(h.ull_End) + ", which does not follow segment " +
                             std::to_string(k == 0 ? 0 : k - 1),
                         error, failure);
        if (h.ull_ContentBase > size && k == 0)
            return bFail(Kind::eTablesUnreadable,
                         "truncated: the content of segment 0 starts at byte " +
                             std::to_string(h.ull_ContentBase) + " but the file has " + std::to_string(size) +
                             " bytes",
                         error, failure);
        headers.push_back(h);
        sizes.push_back(size);
        if (k + 1 >= first.uc_SegmentCount)
            break;
    }

    // The bigfile header and the two tables, placed as the reader places them.
    const BIG_st_SegmentHeader& s0 = headers[0];
    const uint64_t contentEnd = headers.back().ull_End;
    if (contentEnd < BIG_st_FatHeader::kEncodedSize || s0.ull_End < BIG_st_FatHeader::kEncodedSize)
        return bFail(Kind::eTablesUnreadable,
                     "truncated: the bigfile header ends at byte " +
                         std::to_string(s0.ull_ContentBase + BIG_st_FatHeader::kEncodedSize) +
                         " but the first segment holds content up to byte " +
                         std::to_string(s0.ull_ContentBase + s0.ull_End),
                     error, failure);
    if (sizes[0] < s0.ull_ContentBase + BIG_st_FatHeader::kEncodedSize)
        return bFail(Kind::eTablesUnreadable,
                     "truncated: the bigfile header ends at byte " +
                         std::to_string(s0.ull_ContentBase + BIG_st_FatHeader::kEncodedSize) +
                         " but the file has " + std::to_string(sizes[0]) + " bytes",
                     error, failure);
    uint8_t raw[BIG_st_FatHeader::kEncodedSize] = {};
    BIG_st_FatHeader header;
    const PLT::FileHandle file = PLT::OpenFile(path, PLT::Access::eRead, PLT::Disposition::eOpenExisting);
    const bool got = file != PLT::kInvalidFile && PLT::ReadAt(file, s0.ull_ContentBase, raw, sizeof raw);
    PLT::CloseFile(file);
    if (!got || !BIG_st_FatHeader::bDecode(raw, sizeof raw, &header))
        return bFail(Kind::eTablesUnreadable,
                     "the bigfile header at byte " + std::to_string(s0.ull_ContentBase) + " cannot be read",
                     error, failure);
    const unsigned shift = header.uc_AlignmentShift;
    if (shift < kMinReadShift || shift > kMaxReadShift)
        return bFail(Kind::eTablesUnreadable,
                     "unusable alignment shift " + std::to_string(shift) + " in the bigfile header (byte " +
                         std::to_string(s0.ull_ContentBase + BIG_st_FatHeader::kOffAlignmentShift) +
                         "); readers take 3 to 31",
                     error, failure);
    // A segment may claim up to the next alignment unit past its last written
    // 2048-byte block (the writer pads to 2048 and rounds the end to the unit);
    // anything more is missing.
    const uint64_t slack = shift > 11 ? (uint64_t{1} << shift) - 2048 : 0;
    for (size_t k = 0; k < headers.size(); ++k) {
        const BIG_st_SegmentHeader& h = headers[k];
        const uint64_t claimed = h.ull_ContentBase + (h.ull_End - h.ull_Start);
        if (h.ull_ContentBase > sizes[k] || claimed > sizes[k] + slack)
            return bFail(Kind::eTablesUnreadable,
                         "truncated: segment " + std::to_string(k) + " (" +
                             (k == 0 ? path : BIG::File::SegmentFileName(path, static_cast<unsigned>(k))) +
                             ") claims content up to byte " + std::to_string(claimed) + " but the file has " +
                             std::to_string(sizes[k]) + " bytes",
                         error, failure);
    }
    const bool reduced = (header.uc_ReducedFat & BIG_st_FatHeader::kReducedFatBit) != 0;
    const uint64_t fat = AlignUp(BIG_st_FatHeader::kEncodedSize, shift);
    const uint64_t fatEnd = fat + uint64_t{header.ul_FileCount} * (reduced ? 10 : BIG_cl_Fat::kFileEntrySize);
    const uint64_t dir = AlignUp(fat + uint64_t{header.ul_FileCount} * BIG_cl_Fat::kFileEntrySize, shift);
    const uint64_t dirEnd = dir + uint64_t{header.uw_DirCount} * BIG_cl_Fat::kDirEntrySize;
    // In file bytes when the tables lie in the first segment, as a user can check them.
    auto where = [&](uint64_t g) {
        return headers.size() == 1 ? "byte " + std::to_string(s0.ull_ContentBase + g)
                                   : "byte " + std::to_string(g) + " of the bigfile's content";
    };
    const std::string has = headers.size() == 1
                                ? "the file has " + std::to_string(sizes[0]) + " bytes"
                                : "its segments hold " + std::to_string(contentEnd) + " bytes";
    if (fatEnd > contentEnd)
        return bFail(Kind::eTablesUnreadable,
                     "truncated: the file table (" + std::to_string(header.ul_FileCount) +
                         " entries) ends at " + where(fatEnd) + " but " + has,
                     error, failure);
    if (!reduced && dirEnd > contentEnd)
        return bFail(Kind::eTablesUnreadable,
                     "truncated: the directory table (" + std::to_string(header.uw_DirCount) +
                         " entries) ends at " + where(dirEnd) + " but " + has,
                     error, failure);
    return true;
}

namespace {

// Opens the container of `path` once the diagnosis passed, and lets `read`
// read its tables; the reader's own words explain a failure.
std::unique_ptr<BIG_cl_Fat> OpenAndRead(const std::string& path, std::string* error, OpenFailure* failure,
                                        const std::function<bool(BIG_cl_Fat&)>& read) {
    OpenFailure kind = OpenFailure::eNone;
    if (failure == nullptr)
        failure = &kind;
    if (!bDiagnoseBigfile(path, error, failure))
        return nullptr;
    ReasonCapture reason;
    auto fat = std::make_unique<BIG_cl_Fat>();
    const uint32_t e = fat->File().eOpen(path, /*readOnly=*/true, /*acceptSmallFile=*/true,
                                         /*asynchronous=*/false);
    if (e != 0) {
        // The container's own words say which segment or claim is wrong.
        std::string problem = fat->File().GetOpenProblem();
        std::replace(problem.begin(), problem.end(), '\n', ' ');
        while (!problem.empty() && problem.back() == ' ')
            problem.pop_back();
        if (problem.empty())
            problem = reason.Reason();
        *error = "the segment files cannot be opened together" +
                 (problem.empty() ? std::string() : ": " + problem);
        *failure = OpenFailure::eTablesUnreadable;
        return nullptr;
    }
    if (!read(*fat)) {
        *error =
            "the tables cannot be read" + (reason.Reason().empty() ? std::string() : ": " + reason.Reason());
        *failure = OpenFailure::eTablesUnreadable;
        fat->File().eClose();
        return nullptr;
    }
    return fat;
}

}  // namespace

std::unique_ptr<BIG_cl_Fat> OpenBigfile(const std::string& path, std::string* error, OpenFailure* failure) {
    return OpenAndRead(path, error, failure, [](BIG_cl_Fat& fat) { return fat.ReadFat(true); });
}

bool bListBigfileFiles(const std::string& path, uint8_t type, std::vector<BIG_st_ListedFile>* out,
                       std::string* error, OpenFailure* failure) {
    out->clear();
    std::unique_ptr<BIG_cl_Fat> fat =
        OpenAndRead(path, error, failure, [&](BIG_cl_Fat& f) { return f.bListFilesOfType(type, out); });
    if (!fat)
        return false;
    fat->File().eClose();
    return true;
}

std::string EscapeText(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    const size_t n = text.size();
    auto hex = [&out](unsigned char c) {
        char code[8];
        std::snprintf(code, sizeof code, "\\x%02x", c);
        out += code;
    };
    for (size_t i = 0; i < n;) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            switch (c) {
                case '\n':
                    out += "\\n";
                    break;
                case '\t':
                    out += "\\t";
                    break;
                case '\r':
                    out += "\\r";
                    break;
                case '\\':
                    out += "\\\\";
                    break;
                default:
                    if (c < 0x20 || c == 0x7F)
                        hex(c);
                    else
                        out.push_back(static_cast<char>(c));
            }
            ++i;
            continue;
        }
        // One UTF-8 sequence kept whole; C1 controls (which terminals obey) and
        // bytes that are not UTF-8 escaped.
        const size_t len = (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
        bool valid = len != 0 && i + len <= n;
        for (size_t k = 1; valid && k < len; ++k)
            valid = (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
        if (valid && len == 2 && c == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0)
            valid = false;
        if (valid && detail::BytesJson(text.substr(i, len)).is_string()) {
            out.append(text, i, len);
            i += len;
        } else {
            hex(c);
            ++i;
        }
    }
    return out;
}

std::string SafeComponent(const std::string& name) {
    std::string out;
    out.reserve(name.size());
    auto escape = [&out](unsigned char c) {
        char code[4];
        std::snprintf(code, sizeof code, "%%%02X", c);
        out += code;
    };
    const size_t n = name.size();
    for (size_t i = 0; i < n;) {
        const auto c = static_cast<unsigned char>(name[i]);
        if (c >= 0x80) {
            // Whole UTF-8 characters stay readable; stray bytes are escaped.
            const size_t len = (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
            if (len != 0 && i + len <= n && detail::BytesJson(name.substr(i, len)).is_string()) {
                out.append(name, i, len);
                i += len;
            } else {
                escape(c);
                ++i;
            }
            continue;
        }
        if (c < 0x20 || c == 0x7F || c == '%' || c == '/' || c == '\\' || c == ':' || (i == 0 && c == '.'))
            escape(c);
        else
            out.push_back(static_cast<char>(c));
        ++i;
    }
    // "%" alone stands for the empty name: no other name is spelled so.
    return out.empty() ? "%" : out;
}

void PrintInfo(BIG_cl_Fat& fat, const std::string& path, std::ostream& out) {
    BIG::File& file = fat.File();
    const uint64_t contentEnd = file.oGetFileContentEnd().ull_GetByteOffset();
    const uint64_t dataStart = fat.oGetDataPos().ull_GetByteOffset();
    ContentReader contents(fat);
    uint32_t copyListFiles = 0;
    uint64_t copyPlaces = 0;
    for (uint32_t i = 0; i < fat.ul_GetFileCount(); ++i) {
        if (bIsUsed(fat.FileEntry(i)) && contents.bIsCopyList(i)) {
            ++copyListFiles;
            copyPlaces += BIG_DuplicatedFilesManager::ul_CopyCount(fat.FileEntry(i).ul_Pos);
        }
    }
    out << "bigfile:          " << EscapeText(path) << "\n";
    out << "format:           " << fat.uw_GetFormatNb() << "\n";
    out << "files:            " << fat.ul_CountUsedFiles() << " used of " << fat.ul_GetFileCount()
        << " entries" << (fat.bIsReducedFat() ? " (reduced table)" : "") << "\n";
    out << "directories:      " << fat.uw_CountUsedDirs() << " used of " << fat.uw_GetDirCount()
        << " entries\n";
    out << "copy-list files:  " << copyListFiles << " stored in " << copyPlaces << " places ("
        << contents.ul_TableEntries() << " entries in the duplicated-files table)\n";
    out << "temp directory:   " << fat.uw_GetTempDirIndex() << "\n";
    out << "alignment:        " << (uint64_t{1} << file.uc_GetAlignmentShift()) << " bytes (shift "
        << unsigned(file.uc_GetAlignmentShift()) << ")\n";
    out << "header flags:     0x" << Hex8(fat.uc_GetHeaderFlags()).substr(6) << "\n";
    out << "package word:     0x" << Hex8(fat.ul_GetPackageWord()) << " (package id "
        << (fat.ul_GetPackageWord() >> 16) << ")\n";
    out << "header byte:      " << unsigned(fat.uc_GetHeaderByte()) << "\n";
    out << "data root:        " << EscapeText(fat.GetDataRoot()) << "\n";
    out << "label:            " << EscapeText(fat.GetLabel()) << "\n";
    out << "client name:      " << EscapeText(fat.GetClientName()) << "\n";
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

namespace {

std::string FileLabel(BIG_cl_Fat& fat, uint32_t i) {
    return "file " + std::to_string(i) + " [" + Hex8(fat.FileEntry(i).ul_Key) + "] " +
           EscapeText(fat.GetFileName(i));
}

// Size text and copy count of one entry; a problem when its content cannot be read.
struct SizeInfo {
    bool b_Known = false;
    uint32_t ul_Size = 0;
    uint32_t ul_Copies = 0;  // 0 for an ordinary entry
};
SizeInfo SizeOf(BIG_cl_Fat& fat, ContentReader& contents, uint32_t i, std::vector<std::string>* problems) {
    SizeInfo info;
    const BIG_st_FileEntry& e = fat.FileEntry(i);
    if (contents.bIsCopyList(i))
        info.ul_Copies = BIG_DuplicatedFilesManager::ul_CopyCount(e.ul_Pos);
    std::string problem;
    info.b_Known = contents.bSize(i, &info.ul_Size, &problem);
    if (!problem.empty())
        problems->push_back(FileLabel(fat, i) + ": " + problem);
    return info;
}

}  // namespace

std::vector<std::string> PrintListing(BIG_cl_Fat& fat, std::ostream& out) {
    std::vector<std::string> problems;
    ContentReader contents(fat);
    for (uint32_t i = 0; i < fat.ul_GetFileCount(); ++i) {
        const BIG_st_FileEntry& e = fat.FileEntry(i);
        if (!bIsUsed(e))
            continue;
        const SizeInfo size = SizeOf(fat, contents, i, &problems);
        char line[80];
        std::snprintf(line, sizeof line, "%08x  %-3s  %10s  %s", e.ul_Key, TypeText(e.uc_Type).c_str(),
                      size.b_Known ? std::to_string(size.ul_Size).c_str() : "-",
                      size.ul_Copies ? ("x" + std::to_string(size.ul_Copies) + "  ").c_str() : "");
        const std::string path = fat.GetFilePath(i);
        out << line << (path.empty() ? "?/" + EscapeText(fat.GetFileName(i)) : EscapeText(path)) << "\n";
    }
    return problems;
}

std::vector<std::string> PrintTree(BIG_cl_Fat& fat, std::ostream& out) {
    std::vector<std::string> problems;
    const uint16_t dirCount = fat.uw_GetDirCount();
    if (dirCount == 0)
        return problems;
    std::vector<bool> seen(dirCount, false);
    std::vector<bool> listed(fat.ul_GetFileCount(), false);
    // Depth-first with an explicit stack: a tree as deep as the table allows
    // never reaches the call stack.
    struct Item {
        uint16_t dir;
        uint32_t depth;
    };
    std::vector<Item> stack{{BIG_cl_Fat::kRootDir, 0}};
    std::vector<uint16_t> children;
    while (!stack.empty()) {
        const Item item = stack.back();
        stack.pop_back();
        if (item.dir >= dirCount || seen[item.dir])
            continue;
        seen[item.dir] = true;
        const std::string indent(std::min<size_t>(item.depth, kMaxTreeIndent) * 2, ' ');
        const std::string deep = item.depth > kMaxTreeIndent ? "(" + std::to_string(item.depth) + ") " : "";
        const BIG_st_DirEntry& d = fat.DirEntry(item.dir);
        out << indent << deep
            << EscapeText(std::string(d.sz_Name, strnlen(d.sz_Name, BIG_st_DirEntry::kNameSize)))
            << (item.dir == BIG_cl_Fat::kRootDir ? "" : "/") << "\n";
        for (uint32_t f = d.ul_FirstFile; f != BIG_cl_Fat::kNoFile; f = fat.FileEntry(f).ul_NextFile) {
            if (f >= fat.ul_GetFileCount() || listed[f]) {
                problems.push_back("directory " + std::to_string(item.dir) +
                                   " has a broken or looping file list");
                break;
            }
            listed[f] = true;
            out << indent << deep << "  " << EscapeText(fat.GetFileName(f)) << "  ["
                << Hex8(fat.FileEntry(f).ul_Key) << "]\n";
        }
        children.clear();
        for (uint16_t s = d.uw_FirstSubDir; s != BIG_cl_Fat::kNoDir; s = fat.DirEntry(s).uw_NextSibling) {
            if (s >= dirCount || seen[s] || children.size() >= dirCount) {
                problems.push_back("directory " + std::to_string(item.dir) +
                                   " has a broken or looping list of subdirectories");
                break;
            }
            children.push_back(s);
        }
        // Pushed in reverse so that the first subdirectory is shown first.
        for (size_t k = children.size(); k-- > 0;)
            stack.push_back({children[k], item.depth + 1});
    }
    return problems;
}

std::vector<std::string> PrintJson(BIG_cl_Fat& fat, std::ostream& out) {
    std::vector<std::string> problems;
    ContentReader contents(fat);
    Json all = Json::array();
    for (uint32_t i = 0; i < fat.ul_GetFileCount(); ++i) {
        const BIG_st_FileEntry& e = fat.FileEntry(i);
        if (!bIsUsed(e))
            continue;
        const SizeInfo size = SizeOf(fat, contents, i, &problems);
        Json o;
        o["key"] = e.ul_Key;
        o["index"] = i;
        o["name"] = detail::BytesJson(fat.GetFileName(i));
        o["path"] = detail::BytesJson(fat.GetFilePath(i));
        o["type"] = e.uc_Type;
        o["size"] = size.b_Known ? Json(size.ul_Size) : Json(nullptr);
        if (size.ul_Copies != 0)
            o["copies"] = size.ul_Copies;
        o["time"] = e.ul_Time;
        o["flags"] = e.ul_Flags;
        o["storage"] = e.uc_StorageFlags;
        o["checksum"] = e.ul_Checksum;
        all.push_back(std::move(o));
    }
    out << all.dump(2) << "\n";
    return problems;
}

std::vector<std::string> Verify(BIG_cl_Fat& fat, VerifyStats* stats) {
    std::vector<std::string> problems;
    VerifyStats local;
    if (stats == nullptr)
        stats = &local;
    *stats = VerifyStats{};
    const uint32_t fileCount = fat.ul_GetFileCount();
    const uint16_t dirCount = fat.uw_GetDirCount();
    const unsigned shift = fat.File().uc_GetAlignmentShift();
    if (shift < kMinReadShift || shift > kMaxReadShift)
        problems.push_back("unusable alignment shift " + std::to_string(shift) + " (readers take 3 to 31)");

    // Directories: parents in range and without loops, chains that end, files that point back.
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
                problems.push_back(FileLabel(fat, f) + " is listed in directory " + std::to_string(d) +
                                   " but names directory " + std::to_string(fat.FileEntry(f).uw_Dir));
        }
    }
    // A parent chain that loops can only come from a table the reader did not check.
    for (uint16_t d = 1; d < dirCount; ++d) {
        if (fat.DirEntry(d).sz_Name[0] == 0)
            continue;
        uint32_t steps = 0;
        uint16_t at = d;
        while (at != BIG_cl_Fat::kRootDir && at < dirCount && ++steps <= dirCount)
            at = fat.DirEntry(at).uw_Parent;
        if (steps > dirCount) {
            problems.push_back("directory " + std::to_string(d) + " lies in a loop of parent directories");
            break;
        }
    }

    ContentReader contents(fat);
    if (!contents.TableProblem().empty())
        problems.push_back(contents.TableProblem());
    const bool hasRefs = fat.uw_GetFormatNb() >= detail::kFirstFormatWithRefs;
    std::vector<uint32_t> places;
    std::vector<uint8_t> content;
    std::unordered_map<uint32_t, uint32_t> keys;
    for (uint32_t i = 0; i < fileCount; ++i) {
        const BIG_st_FileEntry& e = fat.FileEntry(i);
        if (!bIsUsed(e))
            continue;
        ++stats->ul_Files;
        // Counted here, not through the key index, which a reduced table has not.
        const auto [first, fresh] = keys.emplace(e.ul_Key, i);
        if (!fresh)
            problems.push_back(FileLabel(fat, i) + ": key also used by file " +
                               std::to_string(first->second));
        if (!fat.bIsReducedFat()) {
            if (e.uw_Dir >= dirCount || fat.DirEntry(e.uw_Dir).sz_Name[0] == 0)
                problems.push_back(FileLabel(fat, i) + ": invalid directory " + std::to_string(e.uw_Dir));
            else if (!listed[i] && e.uw_Dir != fat.uw_GetTempDirIndex())
                problems.push_back(FileLabel(fat, i) + ": not listed in its directory");
        }
        std::string problem;
        if (!contents.bPlaces(i, &places, &problem)) {
            problems.push_back(FileLabel(fat, i) + ": " + problem);
            continue;
        }
        for (size_t c = 0; c < places.size(); ++c) {
            const std::string copy = places.size() > 1 ? " (copy " + std::to_string(c + 1) + " of " +
                                                             std::to_string(places.size()) + ")"
                                                       : "";
            if (!contents.bRead(places[c], &content, &problem)) {
                problems.push_back(FileLabel(fat, i) + copy + ": " + problem);
                continue;
            }
            const uint32_t length = static_cast<uint32_t>(content.size());
            stats->ull_Bytes += length;
            const uint32_t crc = BIG_ul_Crc32(content.data(), length);
            if (e.ul_Checksum != 0 && crc != e.ul_Checksum)
                problems.push_back(FileLabel(fat, i) + copy + ": checksum mismatch (stored " +
                                   Hex8(e.ul_Checksum) + ", content " + Hex8(crc) + ")");
            if (hasRefs && length >= 4) {
                const uint8_t* p = content.data();
                const uint32_t n =
                    uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
                if (uint64_t(n) * 4 + 4 > length)
                    problems.push_back(FileLabel(fat, i) + copy + ": reference count " + std::to_string(n) +
                                       " does not fit its content of " + std::to_string(length) + " bytes");
            }
        }
    }
    return problems;
}

}  // namespace HOST::Tools
