#pragma once
// CUserMap: a user table mirrored from a registry key: lower-cased user name
// -> password, plus the Authenticate macro, which lets a site decide
// authentication by a macro instead of (or besides) stored passwords. A
// name or password this map cannot confirm is asked of its parent map.
//
// Registry form under a key K: one REG_SZ value per user (name -> password)
// and the subkey K\Macro with the REG_SZ value Authenticate.
//
// User names fold only A-Z to lower case; passwords compare byte for byte.
// The macro accepts as macro_verdict.h says, and runs with no lock held.

#include "config/macro_scope.h"
#include "config/registry_map.h"

#include <string>
#include <string_view>

class CGroupMap;

class CUserMap : public CRegistryMap<std::string> {
public:
    CUserMap() = default;
    // A whole copy: entries, Authenticate text, a second key handle, load
    // tick and parent.
    CUserMap(const CUserMap& other);
    CUserMap& operator=(const CUserMap& other);
    void Assign(const CUserMap& other) { *this = other; }

    // Reads the held key: every value (name folded, later duplicates win),
    // then Macro\Authenticate (trimmed; kept as it was when missing).
    void Load() override;

    // Rewrites parent\name in one transaction: all values deleted, one per
    // user, and Macro\Authenticate written afresh. Takes the lock only to
    // copy the table first; the caller touches the change stamp.
    bool Save(const platform::RegistryKey& parent, std::string_view name) const;

    // True when the user (any case) is stored with exactly this password, or
    // when an Authenticate macro of this map or a parent accepts with
    // username (as given) and password. macroError, when given, receives the
    // error of a macro that refused by failing.
    bool CheckPassword(std::string_view user, std::string_view password, CMacroScope* scope,
                       std::string* macroError = nullptr);
    // True when this map or a parent has an Authenticate macro.
    bool HasAuthenticateMacro();

    std::string GetAuthenticateMacro() const;
    void SetAuthenticateMacro(std::string_view text);

    void SetParent(CUserMap* parent) { SetParentMap(parent); }
    CUserMap* GetParent() const { return static_cast<CUserMap*>(GetParentMap()); }

    // The registry writer behind Save, also used for a group's members.
    static bool WriteTable(const platform::RegistryKey& parent, std::string_view name, const Entries& users,
                           std::string_view authenticate);

private:
    friend class CGroupMap;

    std::string m_authenticate;
};

// Trims space, tab, CR and LF from both ends.
std::string TrimMacroText(std::string_view text);
