#include "plugin/OVI_BankRegistry.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <utility>

#include "BIGfile/AsynchronousIO/BIG_AsynchronousFat.h"
#include "BIGfile/BIG_ContentHead.h"
#include "BIGfile/BIG_Endian.h"
#include "BIGfile/BIG_FBuff.h"
#include "DesignPaTterns/DPT_Singleton.h"
#include "ERRor/ERR_Assert.h"
#include "orvex/OVC_Interface.h"

namespace ORVEX {

namespace {

constexpr const char* kTag = "dynamic-resolve";
constexpr uint8_t kNamedByText = 0xFE;
constexpr size_t kElementRefSize = 2;

// Reads a payload front to back and the reference table key by key, never
// past either end.
class BankReader {
public:
    explicit BankReader(const BankFileView& file) : m_file(file) {}

    size_t Remaining() const { return m_file.ul_PayloadSize - m_pos; }
    uint32_t KeysLeft() const { return m_file.ul_RefCount - m_keyPos; }

    bool bU8(uint8_t* out) {
        if (Remaining() < 1)
            return false;
        *out = m_file.pu8_Payload[m_pos++];
        return true;
    }
    bool bU16(uint16_t* out) {
        if (Remaining() < 2)
            return false;
        *out = BIG::Endian::Get16(m_file.pu8_Payload + m_pos);
        m_pos += 2;
        return true;
    }
    bool bRef(ElementRef* out) { return bU8(&out->uc_BankId) && bU8(&out->uc_ElementId); }
    bool bKey(uint32_t* out) {
        if (KeysLeft() == 0)
            return false;
        *out = BIG_st_ContentHead::ul_KeyAt(m_file.pu8_RefKeys, m_keyPos++);
        return true;
    }
    // Moves past a NUL-terminated name. False when the name has no end inside
    // the payload; the cursor is then at the end.
    bool bSkipName() {
        while (m_pos < m_file.ul_PayloadSize) {
            if (m_file.pu8_Payload[m_pos++] == 0)
                return true;
        }
        return false;
    }

private:
    const BankFileView& m_file;
    size_t m_pos = 0;
    uint32_t m_keyPos = 0;
};

void ReportDamage(const char* kind, uint32_t key, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

void ReportDamage(const char* kind, uint32_t key, const char* format, ...) {
    char detail[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(detail, sizeof detail, format, args);
    va_end(args);
    OVC_OutputString("error", kTag, "Malformed %s %u: %s", kind, key, detail);
}

bool bHasPayload(const BankFileView& file) {
    return file.pu8_Payload != nullptr && file.ul_PayloadSize != 0;
}

// Reads the elements of a bank; stops at the first damage, keeping the
// elements read completely before it.
void ReadBank(const BankFileView& file, DynamicBank* bank) {
    static constexpr const char* kKind = "DynamicBank";
    if (!bHasPayload(file))
        return;
    BankReader in(file);
    uint8_t count = 0;
    if (!in.bU8(&bank->uc_BankId) || !in.bU8(&count)) {
        ReportDamage(kKind, file.ul_Key, "payload of %zu bytes is shorter than the bank header",
                     file.ul_PayloadSize);
        return;
    }
    // A count larger than the payload is met at the first element that does
    // not fit (each is read, and allocated, only once its bytes are there).
    for (uint32_t i = 0; i < count; ++i) {
        auto element = std::make_unique<BankElement>();
        uint8_t id = 0;
        uint8_t marker = 0;
        if (!in.bU8(&id) || !in.bU8(&marker)) {
            ReportDamage(kKind, file.ul_Key, "element %u of %u runs past the end of the payload", i, count);
            return;
        }
        if (marker == kNamedByText) {
            if (!in.bSkipName()) {
                ERR_X_Raise("Assert", "Overlapping read buffer");
                ReportDamage(kKind, file.ul_Key, "the name of element %u has no end inside the payload", id);
                return;
            }
        } else if (!in.bKey(&element->ul_Key)) {
            ReportDamage(kKind, file.ul_Key,
                         "element %u names a resource past the %u keys of its reference table", id,
                         file.ul_RefCount);
            return;
        }
        uint16_t subCount = 0;
        if (!in.bU16(&subCount)) {
            ReportDamage(kKind, file.ul_Key, "element %u runs past the end of the payload", id);
            return;
        }
        if (subCount * kElementRefSize > in.Remaining()) {
            ReportDamage(kKind, file.ul_Key, "element %u: %u sub-references need %zu bytes, %zu remain", id,
                         subCount, subCount * kElementRefSize, in.Remaining());
            return;
        }
        element->ast_SubRefs.resize(subCount);
        for (ElementRef& ref : element->ast_SubRefs)
            in.bRef(&ref);
        // The first element of an id stays; a later one with the same id is dropped.
        bank->m_Elements.try_emplace(id, std::move(element));
    }
}

void ReadBankList(const BankFileView& file, DynamicBankList* list) {
    if (!bHasPayload(file))
        return;
    BankReader in(file);
    uint8_t count = 0;
    in.bU8(&count);
    uint32_t whole = count;
    if (count > in.KeysLeft()) {
        ReportDamage("DynamicBankList", file.ul_Key,
                     "%u banks listed, its reference table holds %u keys; the %u listed are kept", count,
                     in.KeysLeft(), in.KeysLeft());
        whole = in.KeysLeft();
    }
    for (uint32_t i = 0; i < whole; ++i) {
        uint32_t key = 0;
        in.bKey(&key);
        list->m_Entries.try_emplace(key, nullptr);
    }
}

void ReadElementReferenceList(const BankFileView& file, ElementReferenceList* list) {
    static constexpr const char* kKind = "ElementReferenceList";
    if (!bHasPayload(file))
        return;
    BankReader in(file);
    uint16_t count = 0;
    if (!in.bU16(&count)) {
        ReportDamage(kKind, file.ul_Key, "payload of %zu bytes is shorter than its count",
                     file.ul_PayloadSize);
        return;
    }
    size_t whole = count;
    if (count * kElementRefSize > in.Remaining()) {
        whole = in.Remaining() / kElementRefSize;
        ReportDamage(kKind, file.ul_Key,
                     "%u references need %zu bytes, %zu remain; the %zu whole ones are kept", count,
                     count * kElementRefSize, in.Remaining(), whole);
    }
    for (uint32_t i = 0; i < whole; ++i) {
        ElementRef ref;
        in.bRef(&ref);
        list->m_Entries.emplace(i, ref.uw_Packed());
    }
}

// Loads a file's data for parsing and hands it to `parse`, unless `registered`.
template <class ParseFn>
int32_t ParseFromFat(bool registered, uint32_t key, uint32_t fileIdx, BIG_cl_AsynchronousFat* fat,
                     ParseFn parse) {
    if (registered)
        return -1;
    if (fat == nullptr)
        fat = BIG_cl_AsynchronousFat::po_GetInstance();
    BIG_st_FileData data;
    if (fat != nullptr && !fat->bGetFileData(fileIdx, &data))
        data = BIG_st_FileData{};
    const int32_t result = parse(key, &data);
    if (data.po_Buffer != nullptr)
        data.po_Buffer->Release();
    return result;
}

template <class T, class ReadFn>
int32_t Register(std::map<uint32_t, std::unique_ptr<T>>* map, const BankFileView* file, ReadFn read) {
    if (file == nullptr || map->count(file->ul_Key) != 0)
        return -1;
    auto object = std::make_unique<T>();
    read(*file, object.get());
    map->emplace(file->ul_Key, std::move(object));
    return 0;
}

}  // namespace

bool BankFileView::bFromContent(uint32_t ulKey, const uint8_t* pu8_Content, size_t size, BankFileView* out) {
    *out = BankFileView{};
    out->ul_Key = ulKey;
    BIG_st_ContentHead head;
    if (size > UINT32_MAX ||
        !BIG_st_ContentHead::bDecodeContent(pu8_Content, size, static_cast<uint32_t>(size), &head) ||
        !head.bTableFits())
        return false;
    out->pu8_RefKeys = pu8_Content + BIG_st_ContentHead::kCountSize;
    out->ul_RefCount = head.ul_RefCount;
    out->pu8_Payload = pu8_Content + head.ul_TableSize();
    out->ul_PayloadSize = head.ul_PayloadSize();
    return true;
}

BankFileView BankFileView::FromFileData(uint32_t ulKey, const BIG_st_FileData* data) {
    BankFileView view;
    view.ul_Key = ulKey;
    if (data == nullptr || data->po_Buffer == nullptr)
        return view;
    if (data->pu8_RefTable != nullptr) {
        view.pu8_RefKeys = data->pu8_RefTable + BIG_st_ContentHead::kCountSize;
        view.ul_RefCount = data->ul_RefCount;
    }
    view.pu8_Payload = data->pu8_Data;
    view.ul_PayloadSize = data->pu8_Data != nullptr ? data->ul_DataSize : 0;
    return view;
}

BankRegistry& BankRegistry::Instance() {
    return DPT::Singleton<BankRegistry>::Instance();
}

void BankRegistry::Release() {
    DPT::Singleton<BankRegistry>::Destroy();
}

BankRegistry::BankRegistry() = default;
BankRegistry::~BankRegistry() = default;

int32_t BankRegistry::ParseDynamicBank(const BankFileView* file) {
    const int32_t result = Register(&m_Banks, file, ReadBank);
    if (result == 0)
        mb_ElementIndexStale = true;
    return result;
}

int32_t BankRegistry::ParseDynamicBankList(const BankFileView* file) {
    return Register(&m_BankLists, file, ReadBankList);
}

int32_t BankRegistry::ParseElementReferenceList(const BankFileView* file) {
    return Register(&m_ElementRefLists, file, ReadElementReferenceList);
}

int32_t BankRegistry::ParseDynamicBank(uint32_t ulKey, const BIG_st_FileData* data) {
    const BankFileView view = BankFileView::FromFileData(ulKey, data);
    return ParseDynamicBank(&view);
}

int32_t BankRegistry::ParseDynamicBankList(uint32_t ulKey, const BIG_st_FileData* data) {
    const BankFileView view = BankFileView::FromFileData(ulKey, data);
    return ParseDynamicBankList(&view);
}

int32_t BankRegistry::ParseElementReferenceList(uint32_t ulKey, const BIG_st_FileData* data) {
    const BankFileView view = BankFileView::FromFileData(ulKey, data);
    return ParseElementReferenceList(&view);
}

int32_t BankRegistry::ParseDynamicBankFromFat(uint32_t ulKey, uint32_t ulFileIdx,
                                              BIG_cl_AsynchronousFat* po_Fat) {
    return ParseFromFat(
        m_Banks.count(ulKey) != 0, ulKey, ulFileIdx, po_Fat,
        [this](uint32_t key, const BIG_st_FileData* data) { return ParseDynamicBank(key, data); });
}

int32_t BankRegistry::ParseDynamicBankListFromFat(uint32_t ulKey, uint32_t ulFileIdx,
                                                  BIG_cl_AsynchronousFat* po_Fat) {
    return ParseFromFat(
        m_BankLists.count(ulKey) != 0, ulKey, ulFileIdx, po_Fat,
        [this](uint32_t key, const BIG_st_FileData* data) { return ParseDynamicBankList(key, data); });
}

int32_t BankRegistry::ParseElementReferenceListFromFat(uint32_t ulKey, uint32_t ulFileIdx,
                                                       BIG_cl_AsynchronousFat* po_Fat) {
    return ParseFromFat(
        m_ElementRefLists.count(ulKey) != 0, ulKey, ulFileIdx, po_Fat,
        [this](uint32_t key, const BIG_st_FileData* data) { return ParseElementReferenceList(key, data); });
}

void BankRegistry::_BuildElementIndex() {
    m_ElementIndex.assign(0x10000, ElementSlot{});
    // Banks in ascending key order: the first to claim a (bank id, element id)
    // is the lowest-keyed one, which is the one a reference resolves in.
    for (auto& [key, bank] : m_Banks) {
        for (auto& [id, element] : bank->m_Elements) {
            ElementSlot& slot = m_ElementIndex[ElementRef{bank->uc_BankId, id}.uw_Packed()];
            if (slot.po_Element == nullptr)
                slot = ElementSlot{bank.get(), element.get()};
        }
    }
    mb_ElementIndexStale = false;
}

uint32_t BankRegistry::_NewResolution() {
    if (++mul_Resolution == 0) {
        for (auto& [key, bank] : m_Banks)
            for (auto& [id, element] : bank->m_Elements)
                element->mul_Visit = 0;
        mul_Resolution = 1;
    }
    return mul_Resolution;
}

void BankRegistry::_FollowElement(BankElement* start, uint32_t ulResolution, CountMap* counts) {
    // Depth-first in file order with an explicit stack: a chain of references
    // across many banks must not exhaust the call stack.
    std::vector<BankElement*> pending{start};
    while (!pending.empty()) {
        BankElement* element = pending.back();
        pending.pop_back();
        if (element->mul_Visit == ulResolution)
            continue;
        element->mul_Visit = ulResolution;
        ++(*counts)[element->ul_Key];
        for (auto ref = element->ast_SubRefs.rbegin(); ref != element->ast_SubRefs.rend(); ++ref) {
            const ElementSlot& slot = m_ElementIndex[ref->uw_Packed()];
            if (slot.po_Element == nullptr)
                ++m_Missing[(static_cast<uint32_t>(ref->uc_BankId) << 24) | ref->uc_ElementId];
            else if (slot.po_Element->mul_Visit != ulResolution)
                pending.push_back(slot.po_Element);
        }
    }
}

int32_t BankRegistry::ResolveElementRef(ElementRef ref, CountMap* counts) {
    if (mb_ElementIndexStale)
        _BuildElementIndex();
    const ElementSlot& slot = m_ElementIndex[ref.uw_Packed()];
    if (slot.po_Element == nullptr) {
        ++m_Missing[(static_cast<uint32_t>(ref.uc_BankId) << 24) | ref.uc_ElementId];
        return -1;
    }
    _FollowElement(slot.po_Element, _NewResolution(), counts);
    return 0;
}

int32_t BankRegistry::ResolveAll() {
    if (mb_ElementIndexStale)
        _BuildElementIndex();

    // 1. Bind every bank list entry to the parsed bank of that key.
    for (auto& [listKey, list] : m_BankLists) {
        for (auto& [bankKey, bank] : list->m_Entries) {
            auto found = m_Banks.find(bankKey);
            if (found != m_Banks.end())
                bank = found->second.get();
            else
                OVC_OutputString("warning", kTag, "_eResolveBankList: Unable to find a Resource: %u",
                                 bankKey);
        }
    }

    // 2. What each bank needs: every element's key and all its sub-references reach.
    for (auto& [bankKey, bank] : m_Banks)
        for (auto& [id, element] : bank->m_Elements)
            _FollowElement(element.get(), _NewResolution(), &bank->m_RefCounts);

    // 3. A bank list needs what its banks need, once per key and bank.
    for (auto& [listKey, list] : m_BankLists) {
        for (auto& [bankKey, bank] : list->m_Entries) {
            if (bank == nullptr) {
                OVC_OutputString("warning", kTag,
                                 "_eResolveBankList: pBank is still NULL after Internal Resolve: %u",
                                 bankKey);
                continue;
            }
            for (const auto& [key, count] : bank->m_RefCounts)
                ++list->m_RefCounts[key];
        }
    }

    // 4. Element reference lists, reference by reference in position order.
    for (auto& [listKey, list] : m_ElementRefLists)
        for (const auto& [position, packed] : list->m_Entries)
            ResolveElementRef(ElementRef::FromPacked(packed), &list->m_RefCounts);

    // 5. One line per distinct reference that no bank could resolve.
    for (const auto& [packed, count] : m_Missing)
        OVC_OutputString("warning", kTag, "Unable to find Element ID: %u in Bank ID: %u", packed & 0xFF,
                         packed >> 24);
    return 0;
}

DynamicBank* BankRegistry::FindBank(uint32_t ulKey) {
    DynamicBank* result = nullptr;
    // The last list that names the key decides.
    for (const auto& [listKey, list] : m_BankLists) {
        auto entry = list->m_Entries.find(ulKey);
        if (entry != list->m_Entries.end())
            result = entry->second;
    }
    if (result == nullptr)
        OVC_OutputString("warning", kTag, "Critical Error Unable to find Bank : %u", ulKey);
    return result;
}

DynamicBankList* BankRegistry::FindDynamicBankList(uint32_t ulKey) const {
    auto found = m_BankLists.find(ulKey);
    return found != m_BankLists.end() ? found->second.get() : nullptr;
}

ElementReferenceList* BankRegistry::FindElementReferenceList(uint32_t ulKey) const {
    auto found = m_ElementRefLists.find(ulKey);
    return found != m_ElementRefLists.end() ? found->second.get() : nullptr;
}

void BankRegistry::Clear() {
    m_ElementRefLists.clear();
    m_BankLists.clear();
    m_Banks.clear();
    m_Missing.clear();
    m_ElementIndex.clear();
    m_ElementIndex.shrink_to_fit();
    mb_ElementIndexStale = true;
    mul_Resolution = 0;
}

}  // namespace ORVEX
