// What the process writes to standard output (or standard error) through C
// stdio (printf, fwrite(stdout), by this program or by a library it loaded,
// such as the plug-in's message lines) handed to a function instead, while
// the object lives.
//
// Only the C stream (`stdout` or `stderr`) is swapped: C++ streams (std::cout)
// keep writing where they wrote, and so does anything that writes to the
// descriptor directly or kept the old stream. The sink is called on the
// writing thread, with text in the order written, possibly cut anywhere (not
// per line); Forward writes to the stream the process had before. Captures
// nest (the inner one sees the writes while it lives); they must end in
// reverse order. Host thread only: another thread writing to the stream while
// a capture begins or ends is a race.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string_view>
#include <utility>

namespace PLT {

class StreamCapture {
public:
    using Sink = std::function<void(std::string_view text)>;
    enum class Target : uint8_t { eStdout, eStderr };

    // Flushes the stream, then sends what follows to `sink`. When the C
    // library cannot make the stream, nothing is captured (bActive() false).
    StreamCapture(Target target, Sink sink);
    // Flushes what is pending to the sink and puts the old stream back.
    ~StreamCapture();
    StreamCapture(const StreamCapture&) = delete;
    StreamCapture& operator=(const StreamCapture&) = delete;

    bool bActive() const { return m_Stream != nullptr; }
    // Writes `text` to the stream that was in place before.
    void Forward(std::string_view text) const;

private:
    static ssize_t Write(void* cookie, const char* data, size_t size);
    // The C library's stream variable this capture swaps.
    FILE*& Variable() const;

    Target m_Target;
    Sink m_Sink;
    FILE* m_Previous = nullptr;
    FILE* m_Stream = nullptr;
};

// Standard output, line-buffered so that a sink that forwards keeps the order with stderr.
class StdoutCapture : public StreamCapture {
public:
    explicit StdoutCapture(Sink sink) : StreamCapture(Target::eStdout, std::move(sink)) {}
};

// Standard error, unbuffered as standard error is: a prompt without a newline
// reaches the sink at once.
class StderrCapture : public StreamCapture {
public:
    explicit StderrCapture(Sink sink) : StreamCapture(Target::eStderr, std::move(sink)) {}
};

}  // namespace PLT
