#include "security/ssl_session_cache.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <thread>
#include <vector>

namespace {

std::uint64_t g_now = 0;
std::uint64_t TestClock() { return g_now; }

CByteBlock Id(unsigned char last, int length = 16)
{
    std::vector<unsigned char> bytes(static_cast<std::size_t>(length), 0x5A);
    if (length > 0)
        bytes.back() = last;
    return CByteBlock(bytes.data(), length);
}

CSSLSessionEntry Entry(char fill)
{
    CSSLSessionEntry entry;
    std::string master(16, fill);
    entry.masterKey.Assign(master.data(), 16);
    entry.keyArg.Assign("arg", 3);
    std::memcpy(entry.cipherKind, "\x02\x00\x80", 3);
    entry.keyPrint.Assign("print", 5);
    return entry;
}

struct LifetimeCase {
    const char* name;
    std::uint64_t storedAt;
    std::uint64_t lookedUpAt;
    bool found;
};

TEST(SSLSessionCache, LivesOneHundredSecondsOnTheSixtyFourBitClock)
{
    const std::uint64_t wrap = 0x100000000ull;
    const LifetimeCase cases[] = {
        {"at 99 s", 1000, 1000 + 99000, true},
        {"at exactly 100 s", 1000, 1000 + 100000, true},
        {"at 101 s", 1000, 1000 + 101000, false},
        // A 32-bit tick wraps here; the store must not look ancient or new.
        {"across the 32-bit wrap, alive", wrap - 1000, wrap + 50000, true},
        {"across the 32-bit wrap, expired", wrap - 1000, wrap + 99500, false},
        {"49.7 days on", 5000, wrap + 5000, false},
    };
    for (const LifetimeCase& c : cases) {
        SCOPED_TRACE(c.name);
        CSSLSessionCache cache(TestClock);
        g_now = c.storedAt;
        CSSLSessionEntry stored = Entry('m');
        cache.Store(Id(1), stored);
        EXPECT_EQ(stored.storeTick, c.storedAt);
        g_now = c.lookedUpAt;
        CSSLSessionEntry found;
        EXPECT_EQ(cache.Lookup(Id(1), found), c.found ? 1 : 0);
        // An expired entry goes at the lookup that finds it.
        EXPECT_EQ(cache.GetCount(), c.found ? 1u : 0u);
        if (c.found) {
            EXPECT_TRUE(found.masterKey == stored.masterKey);
            EXPECT_TRUE(found.keyArg == stored.keyArg);
            EXPECT_TRUE(found.keyPrint == stored.keyPrint);
            EXPECT_EQ(std::memcmp(found.cipherKind, "\x02\x00\x80", 3), 0);
        }
    }
}

TEST(SSLSessionCache, StoreReplacesPurgesAndKeepsNearIdsApart)
{
    CSSLSessionCache cache(TestClock);
    g_now = 10000;
    CSSLSessionEntry a = Entry('a'), b = Entry('b');
    cache.Store(Id(1), a);
    cache.Store(Id(2), b); // differs in the last byte only
    EXPECT_EQ(cache.GetCount(), 2u);
    CSSLSessionEntry found;
    ASSERT_EQ(cache.Lookup(Id(2), found), 1);
    EXPECT_TRUE(found.masterKey == b.masterKey);

    g_now = 60000;
    CSSLSessionEntry replaced = Entry('c');
    cache.Store(Id(1), replaced);
    EXPECT_EQ(cache.GetCount(), 2u);
    g_now = 10000 + 100001; // id 2 expired, id 1 renewed by the replacement
    CSSLSessionEntry d = Entry('d');
    cache.Store(Id(3), d);
    EXPECT_EQ(cache.GetCount(), 2u) << "a store drops every expired entry";
    EXPECT_EQ(cache.Lookup(Id(2), found), 0);
    ASSERT_EQ(cache.Lookup(Id(1), found), 1);
    EXPECT_TRUE(found.masterKey == replaced.masterKey);
    EXPECT_EQ(found.storeTick, 60000u);

    // The cache keeps copies: the caller's blocks may go.
    a.masterKey.Free();
    cache.RemoveAll();
    EXPECT_EQ(cache.GetCount(), 0u);
    EXPECT_EQ(cache.Lookup(Id(1), found), 0);
}

TEST(SSLSessionCache, HashIsTheXorOfWholeWords)
{
    const struct {
        const char* bytes;
        int length;
        std::uint32_t hash;
    } cases[] = {
        {"", 0, 0},
        {"abc", 3, 0},
        {"\x01\x02\x03\x04", 4, 0x04030201u},
        {"\x01\x02\x03\x04\x01\x00\x00\x00\xFF", 9, 0x04030200u},
    };
    for (const auto& c : cases)
        EXPECT_EQ(CSSLSessionCache::Hash(CByteBlock(c.bytes, c.length)), c.hash) << c.length;
}

TEST(SSLSessionCache, NextIdNeverRepeatsAcrossThreads)
{
    CSSLSessionCache cache;
    constexpr int kThreads = 8, kEach = 2000;
    std::vector<std::vector<std::uint32_t>> got(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i)
                got[static_cast<std::size_t>(t)].push_back(cache.NextId());
        });
    for (std::thread& thread : threads)
        thread.join();
    std::set<std::uint32_t> all;
    for (const auto& ids : got)
        all.insert(ids.begin(), ids.end());
    EXPECT_EQ(all.size(), static_cast<std::size_t>(kThreads * kEach));
    EXPECT_EQ(*all.begin(), 1u);
    EXPECT_EQ(*all.rbegin(), static_cast<std::uint32_t>(kThreads * kEach));
}

} // namespace
