#pragma once
// Events, semaphores and the wait queue every blocking primitive of the
// system is built on.
//
// The wait seam. No primitive here blocks a thread directly: a waiter puts a
// WaitNode on a WaitQueue and hands it to the WaitSeam installed for its own
// thread. The default seam parks the thread on a futex. A worker that runs
// fibers installs its own seam (SetThreadWaitSeam) whose Park switches the
// fiber away and whose Wake puts it back on its worker's ready list. The
// contract a seam relies on:
//   - Prepare runs on the waiter's thread before its node is published.
//   - Park returns once node.state is non-zero or the deadline has passed.
//   - Wake runs at most once per wait, on the waker's thread, with the queue's
//     lock held, after node.state became non-zero. Once Park has returned and
//     the waiter has re-taken the queue lock nothing touches the node again.

#include "platform/clock.h"

#include <atomic>
#include <cstdint>
#include <functional>

namespace platform {

// Absolute deadline on MonotonicMs(); this value means "never".
inline constexpr std::uint64_t kNoDeadline = UINT64_MAX;

// kInfinite gives kNoDeadline; anything else is now + milliseconds.
std::uint64_t DeadlineAfter(std::uint32_t milliseconds);

struct WaitSeam;

// One parked waiter; lives on the waiter's stack for the length of its wait.
struct WaitNode {
    // 0 while waiting; the waker stores non-zero before calling Wake.
    std::atomic<std::uint32_t> state{0};
    // The seam's own: whom to wake (a fiber, say). Unused by the thread seam.
    void* context = nullptr;
    const WaitSeam* seam = nullptr;
    WaitNode* prev = nullptr;
    WaitNode* next = nullptr;
};

struct WaitSeam {
    void (*prepare)(WaitNode& node);
    // Returns false when the deadline passed with node.state still 0.
    bool (*park)(WaitNode& node, std::uint64_t deadlineMs);
    void (*wake)(WaitNode& node);
    // Optional: lets whatever else is ready on this thread run once and
    // comes back; false when it cannot (then nothing happened).
    bool (*yield)() = nullptr;
};

// The seam that blocks the calling thread on a futex.
const WaitSeam& ThreadWaitSeam();
// Installs the seam used by waits of the calling thread (null: the thread
// seam) and returns the previous one.
const WaitSeam* SetThreadWaitSeam(const WaitSeam* seam);
// True when the calling thread waits through a seam of its own (it runs fibers).
bool ThreadHasWaitSeam();
// Through the calling thread's seam: lets other ready fibers run once before
// coming back. A lock that is about to park tries this first, since a short
// hold ends sooner than a wake-up from another thread arrives. False (and
// nothing done) on a plain thread.
bool YieldToReady();

// A short lock for the internals of the primitives: held for a few
// instructions, never across a park. Blocks the thread on a futex only when
// a short spin did not get it.
class SpinLock {
public:
    void Lock()
    {
        std::uint32_t expected = 0;
        if (!m_word.compare_exchange_strong(expected, 1, std::memory_order_acquire, std::memory_order_relaxed))
            LockSlow();
    }
    void Unlock()
    {
        if (m_word.exchange(0, std::memory_order_release) == 2)
            WakeOne();
    }
    // For std::lock_guard.
    void lock() { Lock(); }
    void unlock() { Unlock(); }

private:
    void LockSlow();
    void WakeOne();

    // 0 free, 1 held, 2 held with sleepers.
    std::atomic<std::uint32_t> m_word{0};
};

// A FIFO of parked waiters under one SpinLock. Every method but Lock is
// called with the queue locked.
class WaitQueue {
public:
    void Lock() { m_lock.Lock(); }
    void Unlock() { m_lock.Unlock(); }

    bool IsEmpty() const { return m_head == nullptr; }
    // Queues the caller, unlocks, parks and locks again. True when a Wake*
    // picked this waiter; false when the deadline passed first, in which case
    // the waiter has left the queue as if it had never joined it.
    bool Wait(std::uint64_t deadlineMs);
    // As Wait, but queued ahead of every other waiter: for a waiter that was
    // woken, could not use the wake-up and must wait again without losing its turn.
    bool WaitFirst(std::uint64_t deadlineMs);
    // Wakes the waiter queued longest; false when there is none.
    bool WakeOne();
    void WakeAll();

private:
    bool WaitAt(std::uint64_t deadlineMs, bool first);
    void Append(WaitNode& node);
    void Prepend(WaitNode& node);
    void Remove(WaitNode& node);
    void Grant(WaitNode& node);

    SpinLock m_lock;
    WaitNode* m_head = nullptr;
    WaitNode* m_tail = nullptr;
};

// A manual-reset or auto-reset event. Set on an auto-reset event releases
// exactly one waiter (or, with none waiting, the next one to come).
class Event {
public:
    explicit Event(bool manualReset, bool initiallySet = false)
        : m_manualReset(manualReset), m_set(initiallySet)
    {
    }
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    void Set();
    void Reset();
    // True when signalled, false on time-out. 0 tests without waiting.
    bool Wait(std::uint32_t milliseconds = kInfinite);
    bool IsManualReset() const { return m_manualReset; }

private:
    WaitQueue m_queue;
    const bool m_manualReset;
    bool m_set;
};

// A counting semaphore with a maximum count.
class Semaphore {
public:
    // Throws std::invalid_argument unless 0 <= initial <= maximum and maximum > 0.
    Semaphore(long initial, long maximum);
    Semaphore(const Semaphore&) = delete;
    Semaphore& operator=(const Semaphore&) = delete;

    // Takes one unit; true when taken, false on time-out.
    bool Wait(std::uint32_t milliseconds = kInfinite);
    // Returns count units. Fails, changing nothing, when count < 1 or the
    // count would pass the maximum. previous (optional) gets the count before.
    bool Release(long count = 1, long* previous = nullptr);
    long GetCount();
    long GetMaximum() const { return m_maximum; }

private:
    WaitQueue m_queue;
    long m_count;
    const long m_maximum;
};

// Runs work on a thread of its own and waits for it to end. In a fiber only
// the fiber parks, so a call that may block for long (a connect to a host
// that does not answer) holds none of its worker's other
// connections. The thread starts with the caller's identity; without a
// thread to be had, the work runs in place.
void RunOnOwnThread(const std::function<void()>& work);

} // namespace platform
