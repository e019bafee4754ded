#include <cinttypes>
#include <vector>

#include "BIGfile/BIG_Endian.h"
#include "platform/Clock.h"
#include "platform/DynamicLibrary.h"
#include "platform/File.h"
#include "orvex/OVC_Interface.h"
#include "plugin/OVI_LoadHelpers.h"

namespace ORVEX {

namespace {

constexpr const char* kTag = "aiobjects";
// Read in pieces so that a long list never needs one large block.
constexpr size_t kChunkRecords = 8192;

// The previous list is kept as the backup, then removed, so that whatever is
// read afterwards was written by this load of the library.
void SetAsideOldList() {
    if (!PLT::FileExists(OVI_AILoadHelper::kListFile))
        return;
    if (!PLT::CopyFile(OVI_AILoadHelper::kListFile, OVI_AILoadHelper::kBackupFile, false))
        OVC_OutputString("warning", kTag, "OVI_AILoadHelper::LoadAIObjects Cannot back up %s to %s: %s",
                         OVI_AILoadHelper::kListFile, OVI_AILoadHelper::kBackupFile,
                         PLT::ErrorText(PLT::LastError()).c_str());
    if (!PLT::RemoveFile(OVI_AILoadHelper::kListFile))
        OVC_OutputString("warning", kTag, "OVI_AILoadHelper::LoadAIObjects Cannot delete the old %s: %s",
                         OVI_AILoadHelper::kListFile, PLT::ErrorText(PLT::LastError()).c_str());
}

}  // namespace

OVI_AILoadHelper::~OVI_AILoadHelper() = default;

uint32_t OVI_AILoadHelper::ul_ReadRecords(const uint8_t* data, size_t size, size_t* partial) {
    uint32_t repeated = 0;
    const size_t whole = size / kRecordSize;
    for (size_t i = 0; i < whole; ++i) {
        const uint32_t key = BIG::Endian::Get32(data + i * kRecordSize + kOffKey);
        if (!bInsertKey(key, kMode))
            ++repeated;
    }
    if (partial != nullptr)
        *partial = size % kRecordSize;
    return repeated;
}

int32_t OVI_AILoadHelper::LoadAIObjects(const std::string& libraryPath) {
    SetAsideOldList();
    mb_Failed = true;

    PLT::DynamicLibrary library;
    if (!library.Open(libraryPath)) {
        OVC_OutputString("error", kTag, "OVI_AILoadHelper::LoadAIObjects Cannot load %s: %s",
                         libraryPath.c_str(), library.Error().c_str());
        return -1;
    }
    PLT::SleepMs(kWaitMs);

    const PLT::FileHandle file =
        PLT::OpenFile(kListFile, PLT::Access::eRead, PLT::Disposition::eOpenExisting);
    if (file == PLT::kInvalidFile) {
        OVC_OutputString("error", kTag, "OVI_AILoadHelper::LoadAIObjects %s left no %s", libraryPath.c_str(),
                         kListFile);
        library.Close();
        return -1;
    }

    uint64_t size = 0;
    bool ok = PLT::GetFileSize(file, &size);
    uint32_t repeated = 0;
    uint64_t read = 0;
    size_t partial = 0;
    std::vector<uint8_t> chunk;
    while (ok && read < size) {
        const uint64_t left = size - read;
        const size_t want =
            left < kChunkRecords * kRecordSize ? static_cast<size_t>(left) : kChunkRecords * kRecordSize;
        chunk.resize(want);
        ok = PLT::ReadAt(file, read, chunk.data(), want);
        if (!ok)
            break;
        repeated += ul_ReadRecords(chunk.data(), want, &partial);
        read += want;
    }
    PLT::CloseFile(file);
    library.Close();

    mb_Failed = !ok;
    if (!ok) {
        // The list is shorter than it said or unreadable: what was read stays.
        OVC_OutputString("error", kTag,
                         "OVI_AILoadHelper::LoadAIObjects Failed reading %s at byte %" PRIu64 ": %s",
                         kListFile, read, PLT::ErrorText(PLT::LastError()).c_str());
        return -1;
    }
    if (partial != 0)
        OVC_OutputString(
            "warning", kTag,
            "OVI_AILoadHelper::LoadAIObjects %s ends with a partial record of %zu bytes (of %zu); "
            "it is ignored",
            kListFile, partial, kRecordSize);
    if (repeated != 0) {
        OVC_OutputString("warning", kTag,
                         "OVI_AILoadHelper::LoadAIObjects %u key(s) of %s were already listed", repeated,
                         kListFile);
        return -1;
    }
    return 0;
}

}  // namespace ORVEX
