#pragma once
// A hive of the test's own with one HTTP server on a free loopback port, the
// real velmorad installed as the service "Velmora", ODBC files in the test's
// folder (the service's odbc.ini and a person's ~/.odbc.ini under a HOME of
// the test's own), and helpers that watch the Service page's buttons.

#include "app/page_harness.h"
#include "config/config_fixture.h"
#include "e2e/e2e_server.h"
#include "platform/eventlog.h"
#include "platform/service.h"
#include "service/service_process.h"

#include <gtest/gtest.h>

#include <optional>

inline constexpr const char* kSQLiteDriver = "/usr/lib/x86_64-linux-gnu/odbc/libsqlite3odbc.so";

// The Service page's enabled buttons, in the order Start, Stop, Pause, Resume.
inline std::string EnabledButtons(QWidget& page)
{
    std::string enabled;
    for (auto [id, name] : {std::pair{1163, "start"}, {1164, "stop"}, {1048, "pause"}, {1049, "resume"}})
        if (auto* button = FindControl<QPushButton>(&page, id); button && button->isEnabled())
            enabled += enabled.empty() ? name : std::string(" ") + name;
    return enabled;
}

class AppletLiveTest : public ConfigTest {
protected:
    void SetUp() override
    {
        ConfigTest::SetUp();
        if (std::string why = ServiceTestObstacle(); !why.empty())
            GTEST_SKIP() << why;
        for (const char* name : {"HOME", "TEMP"})
            if (const char* value = std::getenv(name))
                m_saved.emplace_back(name, value);
        ::setenv("TEMP", m_dir.Path().c_str(), 1);
        UseServiceFolders(m_dir.Path(), "vcpl" + std::to_string(::getpid()));
        ::setenv(platform::kSyslogSocketVariable, (m_dir / "no-syslog.sock").c_str(), 1);
        ::setenv("HOME", (m_dir / "person").c_str(), 1);
        std::filesystem::create_directories(m_dir / "person");
        e2e::WriteFile(m_dir / "odbcinst.ini", std::string("[SQLite3]\nDriver=") + kSQLiteDriver + "\n");
        e2e::WriteFile(m_dir / "odbc.ini", "[ODBC Data Sources]\nvelmora=SQLite3\n\n[velmora]\nDriver=SQLite3\n"
                                           "Database=" + (m_dir / "velmora.db") + "\n");
        ::setenv("ODBCSYSINI", m_dir.Path().c_str(), 1);
        ::setenv("ODBCINI", (m_dir / "odbc.ini").c_str(), 1);

        m_root = m_dir / "www";
        e2e::WriteFile(m_root + "/index.htm", "service page\n");
        Key("HTTP\\Mappings").SetString("htm", "text/html");
        m_port = e2e::FreePort();
        AddLoopbackServer(m_product, m_port, m_root);
    }
    void TearDown() override
    {
        StopLeftoverService("Velmora");
        for (const char* name : {"VELMORA_HOME", "VELMORA_RUN_DIR", "VELMORA_SHM_PREFIX", "ODBCSYSINI", "ODBCINI",
                                 platform::kSyslogSocketVariable, "HOME", "TEMP"})
            ::unsetenv(name);
        for (auto& [name, value] : m_saved)
            ::setenv(name.c_str(), value.c_str(), 1);
        ConfigTest::TearDown();
    }

    void Install()
    {
        e2e::RunResult run = e2e::RunProgram({"timeout", "60", BinDir() + "/service/velmorad", "-install"},
                                             m_dir / "velmorad.out");
        ASSERT_EQ(run.output, "Service successfully installed!\n");
    }
    e2e::RunResult Get(const std::string& path = "/")
    {
        return e2e::RunProgram({"curl", "-s", "--max-time", "10", "http://127.0.0.1:" + std::to_string(m_port) + path},
                               m_dir / "curl.out");
    }
    // curl's exit code for a refused connection.
    static constexpr int kRefused = 7;

    std::string m_root;
    std::uint16_t m_port = 0;
    std::vector<std::pair<std::string, std::string>> m_saved;
};
