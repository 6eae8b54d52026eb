#pragma once
// Gives each test its own shared memory names (VELMORA_SHM_PREFIX = the
// process id and the test's name) and fails it when anything under that
// prefix is left in /dev/shm, removing the leftovers.

#include "platform/shared_memory.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include <unistd.h>

class SharedMemoryTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        m_prefix = "vt" + std::to_string(::getpid()) + "-" + info->test_suite_name() + "-" + info->name();
        ::setenv(platform::kShmPrefixVariable, m_prefix.c_str(), 1);
    }

    void TearDown() override
    {
        std::error_code error;
        for (const auto& entry : std::filesystem::directory_iterator("/dev/shm", error)) {
            if (entry.path().filename().string().rfind(m_prefix + ".", 0) == 0) {
                ADD_FAILURE() << "left in /dev/shm: " << entry.path();
                std::filesystem::remove(entry.path(), error);
            }
        }
        ::unsetenv(platform::kShmPrefixVariable);
    }

public:
    // Where the object of a system name lives.
    static std::filesystem::path DevShmPath(const std::string& name)
    {
        return std::filesystem::path("/dev/shm") / platform::SharedMemoryName(name).substr(1);
    }

protected:
    const std::string& Prefix() const { return m_prefix; }

private:
    std::string m_prefix;
};
