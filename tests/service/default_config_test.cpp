// The shipped default configuration (resources/default-config.reg over the
// repository's www/), seeded with the real velmora-reg and served by the real
// velmorad under velmora-sc; then configuration edits reaching the running
// service: a MIME type at once, a port only after a restart.

#include "config/http_server_config.h"
#include "e2e/e2e_server.h"
#include "platform/eventlog.h"
#include "platform/service.h"
#include "service_process.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <csignal>
#include <fstream>
#include <sstream>

namespace {

constexpr const char* kName = "Velmora";

std::string Replace(std::string text, const std::string& from, const std::string& to)
{
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

std::string HexDword(std::uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "dword:%08x", value);
    return text;
}

class DefaultConfigTest : public ConfigTest {
protected:
    void SetUp() override
    {
        ConfigTest::SetUp();
        if (::access("/usr/bin/curl", X_OK) != 0)
            GTEST_SKIP() << "curl is not installed";
        for (auto [name, value] : {std::pair{"VELMORA_HOME", "home"}, std::pair{"VELMORA_RUN_DIR", "run"}})
            ::setenv(name, (m_dir / value).c_str(), 1);
        ::setenv("VELMORA_SHM_PREFIX", ("vdef" + std::to_string(::getpid())).c_str(), 1);
        // Events go to a socket nobody reads rather than the host's syslog.
        ::setenv(platform::kSyslogSocketVariable, (m_dir / "no-syslog.sock").c_str(), 1);
        m_port = e2e::FreePort();
    }
    void TearDown() override
    {
        // Whatever a failed test left running goes.
        StopLeftoverService(kName);
        for (const char* name : {"VELMORA_HOME", "VELMORA_RUN_DIR", "VELMORA_SHM_PREFIX", platform::kSyslogSocketVariable})
            ::unsetenv(name);
        ConfigTest::TearDown();
    }

    e2e::RunResult Tool(std::vector<std::string> args)
    {
        args.insert(args.begin(), {"timeout", "60"});
        return e2e::RunProgram(args, m_dir / "tool.out");
    }
    e2e::RunResult Control(const std::string& command)
    {
        return Tool({BinDir() + "/tools/velmora-sc", command, kName});
    }
    e2e::RunResult Curl(std::vector<std::string> args)
    {
        args.insert(args.begin(), {"curl", "-s", "--max-time", "10"});
        return e2e::RunProgram(args, m_dir / "curl.out");
    }
    std::string URL(std::uint16_t port, const std::string& path)
    {
        return "http://127.0.0.1:" + std::to_string(port) + path;
    }
    // The shipped file as make run fills it in, on this test's port.
    void SeedDefaultConfiguration()
    {
        std::ifstream in(std::string(VELMORA_SOURCE_DIR) + "/resources/default-config.reg");
        std::stringstream text;
        text << in.rdbuf();
        std::string reg = text.str();
        ASSERT_NE(reg.find("8080:127.0.0.1"), std::string::npos);
        reg = Replace(reg, "@WWW@", std::string(VELMORA_SOURCE_DIR) + "/www");
        reg = Replace(reg, "@RUN@", m_dir.Path());
        reg = Replace(reg, "8080:127.0.0.1", std::to_string(m_port) + ":127.0.0.1");
        reg = Replace(reg, HexDword(8080), HexDword(m_port));
        m_chatPort = e2e::FreePort();
        reg = Replace(reg, HexDword(8082), HexDword(m_chatPort));
        e2e::WriteFile(m_dir / "default.reg", reg);
        ASSERT_EQ(Tool({BinDir() + "/tools/velmora-reg", "import", m_dir / "default.reg"}).exitCode, 0);
        ASSERT_EQ(Tool({BinDir() + "/tools/velmora-sc", "create", kName, "binPath=", BinDir() + "/service/velmorad"})
                      .exitCode,
                  0);
    }

    std::uint16_t m_port = 0;
    std::uint16_t m_chatPort = 0;
};

TEST_F(DefaultConfigTest, ServesTheIndexTheKavPageAndAProtectedFolder)
{
    SeedDefaultConfiguration();
    ASSERT_EQ(Control("start").exitCode, 0);

    e2e::RunResult index = Curl({URL(m_port, "/")});
    EXPECT_NE(index.output.find("<h1>Velmora is running</h1>"), std::string::npos) << index.output;
    e2e::RunResult kav = Curl({URL(m_port, "/hello.kav?x=1")});
    EXPECT_NE(kav.output.find("<h1>Hello from Velmora default site</h1>"), std::string::npos) << kav.output;
    EXPECT_NE(kav.output.find("<th align=\"left\">You asked for</th><td>/hello.kav</td>"), std::string::npos);
    EXPECT_NE(kav.output.find("<td>127.0.0.1</td>"), std::string::npos);
    EXPECT_EQ(kav.output.find("%"), std::string::npos) << "every reference expanded";

    EXPECT_EQ(Curl({"-o", "/dev/null", "-w", "%{http_code}", URL(m_port, "/private/")}).output, "401");
    EXPECT_EQ(Curl({"-o", "/dev/null", "-w", "%{http_code}", "-u", "demo:wrong", URL(m_port, "/private/")}).output,
              "401");
    e2e::RunResult member = Curl({"-u", "demo:velmora", URL(m_port, "/private/")});
    EXPECT_NE(member.output.find("<h1>Welcome, demo</h1>"), std::string::npos) << member.output;
    EXPECT_NE(index.output.find("http://127.0.0.1:8082/Join"), std::string::npos) << "the index links to the room";
    e2e::RunResult lobby = Curl({"-0", URL(m_chatPort, "/Join")});
    EXPECT_NE(lobby.output.find("<H1>Lobby</H1>Everyone is welcome here."), std::string::npos) << lobby.output;

    ASSERT_EQ(Control("stop").exitCode, 0);
    std::ifstream log(m_dir / "log/access.log");
    int lines = 0;
    for (std::string line; std::getline(log, line); ++lines)
        EXPECT_TRUE(std::regex_match(line, e2e::kCombinedLogLine)) << line;
    EXPECT_EQ(lines, 5);
}

TEST_F(DefaultConfigTest, AMimeTypeEditIsLiveAndAPortEditWaitsForARestart)
{
    SeedDefaultConfiguration();
    const std::string reg = BinDir() + "/tools/velmora-reg";
    const std::string product = "HKEY_LOCAL_MACHINE\\Software\\Tessaline\\Velmora";
    const std::string server = product + "\\HTTP\\Servers\\" + std::to_string(m_port) + ":127.0.0.1";
    // A folder of the test's own beside the shipped pages.
    e2e::WriteFile(m_dir / "files/note.txt", "a note\n");
    ASSERT_EQ(Tool({reg, "set", product + "\\HTTP\\Paths\\files", "Location", "REG_SZ", m_dir / "files"}).exitCode, 0);
    ASSERT_EQ(Control("start").exitCode, 0);
    auto typeOf = [&](std::uint16_t port) {
        return Curl({"-o", "/dev/null", "-w", "%{content_type}", URL(port, "/files/note.txt")}).output;
    };
    EXPECT_EQ(typeOf(m_port), "text/plain");

    std::uint16_t newPort = e2e::FreePort();
    ASSERT_EQ(Tool({reg, "set", product + "\\HTTP\\Mappings", "txt", "REG_SZ", "text/x-edited"}).exitCode, 0);
    ASSERT_EQ(Tool({reg, "set", server, "Port", "REG_DWORD", std::to_string(newPort)}).exitCode, 0);
    ASSERT_EQ(Tool({reg, "set", product, "LastMod", "REG_DWORD", "7"}).exitCode, 0);
    // The running service sees the change stamp within its hold-off.
    std::string type;
    for (int i = 0; i < 100 && (type = typeOf(m_port)) != "text/x-edited"; ++i)
        platform::SleepMs(100);
    EXPECT_EQ(type, "text/x-edited") << "a MIME type edit reaches the running service";
    EXPECT_EQ(Curl({"-o", "/dev/null", "-w", "%{http_code}", URL(newPort, "/")}).output, "000")
        << "the new port waits for a restart";

    ASSERT_EQ(Control("stop").exitCode, 0);
    ASSERT_EQ(Control("start").exitCode, 0);
    EXPECT_EQ(typeOf(newPort), "text/x-edited");
    EXPECT_EQ(Curl({"-o", "/dev/null", "-w", "%{http_code}", URL(m_port, "/")}).output, "000");
}

} // namespace

namespace {

class DefaultSiteTest : public DefaultConfigTest {
protected:
    void SetUp() override
    {
        DefaultConfigTest::SetUp();
        if (IsSkipped())
            return;
        if (!e2e::HaveTool("/usr/bin/sqlite3") || !std::filesystem::exists(kSQLiteDriver))
            GTEST_SKIP() << "sqlite3 or the SQLite ODBC driver is not installed";
        // The guest book's data source as make run sets it up.
        e2e::WriteFile(m_dir / "odbcinst.ini", std::string("[SQLite3]\nDriver=") + kSQLiteDriver + "\n");
        e2e::WriteFile(m_dir / "odbc.ini", "[velmora]\nDriver=SQLite3\nDatabase=" + (m_dir / "velmora.db") + "\n");
        ASSERT_EQ(Tool({"sqlite3", m_dir / "velmora.db",
                        "CREATE TABLE guests (id INTEGER PRIMARY KEY, name TEXT, note TEXT);"
                        "INSERT INTO guests (name, note) VALUES ('Ada', 'first guest');"})
                      .exitCode,
                  0);
        ::setenv("ODBCSYSINI", m_dir.Path().c_str(), 1);
        ::setenv("ODBCINI", (m_dir / "odbc.ini").c_str(), 1);
    }
    void TearDown() override
    {
        ::unsetenv("ODBCSYSINI");
        ::unsetenv("ODBCINI");
        DefaultConfigTest::TearDown();
    }
    std::string Guests() { return Tool({"sqlite3", m_dir / "velmora.db", "SELECT group_concat(name, ',') FROM guests;"}).output; }

    static constexpr const char* kSQLiteDriver = "/usr/lib/x86_64-linux-gnu/odbc/libsqlite3odbc.so";
};

} // namespace

// A prefetch or a crawler GETs the guest book with a name in the URL: that
// lists, it does not add. Adding is the form's POST, and a POST without a
// name (or that is no form at all) says why nothing was added.
TEST_F(DefaultSiteTest, TheGuestBookAddsOnlyOnAPostWithAName)
{
    SeedDefaultConfiguration();
    ASSERT_EQ(Control("start").exitCode, 0);
    const std::string book = URL(m_port, "/guests.kav");
    const std::string ask = "Please enter a name";
    struct Case {
        std::vector<std::string> args;
        const char* shows;
        const char* guestsAfter;
        const char* hides = "%";
    };
    const Case cases[] = {
        {{book}, "Ada", "Ada\n"},
        {{book + "?name=Crawler&note=x"}, "Ada", "Ada\n"},
        {{"-d", "name=&note=nobody", book}, "Please enter a name", "Ada\n"},
        {{"-d", "note=nobody", book}, "Please enter a name", "Ada\n"},
        {{"-X", "POST", book}, "Please enter a name", "Ada\n"},
        {{"-H", "Content-Type: text/plain", "-d", "name=Eve", book}, "Please enter a name", "Ada\n"},
        {{"-H", "Content-Type: application/json", "-d", "{\"name\":\"Eve\"}", book}, "Please enter a name", "Ada\n"},
        {{"--data-urlencode", "name=Bo", book}, "Guest 2 was added.", "Ada,Bo\n"},
        // A reload of the page the add led to names the same guest again.
        {{book + "?added=2"}, "Guest 2 was added.", "Ada,Bo\n"},
        {{book + "?added"}, "Bo", "Ada,Bo\n", "Added."},
    };
    for (const Case& test : cases) {
        std::vector<std::string> args = test.args;
        // An added guest is answered with a redirect to the book, followed as a browser does.
        args.insert(args.begin(), {"-L", "-w", "\n%{http_code}"});
        e2e::RunResult reply = Curl(args);
        std::string shown = test.args.back() + (test.args.size() > 1 ? " " + test.args[1] : "");
        EXPECT_TRUE(reply.output.ends_with("\n200")) << shown << "\n" << reply.output;
        EXPECT_NE(reply.output.find(test.shows), std::string::npos) << shown << "\n" << reply.output;
        // "%": no macro of the page is left unexpanded.
        EXPECT_EQ(reply.output.find(test.hides), std::string::npos) << shown << "\n" << reply.output;
        if (std::string(test.shows) != ask) {
            EXPECT_EQ(reply.output.find(ask), std::string::npos) << shown;
        }
        EXPECT_EQ(Guests(), test.guestsAfter) << shown;
    }
    e2e::RunResult added = Curl({"-i", "--data-urlencode", "name=Cy", book});
    EXPECT_TRUE(added.output.starts_with("HTTP/1.0 303 See Other\r\n")) << added.output;
    EXPECT_NE(added.output.find("Location: guests.kav?added=3\r\n"), std::string::npos) << added.output;
    ASSERT_EQ(Control("stop").exitCode, 0);
}

// A name beyond ASCII typed into the guest book's form in a browser is
// stored as UTF-8 and shown as typed: the page says its character set, so
// the browser does not guess one.
TEST_F(DefaultSiteTest, ABrowserAddsAGuestBeyondAsciiAndSeesItAsTyped)
{
    if (!e2e::HaveTool("/usr/bin/chromium") || !e2e::HaveTool("/usr/bin/python3"))
        GTEST_SKIP() << "chromium or /usr/bin/python3 is not installed";
    SeedDefaultConfiguration();
    ASSERT_EQ(Control("start").exitCode, 0);
    const std::string screenshot = BinDir() + "/tests/service/artefacts/guest_book_utf8.png";
    ::unlink(screenshot.c_str());
    e2e::RunResult browser =
        e2e::RunProgram({"timeout", "180", "/usr/bin/python3",
                         std::string(VELMORA_SOURCE_DIR) + "/tests/service/chromium_guests.py",
                         URL(m_port, "/guests.kav"), "Zo\u00EB", screenshot, m_dir / "profile"},
                        m_dir / "browser.out");
    ASSERT_EQ(browser.exitCode, 0) << browser.output;
    EXPECT_NE(browser.output.find("charset: UTF-8\n"), std::string::npos) << browser.output;
    EXPECT_NE(browser.output.find("Guest 2 was added."), std::string::npos) << browser.output;
    EXPECT_NE(browser.output.find("Zo\u00EB"), std::string::npos) << browser.output;
    EXPECT_EQ(Tool({"sqlite3", m_dir / "velmora.db", "SELECT hex(name) FROM guests WHERE id = 2;"}).output, "5A6FC3AB\n");
    EXPECT_GT(e2e::ReadFile(screenshot).size(), 1000u) << screenshot;
    ASSERT_EQ(Control("stop").exitCode, 0);
}

// Two edits in a row with velmora-reg, no stamp written by hand: each is
// served within the stamp's hold-off (the first read after a start counts
// as a change anyway, so only the second proves the stamp was written).
TEST_F(DefaultConfigTest, TwoEditsInARowWithVelmoraRegAreEachServed)
{
    SeedDefaultConfiguration();
    e2e::WriteFile(m_dir / "files/note.txt", "a note\n");
    const std::string reg = BinDir() + "/tools/velmora-reg";
    const std::string product = "HKEY_LOCAL_MACHINE\\Software\\Tessaline\\Velmora";
    ASSERT_EQ(Tool({reg, "set", product + "\\HTTP\\Paths\\files", "Location", "REG_SZ", m_dir / "files"}).exitCode, 0);
    ASSERT_EQ(Control("start").exitCode, 0);
    auto typeOf = [&] { return Curl({"-o", "/dev/null", "-w", "%{content_type}", URL(m_port, "/files/note.txt")}).output; };
    EXPECT_EQ(typeOf(), "text/plain");
    // The hold-off is 10 s; a little more for a loaded machine.
    constexpr int kWaitSteps = 150;
    for (const char* type : {"text/x-first", "text/x-second"}) {
        ASSERT_EQ(Tool({reg, "set", product + "\\HTTP\\Mappings", "txt", "REG_SZ", type}).exitCode, 0);
        std::string served;
        for (int i = 0; i < kWaitSteps && (served = typeOf()) != type; ++i)
            platform::SleepMs(100);
        EXPECT_EQ(served, type) << "the edit must reach the running service within the hold-off";
    }
    ASSERT_EQ(Control("stop").exitCode, 0);
}

// The default site's own pages: the icon browsers ask for, and the help
// page the chat room's Help links lead to.
TEST_F(DefaultConfigTest, TheIconAndTheChatHelpPageAreServed)
{
    SeedDefaultConfiguration();
    ASSERT_EQ(Control("start").exitCode, 0);
    EXPECT_EQ(Curl({"-o", "/dev/null", "-w", "%{http_code} %{content_type}", URL(m_port, "/favicon.ico")}).output,
              "200 image/x-icon");
    const std::string help = "http://127.0.0.1:8080/chat-help.html";
    e2e::RunResult join = Curl({URL(m_chatPort, "/Join")});
    EXPECT_NE(join.output.find("<A HREF=\"" + help + "\">Help</A>"), std::string::npos) << join.output;
    EXPECT_EQ(join.output.find("velmora.example"), std::string::npos) << "a link to a site that does not exist";
    // The seeded site runs on the test's port, not on 8080.
    e2e::RunResult page = Curl({"-w", "\n%{http_code}", URL(m_port, "/chat-help.html")});
    EXPECT_TRUE(page.output.ends_with("\n200")) << page.output;
    EXPECT_NE(page.output.find("<h1>Chat room help</h1>"), std::string::npos);
    ASSERT_EQ(Control("stop").exitCode, 0);
    EXPECT_EQ(Curl({"-o", "/dev/null", "-w", "%{http_code}", URL(m_port, "/")}).output, "000");
}
