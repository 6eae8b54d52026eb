#pragma once
// The real engine start on a hive of the test's own: shared memory named
// after the suite and the process, VELMORA_HOME inside the test's folder,
// and the services stopped and the engine's functions unbound after each
// test whatever it left running.

#include "config/config_fixture.h"
#include "framework/wsocket.h"
#include "service/engine.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include <unistd.h>

class EngineHiveTest : public ConfigTest {
protected:
    // For the derived suite's SetUpTestSuite.
    static void EnterSuite(const char* shmPrefix)
    {
        ::setenv("VELMORA_SHM_PREFIX", (shmPrefix + std::to_string(::getpid())).c_str(), 1);
        BindSocketAPI();
    }
    static void TearDownTestSuite() { ::unsetenv("VELMORA_SHM_PREFIX"); }

    void SetUp() override
    {
        ConfigTest::SetUp();
        ::setenv("VELMORA_HOME", (m_dir / "home").c_str(), 1);
    }
    void TearDown() override
    {
        StopServices();
        UnbindEngineFunctions();
        ::unsetenv("VELMORA_HOME");
        ConfigTest::TearDown();
    }
};
