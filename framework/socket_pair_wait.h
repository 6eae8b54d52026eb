#pragma once
// A wait on two connections at once, for relays and tunnels: in a fiber of
// the worker pool only the fiber parks, so an idle tunnel never holds a
// worker thread.

#include <cstdint>

class WSocket;

// Bits of WaitForEitherInput's answer.
inline constexpr int kFirstSocketReady = 1;
inline constexpr int kSecondSocketReady = 2;

// Waits until either socket holds input in its buffer, has input arriving
// or is at its end, at most milliseconds (platform::kInfinite: no limit).
// Without firstInput the first socket counts as ready only once it is reset
// or hung up (a peer that ended its side is still watched for leaving).
// Returns the ready bits, 0 when the time ran out (last error 10060), -1 on
// failure.
int WaitForEitherInput(WSocket& first, WSocket& second, std::uint32_t milliseconds, bool firstInput = true);
