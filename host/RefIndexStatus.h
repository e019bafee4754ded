// The reference manager's progress on orvex's status line, for commands that
// open a bigfile for editing.
//
// Usage, before the bigfile is read:
//     BIG::ReferenceManager::InstallBatchHooks();
//     ... open the bigfile, ReadFat, BIG_AfterBigfileRead(fat) ...
//     HOST::RefIndexStatus status(*BIG::ReferenceManager::po_Get());
// The status line then follows the indexation ("Indexing files [42.0%]",
// "Indexation complete.") until `status` goes away.
#pragma once

#include <cstdint>

namespace BIG {
class ReferenceManager;
}

namespace HOST {

// Shows every progress notification of `manager` on the status line while it
// lives; clears the line when it goes. `manager` must outlive it.
class RefIndexStatus {
public:
    explicit RefIndexStatus(BIG::ReferenceManager& manager);
    ~RefIndexStatus();
    RefIndexStatus(const RefIndexStatus&) = delete;
    RefIndexStatus& operator=(const RefIndexStatus&) = delete;

private:
    static void OnProgress(uint32_t state, const char* text, void* user);

    BIG::ReferenceManager& m_manager;
    int mi_ListenerId;
};

}  // namespace HOST
