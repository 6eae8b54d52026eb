#pragma once
// CSSLSessionCache: the process-wide table of SSL sessions that completed a
// full handshake, so that a client naming its 16-byte session id can resume
// without another RSA operation. Entries live 100 seconds from their store
// (a lookup does not renew them); nothing is written anywhere.

#include "framework/event_lock.h"
#include "security/byte_block.h"

#include <cstddef>
#include <cstdint>
#include <forward_list>
#include <utility>
#include <vector>

// The secrets a resumed session derives its keys from again.
struct CSSLSessionEntry {
    CByteBlock masterKey;
    CByteBlock keyArg; // KEY-ARG-DATA, kept but unused by the cipher
    unsigned char cipherKind[3] = {0, 0, 0};
    std::uint64_t storeTick = 0; // 64-bit monotonic ms: no wrap after 49.7 days
    // MD5 of the server's private key: a session is resumed only by a server
    // holding the key it was made with.
    CByteBlock keyPrint;
};

class CSSLSessionCache {
public:
    // The working table size; a prime, so ids spread whatever their bytes.
    static constexpr std::size_t kBuckets = 511;
    static constexpr std::uint64_t kLifetimeMs = 100000;

    using Clock = std::uint64_t (*)();
    // The clock is a seam for tests; the process uses the monotonic one.
    explicit CSSLSessionCache(Clock clock = nullptr);
    ~CSSLSessionCache();
    CSSLSessionCache(const CSSLSessionCache&) = delete;
    CSSLSessionCache& operator=(const CSSLSessionCache&) = delete;

    // 1 and a deep copy of the entry when id is known and alive; an expired
    // entry is removed at once and 0 returned.
    int Lookup(const CByteBlock& id, CSSLSessionEntry& entry);
    // Drops every expired entry, stamps entry with the current tick and keeps
    // a deep copy under id (replacing an entry already there).
    void Store(const CByteBlock& id, CSSLSessionEntry& entry);
    // 1, 2, 3, ...: never the same value twice, from any number of threads.
    std::uint32_t NextId();
    void RemoveAll();
    std::size_t GetCount();

    // XOR of the id's whole little-endian 32-bit words.
    static std::uint32_t Hash(const CByteBlock& id);

private:
    using Bucket = std::forward_list<std::pair<CByteBlock, CSSLSessionEntry>>;

    std::uint64_t Now() const;
    bool Expired(const CSSLSessionEntry& entry, std::uint64_t now) const;

    Clock m_clock;
    std::vector<Bucket> m_buckets;
    std::size_t m_count = 0;
    std::uint32_t m_counter = 0;
    CEventLock m_lock;
};

// The one table every server and secure port of the process shares.
CSSLSessionCache& GlobalSessionCache();
