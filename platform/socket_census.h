#pragma once
// Which socket a library opened inside a call of ours, found by the
// process's open sockets before and after it, and a look at such a socket
// while it should be quiet: a library that gives no access to its socket
// can still be told that its peer has hung up.

#include <cstdint>
#include <vector>

namespace platform {

// A socket the process has open: its descriptor, and its inode, which a
// descriptor closed and opened again for another socket does not keep.
struct SocketMark {
    int fd = -1;
    std::uint64_t inode = 0;
};

// The connected stream sockets open now, but those a listener of the
// process accepted.
std::vector<SocketMark> OpenStreamSockets();

// The sockets of after that are not in before.
std::vector<SocketMark> NewSockets(const std::vector<SocketMark>& before, const std::vector<SocketMark>& after);

enum class IdleSocket {
    Quiet,   // still open, nothing to read
    Astir,   // readable or hung up: its peer said something, most likely goodbye
    Gone,    // the descriptor no longer names that socket
};
// Looks, without waiting, at a socket nothing should arrive on now.
IdleSocket LookAtIdleSocket(const SocketMark& mark);

} // namespace platform
