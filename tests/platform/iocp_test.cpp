#include "platform/errors.h"
#include "platform/iocp.h"
#include "platform/net.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

#include <sys/socket.h>
#include <unistd.h>

namespace {

using platform::Completion;
using platform::CompletionPort;
using platform::MonotonicMs;

// A connected TCP pair on 127.0.0.1, port chosen by the system.
struct TcpPair {
    int client = -1;
    int server = -1;
    TcpPair()
    {
        std::uint32_t loopback = 0;
        platform::ParseIPv4("127.0.0.1", &loopback);
        const int listener = platform::OpenSocket(platform::kAddressFamilyInet, platform::kSocketStream, 0);
        std::uint16_t port = 0;
        if (platform::BindIPv4(listener, 0, loopback) == 0 && platform::ListenSocket(listener, 1) == 0 &&
            platform::LocalAddress(listener, nullptr, &port) == 0) {
            client = platform::OpenSocket(platform::kAddressFamilyInet, platform::kSocketStream, 0);
            if (platform::ConnectIPv4(client, loopback, port, 2000) == 0)
                server = platform::AcceptSocket(listener, nullptr, nullptr);
        }
        platform::CloseHandle(listener);
    }
    ~TcpPair()
    {
        platform::CloseHandle(client);
        platform::CloseHandle(server);
    }
    void Send() { ASSERT_EQ(platform::SendBytes(client, "x", 1, false), 1); }
};

TEST(CompletionPortTest, ReadinessIsOneShotUntilArmedAgain)
{
    CompletionPort port;
    ASSERT_TRUE(port.Open());
    TcpPair pair;
    ASSERT_GE(pair.server, 0);
    Completion done;

    ASSERT_EQ(port.Arm(pair.server, false, platform::kNoDeadline, 7), 0);
    EXPECT_FALSE(port.Wait(0, done));
    EXPECT_EQ(platform::LastSocketError(), platform::kWsaeTimedOut);
    pair.Send();
    ASSERT_TRUE(port.Wait(2000, done));
    EXPECT_EQ(done.kind, Completion::kReady);
    EXPECT_EQ(done.handle, pair.server);
    EXPECT_EQ(done.cookie, 7u);
    pair.Send();
    EXPECT_FALSE(port.Wait(50, done)) << "reported twice for one arm";

    // Armed again with the bytes still unread, it reports at once; only the
    // last of two arms completes.
    ASSERT_EQ(port.Arm(pair.server, false, platform::kNoDeadline, 8), 0);
    ASSERT_EQ(port.Arm(pair.server, false, platform::kNoDeadline, 9), 0);
    ASSERT_TRUE(port.Wait(2000, done));
    EXPECT_EQ(done.cookie, 9u);
    EXPECT_FALSE(port.Wait(0, done));

    // A wait that timed out stays quiet when its handle turns ready later.
    TcpPair quiet;
    ASSERT_EQ(port.Arm(quiet.server, false, MonotonicMs() + 30, 10), 0);
    ASSERT_TRUE(port.Wait(2000, done));
    EXPECT_EQ(done.kind, Completion::kTimedOut);
    quiet.Send();
    EXPECT_FALSE(port.Wait(50, done));

    // A disarmed wait never completes, even with its handle ready and its deadline past.
    ASSERT_EQ(port.Arm(pair.server, false, MonotonicMs() + 20, 11), 0);
    ASSERT_EQ(port.Arm(pair.client, true, platform::kNoDeadline, 12), 0);
    EXPECT_TRUE(port.Disarm(pair.server));
    EXPECT_FALSE(port.Disarm(pair.server));
    ASSERT_TRUE(port.Wait(2000, done));
    EXPECT_EQ(done.cookie, 12u); // writable
    EXPECT_FALSE(port.Wait(60, done));
    EXPECT_EQ(port.GetArmedCount(), 0u);

    EXPECT_EQ(port.Arm(-1, false, platform::kNoDeadline, 0), -1);
    std::thread stranger([&] { EXPECT_THROW(port.Arm(pair.server, false, platform::kNoDeadline, 0), std::logic_error); });
    stranger.join();
}

TEST(CompletionPortTest, AnEdgeThatCameBeforeTheWaitIsNotLostNorReportedTwice)
{
    CompletionPort port;
    ASSERT_TRUE(port.Open());
    TcpPair pair;
    ASSERT_GE(pair.server, 0);
    Completion done;
    char bytes[16];

    ASSERT_EQ(port.ArmEdge(pair.server, false, platform::kNoDeadline, 1), 0);
    pair.Send();
    ASSERT_TRUE(port.Wait(2000, done));
    EXPECT_EQ(done.kind, Completion::kReady);
    EXPECT_EQ(done.cookie, 1u);
    ASSERT_EQ(platform::ReceiveBytes(pair.server, bytes, sizeof bytes), 1);

    // The edge comes while no wait is armed: the next arm answers at once.
    pair.Send();
    EXPECT_FALSE(port.Wait(100, done));
    EXPECT_EQ(port.ArmEdge(pair.server, false, platform::kNoDeadline, 2), 1);
    // Taken once: the next wait is armed and stays quiet until a new edge.
    ASSERT_EQ(platform::ReceiveBytes(pair.server, bytes, sizeof bytes), 1);
    EXPECT_EQ(port.ArmEdge(pair.server, false, MonotonicMs() + 50, 3), 0);
    ASSERT_TRUE(port.Wait(2000, done));
    EXPECT_EQ(done.kind, Completion::kTimedOut);
    EXPECT_EQ(done.cookie, 3u);

    // Writable since its registration, and the write side has its own edge.
    EXPECT_EQ(port.ArmEdge(pair.server, true, platform::kNoDeadline, 4), 1);
    EXPECT_EQ(port.ArmEdge(pair.server, true, MonotonicMs() + 50, 5), 0);
    ASSERT_TRUE(port.Wait(2000, done));
    EXPECT_EQ(done.kind, Completion::kTimedOut);
}

TEST(CompletionPortTest, PostsFromSeveralThreadsArriveInOrder)
{
    constexpr int kThreads = 4;
    constexpr std::uint32_t kPerThread = 5000;
    CompletionPort port;
    ASSERT_TRUE(port.Open());
    std::vector<std::thread> posters;
    for (int t = 0; t < kThreads; ++t) {
        posters.emplace_back([&port, t] {
            for (std::uint32_t i = 0; i < kPerThread; ++i)
                port.Post(static_cast<std::uintptr_t>(t), i, &port);
        });
    }
    std::vector<std::uint32_t> next(kThreads, 0);
    Completion done;
    std::uint32_t received = 0;
    while (received < kThreads * kPerThread && port.Wait(5000, done)) {
        ASSERT_EQ(done.kind, Completion::kPosted);
        ASSERT_LT(done.key, static_cast<std::uintptr_t>(kThreads));
        ASSERT_EQ(done.bytes, next[done.key]) << "thread " << done.key;
        EXPECT_EQ(done.pointer, &port);
        ++next[done.key];
        ++received;
    }
    for (std::thread& poster : posters)
        poster.join();
    EXPECT_EQ(received, kThreads * kPerThread);
    EXPECT_FALSE(port.Wait(0, done));
}

TEST(CompletionPortTest, DeadlineFiresOnTimeOnAQuietPort)
{
    for (std::uint32_t ms : {300u, 1500u}) {
        SCOPED_TRACE(ms);
        // On time means no later than a plain sleep of the same length beside
        // it is woken, plus a little: a busy machine delays both. A deadline
        // that does not fire would run to the wait's own limit on every try.
        bool onTime = false;
        for (int attempt = 0; attempt < 3 && !onTime; ++attempt) {
            CompletionPort port;
            ASSERT_TRUE(port.Open());
            TcpPair silent;
            const std::uint64_t start = MonotonicMs();
            ASSERT_EQ(port.Arm(silent.server, false, start + ms, ms), 0);
            std::uint64_t sleepLate = 0;
            std::thread sleeper([&] {
                std::this_thread::sleep_for(std::chrono::milliseconds(ms));
                sleepLate = MonotonicMs() - start - ms;
            });
            Completion done;
            // The wait's own limit is far beyond the deadline: only the timer can end it on time.
            ASSERT_TRUE(port.Wait(ms + 20000, done));
            const std::uint64_t elapsed = MonotonicMs() - start;
            sleeper.join();
            EXPECT_EQ(done.kind, Completion::kTimedOut);
            EXPECT_EQ(done.cookie, ms);
            EXPECT_GE(elapsed, ms);
            onTime = elapsed < ms + 50 + 2 * sleepLate;
        }
        EXPECT_TRUE(onTime);
    }
}

TEST(CompletionPortTest, ManyDeadlinesFireInOrder)
{
    constexpr int kWaits = 40;
    CompletionPort port;
    ASSERT_TRUE(port.Open());
    std::vector<std::pair<int, int>> pairs(kWaits);
    const std::uint64_t start = MonotonicMs();
    std::vector<std::uint64_t> deadlines(kWaits);
    for (int i = 0; i < kWaits; ++i) {
        int fds[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
        pairs[i] = {fds[0], fds[1]};
        // Armed out of order, with ties (i and i + 20 share a deadline).
        deadlines[i] = start + 40 + static_cast<std::uint64_t>((i * 7) % 20) * 15;
        ASSERT_EQ(port.Arm(fds[0], false, deadlines[i], static_cast<std::uint64_t>(i)), 0);
    }
    ASSERT_TRUE(port.Disarm(pairs[5].first));
    std::vector<int> order;
    Completion done;
    while (order.size() < kWaits - 1 && port.Wait(3000, done)) {
        ASSERT_EQ(done.kind, Completion::kTimedOut);
        const std::uint64_t now = MonotonicMs();
        EXPECT_GE(now, deadlines[done.cookie]);
        EXPECT_LT(now, deadlines[done.cookie] + 50);
        order.push_back(static_cast<int>(done.cookie));
    }
    std::vector<int> expected;
    for (int i = 0; i < kWaits; ++i) {
        if (i != 5)
            expected.push_back(i);
    }
    std::stable_sort(expected.begin(), expected.end(), [&](int a, int b) { return deadlines[a] < deadlines[b]; });
    EXPECT_EQ(order, expected);
    EXPECT_FALSE(port.Wait(100, done));
    for (auto [a, b] : pairs) {
        close(a);
        close(b);
    }
}

} // namespace
