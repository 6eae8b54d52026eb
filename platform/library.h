#pragma once
// Shared libraries loaded at run time (extension libraries).

#include <string>

namespace platform {

class Library {
public:
    Library() = default;
    ~Library() { Close(); }
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;

    // Loads path (RTLD_NOW | RTLD_LOCAL); false with the loader's text in
    // *error when given.
    bool Open(const std::string& path, std::string* error = nullptr);
    // Null when the library or the symbol is missing.
    void* Symbol(const char* name) const;
    void Close();
    bool IsOpen() const { return m_handle != nullptr; }

private:
    void* m_handle = nullptr;
};

} // namespace platform
