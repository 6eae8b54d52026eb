#pragma once
// CACLCache: the process-wide cache of .~ACL~ files, so that a request does
// not open a file beside every document and directory it touches. Keyed by
// the exact path (file names are case-sensitive), bounded (the least
// recently used entry leaves first), and flushed whole when the change
// stamp reports a configuration change. Only LoadFile uses it.
//
// A read done outside the cache's lock is added only if no flush happened
// since the miss that caused it, so a list read just before an edit cannot
// outlive the edit's flush.

#include "config/access_list.h"
#include "framework/event_lock.h"

#include <cstddef>
#include <cstdint>
#include <list>
#include <string>
#include <unordered_map>
#include <utility>

// Enough for every document and directory a busy site serves between two
// edits; the bound keeps requests for ever new names from growing it.
inline constexpr std::size_t kACLCacheCapacity = 4096;

class CACLCache {
public:
    CACLCache() = default;
    CACLCache(const CACLCache&) = delete;
    CACLCache& operator=(const CACLCache&) = delete;

    // Engine start: empty and in use. Engine stop: emptied and out of use
    // (LoadFile then reads every file itself).
    void Init();
    void Clear();
    bool IsActive();

    // Flushes when the stamp reports a change, then copies the entry of path
    // into list. generation receives the flush count that Add must still see.
    bool Find(const std::string& path, CAccessList& list, std::uint64_t* generation);
    // Remembers list for path unless the cache was flushed since generation.
    void Add(const std::string& path, const CAccessList& list, std::uint64_t generation);

    std::size_t GetCount();
    void SetCapacityForTesting(std::size_t capacity);

private:
    using Recency = std::list<std::pair<std::string, CAccessList>>;

    // Under the lock.
    void FlushIfChanged();
    void Flush();

    CEventLock m_lock;
    bool m_active = false;
    Recency m_recency; // most recently used first
    std::unordered_map<std::string, Recency::iterator> m_index;
    std::uint64_t m_flushTick = 0;
    std::uint64_t m_generation = 0;
    std::size_t m_capacity = kACLCacheCapacity;
};

CACLCache& GlobalACLCache();
