#pragma once
// Waits on two descriptors at once, for relays and tunnels and for a
// program's output while its client may leave: in a fiber of the worker
// pool only the fiber parks, so an idle wait never holds a worker thread.

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

// Bits of WaitForInputOrHangUp's answer.
inline constexpr int kHandleReady = 1;
inline constexpr int kPeerHungUp = 2;

// Waits until handle (a pipe, say) has input or is at its end, or until the
// peer of the connection closed or reset it, at most milliseconds. Bytes
// the peer sends meanwhile (a request sent ahead) do not end the wait; a
// peer that only shut down its sending side counts as gone, as a browser
// that closes looks the same. Returns the ready bits, 0 when the time ran
// out (last error 10060), -1 on failure.
int WaitForInputOrHangUp(int handle, WSocket& peer, std::uint32_t milliseconds);
