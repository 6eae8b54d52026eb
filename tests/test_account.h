#pragma once
// The script that makes and removes the PAM test account (root only), in
// the source tree these tests were built from.

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

inline std::string TestAccountScript()
{
    return std::string(VELMORA_SOURCE_DIR) + "/tools/test-account.sh";
}

// Makes an account of each of names with password(name), adding each one
// made to made (for RemoveTestAccounts). Skips the test when not run as
// root or where the script finds a tool it needs missing; a SetUp that goes
// on after it returns first when the test IsSkipped() or HasFatalFailure().
inline void CreateTestAccounts(const std::vector<std::string>& names,
                               const std::function<std::string(const std::string&)>& password,
                               std::vector<std::string>& made)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to create the PAM test accounts";
    for (const std::string& name : names) {
        int status = std::system(
            ("/bin/sh '" + TestAccountScript() + "' create " + name + " '" + password(name) + "' >/dev/null 2>&1").c_str());
        if (!WIFEXITED(status) || WEXITSTATUS(status) == 2 || WEXITSTATUS(status) == 3)
            GTEST_SKIP() << "useradd, chpasswd or pam_unix is missing (see tools/test-account.sh)";
        ASSERT_EQ(WEXITSTATUS(status), 0) << name;
        made.push_back(name);
    }
}

inline void RemoveTestAccounts(const std::vector<std::string>& names)
{
    for (const std::string& name : names)
        std::system(("/bin/sh '" + TestAccountScript() + "' remove " + name + " >/dev/null 2>&1").c_str());
}
