#pragma once
// CGeneration: a counter that waiters can sleep on until it moves. It takes
// the place of an event that is pulsed: a waiter notes the generation before
// it does its work and waits only while the generation is still the one it
// noted, so a change that happens between the note and the wait is never
// lost. Close moves it for good: every waiter, present and future, is told
// so at once.
//
// Waits go through the calling thread's wait seam (platform/sync.h): inside
// a fiber of the worker pool only the fiber parks, never its worker.

#include "platform/sync.h"

#include <cstdint>

class WSocket;

class CGeneration {
public:
    enum class WaitResult {
        Changed, // the generation differs from the one noted
        Closed,  // Close was called
        TimedOut,
        Input, // WaitForChangeOrInput only: the peer sent data or closed
    };

    CGeneration() = default;
    CGeneration(const CGeneration&) = delete;
    CGeneration& operator=(const CGeneration&) = delete;

    std::uint64_t Current();
    bool IsClosed();
    // Moves the generation on and wakes every waiter.
    void Advance();
    // Wakes every waiter; every wait from now on returns Closed at once.
    // Reopen makes the counter usable again (a restarted owner).
    void Close();
    void Reopen();

    // Waits until the generation differs from seen, Close, or the monotonic
    // deadline (platform::kNoDeadline: none).
    WaitResult WaitForChange(std::uint64_t seen, std::uint64_t deadlineMs);
    // Waits until Close or the deadline: a pause that a stopping owner can cut short.
    WaitResult WaitForClose(std::uint64_t deadlineMs);
    // WaitForChange that also ends when the connection has input waiting
    // (the peer sent data or closed). Input is looked for at least every
    // kInputPollMs; a change ends the wait at once.
    WaitResult WaitForChangeOrInput(std::uint64_t seen, WSocket& connection, std::uint64_t deadlineMs);

    static constexpr std::uint32_t kInputPollMs = 250;

private:
    platform::WaitQueue m_queue;
    std::uint64_t m_generation = 0;
    bool m_closed = false;
};
