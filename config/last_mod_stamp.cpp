#include "config/last_mod_stamp.h"

#include "config/registry_helpers.h"
#include "platform/clock.h"

#include <algorithm>

namespace {

void RaiseTo(std::atomic<std::uint64_t>& target, std::uint64_t value)
{
    std::uint64_t current = target.load();
    while (current < value && !target.compare_exchange_weak(current, value)) {
    }
}

// The value a writer stores: now, unless the previous value is later (a
// clock set back, or a second save within the second), then previous + 1.
// "Later" is judged modulo 2^32, so a garbage value far ahead is ignored.
std::uint32_t NextStampValue(bool havePrevious, std::uint32_t previous)
{
    std::uint32_t now = static_cast<std::uint32_t>(platform::UnixTimeSeconds());
    if (!havePrevious)
        return now;
    std::uint32_t next = previous + 1;
    return static_cast<std::int32_t>(next - now) > 0 ? next : now;
}

} // namespace

void CLastModStamp::Open(const platform::RegistryKey& root, std::string_view subkey, std::string_view valueName)
{
    {
        CEventLockHolder hold(m_lock);
        m_key.Close();
        platform::RegistryKey key;
        // Open only: a missing product key leaves the stamp without one.
        if (root.Open(subkey, key) == platform::kErrorSuccess) {
            m_key = std::move(key);
            m_valueName = valueName;
            // Nothing of this key has been seen yet: the first read after
            // the hold-off counts as a change.
            m_haveSeen = false;
            m_readAtCount.store(0);
            WriteValue();
            m_changeTick.store(NextChangeTick());
        }
    }
    m_holdOffEnd.store(platform::MonotonicMs() + m_holdOffMs.load());
}

void CLastModStamp::Close()
{
    CEventLockHolder hold(m_lock);
    m_key.Close();
}

bool CLastModStamp::IsOpen()
{
    CEventLockHolder hold(m_lock);
    return m_key.IsOpen();
}

void CLastModStamp::Touch()
{
    CEventLockHolder hold(m_lock);
    if (!m_key.IsOpen())
        return;
    WriteValue();
    m_changeTick.store(NextChangeTick());
}

std::uint64_t CLastModStamp::GetChangeTick()
{
    if (platform::MonotonicMs() < m_holdOffEnd.load())
        return m_changeTick.load();
    // Reading the value is a database transaction; when the hive has not
    // changed since the last read, that read still stands.
    const std::uint64_t count = platform::HiveChangeCount();
    if (count == m_readAtCount.load())
        return m_changeTick.load();
    CEventLockHolder hold(m_lock);
    // Another thread may have read while this one waited.
    if (platform::MonotonicMs() < m_holdOffEnd.load())
        return m_changeTick.load();
    if (!m_key.IsOpen()) {
        // Nothing to read at this count either: the next callers answer
        // before the lock, which every lookup of every request came to take.
        m_readAtCount.store(count);
        return m_changeTick.load();
    }
    std::uint32_t value = 0;
    if (RegQueryDword(m_key, m_valueName, value) != platform::kErrorSuccess)
        return m_changeTick.load();
    m_readAtCount.store(count);
    if (m_haveSeen && value == m_lastSeen)
        return m_changeTick.load();
    m_haveSeen = true;
    m_lastSeen = value;
    // The value was read before the load ticks are looked at in
    // NextChangeTick: a load that began before this read gets a lower tick.
    std::uint64_t tick = NextChangeTick();
    m_changeTick.store(tick);
    m_holdOffEnd.store(platform::MonotonicMs() + m_holdOffMs.load());
    return tick;
}

std::uint64_t CLastModStamp::LoadTick()
{
    std::uint64_t now = platform::MonotonicMs();
    RaiseTo(m_lastLoadTick, now);
    return now;
}

std::uint64_t CLastModStamp::NextChangeTick()
{
    return std::max({platform::MonotonicMs(), m_lastLoadTick.load() + 1, m_changeTick.load() + 1});
}

void CLastModStamp::WriteValue()
{
    platform::RegistryTransaction transaction;
    std::uint32_t previous = 0;
    bool havePrevious = RegQueryDword(m_key, m_valueName, previous) == platform::kErrorSuccess;
    // A failed write is not reported: the change tick still moves, so at
    // least this process reloads.
    if (m_key.SetDword(m_valueName, NextStampValue(havePrevious, previous)) == platform::kErrorSuccess)
        transaction.Commit();
}

CLastModStamp& GlobalLastModStamp()
{
    static CLastModStamp stamp;
    return stamp;
}
