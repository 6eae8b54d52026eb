// The reader/writer lock with its closed state and the generation counter.

#include "framework/generation.h"
#include "framework/reader_writer_lock.h"
#include "platform/clock.h"

#include "eventually.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

std::uint64_t In(std::uint32_t ms) { return platform::DeadlineAfter(ms); }

TEST(ReaderWriterLockTest, ReadersShareWritersExcludeAndAWaitingWriterHoldsNewReadersBack)
{
    CReaderWriterLock lock;
    ASSERT_TRUE(lock.LockRead());
    ASSERT_TRUE(lock.LockRead(In(0)));
    EXPECT_EQ(lock.GetReaders(), 2);
    EXPECT_FALSE(lock.LockWrite(In(20))) << "a writer waits for the readers";
    EXPECT_TRUE(lock.LockRead(In(0))) << "a writer that gave up holds nobody back";
    lock.UnlockRead();

    std::atomic<bool> written{false};
    std::thread writer([&] {
        ASSERT_TRUE(lock.LockWrite());
        written = true;
        lock.UnlockWrite();
    });
    platform::SleepMs(30);
    EXPECT_FALSE(lock.LockRead(In(30))) << "a new reader must not pass a waiting writer";
    lock.UnlockRead();
    lock.UnlockRead();
    writer.join();
    EXPECT_TRUE(written);
    EXPECT_TRUE(lock.LockWrite(In(0)));
    EXPECT_FALSE(lock.LockRead(In(10)));
    lock.UnlockWrite();
}

TEST(ReaderWriterLockTest, CloseFailsEveryWaiterAtOnceAndEveryLaterLock)
{
    CReaderWriterLock lock;
    ASSERT_TRUE(lock.LockWrite());
    std::atomic<int> failed{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 6; ++i)
        waiters.emplace_back([&, i] {
            bool taken = i % 2 ? lock.LockRead() : lock.LockWrite();
            if (!taken)
                ++failed;
        });
    platform::SleepMs(30);
    std::uint64_t begun = platform::MonotonicMs();
    lock.Close();
    for (std::thread& t : waiters)
        t.join();
    EXPECT_EQ(failed, 6);
    EXPECT_LT(platform::MonotonicMs() - begun, 600u + SlackMs());
    EXPECT_FALSE(lock.LockRead(In(0)));
    EXPECT_FALSE(lock.WaitUntilFree(In(20))) << "the hold taken before Close stays";
    std::thread release([&] {
        platform::SleepMs(20);
        lock.UnlockWrite();
    });
    EXPECT_TRUE(lock.WaitUntilFree(In(5000)));
    release.join();
    lock.Reopen();
    EXPECT_TRUE(lock.LockRead(In(0)));
    lock.UnlockRead();
}

TEST(ReaderWriterLockTest, NoUpdateIsLostUnderContention)
{
    CReaderWriterLock lock;
    long value = 0;
    std::atomic<bool> torn{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 2000; ++i) {
                if (t % 2) {
                    ASSERT_TRUE(lock.LockWrite());
                    long before = value;
                    value = before + 1;
                    lock.UnlockWrite();
                } else {
                    ASSERT_TRUE(lock.LockRead());
                    long a = value;
                    std::this_thread::yield();
                    if (a != value)
                        torn = true;
                    lock.UnlockRead();
                }
            }
        });
    for (std::thread& t : threads)
        t.join();
    EXPECT_EQ(value, 4 * 2000);
    EXPECT_FALSE(torn) << "a writer ran while a reader held the lock";
}

TEST(GenerationTest, AChangeBeforeTheWaitIsNotLostAndCloseWakesEveryone)
{
    CGeneration generation;
    struct Case {
        const char* what;
        bool advanceFirst;
        CGeneration::WaitResult expected;
    };
    const Case cases[] = {
        {"moved between the note and the wait", true, CGeneration::WaitResult::Changed},
        {"nothing moved", false, CGeneration::WaitResult::TimedOut},
    };
    for (const Case& c : cases) {
        std::uint64_t seen = generation.Current();
        if (c.advanceFirst)
            generation.Advance();
        EXPECT_EQ(generation.WaitForChange(seen, In(30)), c.expected) << c.what;
    }

    std::atomic<int> woken{0};
    std::vector<std::thread> waiters;
    std::uint64_t seen = generation.Current();
    for (int i = 0; i < 4; ++i)
        waiters.emplace_back([&] {
            if (generation.WaitForChange(seen, platform::kNoDeadline) == CGeneration::WaitResult::Changed)
                ++woken;
        });
    platform::SleepMs(20);
    generation.Advance();
    for (std::thread& t : waiters)
        t.join();
    EXPECT_EQ(woken, 4);

    std::thread pausing([&] {
        EXPECT_EQ(generation.WaitForClose(In(10000)), CGeneration::WaitResult::Closed);
    });
    platform::SleepMs(20);
    std::uint64_t begun = platform::MonotonicMs();
    generation.Close();
    pausing.join();
    EXPECT_LT(platform::MonotonicMs() - begun, 600u + SlackMs());
    EXPECT_EQ(generation.WaitForChange(generation.Current(), In(1000)), CGeneration::WaitResult::Closed);
}

} // namespace
