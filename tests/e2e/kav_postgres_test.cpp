// The same KAV data pages against a real PostgreSQL server through its ODBC
// driver: a cluster made by the test in a temporary folder, run as an
// unprivileged user on a free port with a real role and password, and
// stopped at the end. Inserts are read back with psql.

#include "e2e_server.h"

#include "eventually.h"
#include "macro/odbc_thread.h"
#include "platform/net.h"

#include <arpa/inet.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <sstream>
#include <thread>

using namespace e2e;

namespace {

constexpr const char* kPostgresBin = "/usr/lib/postgresql/15/bin";
constexpr const char* kPostgresDriver = "/usr/lib/x86_64-linux-gnu/odbc/psqlodbcw.so";
constexpr const char* kSQLiteDriver = "/usr/lib/x86_64-linux-gnu/odbc/libsqlite3odbc.so";
constexpr const char* kRole = "velmora";
// The sanitizers slow every connect, hand-over and cancel of a page several
// times over; there a page's bound only shows it did not wait its turn.
#if defined(VELMORA_SANITIZE) || defined(__SANITIZE_ADDRESS__)
constexpr double kSanitizerSeconds = 6;
#else
constexpr double kSanitizerSeconds = 0;
#endif
constexpr const char* kPassword = "s3cret;pw";
// Few, as on a small database, so that a burst that ignored its source's
// ceiling would run out of them.
constexpr int kMaxConnections = 30;

// A relay to the database that holds the database's first reply on each
// connection for a while, as a far or busy database's login takes.
class SlowLoginRelay {
public:
    SlowLoginRelay(std::uint16_t target, int holdMs) : m_target(target), m_holdMs(holdMs)
    {
        m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        EXPECT_EQ(::bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        EXPECT_EQ(::listen(m_listener, 64), 0);
        EXPECT_EQ(::getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
        m_port = ntohs(address.sin_port);
        m_acceptor = std::thread([this] { Accept(); });
    }
    ~SlowLoginRelay()
    {
        m_stop = true;
        m_acceptor.join();
        for (std::thread& pump : m_pumps)
            pump.join();
        ::close(m_listener);
    }
    std::uint16_t Port() const { return m_port; }

private:
    void Accept()
    {
        while (!m_stop) { // each round ends within the poll's limit
            if (platform::WaitHandle(m_listener, false, 100) != 1)
                continue;
            const int client = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (client >= 0)
                m_pumps.emplace_back([this, client] { Pump(client); });
        }
    }
    void Pump(int client)
    {
        const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(m_target);
        bool open = ::connect(server, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        bool held = false;
        char buffer[16384];
        while (open && !m_stop) { // each round ends within the poll's limit
            pollfd fds[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
            if (::poll(fds, 2, 100) <= 0)
                continue;
            for (int side = 0; side < 2 && open; ++side) {
                if (fds[side].revents == 0)
                    continue;
                const ssize_t got = ::recv(fds[side].fd, buffer, sizeof buffer, 0);
                if (got <= 0) {
                    open = false;
                    break;
                }
                if (side == 1 && !held) {
                    held = true;
                    std::this_thread::sleep_for(std::chrono::milliseconds(m_holdMs)); // the slow login itself
                }
                open = ::send(fds[1 - side].fd, buffer, static_cast<std::size_t>(got), MSG_NOSIGNAL) == got;
            }
        }
        ::close(server);
        ::close(client);
    }
    std::uint16_t m_target;
    int m_holdMs;
    int m_listener = -1;
    std::uint16_t m_port = 0;
    std::atomic<bool> m_stop{false};
    std::thread m_acceptor;
    std::vector<std::thread> m_pumps;
};

class KavPostgresTest : public E2ETest {
protected:
    void SetUp() override
    {
        E2ETest::SetUp();
        if (IsSkipped())
            return;
        if (::access((std::string(kPostgresBin) + "/initdb").c_str(), X_OK) != 0 || ::access(kPostgresDriver, R_OK) != 0 ||
            !HaveTool("/usr/bin/psql"))
            GTEST_SKIP() << "PostgreSQL 15 and its ODBC driver (Debian postgresql, odbc-postgresql) are not installed";
        // The server refuses to run as root: as root it runs as nobody.
        char pattern[] = "/tmp/velmora-pg-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        m_pg = pattern;
        if (::geteuid() == 0) {
            passwd* nobody = ::getpwnam("nobody");
            ASSERT_NE(nobody, nullptr);
            ASSERT_EQ(::chown(m_pg.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
            m_asUser = {"runuser", "-u", "nobody", "--"};
        }
        WriteFile(m_pg + "/pw", kPassword);
        ::chmod((m_pg + "/pw").c_str(), 0644);
        ASSERT_EQ(Pg({"initdb", "-D", m_pg + "/data", "-U", kRole, "--auth=scram-sha-256", "--pwfile=" + m_pg + "/pw"}), 0);
        m_port = FreePort();
        ASSERT_EQ(StartCluster(), 0);
        m_started = true;
        WriteFile(m_dir / "odbcinst.ini", std::string("[PostgreSQL]\nDriver=") + kPostgresDriver + "\n");
        WriteFile(m_dir / "odbc.ini", "[vpg]\nDriver=PostgreSQL\nServername=127.0.0.1\nPort=" + std::to_string(m_port) +
                                          "\nDatabase=postgres\n");
        dlopen(kPostgresDriver, RTLD_NOW | RTLD_NODELETE); // its leaks keep a name (odbc_leaks.h)
        ::setenv("ODBCSYSINI", m_dir.Path().c_str(), 1);
        ::setenv("ODBCINI", (m_dir / "odbc.ini").c_str(), 1);
        ::setenv("PGPASSWORD", kPassword, 1);
        Psql("CREATE TABLE people (id INTEGER, name TEXT, note TEXT); "
             "INSERT INTO people VALUES (1, 'name1', 'n1'), (2, 'name2', NULL), (3, 'name3', 'n3');");
    }
    void TearDown() override
    {
        if (m_frozen)
            SignalCluster("-CONT");
        E2ETest::TearDown();
        StopODBCThread();
        for (int listener : m_listeners)
            ::close(listener);
        if (m_started)
            Pg({"pg_ctl", "-D", m_pg + "/data", "-m", "fast", "-w", "-t", "30", "stop"});
        if (!m_pg.empty())
            std::filesystem::remove_all(m_pg);
        for (const char* name : {"ODBCSYSINI", "ODBCINI", "PGPASSWORD"})
            ::unsetenv(name);
    }
    int StartCluster()
    {
        return Pg({"pg_ctl", "-D", m_pg + "/data", "-l", m_pg + "/log", "-w", "-t", "30", "-o",
                   "-p " + std::to_string(m_port) + " -k " + m_pg +
                       " -c listen_addresses=127.0.0.1 -c max_connections=" + std::to_string(kMaxConnections),
                   "start"});
    }
    int Pg(std::vector<std::string> args)
    {
        args[0] = std::string(kPostgresBin) + "/" + args[0];
        args.insert(args.begin(), m_asUser.begin(), m_asUser.end());
        return RunProgram(args, m_dir / "pg.out").exitCode;
    }
    std::string Psql(const std::string& sql)
    {
        return RunProgram({"psql", "-h", "127.0.0.1", "-p", std::to_string(m_port), "-U", kRole, "-d", "postgres", "-At",
                           "-c", sql},
                          m_dir / "psql.out")
            .output;
    }
    // A page that lists the people through the role's plain password (the
    // fixture's holds a ';', which ends the password field).
    std::string ListPage()
    {
        Psql(std::string("ALTER ROLE ") + kRole + " PASSWORD 'plainpw';");
        return "%expand%%sql(vpg;" + std::string(kRole) + ";plainpw,\"SELECT name FROM people ORDER BY id\",'%column(1)|)";
    }
    // The connections the database serves now, psql's own aside.
    int ClientConnections()
    {
        return std::atoi(Psql("SELECT count(*) FROM pg_stat_activity WHERE backend_type = 'client backend' "
                              "AND pid <> pg_backend_pid();")
                             .c_str());
    }
    // A data source on a host that takes connections (the kernel completes
    // the handshakes) and never answers; the listener is closed at the end.
    int AddSilentSource(const std::string& name)
    {
        int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        EXPECT_GE(listener, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        EXPECT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        EXPECT_EQ(::listen(listener, 16), 0);
        EXPECT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
        WriteFile(m_dir / "odbc.ini", ReadFile(m_dir / "odbc.ini") + "[" + name + "]\nDriver=PostgreSQL\nServername=127.0.0.1\nPort=" +
                                          std::to_string(ntohs(address.sin_port)) + "\nDatabase=postgres\n");
        m_listeners.push_back(listener);
        return listener;
    }
    // Stops (-STOP) or resumes (-CONT) the postmaster and every backend, as
    // a host that froze or was swapped out and came back.
    void SignalCluster(const char* signal)
    {
        const std::string lines = ReadFile(m_pg + "/data/postmaster.pid");
        const std::string pid = lines.substr(0, lines.find('\n'));
        ASSERT_EQ(RunProgram({"kill", signal, pid}, m_dir / "kill.out").exitCode, 0);
        RunProgram({"pkill", signal, "-P", pid}, m_dir / "pkill.out");
        m_frozen = std::string(signal) == "-STOP";
    }
    // A SQLite source beside the cluster's.
    void AddSQLiteSource(const std::string& name)
    {
        WriteFile(m_dir / "odbcinst.ini", ReadFile(m_dir / "odbcinst.ini") + "[SQLite3]\nDriver=" + kSQLiteDriver + "\n");
        WriteFile(m_dir / "odbc.ini", ReadFile(m_dir / "odbc.ini") + "[" + name + "]\nDriver=SQLite3\nDatabase=" +
                                          (m_dir / (name + ".db")) + "\n");
    }
    // A page fetched on a thread of its own: its body and how long it took.
    struct Fetch {
        std::string body;
        double seconds = 0;
        std::thread client;
    };
    void Start(Fetch& fetch, const std::string& url, const std::string& name)
    {
        fetch.client = std::thread([this, &fetch, url, name] {
            const auto started = std::chrono::steady_clock::now();
            fetch.body = RunProgram({"curl", "-s", "--max-time", "60", url}, m_dir / (name + ".out")).output;
            fetch.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        });
    }
    // Pages fetched at once by one curl: each page's body and seconds.
    struct Page {
        std::string body;
        double seconds = 0;
    };
    std::vector<Page> Burst(const std::string& url, int pages, const std::string& name)
    {
        const std::string folder = m_dir / name;
        std::filesystem::create_directories(folder);
        const RunResult run = RunProgram({"curl", "-s", "--parallel", "--parallel-immediate", "--parallel-max",
                                          std::to_string(pages), "--max-time", "120", "-w",
                                          "%{filename_effective} %{time_total}\\n", "-o", folder + "/#1",
                                          url + "?[1-" + std::to_string(pages) + "]"},
                                         m_dir / (name + ".out"));
        std::vector<Page> got(pages);
        std::istringstream lines(run.output);
        std::string file;
        for (double seconds = 0; lines >> file >> seconds;) {
            const int index = std::atoi(std::filesystem::path(file).filename().c_str());
            if (index >= 1 && index <= pages)
                got[index - 1].seconds = seconds;
        }
        for (int i = 0; i < pages; ++i)
            got[i].body = ReadFile(folder + "/" + std::to_string(i + 1));
        return got;
    }
    // Statements of the text given running in the database now.
    int Running(const std::string& text)
    {
        return std::atoi(Psql("SELECT count(*) FROM pg_stat_activity WHERE state = 'active' AND query = '" + text + "';")
                             .c_str());
    }
    std::string m_pg;
    bool m_frozen = false;
    std::vector<int> m_listeners;
    std::vector<std::string> m_asUser;
    std::uint16_t m_port = 0;
    bool m_started = false;
};

TEST_F(KavPostgresTest, TheSamePagesListInsertAndCatchErrors)
{
    std::uint16_t port = FreePort();
    AddServer(port);
    // The password field ends at a ';': the role gets one without.
    Psql(std::string("ALTER ROLE ") + kRole + " PASSWORD 'plainpw';");
    const std::string source = "VPG;" + std::string(kRole) + ";plainpw";
    WriteFile(m_root + "/list.htm",
              "%expand%%sql(" + source + ",\"SELECT id, name, note FROM people ORDER BY id\","
              "'<li>%column(id) %column(NAME) [%column(note)]</li>,'<ul>,'</ul>%num-rows% rows)");
    WriteFile(m_root + "/add.htm", "%expand%%sql-insert(" + source + ",people,id,name=who,note)added");
    WriteFile(m_root + "/bad.htm", "%expand%%try('%sql(" + source + ",SELEKT 1),'caught %exception-type%)");
    WriteFile(m_root + "/wrongpw.htm", "%expand%%try('%sql(vpg;" + std::string(kRole) + ";nope,SELECT 1),'caught %exception-type%)");
    StartServers();
    EXPECT_EQ(Curl({URL(port, "/list.htm")}).output,
              "<ul><li>1 name1 [n1]</li><li>2 name2 []</li><li>3 name3 [n3]</li></ul>3 rows");
    EXPECT_EQ(Curl({"--data-urlencode", "id=77", "--data-urlencode", "who=O'Neil \"Q\" \\",
                    "--data-urlencode", "note=x'); DROP TABLE people; --", URL(port, "/add.htm")})
                  .output,
              "added");
    ::setenv("PGPASSWORD", "plainpw", 1);
    EXPECT_EQ(Psql("SELECT name || '|' || note FROM people WHERE id=77;"), "O'Neil \"Q\" \\|x'); DROP TABLE people; --\n");
    EXPECT_EQ(Psql("SELECT count(*) FROM people;"), "4\n");
    EXPECT_EQ(Curl({URL(port, "/bad.htm")}).output, "caught ODBC");
    EXPECT_EQ(Curl({URL(port, "/wrongpw.htm")}).output, "caught ODBC");
}

// Sets the SQL time-outs for one test and puts the defaults back.
struct Timeouts {
    Timeouts(std::optional<std::uint32_t> query, std::uint32_t login) { SetODBCTimeouts(query, login); }
    ~Timeouts() { SetODBCTimeouts(std::nullopt, 0); }
};

// A database host that takes the connection and never answers: the
// connect fails within the login time-out, and a page on another source
// is served meanwhile.
TEST_F(KavPostgresTest, AHostThatNeverAnswersFailsWithinTheLoginTimeOut)
{
    // Long enough for the healthy source's own connect on a loaded machine.
    Timeouts timeouts(std::nullopt, 5);
    const int listener = AddSilentSource("vhang");
    std::uint16_t port = FreePort();
    AddServer(port);
    WriteFile(m_root + "/hang.htm", "%expand%%try('%sql(vhang;" + std::string(kRole) + ";x,SELECT 1),'caught %exception-type%)");
    WriteFile(m_root + "/list.htm", ListPage());
    StartServers();
    std::string hang;
    std::thread client([&] {
        hang = RunProgram({"curl", "-s", "--max-time", "120", URL(port, "/hang.htm")}, m_dir / "hang.out").output;
    });
    // The driver's connection waits in the listener's queue.
    EXPECT_TRUE(Eventually([listener] { return platform::WaitHandle(listener, false, 0) == 1; }, 30000));
    EXPECT_EQ(RunProgram({"curl", "-s", "--max-time", "60", URL(port, "/list.htm")}, m_dir / "list.out").output,
              "name1|name2|name3|");
    client.join();
    EXPECT_EQ(hang, "caught ODBC");
}

// A restart ends every pooled connection; the first page after it meets
// the lost one, which is dropped, and gets its rows on a new connection.
TEST_F(KavPostgresTest, TheFirstPageAfterADatabaseRestartGetsItsRows)
{
    std::uint16_t port = FreePort();
    AddServer(port);
    WriteFile(m_root + "/list.htm", ListPage());
    StartServers();
    EXPECT_EQ(Curl({URL(port, "/list.htm")}).output, "name1|name2|name3|");
    for (const char* mode : {"fast", "immediate"}) {
        ASSERT_EQ(Pg({"pg_ctl", "-D", m_pg + "/data", "-l", m_pg + "/log", "-m", mode, "-w", "-t", "30", "restart"}), 0);
        for (int page = 0; page < 3; ++page)
            EXPECT_EQ(Curl({URL(port, "/list.htm")}).output, "name1|name2|name3|") << mode << " restart, page " << page;
    }
}

// Sets the connections per source for one test and puts the default back.
struct Ceiling {
    explicit Ceiling(std::uint32_t connections) { SetODBCMaxConnections(connections); }
    ~Ceiling() { SetODBCMaxConnections(std::nullopt); }
};

// A burst of async-sql pages on one source keeps to the source's ceiling:
// the pages beyond it wait their turn and all get their rows, and the
// spares close once the burst is over, with no later page to close them.
TEST_F(KavPostgresTest, ABurstKeepsToTheCeilingAndItsSparesCloseAfterIt)
{
    constexpr int kPages = 40;
    constexpr int kCeiling = 4;
    Ceiling ceiling(kCeiling);
    struct Period {
        Period() { SetODBCSpareDemandPeriodMs(100); }
        ~Period() { SetODBCSpareDemandPeriodMs(0); }
    } shortPeriod;
    std::uint16_t port = FreePort();
    AddServer(port);
    Psql(std::string("ALTER ROLE ") + kRole + " PASSWORD 'plainpw';");
    ::setenv("PGPASSWORD", "plainpw", 1);
    WriteFile(m_root + "/burst.htm", "%expand%%set(async-sql,1)%sql(vpg;" + std::string(kRole) +
                                         ";plainpw,\"SELECT 7, pg_sleep(0.2)\",'%column(1))");
    StartServers();
    std::vector<std::string> pages(kPages);
    std::atomic<int> running{kPages};
    std::vector<std::thread> clients;
    for (int i = 0; i < kPages; ++i)
        clients.emplace_back([&, i] {
            pages[i] = RunProgram({"curl", "-s", "--max-time", "120", URL(port, "/burst.htm")},
                                  m_dir / ("burst" + std::to_string(i) + ".out"))
                           .output;
            --running;
        });
    int peak = 0;
    while (running > 0) // bounded by curl's own limit
        peak = std::max(peak, ClientConnections());
    for (std::thread& client : clients)
        client.join();
    EXPECT_EQ(std::count(pages.begin(), pages.end(), "7"), kPages) << "one page gave: " << pages[0];
    EXPECT_LE(peak, kCeiling);
    EXPECT_TRUE(Eventually([this] { return ClientConnections() == 1; }, 30000)) << "the spares stayed open";
}

// Pages on a database host that takes connections and never answers hold
// only themselves: a page on another source, on the request thread or with
// async-sql, is served while their connects wait; once those failed, the
// source fails at once for a while.
TEST_F(KavPostgresTest, ADeadHostHoldsOnlyItsOwnPages)
{
    constexpr int kHangPages = 10;
    constexpr std::uint32_t kLoginSeconds = 10;
    Timeouts timeouts(std::nullopt, kLoginSeconds);
    const int listener = AddSilentSource("vhang");
    std::uint16_t port = FreePort();
    AddServer(port);
    WriteFile(m_root + "/hang.htm", "%expand%%try('%sql(vhang;" + std::string(kRole) + ";x,SELECT 1),'caught %exception-type%)");
    WriteFile(m_root + "/list.htm", ListPage());
    WriteFile(m_root + "/alist.htm", "%expand%%set(async-sql,1)" + ListPage().substr(std::string("%expand%").size()));
    WriteFile(m_root + "/hang-why.htm", "%expand%%try('%sql(vhang;" + std::string(kRole) + ";x,SELECT 1),'%exception-msg%)");
    StartServers();
    for (const char* page : {"/list.htm", "/alist.htm"})
        ASSERT_EQ(Curl({URL(port, page)}).output, "name1|name2|name3|") << page;

    std::vector<std::string> hang(kHangPages);
    std::atomic<int> hangDone{0};
    std::vector<std::thread> clients;
    for (int i = 0; i < kHangPages; ++i)
        clients.emplace_back([&, i] {
            hang[i] = RunProgram({"curl", "-s", "--max-time", "120", URL(port, "/hang.htm")},
                                 m_dir / ("hang" + std::to_string(i) + ".out"))
                          .output;
            ++hangDone;
        });
    EXPECT_TRUE(Eventually([listener] { return platform::WaitHandle(listener, false, 0) == 1; }, 30000));
    for (const char* page : {"/list.htm", "/alist.htm"})
        EXPECT_EQ(Curl({URL(port, page)}).output, "name1|name2|name3|") << page;
    EXPECT_EQ(hangDone.load(), 0) << "the healthy source's pages waited behind the dead host's connects";
    for (std::thread& client : clients)
        client.join();
    EXPECT_EQ(std::count(hang.begin(), hang.end(), "caught ODBC"), kHangPages);

    const auto started = std::chrono::steady_clock::now();
    const std::string refused = Curl({URL(port, "/hang-why.htm")}).output;
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(kLoginSeconds / 2))
        << "a source whose connect just timed out was tried again at once";
    EXPECT_NE(refused.find("; no connect was tried: the last one timed out "), std::string::npos) << refused;
}

// Pages on a host that takes the connection and never answers the login
// each wait at most one login time-out: those that queued behind the first
// connect fail with its outcome rather than making a second of their own.
// Several such sources at once, each its own burst.
TEST_F(KavPostgresTest, PagesOnASilentHostWaitOneLoginTimeOutAtMost)
{
    constexpr int kSources = 10;
    constexpr int kPages = 3;
    constexpr std::uint32_t kLoginSeconds = 4;
    Timeouts timeouts(std::nullopt, kLoginSeconds);
    std::uint16_t port = FreePort();
    AddServer(port);
    for (int i = 0; i < kSources; ++i) {
        const std::string name = "vhang" + std::to_string(i);
        AddSilentSource(name);
        WriteFile(m_root + "/" + name + ".htm",
                  "%expand%%try('%sql(" + name + ";" + std::string(kRole) + ";x,SELECT 1),'caught %exception-type%)");
    }
    StartServers();
    std::vector<std::vector<Page>> bursts(kSources);
    std::vector<std::thread> clients;
    for (int i = 0; i < kSources; ++i)
        clients.emplace_back([&, i] {
            const std::string name = "vhang" + std::to_string(i);
            bursts[i] = Burst(URL(port, "/" + name + ".htm"), kPages, name);
        });
    for (std::thread& client : clients)
        client.join();
    double longest = 0;
    for (const std::vector<Page>& burst : bursts) {
        for (const Page& page : burst) {
            EXPECT_EQ(page.body, "caught ODBC");
            longest = std::max(longest, page.seconds);
        }
    }
    // Two login time-outs would be 8 s (the driver may give up to a second early).
    EXPECT_LT(longest, kLoginSeconds * 1.5 + SlackMs() / 1000.0 + kSanitizerSeconds);
    std::printf("%d pages on %d silent hosts, the longest %.1f s\n", kSources * kPages, kSources, longest);
}

// A pooled connection the database ended a moment before a page uses it is
// seen to be gone before the statement is sent: the page connects afresh
// and gets its rows, on the request thread and with async-sql.
TEST_F(KavPostgresTest, AConnectionEndedJustBeforeThePageIsNotUsed)
{
    std::uint16_t port = FreePort();
    AddServer(port);
    Psql(std::string("ALTER ROLE ") + kRole + " PASSWORD 'plainpw';");
    const std::string source = "vpg;" + std::string(kRole) + ";plainpw";
    // The page says which backend served it, then lists the people.
    const std::string page = "%sql(" + source + ",\"SELECT pg_backend_pid()\",'%column(1))/%sql(" + source +
                             ",\"SELECT name FROM people ORDER BY id\",'%column(1)|)";
    WriteFile(m_root + "/list.htm", "%expand%" + page);
    WriteFile(m_root + "/alist.htm", "%expand%%set(async-sql,1)" + page);
    StartServers();
    double longest = 0;
    for (const char* path : {"/list.htm", "/alist.htm"}) {
        std::string served = Curl({URL(port, path)}).output;
        for (int round = 0; round < 3; ++round) {
            const std::size_t slash = served.find('/');
            ASSERT_NE(slash, std::string::npos) << served;
            ASSERT_EQ(served.substr(slash), "/name1|name2|name3|") << path;
            // What pg_terminate_backend does, at once, with no psql to start
            // meanwhile: the backend of the idle pooled connection is ended.
            const pid_t backend = std::atoi(served.c_str());
            ASSERT_GT(backend, 0) << served;
            ASSERT_EQ(::kill(backend, SIGTERM), 0);
            ASSERT_TRUE(Eventually([backend] { return ::kill(backend, 0) != 0; }, 30000));
            const auto asked = std::chrono::steady_clock::now();
            served = Curl({URL(port, path)}).output;
            longest = std::max(longest, std::chrono::duration<double>(std::chrono::steady_clock::now() - asked).count());
            EXPECT_NE(served.find("/name1|name2|name3|"), std::string::npos) << path << ", round " << round << ": " << served;
        }
    }
    std::printf("the pages after their connection was ended, the longest %.3f s\n", longest);
}

// A statement whose connection is lost after the database ran it is not
// run again: the row it committed is there once, and the page reports the
// loss.
TEST_F(KavPostgresTest, AStatementThatMayHaveRunIsNotRunTwice)
{
    std::uint16_t port = FreePort();
    AddServer(port);
    Psql(std::string("ALTER ROLE ") + kRole + " PASSWORD 'plainpw';");
    ::setenv("PGPASSWORD", "plainpw", 1);
    Psql("CREATE TABLE hits (n INTEGER); CREATE PROCEDURE hit() LANGUAGE plpgsql AS $$ BEGIN "
         "INSERT INTO hits VALUES (1); COMMIT; PERFORM pg_sleep(60); END $$;");
    WriteFile(m_root + "/hit.htm", "%expand%%try('%sql(vpg;" + std::string(kRole) +
                                       ";plainpw,CALL hit()),'caught %exception-type%)");
    StartServers();
    std::string page;
    std::thread client([&] {
        page = RunProgram({"curl", "-s", "--max-time", "120", URL(port, "/hit.htm")}, m_dir / "hit.out").output;
    });
    // The row is committed; the backend is ended before it answers.
    EXPECT_TRUE(Eventually([this] { return Psql("SELECT count(*) FROM hits;") == "1\n"; }, 30000));
    Psql("SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE query LIKE 'CALL hit%';");
    client.join();
    EXPECT_EQ(page, "caught ODBC");
    EXPECT_EQ(Psql("SELECT count(*) FROM hits;"), "1\n");
}

// A database that stops answering once logged in (its processes stopped,
// as a frozen host) holds only its own pages: they fail at the query
// time-out and their connection leaves the pool, while pages on a healthy
// SQLite source are answered, and its endless statement is cancelled, at
// their own time-out meanwhile.
TEST_F(KavPostgresTest, AStoppedDatabaseHoldsOnlyItsOwnPages)
{
    constexpr std::uint32_t kQuerySeconds = 2;
    Timeouts timeouts(kQuerySeconds, 3);
    AddSQLiteSource("vlite");
    std::uint16_t port = FreePort();
    AddServer(port);
    const std::string list = ListPage().substr(std::string("%expand%").size());
    const std::string caught = ",'caught %exception-msg%)";
    WriteFile(m_root + "/pg.htm", "%expand%%try('" + list + caught);
    WriteFile(m_root + "/apg.htm", "%expand%%set(async-sql,1)%try('" + list + caught);
    WriteFile(m_root + "/lite.htm", "%expand%%sql(vlite,SELECT 5,'%column(1))");
    WriteFile(m_root + "/alite.htm", "%expand%%set(async-sql,1)%sql(vlite,SELECT 5,'%column(1))");
    WriteFile(m_root + "/endless.htm", "%expand%%set(async-sql,1)%try('%sql(vlite,\"WITH RECURSIVE c(x) AS (SELECT 1 "
                                       "UNION ALL SELECT x+1 FROM c) SELECT max(x) FROM c\",'%column(1))" + caught);
    StartServers();
    for (const char* page : {"/pg.htm", "/apg.htm"})
        ASSERT_EQ(Curl({URL(port, page)}).output, "name1|name2|name3|") << page;

    SignalCluster("-STOP");
    Fetch pg, apg, lite, alite, endless;
    Start(pg, URL(port, "/pg.htm"), "pg");
    Start(apg, URL(port, "/apg.htm"), "apg");
    EXPECT_TRUE(Eventually([] { return ODBCStatementsInFlight() + ODBCCancelsRunning() >= 1; }, 30000));
    Start(lite, URL(port, "/lite.htm"), "lite");
    Start(alite, URL(port, "/alite.htm"), "alite");
    Start(endless, URL(port, "/endless.htm"), "endless");
    for (Fetch* fetch : {&pg, &apg, &lite, &alite, &endless})
        fetch->client.join();
    // All answered with the database still stopped.
    const std::string timedOut = "caught (HYT00) Timeout expired: the statement ran longer than 2 seconds";
    // The page that had the pooled connection failed at the statement's
    // time-out, the other at its connect's.
    EXPECT_TRUE(pg.body.rfind(timedOut, 0) == 0 || apg.body.rfind(timedOut, 0) == 0) << pg.body << "\n" << apg.body;
    for (Fetch* fetch : {&pg, &apg}) {
        EXPECT_EQ(fetch->body.rfind("caught (", 0), 0u) << fetch->body;
        EXPECT_GE(fetch->seconds, kQuerySeconds) << "failed before its time-out: " << fetch->body;
    }
    EXPECT_EQ(lite.body, "5");
    EXPECT_EQ(alite.body, "5");
    EXPECT_EQ(endless.body.rfind(timedOut, 0), 0u) << endless.body;
    std::printf("answered after (s): pg %.1f, async pg %.1f, sqlite %.1f, async sqlite %.1f, endless %.1f\n", pg.seconds,
                apg.seconds, lite.seconds, alite.seconds, endless.seconds);

    // Back: the given-up connection is not lent again (the page meets at
    // most the pause after the timed-out connect), and the cancels end.
    SignalCluster("-CONT");
    EXPECT_TRUE(Eventually([] { return ODBCCancelsRunning() == 0; }, 30000));
    const std::string first = Curl({URL(port, "/pg.htm")}).output;
    EXPECT_TRUE(first == "name1|name2|name3|" || first.find("; no connect was tried") != std::string::npos) << first;
    for (const char* page : {"/pg.htm", "/apg.htm"})
        EXPECT_TRUE(Eventually([&] { return Curl({URL(port, page)}).output == "name1|name2|name3|"; }, 30000)) << page;
}

namespace {

std::atomic<int> g_giveUps{0};
int g_savedSocket = -1;
int g_unrelatedPeer = -1;

// At the first give-up the number the call waits on is given to another
// connection, and at the second given back, so neither may shut anything
// down; the third finds the call's own socket again.
void SwapWaitedNumber(int descriptor)
{
    const int round = g_giveUps.fetch_add(1);
    if (round == 0) {
        int ends[2];
        g_savedSocket = ::fcntl(descriptor, F_DUPFD_CLOEXEC, 0);
        if (g_savedSocket < 0 || ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0)
            return;
        ::dup3(ends[0], descriptor, O_CLOEXEC);
        ::close(ends[0]);
        g_unrelatedPeer = ends[1];
    } else if (round == 1 && g_savedSocket >= 0) {
        ::dup3(g_savedSocket, descriptor, O_CLOEXEC);
        ::close(g_savedSocket);
        g_savedSocket = -1;
    }
}

} // namespace

// A give-up that shut nothing down is tried again while the call lasts,
// although its cancel (which waits on the stopped database too) was left
// running at the first: the page fails near its time-out, not once the
// database is back.
TEST_F(KavPostgresTest, AGiveUpThatShutNothingDownIsTriedAgain)
{
    constexpr std::uint32_t kQuerySeconds = 2;
    Timeouts timeouts(kQuerySeconds, 3);
    std::uint16_t port = FreePort();
    AddServer(port);
    WriteFile(m_root + "/pg.htm",
              "%expand%%try('" + ListPage().substr(std::string("%expand%").size()) + ",'caught %exception-msg%)");
    StartServers();
    ASSERT_EQ(Curl({URL(port, "/pg.htm")}).output, "name1|name2|name3|");

    g_giveUps.store(0);
    platform::SetShutDownPauseForTesting(&SwapWaitedNumber);
    SignalCluster("-STOP");
    Fetch pg;
    Start(pg, URL(port, "/pg.htm"), "pg");
    pg.client.join(); // curl gives up after 60 s
    platform::SetShutDownPauseForTesting(nullptr);
    EXPECT_EQ(pg.body.rfind("caught (HYT00) Timeout expired", 0), 0u) << pg.body;
    EXPECT_GE(g_giveUps.load(), 3);
    if (g_unrelatedPeer >= 0)
        ::close(g_unrelatedPeer);
    g_unrelatedPeer = -1;
    SignalCluster("-CONT");
}

// A refused connect is not held against the source: the first page once
// the database accepts again gets its rows.
TEST_F(KavPostgresTest, ThePageAfterADatabaseIsBackIsServed)
{
    std::uint16_t port = FreePort();
    AddServer(port);
    WriteFile(m_root + "/list.htm", "%expand%%try('" + ListPage().substr(std::string("%expand%").size()) +
                                        ",'caught %exception-msg%)");
    StartServers();
    ASSERT_EQ(Curl({URL(port, "/list.htm")}).output, "name1|name2|name3|");
    ASSERT_EQ(Pg({"pg_ctl", "-D", m_pg + "/data", "-m", "fast", "-w", "-t", "30", "stop"}), 0);
    const std::string down = Curl({URL(port, "/list.htm")}).output;
    EXPECT_EQ(down.rfind("caught (08001)", 0), 0u) << down;
    ASSERT_EQ(StartCluster(), 0);
    EXPECT_EQ(Curl({URL(port, "/list.htm")}).output, "name1|name2|name3|");
}

// A burst at the ceiling is served whole: a connection given back goes to
// the next page at once, so 400 pages of half a second on 20 connections
// (10 seconds of work) all get their rows, none waiting past the query
// time-out.
TEST_F(KavPostgresTest, ABurstAtTheCeilingIsServedWhole)
{
    constexpr int kPages = 400;
    Ceiling ceiling(20);
    std::uint16_t port = FreePort();
    AddServer(port);
    Psql(std::string("ALTER ROLE ") + kRole + " PASSWORD 'plainpw';");
    WriteFile(m_root + "/burst.htm", "%expand%%set(async-sql,1)%sql(vpg;" + std::string(kRole) +
                                         ";plainpw,\"SELECT 7, pg_sleep(0.5)\",'%column(1))");
    StartServers();
    std::filesystem::create_directories(m_dir / "burst");
    const RunResult burst =
        RunProgram({"curl", "-s", "--parallel", "--parallel-immediate", "--parallel-max", std::to_string(kPages),
                    "--max-time", "120", "-w", "%{time_total}\\n", "-o", m_dir / "burst/page#1",
                    URL(port, "/burst.htm?[1-" + std::to_string(kPages) + "]")},
                   m_dir / "burst.out");
    int good = 0;
    std::string other;
    for (int i = 1; i <= kPages; ++i) {
        const std::string page = ReadFile(m_dir / ("burst/page" + std::to_string(i)));
        if (page == "7")
            ++good;
        else
            other = page;
    }
    double longest = 0;
    std::istringstream times(burst.output);
    for (double seconds = 0; times >> seconds;)
        longest = std::max(longest, seconds);
    EXPECT_EQ(good, kPages) << "another page gave: " << other;
    EXPECT_LT(longest, kODBCDefaultQueryTimeoutSeconds + 0.5 + SlackMs() / 1000.0 + kSanitizerSeconds);
    std::printf("%d of %d good, the longest page %.1f s\n", good, kPages, longest);
}

// Long statements of pages served by a few workers each run on a
// connection of their own at once, and every page ends near its own
// time-out, not behind the others' statements.
TEST_F(KavPostgresTest, LongStatementsRunAtOnceAndEndNearTheirTimeOut)
{
    constexpr int kPages = 20;
    // Long beside the spread of the pages' connects on a loaded machine.
    constexpr std::uint32_t kQuerySeconds = 5 + static_cast<std::uint32_t>(kSanitizerSeconds);
    m_fibers = true; // the few workers of the pool serve them
    Ceiling ceiling(kPages);
    Timeouts timeouts(kQuerySeconds, 0);
    std::uint16_t port = FreePort();
    AddServer(port);
    Psql(std::string("ALTER ROLE ") + kRole + " PASSWORD 'plainpw';");
    ::setenv("PGPASSWORD", "plainpw", 1);
    const std::string statement = "SELECT pg_sleep(30)";
    WriteFile(m_root + "/long.htm", "%expand%%set(async-sql,1)%try('%sql(vpg;" + std::string(kRole) + ";plainpw," +
                                        statement + ",'x),'caught %exception-msg%)");
    StartServers();
    std::vector<Page> pages;
    std::atomic<bool> done{false};
    std::thread client([&] {
        pages = Burst(URL(port, "/long.htm"), kPages, "long");
        done = true;
    });
    int peak = 0;
    while (!done) // bounded by curl's own limit
        peak = std::max(peak, Running(statement));
    client.join();
    EXPECT_EQ(peak, kPages) << "statements ran at once";
    const double bound =
        kQuerySeconds + (kODBCCancelGraceMs + kODBCCancelGiveUpMs + SlackMs()) / 1000.0 + 1 + kSanitizerSeconds;
    for (const Page& page : pages) {
        EXPECT_EQ(page.body.rfind("caught (", 0), 0u) << page.body;
        EXPECT_LT(page.seconds, bound) << page.body;
        std::printf("%.1f ", page.seconds);
    }
    std::printf("s; at most %d statements at once\n", peak);
}

// Pages whose row text queries the same source again are served beside
// plain pages while every connection is busy: a nested query shares its
// page's connection rather than wait for one its own page holds.
TEST_F(KavPostgresTest, NestedPagesAreServedWhileEveryConnectionIsBusy)
{
    constexpr int kPlain = 100;
    constexpr int kNested = 30;
    m_fibers = true;
    Ceiling ceiling(20);
    std::uint16_t port = FreePort();
    AddServer(port);
    Psql(std::string("ALTER ROLE ") + kRole + " PASSWORD 'plainpw';");
    const std::string source = "vpg;" + std::string(kRole) + ";plainpw";
    WriteFile(m_root + "/plain.htm", "%expand%%set(async-sql,1)%try('%sql(" + source +
                                         ",\"SELECT 7, pg_sleep(0.2)\",'%column(1)),'caught %exception-msg%)");
    WriteFile(m_root + "/nested.htm", "%expand%%set(async-sql,1)%try('%sql(" + source +
                                          ",\"SELECT id FROM people ORDER BY id\",'%sql(" + source +
                                          ",\"SELECT name, pg_sleep(0.1) FROM people WHERE id = %column(1)\",'%column(1)|)),"
                                          "'caught %exception-msg%)");
    StartServers();
    std::vector<Page> plain, nested;
    std::thread plainClient([&] { plain = Burst(URL(port, "/plain.htm"), kPlain, "plain"); });
    std::thread nestedClient([&] { nested = Burst(URL(port, "/nested.htm"), kNested, "nested"); });
    plainClient.join();
    nestedClient.join();
    double longest = 0;
    for (const Page& page : plain) {
        EXPECT_EQ(page.body, "7");
        longest = std::max(longest, page.seconds);
    }
    for (const Page& page : nested) {
        EXPECT_EQ(page.body, "name1|name2|name3|");
        longest = std::max(longest, page.seconds);
    }
    // About 2.5 s of work on 20 connections; well inside the query time-out.
    EXPECT_LT(longest, kODBCDefaultQueryTimeoutSeconds / 2.0 + SlackMs() / 1000.0);
    std::printf("%d plain and %d nested pages, the longest %.1f s\n", kPlain, kNested, longest);
}

// A cold pool on a database whose login takes a second connects its pages
// side by side, not one login after another.
TEST_F(KavPostgresTest, AColdPoolOnASlowLoginConnectsItsPagesAtOnce)
{
    constexpr int kPages = 20;
    constexpr int kLoginMs = 1000;
    m_fibers = true;
    Ceiling ceiling(kPages);
    SlowLoginRelay relay(m_port, kLoginMs);
    WriteFile(m_dir / "odbc.ini", ReadFile(m_dir / "odbc.ini") + "[vslow]\nDriver=PostgreSQL\nServername=127.0.0.1\nPort=" +
                                      std::to_string(relay.Port()) + "\nDatabase=postgres\n");
    std::uint16_t port = FreePort();
    AddServer(port);
    Psql(std::string("ALTER ROLE ") + kRole + " PASSWORD 'plainpw';");
    WriteFile(m_root + "/slow.htm", "%expand%%set(async-sql,1)%try('%sql(vslow;" + std::string(kRole) +
                                        ";plainpw,SELECT 7,'%column(1)),'caught %exception-msg%)");
    StartServers();
    double longest = 0;
    for (const Page& page : Burst(URL(port, "/slow.htm"), kPages, "slow")) {
        EXPECT_EQ(page.body, "7");
        longest = std::max(longest, page.seconds);
    }
    // The first login says which driver the source has; the rest go at once.
    EXPECT_LT(longest, 2 * kLoginMs / 1000.0 + 2 + SlackMs() / 1000.0 + kSanitizerSeconds);
    std::printf("%d pages on a cold pool, the longest %.1f s\n", kPages, longest);
}

// A restart of the database of a fraction of a second in a burst of
// inserts fails only the statements in flight: the pages waiting for a
// connection meet a refused connect, pause, and connect again within
// their time-out. No row is inserted twice.
TEST_F(KavPostgresTest, ARestartInABurstFailsOnlyTheStatementsInFlight)
{
    constexpr int kPages = 200;
    constexpr int kCeiling = 20;
    m_fibers = true;
    Ceiling ceiling(kCeiling);
    std::uint16_t port = FreePort();
    AddServer(port);
    Psql(std::string("ALTER ROLE ") + kRole + " PASSWORD 'plainpw';");
    ::setenv("PGPASSWORD", "plainpw", 1);
    Psql("CREATE TABLE hits (n INTEGER);");
    WriteFile(m_root + "/insert.htm", "%expand%%set(async-sql,1)%try('%sql(vpg;" + std::string(kRole) +
                                          ";plainpw,\"INSERT INTO hits SELECT 1 FROM pg_sleep(0.5)\")ok,'caught %exception-msg%)");
    StartServers();
    std::vector<Page> pages;
    std::atomic<bool> done{false};
    std::thread client([&] {
        pages = Burst(URL(port, "/insert.htm"), kPages, "insert");
        done = true;
    });
    // Two rounds of the ceiling in, the database restarts.
    EXPECT_TRUE(Eventually([&] { return done || std::atoi(Psql("SELECT count(*) FROM hits;").c_str()) >= 2 * kCeiling; },
                           60000));
    EXPECT_EQ(Pg({"pg_ctl", "-D", m_pg + "/data", "-l", m_pg + "/log", "-m", "fast", "-w", "-t", "30", "restart"}), 0);
    client.join();
    // A page that waited its whole time-out for a connection is the load's
    // doing (a busy or sanitizer-slowed machine restarts slowly), not the
    // restart's: the ones that fail at it are the statements in flight.
    int good = 0;
    int waitedOut = 0;
    std::string failure;
    for (const Page& page : pages) {
        if (page.body == "ok")
            ++good;
        else if (page.body.find("(HYT00)") != std::string::npos && page.body.find("were in use for") != std::string::npos)
            ++waitedOut;
        else
            failure = page.body;
    }
    const int failed = kPages - good - waitedOut;
    EXPECT_LE(failed, kCeiling) << "more than the statements in flight failed, as: " << failure;
    const int rows = std::atoi(Psql("SELECT count(*) FROM hits;").c_str());
    EXPECT_GE(rows, good);
    EXPECT_LE(rows, kPages);
    std::printf("%d of %d pages failed at the restart, %d waited out their time-out, %d rows\n", failed, kPages,
                waitedOut, rows);
}

} // namespace
