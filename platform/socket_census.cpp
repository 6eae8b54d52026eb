#include "platform/socket_census.h"

#include "platform/net.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

namespace platform {

namespace {

// The local port of a socket; 0 when it has none.
std::uint16_t LocalPort(int fd)
{
    sockaddr_storage local{};
    socklen_t length = sizeof local;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0)
        return 0;
    if (local.ss_family == AF_INET)
        return ntohs(reinterpret_cast<sockaddr_in*>(&local)->sin_port);
    if (local.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<sockaddr_in6*>(&local)->sin6_port);
    return 0;
}

} // namespace

std::vector<SocketMark> OpenStreamSockets()
{
    std::vector<SocketMark> sockets;
    std::vector<std::uint16_t> localPorts;
    std::vector<std::uint16_t> listening;
    DIR* folder = ::opendir("/proc/self/fd");
    if (folder == nullptr)
        return sockets;
    const int own = ::dirfd(folder);
    while (dirent* entry = ::readdir(folder)) {
        char* end = nullptr;
        const long number = std::strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != '\0' || number == own)
            continue;
        const int fd = static_cast<int>(number);
        struct stat status{};
        int type = 0;
        socklen_t length = sizeof type;
        if (::fstat(fd, &status) != 0 || !S_ISSOCK(status.st_mode) ||
            ::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length) != 0 || type != SOCK_STREAM)
            continue;
        int listens = 0;
        length = sizeof listens;
        if (::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listens, &length) == 0 && listens) {
            if (const std::uint16_t port = LocalPort(fd))
                listening.push_back(port);
            continue;
        }
        sockaddr_storage peer{};
        socklen_t peerLength = sizeof peer;
        if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerLength) != 0)
            continue;
        sockets.push_back({fd, static_cast<std::uint64_t>(status.st_ino)});
        localPorts.push_back(LocalPort(fd));
    }
    ::closedir(folder);
    // A socket one of the process's listeners accepted is a client's.
    std::vector<SocketMark> opened;
    for (std::size_t i = 0; i < sockets.size(); ++i) {
        if (localPorts[i] == 0 || std::find(listening.begin(), listening.end(), localPorts[i]) == listening.end())
            opened.push_back(sockets[i]);
    }
    return opened;
}

std::vector<SocketMark> NewSockets(const std::vector<SocketMark>& before, const std::vector<SocketMark>& after)
{
    std::vector<SocketMark> added;
    for (const SocketMark& mark : after) {
        const bool known = std::any_of(before.begin(), before.end(), [&](const SocketMark& old) {
            return old.fd == mark.fd && old.inode == mark.inode;
        });
        if (!known)
            added.push_back(mark);
    }
    return added;
}

IdleSocket LookAtIdleSocket(const SocketMark& mark)
{
    struct stat status{};
    if (mark.fd < 0 || ::fstat(mark.fd, &status) != 0 || !S_ISSOCK(status.st_mode) ||
        static_cast<std::uint64_t>(status.st_ino) != mark.inode)
        return IdleSocket::Gone;
    // Readable covers a peer that hung up: its end reads as input.
    return WaitHandle(mark.fd, false, 0) != 0 ? IdleSocket::Astir : IdleSocket::Quiet;
}

} // namespace platform
