#pragma once
// CompletionPort: the event source of one worker thread.
//
// Three kinds of completion come out of Wait, one at a time:
//   kReady     a handle armed with Arm became readable (or writable);
//   kTimedOut  an armed handle's deadline passed first;
//   kPosted    Post was called, from any thread; posts come out in the order
//              they were made.
//
// Arm is one-shot: a handle reports once and is then quiet until armed
// again. A handle has at most one wait armed; arming it again replaces the
// wait (the old one never completes). ArmEdge waits the same way on a
// handle registered once, edge-triggered. Watch is for a listening socket
// that several ports share: it reports whenever the handle is readable,
// until Disarm, and the kernel wakes only one of the waiting ports per new
// client, so the ports do not all rush for the socket's lock. Deadlines are absolute times on
// MonotonicMs() and come from one timer per port, so a deadline ends its
// wait on time even when nothing else happens on the port.
//
// Post may be called from any thread. Everything else belongs to the thread
// that first arms or waits on the port; another thread is refused. Disarm a
// handle before closing it: Linux reuses descriptor numbers at once.

#include "platform/sync.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

namespace platform {

struct Completion {
    enum Kind { kReady, kTimedOut, kPosted };

    Kind kind = kPosted;
    // kReady and kTimedOut: the armed handle and the cookie given to Arm.
    int handle = -1;
    std::uint64_t cookie = 0;
    // kPosted: what was given to Post.
    std::uintptr_t key = 0;
    std::uint32_t bytes = 0;
    void* pointer = nullptr;
};

class CompletionPort {
public:
    // Readiness reports taken from the kernel in one call.
    static constexpr int kMaxEventsPerWait = 64;

    CompletionPort() = default;
    ~CompletionPort();
    CompletionPort(const CompletionPort&) = delete;
    CompletionPort& operator=(const CompletionPort&) = delete;

    // Creates the epoll set, the post signal and the timer. False with the
    // WinSock number in LastSocketError when the system refuses.
    bool Open();
    bool IsOpen() const { return m_epoll >= 0; }

    // Queues a posted completion. Any thread. False when the port is not
    // open (10009) or the signal cannot be raised.
    bool Post(std::uintptr_t key, std::uint32_t bytes, void* pointer);

    // Waits for handle to become readable (forWrite false) or writable,
    // until deadlineMs (kNoDeadline: no limit; a time already past times out
    // at once). 0, or -1 with the WinSock number in LastSocketError.
    int Arm(int handle, bool forWrite, std::uint64_t deadlineMs, std::uint64_t cookie);
    // Arm's edge-triggered form for a socket that waits often: the handle is
    // registered with the kernel once, for both directions, and the port
    // remembers each edge until a wait takes it, so arming again costs no
    // system call and an edge that came before the wait is not lost. 1 when
    // such an edge was there (nothing is queued; the caller tries its I/O
    // again, and waits again if refused: the edge may be of bytes it took
    // already), 0 when the wait is armed, -1 on failure. A handle number
    // that may have been closed and reused since is forgotten with Disarm
    // first.
    int ArmEdge(int handle, bool forWrite, std::uint64_t deadlineMs, std::uint64_t cookie);
    // Reports kReady with cookie whenever handle is readable (level
    // triggered, exclusive wake-up), until Disarm. 0, or -1 with the WinSock
    // number in LastSocketError.
    int Watch(int handle, std::uint64_t cookie);
    // Cancels the handle's wait or watch, if any, and forgets the handle; no
    // completion of that wait is delivered afterwards. True when the handle
    // was known.
    bool Disarm(int handle);

    // Takes the next completion, waiting at most timeoutMs (kInfinite: no
    // limit; 0: only what is there). False on time-out (last error 10060)
    // or failure (another number).
    bool Wait(std::uint32_t timeoutMs, Completion& completion);

    // Handles with a wait armed and not yet reported.
    std::size_t GetArmedCount() const { return m_armedCount; }

private:
    using DeadlineMap = std::multimap<std::uint64_t, int>;

    struct Registration {
        std::uint64_t cookie = 0;
        // Changes on every Arm, so a completion taken from the kernel for an
        // earlier wait is recognised and dropped.
        std::uint64_t sequence = 0;
        bool armed = false;
        bool watched = false;
        // Registered by ArmEdge: the edges seen and not yet reported, and
        // the direction of the armed wait.
        bool edge = false;
        bool readable = false;
        bool writable = false;
        bool forWrite = false;
        bool inEpoll = false;
        bool hasDeadline = false;
        DeadlineMap::iterator deadline;
    };

    struct Pending {
        Completion completion;
        std::uint64_t sequence = 0;
    };

    struct Posted {
        std::uintptr_t key;
        std::uint32_t bytes;
        void* pointer;
    };

    void CheckOwner();
    // The owner, an open port and a valid handle; false with the last error set.
    bool CheckHandle(int handle);
    void SetDeadline(Registration& registration, int handle, std::uint64_t deadlineMs);
    bool TakePending(Completion& completion);
    bool Poll(int timeoutMs);
    void DrainPosted();
    void ExpireDeadlines(std::uint64_t now);
    void DropDeadline(Registration& registration);
    void ProgramTimer();
    void Close();

    int m_epoll = -1;
    int m_postSignal = -1;
    int m_timer = -1;

    std::thread::id m_owner;
    std::unordered_map<int, Registration> m_registrations;
    DeadlineMap m_deadlines;
    // The time the timer is set for; kNoDeadline when it is not set.
    std::uint64_t m_timerAt = kNoDeadline;
    std::uint64_t m_nextSequence = 0;
    std::size_t m_armedCount = 0;
    std::deque<Pending> m_pending;

    std::mutex m_postLock;
    std::vector<Posted> m_posted;
    // The signal has been raised and not yet consumed.
    bool m_postSignalled = false;
};

} // namespace platform
