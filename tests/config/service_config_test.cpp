#include "config/service_config.h"

#include "config/config_fixture.h"
#include "config/http_server_config.h"
#include "config/registry_helpers.h"
#include "platform/clock.h"
#include "security/byte_block.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

std::vector<std::string> g_logged;
void Capture(const std::string& message) { g_logged.push_back(message); }

class ServiceConfigTest : public ConfigTest {
protected:
    void SetUp() override
    {
        ConfigTest::SetUp();
        SetMacroScopeFactory(nullptr);
        g_logged.clear();
        SetServiceConfigLogger(&Capture);
    }
    void TearDown() override
    {
        SetServiceConfigLogger(nullptr);
        ConfigTest::TearDown();
    }
    static constexpr const char* kServer = "HTTP\\Servers\\80:0";
};

} // namespace

TEST_F(ServiceConfigTest, EmptyKeyGivesTheDefaults)
{
    CServiceConfig config;
    ASSERT_EQ(config.Open(m_product, kServer, 1), 1);
    auto s = config.GetSettings();
    EXPECT_EQ(s->port, 80u);
    EXPECT_EQ(s->address, 0u);
    EXPECT_EQ(s->enabled, 1u);
    EXPECT_EQ(s->maxUsers, 0u);
    EXPECT_EQ(s->sslPort, 443u);
    EXPECT_EQ(s->connTimeout, 300u);
    EXPECT_EQ(s->listeners, 8u);
    EXPECT_TRUE(s->logFile.empty() && s->initMacro.empty() && s->ntAnonUser.empty() && s->signedCert.empty());
    EXPECT_TRUE(s->certificate.IsEmpty());
    EXPECT_EQ(config.GetStrings(), nullptr) << "no factory installed";
    EXPECT_TRUE(config.GetUsers().HasKey());
    EXPECT_GT(config.GetLoadTick(), 0u);
}

TEST_F(ServiceConfigTest, NumbersOnlyFromFourByteDwords)
{
    platform::RegistryKey key = Key(kServer);
    RegSetString(key, "Port", "81");
    std::uint16_t shortValue = 7;
    key.SetValue("MaxUsers", platform::kRegBinary, &shortValue, sizeof shortValue);
    std::uint32_t binary = 99;
    key.SetValue("ConnTimeout", platform::kRegBinary, &binary, sizeof binary);
    key.SetDword("SSLPort", 8443);
    CServiceConfig config;
    ASSERT_EQ(config.Open(m_product, kServer, 1), 1);
    auto s = config.GetSettings();
    EXPECT_EQ(s->port, 80u);
    EXPECT_EQ(s->maxUsers, 0u);
    EXPECT_EQ(s->connTimeout, 300u);
    EXPECT_EQ(s->sslPort, 8443u);
    // None of them is dropped without a word, and the port that could not
    // be read is marked so that no server listens on the default instead.
    EXPECT_TRUE(s->portUnreadable);
    EXPECT_FALSE(s->sslPortUnreadable);
    for (const char* value : {"Port", "MaxUsers", "ConnTimeout"}) {
        const std::string said = "The value " + std::string(value) + " of " + kServer + " is not a REG_DWORD number";
        EXPECT_EQ(std::count_if(g_logged.begin(), g_logged.end(),
                                [&](const std::string& line) { return line.starts_with(said); }),
                  1)
            << value;
    }
    EXPECT_EQ(g_logged.size(), 3u);
}

// Not only the common values: a server's own number of the wrong type is
// said as well.
TEST_F(ServiceConfigTest, AnHTTPServersOwnNumberOfTheWrongTypeIsSaid)
{
    platform::RegistryKey key = Key(kServer);
    RegSetString(key, "DirBrowsing", "yes");
    CHTTPServerConfig config;
    ASSERT_EQ(config.Open(m_product, kServer, 1), 1);
    ASSERT_EQ(g_logged.size(), 1u);
    EXPECT_EQ(g_logged[0], std::string("The value DirBrowsing of ") + kServer +
                               " is not a REG_DWORD number; it is not used.");
}

TEST_F(ServiceConfigTest, SaveToKeyKeepsListenersAndRoundTrips)
{
    platform::RegistryKey key = Key(kServer);
    key.SetDword("Listeners", 16);
    key.SetDword("Port", 8080);
    RegSetString(key, "LogFile", "%logdir%\\hits.log");
    RegSetString(key, "Stray", "deleted by the save");
    CServiceConfig config;
    ASSERT_EQ(config.Open(m_product, kServer, 1), 1);
    EXPECT_EQ(config.SaveToKey(m_product, kServer), 0);
    std::uint32_t listeners = 0;
    EXPECT_EQ(RegQueryDword(key, "Listeners", listeners), platform::kErrorSuccess);
    EXPECT_EQ(listeners, 16u);
    std::string stray;
    EXPECT_NE(RegQueryString(key, "Stray", stray), platform::kErrorSuccess);

    CServiceConfig again;
    ASSERT_EQ(again.Open(m_product, kServer, 1), 1);
    EXPECT_EQ(again.GetSettings()->listeners, 16u);
    EXPECT_EQ(again.GetSettings()->port, 8080u);
    EXPECT_EQ(again.GetSettings()->logFile, "%logdir%\\hits.log");
    EXPECT_EQ(again.NeedsRestart(config), 0);
}

TEST_F(ServiceConfigTest, BadKeyTextKeepsTheEarlierBlocks)
{
    platform::RegistryKey key = Key(kServer);
    RegSetString(key, "SignedCert", "AQIDBA==");
    RegSetString(key, "PrivKey", "BQYH");
    CServiceConfig config;
    ASSERT_EQ(config.Open(m_product, kServer, 1), 1);
    ASSERT_EQ(config.GetSettings()->certificate.GetLength(), 4);
    ASSERT_EQ(config.GetSettings()->privateKey.GetLength(), 3);
    auto before = config.GetSettings();

    RegSetString(key, "SignedCert", "not base64 !");
    key.SetDword("UseDNS", 1);
    // A change in the very millisecond a load began is reloaded again; step past it.
    platform::SleepMs(5);
    Touch();
    config.RefreshIfChanged();
    auto after = config.GetSettings();
    EXPECT_EQ(after->signedCert, "not base64 !");
    EXPECT_TRUE(after->certificate == before->certificate);
    EXPECT_EQ(after->useDNS, 1u) << "the load finished";
    EXPECT_EQ(g_logged.size(), 1u);
    EXPECT_NE(g_logged.front().find("SignedCert"), std::string::npos);
    // Stamped: the next connection does not reload (and log) again.
    config.RefreshIfChanged();
    EXPECT_EQ(g_logged.size(), 1u);
    EXPECT_EQ(before->certificate.GetLength(), 4) << "a reader's snapshot survives the reload";
}

TEST_F(ServiceConfigTest, CopyAndNeedsRestart)
{
    platform::RegistryKey key = Key(kServer);
    key.SetDword("UseSSL", 1);
    RegSetString(key, "SignedCert", "AQIDBA==");
    RegSetString(key, "Administrator", "root@example");
    platform::RegistryKey users = Key(std::string(kServer) + "\\Users");
    RegSetString(users, "alice", "pw");
    CServiceConfig config;
    ASSERT_EQ(config.Open(m_product, kServer, 1), 1);
    CServiceConfig copy(config);
    EXPECT_EQ(copy.GetSettings()->useSSL, 1u);
    EXPECT_EQ(copy.GetSettings()->administrator, "root@example");
    EXPECT_EQ(copy.GetSettings()->certificate.GetLength(), 4);
    EXPECT_TRUE(copy.GetKey().IsOpen());
    EXPECT_EQ(copy.GetLoadTick(), config.GetLoadTick());
    EXPECT_TRUE(copy.GetUsers().CheckPassword("alice", "pw", nullptr));
    EXPECT_EQ(copy.NeedsRestart(config), 0);

    CServiceConfig other;
    ASSERT_EQ(other.Open(m_product, "HTTP\\Servers\\81:0", 1), 1);
    EXPECT_EQ(other.NeedsRestart(config), 1);
    other = config;
    EXPECT_EQ(other.NeedsRestart(config), 0);
}

TEST_F(ServiceConfigTest, AnonymousLogonNeedsAName)
{
    platform::RegistryKey key = Key(kServer);
    key.SetDword("UseNTAuthentication", 1);
    CServiceConfig config;
    ASSERT_EQ(config.Open(m_product, kServer, 1), 1);
    config.LogonAnonymousUser();
    EXPECT_EQ(config.GetAnonymousToken(), nullptr);
    RegSetString(key, "NTAnonUser", "no-such-velmora-account");
    RegSetString(key, "NTAnonPassword", "x");
    Touch();
    config.RefreshIfChanged();
    EXPECT_EQ(config.GetAnonymousToken(), nullptr);
}

// A second process edits Port and UseDNS and touches LastMod: this process
// applies UseDNS at its first refresh after the hold-off, not before, and
// never Port, which needs a restart.
TEST_F(ServiceConfigTest, SecondProcessEditSeenAfterHoldOff)
{
    const std::uint64_t holdOff = 800;
    CLastModStamp& stamp = GlobalLastModStamp();
    int go = -1;
    pid_t child = ForkEditor([] {
        platform::RegistryKey server;
        if (platform::RegistryKey::LocalMachine().Create(std::string(kProductKeyPath) + "\\" + kServer, server) != 0)
            return false;
        return server.SetDword("Port", 8081) == 0 && server.SetDword("UseDNS", 1) == 0;
    }, holdOff, go);
    ASSERT_GE(child, 0);
    platform::SleepMs(static_cast<std::uint32_t>(holdOff + 30));
    stamp.GetChangeTick();
    std::uint64_t started = platform::MonotonicMs();
    CServiceConfig config;
    ASSERT_EQ(config.Open(m_product, kServer, 1), 1);
    CServiceConfig first(config);

    ASSERT_TRUE(ReleaseEditor(child, go));
    ASSERT_LT(platform::MonotonicMs() - started, holdOff - 100) << "the child took too long for this check";
    config.RefreshIfChanged();
    EXPECT_EQ(config.GetSettings()->useDNS, 0u) << "seen before the hold-off ended";

    std::uint64_t deadline = started + holdOff + 2000;
    while (config.GetSettings()->useDNS == 0 && platform::MonotonicMs() < deadline) {
        platform::SleepMs(50);
        config.RefreshIfChanged();
    }
    EXPECT_EQ(config.GetSettings()->useDNS, 1u);
    EXPECT_GE(platform::MonotonicMs() - started, holdOff - 50);
    EXPECT_EQ(config.GetSettings()->port, 80u) << "a reload does not apply Port";

    CServiceConfig fresh;
    ASSERT_EQ(fresh.Open(m_product, kServer, 1), 1);
    EXPECT_EQ(fresh.GetSettings()->port, 8081u);
    EXPECT_EQ(fresh.NeedsRestart(first), 1);
    EXPECT_EQ(config.NeedsRestart(first), 0) << "UseDNS needs no restart";
}
