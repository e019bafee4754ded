#include "BIGfile/AsynchronousIO/BIG_AsynchronousFat.h"

#include <cinttypes>
#include <cstdio>

#include "BIGfile/AsynchronousIO/BIG_AsynchronousIOManager.h"
#include "BIGfile/BIG_ContentHead.h"
#include "BIGfile/BIG_DuplicatedFilesManager.h"
#include "BIGfile/BIG_FBuff.h"
#include "BIGfile/BIG_FileEntry.h"
#include "BIGfile/BIG_Init.h"
#include "DesignPaTterns/DPT_Singleton.h"
#include "ERRor/ERR_Assert.h"
#include "ERRor/ERR_Log.h"
#include "ERRor/ERR_MessageBox.h"

namespace {

constexpr uint32_t kLengthSize = BIG_st_ContentHead::kLengthSize;

// A view that owns its bytes: the content of a loose key file, which no read
// buffer holds.
class OwnedView : public BIG::FBuff {
public:
    explicit OwnedView(std::vector<uint8_t> bytes) : BIG::FBuff(nullptr, 0), m_aBytes(std::move(bytes)) {
        SetData(m_aBytes.data(), static_cast<uint32_t>(m_aBytes.size()));
    }

private:
    std::vector<uint8_t> m_aBytes;
};

}  // namespace

// ---- Copy selection ----------------------------------------------------------

uint32_t DupFileSelectPolicy_ClosestToAsynchIO::ul_Select(const BIG_st_CopyList& copies,
                                                          uint64_t ullDataStart, uint64_t ullLastRead) {
    uint32_t best = 0xFFFFFFFF;
    uint64_t bestDistance = UINT64_MAX;
    for (uint32_t i = 0; i < copies.count; ++i) {
        const uint32_t pos = copies.positions[i];
        if (pos == 0xFFFFFFFF)
            continue;
        if (ullLastRead < ullDataStart)
            return pos;
        const uint64_t at = ullDataStart + (static_cast<uint64_t>(pos) << 3);
        const uint64_t distance = at > ullLastRead ? at - ullLastRead : ullLastRead - at;
        if (distance < bestDistance) {
            bestDistance = distance;
            best = pos;
        }
    }
    return best;
}

// ---- Construction --------------------------------------------------------------

BIG_cl_AsynchronousFat::BIG_cl_AsynchronousFat(BIG_cl_AsynchronousIOManager* po_Manager)
    : mpo_Manager(po_Manager) {
    for (auto& policy : m_aDupPolicies)
        policy = std::make_unique<DupFileSelectPolicy_ClosestToAsynchIO>();
    if (mpo_Manager != nullptr) {
        mi_SyncCallback = mpo_Manager->i_RegisterCallback(
            [this](BIG::FBuff* data, bool failed, uint32_t user) { OnSyncRead(data, failed, user); });
        mpo_Manager->SetBigfile(BIG::kMainBigfile, &File(), &Lock());
    }
}

BIG_cl_AsynchronousFat::~BIG_cl_AsynchronousFat() {
    if (mpo_Manager != nullptr && mpo_Manager->po_GetBigfile(BIG::kMainBigfile) == &File())
        mpo_Manager->SetBigfile(BIG::kMainBigfile, nullptr);
}

BIG_cl_AsynchronousFat* BIG_cl_AsynchronousFat::po_GetInstance() {
    return DPT::Singleton<BIG_cl_AsynchronousFat>::pGet();
}

void BIG_cl_AsynchronousFat::SetDupFileSelectPolicy(uint32_t ulQueueId,
                                                    std::unique_ptr<DupFileSelectPolicy> policy) {
    if (ulQueueId >= m_aDupPolicies.size() || !policy) {
        ERR_X_Raise("Assert", "Invalid input parameter!");
        return;
    }
    m_aDupPolicies[ulQueueId] = std::move(policy);
}

// ---- Where a file lies ------------------------------------------------------------

std::string BIG_cl_AsynchronousFat::FileLabel(uint32_t ulFileIdx) const {
    return ulFileIdx < ul_GetFileCount() ? GetFileName(ulFileIdx) : std::string("?");
}

bool BIG_cl_AsynchronousFat::bGetReadPlace(uint32_t ulFileIdx, ReadPlace* po_Out) {
    *po_Out = ReadPlace{};
    if (ulFileIdx >= ul_GetFileCount() || !bIsFilePositionValid(ulFileIdx))
        return false;
    const BIG_st_FileEntry& entry = FileEntry(ulFileIdx);
    BIG_cl_Fat* fat = this;
    uint32_t index = ulFileIdx;
    po_Out->ul_BfIdx = BIG::kMainBigfile;
    if ((entry.uc_StorageFlags & BIG_st_FileEntry::kStoragePackage) != 0) {
        const uint32_t package = entry.ul_Pos >> BIG_st_FileEntry::kPackageIndexShift;
        fat = BIG_pst_PackageFat(package);
        if (fat == nullptr) {
            ERR_X_RaisePrintf("Assert", "Invalid package index %lu", static_cast<unsigned long>(package));
            return false;
        }
        index = entry.ul_Pos & BIG_st_FileEntry::kPackageFileMask;
        po_Out->ul_BfIdx = package;
        if (mpo_Manager->po_GetBigfile(package) != &fat->File())
            mpo_Manager->SetBigfile(package, &fat->File(), &fat->Lock());
    }
    po_Out->po_Fat = fat;
    const uint32_t dataStart = fat->oGetDataPos().ul_GetValue();
    const BIG_st_FileEntry& target = fat->FileEntry(index);
    const auto add = [&](uint32_t pos) {
        if (pos != BIG_st_FileEntry::kNone && static_cast<uint64_t>(dataStart) + pos < BIG_POS::kNone)
            po_Out->a_Positions.push_back(dataStart + pos);
    };
    if ((target.uc_StorageFlags & BIG_st_FileEntry::kStorageCopyList) != 0) {
        BIG_st_CopyList copies;
        if (BIG_DuplicatedFilesManager::bGetGlobalCopyList(target.ul_Pos, &copies)) {
            for (uint32_t i = 0; i < copies.count; ++i)
                add(copies.positions[i]);
        }
    } else {
        add(fat->ul_GetFilePosition(index));
    }
    return !po_Out->a_Positions.empty();
}

uint32_t BIG_cl_AsynchronousFat::ul_ChoosePosition(const ReadPlace& place, uint32_t ulQueueId) {
    if (place.a_Positions.size() == 1 || ulQueueId >= m_aDupPolicies.size())
        return place.a_Positions.front();
    const uint32_t dataStart = place.po_Fat->oGetDataPos().ul_GetValue();
    BIG_st_CopyList copies;
    for (uint32_t pos : place.a_Positions) {
        if (copies.count < BIG_st_CopyList::kMaxCopies)
            copies.positions[copies.count++] = pos - dataStart;
    }
    const uint32_t chosen = m_aDupPolicies[ulQueueId]->ul_Select(
        copies, static_cast<uint64_t>(dataStart) << 3, mpo_Manager->ull_GetLastReadPosition(place.ul_BfIdx));
    return chosen == 0xFFFFFFFF ? place.a_Positions.front() : dataStart + chosen;
}

bool BIG_cl_AsynchronousFat::bCheckRange(uint32_t ulFileIdx, const ReadPlace& place, uint32_t ulPos,
                                         uint32_t ulSize) {
    const uint64_t start = static_cast<uint64_t>(ulPos) << 3;
    bool valid;
    {
        PLT::ScopedLock<PLT::CriticalSection> lock(place.po_Fat->Lock());
        valid = place.po_Fat->File().bIsOpen() && place.po_Fat->File().bIsValidRange(start, start + ulSize);
    }
    if (valid)
        return true;
    const std::string name = FileLabel(ulFileIdx);
    const uint32_t key = ulFileIdx < ul_GetFileCount() ? ul_GetFileKey(ulFileIdx) : 0xFFFFFFFF;
    char text[1024];
    std::snprintf(
        text, sizeof text,
        "Error while reading the file: %s (Key: %08x)!\n\nThe big file is CORRUPTED!\n\nSee the LOG for a "
        "list of corrupted files. If NONE of the files YOU MODIFIED are corrupted,\nyou can TRY to submit "
        "your work before getting the reference big file from the server.",
        name.c_str(), key);
    ERR_i_MessageBox(text, "The big file is corrupted!", ERR_MB_OK | ERR_MB_ICONERROR);
    ERR_LogPrintf(ERR_Level_Error, ERR_Cat_Others,
                  "Error while reading the file %s! (Key: %08x). The big file is CORRUPTED!\n", name.c_str(),
                  key);
    return false;
}

void BIG_cl_AsynchronousFat::ShowTooBig(uint32_t ulFileIdx, uint32_t ulSize) {
    const std::string name = FileLabel(ulFileIdx);
    const uint32_t key = ulFileIdx < ul_GetFileCount() ? ul_GetFileKey(ulFileIdx) : 0xFFFFFFFF;
    char text[1024];
    std::snprintf(
        text, sizeof text,
        "The file: %s (Key: %08x) is too big to be read (size: %u bytes)!\nPlease try to re-import the "
        "file to correct this problem. See log for info about the file and the key.",
        name.c_str(), key, ulSize);
    ERR_i_MessageBox(text, "Error while reading the file!", ERR_MB_OK | ERR_MB_ICONERROR);
    ERR_LogPrintf(ERR_Level_Error, ERR_Cat_Others,
                  "Error while reading the file %s! (Key: %08x). The file is too big (size: %u)!\n",
                  name.c_str(), key, ulSize);
}

// ---- Asynchronous reads -------------------------------------------------------------

bool BIG_cl_AsynchronousFat::bStartLengthRead(uint32_t ulFileIdx, uint32_t ulUser, uint32_t ulCallbackIdx,
                                              uint32_t ulQueueId, bool bNoImmediate) {
    ReadPlace place;
    if (mpo_Manager == nullptr || !bGetReadPlace(ulFileIdx, &place))
        return false;
    const uint32_t pos = ul_ChoosePosition(place, ulQueueId);
    if (!bCheckRange(ulFileIdx, place, pos, kLengthSize))
        return false;
    return mpo_Manager->bAddReadRequest(pos, kLengthSize, ulUser, ulCallbackIdx, !bNoImmediate,
                                        place.ul_BfIdx, ulQueueId);
}

bool BIG_cl_AsynchronousFat::bStartContentRead(uint32_t ulFileIdx, uint32_t ulContentSize, uint32_t ulUser,
                                               uint32_t ulCallbackIdx, uint32_t ulQueueId,
                                               bool bNoImmediate) {
    if (ulContentSize == 0)
        return false;
    if (ulContentSize > BIG::kMaxReadSize) {
        ShowTooBig(ulFileIdx, ulContentSize);
        return false;
    }
    ReadPlace place;
    if (mpo_Manager == nullptr || !bGetReadPlace(ulFileIdx, &place))
        return false;
    const uint32_t pos = ul_ChoosePosition(place, ulQueueId);
    if (!bCheckRange(ulFileIdx, place, pos, ulContentSize + kLengthSize))
        return false;
    return mpo_Manager->bAddReadRequest(pos, ulContentSize + kLengthSize, ulUser, ulCallbackIdx,
                                        !bNoImmediate, place.ul_BfIdx, ulQueueId);
}

// ---- Synchronous reads ------------------------------------------------------------------

void BIG_cl_AsynchronousFat::OnSyncRead(BIG::FBuff* po_Data, bool bFailed, uint32_t ulUser) {
    SyncSlot* slot = ulUser < m_aSyncSlots.size() ? m_aSyncSlots[ulUser] : nullptr;
    if (slot == nullptr) {
        if (po_Data != nullptr)
            po_Data->Release();
        return;
    }
    if (bFailed || po_Data == nullptr) {
        ERR_X_Raise("Assert", "Failure isn't actually handled. :(");
        slot->b_Failed = true;
    }
    slot->po_Data = po_Data;
    slot->b_Done = true;
}

BIG::FBuff* BIG_cl_AsynchronousFat::po_SyncRead(uint32_t ulPos, uint32_t ulSize, uint32_t ulFileIdx,
                                                uint32_t ulBfIdx) {
    if (mpo_Manager == nullptr || mi_SyncCallback < 0 || ulSize == 0)
        return nullptr;
    (void)ulFileIdx;
    SyncSlot slot;
    uint32_t index = 0;
    while (index < m_aSyncSlots.size() && m_aSyncSlots[index] != nullptr)
        ++index;
    if (index == m_aSyncSlots.size())
        m_aSyncSlots.push_back(nullptr);
    m_aSyncSlots[index] = &slot;

    ++mi_SyncDepth;
    uint32_t resumed = 0;
    while (mpo_Manager->bIsPaused()) {
        mpo_Manager->ResumeReading();
        ++resumed;
    }
    if (!mpo_Manager->bAddReadRequest(ulPos, ulSize, index, static_cast<uint32_t>(mi_SyncCallback), true,
                                      ulBfIdx, 0))
        slot.b_Done = slot.b_Failed = true;
    while (!slot.b_Done) {
        mpo_Manager->TreatFinishedReads();
        if (!slot.b_Done)
            mpo_Manager->WaitForReadEnd(2);
    }
    for (; resumed != 0; --resumed)
        mpo_Manager->PauseReading();
    --mi_SyncDepth;
    m_aSyncSlots[index] = nullptr;
    return slot.b_Failed ? nullptr : slot.po_Data;
}

// ---- Whole files -----------------------------------------------------------------------

BIG::FBuff* BIG_cl_AsynchronousFat::po_FindHeld(const ReadPlace& place, uint32_t ulSize) {
    for (uint32_t pos : place.a_Positions) {
        if (BIG::FBuff* data = mpo_Manager->po_FindData(pos, ulSize, place.ul_BfIdx))
            return data;
    }
    return nullptr;
}

BIG::FBuff* BIG_cl_AsynchronousFat::po_ReadWhole(uint32_t ulFileIdx, const ReadPlace& place,
                                                 uint32_t ulSize) {
    if (BIG::FBuff* held = po_FindHeld(place, ulSize))
        return held;
    const uint32_t pos = place.a_Positions.front();
    if (!bCheckRange(ulFileIdx, place, pos, ulSize))
        return nullptr;
    return po_SyncRead(pos, ulSize, ulFileIdx, place.ul_BfIdx);
}

bool BIG_cl_AsynchronousFat::bGetFileData(uint32_t ulFileIdx, BIG_st_FileData* po_Out) {
    *po_Out = BIG_st_FileData{};
    if (mpo_Manager == nullptr || ulFileIdx >= ul_GetFileCount())
        return false;
    BIG::FBuff* data = nullptr;
    uint32_t length = 0;
    const uint8_t* content = nullptr;
    if ((FileEntry(ulFileIdx).uc_StorageFlags & BIG_st_FileEntry::kStorageLooseKey) != 0) {
        // A loose key file overrides the stored content; it has no length prefix.
        length = ul_GetFileSize(ulFileIdx);
        if (length == 0 || length == 0xFFFFFFFF)
            return false;
        if (length > BIG::kMaxReadSize) {
            ShowTooBig(ulFileIdx, length);
            return false;
        }
        std::vector<uint8_t> bytes(length);
        if (!ReadFileContent(ulFileIdx, bytes.data(), 0, length))
            return false;
        data = new OwnedView(std::move(bytes));
        data->AddRef();
        content = data->pc_GetData();
    } else {
        ReadPlace place;
        if (!bGetReadPlace(ulFileIdx, &place))
            return false;
        BIG::FBuff* head = po_ReadWhole(ulFileIdx, place, kLengthSize);
        if (head == nullptr)
            return false;
        const bool read = BIG_st_ContentHead::bDecodeLength(head->pc_GetData(), head->ul_GetSize(), &length);
        head->Release();
        if (!read)
            return false;
        if (length > BIG::kMaxReadSize) {
            ShowTooBig(ulFileIdx, length);
            return false;
        }
        if (length == 0)
            return false;
        data = po_ReadWhole(ulFileIdx, place, length + kLengthSize);
        if (data == nullptr)
            return false;
        content = data->pc_GetData() + kLengthSize;
    }

    uint32_t refBytes = 0;  // no table before format 40: all payload
    if (uw_GetFormatNb() >= BIG_st_ContentHead::kFirstFormatWithRefs) {
        BIG_st_ContentHead table;
        if (!BIG_st_ContentHead::bDecodeContent(content, length, length, &table) || !table.bTableFits()) {
            ERR_X_RaisePrintf("AssertEx", "'%s' : File is corrupted", FileLabel(ulFileIdx).c_str());
            data->Release();
            return false;
        }
        refBytes = table.ul_TableSize();
        po_Out->pu8_RefTable = content;
        po_Out->ul_RefCount = table.ul_RefCount;
    }
    po_Out->po_Buffer = data;
    po_Out->pu8_Data = content + refBytes;
    po_Out->ul_DataSize = length - refBytes;
    return true;
}
