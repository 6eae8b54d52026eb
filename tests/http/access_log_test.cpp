// Access-log lines in the common and combined formats, checked against
// strict regular expressions (and goaccess when it is installed), with
// hostile client text; the header split and the header filter.

#include "http_server_fixture.h"

#include "http/access_log.h"
#include "http/http_request.h"

#include <cstdio>
#include <regex>

using namespace http_test;

namespace {

// One quoted field: no bare quote, every backslash starts an escape.
const std::string kQuoted = R"("(?:[^"\\\x00-\x1f]|\\.)*")";
const std::regex kCommonLine(R"(^\S+ - \S+ \[\d{2}/[A-Z][a-z]{2}/\d{4}:\d{2}:\d{2}:\d{2} \+0000\] )" + kQuoted +
                             R"( \d{3} \d+$)");
const std::regex kCombinedLine(R"(^\S+ - \S+ \[\d{2}/[A-Z][a-z]{2}/\d{4}:\d{2}:\d{2}:\d{2} \+0000\] )" + kQuoted +
                               R"( \d{3} \d+ )" + kQuoted + " " + kQuoted + "$");

// 08/Dec/1996:10:15:02 UTC.
constexpr std::int64_t kSampleTime = 850040102;

struct LineCase {
    const char* requestLine;
    const char* user;
    const char* referer;
    const char* agent;
    bool combined;
    const char* expected;
};

TEST(AccessLogLineTest, CommonAndCombinedLinesAreExactAndStrict)
{
    const LineCase cases[] = {
        {"GET /index.htm HTTP/1.0", "", "", "", false,
         R"(10.0.0.5 - - [08/Dec/1996:10:15:02 +0000] "GET /index.htm HTTP/1.0" 200 1043)"},
        {"GET /x", "", "", "", false, R"(10.0.0.5 - - [08/Dec/1996:10:15:02 +0000] "GET /x" 200 1043)"},
        {"GET /a?b=1 HTTP/1.0", "bob", "", "", false,
         R"(10.0.0.5 - bob [08/Dec/1996:10:15:02 +0000] "GET /a?b=1 HTTP/1.0" 200 1043)"},
        {"GET /a? HTTP/1.0", "", "", "", true,
         R"(10.0.0.5 - - [08/Dec/1996:10:15:02 +0000] "GET /a? HTTP/1.0" 200 1043 "" "")"},
        {"GET / HTTP/1.0", "", "http://r/", "curl/8", true,
         R"(10.0.0.5 - - [08/Dec/1996:10:15:02 +0000] "GET / HTTP/1.0" 200 1043 "http://r/" "curl/8")"},
        // Client text cannot end a field or the line.
        {"GET /\"q\\ HTTP/1.0", "", "", "a\"b", true,
         R"(10.0.0.5 - - [08/Dec/1996:10:15:02 +0000] "GET /\"q\\ HTTP/1.0" 200 1043 "" "a\"b")"},
        {"GET /a\rb HTTP/1.0", "we ird", "x\x01", "", true,
         R"(10.0.0.5 - we\x20ird [08/Dec/1996:10:15:02 +0000] "GET /a\x0db HTTP/1.0" 200 1043 "x\x01" "")"},
    };
    for (const LineCase& c : cases) {
        CHTTPRequest request;
        request.RequestLine.Append(c.requestLine);
        SplitRequestLine(request);
        std::strcpy(request.ClientAddress, "10.0.0.5");
        request.AuthUser = c.user;
        request.Referer = c.referer;
        request.UserAgent = c.agent;
        request.Status = 200;
        request.BytesSent = 1043;
        CTextBuffer line;
        FormatAccessLogLine(line, request, c.combined, kSampleTime);
        EXPECT_EQ(line.ToString(), c.expected) << c.requestLine;
        EXPECT_TRUE(std::regex_match(line.ToString(), c.combined ? kCombinedLine : kCommonLine)) << line.ToString();
    }
}

struct SplitCase {
    const char* line;
    const char* name;
    const char* value;
};

TEST(HeaderTextTest, SplitHeaderLineTakesNameAndValue)
{
    const SplitCase cases[] = {
        {"X-Name:value", "X-Name", "value"}, {"X-Name", "X-Name", ""},       {"A:   b c  ", "A", "b c  "},
        {"A:", "A", ""},                     {"A: b\r\nC: d", "A", "b"},    {"A\r\n: b", "A", ""},
        {"Host: x:80", "Host", "x:80"},      {"", "", ""},
    };
    for (const SplitCase& c : cases) {
        std::string name = "stale";
        std::string value = "stale";
        SplitHeaderLine(name, value, c.line);
        EXPECT_EQ(name, c.name) << c.line;
        EXPECT_EQ(value, c.value) << c.line;
    }
}

TEST(HeaderTextTest, FilterHeadersDropsAndAppendsInOrder)
{
    const std::string block = "Accept: image/gif\r\nAuthorization: Basic x\r\nConnection: keep-alive\r\n"
                              "Range: bytes=1-2\r\nIf-Modified-Since: x\r\nUser-Agent: curl\r\nSet-Cookie: a=b\r\n"
                              "Cookie: c=d\n\nHost: h\r\n";
    CTextBuffer accept;
    FilterHeaders(accept, block, kFilterAccept, 0);
    EXPECT_EQ(accept.ToString(), "Authorization: Basic x\r\nConnection: keep-alive\r\nRange: bytes=1-2\r\n"
                                 "If-Modified-Since: x\r\nUser-Agent: curl\r\nSet-Cookie: a=b\r\nCookie: c=d\r\n"
                                 "Host: h\r\nAccept: */*\r\n");

    CTextBuffer all;
    FilterHeaders(all, block,
                  kFilterAuthorization | kFilterConnection | kFilterRange | kFilterAccept |
                      kFilterIfModifiedSinceTime | kFilterUserAgent | kFilterSetCookie | kFilterProxyAgent,
                  kSampleTime);
    EXPECT_EQ(all.ToString(), std::string("Cookie: c=d\r\nHost: h\r\nAccept: */*\r\n"
                                          "If-modified-since: Sun, 08 Dec 1996 10:15:02 GMT\r\nUser-agent: ") +
                                  kProxyProductToken + "\r\nProxy-agent: " + kProxyProductToken + "\r\n");

    // 0x080 only drops; 0x010 without a time adds nothing.
    for (unsigned flags : {kFilterIfModifiedSince, kFilterIfModifiedSinceTime}) {
        CTextBuffer dropped;
        FilterHeaders(dropped, "If-modified-since: x\r\nHost: h\r\n", flags, 0);
        EXPECT_EQ(dropped.ToString(), "Host: h\r\n") << flags;
    }
}

class AccessLogTest : public HTTPServerTest {
protected:
    std::string LogPath() const { return m_dir / "access.log"; }
    void StartLogging(bool combined, const std::string& logMacro = "")
    {
        WriteFile(m_root + "/a.txt", "hello");
        StartServer([&](CServiceSettings& service, CHTTPSettings& http) {
            service.logFile = LogPath();
            http.cclf = combined ? 1 : 0;
            http.logMacro = logMacro;
        });
    }
    std::vector<std::string> LogLines()
    {
        m_server->FlushLog();
        std::vector<std::string> lines;
        std::istringstream text(ReadFile(LogPath()));
        for (std::string line; std::getline(text, line);)
            lines.push_back(line);
        return lines;
    }
};

// Both formats, with a fresh server and log for each; goaccess, when
// installed, must count every line as a valid request.
TEST_F(AccessLogTest, EveryLineTheServerWritesIsStrictAndGoaccessReadsIt)
{
    const bool haveGoaccess = std::system("command -v goaccess > /dev/null 2>&1") == 0;
    for (bool combined : {false, true}) {
        std::filesystem::remove(LogPath());
        StartLogging(combined);
        EXPECT_EQ(Ask(Get("/a.txt?x=1")).status, 200);
        EXPECT_EQ(Ask(Get("/missing.htm")).status, 404);
        Ask(Get("/a\"b\\c", "User-Agent: evil \"agent\"\r\nReferer: http://x/\"y\r\n"));
        Ask("GET /a.txt\x01 HTTP/1.0\r\n\r\n");
        Exchange("GET /a.txt\r\n");
        std::vector<std::string> lines = LogLines();
        StopAllServers();
        ASSERT_EQ(lines.size(), 5u);
        for (const std::string& line : lines)
            EXPECT_TRUE(std::regex_match(line, combined ? kCombinedLine : kCommonLine)) << line;
        EXPECT_EQ(lines[0].rfind("127.0.0.1 - - [", 0), 0u) << lines[0];
        EXPECT_NE(lines[0].find("\"GET /a.txt?x=1 HTTP/1.0\" 200 5"), std::string::npos) << lines[0];
        EXPECT_NE(lines[2].find(R"("GET /a\"b\\c HTTP/1.0" 404 )"), std::string::npos) << lines[2];
        EXPECT_NE(lines[4].find("\"GET /a.txt\" 200 5"), std::string::npos) << lines[4];
        if (combined) {
            EXPECT_TRUE(lines[2].ends_with(R"( "http://x/\"y" "evil \"agent\"")")) << lines[2];
        }
        if (!haveGoaccess)
            continue;
        const std::string command = "goaccess '" + LogPath() + "' --no-global-config --log-format=" +
                                    (combined ? "COMBINED" : "COMMON") + " -o csv 2>&1";
        std::string report;
        if (FILE* pipe = ::popen(command.c_str(), "r")) {
            char buffer[4096];
            for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
                report.append(buffer, got);
            ::pclose(pipe);
        }
        EXPECT_NE(report.find(R"("5","valid_requests")"), std::string::npos) << report.substr(0, 1000);
        EXPECT_NE(report.find(R"("0","failed_requests")"), std::string::npos) << report.substr(0, 1000);
    }
    if (!haveGoaccess)
        GTEST_SKIP() << "goaccess is not installed; the regular expressions alone were checked";
}

TEST_F(AccessLogTest, ALogMacroWritesWhatItLogs)
{
    StartLogging(false, "%log(%client-method% %client-url% %client-status%)");
    EXPECT_EQ(Ask(Get("/a.txt")).status, 200);
    EXPECT_EQ(Ask(Get("/nothing")).status, 404);
    EXPECT_EQ(LogLines(), (std::vector<std::string>{"GET /a.txt 200", "GET /nothing 404"}));
}

} // namespace
