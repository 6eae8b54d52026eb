#pragma once
// CRegistryMap<T>: a string-keyed map that mirrors one registry key, with
// its own lock, and reloads itself from that key when the change stamp
// reports an edit made after its last load. A map may name a parent map of
// the same kind: a lookup that finds nothing here continues there, so a
// server's own lists fall back to the global lists and those to the engine's.
//
// Every use follows one pattern: take the lock, CheckRefresh, look up and
// copy the value out. The lock is held across the reload, and a concrete
// Load builds the new entries aside and swaps them in at its end, so no
// reader ever sees a half-loaded map; values leave the map only as copies.
// A lookup that goes on in the parent releases this map's lock first, so a
// lookup never holds two map locks.
//
// Lock order: a map's lock, then the change stamp's, then the registry's.
// (Assignment: the destination's lock, then the source's.) Snapshot a map
// before opening a RegistryTransaction, never inside one.
//
// Entries live on the heap the map was built on: every reload runs with
// that heap switched in, whatever heap the calling thread has.

#include "config/last_mod_stamp.h"
#include "framework/event_lock.h"
#include "framework/thread_data.h"
#include "platform/registry.h"

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <utility>

// A chain is server -> global -> engine; a longer one can only be a cycle
// made by mistake, and a lookup must not walk it for ever.
inline constexpr int kMaxMapChainDepth = 8;

template <class T>
class CRegistryMap {
public:
    using Entries = std::map<std::string, T, std::less<>>;

    CRegistryMap() : m_heap(GetThreadHeap()) {}
    virtual ~CRegistryMap() = default;
    CRegistryMap(const CRegistryMap&) = delete;
    CRegistryMap& operator=(const CRegistryMap&) = delete;

    // Fills the map from its key. Runs with the lock held (or on a map no
    // other thread sees) and the map's heap switched in; it neither locks
    // nor sets the load tick.
    virtual void Load() = 0;

    // The refresh rule; the caller holds the lock.
    virtual void CheckRefresh()
    {
        CLastModStamp& stamp = GlobalLastModStamp();
        if (m_loadTick >= stamp.GetChangeTick())
            return;
        LoadLocked();
    }

    // An owner's explicit load: under the lock, from the key held.
    void Reload()
    {
        CEventLockHolder hold(m_lock);
        LoadLocked();
    }
    // Creates or opens parent\name as the map's key and loads it. When the
    // key cannot be had the map keeps no key and its entries; false then.
    bool LoadFromKey(const platform::RegistryKey& parent, std::string_view name)
    {
        platform::RegistryKey key;
        bool opened = parent.Create(name, key) == platform::kErrorSuccess;
        CEventLockHolder hold(m_lock);
        m_key = std::move(key);
        if (!opened)
            return false;
        LoadLocked();
        return true;
    }

    // Without lock or refresh: the caller holds the lock. Exact key.
    bool Lookup(std::string_view key, T& out) const
    {
        auto found = m_entries.find(key);
        if (found == m_entries.end())
            return false;
        out = found->second;
        return true;
    }

    // Lock, refresh, exact lookup; on a miss the parent is asked the same
    // (after this map's lock is released). out is unchanged when no map has it.
    bool LookupLocked(std::string_view key, T& out)
    {
        CRegistryMap* map = this;
        for (int depth = 0; map && depth < kMaxMapChainDepth; ++depth) {
            CEventLockHolder hold(map->m_lock);
            map->CheckRefresh();
            if (map->Lookup(key, out))
                return true;
            map = map->m_parent;
        }
        return false;
    }

    // Inserts copies of every entry of other (the caller holds the locks
    // it needs). An entry of the same key is replaced either way; replace
    // is kept for callers that state it.
    void CopyEntries(const CRegistryMap& other, bool replace = true)
    {
        static_cast<void>(replace);
        for (const auto& [key, value] : other.m_entries)
            m_entries.insert_or_assign(key, value);
    }

    // Editing, for the configuration writers. Each takes the lock.
    void SetAt(std::string_view key, const T& value)
    {
        CEventLockHolder hold(m_lock);
        CHeapSwitch heap(m_heap);
        m_entries.insert_or_assign(std::string(key), value);
    }
    bool RemoveKey(std::string_view key)
    {
        CEventLockHolder hold(m_lock);
        auto found = m_entries.find(key);
        if (found == m_entries.end())
            return false;
        m_entries.erase(found);
        return true;
    }
    void RemoveAll()
    {
        CEventLockHolder hold(m_lock);
        m_entries.clear();
    }
    // A copy of every entry, refreshed first.
    Entries GetEntries()
    {
        CEventLockHolder hold(m_lock);
        CheckRefresh();
        return m_entries;
    }
    // A copy of every entry as held, with no refresh: a settings page's
    // working copy keeps its key, and a reload would throw its edits away.
    Entries GetEntriesAsHeld() const
    {
        CEventLockHolder hold(m_lock);
        return m_entries;
    }
    std::size_t GetCount()
    {
        CEventLockHolder hold(m_lock);
        return m_entries.size();
    }

    CEventLock& GetLock() const { return m_lock; }
    std::uint64_t GetLoadTick() const { return m_loadTick; }
    void SetLoadTick(std::uint64_t tick) { m_loadTick = tick; }
    platform::Heap* GetHeap() const { return m_heap; }
    bool HasKey() const { return m_key.IsOpen(); }
    const platform::RegistryKey& GetKey() const { return m_key; }
    // Takes the key (under the lock) without loading it.
    void SetKey(platform::RegistryKey key)
    {
        CEventLockHolder hold(m_lock);
        m_key = std::move(key);
    }

protected:
    // this = other: both locks (this one first), entries copied, a second
    // handle on the other's key, its load tick and parent, this thread's
    // heap. extra copies a derived class's own fields under the same locks.
    void AssignFrom(const CRegistryMap& other, const std::function<void()>& extra)
    {
        if (&other == this)
            return;
        CEventLockHolder holdThis(m_lock);
        CEventLockHolder holdOther(other.m_lock);
        m_heap = GetThreadHeap();
        m_entries.clear();
        CopyEntries(other, true);
        m_key.Close();
        if (other.m_key.IsOpen())
            other.m_key.Duplicate(m_key);
        m_loadTick = other.m_loadTick;
        m_parent = other.m_parent;
        if (extra)
            extra();
    }

    // Loads with the lock held: the load tick is taken before the load, so
    // a change noticed while it runs is seen by the next use.
    void LoadLocked()
    {
        std::uint64_t tick = GlobalLastModStamp().LoadTick();
        CHeapSwitch heap(m_heap);
        // An exception leaves the tick as it was: the next use tries again.
        Load();
        m_loadTick = tick;
    }

    void SetParentMap(CRegistryMap* parent)
    {
        CEventLockHolder hold(m_lock);
        m_parent = parent;
    }
    CRegistryMap* GetParentMap() const
    {
        CEventLockHolder hold(m_lock);
        return m_parent;
    }

    Entries m_entries;
    CRegistryMap* m_parent = nullptr;
    platform::RegistryKey m_key;
    mutable CEventLock m_lock;
    std::uint64_t m_loadTick = 0;
    platform::Heap* m_heap;
};
