// The splitter's side inputs: the gmbigfile's keys, the critical list and the
// replacement content. Each is read with its size bounded before anything is
// allocated; malformed input gives an error line and the run goes on.
#include <cctype>
#include <cstring>
#include <string>

#include "BIGfile/AsynchronousIO/BIG_AsynchronousFat.h"
#include "BIGfile/AsynchronousIO/BIG_AsynchronousIOManager.h"
#include "BIGfile/BIG_FBuff.h"
#include "BIGfile/BIG_Fat.h"
#include "plugin/OVI_Splitter.h"
#include "plugin/OVI_Text.h"

namespace ORVEX {

namespace {

enum class ReadResult { eOk, eNotOpened, eTooBig, eFailed };

// Reads the whole file at `path` when it holds at most `maxSize` bytes. The
// OS reason of a file that cannot be opened or read goes to `*reason`.
ReadResult eReadBounded(const std::string& path, uint64_t maxSize, std::string* out, uint64_t* size,
                        std::string* reason) {
    out->clear();
    *size = 0;
    const PLT::FileHandle file = PLT::OpenFile(path, PLT::Access::eRead, PLT::Disposition::eOpenExisting);
    if (file == PLT::kInvalidFile) {
        *reason = PLT::ErrorText(PLT::LastError());
        return ReadResult::eNotOpened;
    }
    ReadResult result = ReadResult::eOk;
    if (!PLT::GetFileSize(file, size)) {
        result = ReadResult::eFailed;
    } else if (*size > maxSize) {
        result = ReadResult::eTooBig;
    } else {
        out->resize(static_cast<size_t>(*size));
        size_t got = 0;
        // A file that shrank since its size was taken gives what is there.
        if (!PLT::ReadAt(file, 0, out->data(), out->size(), &got) && PLT::LastError() != PLT::kErrShortRead)
            result = ReadResult::eFailed;
        out->resize(got);
    }
    if (result == ReadResult::eFailed)
        *reason = PLT::ErrorText(PLT::LastError());
    PLT::CloseFile(file);
    return result;
}

bool bIsSpace(char c) {
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

// Decimal u32, digits only.
bool bParseU32(std::string_view token, uint32_t* value) {
    if (token.empty() || token.size() > 10)
        return false;
    uint64_t v = 0;
    for (char c : token) {
        if (c < '0' || c > '9')
            return false;
        v = v * 10 + static_cast<uint64_t>(c - '0');
    }
    if (v > 0xFFFFFFFFu)
        return false;
    *value = static_cast<uint32_t>(v);
    return true;
}

}  // namespace

// ---- gmbigfile -------------------------------------------------------------------

int32_t OVI_Splitter::_LoadGmKeys(const std::string& path) {
    mst_GmKeys.clear();
    // A table of its own that is not bound to the asynchronous I/O manager:
    // the manager keeps reading the main bigfile's container.
    BIG_cl_Fat gm;
    if (gm.File().eOpen(path, true, true, false) != BIG::eFile_Ok) {
        const std::string reason = PLT::ErrorText(PLT::LastError());
        OVC_OutputString("error", "gmbigfile", "Error opening gmbigfile '%s'", path.c_str());
        OVC_OutputString("error", "gmbigfile", "gmbigfile %s cannot be opened: %s", path.c_str(),
                         reason.c_str());
        return OVC_Status_Failure;
    }
    if (!gm.ReadFat(true)) {
        OVC_OutputString("error", "gmbigfile", "Error opening gmbigfile '%s'", path.c_str());
        OVC_OutputString("error", "gmbigfile", "gmbigfile %s: its tables cannot be read", path.c_str());
        gm.File().eClose();
        return OVC_Status_Failure;
    }
    for (uint32_t index = 0; index < gm.ul_GetFileCount(); ++index) {
        const uint32_t key = gm.FileEntry(index).ul_Key;
        if (key != 0)
            mst_GmKeys.insert(key);
    }
    gm.File().eClose();
    return OVC_Status_Success;
}

// ---- critical list ---------------------------------------------------------------

bool CriticalList::Load(const std::string& path) {
    l_Status = kStatusNotOpened;
    b_Loaded = false;
    m_Keys.clear();
    if (path.empty())
        return true;
    std::string text;
    uint64_t size = 0;
    std::string reason;
    switch (eReadBounded(path, kMaxFileSize, &text, &size, &reason)) {
        case ReadResult::eNotOpened:
            OVC_OutputString("error", "critical-list", "Critical list %s cannot be opened: %s", path.c_str(),
                             reason.c_str());
            return false;
        case ReadResult::eTooBig:
            OVC_OutputString("error", "critical-list",
                             "Critical list '%s' not read: %llu bytes, more than the %llu a list may hold",
                             path.c_str(), static_cast<unsigned long long>(size),
                             static_cast<unsigned long long>(kMaxFileSize));
            return false;
        case ReadResult::eFailed:
            OVC_OutputString("error", "critical-list", "Critical list '%s' could not be read: %s",
                             path.c_str(), reason.c_str());
            return false;
        case ReadResult::eOk:
            break;
    }
    l_Status = kStatusRead;
    b_Loaded = true;
    std::string problem;
    if (!bParse(text, &problem)) {
        OVC_OutputString("error", "critical-list", "Critical list '%s': %s; %zu keys were read before it",
                         path.c_str(), problem.c_str(), m_Keys.size());
        return false;
    }
    return true;
}

bool CriticalList::bParse(std::string_view text, std::string* problem) {
    size_t at = 0;
    auto next = [&](std::string_view* token) {
        while (at < text.size() && bIsSpace(text[at]))
            ++at;
        const size_t start = at;
        while (at < text.size() && !bIsSpace(text[at]))
            ++at;
        *token = text.substr(start, at - start);
        return !token->empty();
    };
    for (size_t entry = 1;; ++entry) {
        std::string_view word;
        if (!next(&word))
            return true;  // end of the list
        if (word.size() > kMaxWordLength) {
            *problem = "entry " + std::to_string(entry) + " begins with a word of " +
                       std::to_string(word.size()) + " characters";
            return false;
        }
        uint32_t numbers[3] = {};
        for (uint32_t& number : numbers) {
            std::string_view token;
            if (!next(&token)) {
                *problem = "entry " + std::to_string(entry) + " is incomplete";
                return false;
            }
            if (!bParseU32(token, &number)) {
                *problem = "entry " + std::to_string(entry) + " has '" + std::string(token.substr(0, 32)) +
                           "' where a number is expected";
                return false;
            }
        }
        m_Keys.emplace(numbers[0], 0);
    }
}

void CriticalList::Check(uint32_t key) {
    auto found = m_Keys.find(key);
    if (found != m_Keys.end())
        ++found->second;
}

// ---- replacement content -----------------------------------------------------------

void OVI_Splitter::_CaptureReplacement(const FileRefRecord& record, uint32_t index) {
    const std::string path(OVI_TextOf(mo_Params.msz_ReplacementPath));
    // Only a capture that is written has any effect.
    if (!mo_Params.mb_Replace || path.empty() || index == BIG_cl_Fat::kNoFile)
        return;

    BIG::FBuff* buffer = nullptr;
    const uint8_t* content = nullptr;
    uint32_t size = 0;
    if (auto* async = dynamic_cast<BIG_cl_AsynchronousFat*>(mpo_Fat)) {
        BIG_st_FileData data;
        if (async->bGetFileData(index, &data)) {
            buffer = data.po_Buffer;
            content = data.pu8_RefTable != nullptr ? data.pu8_RefTable : data.pu8_Data;
            size = static_cast<uint32_t>(data.pu8_Data - content) + data.ul_DataSize;
        }
    } else {
        mpo_Fat->LoadFile(index, &buffer);
        if (buffer != nullptr) {
            content = buffer->pc_GetData();
            size = buffer->ul_GetSize();
        }
    }
    if (content != nullptr && size != 0 && !PLT::WriteWholeFile(path, content, size)) {
        OVC_OutputString("error", "session", "Replacement file '%s' could not be written (from %s): %s",
                         path.c_str(), record.s_Name.c_str(), PLT::ErrorText(PLT::LastError()).c_str());
        _RaiseStatus(OVC_Status_Failure);
    }
    if (buffer != nullptr)
        buffer->Release();
}

void OVI_Splitter::_LoadReplacement() {
    const std::string path(OVI_TextOf(mo_Params.msz_ReplacementPath));
    if (path.empty())
        return;
    std::string bytes;
    uint64_t size = 0;
    std::string reason;
    // The replacement was asked for: without its content the outputs are not what was asked.
    switch (eReadBounded(path, BIG::kMaxReadSize, &bytes, &size, &reason)) {
        case ReadResult::eNotOpened:
            OVC_OutputString("error", "session",
                             "Replacement file %s cannot be opened: %s; nothing is replaced", path.c_str(),
                             reason.c_str());
            _RaiseStatus(OVC_Status_Failure);
            return;
        case ReadResult::eTooBig:
            OVC_OutputString(
                "error", "session",
                "Replacement file '%s' not used: %llu bytes, more than a bigfile file may hold (%u)",
                path.c_str(), static_cast<unsigned long long>(size), BIG::kMaxReadSize);
            _RaiseStatus(OVC_Status_Failure);
            return;
        case ReadResult::eFailed:
            OVC_OutputString("error", "session", "Replacement file '%s' could not be read: %s", path.c_str(),
                             reason.c_str());
            _RaiseStatus(OVC_Status_Failure);
            return;
        case ReadResult::eOk:
            break;
    }
    mo_Replacement.ul_Type = kTypeReplacement;
    mo_Replacement.ul_Size = static_cast<uint32_t>(bytes.size());
    mo_Replacement.p_Data.reset();
    if (!bytes.empty()) {
        mo_Replacement.p_Data = std::make_unique<uint8_t[]>(bytes.size());
        std::memcpy(mo_Replacement.p_Data.get(), bytes.data(), bytes.size());
    }
}

}  // namespace ORVEX
