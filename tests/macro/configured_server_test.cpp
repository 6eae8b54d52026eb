// A server configured from the registry: its listen settings, the server
// macros in its scope, the access-log name expanded as a macro text, and a
// reload through the change stamp between connections.

#include "macro/configured_server.h"

#include "config/config_fixture.h"
#include "eventually.h"
#include "framework/loopback.h"
#include "framework/server_stats.h"
#include "framework/text_buffer.h"
#include "macro/macro.h"
#include "macro/macro_context.h"
#include "macro/named_strings.h"
#include "platform/registry.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

std::atomic<std::int64_t> g_now{1'800'000'000};
std::int64_t FakeClock() { return g_now.load(); }

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Answers each line with the expansion of a fixed macro text.
class ReplyServer : public CConfiguredServer {
public:
    void ServerRequest(WSocket* socket) override
    {
        try {
            CTextBuffer line;
            if (socket->ReadLine(line, true) <= 0)
                return;
            LogHit(line.View());
            CTextBuffer reply;
            GetMacroScope()->Expand(&reply, "%server-numhits%|%server-statversion%|%logday%");
            socket->SendTextLine(reply.View(), false);
        } catch (const WSocketException&) {
        }
    }
};

class ConfiguredServerTest : public ConfigTest {
protected:
    static void SetUpTestSuite()
    {
        InitMacroLibrary();
        ::setenv("VELMORA_SHM_PREFIX", ("vcfg" + std::to_string(::getpid())).c_str(), 1);
        BindSocketAPI();
        CServer::SetLogClockForTesting(FakeClock);
    }
    static void TearDownTestSuite()
    {
        CServer::SetLogClockForTesting(nullptr);
        ::unsetenv("VELMORA_SHM_PREFIX");
    }
    void TearDown() override
    {
        StopAllServers();
        DeleteAllServers();
        ConfigTest::TearDown();
    }

    std::string Ask(std::uint16_t port, const std::string& line)
    {
        WSocket client;
        client.SetTimeout(10000);
        EXPECT_EQ(client.Connect("127.0.0.1", port), 0);
        client.SendTextLine(line, false);
        CTextBuffer reply;
        client.ReadLine(reply, true);
        return reply.ToString();
    }
};

TEST_F(ConfiguredServerTest, ServesFromItsRegistryConfiguration)
{
    std::uint16_t port = FreePort();
    std::string logs = m_dir / "logs";
    {
        platform::RegistryKey key = Key("Test");
        key.SetDword("Port", port);
        key.SetDword("Address", LoopbackAddress());
        key.SetDword("UseFibers", 1);
        key.SetString("LogFile", logs + "/%logday%/access.log");
    }
    auto* server = new ReplyServer;
    ASSERT_EQ(server->Open(m_product, "Test", 1), 1);
    std::string logDay = "day1";
    server->GetMacroScope()->Register("logday", std::make_unique<CStringRefMacro>(&logDay));
    ASSERT_EQ(server->Start(0), 0);
    EXPECT_EQ(server->GetSettings()->useFibers, 0u) << "no worker pool: served on threads";

    EXPECT_EQ(Ask(port, "first"), "0|65536|day1");
    ASSERT_TRUE(Eventually([&] { return server->GetStats().Read(server_stat_offset::kNumHits) == 1; }));
    EXPECT_EQ(Ask(port, "second"), "1|65536|day1");
    EXPECT_EQ(ReadFile(logs + "/day1/access.log"), "first\nsecond\n");

    // The name is a macro text: a new day in a new minute is a new file.
    logDay = "day2";
    g_now += 60;
    Ask(port, "third");
    EXPECT_EQ(ReadFile(logs + "/day2/access.log"), "third\n");
    EXPECT_EQ(ReadFile(logs + "/day1/access.log"), "first\nsecond\n");

    // An edit of the registry reaches the running server at its next
    // connection; the port it listens on stays until a restart.
    {
        platform::RegistryKey key = Key("Test");
        key.SetString("LogFile", logs + "/renamed.log");
        key.SetDword("Port", port + 1u);
    }
    Touch();
    g_now += 60;
    Ask(port, "fourth");
    EXPECT_EQ(ReadFile(logs + "/renamed.log"), "fourth\n");
}

} // namespace
