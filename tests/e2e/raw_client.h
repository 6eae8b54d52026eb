#pragma once
// Raw HTTP clients for the load tests: plain POSIX sockets on 127.0.0.1,
// each wait bounded, replies taken apart by their Content-length, so a test
// sees exactly what the server sent and when it closed.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <strings.h>

namespace e2e {

inline std::uint64_t NowMs()
{
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::steady_clock::now().time_since_epoch())
                                          .count());
}

// Raises the soft limit on open descriptors to at least wanted (never above
// the hard limit); true when the limit now allows wanted.
inline bool RaiseOpenFileLimit(rlim_t wanted)
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return false;
    if (limit.rlim_cur >= wanted)
        return true;
    if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < wanted)
        return false;
    limit.rlim_cur = wanted;
    return ::setrlimit(RLIMIT_NOFILE, &limit) == 0;
}

// Entries of a /proc/self folder: open descriptors (fd) or threads (task).
inline std::size_t CountProcEntries(const char* folder)
{
    std::size_t count = 0;
    std::error_code error;
    for (auto it = std::filesystem::directory_iterator(std::string("/proc/self/") + folder, error);
         !error && it != std::filesystem::directory_iterator(); it.increment(error))
        ++count;
    return count;
}

// A socket connected to 127.0.0.1:port, blocking or not; -1 on failure.
inline int ConnectLoopback(std::uint16_t port, bool nonBlocking)
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | (nonBlocking ? SOCK_NONBLOCK : 0), 0);
    if (fd < 0)
        return -1;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0 && errno != EINPROGRESS) {
        ::close(fd);
        return -1;
    }
    return fd;
}

inline bool SendAll(int fd, const std::string& bytes)
{
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        long n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

// One reply found at the start of a buffer.
struct ParsedReply {
    enum State { kIncomplete, kComplete, kMalformed };
    State state = kIncomplete;
    int status = 0;
    std::string head;
    std::string body;
    std::size_t size = 0; // bytes of the buffer it takes
};

inline ParsedReply ParseReply(const std::string& buffer)
{
    ParsedReply reply;
    std::size_t end = buffer.find("\r\n\r\n");
    if (end == std::string::npos)
        return reply;
    reply.head = buffer.substr(0, end + 2);
    if (reply.head.rfind("HTTP/1.", 0) != 0 || reply.head.size() < 12) {
        reply.state = ParsedReply::kMalformed;
        return reply;
    }
    reply.status = std::atoi(reply.head.c_str() + 9);
    long long length = -1;
    for (std::size_t line = reply.head.find("\r\n") + 2; line < reply.head.size();) {
        std::size_t next = reply.head.find("\r\n", line);
        if (::strncasecmp(reply.head.c_str() + line, "Content-length:", 15) == 0)
            length = std::atoll(reply.head.c_str() + line + 15);
        line = next + 2;
    }
    if (length < 0) {
        reply.state = ParsedReply::kMalformed;
        return reply;
    }
    if (buffer.size() < end + 4 + static_cast<std::size_t>(length))
        return reply;
    reply.body = buffer.substr(end + 4, static_cast<std::size_t>(length));
    reply.size = end + 4 + static_cast<std::size_t>(length);
    reply.state = ParsedReply::kComplete;
    return reply;
}

// A blocking client that reads with a deadline and notices the close.
class RawClient {
public:
    enum Outcome { kReply, kClosed, kTimedOut, kMalformed };

    explicit RawClient(std::uint16_t port) : m_fd(ConnectLoopback(port, false)) {}
    ~RawClient() { Close(); }
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    bool Connected() const { return m_fd >= 0; }
    bool Send(const std::string& bytes) { return m_fd >= 0 && SendAll(m_fd, bytes); }
    void Close()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }

    // Waits up to timeoutMs for a whole reply (kept in reply) or the close.
    Outcome Read(std::uint64_t timeoutMs, ParsedReply& reply)
    {
        std::uint64_t deadline = NowMs() + timeoutMs;
        for (;;) {
            reply = ParseReply(m_buffer);
            if (reply.state == ParsedReply::kComplete) {
                m_buffer.erase(0, reply.size);
                return kReply;
            }
            if (reply.state == ParsedReply::kMalformed)
                return kMalformed;
            if (!Fill(deadline))
                return m_closed ? kClosed : kTimedOut;
        }
    }

    // Reads and drops everything until the server closes; the time of the
    // close, or 0 when it had not closed by the deadline.
    std::uint64_t WaitForClose(std::uint64_t timeoutMs)
    {
        std::uint64_t deadline = NowMs() + timeoutMs;
        while (Fill(deadline))
            m_buffer.clear();
        return m_closed ? m_closedAt : 0;
    }

private:
    // Appends what arrives before the deadline; false at the deadline or
    // once the peer has closed (or reset).
    bool Fill(std::uint64_t deadline)
    {
        if (m_fd < 0 || m_closed)
            return false;
        std::uint64_t now = NowMs();
        if (now >= deadline)
            return false;
        pollfd entry{m_fd, POLLIN, 0};
        int ready = ::poll(&entry, 1, static_cast<int>(deadline - now));
        if (ready < 0 && errno == EINTR)
            return true;
        if (ready <= 0)
            return false;
        char chunk[16384];
        long n = ::recv(m_fd, chunk, sizeof chunk, 0);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            return true;
        if (n <= 0) {
            m_closed = true;
            m_closedAt = NowMs();
            return false;
        }
        m_buffer.append(chunk, static_cast<std::size_t>(n));
        return true;
    }

    int m_fd = -1;
    std::string m_buffer;
    bool m_closed = false;
    std::uint64_t m_closedAt = 0;
};

} // namespace e2e
