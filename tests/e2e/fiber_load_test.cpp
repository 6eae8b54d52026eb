// The worker pool under load, with few workers and many connections: every
// client of a thousand is served, time-outs end quiet clients on time, a
// full server refuses without stalling its workers, and a stop in the middle
// of the load leaves no descriptor, thread or fiber behind.

#include "e2e_server.h"
#include "raw_client.h"
#include "platform/process_temp.h"

#include <sys/epoll.h>

#include <atomic>
#include <thread>

using namespace e2e;

namespace {

// Descriptors the 1,000-client test needs beyond both ends of its sockets.
constexpr rlim_t kSpareDescriptors = 256;
constexpr std::uint64_t kManyClientsLimitMs = 60000;
// How late a time-out may end its connection.
constexpr std::uint64_t kCutLatenessMs = 1300;

const std::string kKeepAliveRequest = "GET /x.txt HTTP/1.0\r\nConnection: keep-alive\r\n\r\n";

class FiberLoadTest : public E2ETest {
protected:
    FiberLoadTest() { m_fibers = true; }

    // The server key of a fiber-mode server holding x.txt.
    std::string AddFileServer(std::uint16_t port, const std::string& content)
    {
        std::string key = AddServer(port);
        WriteFile(m_root + "/x.txt", content);
        return key;
    }
};

std::string Content(std::size_t size)
{
    std::string text(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        text[i] = static_cast<char>('a' + (i * 131 + i / 7) % 26);
    return text;
}

// One connection of the many-client run.
struct Conversation {
    enum Phase { kConnecting, kFirstReply, kSecondReply, kDone, kFailed };
    int fd = -1;
    Phase phase = kConnecting;
    std::string buffer;
};

struct ManyClientsResult {
    int done = 0;
    std::string firstProblem;
    std::uint32_t heldOpen = 0;
};

// Takes one epoll report for a conversation one step on; the problem text
// when it fails.
std::string Step(Conversation& c, int epoll, std::uint32_t events, const std::string& expected)
{
    if (c.phase == Conversation::kConnecting) {
        int error = 0;
        socklen_t size = sizeof error;
        ::getsockopt(c.fd, SOL_SOCKET, SO_ERROR, &error, &size);
        if (error != 0)
            return "connect failed: " + std::string(std::strerror(error));
        if (!SendAll(c.fd, kKeepAliveRequest))
            return "the first request could not be sent";
        epoll_event change{EPOLLIN, {.ptr = &c}};
        ::epoll_ctl(epoll, EPOLL_CTL_MOD, c.fd, &change);
        c.phase = Conversation::kFirstReply;
        return {};
    }
    if (!(events & (EPOLLIN | EPOLLHUP | EPOLLERR)))
        return {};
    char chunk[8192];
    long n = ::recv(c.fd, chunk, sizeof chunk, 0);
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return {};
    if (n <= 0)
        return "closed by the server before reply " + std::to_string(c.phase == Conversation::kFirstReply ? 1 : 2);
    c.buffer.append(chunk, static_cast<std::size_t>(n));
    ParsedReply reply = ParseReply(c.buffer);
    if (reply.state == ParsedReply::kIncomplete)
        return {};
    if (reply.state == ParsedReply::kMalformed || reply.status != 200 || reply.body != expected)
        return "wrong reply: " + reply.head.substr(0, 200);
    c.buffer.erase(0, reply.size);
    if (c.phase == Conversation::kFirstReply) {
        if (!SendAll(c.fd, kKeepAliveRequest))
            return "the second request could not be sent";
        c.phase = Conversation::kSecondReply;
        return {};
    }
    if (!c.buffer.empty())
        return "bytes after the second reply";
    // Held open, but quiet: nothing more is expected on it.
    ::epoll_ctl(epoll, EPOLL_CTL_DEL, c.fd, nullptr);
    c.phase = Conversation::kDone;
    return {};
}

// Opens count connections at once, asks twice on each and keeps them all
// open until every one is done or failed (or the limit passed).
ManyClientsResult RunManyClients(std::uint16_t port, int count, const std::string& expected)
{
    ManyClientsResult result;
    std::vector<Conversation> conversations(static_cast<std::size_t>(count));
    int epoll = ::epoll_create1(EPOLL_CLOEXEC);
    int pending = 0;
    auto fail = [&](Conversation& c, const std::string& problem) {
        if (result.firstProblem.empty())
            result.firstProblem = problem;
        ::epoll_ctl(epoll, EPOLL_CTL_DEL, c.fd, nullptr);
        c.phase = Conversation::kFailed;
        --pending;
    };
    for (Conversation& c : conversations) {
        c.fd = ConnectLoopback(port, true);
        ++pending;
        epoll_event watch{EPOLLOUT, {.ptr = &c}};
        if (c.fd < 0 || ::epoll_ctl(epoll, EPOLL_CTL_ADD, c.fd, &watch) != 0)
            fail(c, "no socket: " + std::string(std::strerror(errno)));
    }
    std::uint64_t deadline = NowMs() + kManyClientsLimitMs;
    epoll_event events[256];
    while (pending > 0 && NowMs() < deadline) {
        int n = ::epoll_wait(epoll, events, 256, 100);
        for (int i = 0; i < n; ++i) {
            auto& c = *static_cast<Conversation*>(events[i].data.ptr);
            if (c.phase == Conversation::kDone || c.phase == Conversation::kFailed)
                continue;
            if (std::string problem = Step(c, epoll, events[i].events, expected); !problem.empty())
                fail(c, problem);
            else if (c.phase == Conversation::kDone) {
                --pending;
                ++result.done;
            }
        }
    }
    if (pending > 0 && result.firstProblem.empty())
        result.firstProblem = std::to_string(pending) + " clients still waiting at the limit";
    // Every served connection is still open here: running, or kept alive
    // and waiting for its next request without a fiber.
    CWorkerPoolCounts counts = GetWorkerPoolCounts();
    result.heldOpen = counts.running + counts.paused;
    for (Conversation& c : conversations)
        if (c.fd >= 0)
            ::close(c.fd);
    ::close(epoll);
    return result;
}

TEST_F(FiberLoadTest, AThousandKeptAliveClientsAreAllServed)
{
    constexpr int kClients = 1000;
    if (!RaiseOpenFileLimit(2 * kClients + kSpareDescriptors))
        GTEST_SKIP() << "the hard limit on open files is below " << 2 * kClients + kSpareDescriptors;
    std::uint16_t port = FreePort();
    Key(AddFileServer(port, Content(3000))).SetDword("KeepAliveTimeout", 30);
    StartServers();

    ManyClientsResult result = RunManyClients(port, kClients, Content(3000));
    EXPECT_EQ(result.done, kClients) << result.firstProblem;
    EXPECT_GE(result.heldOpen, static_cast<std::uint32_t>(kClients)) << "the connections were not all served at once";
    StopAllServers();
    EXPECT_EQ(LogLinesOnceThere(m_logs.front().path, 2u * kClients).size(), 2u * kClients);
}

// Each case: what the client sends, and the time-out that must end it,
// counted from its last send (or the reply it waited for).
struct QuietCase {
    const char* name;
    std::string send;
    bool waitForReply;
    std::uint32_t timeoutSeconds;
};

TEST_F(FiberLoadTest, QuietClientsAreCutAtTheirTimeOut)
{
    constexpr std::uint32_t kConnTimeout = 2;
    constexpr std::uint32_t kKeepAliveTimeout = 3;
    const std::vector<QuietCase> cases = {
        {"a silent client", "", false, kConnTimeout},
        {"half a request", "GET /x.txt HTTP/1.0\r\n", false, kConnTimeout},
        {"an idle kept-alive client", kKeepAliveRequest, true, kKeepAliveTimeout},
    };
    std::uint16_t port = FreePort();
    platform::RegistryKey key = Key(AddFileServer(port, "quiet"));
    key.SetDword("ConnTimeout", kConnTimeout);
    key.SetDword("KeepAliveTimeout", kKeepAliveTimeout);
    // The half request's hit is logged with status 0, as no reply was made;
    // the log's strict check would count that as a malformed line.
    key.SetString("LogFile", "");
    m_logs.pop_back();
    StartServers();

    // Concurrently, so the cases share one quiet server and one wait.
    std::vector<std::string> problems(cases.size());
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < cases.size(); ++i)
        threads.emplace_back([&, i] {
            const QuietCase& c = cases[i];
            RawClient client(port);
            if (!client.Connected() || (!c.send.empty() && !client.Send(c.send))) {
                problems[i] = "could not connect and send";
                return;
            }
            ParsedReply reply;
            if (c.waitForReply && client.Read(5000, reply) != RawClient::kReply) {
                problems[i] = "no reply";
                return;
            }
            std::uint64_t from = NowMs();
            std::uint64_t closed = client.WaitForClose(c.timeoutSeconds * kMsPerTimeoutSecond + 5000);
            if (closed == 0) {
                problems[i] = "never cut";
                return;
            }
            std::uint64_t after = closed - from;
            if (after + 50 < c.timeoutSeconds * 1000 || after > c.timeoutSeconds * kMsPerTimeoutSecond + kCutLatenessMs)
                problems[i] = "cut after " + std::to_string(after) + " ms";
        });
    for (std::thread& thread : threads)
        thread.join();
    for (std::size_t i = 0; i < cases.size(); ++i)
        EXPECT_EQ(problems[i], "") << cases[i].name;
}

TEST_F(FiberLoadTest, AFullServerRefusesOrQueuesWithoutStallingThePool)
{
    constexpr int kSlots = 2;
    constexpr int kClients = 10;
    std::uint16_t port = FreePort();
    platform::RegistryKey key = Key(AddFileServer(port, "slot"));
    key.SetDword("MaxUsers", kSlots);
    // Longer than the whole test: a client still waiting for a slot at the
    // end was never woken when one was freed.
    key.SetDword("ConnTimeout", 30);
    key.SetDword("KeepAliveTimeout", 30);
    StartServers();

    std::vector<std::unique_ptr<RawClient>> clients;
    for (int i = 0; i < kClients; ++i) {
        clients.push_back(std::make_unique<RawClient>(port));
        ASSERT_TRUE(clients.back()->Send(kKeepAliveRequest)) << i;
    }
    // Every client is read until the free slots are seen served (bounded,
    // generously for a busy machine), then once more, so a client served
    // beyond the slots would show.
    std::vector<RawClient*> holders;
    std::vector<RawClient*> others;
    for (auto& client : clients)
        others.push_back(client.get());
    const std::uint64_t servedBy = NowMs() + 30000;
    for (bool last = false; !last;) {
        last = holders.size() >= static_cast<std::size_t>(kSlots) || NowMs() >= servedBy;
        for (auto it = others.begin(); it != others.end();) {
            ParsedReply reply;
            RawClient::Outcome outcome = (*it)->Read(last ? 100 : 10, reply);
            if (outcome == RawClient::kReply) {
                EXPECT_EQ(reply.body, "slot");
                holders.push_back(*it);
            } else if (outcome != RawClient::kClosed) {
                ++it;
                continue;
            }
            it = others.erase(it);
        }
    }
    ASSERT_EQ(holders.size(), static_cast<std::size_t>(kSlots)) << "only the free slots are served";

    // The holders' fibers must still run: no worker is stuck on a slot.
    for (RawClient* holder : holders) {
        ParsedReply reply;
        ASSERT_TRUE(holder->Send(kKeepAliveRequest));
        EXPECT_EQ(holder->Read(10000, reply), RawClient::kReply);
        holder->Close();
    }
    // Whoever waited is now served or refused, never left hanging. A served
    // one holds its slot while open, so each is closed as soon as it is done.
    std::uint64_t deadline = NowMs() + 30000;
    while (!others.empty() && NowMs() < deadline)
        for (auto it = others.begin(); it != others.end();) {
            ParsedReply reply;
            RawClient::Outcome outcome = (*it)->Read(20, reply);
            EXPECT_NE(outcome, RawClient::kMalformed);
            if (outcome == RawClient::kTimedOut) {
                ++it;
                continue;
            }
            (*it)->Close();
            it = others.erase(it);
        }
    EXPECT_TRUE(others.empty()) << others.size() << " waiting clients neither served nor refused";
    for (auto& client : clients)
        client->Close();
    // Every slot came back: as many new clients as slots are served at once,
    // each held open while the next asks.
    std::vector<std::unique_ptr<RawClient>> late;
    for (int i = 0; i < kSlots; ++i) {
        late.push_back(std::make_unique<RawClient>(port));
        ParsedReply reply;
        ASSERT_TRUE(late.back()->Send(kKeepAliveRequest));
        ASSERT_EQ(late.back()->Read(10000, reply), RawClient::kReply) << "slot " << i << " was lost";
        EXPECT_EQ(reply.status, 200);
        EXPECT_EQ(reply.body, "slot");
    }
}

TEST_F(FiberLoadTest, StopDuringLoadLeavesNothingBehind)
{
    constexpr int kLoaders = 8;
    constexpr std::uint64_t kStopLimitMs = 5000;
    std::uint16_t port = FreePort();
    AddFileServer(port, Content(20000));
    const std::size_t descriptors = CountProcEntries("fd");
    const std::size_t threads = CountProcEntries("task");
    StartServers();

    std::atomic<bool> stop{false};
    std::atomic<int> replies{0};
    std::vector<std::thread> loaders;
    for (int i = 0; i < kLoaders; ++i)
        loaders.emplace_back([&] {
            // Bounded by the stop flag and, should it never come, a deadline.
            std::uint64_t deadline = NowMs() + 30000;
            while (!stop.load() && NowMs() < deadline) {
                RawClient client(port);
                ParsedReply reply;
                while (!stop.load() && client.Send(kKeepAliveRequest) &&
                       client.Read(2000, reply) == RawClient::kReply)
                    ++replies;
                if (!client.Connected())
                    platform::SleepMs(10);
            }
        });
    std::uint64_t loadUntil = NowMs() + 3000;
    while (replies.load() < 200 && NowMs() < loadUntil)
        platform::SleepMs(10);
    ASSERT_GT(replies.load(), 0) << "no load reached the server";

    std::uint64_t stopping = NowMs();
    StopAllServers();
    std::uint64_t stopTook = NowMs() - stopping;
    stop.store(true);
    for (std::thread& loader : loaders)
        loader.join();
    // A stopped server still holds its document cache's watch until it is
    // deleted; that is the server's, not the pool's.
    DeleteAllServers();
    // The engine's own thread (ODBC requests) ends with the engine, and so
    // does the folder of the served documents' copies.
    TerminateBuiltinMacros();
    platform::ReleaseProcessTempDirectory();

    EXPECT_LE(stopTook, kStopLimitMs);
    EXPECT_FALSE(WorkerPoolRunning());
    EXPECT_EQ(CountProcEntries("fd"), descriptors);
    EXPECT_EQ(CountProcEntries("task"), threads);
    CWorkerPoolCounts counts = GetWorkerPoolCounts();
    EXPECT_EQ(counts.workers, 0u);
    EXPECT_EQ(counts.records, 0u);
    EXPECT_EQ(counts.running, 0u);
    EXPECT_EQ(counts.pendingAccepts, 0u);
    EXPECT_EQ(counts.parked, 0u);
    EXPECT_EQ(counts.finished, 0u);
    EXPECT_EQ(counts.fibers, 0u);
}

} // namespace
