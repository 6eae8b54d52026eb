// Event reports arrive as syslog datagrams on a socket the test binds.

#include "platform/eventlog.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

TEST(EventLog, ReportsEachTypeWithItsSeverity)
{
    std::string path = "/tmp/velmora-eventlog-" + std::to_string(::getpid());
    int receiver = ::socket(AF_UNIX, SOCK_DGRAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
    ASSERT_EQ(::bind(receiver, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    timeval limit{5, 0}; // a lost datagram fails instead of hanging
    ::setsockopt(receiver, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
    ::setenv(platform::kSyslogSocketVariable, path.c_str(), 1);

    platform::EventLog log;
    EXPECT_NE(log.Report(platform::kEventTypeError, "x"), 0); // not open
    ASSERT_EQ(log.Open(), 0);
    std::string tag = "Velmora[" + std::to_string(::getpid()) + "]: ";
    std::pair<std::uint16_t, int> cases[] = {
        {platform::kEventTypeError, 27}, {platform::kEventTypeWarning, 28}, {platform::kEventTypeInformation, 30}};
    for (auto [type, priority] : cases) {
        ASSERT_EQ(log.Report(type, "Pausing Velmora service."), 0);
        char buffer[512];
        ssize_t n = ::recv(receiver, buffer, sizeof(buffer), 0);
        ASSERT_GT(n, 0);
        EXPECT_EQ(std::string(buffer, n), "<" + std::to_string(priority) + ">" + tag + "Pausing Velmora service.");
    }
    ::close(receiver);
    ::unlink(path.c_str());
    EXPECT_NE(log.Report(platform::kEventTypeError, "x"), 0); // nobody listening
    ::unsetenv(platform::kSyslogSocketVariable);
    EXPECT_EQ(platform::EventLog::SocketPath(), platform::kDefaultSyslogSocket);
}
