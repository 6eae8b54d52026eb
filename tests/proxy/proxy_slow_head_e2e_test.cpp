// Slow senders against the proxy, on threads and in fibers: a client
// dripping its request head is cut off by the head's deadline
// (HeaderTimeout) with a 408, and curl is served through the proxy
// meanwhile; a body trickled towards an origin is cut off by its pace.

#include "drip_clients.h"
#include "eventually.h"
#include "framework/body_pace.h"
#include "framework/error_reply.h"
#include "proxy_e2e.h"

namespace proxy_e2e {
namespace {

class ProxySlowHeadTest : public ProxyE2ETest, public ::testing::WithParamInterface<bool> {};

TEST_P(ProxySlowHeadTest, DrippedHeadsAreCutOffAndOthersAreServed)
{
    bench::WriteFile(m_root + "/a.txt", "alpha");
    Peer python;
    std::uint16_t pythonPort = 0;
    StartPython(python, pythonPort);
    // Far beyond the test: only the head deadline can end a drip.
    m_key.SetDword("ConnTimeout", 300);
    m_key.SetDword("HeaderTimeout", 1);
    StartProxy(GetParam() ? 2 : 0);

    std::string url = Origin(pythonPort, "/a.txt");
    const std::vector<std::string> starts = {
        "GET " + url + "?", "GET " + url + "?", "GET " + url + " HTTP/1.0\r\nX-Slow: ",
        "GET " + url + " HTTP/1.0\r\nX-Slow: ",
    };
    DripClients drips(m_port, starts);
    ASSERT_EQ(drips.Connected(), static_cast<int>(starts.size()));
    ASSERT_TRUE(Eventually([&] { return drips.Rounds() >= 3; }, 30000));

    RunResult served = Curl(StatusArgs({url}));
    EXPECT_EQ(served.output, "200");
    EXPECT_EQ(Body(), "alpha");

    EXPECT_TRUE(Eventually([&] { return drips.Closed() == drips.Connected(); }, 60000))
        << drips.Closed() << " of " << drips.Connected() << " closed";
    EXPECT_EQ(drips.Replied(), static_cast<long>(starts.size() * FormatErrorReply(408, {}, nullptr).size()));
}

TEST_P(ProxySlowHeadTest, ATrickledBodyIsCutOff)
{
    // An origin that takes the connection (the kernel's backlog) and never
    // answers: only the client's pace can end the relay.
    LoopbackListener origin;
    m_key.SetDword("ConnTimeout", 300);
    StartProxy(GetParam() ? 2 : 0);

    const std::string url = Origin(origin.port, "/upload");
    std::uint64_t start = platform::MonotonicMs();
    DripClients trickle(m_port, {"POST " + url + " HTTP/1.0\r\nContent-Length: 100000\r\n\r\n"}, 1000);
    ASSERT_EQ(trickle.Connected(), 1);
    EXPECT_TRUE(Eventually([&] { return trickle.Closed() == 1; }, 90000)) << "the trickle still holds its slot";
    std::printf("[ trickle ] a body at 1 byte/s held the proxy %llu ms\n",
                static_cast<unsigned long long>(platform::MonotonicMs() - start));
}

// ConnTimeout 0 lets a client's reads take as long as they like: a body that
// pauses past the pace's grace still reaches the origin whole.
TEST_P(ProxySlowHeadTest, WithoutAConnTimeoutABodyMayPauseAtWill)
{
    // Answers with the body its request declared, once all of it came.
    LoopbackOrigin origin([](int handle) {
        WSocket peer;
        peer.Attach(handle);
        peer.SetTimeout(60000);
        std::string head = ReadHead(peer);
        std::string body(5, '\0');
        int got = peer.ReadExact(body.data(), 5);
        body.resize(static_cast<std::size_t>(std::max(got, 0)));
        peer.SendText("HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body,
                      false);
        peer.Close();
    });
    m_key.SetDword("ConnTimeout", 0);
    StartProxy(GetParam() ? 2 : 0);

    WSocket client;
    client.SetTimeout(kBodyGraceMs + 5000);
    ASSERT_EQ(client.Connect("127.0.0.1", m_port), 0);
    ASSERT_GT(client.SendText("POST " + Origin(origin.Port(), "/form") + " HTTP/1.0\r\nContent-Length: 5\r\n\r\npa",
                              false),
              0);
    // The pause: the proxy must neither answer nor close meanwhile.
    char c = 0;
    ASSERT_LT(client.Read(&c, 1), 0) << "the proxy answered or closed during the pause";
    ASSERT_EQ(platform::LastSocketError(), platform::kWsaeTimedOut);
    client.SetTimeout(30000);
    ASSERT_GT(client.SendText("use", false), 0);
    std::string reply = ReadAll(client);
    EXPECT_EQ(reply.substr(0, 12), "HTTP/1.0 200") << reply;
    EXPECT_EQ(reply.substr(reply.find("\r\n\r\n") + 4), "pause") << reply;
}

INSTANTIATE_TEST_SUITE_P(Modes, ProxySlowHeadTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) { return info.param ? "Fibers" : "Threads"; });

} // namespace
} // namespace proxy_e2e
