#pragma once
// The thread that runs the servers' logons. A PAM check takes milliseconds
// of CPU and runs one at a time (security.h), so a client that sends wrong
// passwords fast enough would keep every other client's logon waiting, and
// a thread per waiting logon would let it multiply the process's threads.
// Instead a logon thread, started on first use, takes the logons in turns by
// client: one queue per client, served round-robin, one logon of a client
// at a time. A client's logons wait behind each other; another client's
// logon waits for the check already begun and for one turn of each client
// ahead of it at most. The caller waits on an event: in a fiber only the
// fiber parks.

#include "platform/heap.h"

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <unordered_map>

namespace platform {

// Who a logon is for; logons of one client take their turns one after
// another. The servers use the client's IPv4 address.
using LogonClient = std::uint64_t;

// The threads that run logons. PAM runs one check at a time anyway; a
// second thread would only race the first for the PAM lock, which does not
// hand over in order, so a logon could lose to a guesser's again and again.
inline constexpr std::size_t kLogonThreads = 1;
// A logon waiting for its turn, or out a failed logon's delay, looks this
// often whether it is still wanted: a server that stops waits for its
// connections, and a fiber that is destroyed can only wait with its whole
// thread, one fiber after another.
inline constexpr std::uint32_t kLogonWaitSliceMs = 50;

// Blocks from the shared heap whoever allocates them: the queue is filled
// by fibers, whose own heaps are neither shared nor lasting.
template <class T>
struct SharedHeapAllocator {
    using value_type = T;
    SharedHeapAllocator() = default;
    template <class U>
    SharedHeapAllocator(const SharedHeapAllocator<U>&) noexcept
    {
    }
    T* allocate(std::size_t n)
    {
        void* block = Heap::SharedAllocAligned(n * sizeof(T), alignof(T));
        if (!block)
            throw std::bad_alloc();
        return static_cast<T*>(block);
    }
    void deallocate(T* block, std::size_t) noexcept { Heap::Free(block); }
    template <class U>
    bool operator==(const SharedHeapAllocator<U>&) const noexcept
    {
        return true;
    }
};

class LogonQueue {
public:
    // The process's queue; its threads start with the first logon and live
    // as long as the process.
    static LogonQueue& Instance();

    // Runs work on a logon thread in client's turn and returns once it has
    // run (true). The threads start with the caller's identity, so the first
    // call must come from a thread that runs as itself. Without a thread to
    // be had, the work runs in place. While the work waits for its turn,
    // abandoned (when given) is asked every kLogonWaitSliceMs, and so is
    // whether the calling fiber is being destroyed: either drops the work
    // and gives false, so a stop does not wait for the logons of
    // connections that are going anyway. Work that has begun is waited for.
    bool RunInTurn(LogonClient client, const std::function<void()>& work,
                   const std::function<bool()>& abandoned = {});

private:
    struct Job;
    using JobPtr = std::shared_ptr<Job>;
    // A client's waiting logons, and whether one of its logons runs.
    struct ClientQueue {
        std::deque<JobPtr, SharedHeapAllocator<JobPtr>> jobs;
        bool running = false;
    };

    LogonQueue() = default;
    void StartThreads();
    static void* ThreadEntry(void* queue);
    void ThreadLoop();
    JobPtr NextJob(std::unique_lock<std::mutex>& hold, LogonClient* client);
    void Finished(LogonClient client);
    bool Withdraw(LogonClient client, const JobPtr& job);

    std::mutex m_lock;
    std::condition_variable m_ready;
    std::size_t m_threads = 0;
    // The clients with logons waiting or running, and the clients in the
    // order of their next turn: each client with waiting logons and none
    // running appears once.
    std::unordered_map<LogonClient, ClientQueue, std::hash<LogonClient>, std::equal_to<LogonClient>,
                       SharedHeapAllocator<std::pair<const LogonClient, ClientQueue>>>
        m_queues;
    std::deque<LogonClient, SharedHeapAllocator<LogonClient>> m_turns;
};

} // namespace platform
