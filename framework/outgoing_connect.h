#pragma once
// Outgoing connections and listening sockets for clients inside a server
// (the proxy's relay, its FTP data connection). The name look-up and the
// connect both wait through the thread's waiter, so in a fiber of the
// worker pool only the fiber parks.

#include "framework/wsocket.h"

#include <cstdint>
#include <string>

// Connects socket (created when it holds none) to host, a dotted address or
// a name, on port. The look-up waits at most lookupMs, the connect the
// socket's time-out (none: no limit of ours). Returns 0, or -1 through the
// socket's Check (the socket then holds no handle).
int ConnectOutgoing(WSocket& socket, const std::string& host, std::uint16_t port,
                    std::uint32_t lookupMs = kNameLookupDeadlineMs);

// Creates socket listening on address (network order, 0 = any) on a port
// the system chooses, and stores that port. Returns 0, or -1 through Check.
int ListenOnFreePort(WSocketBase& socket, std::uint32_t address, std::uint16_t* port, int backlog = 1);
