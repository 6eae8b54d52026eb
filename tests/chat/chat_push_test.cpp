// The realtime stream read by curl -N and taken apart as multipart parts:
// a post shows in the next part, a quiet room ends with the form at its
// Timeout, a stop ends every stream with the shutdown part; and the load of
// 200 viewers and 20 posters on a pool of two workers.

#include "chat_fixture.h"

#include "chat/chat_room.h"

#include <atomic>
#include <thread>

namespace {

using chat_test::ChatE2ETest;
using chat_test::Count;
using chat_test::RawExchange;

const std::string kHead =
    "HTTP/1.0 200 OK\r\nContent-type: multipart/x-mixed-replace;boundary=~@FooBarBazBop#$\r\n\r\n";
const std::string kDelimiter = "\r\n--~@FooBarBazBop#$\r\n";

// A stream split at its boundaries: the parts that a boundary closed, and
// what came after the last boundary.
struct Stream {
    bool headOk = false;
    std::vector<std::string> parts;
    std::string tail;
};

Stream ParseStream(const std::string& bytes)
{
    Stream stream;
    stream.headOk = bytes.rfind(kHead + kDelimiter, 0) == 0;
    if (!stream.headOk)
        return stream;
    std::size_t at = kHead.size() + kDelimiter.size();
    for (;;) {
        std::size_t end = bytes.find(kDelimiter, at);
        if (end == std::string::npos)
            break;
        stream.parts.push_back(bytes.substr(at, end - at));
        at = end + kDelimiter.size();
    }
    stream.tail = bytes.substr(at);
    return stream;
}

// curl -N on a pipe; the test reads what arrived so far.
class Viewer {
public:
    Viewer(const std::string& url)
    {
        int fds[2];
        if (::pipe(fds) != 0)
            return;
        m_pid = StartProgram("/usr/bin/curl", {"-s", "-0", "-N", "-i", "--max-time", "60", url}, fds[1]);
        ::close(fds[1]);
        m_fd = fds[0];
    }
    ~Viewer()
    {
        if (m_pid > 0)
            FinishProgram(m_pid, 100);
        if (m_fd >= 0)
            ::close(m_fd);
    }
    // Reads until pred holds on what arrived, curl ends, or timeoutMs pass.
    bool ReadUntil(const std::function<bool(const Stream&)>& pred, std::uint64_t timeoutMs)
    {
        std::uint64_t deadline = e2e::NowMs() + timeoutMs;
        while (!pred(ParseStream(m_bytes))) {
            if (e2e::NowMs() >= deadline || m_ended)
                return pred(ParseStream(m_bytes));
            pollfd p{m_fd, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0)
                continue;
            char buffer[8192];
            ssize_t got = ::read(m_fd, buffer, sizeof buffer);
            if (got <= 0)
                m_ended = true;
            else
                m_bytes.append(buffer, static_cast<std::size_t>(got));
        }
        return true;
    }
    bool ReadToEnd(std::uint64_t timeoutMs)
    {
        ReadUntil([this](const Stream&) { return m_ended; }, timeoutMs);
        return m_ended;
    }
    Stream Parsed() const { return ParseStream(m_bytes); }
    const std::string& Bytes() const { return m_bytes; }

private:
    pid_t m_pid = -1;
    int m_fd = -1;
    std::string m_bytes;
    bool m_ended = false;
};

auto PartCount(std::size_t n)
{
    return [n](const Stream& s) { return s.parts.size() >= n; };
}

class ChatPushTest : public ChatE2ETest {
protected:
    void SetUp() override
    {
        ChatE2ETest::SetUp();
        m_fibers = 1;
    }
};

TEST_F(ChatPushTest, APostShowsInTheNextPartTwoToThreeSecondsLater)
{
    std::uint16_t port = AddRoom("Lobby", {{"Timeout", 30}});
    Start(2);
    Viewer viewer(URL(port, "/View?name=Ann&realtime=on&numlines=10"));
    ASSERT_TRUE(viewer.ReadUntil(PartCount(1), 10000)) << viewer.Bytes();
    Stream first = viewer.Parsed();
    ASSERT_TRUE(first.headOk) << viewer.Bytes().substr(0, 200);
    EXPECT_EQ(first.parts[0].rfind("Content-type: text/html\r\n\r\n<HTML>", 0), 0u) << first.parts[0];
    EXPECT_NE(first.parts[0].find("<B>Chat - Update</B>"), std::string::npos) << "the realtime form";

    std::uint64_t posted = e2e::NowMs();
    Post(port, "/Chat", "name=Bob&text=fresh+news");
    ASSERT_TRUE(viewer.ReadUntil(PartCount(2), 10000));
    std::uint64_t shown = e2e::NowMs() - posted;
    EXPECT_NE(viewer.Parsed().parts[1].find("<i>Bob</i>: fresh news<p>"), std::string::npos);
    EXPECT_GE(shown, 1900u) << "lines close together go out in one part";
    EXPECT_LT(shown, 6000u);
    // Two lines in one pause make one part.
    Post(port, "/Chat", "name=Bob&text=one");
    Post(port, "/Chat", "name=Bob&text=two");
    ASSERT_TRUE(viewer.ReadUntil(PartCount(3), 10000));
    platform::SleepMs(3500);
    viewer.ReadUntil(PartCount(4), 0);
    Stream now = viewer.Parsed();
    ASSERT_EQ(now.parts.size(), 3u) << "one part for both lines";
    EXPECT_NE(now.parts[2].find("two<p>"), std::string::npos);
    EXPECT_NE(now.parts[2].find("one<p>"), std::string::npos);
}

TEST_F(ChatPushTest, AQuietRoomEndsWithTheFormAtItsTimeoutAndTimeoutZeroSendsNoPart)
{
    std::uint16_t port = AddRoom("Quiet", {{"Timeout", 3}});
    std::uint16_t none = AddRoom("None", {{"Timeout", 0}});
    Start(2);
    std::uint64_t begun = e2e::NowMs();
    Viewer viewer(URL(port, "/View?name=Ann&realtime=on"));
    ASSERT_TRUE(viewer.ReadToEnd(15000));
    std::uint64_t took = e2e::NowMs() - begun;
    EXPECT_GE(took, 2900u);
    EXPECT_LT(took, 8000u);
    Stream stream = viewer.Parsed();
    ASSERT_TRUE(stream.headOk);
    ASSERT_EQ(stream.parts.size(), 2u) << viewer.Bytes();
    EXPECT_NE(stream.parts[0].find("Chat - Update"), std::string::npos);
    EXPECT_NE(stream.parts[1].find("<textarea name=\"text\""), std::string::npos) << "the last part has the form";
    EXPECT_EQ(stream.tail, "");

    Viewer instant(URL(none, "/View?name=Ann&realtime=on"));
    ASSERT_TRUE(instant.ReadToEnd(10000));
    EXPECT_EQ(instant.Bytes(), kHead + kDelimiter);
}

TEST_F(ChatPushTest, StoppingTheServerSendsEveryViewerTheShutdownPart)
{
    std::uint16_t port = AddRoom("Lobby", {{"Timeout", 60}});
    Start(2);
    std::vector<std::unique_ptr<Viewer>> viewers;
    for (int i = 0; i < 3; ++i)
        viewers.push_back(std::make_unique<Viewer>(URL(port, "/View?realtime=on&name=V" + std::to_string(i))));
    for (auto& viewer : viewers)
        ASSERT_TRUE(viewer->ReadUntil(PartCount(1), 10000));
    std::uint64_t begun = e2e::NowMs();
    StopServices();
    EXPECT_LT(e2e::NowMs() - begun, 5000u) << "viewers must not hold the stop up";
    for (auto& viewer : viewers) {
        ASSERT_TRUE(viewer->ReadToEnd(10000));
        Stream stream = viewer->Parsed();
        EXPECT_EQ(stream.tail, "Content-type: text/html\r\n\r\n" + std::string(kPushShutdownPage) + "\r\n");
    }
}

TEST_F(ChatPushTest, NoLineIsLostBetweenARenderAndTheWait)
{
    // Posts land at every moment of the viewers' cycle; each must show.
    std::uint16_t port = AddRoom("Busy", {{"Timeout", 60}, {"Lines", 200}});
    Start(2);
    Viewer viewer(URL(port, "/View?name=Ann&realtime=on&numlines=200"));
    ASSERT_TRUE(viewer.ReadUntil(PartCount(1), 10000));
    for (int i = 0; i < 12; ++i) {
        Post(port, "/Chat", "name=Bob&text=n" + std::to_string(i) + "x");
        platform::SleepMs(i * 97 % 700);
    }
    auto allShown = [](const Stream& s) {
        for (int i = 0; i < 12; ++i)
            if (s.parts.empty() || s.parts.back().find("n" + std::to_string(i) + "x<p>") == std::string::npos)
                return false;
        return true;
    };
    EXPECT_TRUE(viewer.ReadUntil(allShown, 15000)) << viewer.Parsed().parts.back();
}

} // namespace
