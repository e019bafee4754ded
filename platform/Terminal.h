// The terminal: the application's window, dialogs and status line on Linux.
#pragma once

#include <string>
#include <vector>

namespace PLT {

// True when both standard input and standard error are terminals.
bool IsInteractiveTerminal();
bool IsStderrTerminal();

struct DialogChoice {
    std::string label;  // "&Continue": the letter after '&' is the key
    int id = 0;         // returned when chosen
};

// Shows `title` and `body` on standard error followed by the choices, and reads
// one answer line from standard input: a choice's key letter (any case) or its
// number. Enter alone picks `defaultId` when it is non-zero. End of input
// returns 0 (the window closed). `copyText` non-empty adds the answer "c"-with-
// Ctrl twin: the line "copy" prints `copyText` and asks again.
int ShowDialog(const std::string& title, const std::string& body, const std::vector<DialogChoice>& choices,
               int defaultId, const std::string& copyText = std::string());

// One-line status display on standard error (redrawn in place on a terminal,
// printed as a line otherwise); an empty text clears it.
void SetStatusLine(const std::string& text);

}  // namespace PLT
