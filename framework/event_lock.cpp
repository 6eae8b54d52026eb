#include "framework/event_lock.h"

#include <chrono>

// How the state word and the queue stay in step. kLocked changes only by the
// holder (releasing) or by a taker that finds it clear; kWaiters and kWoken
// change only under the queue's lock, except that a woken waiter clears
// kWoken in the same exchange that takes the lock. Every change is a
// compare-exchange, so a release never overwrites a change it did not see.
// The rule that keeps wake-ups from being lost: while the lock is free and
// waiters are queued, kWoken is set, so some woken waiter is still coming.

namespace {

using Clock = std::chrono::steady_clock;

// Tries before queueing, and after a wake: a holder keeps the lock for a few
// hundred nanoseconds as a rule.
constexpr int kSpinRounds = 100;
// In a fiber, how long it gives the worker's other ready fibers their turns
// before it queues. A wake-up from another worker waits for that worker's
// round and then for this one's, while a holder on another worker is done
// in microseconds and one on this worker needs the turns to finish. Bounded
// in time, not in turns, so that a round of many fibers cannot stretch the
// wait; a worker with nothing else ready queues the waiter at once. Kept
// short: each turn polls the worker's port, and with many fibers waiting on
// one busy lock, yielding for milliseconds kept every worker spinning
// through its port instead of serving (a flood of 404s, each looking up the
// shared maps, ran at a tenth of its speed).
constexpr Clock::duration kYieldFor = std::chrono::microseconds(200);

// A waiter queued longer than this is handed the lock instead of being woken
// to race for it: long enough that a busy lock mostly changes hands by
// barging, short enough that no request notices the wait.
constexpr Clock::duration kHandOverAfter = std::chrono::milliseconds(1);

inline void CpuRelax()
{
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

} // namespace

struct CEventLock::Waiter {
    Clock::time_point since;
    // Woken once and lost the race: the next Unlock hands the lock over.
    bool urgent = false;
    // Set by the Unlock that picked this waiter: the lock is already ours.
    bool handedOver = false;
    Waiter* prev = nullptr;
    Waiter* next = nullptr;
};

void CEventLock::Link(Waiter& waiter, bool first)
{
    if (first) {
        waiter.prev = nullptr;
        waiter.next = m_first;
        (m_first ? m_first->prev : m_last) = &waiter;
        m_first = &waiter;
    } else {
        waiter.next = nullptr;
        waiter.prev = m_last;
        (m_last ? m_last->next : m_first) = &waiter;
        m_last = &waiter;
    }
}

void CEventLock::Unlink(Waiter& waiter)
{
    (waiter.prev ? waiter.prev->next : m_first) = waiter.next;
    (waiter.next ? waiter.next->prev : m_last) = waiter.prev;
    waiter.prev = waiter.next = nullptr;
}

void CEventLock::Update(std::uint32_t clear, std::uint32_t set, std::memory_order order)
{
    std::uint32_t state = m_state.load(std::memory_order_relaxed);
    while (!m_state.compare_exchange_weak(state, (state & ~clear) | set, order, std::memory_order_relaxed)) {
    }
}

bool CEventLock::TryLockSlow()
{
    // Waiters may be queued while the lock is free; a try takes it all the same.
    std::uint32_t state = m_state.load(std::memory_order_relaxed);
    while (!(state & kLocked)) {
        if (m_state.compare_exchange_weak(state, state | kLocked, std::memory_order_acquire,
                                          std::memory_order_relaxed))
            return true;
    }
    return false;
}

bool CEventLock::Spin(bool woken)
{
    // Only the woken waiter clears kWoken; a newcomer barges past it.
    const std::uint32_t clear = woken ? kWoken : 0;
    for (int i = 0; i < kSpinRounds; ++i) {
        std::uint32_t state = m_state.load(std::memory_order_relaxed);
        if (!(state & kLocked)) {
            if (m_state.compare_exchange_weak(state, (state | kLocked) & ~clear, std::memory_order_acquire,
                                              std::memory_order_relaxed))
                return true;
            continue;
        }
        CpuRelax();
    }
    return false;
}

bool CEventLock::LockSlow(std::uint32_t milliseconds)
{
    const std::uint64_t deadline = platform::DeadlineAfter(milliseconds);
    if (Spin(false))
        return true;
    if (platform::YieldToReady()) {
        const Clock::time_point yieldUntil = Clock::now() + kYieldFor;
        do {
            if (TryLockSlow())
                return true;
            if (deadline != platform::kNoDeadline && platform::MonotonicMs() >= deadline)
                return false;
        } while (Clock::now() < yieldUntil && platform::YieldToReady());
        if (TryLockSlow())
            return true;
    }

    Waiter self;
    self.since = Clock::now();
    bool woken = false; // true once a wake-up was lost to a barger
    m_queue.Lock();
    for (;;) {
        // Take the lock if it is free, else announce the waiter so that
        // Unlock's fast path fails; a woken waiter hands kWoken back either way.
        const std::uint32_t clear = woken ? kWoken : 0;
        const bool givingUp = woken && deadline != platform::kNoDeadline && platform::MonotonicMs() >= deadline;
        std::uint32_t state = m_state.load(std::memory_order_relaxed);
        for (;;) {
            if (!(state & kLocked)) {
                if (m_state.compare_exchange_weak(state, (state | kLocked) & ~clear, std::memory_order_acquire,
                                                  std::memory_order_relaxed)) {
                    m_queue.Unlock();
                    return true;
                }
                continue;
            }
            // Giving up with the lock held: its holder's Unlock wakes the next waiter.
            const std::uint32_t next = givingUp ? state & ~clear : (state | kWaiters) & ~clear;
            if (m_state.compare_exchange_weak(state, next, std::memory_order_relaxed))
                break;
        }
        if (givingUp) {
            m_queue.Unlock();
            return false;
        }

        // A waiter that lost its wake-up goes back to the head: it keeps its
        // turn, and the next Unlock hands it the lock.
        self.urgent = woken;
        self.handedOver = false;
        Link(self, woken);
        if (!(woken ? m_queue.WaitFirst(deadline) : m_queue.Wait(deadline))) {
            Unlink(self);
            if (!m_first)
                Update(kWaiters, 0, std::memory_order_relaxed);
            m_queue.Unlock();
            return false;
        }
        // The Unlock that picked us has unlinked us already.
        if (self.handedOver) {
            m_queue.Unlock();
            return true;
        }
        m_queue.Unlock();
        if (Spin(true))
            return true;
        woken = true;
        m_queue.Lock();
    }
}

void CEventLock::UnlockSlow()
{
    // Nobody queued, or a woken waiter is already on its way: just release.
    std::uint32_t state = m_state.load(std::memory_order_relaxed);
    while (!(state & kWaiters) || (state & kWoken)) {
        if (m_state.compare_exchange_weak(state, state & ~kLocked, std::memory_order_release,
                                          std::memory_order_relaxed))
            return;
    }

    const Clock::time_point now = Clock::now();
    m_queue.Lock();
    // We hold the lock and the queue's lock, so kWaiters and kWoken stand
    // still here; kWoken cannot be set, as only an Unlock sets it.
    Waiter* head = m_first;
    if (!head) {
        Update(kLocked, 0, std::memory_order_release);
    } else {
        Unlink(*head);
        head->handedOver = head->urgent || now - head->since >= kHandOverAfter;
        const std::uint32_t empty = m_first ? 0 : kWaiters;
        // A hand-over keeps kLocked set: the lock passes without being free.
        if (head->handedOver)
            Update(empty, 0, std::memory_order_relaxed);
        else
            Update(kLocked | empty, kWoken, std::memory_order_release);
        m_queue.WakeOne();
    }
    m_queue.Unlock();
}
