#include "platform/net.h"

#include "platform/clock.h"
#include "platform/errors.h"
#include "eventually.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>

using namespace platform;

namespace {

const std::uint32_t kLoopback = htonl(INADDR_LOOPBACK);

// A listening socket on 127.0.0.1 at a port the kernel picks.
struct Listener {
    int handle = OpenSocket(kAddressFamilyInet, kSocketStream, 0);
    std::uint16_t port = 0;
    Listener()
    {
        EXPECT_EQ(BindIPv4(handle, 0, kLoopback), 0);
        EXPECT_EQ(ListenSocket(handle, 4), 0);
        EXPECT_EQ(LocalAddress(handle, nullptr, &port), 0);
    }
    ~Listener() { CloseHandle(handle); }
};

struct Connected {
    int client = -1;
    int server = -1;
    std::uint32_t peer = 0;
    explicit Connected(Listener& listener)
    {
        client = OpenSocket(kAddressFamilyInet, kSocketStream, 0);
        EXPECT_EQ(ConnectIPv4(client, kLoopback, listener.port, 2000), 0);
        server = AcceptSocket(listener.handle, &peer, nullptr);
        EXPECT_GE(server, 0);
    }
    ~Connected()
    {
        if (client >= 0)
            CloseHandle(client);
        if (server >= 0)
            CloseHandle(server);
    }
};

bool IsCloseOnExec(int handle) { return (fcntl(handle, F_GETFD) & FD_CLOEXEC) != 0; }

} // namespace

TEST(NetErrorTable, SetupErrorsMapEntryByEntry)
{
    const struct {
        int error;
        int expected;
    } cases[] = {
        {0, 0},
        {EINTR, 10004},
        {EBADF, 10009},
        {EACCES, 10013},
        {EPERM, 10013},
        {EFAULT, 10014},
        {EINVAL, 10022},
        {EMFILE, 10024},
        {ENFILE, 10024},
        {EAGAIN, 10035},
        {EINPROGRESS, 10036},
        {EALREADY, 10037},
        {ENOTSOCK, 10038},
        {EDESTADDRREQ, 10039},
        {EMSGSIZE, 10040},
        {EPROTOTYPE, 10041},
        {ENOPROTOOPT, 10042},
        {EPROTONOSUPPORT, 10043},
        {ESOCKTNOSUPPORT, 10044},
        {EOPNOTSUPP, 10045},
        {ENOSYS, 10045},
        {EPFNOSUPPORT, 10046},
        {EAFNOSUPPORT, 10047},
        {EADDRINUSE, 10048},
        {EADDRNOTAVAIL, 10049},
        {ENETDOWN, 10050},
        {ENETUNREACH, 10051},
        {ENETRESET, 10052},
        {ECONNABORTED, 10053},
        {EPIPE, 10053},
        {ECONNRESET, 10054},
        {ENOBUFS, 10055},
        {ENOMEM, 10055},
        {EISCONN, 10056},
        {ENOTCONN, 10057},
        {ESHUTDOWN, 10058},
        {ETOOMANYREFS, 10059},
        {ETIMEDOUT, 10060},
        {ECONNREFUSED, 10061},
        {ELOOP, 10062},
        {ENAMETOOLONG, 10063},
        {EHOSTDOWN, 10064},
        {EHOSTUNREACH, 10065},
        {EIO, 10053},
    };
    for (const auto& c : cases)
        EXPECT_EQ(WinSockErrorFromErrno(c.error), c.expected) << "errno " << c.error;
}

TEST(NetErrorTable, TransferErrorsMapEntryByEntry)
{
    const struct {
        int error;
        int expected;
    } cases[] = {
        {0, 0},           {EAGAIN, 10035},    {EINTR, 10004}, {ETIMEDOUT, 10060},
        {ECONNRESET, 10054}, {ENOTCONN, 10057}, {EPIPE, 10053}, {ECONNABORTED, 10053},
        {EIO, 10053},     {EHOSTUNREACH, 10053}, {ENOBUFS, 10053},
    };
    for (const auto& c : cases)
        EXPECT_EQ(TransferErrorFromErrno(c.error), c.expected) << "errno " << c.error;
}

TEST(NetAddress, ParsesDottedAddressesTheClassicWay)
{
    const struct {
        const char* text;
        bool ok;
        const char* canonical;
    } cases[] = {
        {"127.0.0.1", true, "127.0.0.1"}, {"10.0.0.5", true, "10.0.0.5"}, {"127.1", true, "127.0.0.1"},
        {"255.255.255.255", true, "255.255.255.255"}, {"localhost", false, nullptr}, {"", false, nullptr},
        {"1.2.3.256", false, nullptr},
    };
    for (const auto& c : cases) {
        std::uint32_t address = 0;
        ASSERT_EQ(ParseIPv4(c.text, &address), c.ok) << c.text;
        if (c.ok) {
            in_addr a{address};
            EXPECT_STREQ(inet_ntoa(a), c.canonical);
        }
    }
    std::uint32_t address = 0;
    EXPECT_FALSE(ParseIPv4(nullptr, &address));
}

TEST(NetSocket, DescriptorsAreCloseOnExecAndAcceptGivesThePeer)
{
    Listener listener;
    EXPECT_TRUE(IsCloseOnExec(listener.handle));
    Connected pair(listener);
    EXPECT_TRUE(IsCloseOnExec(pair.client));
    EXPECT_TRUE(IsCloseOnExec(pair.server));
    EXPECT_EQ(pair.peer, kLoopback);
    std::uint32_t address = 0;
    std::uint16_t port = 0;
    ASSERT_EQ(PeerAddress(pair.server, &address, &port), 0);
    std::uint16_t clientPort = 0;
    ASSERT_EQ(LocalAddress(pair.client, nullptr, &clientPort), 0);
    EXPECT_EQ(port, clientPort);
}

TEST(NetSocket, AcceptedSocketsInheritTheListenersOptions)
{
    // The server sets these on its listeners only.
    Listener listener;
    ASSERT_EQ(SetNoDelay(listener.handle, true), 0);
    ASSERT_EQ(SetUnsentLimit(listener.handle, 16384), 0);
    Connected pair(listener);
    const struct {
        int option;
        int expected;
    } cases[] = {{TCP_NODELAY, 1}, {TCP_NOTSENT_LOWAT, 16384}};
    for (const auto& c : cases) {
        int value = -1;
        socklen_t length = sizeof value;
        ASSERT_EQ(getsockopt(pair.server, IPPROTO_TCP, c.option, &value, &length), 0);
        EXPECT_EQ(value, c.expected) << c.option;
    }
}

TEST(NetSocket, SetupFailuresCarryWinSockNumbers)
{
    Listener listener;
    int second = OpenSocket(kAddressFamilyInet, kSocketStream, 0);
    EXPECT_EQ(BindIPv4(second, listener.port, kLoopback), -1);
    EXPECT_EQ(LastSocketError(), 10048);
    CloseHandle(second);

    // A port that was just free and has no listener refuses.
    int probe = OpenSocket(kAddressFamilyInet, kSocketStream, 0);
    ASSERT_EQ(BindIPv4(probe, 0, kLoopback), 0);
    std::uint16_t freePort = 0;
    ASSERT_EQ(LocalAddress(probe, nullptr, &freePort), 0);
    CloseHandle(probe);
    int client = OpenSocket(kAddressFamilyInet, kSocketStream, 0);
    EXPECT_EQ(ConnectIPv4(client, kLoopback, freePort, 2000), -1);
    EXPECT_EQ(LastSocketError(), 10061);
    CloseHandle(client);

    int unbound = OpenSocket(kAddressFamilyInet, kSocketStream, 0);
    EXPECT_EQ(BindIPv4(unbound, 0, htonl(0xC0000201)), -1); // 192.0.2.1 is nobody's here
    EXPECT_EQ(LastSocketError(), 10049);
    CloseHandle(unbound);

    EXPECT_EQ(CloseHandle(-1), -1);
    EXPECT_EQ(LastSocketError(), 10009);
}

TEST(NetTransfer, WaitTimesOutAndWouldBlockIsReported)
{
    Listener listener;
    Connected pair(listener);
    char byte = 0;
    EXPECT_EQ(ReceiveBytes(pair.server, &byte, 1), -1);
    EXPECT_EQ(LastSocketError(), 10035);
    std::uint64_t start = MonotonicMs();
    EXPECT_EQ(WaitHandle(pair.server, false, 200), 0);
    std::uint64_t spent = MonotonicMs() - start;
    EXPECT_EQ(LastSocketError(), 10060);
    EXPECT_GE(spent, 190u);
    EXPECT_LT(spent, 2000u);
    ASSERT_EQ(SendBytes(pair.client, "x", 1, false), 1);
    EXPECT_EQ(WaitHandle(pair.server, false, 2000), 1);
    EXPECT_EQ(ReceiveBytes(pair.server, &byte, 1), 1);
    EXPECT_EQ(byte, 'x');
    EXPECT_EQ(WaitHandle(pair.server, true, 0), 1);
}

TEST(NetTransfer, BrokenPeersFailWithoutSignals)
{
    Listener listener;
    Connected pair(listener);
    CloseHandle(pair.server);
    pair.server = -1;
    // The first send may still be accepted; the reset makes a later one fail.
    long result = 0;
    for (int i = 0; i < 50 && result >= 0; ++i) {
        result = SendBytes(pair.client, "data", 4, false);
        if (result >= 0)
            SleepMs(10);
    }
    ASSERT_EQ(result, -1);
    EXPECT_TRUE(LastSocketError() == 10053 || LastSocketError() == 10054) << LastSocketError();

    int pipeEnds[2];
    ASSERT_EQ(pipe(pipeEnds), 0);
    close(pipeEnds[0]);
    EXPECT_EQ(WriteHandle(pipeEnds[1], "x", 1), -1);
    EXPECT_EQ(LastSocketError(), 10053);
    close(pipeEnds[1]);
}

TEST(NetTransfer, SendFileUsesItsOwnOffsetAndRefusesPipes)
{
    char path[] = "/tmp/velmora-net-XXXXXX";
    int file = mkstemp(path);
    ASSERT_GE(file, 0);
    unlink(path);
    const std::string content = "0123456789abcdefghij";
    ASSERT_EQ(write(file, content.data(), content.size()), static_cast<ssize_t>(content.size()));
    ASSERT_EQ(lseek(file, 3, SEEK_SET), 3);

    Listener listener;
    Connected pair(listener);
    EXPECT_EQ(SendFileRange(pair.client, file, 10, 5), 5);
    EXPECT_EQ(lseek(file, 0, SEEK_CUR), 3); // the shared position did not move
    char received[8] = {};
    ASSERT_EQ(WaitHandle(pair.server, false, 2000), 1);
    EXPECT_EQ(ReceiveBytes(pair.server, received, sizeof received), 5);
    EXPECT_EQ(std::string(received, 5), "abcde");
    EXPECT_EQ(SendFileRange(pair.client, file, 20, 5), 0);
    EXPECT_EQ(ReadFileAt(file, received, 3, 17), 3);
    EXPECT_EQ(std::string(received, 3), "hij");

    int pipeEnds[2];
    ASSERT_EQ(pipe(pipeEnds), 0);
    EXPECT_EQ(SendFileRange(pair.client, pipeEnds[0], 0, 5), -1);
    EXPECT_EQ(LastSocketError(), 10045);
    close(pipeEnds[0]);
    close(pipeEnds[1]);
    close(file);
}

TEST(NetDeadline, SlowCallsAreAbandonedAtTheirDeadline)
{
    int result = 0;
    EXPECT_EQ(CallWithDeadline([] { return 42; }, 2000, &result), 0);
    EXPECT_EQ(result, 42);

    // The call runs until released (1) and says when it ended (2), so
    // "abandoned at the deadline" needs no bound a busy machine could miss.
    auto call = std::make_shared<std::atomic<int>>(0);
    std::uint64_t start = MonotonicMs();
    EXPECT_EQ(CallWithDeadline(
                  [call] {
                      while (call->load() == 0)
                          SleepMs(1);
                      call->store(2);
                      return 1;
                  },
                  100, &result),
              -1);
    std::uint64_t spent = MonotonicMs() - start;
    EXPECT_EQ(LastSocketError(), 10060);
    EXPECT_GE(spent, 95u);
    EXPECT_EQ(call->load(), 0) << "returned only once the call had ended";
    call->store(1);
    EXPECT_TRUE(Eventually([&] { return call->load() == 2; }, 30000));
}

namespace {

std::atomic<bool> g_reuseWaitedNumber{false};
std::atomic<int> g_pauses{0};
std::atomic<int> g_unrelatedPeer{-1};

// Run between reading the waited descriptor and the shut-down: as when the
// library closes its socket and another connection is given the number.
void PauseBeforeShutDown(int descriptor)
{
    g_pauses.fetch_add(1);
    if (!g_reuseWaitedNumber.load())
        return;
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0)
        return;
    dup3(ends[0], descriptor, O_CLOEXEC); // closes the waited number and reuses it at once
    close(ends[0]);
    g_unrelatedPeer.store(ends[1]);
}

bool CarriesByte(int from, int to)
{
    char byte = 0;
    return send(from, "x", 1, MSG_NOSIGNAL) == 1 && recv(to, &byte, 1, 0) == 1 && byte == 'x';
}

} // namespace

TEST(NetShutDown, OnlyTheSocketABlockedThreadWaitsOnIsShutDown)
{
    struct Case {
        const char* name;
        bool reuse;
    };
    for (const Case& test : {Case{"the waited socket", false}, Case{"its number given to another connection", true}}) {
        SCOPED_TRACE(test.name);
        int waited[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, waited), 0);
        std::atomic<int> tid{0};
        std::atomic<long> got{-2};
        std::thread reader([&] {
            tid.store(CurrentThreadId());
            char byte = 0;
            got.store(ReadHandle(waited[0], &byte, 1));
        });
        ASSERT_TRUE(Eventually([&] { return tid.load() != 0; }, 30000));
        g_reuseWaitedNumber.store(test.reuse);
        g_pauses.store(0);
        g_unrelatedPeer.store(-1);
        SetShutDownPauseForTesting(&PauseBeforeShutDown);
        // Nothing is read (and no pause runs) until the reader is blocked.
        bool shut = false;
        EXPECT_TRUE(Eventually(
            [&] {
                shut = ShutDownSocketThreadWaitsOn(tid.load());
                return g_pauses.load() > 0;
            },
            30000));
        SetShutDownPauseForTesting(nullptr);
        if (test.reuse) {
            EXPECT_FALSE(shut);
            const int peer = g_unrelatedPeer.load();
            ASSERT_GE(peer, 0);
            EXPECT_TRUE(CarriesByte(waited[0], peer)) << "the unrelated connection was shut down";
            EXPECT_TRUE(CarriesByte(peer, waited[0])) << "the unrelated connection was shut down";
            close(peer);
        } else {
            EXPECT_TRUE(shut);
            EXPECT_TRUE(Eventually([&] { return got.load() != -2; }, 30000));
            EXPECT_EQ(got.load(), 0) << "the blocked read ends as at its peer's close";
        }
        close(waited[1]); // ends a read still blocked on the socket
        reader.join();
        close(waited[0]);
    }
}

TEST(NetLookup, ForwardAndReverseLookUps)
{
    std::uint32_t address = 0;
    ASSERT_EQ(LookupIPv4Address("127.0.0.1", 1000, &address), 0);
    EXPECT_EQ(address, kLoopback);
    ASSERT_EQ(LookupIPv4Address("localhost", 5000, &address), 0);
    EXPECT_EQ(address & 0xFF, 127u); // first dotted part in the lowest byte
    EXPECT_EQ(LookupIPv4Address("", 1000, &address), -1);
    EXPECT_EQ(LastSocketError(), 11001);
    EXPECT_EQ(LookupIPv4Address("no-such-host.invalid", 5000, &address), -1);
    EXPECT_GE(LastSocketError(), 10060);

    std::string name;
    ASSERT_EQ(LookupHostName(kLoopback, 5000, &name), 0);
    EXPECT_FALSE(name.empty());
    EXPECT_NE(name, "127.0.0.1");
}
