#include "platform/OutputCapture.h"

#include <utility>

namespace PLT {

StdoutCapture::StdoutCapture(Sink sink) : m_Sink(std::move(sink)) {
    std::fflush(stdout);
    cookie_io_functions_t functions{};
    functions.write = &StdoutCapture::Write;
    m_Stream = fopencookie(this, "w", functions);
    if (m_Stream == nullptr)
        return;
    // Line by line, so that a sink that forwards keeps the order with stderr.
    setvbuf(m_Stream, nullptr, _IOLBF, 0);
    m_Previous = stdout;
    // The C library's stdout is an ordinary variable that may be set.
    stdout = m_Stream;
}

StdoutCapture::~StdoutCapture() {
    if (m_Stream == nullptr)
        return;
    std::fflush(m_Stream);
    stdout = m_Previous;
    std::fclose(m_Stream);
}

void StdoutCapture::Forward(std::string_view text) const {
    FILE* out = m_Previous != nullptr ? m_Previous : stdout;
    std::fwrite(text.data(), 1, text.size(), out);
    std::fflush(out);
}

ssize_t StdoutCapture::Write(void* cookie, const char* data, size_t size) {
    auto* self = static_cast<StdoutCapture*>(cookie);
    if (self->m_Sink)
        self->m_Sink(std::string_view(data, size));
    return static_cast<ssize_t>(size);
}

}  // namespace PLT
