#pragma once
// A fresh hive per test: VELMORA_REGISTRY points into a new temporary
// directory, and the process's connection is closed before and after so that
// every test opens its own database.

#include "platform/registry.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

class RegistryFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "velmora-registry-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        m_directory = pattern;
        UseHive(HivePath("hive.db"));
    }

    void TearDown() override
    {
        platform::CloseRegistryDatabase();
        ::unsetenv("VELMORA_REGISTRY");
        std::error_code ignored;
        std::filesystem::remove_all(m_directory, ignored);
    }

    std::string HivePath(const std::string& name) const { return (m_directory / name).string(); }

    // Switches this process to another hive file.
    void UseHive(const std::string& path)
    {
        platform::CloseRegistryDatabase();
        ::setenv("VELMORA_REGISTRY", path.c_str(), 1);
    }

    std::filesystem::path m_directory;
};

#include <sys/types.h>
#include <vector>

// Starts this test program again as a separate process that plays a helper
// role (registry_helper.cpp) instead of running tests: role is a list of
// words such as "writer 1 100 30". It has its own connection to the hive
// named by the current VELMORA_REGISTRY, and starts its work at startMs
// (milliseconds of the system clock; 0 for at once).
pid_t SpawnRegistryHelper(const std::string& role, long long startMs = 0);
// A start time delayMs from now, for helpers that must run at the same time.
long long RegistryHelperStart(int delayMs);
// Waits for every child, at most timeoutMs in all, and kills the rest on
// expiry. The exit codes, -1 for a child that did not exit by itself.
std::vector<int> WaitChildren(const std::vector<pid_t>& pids, int timeoutMs);
