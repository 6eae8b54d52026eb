// Every chat URL end to end through curl: join, post, private lines, the
// user list with presence, exit, the line limit, authentication and the
// refused requests.

#include "chat_fixture.h"
#include "drip_clients.h"
#include "eventually.h"
#include "framework/error_reply.h"

#include <regex>

namespace {

using chat_test::ChatE2ETest;
using chat_test::Count;
using chat_test::RawExchange;
using chat_test::Reply;

class ChatPagesTest : public ChatE2ETest, public ::testing::WithParamInterface<std::uint32_t> {
protected:
    void SetUp() override
    {
        ChatE2ETest::SetUp();
        m_fibers = GetParam() ? 1 : 0;
    }
};

TEST_P(ChatPagesTest, JoinPostPrivateUsersAndExit)
{
    std::uint16_t port = AddRoom("Lobby", {{"Lines", 5}}, {{"Description", "Where <b>everyone</b> meets"}});
    Start(GetParam());

    Reply join = Get(port, "/Join");
    EXPECT_EQ(join.Status(), 200) << join.head;
    EXPECT_NE(join.body.find("<H1>Lobby</H1>Where <b>everyone</b> meets"), std::string::npos) << join.body;
    EXPECT_NE(join.body.find("Welcome new user connecting from 127.0.0.1."), std::string::npos);

    // Ann joins through the join form, Bob by a post of his own.
    Reply ann = Post(port, "/Chat?text=~join~&showtime=on", "name=Ann&url=http://ann.example/&pict=");
    EXPECT_EQ(ann.Status(), 200);
    EXPECT_NE(ann.head.find("Content-type: text/html"), std::string::npos);
    EXPECT_NE(ann.body.find("<B>Welcome <A HREF=\"http://ann.example/\">Ann</A> "), std::string::npos) << ann.body;
    Post(port, "/Chat?text=~join~", "name=Bob");
    Reply said = Post(port, "/Chat?name=Bob&pf=1", "text=hello+all&numlines=10");
    EXPECT_NE(said.body.find("<i>Bob</i>: hello all<p>"), std::string::npos) << said.body;

    // A private line from Bob to Ann's key reaches Ann and Bob only.
    std::string annKey = "%3CA+HREF%3D%22http%3A%2F%2Fann%2Eexample%2F%22%3EAnn%3C%2FA%3E%40127%2E0%2E0%2E1";
    Post(port, "/Chat?name=Bob&to=" + annKey, "text=just+for+you");
    std::string annName = "%3CA+HREF%3D%22http%3A%2F%2Fann%2Eexample%2F%22%3EAnn%3C%2FA%3E";
    EXPECT_NE(Get(port, "/Update?name=" + annName).body.find("just for you"), std::string::npos);
    EXPECT_NE(Get(port, "/Update?name=Bob").body.find("just for you"), std::string::npos);
    EXPECT_EQ(Get(port, "/Update?name=Carl").body.find("just for you"), std::string::npos);
    EXPECT_EQ(Get(port, "/View").body.find("just for you"), std::string::npos) << "an anonymous viewer";

    // The user list: Ann and Bob present; anonymous viewers get the plain lines.
    Reply users = Get(port, "/Users?name=Carl");
    EXPECT_EQ(users.Status(), 200);
    EXPECT_NE(users.body.find("People in Lobby:"), std::string::npos);
    EXPECT_NE(users.body.find("Bob [127.0.0.1] - <I>Idle 0 minutes.</I>"), std::string::npos) << users.body;
    EXPECT_NE(users.body.find(">Ann</A> [127.0.0.1]"), std::string::npos);
    EXPECT_NE(users.body.find("/Update?name=Carl&to=Bob%40127%2E0%2E0%2E1%2C&numlines=5&#form"), std::string::npos);
    EXPECT_NE(users.body.find("<A href=\"/View?name=Carl&numlines=5&\">"), std::string::npos);
    Reply anonymous = Get(port, "/Users");
    EXPECT_EQ(Count(anonymous.body, "-&gt;</A>"), 0);
    EXPECT_NE(anonymous.body.find("<A href=\"/Join\">"), std::string::npos);

    // Bob leaves: he is no longer listed.
    Reply exit = Get(port, "/Exit?name=Bob");
    EXPECT_NE(exit.body.find("<H1>Good-bye!</H1>"), std::string::npos);
    Reply after = Get(port, "/Users");
    EXPECT_EQ(after.body.find("Bob ["), std::string::npos) << after.body;
    EXPECT_NE(after.body.find(">Ann</A> ["), std::string::npos);

    // The room list names the room with its user count.
    Reply index = Get(port, "/index?name=Ann");
    EXPECT_NE(index.body.find(">Lobby</A></B> <i>(1 users)</i>"), std::string::npos) << index.body;

    StopServices();
    std::string log = Log("Lobby");
    EXPECT_NE(log.find("\"Lobby\": \"Bob@127.0.0.1\" said \"hello all\" to \"\"\n"), std::string::npos) << log;
    EXPECT_NE(log.find("\"Lobby\": \"Bob@127.0.0.1\" exited.\n"), std::string::npos);
    EXPECT_NE(log.find("\"Lobby\": \"@127.0.0.1\" requested to join.\n"), std::string::npos);
    EXPECT_NE(log.find("requested user list.\n"), std::string::npos);
    EXPECT_NE(log.find("requested room list.\n"), std::string::npos);
}

TEST_P(ChatPagesTest, TheRoomKeepsItsNewestLinesAndShowsTheNewestNumlines)
{
    std::uint16_t port = AddRoom("Hall", {{"Lines", 4}});
    Start(GetParam());
    for (int i = 1; i <= 5; ++i)
        Post(port, "/Chat", "name=Ann&text=line" + std::to_string(i) + "x");
    Reply all = Get(port, "/Update?numlines=50");
    EXPECT_EQ(all.body.find("line1x"), std::string::npos) << "the oldest line goes";
    for (int i = 2; i <= 5; ++i)
        EXPECT_NE(all.body.find("line" + std::to_string(i) + "x"), std::string::npos) << i;
    // numlines above Lines is clamped, so the form shows what the room keeps.
    EXPECT_NE(all.body.find("name=\"numlines\" size=5 value=\"4\""), std::string::npos);
    Reply two = Get(port, "/Update?numlines=2");
    EXPECT_EQ(two.body.find("line3x"), std::string::npos);
    EXPECT_LT(two.body.find("line4x"), two.body.find("line5x"));
    EXPECT_EQ(Get(port, "/Update?numlines=0").body.find("line5x"), std::string::npos);
}

TEST_P(ChatPagesTest, RefusedAndMalformedRequests)
{
    std::uint16_t port = AddRoom("Club");
    Key("ChatRoom\\Rooms\\Club\\ACL").SetString("0", "Allow-user: *,ann,*");
    Key("ChatRoom\\Users").SetString("ann", "secret");
    Start(GetParam());

    struct Case {
        const char* what;
        std::vector<std::string> args;
        int status;
        const char* body;
    };
    const std::vector<Case> cases = {
        {"no credentials", {URL(port, "/Join")}, 401, "401"},
        {"a wrong password", {"-u", "ann:wrong", URL(port, "/Join")}, 401, "401"},
        {"the member", {"-u", "ann:secret", URL(port, "/Join")}, 200, "<H1>Club</H1>"},
        {"PUT", {"-u", "ann:secret", "-X", "PUT", "--data", "x", URL(port, "/Chat")}, 405, "Invalid HTTP Method"},
        {"POST elsewhere", {"-u", "ann:secret", "--data", "x", URL(port, "/Join")}, 404, "404"},
        {"an unknown page", {"-u", "ann:secret", URL(port, "/INDEX.HTM")}, 404, "Chat Room Error"},
        {"a body over 64 KiB", {"-u", "ann:secret", "--data", std::string(70000, 'x'), URL(port, "/Chat")}, 413, ""},
    };
    for (const Case& c : cases) {
        Reply reply = Curl(c.args);
        EXPECT_EQ(reply.Status(), c.status) << c.what << "\n" << reply.head;
        EXPECT_NE(reply.body.find(c.body), std::string::npos) << c.what << "\n" << reply.body;
    }
    Reply refused = Get(port, "/Join");
    EXPECT_NE(refused.head.find("WWW-Authenticate: Basic realm=\"Club (127.0.0.1:" + std::to_string(port) + ")\""),
              std::string::npos)
        << refused.head;

    std::string old = RawExchange(port, "GET /Join\r\n");
    EXPECT_EQ(old.rfind("HTTP/1.0 501 ", 0), 0u) << old;
    EXPECT_NE(old.find("<H1>HTTP 0.9 Error</H1>Your browser issued an HTTP 0.9-style request."), std::string::npos);
    std::string longLine = RawExchange(port, "GET /" + std::string(9000, 'a') + " HTTP/1.0\r\n\r\n");
    EXPECT_EQ(longLine.rfind("HTTP/1.0 414 ", 0), 0u) << longLine.substr(0, 80);
    std::string longHeader = RawExchange(port, "GET /Join HTTP/1.0\r\nX-A: " + std::string(9000, 'a') + "\r\n\r\n");
    EXPECT_EQ(longHeader.rfind("HTTP/1.0 400 ", 0), 0u) << longHeader.substr(0, 80);
    std::string manyHeaders;
    for (int i = 0; i < 20; ++i)
        manyHeaders += "X-" + std::to_string(i) + ": " + std::string(4000, 'b') + "\r\n";
    std::string tooMany = RawExchange(port, "GET /Join HTTP/1.0\r\n" + manyHeaders + "\r\n");
    EXPECT_EQ(tooMany.rfind("HTTP/1.0 400 ", 0), 0u) << tooMany.substr(0, 80);
}

TEST_P(ChatPagesTest, DrippedHeadsAreCutOffAndAnswered408)
{
    // Far beyond the test: only the head's deadline can end a drip.
    std::uint16_t port = AddRoom("Drip", {{"ConnTimeout", 300}, {"HeaderTimeout", 1}});
    Start(GetParam());

    const std::vector<std::string> starts = {"GET /Join?", "GET /Join?", "GET /Join HTTP/1.0\r\nX-Slow: ",
                                             "GET /Join HTTP/1.0\r\nX-Slow: "};
    DripClients drips(port, starts);
    ASSERT_EQ(drips.Connected(), static_cast<int>(starts.size()));
    ASSERT_TRUE(Eventually([&] { return drips.Rounds() >= 3; }, 30000));
    EXPECT_EQ(Get(port, "/Join").Status(), 200);

    EXPECT_TRUE(Eventually([&] { return drips.Closed() == drips.Connected(); }, 60000))
        << drips.Closed() << " of " << drips.Connected() << " closed";
    EXPECT_EQ(drips.Replied(), static_cast<long>(starts.size() * FormatErrorReply(408, {}, nullptr).size()));
}

INSTANTIATE_TEST_SUITE_P(Modes, ChatPagesTest, ::testing::Values(0u, 2u),
                         [](const auto& info) { return info.param ? "Fibers" : "Threads"; });

} // namespace

namespace {

// The first tag that could run script as a browser reads it: a script tag,
// an event-handler attribute, or a javascript: address (quoted values are
// read as values, as a browser reads them); empty when there is none.
std::string ActiveMarkup(const std::string& page)
{
    auto lower = [](std::string text) {
        for (char& c : text)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return text;
    };
    for (std::size_t at = page.find('<'); at != std::string::npos; at = page.find('<', at + 1)) {
        std::size_t i = at + 1;
        std::size_t nameEnd = page.find_first_of(" \t\r\n/>", i);
        std::string name = lower(page.substr(i, nameEnd - i));
        if (name == "script")
            return page.substr(at, 40);
        i = nameEnd;
        while (i < page.size() && page[i] != '>') {
            while (i < page.size() && std::isspace(static_cast<unsigned char>(page[i])))
                ++i;
            std::size_t attrEnd = page.find_first_of(" \t\r\n=>", i);
            if (attrEnd == std::string::npos)
                return {};
            std::string attr = lower(page.substr(i, attrEnd - i));
            i = attrEnd;
            std::string value;
            if (i < page.size() && page[i] == '=') {
                ++i;
                if (i < page.size() && (page[i] == '"' || page[i] == '\'')) {
                    std::size_t close = page.find(page[i], i + 1);
                    if (close == std::string::npos)
                        return page.substr(at, 40);
                    value = page.substr(i + 1, close - i - 1);
                    i = close + 1;
                } else {
                    std::size_t end = page.find_first_of(" \t\r\n>", i);
                    value = page.substr(i, end - i);
                    i = end;
                }
            }
            if (attr.rfind("on", 0) == 0 || lower(value).find("javascript:") != std::string::npos)
                return page.substr(at, 60);
            if (attr.empty() && i < page.size() && page[i] != '>')
                ++i;
        }
    }
    return {};
}

TEST_F(ChatE2ETest, InjectedMarkupStaysInertTextInEveryPage)
{
    // The checker itself: what it must find, and a quoted value it must not.
    for (const char* active : {"<img src=x onerror=alert(1)>", "<A HREF=\"JavaScript:x\">", "<SCRIPT>", "<b onclick='x'>"})
        EXPECT_NE(ActiveMarkup(active), "") << active;
    EXPECT_EQ(ActiveMarkup("<img src=\"&quot; onerror=alert(3) x=\" width=48>"), "");

    std::uint16_t port = AddRoom("Lobby");
    Start();
    const std::string evilName = "%22%3E%3Cscript%3Ealert(1)%3C%2Fscript%3E";
    Post(port, "/Chat?text=~join~", "name=" + evilName + "&url=javascript:alert(2)&pict=%22+onerror%3Dalert(3)+x%3D");
    Post(port, "/Chat", "name=Eve&url=http://e.example/%22onmouseover%3Dalert(4)&text=~join~");
    Post(port, "/Chat", "name=Eve&text=%3Cimg+src%3Dx+onerror%3Dalert(1)%3E+and+%3Ca+href%3Djavascript%3Aalert(5)%3Ego%3C%2Fa%3E");
    Post(port, "/Chat?to=%22%3E%3Cscript%3Ex", "name=Eve&text=private");

    const std::vector<std::string> pages = {
        "/View?name=Ann&showpict=on&showsource=on&showtime=on&numlines=20",
        "/Update?name=Ann&numlines=20",
        "/Update?name=Eve&to=%22%3E%3Cscript%3Ex&numlines=20",
        "/View?numlines=20",
        "/Users?name=Ann",
        "/Users",
        "/Index?name=" + evilName,
        "/Join",
    };
    for (const std::string& page : pages) {
        Reply reply = Get(port, page);
        EXPECT_EQ(reply.Status(), 200) << page;
        EXPECT_EQ(ActiveMarkup(reply.body), "") << page;
    }
    Reply view = Get(port, "/Update?name=Ann&numlines=20");
    EXPECT_NE(view.body.find("&quot;&gt;&lt;script&gt;alert(1)&lt;/script&gt;"), std::string::npos)
        << "the name shows as text";
    EXPECT_NE(view.body.find("&lt;img src=x"), std::string::npos) << "the image shows as text";
    EXPECT_NE(view.body.find("<A HREF=\"http://e.example/&quot;onmouseover=alert(4)\">Eve</A>"), std::string::npos)
        << view.body;
}

} // namespace

namespace {

TEST_F(ChatE2ETest, ChromiumJoinsPostsFromTheDialogFormAndSeesTheLine)
{
    if (::access("/usr/bin/chromium", X_OK) != 0 || ::access("/usr/bin/python3", X_OK) != 0)
        GTEST_SKIP() << "chromium or /usr/bin/python3 is not installed";
    std::uint16_t port = AddRoom("Lobby", {}, {{"Description", "Chromium's room"}});
    Start(2);
    const char* bin = std::getenv("VELMORA_TEST_BIN_DIR");
    std::string screenshot = std::string(bin ? bin : ".") + "/tests/chat/artefacts/chat_dialog.png";
    ::unlink(screenshot.c_str());
    std::string output;
    int status = RunProgram("/usr/bin/python3",
                            {std::string(VELMORA_SOURCE_DIR) + "/tests/chat/chromium_chat.py",
                             "http://127.0.0.1:" + std::to_string(port), screenshot, m_dir / "profile"},
                            output, 90000);
    EXPECT_EQ(status, 0) << output;
    EXPECT_NE(output.find("Welcome Chromey"), std::string::npos) << output;
    EXPECT_GT(e2e::ReadFile(screenshot).size(), 1000u) << "the screenshot " << screenshot;
    // The server saw the same: the join and the line, from a real browser.
    StopServices();
    EXPECT_NE(Log("Lobby").find("\"Lobby\": \"Chromey@127.0.0.1\" said \"hello from chromium\""), std::string::npos)
        << Log("Lobby");
}

} // namespace
