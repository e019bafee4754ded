// Loading the duplicated-files table through the load manager.
#include <string>

#include "BIGfile/AsynchronousIO/BIG_AsynchronousFat.h"
#include "BIGfile/BIG_DuplicatedFilesManager.h"
#include "BIGfile/BIG_Fat.h"
#include "BIGfile/BIG_FBuff.h"
#include "BIGfile/BIG_LoadManager.h"
#include "ERRor/ERR_Log.h"

namespace {

constexpr uint32_t kDupQueue = 6;

// The reader of the table that bLoadFromBigfile is loading from, for the load
// callback, whose signature carries no table.
thread_local BIG_cl_AsynchronousFat* t_loadingReader = nullptr;

BIG_cl_AsynchronousFat* CurrentReader() {
    if (t_loadingReader != nullptr)
        return t_loadingReader;
    const BIG_cl_LoadManager* manager = BIG_cl_LoadManager::po_Get();
    if (manager != nullptr && manager->po_GetReader() != nullptr)
        return manager->po_GetReader();
    return BIG_cl_AsynchronousFat::po_GetInstance();
}

}  // namespace

void* BIG_DuplicatedFilesManager::p_LoadCallback(uint32_t fileIndex, uint32_t, uint32_t, uint32_t, uint32_t) {
    BIG_cl_AsynchronousFat* reader = CurrentReader();
    if (reader == nullptr || fileIndex >= reader->ul_GetFileCount()) {
        ERR_LogPrintf(ERR_Level_Error, ERR_Cat_Others,
                      "The duplicated-files table has no bigfile to be read from\n");
        return nullptr;
    }
    BIG_st_FileData data;
    // A file that cannot be read, or whose reference table overflows it, is
    // reported by the reader.
    if (!reader->bGetFileData(fileIndex, &data))
        return nullptr;
    std::string error;
    std::unique_ptr<BIG_DuplicatedFilesManager> table;
    if (data.pu8_RefTable == nullptr)
        error = "no reference table";
    else
        table = po_Decode(data.pu8_Data, data.pu8_Data != nullptr ? data.ul_DataSize : 0, &error);
    if (data.po_Buffer != nullptr)
        data.po_Buffer->Release();
    if (!table) {
        ERR_LogPrintf(ERR_Level_Error, ERR_Cat_Others,
                      "'%s' : File is corrupted (duplicated-files table: %s)\n",
                      reader->GetFileName(fileIndex).c_str(), error.c_str());
        return nullptr;
    }
    return table.release();
}

bool BIG_DuplicatedFilesManager::bLoadFromBigfile(BIG_cl_LoadManager& loadManager, BIG_cl_Fat& fat) {
    const uint32_t fileIndex = fat.ul_GetFileIndex(kFileKey, false);
    if (fileIndex == BIG_cl_Fat::kNoFile)
        return false;
    // The callback's object is taken as a table below: only our callback may make it.
    if ((fat.FileEntry(fileIndex).ul_Flags & BIG_st_FileEntry::kFlagLinkMask) == 0) {
        ERR_LogPrintf(ERR_Level_Error, ERR_Cat_Others,
                      "'%s' : File is corrupted (the duplicated-files table is stored as a link)\n",
                      fat.GetFileName(fileIndex).c_str());
        return false;
    }
    if (fat.FileEntry(fileIndex).uc_Type != kFileType) {
        ERR_LogPrintf(ERR_Level_Error, ERR_Cat_Others,
                      "'%s' : File is corrupted (the duplicated-files table has type %u, not %u)\n",
                      fat.GetFileName(fileIndex).c_str(), fat.FileEntry(fileIndex).uc_Type, kFileType);
        return false;
    }
    if (loadManager.GetLoadCallback(kFileType) == nullptr)
        loadManager.AddLoadCallback(kFileType, &p_LoadCallback);
    if (loadManager.GetLoadCallback(kFileType) != &p_LoadCallback) {
        ERR_LogPrintf(ERR_Level_Error, ERR_Cat_Others,
                      "The duplicated-files table cannot be loaded: another load callback serves its type\n");
        return false;
    }
    struct ReaderScope {
        explicit ReaderScope(BIG_cl_AsynchronousFat* reader) : previous(t_loadingReader) {
            t_loadingReader = reader;
        }
        ~ReaderScope() { t_loadingReader = previous; }
        BIG_cl_AsynchronousFat* previous;
    } scope(loadManager.po_GetReader());
    void* result = nullptr;
    // Not recorded in the file entry: the table is owned here, and an entry
    // would keep pointing at it after it is replaced.
    if (!loadManager.bLoadFileAfter(kFileKey, BIG_cl_LoadManager::LoadFlag_NoRecord, 0, &result, kDupQueue))
        return false;
    loadManager.LoadAll(false);
    if (result == nullptr)
        return false;
    Replace(
        std::shared_ptr<const BIG_DuplicatedFilesManager>(static_cast<BIG_DuplicatedFilesManager*>(result)));
    return true;
}
