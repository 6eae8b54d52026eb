// Slow senders against the proxy, on threads and in fibers: a client
// dripping its request head is cut off by the head's deadline
// (HeaderTimeout), and curl is served through the proxy meanwhile.

#include "drip_clients.h"
#include "eventually.h"
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
    EXPECT_EQ(drips.Replied(), 0);
}

INSTANTIATE_TEST_SUITE_P(Modes, ProxySlowHeadTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) { return info.param ? "Fibers" : "Threads"; });

} // namespace
} // namespace proxy_e2e
