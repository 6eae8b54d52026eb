#include "framework/outgoing_connect.h"

#include "framework/thread_data.h"
#include "platform/async_connect.h"
#include "platform/clock.h"

#include <optional>

namespace {

// Waits for a handle until the absolute deadline (0: none): 1, 0 (10060) or -1.
int WaitUntil(int handle, bool forWrite, std::uint64_t deadline)
{
    std::uint32_t left = platform::kInfinite;
    if (deadline != 0) {
        std::uint64_t now = platform::MonotonicMs();
        left = static_cast<std::uint32_t>(deadline > now ? deadline - now : 0);
    }
    int ready = WaitForHandle(handle, forWrite, left);
    if (ready == 0)
        platform::SetLastSocketError(platform::kWsaeTimedOut);
    return ready;
}

} // namespace

int ConnectOutgoing(WSocket& socket, const std::string& host, std::uint16_t port, std::uint32_t lookupMs)
{
    // The look-up's thread may drop its state after this fiber and its
    // private heap are gone, so the state comes from the shared heap.
    std::optional<platform::PendingLookup> pending;
    {
        CHeapSwitch shared;
        pending.emplace();
        if (pending->Start(host, lookupMs) < 0)
            return socket.Check(-1);
    }
    platform::PendingLookup& lookup = *pending;
    std::uint64_t lookupDeadline = platform::MonotonicMs() + lookupMs;
    while (!lookup.IsDone()) {
        if (WaitUntil(lookup.GetHandle(), false, lookupDeadline) <= 0)
            return socket.Check(-1);
    }
    std::uint32_t address = 0;
    if (lookup.GetResult(&address) < 0)
        return socket.Check(-1);

    socket.Close();
    int handle = platform::OpenSocket(platform::kAddressFamilyInet, platform::kSocketStream, 0);
    if (handle < 0)
        return socket.Check(-1);
    int started = platform::StartConnectIPv4(handle, address, port);
    if (started == 1) {
        std::uint64_t deadline = socket.GetTimeout() ? platform::MonotonicMs() + socket.GetTimeout() : 0;
        started = WaitUntil(handle, true, deadline) > 0 ? platform::FinishConnect(handle) : -1;
    }
    if (started < 0) {
        int error = platform::LastSocketError();
        platform::CloseHandle(handle);
        platform::SetLastSocketError(error);
        return socket.Check(-1);
    }
    return socket.Attach(handle);
}

int ListenOnFreePort(WSocketBase& socket, std::uint32_t address, std::uint16_t* port, int backlog)
{
    if (socket.Create() < 0 || socket.Bind(0, address) < 0 || socket.Listen(backlog) < 0)
        return -1;
    std::uint32_t local = 0;
    return socket.GetLocalAddress(&local, port) < 0 ? -1 : 0;
}
