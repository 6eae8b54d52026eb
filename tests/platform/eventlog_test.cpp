// Event reports arrive as syslog datagrams on a socket the test binds.

#include "platform/eventlog.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

class SyslogReceiver {
public:
    SyslogReceiver()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "eventlog-XXXXXX").string();
        EXPECT_NE(::mkdtemp(pattern.data()), nullptr);
        m_directory = pattern;
        m_path = m_directory + "/log";
        m_handle = ::socket(AF_UNIX, SOCK_DGRAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, m_path.c_str(), sizeof(address.sun_path) - 1);
        EXPECT_EQ(::bind(m_handle, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
        timeval limit{5, 0}; // a lost datagram fails the test instead of hanging it
        ::setsockopt(m_handle, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
        ::setenv(platform::kSyslogSocketVariable, m_path.c_str(), 1);
    }
    ~SyslogReceiver()
    {
        ::unsetenv(platform::kSyslogSocketVariable);
        ::close(m_handle);
        std::filesystem::remove_all(m_directory);
    }
    std::string Receive()
    {
        char buffer[2048];
        ssize_t n = ::recv(m_handle, buffer, sizeof(buffer), 0);
        return n < 0 ? std::string() : std::string(buffer, static_cast<std::size_t>(n));
    }
    std::string m_directory, m_path;
    int m_handle = -1;
};

TEST(EventLog, ReportsEachTypeWithItsSeverity)
{
    SyslogReceiver receiver;
    platform::EventLog log;
    ASSERT_EQ(log.Open(), 0);
    EXPECT_EQ(platform::EventLog::SocketPath(), receiver.m_path);
    std::string tag = "Velmora[" + std::to_string(::getpid()) + "]: ";
    struct Case {
        std::uint16_t type;
        int priority;
    } cases[] = {{platform::kEventTypeError, 27}, {platform::kEventTypeWarning, 28},
                 {platform::kEventTypeInformation, 30}};
    for (const Case& c : cases) {
        ASSERT_EQ(log.Report(c.type, "Pausing Velmora service."), 0);
        EXPECT_EQ(receiver.Receive(), "<" + std::to_string(c.priority) + ">" + tag + "Pausing Velmora service.");
    }
}

TEST(EventLog, FailsWithoutReceiverOrWhenClosed)
{
    platform::EventLog log;
    EXPECT_NE(log.Report(platform::kEventTypeError, "x"), 0);
    ::setenv(platform::kSyslogSocketVariable, "/nonexistent-velmora-dir/log", 1);
    ASSERT_EQ(log.Open(), 0);
    EXPECT_NE(log.Report(platform::kEventTypeError, "x"), 0);
    ::unsetenv(platform::kSyslogSocketVariable);
    EXPECT_EQ(platform::EventLog::SocketPath(), platform::kDefaultSyslogSocket);
}

} // namespace
