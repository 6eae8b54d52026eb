// The proxy at engine start: created after the HTTP servers when enabled,
// its statistics name and events, and a start whose port is taken.

#include "e2e/e2e_server.h"
#include "framework/server.h"
#include "framework/server_stats.h"
#include "service/engine.h"
#include "service/engine_fixture.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

namespace {

class ProxyStartTest : public EngineHiveTest {
protected:
    static void SetUpTestSuite() { EnterSuite("vpst"); }

    void SetUp() override
    {
        EngineHiveTest::SetUp();
        m_root = m_dir / "www";
        e2e::WriteFile(m_root + "/index.htm", "behind the proxy\n");
        m_httpPort = e2e::FreePort();
        platform::RegistryKey http = Key("HTTP\\Servers\\" + HTTPServerKeyName(m_httpPort, htonl(INADDR_LOOPBACK)));
        http.SetDword("Port", m_httpPort);
        http.SetDword("Address", htonl(INADDR_LOOPBACK));
        http.SetString("RootDir", m_root);
        http.SetString("DefaultFile", "index.htm");
        m_proxyPort = e2e::FreePort();
        platform::RegistryKey proxy = Key("HTTPProxy");
        proxy.SetDword("Enabled", 1);
        proxy.SetDword("Port", m_proxyPort);
        proxy.SetDword("Address", htonl(INADDR_LOOPBACK));
        proxy.SetDword("ConnTimeout", 5);
        proxy.SetString("RootDir", m_dir / "cache/");
    }
    std::string Log() { return e2e::ReadFile(m_dir / "home/log/Velmora.log"); }

    std::string m_root;
    std::uint16_t m_httpPort = 0;
    std::uint16_t m_proxyPort = 0;
};

TEST_F(ProxyStartTest, EnabledProxyStartsAfterTheHTTPServersAndServes)
{
    ASSERT_EQ(StartServices(), 0);
    std::vector<CServer*> servers = GetServerList();
    ASSERT_EQ(servers.size(), 2u);
    EXPECT_EQ(servers[0]->GetServerType(), 1u);
    ASSERT_EQ(servers[1]->GetServerType(), 3u);
    EXPECT_EQ(servers[1]->GetStats().ReadText(server_stat_offset::kDescription, server_stat_offset::kDescriptionBytes),
              "HTTP Proxy");
    e2e::RunResult reply = e2e::RunProgram({"curl", "-s", "--max-time", "10", "-x",
                                            "http://127.0.0.1:" + std::to_string(m_proxyPort),
                                            "http://127.0.0.1:" + std::to_string(m_httpPort) + "/"},
                                           m_dir / "curl.out");
    EXPECT_EQ(reply.output, "behind the proxy\n");
    ASSERT_EQ(StopServices(), 0);
    std::string log = Log();
    EXPECT_NE(log.find("HTTP proxy started."), std::string::npos) << log;
    EXPECT_NE(log.find("open to every client"), std::string::npos) << log;
    EXPECT_NE(log.find("HTTP proxy shut down."), std::string::npos) << log;
    EXPECT_TRUE(std::filesystem::exists(m_dir / "cache/cachedb.db")) << "the stop saves the cache index";
}

TEST_F(ProxyStartTest, APortInUseStartsNoCacheAndStopsCleanly)
{
    WSocketBase taken;
    ASSERT_EQ(taken.Create(), 0);
    ASSERT_EQ(taken.Bind(m_proxyPort, htonl(INADDR_LOOPBACK)), 0);
    ASSERT_EQ(taken.Listen(1), 0);
    ASSERT_EQ(StartServices(), 0);
    ASSERT_EQ(GetServerList().size(), 2u);
    ASSERT_EQ(StopServices(), 0);
    EXPECT_EQ(Log().find("HTTP proxy started."), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(m_dir / "cache/cachedb.db")) << "no cache ran, so none was saved";
}

} // namespace
