#include "platform/library.h"

#include <dlfcn.h>

namespace platform {

bool Library::Open(const std::string& path, std::string* error)
{
    Close();
    m_handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (m_handle == nullptr && error != nullptr) {
        const char* text = ::dlerror();
        *error = text ? text : "";
    }
    return m_handle != nullptr;
}

void* Library::Symbol(const char* name) const { return m_handle ? ::dlsym(m_handle, name) : nullptr; }

void Library::Close()
{
    if (m_handle != nullptr)
        ::dlclose(m_handle);
    m_handle = nullptr;
}

} // namespace platform
