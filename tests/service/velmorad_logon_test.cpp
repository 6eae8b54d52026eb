// Logons through the system's accounts in the real velmorad while one
// address floods it with wrong passwords: another address's correct logon is
// answered about as fast as alone, and the guesses cost the server no thread
// of their own. Needs root to make the PAM test accounts.

#include "basic_credentials.h"
#include "e2e/e2e_server.h"
#include "e2e/raw_client.h"
#include "eventually.h"
#include "platform/clock.h"
#include "platform/service.h"
#include "service_process.h"
#include "test_account.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <fstream>
#include <poll.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>

namespace {

constexpr const char* kName = "Velmora";
// Connections of the flood, each sending one wrong password after another.
constexpr std::size_t kFloodConnections = 200;
// Replies the flood must have had back before the correct logons are timed,
// so they meet a queue that is full.
constexpr std::size_t kFloodRepliesFirst = 20;
// No flood outlives this, whatever the test does.
constexpr std::uint64_t kFloodLimitMs = 300000;
// A correct logon during the flood may take this long at least ...
constexpr std::uint64_t kPromptMs = 1000;
// ... or this many times as long as alone, whichever is more.
constexpr std::uint64_t kPromptTimesAlone = 5;

// The Threads line of a process's status, 0 when it cannot be read.
long ThreadsOf(pid_t process)
{
    std::ifstream status("/proc/" + std::to_string(process) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("Threads:", 0) == 0)
            return std::atol(line.c_str() + 8);
    }
    return 0;
}

// Connections from 127.0.0.1 that each send a request with a wrong password,
// wait for the reply and the close, and start again; one thread of the test
// drives them all with poll, noting the server's most threads meanwhile.
class WrongPasswordFlood {
public:
    WrongPasswordFlood(std::uint16_t port, std::string request, pid_t server)
        : m_port(port), m_request(std::move(request)), m_server(server), m_thread([this] { Run(); })
    {
    }
    ~WrongPasswordFlood()
    {
        m_stop = true;
        m_thread.join();
    }
    std::size_t Replies() const { return m_replies.load(); }
    long MostThreads() const { return m_mostThreads.load(); }

private:
    void Run()
    {
        std::vector<pollfd> entries(kFloodConnections, pollfd{-1, POLLIN, 0});
        const std::uint64_t deadline = e2e::NowMs() + kFloodLimitMs;
        while (!m_stop && e2e::NowMs() < deadline) {
            for (pollfd& entry : entries) {
                if (entry.fd >= 0)
                    continue;
                entry.fd = e2e::ConnectLoopback(m_port, false);
                if (entry.fd >= 0 && !e2e::SendAll(entry.fd, m_request)) {
                    ::close(entry.fd);
                    entry.fd = -1;
                }
            }
            ::poll(entries.data(), entries.size(), 50);
            for (pollfd& entry : entries) {
                if (entry.fd < 0 || !(entry.revents & (POLLIN | POLLHUP | POLLERR)))
                    continue;
                char chunk[4096];
                long n = ::recv(entry.fd, chunk, sizeof chunk, MSG_DONTWAIT);
                if (n > 0 || (n < 0 && errno == EAGAIN))
                    continue;
                ::close(entry.fd);
                entry.fd = -1;
                ++m_replies;
            }
            m_mostThreads = std::max(m_mostThreads.load(), ThreadsOf(m_server));
        }
        for (pollfd& entry : entries) {
            if (entry.fd >= 0)
                ::close(entry.fd);
        }
    }

    const std::uint16_t m_port;
    const std::string m_request;
    const pid_t m_server;
    std::atomic<bool> m_stop{false};
    std::atomic<std::size_t> m_replies{0};
    std::atomic<long> m_mostThreads{0};
    std::thread m_thread;
};

class VelmoradLogonTest : public ConfigTest {
protected:
    void SetUp() override
    {
        ConfigTest::SetUp();
        if (std::string why = ServiceTestObstacle(); !why.empty())
            GTEST_SKIP() << why;
        const std::string suffix = std::to_string(::getpid());
        m_guessed = "velmora-lg-" + suffix;
        m_user = "velmora-lu-" + suffix;
        CreateTestAccounts({m_guessed, m_user}, Password, m_created);
        if (IsSkipped() || HasFatalFailure())
            return;
        UseServiceFolders(m_dir.Path(), "vlgn" + suffix);
        m_root = m_dir / "www";
        e2e::WriteFile(m_root + "/mine.txt", "the user's own");
        passwd* entry = ::getpwnam(m_user.c_str());
        ASSERT_NE(entry, nullptr);
        ASSERT_EQ(::chown((m_root + "/mine.txt").c_str(), entry->pw_uid, entry->pw_gid), 0);
        ASSERT_EQ(::chmod((m_root + "/mine.txt").c_str(), 0600), 0);
        ::chmod(m_dir.Path().c_str(), 0755);
        ::chmod(m_root.c_str(), 0755);
        Key("HTTP\\Mappings").SetString("txt", "text/plain");
        m_port = e2e::FreePort();
        m_server = AddLoopbackServer(m_product, m_port, m_root);
        m_server.SetDword("UseNTAuthentication", 1);
        m_server.SetDword("ConnTimeout", 60);
    }
    void TearDown() override
    {
        StopLeftoverService(kName);
        m_server.Close();
        for (const char* name : {"VELMORA_HOME", "VELMORA_RUN_DIR", "VELMORA_SHM_PREFIX"})
            ::unsetenv(name);
        RemoveTestAccounts(m_created);
        ConfigTest::TearDown();
    }
    static std::string Password(const std::string& name) { return "Pw-" + name.substr(8, 2) + "-7"; }

    e2e::RunResult Run(const std::vector<std::string>& args, const std::string& out)
    {
        return e2e::RunProgram(args, m_dir / out);
    }
    pid_t ServiceProcess()
    {
        platform::ServiceStatus status;
        platform::ServiceController(kName).QueryStatus(status);
        return static_cast<pid_t>(status.processId);
    }
    // The user's correct logon from 127.0.0.2: the body it got (empty unless
    // 200) and how long the request took.
    std::pair<std::string, std::uint64_t> CorrectLogon()
    {
        const std::uint64_t start = e2e::NowMs();
        e2e::RunResult curl =
            Run({"curl", "-s", "--max-time", "120", "--interface", "127.0.0.2", "-f", "-u", m_user + ":" + Password(m_user),
                 "http://127.0.0.1:" + std::to_string(m_port) + "/mine.txt"},
                "curl.out");
        return {curl.output, e2e::NowMs() - start};
    }

    std::string m_guessed;
    std::string m_user;
    std::vector<std::string> m_created;
    std::string m_root;
    std::uint16_t m_port = 0;
    platform::RegistryKey m_server;
};

TEST_F(VelmoradLogonTest, AGuesserHoldsUpOnlyItself)
{
    struct Case {
        const char* mode;
        std::uint32_t useFibers;
        // Threads the flood's connections may add: in thread mode each is
        // one; in fiber mode none.
        long connectionThreads;
    };
    const Case cases[] = {
        {"fibers", 1, 0},
        {"threads", 0, static_cast<long>(kFloodConnections)},
    };
    const std::string guess = "GET /mine.txt HTTP/1.0\r\nAuthorization: Basic " +
                              BasicCredentials(m_guessed + ":not-the-password") + "\r\n\r\n";
    ASSERT_EQ(Run({BinDir() + "/service/velmorad", "-install"}, "velmorad.out").exitCode, 0);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.mode);
        m_server.SetDword("UseFibers", c.useFibers);
        ASSERT_EQ(Run({"timeout", "90", BinDir() + "/tools/velmora-sc", "start", kName}, "sc.out").exitCode, 0);
        const pid_t server = ServiceProcess();
        ASSERT_GT(server, 0);

        auto [alone, aloneMs] = CorrectLogon();
        ASSERT_EQ(alone, "the user's own");
        const long threadsBefore = ThreadsOf(server);
        std::uint64_t slowest = 0;
        long mostThreads = 0;
        {
            WrongPasswordFlood flood(m_port, guess, server);
            ASSERT_TRUE(Eventually([&] { return flood.Replies() >= kFloodRepliesFirst; }, kFloodLimitMs / 2))
                << flood.Replies() << " replies";
            for (int i = 0; i < 3; ++i) {
                auto [body, ms] = CorrectLogon();
                EXPECT_EQ(body, "the user's own");
                slowest = std::max(slowest, ms);
            }
            mostThreads = flood.MostThreads();
        }
        const std::uint64_t bound = std::max(kPromptMs, kPromptTimesAlone * aloneMs) + SlackMs();
        std::printf("[ logons ] %s: a correct logon alone %llu ms, during the flood at most %llu ms (bound %llu); "
                    "threads %ld before, at most %ld during\n",
                    c.mode, static_cast<unsigned long long>(aloneMs), static_cast<unsigned long long>(slowest),
                    static_cast<unsigned long long>(bound), threadsBefore, mostThreads);
        EXPECT_LE(slowest, bound) << "the correct logon waited behind the guesses";
        EXPECT_LE(mostThreads, threadsBefore + c.connectionThreads + 16) << "the guesses took threads of their own";
        // The guesses still waiting must not hold the stop up.
        e2e::RunResult stop = Run({"timeout", "90", BinDir() + "/tools/velmora-sc", "stop", kName}, "sc.out");
        ASSERT_EQ(stop.exitCode, 0) << e2e::ReadFile(m_dir / "home/log/Velmora.log");
    }
    EXPECT_EQ(Run({BinDir() + "/service/velmorad", "-remove"}, "velmorad.out").exitCode, 0);
}

} // namespace
