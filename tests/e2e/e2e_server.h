#pragma once
// The end-to-end set-up: a hive of its own (VELMORA_REGISTRY) and a document
// root in a temporary directory, the HTTP configuration written to the hive
// and loaded as engine start loads it, real CHTTPServers on 127.0.0.1 at
// ports chosen at run time, and the real curl as the client.

#include "config/config_fixture.h"
#include "config/global_maps.h"
#include "config/http_global_config.h"
#include "config/http_server_config.h"
#include "framework/server.h"
#include "framework/text_buffer.h"
#include "framework/wsocket.h"
#include "http/http_server.h"
#include "macro/core_macros.h"
#include "macro/macro_context.h"
#include "macro/named_strings.h"
#include "http/http_server_fixture.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
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
        DeleteAllServers();
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
        return name;
    }

    // Loads the HTTP configuration from the hive as engine start does and
    // starts one server per configuration.
    void StartServers()
    {
        m_scope = std::make_unique<CMacroContext>();
        RegisterCoreMacros(*m_scope);
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
        unsigned index = 0;
        for (CHTTPServerConfig& config : m_config->GetServers()) {
            auto* server = new CHTTPServer(config);
            ASSERT_EQ(server->Start(index++), 0);
        }
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

    std::string m_root;
    std::unique_ptr<CMacroContext> m_scope;
    std::unique_ptr<CHTTPGlobalConfig> m_config;
};

} // namespace e2e
