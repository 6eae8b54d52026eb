// The real velmora program, twice at once on one session's run directory
// (offscreen, so a message box would wait for ever and show up as a
// program that does not end).

#include "app_hive.h"
#include "eventually.h"
#include "framework/loopback.h"
#include "platform/clock.h"
#include "platform/process.h"

#include <fcntl.h>
#include <filesystem>
#include <unistd.h>

namespace {

class AppProcessTest : public AppHiveTest {
protected:
    void SetUp() override
    {
        AppHiveTest::SetUp();
        SeedForCurl();
    }

    // Waits (bounded) for the child to end by itself.
    bool Ends(platform::ChildProcess& child, std::uint64_t limitMs = 15000)
    {
        const std::uint64_t end = platform::MonotonicMs() + limitMs;
        while (platform::MonotonicMs() < end) {
            if (child.TryReap())
                return true;
            platform::SleepMs(50);
        }
        return false;
    }
    std::string RunDir() { return m_dir / "rt"; }

    // What the child has written to its output so far, added to text.
    static void ReadOutput(platform::ChildProcess& child, std::string& text)
    {
        char buffer[4096];
        ssize_t n;
        while ((n = ::read(child.OutputHandle(), buffer, sizeof buffer)) > 0)
            text.append(buffer, static_cast<std::size_t>(n));
    }
    std::string ServerLog() { return e2e::ReadFile(m_dir / "home/log/Velmora.log"); }
};

// Beside another instance that holds every port, the program does not claim
// to serve: it says so in its log and its window instead. Once the ports are
// free it says where it serves, after its listeners are up.
TEST_F(AppProcessTest, WithEveryPortTakenItClaimsNothingAndSaysSo)
{
    const std::string server = "HTTP\\Servers\\" + HTTPServerKeyName(m_port, kSeededServerAddress);
    std::string output;
    {
        LoopbackListener httpPort, chatPort;
        Key(server).SetDword("Port", httpPort.port);
        Key("ChatRoom\\Rooms\\Lobby").SetDword("Port", chatPort.port);
        platform::ChildProcess app;
        StartApplication(app);
        EXPECT_TRUE(Eventually(
            [&] {
                platform::SleepMs(20);
                return ServerLog().find("Not one configured server could start.") != std::string::npos ||
                       !app.IsRunning() || app.TryReap();
            },
            30000))
            << ServerLog();
        ReadOutput(app, output);
        EXPECT_EQ(output.find("Velmora serves"), std::string::npos) << output;
        EXPECT_TRUE(app.IsRunning()) << "its window says so and it stays";
        app.KillAndReap();
    }
    output.clear();
    Key(server).SetDword("Port", m_port);
    Key("ChatRoom\\Rooms\\Lobby").SetDword("Port", e2e::FreePort());
    platform::ChildProcess app;
    StartApplication(app);
    const std::string said =
        "Velmora serves http://127.0.0.1:" + std::to_string(m_port) + "/ (HTTP server) from the desktop application\n";
    EXPECT_TRUE(Eventually(
        [&] {
            platform::SleepMs(20);
            ReadOutput(app, output);
            return output.find(said) != std::string::npos || app.TryReap();
        },
        30000))
        << output;
    EXPECT_EQ(Curl(), 0) << "said only once it listens";
}

TEST_F(AppProcessTest, ASecondStartHandsOverToTheFirstAndEnds)
{
    ASSERT_EQ(m_product.SetDword("LastMod", 1000), platform::kErrorSuccess);
    platform::ChildProcess first;
    StartApplication(first);
    ASSERT_TRUE(Serving(first));
    std::uint32_t stamp = 0;
    ASSERT_EQ(m_product.QueryDword("LastMod", stamp), platform::kErrorSuccess);
    EXPECT_GT(stamp, 1000u) << "the first instance's start counts as a change";

    platform::ChildProcess second;
    const std::string errors = m_dir / "second.err";
    {
        const int errorFile = ::open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        ASSERT_GE(errorFile, 0);
        StartApplication(second, errorFile);
        ::close(errorFile);
    }
    // It asked the first one to show its window and ended: with message
    // 2098 up instead it would still be waiting for a person.
    ASSERT_TRUE(Ends(second)) << "the second start did not end";
    EXPECT_EQ(second.ExitCode(), 0);
    // A terminal that started it learns why it ended at once.
    const std::string said = e2e::ReadFile(errors);
    EXPECT_NE(said.find("The server is already running.  Only one copy of the server can be running.  Its window "
                        "has been brought to the front.\n"),
              std::string::npos)
        << said;
    EXPECT_TRUE(first.IsRunning() && !first.TryReap());
    EXPECT_EQ(Curl(), 0) << "the first instance still serves";
    std::uint32_t after = 0;
    ASSERT_EQ(m_product.QueryDword("LastMod", after), platform::kErrorSuccess);
    EXPECT_EQ(after, stamp) << "the second start touched nothing";
}

TEST_F(AppProcessTest, AStaleLockLeftByKillDoesNotBlockTheNextStart)
{
    {
        platform::ChildProcess crashed;
        StartApplication(crashed);
        ASSERT_TRUE(Serving(crashed));
        crashed.KillAndReap();
    }
    EXPECT_TRUE(std::filesystem::exists(RunDir() + "/Velmora_Loaded.lock"));
    EXPECT_TRUE(std::filesystem::exists(RunDir() + "/Velmora_Loaded.sock")) << "kill -9 leaves the socket file";

    platform::ChildProcess next;
    StartApplication(next);
    ASSERT_TRUE(Serving(next)) << "the next start took the instance over and started the servers";

    // And it is the instance now: one more start hands over to it.
    platform::ChildProcess third;
    StartApplication(third);
    ASSERT_TRUE(Ends(third));
    EXPECT_EQ(third.ExitCode(), 0);
    EXPECT_TRUE(next.IsRunning() && !next.TryReap());
}

} // namespace
