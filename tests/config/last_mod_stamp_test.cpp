#include "config/last_mod_stamp.h"

#include "config/registry_helpers.h"
#include "config/user_map.h"
#include "config_fixture.h"
#include "platform/clock.h"
#include "eventually.h"

#include <atomic>
#include <thread>

#include <sys/wait.h>

namespace {

class LastModStampTest : public ConfigTest {
protected:
    void SetUp() override
    {
        ConfigTest::SetUp();
        UseShortHoldOff();
    }

    std::uint32_t StoredValue()
    {
        std::uint32_t value = 0;
        EXPECT_EQ(RegQueryDword(m_product, kLastModValueName, value), platform::kErrorSuccess);
        return value;
    }
    static void SleepPastHoldOff() { platform::SleepMs(static_cast<std::uint32_t>(kTestHoldOffMs + 30)); }
};

TEST_F(LastModStampTest, OpenWritesTheTime)
{
    // SetUp opened the stamp on the product key.
    std::int64_t now = platform::UnixTimeSeconds();
    std::uint32_t value = StoredValue();
    EXPECT_LE(std::abs(static_cast<std::int64_t>(value) - now), 2);
    EXPECT_GT(GlobalLastModStamp().GetChangeTick(), 0u);
}

TEST_F(LastModStampTest, StampWithoutKeyAnswersZeroForEver)
{
    CLastModStamp stamp;
    stamp.SetHoldOffForTesting(0);
    platform::RegistryKey closed;
    stamp.Open(closed, "Software", kLastModValueName);
    EXPECT_FALSE(stamp.IsOpen());
    stamp.Touch();
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(stamp.GetChangeTick(), 0u);
}

TEST_F(LastModStampTest, OpenNeverCreatesAMissingKey)
{
    CLastModStamp stamp;
    stamp.SetHoldOffForTesting(0);
    stamp.Open(m_product, "Missing", kLastModValueName);
    EXPECT_FALSE(stamp.IsOpen());
    platform::RegistryKey probe;
    EXPECT_NE(m_product.Open("Missing", probe), platform::kErrorSuccess);
    stamp.Touch();
    EXPECT_EQ(stamp.GetChangeTick(), 0u);
}

// Every lookup of every request asks the stamp; one without a key has
// nothing to read, so it answers without queueing on its lock.
TEST_F(LastModStampTest, AStampWithoutKeyAnswersWhileItsLockIsHeld)
{
    CLastModStamp stamp;
    stamp.SetHoldOffForTesting(0);
    stamp.Open(m_product, "Missing", kLastModValueName);
    m_product.SetDword("Other", 1); // the hive changed since the stamp opened
    EXPECT_EQ(stamp.GetChangeTick(), 0u);
    std::atomic<bool> held{false};
    std::atomic<bool> release{false};
    std::thread holder([&] {
        CEventLockHolder hold(stamp.LockForTesting());
        held = true;
        while (!release)
            std::this_thread::yield();
    });
    ASSERT_TRUE(Eventually([&] { return held.load(); }, 30000));
    std::atomic<bool> answered{false};
    std::thread asker([&] {
        stamp.GetChangeTick();
        answered = true;
    });
    EXPECT_TRUE(Eventually([&] { return answered.load(); }, 10000));
    release = true;
    holder.join();
    asker.join();
}

TEST_F(LastModStampTest, TwoSavesInOneSecondStillDiffer)
{
    std::uint32_t first = StoredValue();
    std::uint64_t tick = GlobalLastModStamp().GetChangeTick();
    Touch();
    std::uint32_t second = StoredValue();
    std::uint64_t touched = GlobalLastModStamp().GetChangeTick();
    Touch();
    std::uint32_t third = StoredValue();
    EXPECT_NE(second, first);
    EXPECT_NE(third, second);
    // Touch raises the tick at once, hold-off or not.
    EXPECT_GT(touched, tick);
    EXPECT_GT(GlobalLastModStamp().GetChangeTick(), touched);
}

TEST_F(LastModStampTest, WriterStepsPastALaterStoredValue)
{
    // A clock set back: the stored value is ahead of now.
    std::uint32_t ahead = static_cast<std::uint32_t>(platform::UnixTimeSeconds()) + 3600;
    ASSERT_EQ(m_product.SetDword(kLastModValueName, ahead), platform::kErrorSuccess);
    Touch();
    EXPECT_EQ(StoredValue(), ahead + 1);
}

// Which stored values count as a change after a value was seen.
TEST_F(LastModStampTest, AnyDifferentDwordIsAChangeAndOthersAreNot)
{
    CLastModStamp& stamp = GlobalLastModStamp();
    SleepPastHoldOff();
    std::uint64_t seen = stamp.GetChangeTick(); // the first read after Open counts
    std::uint32_t base = StoredValue();
    struct Case {
        const char* what;
        std::function<void()> write;
        bool change;
    } cases[] = {
        {"same value", [&] { m_product.SetDword(kLastModValueName, base); }, false},
        {"smaller value", [&] { m_product.SetDword(kLastModValueName, base - 100); }, true},
        {"past 2038", [&] { m_product.SetDword(kLastModValueName, 0x80000005u); }, true},
        {"string", [&] { m_product.SetString(kLastModValueName, "12345"); }, false},
        {"two bytes", [&] { std::uint16_t v = 7; m_product.SetValue(kLastModValueName, platform::kRegDword, &v, 2); }, false},
        {"missing", [&] { m_product.DeleteValue(kLastModValueName); }, false},
        {"back to the base", [&] { m_product.SetDword(kLastModValueName, base); }, true},
    };
    for (const Case& c : cases) {
        c.write();
        SleepPastHoldOff();
        std::uint64_t tick = stamp.GetChangeTick();
        if (c.change)
            EXPECT_GT(tick, seen) << c.what;
        else
            EXPECT_EQ(tick, seen) << c.what;
        seen = tick;
    }
}

TEST_F(LastModStampTest, NoChangeKeepsReadingAndAChangeHoldsOff)
{
    CLastModStamp& stamp = GlobalLastModStamp();
    SleepPastHoldOff();
    std::uint64_t seen = stamp.GetChangeTick(); // the first read after Open: a change
    SleepPastHoldOff();
    EXPECT_EQ(stamp.GetChangeTick(), seen); // read, no change
    // No change seen: the hold-off is not renewed, so the very next call reads.
    m_product.SetDword(kLastModValueName, StoredValue() + 10);
    std::uint64_t changed = stamp.GetChangeTick();
    EXPECT_GT(changed, seen);
    // A change seen: the next value is not read before the hold-off ends.
    m_product.SetDword(kLastModValueName, StoredValue() + 10);
    EXPECT_EQ(stamp.GetChangeTick(), changed);
    SleepPastHoldOff();
    EXPECT_GT(stamp.GetChangeTick(), changed);
}

TEST_F(LastModStampTest, ChangeNoticedDuringALoadIsNotSwallowed)
{
    CLastModStamp& stamp = GlobalLastModStamp();
    // A cache stamps its load with the tick taken before it; a change
    // noticed in the same millisecond must still be above it.
    for (int i = 0; i < 50; ++i) {
        std::uint64_t loadTick = stamp.LoadTick();
        Touch();
        ASSERT_LT(loadTick, stamp.GetChangeTick());
    }
}

// A second process edits a user and touches LastMod: this process sees it
// at its next refresh after the hold-off, and not before.
TEST_F(LastModStampTest, SecondProcessEditSeenAfterHoldOffNotBefore)
{
    const std::uint64_t holdOff = 800;
    CLastModStamp& stamp = GlobalLastModStamp();
    int go = -1;
    pid_t child = ForkEditor([] {
        platform::RegistryKey users;
        return platform::RegistryKey::LocalMachine().Create(std::string(kProductKeyPath) + "\\Users", users) == 0 &&
               RegSetString(users, "carol", "secret") == 0;
    }, holdOff, go);
    ASSERT_GE(child, 0);
    // Past Open's hold-off: the first read counts as a change and starts a new hold-off.
    platform::SleepMs(static_cast<std::uint32_t>(holdOff + 30));
    std::uint64_t baseline = stamp.GetChangeTick();
    std::uint64_t started = platform::MonotonicMs();
    CUserMap users;
    ASSERT_TRUE(users.LoadFromKey(m_product, "Users"));
    EXPECT_FALSE(users.CheckPassword("carol", "secret", nullptr));

    ASSERT_TRUE(ReleaseEditor(child, go));
    ASSERT_LT(platform::MonotonicMs() - started, holdOff - 100) << "the child took too long for this check";
    EXPECT_EQ(stamp.GetChangeTick(), baseline);
    EXPECT_FALSE(users.CheckPassword("carol", "secret", nullptr));

    platform::SleepMs(static_cast<std::uint32_t>(started + holdOff + 30 - platform::MonotonicMs()));
    EXPECT_TRUE(users.CheckPassword("carol", "secret", nullptr));
    EXPECT_GT(stamp.GetChangeTick(), baseline);
}

} // namespace
