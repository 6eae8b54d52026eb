#pragma once
// CQNSConfig: the administrator's host-name table, mapping client IPv4
// addresses to names so that a server can name a client without the DNS.
// Kept under the key QNS of the product key, one REG_SZ value per address:
// the name is the dotted address, the data the host name (empty: resolved
// by a reverse look-up when the table loads).
//
// Look-ups consult the change stamp and reload the table when the
// configuration changed after its last load. A reload reads the key and
// resolves the empty names without the table's lock, each look-up under
// kNameLookupDeadlineMs and all of them within kQNSReloadLookupBudgetMs;
// meanwhile look-ups keep answering from the table as it was, and the new
// table replaces it whole. Names and data are read whole, whatever their
// length.

#include "framework/event_lock.h"
#include "platform/registry.h"

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>

// All reverse look-ups of one reload together stop after this long; the
// addresses left get no entry until the next reload.
inline constexpr std::uint32_t kQNSReloadLookupBudgetMs = 20000;

class CQNSConfig {
public:
    // Address (network order) -> host name.
    using Table = std::map<std::uint32_t, std::string>;

    CQNSConfig();
    CQNSConfig(const CQNSConfig&) = delete;
    CQNSConfig& operator=(const CQNSConfig&) = delete;

    // Creates or opens parent\subkey, keeps it open and fills the table.
    // 1, or 0 when the key cannot be had (the table then stays empty).
    int Load(const platform::RegistryKey& parent, std::string_view subkey);
    // Rebuilds the table from the open key (empty without one).
    void Reload();
    // 1 with name set when address has an entry, else 0 (name untouched).
    // Reloads first when the change stamp saw a change after the last load.
    int Lookup(std::uint32_t address, std::string& name);
    // Rewrites parent\subkey from the table; 1, or 0 when the key cannot be had.
    int Save(const platform::RegistryKey& parent, std::string_view subkey);
    void RemoveAll();

    // Editing, for the settings pages.
    void SetAt(std::uint32_t address, std::string name);
    bool RemoveKey(std::uint32_t address);
    Table GetEntries();

    // Reads the key into a table (the reverse look-ups included); no lock.
    static Table ReadTable(const platform::RegistryKey& key);

private:
    std::shared_ptr<const Table> Snapshot();

    CEventLock m_lock;
    // Guarded by m_lock.
    platform::RegistryKey m_key;
    std::shared_ptr<const Table> m_table;
    std::uint64_t m_loadTick = 0;
    bool m_reloading = false;
};

// The process's table, which the engine loads and the servers' host-name
// look-ups ask first.
CQNSConfig& GlobalQNSConfig();
// GlobalQNSConfig().Lookup in the shape of the framework's QNS hook.
bool LookupGlobalQNS(std::uint32_t address, std::string& name);
