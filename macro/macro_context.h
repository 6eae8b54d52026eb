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
#include <string>
#include <string_view>

class CMacro;
class CTextBuffer;
struct DefaultStringRow;

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
    bool IsReadOnly() const override { return m_readOnly; }
    void SetReadOnly(bool readOnly) override { m_readOnly = readOnly; }

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

    // Appends the expansion of the first length bytes of text to out. text
    // must not lie inside out, whose block moves when it grows.
    // Throws CMacroException when expansions nest deeper than kMaxExpandDepth
    // (expander.h); exceptions of macros pass through, with the output so far
    // left in out.
    void Expand(CTextBuffer* out, const char* text, int length);
    void Expand(CTextBuffer* out, std::string_view text);
    // Appends an argument of a macro call in progress that the macro runs as
    // a text: expanded again only when it was passed raw (written with "'"),
    // else as it is, since it was expanded before the call and may hold what
    // a client sent. Texts that are not such arguments are appended as they are.
    void ExpandArgument(CTextBuffer* out, const char* argument);
    void ExpandArgument(CTextBuffer* out, std::string_view argument);

    void ExpandNested(CTextBuffer* out, std::string_view text, std::span<const Constant> constants) override;

    // Named strings (named_strings.cpp). Names are lower-cased (ASCII A-Z
    // only) on the way in.

    // Unless keep is non-zero, empties the scope; then adds a string macro
    // per row with its default text. A read-only scope is left as it is.
    // Returns 1.
    int LoadStrings(const DefaultStringRow* rows, int keep);
    void LoadDefaultStrings(const DefaultStringRow* rows, int keep) override { LoadStrings(rows, keep); }
    int LoadFromRegistry(const platform::RegistryKey& root, std::string_view subkey, int keep) override;
    int SaveToRegistry(const platform::RegistryKey& root, std::string_view subkey) override;
    void CopyStringsFrom(const CMacroScope& other) override;
    CMacroScope* GetParentScope() const override { return m_parent; }
    void SetParentScope(CMacroScope* parent) override;
    void SetParent(CMacroContext* parent) { m_parent = parent; }

    // Editing by position, for the configuration pages. A position is the
    // 1-based place of an entry in the map's enumeration order; 0 is none.
    // Any change to the scope invalidates positions.
    using Position = int;
    static constexpr Position kNoPosition = 0;
    Position GetStartPosition() const;
    // Name and text (GetText) of the entry at position, which then moves to
    // the next entry or to none after the last. Clears both at no entry.
    void GetNextMacro(Position& position, std::string& name, std::string& text) const;
    // 1 with name and text set when position names an entry, else 0.
    int GetMacroAt(Position position, std::string& name, std::string& text) const;
    // Adds or replaces a string macro even in a read-only scope (the pages
    // edit copies that are not yet in use).
    void SetStringMacro(std::string_view name, std::string_view text);
    // Removes the entry at position, deleting its macro; false at no entry.
    bool RemoveMacro(Position position);

private:
    void ExpandOutermost(CTextBuffer* out, const char* text, int length);

    CMacroContext* m_parent;
    CMacroMap m_macros;
    bool m_readOnly = false;
};
