#include "config/string_maps.h"

#include "config/registry_helpers.h"
#include "framework/text_util.h"

CRegStringMap::CRegStringMap(const CRegStringMap& other) : CRegistryMap<std::string>()
{
    *this = other;
}

CRegStringMap& CRegStringMap::operator=(const CRegStringMap& other)
{
    AssignFrom(other, {});
    return *this;
}

void CRegStringMap::Load()
{
    Entries fresh;
    if (m_key.IsOpen()) {
        // One committed state: a save in another process is seen whole or not at all.
        platform::RegistrySnapshot snapshot;
        std::string name;
        std::string text;
        for (std::uint32_t index = 0; RegEnumValueString(m_key, index, name, text) == platform::kErrorSuccess;
             ++index)
            fresh.insert_or_assign(LowerCaseString(name), text);
    }
    m_entries.swap(fresh);
}

bool CRegStringMap::Save(const platform::RegistryKey& parent, std::string_view name) const
{
    Entries entries;
    {
        CEventLockHolder hold(m_lock);
        entries = m_entries;
    }
    platform::RegistryTransaction transaction;
    platform::RegistryKey key;
    if (parent.Create(name, key) != platform::kErrorSuccess)
        return false;
    RegDeleteAllValues(key);
    for (const auto& [keyText, valueText] : entries)
        RegSetString(key, keyText, valueText);
    return transaction.Commit() == platform::kErrorSuccess;
}
