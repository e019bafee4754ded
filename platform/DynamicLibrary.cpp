#include "platform/DynamicLibrary.h"

#include <dlfcn.h>

namespace PLT {

bool DynamicLibrary::Open(const std::string& path) {
    Close();
    m_error.clear();
    m_handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (m_handle == nullptr) {
        const char* text = dlerror();
        m_error = text != nullptr ? text : "cannot load " + path;
        return false;
    }
    return true;
}

void* DynamicLibrary::Symbol(const char* name) const {
    if (m_handle == nullptr || name == nullptr) {
        return nullptr;
    }
    dlerror();  // clear an older message so that a failure below is ours
    void* symbol = dlsym(m_handle, name);
    if (symbol == nullptr) {
        const char* text = dlerror();
        m_error = text != nullptr ? text : std::string("symbol not found: ") + name;
    }
    return symbol;
}

void DynamicLibrary::Close() {
    if (m_handle != nullptr) {
        dlclose(m_handle);
        m_handle = nullptr;
    }
}

}  // namespace PLT
