#pragma once
// CLastModStamp: how every process learns that another one edited the
// configuration. Writers store the calendar time in the REG_DWORD value
// LastMod; readers re-read it at most once per hold-off and turn a value
// they have not seen into a new change tick. Every cache keeps the tick of
// its last load and reloads when the change tick is above it:
//
//     std::uint64_t tick = GlobalLastModStamp().LoadTick(); // before loading
//     if (m_loadTick < GlobalLastModStamp().GetChangeTick()) { Load(); m_loadTick = tick; }
//
// Ticks are the 64-bit monotonic milliseconds of platform/clock.h, so no
// compare is upset by a 32-bit wrap. Taking the load tick BEFORE the load
// and handing out change ticks strictly above every load tick taken so far
// means a change noticed while a load runs is never swallowed by it.
//
// A LastMod value counts as a change whenever it differs from the last one
// seen, so a clock set back (or the 32-bit signed overflow of 2038) cannot
// blind the stamp; a value that is missing or not a 4-byte REG_DWORD is no
// change. Writers store max(now, previous + 1), so two saves within one
// second still differ.
//
// Lock order: a cache's own lock before the stamp's; under its lock the
// stamp calls only the registry and the clock.

#include "framework/event_lock.h"
#include "platform/registry.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

// After a change is noticed the value is not read again for this long: the
// read costs a registry query, and every use of every cache asks.
inline constexpr std::uint64_t kLastModHoldOffMs = 10000;

class CLastModStamp {
public:
    CLastModStamp() = default;
    CLastModStamp(const CLastModStamp&) = delete;
    CLastModStamp& operator=(const CLastModStamp&) = delete;

    // Opens root\subkey (never creating it), remembers the value name and
    // writes the value, which makes every other process reload. Where the
    // key is missing the stamp stays without one and sees no change.
    // The hold-off starts now whether or not the key opened.
    void Open(const platform::RegistryKey& root, std::string_view subkey, std::string_view valueName);
    // Closes the key; the stamp then answers its last change tick for ever.
    void Close();
    bool IsOpen();

    // Writes the value again and raises the change tick at once, so this
    // process's own caches reload at their next use.
    void Touch();

    // The tick of the last change seen; 0 while none was.
    std::uint64_t GetChangeTick();
    // The tick a cache stamps its load with, taken before the load begins.
    std::uint64_t LoadTick();

    // Tests shorten the hold-off; nothing else changes it.
    void SetHoldOffForTesting(std::uint64_t milliseconds) { m_holdOffMs.store(milliseconds); }
    CEventLock& LockForTesting() { return m_lock; }

private:
    // The next change tick: now, but above every tick handed out before.
    std::uint64_t NextChangeTick();
    // Under the lock: writes max(now, previous + 1) in one transaction.
    void WriteValue();

    CEventLock m_lock;
    // Guarded by m_lock.
    platform::RegistryKey m_key;
    std::string m_valueName;
    bool m_haveSeen = false;
    std::uint32_t m_lastSeen = 0;
    // Read without the lock on the common path.
    std::atomic<std::uint64_t> m_changeTick{0};
    std::atomic<std::uint64_t> m_holdOffEnd{0};
    std::atomic<std::uint64_t> m_lastLoadTick{0};
    std::atomic<std::uint64_t> m_holdOffMs{kLastModHoldOffMs};
    // The hive's change count taken before the last read of the value; 0
    // while none was read. While the count stands still the value cannot
    // have changed, so it is not read again.
    std::atomic<std::uint64_t> m_readAtCount{0};
};

// The process-wide stamp every cache consults.
CLastModStamp& GlobalLastModStamp();

// The product key and value name the programs open the stamp on.
inline constexpr const char* kProductKeyPath = "Software\\Tessaline\\Velmora";
inline constexpr const char* kLastModValueName = "LastMod";
