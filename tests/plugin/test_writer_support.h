// Shared by the writer and report tests: a splitter that opens its writer and
// report members, a source bigfile with directories, times and link files,
// and a reader for the outputs.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "BIGfile/BIG_FBuff.h"
#include "BIGfile/BIG_Fat.h"
#include "platform/File.h"
#include "plugin/OVI_Splitter.h"
#include "plugin/OVI_Text.h"
#include "test_ovibig_support.h"

namespace writer_test {

namespace fs = std::filesystem;
using ovibig_test::TempFolder;

class TestSplitter : public ORVEX::OVI_Splitter {
public:
    using OVI_Splitter::_bTakeReproducibility;
    using OVI_Splitter::_CopyFiles;
    using OVI_Splitter::_CreateBigFile;
    using OVI_Splitter::_eFinishPendingOutputs;
    using OVI_Splitter::_eWriteFinalReport;
    using OVI_Splitter::_PrintLinkFile;
    using OVI_Splitter::_WriteCriticalReport;
    using OVI_Splitter::kMaxPendingOutputs;
    using OVI_Splitter::mab_SourceState;
    using OVI_Splitter::mau_ContentLengths;
    using OVI_Splitter::mb_Reproducible;
    using OVI_Splitter::mmap_MissingRefs;
    using OVI_Splitter::mmap_Records;
    using OVI_Splitter::mmap_Unplaced;
    using OVI_Splitter::mo_Params;
    using OVI_Splitter::mo_Pending;
    using OVI_Splitter::mo_ReadAheadLimits;
    using OVI_Splitter::mo_Replacement;
    using OVI_Splitter::mpo_Fat;
    using OVI_Splitter::mpo_Gzip;
    using OVI_Splitter::mul_GzipTime;
    using OVI_Splitter::psz_TypeName;

    // Opens the bigfile of `params` on the process-wide table and takes the
    // block as the tool's own copy, whatever eInit itself copies.
    bool bStart(const ORVEX::OVI_SplitterParams& params) {
        ORVEX::OVI_SplitterParams block = params;
        const int32_t status = OVI_Big::eInit(&block);
        mo_Params = params;
        return status == OVC_Status_Success;
    }
    void SetStatus(int32_t status) { ml_Status = status; }

    // Makes an output of `keys` named `name`.
    static std::unique_ptr<ORVEX::SplitOutput> Output(const std::string& name,
                                                      const std::vector<uint32_t>& keys,
                                                      uint32_t capacity = 0) {
        auto out = std::make_unique<ORVEX::SplitOutput>();
        out->s_Name = name;
        out->bReserve(capacity != 0 ? capacity : static_cast<uint32_t>(keys.size()));
        for (uint32_t k : keys)
            out->bInsert(k);
        return out;
    }
};

struct SourceFile {
    std::string dir;  // "/levels/town"; "" for the root
    std::string name;
    uint32_t key = 0;
    std::string content;  // empty: no content
    uint32_t time = 1000;
    bool link = false;
    uint32_t targets[4] = {0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF};
};

// A bigfile made with the table's writer, each file with its own time; a
// new segment file is started whenever one would pass `maxSegmentSize` bytes.
inline bool MakeSource(const std::string& path, const std::vector<SourceFile>& files,
                       uint32_t maxSegmentSize = 0xC0000000) {
    BIG_cl_Fat fat;
    if (fat.File().eCreate(path, false, maxSegmentSize, true) != BIG::eFile_Ok)
        return false;
    bool ok = fat.Create(static_cast<uint32_t>(files.size()) + 4, 16, 0, 1);
    for (const SourceFile& f : files) {
        const uint16_t dir = f.dir.empty() ? BIG_cl_Fat::kRootDir : fat.uw_CreateDirPath(f.dir.c_str());
        const uint32_t index = fat.ul_CreateFile(f.name.c_str(), f.time, dir, f.key);
        ok = ok && index != BIG_cl_Fat::kNoFile;
        if (!ok)
            break;
        if (f.link)
            fat.SaveLinkFile(index, f.targets[0], f.targets[1], f.targets[2], f.targets[3]);
        else if (!f.content.empty())
            fat.SaveFile(index, f.content.data(), static_cast<uint32_t>(f.content.size()));
        fat.pst_GetFileEntry(index)->ul_Time = f.time;
        fat.WriteFileEntry(index);
    }
    fat.File().eFlush();
    fat.File().eClose();
    return ok;
}

// An output bigfile opened read-only with its table read.
inline std::unique_ptr<BIG_cl_Fat> OpenOutput(const std::string& path) {
    auto fat = std::make_unique<BIG_cl_Fat>();
    if (fat->File().eOpen(path, true, true, false) != BIG::eFile_Ok)
        return nullptr;
    if (!fat->ReadFat(true)) {
        fat->File().eClose();
        return nullptr;
    }
    return fat;
}

inline std::string ContentOf(BIG_cl_Fat& fat, uint32_t index) {
    BIG::FBuff* buffer = nullptr;
    fat.LoadFile(index, &buffer);
    if (buffer == nullptr)
        return std::string();
    std::string text(reinterpret_cast<const char*>(buffer->pc_GetData()), buffer->ul_GetSize());
    buffer->Release();
    return text;
}

// Runs in a folder for the length of a scope (reports go to the current folder).
class ScopedCurrentDirectory {
public:
    explicit ScopedCurrentDirectory(const std::string& path) : m_previous(PLT::CurrentDirectory()) {
        EXPECT_TRUE(PLT::ChangeDirectory(path)) << path;
    }
    ~ScopedCurrentDirectory() { PLT::ChangeDirectory(m_previous); }
    ScopedCurrentDirectory(const ScopedCurrentDirectory&) = delete;
    ScopedCurrentDirectory& operator=(const ScopedCurrentDirectory&) = delete;

private:
    std::string m_previous;
};

// Every entry below `folder`, as paths relative to it, sorted.
inline std::vector<std::string> Tree(const fs::path& folder) {
    std::vector<std::string> out;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(folder, ec); it != fs::recursive_directory_iterator();
         it.increment(ec))
        out.push_back(fs::relative(it->path(), folder).string());
    std::sort(out.begin(), out.end());
    return out;
}

}  // namespace writer_test
