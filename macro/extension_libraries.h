#pragma once
// KAV extension libraries: shared objects listed under
// Software\Tessaline\KAVExtensions (value name = the library's path), each
// exporting a KAVExtensions record whose macros join the global scope. The
// libraries are loaded at engine start and unloaded at engine stop, when
// their macros leave the global scope with them.

#include "macro/kav_extensions.h"
#include "macro/macro.h"

#include <string>

class CMacroContext;

inline constexpr const char* kExtensionsKeyPath = "Software\\Tessaline\\KAVExtensions";

// A library macro: calls the handler with wrappers the server lends.
class CLibraryMacro : public CMacro {
public:
    explicit CLibraryMacro(KAVMacroHandler handler) : m_handler(handler) {}
    void Evaluate(CMacroContext* scope, CTextBuffer* out, const char** argv, int argc) override;

private:
    KAVMacroHandler m_handler;
};

// A macro a library added at run time through AddMacro.
class CExtensionMacro : public CMacro {
public:
    CExtensionMacro(KAVExtensionFunction function, void* userData) : m_function(function), m_userData(userData) {}
    void Evaluate(CMacroContext* scope, CTextBuffer* out, const char** argv, int argc) override;

private:
    KAVExtensionFunction m_function;
    void* m_userData;
};

KAVServiceTable* ExtensionServiceTable();
// Wrappers the server lends for one call (Release on them does nothing).
CExtMacroTable LendMacroTable(CMacroContext* scope);
CExtStringBuffer LendStringBuffer(CTextBuffer* buffer);

void LoadExtensionLibraries(CMacroContext& global);
// Unloads every library after removing its macros from the global scope.
void UnloadExtensionLibraries();
// How many libraries are loaded.
std::size_t LoadedExtensionLibraries();
