#include "platform/eventlog.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace platform {

namespace {

// Facility daemon; severities err, warning, info.
constexpr int kFacilityDaemon = 3 << 3;
constexpr int kSeverityError = 3;
constexpr int kSeverityWarning = 4;
constexpr int kSeverityInfo = 6;

// Syslog receivers commonly refuse longer datagrams.
constexpr std::size_t kMaxSyslogText = 1024;

int Severity(std::uint16_t type)
{
    switch (type) {
    case kEventTypeError: return kSeverityError;
    case kEventTypeWarning: return kSeverityWarning;
    default: return kSeverityInfo;
    }
}

} // namespace

std::string EventLog::SocketPath()
{
    const char* path = std::getenv(kSyslogSocketVariable);
    return path != nullptr && *path != '\0' ? path : kDefaultSyslogSocket;
}

int EventLog::Open()
{
    if (m_handle >= 0)
        return 0;
    m_handle = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    return m_handle < 0 ? errno : 0;
}

void EventLog::Close()
{
    if (m_handle >= 0)
        ::close(m_handle);
    m_handle = -1;
}

int EventLog::Report(std::uint16_t type, std::string_view text)
{
    if (m_handle < 0)
        return EBADF;
    std::string path = SocketPath();
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof(address.sun_path))
        return ENAMETOOLONG;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);

    std::string line = "<" + std::to_string(kFacilityDaemon | Severity(type)) + ">" + kEventLogIdent + "[" +
                       std::to_string(::getpid()) + "]: ";
    line.append(text.substr(0, kMaxSyslogText));
    ssize_t sent = ::sendto(m_handle, line.data(), line.size(), MSG_NOSIGNAL,
                            reinterpret_cast<const sockaddr*>(&address), sizeof(address));
    return sent < 0 ? errno : 0;
}

} // namespace platform
