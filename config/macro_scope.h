#pragma once
// How the configuration store expands macro texts (the Authenticate and member
// macros of users and groups) and keeps a server's named strings without
// depending on the macro language's library, which sits above it: the
// language's scope class implements this, and installs a factory so that a
// configuration can make a scope of its own.

#include <memory>
#include <span>
#include <string_view>

class CTextBuffer;
struct DefaultStringRow;

namespace platform {
class RegistryKey;
}

class CMacroScope {
public:
    struct Constant {
        const char* name;  // lower case
        const char* value; // not copied; must outlive the call
    };

    virtual ~CMacroScope() = default;

    // Expands text into out inside a new nested scope whose parent is this
    // scope and which holds the given constant macros. Macro errors pass out
    // as exceptions, with the nested scope already gone.
    virtual void ExpandNested(CTextBuffer* out, std::string_view text, std::span<const Constant> constants) = 0;

    // The named strings the scope holds. A scope that keeps none (the
    // defaults below) loads nothing and saves nothing.

    // Fills the scope from the values of root\subkey, one string per value,
    // first emptying it unless keep is non-zero; 0 when the key cannot be
    // opened.
    virtual int LoadFromRegistry(const platform::RegistryKey&, std::string_view, int) { return 0; }
    // Replaces root\subkey by one value per string; 0 when it cannot be created.
    virtual int SaveToRegistry(const platform::RegistryKey&, std::string_view) { return 0; }
    // Adds the default text of every row (a table ended by a null name),
    // first emptying the scope unless keep is non-zero.
    virtual void LoadDefaultStrings(const DefaultStringRow*, int) {}
    // Becomes a copy of other: its parent, its strings (as texts) and its
    // read-only flag.
    virtual void CopyStringsFrom(const CMacroScope&) {}
    virtual CMacroScope* GetParentScope() const { return nullptr; }
    // A parent the implementation cannot chain to is taken as none.
    virtual void SetParentScope(CMacroScope*) {}
    virtual bool IsReadOnly() const { return false; }
    virtual void SetReadOnly(bool) {}
};

// What makes the scopes of configurations. The macro library installs it
// (InitMacroLibrary, macro/named_strings.h); engine start and tests call
// that explicitly. Without a factory CreateMacroScope answers null and a
// configuration keeps no named strings, loading and saving everything else.
using MacroScopeFactory = std::unique_ptr<CMacroScope> (*)();
void SetMacroScopeFactory(MacroScopeFactory factory);
std::unique_ptr<CMacroScope> CreateMacroScope();
