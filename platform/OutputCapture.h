// What the process writes to standard output through C stdio (printf,
// fwrite(stdout), by this program or by a library it loaded, such as the
// plug-in's message lines) handed to a function instead, while the object
// lives.
//
// Only the C stream `stdout` is swapped: C++ streams (std::cout) keep writing
// where they wrote, and so does anything that writes to descriptor 1 directly.
// The sink is called on the writing thread, with text in the order written,
// possibly cut anywhere (not per line); Forward writes to the standard output
// the process had before. Captures nest (the inner one sees the writes while it
// lives); they must end in reverse order. Host thread only: another thread
// writing to stdout while a capture begins or ends is a race.
#pragma once

#include <cstdio>
#include <functional>
#include <string_view>

namespace PLT {

class StdoutCapture {
public:
    using Sink = std::function<void(std::string_view text)>;

    // Flushes stdout, then sends what follows to `sink`. When the C library
    // cannot make the stream, nothing is captured (bActive() false).
    explicit StdoutCapture(Sink sink);
    // Flushes what is pending to the sink and puts the old stream back.
    ~StdoutCapture();
    StdoutCapture(const StdoutCapture&) = delete;
    StdoutCapture& operator=(const StdoutCapture&) = delete;

    bool bActive() const { return m_Stream != nullptr; }
    // Writes `text` to the standard output that was in place before.
    void Forward(std::string_view text) const;

private:
    static ssize_t Write(void* cookie, const char* data, size_t size);

    Sink m_Sink;
    FILE* m_Previous = nullptr;
    FILE* m_Stream = nullptr;
};

}  // namespace PLT
