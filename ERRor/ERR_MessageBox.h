// Message boxes. Without a registered main window nothing is shown, journaled
// or logged, and the type's default answer is returned. With one, the box is
// shown (interactive mode) or answered by default (automatic mode), then
// journaled (event 15: caption, text, "User clicked on <button>") and logged
// ("[MessageBox] " + text) under the editor category.
//
// The host registers the terminal as the application's main window, so
// message boxes are journaled and logged rather than silently dropped.
//
// Thread-safe; boxes of different threads are shown one after the other.
#pragma once

#include <cstdint>

// Box types (type & 15), icons (type & 0xF0) and default buttons (type & 0xF00),
// with the values the engine uses.
enum : uint32_t {
    ERR_MB_OK = 0x0,
    ERR_MB_OKCANCEL = 0x1,
    ERR_MB_ABORTRETRYIGNORE = 0x2,
    ERR_MB_YESNOCANCEL = 0x3,
    ERR_MB_YESNO = 0x4,
    ERR_MB_RETRYCANCEL = 0x5,
    ERR_MB_CANCELTRYCONTINUE = 0x6,
    ERR_MB_ICONERROR = 0x10,
    ERR_MB_ICONQUESTION = 0x20,
    ERR_MB_ICONWARNING = 0x30,
    ERR_MB_ICONINFORMATION = 0x40,
    ERR_MB_DEFBUTTON1 = 0x000,
    ERR_MB_DEFBUTTON2 = 0x100,
    ERR_MB_DEFBUTTON3 = 0x200,
    ERR_MB_DEFBUTTON4 = 0x300,
};

// Button identifiers.
enum : int {
    ERR_ID_OK = 1,
    ERR_ID_CANCEL = 2,
    ERR_ID_ABORT = 3,
    ERR_ID_RETRY = 4,
    ERR_ID_IGNORE = 5,
    ERR_ID_YES = 6,
    ERR_ID_NO = 7,
    ERR_ID_TRYAGAIN = 10,
    ERR_ID_CONTINUE = 11,
};

// Shows the box and returns the chosen button; caption null: "Marlin Message".
// In interactive mode Enter picks the default button (the first unless the
// type names another); a box closed without an answer (end of input) returns
// Cancel when it has one, else the type's default.
int ERR_i_MessageBox(const char* text, const char* caption, uint32_t type);
// The automatic answer of a box type (type & 15): abort/retry/ignore: ignore;
// yes/no/cancel and yes/no: yes; retry/cancel: cancel; cancel/try
// again/continue: continue; any other: OK.
int ERR_i_DefaultAnswer(uint32_t type);
// "Ok", "Cancel", "Abort", "Retry", "Ignore", "Yes", "No", "Try Again",
// "Continue"; "" for an unknown identifier.
const char* ERR_sz_ButtonName(int id);

// The host registers the terminal as the application's main window.
void ERR_SetMainWindow(bool present);
bool ERR_bHasMainWindow();
