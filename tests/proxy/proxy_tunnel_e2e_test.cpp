// CONNECT tunnels: a real TLS session through the proxy, and tunnels that
// hold no worker of the pool while they are open.

#include "proxy_e2e.h"

namespace proxy_e2e {
namespace {

class ProxyTunnelTest : public ProxyE2ETest {};

TEST_F(ProxyTunnelTest, CarriesATLSSessionToOpenSSL)
{
    if (!bench::IsExecutable("/usr/bin/openssl"))
        GTEST_SKIP() << "openssl is not installed";
    std::string key = m_dir / "key.pem";
    std::string cert = m_dir / "cert.pem";
    ASSERT_EQ(RunTool({"/usr/bin/openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out",
                       cert, "-subj", "/CN=localhost", "-days", "1"},
                      m_dir / "req.out")
                  .exitCode,
              0);
    std::uint16_t tlsPort = FreePort();
    Peer server;
    std::string error = server.Start({"/usr/bin/openssl", "s_server", "-accept", "127.0.0.1:" + std::to_string(tlsPort),
                                      "-cert", cert, "-key", key, "-www"},
                                     m_dir / "s_server.log", tlsPort);
    ASSERT_TRUE(error.empty()) << error;
    // Only an explicit line opens a tunnel to a port other than 443.
    RegSetString(Key("HTTPProxy\\ACL"), "0", "Allow-user: CONNECT,*,127.0.0.1");
    RegSetString(Key("HTTPProxy\\ACL"), "1", "Allow-user: *,*,*");
    StartProxy();

    RunResult run = Curl({"-p", "-k", "https://127.0.0.1:" + std::to_string(tlsPort) + "/"});
    EXPECT_EQ(run.exitCode, 0);
    // s_server -www answers with a page about the session it negotiated.
    EXPECT_NE(run.output.find("s_server"), std::string::npos) << run.output.substr(0, 300);
    EXPECT_NE(run.output.find("Cipher"), std::string::npos) << run.output.substr(0, 300);
    std::vector<std::string> log = LogLines(1);
    ASSERT_EQ(log.size(), 1u);
    EXPECT_NE(log[0].find("\"CONNECT 127.0.0.1:" + std::to_string(tlsPort) + " HTTP/1.1\" 0 "), std::string::npos)
        << log[0];
}

TEST_F(ProxyTunnelTest, FiftyOpenTunnelsHoldNoneOfTwoWorkers)
{
    bench::WriteFile(m_root + "/plain.txt", "served while the tunnels are open\n");
    Peer python;
    std::uint16_t pythonPort = 0;
    StartPython(python, pythonPort);
    // The tunnels' far end: a listener whose backlog completes the connects.
    WSocketBase target;
    std::uint16_t targetPort = 0;
    ASSERT_EQ(target.Create(), 0);
    ASSERT_EQ(target.Bind(0, LoopbackAddress()), 0);
    ASSERT_EQ(target.Listen(128), 0);
    std::uint32_t address = 0;
    ASSERT_EQ(target.GetLocalAddress(&address, &targetPort), 0);
    RegSetString(Key("HTTPProxy\\ACL"), "0", "Allow-user: *,*,127.0.0.1");
    m_key.SetDword("ConnTimeout", 30);
    StartProxy(2);

    constexpr int kTunnels = 50;
    std::vector<std::unique_ptr<WSocket>> tunnels;
    for (int i = 0; i < kTunnels; ++i) {
        auto tunnel = std::make_unique<WSocket>();
        tunnel->SetTimeout(5000);
        ASSERT_EQ(tunnel->Connect("127.0.0.1", m_port), 0);
        // By name: the look-up, too, parks only the fiber.
        tunnel->SendText("CONNECT localhost:" + std::to_string(targetPort) + " HTTP/1.0\r\n\r\n", false);
        CTextBuffer line;
        ASSERT_GT(tunnel->ReadLine(line, true), 0) << "tunnel " << i;
        ASSERT_EQ(line.View(), "HTTP/1.0 200 Connection established") << "tunnel " << i;
        tunnels.push_back(std::move(tunnel));
    }
    for (int i = 0; i < 3; ++i) {
        RunResult run = Curl({"-f", Origin(pythonPort, "/plain.txt")});
        EXPECT_EQ(run.exitCode, 0) << run.output;
        EXPECT_EQ(run.output, "served while the tunnels are open\n");
        EXPECT_LT(run.elapsedMs, 2000u);
    }
    tunnels.clear();
}

} // namespace
} // namespace proxy_e2e
