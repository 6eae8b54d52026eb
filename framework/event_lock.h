#pragma once
// CEventLock: the light lock that guards every shared map, list and cache.
//
// Not recursive and no owner is recorded, so a lock taken on one thread may
// be released on another. Uncontended, Lock and Unlock are one atomic
// operation each and never enter the kernel.
//
// Contended, the lock is competitive: Unlock frees it and wakes one waiter,
// which races for it with whoever arrives meanwhile. Handing the lock
// straight to a sleeping waiter would keep it owned but idle until that
// waiter is scheduled, and every thread behind it would queue up (a convoy).
// Waiting stays bounded all the same: once the waiter queued longest has
// lost one race, or has waited over a millisecond, the next Unlock hands it
// the lock instead of waking it to race. Waiting goes through the platform's wait seam, so a fiber
// that waits parks instead of blocking its thread. A waiter that times out
// leaves as if it had never waited.

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
        return milliseconds == 0 ? TryLockSlow() : LockSlow(milliseconds);
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
    // A woken waiter is on its way to race for the lock; until it has taken
    // the lock, queued again or given up, Unlock wakes nobody else.
    static constexpr std::uint32_t kWoken = 4;

    struct Waiter;

    bool TryLockSlow();
    bool LockSlow(std::uint32_t milliseconds);
    bool Spin(bool woken);
    void UnlockSlow();
    void Link(Waiter& waiter, bool first);
    void Unlink(Waiter& waiter);
    void Update(std::uint32_t clear, std::uint32_t set, std::memory_order order);

    std::atomic<std::uint32_t> m_state{0};
    platform::WaitQueue m_queue;
    // The waiters in the queue's own order, under the queue's lock: what an
    // Unlock needs to know about the one it wakes.
    Waiter* m_first = nullptr;
    Waiter* m_last = nullptr;
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
