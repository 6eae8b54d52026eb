#pragma once
// Hostile slow senders: connections to 127.0.0.1 that send the start of a
// request head at once and then one more byte (or the drip given) at every
// interval, for as long as the server keeps them. A background thread drips
// and watches each connection for the server's close.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <string>
#include <thread>
#include <utility>
#include <vector>

class DripClients {
public:
    DripClients(std::uint16_t port, const std::vector<std::string>& starts, int intervalMs = 100,
                std::string drip = "a")
        : m_intervalMs(intervalMs), m_drip(std::move(drip))
    {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        for (const std::string& start : starts) {
            int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
                ::send(fd, start.data(), start.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(start.size())) {
                if (fd >= 0)
                    ::close(fd);
                continue;
            }
            m_fds.push_back(fd);
        }
        m_thread = std::thread([this] { Run(); });
    }
    ~DripClients()
    {
        m_stop = true;
        m_thread.join();
        for (int fd : m_fds)
            ::close(fd);
    }
    DripClients(const DripClients&) = delete;
    DripClients& operator=(const DripClients&) = delete;

    int Connected() const { return static_cast<int>(m_fds.size()); }
    // Connections the server ended (closed or reset).
    int Closed() const { return m_closed.load(); }
    // Bytes the server sent back on any of them.
    long Replied() const { return m_replied.load(); }
    // Rounds of drips so far.
    int Rounds() const { return m_rounds.load(); }

private:
    void Run()
    {
        std::vector<bool> closed(m_fds.size(), false);
        while (!m_stop) {
            for (std::size_t i = 0; i < m_fds.size(); ++i) {
                if (!closed[i] && ::send(m_fds[i], m_drip.data(), m_drip.size(), MSG_NOSIGNAL | MSG_DONTWAIT) < 0 &&
                    errno != EAGAIN)
                    Close(closed, i);
            }
            std::vector<pollfd> watched;
            std::vector<std::size_t> which;
            for (std::size_t i = 0; i < m_fds.size(); ++i) {
                if (!closed[i]) {
                    watched.push_back({m_fds[i], POLLIN, 0});
                    which.push_back(i);
                }
            }
            // The interval is the pace of the drip, not a wait for a result.
            if (::poll(watched.data(), watched.size(), m_intervalMs) > 0) {
                for (std::size_t k = 0; k < watched.size(); ++k) {
                    if (watched[k].revents == 0)
                        continue;
                    char buffer[4096];
                    ssize_t got = ::recv(watched[k].fd, buffer, sizeof buffer, MSG_DONTWAIT);
                    if (got > 0)
                        m_replied += got;
                    else if (got == 0 || errno != EAGAIN)
                        Close(closed, which[k]);
                }
            }
            ++m_rounds;
        }
    }
    void Close(std::vector<bool>& closed, std::size_t i)
    {
        closed[i] = true;
        ++m_closed;
    }

    int m_intervalMs;
    std::string m_drip;
    std::vector<int> m_fds;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_closed{0};
    std::atomic<long> m_replied{0};
    std::atomic<int> m_rounds{0};
    std::thread m_thread;
};
