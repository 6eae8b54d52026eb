// The server log writes time-stamped lines into <VELMORA_HOME>/log/Velmora.log.

#include "framework/server_log.h"
#include "framework/system_time.h"
#include "platform/eventlog.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace {

class ServerLogTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "serverlog-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        m_home = pattern;
        ::setenv("VELMORA_HOME", m_home.c_str(), 1);
    }
    void TearDown() override
    {
        CloseServerLog();
        ::unsetenv("VELMORA_HOME");
        std::filesystem::remove_all(m_home);
    }
    std::vector<std::string> Texts() const // each line's text after its stamp
    {
        std::ifstream in(m_home + "/log/" + kServerLogFileName);
        std::vector<std::string> texts;
        for (std::string line; std::getline(in, line);)
            texts.push_back(line.substr(std::min(line.size(), line.find(" GMT] ") + 6)));
        return texts;
    }
    std::string m_home;
};

TEST_F(ServerLogTest, StampedLinesOnlyWhileOpenWithLongTextsCut)
{
    LogMessage(platform::kEventTypeWarning, 0x80004000, {"before open"});
    ASSERT_TRUE(OpenServerLog());
    SystemTime now = CurrentSystemTime();
    LogMessage(platform::kEventTypeError, 0xC0004001, {"disk is full"});
    LogMessage(platform::kEventTypeWarning, 0x80004FFF, {"no such id"});
    std::string insert(300, 'x');
    LogMessage(platform::kEventTypeError, 0xC0004003, {insert});
    CloseServerLog();
    LogMessage(platform::kEventTypeWarning, 0x80004000, {"after close"});

    std::ifstream in(m_home + "/log/" + kServerLogFileName);
    std::string first;
    std::getline(in, first);
    char stamp[64];
    std::snprintf(stamp, sizeof(stamp), "[%u-%02u-%02u %u:", unsigned(now.year), unsigned(now.month),
                  unsigned(now.day), unsigned(now.hour));
    EXPECT_EQ(first.rfind(stamp, 0), 0u) << first; // same hour unless the test straddles one
    EXPECT_EQ(first.find(" GMT] disk is full"), std::strlen(stamp) + 5) << first;
    std::vector<std::string> texts = Texts();
    ASSERT_EQ(texts.size(), 2u);
    EXPECT_EQ(texts[1], ("Unexpected exception caught in " + insert).substr(0, kMaxServerLogMessage));
}

TEST(FormatLogMessage, InsertsAndPercent)
{
    std::string text;
    EXPECT_TRUE(FormatLogMessage(0x8000400B, {"timeout"}, text));
    EXPECT_EQ(text, "ODBC/KAV Error : timeout.");
    EXPECT_TRUE(FormatLogMessage(0x80004000, {}, text)); // a missing insert gives nothing
    EXPECT_EQ(text, "");
    EXPECT_TRUE(FormatLogMessage(0x40004002, {"100%1 %2"}, text)); // inserts are not re-expanded
    EXPECT_EQ(text, "100%1 %2");
    EXPECT_FALSE(FormatLogMessage(0x12345678, {}, text));
}

TEST_F(ServerLogTest, ServiceVariantReportsToTheEventLog)
{
    std::string path = m_home + "/syslog";
    int receiver = ::socket(AF_UNIX, SOCK_DGRAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
    ASSERT_EQ(::bind(receiver, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    timeval limit{5, 0};
    ::setsockopt(receiver, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
    ::setenv(platform::kSyslogSocketVariable, path.c_str(), 1);
    ASSERT_TRUE(OpenServerLog());
    ASSERT_TRUE(UseEventLog(true));
    LogMessage(platform::kEventTypeWarning, 0x8000400A);
    UseEventLog(false);
    ::unsetenv(platform::kSyslogSocketVariable);
    char buffer[512];
    ssize_t n = ::recv(receiver, buffer, sizeof(buffer), 0);
    ::close(receiver);
    ASSERT_GT(n, 0);
    EXPECT_EQ(std::string(buffer, n), "<28>Velmora[" + std::to_string(::getpid()) + "]: A server thread had to be killed.");
    EXPECT_TRUE(Texts().empty()); // reported there instead of the file
}

} // namespace
