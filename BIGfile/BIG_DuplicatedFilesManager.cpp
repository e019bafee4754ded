#include "BIGfile/BIG_DuplicatedFilesManager.h"

#include "BIGfile/BIG_Endian.h"
#include "ERRor/ERR_Log.h"
#include "platform/Thread.h"

namespace {

// Places are kept as 8-byte units below this byte limit, so that a valid place
// never reads as "no place".
constexpr uint64_t kByteLimit = 0x7FFFFFFF8ull;
constexpr uint32_t kMaxShift = 35;  // 2^35 is already past the byte limit

PLT::Mutex g_globalMutex;
std::shared_ptr<const BIG_DuplicatedFilesManager> g_global PLT_GUARDED_BY(g_globalMutex);

void ReportOutside(uint32_t first, uint32_t count, uint32_t tableCount) {
    ERR_LogPrintf(ERR_Level_Warning, ERR_Cat_Others,
                  "Duplicated file copies %u to %u lie outside the duplicated-files table (%u entries)\n",
                  first, first + count - 1, tableCount);
}

}  // namespace

uint32_t BIG_DuplicatedFilesManager::ul_GetPosition(uint32_t index) const {
    return index < m_positions.size() ? m_positions[index] : kNoPlace;
}

bool BIG_DuplicatedFilesManager::bGetCopyList(uint32_t positionWord, BIG_st_CopyList* out) const {
    out->count = 0;
    const uint32_t count = ul_CopyCount(positionWord);
    const uint32_t first = ul_FirstIndex(positionWord);
    if (count == 0)
        return false;
    // first < 2^27 and count < 32: no overflow.
    if (static_cast<uint64_t>(first) + count > m_positions.size()) {
        // An empty table is the ordinary state of a bigfile without copies: the
        // entry simply has no place. A table that is too short is damage.
        if (!m_positions.empty())
            ReportOutside(first, count, ul_GetCount());
        return false;
    }
    for (uint32_t i = 0; i < count; ++i)
        out->positions[i] = m_positions[first + i];
    out->count = count;
    return true;
}

uint32_t BIG_DuplicatedFilesManager::ul_GetFirstCopyPosition(uint32_t positionWord) const {
    BIG_st_CopyList list;
    return bGetCopyList(positionWord, &list) ? list.positions[0] : kNoPlace;
}

std::unique_ptr<BIG_DuplicatedFilesManager> BIG_DuplicatedFilesManager::po_Decode(const uint8_t* data,
                                                                                  size_t size,
                                                                                  std::string* error) {
    auto fail = [error](std::string why) -> std::unique_ptr<BIG_DuplicatedFilesManager> {
        if (error != nullptr)
            *error = std::move(why);
        return nullptr;
    };
    if (data == nullptr || size < kOffsetEntries)
        return fail("the data part is shorter than its 5-byte header (" + std::to_string(size) + " bytes)");

    BIG::Endian::ByteReader reader(data, size);
    const uint32_t count = reader.U32(kOffsetCount);
    const uint32_t shift = reader.U8(kOffsetShift);
    // Check the count against the bytes that hold it before allocating.
    const uint64_t needed = kOffsetEntries + static_cast<uint64_t>(count) * 4;
    if (needed > size)
        return fail("its " + std::to_string(count) + " entries need " + std::to_string(needed) +
                    " bytes, the data part has " + std::to_string(size));
    if (shift > kMaxShift)
        return fail("its shift " + std::to_string(shift) + " is out of range");

    std::vector<uint32_t> positions(count);
    for (uint32_t i = 0; i < count; ++i) {
        const uint32_t stored = reader.U32(kOffsetEntries + static_cast<size_t>(i) * 4);
        if (stored == kNoPlace) {
            positions[i] = kNoPlace;
            continue;
        }
        const uint64_t byteOffset = static_cast<uint64_t>(stored) << shift;
        if ((byteOffset & 7) != 0 || byteOffset >= kByteLimit)
            return fail("entry " + std::to_string(i) + " (" + std::to_string(stored) + " << " +
                        std::to_string(shift) + ") is not a valid place");
        positions[i] = static_cast<uint32_t>(byteOffset >> 3);
    }
    if (!reader.bOk())
        return fail("a read fell outside the data part");
    return std::make_unique<BIG_DuplicatedFilesManager>(std::move(positions));
}

void BIG_DuplicatedFilesManager::CreateSingleton() {
    Replace(std::make_shared<const BIG_DuplicatedFilesManager>());
}

void BIG_DuplicatedFilesManager::DestroySingleton() {
    Replace(nullptr);
}

std::shared_ptr<const BIG_DuplicatedFilesManager> BIG_DuplicatedFilesManager::Get() {
    PLT::ScopedLock<PLT::Mutex> lock(g_globalMutex);
    return g_global;
}

void BIG_DuplicatedFilesManager::Replace(std::shared_ptr<const BIG_DuplicatedFilesManager> table) {
    std::shared_ptr<const BIG_DuplicatedFilesManager> old;
    {
        PLT::ScopedLock<PLT::Mutex> lock(g_globalMutex);
        old = std::move(g_global);
        g_global = std::move(table);
    }
    // `old` dies here, outside the lock.
}

uint32_t BIG_DuplicatedFilesManager::ul_GetGlobalPosition(uint32_t index) {
    const auto table = Get();
    return table ? table->ul_GetPosition(index) : kNoPlace;
}

bool BIG_DuplicatedFilesManager::bGetGlobalCopyList(uint32_t positionWord, BIG_st_CopyList* out) {
    const auto table = Get();
    if (!table) {
        out->count = 0;
        return false;
    }
    return table->bGetCopyList(positionWord, out);
}
