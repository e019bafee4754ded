// Shared by the bigfile-table tests: a temporary folder, a collector of the
// assertion and log lines raised meanwhile, and a small bigfile built with the
// table's own writer.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "BIGfile/BIG_Endian.h"
#include "BIGfile/BIG_Fat.h"
#include "ERRor/ERR_Assert.h"
#include "tests/support/TempFolder.h"
#include "ERRor/ERR_Log.h"
#include "tests/support/LogCapture.h"

namespace fat_test {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

// Content base of a segment file made with the small header: where the bigfile header lies.
inline constexpr uint64_t kHeaderAt = 2048;

using test_support::TempFolder;

// Assertion, warning and error lines (and information lines with `withInfo`:
// message boxes without an icon log at that level).
struct Messages : test_support::LogCapture {
    explicit Messages(bool withInfo = false)
        : LogCapture(
              withInfo ? std::vector<ERR_e_LogLevel>{ERR_Level_Assert, ERR_Level_Warning, ERR_Level_Error,
                                                     ERR_Level_Info}
                       : std::vector<ERR_e_LogLevel>{ERR_Level_Assert, ERR_Level_Warning, ERR_Level_Error}) {}
};

inline Bytes ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteAll(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// Patches `count` bytes at byte `offset` of the bigfile's address space (segment 0).
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
inline void Patch16(const std::string& path, uint64_t offset, uint16_t value) {
    uint8_t raw[2];
    BIG::Endian::Put16(raw, value);
    Patch(path, offset, raw, 2);
}
inline void Patch8(const std::string& path, uint64_t offset, uint8_t value) {
    Patch(path, offset, &value, 1);
}

struct FileRecipe {
    std::string dir;   // "/levels/town", "" for the root
    std::string name;  // with extension
    uint32_t key;
    std::string content;
};

// A bigfile made with the table's writer, closed again.
inline bool MakeBigfile(const std::string& path, uint32_t fileCount, uint16_t dirCount,
                        const std::vector<FileRecipe>& files, uint8_t shift = 3) {
    BIG_cl_Fat fat;
    fat.File().SetAlignmentShift(shift);
    if (fat.File().eCreate(path, false, 0xC0000000, true) != BIG::eFile_Ok)
        return false;
    bool ok = fat.Create(fileCount, dirCount, 0, 1);
    for (const FileRecipe& f : files) {
        const uint16_t dir = fat.uw_CreateDirPath(f.dir.c_str());
        const uint32_t index = fat.ul_CreateFile(f.name.c_str(), 1000, dir, f.key);
        ok = ok && dir != BIG_cl_Fat::kNoDir && index != BIG_cl_Fat::kNoFile;
        if (ok && !f.content.empty())
            fat.SaveFile(index, f.content.data(), static_cast<uint32_t>(f.content.size()));
    }
    fat.File().eFlush();
    fat.File().eClose();
    return ok;
}

// Opens and reads a bigfile into `fat`.
inline bool OpenBigfile(BIG_cl_Fat& fat, const std::string& path, bool readOnly) {
    if (fat.File().eOpen(path, readOnly, true, false) != BIG::eFile_Ok)
        return false;
    return fat.ReadFat(true);
}

// Loads a file's whole content as text.
inline std::string Content(BIG_cl_Fat& fat, uint32_t index) {
    BIG_st_ByteBlock block;
    uint32_t length = 0;
    if (!fat.LoadFileInBuffer(index, &block, &length))
        return std::string();
    return std::string(reinterpret_cast<const char*>(block.p_Data.get()), length);
}

}  // namespace fat_test
