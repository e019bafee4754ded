#include "plugin/OVI_Big.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>
#include <string_view>
#include <utility>

#include "ERRor/ERR_Host.h"
#include "BIGfile/AsynchronousIO/BIG_AsynchronousFat.h"
#include "BIGfile/AsynchronousIO/BIG_AsynchronousIOManager.h"
#include "BIGfile/BIG_ContentHead.h"
#include "BIGfile/BIG_DuplicatedFilesManager.h"
#include "BIGfile/BIG_FBuff.h"
#include "BIGfile/BIG_Fat.h"
#include "BIGfile/BIG_FileEntry.h"
#include "BIGfile/BIG_Init.h"
#include "BIGfile/BIG_LoadManager.h"
#include "BIGfile/BIG_ReferenceManager.h"
#include "DesignPaTterns/DPT_Singleton.h"
#include "platform/DebugOutput.h"
#include "platform/Signals.h"
#include "platform/Terminal.h"
#include "plugin/OVI_BankRegistry.h"
#include "plugin/OVI_HostEnvironment.h"
#include "plugin/OVI_RefsFile.h"
#include "plugin/OVI_Text.h"

namespace ORVEX {

namespace {

constexpr uint32_t kNoKey = 0xFFFFFFFF;
constexpr size_t kPrintSize = 1024;  // Print cuts at 1023 characters

// The reference manager's progress, on the status line of a terminal.
void ShowIndexing(uint32_t, const char* text, void* terminal) {
    if (*static_cast<const bool*>(terminal))
        PLT::SetStatusLine(text != nullptr ? text : "");
}

// What the engine keeps for the whole process: its runtime library counts its
// starts (only the first start and the last stop do work; it keeps no other
// state on this platform, nor do the memory and timer services that start
// after it), the shared file buffer (the buffer of the file read last, one
// reference) and the buffer of the last reference query.
struct EngineRuntime {
    uint32_t ul_Users = 0;
    BIG::FBuff* po_SharedBuffer = nullptr;
    OVI_RefBuffer refBuffer;
};

EngineRuntime& Runtime() {
    return DPT::Singleton<EngineRuntime>::Instance();
}

void StartRuntime() {
    ++Runtime().ul_Users;
}

void StopRuntime() {
    if (Runtime().ul_Users != 0)
        --Runtime().ul_Users;
}

void TakeSharedBuffer(BIG::FBuff* buffer) {
    BIG::FBuff*& shared = Runtime().po_SharedBuffer;
    if (shared != nullptr)
        shared->Release();
    shared = buffer;
}

// The asynchronous I/O manager, when it serves bigfile `bf` from `fat`'s container.
BIG_cl_AsynchronousIOManager* po_ManagerFor(BIG_cl_Fat& fat, uint32_t bf) {
    BIG_cl_AsynchronousFat* async = BIG_cl_AsynchronousFat::po_GetInstance();
    BIG_cl_AsynchronousIOManager* manager = async ? async->po_GetManager() : nullptr;
    return manager != nullptr && manager->po_GetBigfile(bf) == &fat.File() ? manager : nullptr;
}

// Reads `count` bytes at `position` of the container that holds `fat`'s
// contents, under the table's lock. The scan reads two small pieces of every
// file: through the page cache they cost a copy, where the asynchronous I/O
// manager's unbuffered descriptor costs a device round trip and two thread
// hand-offs each, several times the whole split on a bigfile the system holds
// in memory.
bool bReadBigfileBytes(BIG_cl_Fat& fat, BIG_POS position, void* out, uint32_t count) {
    PLT::ScopedLock<PLT::CriticalSection> lock(fat.Lock());
    return fat.File().eRead(position, out, count) == BIG::eFile_Ok;
}

// The entries the scan maps no record for.
bool bSkippedByScan(uint32_t key, uint32_t type) {
    return type == OVI_Big::kTypeCcm || type == OVI_Big::kTypeArd || key == 0;
}

// Rank of a status: the higher, the worse.
int StatusRank(int32_t status) {
    switch (status) {
        case OVC_Status_Success:
            return 0;
        case OVC_Status_NoData:
            return 1;
        case OVC_Status_WrongVersion:
            return 2;
        case OVC_Status_ReadingFat:
            return 4;
        case OVC_Status_Failure:
        default:
            return 3;
    }
}

}  // namespace

int32_t OVI_l_WorseStatus(int32_t a, int32_t b) {
    const int32_t worse = StatusRank(b) > StatusRank(a) ? b : a;
    // An unknown status is reported as the failure it stands for.
    return StatusRank(worse) == 3 ? OVC_Status_Failure : worse;
}

OVI_Big::OVI_Big() = default;

OVI_Big::~OVI_Big() {
    // A host that drops the tool without eDeinit must not leave the engine
    // running with a bigfile open.
    _StopEngine();
}

void OVI_Big::ReleaseRuntime() {
    TakeSharedBuffer(nullptr);
    DPT::Singleton<EngineRuntime>::Destroy();
}

uint32_t OVI_Big::ul_RuntimeUsers() {
    return Runtime().ul_Users;
}

OVI_RefBuffer& OVI_Big::RefBuffer() {
    return Runtime().refBuffer;
}

const uint32_t* OVI_Big::pul_GetRefKeys() {
    return RefBuffer().pul_Data();
}

bool OVI_Big::OnFileRefs(const FileRefRecord&, const uint8_t*, uint32_t) {
    return false;
}

bool OVI_Big::OnMissingRef(uint32_t, uint32_t) {
    return true;
}

void OVI_Big::Print(const char* format, ...) {
    char text[kPrintSize];
    text[0] = '\0';
    va_list args;
    va_start(args, format);
    const int wanted = std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (wanted < 0)
        text[0] = '\0';
    // The tools print only their failures this way: routed as errors.
    std::string_view shown(text);
    while (!shown.empty() && shown.back() == '\n')
        shown.remove_suffix(1);
    if (!OVI_bWriteRouted("error", shown.data(), shown.size()))
        std::fputs(text, stdout);
    PLT::DebugOutput("\n");
    PLT::DebugOutput(text);
}

// ---- engine and bigfile ------------------------------------------------------

int32_t OVI_Big::eInit(OVC_Params* params) {
    ml_Status = OVC_Status_WrongVersion;
    const OVC_Version* version = params ? params->GetVersion() : nullptr;
    if (version == nullptr || version->uc_Major != 1)
        return ml_Status;

    ml_Status = OVC_Status_Failure;
    const auto* block = dynamic_cast<const OVI_BigParams*>(params);
    if (block == nullptr) {
        OVC_OutputString("error", "session", "The parameter block is not a bigfile parameter block");
        return ml_Status;
    }
    if (mb_RuntimeStarted) {
        OVC_OutputString("error", "session", "The session is already initialised; call eDeinit first");
        return ml_Status;
    }
    mb_First = block->mb_First;
    mb_WriteRefsCache = block->mb_WriteRefsCache;
    mb_ReportMissing = block->mb_ReportMissing;
    const std::string path(OVI_TextOf(block->msz_BigfilePath));

    StartRuntime();
    mb_RuntimeStarted = true;
    // The reference manager starts once the bigfile is read and indexes it
    // while the tool works.
    BIG::ReferenceManager::InstallBatchHooks();
    if (!BIG_InitLibrary()) {
        // Shutting it down later would pull it from under its other user.
        OVC_OutputString("error", "session", "The bigfile library is already started by another user");
        return ml_Status;
    }
    mb_LibraryStarted = true;
    mpo_Fat = BIG_pst_GetGlobalFat();
    if (mpo_Fat == nullptr || mpo_Fat->File().eOpen(path, true, true, true) != BIG::eFile_Ok) {
        OVC_OutputString("error", "session", "Cannot open bigfile '%s'", path.c_str());
        return ml_Status;
    }
    mb_BigfileOpen = true;

    ml_Status = OVC_Status_ReadingFat;
    if (!mpo_Fat->ReadFat(true)) {
        OVC_OutputString("error", "session", "Cannot read the tables of bigfile '%s'", path.c_str());
        return ml_Status;
    }

    const uint32_t format = mpo_Fat->uw_GetFormatNb();
    OVC_OutputString("info", "version", "Orvex Big: %u Lib Big: %u", format, kLibraryFormatNb);
    if (format != kLibraryFormatNb)
        OVC_OutputString("error", "version", "WARNING: Version Mismatch Orvex Big: %d Lib Big: %u",
                         static_cast<int>(format), kLibraryFormatNb);
    ml_Status = OVC_Status_Success;

    // The duplicated-files table stays loaded for the whole session: copy-list
    // entries are read through it. It is emptied before the bigfile closes.
    if (BIG_cl_LoadManager* loadManager = BIG_cl_LoadManager::po_Get()) {
        if (loadManager->GetLoadCallback(BIG_DuplicatedFilesManager::kFileType) == nullptr)
            loadManager->AddLoadCallback(BIG_DuplicatedFilesManager::kFileType,
                                         &BIG_DuplicatedFilesManager::p_LoadCallback);
    }
    BIG_AfterBigfileRead(*mpo_Fat);
    return ml_Status;
}

void OVI_Big::_FinishIndexing() {
    BIG::ReferenceManager* manager = BIG::ReferenceManager::po_Get();
    if (manager == nullptr || !manager->bIsRunning())
        return;
    bool terminal = PLT::IsStderrTerminal();
    const int listener = manager->AddProgressListener(&ShowIndexing, &terminal);
    manager->bFinish([] { return PLT::InterruptRequested(); });
    manager->RemoveProgressListener(listener);
    if (terminal)
        PLT::SetStatusLine(std::string());
}

int32_t OVI_Big::eDeinit() {
    _StopEngine();
    // The counts of repeated assertions end the session's messages, before the host's summary.
    ERR_ShowRepeatedAssertions();
    return ml_Status;
}

void OVI_Big::_StopEngine() {
    TakeSharedBuffer(nullptr);
    if (mb_BigfileOpen) {
        const BIG_cl_LoadManager* loadManager = BIG_cl_LoadManager::po_Get();
        if (loadManager != nullptr && loadManager->po_GetLoadOrderManager() != nullptr) {
            SDK_DeinitBeforeBigfileClosed();
        } else {
            // The reference manager reads through the bigfile until it stops.
            if (const auto& destroy = BIG_LibraryHooks().destroyReferenceManager)
                destroy();
            BIG_ResetDuplicatedFiles();
        }
        if (mpo_Fat != nullptr)
            mpo_Fat->File().eClose();
        mb_BigfileOpen = false;
    }
    if (mb_LibraryStarted) {
        BIG_CloseLibrary();
        mb_LibraryStarted = false;
        mpo_Fat = nullptr;
    }
    if (mb_RuntimeStarted) {
        StopRuntime();
        mb_RuntimeStarted = false;
    }
}

// ---- records and reference tables ---------------------------------------------

bool OVI_Big::_bIsKeyInBigfile(uint32_t key) const {
    return mpo_Fat != nullptr && mpo_Fat->ul_GetFileIndex(key, false) != BIG_cl_Fat::kNoFile;
}

uint32_t OVI_Big::_FillFileRecord(uint32_t index, FileRefRecord* record) {
    if (mpo_Fat == nullptr || record == nullptr || index >= mpo_Fat->ul_GetFileCount())
        return 0;
    const BIG_st_FileEntry& entry = mpo_Fat->FileEntry(index);
    record->ul_Key = entry.ul_Key;
    record->ul_Type = entry.uc_Type;
    record->ul_Index = index;
    record->ul_UseCount = 0;
    record->s_Name = mpo_Fat->GetFileName(index);
    return 1;
}

int32_t OVI_Big::_eReadRefTable(uint32_t index, FileRefRecord* record, const uint8_t** payload,
                                uint32_t* payloadSize) {
    record->ul_RefCount = 0;
    record->ul_Size = 0;
    if (payload != nullptr)
        *payload = nullptr;
    if (payloadSize != nullptr)
        *payloadSize = 0;
    if (mpo_Fat == nullptr || index >= mpo_Fat->ul_GetFileCount())
        return OVC_Status_NoData;
    const BIG_st_FileEntry& entry = mpo_Fat->FileEntry(index);
    using Head = BIG_st_ContentHead;

    // The table says where the bytes lie (a package's own container for a
    // package entry, the first copy of a copy list); a loose key file
    // overrides the stored content and is read through the table.
    const bool loose = (entry.uc_StorageFlags & BIG_st_FileEntry::kStorageLooseKey) != 0;
    BIG_st_ContentPlace place;
    if (!loose && !mpo_Fat->bGetContentPlace(index, &place))
        return OVC_Status_NoData;
    TakeSharedBuffer(nullptr);

    Head head;
    // The first bytes of a stored content, read at once: the length word, the
    // count and, for most files, the keys and the whole content.
    uint8_t* window = nullptr;
    uint32_t windowSize = 0;
    if (loose) {
        // No length word: the file's size is the length.
        const uint32_t size = mpo_Fat->ul_GetFileSize(index);
        if (size == 0xFFFFFFFF)
            return OVC_Status_NoData;
        head.ul_Length = size;
        uint8_t count[Head::kCountSize];
        if (size >= Head::kCountSize && mpo_Fat->ReadFileContent(index, count, 0, sizeof count))
            Head::bDecodeContent(count, sizeof count, size, &head);
    } else {
        uint32_t size = 0;
        const auto wanted = static_cast<uint32_t>(std::min<uint64_t>(place.ull_Available, kHeadWindowSize));
        const uint64_t at = place.o_Head.ull_GetByteOffset();
        ScanWindow& held = mo_ScanWindow;
        // Outside a scan nothing is kept: the container may change between calls.
        const bool inWindow = mb_ScanReadsAhead && held.po_Fat == place.po_Fat && at >= held.ull_Start &&
                              at - held.ull_Start < held.ul_Size &&
                              (at + wanted <= held.ull_Start + held.ul_Size || held.b_ToSegmentEnd);
        if (!inWindow && wanted >= Head::kLengthSize) {
            held.po_Fat = nullptr;
            const uint32_t extent = mb_ScanReadsAhead ? _ul_ScanExtent(index, place) : wanted;
            if (held.au8_Bytes.size() < extent)
                held.au8_Bytes.resize(extent);
            const uint32_t got = place.po_Fat->ul_ReadInSegment(place.o_Head, held.au8_Bytes.data(), extent);
            if (got != 0)
                held = ScanWindow{place.po_Fat, at, got, got < extent, std::move(held.au8_Bytes)};
        }
        if (held.po_Fat == place.po_Fat && at >= held.ull_Start && at - held.ull_Start < held.ul_Size) {
            window = held.au8_Bytes.data() + (at - held.ull_Start);
            windowSize = static_cast<uint32_t>(
                std::min<uint64_t>(held.ull_Start + held.ul_Size - at, place.ull_Available));
        }
        if (wanted < Head::kLengthSize || window == nullptr || windowSize < Head::kLengthSize ||
            !Head::bDecodeLength(window, windowSize, &size)) {
            OVC_OutputString("error", "session", "Cannot read the data of %s (key 0x%08X)",
                             record->s_Name.c_str(), record->ul_Key);
            return OVC_Status_NoData;
        }
        if (uint64_t{size} + Head::kLengthSize > place.ull_Available) {
            OVC_OutputString("error", "session",
                             "The data of %s (key 0x%08X) claim %u bytes and run past the end of the bigfile",
                             record->s_Name.c_str(), record->ul_Key, size);
            return OVC_Status_NoData;
        }
        // A length inside the container leaves room for the count it has room for.
        Head::bDecode(window, windowSize, &head);
    }

    const uint32_t size = head.ul_Length;
    record->ul_Size = size;
    if (size == 0)
        return OVC_Status_Success;
    // A count that claims more keys than the content holds is cut to those that fit.
    const uint32_t count = head.ul_KeysThatFit();
    if (head.ul_RefCount > count) {
        OVC_OutputString("warning", "session",
                         "%s (key 0x%08X) claims %u references, its %u bytes hold %u: the rest is ignored",
                         record->s_Name.c_str(), record->ul_Key, head.ul_RefCount, size, count);
    }

    // The whole content in memory, payload included: in the window, or held
    // by the asynchronous I/O manager; otherwise the keys are read on their own.
    const uint8_t* held = nullptr;
    if (!loose) {
        if (uint64_t{size} + Head::kLengthSize <= windowSize) {
            held = window;
        } else if (BIG_cl_AsynchronousIOManager* manager = po_ManagerFor(*place.po_Fat, place.ul_Bigfile)) {
            if (BIG::FBuff* whole = manager->po_FindData(place.o_Head.ul_GetValue(), size + Head::kLengthSize,
                                                         place.ul_Bigfile)) {
                TakeSharedBuffer(whole);
                held = whole->pc_GetData();
            }
        }
    }
    if (count != 0) {
        OVI_RefBuffer& refs = RefBuffer();
        const uint32_t keyBytes = static_cast<uint32_t>(Head::kKeySize) * count;
        if (!refs.bReserve(keyBytes)) {
            OVC_OutputString("error", "session", "No memory for the %u references of %s (key 0x%08X)", count,
                             record->s_Name.c_str(), record->ul_Key);
            return OVC_Status_NoData;
        }
        uint32_t* keys = refs.pul_Data();
        bool read = true;
        if (held != nullptr)
            std::memcpy(keys, held + Head::kOffKeys, keyBytes);
        else if (!loose && Head::kOffKeys + uint64_t{keyBytes} <= windowSize)
            std::memcpy(keys, window + Head::kOffKeys, keyBytes);
        else if (loose)
            read = mpo_Fat->ReadFileContent(index, keys, Head::kCountSize, keyBytes);
        else
            read = bReadBigfileBytes(*place.po_Fat, place.oKeys(), keys, keyBytes);
        if (!read) {
            OVC_OutputString("error", "session", "Cannot read the references of %s (key 0x%08X)",
                             record->s_Name.c_str(), record->ul_Key);
            return OVC_Status_NoData;
        }
        Head::DecodeKeys(keys, count, keys);
    }
    record->ul_RefCount = count;
    if (held != nullptr && payload != nullptr && payloadSize != nullptr) {
        *payload = held + Head::kLengthSize + head.ul_TableSize();
        *payloadSize = head.ul_PayloadSize();
    }
    return OVC_Status_Success;
}

// ---- mapping ---------------------------------------------------------------------

const FileRefRecord& OVI_Big::_MapRefs(FileRefRecord record, const uint32_t* keys) {
    const uint32_t from = record.ul_Key;
    const uint32_t refCount = record.ul_RefCount;
    // The scan maps in entry order, most often ascending keys: at the end, no search.
    const FileRefRecord& stored =
        mmap_Records.insert_or_assign(mmap_Records.end(), from, std::move(record))->second;
    _MapEdges(from, refCount, keys);
    return stored;
}

void OVI_Big::_MapEdges(uint32_t from, uint32_t refCount, const uint32_t* keys) {
    std::vector<uint32_t>* edges = nullptr;
    for (uint32_t i = 0; i < refCount; ++i) {
        const uint32_t key = keys[i];
        if (_bIsKeyInBigfile(key)) {
            if (edges == nullptr) {
                edges = &mmap_Edges[from];
                // One allocation for the table rather than one per doubling.
                edges->reserve(edges->size() + (refCount - i));
            }
            edges->push_back(key);
        } else if (key != 0 && key != kNoKey) {
            OnMissingRef(from, key);
            if (mb_ReportMissing)
                OVC_OutputString("warning", "filenotfound",
                                 "OVI_Big::_MapRefs File ! Found : Refkey %u | 0x%08X", key, key);
        }
    }
}

std::vector<uint32_t> OVI_Big::_MakeRecordNodes(std::vector<uint64_t>& order,
                                                std::vector<RecordMap::iterator>* nodes) {
    // A tree grown in key order searches nothing per insertion, and its nodes,
    // made one after the other, lie in memory in the order of every later
    // walk of the records.
    std::sort(order.begin(), order.end());
    std::vector<uint32_t> made;  // the first slot of each key whose node is made here
    auto hint = mmap_Records.end();
    for (size_t i = 0; i < order.size(); ++i) {
        const auto key = static_cast<uint32_t>(order[i] >> 32);
        const auto n = static_cast<uint32_t>(order[i]);
        if (i != 0 && static_cast<uint32_t>(order[i - 1] >> 32) == key) {
            (*nodes)[n] = (*nodes)[static_cast<uint32_t>(order[i - 1])];
            continue;
        }
        const size_t before = mmap_Records.size();
        (*nodes)[n] = mmap_Records.try_emplace(hint, key);
        if (mmap_Records.size() != before)
            made.push_back(n);
        hint = std::next((*nodes)[n]);
    }
    return made;
}

uint32_t OVI_Big::_ul_ScanExtent(uint32_t index, const BIG_st_ContentPlace& place) const {
    const uint64_t start = place.o_Head.ull_GetByteOffset();
    uint64_t end = start + std::min<uint64_t>(place.ull_Available, kHeadWindowSize);
    const uint32_t count = mpo_Fat->ul_GetFileCount();
    for (uint32_t next = index + 1; next < count && next - index <= kScanLookahead; ++next) {
        BIG_st_ContentPlace ahead;
        // A loose key file or an entry without content is read on its own.
        if (!mpo_Fat->bGetContentPlace(next, &ahead))
            continue;
        const uint64_t at = ahead.o_Head.ull_GetByteOffset();
        if (ahead.po_Fat != place.po_Fat || at < start || at > end + kScanMergeGap)
            break;
        const uint64_t stop = at + std::min<uint64_t>(ahead.ull_Available, kHeadWindowSize);
        if (stop - start > kScanReadMax)
            break;
        end = std::max(end, stop);
    }
    return static_cast<uint32_t>(end - start);
}

void OVI_Big::_ScanFiles(uint32_t fileCount) {
    if (mpo_Fat == nullptr) {
        OVC_OutputString("error", "session", "No bigfile is open: nothing to scan");
        ml_Status = OVC_Status_Failure;
        return;
    }
    OVI_RefBuffer& refs = RefBuffer();
    if (!refs.bReserve(OVI_RefBuffer::kScanCapacity)) {
        OVC_OutputString("error", "session", "No memory for the reference buffer");
        ml_Status = OVC_Status_Failure;
        return;
    }
    const uint32_t count = std::min(fileCount, mpo_Fat->ul_GetFileCount());
    mo_ScanWindow = ScanWindow{};
    mb_ScanReadsAhead = true;

    OVI_RefsFileWriter cache;
    if (mb_WriteRefsCache && !cache.bCreate(ms_RefsCachePath, count))
        OVC_OutputString("warning", "session", "The reference cache is not written: %s",
                         cache.Error().c_str());

    // The records' nodes are made first, in key order (see _MakeRecordNodes);
    // the entries come in table order, which is seldom key order.
    std::vector<uint64_t> order;  // key << 32 | entry index, of every entry the scan maps
    order.reserve(count);
    for (uint32_t index = 0; index < count; ++index) {
        const BIG_st_FileEntry& entry = mpo_Fat->FileEntry(index);
        if (!bSkippedByScan(entry.ul_Key, entry.uc_Type))
            order.push_back(uint64_t{entry.ul_Key} << 32 | index);
    }
    std::vector<RecordMap::iterator> nodes(count, mmap_Records.end());
    const std::vector<uint32_t> made = _MakeRecordNodes(order, &nodes);
    std::vector<uint8_t> mapped(count, 0);

    for (uint32_t index = 0; index < count; ++index) {
        if (PLT::InterruptRequested()) {
            OVC_OutputString("error", "session", "Interrupted: the scan stopped at entry %u of %u", index,
                             count);
            _RaiseStatus(OVC_Status_Failure);
            break;
        }
        if (nodes[index] == mmap_Records.end())
            continue;
        FileRefRecord record;
        _FillFileRecord(index, &record);
        const uint8_t* payload = nullptr;
        uint32_t payloadSize = 0;
        const int32_t read = _eReadRefTable(index, &record, &payload, &payloadSize);
        if (read != OVC_Status_Success) {
            _RaiseStatus(read);
            continue;
        }
        FileRefRecord& stored = nodes[index]->second;
        stored = std::move(record);
        mapped[index] = 1;
        _MapEdges(stored.ul_Key, stored.ul_RefCount, refs.pul_Data());
        OnFileRefs(stored, payload, payloadSize);
        if (cache.bIsOpen())
            cache.bAppend(stored, refs.pul_Data());
    }
    // A node made here whose entries were none mapped (no data, or not
    // reached) goes: what stays is what was mapped.
    for (uint32_t n : made) {
        const uint32_t key = nodes[n]->first;
        bool any = false;
        for (auto at = std::lower_bound(order.begin(), order.end(), uint64_t{key} << 32);
             at != order.end() && static_cast<uint32_t>(*at >> 32) == key; ++at)
            any = any || mapped[static_cast<uint32_t>(*at)] != 0;
        if (!any)
            mmap_Records.erase(nodes[n]);
    }
    // An interrupted scan leaves no cache: the writer abandons it.
    if (cache.bIsOpen() && !PLT::InterruptRequested() && !cache.bCommit())
        OVC_OutputString("error", "session", "The reference cache is not written: %s", cache.Error().c_str());
    refs.Release();
    mb_ScanReadsAhead = false;
    mo_ScanWindow = ScanWindow{};
}

namespace {

enum class CacheFit { eFits, eDamaged, eStale };

char* KeyText(uint32_t key, char (&text)[16]) {
    std::snprintf(text, sizeof text, "0x%08X", key);
    return text;
}

}  // namespace

void OVI_Big::_ReadRefsFile(const std::string& path) {
    if (mpo_Fat == nullptr) {
        OVC_OutputString("error", "session", "No bigfile is open: nothing to map");
        _RaiseStatus(OVC_Status_Failure);
        return;
    }
    const uint32_t fileCount = mpo_Fat->ul_GetFileCount();
    // The entry a record names is the usual witness that its key is in the
    // table (every entry with a key is in the key index); the index is asked
    // only when the entry moved.
    auto inBigfile = [&](const FileRefRecord& record) {
        const uint32_t key = record.ul_Key;
        if (key != 0 && key != kNoKey && record.ul_Index < fileCount &&
            mpo_Fat->FileEntry(record.ul_Index).ul_Key == key)
            return true;
        return mpo_Fat->ul_GetFileIndex(key, false) != BIG_cl_Fat::kNoFile;
    };

    // The whole cache is checked before anything is mapped: a cache made
    // from another bigfile, or from an older state of this one, would map a
    // graph that is not this bigfile's and silently yield wrong outputs. The
    // check steps over names and keys; only the mapping reads them.
    std::string problem;
    CacheFit fit = CacheFit::eFits;
    std::vector<uint64_t> order;  // key << 32 | record number, of every record checked
    uint32_t referring = 0;       // records with references: the edge lists to come
    OVI_RefsFileReader reader(mull_RefsReadWholeMax);
    if (!reader.bOpen(path)) {
        fit = CacheFit::eDamaged;
        problem = reader.Error();
    } else if (reader.ul_Count() != fileCount) {
        fit = CacheFit::eStale;
        problem = "it was made for " + std::to_string(reader.ul_Count()) + " file entries, the bigfile has " +
                  std::to_string(fileCount);
    } else {
        // At most one record per entry: the table's size bounds it.
        order.reserve(fileCount);
    }
    for (uint32_t n = 0; fit == CacheFit::eFits; ++n) {
        FileRefRecord record;
        const OVI_RefsFileReader::Next next = reader.eSkip(&record);
        if (next == OVI_RefsFileReader::Next::eEnd)
            break;
        if (next == OVI_RefsFileReader::Next::eError || n >= reader.ul_Count()) {
            fit = CacheFit::eDamaged;
            problem =
                next == OVI_RefsFileReader::Next::eError
                    ? "damaged at " + reader.Error()
                    : "it holds more records than its " + std::to_string(reader.ul_Count()) + " entries";
            break;
        }
        if (!inBigfile(record)) {
            char key[16];
            fit = CacheFit::eStale;
            problem = "its key " + std::string(KeyText(record.ul_Key, key)) + " is not in the bigfile";
        }
        order.push_back(uint64_t{record.ul_Key} << 32 | n);
        referring += record.ul_RefCount != 0 ? 1 : 0;
    }
    if (fit != CacheFit::eFits) {
        if (fit == CacheFit::eDamaged) {
            OVC_OutputString("error", "session",
                             "Reference cache '%s' not used: %s; the bigfile is scanned instead",
                             path.c_str(), problem.c_str());
            _RaiseStatus(OVC_Status_Failure);
        } else {
            OVC_OutputString(
                "warning", "session",
                "Reference cache '%s' does not belong to this bigfile (%s); the bigfile is scanned "
                "instead",
                path.c_str(), problem.c_str());
        }
        reader.Close();
        _ScanFiles(fileCount);
        return;
    }

    // The nodes are filled in file order, the hooks' order.
    std::vector<RecordMap::iterator> nodes(order.size());
    const std::vector<uint32_t> made = _MakeRecordNodes(order, &nodes);
    order = std::vector<uint64_t>();
    mmap_Edges.reserve(mmap_Edges.size() + referring);

    const auto count = static_cast<uint32_t>(nodes.size());
    uint32_t mapped = 0;
    OVI_RefBuffer& refs = RefBuffer();
    reader.Rewind();
    for (; mapped < count; ++mapped) {
        FileRefRecord record;
        const OVI_RefsFileReader::Next next = reader.eNext(&record, &refs);
        if (next == OVI_RefsFileReader::Next::eError) {
            OVC_OutputString("error", "session",
                             "Reference cache '%s' is damaged at %s; %u records were mapped", path.c_str(),
                             reader.Error().c_str(), mapped);
            break;
        }
        if (next == OVI_RefsFileReader::Next::eEnd || record.ul_Key != nodes[mapped]->first) {
            OVC_OutputString("error", "session",
                             "Reference cache '%s' changed while it was read: record %u is not the one "
                             "checked; %u records were mapped",
                             path.c_str(), mapped, mapped);
            break;
        }
        // Only the index moved: the record is repaired, so that every later
        // use of it (the link-file line among them) sees the right entry.
        if (record.ul_Index >= fileCount || mpo_Fat->FileEntry(record.ul_Index).ul_Key != record.ul_Key)
            record.ul_Index = mpo_Fat->ul_GetFileIndex(record.ul_Key, false);
        FileRefRecord& stored = nodes[mapped]->second;
        stored = std::move(record);
        _MapEdges(stored.ul_Key, stored.ul_RefCount, refs.pul_Data());
        OnFileRefs(stored, nullptr, 0);
    }
    refs.Release();
    if (mapped != count) {
        // The nodes of the records not reached go: what stays is what was mapped.
        for (uint32_t n : made)
            if (n >= mapped)
                mmap_Records.erase(nodes[n]);
        _RaiseStatus(OVC_Status_Failure);
    }
}

// ---- closures --------------------------------------------------------------------

void OVI_Big::_WalkRefs(KeyTree& set, uint32_t key, uint32_t mode) {
    // Depth first, each key's edges in order, as a recursion would go; the
    // explicit stack keeps a long chain of references off the call stack.
    struct Frame {
        const std::vector<uint32_t>* edges;
        size_t next;
    };
    std::vector<Frame> stack;
    auto push = [&](uint32_t from) {
        auto found = mmap_Edges.find(from);
        if (found != mmap_Edges.end() && !found->second.empty())
            stack.push_back(Frame{&found->second, 0});
    };
    push(key);
    while (!stack.empty()) {
        Frame& frame = stack.back();
        if (frame.next == frame.edges->size()) {
            stack.pop_back();
            continue;
        }
        const uint32_t child = (*frame.edges)[frame.next++];
        const bool added = set.insert(child).second;
        if (mode == kWalkCount)
            UseCount(child) += 1;
        else if (mode == kWalkWeight)
            UseCount(child) += mul_Weight;
        // `frame` may move when the stack grows.
        if (added)
            push(child);
    }
}

void OVI_Big::_ExpandBanks(KeyTree& set) {
    // std::set keeps iterators valid on insertion, so keys inserted behind
    // the current one are visited too.
    for (auto it = set.begin(); it != set.end(); ++it) {
        const uint32_t key = *it;
        auto record = mmap_Records.find(key);
        if (record == mmap_Records.end())
            continue;
        const uint32_t own = _ul_ExpandBank(key, record->second, [&](uint32_t ref, uint32_t uses, bool walk) {
            set.insert(ref);
            UseCount(ref) += uses;
            if (walk)
                _WalkRefs(set, ref, kWalkOnly);
        });
        if (own != 0)
            UseCount(key) += own;
    }
}

uint32_t OVI_Big::_ul_ExpandBank(uint32_t key, const FileRefRecord& record,
                                 const std::function<void(uint32_t ref, uint32_t uses, bool walk)>& add) {
    BankRegistry& registry = BankRegistry::Instance();
    const char* name = record.s_Name.c_str();
    if (record.ul_Type == kTypeDynamicBank) {
        const DynamicBank* bank = registry.FindBank(key);
        if (bank == nullptr) {
            OVC_OutputString("warning", "dynamic-resolve", "Unable to find DynamicBank: %u : %s", key, name);
            return 0;
        }
        for (const auto& [ref, count] : bank->m_RefCounts)
            add(ref, 1, true);
    } else if (record.ul_Type == kTypeDynamicBankList) {
        const DynamicBankList* list = registry.FindDynamicBankList(key);
        if (list == nullptr) {
            OVC_OutputString("warning", "dynamic-resolve", "Unable to find DynamicBankList: %u : %s", key,
                             name);
            return 0;
        }
        // Listed banks are counted with the weight, not walked.
        for (const auto& [ref, bank] : list->m_Entries)
            add(ref, mul_Weight, false);
        return mul_Weight;
    } else if (record.ul_Type == kTypeElementRefList) {
        const ElementReferenceList* list = registry.FindElementReferenceList(key);
        if (list == nullptr) {
            OVC_OutputString("warning", "dynamic-resolve", "Unable to find ElementReferenceList: %u : %s",
                             key, name);
            return 0;
        }
        for (const auto& [ref, count] : list->m_RefCounts)
            add(ref, 1, true);
    }
    return 0;
}

}  // namespace ORVEX
