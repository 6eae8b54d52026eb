// CServer with a line-echo server type on 127.0.0.1: listeners, client
// slots, cooperative stop, the pooled threads, the access log and the
// statistics blocks as another process reads them.

#include "framework/server.h"

#include "eventually.h"
#include "framework/server_log.h"
#include "framework/text_buffer.h"
#include "framework/text_util.h"
#include "loopback.h"
#include "server_clients.h"
#include "platform/clock.h"
#include "platform/shared_memory.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::atomic<std::int64_t> g_fakeNow{0};
std::int64_t FakeClock() { return g_fakeNow.load(); }

// Hands each line, without its end, to answer until the client goes or
// answer returns false.
template <class Answer>
void ServeLines(WSocket* socket, Answer answer)
{
    try {
        CTextBuffer line;
        for (;;) {
            line.Empty();
            if (socket->ReadLine(line, false) <= 0)
                return;
            std::string text = line.ToString();
            while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
                text.pop_back();
            if (!answer(text))
                return;
        }
    } catch (const WSocketException&) {
    }
}

// Echoes each line as "echo <line>" and logs it as a hit; "bye" ends.
class EchoServer : public CServer {
public:
    explicit EchoServer(std::uint16_t port) { settings.port = port; settings.address = LoopbackAddress(); }

    void ServerRequest(WSocket* socket) override
    {
        ServeLines(socket, [&](const std::string& text) {
            LogHit(text);
            socket->SendTextLine("echo " + text, false);
            return text != "bye";
        });
    }

    CServerListenSettings settings;
    std::string logTemplate; // "{minute}" becomes the fake clock's minute

protected:
    CServerListenSettings GetListenSettings() const override { return settings; }
    std::string GetLogFileText() const override { return logTemplate; }
    std::string ExpandLogFileText(const std::string& text) override
    {
        std::string out = text;
        std::size_t at = out.find("{minute}");
        if (at != std::string::npos)
            out.replace(at, 8, std::to_string(FakeClock() / 60));
        return out;
    }
};

class ServerTest : public ServerProcessTest {
protected:
    void TearDown() override
    {
        StopAllServers();
        DeleteAllServers();
        SetServerThreadIdleForTesting(0);
        CServer::SetLogClockForTesting(nullptr);
    }
    // Everything the servers opened and started is gone.
    void ExpectNothingLeft()
    {
        StopAllServers();
        DeleteAllServers();
        EXPECT_EQ(GetServerThreadCount(), 0);
        EXPECT_TRUE(Eventually([&] { return LiveThreads() == m_threads; })) << LiveThreads() << " vs " << m_threads;
        EXPECT_EQ(OpenDescriptors(), m_descriptors);
    }
    static std::string ServerLogText() { return ReadFile(s_home + "/log/Velmora.log"); }
    // A started server logging to logTemplate under the fake clock.
    static EchoServer* StartLogging(const std::string& logTemplate)
    {
        g_fakeNow = 1'800'000'000;
        CServer::SetLogClockForTesting(FakeClock);
        auto* server = new EchoServer(FreePort());
        server->logTemplate = logTemplate;
        EXPECT_EQ(server->Start(0), 0);
        return server;
    }
};

TEST_F(ServerTest, TwoServersServeClientsAtOnceAndStopCleanly)
{
    auto* first = new EchoServer(FreePort());
    auto* second = new EchoServer(FreePort());
    StartAllServers();
    ASSERT_TRUE(first->IsRunning());
    ASSERT_TRUE(second->IsRunning());
    EXPECT_EQ(first->Start(0), 0) << "a second Start while running does nothing";

    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < 4; ++i)
        clients.push_back(std::make_unique<Client>(i % 2 ? second->settings.port : first->settings.port));
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(clients[i]->Ask("hello " + std::to_string(i)), "echo hello " + std::to_string(i));
    EXPECT_EQ(first->GetActiveConnections(), 2);
    EXPECT_EQ(GetGlobalClientCount(), 4);
    clients.clear();
    EXPECT_TRUE(Eventually([&] { return GetGlobalClientCount() == 0; }));
    ExpectNothingLeft();
}

TEST_F(ServerTest, ThirdClientIsRefusedAfterTheSlotWait)
{
    auto* server = new EchoServer(FreePort());
    server->settings.maxUsers = 2;
    server->settings.connTimeout = 1;
    ASSERT_EQ(server->Start(0), 0);

    Client one(server->settings.port), two(server->settings.port);
    ASSERT_EQ(one.Ask("a"), "echo a");
    ASSERT_EQ(two.Ask("b"), "echo b");

    // The two keep talking (each read would time out after 1024 ms too)
    // while a third waits for a slot.
    std::atomic<bool> done{false};
    std::uint64_t waited = 0;
    std::string refused = "unset";
    std::thread third([&] {
        Client three(server->settings.port);
        std::uint64_t began = platform::MonotonicMs();
        refused = three.Ask("c");
        waited = platform::MonotonicMs() - began;
        done = true;
    });
    for (int i = 0; i < 50 && !done; ++i) {
        EXPECT_EQ(one.Ask("ping"), "echo ping");
        EXPECT_EQ(two.Ask("ping"), "echo ping");
        platform::SleepMs(100);
    }
    third.join();
    EXPECT_EQ(refused, "") << "no slot within 1024 ms: closed unserved";
    EXPECT_GE(waited, 900u);
    EXPECT_LT(waited, 5000u);

    // A slot given back serves the next client.
    ASSERT_EQ(one.Ask("bye"), "echo bye");
    Client four(server->settings.port);
    EXPECT_EQ(four.Ask("d"), "echo d");
}

TEST_F(ServerTest, ASilentClientIsGivenConnTimeoutSecondsOf1024Ms)
{
    auto* server = new EchoServer(FreePort());
    server->settings.connTimeout = 2;
    ASSERT_EQ(server->Start(0), 0);
    // Timed from before the connect, so the server's wait lies within it.
    std::uint64_t began = platform::MonotonicMs();
    Client silent(server->settings.port);
    CTextBuffer reply;
    EXPECT_LE(silent.socket.ReadLine(reply, true), 0) << "closed unserved";
    // A few ms for the clock's rounding; the old 1000 ms factor ends 48 ms early.
    EXPECT_GE(platform::MonotonicMs() - began, 2 * kMsPerTimeoutSecond - 5);
}

TEST_F(ServerTest, PortInUseLeavesOnlyThatServerWithoutListener)
{
    LoopbackListener squatter;
    auto* blocked = new EchoServer(squatter.port);
    auto* wildcard = new EchoServer(squatter.port);
    wildcard->settings.address = 0; // all addresses, while 127.0.0.1 is taken
    auto* fine = new EchoServer(FreePort());
    StartAllServers();

    EXPECT_FALSE(blocked->IsRunning());
    EXPECT_FALSE(wildcard->IsRunning());
    EXPECT_EQ(blocked->Start(0), platform::kWsaeAddrInUse);
    EXPECT_FALSE(blocked->GetStats().IsMapped());
    std::string log = ServerLogText();
    EXPECT_NE(log.find("Socket error 10048 starting server."), std::string::npos) << log;
    EXPECT_NE(log.find("Port " + std::to_string(squatter.port) + " at 0.0.0.0 cannot be used: Address already in use."), std::string::npos);

    Client client(fine->settings.port);
    EXPECT_EQ(client.Ask("still here"), "echo still here");
    EXPECT_EQ(blocked->Stop(), 0) << "stopping a server that never started returns at once";
}

TEST_F(ServerTest, APortOutsideOneTo65535IsRefusedNamingTheValue)
{
    struct Case {
        std::uint32_t port;
        std::uint32_t sslPort;
        bool useSSL;
        const char* line;
    };
    const Case cases[] = {
        {0, 443, false, "A server does not start: the value Port of Servers\\0 is 0, not a port from 1 to 65535."},
        {70000, 443, false,
         "A server does not start: the value Port of Servers\\0 is 70000, not a port from 1 to 65535."},
        {FreePort(), 0, true,
         "A server does not start: the value SSLPort of Servers\\0 is 0, not a port from 1 to 65535."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        auto* server = new EchoServer(static_cast<std::uint16_t>(0));
        server->settings.port = c.port;
        server->settings.sslPort = c.sslPort;
        server->settings.useSSL = c.useSSL;
        server->settings.source = "Servers\\0";
        EXPECT_EQ(server->Start(0), platform::kWsaeInval);
        EXPECT_FALSE(server->IsRunning());
        EXPECT_NE(ServerLogText().find("] " + std::string(c.line) + "\n"), std::string::npos) << ServerLogText();
    }
}

TEST_F(ServerTest, StopWithSilentClientsEndsPromptlyAndLeavesNothing)
{
    auto* server = new EchoServer(FreePort());
    server->settings.connTimeout = 0; // no socket time-out: only Stop ends the reads
    ASSERT_EQ(server->Start(0), 0);
    std::vector<std::unique_ptr<Client>> silent;
    for (int i = 0; i < 3; ++i)
        silent.push_back(std::make_unique<Client>(server->settings.port));
    ASSERT_EQ(silent[0]->Ask("x"), "echo x");
    ASSERT_TRUE(Eventually([&] { return server->GetActiveConnections() == 3; }));
    // Connections still waiting in the backlog are closed, not served.
    Client queued(server->settings.port);

    std::uint64_t began = platform::MonotonicMs();
    EXPECT_EQ(server->Stop(), 0);
    std::uint64_t took = platform::MonotonicMs() - began;
    EXPECT_LT(took, 9000u);
    EXPECT_FALSE(server->IsRunning());
    EXPECT_EQ(server->GetActiveConnections(), 0);
    for (auto& client : silent)
        EXPECT_EQ(client->Ask("late"), "");
    silent.clear();
    queued.socket.Abort();
    ExpectNothingLeft();
}

TEST_F(ServerTest, ListenQueueHoldsAThousandClientsConnectingAtOnce)
{
    auto* server = new EchoServer(FreePort());
    ASSERT_EQ(server->Start(0), 0);
    // A client that finds the queue full is dropped and tries again a second
    // later; the kernel may trim the queue to its own limit.
    int systemLimit = 0;
    std::ifstream("/proc/sys/net/core/somaxconn") >> systemLimit;
    ASSERT_GT(systemLimit, 0);
    // The length of a listener's queue is ss's Send-Q column.
    const std::string command = "/usr/bin/ss -Hlnt 'sport = :" + std::to_string(server->settings.port) + "'";
    FILE* pipe = ::popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    char buffer[512] = {};
    std::istringstream output(std::fgets(buffer, sizeof buffer, pipe) ? buffer : "");
    ::pclose(pipe);
    std::string state;
    int queued = -1, queueLength = -1;
    output >> state >> queued >> queueLength;
    ASSERT_EQ(state, "LISTEN") << buffer;
    EXPECT_GE(queueLength, std::min(1000, systemLimit));
    Client client(server->settings.port);
    EXPECT_EQ(client.Ask("still here"), "echo still here");
}

TEST_F(ServerTest, SecureOnlyServerListensOnTheSecurePortAlone)
{
    auto* server = new EchoServer(FreePort());
    server->settings.sslPort = FreePort();
    server->settings.useSSL = true;
    server->settings.sslOnly = true;
    ASSERT_EQ(server->Start(0), 0);

    WSocket plain;
    plain.SetTimeout(2000);
    EXPECT_NE(plain.Connect("127.0.0.1", server->settings.port), 0);
    // The secure port accepts; without an SSL layer it never serves plain text.
    Client secure(static_cast<std::uint16_t>(server->settings.sslPort));
    EXPECT_EQ(secure.Ask("hello"), "");
}

TEST_F(ServerTest, IdleServerThreadsAreReusedThenEnd)
{
    SetServerThreadIdleForTesting(400);
    auto* server = new EchoServer(FreePort());
    ASSERT_EQ(server->Start(0), 0);
    for (int i = 0; i < 3; ++i) {
        Client client(server->settings.port);
        EXPECT_EQ(client.Ask("bye"), "echo bye");
        // Served and back on the idle list before the next one comes.
        ASSERT_TRUE(Eventually([&] { return GetIdleServerThreadCount() == 1; }, 20000));
    }
    EXPECT_EQ(GetServerThreadCount(), 1) << "one thread served all three";
    EXPECT_TRUE(Eventually([] { return GetServerThreadCount() == 0; }));
}

// Answers "who" with the serving thread's id; "bye" ends the connection.
class WhoServer : public EchoServer {
public:
    using EchoServer::EchoServer;
    void ServerRequest(WSocket* socket) override
    {
        ServeLines(socket, [&](const std::string& text) {
            if (text == "bye")
                return false;
            socket->SendTextLine(std::to_string(gettid()), false);
            return true;
        });
    }
};

TEST_F(ServerTest, LongestIdleThreadTakesTheNextConnection)
{
    auto* server = new WhoServer(FreePort());
    ASSERT_EQ(server->Start(0), 0);
    constexpr int kThreads = 3;
    std::vector<std::unique_ptr<Client>> first;
    std::vector<std::string> ids;
    for (int i = 0; i < kThreads; ++i) {
        first.push_back(std::make_unique<Client>(server->settings.port));
        ids.push_back(first.back()->Ask("who"));
        ASSERT_FALSE(ids.back().empty());
    }
    // Parked in the order 2, 0, 1: not the order they were made in.
    const int parkOrder[kThreads] = {2, 0, 1};
    for (int n = 0; n < kThreads; ++n) {
        first[parkOrder[n]]->socket.SendTextLine("bye", false);
        ASSERT_TRUE(Eventually([n] { return GetIdleServerThreadCount() == n + 1; }));
    }
    std::vector<std::unique_ptr<Client>> next;
    for (int n = 0; n < kThreads; ++n) {
        next.push_back(std::make_unique<Client>(server->settings.port));
        EXPECT_EQ(next.back()->Ask("who"), ids[parkOrder[n]]) << "connection " << n;
    }
    EXPECT_EQ(GetServerThreadCount(), kThreads);
}

TEST_F(ServerTest, AccessLogFollowsItsExpandedName)
{
    std::string logs = s_home + "/access";
    auto* server = StartLogging(logs + "/a/b/{minute}.log");

    std::string firstName = logs + "/a/b/" + std::to_string(g_fakeNow / 60) + ".log";
    {
        Client client(server->settings.port);
        client.Ask("one");
        client.Ask("");
        client.Ask("two");
    }
    EXPECT_TRUE(Eventually([&] { return ReadFile(firstName) == "one\ntwo\n"; })) << ReadFile(firstName);
    EXPECT_EQ(server->GetLogFileName(), firstName);

    g_fakeNow += 60; // a new minute: the name is expanded again
    std::string secondName = logs + "/a/b/" + std::to_string(g_fakeNow / 60) + ".log";
    {
        Client client(server->settings.port);
        client.Ask("three");
    }
    EXPECT_TRUE(Eventually([&] { return ReadFile(secondName) == "three\n"; }));
    EXPECT_EQ(ReadFile(firstName), "one\ntwo\n");

    // An open that fails forgets the name, so the same name opens once it can.
    server->logTemplate = logs + "/blocker/x.log";
    { std::ofstream(logs + "/blocker") << "a file where a folder should be"; }
    g_fakeNow += 60;
    server->LogHit("lost");
    EXPECT_EQ(server->GetLogFileName(), "");
    fs::remove(logs + "/blocker");
    g_fakeNow += 60;
    server->LogHit("kept");
    EXPECT_EQ(ReadFile(logs + "/blocker/x.log"), "kept\n");

    // A second server expanding to the same name does not interleave lines.
    auto* other = new EchoServer(FreePort());
    other->logTemplate = server->logTemplate;
    ASSERT_EQ(other->Start(1), 0);
    other->LogHit("other");
    EXPECT_EQ(other->GetLogFileName(), "");
    EXPECT_EQ(ReadFile(logs + "/blocker/x.log"), "kept\n");
}

// Hits take the log without a lock while the name flips back and forth
// under them: every line lands once, in one of the two files, and a name
// that comes back while a thread's copy still holds its file open (and
// locked) gets that file rather than a failed open. Stop then frees both.
TEST_F(ServerTest, AccessLogSwappedUnderConcurrentHitsKeepsEveryLine)
{
    constexpr int kClients = 4;
    constexpr int kLines = 300;
    constexpr int kFlips = 200;
    std::string logs = s_home + "/swapped";
    auto* server = StartLogging(logs + "/{minute}.log");
    const std::int64_t firstSecond = g_fakeNow.load();

    std::atomic<int> running{kClients};
    std::vector<std::thread> clients;
    for (int c = 0; c < kClients; ++c)
        clients.emplace_back([&, c] {
            Client client(server->settings.port);
            for (int n = 0; n < kLines; ++n) {
                std::string line = "c" + std::to_string(c) + "-" + std::to_string(n);
                EXPECT_EQ(client.Ask(line), "echo " + line);
            }
            --running;
        });
    for (int flip = 0; flip < kFlips && running > 0; ++flip) {
        g_fakeNow = firstSecond + (flip % 2) * 60;
        platform::SleepMs(1);
    }
    for (std::thread& client : clients)
        client.join();

    std::vector<std::string> names = {logs + "/" + std::to_string(firstSecond / 60) + ".log",
                                      logs + "/" + std::to_string(firstSecond / 60 + 1) + ".log"};
    std::multiset<std::string> logged;
    for (const std::string& name : names) {
        std::stringstream text(ReadFile(name));
        for (std::string line; std::getline(text, line);)
            logged.insert(line);
    }
    std::multiset<std::string> sent;
    for (int c = 0; c < kClients; ++c)
        for (int n = 0; n < kLines; ++n)
            sent.insert("c" + std::to_string(c) + "-" + std::to_string(n));
    EXPECT_EQ(logged, sent);

    // The pooled threads idle on with their copies; the files are closed all the same.
    server->Stop();
    for (const std::string& name : names) {
        int handle = ::open(name.c_str(), O_RDONLY);
        ASSERT_GE(handle, 0) << name;
        EXPECT_EQ(::flock(handle, LOCK_EX | LOCK_NB), 0) << name << " is still held open";
        ::close(handle);
    }
    ASSERT_EQ(server->Start(0), 0);
    {
        Client client(server->settings.port);
        EXPECT_EQ(client.Ask("after"), "echo after");
    }
    // Logged before the echo went out, into a file opened anew.
    std::string reopened = server->GetLogFileName();
    EXPECT_NE(reopened, "");
    EXPECT_NE(ReadFile(reopened).find("after\n"), std::string::npos) << reopened;
}

TEST_F(ServerTest, EmptyLogFileTextOpensNothing)
{
    auto* server = new EchoServer(FreePort());
    ASSERT_EQ(server->Start(0), 0);
    server->LogHit("nowhere");
    server->FlushLog();
    EXPECT_EQ(server->GetLogFileName(), "");
}

// The blocks as a reader process sees them through /dev/shm.
TEST_F(ServerTest, StatisticsBlocksCountWhatClientsSentAndReceived)
{
    // Earlier tests of this process may have counted hits already.
    std::uint32_t hitsBefore = GlobalStats().Read(stats_offset::kHits);
    std::uint32_t sentBefore = GlobalStats().Read(stats_offset::kBytesSent);
    std::uint32_t receivedBefore = GlobalStats().Read(stats_offset::kBytesReceived);
    auto* server = new EchoServer(FreePort());
    auto* idle = new EchoServer(FreePort());
    StartAllServers();
    std::uint32_t sentByClients = 0, receivedByClients = 0;
    for (int i = 0; i < 5; ++i) {
        Client client(server->settings.port);
        std::string line = "line " + std::string(static_cast<std::size_t>(i) * 100, 'x');
        std::string reply = client.Ask(line);
        ASSERT_EQ(reply, "echo " + line);
        sentByClients += static_cast<std::uint32_t>(line.size() + 2);
        receivedByClients += static_cast<std::uint32_t>(reply.size() + 2);
    }
    ASSERT_TRUE(Eventually([&] { return GlobalStats().Read(stats_offset::kHits) == hitsBefore + 5; }));

    std::string script = "import mmap,struct,sys\n"
                         "def block(path):\n"
                         "  f=open(path,'rb'); return mmap.mmap(f.fileno(),4096,access=mmap.ACCESS_READ)\n"
                         "s=block(sys.argv[1]); g=block(sys.argv[2])\n"
                         "print(*struct.unpack_from('<II',s,0), *struct.unpack_from('<IIIIIIIIII',s,72),\n"
                         "      *struct.unpack_from('<IIIIIII',g,0))\n";
    std::string reader = s_home + "/reader.py";
    { std::ofstream(reader) << script; }
    std::string command = "python3 " + reader + " /dev/shm" + platform::SharedMemoryName(StatsBlockName() + "0") +
                          " /dev/shm" + platform::SharedMemoryName(StatsBlockName());
    FILE* pipe = ::popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    char buffer[512] = {};
    std::istringstream output(std::fgets(buffer, sizeof buffer, pipe) ? buffer : "");
    ::pclose(pipe);
    std::vector<std::uint32_t> f;
    for (std::uint32_t value; output >> value;)
        f.push_back(value);
    ASSERT_EQ(f.size(), 19u) << buffer;
    // Server block: version, type, port, SSL port, address, numclients,
    // stattime, hits, bytes sent and received; then the global block.
    EXPECT_EQ(f[0], 0x10000u);
    EXPECT_EQ(f[1], 0u);
    EXPECT_EQ(f[2], server->settings.port);
    EXPECT_EQ(f[3], 443u);
    EXPECT_EQ(f[4], LoopbackAddress());
    EXPECT_EQ(f[5], 0u);
    EXPECT_NEAR(static_cast<double>(f[6]), static_cast<double>(platform::UnixTimeSeconds()), 60.0);
    EXPECT_EQ(f[7], 5u);
    EXPECT_EQ(f[8], receivedByClients);
    EXPECT_EQ(f[9], sentByClients);
    EXPECT_EQ(f[12], 0x10000u);
    EXPECT_EQ(f[13], 2u) << "servers started";
    EXPECT_EQ(f[14], 0u) << "clients now";
    EXPECT_EQ(f[16] - hitsBefore, 5u);
    EXPECT_EQ(f[17] - sentBefore, receivedByClients);
    EXPECT_EQ(f[18] - receivedBefore, sentByClients);
    EXPECT_EQ(idle->GetStats().Read(server_stat_offset::kNumHits), 0u);
}

} // namespace
