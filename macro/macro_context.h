#pragma once
// CMacroContext: a macro scope. It maps lower-case names to macro objects and
// chains to a parent scope; lookups continue outward, and each leading ':' of
// a name starts the search one scope further out. The expander
// (CMacroContext::Expand) lives in expander.cpp.
//
// Scopes have no lock: a request's scopes belong to one thread, and the
// shared scopes are filled before servers run and read-only afterwards.

#include "config/macro_scope.h"
#include "macro/macro_map.h"

#include <concepts>
#include <memory>
#include <string_view>

class CMacro;
class CTextBuffer;

class CMacroContext : public CMacroScope {
public:
    explicit CMacroContext(CMacroContext* parent = nullptr);
    ~CMacroContext() override;

    CMacroContext(const CMacroContext&) = delete;
    CMacroContext& operator=(const CMacroContext&) = delete;

    CMacroContext* GetParent() const { return m_parent; }
    CMacroMap& GetMacros() { return m_macros; }
    const CMacroMap& GetMacros() const { return m_macros; }

    // A read-only scope refuses every change. Its map must not be edited
    // directly while expansions may run either: its macros are called
    // without taking a reference.
    bool IsReadOnly() const { return m_readOnly; }
    void SetReadOnly(bool readOnly) { m_readOnly = readOnly; }

    // Removes name (deleting its object unless that object is still running),
    // then stores macro under it when macro is not null; returns 1.
    // On a read-only scope returns 0 and leaves macro with the caller, whose
    // unique_ptr then deletes it as usual; the object is moved from only
    // when 1 is returned. name is used exactly as given.
    int Register(std::string_view name, std::unique_ptr<CMacro>&& macro);
    // The same for a pointer to a derived kind, converted only once the
    // scope has accepted it, so a refused object really stays with the caller.
    template <typename Kind>
        requires(std::derived_from<Kind, CMacro> && !std::same_as<Kind, CMacro>)
    int Register(std::string_view name, std::unique_ptr<Kind>&& macro)
    {
        if (m_readOnly)
            return 0;
        return Register(name, std::unique_ptr<CMacro>(std::move(macro)));
    }

    // The macro that name denotes from this scope (':' rule included) and,
    // when holder is given, the scope holding it; null for none. The pointer
    // is only good until the holding scope changes.
    CMacro* FindMacro(std::string_view name, CMacroContext** holder = nullptr);
    CMacro* FindMacro(const char* name, CMacroContext** holder = nullptr);

    // Looks name (already lower case) up and evaluates it with caller (this
    // scope when null); returns 0, appending nothing, when name is unknown.
    int CallMacro(CTextBuffer* out, std::string_view name, const char** argv, int argc, CMacroContext* caller = nullptr);
    int CallMacro(CTextBuffer* out, const char* name, const char** argv, int argc, CMacroContext* caller = nullptr);

    // Appends the expansion of the first length bytes of text to out.
    // Throws CMacroException when expansions nest deeper than kMaxExpandDepth
    // (expander.h); exceptions of macros pass through, with the output so far
    // left in out.
    void Expand(CTextBuffer* out, const char* text, int length);
    void Expand(CTextBuffer* out, std::string_view text);

    void ExpandNested(CTextBuffer* out, std::string_view text, std::span<const Constant> constants) override;

private:
    CMacroContext* m_parent;
    CMacroMap m_macros;
    bool m_readOnly = false;
};
