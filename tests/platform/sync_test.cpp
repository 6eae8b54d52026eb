#include "eventually.h"
#include "platform/sync.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

using platform::Event;
using platform::MonotonicMs;
using platform::Semaphore;

TEST(EventTest, InitialStateAndResetRule)
{
    struct Case {
        bool manual;
        bool initiallySet;
        bool firstWait;
        bool secondWait;
    };
    const Case cases[] = {
        {true, true, true, true},    // manual stays set
        {false, true, true, false},  // auto resets on the wait it satisfies
        {true, false, false, false},
        {false, false, false, false},
    };
    for (const Case& c : cases) {
        Event event(c.manual, c.initiallySet);
        EXPECT_EQ(event.Wait(0), c.firstWait) << c.manual << c.initiallySet;
        EXPECT_EQ(event.Wait(0), c.secondWait) << c.manual << c.initiallySet;
    }
    Event manual(true, true);
    manual.Reset();
    EXPECT_FALSE(manual.Wait(0));
}

TEST(EventTest, WaitTimesOutOnTime)
{
    Event event(false);
    for (std::uint32_t ms : {20u, 80u}) {
        const std::uint64_t start = MonotonicMs();
        EXPECT_FALSE(event.Wait(ms));
        const std::uint64_t elapsed = MonotonicMs() - start;
        EXPECT_GE(elapsed, ms);
        EXPECT_LT(elapsed, ms + SlackMs());
    }
}

TEST(EventTest, SetWakesABlockedWaiter)
{
    Event event(false);
    std::atomic<int> result{-1};
    std::thread waiter([&] { result = event.Wait(5000) ? 1 : 0; });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(result.load(), -1);
    const std::uint64_t start = MonotonicMs();
    event.Set();
    waiter.join();
    EXPECT_EQ(result.load(), 1);
    EXPECT_LT(MonotonicMs() - start, SlackMs());
    EXPECT_FALSE(event.Wait(0)); // the wake-up consumed the signal
}

TEST(EventTest, AutoResetSetReleasesExactlyOneWaiter)
{
    constexpr int kWaiters = 4;
    Event event(false);
    std::atomic<int> started{0};
    std::atomic<int> released{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < kWaiters; ++i)
        threads.emplace_back([&] {
            ++started;
            if (event.Wait(5000))
                ++released;
        });
    ASSERT_TRUE(Eventually([&] { return started == kWaiters; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    for (int set = 1; set <= kWaiters; ++set) {
        event.Set();
        ASSERT_TRUE(Eventually([&] { return released == set; }));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_EQ(released.load(), set) << "one Set released more than one waiter";
    }
    for (auto& t : threads)
        t.join();
    EXPECT_FALSE(event.Wait(0));
}

TEST(EventTest, ManualResetSetReleasesEveryWaiter)
{
    constexpr int kWaiters = 5;
    Event event(true);
    std::atomic<int> released{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < kWaiters; ++i)
        threads.emplace_back([&] {
            if (event.Wait(5000))
                ++released;
        });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    event.Set();
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(released.load(), kWaiters);
    EXPECT_TRUE(event.Wait(0));
}

TEST(SemaphoreTest, ReleaseNeverPassesTheMaximum)
{
    Semaphore sem(0, 2);
    long previous = -1;
    EXPECT_FALSE(sem.Release(3, &previous));
    EXPECT_EQ(previous, -1); // a failed release reports nothing
    EXPECT_EQ(sem.GetCount(), 0);
    EXPECT_FALSE(sem.Release(0));
    EXPECT_TRUE(sem.Release(1, &previous));
    EXPECT_EQ(previous, 0);
    EXPECT_FALSE(sem.Release(2));
    EXPECT_TRUE(sem.Release(1, &previous));
    EXPECT_EQ(previous, 1);
    EXPECT_FALSE(sem.Release(1));
    EXPECT_EQ(sem.GetCount(), 2);
    EXPECT_TRUE(sem.Wait(0));
    EXPECT_TRUE(sem.Wait(0));
    EXPECT_FALSE(sem.Wait(0));

    EXPECT_THROW(Semaphore(3, 2), std::invalid_argument);
    EXPECT_THROW(Semaphore(0, 0), std::invalid_argument);
    EXPECT_THROW(Semaphore(-1, 2), std::invalid_argument);
}

TEST(SemaphoreTest, WaitTimesOutOnTimeAndReleaseWakesWaiters)
{
    Semaphore sem(0, 10);
    const std::uint64_t start = MonotonicMs();
    EXPECT_FALSE(sem.Wait(40));
    EXPECT_GE(MonotonicMs() - start, 40u);

    std::atomic<int> taken{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 3; ++i)
        threads.emplace_back([&] {
            if (sem.Wait(5000))
                ++taken;
        });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    ASSERT_TRUE(sem.Release(2));
    ASSERT_TRUE(Eventually([&] { return taken == 2; }));
    EXPECT_EQ(sem.GetCount(), 0); // the units went to the waiters, not the count
    ASSERT_TRUE(sem.Release(3));
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(taken.load(), 3);
    EXPECT_EQ(sem.GetCount(), 2);
}

// Units are neither lost to waiters that time out nor handed out twice.
TEST(SemaphoreTest, UnitsAreConservedUnderTimeOutsAndContention)
{
    constexpr int kConsumers = 6;
    constexpr long kUnits = 3000;
    Semaphore sem(0, kUnits);
    std::atomic<long> taken{0};
    std::atomic<long> timeouts{0};
    std::atomic<bool> producing{true};
    std::vector<std::thread> consumers;
    for (int i = 0; i < kConsumers; ++i)
        consumers.emplace_back([&, i] {
            for (int round = 0; round < 100000 && (producing || sem.GetCount() > 0); ++round) {
                if (sem.Wait(static_cast<std::uint32_t>(i % 3))) // 0, 1 and 2 ms
                    ++taken;
                else
                    ++timeouts;
            }
        });
    for (long released = 0; released < kUnits;) {
        const long batch = 1 + released % 3;
        ASSERT_TRUE(sem.Release(batch));
        released += batch;
        // Pauses let consumers park, so grants race their time-outs.
        if (released % 200 < 3)
            std::this_thread::sleep_for(std::chrono::microseconds(700));
    }
    producing = false;
    for (auto& t : consumers)
        t.join();
    EXPECT_EQ(taken.load() + sem.GetCount(), kUnits);
    EXPECT_GT(timeouts.load(), 0);
}

// A seam that counts its calls and otherwise behaves like the thread seam.
struct CountingSeam {
    static inline std::atomic<int> prepares{0};
    static inline std::atomic<int> parks{0};
    static inline std::atomic<int> wakes{0};
    static void Prepare(platform::WaitNode& node)
    {
        ++prepares;
        platform::ThreadWaitSeam().prepare(node);
    }
    static bool Park(platform::WaitNode& node, std::uint64_t deadline)
    {
        ++parks;
        return platform::ThreadWaitSeam().park(node, deadline);
    }
    static void Wake(platform::WaitNode& node)
    {
        ++wakes;
        platform::ThreadWaitSeam().wake(node);
    }
    static constexpr platform::WaitSeam kSeam{Prepare, Park, Wake};
};

TEST(WaitSeamTest, WaitsOfAThreadGoThroughItsInstalledSeam)
{
    CountingSeam::prepares = CountingSeam::parks = CountingSeam::wakes = 0;
    Event event(false);
    Semaphore sem(0, 1);
    std::atomic<bool> ok{false};
    std::thread waiter([&] {
        EXPECT_EQ(platform::SetThreadWaitSeam(&CountingSeam::kSeam), nullptr);
        bool first = event.Wait(5000);
        bool timedOut = !sem.Wait(10);
        EXPECT_EQ(platform::SetThreadWaitSeam(nullptr), &CountingSeam::kSeam);
        ok = first && timedOut;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    event.Set();
    waiter.join();
    EXPECT_TRUE(ok);
    EXPECT_EQ(CountingSeam::prepares.load(), 2);
    EXPECT_EQ(CountingSeam::parks.load(), 2);
    EXPECT_EQ(CountingSeam::wakes.load(), 1); // the time-out woke nobody

    // The main thread never installed it.
    EXPECT_FALSE(event.Wait(5));
    EXPECT_EQ(CountingSeam::parks.load(), 2);
}

} // namespace
