// The SQL family through the real driver manager and SQLite's ODBC driver:
// row, before and after texts, column macros, NULLs and long values, errors
// as ODBC macro errors, inserts from form fields, the pool and the thread.

#include "eventually.h"
#include "framework/thread_data.h"
#include "odbc_fixture.h"
#include "odbc_leaks.h"

#include <link.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <barrier>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

namespace {

class SQLMacrosTest : public ODBCTest {
protected:
    void SetUp() override
    {
        ODBCTest::SetUp();
        if (IsSkipped())
            return;
        Sql("DROP TABLE IF EXISTS people");
        Sql("\"CREATE TABLE people (id INTEGER, name TEXT, note TEXT)\"");
        Sql("\"INSERT INTO people VALUES (1, 'Ann', 'a'), (2, 'O''Brien', NULL), (3, 'Cy', 'c')\"");
    }
};

TEST_F(SQLMacrosTest, TextsAndColumnMacrosAsAPageUsesThem)
{
    const struct {
        std::string page;
        std::string expected;
    } cases[] = {
        {"%sql(vtest,\"SELECT id, name, note FROM people ORDER BY id\",'[%column(1):%column(NAME):%column(note)])",
         "[1:Ann:a][2:O'Brien:][3:Cy:c]"},
        {"%sql(vtest,\"SELECT id, name FROM people ORDER BY id\",'%column(id),'<%num-columns%|%column-name(2)|"
         "%column(id)|%num-rows%|%column-name(0)%column-name(3)>,'</%num-rows%:%column(name)>)",
         "<2|name||%num-rows%|>123</3:Cy>"},
        // The after text needs a before text (an empty one will do); the
        // before text needs a row text.
        {"%sql(vtest,SELECT id FROM people,'x,,'after)", "xxxafter"},
        {"%sql(vtest,SELECT id FROM people,'x)|%sql(vtest,SELECT id FROM people,'x,'<)", "xxx|<xxx"},
        {"%sql(vtest,SELECT id FROM people)", ""},
        {"%sql(vtest,\"SELECT id AS Num, name FROM people WHERE id=1\",,"
         "'%enumcolumn('%num%=%name%/%width%;))",
         "1=Num/256;2=name/256;"},
        {"%sql(vtest,\"UPDATE people SET note='u' WHERE id=3\",'row,'before,'after)"
         "%sql(vtest,SELECT note FROM people WHERE id=3,'%column(1))",
         "u"},
        {"%sql(vtest,SELECT id FROM people WHERE id=2,"
         "'%sql(vtest,SELECT name FROM people WHERE id=%column(id),'inner %column(1)))",
         "inner O'Brien"},
        {"%sql-quote(O'Brien)|%sql-quote()|%sql-quote(%null%)|%sql-quote(\"it's, or not\")",
         "'O''Brien'||''|'it''s, or not'"},
        {"%sql(vtest)|%sql()", "|"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Expand(c.page), c.expected) << c.page;
}

TEST_F(SQLMacrosTest, ALongValueIsReadWholeAndTheWidthGrows)
{
    std::string big;
    for (int i = 0; i < 100 * 1024; ++i)
        big.push_back(static_cast<char>('a' + i * 7 % 26));
    Sql("\"INSERT INTO people VALUES (4, 'Big', '" + big + "')\"");
    EXPECT_EQ(Sql("SELECT note FROM people WHERE id=4", "%column(1)"), big);
    EXPECT_EQ(Sql("SELECT note FROM people WHERE id=4", "%column-width(1)").substr(0, 3), "102");
    EXPECT_GE(std::stoul(Sql("SELECT note FROM people WHERE id=4", "%column-width(1)")), big.size());
}

TEST_F(SQLMacrosTest, FailuresAreODBCMacroErrors)
{
    const struct {
        std::string page;
        std::string expectedPrefix;
    } cases[] = {
        {"%try('%sql(vtest,SELEC nonsense),'%exception-type%/%exception-msg%)", "ODBC/(HY000) "},
        {"%sql(vtest,SELECT * FROM missing_table)", "[ODBC error "},
        {"%try('%sql(nosuchsource,SELECT 1),'%exception-type%/%exception-msg%)", "ODBC/(IM002) "},
        {"%try('%sql(vtest,SELECT id FROM people,'%throw(mine,42,oops)),"
         "'%exception-type%/%exception-number%/%exception-msg%)",
         "mine/42/oops"},
    };
    for (const auto& c : cases) {
        std::string out = Expand(c.page);
        EXPECT_EQ(out.substr(0, c.expectedPrefix.size()), c.expectedPrefix) << c.page << " gave " << out;
    }
}

// Raises a redirection from inside a row text, as the redirect macro does.
class CTestRedirectMacro : public CMacro {
public:
    void Evaluate(CMacroContext*, CTextBuffer*, const char**, int) override { throw CRedirectionException("/elsewhere"); }
};

TEST_F(SQLMacrosTest, AnyExceptionOfTheRowTextReachesTheCallerUnchanged)
{
    m_global.Register("go", std::make_unique<CTestRedirectMacro>());
    try {
        Sql("SELECT id FROM people", "%go%");
        ADD_FAILURE() << "no exception";
    } catch (const CRedirectionException& redirection) {
        EXPECT_EQ(redirection.url, "/elsewhere");
    }
    // The connection went back: the pool holds one idle entry.
    ODBCPoolEntryInfo info;
    ASSERT_TRUE(ODBCPoolEntry("vtest", info));
    EXPECT_EQ(info.activeUsers, 0);
}

TEST_F(SQLMacrosTest, AnInsertFromFormFieldsKeepsHostileTextAsData)
{
    Sql("DROP TABLE IF EXISTS \"odd table\"");
    m_global.Register("ddl", std::make_unique<CValueMacro>("CREATE TABLE \"odd table\" (\"the name\" TEXT, mail TEXT)"));
    m_global.Register("dql", std::make_unique<CValueMacro>("SELECT \"the name\", mail FROM \"odd table\""));
    Expand("%sql(vtest,%ddl%)");
    m_form["who"] = "x'); DROP TABLE people; --";
    m_form["email"] = "a\"b'c@d";
    EXPECT_EQ(Expand("%sql-insert(vtest,odd table,the name=who,mail=email)"), "");
    EXPECT_EQ(Sql("%dql%", "%column(1)|%column(2)"),
              "x'); DROP TABLE people; --|a\"b'c@d");
    EXPECT_EQ(Sql("SELECT count(*) FROM people", "%column(1)"), "3");
    // Missing arguments do nothing at all.
    EXPECT_EQ(Expand("%sql-insert(vtest,people)%sql-insert(vtest)"), "");
}

TEST(ODBCSourceTest, FieldsAreSplitByPositionAndOnlyTheNameIsFolded)
{
    const struct {
        const char* source;
        const char* dsn;
        const char* user;
        const char* password;
    } cases[] = {
        {"dsn", "dsn", "", ""},
        {"dsn;;secret", "dsn", "", "secret"},
        {"a;u;p", "a", "u", "p"},
        {";u;p", "", "u", "p"},
        {"a;u;p;q", "a", "u", "p"},
        {"", "", "", ""},
    };
    for (const auto& c : cases) {
        ODBCSource fields = SplitODBCSource(c.source);
        EXPECT_EQ(fields.dsn, c.dsn) << c.source;
        EXPECT_EQ(fields.user, c.user) << c.source;
        EXPECT_EQ(fields.password, c.password) << c.source;
    }
    EXPECT_EQ(ODBCPoolKey("VTest;Ann;Pw"), ODBCPoolKey("vtest;Ann;Pw"));
    EXPECT_NE(ODBCPoolKey("vtest;Ann;Pw"), ODBCPoolKey("vtest;Ann;pw"));
    EXPECT_NE(ODBCPoolKey("vtest;;pw"), ODBCPoolKey("vtest;pw;"));
}

TEST_F(SQLMacrosTest, APooledConnectionIsSharedRefreshedAndFlushedSafely)
{
    FlushConnection(nullptr);
    for (int i = 0; i < 17; ++i)
        Sql("SELECT 1", "x", i % 2 ? "VTEST" : "vtest");
    ODBCPoolEntryInfo info;
    ASSERT_TRUE(ODBCPoolEntry("vtest", info));
    EXPECT_EQ(info.uses, 16u);
    EXPECT_EQ(ODBCPoolSize(), 1u);
    Sql("SELECT 1", "x");
    ASSERT_TRUE(ODBCPoolEntry("vtest", info));
    EXPECT_EQ(info.uses, 0u) << "the 18th release refreshes the idle connection";
    EXPECT_EQ(Sql("SELECT id FROM people ORDER BY id", "%column(1)"), "123");
    // A flush from the row text while the statement still reads its rows.
    EXPECT_EQ(Sql("SELECT id FROM people ORDER BY id", "%sql-flushconnection(vtest)%column(1)"), "123");
    EXPECT_EQ(ODBCPoolSize(), 0u);
    EXPECT_EQ(Expand("%sql(vtest,SELECT 7,'%column(1))%sql-flushconnection%"), "7");
    EXPECT_EQ(ODBCPoolSize(), 0u);
}

// Libraries loaded into the process so far: glibc counts every load.
unsigned long long LibraryLoads()
{
    unsigned long long adds = 0;
    dl_iterate_phdr(
        [](dl_phdr_info* info, std::size_t, void* data) {
            *static_cast<unsigned long long*>(data) = info->dlpi_adds;
            return 1;
        },
        &adds);
    return adds;
}

// Were the old connection closed before the new one is made, the driver
// manager would unload its libraries and load them again at every refresh.
TEST_F(SQLMacrosTest, ARefreshLoadsNoLibraryAgain)
{
    EXPECT_EQ(Sql("SELECT 1", "x"), "x");
    const unsigned long long loads = LibraryLoads();
    for (int i = 0; i < 2 * static_cast<int>(kODBCRefreshAfterUses) + 4; ++i)
        EXPECT_EQ(Sql("SELECT 1", "x"), "x");
    ODBCPoolEntryInfo info;
    ASSERT_TRUE(ODBCPoolEntry("vtest", info));
    EXPECT_LT(info.uses, kODBCRefreshAfterUses) << "the connection was refreshed";
    EXPECT_EQ(LibraryLoads(), loads);
}

TEST_F(SQLMacrosTest, AsyncQueriesRunOnTheCallersThreadsWithoutMixingRows)
{
    m_global.Register("async-sql", std::make_unique<CValueMacro>("1"));
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([this, t, &wrong] {
            for (int i = 0; i < 20; ++i) {
                CMacroContext scope(&m_global);
                CTextBuffer out;
                int id = (t + i) % 3 + 1;
                scope.Expand(&out, "%sql(vtest,SELECT id FROM people WHERE id=" + std::to_string(id) + ",'%column(1))");
                if (out.ToString() != std::to_string(id))
                    ++wrong;
            }
        });
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(wrong.load(), 0);
}

// Two threads driving one connection at once crash the driver; a caller
// on another thread gets a spare connection while the pooled one is busy,
// and a spare given back waits for the next such caller.
TEST_F(SQLMacrosTest, APooledConnectionIsNeverInUseOnTwoThreadsAtOnce)
{
    FlushConnection(nullptr);
    SQLHDBC first = SQL_NULL_HDBC, nested = SQL_NULL_HDBC;
    int firstPooled = 0, nestedPooled = 0;
    ASSERT_EQ(GetConnection("vtest", first, firstPooled), 0);
    ASSERT_EQ(GetConnection("VTEST", nested, nestedPooled), 0);
    EXPECT_EQ(firstPooled, 1);
    EXPECT_EQ(nestedPooled, 1);
    EXPECT_EQ(nested, first) << "nested queries on one thread share it";

    auto fromOtherThread = [](SQLHDBC& hdbc, int& pooled) {
        std::thread([&] { EXPECT_EQ(GetConnection("vtest", hdbc, pooled), 0); }).join();
    };
    SQLHDBC spare = SQL_NULL_HDBC, again = SQL_NULL_HDBC;
    int sparePooled = 0, againPooled = 0;
    fromOtherThread(spare, sparePooled);
    EXPECT_NE(spare, first);
    EXPECT_EQ(sparePooled, 1);
    EXPECT_EQ(ReleaseConnection("vtest", spare), 1);
    fromOtherThread(again, againPooled);
    EXPECT_EQ(again, spare) << "a spare given back is lent again, not reconnected";
    ODBCPoolEntryInfo info;
    ASSERT_TRUE(ODBCPoolEntry("vtest", info));
    EXPECT_EQ(info.activeUsers, 2);
    EXPECT_EQ(info.lent, 1u);
    EXPECT_EQ(info.spares, 0u);

    // Flushed while lent: its holder closes it, as any connection whose
    // source left the pool.
    FlushConnection("vtest");
    EXPECT_EQ(ReleaseConnection("vtest", again), 0);
    EXPECT_EQ(CloseConnection(again), 0);
    EXPECT_EQ(ReleaseConnection("vtest", nested), 1);
    EXPECT_EQ(ReleaseConnection("vtest", first), 0);
    EXPECT_EQ(CloseConnection(first), 0);
    fromOtherThread(again, againPooled);
    EXPECT_EQ(againPooled, 1);
    EXPECT_EQ(ReleaseConnection("vtest", again), 1);
}

// As many callers on other threads at once as a busy page load brings: the
// spares they were lent stay open for the next round instead of being
// closed and connected again.
TEST_F(SQLMacrosTest, SparesFollowHowManyWereLentAtOnce)
{
    struct NoCeiling {
        NoCeiling() { SetODBCMaxConnections(0); }
        ~NoCeiling() { SetODBCMaxConnections(std::nullopt); }
    } noCeiling;
    FlushConnection(nullptr);
    SQLHDBC pooled = SQL_NULL_HDBC;
    int pooledFlag = 0;
    ASSERT_EQ(GetConnection("vtest", pooled, pooledFlag), 0); // busy: the others get spares
    constexpr int kCallers = 24;
    auto round = [] {
        std::barrier allHold(kCallers);
        std::vector<std::thread> callers;
        for (int i = 0; i < kCallers; ++i)
            callers.emplace_back([&allHold] {
                SQLHDBC hdbc = SQL_NULL_HDBC;
                int flag = 0;
                EXPECT_EQ(GetConnection("vtest", hdbc, flag), 0);
                allHold.arrive_and_wait();
                EXPECT_EQ(ReleaseConnection("vtest", hdbc), 1);
            });
        for (std::thread& caller : callers)
            caller.join();
    };
    round();
    ODBCPoolEntryInfo info;
    ASSERT_TRUE(ODBCPoolEntry("vtest", info));
    EXPECT_EQ(info.spareConnects, std::uint64_t{kCallers});
    EXPECT_EQ(info.spares, std::size_t{kCallers});
    round();
    ASSERT_TRUE(ODBCPoolEntry("vtest", info));
    EXPECT_EQ(info.spareConnects, std::uint64_t{kCallers}) << "the second round connected again";
    EXPECT_EQ(ReleaseConnection("vtest", pooled), 1);

    // Once no caller needed a spare for two periods, the idle ones close,
    // with no caller coming to close them.
    struct Period {
        Period() { SetODBCSpareDemandPeriodMs(1); }
        ~Period() { SetODBCSpareDemandPeriodMs(0); }
    } shortPeriod;
    EXPECT_EQ(GetConnection("vtest", pooled, pooledFlag), 0); // a request after the change starts the timer
    EXPECT_EQ(ReleaseConnection("vtest", pooled), 1);
    EXPECT_TRUE(Eventually([&] { return ODBCPoolEntry("vtest", info) && info.spares == 0; }, 30000));
}

// A caller next in line waits for its request without the thread having to
// wake it; before, every request cost the thread a wake-up of its caller
// (but for the odd one that ended before its caller began to wait).
TEST_F(SQLMacrosTest, ACallerNextInLineIsMostlyNotWokenByTheThread)
{
    constexpr std::uint64_t kAsked = 200;
    const std::uint64_t before = ODBCCallerWakeUps();
    for (std::uint64_t asked = 0; asked < kAsked; ++asked)
        ASSERT_EQ(Sql("SELECT 7", "%column(1)"), "7");
    EXPECT_LT(ODBCCallerWakeUps() - before, kAsked * 3 / 4);
}

// Columns found by name in any case or by number, looked up in place: a
// later column wins over an earlier one of the same name or number, and a
// column's number over its own name.
TEST_F(SQLMacrosTest, AColumnIsFoundByNameOrNumberTheLaterOneWinning)
{
    const std::string statement = "\"SELECT 10 AS [2], 20 AS x, 30 AS [1], 40 AS dup, 50 AS DUP\"";
    const struct {
        const char* key;
        const char* value;
    } cases[] = {{"1", "30"}, {"2", "20"}, {"3", "30"}, {"x", "20"}, {"X", "20"}, {"dup", "50"}, {"5", "50"}, {"6", ""}, {"y", ""}};
    for (const auto& c : cases)
        EXPECT_EQ(Sql(statement, std::string("%column(") + c.key + ")"), c.value) << c.key;
}

// Many callers at once, each query's row text running a nested query in
// place on the thread: every caller gets its own rows back.
TEST_F(SQLMacrosTest, ManyCallersAtOnceEachGetTheirOwnRows)
{
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 16; ++t)
        threads.emplace_back([this, t, &wrong] {
            const char* names[] = {"Ann", "O'Brien", "Cy"};
            for (int i = 0; i < 25; ++i) {
                const int row = (t + i) % 3;
                const std::string id = std::to_string(row + 1);
                CMacroContext scope(&m_global);
                CTextBuffer out;
                scope.Expand(&out, "%sql(vtest,SELECT id FROM people WHERE id=" + id +
                                       ",'%column(1):%sql(vtest,SELECT name FROM people WHERE id=" + id +
                                       ",'%column(1)))");
                if (out.ToString() != id + ":" + names[row])
                    ++wrong;
            }
        });
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(wrong.load(), 0);
    ODBCPoolEntryInfo info;
    ASSERT_TRUE(ODBCPoolEntry("vtest", info));
    EXPECT_EQ(info.activeUsers, 0) << "every use was given back";
}

TEST_F(SQLMacrosTest, AStoppedThreadGivesAnErrorAndAStopCancelsALongStatement)
{
    std::string result;
    std::thread query([this, &result] {
        result = Sql("\"WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x+1 FROM c) SELECT count(*) FROM c\"", "%column(1)");
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    // Callers queued behind the long statement are told the thread stopped.
    std::vector<std::string> queuedResults(4);
    std::vector<std::thread> queued;
    for (std::string& queuedResult : queuedResults)
        queued.emplace_back([this, &queuedResult] { queuedResult = Sql("SELECT 1", "x"); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    auto started = std::chrono::steady_clock::now();
    StopODBCThread();
    query.join();
    for (std::thread& thread : queued)
        thread.join();
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(40));
    EXPECT_EQ(result.rfind("[ODBC error", 0), 0u) << result;
    for (const std::string& queuedResult : queuedResults)
        EXPECT_EQ(queuedResult.rfind("[ODBC error 0: (08003)", 0), 0u) << queuedResult;
    EXPECT_FALSE(ODBCThreadRunning());
    EXPECT_EQ(Sql("SELECT 1", "x").rfind("[ODBC error 0: (08003)", 0), 0u);
    ASSERT_EQ(StartODBCThread(), 1);
    EXPECT_EQ(Sql("SELECT 5", "%column(1)"), "5");
}

// A statement that never ends by itself.
constexpr const char* kEndless = "\"WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x+1 FROM c) SELECT max(x) FROM c\"";
// Far beyond what a cancelled statement takes to end on a loaded machine,
// and short of forever, which is what an uncancelled one takes.
constexpr auto kEndsLongBefore = std::chrono::seconds(60);

// Sets the time-outs for one test and puts the defaults back.
struct Timeouts {
    Timeouts(std::optional<std::uint32_t> query, std::uint32_t login) { SetODBCTimeouts(query, login); }
    ~Timeouts() { SetODBCTimeouts(std::nullopt, 0); }
};

class SQLCancelTest : public SQLMacrosTest {
protected:
    // Runs page on a thread of its own, serving the connection whose
    // descriptor is client (-1 none), in a scope with or without async-sql.
    std::future<std::string> Start(const std::string& page, bool async, int client = -1)
    {
        return std::async(std::launch::async, [this, page, async, client] {
            SetClientHandle(client);
            CMacroContext scope(&m_global);
            if (async)
                scope.Register("async-sql", std::make_unique<CValueMacro>("1"));
            CTextBuffer out;
            scope.Expand(&out, page);
            SetClientHandle(-1);
            return out.ToString();
        });
    }
    // The page's output once it ended; a page still running is a failure,
    // ended by a stop so that the test can go on.
    std::string Result(std::future<std::string>& page)
    {
        if (page.wait_for(kEndsLongBefore) != std::future_status::ready) {
            ADD_FAILURE() << "the statement was not cancelled";
            StopODBCThread();
        }
        return page.get();
    }
};

// The SQLite driver takes the query time-out but never applies it to a
// statement that only computes; the watchdog cancels it, on the request
// thread and on an async-sql caller's own thread alike, and when it runs
// nested in the row text of a statement still open on the request thread.
TEST_F(SQLCancelTest, AStatementPastItsTimeOutIsCancelledAndTheNextOneRuns)
{
    Timeouts timeouts(1, 0);
    const std::string endless = "%sql(vtest," + std::string(kEndless) + ",'%column(1))";
    const struct {
        const char* name;
        std::string page;
        bool async;
    } cases[] = {
        {"request thread", endless, false},
        {"async-sql", endless, true},
        {"nested", "%sql(vtest,SELECT 1,'" + endless + ")", false},
    };
    for (const auto& c : cases) {
        std::future<std::string> page = Start(c.page, c.async);
        std::future<std::string> next = Start("%sql(vtest,SELECT 5,'%column(1))", c.async);
        EXPECT_EQ(Result(page).rfind("[ODBC error 0: (HYT00) Timeout expired", 0), 0u) << c.name;
        EXPECT_EQ(Result(next), "5") << c.name;
        EXPECT_EQ(ODBCStatementsInFlight(), 0u);
    }
}

// A cancel the driver drops, as SQLite's does when it comes before the
// statement's work began, is sent again until the call ends.
TEST_F(SQLCancelTest, ACancelTheDriverDroppedIsSentAgain)
{
    static std::atomic<int> cancels{0};
    struct DropFirstCancel {
        DropFirstCancel()
        {
            SetODBCCancelCallForTesting([](SQLHSTMT statement) -> SQLRETURN {
                return ++cancels == 1 ? SQL_SUCCESS : SQLCancel(statement);
            });
        }
        ~DropFirstCancel() { SetODBCCancelCallForTesting(nullptr); }
    } dropFirst;
    Timeouts timeouts(1, 0);
    for (bool async : {false, true}) {
        cancels = 0;
        std::future<std::string> endless = Start("%sql(vtest," + std::string(kEndless) + ",'%column(1))", async);
        EXPECT_EQ(Result(endless).rfind("[ODBC error 0: (HYT00) Timeout expired", 0), 0u) << "async " << async;
        EXPECT_GE(cancels.load(), 2) << "async " << async;
    }
}

// With no time-out (0), only the client's leaving ends the statement: when
// its peer closes while the statement runs, and when it closed before the
// statement's turn came.
TEST_F(SQLCancelTest, AStatementWhoseClientLeftIsCancelled)
{
    Timeouts timeouts(0, 0);
    for (bool async : {false, true}) {
        for (bool leftBefore : {false, true}) {
            int pair[2];
            ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
            if (leftBefore)
                ::close(pair[1]);
            std::future<std::string> page = Start("%sql(vtest," + std::string(kEndless) + ",'%column(1))", async, pair[0]);
            if (!leftBefore) {
                EXPECT_TRUE(Eventually([] { return ODBCStatementsInFlight() == 1; }, 30000));
                // Past what a limit of 0 seconds would have allowed.
                std::this_thread::sleep_for(std::chrono::milliseconds(2 * kODBCCancelGraceMs));
                ::close(pair[1]);
            }
            EXPECT_EQ(Result(page), "[ODBC error 0: (HY008) Operation canceled: the client left]")
                << "async " << async << ", left before " << leftBefore;
            ::close(pair[0]);
        }
    }
    EXPECT_EQ(Sql("SELECT 6", "%column(1)"), "6");
}

} // namespace
