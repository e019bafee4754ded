// How the tools reach the stored contents of a bigfile (BigToolsInternal.h).
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "BIGfile/BIG_DuplicatedFilesManager.h"
#include "BIGfile/BIG_Endian.h"
#include "BIGfile/BIG_Fat.h"
#include "host/BigToolsInternal.h"

namespace HOST::Tools::detail {
namespace {

constexpr uint32_t kLengthSize = 4;

bool bIsUtf8(const std::string& text) {
    size_t i = 0;
    const size_t n = text.size();
    while (i < n) {
        const auto c = static_cast<unsigned char>(text[i]);
        size_t extra = 0;
        uint32_t cp = 0;
        if (c < 0x80) {
            ++i;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            extra = 1;
            cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            extra = 2;
            cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            extra = 3;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (i + extra >= n)
            return false;
        for (size_t k = 1; k <= extra; ++k) {
            const auto d = static_cast<unsigned char>(text[i + k]);
            if ((d & 0xC0) != 0x80)
                return false;
            cp = (cp << 6) | (d & 0x3F);
        }
        // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
        static constexpr uint32_t kMin[4] = {0, 0x80, 0x800, 0x10000};
        if (cp < kMin[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        i += extra + 1;
    }
    return true;
}

}  // namespace

std::string Hex8(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "%08x", value);
    return text;
}

std::string JoinPath(const std::string& a, const std::string& b) {
    if (a.empty())
        return b;
    return a.back() == '/' ? a + b : a + "/" + b;
}

Json BytesJson(const std::string& bytes) {
    if (bIsUtf8(bytes))
        return bytes;
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(bytes.size() * 2);
    for (unsigned char c : bytes) {
        hex.push_back(kDigits[c >> 4]);
        hex.push_back(kDigits[c & 15]);
    }
    Json o;
    o["hex"] = hex;
    return o;
}

bool bBytesFromJson(const Json& value, std::string* out) {
    if (value.is_string()) {
        *out = value.get<std::string>();
        return true;
    }
    if (!value.is_object() || value.size() != 1 || !value.contains("hex") || !value["hex"].is_string())
        return false;
    const std::string& hex = value["hex"].get_ref<const std::string&>();
    if (hex.size() % 2 != 0)
        return false;
    auto digit = [](char c) {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        return -1;
    };
    out->clear();
    for (size_t i = 0; i < hex.size(); i += 2) {
        const int hi = digit(hex[i]);
        const int lo = digit(hex[i + 1]);
        if (hi < 0 || lo < 0)
            return false;
        out->push_back(static_cast<char>(hi << 4 | lo));
    }
    return true;
}

ContentReader::ContentReader(BIG_cl_Fat& fat) : m_fat(fat) {
    mull_DataStart = fat.oGetDataPos().ull_GetByteOffset();
    mull_DataEnd = fat.File().bIsOpen() ? fat.File().oGetFileContentEnd().ull_GetByteOffset() : 0;
    const uint32_t index = fat.ul_GetFileIndex(BIG_DuplicatedFilesManager::kFileKey, false);
    if (index == BIG_cl_Fat::kNoFile)
        return;
    const BIG_st_FileEntry& e = fat.FileEntry(index);
    if (!e.bHasOrdinaryPos()) {
        ms_TableProblem = "the duplicated-files table is itself not stored as an ordinary file";
        return;
    }
    std::vector<uint8_t> content;
    std::string problem;
    if (e.ul_Pos == BIG_st_FileEntry::kNone || !bRead(e.ul_Pos, &content, &problem)) {
        ms_TableProblem =
            "the duplicated-files table cannot be read" + (problem.empty() ? "" : ": " + problem);
        return;
    }
    // Its content is a reference table, then the data part.
    size_t at = 0;
    if (fat.uw_GetFormatNb() >= kFirstFormatWithRefs) {
        const uint64_t refs = content.size() >= 4 ? BIG::Endian::Get32(content.data()) : UINT64_MAX;
        if (refs == UINT64_MAX || refs * 4 + 4 > content.size()) {
            ms_TableProblem = "the duplicated-files table has no reference table";
            return;
        }
        at = static_cast<size_t>(refs * 4 + 4);
    }
    std::string error;
    mpo_Table = BIG_DuplicatedFilesManager::po_Decode(content.data() + at, content.size() - at, &error);
    if (!mpo_Table)
        ms_TableProblem = "the duplicated-files table is damaged: " + error;
    else
        muc_TableShift = content[at + BIG_DuplicatedFilesManager::kOffsetShift];
}

ContentReader::~ContentReader() = default;

uint32_t ContentReader::ul_TableEntries() const {
    return mpo_Table ? mpo_Table->ul_GetCount() : 0;
}

bool ContentReader::bIsCopyList(uint32_t index) const {
    return (m_fat.FileEntry(index).uc_StorageFlags & BIG_st_FileEntry::kStorageCopyList) != 0;
}

bool ContentReader::bPlaces(uint32_t index, std::vector<uint32_t>* places, std::string* problem) const {
    places->clear();
    const BIG_st_FileEntry& e = m_fat.FileEntry(index);
    if ((e.uc_StorageFlags & BIG_st_FileEntry::kStoragePackage) != 0) {
        *problem = "its content lies in package bigfile " +
                   std::to_string(e.ul_Pos >> BIG_st_FileEntry::kPackageIndexShift) +
                   ", which is not open here";
        return false;
    }
    if (!bIsCopyList(index)) {
        if (e.ul_Pos != BIG_st_FileEntry::kNone)
            places->push_back(e.ul_Pos);
        return true;
    }
    const uint32_t count = BIG_DuplicatedFilesManager::ul_CopyCount(e.ul_Pos);
    const uint32_t first = BIG_DuplicatedFilesManager::ul_FirstIndex(e.ul_Pos);
    if (count == 0) {
        *problem = "its copy list names no copy";
        return false;
    }
    if (!mpo_Table) {
        *problem = "it is stored in several places, but " +
                   (ms_TableProblem.empty() ? std::string("the bigfile has no duplicated-files table")
                                            : ms_TableProblem);
        return false;
    }
    if (uint64_t{first} + count > mpo_Table->ul_GetCount()) {
        *problem = "its copies " + std::to_string(first) + " to " + std::to_string(first + count - 1) +
                   " lie outside the duplicated-files table of " + std::to_string(mpo_Table->ul_GetCount()) +
                   " entries";
        return false;
    }
    for (uint32_t c = 0; c < count; ++c) {
        const uint32_t place = mpo_Table->ul_GetPosition(first + c);
        if (place == BIG_DuplicatedFilesManager::kNoPlace) {
            *problem = "its copy " + std::to_string(c + 1) + " has no place";
            return false;
        }
        places->push_back(place);
    }
    return true;
}

bool ContentReader::bReadBytes(uint64_t byteOffset, void* buffer, uint32_t count) {
    BIG::File& file = m_fat.File();
    const unsigned shift = file.uc_GetAlignmentShift();
    const uint64_t aligned = byteOffset & ~((uint64_t{1} << shift) - 1);
    if (aligned >= BIG_POS::kByteLimit)
        return false;
    // Reads go to one segment each: a content that straddles two is read in pieces.
    auto* out = static_cast<uint8_t*>(buffer);
    uint64_t at = byteOffset;
    uint32_t left = count;
    while (left > 0) {
        uint32_t piece = left;
        for (uint16_t s = 0; s < file.uw_GetSegmentCount(); ++s) {
            const auto& seg = file.GetSegment(s);
            const uint64_t start = seg.o_Start.ull_GetByteOffset();
            const uint64_t end = seg.o_End.ull_GetByteOffset();
            if (at >= start && at < end) {
                piece = static_cast<uint32_t>(std::min<uint64_t>(left, end - at));
                break;
            }
        }
        const uint64_t base = at & ~((uint64_t{1} << shift) - 1);
        if (file.eRead(BIG_POS(base), out, piece, at - base) != 0)
            return false;
        out += piece;
        at += piece;
        left -= piece;
    }
    return true;
}

bool ContentReader::bLength(uint32_t place, uint32_t* length, std::string* problem) {
    const uint64_t at = mull_DataStart + uint64_t{place} * 8;
    if (place == BIG_st_FileEntry::kNone || at + kLengthSize > mull_DataEnd) {
        *problem = "its place (byte " + std::to_string(at) +
                   ") lies outside the data area, which ends at byte " + std::to_string(mull_DataEnd);
        return false;
    }
    uint8_t raw[kLengthSize];
    if (!bReadBytes(at, raw, kLengthSize)) {
        *problem = "its length at byte " + std::to_string(at) + " cannot be read";
        return false;
    }
    *length = BIG::Endian::Get32(raw);
    if (at + kLengthSize + *length > mull_DataEnd) {
        *problem = "its " + std::to_string(*length) + " bytes from byte " + std::to_string(at + kLengthSize) +
                   " run past the end of the data area at byte " + std::to_string(mull_DataEnd);
        return false;
    }
    return true;
}

bool ContentReader::bRead(uint32_t place, std::vector<uint8_t>* out, std::string* problem) {
    uint32_t length = 0;
    if (!bLength(place, &length, problem))
        return false;
    // The length was checked against the data area: the allocation is bounded by the file.
    out->resize(length);
    const uint64_t at = mull_DataStart + uint64_t{place} * 8 + kLengthSize;
    if (length != 0 && !bReadBytes(at, out->data(), length)) {
        *problem =
            "its " + std::to_string(length) + " bytes at byte " + std::to_string(at) + " cannot be read";
        return false;
    }
    return true;
}

bool ContentReader::bSize(uint32_t index, uint32_t* size, std::string* problem) {
    problem->clear();
    std::vector<uint32_t> places;
    if (!bPlaces(index, &places, problem) || places.empty())
        return false;
    return bLength(places[0], size, problem);
}

}  // namespace HOST::Tools::detail
