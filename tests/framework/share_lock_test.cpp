#include "framework/share_lock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace {

TEST(ShareLockTest, SharersNeverSeeAnExclusiveHoldersHalfDoneWork)
{
    CShareLock lock;
    // Changed only while held alone, always together; a sharer that reads
    // them apart saw a change half done.
    long first = 0;
    long second = 0;
    std::atomic<bool> done{false};
    std::atomic<long> torn{0};
    std::atomic<long> shared{0};
    std::vector<std::thread> sharers;
    for (int i = 0; i < 4; ++i)
        sharers.emplace_back([&] {
            while (!done.load()) {
                CShareLock::Share share(lock);
                if (!share)
                    continue;
                ++shared;
                long a = first;
                std::this_thread::yield();
                if (second != a)
                    ++torn;
            }
        });
    // Let the sharers get going first (slow to start under the sanitizers),
    // so that the rounds below overlap them.
    for (int wait = 0; wait < 10000 && shared.load() == 0; ++wait)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    for (int round = 0; round < 2000; ++round) {
        CShareLock::Exclusive hold(lock);
        ++first;
        std::this_thread::yield();
        ++second;
    }
    done.store(true);
    for (std::thread& sharer : sharers)
        sharer.join();
    EXPECT_EQ(torn.load(), 0);
    EXPECT_GT(shared.load(), 0);
    EXPECT_EQ(first, 2000);
}

TEST(ShareLockTest, NoShareWhileHeldAloneAndAShareEndsWithItsScope)
{
    CShareLock lock;
    {
        CShareLock::Exclusive hold(lock);
        CShareLock::Share refused(lock);
        EXPECT_FALSE(refused);
    }
    {
        CShareLock::Share first(lock);
        CShareLock::Share second(lock);
        EXPECT_TRUE(first);
        EXPECT_TRUE(second);
    }
    // Both shares ended: holding alone does not wait for them.
    std::atomic<bool> held{false};
    std::thread holder([&] {
        CShareLock::Exclusive hold(lock);
        held.store(true);
    });
    holder.join();
    EXPECT_TRUE(held.load());
}

TEST(ShareLockTest, AWaitingSharerStartsWhenTheExclusiveHolderEndsNeverBefore)
{
    CShareLock lock;
    std::atomic<bool> released{false};
    std::atomic<bool> sawRelease{false};
    std::thread sharer;
    {
        CShareLock::Exclusive hold(lock);
        sharer = std::thread([&] {
            CShareLock::Share share(lock, CShareLock::kWait);
            sawRelease.store(share && released.load());
        });
        // Long enough for the sharer to be past its spins and waiting.
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        released.store(true);
    }
    sharer.join();
    EXPECT_TRUE(sawRelease.load());
    // A waiting share while nobody holds alone is an ordinary one.
    CShareLock::Share first(lock, CShareLock::kWait);
    CShareLock::Share second(lock, CShareLock::kWait);
    EXPECT_TRUE(first && second);
}

} // namespace
