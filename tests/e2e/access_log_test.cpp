// The access log of a server that real clients used in many ways, in both
// formats: the fixture checks every line against the strict expressions and
// goaccess; here the lines are counted and the statuses read back.

#include "e2e_server.h"
#include "raw_client.h"

#include "eventually.h"
#include "framework/server_stats.h"
#include "platform/clock.h"

using namespace e2e;

namespace {

class AccessLogTest : public E2ETest {
protected:
    // Connections the (one) server has finished with.
    static std::uint32_t Hits() { return GetServerList().front()->GetStats().Read(server_stat_offset::kNumHits); }
    static constexpr std::uint64_t kServedWaitMs = 30000;
};

TEST_F(AccessLogTest, EveryLineOfAMixedSessionIsWellFormed)
{
    std::uint16_t common = FreePort();
    std::uint16_t combined = FreePort();
    ASSERT_NE(common, combined);
    AddServer(common);
    AddServer(combined);
    ASSERT_FALSE(m_logs[0].combined);
    ASSERT_TRUE(m_logs[1].combined);
    WriteFile(m_root + "/a.txt", std::string(300, 'a'));
    WriteFile(m_root + "/page.htm", "%expand%[%form(x)]");
    StartServers();

    for (std::uint16_t port : {common, combined}) {
        const std::vector<std::vector<std::string>> requests = {
            {URL(port, "/a.txt?q=1")},
            {"-I", URL(port, "/a.txt")},
            {"-r", "0-9,20-29", URL(port, "/a.txt")},
            {"-z", "Sun, 01 Jan 2040 00:00:00 GMT", URL(port, "/a.txt")},
            {"-d", "x=1", URL(port, "/page.htm")},
            {"-A", "odd \"agent\" \\ x", "-e", "http://ref/\"q\"", URL(port, "/a\"b")},
            {"-u", "who:pw", URL(port, "/missing.htm")},
        };
        for (const std::vector<std::string>& request : requests) {
            std::vector<std::string> args = {"-o", "/dev/null", "-w", "%{http_code}"};
            args.insert(args.end(), request.begin(), request.end());
            EXPECT_EQ(Curl(args).exitCode, 0) << request.back();
        }
    }
    for (const AccessLog& log : m_logs) {
        std::vector<std::string> lines = LogLines(log.path);
        ASSERT_EQ(lines.size(), 7u) << log.path;
        const std::vector<std::string> shown = {
            "\"GET /a.txt?q=1 HTTP/1.1\" 200 300", "\"HEAD /a.txt HTTP/1.1\" 200 0", "\" 206 ",
            "\" 304 0",                          "\"POST /page.htm HTTP/1.1\" 200 3", "\" 404 ",
            "\"GET /missing.htm HTTP/1.1\" 404 "};
        for (std::size_t i = 0; i < lines.size(); ++i)
            EXPECT_NE(lines[i].find(shown[i]), std::string::npos) << lines[i];
        if (log.combined) {
            EXPECT_NE(lines[5].find(R"("http://ref/\"q\"" "odd \"agent\" \\ x")"), std::string::npos) << lines[5];
        }
    }
}

// A refusal that carries a page logs the page's bytes, as a file's reply
// logs the file's: 401 and 404 were logged as 0.
TEST_F(AccessLogTest, ARefusalLogsTheBytesOfItsPage)
{
    std::uint16_t port = FreePort();
    AddServer(port);
    WriteFile(m_root + "/closed/page.txt", "closed");
    WriteFile(m_root + "/closed/page.txt.~ACL~", "Reject-user: *,*,127.0.0.*\r\n");
    StartServers();
    std::vector<std::string> sizes;
    for (const char* path : {"/closed/page.txt", "/missing.htm"}) {
        RunResult reply = Curl({"-o", "/dev/null", "-w", "%{http_code} %{size_download}", URL(port, path)});
        ASSERT_EQ(reply.exitCode, 0);
        sizes.push_back(reply.output.substr(4));
        EXPECT_NE(sizes.back(), "0") << path << " carried no page";
    }
    std::vector<std::string> lines = LogLines(m_logs[0].path);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find("\" 401 " + sizes[0]), std::string::npos) << lines[0];
    EXPECT_NE(lines[1].find("\" 404 " + sizes[1]), std::string::npos) << lines[1];
}

// A pre-connect that sends nothing is no request and leaves no line; a
// connection that sent something malformed keeps its line.
TEST_F(AccessLogTest, OnlyAConnectionThatSentSomethingWritesALine)
{
    struct Case {
        const char* what;
        std::string bytes;
        const char* logged; // null: no line
    };
    const Case cases[] = {
        {"connected and closed", "", nullptr},
        {"an empty line", "\r\n", "\" \" 501 "},
        {"a bare CR in the request line", "GET /a.txt\rX HTTP/1.0\r\n\r\n", " 400 "},
    };
    std::uint16_t port = FreePort();
    AddServer(port);
    WriteFile(m_root + "/a.txt", "a");
    StartServers();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::size_t before = LogLines(m_logs[0].path).size();
        const std::uint32_t hits = Hits();
        {
            RawClient client(port);
            ASSERT_TRUE(client.Connected());
            if (!c.bytes.empty()) {
                ASSERT_TRUE(client.Send(c.bytes));
                ParsedReply reply;
                client.Read(5000, reply);
            }
        }
        // A connection's hit is counted after its log line was written, so
        // the count tells when the server is done with each one.
        ASSERT_TRUE(Eventually([&] { return Hits() == hits + 1; }, kServedWaitMs)) << Hits() - hits;
        EXPECT_EQ(Curl({"-o", "/dev/null", URL(port, "/a.txt")}).exitCode, 0);
        ASSERT_TRUE(Eventually([&] { return Hits() == hits + 2; }, kServedWaitMs)) << Hits() - hits;
        std::vector<std::string> lines = LogLines(m_logs[0].path);
        ASSERT_EQ(lines.size(), before + (c.logged ? 2 : 1));
        EXPECT_NE(lines.back().find("\"GET /a.txt HTTP/1.1\" 200 1"), std::string::npos) << lines.back();
        if (c.logged) {
            EXPECT_NE(lines[before].find(c.logged), std::string::npos) << lines[before];
        }
    }
}

} // namespace
