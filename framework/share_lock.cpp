#include "framework/share_lock.h"

#include "framework/thread_data.h"
#include "platform/sync.h"

#include <thread>

namespace {

std::atomic<unsigned> g_nextCounter{0};
thread_local const unsigned t_counter = g_nextCounter.fetch_add(1, std::memory_order_relaxed);

} // namespace

CShareLock::CShareLock()
{
    // The lock may outlive the private heap of the thread that made it.
    CHeapSwitch shared;
    m_counters.reset(new Counter[kCounters]);
}

CShareLock::Counter* CShareLock::TryShare()
{
    Counter& counter = m_counters[t_counter % kCounters];
    counter.sharers.fetch_add(1, std::memory_order_seq_cst);
    if (!m_exclusive.load(std::memory_order_seq_cst))
        return &counter;
    EndShare(&counter);
    return nullptr;
}

CShareLock::Counter* CShareLock::WaitShare()
{
    unsigned spins = 0;
    for (;;) {
        if (Counter* counter = TryShare())
            return counter;
        // A holder's turn is mostly short: spin on its flag, let other
        // fibers run meanwhile, and with none ready wait for the holder's
        // lock and let it go at once.
        while (m_exclusive.load(std::memory_order_acquire)) {
            if (++spins < 64 || platform::YieldToReady())
                continue;
            CEventLockHolder wait(m_lock);
        }
    }
}

CShareLock::Exclusive::Exclusive(CShareLock& lock) : m_lock(lock), m_hold(lock.m_lock)
{
    m_lock.m_exclusive.store(true, std::memory_order_seq_cst);
    // Sharers in flight finish without waiting for anything: a short wait.
    unsigned spins = 0;
    for (unsigned i = 0; i < kCounters; ++i)
        for (const Counter& counter = m_lock.m_counters[i]; counter.sharers.load(std::memory_order_seq_cst) != 0; ++spins)
            if (spins >= 64)
                std::this_thread::yield();
}

CShareLock::Exclusive::~Exclusive() { m_lock.m_exclusive.store(false, std::memory_order_release); }
