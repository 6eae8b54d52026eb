#include "macro/expander.h"
#include "platform/fiber.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

namespace {

using platform::Fiber;

static_assert(Fiber::kDefaultStackSize >= kMinFiberStackSize, "the default stack must hold the expander");

TEST(FiberTest, SwitchesBackAndForthAndNests)
{
    std::vector<std::string> trace;
    Fiber inner([&] {
        trace.push_back("inner1");
        Fiber::Suspend();
        trace.push_back("inner2");
    });
    Fiber outer([&] {
        EXPECT_EQ(Fiber::Current()->GetState(), Fiber::State::kRunning);
        for (int i = 0; i < 2; ++i) {
            trace.push_back("outer" + std::to_string(i));
            inner.Resume(); // inner's Suspend comes back here, not to the thread
            trace.push_back("back" + std::to_string(i));
            Fiber::Suspend();
        }
    });
    EXPECT_EQ(outer.GetState(), Fiber::State::kNew);
    for (int round = 0; round < 3 && !outer.IsFinished(); ++round) {
        outer.Resume();
        trace.push_back("main");
        EXPECT_EQ(Fiber::Current(), nullptr);
    }
    const std::vector<std::string> expected{"outer0", "inner1", "back0", "main", "outer1",
                                            "inner2", "back1",  "main",  "main"};
    EXPECT_EQ(trace, expected);
    EXPECT_TRUE(outer.IsFinished() && inner.IsFinished());
    EXPECT_THROW(outer.Resume(), std::logic_error);
    EXPECT_THROW(Fiber::Suspend(), std::logic_error);
}

TEST(FiberTest, RefusesBadUse)
{
    EXPECT_THROW(Fiber([] {}, Fiber::kMinStackSize - 1), std::invalid_argument);
    EXPECT_THROW(Fiber(Fiber::Entry{}), std::invalid_argument);
    Fiber self([] {
        EXPECT_THROW(Fiber::Current()->Resume(), std::logic_error);
        Fiber::Suspend();
    });
    bool refused = false;
    std::thread other([&] {
        try {
            self.Resume();
        } catch (const std::logic_error&) {
            refused = true;
        }
    });
    other.join();
    EXPECT_TRUE(refused);
    EXPECT_EQ(self.GetState(), Fiber::State::kNew);
    self.Resume();
    self.Resume();
    EXPECT_TRUE(self.IsFinished());
}

// Spends about `bytes` of stack below `top`, a frame at a time.
__attribute__((noinline)) std::size_t Burn(const char* top, std::size_t bytes, std::size_t depth)
{
    volatile char frame[900];
    frame[0] = static_cast<char>(depth);
    if (static_cast<std::size_t>(top - reinterpret_cast<const char*>(__builtin_frame_address(0))) >= bytes ||
        depth > 1000000)
        return depth;
    const std::size_t deepest = Burn(top, bytes, depth + 1);
    frame[1] = static_cast<char>(deepest); // used after the call: no tail call, a real frame per level
    return deepest + static_cast<std::size_t>(frame[1] & 0);
}

TEST(FiberTest, MinimumStackHoldsTheExpandersDepth)
{
    const std::size_t wanted = kMaxExpandDepth * kExpandStackPerLevel + kExpandStackHeadroom * 3 / 4;
    std::size_t depth = 0;
    Fiber fiber([&] { depth = Burn(static_cast<char*>(__builtin_frame_address(0)), wanted, 0); }, kMinFiberStackSize);
    fiber.Resume();
    ASSERT_TRUE(fiber.IsFinished());
    EXPECT_EQ(fiber.GetFailure(), nullptr);
    EXPECT_GE(depth, static_cast<std::size_t>(kMaxExpandDepth));
    EXPECT_GE(fiber.GetStackSize(), kMinFiberStackSize);
}

char g_altStack[64 * 1024];
const char* g_guardLow;
const char* g_guardHigh;

void OnFault(int, siginfo_t* info, void*)
{
    const char* at = static_cast<const char*>(info->si_addr);
    if (at < g_guardLow || at >= g_guardHigh)
        _exit(3);
    // In the guard: let the fault happen again and kill the process.
    signal(SIGSEGV, SIG_DFL);
}

TEST(FiberTest, OverflowHitsTheGuard)
{
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        Fiber fiber([] { Burn(static_cast<char*>(__builtin_frame_address(0)), 64u << 20, 0); }, Fiber::kMinStackSize);
        g_guardHigh = static_cast<const char*>(fiber.GetStackLimit());
        g_guardLow = g_guardHigh - Fiber::kGuardSize;
        stack_t alt{};
        alt.ss_sp = g_altStack;
        alt.ss_size = sizeof g_altStack;
        sigaltstack(&alt, nullptr);
        struct sigaction action{};
        action.sa_sigaction = OnFault;
        action.sa_flags = SA_SIGINFO | SA_ONSTACK;
        sigaction(SIGSEGV, &action, nullptr);
        fiber.Resume();
        _exit(4); // the recursion came back: no guard
    }
    int status = 0;
    for (int i = 0; i < 1000 && waitpid(child, &status, WNOHANG) == 0; ++i)
        usleep(10000);
    if (!WIFSIGNALED(status) && !WIFEXITED(status)) {
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
        FAIL() << "the child did not end";
    }
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGSEGV) << "status " << status;
}

TEST(FiberTest, ExceptionsStayInsideTheFiber)
{
    struct Case {
        std::function<void()> thrower;
        const char* text;
    };
    const Case cases[] = {
        {[] { throw std::runtime_error("boom"); }, "boom"},
        {[] { throw 42; }, "unknown exception"},
    };
    for (const Case& c : cases) {
        Fiber fiber([&] {
            Fiber::Suspend();
            c.thrower();
        });
        fiber.Resume();
        EXPECT_NO_THROW(fiber.Resume());
        EXPECT_TRUE(fiber.IsFinished());
        EXPECT_EQ(fiber.GetFailureText(), c.text);
        EXPECT_NE(fiber.GetFailure(), nullptr);
    }
}

TEST(FiberTest, EachFiberKeepsItsOwnExceptionState)
{
    std::vector<std::string> rethrown;
    int uncaughtWhileParked = -1;
    auto catcher = [&](std::string name) {
        try {
            throw std::runtime_error(name);
        } catch (const std::runtime_error&) {
            Fiber::Suspend();
            try {
                throw; // must be this fiber's exception, not the last one caught
            } catch (const std::runtime_error& again) {
                rethrown.push_back(again.what());
            }
        }
    };
    struct ParksInDestructor {
        int* seen;
        ~ParksInDestructor()
        {
            Fiber::Suspend();
            *seen = std::uncaught_exceptions();
        }
    };
    int seenByUnwinder = -1;
    Fiber a([&] { catcher("a"); });
    Fiber b([&] { catcher("b"); });
    Fiber unwinder([&] {
        ParksInDestructor parks{&seenByUnwinder};
        throw std::runtime_error("unwinding");
    });
    a.Resume();
    b.Resume();
    unwinder.Resume(); // parked with an exception in flight
    uncaughtWhileParked = std::uncaught_exceptions();
    a.Resume();
    b.Resume();
    unwinder.Resume();
    EXPECT_EQ(rethrown, (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(uncaughtWhileParked, 0);
    EXPECT_EQ(seenByUnwinder, 1);
    EXPECT_EQ(unwinder.GetFailureText(), "unwinding");
}

TEST(FiberTest, DestroyingAnUnfinishedFiberUnwindsIt)
{
    int released = 0;
    bool ranOn = false;
    bool neverStarted = true;
    struct Guard {
        int* count;
        ~Guard()
        {
            ++*count;
            Fiber::Suspend(); // a wait during the unwinding ends at once
        }
    };
    {
        Fiber fiber([&] {
            Guard guard{&released};
            Fiber::Suspend();
            ranOn = true;
        });
        fiber.Resume();
        Fiber idle([&] { neverStarted = false; });
    }
    EXPECT_EQ(released, 1);
    EXPECT_FALSE(ranOn);
    EXPECT_TRUE(neverStarted);
}

std::size_t MappingCount()
{
    std::ifstream maps("/proc/self/maps");
    std::size_t lines = 0;
    for (std::string line; std::getline(maps, line);)
        ++lines;
    return lines;
}

TEST(FiberTest, ThousandsOfFibersLeaveNothingBehind)
{
    constexpr int kAlive = 2000;
    constexpr int kSequential = 3000;
    const std::size_t mappingsBefore = MappingCount();
    int finished = 0;
    std::vector<std::unique_ptr<Fiber>> fibers;
    for (int i = 0; i < kAlive; ++i) {
        fibers.push_back(std::make_unique<Fiber>([&finished] {
            std::vector<int> held(64, 1); // released only if the fiber ends or unwinds
            Fiber::Suspend();
            finished += held[0];
        }, Fiber::kMinStackSize));
        fibers.back()->Resume();
    }
    for (int i = 0; i < kAlive; i += 2)
        fibers[i]->Resume(); // half end normally, half are unwound below
    fibers.clear();
    for (int i = 0; i < kSequential; ++i) {
        Fiber fiber([&finished] { ++finished; }, Fiber::kMinStackSize);
        fiber.Resume();
    }
    EXPECT_EQ(finished, kAlive / 2 + kSequential);
    // The allocator may map a few regions of its own; leaked stacks would be thousands.
    EXPECT_LE(MappingCount(), mappingsBefore + 100);
}

} // namespace

namespace {

// A finished fiber runs again from the top of the same stack: with its
// failure forgotten, with the new entry, and as often as it is restarted.
TEST(FiberTest, ARestartedFiberRunsTheNewEntryOnTheSameStack)
{
    Fiber fiber([] { throw std::runtime_error("first run fails"); });
    fiber.Resume();
    ASSERT_TRUE(fiber.IsFinished());
    ASSERT_NE(fiber.GetFailure(), nullptr);
    void* stack = fiber.GetStackLimit();

    std::vector<int> seen;
    for (int run = 1; run <= 3; ++run) {
        fiber.Restart([&seen, run] {
            seen.push_back(run);
            Fiber::Suspend();
            seen.push_back(-run);
        });
        EXPECT_EQ(fiber.GetState(), Fiber::State::kNew);
        EXPECT_EQ(fiber.GetFailure(), nullptr);
        EXPECT_EQ(fiber.GetFailureText(), "");
        fiber.Resume();
        EXPECT_EQ(fiber.GetState(), Fiber::State::kSuspended);
        fiber.Resume();
        EXPECT_TRUE(fiber.IsFinished());
        EXPECT_EQ(fiber.GetStackLimit(), stack);
    }
    EXPECT_EQ(seen, (std::vector<int>{1, -1, 2, -2, 3, -3}));
}

TEST(FiberTest, OnlyAFinishedFiberRestarts)
{
    Fiber fiber([] { Fiber::Suspend(); });
    EXPECT_THROW(fiber.Restart([] {}), std::logic_error); // new
    fiber.Resume();
    EXPECT_THROW(fiber.Restart([] {}), std::logic_error); // suspended
    fiber.Resume();
    EXPECT_THROW(fiber.Restart(nullptr), std::invalid_argument);
    EXPECT_NO_THROW(fiber.Restart([] {}));
}

} // namespace
