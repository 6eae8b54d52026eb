#pragma once
// A hive of the test's own holding the shipped default configuration (as
// make run and make run-app seed it) on free loopback ports, and the
// environment the application runs in: its state, run directory, shared
// memory names and event socket all inside the test's folder.

#include "config/config_fixture.h"
#include "config/http_server_config.h"
#include "e2e/e2e_server.h"
#include "framework/wsocket.h"
#include "platform/clock.h"
#include "platform/eventlog.h"
#include "platform/process.h"
#include "service/engine.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

// How long past the change stamp's hold-off a running program may take to
// show a saved change: a sanitizer build under a full machine is slow.
inline constexpr std::uint64_t kLiveSlackMs = 5000;
// The seeded HTTP server listens on 127.0.0.1 (first octet lowest).
inline constexpr std::uint32_t kSeededServerAddress = 0x0100007F;

class AppHiveTest : public ConfigTest {
protected:
    void SetUp() override
    {
        ConfigTest::SetUp();
        ::setenv("VELMORA_HOME", (m_dir / "home").c_str(), 1);
        ::setenv("VELMORA_RUN_DIR", (m_dir / "rt").c_str(), 1);
        ::setenv("VELMORA_SHM_PREFIX", ("vapp" + std::to_string(::getpid()) + "x" + std::to_string(++s_count)).c_str(), 1);
        // Events go to a socket nobody reads rather than the host's syslog.
        ::setenv(platform::kSyslogSocketVariable, (m_dir / "no-syslog.sock").c_str(), 1);
    }
    void TearDown() override
    {
        // A program killed on purpose leaves its statistics blocks behind.
        if (const char* prefix = std::getenv("VELMORA_SHM_PREFIX")) {
            std::error_code error;
            for (const auto& entry : std::filesystem::directory_iterator("/dev/shm", error))
                if (entry.path().filename().string().rfind(std::string(prefix) + ".", 0) == 0)
                    std::filesystem::remove(entry.path(), error);
        }
        for (const char* name : {"VELMORA_HOME", "VELMORA_RUN_DIR", "VELMORA_SHM_PREFIX", platform::kSyslogSocketVariable})
            ::unsetenv(name);
        ConfigTest::TearDown();
    }

    static std::string BinDir()
    {
        const char* dir = std::getenv("VELMORA_TEST_BIN_DIR");
        return dir ? dir : ".";
    }
    static std::string Replace(std::string text, const std::string& from, const std::string& to)
    {
        for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
            text.replace(at, from.size(), to);
        return text;
    }
    static std::string HexDword(std::uint32_t value)
    {
        char text[16];
        std::snprintf(text, sizeof text, "dword:%08x", value);
        return text;
    }

    // The shipped .reg with the HTTP server, the proxy and the chat room
    // moved to free ports, imported with the real velmora-reg.
    void SeedDefaultConfiguration()
    {
        std::ifstream in(std::string(VELMORA_SOURCE_DIR) + "/resources/default-config.reg");
        std::stringstream text;
        text << in.rdbuf();
        std::string reg = text.str();
        ASSERT_NE(reg.find("8080:127.0.0.1"), std::string::npos);
        m_port = e2e::FreePort();
        reg = Replace(reg, "@WWW@", std::string(VELMORA_SOURCE_DIR) + "/www");
        reg = Replace(reg, "@RUN@", m_dir.Path());
        reg = Replace(reg, "8080:127.0.0.1", std::to_string(m_port) + ":127.0.0.1");
        reg = Replace(reg, HexDword(8080), HexDword(m_port));
        reg = Replace(reg, HexDword(8081), HexDword(e2e::FreePort()));
        reg = Replace(reg, HexDword(8082), HexDword(e2e::FreePort()));
        e2e::WriteFile(m_dir / "default.reg", reg);
        e2e::RunResult import =
            e2e::RunProgram({"timeout", "60", BinDir() + "/tools/velmora-reg", "import", m_dir / "default.reg"},
                            m_dir / "import.out");
        ASSERT_EQ(import.exitCode, 0) << import.output;
    }

    // A document folder of the test's own holding files (name, text), made
    // the root of the seeded server; its path.
    std::string UseDocumentFolder(std::initializer_list<std::pair<const char*, const char*>> files)
    {
        std::string www = m_dir / "www";
        std::filesystem::create_directories(www);
        for (const auto& [name, text] : files)
            e2e::WriteFile(www + "/" + name, text);
        Key("HTTP\\Servers\\" + HTTPServerKeyName(m_port, kSeededServerAddress)).SetString("RootDir", www);
        return www;
    }

    // For tests that fetch with curl: skipped without it, else the default
    // configuration is seeded.
    void SeedForCurl()
    {
        if (!e2e::HaveTool("/usr/bin/curl"))
            GTEST_SKIP() << "curl is not installed";
        SeedDefaultConfiguration();
    }

    // curl's exit code for a GET of path (0 with a 200 reply).
    int Curl(const std::string& path = "/")
    {
        return e2e::RunProgram({"curl", "-sf", "--max-time", "10", "-o", "/dev/null",
                                "http://127.0.0.1:" + std::to_string(m_port) + path},
                               m_dir / "curl.out")
            .exitCode;
    }

    // The real velmora program on this hive, offscreen (so a message box
    // would wait for ever and show up as a program that does not end).
    // errors: a descriptor for its standard error, -1 for none.
    void StartApplication(platform::ChildProcess& child, int errors = -1)
    {
        platform::ChildStart start;
        start.error = errors;
        start.arguments = {BinDir() + "/app/velmora"};
        start.environment = platform::CurrentEnvironment();
        start.environment.push_back("QT_QPA_PLATFORM=offscreen");
        start.explicitEnvironment = true;
        start.newSession = true;
        ASSERT_EQ(child.Start(start), 0);
    }
    // Waits (bounded) until the program serves the configured port; false
    // when it ended first or the time ran out.
    bool Serving(platform::ChildProcess& child)
    {
        const std::uint64_t end = platform::MonotonicMs() + 20000;
        while (platform::MonotonicMs() < end) {
            if (child.TryReap())
                return false;
            if (Curl() == 0)
                return true;
            platform::SleepMs(100);
        }
        return false;
    }

    std::uint16_t m_port = 0;
    static inline int s_count = 0;
};

// The engine run in this process on the seeded configuration; the test
// starts the services, the fixture stops them.
class AppEngineTest : public AppHiveTest {
protected:
    void SetUp() override
    {
        AppHiveTest::SetUp();
        if (const char* missing = Missing())
            GTEST_SKIP() << missing;
        SeedForCurl();
        if (!IsSkipped())
            BindSocketAPI();
    }
    void TearDown() override
    {
        StopServices();
        UnbindEngineFunctions();
        AppHiveTest::TearDown();
    }
    // Why the test cannot run here beyond curl; null when it can.
    virtual const char* Missing() const { return nullptr; }
};
