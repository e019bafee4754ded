// Reads arbitrary bytes as a bigfile (header, file and directory tables, data)
// and walks everything a reader may ask: corrupt counts, links, names and
// positions must give errors, never a crash, a hang or an allocation out of
// proportion to the input.
//
// Input: byte 0 selects the open mode (bit 0: writable, so that the
// temporary-directory repair and the growth it may need run too); the rest is
// the bigfile's address space from its header on. It is stored in a segment
// file made by the container, in a temporary folder.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "BIGfile/BIG_Fat.h"
#include "ERRor/ERR_Assert.h"

namespace {

std::string BigfilePath() {
    static const std::string path = [] {
        const auto dir = std::filesystem::temp_directory_path() / "orvex_fuzz_fat_read";
        std::filesystem::create_directories(dir);
        return (dir / "fuzz.bf").string();
    }();
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > (1u << 20))
        return 0;
    ERR_SetInteractive(false);
    const bool writable = (data[0] & 1) != 0;
    const std::string path = BigfilePath();
    {
        BIG::File file;
        if (file.eCreate(path, false, 0xC0000000, true) != BIG::eFile_Ok)
            return 0;
        if (size > 1)
            file.eWrite(BIG_POS::FromValue(0), data + 1, static_cast<uint32_t>(size - 1));
        file.eClose();
    }
    BIG_cl_Fat fat;
    if (fat.File().eOpen(path, !writable, true, false) != BIG::eFile_Ok)
        return 0;
    if (fat.ReadFat(true)) {
        BIG_st_ByteBlock block;
        const uint32_t files = fat.ul_GetFileCount();
        for (uint32_t i = 0; i < files && i < 4096; ++i) {
            if (fat.FileEntry(i).ul_Key == 0)
                continue;
            uint32_t length = 0;
            fat.ul_GetFileSize(i);
            fat.LoadFileInBuffer(i, &block, &length);
            fat.GetFilePath(i);
            fat.ul_GetFileIndex(fat.FileEntry(i).ul_Key, false);
        }
        for (uint16_t d = 0; d < fat.uw_GetDirCount() && d < 4096; ++d) {
            fat.GetDirPath(d);
            fat.FindSubDir("x", d);
        }
        std::vector<uint32_t> all;
        fat.ListFilesInSubtree(0, &all);
        if (writable && fat.uw_GetDirCount() != 0)
            fat.ul_CreateFile("new.ini", 1, 0, 0x12345);
    }
    fat.File().eClose();
    return 0;
}
