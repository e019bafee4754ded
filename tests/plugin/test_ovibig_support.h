// Shared by the inspection-session tests: a tool that opens OVI_Big's
// protected operations and records its hooks, a parameter block, a temporary
// folder and small bigfiles built with the table's own writer.
#pragma once

#include <gtest/gtest.h>

#include "tests/support/TempFolder.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "BIGfile/BIG_Endian.h"
#include "BIGfile/BIG_Fat.h"
#include "plugin/OVI_Big.h"
#include "orvex/OVC_Interface.h"
#include "plugin/OVI_Text.h"

namespace ovibig_test {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using ORVEX::FileRefRecord;

struct TestParams : ORVEX::OVI_BigParams {
    OVC_Version version = OVC_CurrentVersion;
    const OVC_Version* GetVersion() override { return &version; }
};

// What OnFileRefs saw: the record and the keys in the reference buffer.
struct Seen {
    FileRefRecord record;
    std::vector<uint32_t> keys;
    bool payload = false;
    std::string payloadBytes;
};

class InspectTool : public ORVEX::OVI_Big {
public:
    const OVC_Version* GetVersion() override { return &OVC_CurrentVersion; }
    int32_t eRun() override { return ml_Status; }
    bool OnFileRefs(const FileRefRecord& record, const uint8_t* payload, uint32_t size) override {
        Seen seen{record, {}, payload != nullptr || size != 0, {}};
        if (payload != nullptr)
            seen.payloadBytes.assign(reinterpret_cast<const char*>(payload), size);
        // The record must already be stored when the hook runs.
        EXPECT_EQ(mmap_Records.count(record.ul_Key), 1u);
        const uint32_t* keys = pul_GetRefKeys();
        for (uint32_t i = 0; i < record.ul_RefCount; ++i)
            seen.keys.push_back(keys[i]);
        seen_.push_back(std::move(seen));
        return false;
    }
    bool OnMissingRef(uint32_t from, uint32_t key) override {
        missing_.emplace_back(from, key);
        return true;
    }
    // An in-memory bigfile: the keys it holds (none set: the real table).
    bool _bIsKeyInBigfile(uint32_t key) const override {
        return held_ ? held_->count(key) != 0 : OVI_Big::_bIsKeyInBigfile(key);
    }

    using OVI_Big::_BuildClosures;
    using OVI_Big::_eReadRefTable;
    using OVI_Big::_ExpandBanks;
    using OVI_Big::_FillFileRecord;
    using OVI_Big::_FinishIndexing;
    using OVI_Big::_MapRefs;
    using OVI_Big::_ReadRefsFile;
    using OVI_Big::_ScanFiles;
    using OVI_Big::_WalkRefs;
    using OVI_Big::mb_ReportMissing;
    using OVI_Big::mb_WriteRefsCache;
    using OVI_Big::ml_Status;
    using OVI_Big::mmap_Closures;
    using OVI_Big::mmap_Edges;
    using OVI_Big::mmap_Records;
    using OVI_Big::mmap_Roots;
    using OVI_Big::mpo_Fat;
    using OVI_Big::ms_RefsCachePath;
    using OVI_Big::mul_Weight;
    using OVI_Big::mull_RefsReadWholeMax;
    using OVI_Big::RecordIndex;
    using OVI_Big::RefBuffer;
    using OVI_Big::UseCount;

    // Maps a record with `keys` as its reference table.
    void Map(uint32_t key, const std::vector<uint32_t>& keys, uint32_t type = 0) {
        FileRefRecord r;
        r.ul_Key = key;
        r.ul_Type = type;
        r.ul_RefCount = static_cast<uint32_t>(keys.size());
        _MapRefs(r, keys.data());
    }
    uint32_t Use(uint32_t key) const {
        auto it = mmap_Records.find(key);
        return it == mmap_Records.end() ? 0 : it->second.ul_UseCount;
    }
    size_t Edges(uint32_t from, uint32_t to) const {
        auto it = mmap_Edges.find(from);
        size_t n = 0;
        if (it != mmap_Edges.end())
            for (uint32_t k : it->second)
                n += k == to ? 1 : 0;
        return n;
    }

    std::optional<std::set<uint32_t>> held_;
    std::vector<Seen> seen_;
    std::vector<std::pair<uint32_t, uint32_t>> missing_;
};

using test_support::TempFolder;

inline Bytes ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteAll(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// A game file's content: its reference table, then the payload.
inline std::string Content(const std::vector<uint32_t>& refs, const std::string& payload = "payload") {
    Bytes bytes;
    BIG::Endian::ByteAppender out(&bytes);
    out.U32(static_cast<uint32_t>(refs.size()));
    for (uint32_t k : refs)
        out.U32(k);
    std::string text(bytes.begin(), bytes.end());
    return text + payload;
}

struct FileRecipe {
    std::string name;  // with extension
    uint32_t key;
    std::string content;  // empty: no data
};

// Content base of a segment file made with the small header.
inline constexpr uint64_t kHeaderAt = 2048;

// A bigfile made with the table's writer, closed again.
inline bool MakeBigfile(const std::string& path, const std::vector<FileRecipe>& files,
                        uint32_t fileCount = 0) {
    BIG_cl_Fat fat;
    if (fat.File().eCreate(path, false, 0xC0000000, true) != BIG::eFile_Ok)
        return false;
    bool ok = fat.Create(fileCount ? fileCount : static_cast<uint32_t>(files.size()) + 4, 4, 0, 1);
    for (const FileRecipe& f : files) {
        const uint32_t index = fat.ul_CreateFile(f.name.c_str(), 1000, BIG_cl_Fat::kRootDir, f.key);
        ok = ok && index != BIG_cl_Fat::kNoFile;
        if (ok && !f.content.empty())
            fat.SaveFile(index, f.content.data(), static_cast<uint32_t>(f.content.size()));
    }
    fat.File().eFlush();
    fat.File().eClose();
    return ok;
}

// Patches bytes of the bigfile's address space (segment 0, small header).
inline void Patch(const std::string& path, uint64_t offset, const void* data, size_t count) {
    std::fstream f(path, std::ios::binary | std::ios::in | std::ios::out);
    f.seekp(static_cast<std::streamoff>(kHeaderAt + offset));
    f.write(static_cast<const char*>(data), static_cast<std::streamsize>(count));
}
inline void Patch32(const std::string& path, uint64_t offset, uint32_t value) {
    uint8_t raw[4];
    BIG::Endian::Put32(raw, value);
    Patch(path, offset, raw, 4);
}

inline size_t CountOf(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

}  // namespace ovibig_test
