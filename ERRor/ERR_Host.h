// Handing the application's terminal to the engine.
//
// The host that owns the terminal calls ERR_AttachTerminal: the terminal
// becomes the application's main window (message boxes are journaled and
// logged), the interactive or automatic mode is chosen, and log records of
// WARNING and above are shown on standard error. A plug-in carries its own
// private copy of this library, so the choice is also exported in the
// environment; the plug-in's copy picks it up with ERR_AttachFromEnvironment
// when it is loaded. Both calls are idempotent; call them during start-up.
#pragma once

#include <string>

#include "ERRor/ERR_Log.h"

void ERR_AttachTerminal(bool interactive);
// Attaches as the host did, when the environment says a host owns the
// terminal. False (and nothing changed) otherwise.
bool ERR_AttachFromEnvironment();
// Undoes the attachment and frees the listener queue: for a library being unloaded.
void ERR_DetachTerminal();
// "[LEVEL][CATEGORY] text" on standard error for WARNING and above. In the
// automatic mode an assertion report whose text was already shown is only
// counted (one bad input can raise the same check for every entry).
void ERR_ShowOnStderr(const ERR_st_LogRecord& record);
// Rewrites a line's text before ERR_ShowOnStderr shows it (a plug-in shows
// paths as its host's user typed them); null, the default: shown as logged.
using ERR_StderrFilter = std::string (*)(std::string text);
void ERR_SetStderrFilter(ERR_StderrFilter filter);
// For each assertion report that was counted, one line with its text and
// "(repeated N times)"; the counts then start again. Called at the end of a
// command, and when the library detaches.
void ERR_ShowRepeatedAssertions();
