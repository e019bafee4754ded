#include "platform/Terminal.h"

#include "platform/internal/Text.h"

#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <mutex>

namespace PLT {
namespace {

using internal::Trim;

// The key letter of a label: the character after a single '&', or 0.
char KeyOf(const std::string& label) {
    for (size_t i = 0; i + 1 < label.size(); ++i) {
        if (label[i] == '&') {
            if (label[i + 1] != '&') {
                return static_cast<char>(std::tolower(static_cast<unsigned char>(label[i + 1])));
            }
            ++i;
        }
    }
    return 0;
}

std::string PlainLabel(const std::string& label) {
    std::string plain;
    for (size_t i = 0; i < label.size(); ++i) {
        if (label[i] == '&' && i + 1 < label.size()) {
            ++i;
        }
        plain += label[i];
    }
    return plain;
}

std::string Lower(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

// Reads one line without its end; false at end of input with nothing read.
bool ReadLine(std::FILE* in, std::string* line) {
    line->clear();
    for (;;) {
        const int c = std::fgetc(in);
        if (c == EOF) {
            return !line->empty();
        }
        if (c == '\n') {
            return true;
        }
        *line += static_cast<char>(c);
    }
}

// The choice that `answer` names, or nullptr.
const DialogChoice* Match(const std::string& answer, const std::vector<DialogChoice>& choices) {
    if (answer.size() == 1 && std::isalpha(static_cast<unsigned char>(answer[0]))) {
        const char key = static_cast<char>(std::tolower(static_cast<unsigned char>(answer[0])));
        for (const DialogChoice& choice : choices) {
            if (KeyOf(choice.label) == key || Lower(choice.extraKeys).find(key) != std::string::npos) {
                return &choice;
            }
        }
    }
    bool digits = !answer.empty() && answer.size() <= 4;
    for (char c : answer) {
        digits = digits && std::isdigit(static_cast<unsigned char>(c));
    }
    if (digits) {
        const size_t number = static_cast<size_t>(std::atoi(answer.c_str()));
        return number >= 1 && number <= choices.size() ? &choices[number - 1] : nullptr;
    }
    for (const DialogChoice& choice : choices) {
        if (Lower(PlainLabel(choice.label)) == Lower(answer)) {
            return &choice;
        }
    }
    return nullptr;
}

}  // namespace

bool IsInteractiveTerminal() {
    return isatty(STDIN_FILENO) == 1 && isatty(STDERR_FILENO) == 1;
}

bool IsStderrTerminal() {
    return isatty(STDERR_FILENO) == 1;
}

std::string DialogLabelText(const std::string& label) {
    std::string shown;
    bool keyShown = false;
    for (size_t i = 0; i < label.size(); ++i) {
        if (label[i] == '&' && i + 1 < label.size()) {
            ++i;
            if (label[i] != '&' && !keyShown) {
                shown += '[';
                shown += label[i];
                shown += ']';
                keyShown = true;
                continue;
            }
        }
        shown += label[i];
    }
    return shown;
}

int ShowDialog(const std::string& title, const std::string& body, const std::vector<DialogChoice>& choices,
               int defaultId, const std::string& copyText) {
    return ShowDialog(title, body, choices, defaultId, copyText, stdin, stderr);
}

int ShowDialog(const std::string& title, const std::string& body, const std::vector<DialogChoice>& choices,
               int defaultId, const std::string& copyText, std::FILE* in, std::FILE* out) {
    std::fprintf(out, "\n== %s ==\n%s\n", title.c_str(), body.c_str());
    std::string prompt;
    std::string defaultLabel;
    for (size_t i = 0; i < choices.size(); ++i) {
        prompt += "  " + std::to_string(i + 1) + ") " + DialogLabelText(choices[i].label);
        if (defaultId != 0 && choices[i].id == defaultId && defaultLabel.empty()) {
            defaultLabel = PlainLabel(choices[i].label);
        }
    }
    if (!copyText.empty()) {
        prompt += "  (\"copy\" prints the report)";
    }
    for (;;) {
        std::fprintf(out, "%s\n> ", prompt.c_str());
        if (!defaultLabel.empty()) {
            std::fprintf(out, "[%s] ", defaultLabel.c_str());
        }
        std::fflush(out);
        std::string line;
        if (!ReadLine(in, &line)) {
            std::fputc('\n', out);
            return 0;
        }
        const std::string answer = Trim(line);
        if (answer.empty() && defaultId != 0) {
            return defaultId;
        }
        if (!copyText.empty() && Lower(answer) == "copy") {
            std::fprintf(out, "%s\n", copyText.c_str());
            continue;
        }
        if (const DialogChoice* chosen = Match(answer, choices)) {
            return chosen->id;
        }
        if (!answer.empty()) {
            std::fprintf(out, "Unknown answer \"%s\".\n", answer.c_str());
        }
    }
}

namespace {
std::mutex& StatusLineMutex() {
    static std::mutex s_mutex;
    return s_mutex;
}
}  // namespace

void StatusLine::WriteAbove(std::FILE* stream, const char* text, size_t size) {
    std::lock_guard<std::mutex> lock(StatusLineMutex());
    const bool aside = m_terminal && m_shown;
    if (aside) {
        std::fputs("\r\x1b[K", Out());
        std::fflush(Out());
    }
    std::fwrite(text, 1, size, stream);
    std::fflush(stream);
    if (aside) {
        std::fprintf(Out(), "\r%s\x1b[K", m_last.c_str());
        std::fflush(Out());
    }
}

void StatusLine::Set(const std::string& text) {
    std::lock_guard<std::mutex> lock(StatusLineMutex());
    if (m_terminal) {
        if (text.empty() && !m_shown) {
            return;
        }
        std::fprintf(Out(), "\r%s\x1b[K", text.c_str());
        m_shown = !text.empty();
    } else if (!text.empty() && text != m_last) {
        std::fprintf(Out(), "%s\n", text.c_str());
    }
    m_last = text;
    std::fflush(Out());
}

namespace {
StatusLine& ProcessStatusLine() {
    static StatusLine s_line(nullptr, IsStderrTerminal());
    return s_line;
}
}  // namespace

void SetStatusLine(const std::string& text) {
    ProcessStatusLine().Set(text);
}

void WriteAboveStatusLine(std::FILE* stream, const char* text, size_t size) {
    ProcessStatusLine().WriteAbove(stream, text, size);
}

}  // namespace PLT
