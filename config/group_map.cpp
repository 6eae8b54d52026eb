#include "config/group_map.h"

#include "config/macro_verdict.h"
#include "config/registry_helpers.h"
#include "framework/text_util.h"

#include <set>
#include <vector>

namespace {

constexpr const char* kMemberMacroValue = "MemberMacro";

} // namespace

CGroupMap::CGroupMap(const CGroupMap& other) : CRegistryMap<CUserMap>()
{
    *this = other;
}

CGroupMap& CGroupMap::operator=(const CGroupMap& other)
{
    AssignFrom(other, [&] { m_memberMacro = other.m_memberMacro; });
    return *this;
}

void CGroupMap::Load()
{
    Entries fresh;
    if (m_key.IsOpen()) {
        platform::RegistrySnapshot snapshot;
        std::uint64_t tick = GlobalLastModStamp().LoadTick();
        std::string name;
        for (std::uint32_t index = 0; m_key.EnumKey(index, name) == platform::kErrorSuccess; ++index) {
            std::string group = LowerCaseString(name);
            fresh.erase(group);
            CUserMap& members = fresh[group];
            platform::RegistryKey key;
            if (m_key.Open(name, key) == platform::kErrorSuccess) {
                // The member map is not shared yet: no lock needed.
                members.m_key = std::move(key);
                members.Load();
            }
            members.SetLoadTick(tick);
        }
        std::string text;
        if (RegQueryString(m_key, kMemberMacroValue, text) == platform::kErrorSuccess)
            m_memberMacro = TrimMacroText(text);
    }
    m_entries.swap(fresh);
}

bool CGroupMap::Save(const platform::RegistryKey& parent, std::string_view name) const
{
    struct Group {
        std::string name;
        CUserMap::Entries members;
        std::string authenticate;
    };
    std::vector<Group> groups;
    std::string memberMacro;
    {
        CEventLockHolder hold(m_lock);
        for (const auto& [group, members] : m_entries)
            groups.push_back({group, members.m_entries, members.m_authenticate});
        memberMacro = m_memberMacro;
    }
    platform::RegistryTransaction transaction;
    platform::RegistryKey key;
    if (parent.Create(name, key) != platform::kErrorSuccess)
        return false;
    RegDeleteAllValues(key);
    std::set<std::string> kept;
    for (const Group& group : groups)
        kept.insert(group.name);
    DeleteStaleSubkeys(key, kept);
    for (const Group& group : groups)
        CUserMap::WriteTable(key, group.name, group.members, group.authenticate);
    RegSetString(key, kMemberMacroValue, memberMacro);
    return transaction.Commit() == platform::kErrorSuccess;
}

bool CGroupMap::IsMember(std::string_view user, std::string_view group, CMacroScope* scope, std::string* macroError)
{
    const std::string lowerUser = LowerCaseString(user);
    const std::string givenUser(user);
    const std::string givenGroup(group);
    CGroupMap* map = this;
    for (int depth = 0; map && depth < kMaxMapChainDepth; ++depth) {
        std::string groupMacro;
        std::string memberMacro;
        CGroupMap* parent;
        {
            CEventLockHolder hold(map->m_lock);
            map->CheckRefresh();
            auto found = map->m_entries.find(group);
            if (found != map->m_entries.end()) {
                const CUserMap& members = found->second;
                auto member = members.m_entries.find(lowerUser);
                if (member != members.m_entries.end() && member->second.empty())
                    return true;
                groupMacro = members.m_authenticate;
            }
            memberMacro = map->m_memberMacro;
            parent = static_cast<CGroupMap*>(map->m_parent);
        }
        if (scope && !groupMacro.empty()) {
            const CMacroScope::Constant constants[] = {
                {"username", givenUser.c_str()},
                {"password", ""},
            };
            if (MacroAccepts(scope, groupMacro, constants, macroError))
                return true;
        }
        if (scope && !memberMacro.empty()) {
            const CMacroScope::Constant constants[] = {
                {"username", givenUser.c_str()},
                {"group", givenGroup.c_str()},
            };
            if (MacroAccepts(scope, memberMacro, constants, macroError))
                return true;
        }
        map = parent;
    }
    return false;
}

bool CGroupMap::HasMemberMacro()
{
    CGroupMap* map = this;
    for (int depth = 0; map && depth < kMaxMapChainDepth; ++depth) {
        CEventLockHolder hold(map->m_lock);
        map->CheckRefresh();
        if (!map->m_memberMacro.empty())
            return true;
        map = static_cast<CGroupMap*>(map->m_parent);
    }
    return false;
}

std::string CGroupMap::GetMemberMacro() const
{
    CEventLockHolder hold(m_lock);
    return m_memberMacro;
}

void CGroupMap::SetMemberMacro(std::string_view text)
{
    CEventLockHolder hold(m_lock);
    CHeapSwitch heap(m_heap);
    m_memberMacro = TrimMacroText(text);
}
