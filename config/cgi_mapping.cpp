#include "config/cgi_mapping.h"

namespace {

constexpr const char* kCommandLineValue = "CommandLine";
constexpr const char* kWorkingDirValue = "WorkingDir";
constexpr const char* kExecCGIValue = "ExecCGI";
constexpr const char* kCGIProtocolValue = "CGIProtocol";
constexpr const char* kWinCGIValue = "WinCGI";

} // namespace

bool CCGIMapping::Load(const platform::RegistryKey& cgiExt, std::string_view extension)
{
    *this = CCGIMapping();
    platform::RegistryKey key;
    if (cgiExt.Open(extension, key) != platform::kErrorSuccess)
        return false;
    RegQueryString(key, kCommandLineValue, CommandLine);
    RegQueryString(key, kWorkingDirValue, WorkingDir);
    RegQueryDword(key, kExecCGIValue, ExecCGI);
    std::uint32_t winCGI = 0;
    if (RegQueryDword(key, kWinCGIValue, winCGI) == platform::kErrorSuccess)
        CGIProtocol = winCGI ? kCGIProtocolWinCGI : kCGIProtocolCGI;
    else
        RegQueryDword(key, kCGIProtocolValue, CGIProtocol);
    return true;
}

void CCGIMapping::Save(const platform::RegistryKey& key) const
{
    RegDeleteAllValues(key);
    RegSetString(key, kCommandLineValue, CommandLine);
    RegSetString(key, kWorkingDirValue, WorkingDir);
    key.SetDword(kExecCGIValue, ExecCGI);
    key.SetDword(kCGIProtocolValue, CGIProtocol);
}

CCGIMappingMap::CCGIMappingMap(const CCGIMappingMap& other) : CRegistryMap<CCGIMapping>()
{
    *this = other;
}

CCGIMappingMap& CCGIMappingMap::operator=(const CCGIMappingMap& other)
{
    AssignFrom(other, {});
    return *this;
}

void CCGIMappingMap::Load()
{
    if (!m_key.IsOpen())
        return;
    // Rebuilt, not merged: a mapping deleted from the registry must stop
    // running at the next reload.
    Entries fresh;
    {
        platform::RegistrySnapshot snapshot;
        std::string name;
        CCGIMapping mapping;
        for (std::uint32_t index = 0; m_key.EnumKey(index, name) == platform::kErrorSuccess; ++index) {
            if (mapping.Load(m_key, name))
                fresh.insert_or_assign(LowerCaseString(name), mapping);
        }
    }
    m_entries.swap(fresh);
}

bool CCGIMappingMap::WriteTable(const platform::RegistryKey& parent, std::string_view name,
                                const Entries& mappings)
{
    platform::RegistryTransaction transaction;
    platform::RegistryKey key;
    if (parent.Create(name, key) != platform::kErrorSuccess)
        return false;
    RegDeleteAllValues(key);
    DeleteStaleSubkeys(key, mappings);
    for (const auto& [extension, mapping] : mappings) {
        platform::RegistryKey mappingKey;
        if (key.Create(extension, mappingKey) == platform::kErrorSuccess)
            mapping.Save(mappingKey);
    }
    return transaction.Commit() == platform::kErrorSuccess;
}

bool CCGIMappingMap::Save(const platform::RegistryKey& parent, std::string_view name) const
{
    return WriteTable(parent, name, CopyOfEntries());
}

CCGIMappingMap::Entries CCGIMappingMap::CopyOfEntries() const
{
    CEventLockHolder hold(m_lock);
    return m_entries;
}
