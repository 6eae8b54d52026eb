#include "platform/sync.h"

#include <cerrno>
#include <ctime>
#include <stdexcept>
#include <system_error>
#include <thread>

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace platform {

namespace {

// Spins before a SpinLock sleeps: its holders keep it for a few instructions.
constexpr int kSpinRounds = 100;

// Waits while *word == expected; a deadline is absolute on CLOCK_MONOTONIC.
// Returns false only when the deadline passed.
bool FutexWait(std::atomic<std::uint32_t>* word, std::uint32_t expected, std::uint64_t deadlineMs)
{
    timespec at;
    timespec* timeout = nullptr;
    if (deadlineMs != kNoDeadline) {
        at.tv_sec = static_cast<time_t>(deadlineMs / 1000);
        at.tv_nsec = static_cast<long>(deadlineMs % 1000) * 1000000L;
        timeout = &at;
    }
    // FUTEX_WAIT_BITSET takes an absolute CLOCK_MONOTONIC time, so a wait
    // restarted after EINTR keeps its original deadline.
    long rc = syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(word), FUTEX_WAIT_BITSET | FUTEX_PRIVATE_FLAG,
                      expected, timeout, nullptr, FUTEX_BITSET_MATCH_ANY);
    return rc == 0 || errno != ETIMEDOUT;
}

void FutexWake(std::atomic<std::uint32_t>* word, int count)
{
    syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(word), FUTEX_WAKE | FUTEX_PRIVATE_FLAG, count, nullptr,
            nullptr, 0);
}

inline void CpuRelax()
{
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

void ThreadPrepare(WaitNode&) {}

bool ThreadPark(WaitNode& node, std::uint64_t deadlineMs)
{
    while (node.state.load(std::memory_order_acquire) == 0) {
        if (!FutexWait(&node.state, 0, deadlineMs))
            return node.state.load(std::memory_order_acquire) != 0;
    }
    return true;
}

void ThreadWake(WaitNode& node) { FutexWake(&node.state, 1); }

constexpr WaitSeam kThreadSeam{ThreadPrepare, ThreadPark, ThreadWake, nullptr};

thread_local constinit const WaitSeam* t_seam = nullptr;

} // namespace

std::uint64_t DeadlineAfter(std::uint32_t milliseconds)
{
    if (milliseconds == kInfinite)
        return kNoDeadline;
    return MonotonicMs() + milliseconds;
}

const WaitSeam& ThreadWaitSeam() { return kThreadSeam; }

const WaitSeam* SetThreadWaitSeam(const WaitSeam* seam)
{
    const WaitSeam* previous = t_seam;
    t_seam = seam;
    return previous;
}

bool ThreadHasWaitSeam() { return t_seam != nullptr; }

bool YieldToReady() { return t_seam && t_seam->yield && t_seam->yield(); }

// ---- SpinLock ----------------------------------------------------------

void SpinLock::LockSlow()
{
    for (int i = 0; i < kSpinRounds; ++i) {
        CpuRelax();
        std::uint32_t expected = 0;
        if (m_word.load(std::memory_order_relaxed) == 0 &&
            m_word.compare_exchange_weak(expected, 1, std::memory_order_acquire, std::memory_order_relaxed))
            return;
    }
    // From here on the word says "sleepers" so that Unlock wakes someone.
    while (m_word.exchange(2, std::memory_order_acquire) != 0)
        FutexWait(&m_word, 2, kNoDeadline);
}

void SpinLock::WakeOne() { FutexWake(&m_word, 1); }

// ---- WaitQueue ---------------------------------------------------------

void WaitQueue::Append(WaitNode& node)
{
    node.next = nullptr;
    node.prev = m_tail;
    if (m_tail)
        m_tail->next = &node;
    else
        m_head = &node;
    m_tail = &node;
}

void WaitQueue::Prepend(WaitNode& node)
{
    node.prev = nullptr;
    node.next = m_head;
    if (m_head)
        m_head->prev = &node;
    else
        m_tail = &node;
    m_head = &node;
}

void WaitQueue::Remove(WaitNode& node)
{
    if (node.prev)
        node.prev->next = node.next;
    else
        m_head = node.next;
    if (node.next)
        node.next->prev = node.prev;
    else
        m_tail = node.prev;
    node.prev = node.next = nullptr;
}

void WaitQueue::Grant(WaitNode& node)
{
    Remove(node);
    node.state.store(1, std::memory_order_release);
    // Still under the queue lock: the waiter cannot leave before this returns.
    node.seam->wake(node);
}

bool WaitQueue::Wait(std::uint64_t deadlineMs) { return WaitAt(deadlineMs, false); }

bool WaitQueue::WaitFirst(std::uint64_t deadlineMs) { return WaitAt(deadlineMs, true); }

bool WaitQueue::WaitAt(std::uint64_t deadlineMs, bool first)
{
    WaitNode node;
    node.seam = t_seam ? t_seam : &kThreadSeam;
    node.seam->prepare(node);
    if (first)
        Prepend(node);
    else
        Append(node);
    Unlock();
    node.seam->park(node, deadlineMs);
    Lock();
    // The state only changes under the lock, so it decides: a grant that came
    // after the deadline but before we got the lock back still counts.
    if (node.state.load(std::memory_order_acquire) != 0)
        return true;
    Remove(node);
    return false;
}

bool WaitQueue::WakeOne()
{
    if (!m_head)
        return false;
    Grant(*m_head);
    return true;
}

void WaitQueue::WakeAll()
{
    while (m_head)
        Grant(*m_head);
}

// ---- Event -------------------------------------------------------------

void Event::Set()
{
    m_queue.Lock();
    if (m_manualReset) {
        m_set = true;
        m_queue.WakeAll();
    } else if (!m_queue.WakeOne()) {
        m_set = true;
    }
    m_queue.Unlock();
}

void Event::Reset()
{
    m_queue.Lock();
    m_set = false;
    m_queue.Unlock();
}

bool Event::Wait(std::uint32_t milliseconds)
{
    const std::uint64_t deadline = DeadlineAfter(milliseconds);
    m_queue.Lock();
    bool signalled = m_set;
    if (signalled) {
        if (!m_manualReset)
            m_set = false;
    } else if (milliseconds != 0) {
        signalled = m_queue.Wait(deadline);
    }
    m_queue.Unlock();
    return signalled;
}

// ---- Semaphore ---------------------------------------------------------

Semaphore::Semaphore(long initial, long maximum) : m_count(initial), m_maximum(maximum)
{
    if (maximum <= 0 || initial < 0 || initial > maximum)
        throw std::invalid_argument("semaphore count out of range");
}

bool Semaphore::Wait(std::uint32_t milliseconds)
{
    const std::uint64_t deadline = DeadlineAfter(milliseconds);
    m_queue.Lock();
    bool taken = m_count > 0;
    if (taken)
        --m_count;
    else if (milliseconds != 0)
        taken = m_queue.Wait(deadline); // a Release hands the unit over directly
    m_queue.Unlock();
    return taken;
}

bool Semaphore::Release(long count, long* previous)
{
    if (count < 1)
        return false;
    m_queue.Lock();
    if (count > m_maximum - m_count) {
        m_queue.Unlock();
        return false;
    }
    if (previous)
        *previous = m_count;
    // Waiters exist only while the count is 0; each one woken takes a unit.
    while (count > 0 && m_queue.WakeOne())
        --count;
    m_count += count;
    m_queue.Unlock();
    return true;
}

long Semaphore::GetCount()
{
    m_queue.Lock();
    long count = m_count;
    m_queue.Unlock();
    return count;
}

void RunOnOwnThread(const std::function<void()>& work)
{
    Event done(true);
    std::thread runner;
    try {
        runner = std::thread([&] {
            work();
            done.Set();
        });
    } catch (const std::system_error&) {
        work();
        return;
    }
    done.Wait();
    // Joined before done leaves this frame: Set may still be leaving it.
    runner.join();
}

} // namespace platform
