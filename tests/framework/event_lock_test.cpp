#include "eventually.h"
#include "framework/event_lock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

using platform::MonotonicMs;

// Stands in for "no time-out" where a lost wake-up must fail the test, not hang it.
constexpr std::uint32_t kLongMs = 5000;

TEST(EventLockTest, FreeLockIsTakenAtOnceAndTurnsInOneThreadNeverWait)
{
    CEventLock lock;
    EXPECT_FALSE(lock.IsLocked());
    for (int i = 0; i < 10000; ++i) {
        ASSERT_TRUE(lock.Lock(0)); // 0: would fail rather than wait
        ASSERT_TRUE(lock.IsLocked());
        lock.Unlock();
    }
    ASSERT_TRUE(lock.Lock());
    EXPECT_FALSE(lock.Lock(0)); // not recursive
    lock.Unlock();
    EXPECT_FALSE(lock.IsLocked());
}

TEST(EventLockTest, ALockReleasedByAnotherThreadIsFree)
{
    CEventLock lock;
    ASSERT_TRUE(lock.Lock());
    std::thread([&] { lock.Unlock(); }).join();
    EXPECT_TRUE(lock.Lock(0));
    // And the other way round, with a waiter queued meanwhile.
    std::atomic<bool> got{false};
    std::thread waiter([&] { got = lock.Lock(kLongMs); });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::thread([&] { lock.Unlock(); }).join();
    waiter.join();
    EXPECT_TRUE(got);
    std::thread([&] { lock.Unlock(); }).join(); // the waiter's hold, released elsewhere
    EXPECT_TRUE(lock.Lock(0));
    lock.Unlock();
}

TEST(EventLockTest, LockWaitsUntilTheHolderUnlocks)
{
    CEventLock lock;
    ASSERT_TRUE(lock.Lock());
    std::atomic<bool> got{false};
    std::thread waiter([&] {
        got = lock.Lock();
        lock.Unlock();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(got) << "the waiter went in while the lock was held";
    const std::uint64_t start = MonotonicMs();
    lock.Unlock();
    waiter.join();
    EXPECT_TRUE(got);
    EXPECT_LT(MonotonicMs() - start, kSlackMs);
    EXPECT_FALSE(lock.IsLocked());
}

TEST(EventLockTest, TimedLockReportsTheTimeOutAndLeavesTheLockAsItWas)
{
    CEventLock lock;
    ASSERT_TRUE(lock.Lock());
    for (std::uint32_t ms : {1u, 30u, 60u}) {
        std::atomic<int> result{-1};
        std::uint64_t elapsed = 0;
        std::thread waiter([&] {
            const std::uint64_t start = MonotonicMs();
            result = lock.Lock(ms) ? 1 : 0;
            elapsed = MonotonicMs() - start;
        });
        waiter.join();
        EXPECT_EQ(result.load(), 0) << ms;
        EXPECT_GE(elapsed, ms);
        EXPECT_LT(elapsed, ms + kSlackMs);
        EXPECT_TRUE(lock.IsLocked()); // still the holder's
    }
    lock.Unlock();
    // No wake-up was left behind for the departed waiters: the lock is simply free,
    // and a new holder keeps others out.
    ASSERT_TRUE(lock.Lock(0));
    std::atomic<int> intruder{-1};
    std::thread([&] { intruder = lock.Lock(30) ? 1 : 0; }).join();
    EXPECT_EQ(intruder.load(), 0);
    lock.Unlock();
}

TEST(EventLockTest, ATimedOutWaiterNeitherStealsNorLosesTheNextWakeUp)
{
    CEventLock lock;
    ASSERT_TRUE(lock.Lock());
    std::atomic<int> early{-1};
    std::atomic<int> patient{-1};
    std::atomic<int> late{-1};
    std::thread first([&] { early = lock.Lock(40) ? 1 : 0; });      // queued first, gives up
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::thread second([&] { patient = lock.Lock(kLongMs) ? 1 : 0; });
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::thread third([&] { late = lock.Lock(60) ? 1 : 0; });       // queued behind, gives up
    first.join();
    third.join();
    EXPECT_EQ(early.load(), 0);
    EXPECT_EQ(late.load(), 0);
    EXPECT_EQ(patient.load(), -1);
    const std::uint64_t start = MonotonicMs();
    lock.Unlock();
    second.join();
    EXPECT_EQ(patient.load(), 1);
    EXPECT_LT(MonotonicMs() - start, kSlackMs);
    EXPECT_TRUE(lock.IsLocked()); // handed to the patient waiter
    lock.Unlock();
    EXPECT_TRUE(lock.Lock(0));
    lock.Unlock();
}

// Many threads mixing tries, short time-outs and long waits: never two
// inside, every long wait succeeds, and the lock ends free.
TEST(EventLockTest, TimedWaitsUnderHeavyContentionKeepTheLockSound)
{
    constexpr int kThreads = 8;
    constexpr int kRounds = 1500;
    CEventLock lock;
    std::atomic<int> inside{0};
    std::atomic<bool> overlap{false};
    long counter = 0; // guarded by the lock only
    std::atomic<long> entries{0};
    std::atomic<long> timeouts{0};
    std::atomic<long> failedLongWaits{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            // A stuck lock ends every thread's run at its first failed long wait.
            for (int round = 0; round < kRounds && failedLongWaits == 0; ++round) {
                const int pick = (t + round) % 4;
                const std::uint32_t ms = pick == 0 ? 0 : pick == 1 ? 1 : pick == 2 ? 2 : kLongMs;
                if (!lock.Lock(ms)) {
                    ++timeouts;
                    if (ms == kLongMs)
                        ++failedLongWaits;
                    continue;
                }
                if (inside.fetch_add(1) != 0)
                    overlap = true;
                ++counter;
                if (round % 16 == 0)
                    std::this_thread::sleep_for(std::chrono::microseconds(100)); // let waiters queue and time out
                inside.fetch_sub(1);
                ++entries;
                lock.Unlock();
            }
        });
    for (auto& t : threads)
        t.join();
    EXPECT_FALSE(overlap);
    EXPECT_EQ(failedLongWaits.load(), 0);
    EXPECT_EQ(counter, entries.load());
    if (failedLongWaits == 0) {
        EXPECT_EQ(entries.load() + timeouts.load(), long{kThreads} * kRounds);
    }
    EXPECT_GT(timeouts.load(), 0) << "the test did not provoke any time-out";
    EXPECT_FALSE(lock.IsLocked());
    EXPECT_TRUE(lock.Lock(0));
    lock.Unlock();
}

TEST(EventLockHolderTest, ReleasesOnceOnEveryPath)
{
    CEventLock lock;
    try {
        CEventLockHolder holder(lock);
        EXPECT_TRUE(holder.IsHeld());
        EXPECT_TRUE(lock.IsLocked());
        throw std::runtime_error("unwind");
    } catch (const std::runtime_error&) {
    }
    EXPECT_FALSE(lock.IsLocked());

    {
        CEventLockHolder holder(lock);
        holder.Release();
        EXPECT_FALSE(holder.IsHeld());
        ASSERT_TRUE(lock.Lock(0)); // someone else takes it now
        holder.Release();          // a second release must not free their hold
        EXPECT_TRUE(lock.IsLocked());
    }
    EXPECT_TRUE(lock.IsLocked()); // nor must the destructor
    lock.Unlock();

    {
        CEventLockHolder outer(lock);
        CEventLockHolder moved(std::move(outer));
        EXPECT_FALSE(outer.IsHeld());
        EXPECT_TRUE(moved.IsHeld());
    }
    EXPECT_FALSE(lock.IsLocked());
}

// Waiting goes through the thread's wait seam, where a fiber scheduler plugs in.
struct ParkCounter {
    static inline std::atomic<int> parks{0};
    static void Prepare(platform::WaitNode& node) { platform::ThreadWaitSeam().prepare(node); }
    static bool Park(platform::WaitNode& node, std::uint64_t deadline)
    {
        ++parks;
        return platform::ThreadWaitSeam().park(node, deadline);
    }
    static void Wake(platform::WaitNode& node) { platform::ThreadWaitSeam().wake(node); }
    static constexpr platform::WaitSeam kSeam{Prepare, Park, Wake};
};

TEST(EventLockTest, ContendedWaitsGoThroughTheWaitSeam)
{
    ParkCounter::parks = 0;
    CEventLock lock;
    ASSERT_TRUE(lock.Lock());
    std::atomic<bool> got{false};
    std::thread waiter([&] {
        platform::SetThreadWaitSeam(&ParkCounter::kSeam);
        got = lock.Lock(kLongMs);
        platform::SetThreadWaitSeam(nullptr);
    });
    ASSERT_TRUE(Eventually([&] { return ParkCounter::parks.load() == 1; }));
    lock.Unlock();
    waiter.join();
    EXPECT_TRUE(got);
    EXPECT_EQ(ParkCounter::parks.load(), 1);
    lock.Unlock();
}

} // namespace
