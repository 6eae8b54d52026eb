#include "framework/wsocket.h"

#include "framework/text_buffer.h"
#include "loopback.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

using platform::LastSocketError;
using platform::MonotonicMs;

namespace {

std::uint64_t Fnv1a(std::uint64_t hash, const char* bytes, std::size_t n)
{
    for (std::size_t i = 0; i < n; ++i) {
        hash ^= static_cast<unsigned char>(bytes[i]);
        hash *= 1099511628211ull;
    }
    return hash;
}
constexpr std::uint64_t kFnvStart = 14695981039346656037ull;

// A temporary file, removed at the end of the test.
struct TempFile {
    std::string path;
    int handle = -1;
    TempFile()
    {
        char name[] = "/tmp/velmora-wsocket-XXXXXX";
        handle = mkstemp(name);
        path = name;
    }
    ~TempFile()
    {
        if (handle >= 0)
            close(handle);
        unlink(path.c_str());
    }
};

// Reads everything until the peer closes; bounded by the socket's time-out.
std::string ReadAll(WSocket& socket)
{
    std::string all;
    char chunk[65536];
    for (;;) {
        int got = socket.Read(chunk, sizeof chunk);
        if (got <= 0)
            return all;
        all.append(chunk, static_cast<std::size_t>(got));
    }
}

} // namespace

TEST(WSocketTimeout, SilentPeerGives10060AfterTheTimeout)
{
    LoopbackPair pair;
    pair.server.SetTimeout(300);
    std::uint64_t start = MonotonicMs();
    EXPECT_EQ(pair.server.Fill(), -1);
    std::uint64_t spent = MonotonicMs() - start;
    EXPECT_EQ(LastSocketError(), 10060);
    EXPECT_GE(spent, 290u);
    EXPECT_LT(spent, 3000u);

    pair.server.SetThrowOnError(true);
    CTextBuffer line;
    try {
        pair.server.ReadLine(line, true);
        FAIL() << "a silent peer must time out";
    } catch (const WSocketException& e) {
        EXPECT_EQ(e.error, 10060);
        EXPECT_EQ(e.socket, &pair.server);
    }
}

TEST(WSocketTimeout, PeerThatDoesNotReadGives10060OnWrite)
{
    LoopbackPair pair;
    pair.server.SetTimeout(300);
    std::vector<char> block(1 << 20, 'w');
    int result = 0;
    for (int i = 0; i < 256 && result >= 0; ++i)
        result = pair.server.Write(block.data(), static_cast<int>(block.size()), false);
    EXPECT_EQ(result, -1);
    EXPECT_EQ(LastSocketError(), 10060);
}

TEST(WSocketTimeout, AcceptHonoursTheListenerTimeout)
{
    LoopbackListener listener;
    listener.socket.SetTimeout(200);
    EXPECT_EQ(listener.socket.Accept(), -1);
    EXPECT_EQ(LastSocketError(), 10060);
}

TEST(WSocketInput, PeerCloseGivesZeroFromFillAndReadLine)
{
    LoopbackPair pair;
    pair.server.SetThrowOnError(true); // the peer's close is no failure
    ASSERT_EQ(pair.client.SendText("partial", false), 7);
    pair.client.Close();
    CTextBuffer line;
    EXPECT_EQ(pair.server.ReadLine(line, true), 0);
    EXPECT_EQ(line.View(), "partial");
    EXPECT_EQ(pair.server.Fill(), 0);
    EXPECT_EQ(LastSocketError(), 10057);
    EXPECT_EQ(pair.server.GetBytesReceived(), 7);
}

TEST(WSocketInput, ReadLineStripsLineEnds)
{
    const struct {
        const char* expected;
        int result;
    } stripped[] = {{"abc", 3}, {"", 0}, {"", 0}, {"a\rb", 3}, {"x\r", 2}, {"last", 4}};
    const char* wire = "abc\r\n\r\n\na\rb\nx\r\r\nlast\r\n";
    LoopbackPair pair;
    ASSERT_GT(pair.client.SendText(wire, false), 0);
    for (const auto& c : stripped) {
        CTextBuffer line;
        EXPECT_EQ(pair.server.ReadLine(line, true), c.result) << c.expected;
        EXPECT_EQ(line.View(), c.expected);
    }
    ASSERT_GT(pair.client.SendText("kept\r\n", false), 0);
    CTextBuffer line;
    EXPECT_EQ(pair.server.ReadLine(line, false), 6);
    EXPECT_EQ(line.View(), "kept\r\n");
}

TEST(WSocketInput, LineAtTheLimitIsReadAndOnePastIsRefused)
{
    LoopbackPair pair;
    pair.client.SetTimeout(5000);
    pair.server.SetTimeout(5000);
    std::thread sender([&] {
        std::string atLimit(WSocket::kMaxLineLength - 1, 'a');
        atLimit += '\n';
        std::string pastLimit(WSocket::kMaxLineLength, 'b');
        pastLimit += '\n';
        pair.client.SendText(atLimit, false);
        pair.client.SendText(pastLimit, false);
    });
    CTextBuffer first;
    EXPECT_EQ(pair.server.ReadLine(first, false), WSocket::kMaxLineLength);
    CTextBuffer second;
    EXPECT_EQ(pair.server.ReadLine(second, false), -1);
    EXPECT_EQ(LastSocketError(), kLineTooLongError);
    EXPECT_LE(second.GetLength(), WSocket::kMaxLineLength);
    sender.join();
}

TEST(WSocketInput, EndlessLineIsRefusedWithoutGrowing)
{
    LoopbackPair pair;
    pair.client.SetTimeout(3000);
    pair.server.SetThrowOnError(true);
    std::thread sender([&] {
        std::string block(1 << 16, 'c');
        for (int i = 0; i < 64 && pair.client.SendText(block, false) > 0; ++i) {
        }
    });
    CTextBuffer line;
    try {
        pair.server.ReadLine(line, true);
        ADD_FAILURE() << "an endless line must be refused";
    } catch (const WSocketException& e) {
        EXPECT_EQ(e.error, kLineTooLongError);
    }
    EXPECT_LE(line.GetLength(), WSocket::kMaxLineLength);
    pair.server.Abort(); // ends the sender's writes at once
    sender.join();
}

TEST(WSocketInput, ReadPeekReadExactAndWaitForInput)
{
    LoopbackPair pair;
    EXPECT_FALSE(pair.server.WaitForInput(100));
    ASSERT_EQ(pair.client.SendText("0123456789", false), 10);
    EXPECT_TRUE(pair.server.WaitForInput(2000));
    char bytes[16] = {};
    EXPECT_EQ(pair.server.Read(bytes, 4, true), 4);
    EXPECT_EQ(std::string(bytes, 4), "0123");
    EXPECT_EQ(pair.server.ReadExact(bytes, 6), 6);
    EXPECT_EQ(std::string(bytes, 6), "012345");
    EXPECT_TRUE(pair.server.WaitForInput(0)); // "6789" is held
    EXPECT_EQ(pair.server.Read(bytes, 0), 0);
    pair.client.Close();
    EXPECT_EQ(pair.server.ReadExact(bytes, 10), 4);
    EXPECT_EQ(std::string(bytes, 4), "6789");
}

TEST(WSocketOutput, SendFlushesAndWritesAtTheBufferBoundaries)
{
    LoopbackPair pair;
    WSocket& s = pair.server;
    const int size = WSocket::kOutputBufferSize;
    const std::string full(static_cast<std::size_t>(size), 'x');
    EXPECT_EQ(s.SendText(full), size); // exactly fills the buffer: nothing written yet
    EXPECT_EQ(s.GetBytesSent(), 0);
    EXPECT_EQ(s.GetAppOutput().GetHeld(), size);
    EXPECT_EQ(s.Send("y", 1), 1); // does not fit: the buffer is flushed first
    EXPECT_EQ(s.GetBytesSent(), size);
    EXPECT_EQ(s.GetAppOutput().GetHeld(), 1);
    const std::string big(static_cast<std::size_t>(size) + 1, 'z'); // larger than a whole buffer: direct
    EXPECT_EQ(s.SendText(big), size + 1);
    EXPECT_EQ(s.GetBytesSent(), 2 * size + 2);
    EXPECT_EQ(s.GetAppOutput().GetHeld(), 0);
    EXPECT_EQ(s.Send("now", 3, false), 3);
    EXPECT_EQ(s.GetBytesSent(), 2 * size + 5);
    EXPECT_EQ(s.Flush(), 0);
    EXPECT_EQ(s.SendTextLine("line"), 6);
    EXPECT_EQ(s.Flush(), 6);
    EXPECT_EQ(s.SendTextLine("at once", false), 9);
    EXPECT_EQ(s.GetAppOutput().GetHeld(), 0);

    const std::string expected = full + "y" + big + "now" + "line\r\n" + "at once\r\n";
    std::string received(expected.size(), '\0');
    pair.client.SetTimeout(5000);
    ASSERT_EQ(pair.client.ReadExact(received.data(), static_cast<int>(received.size())),
              static_cast<int>(expected.size()));
    EXPECT_TRUE(received == expected);
    EXPECT_EQ(pair.client.GetBytesReceived(), static_cast<std::int64_t>(expected.size()));
}

TEST(WSocketOutput, WriteNeverReadsTheCallersBytesAfterReturning)
{
    LoopbackPair pair;
    pair.client.SetTimeout(5000);
    std::string received;
    std::thread reader([&] { received = ReadAll(pair.client); });
    std::vector<char> data(300000, 'q');
    ASSERT_EQ(pair.server.Send("head", 4), 4);
    ASSERT_EQ(pair.server.Write(data.data(), static_cast<int>(data.size()), true), 300000);
    std::fill(data.begin(), data.end(), '!');
    ASSERT_EQ(pair.server.Send("tail", 4), 4);
    pair.server.Close();
    reader.join();
    ASSERT_EQ(received.size(), 300008u);
    EXPECT_EQ(received.substr(0, 4), "head");
    EXPECT_EQ(received.find('!'), std::string::npos);
    EXPECT_EQ(received.substr(300004), "tail");
}

TEST(WSocketOutput, CloseFlushesAndNeverThrows)
{
    LoopbackPair pair;
    pair.server.SetThrowOnError(true);
    ASSERT_EQ(pair.server.Send("bye", 3), 3);
    EXPECT_EQ(pair.server.Close(), 0);
    EXPECT_FALSE(pair.server.IsOpen());
    EXPECT_TRUE(pair.server.GetThrowOnError());
    pair.client.SetTimeout(2000);
    EXPECT_EQ(ReadAll(pair.client), "bye");

    // A close whose flush fails (the peer is gone) still returns quietly.
    LoopbackPair broken;
    broken.client.Abort();
    broken.server.SetThrowOnError(true);
    broken.server.SetTimeout(500);
    std::string block(WSocket::kOutputBufferSize, 'b');
    try {
        for (int i = 0; i < 100; ++i)
            broken.server.SendText(block);
    } catch (const WSocketException& e) {
        EXPECT_TRUE(e.error == 10053 || e.error == 10054) << e.error;
    }
    broken.server.Send("pending", 7);
    EXPECT_NO_THROW(broken.server.Close());
}

TEST(WSocketFile, FiftyMegabytesArriveByteForByte)
{
    TempFile file;
    ASSERT_GE(file.handle, 0);
    const std::size_t size = 50u << 20;
    std::uint64_t expected = kFnvStart;
    {
        std::vector<char> chunk(1 << 20);
        std::uint64_t state = 0x9E3779B97F4A7C15ull;
        for (std::size_t done = 0; done < size; done += chunk.size()) {
            for (char& c : chunk) {
                state ^= state << 13;
                state ^= state >> 7;
                state ^= state << 17;
                c = static_cast<char>(state);
            }
            expected = Fnv1a(expected, chunk.data(), chunk.size());
            ASSERT_EQ(write(file.handle, chunk.data(), chunk.size()), static_cast<ssize_t>(chunk.size()));
        }
    }
    const off_t position = lseek(file.handle, 0, SEEK_CUR);

    // Uncapped, and with a small unsent cap, under which sendfile stops
    // short again and again and the sender waits between the pieces.
    for (int cap : {0, 16384}) {
        SCOPED_TRACE(cap);
        LoopbackPair pair;
        if (cap > 0) {
            ASSERT_EQ(platform::SetUnsentLimit(pair.server.GetHandle(), cap), 0);
        }
        pair.server.SetTimeout(10000);
        pair.client.SetTimeout(10000);
        std::string head;
        std::uint64_t hash = kFnvStart;
        std::size_t count = 0;
        std::thread receiver([&] {
            CTextBuffer line;
            if (pair.client.ReadLine(line, false) > 0)
                head = line.ToString();
            std::vector<char> chunk(1 << 16);
            for (;;) {
                int got = pair.client.Read(chunk.data(), static_cast<int>(chunk.size()));
                if (got <= 0)
                    break;
                hash = Fnv1a(hash, chunk.data(), static_cast<std::size_t>(got));
                count += static_cast<std::size_t>(got);
            }
        });
        ASSERT_EQ(pair.server.SendTextLine("HTTP/1.0 200 OK"), 17);
        EXPECT_EQ(pair.server.SendFile(file.handle, static_cast<std::int64_t>(size), nullptr, 0), static_cast<std::int64_t>(size));
        EXPECT_EQ(pair.server.GetBytesSent(), static_cast<std::int64_t>(size) + 17);
        pair.server.Close();
        receiver.join();
        EXPECT_EQ(head, "HTTP/1.0 200 OK\r\n");
        EXPECT_EQ(count, size);
        EXPECT_EQ(hash, expected);
    }
    EXPECT_EQ(lseek(file.handle, 0, SEEK_CUR), position); // explicit offsets only
}

TEST(WSocketFile, RangesEmptyFilesMemoryAndFileHandles)
{
    TempFile file;
    std::string content;
    for (int i = 0; i < 20000; ++i)
        content += static_cast<char>('a' + i % 26);
    ASSERT_EQ(write(file.handle, content.data(), content.size()), static_cast<ssize_t>(content.size()));
    TempFile empty;

    LoopbackPair pair;
    pair.server.SetTimeout(300);
    pair.client.SetTimeout(5000);
    ASSERT_EQ(pair.server.Send("[", 1), 1);
    EXPECT_EQ(pair.server.SendFile(file.handle, 1000, nullptr, 12345), 1000);
    // An empty file gets a whole time-out unit, not a zero wait limit.
    ASSERT_EQ(pair.server.Send("|", 1), 1);
    std::uint64_t start = MonotonicMs();
    EXPECT_EQ(pair.server.SendFile(empty.handle, 0, nullptr, 0), 0);
    EXPECT_LT(MonotonicMs() - start, 300u);
    const char memory[] = "hello world";
    EXPECT_EQ(pair.server.SendFile(-1, 5, memory, 6), 5);
    EXPECT_EQ(pair.server.GetAppOutput().GetHeld(), 5); // small memory sources are buffered
    pair.server.Close();
    EXPECT_EQ(ReadAll(pair.client), "[" + content.substr(12345, 1000) + "|world");

    // A file-handle socket goes through the buffers and write(2).
    TempFile sink;
    WSocket output;
    ASSERT_EQ(output.AttachHandle(sink.handle), 0);
    sink.handle = -1; // owned by the socket now
    EXPECT_EQ(output.SendFile(file.handle, 15000, nullptr, 100), 15000);
    EXPECT_EQ(output.Close(), 0);
    int check = open(sink.path.c_str(), O_RDONLY);
    ASSERT_GE(check, 0);
    std::string written(20000, '\0');
    ssize_t got = read(check, written.data(), written.size());
    close(check);
    ASSERT_EQ(got, 15000);
    written.resize(15000);
    EXPECT_TRUE(written == content.substr(100, 15000));
}

TEST(WSocketFile, HeaderAndFileArriveWholeOnEitherSideOfTheCopyLimit)
{
    // A small file is copied behind its buffered header, a larger one goes
    // through sendfile; a file shorter than promised fails either way.
    constexpr std::int64_t kLimit = WSocket::kCopiedFileBytes;
    struct Row {
        std::int64_t fileSize;
        std::int64_t promised;
    };
    const Row rows[] = {{1024, 1024}, {kLimit, kLimit}, {kLimit + 1, kLimit + 1}, {1000, 1024}, {kLimit + 10, kLimit + 20}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.promised);
        TempFile file;
        std::string content;
        for (std::int64_t i = 0; i < row.fileSize; ++i)
            content += static_cast<char>('a' + i % 23);
        ASSERT_EQ(write(file.handle, content.data(), content.size()), static_cast<ssize_t>(content.size()));
        LoopbackPair pair;
        pair.server.SetTimeout(5000);
        pair.client.SetTimeout(5000);
        ASSERT_EQ(pair.server.SendText("HEAD\r\n"), 6);
        const std::int64_t sent = pair.server.SendFile(file.handle, row.promised, nullptr, 0);
        if (row.fileSize == row.promised) {
            EXPECT_EQ(sent, row.promised);
            EXPECT_EQ(pair.server.GetBytesSent(), row.promised + 6);
            pair.server.Close();
            EXPECT_TRUE(ReadAll(pair.client) == "HEAD\r\n" + content);
        } else {
            EXPECT_EQ(sent, -1);
            EXPECT_EQ(LastSocketError(), 10053);
        }
    }
}

TEST(WSocketAccept, AnAcceptedSocketIsCloseOnExecAndNonBlockingOnceAttached)
{
    // A child program must not inherit a client, and every wait is ours.
    LoopbackListener listener;
    WSocket client, server;
    ASSERT_EQ(client.Connect("127.0.0.1", listener.port), 0);
    const int handle = listener.socket.Accept(nullptr, true);
    ASSERT_GE(handle, 0);
    ASSERT_EQ(server.AttachAccepted(handle), 0);
    EXPECT_NE(fcntl(handle, F_GETFD) & FD_CLOEXEC, 0);
    EXPECT_NE(fcntl(handle, F_GETFL) & O_NONBLOCK, 0);
    server.SetTimeout(2000);
    client.SetTimeout(2000);
    ASSERT_EQ(client.SendText("ping\r\n", false), 6);
    CTextBuffer line;
    EXPECT_EQ(server.ReadLine(line, true), 4);
    EXPECT_EQ(line.View(), "ping");
}

TEST(WSocketHandle, PipesReadLinesTimeOutAndFailWithoutSignals)
{
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    WSocket reader;
    ASSERT_EQ(reader.AttachHandle(ends[0]), 0);
    EXPECT_TRUE(reader.IsFileHandle());
    reader.SetTimeout(200);
    EXPECT_EQ(reader.Fill(), -1);
    EXPECT_EQ(LastSocketError(), 10060);
    ASSERT_EQ(write(ends[1], "one\r\ntwo", 8), 8);
    close(ends[1]);
    CTextBuffer line;
    EXPECT_EQ(reader.ReadLine(line, true), 3);
    EXPECT_EQ(line.View(), "one");
    line.Empty();
    EXPECT_EQ(reader.ReadLine(line, true), 0);
    EXPECT_EQ(line.View(), "two");

    ASSERT_EQ(pipe(ends), 0);
    close(ends[0]);
    WSocket writer;
    ASSERT_EQ(writer.AttachHandle(ends[1]), 0);
    EXPECT_EQ(writer.Send("x", 1, false), -1);
    EXPECT_EQ(LastSocketError(), 10053);
}

TEST(WSocketConnect, NamesRefusalsAndFailures)
{
    LoopbackListener listener;
    WSocket byName;
    ASSERT_EQ(byName.Connect("localhost", listener.port), 0);
    int accepted = listener.socket.Accept();
    ASSERT_GE(accepted, 0);
    close(accepted);

    WSocketBase probe;
    ASSERT_EQ(probe.Create(), 0);
    ASSERT_EQ(probe.Bind(0, LoopbackAddress()), 0);
    std::uint32_t address = 0;
    std::uint16_t freePort = 0;
    ASSERT_EQ(probe.GetLocalAddress(&address, &freePort), 0);
    probe.Abort();
    WSocket refused;
    EXPECT_EQ(refused.Connect("127.0.0.1", freePort), -1);
    EXPECT_EQ(LastSocketError(), 10061);
    refused.SetThrowOnError(true);
    try {
        refused.Connect("127.0.0.1", freePort);
        ADD_FAILURE() << "a refused connect must throw";
    } catch (const WSocketException& e) {
        EXPECT_EQ(e.error, 10061);
        EXPECT_EQ(e.socket, &refused);
    }
    WSocket unknown;
    EXPECT_EQ(unknown.Connect("no-such-host.invalid", 80), -1);
    EXPECT_GE(LastSocketError(), 10060);
    EXPECT_FALSE(unknown.IsOpen());
}

TEST(WSocketReuse, ResetBuffersReadiesTheSocketForAnotherConnection)
{
    LoopbackPair pair;
    pair.server.SetTimeout(1234);
    pair.server.SetThrowOnError(true);
    pair.server.SetOwned(false);
    ASSERT_EQ(pair.server.Send("abc", 3, false), 3);
    EXPECT_EQ(pair.server.GetBytesSent(), 3);
    pair.server.ResetBuffers();
    EXPECT_EQ(pair.server.GetBytesSent(), 0);
    EXPECT_EQ(pair.server.GetTimeout(), 0u);
    EXPECT_FALSE(pair.server.GetThrowOnError());
    EXPECT_TRUE(pair.server.IsOwned());
    EXPECT_EQ(pair.server.GetPeerAddress(), 0u);
}

namespace {

// A waiter as the worker pool would install, built on poll and counting its calls.
class CountingWaiter : public CIOWaiter {
public:
    int calls = 0;
    std::uint32_t lastMilliseconds = 0;
    int WaitForIOCompletion(int handle, bool forWrite, std::uint32_t milliseconds) override
    {
        ++calls;
        lastMilliseconds = milliseconds;
        return platform::WaitHandle(handle, forWrite, milliseconds);
    }
};

} // namespace

TEST(WSocketFiber, WaitsGoThroughTheInstalledWaiter)
{
    LoopbackPair pair;
    CountingWaiter waiter;
    pair.server.SetFiberMode(&waiter);
    EXPECT_TRUE(pair.server.IsFiberMode());
    pair.server.SetTimeout(200);
    EXPECT_EQ(pair.server.Fill(), -1);
    EXPECT_EQ(LastSocketError(), 10060);
    EXPECT_GE(waiter.calls, 1);
    EXPECT_LE(waiter.lastMilliseconds, 200u);

    const int before = waiter.calls;
    pair.server.SetTimeout(5000);
    std::thread late([&] {
        platform::SleepMs(50);
        pair.client.SendText("late\n", false);
    });
    CTextBuffer line;
    EXPECT_EQ(pair.server.ReadLine(line, true), 4);
    late.join();
    EXPECT_EQ(line.View(), "late");
    EXPECT_GT(waiter.calls, before);

    pair.server.ResetBuffers(); // a socket is still held: fiber mode stays
    EXPECT_TRUE(pair.server.IsFiberMode());
    pair.server.SetFiberMode(nullptr);
    EXPECT_FALSE(pair.server.IsFiberMode());
}
