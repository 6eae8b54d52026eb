#pragma once
// CRegNameSet: an ordered list of lower-case wildcard masks kept in one
// registry key (REG_SZ values "0", "1", ... in list order), with a locked
// membership test. The proxy's barred, allowed and uncached URL lists.
//
// The set reloads itself when the change stamp reports an edit made after
// its last load. Values are read at their real size: a long entry is kept
// whole and never ends the load.

#include "framework/event_lock.h"
#include "platform/registry.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace platform {
class Heap;
}

class CRegNameSet {
public:
    CRegNameSet();
    CRegNameSet(const CRegNameSet& other);
    // Copies the entries in order and takes a second handle on the other's key.
    CRegNameSet& operator=(const CRegNameSet& other);
    virtual ~CRegNameSet();

    // Creates or opens parent\name, keeps it and loads it; false when the
    // key cannot be had (the set then keeps its entries and no key).
    bool Open(const platform::RegistryKey& parent, std::string_view name);
    // Replaces the entries by the key's values (lower-cased).
    virtual void Load();
    // Loads again when the change stamp saw an edit after the last load.
    virtual void CheckRefresh();
    // 1 + the position of the first entry the text matches as a wildcard
    // mask (letter case ignored); 0 when none does.
    int Contains(std::string_view text);
    // Rewrites parent\name as one transaction; false when it cannot be had.
    bool Save(const platform::RegistryKey& parent, std::string_view name) const;

    // For editors and tests: the entries, and a new entry at the end.
    std::vector<std::string> GetEntries() const;
    void Add(std::string_view mask);
    void RemoveAll();

private:
    // With the lock held.
    void LoadLocked();

    std::vector<std::string> m_entries;
    platform::RegistryKey m_key;
    mutable CEventLock m_lock;
    std::uint64_t m_loadTick = 0;
    platform::Heap* m_heap;
};
