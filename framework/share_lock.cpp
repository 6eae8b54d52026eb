#include "framework/share_lock.h"

#include "platform/sync.h"

#include <thread>

bool CShareLock::TryShare()
{
    m_sharers.fetch_add(1, std::memory_order_seq_cst);
    if (!m_exclusive.load(std::memory_order_seq_cst))
        return true;
    EndShare();
    return false;
}

void CShareLock::WaitShare()
{
    unsigned spins = 0;
    while (!TryShare()) {
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
    for (unsigned spins = 0; m_lock.m_sharers.load(std::memory_order_seq_cst) != 0; ++spins)
        if (spins >= 64)
            std::this_thread::yield();
}

CShareLock::Exclusive::~Exclusive() { m_lock.m_exclusive.store(false, std::memory_order_release); }
