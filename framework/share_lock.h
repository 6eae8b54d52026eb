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
#include <memory>

class CShareLock {
public:
    CShareLock();
    CShareLock(const CShareLock&) = delete;
    CShareLock& operator=(const CShareLock&) = delete;

    // Sharers in flight are counted on the counter of the caller's thread,
    // one of several: a single counter would be one cache line that every
    // request on every core takes in turn.
    struct alignas(64) Counter {
        std::atomic<int> sharers{0};
    };

    // The counter to end the turn on when the caller may read, else null.
    Counter* TryShare();
    // Shares once no one holds the structure alone; never for a caller that
    // holds it alone itself.
    Counter* WaitShare();
    static void EndShare(Counter* counter) { counter->sharers.fetch_sub(1, std::memory_order_release); }

    enum ShareMode { kTry, kWait };

    // A sharer's turn that ends with its scope, also when it throws.
    class Share {
    public:
        explicit Share(CShareLock& lock, ShareMode mode = kTry)
            : m_counter(mode == kWait ? lock.WaitShare() : lock.TryShare())
        {
        }
        ~Share() { End(); }
        Share(const Share&) = delete;
        Share& operator=(const Share&) = delete;
        explicit operator bool() const { return m_counter != nullptr; }
        void End()
        {
            if (m_counter)
                EndShare(m_counter);
            m_counter = nullptr;
        }

    private:
        Counter* m_counter;
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
    static constexpr unsigned kCounters = 16;

    CEventLock m_lock;
    // Apart from the lock: counters inside it would make every structure
    // holding a lock over-aligned, which base classes laid out after a
    // virtual base's owner cannot honour.
    std::unique_ptr<Counter[]> m_counters;
    std::atomic<bool> m_exclusive{false};
};
