// KAV pages that use data through curl: SQL over the SQLite ODBC driver
// (lists, inserts from posted forms read back with the sqlite3 tool, errors,
// concurrent requests) and counters hit concurrently.

#include "e2e_server.h"
#include "eventually.h"
#include "odbc_leaks.h"
#include "raw_client.h"

#include "macro/odbc_thread.h"

#include <dlfcn.h>
#include <sys/wait.h>
#include <spawn.h>
#include <fcntl.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <atomic>
#include <thread>
#include <vector>

using namespace e2e;

namespace {

constexpr const char* kSQLiteDriver = "/usr/lib/x86_64-linux-gnu/odbc/libsqlite3odbc.so";

class KavDataTest : public E2ETest {
protected:
    void SetUp() override
    {
        E2ETest::SetUp();
        if (IsSkipped())
            return;
        if (::access(kSQLiteDriver, R_OK) != 0 || !HaveTool("/usr/bin/sqlite3"))
            GTEST_SKIP() << "the SQLite ODBC driver and sqlite3 (Debian libsqliteodbc, sqlite3) are not installed";
        m_database = m_dir / "data.db";
        WriteFile(m_dir / "odbcinst.ini", std::string("[SQLite3]\nDriver=") + kSQLiteDriver + "\n");
        WriteFile(m_dir / "odbc.ini", "[vdata]\nDriver=SQLite3\nDatabase=" + m_database +
                                          "\n[velmora]\nDriver=SQLite3\nDatabase=" + m_database + "\n");
        dlopen(kSQLiteDriver, RTLD_NOW | RTLD_NODELETE); // its leaks keep a name (odbc_leaks.h)
        ::setenv("ODBCSYSINI", m_dir.Path().c_str(), 1);
        ::setenv("ODBCINI", (m_dir / "odbc.ini").c_str(), 1);
        SQLite("CREATE TABLE people (id INTEGER, name TEXT, note TEXT);");
        std::string rows;
        for (int i = 1; i <= 50; ++i)
            rows += "INSERT INTO people VALUES (" + std::to_string(i) + ", 'name" + std::to_string(i) + "', " +
                    (i == 2 ? "NULL" : "'n" + std::to_string(i) + "'") + ");";
        SQLite(rows);
    }
    void TearDown() override
    {
        E2ETest::TearDown();
        StopODBCThread();
        ::unsetenv("ODBCSYSINI");
        ::unsetenv("ODBCINI");
    }
    std::string SQLite(const std::string& statements)
    {
        return RunProgram({"sqlite3", m_database, statements}, m_dir / "sqlite.out").output;
    }
    // count curl runs at once, each with its own output file.
    std::vector<std::string> Concurrently(int count, const std::function<std::vector<std::string>(int)>& args)
    {
        std::vector<std::string> outputs(count);
        std::vector<std::thread> threads;
        for (int i = 0; i < count; ++i)
            threads.emplace_back([&, i] {
                std::vector<std::string> argv = {"curl", "-s", "--max-time", "30"};
                for (const std::string& a : args(i))
                    argv.push_back(a);
                outputs[i] = RunProgram(argv, m_dir / ("curl" + std::to_string(i) + ".out")).output;
            });
        for (std::thread& thread : threads)
            thread.join();
        return outputs;
    }

    std::string m_database;
};

// A statement that never ends by itself.
constexpr const char* kEndless = "\"WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x+1 FROM c) SELECT max(x) FROM c\"";

// Sets the SQL time-outs for one test and puts the defaults back.
struct Timeouts {
    Timeouts(std::optional<std::uint32_t> query, std::uint32_t login) { SetODBCTimeouts(query, login); }
    ~Timeouts() { SetODBCTimeouts(std::nullopt, 0); }
};

TEST_F(KavDataTest, APageListsRowsWithItsTexts)
{
    std::string big;
    for (int i = 0; i < 100 * 1024; ++i)
        big.push_back(static_cast<char>('a' + i % 26));
    SQLite("UPDATE people SET note='" + big + "' WHERE id=3;");
    std::uint16_t port = FreePort();
    AddServer(port);
    WriteFile(m_root + "/list.htm",
              "%expand%%sql(vdata,\"SELECT id, name, note FROM people WHERE id < 4 ORDER BY id\","
              "'<li>%column(id) %column(NAME) [%column(note)]</li>,'<ul>,'</ul>%num-rows% rows)");
    StartServers();
    RunResult run = Curl({"-w", "|%{http_code}", URL(port, "/list.htm")});
    EXPECT_EQ(run.output, "<ul><li>1 name1 [n1]</li><li>2 name2 []</li><li>3 name3 [" + big + "]</li></ul>3 rows|200");
}

TEST_F(KavDataTest, APostedFormIsInsertedAsDataAndBadSQLIsCaught)
{
    std::uint16_t port = FreePort();
    AddServer(port);
    WriteFile(m_root + "/add.htm", "%expand%%sql-insert(vdata,people,id,name=who,note)added");
    WriteFile(m_root + "/bad.htm", "%expand%%try('%sql(vdata,SELEKT 1),'caught %exception-type%)");
    StartServers();
    RunResult posted = Curl({"--data-urlencode", "id=77", "--data-urlencode", "who=O'Neil \"Q\"",
                             "--data-urlencode", "note=x'); DROP TABLE people; --", URL(port, "/add.htm")});
    EXPECT_EQ(posted.output, "added");
    EXPECT_EQ(SQLite("SELECT name, note FROM people WHERE id=77;"), "O'Neil \"Q\"|x'); DROP TABLE people; --\n");
    EXPECT_EQ(SQLite("SELECT count(*) FROM people;"), "51\n");
    EXPECT_EQ(Curl({URL(port, "/bad.htm")}).output, "caught ODBC");
}

TEST_F(KavDataTest, FiftyConcurrentRequestsEachGetTheirOwnRow)
{
    std::uint16_t port = FreePort();
    AddServer(port);
    WriteFile(m_root + "/row.htm",
              "%expand%%sql(vdata,\"SELECT id, name FROM people WHERE id=%sql-quote(%form(id))\",'%column(id)=%column(name))");
    StartServers();
    // Each client asks for three rows in turn, so that statements keep
    // queueing for the ODBC thread while others finish.
    auto idOf = [](int client, int turn) { return (client + 17 * turn) % 50 + 1; };
    std::vector<std::string> outputs = Concurrently(50, [&](int i) {
        std::vector<std::string> urls;
        for (int turn = 0; turn < 3; ++turn)
            urls.push_back(URL(port, "/row.htm?id=" + std::to_string(idOf(i, turn))));
        return urls;
    });
    for (int i = 0; i < 50; ++i) {
        std::string expected;
        for (int turn = 0; turn < 3; ++turn)
            expected += std::to_string(idOf(i, turn)) + "=name" + std::to_string(idOf(i, turn));
        EXPECT_EQ(outputs[i], expected);
    }
    EXPECT_EQ(Curl({URL(port, "/row.htm?id=5")}).output, "5=name5") << "the server still serves";
}

TEST_F(KavDataTest, FiftyConcurrentHitsCountFifty)
{
    std::uint16_t port = FreePort();
    AddServer(port);
    WriteFile(m_root + "/hit.htm", "%expand%%counter(hits)");
    WriteFile(m_root + "/count.htm", "%expand%%counter(hits,-1)");
    StartServers();
    Concurrently(50, [&](int) { return std::vector<std::string>{URL(port, "/hit.htm")}; });
    EXPECT_EQ(Curl({URL(port, "/count.htm")}).output, "50");
}

TEST_F(KavDataTest, TheShippedGuestBookListsAndAddsRows)
{
    SQLite("CREATE TABLE guests (id INTEGER PRIMARY KEY, name TEXT, note TEXT);"
           "INSERT INTO guests (name, note) VALUES ('Ada', 'first guest'), ('Grace', NULL);");
    std::uint16_t port = FreePort();
    AddServer(port);
    SetValues("HTTP\\Mappings", {{"kav", "text/x-kav"}});
    WriteFile(m_root + "/guests.kav", ReadFile(std::string(VELMORA_SOURCE_DIR) + "/www/guests.kav"));
    StartServers();
    std::string page = Curl({URL(port, "/guests.kav")}).output;
    EXPECT_NE(page.find("<tr><td>1</td><td>Ada</td><td>first guest</td></tr>"), std::string::npos) << page;
    EXPECT_NE(page.find("<tr><td>2</td><td>Grace</td><td></td></tr>"), std::string::npos) << page;
    EXPECT_NE(page.find("<p>2 guests.</p>"), std::string::npos) << page;
    // The POST is answered with a redirect to the page, so a reload shows
    // the book again instead of adding the guest again.
    EXPECT_EQ(Curl({"-o", "/dev/null", "-w", "%{http_code} %{redirect_url}", "--data-urlencode", "name=Cy",
                    URL(port, "/guests.kav")})
                  .output,
              "303 " + URL(port, "/guests.kav?added=3"));
    page = Curl({"-L", "--data-urlencode", "name=<b>Bo</b>", "--data-urlencode", "note=a & b", URL(port, "/guests.kav")})
               .output;
    EXPECT_NE(page.find("<p>Guest 4 was added.</p>"), std::string::npos) << page;
    EXPECT_NE(page.find("<tr><td>4</td><td>&lt;b&gt;Bo&lt;/b&gt;</td><td>a &amp; b</td></tr>"), std::string::npos) << page;
    EXPECT_EQ(SQLite("SELECT name FROM guests WHERE id=4;"), "<b>Bo</b>\n");
    EXPECT_EQ(Curl({URL(port, "/guests.kav?added=4")}).output, page) << "a reload adds nothing";
    EXPECT_EQ(SQLite("SELECT count(*) FROM guests;"), "4\n");

    // A NUL in a value would end the statement's text early: refused, saying why.
    page = Curl({"-L", "--data", "name=a%00b", URL(port, "/guests.kav")}).output;
    EXPECT_NE(page.find("<p>The guest was not added: (22000) The value of form field name holds a NUL character"),
              std::string::npos)
        << page;
    EXPECT_EQ(SQLite("SELECT count(*) FROM guests;"), "4\n");

    // A failed insert says so, and never that a guest was added.
    SQLite("ALTER TABLE guests RENAME TO visitors;");
    page = Curl({"-L", "--data-urlencode", "name=Di", URL(port, "/guests.kav")}).output;
    EXPECT_EQ(page.find(" was added."), std::string::npos) << page;
    EXPECT_NE(page.find("<p>The guest was not added: "), std::string::npos) << page;
}

// A client that gives up on an endless statement has it cancelled, and
// the pages after it get their rows; with the time-out an hour away only
// its leaving can have ended it.
TEST_F(KavDataTest, AStatementWhoseClientLeftIsCancelledAndTheNextPageIsServed)
{
    Timeouts timeouts(3600, 0);
    std::uint16_t port = FreePort();
    AddServer(port);
    WriteFile(m_root + "/endless.htm", "%expand%%sql(vdata," + std::string(kEndless) + ",'%column(1))");
    WriteFile(m_root + "/row.htm", "%expand%%sql(vdata,SELECT name FROM people WHERE id=7,'%column(1))");
    StartServers();
    std::thread gone([&] { RunProgram({"curl", "-s", "--max-time", "3", URL(port, "/endless.htm")}, m_dir / "gone.out"); });
    EXPECT_TRUE(Eventually([] { return ODBCStatementsInFlight() == 1; }, 30000));
    gone.join();
    EXPECT_EQ(RunProgram({"curl", "-s", "--max-time", "60", URL(port, "/row.htm")}, m_dir / "row.out").output, "name7");
    EXPECT_EQ(ODBCStatementsInFlight(), 0u);
}

// The servers' stop shuts the connections down, which cancels the
// statement they wait for: the stop ends long before the time-out.
TEST_F(KavDataTest, AStopWithAStatementInFlightEndsWithinTheTimeOut)
{
    Timeouts timeouts(kODBCDefaultQueryTimeoutSeconds, 0);
    std::uint16_t port = FreePort();
    AddServer(port);
    WriteFile(m_root + "/endless.htm", "%expand%%sql(vdata," + std::string(kEndless) + ",'%column(1))");
    StartServers();
    std::thread client([&] { RunProgram({"curl", "-s", "--max-time", "120", URL(port, "/endless.htm")}, m_dir / "c.out"); });
    ASSERT_TRUE(Eventually([] { return ODBCStatementsInFlight() == 1; }, 30000));
    const auto started = std::chrono::steady_clock::now();
    StopAllServers();
    StopODBCThread();
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(kODBCDefaultQueryTimeoutSeconds));
    client.join();
}

// An async-sql statement runs on its connection's own worker; stuck, it
// holds the connections that worker already serves only until its
// time-out cancels it. Each kept-alive connection is answered once before
// the statement starts, so some of them live on the stuck worker.
TEST_F(KavDataTest, AStuckAsyncStatementStrandsNoKeptAliveConnection)
{
    constexpr int kConnections = 200;
    ASSERT_TRUE(RaiseOpenFileLimit(4 * kConnections));
    Timeouts timeouts(2, 0);
    std::uint16_t port = FreePort();
    Key(AddServer(port)).SetDword("KeepAliveTimeout", 60);
    WriteFile(m_root + "/stuck.htm", "%expand%%set(async-sql,1)%sql(vdata," + std::string(kEndless) + ",'%column(1))");
    WriteFile(m_root + "/hello.txt", "hello");
    StartServers();
    const std::string get = "GET /hello.txt HTTP/1.0\r\nConnection: keep-alive\r\n\r\n";
    std::vector<std::unique_ptr<RawClient>> clients;
    for (int i = 0; i < kConnections; ++i) {
        clients.push_back(std::make_unique<RawClient>(port));
        ParsedReply reply;
        ASSERT_TRUE(clients.back()->Send(get));
        ASSERT_EQ(clients.back()->Read(30000, reply), RawClient::kReply);
    }
    std::string stuck;
    std::thread client([&] {
        stuck = RunProgram({"curl", "-s", "--max-time", "120", URL(port, "/stuck.htm")}, m_dir / "stuck.out").output;
    });
    ASSERT_TRUE(Eventually([] { return ODBCStatementsInFlight() == 1; }, 30000));
    for (auto& raw : clients)
        EXPECT_TRUE(raw->Send(get));
    const std::uint64_t deadline = NowMs() + 60000;
    int answered = 0;
    for (auto& raw : clients) {
        ParsedReply reply;
        // A reply already there is taken even once the deadline has passed.
        const std::uint64_t now = NowMs();
        if (raw->Read(std::max<std::uint64_t>(deadline > now ? deadline - now : 0, 100), reply) == RawClient::kReply &&
            reply.body == "hello")
            ++answered;
    }
    EXPECT_EQ(answered, kConnections);
    client.join();
    EXPECT_EQ(stuck.rfind("[ODBC error 0: (HYT00) Timeout expired", 0), 0u) << stuck;
}

// The database file locked by another process (an operator's sqlite3
// shell inside a transaction): every page, synchronous or not, is answered
// near the query time-out, and a write the page did not make is not made
// once the lock is let go.
TEST_F(KavDataTest, AFileLockedByAnotherProcessFailsItsPagesAtTheTimeOut)
{
    constexpr std::uint32_t kQuerySeconds = 3;
    Timeouts timeouts(kQuerySeconds, 0);
    std::uint16_t port = FreePort();
    AddServer(port);
    const std::string caught = ",'caught %exception-msg%)";
    WriteFile(m_root + "/insert.htm", "%expand%%try('%sql(vdata,\"INSERT INTO people (id) VALUES (900)\")" + caught);
    WriteFile(m_root + "/list.htm", "%expand%%try('%sql(vdata,SELECT count(*) FROM people,'%column(1))" + caught);
    WriteFile(m_root + "/alist.htm", "%expand%%set(async-sql,1)%try('%sql(vdata,SELECT count(*) FROM people,'%column(1))" +
                                         caught);
    StartServers();
    ASSERT_EQ(Curl({URL(port, "/list.htm")}).output, "50");

    // The shell takes the lock, says so, and holds it until its input ends.
    int input[2], output[2];
    ASSERT_EQ(::pipe2(input, O_CLOEXEC), 0);
    ASSERT_EQ(::pipe2(output, O_CLOEXEC), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, input[0], 0);
    posix_spawn_file_actions_adddup2(&actions, output[1], 1);
    std::vector<char*> argv = {const_cast<char*>("sqlite3"), const_cast<char*>(m_database.c_str()), nullptr};
    pid_t shell = -1;
    ASSERT_EQ(posix_spawnp(&shell, "sqlite3", &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    ::close(input[0]);
    ::close(output[1]);
    const std::string hold = "BEGIN EXCLUSIVE; SELECT 'locked';\n";
    ASSERT_EQ(::write(input[1], hold.data(), hold.size()), static_cast<ssize_t>(hold.size()));
    std::string said;
    EXPECT_TRUE(Eventually([&] {
        char buffer[64];
        if (platform::WaitHandle(output[0], false, 100) == 1) {
            const ssize_t got = ::read(output[0], buffer, sizeof buffer);
            if (got > 0)
                said.append(buffer, static_cast<std::size_t>(got));
        }
        return said.find("locked") != std::string::npos;
    }, 30000));

    struct Fetch {
        std::string page;
        std::string body;
        double seconds = 0;
        std::thread client;
    };
    Fetch fetches[3];
    fetches[0].page = "/insert.htm";
    fetches[1].page = "/list.htm";
    fetches[2].page = "/alist.htm";
    std::atomic<int> done{0};
    for (Fetch& fetch : fetches)
        fetch.client = std::thread([&] {
            const auto started = std::chrono::steady_clock::now();
            fetch.body = RunProgram({"curl", "-s", "--max-time", "120", URL(port, fetch.page)},
                                    m_dir / (fetch.page.substr(1) + ".out"))
                             .output;
            fetch.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
            ++done;
        });
    // The lock goes once every page is answered, or after a while in any case.
    Eventually([&] { return done == 3; }, 30000);
    ::close(input[1]);
    for (Fetch& fetch : fetches)
        fetch.client.join();
    int status = 0;
    ::waitpid(shell, &status, 0);
    ::close(output[0]);

    // The synchronous pages take their turns on the one request thread.
    const double bound = 3 * kQuerySeconds + (kODBCCancelGraceMs + SlackMs()) / 1000.0;
    for (const Fetch& fetch : fetches) {
        EXPECT_EQ(fetch.body.rfind("caught (", 0), 0u) << fetch.page << ": " << fetch.body;
        EXPECT_LT(fetch.seconds, bound) << fetch.page << ": " << fetch.body;
        std::printf("%s %.1f s: %s\n", fetch.page.c_str(), fetch.seconds, fetch.body.c_str());
    }
    EXPECT_EQ(SQLite("SELECT count(*) FROM people WHERE id = 900;"), "0\n");
}

} // namespace
