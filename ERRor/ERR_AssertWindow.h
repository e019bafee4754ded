// The assertion window: its buttons, its size, its copy report, and showing it.
//
// On Linux the window is the terminal dialog (or the installed dialog
// handler): title = the category, body = the location and the message, the
// allowed answers in order "&Generate Crash" (1), "&Stop the engine" (2),
// "&Continue" (3, picked by Enter), "&Ignore always" (4); the line "copy"
// prints the copy report and asks again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/Terminal.h"

enum : int {
    ERR_Answer_Closed = 0,
    ERR_Answer_Crash = 1,
    ERR_Answer_Stop = 2,
    ERR_Answer_Continue = 3,
    ERR_Answer_Ignore = 4,
    ERR_Answer_Copy = 5,  // the copy button: copies and keeps the window open
};

// Window geometry, in pixels, of the graphical window this dialog stands for.
// A front end that draws it sizes it with ERR_st_LayoutAssertWindow.
struct ERR_st_AssertWindowLayout {
    int buttons = 0;  // allowed answers + the copy button
    int width = 0;
};
constexpr int ERR_kButtonPitch = 140;
constexpr int ERR_kMinWindowWidth = 200;
constexpr int ERR_kTextMargin = 50;
constexpr int ERR_kMaxMeasuredLines = 10;
// Fixed-width stand-ins for the 14-pixel regular font (location) and the
// 18-pixel bold font (message).
constexpr int ERR_kRegularCharWidth = 7;
constexpr int ERR_kBoldCharWidth = 9;

// Width: the largest of buttons x 140 + 20; 200; the location's width + 50;
// the widest of the message's first 10 lines (split at "\n") + 50.
ERR_st_AssertWindowLayout ERR_st_LayoutAssertWindow(const char* location, const char* message, uint8_t flags);

// The allowed answers as dialog choices, in button order.
std::vector<PLT::DialogChoice> ERR_AssertChoices(uint8_t flags);

// What "copy" offers: dashes, an empty line, "Marlin v<version> triggered an
// Assert:", "Version package: <name>" when a package is known, then the title,
// the location and the message each on its own line, and closing dashes.
std::string ERR_AssertCopyReport(const char* title, const char* location, const char* message);

// The engine version in the copy report (the build's version by default) and
// the package name (none by default; empty or null forgets it).
void ERR_SetEngineVersion(const char* version);
void ERR_SetVersionPackage(const char* package);

// Shows the window and returns the answer (ERR_Answer_*), 0 when it was closed.
int ERR_i_ShowAssertWindow(const char* category, const char* location, const char* message, uint8_t flags);
