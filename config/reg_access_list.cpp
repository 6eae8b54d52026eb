#include "config/reg_access_list.h"

#include "config/last_mod_stamp.h"
#include "config/registry_helpers.h"

#include <string>

CRegAccessList::CRegAccessList(const CRegAccessList& other) : CAccessList(), m_heap(GetThreadHeap())
{
    CopyFrom(other);
}

CRegAccessList& CRegAccessList::operator=(const CRegAccessList& other)
{
    CopyFrom(other);
    return *this;
}

void CRegAccessList::ReadLines()
{
    std::vector<std::string> lines;
    std::size_t unreadableAt = kReadable;
    {
        platform::RegistrySnapshot snapshot;
        std::string name;
        std::string data;
        for (std::uint32_t index = 0;; ++index) {
            int result = RegEnumValueString(m_key, index, name, data);
            if (result == platform::kErrorNoMoreItems)
                break;
            if (result == platform::kErrorKeyDeleted) {
                // The server's key was renamed or removed while it runs (a
                // port changed, restart declined): it goes on with the lines
                // it had rather than refusing everyone until a restart.
                m_key.Close();
                return;
            }
            if (result != platform::kErrorSuccess) {
                // The lost line might have been a Reject: refuse from here on.
                unreadableAt = lines.size();
                break;
            }
            lines.push_back(data);
        }
    }
    SetLines(std::move(lines), unreadableAt);
}

bool CRegAccessList::Load(const platform::RegistryKey& parent, std::string_view name)
{
    platform::RegistryKey key;
    if (parent.Create(name, key) != platform::kErrorSuccess)
        return false;
    CShareLock::Exclusive hold(m_lock);
    m_key = std::move(key);
    std::uint64_t tick = GlobalLastModStamp().LoadTick();
    CHeapSwitch heap(m_heap);
    ReadLines();
    m_loadTick = tick;
    return true;
}

bool CRegAccessList::Save(const platform::RegistryKey& parent, std::string_view name) const
{
    std::vector<std::string> lines;
    {
        CShareLock::Exclusive hold(m_lock);
        lines = m_lines;
    }
    platform::RegistryTransaction transaction;
    platform::RegistryKey key;
    if (parent.Create(name, key) != platform::kErrorSuccess)
        return false;
    RegDeleteAllValues(key);
    for (std::size_t i = 0; i < lines.size(); ++i)
        RegSetString(key, std::to_string(i), lines[i]);
    return transaction.Commit() == platform::kErrorSuccess;
}

void CRegAccessList::CopyFrom(const CRegAccessList& other)
{
    if (&other == this)
        return;
    CShareLock::Exclusive holdThis(m_lock);
    CShareLock::Exclusive holdOther(other.m_lock);
    m_heap = GetThreadHeap();
    m_lines = other.m_lines;
    m_unreadableAt = other.m_unreadableAt;
    m_key.Close();
    if (other.m_key.IsOpen())
        other.m_key.Duplicate(m_key);
    m_loadTick = other.m_loadTick;
}

void CRegAccessList::FreshCopy(std::vector<std::string>& lines, std::size_t& unreadableAt)
{
    CLastModStamp& stamp = GlobalLastModStamp();
    // Asked before the lock: the stamp may take its own lock and read the
    // registry, and every request of the server checks this list.
    const std::uint64_t changeTick = stamp.GetChangeTick();
    // The common case: nothing changed, and the copy is made while other
    // requests make theirs.
    if (CShareLock::Share share(m_lock, CShareLock::kWait); share && m_loadTick >= changeTick) {
        lines = m_lines;
        unreadableAt = m_unreadableAt;
        return;
    }
    CShareLock::Exclusive hold(m_lock);
    if (m_loadTick < changeTick) {
        std::uint64_t tick = stamp.LoadTick();
        if (m_key.IsOpen()) {
            CHeapSwitch heap(m_heap);
            ReadLines();
        }
        m_loadTick = tick;
    }
    lines = m_lines;
    unreadableAt = m_unreadableAt;
}

int CRegAccessList::CheckFresh(std::string_view access, std::string_view user, std::string_view clientAddress,
                               CGroupMap* groups, CMacroScope* scope)
{
    std::vector<std::string> lines;
    std::size_t unreadableAt = kReadable;
    FreshCopy(lines, unreadableAt);
    return Evaluate(lines, unreadableAt, access, user, clientAddress, groups, scope);
}

bool CRegAccessList::IsAllowed(std::string_view access, std::string_view user, std::string_view clientAddress,
                               CGroupMap* groups, CMacroScope* scope)
{
    std::vector<std::string> lines;
    std::size_t unreadableAt = kReadable;
    FreshCopy(lines, unreadableAt);
    int verdict = Evaluate(lines, unreadableAt, access, user, clientAddress, groups, scope);
    return Allowed(verdict, lines.empty() && unreadableAt == kReadable);
}
