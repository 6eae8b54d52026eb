#include "framework/socket_drain.h"

#include "framework/wsocket.h"

void DrainSocketInput(WSocket& socket, int maxBytes, std::uint32_t waitMs, std::uint32_t totalMs)
{
    const std::uint64_t end = platform::MonotonicMs() + totalMs;
    bool throwing = socket.GetThrowOnError();
    std::uint32_t timeout = socket.GetTimeout();
    socket.SetThrowOnError(false);
    socket.Flush();
    socket.SetTimeout(waitMs);
    char scratch[4096];
    int drained = 0;
    // A client sending a byte now and then would keep each wait short.
    while (drained < maxBytes && platform::MonotonicMs() < end && socket.WaitForInput(waitMs)) {
        int got = socket.Read(scratch, sizeof scratch);
        if (got <= 0)
            break;
        drained += got;
    }
    socket.SetTimeout(timeout);
    socket.SetThrowOnError(throwing);
}
