#include "platform/remote_protocol.h"

namespace platform {

namespace {

void PutNumber(std::string& out, std::uint32_t value)
{
    for (int shift = 0; shift < 32; shift += 8)
        out += static_cast<char>((value >> shift) & 0xFF);
}

void PutBytes(std::string& out, const void* bytes, std::size_t size)
{
    PutNumber(out, static_cast<std::uint32_t>(size));
    out.append(static_cast<const char*>(bytes), size);
}

// Reads fields front to back; any read past the end fails the whole message.
class FieldReader {
public:
    explicit FieldReader(std::string_view payload) : m_rest(payload) {}

    bool Number(std::uint32_t& value)
    {
        if (m_rest.size() < 4)
            return false;
        value = 0;
        for (int i = 3; i >= 0; --i)
            value = (value << 8) | static_cast<std::uint8_t>(m_rest[i]);
        m_rest.remove_prefix(4);
        return true;
    }

    bool Text(std::string& text)
    {
        std::uint32_t size = 0;
        if (!Number(size) || size > kMaxRemoteText || size > m_rest.size())
            return false;
        text.assign(m_rest.substr(0, size));
        m_rest.remove_prefix(size);
        return true;
    }

    bool Bytes(std::vector<std::uint8_t>& bytes)
    {
        std::uint32_t size = 0;
        if (!Number(size) || size > m_rest.size())
            return false;
        bytes.assign(m_rest.begin(), m_rest.begin() + size);
        m_rest.remove_prefix(size);
        return true;
    }

    bool Byte(std::uint8_t& value)
    {
        if (m_rest.empty())
            return false;
        value = static_cast<std::uint8_t>(m_rest.front());
        m_rest.remove_prefix(1);
        return true;
    }

    bool AtEnd() const { return m_rest.empty(); }

private:
    std::string_view m_rest;
};

} // namespace

std::string EncodeRemoteRequest(const RemoteRequest& request)
{
    std::string out;
    out += static_cast<char>(request.op);
    PutNumber(out, request.handle);
    PutNumber(out, request.number);
    PutBytes(out, request.text.data(), request.text.size());
    PutBytes(out, request.data.data(), request.data.size());
    return out;
}

std::string EncodeRemoteReply(const RemoteReply& reply)
{
    std::string out;
    PutNumber(out, reply.result);
    PutNumber(out, reply.handle);
    PutNumber(out, reply.number);
    PutNumber(out, reply.other);
    PutBytes(out, reply.text.data(), reply.text.size());
    PutBytes(out, reply.data.data(), reply.data.size());
    return out;
}

bool DecodeRemoteRequest(std::string_view payload, RemoteRequest& request)
{
    if (payload.size() > kMaxRemoteFrame)
        return false;
    FieldReader reader(payload);
    std::uint8_t op = 0;
    if (!reader.Byte(op) || op == 0 || op > kRemoteOpLast)
        return false;
    request.op = static_cast<RemoteOp>(op);
    return reader.Number(request.handle) && reader.Number(request.number) && reader.Text(request.text) &&
           reader.Bytes(request.data) && reader.AtEnd();
}

bool DecodeRemoteReply(std::string_view payload, RemoteReply& reply)
{
    if (payload.size() > kMaxRemoteFrame)
        return false;
    FieldReader reader(payload);
    return reader.Number(reply.result) && reader.Number(reply.handle) && reader.Number(reply.number) &&
           reader.Number(reply.other) && reader.Text(reply.text) && reader.Bytes(reply.data) && reader.AtEnd();
}

bool DecodeRemoteFrameLength(const std::uint8_t prefix[4], std::size_t& length)
{
    length = static_cast<std::size_t>(prefix[0]) | (static_cast<std::size_t>(prefix[1]) << 8) |
             (static_cast<std::size_t>(prefix[2]) << 16) | (static_cast<std::size_t>(prefix[3]) << 24);
    return length <= kMaxRemoteFrame;
}

std::string RemoteFrame(std::string payload)
{
    std::string frame;
    PutNumber(frame, static_cast<std::uint32_t>(payload.size()));
    return frame + payload;
}

} // namespace platform

#include <cerrno>
#include <chrono>
#include <poll.h>
#include <unistd.h>

namespace platform {

namespace {

using Clock = std::chrono::steady_clock;

// Waits for fd to be ready for events; false on time-out or error.
bool WaitReady(int fd, short events, int timeoutMs, Clock::time_point deadline)
{
    for (;;) {
        int wait = -1;
        if (timeoutMs >= 0) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0)
                return false;
            wait = static_cast<int>(left);
        }
        pollfd entry{fd, events, 0};
        int ready = ::poll(&entry, 1, wait);
        if (ready > 0)
            return true;
        if (ready < 0 && errno != EINTR)
            return false;
    }
}

bool ReadExactly(int fd, char* into, std::size_t size, int timeoutMs, Clock::time_point deadline)
{
    while (size > 0) {
        if (!WaitReady(fd, POLLIN, timeoutMs, deadline))
            return false;
        ssize_t got = ::read(fd, into, size);
        if (got == 0)
            return false;
        if (got < 0) {
            if (errno == EINTR || errno == EAGAIN)
                continue;
            return false;
        }
        into += got;
        size -= static_cast<std::size_t>(got);
    }
    return true;
}

} // namespace

bool ReadRemoteFrame(int fd, std::string& payload, int timeoutMs)
{
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    std::uint8_t prefix[4];
    std::size_t length = 0;
    if (!ReadExactly(fd, reinterpret_cast<char*>(prefix), 4, timeoutMs, deadline) ||
        !DecodeRemoteFrameLength(prefix, length))
        return false;
    payload.resize(length);
    return ReadExactly(fd, payload.data(), length, timeoutMs, deadline);
}

bool WriteRemoteFrame(int fd, const std::string& payload, int timeoutMs)
{
    if (payload.size() > kMaxRemoteFrame)
        return false;
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    std::string frame = RemoteFrame(payload);
    std::size_t sent = 0;
    while (sent < frame.size()) {
        if (!WaitReady(fd, POLLOUT, timeoutMs, deadline))
            return false;
        ssize_t wrote = ::write(fd, frame.data() + sent, frame.size() - sent);
        if (wrote < 0) {
            if (errno == EINTR || errno == EAGAIN)
                continue;
            return false;
        }
        sent += static_cast<std::size_t>(wrote);
    }
    return true;
}

} // namespace platform
