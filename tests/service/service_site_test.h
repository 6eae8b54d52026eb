#pragma once
// A fixture for tests of the real velmorad serving one HTTP site from a
// folder of the test's own, its state, sockets, events and shared memory
// kept inside that folder too.

#include "config/config_fixture.h"
#include "e2e/e2e_server.h"
#include "platform/eventlog.h"
#include "platform/shared_memory.h"
#include "service_process.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>

class ServiceSiteTest : public ConfigTest {
protected:
    explicit ServiceSiteTest(std::string shmTag) : m_shmTag(std::move(shmTag)) {}

    void SetUp() override
    {
        ConfigTest::SetUp();
        if (std::string why = ServiceTestObstacle(); !why.empty())
            GTEST_SKIP() << why;
        if (const char* temp = std::getenv("TEMP"))
            m_savedTemp = temp;
        ::setenv("TEMP", m_dir.Path().c_str(), 1);
        UseServiceFolders(m_dir.Path(), m_shmTag + std::to_string(::getpid()));
        // No syslog listens there: the service keeps its events in Velmora.log.
        ::setenv(platform::kSyslogSocketVariable, (m_dir / "log.sock").c_str(), 1);
        m_root = m_dir / "www";
        e2e::WriteFile(m_root + "/index.htm", "service page\n");
        Key("HTTP\\Mappings").SetString("htm", "text/html");
        m_port = e2e::FreePort();
        m_server = AddLoopbackServer(m_product, m_port, m_root);
    }
    void TearDown() override
    {
        // Whatever a failed test left running goes, and the blocks of a run
        // ended hard (the watchdog's) with it.
        StopLeftoverService("Velmora");
        if (const char* prefix = std::getenv(platform::kShmPrefixVariable); prefix && *prefix)
            platform::RemoveUnusedSharedMemory("");
        m_server.Close();
        for (const char* name : {"VELMORA_HOME", "VELMORA_RUN_DIR", "VELMORA_SHM_PREFIX", platform::kSyslogSocketVariable,
                                 "VELMORA_STOP_WATCHDOG_MS"})
            ::unsetenv(name);
        if (m_savedTemp)
            ::setenv("TEMP", m_savedTemp->c_str(), 1);
        else
            ::unsetenv("TEMP");
        ConfigTest::TearDown();
    }

    std::string m_shmTag;
    std::string m_root;
    std::uint16_t m_port = 0;
    platform::RegistryKey m_server;
    std::optional<std::string> m_savedTemp;
};
