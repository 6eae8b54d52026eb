// SendErrorReply's bytes as a loopback client receives them.

#include "framework/error_reply.h"
#include "framework/server_log.h"
#include "framework/wsocket.h"
#include "loopback.h"

#include <gtest/gtest.h>

#include <string>
#include <sys/socket.h>
#include <sys/time.h>

namespace {

// Everything the client receives until the server end closes.
std::string ReadAll(WSocket& client)
{
    timeval limit{5, 0};
    ::setsockopt(client.GetHandle(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
    std::string received;
    char buffer[4096];
    for (int rounds = 0; rounds < 1000; ++rounds) {
        ssize_t n = ::recv(client.GetHandle(), buffer, sizeof(buffer), 0);
        if (n <= 0)
            break;
        received.append(buffer, static_cast<std::size_t>(n));
    }
    return received;
}

std::string Reply(int status, std::string_view body, const char* extra, bool sendHeader, bool sendBody)
{
    LoopbackPair pair;
    SendErrorReply(pair.server, status, body, extra, sendHeader, sendBody);
    pair.server.Close();
    return ReadAll(pair.client);
}

TEST(SendErrorReply, HeaderAndBodyCombinations)
{
    const std::string server = std::string("Server: ") + kProductToken + "\r\n";
    struct Case {
        int status;
        const char* body;
        const char* extra;
        bool sendHeader, sendBody;
        std::string expected;
    } cases[] = {
        {404, "abc", nullptr, true, true,
         "HTTP/1.0 404 URL not found\r\n" + server + "Content-type: text/html\r\nContent-length: 3\r\n\r\nabc"},
        {401, "<p>no</p>", "WWW-Authenticate: Basic realm=\"x\"\r\n", true, true,
         "HTTP/1.0 401 Authentication required\r\n" + server +
             "Content-type: text/html\r\nContent-length: 9\r\nWWW-Authenticate: Basic realm=\"x\"\r\n\r\n<p>no</p>"},
        {500, "hidden", nullptr, true, false,
         "HTTP/1.0 500 Server error\r\n" + server + "Content-type: text/html\r\nContent-length: 6\r\n\r\n"},
        {404, "abc", nullptr, false, true, "abc"},
        {299, "", nullptr, true, true, "HTTP/1.0 299 \r\n" + server + "Content-type: text/html\r\nContent-length: 0\r\n\r\n"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Reply(c.status, c.body, c.extra, c.sendHeader, c.sendBody), c.expected) << c.status;
}

TEST(SendErrorReply, ServiceSendsItsOwnToken)
{
    ASSERT_TRUE(UseEventLog(true));
    std::string reply = Reply(503, "", nullptr, true, false);
    UseEventLog(false);
    EXPECT_NE(reply.find(std::string("\r\nServer: ") + kServiceProductToken + "\r\n"), std::string::npos) << reply;
}

} // namespace
