#pragma once
// CShareLock: for a structure that many read at once and few change.
//
// A sharer takes no lock: TryShare fails while someone holds the structure
// alone. A sharer on a hot path waits for that holder to finish (kWait)
// rather than take its exclusive path: one exclusive holder would otherwise
// turn every sharer meanwhile into one more, and under load the structure
// would stay held alone for good. Holding alone (Exclusive) takes a
// fiber-aware CEventLock, then waits for the sharers in flight, whose turns
// must be short and must never wait for anything (no lock but their own
// item's, no socket).

#include "framework/event_lock.h"

#include <atomic>

class CShareLock {
public:
    CShareLock() = default;
    CShareLock(const CShareLock&) = delete;
    CShareLock& operator=(const CShareLock&) = delete;

    // True when the caller may read; EndShare ends its turn.
    bool TryShare();
    // Shares once no one holds the structure alone; never for a caller that
    // holds it alone itself.
    void WaitShare();
    void EndShare() { m_sharers.fetch_sub(1, std::memory_order_release); }

    enum ShareMode { kTry, kWait };

    // A sharer's turn that ends with its scope, also when it throws.
    class Share {
    public:
        explicit Share(CShareLock& lock, ShareMode mode = kTry)
            : m_lock(lock), m_shared(mode == kWait ? (lock.WaitShare(), true) : lock.TryShare())
        {
        }
        ~Share() { End(); }
        Share(const Share&) = delete;
        Share& operator=(const Share&) = delete;
        explicit operator bool() const { return m_shared; }
        void End()
        {
            if (m_shared)
                m_lock.EndShare();
            m_shared = false;
        }

    private:
        CShareLock& m_lock;
        bool m_shared;
    };

    class Exclusive {
    public:
        explicit Exclusive(CShareLock& lock);
        ~Exclusive();
        Exclusive(const Exclusive&) = delete;
        Exclusive& operator=(const Exclusive&) = delete;

    private:
        CShareLock& m_lock;
        CEventLockHolder m_hold;
    };

private:
    CEventLock m_lock;
    std::atomic<int> m_sharers{0};
    std::atomic<bool> m_exclusive{false};
};
