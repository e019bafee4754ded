// Reads every file's 8-byte head and reference table of a large bigfile through
// the asynchronous I/O manager, and compares in the same run with reading the
// whole bigfile sequentially with `cat`.
//
//   bench_asyncio [file count (200000)] [work folder (/tmp/orvex-bench-asyncio)]
//
// The bigfile is made once with the table's own writer (1000 directories,
// contents of 64 to 4096 bytes with 0 to 16 references) and kept for later
// runs. Both passes run on a warm page cache (`cat` runs first, untimed, to
// warm it), so the comparison measures the reader's own cost, not the disk.
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "BIGfile/AsynchronousIO/BIG_AsynchronousFat.h"
#include "BIGfile/AsynchronousIO/BIG_AsynchronousIOManager.h"
#include "BIGfile/BIG_Endian.h"
#include "BIGfile/BIG_FBuff.h"
#include "ERRor/ERR_Assert.h"
#include "platform/Clock.h"

namespace {

bool MakeBigfile(const std::string& path, uint32_t count) {
    BIG_cl_Fat fat;
    if (fat.File().eCreate(path, false, 0xC0000000, true) != BIG::eFile_Ok)
        return false;
    const uint16_t dirs = 1000;
    if (!fat.Create(count + 16, dirs + 16, 0, 1))
        return false;
    std::vector<uint16_t> dirIndex(dirs);
    for (uint16_t d = 0; d < dirs; ++d) {
        char name[16];
        std::snprintf(name, sizeof name, "d%03u", d);
        dirIndex[d] = fat.uw_CreateDir(name, 0);
    }
    std::mt19937 random(1234);
    std::vector<uint8_t> content;
    for (uint32_t i = 0; i < count; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "f%07u.ini", i);
        const uint32_t key = 0x10000 + i;
        const uint32_t index = fat.ul_CreateFile(name, 1000, dirIndex[i % dirs], key);
        if (index == BIG_cl_Fat::kNoFile)
            return false;
        const uint32_t refs = random() % 17;
        const uint32_t size = 64 + random() % 4033;
        content.assign(4 + 4 * refs + size, 0);
        BIG::Endian::Put32(content.data(), refs);
        for (uint32_t r = 0; r < refs; ++r)
            BIG::Endian::Put32(content.data() + 4 + 4 * r, 0x10000 + random() % count);
        for (uint32_t b = 0; b < size; ++b)
            content[4 + 4 * refs + b] = static_cast<uint8_t>(b * 31 + i);
        fat.SaveFile(index, content.data(), static_cast<uint32_t>(content.size()));
        if (i % 20000 == 0)
            std::fprintf(stderr, "  writing: %u/%u files\n", i, count);
    }
    fat.File().eFlush();
    fat.File().eClose();
    return true;
}

double Seconds(double since) {
    return PLT::MonotonicSeconds() - since;
}

}  // namespace

int main(int argc, char** argv) {
    ERR_SetInteractive(false);
    const uint32_t count = argc > 1 ? static_cast<uint32_t>(std::strtoul(argv[1], nullptr, 10)) : 200000;
    const std::filesystem::path folder = argc > 2 ? argv[2] : "/tmp/orvex-bench-asyncio";
    std::filesystem::create_directories(folder);
    const std::string path = (folder / ("bench_" + std::to_string(count) + ".bf")).string();
    if (!std::filesystem::exists(path)) {
        std::fprintf(stderr, "making %s (%u files)\n", path.c_str(), count);
        const double start = PLT::MonotonicSeconds();
        if (!MakeBigfile(path, count)) {
            std::fprintf(stderr, "could not make the bigfile\n");
            std::filesystem::remove(path);
            return 1;
        }
        std::fprintf(stderr, "made in %.1f s\n", Seconds(start));
    }
    const uint64_t bytes = std::filesystem::file_size(path);
    const std::string cat = "cat '" + path + "' > /dev/null";
    if (std::system(cat.c_str()) != 0)  // warms the page cache
        return 1;
    double start = PLT::MonotonicSeconds();
    if (std::system(cat.c_str()) != 0)
        return 1;
    const double catSeconds = Seconds(start);

    BIG_cl_AsynchronousIOManager manager;
    BIG_cl_AsynchronousFat fat(&manager);
    if (fat.File().eOpen(path, true, true, true) != BIG::eFile_Ok || !fat.ReadFat(true)) {
        std::fprintf(stderr, "could not open %s\n", path.c_str());
        return 1;
    }
    const uint32_t files = fat.ul_GetFileCount();
    std::vector<uint32_t> offsets(files, 0xFFFFFFFF);
    for (uint32_t i = 0; i < files; ++i) {
        if (fat.ul_GetFileKey(i) != 0 && fat.bIsFilePositionValid(i))
            offsets[i] = fat.oGetFileOffset(i).ul_GetValue();
    }

    // Asynchronous pass: every head on queue 1, then every reference table.
    constexpr uint32_t kTableFlag = 0x80000000;
    uint64_t expected = 0, done = 0, failed = 0, refKeys = 0;
    int callback = -1;
    callback = manager.i_RegisterCallback([&](BIG::FBuff* data, bool bad, uint32_t user) {
        ++done;
        if (bad || data == nullptr) {
            ++failed;
            return;
        }
        const uint32_t index = user & ~kTableFlag;
        if ((user & kTableFlag) == 0) {
            const uint32_t refs = BIG::Endian::Get32(data->pc_GetData() + 4);
            if (refs != 0) {
                ++expected;
                manager.bAddReadRequest(offsets[index] + 1, 4 * refs, index | kTableFlag,
                                        static_cast<uint32_t>(callback), true, BIG::kMainBigfile, 1);
            }
        } else {
            refKeys += data->ul_GetSize() / 4;
        }
        data->Release();
    });
    start = PLT::MonotonicSeconds();
    for (uint32_t i = 0; i < files; ++i) {
        if (offsets[i] == 0xFFFFFFFF)
            continue;
        ++expected;
        manager.bAddReadRequest(offsets[i], 8, i, static_cast<uint32_t>(callback), false, BIG::kMainBigfile,
                                1);
    }
    const double queueSeconds = Seconds(start);
    while (done < expected) {
        manager.TreatFinishedReads();
        if (done < expected)
            manager.WaitForReadEnd(1);
    }
    const double asyncSeconds = Seconds(start);
    const uint32_t asyncReads = manager.ul_GetReadCount();

    // Synchronous pass, as an inspection reads file by file.
    manager.Flush();
    uint64_t syncKeys = 0;
    start = PLT::MonotonicSeconds();
    for (uint32_t i = 0; i < files; ++i) {
        if (offsets[i] == 0xFFFFFFFF)
            continue;
        BIG::FBuff* head = fat.po_SyncRead(offsets[i], 8, i, BIG::kMainBigfile);
        if (head == nullptr)
            continue;
        const uint32_t refs = BIG::Endian::Get32(head->pc_GetData() + 4);
        head->Release();
        if (refs == 0)
            continue;
        BIG::FBuff* table = fat.po_SyncRead(offsets[i] + 1, 4 * refs, i, BIG::kMainBigfile);
        if (table != nullptr) {
            syncKeys += table->ul_GetSize() / 4;
            table->Release();
        }
    }
    const double syncSeconds = Seconds(start);

    const double mb = static_cast<double>(bytes) / (1024.0 * 1024.0);
    std::printf("bigfile            %s: %u files, %.1f MB\n", path.c_str(), files, mb);
    std::printf("cat (sequential)   %8.3f s  %8.1f MB/s\n", catSeconds, mb / catSeconds);
    std::printf("manager, queued    %8.3f s  %8.0f files/s  %u physical reads, %" PRIu64
                " requests (%.3f s to queue the heads), %" PRIu64 " failed, %" PRIu64 " keys\n",
                asyncSeconds, files / asyncSeconds, asyncReads, expected, queueSeconds, failed, refKeys);
    std::printf("manager, sync      %8.3f s  %8.0f files/s  %u physical reads, %" PRIu64 " keys\n",
                syncSeconds, files / syncSeconds, manager.ul_GetReadCount() - asyncReads, syncKeys);
    std::printf("ratio queued/cat   %8.2f\n", asyncSeconds / catSeconds);
    fat.File().eClose();
    return failed == 0 && syncKeys == refKeys ? 0 : 1;
}
