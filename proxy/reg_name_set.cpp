#include "proxy/reg_name_set.h"

#include "config/last_mod_stamp.h"
#include "config/registry_helpers.h"
#include "framework/text_util.h"
#include "framework/thread_data.h"

CRegNameSet::CRegNameSet() : m_heap(GetThreadHeap()) {}

CRegNameSet::CRegNameSet(const CRegNameSet& other) : m_heap(GetThreadHeap()) { *this = other; }

CRegNameSet& CRegNameSet::operator=(const CRegNameSet& other)
{
    if (this == &other)
        return *this;
    CEventLockHolder holdThis(m_lock);
    CEventLockHolder holdOther(other.m_lock);
    m_heap = GetThreadHeap();
    m_entries = other.m_entries;
    m_key.Close();
    if (other.m_key.IsOpen())
        other.m_key.Duplicate(m_key);
    m_loadTick = other.m_loadTick;
    return *this;
}

CRegNameSet::~CRegNameSet() = default;

bool CRegNameSet::Open(const platform::RegistryKey& parent, std::string_view name)
{
    platform::RegistryKey key;
    bool opened = parent.Create(name, key) == platform::kErrorSuccess;
    CEventLockHolder hold(m_lock);
    m_key = std::move(key);
    if (opened)
        LoadLocked();
    return opened;
}

void CRegNameSet::Load()
{
    CEventLockHolder hold(m_lock);
    LoadLocked();
}

void CRegNameSet::LoadLocked()
{
    std::uint64_t tick = GlobalLastModStamp().LoadTick();
    CHeapSwitch heap(m_heap);
    std::vector<std::string> fresh;
    if (m_key.IsOpen()) {
        platform::RegistrySnapshot snapshot;
        std::string name;
        std::string text;
        for (std::uint32_t index = 0; RegEnumValueString(m_key, index, name, text) == platform::kErrorSuccess;
             ++index)
            fresh.push_back(LowerCaseString(text));
    }
    m_entries.swap(fresh);
    m_loadTick = tick;
}

void CRegNameSet::CheckRefresh()
{
    if (m_loadTick < GlobalLastModStamp().GetChangeTick())
        LoadLocked();
}

int CRegNameSet::Contains(std::string_view text)
{
    std::string lower = LowerCaseString(text);
    CEventLockHolder hold(m_lock);
    if (m_key.IsOpen())
        CheckRefresh();
    for (std::size_t at = 0; at < m_entries.size(); ++at) {
        if (WildcardMatch(lower, m_entries[at]))
            return static_cast<int>(at) + 1;
    }
    return 0;
}

bool CRegNameSet::Save(const platform::RegistryKey& parent, std::string_view name) const
{
    std::vector<std::string> entries = GetEntries();
    platform::RegistryTransaction transaction;
    platform::RegistryKey key;
    if (parent.Create(name, key) != platform::kErrorSuccess)
        return false;
    RegDeleteAllValues(key);
    for (std::size_t at = 0; at < entries.size(); ++at)
        RegSetString(key, std::to_string(at), entries[at]);
    return transaction.Commit() == platform::kErrorSuccess;
}

std::vector<std::string> CRegNameSet::GetEntries() const
{
    CEventLockHolder hold(m_lock);
    return m_entries;
}

void CRegNameSet::Add(std::string_view mask)
{
    CEventLockHolder hold(m_lock);
    CHeapSwitch heap(m_heap);
    m_entries.push_back(LowerCaseString(mask));
}

void CRegNameSet::RemoveAll()
{
    CEventLockHolder hold(m_lock);
    m_entries.clear();
}
