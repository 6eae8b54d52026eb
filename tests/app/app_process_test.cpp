// The real velmora program, twice at once on one session's run directory
// (offscreen, so a message box would wait for ever and show up as a
// program that does not end).

#include "app_hive.h"
#include "eventually.h"
#include "platform/clock.h"
#include "platform/process.h"

#include <filesystem>

namespace {

class AppProcessTest : public AppHiveTest {
protected:
    void SetUp() override
    {
        AppHiveTest::SetUp();
        SeedForCurl();
    }

    void Start(platform::ChildProcess& child) { StartProgram(child); }
    // Waits (bounded) until the instance serves the configured port.
    bool Serving(platform::ChildProcess& child)
    {
        const std::uint64_t end = platform::MonotonicMs() + 20000;
        while (platform::MonotonicMs() < end) {
            if (child.TryReap())
                return false;
            if (Curl() == 0)
                return true;
            platform::SleepMs(100);
        }
        return false;
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
};

TEST_F(AppProcessTest, ASecondStartHandsOverToTheFirstAndEnds)
{
    ASSERT_EQ(m_product.SetDword("LastMod", 1000), platform::kErrorSuccess);
    platform::ChildProcess first;
    Start(first);
    ASSERT_TRUE(Serving(first));
    std::uint32_t stamp = 0;
    ASSERT_EQ(m_product.QueryDword("LastMod", stamp), platform::kErrorSuccess);
    EXPECT_GT(stamp, 1000u) << "the first instance's start counts as a change";

    platform::ChildProcess second;
    Start(second);
    // It asked the first one to show its window and ended: with message
    // 2098 up instead it would still be waiting for a person.
    ASSERT_TRUE(Ends(second)) << "the second start did not end";
    EXPECT_EQ(second.ExitCode(), 0);
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
        Start(crashed);
        ASSERT_TRUE(Serving(crashed));
        crashed.KillAndReap();
    }
    EXPECT_TRUE(std::filesystem::exists(RunDir() + "/Velmora_Loaded.lock"));
    EXPECT_TRUE(std::filesystem::exists(RunDir() + "/Velmora_Loaded.sock")) << "kill -9 leaves the socket file";

    platform::ChildProcess next;
    Start(next);
    ASSERT_TRUE(Serving(next)) << "the next start took the instance over and started the servers";

    // And it is the instance now: one more start hands over to it.
    platform::ChildProcess third;
    Start(third);
    ASSERT_TRUE(Ends(third));
    EXPECT_EQ(third.ExitCode(), 0);
    EXPECT_TRUE(next.IsRunning() && !next.TryReap());
}

} // namespace
