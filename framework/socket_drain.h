#pragma once
// Reading and dropping what a peer still sends before a connection closes
// after an error reply: closing with unread input makes the kernel reset the
// connection, and the peer may then lose the reply it has not yet read.

#include <cstdint>

class WSocket;

// Flushes, then reads and drops input while it arrives within waitMs, at most
// maxBytes and for at most totalMs in all. Never throws; the socket's switch
// and time-out are restored.
void DrainSocketInput(WSocket& socket, int maxBytes, std::uint32_t waitMs, std::uint32_t totalMs = UINT32_MAX);
