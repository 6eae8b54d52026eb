#pragma once
// What one client may hold of a server, whichever server it talks to (HTTP,
// proxy, chat) and however the server runs it (a thread or a fiber): the
// per-read time-out (ConnTimeout), the request head's deadline
// (HeaderTimeout), the body's pace (body_pace.h) and the count of slow
// connections by address in every phase (slow_heads.h). A 0 turns its
// limit off, here and nowhere else.

#include "platform/clock.h"

#include <cstdint>

// A socket time-out is ConnTimeout x 1024 ms (not 1000); the client-slot
// wait uses the same factor.
inline constexpr std::uint32_t kMsPerTimeoutSecond = 1024;

struct CClientLimits {
    std::uint32_t connTimeout = 0;   // seconds; 0: reads wait without limit
    std::uint32_t headerTimeout = 0; // seconds; 0: no head limit

    // The socket time-out of one read (0: none, as WSocket takes it).
    std::uint32_t ReadTimeoutMs() const { return connTimeout * kMsPerTimeoutSecond; }
    // How long a wait for a client may last (platform::kInfinite: no limit).
    std::uint32_t WaitMs() const { return connTimeout ? ReadTimeoutMs() : platform::kInfinite; }
    // The whole head's time (0: no deadline).
    std::uint32_t HeadWindowMs() const { return headerTimeout * 1000; }
    // A body keeps its pace only where reads are bounded at all.
    bool PacesBodies() const { return connTimeout != 0; }
    // Silent and slow connections count against their address only where
    // heads are bounded at all.
    bool CountsByAddress() const { return headerTimeout != 0; }
};
