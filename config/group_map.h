#pragma once
// CGroupMap: the groups an access line may name, mirrored from a registry
// key: lower-cased group name -> a CUserMap of its members, plus the member
// macro, which may decide membership for every group of the map. A
// membership this map cannot confirm is asked of its parent map.
//
// Registry form under the key (Groups, or Guests below HTTP and ChatRoom):
// the REG_SZ value MemberMacro and one subkey per group, holding the user
// table form of user_map.h (member values with empty data, Macro\Authenticate
// = the group's own macro).
//
// Macros (the group's own and the member macro) run with no lock held, so a
// macro may itself ask this map or an access list about membership.

#include "config/user_map.h"

#include <string>
#include <string_view>

class CGroupMap : public CRegistryMap<CUserMap> {
public:
    CGroupMap() = default;
    CGroupMap(const CGroupMap& other);
    CGroupMap& operator=(const CGroupMap& other);
    void Assign(const CGroupMap& other) { *this = other; }

    // Reads every subkey of the held key as a group (names folded; a later
    // duplicate wins; a subkey that cannot be opened is a group without
    // members), then MemberMacro (trimmed; kept as it was when missing).
    void Load() override;

    // Rewrites parent\name in one transaction: values deleted, subkeys of
    // groups no longer in the map deleted with their subtrees, each group
    // written, MemberMacro written. The caller touches the change stamp.
    bool Save(const platform::RegistryKey& parent, std::string_view name) const;

    // True when user is a member of group: the group (looked up exactly:
    // pass the lower-case name) holds user in any case with empty data, or
    // the group's own macro (username = user, password empty) accepts, or
    // the member macro (username, group as given) accepts; else the parent
    // decides. macroError receives the error of a macro that failed.
    bool IsMember(std::string_view user, std::string_view group, CMacroScope* scope,
                  std::string* macroError = nullptr);
    bool HasMemberMacro();

    std::string GetMemberMacro() const;
    void SetMemberMacro(std::string_view text);

    void SetParent(CGroupMap* parent) { SetParentMap(parent); }
    CGroupMap* GetParent() const { return static_cast<CGroupMap*>(GetParentMap()); }

private:
    std::string m_memberMacro;
};
