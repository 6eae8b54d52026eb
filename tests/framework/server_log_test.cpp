// The server log writes time-stamped lines into <VELMORA_HOME>/log/Velmora.log.

#include "framework/server_log.h"
#include "framework/system_time.h"
#include "platform/eventlog.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
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
    std::vector<std::string> Lines() const
    {
        std::ifstream in(m_home + "/log/" + kServerLogFileName);
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);)
            lines.push_back(line);
        return lines;
    }
    std::string m_home;
};

TEST_F(ServerLogTest, WritesOneStampedLineWithTheInsert)
{
    ASSERT_TRUE(OpenServerLog());
    std::int64_t before = *SystemTimeToUnixSeconds(CurrentSystemTime());
    LogMessage(platform::kEventTypeError, 0xC0004001, {"disk is full"});
    LogMessage(platform::kEventTypeError, 0xC0004003, {"CHTTPServer::ServerRequest"});
    std::int64_t after = *SystemTimeToUnixSeconds(CurrentSystemTime());

    std::vector<std::string> lines = Lines();
    ASSERT_EQ(lines.size(), 2u);
    std::smatch match;
    std::regex stamp(R"(^\[(\d+)-(\d\d)-(\d\d) (\d+):(\d\d):(\d\d) GMT\] (.*)$)");
    ASSERT_TRUE(std::regex_match(lines[0], match, stamp)) << lines[0];
    SystemTime when;
    when.year = std::stoi(match[1]);
    when.month = std::stoi(match[2]);
    when.day = std::stoi(match[3]);
    when.hour = std::stoi(match[4]);
    when.minute = std::stoi(match[5]);
    when.second = std::stoi(match[6]);
    std::int64_t seconds = *SystemTimeToUnixSeconds(when);
    EXPECT_GE(seconds, before);
    EXPECT_LE(seconds, after);
    EXPECT_EQ(match[7], "disk is full");
    ASSERT_TRUE(std::regex_match(lines[1], match, stamp)) << lines[1];
    EXPECT_EQ(match[7], "Unexpected exception caught in CHTTPServer::ServerRequest.");
}

TEST_F(ServerLogTest, DropsEventsWhileClosedAndUnknownIds)
{
    LogMessage(platform::kEventTypeWarning, 0x80004000, {"before open"});
    ASSERT_TRUE(OpenServerLog());
    LogMessage(platform::kEventTypeWarning, 0x80004FFF, {"no such id"});
    LogMessage(platform::kEventTypeWarning, 0x80004000, {"while open"});
    CloseServerLog();
    LogMessage(platform::kEventTypeWarning, 0x80004000, {"after close"});
    std::vector<std::string> lines = Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("] while open"), std::string::npos);
}

TEST_F(ServerLogTest, LongMessageIsCutNotDropped)
{
    ASSERT_TRUE(OpenServerLog());
    std::string insert(300, 'x');
    LogMessage(platform::kEventTypeError, 0xC0004003, {insert});
    std::vector<std::string> lines = Lines();
    ASSERT_EQ(lines.size(), 1u);
    std::string text = lines[0].substr(lines[0].find("] ") + 2);
    EXPECT_EQ(text.size(), kMaxServerLogMessage);
    EXPECT_EQ(text, ("Unexpected exception caught in " + insert).substr(0, kMaxServerLogMessage));
}

TEST(FormatLogMessage, InsertsAndPercent)
{
    std::string text;
    EXPECT_TRUE(FormatLogMessage(0x8000400B, {"timeout"}, text));
    EXPECT_EQ(text, "ODBC error: timeout");
    EXPECT_TRUE(FormatLogMessage(0x80004000, {}, text)); // a missing insert gives nothing
    EXPECT_EQ(text, "");
    EXPECT_TRUE(FormatLogMessage(0x40004002, {"100%1 %2"}, text)); // inserts are not re-expanded
    EXPECT_EQ(text, "100%1 %2");
    EXPECT_FALSE(FormatLogMessage(0x12345678, {}, text));
}

} // namespace

#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

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
    std::string line(buffer, static_cast<std::size_t>(n));
    EXPECT_EQ(line, "<28>Velmora[" + std::to_string(::getpid()) + "]: A server thread had to be killed.");
    EXPECT_TRUE(Lines().empty()); // reported there instead of the file
}

} // namespace
