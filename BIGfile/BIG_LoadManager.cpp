#include "BIGfile/BIG_LoadManager.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <type_traits>

#include "BIGfile/AsynchronousIO/BIG_AsynchronousFat.h"
#include "BIGfile/AsynchronousIO/BIG_AsynchronousIOManager.h"
#include "BIGfile/BIG_DataHandles.h"
#include "BIGfile/BIG_ContentHead.h"
#include "BIGfile/BIG_Extensions.h"
#include "BIGfile/BIG_DuplicatedFilesManager.h"
#include "BIGfile/BIG_Fat.h"
#include "BIGfile/BIG_Init.h"
#include "BIGfile/Dlc/BIG_DLCPackageManager.h"
#include "BIGfile/BIG_FBuff.h"
#include "BIGfile/BIG_StreamReader.h"
#include "BIGfile/BIG_TimeBudget.h"
#include "BIGfile/LoadOrdering/BIG_LoadOrderManager.h"
#include "DesignPaTterns/DPT_Singleton.h"
#include "ERRor/ERR_Assert.h"
#include "ERRor/ERR_Log.h"
#include "platform/Clock.h"
#include "platform/Terminal.h"

namespace {

constexpr uint32_t kHandleIndexBits = 17;  // 130000 records + 1 fit in 17 bits
constexpr uint32_t kHandleIndexMask = (1u << kHandleIndexBits) - 1;
constexpr uint32_t kHandleGenerationMask = 0x7FFF;

constexpr uint8_t kTypeTexture = 32;   // "tga"
constexpr uint8_t kTypeFeu = 112;      // "feu"
constexpr uint8_t kTypeFfd = 113;      // "ffd"
constexpr uint32_t kLinkKeyCount = 4;  // a link: the count 4 and four keys
constexpr uint32_t kLinkContentSize = 20;

constexpr uint64_t kFirstProgressMs = 100;
constexpr uint64_t kProgressPeriodMs = 1001;
const char* const kProgressEndings[4] = {"   ", ".  ", ".. ", "..."};

void ReleaseData(BIG::FBuff* data) {
    if (data != nullptr)
        data->Release();
}

// The first u32 of a finished read (the stored content length).
bool bFirstWord(BIG::FBuff* data, uint32_t* out) {
    return data != nullptr && BIG_st_ContentHead::bDecodeLength(data->pc_GetData(), data->ul_GetSize(), out);
}

// Adds 1 to the u16 at `offset` of an object whose layout the caller promised.
void AddToCounter(void* object, size_t offset) {
    uint16_t counter;
    std::memcpy(&counter, static_cast<uint8_t*>(object) + offset, sizeof counter);
    ++counter;
    std::memcpy(static_cast<uint8_t*>(object) + offset, &counter, sizeof counter);
}

}  // namespace

BIG_cl_LoadManager::BIG_cl_LoadManager(BIG_cl_AsynchronousIOManager& asyncIO)
    : m_asyncIO(asyncIO),
      m_pool(static_cast<BIG_st_LoadRequest*>(::operator new(sizeof(BIG_st_LoadRequest) * kPoolSize))),
      m_meta(static_cast<RequestMeta*>(::operator new(sizeof(RequestMeta) * kPoolSize))),
      m_indexHeads(std::make_unique<uint32_t[]>(kIndexBuckets)) {
    static_assert(
        std::is_trivially_destructible_v<BIG_st_LoadRequest> && std::is_trivially_destructible_v<RequestMeta>,
        "pool records are never destroyed one by one");
    for (uint32_t i = 0; i < kIndexBuckets; ++i)
        m_indexHeads[i] = kNone;

    m_pSelf = std::make_shared<std::atomic<BIG_cl_LoadManager*>>(this);
    auto self = m_pSelf;
    m_callbackIndex = m_asyncIO.i_RegisterCallback([self](BIG::FBuff* data, bool failed, uint32_t userWord) {
        if (BIG_cl_LoadManager* manager = self->load(std::memory_order_acquire))
            manager->OnReadDone(data, failed, userWord);
        else
            ReleaseData(data);
    });
    m_asyncIO.RegisterCancelQuery([self](uint32_t userWord) {
        BIG_cl_LoadManager* manager = self->load(std::memory_order_acquire);
        return manager == nullptr || manager->bIsHandleCanceled(userWord);
    });
    m_pBudget =
        std::make_unique<BIG_cl_TimeBudget>(BIG_cl_TimeBudget::kMinSlice, BIG_cl_TimeBudget::kFrameLimit);
    m_pLoadOrder = std::make_unique<BIG_LoadOrderManager>(&m_asyncIO, this);
}

BIG_cl_LoadManager::~BIG_cl_LoadManager() {
    // Reads still queued for our requests must find nothing to call back.
    m_pSelf->store(nullptr, std::memory_order_release);
    if (BIG_LoadOrderManager::po_Get() == m_pLoadOrder.get())
        BIG_LoadOrderManager::SetInstance(nullptr);
}

void BIG_cl_LoadManager::SetFat(BIG_cl_Fat* fat, BIG_cl_AsynchronousFat* reader) {
    m_pFat = fat;
    m_pReader = reader;
    m_pLoadOrder->SetFat(fat);
}

void BIG_cl_LoadManager::SetAbortCallback(uint32_t type, BIG_AbortCallback callback) {
    if (type >= kTypeCount) {
        ERR_X_Raise("Assert", "Invalid input parameter (type)");
        return;
    }
    m_abortCallbacks[type] = callback;
}

// ---- handles ---------------------------------------------------------------------

uint32_t BIG_cl_LoadManager::ul_RequestHandle(const BIG_st_LoadRequest* request) const {
    const uint32_t index = ul_Index(request);
    return (static_cast<uint32_t>(m_meta[index].uw_Generation & kHandleGenerationMask) << kHandleIndexBits) |
           (index + 1);
}

BIG_st_LoadRequest* BIG_cl_LoadManager::po_RequestFromHandle(uint32_t handle) {
    const uint32_t slot = handle & kHandleIndexMask;
    // A record above the high-water mark was never handed out.
    if (slot == 0 || slot > m_used.load(std::memory_order_acquire))
        return nullptr;
    const uint32_t index = slot - 1;
    if ((m_meta[index].uw_Generation & kHandleGenerationMask) != (handle >> kHandleIndexBits))
        return nullptr;
    BIG_st_LoadRequest* request = &m_pool[index];
    return (request->uw_State & Status_Free) != 0 ? nullptr : request;
}

bool BIG_cl_LoadManager::bIsHandleCanceled(uint32_t userWord) {
    const BIG_st_LoadRequest* request = po_RequestFromHandle(userWord);
    return request == nullptr || bIsRequestCanceled(request);
}

bool BIG_cl_LoadManager::bIsRequestCanceled(const BIG_st_LoadRequest* request) const {
    return (request->uw_State & (Status_Free | Status_Canceled)) != 0;
}

void BIG_cl_LoadManager::CancelRequest(BIG_st_LoadRequest* request) {
    if (request == nullptr || (request->uw_State & Status_Free) != 0)
        return;
    request->uw_State |= Status_Canceled;
}

// ---- file index ------------------------------------------------------------------

void BIG_cl_LoadManager::IndexAdd(uint32_t poolIndex) {
    const uint32_t bucket = m_pool[poolIndex].ul_File % kIndexBuckets;
    RequestMeta& meta = m_meta[poolIndex];
    meta.ul_PrevInBucket = kNone;
    meta.ul_NextInBucket = m_indexHeads[bucket];
    if (meta.ul_NextInBucket != kNone)
        m_meta[meta.ul_NextInBucket].ul_PrevInBucket = poolIndex;
    m_indexHeads[bucket] = poolIndex;
}

void BIG_cl_LoadManager::IndexRemove(uint32_t poolIndex) {
    const uint32_t bucket = m_pool[poolIndex].ul_File % kIndexBuckets;
    RequestMeta& meta = m_meta[poolIndex];
    if (meta.ul_PrevInBucket != kNone)
        m_meta[meta.ul_PrevInBucket].ul_NextInBucket = meta.ul_NextInBucket;
    else
        m_indexHeads[bucket] = meta.ul_NextInBucket;
    if (meta.ul_NextInBucket != kNone)
        m_meta[meta.ul_NextInBucket].ul_PrevInBucket = meta.ul_PrevInBucket;
    meta.ul_NextInBucket = meta.ul_PrevInBucket = kNone;
}

BIG_st_LoadRequest* BIG_cl_LoadManager::po_FindRequest(uint32_t fileIndex, uint32_t queueId) {
    for (uint32_t i = m_indexHeads[fileIndex % kIndexBuckets]; i != kNone; i = m_meta[i].ul_NextInBucket) {
        BIG_st_LoadRequest* request = &m_pool[i];
        if (request->ul_File == fileIndex && ul_Queue(request) == queueId && !bIsRequestCanceled(request))
            return request;
    }
    return nullptr;
}

// ---- requests ----------------------------------------------------------------------

BIG_st_LoadRequest* BIG_cl_LoadManager::po_AllocateRequest(uint32_t fileIndex, uint32_t userData,
                                                           void** result, uint32_t loadFlags,
                                                           uint32_t queueId, uint32_t extra1,
                                                           uint32_t extra2) {
    if (queueId >= kQueueCount) {
        ERR_X_Raise("Assert", "Invalid input parameter (_queueID)");
        return nullptr;
    }
    if (loadFlags > LoadFlag_Mask) {
        ERR_X_Raise("Assert", "Value overflow!");
        loadFlags &= LoadFlag_Mask;
    }
    uint32_t index = m_freeHead;
    if (index != kNone) {
        m_freeHead = m_pool[index].ul_File;
    } else {
        index = m_used.load(std::memory_order_relaxed);
        if (index == kPoolSize) {
            ERR_X_Raise("Assert", "BIG_cl_LoadManager::bLoadFileAfter: The array is full");
            return nullptr;
        }
        std::construct_at(&m_pool[index]);
        std::construct_at(&m_meta[index]);
        m_used.store(index + 1, std::memory_order_release);
    }
    BIG_st_LoadRequest* request = &m_pool[index];
    m_allocated.fetch_add(1, std::memory_order_acq_rel);

    request->ul_File = fileIndex;
    request->ul_ContentSize = 0;
    request->ul_UserData = userData;
    request->pp_Result = result;
    request->uw_State = static_cast<uint16_t>((queueId << 12) | loadFlags);
    request->ul_Extra1 = extra1;
    request->ul_Extra2 = extra2;
    RequestMeta& meta = m_meta[index];
    meta.uc_LinkHops = 0;
    meta.b_InTreatment = false;
    meta.b_NoImmediate = false;
    ++m_queueCounts[queueId];
    IndexAdd(index);
    return request;
}

void BIG_cl_LoadManager::MarkReady(BIG_st_LoadRequest* request, uint16_t statusBits) {
    if ((request->uw_State & Status_Ready) == 0)
        ++m_readyCount;
    request->uw_State = static_cast<uint16_t>((request->uw_State & ~Status_Mask) | statusBits | Status_Ready);
}

void BIG_cl_LoadManager::ReleaseRequest(BIG_st_LoadRequest* request) {
    const uint32_t index = ul_Index(request);
    --m_queueCounts[ul_Queue(request)];
    if ((request->uw_State & Status_Ready) != 0)
        --m_readyCount;
    IndexRemove(index);
    request->uw_State = Status_Free;
    request->pp_Result = nullptr;
    request->ul_File = m_freeHead;
    m_freeHead = index;
    ++m_meta[index].uw_Generation;
    m_meta[index].b_InTreatment = false;
    m_allocated.fetch_sub(1, std::memory_order_acq_rel);
}

void BIG_cl_LoadManager::CheckInvariant() {
    uint32_t sum = 0;
    for (uint32_t count : m_queueCounts)
        sum += count;
    if (sum != m_allocated.load(std::memory_order_relaxed))
        ERR_X_Raise("AssertExIgnore", "Invalid internal state!");
}

bool BIG_cl_LoadManager::bCompletionsDeferred() const {
    return m_bInCallback || (m_pReader != nullptr && m_pReader->bIsSyncReading());
}

bool BIG_cl_LoadManager::bStartLengthRead(BIG_st_LoadRequest* request) {
    if (m_pReader == nullptr || m_callbackIndex < 0)
        return false;
    return m_pReader->bStartLengthRead(request->ul_File, ul_RequestHandle(request),
                                       static_cast<uint32_t>(m_callbackIndex), ul_Queue(request),
                                       m_meta[ul_Index(request)].b_NoImmediate);
}

bool BIG_cl_LoadManager::bStartContentRead(BIG_st_LoadRequest* request) {
    if (m_pReader == nullptr || m_callbackIndex < 0)
        return false;
    return m_pReader->bStartContentRead(request->ul_File, request->ul_ContentSize, ul_RequestHandle(request),
                                        static_cast<uint32_t>(m_callbackIndex), ul_Queue(request),
                                        m_meta[ul_Index(request)].b_NoImmediate);
}

// ---- file state ----------------------------------------------------------------------

void* BIG_cl_LoadManager::p_LoadedObject(uint32_t fileIndex) const {
    if (m_pFat == nullptr || fileIndex >= m_pFat->ul_GetFileCount())
        return nullptr;
    const uint32_t handle = m_pFat->ul_GetDataInMemory(fileIndex);
    return handle != 0 ? BIG::DataHandles::p_Get(handle) : nullptr;
}

uint32_t BIG_cl_LoadManager::ul_KeyOf(uint32_t fileIndex) const {
    if (m_pFat == nullptr || fileIndex >= m_pFat->ul_GetFileCount())
        return kNone;
    return m_pFat->FileEntry(fileIndex).ul_Key;
}

bool BIG_cl_LoadManager::bIsLinkFile(uint32_t fileIndex) const {
    return (m_pFat->FileEntry(fileIndex).ul_Flags & BIG_st_FileEntry::kFlagLinkMask) == 0;
}

// ---- queuing -------------------------------------------------------------------------

bool BIG_cl_LoadManager::bLoadFileAfter(uint32_t key, uint32_t loadFlags, uint32_t userData, void** result,
                                        uint32_t queueId, bool noImmediateCompletion,
                                        const char* missingFormat, uint32_t shownKey, uint32_t extra1,
                                        uint32_t extra2) {
    if (key == 0) {
        ERR_X_Raise("AssertExIgnore", "BIG_cl_LoadManager::bLoadFileAfter: Invalid key (key == 0)");
        return false;
    }
    const uint32_t fileIndex = m_pFat != nullptr ? m_pFat->ul_GetFileIndex(key, false) : kNone;
    if (fileIndex == kNone) {
        if (result != nullptr)
            *result = nullptr;
        if (missingFormat != nullptr && key != kNone) {
            std::string shown;
            if (shownKey == kNone) {
                shown = "Unknown";
            } else if (shownKey != 0) {
                const uint32_t shownIndex =
                    m_pFat != nullptr ? m_pFat->ul_GetFileIndex(shownKey, false) : kNone;
                const std::string name =
                    shownIndex != kNone ? m_pFat->GetFileName(shownIndex) : std::string();
                char buffer[128];
                std::snprintf(buffer, sizeof buffer, "'%s' [key: %x]", name.c_str(), shownKey);
                shown = buffer;
            }
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
            // The caller's format takes exactly one %s: the name made above.
            ERR_LogPrintf(ERR_Level_Warning, kLogChannel, missingFormat, shown.c_str());
#pragma GCC diagnostic pop
        }
        return false;
    }

    bool done = false;
    void* object = p_LoadedObject(fileIndex);
    if (object == nullptr) {
        BIG_st_LoadRequest* request =
            po_AllocateRequest(fileIndex, userData, result, loadFlags, queueId, extra1, extra2);
        if (request != nullptr) {
            done = true;
            m_meta[ul_Index(request)].b_NoImmediate = noImmediateCompletion;
            request->uw_State |= Status_LengthRead;
            // An immediate completion may treat (and free) the request inside
            // this call: it is not touched after a successful start.
            if (!bStartLengthRead(request))
                MarkReady(request, Status_Deferred);
        }
    } else {
        const uint32_t type = m_pFat->FileEntry(fileIndex).uc_Type;
        if (m_reuseCallbacks.Find(type) == nullptr) {
            if (result != nullptr)
                *result = object;
            if ((loadFlags & LoadFlag_AddRef0) != 0)
                AddToCounter(object, 0);
            if ((loadFlags & LoadFlag_AddRef4) != 0)
                AddToCounter(object, 4);
            done = true;
        } else {
            BIG_st_LoadRequest* request =
                po_AllocateRequest(fileIndex, userData, result, loadFlags, queueId, extra1, extra2);
            if (request != nullptr) {
                MarkReady(request, Status_ReusePending);
                done = true;
            }
        }
    }
    CheckInvariant();
    return done;
}

// ---- read completion -------------------------------------------------------------------

void BIG_cl_LoadManager::OnReadDone(BIG::FBuff* data, bool failed, uint32_t userWord) {
    BIG_st_LoadRequest* request = po_RequestFromHandle(userWord);
    if (request == nullptr || bIsRequestCanceled(request)) {
        // Destroyed or given up meanwhile: DestroyCanceledRequests takes care of it.
        ReleaseData(data);
        return;
    }
    if ((request->uw_State & Status_LengthRead) != 0) {
        uint32_t length = 0;
        if (failed || !bFirstWord(data, &length))
            length = 0;  // treated without content
        ReleaseData(data);
        request->ul_ContentSize = length;
        if (!bCompletionsDeferred()) {
            request->uw_State =
                static_cast<uint16_t>((request->uw_State & ~Status_Mask) | Status_ContentRead);
            if (!bStartContentRead(request))
                TreatOneFile(request);
        } else {
            MarkReady(request, Status_LengthKnown);
        }
        return;
    }
    ReleaseData(data);
    if ((request->uw_State & Status_Mask) == Status_ReusePending) {
        ERR_X_Raise("Assert", "reload requests should never be pushed!");
        return;
    }
    if (!bCompletionsDeferred())
        TreatOneFile(request);
    else
        MarkReady(request, Status_Deferred);
}

// ---- treatment ---------------------------------------------------------------------------

void BIG_cl_LoadManager::TreatReadyRequests(bool timeLimited) {
    if (m_readyCount == 0)
        return;
    // One walk: completions that a nested pump defers again wait for the next pass
    // instead of spinning here.
    const uint32_t allocated = m_allocated.load(std::memory_order_relaxed);
    uint32_t seen = 0;
    for (uint32_t i = 0, used = m_used.load(std::memory_order_relaxed);
         i < used && seen < allocated && m_readyCount != 0; ++i) {
        BIG_st_LoadRequest* request = &m_pool[i];
        const uint16_t state = request->uw_State;
        if ((state & Status_Free) != 0)
            continue;
        ++seen;
        if (m_meta[i].b_InTreatment) {
            // being treated further up the stack
        } else if ((state & Status_Canceled) != 0) {
            if ((state & Status_Ready) != 0) {
                request->uw_State &= static_cast<uint16_t>(~Status_Ready);
                --m_readyCount;
            }
        } else if ((state & (Status_LengthKnown | Status_Deferred)) != 0) {
            request->uw_State = static_cast<uint16_t>(
                (state & ~(Status_LengthKnown | Status_Deferred | Status_Ready | Status_Mask)) |
                Status_ContentRead);
            --m_readyCount;
            if (!bStartContentRead(request)) {
                MarkReady(request, Status_Deferred);
                TreatOneFile(request);
            }
        } else if ((state & Status_ReusePending) != 0) {
            TreatOneFile(request);
        }
        if (timeLimited && m_pBudget->bIsSpent())
            break;
    }
}

void* BIG_cl_LoadManager::p_CallCallback(BIG_st_LoadRequest* request) {
    const uint32_t fileIndex = request->ul_File;
    const uint32_t type = m_pFat->FileEntry(fileIndex).uc_Type;
    const BIG_LoadCallback callback = m_loadCallbacks.Find(type);
    if (callback == nullptr) {
        const std::string path = m_pFat->GetFilePath(fileIndex);
        ERR_LogPrintf(ERR_Level_Warning, kLogChannel,
                      "BIG_cl_LoadManager: Cannot find load callback for file %s", path.c_str());
        ERR_X_RaisePrintf("EditorAssertEx", "BIG_cl_LoadManager: Cannot find load callback for file %s",
                          path.c_str());
        return nullptr;
    }
    const bool wasInCallback = m_bInCallback;
    m_bInCallback = true;
    void* object =
        callback(fileIndex, request->ul_UserData, request->ul_Extra1, request->ul_Extra2, ul_Queue(request));
    m_bInCallback = wasInCallback;
    if (object != nullptr && (request->uw_State & LoadFlag_NoRecord) == 0) {
        const uint32_t handle = BIG::DataHandles::ul_Register(object);
        if (handle != 0)
            m_pFat->SetDataInMemory(fileIndex, handle);
    }
    return object;
}

bool BIG_cl_LoadManager::bLoadLink(uint32_t fileIndex, uint32_t* target) {
    *target = kNone;
    if (m_pReader == nullptr)
        return false;
    BIG_st_FileData data;
    if (!m_pReader->bGetFileData(fileIndex, &data))
        return false;
    const size_t size = 4 + static_cast<size_t>(data.ul_RefCount) * 4 + data.ul_DataSize;
    bool found = false;
    {
        BIG_StreamReader reader(data.pu8_RefTable, size);
        const bool linkForm = reader.ul_GetRefCount() == kLinkKeyCount && size == kLinkContentSize;
        bool readKeys = linkForm;
        if (!linkForm) {
            const std::string name = m_pFat->GetFileName(fileIndex);
            const bool texture = m_pFat->FileEntry(fileIndex).uc_Type == kTypeTexture;
            if (texture)
                ERR_X_RaisePrintf("AssertEx",
                                  "Texture %s is interpreted as a link file. Please reimport it.\n",
                                  name.c_str());
            else
                ERR_X_RaisePrintf("AssertEx",
                                  "Data file %s is interpreted as a link file. Please check it.\n",
                                  name.c_str());
            readKeys = !texture && data.ul_DataSize != 0;
        }
        if (readKeys) {
            const uint32_t k0 = reader.ul_Read32();
            const uint32_t k1 = reader.ul_Read32();
            reader.ul_Read32();  // k2: not a target
            if (reader.bOk()) {
                if (k0 != kNone) {
                    *target = k0;
                    found = true;
                } else {
                    const uint32_t k1Index = m_pFat->ul_GetFileIndex(k1, false);
                    if (k1Index != kNone) {
                        const uint8_t type = m_pFat->FileEntry(k1Index).uc_Type;
                        if (type == kTypeFeu || type == kTypeFfd) {
                            *target = k1;
                            found = true;
                        }
                    }
                }
            }
        }
    }
    ReleaseData(data.po_Buffer);
    return found;
}

// Moves the request to the link's target. True when the treatment ends here
// (the request lives on for the target's read); otherwise `*object` is what
// the request delivers.
bool BIG_cl_LoadManager::bFollowLink(BIG_st_LoadRequest* request, void** object) {
    *object = nullptr;
    const uint32_t linkIndex = request->ul_File;
    RequestMeta& meta = m_meta[ul_Index(request)];
    if (meta.uc_LinkHops >= kMaxLinkHops) {
        ERR_LogPrintf(ERR_Level_Warning, kLogChannel,
                      "BIG_cl_LoadManager: link chain longer than %u files at %s, loading stopped\n",
                      kMaxLinkHops, m_pFat->GetFilePath(linkIndex).c_str());
        return false;
    }
    uint32_t targetKey;
    if (!bLoadLink(linkIndex, &targetKey))
        return false;
    const uint32_t targetIndex = m_pFat->ul_GetFileIndex(targetKey, false);
    if (targetIndex != kNone)
        m_pLoadOrder->LinkFollowed(linkIndex, targetIndex, ul_Queue(request));
    if (targetIndex == kNone)
        return false;

    ++meta.uc_LinkHops;
    const uint32_t index = ul_Index(request);
    IndexRemove(index);
    request->ul_File = targetIndex;
    IndexAdd(index);
    if ((request->uw_State & Status_Ready) != 0)
        --m_readyCount;
    request->uw_State = static_cast<uint16_t>((request->uw_State & ~Status_Mask) | Status_LengthRead);
    meta.b_InTreatment = false;
    if (bStartLengthRead(request))
        return true;
    meta.b_InTreatment = true;
    // No read for the target: its load callback runs without content.
    *object = p_LoadedObject(targetIndex);
    if (*object == nullptr)
        *object = p_CallCallback(request);
    return false;
}

void BIG_cl_LoadManager::TreatOneFile(BIG_st_LoadRequest* request) {
    BIG_st_LoadRequest* const previous = m_pCurrent;
    m_pCurrent = request;
    const uint32_t index = ul_Index(request);
    m_meta[index].b_InTreatment = true;

    const uint32_t fileIndex = request->ul_File;
    void* object = nullptr;
    bool deliver = false;
    if (m_pFat == nullptr || fileIndex >= m_pFat->ul_GetFileCount()) {
        // The table no longer has the file (or none is set): nothing to load.
        deliver = true;
    } else if ((request->uw_State & Status_Canceled) != 0) {
        object = p_LoadedObject(fileIndex);
        ERR_LogPrintf(ERR_Level_Info, kLogChannel,
                      "[CANCEL FILE LOADING] Executing abort callback on a file request: i: %u, k: %08x\n",
                      fileIndex, ul_KeyOf(fileIndex));
        const uint32_t type = m_pFat->FileEntry(fileIndex).uc_Type;
        if (type < kTypeCount && m_abortCallbacks[type] != nullptr) {
            const bool wasInCallback = m_bInCallback;
            m_bInCallback = true;
            m_abortCallbacks[type](object);
            m_bInCallback = wasInCallback;
        }
    } else if (p_LoadedObject(fileIndex) == nullptr) {
        if (bIsLinkFile(fileIndex)) {
            if (bFollowLink(request, &object)) {
                m_pCurrent = previous;
                return;
            }
        } else {
            object = p_CallCallback(request);
        }
        deliver = true;
    } else {
        object = p_LoadedObject(fileIndex);
        const BIG_ReuseCallback reuse = m_reuseCallbacks.Find(m_pFat->FileEntry(fileIndex).uc_Type);
        if (reuse != nullptr) {
            const bool wasInCallback = m_bInCallback;
            m_bInCallback = true;
            reuse(object, request->ul_UserData, ul_Queue(request));
            m_bInCallback = wasInCallback;
        }
        deliver = true;
    }
    // A request canceled while its callback ran delivers nothing.
    if (deliver && (request->uw_State & Status_Canceled) == 0)
        Deliver(request, object);

    ReleaseRequest(request);
    CheckInvariant();
    m_pCurrent = previous;
}

void BIG_cl_LoadManager::Deliver(BIG_st_LoadRequest* request, void* object) {
    if (request->pp_Result != nullptr)
        *request->pp_Result = object;
    if (object != nullptr) {
        if ((request->uw_State & LoadFlag_AddRef0) != 0)
            AddToCounter(object, 0);
        if ((request->uw_State & LoadFlag_AddRef4) != 0)
            AddToCounter(object, 4);
    }
    m_pLoadOrder->FileConsumed(request->ul_File, ul_Queue(request), request);
}

void BIG_cl_LoadManager::DestroyCanceledRequests() {
    const uint32_t allocated = m_allocated.load(std::memory_order_relaxed);
    uint32_t seen = 0;
    for (uint32_t i = 0, used = m_used.load(std::memory_order_relaxed); i < used && seen < allocated; ++i) {
        BIG_st_LoadRequest* request = &m_pool[i];
        if ((request->uw_State & Status_Free) != 0)
            continue;
        ++seen;
        if ((request->uw_State & Status_Canceled) == 0)
            continue;
        if (m_meta[i].b_InTreatment) {
            const uint32_t key = ul_KeyOf(request->ul_File);
            ERR_LogPrintf(ERR_Level_Info, kLogChannel,
                          "[CANCEL FILE LOADING] Postponing canceled file request destruction because being "
                          "treated: i: %u, k: %08x\n",
                          request->ul_File, key);
            continue;
        }
        ReleaseRequest(request);
    }
    CheckInvariant();
}

// ---- pumping -------------------------------------------------------------------------------

void BIG_cl_LoadManager::RunOneFrame(bool timeLimited) {
    BIG_cl_TimeBudget* budget = timeLimited ? m_pBudget.get() : nullptr;
    m_pBudget->StartSlice();
    do {
        const double start = PLT::MonotonicSeconds();
        m_asyncIO.TreatFinishedReads(budget);
        TreatReadyRequests(timeLimited);
        DestroyCanceledRequests();
        m_pLoadOrder->OneFrame(budget);
        if (m_readyCount == 0)
            m_pLoadOrder->ReportOutOfOrderFiles();
        m_loadingTime += static_cast<float>(PLT::MonotonicSeconds() - start);
    } while (timeLimited && (ul_GetRequestCount() != 0 || m_readyCount != 0) && !m_pBudget->bIsSpent());
}

void BIG_cl_LoadManager::ShowProgress(uint64_t nowMs, uint64_t* firstMs, uint64_t* lastMs, int* ending) {
    if (*firstMs == 0) {
        *firstMs = nowMs;
        return;
    }
    const bool first = *lastMs == 0;
    if (first ? nowMs - *firstMs <= kFirstProgressMs : nowMs - *lastMs < kProgressPeriodMs)
        return;
    *ending = first ? 0 : (*ending + 1) % 4;
    *lastMs = nowMs;
    std::snprintf(m_statusText, sizeof m_statusText, "Loading : %d files remaining",
                  static_cast<int>(ul_GetRequestCount()));
    char line[sizeof m_statusText + 8];
    std::snprintf(line, sizeof line, "%s %s", m_statusText, kProgressEndings[*ending]);
    PLT::SetStatusLine(line);
}

void BIG_cl_LoadManager::LoadAll(bool showProgress) {
    m_statusText[0] = '\0';
    const bool paused = m_asyncIO.bIsPaused();
    if (paused)
        m_asyncIO.ResumeReading();
    uint64_t firstMs = 0;
    uint64_t lastMs = 0;
    int ending = 0;
    while (ul_GetRequestCount() != 0) {
        const uint32_t before = ul_GetRequestCount();
        const uint32_t readyBefore = m_readyCount;
        const uint32_t readsBefore = m_asyncIO.ul_GetRequestCount();
        RunOneFrame(false);
        if (showProgress)
            ShowProgress(PLT::MonotonicMs(), &firstMs, &lastMs, &ending);
        // Nothing moved: the launcher is still reading. Let it have the core.
        if (ul_GetRequestCount() == before && m_readyCount == readyBefore &&
            m_asyncIO.ul_GetRequestCount() == readsBefore)
            PLT::SleepMs(1);
    }
    if (lastMs != 0)
        PLT::SetStatusLine(std::string());
    if (paused)
        m_asyncIO.PauseReading();
}

// ---- singleton -------------------------------------------------------------------------------

BIG_cl_LoadManager* BIG_cl_LoadManager::po_Create(BIG_cl_AsynchronousIOManager& asyncIO) {
    if (DPT::Singleton<BIG_cl_LoadManager>::bCreate(asyncIO))
        BIG_LoadOrderManager::SetInstance(po_Get()->m_pLoadOrder.get());
    return po_Get();
}

BIG_cl_LoadManager* BIG_cl_LoadManager::po_Get() {
    return DPT::Singleton<BIG_cl_LoadManager>::pGet();
}

void BIG_cl_LoadManager::Destroy() {
    DPT::Singleton<BIG_cl_LoadManager>::Destroy();
}
