#include "framework/event_lock.h"

namespace {

// Tries before queueing: a holder keeps the lock for a few instructions as a rule.
constexpr int kSpinRounds = 64;

inline void CpuRelax()
{
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

} // namespace

bool CEventLock::LockSlow(std::uint32_t milliseconds)
{
    const std::uint64_t deadline = platform::DeadlineAfter(milliseconds);
    // Spin only while nobody queues: once waiters exist the lock is handed
    // over in order and never becomes free in between.
    for (int i = 0; i < kSpinRounds; ++i) {
        std::uint32_t state = m_state.load(std::memory_order_relaxed);
        if (state == 0) {
            if (m_state.compare_exchange_weak(state, kLocked, std::memory_order_acquire, std::memory_order_relaxed))
                return true;
            continue;
        }
        if (state & kWaiters)
            break;
        CpuRelax();
    }

    m_queue.Lock();
    for (;;) {
        std::uint32_t state = m_state.load(std::memory_order_relaxed);
        if (!(state & kLocked)) {
            if (m_state.compare_exchange_weak(state, state | kLocked, std::memory_order_acquire,
                                              std::memory_order_relaxed)) {
                m_queue.Unlock();
                return true;
            }
            continue;
        }
        // Announce the waiter before queueing so Unlock's fast path fails.
        if ((state & kWaiters) ||
            m_state.compare_exchange_weak(state, state | kWaiters, std::memory_order_relaxed))
            break;
    }
    // A grant hands the lock over with kLocked still set: we own it now.
    const bool granted = m_queue.Wait(deadline);
    if (!granted && m_queue.IsEmpty())
        m_state.fetch_and(~kWaiters, std::memory_order_relaxed);
    m_queue.Unlock();
    return granted;
}

void CEventLock::UnlockSlow()
{
    m_queue.Lock();
    // Under the queue's lock only the holder (this caller) changes kLocked and
    // only queue-lock holders change kWaiters, so plain stores are safe here.
    if (m_queue.WakeOne()) {
        if (m_queue.IsEmpty())
            m_state.store(kLocked, std::memory_order_relaxed);
    } else {
        m_state.store(0, std::memory_order_release);
    }
    m_queue.Unlock();
}
