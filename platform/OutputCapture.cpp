#include "platform/OutputCapture.h"

#include <utility>

namespace PLT {

FILE*& StreamCapture::Variable() const {
    // The C library's stdout and stderr are ordinary variables that may be set.
    return m_Target == Target::eStdout ? stdout : stderr;
}

StreamCapture::StreamCapture(Target target, Sink sink) : m_Target(target), m_Sink(std::move(sink)) {
    std::fflush(Variable());
    cookie_io_functions_t functions{};
    functions.write = &StreamCapture::Write;
    m_Stream = fopencookie(this, "w", functions);
    if (m_Stream == nullptr)
        return;
    setvbuf(m_Stream, nullptr, m_Target == Target::eStdout ? _IOLBF : _IONBF, 0);
    m_Previous = Variable();
    Variable() = m_Stream;
}

StreamCapture::~StreamCapture() {
    if (m_Stream == nullptr)
        return;
    std::fflush(m_Stream);
    Variable() = m_Previous;
    std::fclose(m_Stream);
}

void StreamCapture::Forward(std::string_view text) const {
    FILE* out = m_Previous != nullptr ? m_Previous : Variable();
    std::fwrite(text.data(), 1, text.size(), out);
    std::fflush(out);
}

ssize_t StreamCapture::Write(void* cookie, const char* data, size_t size) {
    auto* self = static_cast<StreamCapture*>(cookie);
    if (self->m_Sink)
        self->m_Sink(std::string_view(data, size));
    return static_cast<ssize_t>(size);
}

}  // namespace PLT
