#pragma once
// Kept-alive connections that sit idle, held by a child process of their
// own: with both ends in one process, ten thousand of them would need twice
// the descriptors, and the client's memory would blur the server's. Every
// connection makes one request and reads its whole reply first, so the
// server holds connections that were served and now wait.
//
// The child uses plain system calls only (it is forked from a process with
// threads) and ends when its parent closes the release pipe or dies.

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace bench {

// Reads one whole reply into buffer; false when it is not a 200 with a
// Content-length of bodySize and all its body within timeoutMs a wait.
inline bool ReadWholeReply(int handle, char* buffer, std::size_t capacity, std::size_t bodySize,
                           int timeoutMs)
{
    std::size_t have = 0;
    while (have < capacity) {
        std::string_view text(buffer, have);
        if (std::size_t end = text.find("\r\n\r\n"); end != std::string_view::npos) {
            // Servers spell it differently; only the digits after the colon matter.
            std::size_t length = text.find("ength:");
            if (text.substr(9, 3) != "200" || length == std::string_view::npos || length > end ||
                std::strtoull(buffer + length + 6, nullptr, 10) != bodySize)
                return false;
            if (have >= end + 4 + bodySize)
                return true;
        }
        pollfd wait{handle, POLLIN, 0};
        if (::poll(&wait, 1, timeoutMs) != 1)
            return false;
        ssize_t got = ::recv(handle, buffer + have, capacity - have, 0);
        if (got <= 0)
            return false;
        have += static_cast<std::size_t>(got);
    }
    return false;
}

class IdleClients {
public:
    IdleClients() = default;
    ~IdleClients() { Close(); }
    IdleClients(const IdleClients&) = delete;
    IdleClients& operator=(const IdleClients&) = delete;

    // Opens count connections to 127.0.0.1:port one after the other; each
    // sends request and reads a 200 reply of bodySize bytes. Returns "" once
    // all of them are idle, else what failed (the child has then ended).
    std::string Open(std::uint16_t port, const std::string& request, std::size_t bodySize, int count,
                     int timeoutMs)
    {
        Close();
        int report[2];
        int release[2];
        if (::pipe(report) != 0)
            return "no pipe";
        if (::pipe(release) != 0) {
            ::close(report[0]);
            ::close(report[1]);
            return "no pipe";
        }
        std::vector<char> buffer(bodySize + 4096);
        std::vector<int> handles(static_cast<std::size_t>(count), -1);
        pid_t child = ::fork();
        if (child == 0) {
            ::close(report[0]);
            ::close(release[1]);
            int opened = 0;
            for (; opened < count; ++opened) {
                int handle = ::socket(AF_INET, SOCK_STREAM, 0);
                if (handle < 0)
                    break;
                handles[static_cast<std::size_t>(opened)] = handle;
                sockaddr_in address{};
                address.sin_family = AF_INET;
                address.sin_port = htons(port);
                address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
                if (::connect(handle, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
                    ::send(handle, request.data(), request.size(), MSG_NOSIGNAL) !=
                        static_cast<ssize_t>(request.size()) ||
                    !ReadWholeReply(handle, buffer.data(), buffer.size(), bodySize, timeoutMs))
                    break;
            }
            char status[32];
            int n = opened == count ? std::snprintf(status, sizeof status, "ok")
                                    : std::snprintf(status, sizeof status, "failed at %d (errno %d)", opened, errno);
            if (::write(report[1], status, static_cast<std::size_t>(n)) < 0)
                ::_exit(1);
            ::close(report[1]);
            // Until the parent releases us, or goes.
            char byte;
            while (::read(release[0], &byte, 1) < 0 && errno == EINTR)
                ;
            ::_exit(0);
        }
        ::close(report[1]);
        ::close(release[0]);
        if (child < 0) {
            ::close(report[0]);
            ::close(release[1]);
            return "no child process";
        }
        m_child = child;
        m_release = release[1];
        char status[64] = {};
        std::size_t have = 0;
        // Bounded as a whole: a connect that hangs must not hang the caller.
        const int totalMs = timeoutMs + count * 20;
        for (int waited = 0; waited < totalMs; waited += 100) {
            pollfd wait{report[0], POLLIN, 0};
            if (::poll(&wait, 1, 100) == 0)
                continue;
            ssize_t got = ::read(report[0], status + have, sizeof status - 1 - have);
            if (got > 0) {
                have += static_cast<std::size_t>(got);
                continue;
            }
            if (got < 0 && errno == EINTR)
                continue;
            break;
        }
        ::close(report[0]);
        std::string result(status, have);
        if (result.empty())
            ::kill(m_child, SIGKILL);
        if (result == "ok")
            return "";
        Close();
        return result.empty() ? "the client process ended" : result;
    }

    // Closes every connection: the child ends and is reaped.
    void Close()
    {
        if (m_release >= 0)
            ::close(m_release);
        m_release = -1;
        if (m_child > 0) {
            int status = 0;
            while (::waitpid(m_child, &status, 0) < 0 && errno == EINTR)
                ;
        }
        m_child = -1;
    }

private:
    pid_t m_child = -1;
    int m_release = -1;
};

} // namespace bench
