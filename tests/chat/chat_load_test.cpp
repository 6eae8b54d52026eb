// 200 realtime viewers and 20 posters for 10 seconds on a pool of two
// workers: every viewer receives every line, and the room answers other
// requests at once all the while.

#include "chat_fixture.h"

#include <atomic>
#include <thread>

namespace {

using chat_test::ChatE2ETest;
using chat_test::RawExchange;

constexpr int kViewers = 200;
constexpr int kPosters = 20;
constexpr int kPostsEach = 10; // one a second for 10 seconds
constexpr std::uint64_t kPostIntervalMs = 1000;
// "At once": a join page never waits behind the viewers for longer. The
// sanitizers make every render many times slower, so there the bound only
// shows that nobody starves.
#ifdef VELMORA_SANITIZE
constexpr std::uint64_t kJoinBoundMs = 10000;
#else
constexpr std::uint64_t kJoinBoundMs = 1500;
#endif

std::string LineText(int poster, int post) { return "q" + std::to_string(poster) + "_" + std::to_string(post) + "z"; }

struct ViewerSocket {
    int fd = -1;
    std::string carry; // the end of the last read, where a line may have been cut
    std::vector<bool> seen = std::vector<bool>(kPosters * kPostsEach, false);
    int seenCount = 0;
    bool ended = false;

    void Scan(const std::string& chunk)
    {
        std::string text = carry + chunk;
        for (std::size_t at = text.find('q'); at != std::string::npos; at = text.find('q', at + 1)) {
            int poster = 0, post = 0;
            char z = 0;
            if (std::sscanf(text.c_str() + at, "q%d_%d%c", &poster, &post, &z) == 3 && z == 'z' && poster >= 0 &&
                poster < kPosters && post >= 0 && post < kPostsEach) {
                int index = poster * kPostsEach + post;
                if (!seen[index]) {
                    seen[index] = true;
                    ++seenCount;
                }
            }
        }
        carry = text.size() > 32 ? text.substr(text.size() - 32) : text;
    }
};

TEST_F(ChatE2ETest, TwoHundredViewersAndTwentyPostersOnTwoWorkers)
{
    if (!e2e::RaiseOpenFileLimit(4096))
        GTEST_SKIP() << "the descriptor limit is below 4096";
    m_fibers = 1;
    std::uint16_t port = AddRoom("Load", {{"Lines", 300}, {"Timeout", 120}, {"ConnTimeout", 30}, {"Listeners", 16}});
    Start(2);

    std::vector<ViewerSocket> viewers(kViewers);
    for (int i = 0; i < kViewers; ++i) {
        viewers[i].fd = e2e::ConnectLoopback(port, false);
        ASSERT_GE(viewers[i].fd, 0);
        ASSERT_TRUE(e2e::SendAll(viewers[i].fd, "GET /View?name=v" + std::to_string(i) +
                                                    "&realtime=on&numlines=300 HTTP/1.0\r\n\r\n"));
    }

    std::atomic<bool> posting{true};
    std::atomic<int> failedPosts{0};
    std::vector<std::thread> posters;
    for (int p = 0; p < kPosters; ++p)
        posters.emplace_back([&, p] {
            for (int i = 0; i < kPostsEach; ++i) {
                std::uint64_t next = e2e::NowMs() + kPostIntervalMs;
                std::string body = "name=poster" + std::to_string(p) + "&text=" + LineText(p, i);
                std::string reply = RawExchange(port,
                                                "POST /Chat HTTP/1.0\r\nContent-length: " +
                                                    std::to_string(body.size()) + "\r\n\r\n" + body,
                                                20000);
                if (reply.rfind("HTTP/1.0 200 OK", 0) != 0)
                    ++failedPosts;
                while (e2e::NowMs() < next)
                    platform::SleepMs(10);
            }
        });

    // Meanwhile another client is answered at once, and the viewers read.
    std::uint64_t worstJoinMs = 0;
    int joins = 0;
    std::uint64_t deadline = e2e::NowMs() + 60000;
    std::vector<pollfd> fds(kViewers);
    char buffer[65536];
    auto allSeen = [&] {
        for (const ViewerSocket& v : viewers)
            if (v.seenCount < kPosters * kPostsEach)
                return false;
        return true;
    };
    std::thread joiner([&] {
        while (posting) {
            std::uint64_t begun = e2e::NowMs();
            std::string join = RawExchange(port, "GET /Join HTTP/1.0\r\n\r\n", 10000);
            std::uint64_t took = e2e::NowMs() - begun;
            if (join.find("<H1>Load</H1>") != std::string::npos) {
                worstJoinMs = std::max(worstJoinMs, took);
                ++joins;
            }
            platform::SleepMs(250);
        }
    });
    while (!allSeen() && e2e::NowMs() < deadline) {
        for (int i = 0; i < kViewers; ++i)
            fds[i] = pollfd{viewers[i].ended ? -1 : viewers[i].fd, POLLIN, 0};
        if (::poll(fds.data(), fds.size(), 100) <= 0)
            continue;
        for (int i = 0; i < kViewers; ++i) {
            if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            ssize_t got = ::read(viewers[i].fd, buffer, sizeof buffer);
            if (got <= 0)
                viewers[i].ended = true;
            else
                viewers[i].Scan(std::string(buffer, static_cast<std::size_t>(got)));
        }
    }
    for (std::thread& t : posters)
        t.join();
    posting = false;
    joiner.join();

    EXPECT_EQ(failedPosts, 0);
    int complete = 0, ended = 0;
    for (const ViewerSocket& v : viewers) {
        complete += v.seenCount == kPosters * kPostsEach;
        ended += v.ended;
    }
    EXPECT_EQ(complete, kViewers) << "viewers that received every line";
    EXPECT_EQ(ended, 0) << "streams that ended early";
    EXPECT_GT(joins, 10);
    EXPECT_LT(worstJoinMs, kJoinBoundMs) << "a join page waited behind the viewers";
    std::printf("load: %d viewers complete, %d join pages, slowest %llu ms\n", complete, joins,
                static_cast<unsigned long long>(worstJoinMs));

    // The viewers leave; the room notices and lets their fibers end.
    for (ViewerSocket& v : viewers)
        ::close(v.fd);
    std::uint64_t begun = e2e::NowMs();
    StopServices();
    EXPECT_LT(e2e::NowMs() - begun, 5000u);
}

} // namespace
