#pragma once
// The end-to-end set-up: a hive of its own (VELMORA_REGISTRY) and a document
// root in a temporary directory, the HTTP configuration written to the hive
// and loaded as engine start loads it, real CHTTPServers on 127.0.0.1 at
// ports chosen at run time, and the real curl as the client. Every server
// writes an access log, alternately in the common and the combined format,
// and each test ends by checking every line of it.
//
// With VELMORA_E2E_FIBERS=1 in the environment every server is served
// through the worker pool (UseFibers 1, the pool started before the
// servers), so the same tests run in both modes.

#include "config/config_fixture.h"
#include "config/global_maps.h"
#include "config/http_global_config.h"
#include "config/http_server_config.h"
#include "framework/server.h"
#include "framework/text_buffer.h"
#include "framework/worker_pool.h"
#include "framework/wsocket.h"
#include "http/http_server.h"
#include "macro/builtin_macros.h"
#include "macro/macro_context.h"
#include "macro/macro_exception.h"
#include "macro/named_strings.h"
#include "http/http_server_fixture.h"
#include "platform/clock.h"
#include "eventually.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace e2e {

using http_test::FreePort;
using http_test::ReadFile;
using http_test::WriteFile;

struct RunResult {
    int exitCode = -1;
    std::string output;
};

// Runs a program (no shell) with its standard output in a file, bounded by
// its own time-out argument; the child is always reaped.
inline RunResult RunProgram(const std::vector<std::string>& args, const std::string& outputFile)
{
    std::vector<char*> argv;
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    // No tool may wait for input from the test's own standard input.
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t child = -1;
    RunResult run;
    if (posix_spawnp(&child, argv[0], &actions, nullptr, argv.data(), environ) == 0) {
        int status = 0;
        if (::waitpid(child, &status, 0) == child && WIFEXITED(status))
            run.exitCode = WEXITSTATUS(status);
    }
    posix_spawn_file_actions_destroy(&actions);
    run.output = ReadFile(outputFile);
    return run;
}

inline bool HaveTool(const std::string& path) { return ::access(path.c_str(), X_OK) == 0; }

// The workers of the pool in fiber mode: few, so that many connections
// share each worker.
inline constexpr std::uint32_t kE2EWorkers = 4;
// How long the posted accepts may take to appear after a server starts.
inline constexpr std::uint64_t kAcceptsPostedWaitMs = 30000;
inline constexpr std::uint64_t kLogLinesWaitMs = 30000;

inline bool FiberModeRequested()
{
    const char* value = std::getenv("VELMORA_E2E_FIBERS");
    return value && std::strcmp(value, "1") == 0;
}

// Access-log lines: one quoted field has no bare quote and every backslash
// in it starts an escape.
inline const std::string kLogQuoted = R"("(?:[^"\\\x00-\x1f]|\\.)*")";
inline const std::string kLogHead = R"(^\S+ - \S+ \[\d{2}/[A-Z][a-z]{2}/\d{4}:\d{2}:\d{2}:\d{2} \+0000\] )";
inline const std::regex kCommonLogLine(kLogHead + kLogQuoted + R"( \d{3} \d+$)");
inline const std::regex kCombinedLogLine(kLogHead + kLogQuoted + R"( \d{3} \d+ )" + kLogQuoted + " " + kLogQuoted + "$");

struct AccessLog {
    std::string path;
    bool combined = false;
};

class E2ETest : public ConfigTest {
protected:
    static void SetUpTestSuite()
    {
        InitMacroLibrary();
        ::setenv("VELMORA_SHM_PREFIX", ("ve2e" + std::to_string(::getpid())).c_str(), 1);
        BindSocketAPI();
    }
    static void TearDownTestSuite() { ::unsetenv("VELMORA_SHM_PREFIX"); }

    void SetUp() override
    {
        ConfigTest::SetUp();
        if (::access("/usr/bin/curl", X_OK) != 0)
            GTEST_SKIP() << "curl is not installed";
        m_root = m_dir / "www";
        std::filesystem::create_directories(m_root);
        SetValues("HTTP\\Mappings", {{"txt", "text/plain"}, {"htm", "text/html"}, {"bin", "application/octet-stream"}});
    }
    void TearDown() override
    {
        StopAllServers();
        EXPECT_FALSE(WorkerPoolRunning()) << "stopping the servers ends the pool";
        if (WorkerPoolRunning())
            StopWorkerThreads();
        DeleteAllServers();
        TerminateBuiltinMacros();
        for (const AccessLog& log : m_logs)
            CheckAccessLog(log);
        SetHTTPStringsScope(nullptr);
        m_config.reset();
        m_scope.reset();
        ConfigTest::TearDown();
    }

    void SetValues(const std::string& path, const std::vector<std::pair<std::string, std::string>>& values)
    {
        platform::RegistryKey key = Key(path);
        for (const auto& [name, value] : values)
            key.SetString(name, value);
    }
    // The key of a server on 127.0.0.1 at a new port, serving m_root.
    std::string AddServer(std::uint16_t port)
    {
        std::string name = "HTTP\\Servers\\" + HTTPServerKeyName(port, htonl(INADDR_LOOPBACK));
        platform::RegistryKey key = Key(name);
        key.SetDword("Port", port);
        key.SetDword("Address", htonl(INADDR_LOOPBACK));
        key.SetDword("ConnTimeout", 5);
        key.SetDword("URLCacheFlushInterval", 0);
        key.SetString("RootDir", m_root);
        key.SetString("Description", "E2E site");
        AccessLog log{m_dir / ("access-" + std::to_string(port) + ".log"), m_logs.size() % 2 == 1};
        key.SetString("LogFile", log.path);
        key.SetDword("CCLF", log.combined ? 1 : 0);
        if (m_fibers)
            key.SetDword("UseFibers", 1);
        m_logs.push_back(log);
        return name;
    }

    std::vector<std::string> LogLines(const std::string& path)
    {
        std::vector<std::string> lines;
        std::istringstream text(ReadFile(path));
        for (std::string line; std::getline(text, line);)
            lines.push_back(line);
        return lines;
    }

    // The log's lines once it holds count of them: a line is written after
    // its reply is sent, so the client can finish before the last one lands.
    std::vector<std::string> LogLinesOnceThere(const std::string& path, std::size_t count)
    {
        std::vector<std::string> lines;
        Eventually([&] { return (lines = LogLines(path)).size() >= count; }, kLogLinesWaitMs);
        return lines;
    }

    // Every line matches its format strictly, and goaccess (when installed)
    // counts each one as a valid request.
    void CheckAccessLog(const AccessLog& log)
    {
        std::vector<std::string> lines = LogLines(log.path);
        for (const std::string& line : lines)
            EXPECT_TRUE(std::regex_match(line, log.combined ? kCombinedLogLine : kCommonLogLine)) << line;
        if (lines.empty() || !HaveTool("/usr/bin/goaccess"))
            return;
        RunResult report = RunProgram({"goaccess", log.path, "--no-global-config",
                                       std::string("--log-format=") + (log.combined ? "COMBINED" : "COMMON"), "-o",
                                       "csv"},
                                      m_dir / "goaccess.out");
        EXPECT_EQ(report.exitCode, 0);
        // Appended piece by piece: g++ 12 warns wrongly about the chained + here.
        std::string valid = "\"";
        valid += std::to_string(lines.size());
        valid += "\",\"valid_requests\"";
        EXPECT_NE(report.output.find(valid), std::string::npos) << log.path << ": " << report.output.substr(0, 600);
        EXPECT_NE(report.output.find(R"("0","failed_requests")"), std::string::npos) << report.output.substr(0, 600);
    }

    // Loads the HTTP configuration from the hive as engine start does and
    // starts one server per configuration.
    void StartServers()
    {
        m_scope = std::make_unique<CMacroContext>();
        InitBuiltinMacros(m_scope.get());
        m_config = std::make_unique<CHTTPGlobalConfig>();
        ASSERT_EQ(m_config->Load(m_product, "HTTP", 1), 1);
        auto* strings = dynamic_cast<CMacroContext*>(m_config->GetStrings());
        ASSERT_NE(strings, nullptr);
        strings->SetParent(m_scope.get());
        SetHTTPStringsScope(strings);
        GlobalMIMETypes().Assign(m_config->GetMappings());
        GlobalUsers().Assign(m_config->GetUsers());
        GlobalGroups().Assign(m_config->GetGuests());
        GlobalVirtualPaths().Assign(m_config->GetPaths());
        GlobalRedirections().Assign(m_config->GetRedirections());
        GlobalCGIMappings().Assign(m_config->GetCGIExt());
        if (m_fibers && !WorkerPoolRunning()) {
            ASSERT_TRUE(StartWorkerThreads(kE2EWorkers, 0, ServerFiber));
        }
        unsigned index = 0;
        std::uint32_t accepts = 0;
        for (CHTTPServerConfig& config : m_config->GetServers()) {
            auto* server = new CHTTPServer(config);
            ASSERT_EQ(server->Start(index++), 0);
            std::shared_ptr<const CServiceSettings> settings = server->GetSettings();
            if (m_fibers) {
                ASSERT_EQ(settings->useFibers, 1u) << "the server fell back to threads";
                accepts += settings->listeners;
            }
        }
        if (m_fibers) {
            ASSERT_TRUE(WaitForPendingAccepts(accepts)) << GetWorkerPoolCounts().pendingAccepts << " accepts posted";
        }
    }

    // True once the pool holds at least count posted accepts.
    static bool WaitForPendingAccepts(std::uint32_t count)
    {
        std::uint64_t deadline = platform::MonotonicMs() + kAcceptsPostedWaitMs;
        while (GetWorkerPoolCounts().pendingAccepts < count) {
            if (platform::MonotonicMs() >= deadline)
                return false;
            platform::SleepMs(10);
        }
        return true;
    }

    // curl with the given arguments; its output (what -w writes, or the body)
    // comes back.
    RunResult Curl(std::vector<std::string> args)
    {
        args.insert(args.begin(), {"curl", "-s", "--max-time", "10"});
        return RunProgram(args, m_dir / "curl.out");
    }
    std::string URL(std::uint16_t port, const std::string& path)
    {
        return "http://127.0.0.1:" + std::to_string(port) + path;
    }
    std::string Sha256(const std::string& file) { return RunProgram({"sha256sum", file}, m_dir / "sha.out").output.substr(0, 64); }
    // The default text of a named string as the servers expand it.
    std::string Page(const std::string& name)
    {
        CTextBuffer out;
        GetHTTPStringsScope()->Expand(&out, "%" + name + "%");
        return out.ToString();
    }

    // Serve through the worker pool; a fixture that always wants it sets
    // this in its constructor.
    bool m_fibers = FiberModeRequested();
    std::string m_root;
    std::vector<AccessLog> m_logs;
    std::unique_ptr<CMacroContext> m_scope;
    std::unique_ptr<CHTTPGlobalConfig> m_config;
};

} // namespace e2e
