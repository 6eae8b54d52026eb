#include "config/acl_cache.h"

#include "config/last_mod_stamp.h"
#include "framework/thread_data.h"

void CACLCache::Init()
{
    CEventLockHolder hold(m_lock);
    CHeapSwitch heap;
    Flush();
    m_flushTick = GlobalLastModStamp().LoadTick();
    m_active = true;
}

void CACLCache::Clear()
{
    CEventLockHolder hold(m_lock);
    CHeapSwitch heap;
    Flush();
    m_active = false;
}

bool CACLCache::IsActive()
{
    CEventLockHolder hold(m_lock);
    return m_active;
}

void CACLCache::Flush()
{
    m_index.clear();
    m_recency.clear();
    ++m_generation;
}

void CACLCache::FlushIfChanged()
{
    CLastModStamp& stamp = GlobalLastModStamp();
    if (m_flushTick < stamp.GetChangeTick()) {
        m_flushTick = stamp.LoadTick();
        Flush();
    }
}

bool CACLCache::Find(const std::string& path, CAccessList& list, std::uint64_t* generation)
{
    CEventLockHolder hold(m_lock);
    if (!m_active) {
        *generation = 0;
        return false;
    }
    CHeapSwitch heap;
    FlushIfChanged();
    *generation = m_generation;
    auto found = m_index.find(path);
    if (found == m_index.end())
        return false;
    m_recency.splice(m_recency.begin(), m_recency, found->second);
    // The copy goes to the caller's heap: it dies with the request.
    CHeapSwitch callers(heap.GetSaved());
    const CAccessList& cached = found->second->second;
    list.SetLines(cached.GetLines(), cached.GetUnreadableAt());
    return true;
}

void CACLCache::Add(const std::string& path, const CAccessList& list, std::uint64_t generation)
{
    CEventLockHolder hold(m_lock);
    if (!m_active)
        return;
    CHeapSwitch heap;
    FlushIfChanged();
    if (generation != m_generation)
        return;
    auto found = m_index.find(path);
    if (found != m_index.end()) {
        found->second->second = list;
        m_recency.splice(m_recency.begin(), m_recency, found->second);
        return;
    }
    m_recency.emplace_front(path, list);
    m_index.emplace(path, m_recency.begin());
    while (m_recency.size() > m_capacity) {
        m_index.erase(m_recency.back().first);
        m_recency.pop_back();
    }
}

std::size_t CACLCache::GetCount()
{
    CEventLockHolder hold(m_lock);
    return m_recency.size();
}

void CACLCache::SetCapacityForTesting(std::size_t capacity)
{
    CEventLockHolder hold(m_lock);
    m_capacity = capacity > 0 ? capacity : 1;
}

CACLCache& GlobalACLCache()
{
    static CACLCache& cache = *[] {
        CHeapSwitch heap;
        static CACLCache shared;
        return &shared;
    }();
    return cache;
}
