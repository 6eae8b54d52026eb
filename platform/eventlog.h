#pragma once
// EventLog: the service's event reports as syslog lines ("<pri>Velmora[pid]: text")
// sent to a UNIX datagram socket: $VELMORA_SYSLOG_SOCKET, else /dev/log.

#include <cstdint>
#include <string>
#include <string_view>

namespace platform {

// Event types as the reporting code passes them.
inline constexpr std::uint16_t kEventTypeError = 1;
inline constexpr std::uint16_t kEventTypeWarning = 2;
inline constexpr std::uint16_t kEventTypeInformation = 4;

inline constexpr const char* kEventLogIdent = "Velmora";
inline constexpr const char* kDefaultSyslogSocket = "/dev/log";
inline constexpr const char* kSyslogSocketVariable = "VELMORA_SYSLOG_SOCKET";

class EventLog {
public:
    EventLog() = default;
    ~EventLog() { Close(); }
    EventLog(const EventLog&) = delete;
    EventLog& operator=(const EventLog&) = delete;

    // Opens an unbound datagram socket; 0 or an errno.
    int Open();
    void Close();
    bool IsOpen() const { return m_handle >= 0; }
    // Sends one line with the type's severity; 0 or an errno (the socket path
    // is read per report, so a syslog daemon that starts later is found).
    int Report(std::uint16_t type, std::string_view text);

    // The socket path reports go to.
    static std::string SocketPath();

private:
    int m_handle = -1;
};

} // namespace platform
