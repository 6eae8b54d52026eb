#include "security/ssl_session_cache.h"

#include "framework/thread_data.h"
#include "platform/clock.h"

#include <cstring>

namespace {

void CopyEntry(CSSLSessionEntry& to, const CSSLSessionEntry& from)
{
    to.masterKey = from.masterKey;
    to.keyArg = from.keyArg;
    std::memcpy(to.cipherKind, from.cipherKind, sizeof to.cipherKind);
    to.storeTick = from.storeTick;
    to.keyPrint = from.keyPrint;
}

} // namespace

CSSLSessionCache::CSSLSessionCache(Clock clock) : m_clock(clock), m_buckets(kBuckets) {}

CSSLSessionCache::~CSSLSessionCache() { RemoveAll(); }

std::uint64_t CSSLSessionCache::Now() const { return m_clock ? m_clock() : platform::MonotonicMs(); }

bool CSSLSessionCache::Expired(const CSSLSessionEntry& entry, std::uint64_t now) const
{
    return entry.storeTick + kLifetimeMs < now;
}

std::uint32_t CSSLSessionCache::Hash(const CByteBlock& id)
{
    std::uint32_t hash = 0;
    const auto* bytes = reinterpret_cast<const unsigned char*>(id.GetData());
    for (int i = 0; i + 4 <= id.GetLength(); i += 4)
        hash ^= static_cast<std::uint32_t>(bytes[i]) | static_cast<std::uint32_t>(bytes[i + 1]) << 8 |
                static_cast<std::uint32_t>(bytes[i + 2]) << 16 | static_cast<std::uint32_t>(bytes[i + 3]) << 24;
    return hash;
}

int CSSLSessionCache::Lookup(const CByteBlock& id, CSSLSessionEntry& entry)
{
    CEventLockHolder hold(m_lock);
    CHeapSwitch shared;
    Bucket& bucket = m_buckets[Hash(id) % kBuckets];
    for (auto before = bucket.before_begin(), it = bucket.begin(); it != bucket.end(); before = it++) {
        if (!(it->first == id))
            continue;
        if (Expired(it->second, Now())) {
            bucket.erase_after(before);
            --m_count;
            return 0;
        }
        CopyEntry(entry, it->second);
        return 1;
    }
    return 0;
}

void CSSLSessionCache::Store(const CByteBlock& id, CSSLSessionEntry& entry)
{
    CEventLockHolder hold(m_lock);
    CHeapSwitch shared;
    const std::uint64_t now = Now();
    for (Bucket& bucket : m_buckets)
        m_count -= static_cast<std::size_t>(bucket.remove_if([&](const auto& e) { return Expired(e.second, now); }));
    entry.storeTick = now;
    Bucket& bucket = m_buckets[Hash(id) % kBuckets];
    for (auto& e : bucket) {
        if (e.first == id) {
            CopyEntry(e.second, entry);
            return;
        }
    }
    bucket.emplace_front();
    bucket.front().first = id;
    CopyEntry(bucket.front().second, entry);
    ++m_count;
}

std::uint32_t CSSLSessionCache::NextId()
{
    CEventLockHolder hold(m_lock);
    return ++m_counter;
}

void CSSLSessionCache::RemoveAll()
{
    CEventLockHolder hold(m_lock);
    CHeapSwitch shared;
    for (Bucket& bucket : m_buckets)
        bucket.clear();
    m_count = 0;
}

std::size_t CSSLSessionCache::GetCount()
{
    CEventLockHolder hold(m_lock);
    return m_count;
}

CSSLSessionCache& GlobalSessionCache()
{
    static CSSLSessionCache cache;
    return cache;
}
