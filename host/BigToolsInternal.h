// Pieces the maintenance tools share (BigTools*.cpp only).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "BIGfile/BIG_ContentHead.h"

class BIG_cl_Fat;
class BIG_DuplicatedFilesManager;

namespace HOST::Tools::detail {

using Json = nlohmann::ordered_json;

// Formats from 40 on start every content with its reference table.
constexpr uint16_t kFirstFormatWithRefs = BIG_st_ContentHead::kFirstFormatWithRefs;

std::string Hex8(uint32_t value);
std::string JoinPath(const std::string& a, const std::string& b);

// Text of a bigfile (names, header fields) as JSON carries it exactly: a string
// when the bytes are UTF-8, else {"hex": "..."} with every byte.
Json BytesJson(const std::string& bytes);
// The inverse; false when `value` is neither form.
bool bBytesFromJson(const Json& value, std::string* out);

// The contents of one bigfile as the tools read them: ordinary entries at their
// position, copy-list entries at every place that this bigfile's own
// duplicated-files table (key 0x1000) gives them. Never the library's
// process-wide table, never a loose key file of the working folder, and no
// read outside the data area: every problem comes back as text.
class ContentReader {
public:
    explicit ContentReader(BIG_cl_Fat& fat);
    ~ContentReader();

    // Problem with the duplicated-files table itself (empty when fine or absent).
    const std::string& TableProblem() const { return ms_TableProblem; }
    uint32_t ul_TableEntries() const;
    // The table's own shift (its places are in units of 2^shift bytes); 0 without a table.
    uint8_t uc_TableShift() const { return muc_TableShift; }
    bool bHasTable() const { return mpo_Table != nullptr; }

    bool bIsCopyList(uint32_t index) const;
    // Where the entry's content is stored (in-memory positions, 8-byte units from
    // the data start): none for an entry without content, one for an ordinary
    // entry, every copy for a copy-list entry. False with `problem` set when the
    // places cannot be known.
    bool bPlaces(uint32_t index, std::vector<uint32_t>* places, std::string* problem) const;
    // The stored length at `place`, checked to lie with its bytes inside the data area.
    bool bLength(uint32_t place, uint32_t* length, std::string* problem);
    // The content at `place`.
    bool bRead(uint32_t place, std::vector<uint8_t>* out, std::string* problem);
    // Length of the entry's first copy; false with `problem` when unreadable,
    // false without problem when it has no content.
    bool bSize(uint32_t index, uint32_t* size, std::string* problem);

private:
    bool bReadBytes(uint64_t byteOffset, void* buffer, uint32_t count);

    BIG_cl_Fat& m_fat;
    std::unique_ptr<BIG_DuplicatedFilesManager> mpo_Table;
    std::string ms_TableProblem;
    uint8_t muc_TableShift = 0;
    uint64_t mull_DataStart = 0;
    uint64_t mull_DataEnd = 0;
};

}  // namespace HOST::Tools::detail
