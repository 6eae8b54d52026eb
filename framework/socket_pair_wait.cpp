#include "framework/socket_pair_wait.h"

#include "framework/wsocket.h"
#include "platform/clock.h"
#include "platform/poll_set.h"

#include <algorithm>

namespace {

// Waits until a member of the set is ready; its bits, 0 when the time ran
// out (10060), -1 on failure.
int WaitOnSet(platform::PollSet& set, std::uint32_t milliseconds)
{
    const std::uint64_t deadline =
        milliseconds == platform::kInfinite ? 0 : platform::MonotonicMs() + milliseconds;
    for (;;) {
        std::uint32_t left = platform::kInfinite;
        if (deadline != 0) {
            std::uint64_t now = platform::MonotonicMs();
            left = static_cast<std::uint32_t>(deadline > now ? deadline - now : 0);
        }
        int ready = WaitForHandle(set.GetHandle(), false, left);
        if (ready <= 0) {
            if (ready == 0)
                platform::SetLastSocketError(platform::kWsaeTimedOut);
            return ready;
        }
        std::uint32_t bits = 0;
        if (set.Ready(&bits) < 0)
            return -1;
        if (bits != 0)
            return static_cast<int>(bits);
        // Woken without a ready member (another waiter took it): wait on.
        if (deadline != 0 && platform::MonotonicMs() >= deadline) {
            platform::SetLastSocketError(platform::kWsaeTimedOut);
            return 0;
        }
    }
}

} // namespace

int WaitForEitherInput(WSocket& first, WSocket& second, std::uint32_t milliseconds, bool firstInput)
{
    int held = (firstInput && first.GetAppInput().GetHeld() > 0 ? kFirstSocketReady : 0) |
               (second.GetAppInput().GetHeld() > 0 ? kSecondSocketReady : 0);
    if (held)
        return held;
    platform::PollSet set;
    if (set.Open() < 0 || set.Add(first.GetHandle(), kFirstSocketReady, firstInput) < 0 ||
        set.Add(second.GetHandle(), kSecondSocketReady) < 0)
        return -1;
    return WaitOnSet(set, milliseconds);
}

int WaitForInputOrHangUp(int handle, WSocket& peer, std::uint32_t milliseconds)
{
    platform::PollSet set;
    if (set.Open() < 0 || set.Add(handle, kHandleReady) < 0 || set.AddHangUp(peer.GetHandle(), kPeerHungUp) < 0)
        return -1;
    return WaitOnSet(set, milliseconds);
}
