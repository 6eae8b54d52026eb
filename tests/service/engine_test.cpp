// Engine start and stop on a hive of its own: real HTTP servers on
// 127.0.0.1 at ports chosen at run time, curl as the client, and the
// process's own threads and descriptors counted from /proc.

#include "config/global_maps.h"
#include "config/service_config.h"
#include "config/user_map.h"
#include "e2e/e2e_server.h"
#include "eventually.h"
#include "framework/server.h"
#include "framework/server_stats.h"
#include "macro/macro_context.h"
#include "macro/odbc_thread.h"
#include "platform/clock.h"
#include "service/engine.h"
#include "service/engine_fixture.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <algorithm>
#include <filesystem>
#include <optional>
#include <thread>

namespace {

std::size_t CountEntries(const char* directory)
{
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(directory))
        ++count;
    return count;
}

class EngineTest : public EngineHiveTest {
protected:
    static void SetUpTestSuite() { EnterSuite("veng"); }

    void SetUp() override
    {
        EngineHiveTest::SetUp();
        m_root = m_dir / "www";
        e2e::WriteFile(m_root + "/index.htm", "engine page\n");
        Key("HTTP\\Mappings").SetString("htm", "text/html");
    }

    std::uint16_t AddServer(std::uint32_t enabled = 1)
    {
        std::uint16_t port = e2e::FreePort();
        platform::RegistryKey key = Key("HTTP\\Servers\\" + HTTPServerKeyName(port, htonl(INADDR_LOOPBACK)));
        key.SetDword("Port", port);
        key.SetDword("Address", htonl(INADDR_LOOPBACK));
        key.SetDword("Enabled", enabled);
        key.SetDword("ConnTimeout", 5);
        key.SetDword("URLCacheFlushInterval", 0);
        key.SetString("RootDir", m_root);
        key.SetString("DefaultFile", "index.htm");
        return port;
    }
    e2e::RunResult Get(std::uint16_t port, const std::string& path = "/")
    {
        return e2e::RunProgram({"curl", "-s", "--max-time", "10", "http://127.0.0.1:" + std::to_string(port) + path},
                               m_dir / "curl.out");
    }
    std::string Expand(CMacroContext& scope, const std::string& text)
    {
        CTextBuffer out;
        scope.Expand(&out, text);
        return out.ToString();
    }

    std::string m_root;
};

TEST_F(EngineTest, ServesEnabledServersAndStopLeavesNoThreadOrDescriptor)
{
    std::uint16_t port = AddServer();
    std::uint16_t disabled = AddServer(0);
    std::size_t threads = CountEntries("/proc/self/task");
    std::size_t descriptors = CountEntries("/proc/self/fd");
    // A missing TEMP is reported, and the start goes on.
    std::optional<std::string> temp;
    if (const char* text = std::getenv("TEMP"))
        temp = text;
    ::unsetenv("TEMP");
    // TMPDIR stands in for TEMP; only a temporary folder that is missing warns.
    std::optional<std::string> tmpdir;
    if (const char* text = std::getenv("TMPDIR"))
        tmpdir = text;
    ::setenv("TMPDIR", (m_dir / "no-such-tmp").c_str(), 1);

    EXPECT_EQ(StopServices(), 1) << "nothing ran yet";
    ASSERT_EQ(StartServices(), 0);
    EXPECT_EQ(ServicesRunning(), 1);
    std::vector<CServer*> servers = GetServerList();
    ASSERT_EQ(servers.size(), 1u) << "a disabled server gets no object";
    EXPECT_EQ(StartServices(), 1);
    EXPECT_EQ(GetServerList(), servers) << "a second start must create nothing";
    if (tmpdir)
        ::setenv("TMPDIR", tmpdir->c_str(), 1);
    else
        ::unsetenv("TMPDIR");
    if (temp)
        ::setenv("TEMP", temp->c_str(), 1);
    e2e::RunResult reply = Get(port);
    EXPECT_EQ(reply.exitCode, 0);
    EXPECT_EQ(reply.output, "engine page\n");
    EXPECT_NE(Get(disabled).exitCode, 0) << "nothing listens for the disabled server";

    // A client that holds its connection open must not hold the stop up.
    WSocket idle;
    ASSERT_EQ(idle.Connect("127.0.0.1", port), 0);
    std::uint64_t begun = platform::MonotonicMs();
    ASSERT_EQ(StopServices(), 0);
    EXPECT_LT(platform::MonotonicMs() - begun, 15000u);
    idle.Close();
    EXPECT_EQ(ServicesRunning(), 0);
    EXPECT_EQ(StopServices(), 1);
    std::string log = e2e::ReadFile(m_dir / "home/log/Velmora.log");
    EXPECT_NE(log.find("] TEMP environment variable should be defined.\n"), std::string::npos) << log;

    EXPECT_EQ(GetServerThreadCount(), 0);
    // A detached server thread leaves the count a moment before the kernel
    // lets it go.
    EXPECT_TRUE(Eventually([&] { return CountEntries("/proc/self/task") == threads; }))
        << CountEntries("/proc/self/task") << " threads, " << threads << " before";
    EXPECT_EQ(CountEntries("/proc/self/fd"), descriptors);
    EXPECT_NE(Get(port).exitCode, 0) << "the port still answers after the stop";
    EXPECT_FALSE(GlobalStats().IsMapped());

    // Pause and continue are stop and start: the second run serves again.
    ASSERT_EQ(StartServices(), 0);
    EXPECT_TRUE(GlobalStats().IsMapped());
    EXPECT_EQ(Get(port).output, "engine page\n");
    ASSERT_EQ(StopServices(), 0);
    // A detached server thread leaves the count a moment before the kernel
    // lets it go.
    EXPECT_TRUE(Eventually([&] { return CountEntries("/proc/self/task") == threads; }))
        << CountEntries("/proc/self/task") << " threads, " << threads << " before";
    EXPECT_EQ(CountEntries("/proc/self/fd"), descriptors);
    log = e2e::ReadFile(m_dir / "home/log/Velmora.log");
    EXPECT_EQ(log.find("TEMP environment"), log.rfind("TEMP environment"))
        << "a temporary folder that exists is no reason to warn\n" << log;
}

TEST_F(EngineTest, EngineSettingsAndTheWorkerPool)
{
    const std::uint32_t perMachine = std::max(1u, std::thread::hardware_concurrency()) * kWorkersPerProcessor;
    struct Case {
        const char* name;
        bool set;
        std::uint32_t workers;
        std::uint32_t expected;
        bool bound;
        bool poolWanted;
    };
    const Case cases[] = {
        {"missing Workers is 1", false, 0, perMachine, true, true},
        {"Workers 1 is processors x 20", true, 1, perMachine, true, true},
        {"Workers 0 means no pool", true, 0, 0, true, false},
        {"other values are kept", true, 7, 7, true, true},
        {"unbound fibers mean no pool", true, 7, 7, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.set)
            m_product.SetDword("Workers", c.workers);
        else
            m_product.DeleteValue("Workers");
        m_product.SetDword("Concurrency", c.workers + 3);
        UnbindEngineFunctions();
        if (c.bound) {
            BindFiberAPI();
            BindCompletionPortAPI();
        }
        ASSERT_EQ(StartServices(), 0);
        CEngineSettings settings = GetEngineSettings();
        EXPECT_EQ(settings.workers, c.expected);
        EXPECT_EQ(settings.concurrency, c.workers + 3);
        EXPECT_EQ(settings.compatibility, 0u);
        EXPECT_EQ(WorkerPoolWanted(), c.poolWanted);
        EXPECT_TRUE(GetEngineFunctions().logon) << "start binds the logon functions";
        ASSERT_EQ(StopServices(), 0);
    }
}

// Each start reads the SQL time-outs and the connections per source; a
// missing value leaves the default, so an earlier start's value does not
// linger. A query time-out or a ceiling of 0 is no limit, as HeaderTimeout 0.
TEST_F(EngineTest, TheSQLTimeOutsAreReadAtEveryStart)
{
    const struct {
        const char* name;
        bool set;
        bool asText;
        std::uint32_t query;
        std::uint32_t login;
        std::uint32_t connections;
        std::uint32_t expectedQuery;
        std::uint32_t expectedLogin;
        std::uint32_t expectedConnections;
    } cases[] = {
        {"all set", true, false, 5, 3, 7, 5, 3, 7},
        {"missing", false, false, 0, 0, 0, kODBCDefaultQueryTimeoutSeconds, kODBCDefaultLoginTimeoutSeconds,
         kODBCDefaultMaxConnections},
        {"zero", true, false, 0, 0, 0, 0, kODBCDefaultLoginTimeoutSeconds, 0},
        {"text", false, true, 0, 0, 0, kODBCDefaultQueryTimeoutSeconds, kODBCDefaultLoginTimeoutSeconds,
         kODBCDefaultMaxConnections},
    };
    static std::vector<std::string> logged;
    SetServiceConfigLogger([](const std::string& message) { logged.push_back(message); });
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        logged.clear();
        for (const char* name : {"SQLQueryTimeout", "SQLLoginTimeout", "SQLMaxConnections"})
            m_product.DeleteValue(name);
        if (c.asText) {
            for (const char* name : {"SQLQueryTimeout", "SQLLoginTimeout", "SQLMaxConnections"})
                m_product.SetString(name, "abc");
        }
        if (c.set) {
            m_product.SetDword("SQLQueryTimeout", c.query);
            m_product.SetDword("SQLLoginTimeout", c.login);
            m_product.SetDword("SQLMaxConnections", c.connections);
        }
        ASSERT_EQ(StartServices(), 0);
        EXPECT_EQ(ODBCQueryTimeoutSeconds(), c.expectedQuery);
        EXPECT_EQ(ODBCLoginTimeoutSeconds(), c.expectedLogin);
        EXPECT_EQ(ODBCMaxConnections(), c.expectedConnections);
        const auto said = std::count_if(logged.begin(), logged.end(), [](const std::string& line) {
            return line.find("The value SQL") != std::string::npos && line.find("not a REG_DWORD") != std::string::npos;
        });
        EXPECT_EQ(said, c.asText ? 3 : 0);
        ASSERT_EQ(StopServices(), 0);
    }
    SetServiceConfigLogger(nullptr);
}

TEST_F(EngineTest, InitMacrosStringsAndListsAreRebuiltAtEveryStart)
{
    AddServer();
    m_product.SetString("InitMacro", "%set(engine-probe,one)%");
    Key("HTTP").SetString("InitMacro", "%set(http-probe,%engine-probe%-two)%");
    Key("Strings").SetString("copyright", "our notice");
    Key("Users").SetString("alice", "secret");
    Key("HTTP\\Users").SetString("bob", "other");

    ASSERT_EQ(StartServices(), 0);
    CMacroContext& global = GlobalMacroContext();
    EXPECT_TRUE(global.IsReadOnly());
    EXPECT_EQ(Expand(global, "%engine-probe%|%copyright%"), "one|our notice");
    CMacroContext* http = GetHTTPStringsScope();
    ASSERT_NE(http, nullptr);
    EXPECT_TRUE(http->IsReadOnly());
    EXPECT_EQ(http->GetParent(), &global);
    EXPECT_EQ(Expand(*http, "%http-probe%"), "one-two");
    std::string password;
    EXPECT_TRUE(GlobalUsers().LookupLocked("bob", password));
    EXPECT_TRUE(GlobalUsers().LookupLocked("alice", password)) << "the HTTP users fall back to the engine's";
    EXPECT_EQ(password, "secret");
    ASSERT_EQ(StopServices(), 0);
    EXPECT_EQ(GetHTTPStringsScope(), nullptr);

    // A start builds the global scope afresh: a macro the old init macro
    // defined is gone, and a failing init macro does not stop the servers.
    m_product.SetString("InitMacro", "%throw(init,1,broken)%");
    ASSERT_EQ(StartServices(), 0);
    EXPECT_EQ(GlobalMacroContext().FindMacro("engine-probe"), nullptr);
    EXPECT_EQ(GetServerList().size(), 1u);
}

} // namespace

// A RootDir that is no folder answers every URL 404 with no other word: the
// server logs it at start, and again only when the value changes.
TEST_F(EngineTest, ARootFolderThatIsMissingIsLoggedOncePerValue)
{
    std::uint16_t port = AddServer();
    platform::RegistryKey key = Key("HTTP\\Servers\\" + HTTPServerKeyName(port, htonl(INADDR_LOOPBACK)));
    const std::string missing = m_dir / "no-such-www";
    key.SetString("RootDir", missing);
    auto count = [this](const std::string& folder) {
        std::string log = e2e::ReadFile(m_dir / "home/log/Velmora.log");
        std::size_t n = 0;
        const std::string line = ": RootDir " + folder + " does not exist; every URL is answered 404.\n";
        for (std::size_t at = log.find(line); at != std::string::npos; at = log.find(line, at + 1))
            ++n;
        return n;
    };
    ASSERT_EQ(StartServices(), 0);
    EXPECT_EQ(count(missing), 1u) << e2e::ReadFile(m_dir / "home/log/Velmora.log");
    std::string log = e2e::ReadFile(m_dir / "home/log/Velmora.log");
    EXPECT_NE(log.find("GMT] HTTP server on port " + std::to_string(port) + ": RootDir " + missing), std::string::npos)
        << log;
    for (int i = 0; i < 3; ++i)
        EXPECT_NE(Get(port).output, "engine page\n");

    // A reload that keeps the value says nothing more; a new missing value is said once.
    Touch();
    Get(port);
    EXPECT_EQ(count(missing), 1u);
    const std::string other = m_dir / "other-www";
    key.SetString("RootDir", other);
    Touch();
    EXPECT_TRUE(Eventually(
        [&] {
            Get(port);
            return count(other) == 1;
        },
        20000))
        << e2e::ReadFile(m_dir / "home/log/Velmora.log");
    Get(port);
    EXPECT_EQ(count(other), 1u);
    // A folder that exists serves and is no reason to log.
    key.SetString("RootDir", m_root);
    Touch();
    EXPECT_TRUE(Eventually([&] { return Get(port).output == "engine page\n"; }, 20000));
    EXPECT_EQ(count(m_root), 0u);
    ASSERT_EQ(StopServices(), 0);
}
