// Message boxes. Without a registered main window nothing is shown, journaled
// or logged, and the type's default answer is returned. With one, the box is
// shown (interactive mode) or answered by default (automatic mode), then
// journaled and logged.
#pragma once

#include <cstdint>

// Box types (type & 15) and icons (type & 0xF0), with the values the engine uses.
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

// caption null: "Marlin Message".
int ERR_i_MessageBox(const char* text, const char* caption, uint32_t type);
int ERR_i_DefaultAnswer(uint32_t type);

// The host registers the terminal as the application's main window.
void ERR_SetMainWindow(bool present);
bool ERR_bHasMainWindow();
