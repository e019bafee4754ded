#include "ERRor/ERR_Dialog.h"

#include <utility>

#include "ERRor/ERR_Assert.h"

namespace {

struct HandlerSlot {
    std::mutex mutex;
    ERR_DialogHandler handler;
};

HandlerSlot& Slot() {
    static HandlerSlot* s_slot = new HandlerSlot;
    return *s_slot;
}

ERR_DialogHandler CurrentHandler() {
    HandlerSlot& slot = Slot();
    std::lock_guard<std::mutex> lock(slot.mutex);
    return slot.handler;
}

}  // namespace

void ERR_SetDialogHandler(ERR_DialogHandler handler) {
    HandlerSlot& slot = Slot();
    std::lock_guard<std::mutex> lock(slot.mutex);
    slot.handler = std::move(handler);
}

bool ERR_bCanAskUser() {
    if (!ERR_bIsInteractive())
        return false;
    return static_cast<bool>(CurrentHandler()) || PLT::IsInteractiveTerminal();
}

int ERR_i_ShowDialog(const ERR_st_Dialog& dialog) {
    // Called without the slot's lock, so a handler may replace itself.
    ERR_DialogHandler handler = CurrentHandler();
    if (handler)
        return handler(dialog);
    return PLT::ShowDialog(dialog.title, dialog.body, dialog.choices, dialog.defaultId, dialog.copyText);
}

std::recursive_mutex& ERR_rUiMutex() {
    static std::recursive_mutex* s_mutex = new std::recursive_mutex;
    return *s_mutex;
}
