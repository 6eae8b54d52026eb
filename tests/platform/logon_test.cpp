// The logon path against the real PAM stack with a test account made by
// tools/test-account.sh (root only), and children started as the thread's
// account.

#include "platform/logon.h"
#include "platform/process.h"

#include "test_account.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <cstdlib>
#include <filesystem>
#include <pwd.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr const char* kPassword = "Velmora-Test-Pw-1";

// Reaps the child, bounded: a child still there after 10 s is killed.
int Reap(int pid)
{
    int status = 0;
    for (int i = 0; i < 1000; ++i) {
        int got = ::waitpid(pid, &status, WNOHANG);
        if (got == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        if (got < 0 && errno != EINTR)
            return -1;
        ::usleep(10000);
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    return -1;
}

// Starts a child as the thread's account, as the program runners do.
int StartAsThread(platform::ChildStart start, int* pid)
{
    platform::LogonTokenPtr token = platform::CurrentImpersonation();
    start.credentials = token.get();
    return platform::StartChild(start, pid);
}

// Starts argv as the thread's account and returns what it printed.
int RunChild(const std::vector<std::string>& arguments, std::string& output, int* exitCode = nullptr)
{
    int pipes[2];
    if (::pipe2(pipes, O_CLOEXEC) != 0)
        return -1;
    platform::ChildStart start;
    start.arguments = arguments;
    start.output = pipes[1];
    int pid = 0;
    int result = StartAsThread(start, &pid);
    ::close(pipes[1]);
    output.clear();
    char buffer[256];
    for (ssize_t n; (n = ::read(pipes[0], buffer, sizeof buffer)) > 0;)
        output.append(buffer, static_cast<std::size_t>(n));
    ::close(pipes[0]);
    if (result == 0) {
        int code = Reap(pid);
        if (exitCode)
            *exitCode = code;
    }
    return result;
}

int RunScript(const std::vector<std::string>& arguments)
{
    std::string ignored;
    int code = -1;
    std::vector<std::string> command = {"/bin/sh", TestAccountScript()};
    command.insert(command.end(), arguments.begin(), arguments.end());
    return RunChild(command, ignored, &code) == 0 ? code : -1;
}

class LogonTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        // One account per test process: CTest runs the cases in parallel.
        s_name = "velmora-test-" + std::to_string(::getpid());
        if (::geteuid() != 0) {
            s_skip = "needs root to create a PAM test account";
            return;
        }
        int status = RunScript({"create", s_name, kPassword});
        if (status == 2 || status == 3) {
            s_skip = "useradd, chpasswd or pam_unix is missing (see tools/test-account.sh)";
            return;
        }
        if (status != 0) {
            s_failure = "tools/test-account.sh create failed with status " + std::to_string(status);
            return;
        }
        s_created = true;
        if (passwd* entry = ::getpwnam(s_name.c_str()))
            s_uid = entry->pw_uid;
        else
            s_failure = "the test account is not in the user database";
    }
    static void TearDownTestSuite()
    {
        if (s_created)
            RunScript({"remove", s_name});
        s_created = false;
    }

    void SetUp() override
    {
        if (!s_skip.empty())
            GTEST_SKIP() << s_skip;
        ASSERT_TRUE(s_failure.empty()) << s_failure;
    }
    void TearDown() override
    {
        platform::RevertToSelf();
        EXPECT_EQ(::geteuid(), 0u);
    }

    static inline std::string s_name;
    static inline std::string s_skip;
    static inline std::string s_failure;
    static inline bool s_created = false;
    static inline uid_t s_uid = 0;
};

TEST_F(LogonTest, AFailedLogonKeepsTheIdentityTheThreadHad)
{
    // As the server's own account, a failure must not leave anything behind.
    EXPECT_EQ(platform::LogonAndImpersonate(s_name.c_str(), ".", "wrong password"), platform::kErrorLogonFailure);
    EXPECT_EQ(platform::CurrentImpersonation(), nullptr);
    EXPECT_EQ(::geteuid(), 0u);

    // As the anonymous account: bad credentials of a request must not leave
    // the thread running with the server's rights.
    ASSERT_EQ(platform::LogonAndImpersonate(s_name.c_str(), ".", kPassword), 0);
    platform::LogonTokenPtr anonymous = platform::CurrentImpersonation();
    ASSERT_NE(anonymous, nullptr);
    const char* failures[][2] = {{s_name.c_str(), "wrong password"}, {"no-such-user-velmora", "x"}, {"", ""}};
    for (const auto& failure : failures) {
        SCOPED_TRACE(failure[0]);
        EXPECT_EQ(platform::LogonAndImpersonate(failure[0], ".", failure[1]), platform::kErrorLogonFailure);
        EXPECT_EQ(platform::CurrentImpersonation(), anonymous);
        EXPECT_EQ(::geteuid(), s_uid);
    }

    platform::RevertToSelf();
    EXPECT_EQ(platform::CurrentImpersonation(), nullptr);
    EXPECT_EQ(::geteuid(), 0u);
}

TEST_F(LogonTest, LogonOnlyGivesATokenAndKeepsTheThreadAsItWas)
{
    ASSERT_EQ(platform::LogonAndImpersonate(s_name.c_str(), ".", kPassword), 0);
    platform::LogonTokenPtr own = platform::CurrentImpersonation();

    platform::LogonTokenPtr token;
    EXPECT_EQ(platform::LogonUserOnly(s_name.c_str(), ".", kPassword, &token), 0);
    ASSERT_NE(token, nullptr);
    EXPECT_EQ(token->uid, s_uid);
    EXPECT_EQ(platform::CurrentImpersonation(), own);
    EXPECT_EQ(::geteuid(), s_uid);

    EXPECT_EQ(platform::LogonUserOnly(s_name.c_str(), ".", "bad", &token), platform::kErrorLogonFailure);
    EXPECT_EQ(token, nullptr);
    EXPECT_EQ(platform::CurrentImpersonation(), own);

    platform::RevertToSelf();
    EXPECT_EQ(platform::Impersonate(own), 0);
    EXPECT_EQ(::geteuid(), s_uid);
}

TEST_F(LogonTest, ChildrenRunAsTheThreadsAccountWithEveryId)
{
    std::string output;
    ASSERT_EQ(RunChild({"id", "-u"}, output), 0);
    EXPECT_EQ(output, "0\n");

    ASSERT_EQ(platform::LogonAndImpersonate(s_name.c_str(), ".", kPassword), 0);
    ASSERT_EQ(RunChild({"/bin/sh", "-c", "id -u; id -ru; id -g"}, output), 0);
    std::string uid = std::to_string(s_uid);
    EXPECT_EQ(output.rfind(uid + "\n" + uid + "\n", 0), 0u) << "effective and real ids: " << output;
    EXPECT_EQ(::geteuid(), s_uid) << "the parent thread keeps its impersonation";
}

TEST(ChildStartTest, FailuresComeBackAsTheirNumbers)
{
    std::filesystem::path plain = std::filesystem::temp_directory_path() / ("velmora-plain-" + std::to_string(::getpid()));
    {
        std::FILE* file = std::fopen(plain.c_str(), "w");
        ASSERT_NE(file, nullptr);
        std::fputs("not a program\n", file);
        std::fclose(file);
    }
    std::string output;
    int pid = 0;
    EXPECT_EQ(StartAsThread(platform::ChildStart{}, &pid), 87);
    EXPECT_EQ(RunChild({"no-such-program-velmora"}, output), 2);
    EXPECT_EQ(RunChild({"/nonexistent/program"}, output), 2);
    EXPECT_EQ(RunChild({plain.string()}, output), 5) << "a file without the execute bit";
    std::filesystem::permissions(plain, std::filesystem::perms::owner_all);
    EXPECT_EQ(RunChild({plain.string()}, output), 193) << "an executable file that is no program";
    std::filesystem::remove(plain);

    // The child gets the given environment and directory, nothing else open,
    // the default SIGPIPE although the server ignores it, and no blocked
    // signal although the starting thread blocks some (and the start blocks
    // them all while the child shares the server's memory).
    ::signal(SIGPIPE, SIG_IGN);
    sigset_t blocked, old;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGUSR1);
    sigaddset(&blocked, SIGTERM);
    ASSERT_EQ(::pthread_sigmask(SIG_BLOCK, &blocked, &old), 0);
    int pipes[2];
    ASSERT_EQ(::pipe2(pipes, O_CLOEXEC), 0);
    platform::ChildStart start;
    start.arguments = {"/bin/sh", "-c",
                       "echo $PROBE; pwd; ls /proc/self/fd | wc -l; grep SigBlk /proc/self/status; "
                       "grep SigIgn /proc/self/status"};
    start.explicitEnvironment = true;
    start.environment = {"PROBE=given", "PATH=/usr/bin:/bin"};
    start.workingDirectory = "/";
    start.output = pipes[1];
    ASSERT_EQ(StartAsThread(start, &pid), 0);
    ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
    ::close(pipes[1]);
    output.clear();
    char buffer[256];
    for (ssize_t n; (n = ::read(pipes[0], buffer, sizeof buffer)) > 0;)
        output.append(buffer, static_cast<std::size_t>(n));
    ::close(pipes[0]);
    EXPECT_EQ(Reap(pid), 0);
    // ls sees 0, 1, 2 and the directory it reads. Of the ignored signals only
    // those the C library reserves (32 and 33), if whoever ran the tests
    // ignored them, can be left.
    std::size_t mask = output.find("SigIgn:\t");
    ASSERT_NE(mask, std::string::npos) << output;
    std::uint64_t ignored = std::stoull(output.substr(mask + 8), nullptr, 16);
    EXPECT_EQ(ignored & ~std::uint64_t{0x180000000}, 0u) << output;
    EXPECT_EQ(output.substr(0, mask), "given\n/\n4\nSigBlk:\t0000000000000000\n");
}

} // namespace
