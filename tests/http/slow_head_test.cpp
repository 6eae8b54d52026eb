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

namespace http_test {
namespace {

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

INSTANTIATE_TEST_SUITE_P(Modes, SlowHeadTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) { return info.param ? "Fibers" : "Threads"; });

} // namespace
} // namespace http_test
