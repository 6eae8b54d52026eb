#include "platform/fiber_pool.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include <sys/mman.h>
#include <unistd.h>

namespace {

using platform::Fiber;
using platform::FiberPool;

constexpr std::size_t kStack = 256 * 1024;

// Writes 64 KiB of its stack, so that those pages are resident.
void TouchStack()
{
    volatile char frame[64 * 1024];
    for (std::size_t i = 0; i < sizeof frame; i += 512)
        frame[i] = 1;
}

// Takes n fibers, runs each to its end and gives them all back.
void Round(FiberPool& pool, std::size_t n)
{
    std::vector<std::unique_ptr<Fiber>> held;
    for (std::size_t i = 0; i < n; ++i) {
        held.push_back(pool.Take(TouchStack));
        held.back()->Resume();
    }
    for (auto& fiber : held)
        pool.Give(std::move(fiber));
}

std::size_t ResidentPages(const Fiber& fiber)
{
    const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    std::vector<unsigned char> map(fiber.GetStackSize() / page);
    EXPECT_EQ(mincore(fiber.GetStackLimit(), fiber.GetStackSize(), map.data()), 0);
    std::size_t resident = 0;
    for (unsigned char bit : map)
        resident += bit & 1;
    return resident;
}

TEST(FiberPoolTest, SecondRoundReusesEveryStackOfTheFirst)
{
    // Well beyond the hot set: the spares follow the peak, not a fixed cap.
    constexpr std::size_t kFibers = 300;
    FiberPool pool(4, kStack);
    Round(pool, kFibers);
    EXPECT_EQ(pool.Created(), kFibers);
    EXPECT_EQ(pool.Spares(), kFibers);
    Round(pool, kFibers);
    EXPECT_EQ(pool.Created(), kFibers) << "no stack mapped again";
    EXPECT_EQ(pool.Live(), 0u);
}

TEST(FiberPoolTest, TrimKeepsTheRecentPeakAndDiscardsColdPages)
{
    constexpr std::size_t kHot = 2;
    constexpr std::size_t kFibers = 40;
    FiberPool pool(kHot, kStack);
    Round(pool, kFibers);
    // The least recently used spare lies at the bottom; take every spare to
    // look at it and give them back in the same order.
    std::vector<std::unique_ptr<Fiber>> all;
    for (std::size_t i = 0; i < kFibers; ++i) {
        all.push_back(pool.Take(TouchStack));
        all.back()->Resume();
    }
    const Fiber* coldest = all.front().get();
    const Fiber* hottest = all.back().get();
    for (auto& fiber : all)
        pool.Give(std::move(fiber));
    ASSERT_GT(ResidentPages(*coldest), 0u);

    // Just after the burst everything is kept, but beyond the hot set its
    // memory goes back to the system; the stacks stay mapped.
    EXPECT_EQ(pool.Trim(), 0u);
    EXPECT_EQ(pool.Spares(), kFibers);
    EXPECT_EQ(pool.ColdSpares(), kFibers - kHot);
    EXPECT_EQ(ResidentPages(*coldest), 0u);
    EXPECT_GT(ResidentPages(*hottest), 0u);

    // A cold stack runs again from zeroed pages.
    Round(pool, kFibers);
    EXPECT_EQ(pool.Created(), kFibers);

    // With nothing live the peak decays and the spares shrink to the hot set.
    std::size_t freed = 0;
    for (int i = 0; i < 40 && pool.Spares() > kHot; ++i)
        freed += pool.Trim();
    EXPECT_EQ(pool.Spares(), kHot);
    EXPECT_EQ(freed, kFibers - kHot);
}

TEST(FiberPoolTest, LiveFibersHoldTheirRoomWhileTheRestDecays)
{
    FiberPool pool(0, kStack);
    Round(pool, 10);
    std::vector<std::unique_ptr<Fiber>> held;
    for (int i = 0; i < 6; ++i)
        held.push_back(pool.Take(TouchStack)); // never run: still new
    for (int i = 0; i < 40; ++i)
        pool.Trim();
    EXPECT_EQ(pool.Live(), 6u);
    EXPECT_EQ(pool.Spares(), 0u);
    // A fiber destroyed by its holder no longer counts as live.
    held.pop_back();
    pool.Forget();
    for (auto& fiber : held)
        pool.Give(std::move(fiber)); // unfinished: destroyed, not kept
    EXPECT_EQ(pool.Live(), 0u);
    EXPECT_EQ(pool.Spares(), 0u);
}

} // namespace
