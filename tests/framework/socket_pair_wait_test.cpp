#include "framework/outgoing_connect.h"
#include "framework/socket_pair_wait.h"
#include "framework/text_buffer.h"
#include "framework/thread_data.h"
#include "eventually.h"
#include "loopback.h"
#include "platform/clock.h"
#include "platform/heap.h"

#include <gtest/gtest.h>

#include <sys/socket.h>

#include <cstdlib>
#include <fstream>
#include <string>

namespace {

TEST(SocketPairWaitTest, ReportsWhichSideIsReady)
{
    struct Case {
        const char* what;
        bool writeFirst;  // the peer of the first socket sends
        bool writeSecond; // the peer of the second socket sends
        bool closeSecond; // the peer of the second socket closes
        std::uint32_t wait;
        int expected;
    } cases[] = {
        {"first", true, false, false, 2000, kFirstSocketReady},
        {"second", false, true, false, 2000, kSecondSocketReady},
        {"both", true, true, false, 2000, kFirstSocketReady | kSecondSocketReady},
        {"closed peer", false, false, true, 2000, kSecondSocketReady},
        {"nothing", false, false, false, 50, 0},
    };
    for (const Case& c : cases) {
        LoopbackPair a;
        LoopbackPair b;
        if (c.writeFirst) {
            ASSERT_EQ(a.client.SendText("x", false), 1);
        }
        if (c.writeSecond) {
            ASSERT_EQ(b.client.SendText("y", false), 1);
        }
        if (c.closeSecond)
            b.client.Close();
        // Both being set before the wait, "both" must see both.
        if (c.writeFirst && c.writeSecond)
            platform::SleepMs(20);
        std::uint64_t start = platform::MonotonicMs();
        EXPECT_EQ(WaitForEitherInput(a.server, b.server, c.wait), c.expected) << c.what;
        if (c.expected == 0) {
            EXPECT_EQ(platform::LastSocketError(), 10060) << c.what;
            EXPECT_GE(platform::MonotonicMs() - start, 40u) << c.what;
        }
    }
}

TEST(SocketPairWaitTest, BufferedInputCountsWithoutWaiting)
{
    LoopbackPair a;
    LoopbackPair b;
    ASSERT_EQ(b.client.SendText("line one\r\nline two\r\n", false), 20);
    CTextBuffer line;
    ASSERT_GT(b.server.ReadLine(line, true), 0); // the second line stays buffered
    EXPECT_EQ(WaitForEitherInput(a.server, b.server, 0), kSecondSocketReady);
}

// A program's output (the first pair) waited for while its client (the
// second) is watched only for leaving: bytes it sends ahead do not count.
TEST(SocketPairWaitTest, InputOrTheClientLeaving)
{
    enum Client { kQuiet, kSendsAhead, kCloses, kShutsDownSending };
    struct Case {
        const char* what;
        bool output;
        Client client;
        std::uint32_t wait;
        int expected;
    } cases[] = {
        {"output", true, kQuiet, 2000, kHandleReady},
        {"client sends ahead", false, kSendsAhead, 50, 0},
        {"client closes", false, kCloses, 2000, kPeerHungUp},
        {"client shuts down sending", false, kShutsDownSending, 2000, kPeerHungUp},
        {"nothing", false, kQuiet, 50, 0},
    };
    for (const Case& c : cases) {
        LoopbackPair program;
        LoopbackPair client;
        if (c.output) {
            ASSERT_EQ(program.client.SendText("x", false), 1);
        }
        if (c.client == kSendsAhead) {
            ASSERT_EQ(client.client.SendText("GET / HTTP/1.0\r\n\r\n", false), 18);
        }
        if (c.client == kCloses)
            client.client.Close();
        if (c.client == kShutsDownSending)
            ::shutdown(client.client.GetHandle(), SHUT_WR);
        EXPECT_EQ(WaitForInputOrHangUp(program.server.GetHandle(), client.server, c.wait), c.expected) << c.what;
        if (c.expected == 0) {
            EXPECT_EQ(platform::LastSocketError(), 10060) << c.what;
        }
    }
}

TEST(OutgoingConnectTest, ConnectsRefusesAndFailsLookups)
{
    LoopbackListener listener;
    RefusingPort refusing;
    WSocket client;
    client.SetTimeout(2000);
    ASSERT_EQ(ConnectOutgoing(client, "127.0.0.1", listener.port), 0);
    int handle = listener.socket.Accept();
    ASSERT_GE(handle, 0);
    WSocket server;
    ASSERT_EQ(server.Attach(handle), 0);
    ASSERT_EQ(client.SendText("hello", false), 5);
    char got[5];
    ASSERT_EQ(server.ReadExact(got, 5), 5);
    EXPECT_EQ(std::string(got, 5), "hello");

    struct Case {
        const char* host;
        std::uint16_t port;
        int error;
    } failures[] = {
        {"127.0.0.1", refusing.port, 10061},
    };
    for (const Case& c : failures) {
        WSocket failing;
        failing.SetTimeout(2000);
        EXPECT_EQ(ConnectOutgoing(failing, c.host, c.port, 5000), -1) << c.host;
        EXPECT_EQ(platform::LastSocketError(), c.error) << c.host;
        EXPECT_FALSE(failing.IsOpen()) << c.host;
        failing.SetThrowOnError(true);
        try {
            ConnectOutgoing(failing, c.host, c.port, 5000);
            ADD_FAILURE() << "no exception for " << c.host;
        } catch (const WSocketException& e) {
            EXPECT_EQ(e.error, c.error) << c.host;
        }
    }
}

TEST(OutgoingConnectTest, AFailedLookupIsALookupError)
{
    WSocket failing;
    EXPECT_EQ(ConnectOutgoing(failing, "no-such-host.invalid", 80, 5000), -1);
    int error = platform::LastSocketError();
    EXPECT_TRUE(error == 10060 || (error >= 11001 && error <= 11004)) << error;
    EXPECT_FALSE(failing.IsOpen());
}

int ThreadCount()
{
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("Threads:", 0) == 0)
            return std::atoi(line.c_str() + 8);
    return -1;
}

// The look-up's thread ends after the caller gave up on it; what it frees
// then must not be on the caller's private heap, gone by that time.
TEST(OutgoingConnectTest, ALookupOutlivingItsCallersHeapFreesNothingThere)
{
    const int before = ThreadCount();
    platform::Heap* heap = platform::Heap::Create();
    ASSERT_NE(heap, nullptr);
    {
        CHeapSwitch use(heap);
        WSocket failing;
        EXPECT_EQ(ConnectOutgoing(failing, "no-such-host.invalid", 80, 0), -1);
    }
    platform::Heap::Destroy(heap);
    EXPECT_TRUE(Eventually([&] { return ThreadCount() <= before; }, 30000)) << ThreadCount() << " threads";
}

TEST(OutgoingConnectTest, ListenOnFreePortTellsThePortItGot)
{
    WSocketBase listener;
    std::uint16_t port = 0;
    ASSERT_EQ(ListenOnFreePort(listener, LoopbackAddress(), &port), 0);
    ASSERT_NE(port, 0);
    WSocket client;
    EXPECT_EQ(ConnectOutgoing(client, "127.0.0.1", port), 0);
    EXPECT_GE(listener.Accept(), 0);
}

} // namespace
