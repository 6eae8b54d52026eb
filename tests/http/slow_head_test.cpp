// Slow senders against the HTTP server, on threads and in fibers: a client
// dripping its request head a byte at a time is cut off by the head's
// deadline however often its bytes renew the per-read time-out, and other
// clients are answered meanwhile.

#include "drip_clients.h"
#include "eventually.h"
#include "framework/error_reply.h"
#include "framework/worker_pool.h"
#include "http_server_fixture.h"
#include "platform/clock.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace http_test {
namespace {

// Plain connections to the server that send nothing until told.
class Quiet {
public:
    Quiet(std::uint16_t port, int count)
    {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        for (int i = 0; i < count; ++i) {
            int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
                ::close(fd);
                fd = -1;
            }
            m_fds.push_back(fd);
        }
    }
    ~Quiet()
    {
        for (int fd : m_fds)
            if (fd >= 0)
                ::close(fd);
    }
    Quiet(const Quiet&) = delete;
    Quiet& operator=(const Quiet&) = delete;

    int Size() const { return static_cast<int>(m_fds.size()); }
    int Fd(int i) const { return m_fds[static_cast<std::size_t>(i)]; }
    // True when the server ended connection i (closed or reset, unanswered).
    bool Closed(int i) const
    {
        char byte;
        ssize_t got = ::recv(Fd(i), &byte, 1, MSG_DONTWAIT | MSG_PEEK);
        return got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
    }
    int ClosedCount() const
    {
        int closed = 0;
        for (int i = 0; i < Size(); ++i)
            closed += Closed(i) ? 1 : 0;
        return closed;
    }
    // Sends bytes on connection i and reads what comes until the server
    // closes it (30 s at most).
    std::string Exchange(int i, const std::string& bytes)
    {
        if (::send(Fd(i), bytes.data(), bytes.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(bytes.size()))
            return "(send failed)";
        std::string received;
        const std::uint64_t end = platform::MonotonicMs() + 30000;
        for (char buffer[4096];;) {
            const std::uint64_t now = platform::MonotonicMs();
            pollfd watched{Fd(i), POLLIN, 0};
            if (now >= end || ::poll(&watched, 1, static_cast<int>(end - now)) <= 0)
                break;
            ssize_t got = ::recv(Fd(i), buffer, sizeof buffer, 0);
            if (got <= 0)
                break;
            received.append(buffer, static_cast<std::size_t>(got));
        }
        return received;
    }

private:
    std::vector<int> m_fds;
};

class SlowHeadTest : public HTTPServerTest, public ::testing::WithParamInterface<bool> {
protected:
    void TearDown() override
    {
        StopAllServers();
        if (WorkerPoolRunning())
            StopWorkerThreads();
        HTTPServerTest::TearDown();
    }
    void Start(std::uint32_t headerTimeout)
    {
        CHTTPServerConfig config;
        Configure(config, [&](CServiceSettings& service, CHTTPSettings&) {
            // Far beyond the test: only the head deadline can end a drip.
            service.connTimeout = 300;
            service.headerTimeout = headerTimeout;
            service.useFibers = GetParam() ? 1 : 0;
        });
        SetValues("Server\\Mappings", {{"txt", "text/plain"}});
        config.GetMappings().LoadFromKey(Key("Server"), "Mappings");
        m_server = new CHTTPServer(config);
        if (GetParam()) {
            ASSERT_TRUE(StartWorkerThreads(2, 0, ServerFiber));
        }
        ASSERT_EQ(m_server->Start(0), 0);
        ASSERT_EQ(m_server->IsFiberMode(), GetParam());
    }
};

TEST_P(SlowHeadTest, DrippedHeadsAreCutOffAndOthersAreServed)
{
    WriteFile(m_root + "/a.txt", "alpha");
    Start(1);
    // Dripping inside the request line and inside the headers.
    const std::vector<std::string> starts = {
        "GET /a.txt?", "GET /a.txt?", "GET /a.txt?", "GET /a.txt HTTP/1.0\r\nX-Slow: ",
        "GET /a.txt HTTP/1.0\r\nX-Slow: ", "GET /a.txt HTTP/1.0\r\nX-Slow: ",
    };
    DripClients drips(m_port, starts);
    ASSERT_EQ(drips.Connected(), static_cast<int>(starts.size()));
    ASSERT_TRUE(Eventually([&] { return drips.Rounds() >= 3; }, 30000));

    Reply normal = Ask(Get("/a.txt"));
    EXPECT_EQ(normal.status, 200);
    EXPECT_EQ(normal.body, "alpha");

    // Each drip renews the per-read time-out many times over; only the
    // head's deadline ends them, each with a 408: half a head is no request.
    EXPECT_TRUE(Eventually([&] { return drips.Closed() == drips.Connected(); }, 60000))
        << drips.Closed() << " of " << drips.Connected() << " closed";
    EXPECT_EQ(drips.Replied(), static_cast<long>(starts.size() * FormatErrorReply(408, {}, nullptr).size()));

    // The server still answers after them.
    EXPECT_EQ(Ask(Get("/a.txt")).status, 200);
}

TEST_P(SlowHeadTest, OneAddressHoldsNoMoreThanItsShareOfSlowHeads)
{
    WriteFile(m_root + "/a.txt", "alpha");
    // A deadline far beyond the test: only the address's cap ends drips.
    Start(300);
    constexpr int kOver = 6;
    std::vector<std::string> starts(kMaxSlowHeadsPerAddress + kOver, "GET /a.txt HTTP/1.0\r\nX-Slow: ");
    DripClients drips(m_port, starts);
    ASSERT_EQ(drips.Connected(), static_cast<int>(starts.size()));

    // Past the grace, the ones over the cap are closed at their next byte.
    EXPECT_TRUE(Eventually([&] { return drips.Closed() >= kOver; }, 60000)) << drips.Closed() << " closed";
    EXPECT_EQ(drips.Closed(), kOver);
    EXPECT_EQ(m_server->GetSlowHeads().Count(htonl(INADDR_LOOPBACK)), kMaxSlowHeadsPerAddress);
    EXPECT_EQ(drips.Replied(), static_cast<long>(kOver * FormatErrorReply(408, {}, nullptr).size()));
    // A client whose head comes at once is never counted, and is served.
    EXPECT_EQ(Ask(Get("/a.txt")).status, 200);
}

TEST_P(SlowHeadTest, AHeadThatComesInTimeIsServedAfterAnIdleWait)
{
    WriteFile(m_root + "/a.txt", "alpha");
    Start(1);
    // The deadline runs from the head's first byte: a connection that waited
    // longer than it before sending is still served.
    WSocket client;
    client.SetTimeout(30000);
    ASSERT_EQ(client.Connect("127.0.0.1", m_port), 0);
    // Idle longer than the deadline: the wait is the case, not a result.
    platform::SleepMs(1500);
    client.SendText(Get("/a.txt"), false);
    std::string received;
    char buffer[4096];
    for (int got; (got = client.Read(buffer, sizeof buffer)) > 0;)
        received.append(buffer, static_cast<std::size_t>(got));
    std::vector<Reply> replies = SplitReplies(received);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].status, 200);
}

TEST_P(SlowHeadTest, ACrowdBehindOneAddressThatAsksLateIsServed)
{
    // Clients behind one NAT, or browsers connecting ahead, open more
    // connections at once than one address may have counted, and ask a
    // while later: none of them may be closed unanswered. Without a head
    // limit (HeaderTimeout 0) they are not counted at all, however late.
    struct Case {
        std::uint32_t headerTimeout;
        std::uint32_t askAfterMs;
    };
    const Case cases[] = {{20, 3000}, {0, kSilentGraceMs + 3000}};
    WriteFile(m_root + "/a.txt", "alpha");
    for (const Case& c : cases) {
        SCOPED_TRACE("HeaderTimeout " + std::to_string(c.headerTimeout));
        Start(c.headerTimeout);
        Quiet crowd(m_port, kMaxSlowHeadsPerAddress + 8);
        // The crowd's pace: it asks this long after connecting.
        platform::SleepMs(c.askAfterMs);
        for (int i = 0; i < crowd.Size(); ++i) {
            std::vector<Reply> replies = SplitReplies(crowd.Exchange(i, Get("/a.txt", "Accept: */*\r\n")));
            ASSERT_EQ(replies.size(), 1u) << "client " << i << " was closed unanswered";
            EXPECT_EQ(replies[0].status, 200) << "client " << i << replies[0].body;
        }
        StopAllServers();
    }
}

TEST_P(SlowHeadTest, AtTheCapTheOldestSilentConnectionMakesRoomForAHeadUnderWay)
{
    WriteFile(m_root + "/a.txt", "alpha");
    Start(300);
    const std::uint32_t loopback = htonl(INADDR_LOOPBACK);
    // The oldest first, so that it is counted first.
    Quiet oldest(m_port, 1);
    ASSERT_TRUE(Eventually([&] { return m_server->GetSlowHeads().Count(loopback) == 1; }, 60000));
    Quiet others(m_port, kMaxSlowHeadsPerAddress - 1);
    ASSERT_TRUE(
        Eventually([&] { return m_server->GetSlowHeads().Count(loopback) == kMaxSlowHeadsPerAddress; }, 60000));

    // A client that has begun its head and is slow with the rest is counted
    // past its grace: the oldest silent connection goes, not it.
    DripClients drip(m_port, {"GET /a.txt HTTP/1.0\r\nX-Slow: "});
    ASSERT_EQ(drip.Connected(), 1);
    EXPECT_TRUE(Eventually([&] { return oldest.Closed(0) || drip.Closed() > 0; }, 60000));
    EXPECT_TRUE(oldest.Closed(0)) << "the oldest silent connection is still open";
    EXPECT_EQ(drip.Closed(), 0) << "the head under way was refused";
    EXPECT_EQ(others.ClosedCount(), 0);
    EXPECT_EQ(m_server->GetSlowHeads().Count(loopback), kMaxSlowHeadsPerAddress);
}

INSTANTIATE_TEST_SUITE_P(Modes, SlowHeadTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) { return info.param ? "Fibers" : "Threads"; });

} // namespace
} // namespace http_test
