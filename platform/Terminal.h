// The terminal: the application's window, dialogs and status line on Linux.
#pragma once

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace PLT {

// True when both standard input and standard error are terminals.
bool IsInteractiveTerminal();
bool IsStderrTerminal();

struct DialogChoice {
    DialogChoice() = default;
    DialogChoice(std::string label_, int id_, std::string extraKeys_ = std::string())
        : label(std::move(label_)), id(id_), extraKeys(std::move(extraKeys_)) {}

    std::string label;      // "&Continue": the letter after '&' is the key ("&&" is a plain '&')
    int id = 0;             // returned when chosen
    std::string extraKeys;  // further letters that choose it (any case), beside the '&' one
};

// Shows `title` and `body` on standard error followed by the choices, and reads
// one answer line from standard input: a choice's key letter (any case), its
// number (1 for the first choice) or its whole label. Enter alone picks
// `defaultId` when it is non-zero. End of input returns 0 (the window closed).
// With `copyText` non-empty the answer "copy" prints `copyText` and asks again.
// Any other answer asks again. Call from one thread at a time.
int ShowDialog(const std::string& title, const std::string& body, const std::vector<DialogChoice>& choices,
               int defaultId, const std::string& copyText = std::string());
// The same dialog on chosen streams (tests, or a host with its own console).
int ShowDialog(const std::string& title, const std::string& body, const std::vector<DialogChoice>& choices,
               int defaultId, const std::string& copyText, std::FILE* in, std::FILE* out);

// A label as shown on the prompt: "&Continue" becomes "[C]ontinue".
std::string DialogLabelText(const std::string& label);

// One-line status display. On a terminal the line is redrawn in place
// ("\r", the text, clear to end of line); elsewhere each new text is printed
// once as a line of its own. An empty text clears the line (terminal) or
// prints nothing. Thread-safe.
class StatusLine {
public:
    // A null `out` is the process's `stderr` as it is at each write: a capture
    // that swaps the stream for a while (PLT::StderrCapture) gets the line too,
    // and no write ever goes to a stream it has closed.
    StatusLine(std::FILE* out, bool terminal) : m_out(out), m_terminal(terminal) {}
    void Set(const std::string& text);
    // Writes `size` bytes of `text` to `stream` with the line out of the way:
    // cleared before, redrawn after (terminal only), so the two never mix.
    void WriteAbove(std::FILE* stream, const char* text, size_t size);

private:
    std::FILE* Out() const { return m_out != nullptr ? m_out : stderr; }

    std::FILE* m_out;
    bool m_terminal;
    bool m_shown = false;
    std::string m_last;
};

// The process's status line on standard error.
void SetStatusLine(const std::string& text);
// Writes a text to standard output or standard error past the process's
// status line (StatusLine::WriteAbove).
void WriteAboveStatusLine(std::FILE* stream, const char* text, size_t size);

}  // namespace PLT
