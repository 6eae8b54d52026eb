// SendErrorReply's bytes as a loopback client receives them.

#include "framework/error_reply.h"
#include "framework/server_log.h"
#include "loopback.h"

#include <sys/socket.h>
#include <sys/time.h>

namespace {

std::string Reply(int status, std::string_view body, const char* extra, bool sendHeader, bool sendBody)
{
    LoopbackPair pair;
    SendErrorReply(pair.server, status, body, extra, sendHeader, sendBody);
    pair.server.Close();
    timeval limit{5, 0};
    ::setsockopt(pair.client.GetHandle(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
    std::string received;
    char buffer[4096];
    for (ssize_t n = 1; n > 0 && received.size() < 65536;)
        if ((n = ::recv(pair.client.GetHandle(), buffer, sizeof(buffer), 0)) > 0)
            received.append(buffer, n);
    return received;
}

TEST(SendErrorReply, HeaderAndBodyCombinations)
{
    const std::string server = std::string("Server: ") + kProductToken + "\r\nContent-type: text/html\r\n";
    struct Case {
        int status;
        const char *body, *extra;
        bool sendHeader, sendBody;
        std::string expected;
    } cases[] = {
        {404, "abc", nullptr, true, true, "HTTP/1.0 404 URL not found\r\n" + server + "Content-length: 3\r\n\r\nabc"},
        {401, "<p>", "WWW-Authenticate: Basic\r\n", true, true,
         "HTTP/1.0 401 Authentication required\r\n" + server + "Content-length: 3\r\nWWW-Authenticate: Basic\r\n\r\n<p>"},
        {500, "hidden", nullptr, true, false, "HTTP/1.0 500 Server error\r\n" + server + "Content-length: 6\r\n\r\n"},
        {404, "abc", nullptr, false, true, "abc"},
        {299, "", nullptr, true, true, "HTTP/1.0 299 \r\n" + server + "Content-length: 0\r\n\r\n"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Reply(c.status, c.body, c.extra, c.sendHeader, c.sendBody), c.expected) << c.status;

    ASSERT_TRUE(UseEventLog(true)); // the service's token
    std::string reply = Reply(503, "", nullptr, true, false);
    UseEventLog(false);
    EXPECT_NE(reply.find(std::string("\r\nServer: ") + kServiceProductToken + "\r\n"), std::string::npos) << reply;
}

} // namespace
