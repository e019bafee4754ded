#include "ERRor/ERR_MessageBox.h"

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "ERRor/ERR_Dialog.h"
#include "ERRor/ERR_Log.h"
#include "ERRor/ERR_LogFile.h"

namespace {

std::atomic<bool> g_mainWindow{false};

constexpr uint32_t kTypeMask = 0x0F;
constexpr uint32_t kIconMask = 0xF0;
constexpr uint32_t kDefButtonShift = 8;
constexpr uint32_t kDefButtonMask = 0x0F;

struct Button {
    int id;
    const char* label;  // '&' marks the answer's key
};

std::vector<Button> ButtonsOf(uint32_t type) {
    switch (type & kTypeMask) {
        case ERR_MB_OKCANCEL:
            return {{ERR_ID_OK, "&OK"}, {ERR_ID_CANCEL, "&Cancel"}};
        case ERR_MB_ABORTRETRYIGNORE:
            return {{ERR_ID_ABORT, "&Abort"}, {ERR_ID_RETRY, "&Retry"}, {ERR_ID_IGNORE, "&Ignore"}};
        case ERR_MB_YESNOCANCEL:
            return {{ERR_ID_YES, "&Yes"}, {ERR_ID_NO, "&No"}, {ERR_ID_CANCEL, "&Cancel"}};
        case ERR_MB_YESNO:
            return {{ERR_ID_YES, "&Yes"}, {ERR_ID_NO, "&No"}};
        case ERR_MB_RETRYCANCEL:
            return {{ERR_ID_RETRY, "&Retry"}, {ERR_ID_CANCEL, "&Cancel"}};
        case ERR_MB_CANCELTRYCONTINUE:
            // "Cancel" has no letter here: T and C belong to the other two.
            return {
                {ERR_ID_CANCEL, "Cancel"}, {ERR_ID_TRYAGAIN, "&Try Again"}, {ERR_ID_CONTINUE, "&Continue"}};
        default:
            return {{ERR_ID_OK, "&OK"}};
    }
}

int AskUser(const char* text, const char* caption, uint32_t type) {
    std::vector<Button> buttons = ButtonsOf(type);
    ERR_st_Dialog dialog;
    dialog.title = caption;
    dialog.body = text;
    for (const Button& b : buttons)
        dialog.choices.push_back({b.label, b.id});
    size_t defIndex = (type >> kDefButtonShift) & kDefButtonMask;
    dialog.defaultId = buttons[defIndex < buttons.size() ? defIndex : 0].id;

    int answer = ERR_i_ShowDialog(dialog);
    for (const Button& b : buttons)
        if (b.id == answer)
            return answer;
    for (const Button& b : buttons)
        if (b.id == ERR_ID_CANCEL)
            return ERR_ID_CANCEL;
    return ERR_i_DefaultAnswer(type);
}

uint32_t LevelOfIcon(uint32_t type) {
    switch (type & kIconMask) {
        case ERR_MB_ICONERROR:
            return ERR_Level_Error;
        case ERR_MB_ICONWARNING:
            return ERR_Level_Warning;
        default:
            return ERR_Level_Info;
    }
}

}  // namespace

void ERR_SetMainWindow(bool present) {
    g_mainWindow.store(present);
}
bool ERR_bHasMainWindow() {
    return g_mainWindow.load();
}

int ERR_i_DefaultAnswer(uint32_t type) {
    switch (type & kTypeMask) {
        case ERR_MB_ABORTRETRYIGNORE:
            return ERR_ID_IGNORE;
        case ERR_MB_YESNOCANCEL:
        case ERR_MB_YESNO:
            return ERR_ID_YES;
        case ERR_MB_RETRYCANCEL:
            return ERR_ID_CANCEL;
        case ERR_MB_CANCELTRYCONTINUE:
            return ERR_ID_CONTINUE;
        default:
            return ERR_ID_OK;
    }
}

const char* ERR_sz_ButtonName(int id) {
    switch (id) {
        case ERR_ID_OK:
            return "Ok";
        case ERR_ID_CANCEL:
            return "Cancel";
        case ERR_ID_ABORT:
            return "Abort";
        case ERR_ID_RETRY:
            return "Retry";
        case ERR_ID_IGNORE:
            return "Ignore";
        case ERR_ID_YES:
            return "Yes";
        case ERR_ID_NO:
            return "No";
        case ERR_ID_TRYAGAIN:
            return "Try Again";
        case ERR_ID_CONTINUE:
            return "Continue";
        default:
            return "";
    }
}

int ERR_i_MessageBox(const char* text, const char* caption, uint32_t type) {
    if (!ERR_bHasMainWindow())
        return ERR_i_DefaultAnswer(type);
    if (!text)
        text = "";
    if (!caption)
        caption = "Marlin Message";

    std::lock_guard<std::recursive_mutex> ui(ERR_rUiMutex());
    int answer = ERR_bCanAskUser() ? AskUser(text, caption, type) : ERR_i_DefaultAnswer(type);

    ERR_cl_LogFile& journal = ERR_rJournal();
    journal.AppendHeader(ERR_Event_MessageBox);
    journal.AppendText(caption);
    journal.AppendText(text);
    journal.AppendText((std::string("User clicked on ") + ERR_sz_ButtonName(answer)).c_str());

    std::string line = "[MessageBox] ";
    for (const char* p = text; *p; ++p) {
        if (*p == '\r')
            line += ' ';
        else if (*p == '\n')
            line += " \\ ";
        else
            line += *p;
    }
    line += "\n";
    ERR_Log(LevelOfIcon(type), ERR_Cat_Editor, line.c_str());
    return answer;
}
