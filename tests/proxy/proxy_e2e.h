#pragma once
// The proxy's end-to-end set-up: a hive of its own with the HTTPProxy key,
// a real CHTTPProxy on 127.0.0.1 at a port chosen at run time (in threads,
// or in fibers of a small worker pool), real peers started by the test
// (python3's http.server, nginx, openssl s_server, Squid) and the real curl
// and wget as clients. With VELMORA_E2E_FIBERS=1 the proxy always serves in
// fibers of the pool.

#include "bench/peer_server.h"
#include "config/config_fixture.h"
#include "config/registry_helpers.h"
#include "framework/loopback.h"
#include "framework/server.h"
#include "framework/worker_pool.h"
#include "framework/wsocket.h"
#include "macro/builtin_macros.h"
#include "macro/macro_context.h"
#include "macro/named_strings.h"
#include "platform/clock.h"
#include "proxy/http_proxy.h"
#include "proxy/proxy_cache.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <csignal>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace proxy_e2e {

inline constexpr const char* kPython = "/usr/bin/python3";

using bench::Peer;

struct RunResult {
    int exitCode = -1;
    std::string output;
    std::uint64_t elapsedMs = 0;
};

inline RunResult RunTool(const std::vector<std::string>& args, const std::string& output)
{
    RunResult run;
    std::uint64_t start = platform::MonotonicMs();
    pid_t child = bench::Spawn(args, output);
    run.exitCode = child < 0 ? -1 : bench::WaitChild(child, 30000);
    run.elapsedMs = platform::MonotonicMs() - start;
    run.output = bench::ReadFile(output);
    return run;
}

inline std::string RandomBytes(std::size_t n, unsigned seed)
{
    std::mt19937 generator(seed);
    std::string bytes(n, '\0');
    for (char& c : bytes)
        c = static_cast<char>(generator() & 0xFF);
    return bytes;
}

// Everything a peer sends until it closes (or a read fails).
inline std::string ReadAll(WSocket& socket)
{
    std::string all;
    char buffer[4096];
    for (int got; (got = socket.Read(buffer, sizeof buffer)) > 0;)
        all.append(buffer, static_cast<std::size_t>(got));
    return all;
}

// A raw request to the proxy and the whole reply (the proxy closes after one);
// from: another loopback address (127.0.0.2, ...) the client speaks from, as
// another host would.
inline std::string RawRequest(std::uint16_t port, const std::string& request, const char* from = nullptr)
{
    WSocket socket;
    socket.SetTimeout(10000);
    if (from && (socket.Create() < 0 || socket.Bind(0, ::inet_addr(from)) < 0))
        return "(no address)";
    if (socket.Connect("127.0.0.1", port) != 0)
        return "(no connection)";
    socket.SendText(request, false);
    return ReadAll(socket);
}

// What a peer reads of a request or reply up to and including its blank
// line (the bytes one at a time, so nothing after it is taken).
inline std::string ReadHead(WSocket& peer)
{
    std::string head;
    char c;
    while (head.find("\r\n\r\n") == std::string::npos && peer.Read(&c, 1) == 1)
        head += c;
    return head;
}

// Proxy access-log lines: the common format, any status (a tunnel logs 0).
inline const std::regex kProxyLogLine(
    R"(^\S+ - \S+ \[\d{2}/[A-Z][a-z]{2}/\d{4}:\d{2}:\d{2}:\d{2} \+0000\] "(?:[^"\\\x00-\x1f]|\\.)*" \d+ \d+$)");

// An origin on a loopback port of its own: its thread accepts connections
// one at a time and hands each one's handle to answer. Stop (or the
// destructor) wakes the accept and joins the thread.
class LoopbackOrigin {
public:
    explicit LoopbackOrigin(std::function<void(int handle)> answer) : m_answer(std::move(answer))
    {
        m_thread = std::thread([this] {
            for (;;) {
                int handle = m_listener.socket.Accept();
                if (handle < 0 || m_stop)
                    return;
                m_answer(handle);
            }
        });
    }
    ~LoopbackOrigin() { Stop(); }
    LoopbackOrigin(const LoopbackOrigin&) = delete;
    LoopbackOrigin& operator=(const LoopbackOrigin&) = delete;

    void Stop()
    {
        if (!m_thread.joinable())
            return;
        m_stop = true;
        WSocket wake;
        wake.Connect("127.0.0.1", m_listener.port);
        m_thread.join();
    }
    std::uint16_t Port() const { return m_listener.port; }

private:
    std::function<void(int handle)> m_answer;
    LoopbackListener m_listener;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

class ProxyE2ETest : public ConfigTest {
protected:
    static void SetUpTestSuite()
    {
        InitMacroLibrary();
        ::setenv("VELMORA_SHM_PREFIX", ("vpx" + std::to_string(::getpid())).c_str(), 1);
        BindSocketAPI();
    }
    static void TearDownTestSuite() { ::unsetenv("VELMORA_SHM_PREFIX"); }

    void SetUp() override
    {
        ConfigTest::SetUp();
        if (!bench::IsExecutable("/usr/bin/curl"))
            GTEST_SKIP() << "curl is not installed";
        m_root = m_dir / "www";
        std::filesystem::create_directories(m_root);
        m_port = FreePort();
        m_key = Key("HTTPProxy");
        m_key.SetDword("Enabled", 1);
        m_key.SetDword("Port", m_port);
        m_key.SetDword("Address", htonl(INADDR_LOOPBACK));
        m_key.SetDword("ConnTimeout", 5);
        m_key.SetString("RootDir", m_dir / "cache/");
        m_key.SetString("LogFile", m_dir / "proxy.log");
        m_key.SetDword("MaxCacheSize", 0);
        m_key.SetDword("SyncInterval", 0);
    }
    void TearDown() override
    {
        StopAllServers();
        if (WorkerPoolRunning())
            StopWorkerThreads();
        DeleteAllServers();
        m_proxy = nullptr;
        for (const std::string& line : LogLines())
            EXPECT_TRUE(std::regex_match(line, kProxyLogLine)) << line;
        m_scope.reset();
        m_key.Close();
        ConfigTest::TearDown();
    }

    // Reads HTTPProxy as engine start does and starts the proxy; with
    // workers, in fibers of a pool of that many.
    void StartProxy(std::uint32_t workers = 0)
    {
        const char* fibers = std::getenv("VELMORA_E2E_FIBERS");
        if (workers == 0 && fibers && std::string(fibers) == "1")
            workers = 4;
        if (workers)
            m_key.SetDword("UseFibers", 1);
        m_scope = std::make_unique<CMacroContext>();
        InitBuiltinMacros(m_scope.get());
        CHTTPProxySettings settings;
        ASSERT_EQ(settings.Open(m_product, "HTTPProxy", 1), 1);
        m_proxy = new CHTTPProxy(settings);
        if (CMacroContext* scope = m_proxy->GetMacroScope())
            scope->SetParent(m_scope.get());
        if (workers) {
            ASSERT_TRUE(StartWorkerThreads(workers, 0, ServerFiber));
        }
        ASSERT_EQ(m_proxy->Start(0), 0);
        if (workers) {
            ASSERT_TRUE(m_proxy->IsFiberMode());
            std::uint64_t deadline = platform::MonotonicMs() + 2000;
            while (GetWorkerPoolCounts().pendingAccepts < m_proxy->GetSettings()->listeners &&
                   platform::MonotonicMs() < deadline)
                platform::SleepMs(10);
        }
    }

    // python3's http.server on m_root; its request log is Peer::Output().
    void StartPython(Peer& peer, std::uint16_t& port)
    {
        port = FreePort();
        StartPythonOn(peer, port);
    }

    // The same on a given port (a restarted origin keeps its URLs).
    void StartPythonOn(Peer& peer, std::uint16_t port)
    {
        std::string error = peer.Start({kPython, "-u", "-m", "http.server", std::to_string(port), "--bind",
                                        "127.0.0.1", "--directory", m_root},
                                       m_dir / ("python-" + std::to_string(port) + ".log"), port);
        ASSERT_TRUE(error.empty()) << error;
    }

    std::string ProxyURL() const { return "http://127.0.0.1:" + std::to_string(m_port); }
    static std::string Origin(std::uint16_t port, const std::string& path, const std::string& scheme = "http")
    {
        return scheme + "://127.0.0.1:" + std::to_string(port) + path;
    }
    // curl through the proxy; the body goes to m_dir/out.
    RunResult Curl(std::vector<std::string> args)
    {
        args.insert(args.begin(), {"/usr/bin/curl", "-s", "--max-time", "10", "-x", ProxyURL()});
        return RunTool(args, m_dir / "curl.out");
    }
    // A reply reaches the client as it comes, before the proxy indexes a
    // copy of it; the request's log line follows the indexing, so this waits
    // for it (bounded) before the caller looks at the cache.
    RunResult CurlLogged(std::vector<std::string> args)
    {
        std::size_t logged = LogLines().size();
        RunResult run = Curl(std::move(args));
        LogLines(logged + 1);
        return run;
    }
    std::string Body() { return bench::ReadFile(m_dir / "body.out"); }
    // curl arguments that keep the body in m_dir/body.out and print only the
    // status, then extra.
    std::vector<std::string> StatusArgs(const std::vector<std::string>& extra = {})
    {
        std::vector<std::string> args = {"-o", m_dir / "body.out", "-w", "%{http_code}"};
        args.insert(args.end(), extra.begin(), extra.end());
        return args;
    }

    std::vector<std::string> LogLines()
    {
        std::vector<std::string> lines;
        std::istringstream text(bench::ReadFile(m_dir / "proxy.log"));
        for (std::string line; std::getline(text, line);)
            lines.push_back(line);
        return lines;
    }
    // The log line is written after the reply went out, so a client can
    // finish before it lands: waits, bounded, for at least count lines.
    std::vector<std::string> LogLines(std::size_t count)
    {
        std::uint64_t deadline = platform::MonotonicMs() + 5000;
        std::vector<std::string> lines = LogLines();
        while (lines.size() < count && platform::MonotonicMs() < deadline) {
            platform::SleepMs(10);
            lines = LogLines();
        }
        return lines;
    }
    // The default text of one of the proxy's named pages.
    std::string Page(const std::string& name)
    {
        CTextBuffer out;
        m_proxy->GetMacroScope()->Expand(&out, "%" + name + "%");
        return out.ToString();
    }

    std::string m_root;
    std::uint16_t m_port = 0;
    platform::RegistryKey m_key;
    std::unique_ptr<CMacroContext> m_scope;
    CHTTPProxy* m_proxy = nullptr;
};

} // namespace proxy_e2e
