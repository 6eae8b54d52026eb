#pragma once
// CEventLock: the light lock that guards every shared map, list and cache.
//
// Not recursive and no owner is recorded, so a lock taken on one thread may
// be released on another. Uncontended, Lock and Unlock are one atomic
// operation each and never enter the kernel. Contended, the lock is handed
// straight to the waiter queued longest; waiting goes through the platform's
// wait seam, so a fiber that waits parks instead of blocking its thread.
// A waiter that times out leaves as if it had never waited.

#include "platform/clock.h"
#include "platform/sync.h"

#include <atomic>
#include <cstdint>

class CEventLock {
public:
    CEventLock() = default;
    CEventLock(const CEventLock&) = delete;
    CEventLock& operator=(const CEventLock&) = delete;

    // True when the lock was taken; false when the time-out passed first.
    // 0 only tries; platform::kInfinite waits as long as it takes.
    [[nodiscard]] bool Lock(std::uint32_t milliseconds = platform::kInfinite)
    {
        std::uint32_t expected = 0;
        if (m_state.compare_exchange_strong(expected, kLocked, std::memory_order_acquire, std::memory_order_relaxed))
            return true;
        return milliseconds != 0 && LockSlow(milliseconds);
    }
    // Releases the lock; the caller must have taken it (on any thread).
    void Unlock()
    {
        std::uint32_t expected = kLocked;
        if (!m_state.compare_exchange_strong(expected, 0, std::memory_order_release, std::memory_order_relaxed))
            UnlockSlow();
    }
    bool IsLocked() const { return (m_state.load(std::memory_order_relaxed) & kLocked) != 0; }

private:
    static constexpr std::uint32_t kLocked = 1;
    // Set, under the queue's lock, while the queue holds a waiter.
    static constexpr std::uint32_t kWaiters = 2;

    bool LockSlow(std::uint32_t milliseconds);
    void UnlockSlow();

    std::atomic<std::uint32_t> m_state{0};
    platform::WaitQueue m_queue;
};

// Takes a lock without time-out for the length of a scope; Release or the
// destructor unlocks it once, on every path.
class CEventLockHolder {
public:
    explicit CEventLockHolder(CEventLock& lock) : m_lock(&lock)
    {
        // Cannot fail without a time-out.
        static_cast<void>(lock.Lock(platform::kInfinite));
    }
    ~CEventLockHolder() { Release(); }
    CEventLockHolder(CEventLockHolder&& other) noexcept : m_lock(other.m_lock) { other.m_lock = nullptr; }
    CEventLockHolder& operator=(CEventLockHolder&&) = delete;
    CEventLockHolder(const CEventLockHolder&) = delete;
    CEventLockHolder& operator=(const CEventLockHolder&) = delete;

    void Release()
    {
        if (m_lock) {
            m_lock->Unlock();
            m_lock = nullptr;
        }
    }
    bool IsHeld() const { return m_lock != nullptr; }

private:
    CEventLock* m_lock;
};
