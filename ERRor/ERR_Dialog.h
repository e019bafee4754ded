// The seam between the error library and whoever answers its windows.
//
// Assertions and message boxes become modal dialogs on the terminal
// (PLT::ShowDialog). A handler can take the terminal's place: tests script the
// user's answers with it, and a graphical front end could draw real windows.
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Terminal.h"

struct ERR_st_Dialog {
    std::string title;
    std::string body;
    std::vector<PLT::DialogChoice> choices;  // in display order
    int defaultId = 0;                       // picked by Enter; 0: none
    std::string copyText;                    // offered by "copy" when not empty
};

// Returns the id of the chosen choice, or 0 when the window was closed without
// an answer (end of input).
using ERR_DialogHandler = std::function<int(const ERR_st_Dialog&)>;

// Installs `handler` in place of the terminal; an empty handler restores it.
void ERR_SetDialogHandler(ERR_DialogHandler handler);

// True when a user can be asked: the interactive switch is on and either a
// handler is installed or standard input and standard error are terminals.
// Otherwise assertions and message boxes answer alone (automatic mode).
bool ERR_bCanAskUser();

// Shows the dialog through the handler or the terminal.
int ERR_i_ShowDialog(const ERR_st_Dialog& dialog);

// One user interface at a time: assertions and message boxes hold this lock
// (recursive, so that a dialog may raise a nested one on the same thread)
// while they ask and journal, which keeps each event's journal records
// together and makes a worker thread's assertion wait for the one on screen
// instead of being lost.
std::recursive_mutex& ERR_rUiMutex();
