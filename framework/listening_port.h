#pragma once
// The ports a server may listen on, for the server's own start and the
// desktop pages alike: port 0 would have the kernel pick one at each start,
// on every address, and nobody would know which.

#include <cstdint>

inline constexpr std::uint32_t kMinListeningPort = 1;
inline constexpr std::uint32_t kMaxListeningPort = 65535;

inline constexpr bool IsListeningPort(std::uint32_t port)
{
    return port >= kMinListeningPort && port <= kMaxListeningPort;
}
