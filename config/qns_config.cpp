#include "config/qns_config.h"

#include "config/last_mod_stamp.h"
#include "config/registry_helpers.h"
#include "framework/text_util.h"
#include "framework/thread_data.h"
#include "framework/wsocket.h"
#include "platform/clock.h"
#include "platform/net.h"

#include <algorithm>

namespace {

// The reading inet_addr gives: the classic dotted forms, and never the
// all-ones address, which it cannot tell from failure.
bool ParseTableAddress(const std::string& text, std::uint32_t* address)
{
    if (!platform::ParseIPv4(text.c_str(), address))
        return false;
    return *address != 0xFFFFFFFFu;
}

} // namespace

CQNSConfig::CQNSConfig()
{
    CHeapSwitch heap;
    m_table = std::make_shared<const Table>();
}

CQNSConfig::Table CQNSConfig::ReadTable(const platform::RegistryKey& key)
{
    Table table;
    if (!key.IsOpen())
        return table;
    const std::uint64_t budgetEnd = platform::MonotonicMs() + kQNSReloadLookupBudgetMs;
    for (std::uint32_t index = 0;; ++index) {
        std::string name;
        std::string data;
        if (RegEnumValueString(key, index, name, data) != platform::kErrorSuccess)
            break;
        std::uint32_t address = 0;
        if (!ParseTableAddress(name, &address))
            continue;
        if (data.empty()) {
            std::uint64_t now = platform::MonotonicMs();
            if (now >= budgetEnd)
                continue;
            std::uint32_t left = static_cast<std::uint32_t>(
                std::min<std::uint64_t>(budgetEnd - now, kNameLookupDeadlineMs));
            if (platform::LookupHostName(address, left, &data) < 0)
                data.clear();
        }
        if (!data.empty())
            table[address] = std::move(data);
    }
    return table;
}

int CQNSConfig::Load(const platform::RegistryKey& parent, std::string_view subkey)
{
    platform::RegistryKey key;
    int created = parent.Create(subkey, key);
    {
        CEventLockHolder hold(m_lock);
        m_key = std::move(key);
    }
    if (created != platform::kErrorSuccess)
        return 0;
    Reload();
    return 1;
}

void CQNSConfig::Reload()
{
    std::uint64_t tick = GlobalLastModStamp().LoadTick();
    platform::RegistryKey key;
    {
        CEventLockHolder hold(m_lock);
        key = RegDuplicateKey(m_key);
    }
    CHeapSwitch heap;
    auto table = std::make_shared<const Table>(ReadTable(key));
    CEventLockHolder hold(m_lock);
    m_table = std::move(table);
    m_loadTick = tick;
}

int CQNSConfig::Lookup(std::uint32_t address, std::string& name)
{
    CEventLockHolder hold(m_lock);
    if (!m_reloading && m_loadTick < GlobalLastModStamp().GetChangeTick()) {
        // One reloader at a time; the others answer from the old table.
        m_reloading = true;
        std::uint64_t tick = GlobalLastModStamp().LoadTick();
        platform::RegistryKey key = RegDuplicateKey(m_key);
        hold.Release();
        std::shared_ptr<const Table> table;
        try {
            CHeapSwitch heap;
            table = std::make_shared<const Table>(ReadTable(key));
        } catch (...) {
            static_cast<void>(m_lock.Lock());
            m_reloading = false;
            m_lock.Unlock();
            throw;
        }
        static_cast<void>(m_lock.Lock());
        {
            CHeapSwitch heap;
            m_table = std::move(table);
        }
        m_loadTick = tick;
        m_reloading = false;
        auto found = m_table->find(address);
        bool hit = found != m_table->end();
        if (hit)
            name = found->second;
        m_lock.Unlock();
        return hit ? 1 : 0;
    }
    auto found = m_table->find(address);
    if (found == m_table->end())
        return 0;
    name = found->second;
    return 1;
}

std::shared_ptr<const CQNSConfig::Table> CQNSConfig::Snapshot()
{
    CEventLockHolder hold(m_lock);
    return m_table;
}

int CQNSConfig::Save(const platform::RegistryKey& parent, std::string_view subkey)
{
    platform::RegistryKey key;
    if (parent.Create(subkey, key) != platform::kErrorSuccess)
        return 0;
    RegDeleteAllValues(key);
    std::shared_ptr<const Table> table = Snapshot();
    std::string dotted;
    for (const auto& [address, name] : *table) {
        FormatIPAddress(dotted, address);
        RegSetString(key, dotted, name);
    }
    return 1;
}

void CQNSConfig::RemoveAll()
{
    CHeapSwitch heap;
    auto empty = std::make_shared<const Table>();
    CEventLockHolder hold(m_lock);
    m_table = std::move(empty);
}

void CQNSConfig::SetAt(std::uint32_t address, std::string name)
{
    CHeapSwitch heap;
    CEventLockHolder hold(m_lock);
    auto table = std::make_shared<Table>(*m_table);
    (*table)[address] = std::move(name);
    m_table = std::move(table);
}

bool CQNSConfig::RemoveKey(std::uint32_t address)
{
    CHeapSwitch heap;
    CEventLockHolder hold(m_lock);
    if (!m_table->count(address))
        return false;
    auto table = std::make_shared<Table>(*m_table);
    table->erase(address);
    m_table = std::move(table);
    return true;
}

CQNSConfig::Table CQNSConfig::GetEntries() { return *Snapshot(); }

CQNSConfig& GlobalQNSConfig()
{
    static CQNSConfig& table = *[] {
        CHeapSwitch heap;
        static CQNSConfig built;
        return &built;
    }();
    return table;
}

bool LookupGlobalQNS(std::uint32_t address, std::string& name)
{
    return GlobalQNSConfig().Lookup(address, name) == 1;
}
