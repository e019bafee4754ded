// Reads arbitrary bytes as a bigfile (segment headers, file and directory
// tables, data) and walks everything a reader may ask: lying headers, corrupt
// counts, links, names and positions must give errors, never a crash, a hang
// or an allocation out of proportion to the input.
//
// Input: byte 0 selects the open mode (bit 0: writable, so that the
// temporary-directory repair and the growth it may need run too; bit 1:
// asynchronous handles too; bit 2: a writable open adds a file even when the
// table is full). Growing writes a table of 128k entries, a thousand times
// the work of reading a small input: made rare, it no longer sets the pace
// of every other input. The rest is the raw segment files, segment
// header included, separated by FUZZ::kSegmentSeparator; they are memory
// files, so nothing touches the disk.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "BIGfile/BIG_Fat.h"
#include "fuzz/FuzzSupport.h"

// Entries asked about one by one: a few hundred reach every path of the
// lookups, and a broken chain reported for each of thousands of entries would
// only slow the search down.
constexpr uint32_t kMaxEntries = 256;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > (1u << 20))
        return 0;
    FUZZ::Init();
    const bool writable = (data[0] & 1) != 0;
    const bool asynchronous = (data[0] & 2) != 0;
    const bool mayGrow = (data[0] & 4) != 0;
    const std::string path = std::string(PLT::kMemoryPrefix) + "fat/fuzz.bf";
    FUZZ::SetBigfile(path, data + 1, size - 1);

    BIG_cl_Fat fat;
    if (fat.File().eOpen(path, !writable, true, asynchronous) != BIG::eFile_Ok)
        return 0;
    if (fat.ReadFat(true)) {
        BIG_st_ByteBlock block;
        const uint32_t files = fat.ul_GetFileCount();
        for (uint32_t i = 0; i < files && i < kMaxEntries; ++i) {
            if (fat.FileEntry(i).ul_Key == 0)
                continue;
            uint32_t length = 0;
            fat.ul_GetFileSize(i);
            fat.LoadFileInBuffer(i, &block, &length);
            fat.GetFilePath(i);
            fat.ul_GetFileIndex(fat.FileEntry(i).ul_Key, false);
        }
        for (uint16_t d = 0; d < fat.uw_GetDirCount() && d < kMaxEntries; ++d) {
            fat.GetDirPath(d);
            fat.FindSubDir("x", d);
        }
        std::vector<uint32_t> all;
        fat.ListFilesInSubtree(0, &all);
        if (writable && fat.uw_GetDirCount() != 0 && (mayGrow || fat.ul_CountUsedFiles() < files))
            fat.ul_CreateFile("new.ini", 1, 0, 0x12345);
    }
    fat.File().eClose();
    return 0;
}
