// The dynamic bank registry: parses dynamic banks (type 87, "dbk"), bank lists
// (type 88, "dbl") and element reference lists (type 89, "dbr") while the
// bigfile is mapped, resolves every element reference into resource keys once
// all of them are parsed, and answers the look-ups of the closure computation.
//
// Payloads (all little-endian; "key" is the next key of the file's reference
// table and takes no payload byte):
//
//   dynamic bank:     u8 bank id, u8 element count n, n elements:
//                       u8 element id, u8 marker,
//                       marker 0xFE: NUL-terminated name (the element's key is 0)
//                       otherwise:   the element's key is the next key
//                       u16 sub-reference count s, s × (u8 bank id, u8 element id)
//   bank list:        u8 count n, then n keys (reference table only)
//   element ref list: u16 count n, n × (u8 bank id, u8 element id)
//
// Damaged files: every count is checked against the bytes (or reference keys)
// that must hold it before anything is allocated for it. A file whose payload
// is damaged, or whose count is larger than its payload, is still registered
// with the entries read completely before the damage, and one "error" line
// with tag "dynamic-resolve" names the file and the fault. Resolution follows each element at most once per
// resolution, so elements that refer to each other in a cycle end, and it walks without recursion, so a long
// chain cannot exhaust the stack.
//
// Ownership: the registry owns every bank, element and list; the pointers it
// hands out stay valid until Clear. Thread-safety: none; the registry is used
// from the host's calling thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <vector>

class BIG_cl_AsynchronousFat;
struct BIG_st_FileData;

namespace ORVEX {

// A reference to element `uc_ElementId` of the bank whose id is `uc_BankId`;
// carried as a little-endian u16 (bank id in the low byte).
struct ElementRef {
    uint8_t uc_BankId = 0;
    uint8_t uc_ElementId = 0;

    uint16_t uw_Packed() const { return static_cast<uint16_t>(uc_BankId | (uc_ElementId << 8)); }
    static ElementRef FromPacked(uint32_t packed) {
        return ElementRef{static_cast<uint8_t>(packed), static_cast<uint8_t>(packed >> 8)};
    }
};

struct BankElement {
    // The resource the element names; 0 when it names it by text only.
    uint32_t ul_Key = 0;
    std::vector<ElementRef> ast_SubRefs;  // in file order
    // Resolution stamp: the element was followed in the resolution so numbered.
    uint32_t mul_Visit = 0;
};

struct DynamicBank {
    uint8_t uc_BankId = 0;
    std::map<uint8_t, std::unique_ptr<BankElement>> m_Elements;
    // Resource keys the bank needs, filled by ResolveAll.
    std::map<uint32_t, uint32_t> m_RefCounts;
};

struct DynamicBankList {
    // Listed bank key to the bank found for it (null until resolved, or when
    // no parsed bank has that key). The bank belongs to the registry.
    std::map<uint32_t, DynamicBank*> m_Entries;
    std::map<uint32_t, uint32_t> m_RefCounts;
};

struct ElementReferenceList {
    // Position (0, 1, 2, ...) to ElementRef::uw_Packed().
    std::map<uint32_t, uint32_t> m_Entries;
    std::map<uint32_t, uint32_t> m_RefCounts;
};

// What a parser reads of one file: its key, the keys of its reference table
// and the payload that follows the table. The bytes are the caller's.
struct BankFileView {
    uint32_t ul_Key = 0;
    const uint8_t* pu8_RefKeys = nullptr;  // ul_RefCount little-endian u32 keys
    uint32_t ul_RefCount = 0;
    const uint8_t* pu8_Payload = nullptr;
    size_t ul_PayloadSize = 0;

    // Splits a file's stored content (u32 reference count m, m u32 keys,
    // payload). False when the content is too short for its table.
    static bool bFromContent(uint32_t ulKey, const uint8_t* pu8_Content, size_t size, BankFileView* out);
    // The view of a file handed over by the asynchronous FAT; an empty view
    // (key only) when the file could not be read.
    static BankFileView FromFileData(uint32_t ulKey, const BIG_st_FileData* data);
};

class BankRegistry {
public:
    // Map from a resource key (or packed missing reference) to its count.
    using CountMap = std::map<uint32_t, uint32_t>;

    // The process-wide registry, created on first use and freed by Release
    // (the plug-in's unload).
    static BankRegistry& Instance();
    static void Release();

    BankRegistry();
    ~BankRegistry();
    BankRegistry(const BankRegistry&) = delete;
    BankRegistry& operator=(const BankRegistry&) = delete;

    // Parse one file and register it under its key: 0, or -1 (nothing
    // changed) when `file` is null or its key is already registered. A view
    // without payload registers an empty object, as for a file that could not
    // be loaded.
    int32_t ParseDynamicBank(const BankFileView* file);
    int32_t ParseDynamicBankList(const BankFileView* file);
    int32_t ParseElementReferenceList(const BankFileView* file);

    // The same, on the data the asynchronous FAT returned for the file `ulKey`
    // (null or bufferless data: the file could not be loaded). The caller
    // keeps its reference to the data's buffer.
    int32_t ParseDynamicBank(uint32_t ulKey, const BIG_st_FileData* data);
    int32_t ParseDynamicBankList(uint32_t ulKey, const BIG_st_FileData* data);
    int32_t ParseElementReferenceList(uint32_t ulKey, const BIG_st_FileData* data);

    // The same, loading file `ulFileIdx` for parsing through `po_Fat` (the
    // process-wide asynchronous table when null). A key already registered is
    // refused before anything is read; a file that cannot be read (or no
    // table) is registered with no entries. The loaded bytes are released
    // before the call returns.
    int32_t ParseDynamicBankFromFat(uint32_t ulKey, uint32_t ulFileIdx,
                                    BIG_cl_AsynchronousFat* po_Fat = nullptr);
    int32_t ParseDynamicBankListFromFat(uint32_t ulKey, uint32_t ulFileIdx,
                                        BIG_cl_AsynchronousFat* po_Fat = nullptr);
    int32_t ParseElementReferenceListFromFat(uint32_t ulKey, uint32_t ulFileIdx,
                                             BIG_cl_AsynchronousFat* po_Fat = nullptr);

    // Resolves bank lists, banks and element reference lists into their
    // reference counts (five passes, see the source) and reports what is
    // missing. Counts add up: run it once per filling. Returns 0.
    int32_t ResolveAll();
    // Resolves one reference into `counts`: 0, or -1 when no parsed bank has
    // the element (the reference is then counted as missing).
    int32_t ResolveElementRef(ElementRef ref, CountMap* counts);

    // The bank that the last bank list naming `ulKey` resolved it to; null
    // (with a warning line) when none does.
    DynamicBank* FindBank(uint32_t ulKey);
    DynamicBankList* FindDynamicBankList(uint32_t ulKey) const;
    ElementReferenceList* FindElementReferenceList(uint32_t ulKey) const;

    // Destroys every list, bank and element; empties every map.
    void Clear();

    const std::map<uint32_t, std::unique_ptr<DynamicBank>>& Banks() const { return m_Banks; }
    const std::map<uint32_t, std::unique_ptr<DynamicBankList>>& BankLists() const { return m_BankLists; }
    const std::map<uint32_t, std::unique_ptr<ElementReferenceList>>& ElementReferenceLists() const {
        return m_ElementRefLists;
    }
    // Packed (bank id << 24 | element id) to the number of times it was missed.
    const CountMap& MissingElementRefs() const { return m_Missing; }

private:
    struct ElementSlot {
        DynamicBank* po_Bank = nullptr;
        BankElement* po_Element = nullptr;
    };

    void _BuildElementIndex();
    // Counts `element`'s key into `counts` and follows its sub-references,
    // each element at most once, within resolution number `ulResolution`.
    void _FollowElement(BankElement* element, uint32_t ulResolution, CountMap* counts);
    uint32_t _NewResolution();

    std::map<uint32_t, std::unique_ptr<DynamicBank>> m_Banks;
    std::map<uint32_t, std::unique_ptr<DynamicBankList>> m_BankLists;
    std::map<uint32_t, std::unique_ptr<ElementReferenceList>> m_ElementRefLists;
    CountMap m_Missing;

    // (bank id, element id) to the lowest-keyed bank holding that element;
    // rebuilt when banks were added or removed since it was made.
    std::vector<ElementSlot> m_ElementIndex;
    bool mb_ElementIndexStale = true;
    uint32_t mul_Resolution = 0;
};

}  // namespace ORVEX
