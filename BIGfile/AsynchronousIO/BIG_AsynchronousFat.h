// The bigfile table bound to the asynchronous I/O manager.
//
// It turns a file index into read requests (the stored 4-byte length, then
// length and content together), offers synchronous reads built on the same
// machinery, and hands a finished file's data to the loaders. A file stored at
// several places is read from the copy nearest to the last read; a file whose
// content lies in a package bigfile is read through that package's table.
//
// Threads: the start and get operations run on the pumping thread (the one
// that treats finished reads); the synchronous read pumps the manager itself
// and must not be called while that thread holds a lock of the manager.
#pragma once

#include <cstdint>
#include <functional>

class BIG_cl_AsynchronousIOManager;
class BIG_cl_Fat;

namespace BIG {
class FBuff;
}

// A file's stored content split into its reference table and its data part.
struct BIG_st_FileData {
    // One reference owned by the caller (Release() it), or null when the file
    // could not be read. The pointers below point into its bytes.
    BIG::FBuff* po_Buffer = nullptr;
    // The reference table: its u32 count followed by that many u32 keys.
    const uint8_t* pu8_RefTable = nullptr;
    uint32_t ul_RefCount = 0;
    // The data part that follows the reference table.
    const uint8_t* pu8_Data = nullptr;
    uint32_t ul_DataSize = 0;
};

class BIG_cl_AsynchronousFat {
public:
    // Position of copy `ulTableIdx` in the duplicated-files table (8-byte units
    // from the data start), 0xFFFFFFFF when there is none.
    using DupPositionSource = std::function<uint32_t(uint32_t ulTableIdx)>;
    // The table of package bigfile `ulPackageIdx`, or null.
    using PackageSource = std::function<BIG_cl_Fat*(uint32_t ulPackageIdx)>;

    explicit BIG_cl_AsynchronousFat(BIG_cl_AsynchronousIOManager* po_Manager);
    virtual ~BIG_cl_AsynchronousFat();

    // The process-wide table made by the library's start-up (null outside it).
    static BIG_cl_AsynchronousFat* po_GetInstance();
    static void SetInstance(BIG_cl_AsynchronousFat* po_Fat);

    void SetDuplicatedPositions(DupPositionSource source);
    void SetPackages(PackageSource source);

    // Asks for the file's first 4 bytes (its stored length). False when the
    // file has no valid content, its range is corrupt or the request is refused.
    bool bStartLengthRead(uint32_t ulFileIdx, uint32_t ulUser, uint32_t ulCallbackIdx, uint32_t ulQueueId,
                          bool bNoImmediate);
    // Asks for content size + 4 bytes. Refuses a size of 0 silently and a size
    // above 10485760 bytes with the "too big" message.
    bool bStartContentRead(uint32_t ulFileIdx, uint32_t ulContentSize, uint32_t ulUser,
                           uint32_t ulCallbackIdx, uint32_t ulQueueId, bool bNoImmediate);

    // The whole content of a file, from the read buffers when they hold it, else
    // read synchronously, split into reference table and data part. False (and
    // an empty `po_Out`) when the file cannot be read or is corrupted.
    bool bGetFileData(uint32_t ulFileIdx, BIG_st_FileData* po_Out);

    // Reads `ulSize` bytes at `ulPos` (8-byte units) of bigfile `ulBfIdx`
    // through the manager's queue 0 and waits for them. One reference owned by
    // the caller, or null on failure. `ulFileIdx` names the file for messages
    // (0xFFFFFFFF when none).
    BIG::FBuff* po_SyncRead(uint32_t ulPos, uint32_t ulSize, uint32_t ulFileIdx, uint32_t ulBfIdx);

    // Set while a synchronous read pumps the manager: completions of other
    // requests that arrive meanwhile must be deferred by their owners.
    bool bIsSyncReading() const;

    BIG_cl_AsynchronousIOManager* po_GetManager() const { return mpo_Manager; }

private:
    BIG_cl_AsynchronousIOManager* mpo_Manager;
    DupPositionSource m_DupPositions;
    PackageSource m_Packages;
    bool mb_SyncReading = false;
};
