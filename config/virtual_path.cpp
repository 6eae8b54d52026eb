#include "config/virtual_path.h"

#include <vector>

namespace {

constexpr const char* kLocationValue = "Location";
constexpr const char* kACLSubkey = "ACL";
constexpr const char* kCGIExtSubkey = "CGIExt";

} // namespace

CVirtualPath::CVirtualPath(const CVirtualPath& other) : Location(other.Location), ACL(other.ACL), CGIExt(other.CGIExt)
{
}

CVirtualPath& CVirtualPath::operator=(const CVirtualPath& other)
{
    Location = other.Location;
    ACL = other.ACL;
    CGIExt = other.CGIExt;
    return *this;
}

bool CVirtualPath::Load(const platform::RegistryKey& paths, std::string_view name)
{
    Location.clear();
    ACL = CRegAccessList();
    CGIExt = CCGIMappingMap();
    platform::RegistryKey key;
    {
        platform::RegistrySnapshot snapshot;
        if (paths.Open(name, key) != platform::kErrorSuccess)
            return false;
        RegQueryString(key, kLocationValue, Location);
    }
    // Outside the snapshot: the lists create their keys when missing, and
    // each reads its own key in one committed state.
    ACL.Load(key, kACLSubkey);
    CGIExt.LoadFromKey(key, kCGIExtSubkey);
    if (!Location.empty() && (Location.back() == '/' || Location.back() == '\\'))
        Location.pop_back();
    return true;
}

CVirtualPathMap::CVirtualPathMap(const CVirtualPathMap& other) : CRegistryMap<CVirtualPath>()
{
    *this = other;
}

CVirtualPathMap& CVirtualPathMap::operator=(const CVirtualPathMap& other)
{
    AssignFrom(other, {});
    return *this;
}

void CVirtualPathMap::CopyFrom(const CVirtualPathMap& other)
{
    if (&other == this)
        return;
    CEventLockHolder holdThis(m_lock);
    CEventLockHolder holdOther(other.m_lock);
    CHeapSwitch heap(m_heap);
    m_entries.clear();
    CopyEntries(other, true);
}

void CVirtualPathMap::Load()
{
    std::vector<std::string> names;
    if (m_key.IsOpen()) {
        // The set of paths from one committed state.
        platform::RegistrySnapshot snapshot;
        std::string name;
        for (std::uint32_t index = 0; m_key.EnumKey(index, name) == platform::kErrorSuccess; ++index)
            names.push_back(name);
    }
    Entries fresh;
    for (const std::string& name : names) {
        CVirtualPath path;
        if (path.Load(m_key, name))
            fresh.insert_or_assign(LowerCaseString(name), path);
    }
    m_entries.swap(fresh);
}

bool CVirtualPathMap::Save(const platform::RegistryKey& parent, std::string_view name) const
{
    Entries paths;
    {
        CEventLockHolder hold(m_lock);
        paths = m_entries;
    }
    platform::RegistryTransaction transaction;
    platform::RegistryKey key;
    if (parent.Create(name, key) != platform::kErrorSuccess)
        return false;
    RegDeleteAllValues(key);
    DeleteStaleSubkeys(key, paths);
    for (const auto& [pathName, path] : paths) {
        platform::RegistryKey pathKey;
        if (key.Create(pathName, pathKey) != platform::kErrorSuccess)
            continue;
        RegDeleteAllValues(pathKey);
        RegSetString(pathKey, kLocationValue, path.Location);
        path.ACL.Save(pathKey, kACLSubkey);
        CCGIMappingMap::WriteTable(pathKey, kCGIExtSubkey, path.CGIExt.CopyOfEntries());
    }
    return transaction.Commit() == platform::kErrorSuccess;
}
