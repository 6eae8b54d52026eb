#pragma once
// Gives each test its own shared memory names (VELMORA_SHM_PREFIX = the
// process id and the test's name), and fails the test when anything with
// that prefix is left in /dev/shm at its end (removing it, so one failure
// does not litter the machine).

#include "platform/shared_memory.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <unistd.h>

class SharedMemoryTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        m_prefix = "vt" + std::to_string(::getpid()) + "-" + info->test_suite_name() + "-" + info->name();
        for (char& c : m_prefix)
            if (c == '/')
                c = '_';
        ::setenv(platform::kShmPrefixVariable, m_prefix.c_str(), 1);
    }

    void TearDown() override
    {
        std::vector<std::string> left = Leftovers();
        for (const std::string& name : left)
            std::filesystem::remove(std::filesystem::path("/dev/shm") / name);
        EXPECT_TRUE(left.empty()) << left.size() << " object(s) left in /dev/shm, first " << (left.empty() ? "" : left[0]);
        ::unsetenv(platform::kShmPrefixVariable);
    }

    // Entries of /dev/shm made under this test's prefix.
    std::vector<std::string> Leftovers() const
    {
        std::vector<std::string> names;
        std::error_code error;
        for (const auto& entry : std::filesystem::directory_iterator("/dev/shm", error)) {
            std::string name = entry.path().filename().string();
            if (name.rfind(m_prefix + ".", 0) == 0)
                names.push_back(name);
        }
        return names;
    }

    // Where the object of a system name lives.
    static std::filesystem::path DevShmPath(const std::string& name)
    {
        return std::filesystem::path("/dev/shm") / platform::SharedMemoryName(name).substr(1);
    }

    const std::string& Prefix() const { return m_prefix; }

private:
    std::string m_prefix;
};
