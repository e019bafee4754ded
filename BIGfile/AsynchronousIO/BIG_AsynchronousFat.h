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

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "BIGfile/BIG_Fat.h"

class BIG_cl_AsynchronousIOManager;
struct BIG_st_CopyList;

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

// Picks which copy of a copy-list file to read.
class DupFileSelectPolicy {
public:
    virtual ~DupFileSelectPolicy() = default;
    // The chosen position (8-byte units from the data start), 0xFFFFFFFF when
    // the list holds no place. Positions are compared as byte offsets.
    virtual uint32_t ul_Select(const BIG_st_CopyList& copies, uint64_t ullDataStart,
                               uint64_t ullLastRead) = 0;
};

// The copy nearest (absolute distance in bytes) to the last read; the first of
// equal distances; the first copy when the last read lies before the data start.
class DupFileSelectPolicy_ClosestToAsynchIO : public DupFileSelectPolicy {
public:
    uint32_t ul_Select(const BIG_st_CopyList& copies, uint64_t ullDataStart, uint64_t ullLastRead) override;
};

class BIG_cl_AsynchronousFat : public BIG_cl_Fat {
public:
    // Registers the synchronous-read callback with `po_Manager` and binds this
    // table's container as the main bigfile.
    explicit BIG_cl_AsynchronousFat(BIG_cl_AsynchronousIOManager* po_Manager);
    ~BIG_cl_AsynchronousFat() override;

    // The process-wide table made by the library's start-up (null outside it).
    static BIG_cl_AsynchronousFat* po_GetInstance();

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
    bool bIsSyncReading() const { return mi_SyncDepth != 0; }

    BIG_cl_AsynchronousIOManager* po_GetManager() const { return mpo_Manager; }
    void SetDupFileSelectPolicy(uint32_t ulQueueId, std::unique_ptr<DupFileSelectPolicy> policy);

    // Where a file's stored content lies: the bigfile (kMainBigfile or a
    // package), the positions of its copies (absolute, 8-byte units; one for
    // an ordinary file) and the table that holds its entry.
    struct ReadPlace {
        uint32_t ul_BfIdx = 0xFFFFFFFF;
        BIG_cl_Fat* po_Fat = nullptr;
        std::vector<uint32_t> a_Positions;
    };
    // False when the file has no valid content.
    bool bGetReadPlace(uint32_t ulFileIdx, ReadPlace* po_Out);

private:
    struct SyncSlot {
        BIG::FBuff* po_Data = nullptr;
        bool b_Done = false;
        bool b_Failed = false;
    };

    void OnSyncRead(BIG::FBuff* po_Data, bool bFailed, uint32_t ulUser);
    // The position to read for `place` on queue `ulQueueId` (copy selection).
    uint32_t ul_ChoosePosition(const ReadPlace& place, uint32_t ulQueueId);
    // Checks that [pos, pos + size) lies in the bigfile; shows the corruption
    // message when not.
    bool bCheckRange(uint32_t ulFileIdx, const ReadPlace& place, uint32_t ulPos, uint32_t ulSize);
    void ShowTooBig(uint32_t ulFileIdx, uint32_t ulSize);
    // Bytes [pos, pos + size) from a read buffer, trying each copy, or null.
    BIG::FBuff* po_FindHeld(const ReadPlace& place, uint32_t ulSize);
    BIG::FBuff* po_ReadWhole(uint32_t ulFileIdx, const ReadPlace& place, uint32_t ulSize);
    std::string FileLabel(uint32_t ulFileIdx) const;

    BIG_cl_AsynchronousIOManager* mpo_Manager;
    int mi_SyncCallback = -1;
    int mi_SyncDepth = 0;
    // Live synchronous reads; the request's user word is the slot index.
    std::vector<SyncSlot*> m_aSyncSlots;
    std::array<std::unique_ptr<DupFileSelectPolicy>, 7> m_aDupPolicies;
};
