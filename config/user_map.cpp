#include "config/user_map.h"

#include "config/macro_verdict.h"
#include "config/registry_helpers.h"
#include "framework/text_util.h"

namespace {

constexpr const char* kMacroSubkey = "Macro";
constexpr const char* kAuthenticateValue = "Authenticate";

} // namespace

std::string TrimMacroText(std::string_view text)
{
    constexpr std::string_view kBlanks = " \t\r\n";
    std::size_t begin = text.find_first_not_of(kBlanks);
    if (begin == std::string_view::npos)
        return {};
    std::size_t end = text.find_last_not_of(kBlanks);
    return std::string(text.substr(begin, end - begin + 1));
}

CUserMap::CUserMap(const CUserMap& other) : CRegistryMap<std::string>()
{
    *this = other;
}

CUserMap& CUserMap::operator=(const CUserMap& other)
{
    AssignFrom(other, [&] { m_authenticate = other.m_authenticate; });
    return *this;
}

void CUserMap::Load()
{
    Entries fresh;
    if (m_key.IsOpen()) {
        // One committed state: a save running in another process is seen
        // whole or not at all.
        platform::RegistrySnapshot snapshot;
        std::string name;
        std::string password;
        for (std::uint32_t index = 0; RegEnumValueString(m_key, index, name, password) == platform::kErrorSuccess;
             ++index)
            fresh.insert_or_assign(LowerCaseString(name), password);
        platform::RegistryKey macroKey;
        std::string text;
        if (m_key.Open(kMacroSubkey, macroKey) == platform::kErrorSuccess &&
            RegQueryString(macroKey, kAuthenticateValue, text) == platform::kErrorSuccess)
            m_authenticate = TrimMacroText(text);
    }
    m_entries.swap(fresh);
}

bool CUserMap::WriteTable(const platform::RegistryKey& parent, std::string_view name, const Entries& users,
                          std::string_view authenticate)
{
    platform::RegistryTransaction transaction;
    platform::RegistryKey key;
    if (parent.Create(name, key) != platform::kErrorSuccess)
        return false;
    RegDeleteAllValues(key);
    for (const auto& [user, password] : users)
        RegSetString(key, user, password);
    key.DeleteTree(kMacroSubkey);
    platform::RegistryKey macroKey;
    if (key.Create(kMacroSubkey, macroKey) == platform::kErrorSuccess)
        RegSetString(macroKey, kAuthenticateValue, authenticate);
    return transaction.Commit() == platform::kErrorSuccess;
}

bool CUserMap::Save(const platform::RegistryKey& parent, std::string_view name) const
{
    Entries users;
    std::string authenticate;
    {
        CEventLockHolder hold(m_lock);
        users = m_entries;
        authenticate = m_authenticate;
    }
    return WriteTable(parent, name, users, authenticate);
}

bool CUserMap::CheckPassword(std::string_view user, std::string_view password, CMacroScope* scope,
                             std::string* macroError)
{
    const std::string lowerUser = LowerCaseString(user);
    const std::string givenUser(user);
    const std::string givenPassword(password);
    CUserMap* map = this;
    for (int depth = 0; map && depth < kMaxMapChainDepth; ++depth) {
        std::string macro;
        CUserMap* parent;
        {
            CEventLockHolder hold(map->m_lock);
            map->CheckRefresh();
            auto found = map->m_entries.find(lowerUser);
            if (found != map->m_entries.end() && found->second == password)
                return true;
            macro = map->m_authenticate;
            parent = static_cast<CUserMap*>(map->m_parent);
        }
        if (!macro.empty() && scope) {
            const CMacroScope::Constant constants[] = {
                {"username", givenUser.c_str()},
                {"password", givenPassword.c_str()},
            };
            if (MacroAccepts(scope, macro, constants, macroError))
                return true;
        }
        map = parent;
    }
    return false;
}

bool CUserMap::HasAuthenticateMacro()
{
    CUserMap* map = this;
    for (int depth = 0; map && depth < kMaxMapChainDepth; ++depth) {
        CEventLockHolder hold(map->m_lock);
        map->CheckRefresh();
        if (!map->m_authenticate.empty())
            return true;
        map = static_cast<CUserMap*>(map->m_parent);
    }
    return false;
}

std::string CUserMap::GetAuthenticateMacro() const
{
    CEventLockHolder hold(m_lock);
    return m_authenticate;
}

void CUserMap::SetAuthenticateMacro(std::string_view text)
{
    CEventLockHolder hold(m_lock);
    CHeapSwitch heap(m_heap);
    m_authenticate = TrimMacroText(text);
}
