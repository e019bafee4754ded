// Dynamic libraries (dlopen). Not copyable; the library is closed on destruction.
#pragma once

#include <string>

namespace PLT {

class DynamicLibrary {
public:
    DynamicLibrary() = default;
    ~DynamicLibrary() { Close(); }
    DynamicLibrary(const DynamicLibrary&) = delete;
    DynamicLibrary& operator=(const DynamicLibrary&) = delete;

    // RTLD_NOW | RTLD_LOCAL; closes a library already open first. False with
    // Error() set (dlerror's text) on failure.
    bool Open(const std::string& path);
    // nullptr with Error() set when the library lacks `name`.
    void* Symbol(const char* name) const;
    void Close();
    bool IsOpen() const { return m_handle != nullptr; }
    const std::string& Error() const { return m_error; }

private:
    void* m_handle = nullptr;
    mutable std::string m_error;
};

}  // namespace PLT
