// What a room shares with the others and keeps of its own: the room list
// over every room of the process, presence over time, the statistics
// counters and events, the access log, and a stop while clients post.

#include "chat_fixture.h"

#include "chat/chat_room.h"
#include "framework/server_stats.h"

#include <atomic>
#include <thread>

namespace {

using chat_test::ChatE2ETest;
using chat_test::Count;
using chat_test::Reply;

CChatRoom* FindRoom(const std::string& name)
{
    for (CServer* server : GetServerList())
        if (auto* room = dynamic_cast<CChatRoom*>(server); room && room->GetRoom()->name == name)
            return room;
    return nullptr;
}

std::atomic<std::int64_t> g_now{0};
std::int64_t TestClock() { return g_now.load(); }

TEST_F(ChatE2ETest, TheRoomListShowsEveryListedRoomOfTheProcess)
{
    std::uint16_t main = AddRoom("Main", {}, {{"Description", "the <i>main</i> room"}});
    AddRoom("Hidden", {{"HideRoom", 1}});
    std::uint16_t securePort = e2e::FreePort();
    AddRoom("Secure", {{"UseSSL", 1}, {"SSLOnly", 1}, {"SSLPort", securePort}});
    std::uint16_t bothPort = e2e::FreePort();
    std::uint16_t both = AddRoom("Both", {{"UseSSL", 1}, {"SSLPort", bothPort}});
    AddRoom("Elsewhere", {{"Address", htonl(0x7f000002)}});
    AddRoom("Stopped");
    AddRoom("Off", {{"Enabled", 0}});
    Start();
    EXPECT_EQ(FindRoom("Off"), nullptr) << "a disabled room gets no server";
    Post(main, "/Chat", "name=Ann&text=hi");
    ASSERT_NE(FindRoom("Stopped"), nullptr);
    FindRoom("Stopped")->Stop();

    Reply list = Get(main, "/Index?name=Ann");
    EXPECT_EQ(list.Status(), 200);
    const std::string& page = list.body;
    EXPECT_NE(page.find("<A HREF=\"http://127.0.0.1:" + std::to_string(main) +
                        "/View?name=Ann&numlines=6&\">Main</A></B> <i>(1 users)</i>\n<DD>the <i>main</i> room"),
              std::string::npos)
        << page;
    EXPECT_EQ(page.find(">Hidden<"), std::string::npos);
    EXPECT_EQ(page.find(">Elsewhere<"), std::string::npos) << "bound to another local address";
    EXPECT_EQ(page.find(">Stopped<"), std::string::npos) << "a stopped room";
    EXPECT_EQ(Count(page, ">Secure</A>"), 1);
    EXPECT_NE(page.find("https://127.0.0.1:" + std::to_string(securePort) + "/View?"), std::string::npos);
    EXPECT_EQ(Count(page, ">Both</A>"), 2);
    EXPECT_NE(page.find("http://127.0.0.1:" + std::to_string(both) + "/View?"), std::string::npos);
    EXPECT_NE(page.find("https://127.0.0.1:" + std::to_string(bothPort) + "/View?"), std::string::npos);
    EXPECT_EQ(Count(page, " <b>(SSL)</b>"), 2);
    EXPECT_NE(Get(main, "/").body.find("/Join\">Main</A>"), std::string::npos) << "anonymous viewers join";
}

TEST_F(ChatE2ETest, PresenceLastsThirtyMinutesAfterTheNewestLine)
{
    std::uint16_t port = AddRoom("Lobby");
    Start();
    const std::int64_t start = 1700000000;
    g_now = start;
    CChatRoom::SetClockForTesting(TestClock);
    Post(port, "/Chat", "name=Ann&text=hello");
    Post(port, "/Chat", "name=Bob&text=~join~");
    Post(port, "/Chat?to=Ann%40127%2E0%2E0%2E1", "name=Carl&text=psst");

    struct Case {
        std::int64_t after;
        bool listed;
        int count;
        const char* idle;
    };
    const Case cases[] = {
        {0, true, 3, "Idle 0 minutes."},
        {30 * 60 + 59, true, 3, "Idle 30 minutes."},
        {31 * 60, false, 0, nullptr},
    };
    for (const Case& c : cases) {
        g_now = start + c.after;
        Reply users = Get(port, "/Users");
        EXPECT_EQ(users.body.find("Ann [") != std::string::npos, c.listed) << c.after;
        EXPECT_EQ(users.body.find("Carl ["), std::string::npos) << "a private line makes no one listed";
        if (c.idle) {
            EXPECT_NE(users.body.find(c.idle), std::string::npos) << users.body;
        }
        EXPECT_EQ(FindRoom("Lobby")->CountActiveUsers(), c.count) << "private lines count";
    }
    g_now = start;
    Get(port, "/Exit?name=Bob");
    EXPECT_EQ(Get(port, "/Users").body.find("Bob ["), std::string::npos);
    CChatRoom::SetClockForTesting(nullptr);
}

TEST_F(ChatE2ETest, CountersEventsAndOneLogLinePerPost)
{
    std::uint16_t port = AddRoom("Lobby", {{"Decapitate", 1}});
    Start();
    Post(port, "/Chat", "name=Ann&text=first+line%0D%0AFORGED+LINE+OF+THE+LOG");
    Post(port, "/Chat", "name=Ann&text=second");
    Post(port, "/Chat?to=Bob%40127%2E0%2E0%2E1", "name=Ann&text=private");
    Post(port, "/Chat", "name=&text=nobody");
    Post(port, "/Chat", "name=Ann&text=");
    CChatRoom* room = FindRoom("Lobby");
    ASSERT_NE(room, nullptr);
    EXPECT_EQ(room->GetStats().Read(server_stat_offset::kChatLines), 2u);
    EXPECT_EQ(room->GetStats().Read(server_stat_offset::kChatPrivateLines), 1u);
    EXPECT_EQ(room->GetStats().ReadText(server_stat_offset::kDescription, 64), "Lobby");
    EXPECT_EQ(room->GetLineCount(), 3);
    EXPECT_NE(Get(port, "/Update?name=Ann").body.find("first line\r\nforged line of the log"), std::string::npos)
        << "shouting is lowered";
    StopServices();

    std::string log = Log("Lobby");
    EXPECT_EQ(Count(log, "\n"), 3) << log;
    EXPECT_NE(log.find("said \"first line\\x0D\\x0AFORGED LINE OF THE LOG\" to \"\"\n"), std::string::npos) << log;
    std::string events = e2e::ReadFile(m_dir / "home/log/Velmora.log");
    EXPECT_NE(events.find("ChatRoom started."), std::string::npos) << events;
    EXPECT_NE(events.find("ChatRoom shut down."), std::string::npos);
}

TEST_F(ChatE2ETest, AStopWhileClientsPostAndViewEndsEveryConnectionFirst)
{
    m_fibers = 1;
    std::uint16_t port = AddRoom("Busy", {{"Lines", 20}, {"Timeout", 60}});
    Start(2);
    std::atomic<bool> go{true};
    std::vector<std::thread> clients;
    for (int c = 0; c < 8; ++c)
        clients.emplace_back([&, c] {
            for (int i = 0; go && i < 400; ++i) {
                std::string body = "name=c" + std::to_string(c) + "&text=t" + std::to_string(i) +
                                   (c % 2 ? "&realtime=on" : "");
                chat_test::RawExchange(port,
                                       "POST /Chat HTTP/1.0\r\nContent-length: " + std::to_string(body.size()) +
                                           "\r\n\r\n" + body,
                                       c % 2 ? 300 : 5000);
            }
        });
    platform::SleepMs(1500);
    std::uint64_t begun = e2e::NowMs();
    StopServices();
    EXPECT_LT(e2e::NowMs() - begun, 10000u);
    go = false;
    for (std::thread& t : clients)
        t.join();
}

} // namespace
