#include "platform/security.h"
#include "platform/logon.h"

#include "test_account.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <security/pam_appl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using platform::LogonToken;
using platform::LogonTokenPtr;

// The effective ids the kernel reports for the calling thread alone.
struct ThreadIds {
    std::vector<unsigned> uids; // real, effective, saved, file system
    std::vector<unsigned> gids;
    std::vector<unsigned> groups;
};

std::vector<unsigned> ParseIds(const std::string& line)
{
    std::istringstream in(line);
    std::vector<unsigned> ids;
    unsigned id;
    while (in >> id)
        ids.push_back(id);
    return ids;
}

ThreadIds ParseStatus(std::istream& in)
{
    ThreadIds ids;
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("Uid:", 0) == 0)
            ids.uids = ParseIds(line.substr(4));
        else if (line.rfind("Gid:", 0) == 0)
            ids.gids = ParseIds(line.substr(4));
        else if (line.rfind("Groups:", 0) == 0) {
            ids.groups = ParseIds(line.substr(7));
            std::sort(ids.groups.begin(), ids.groups.end());
        }
    }
    return ids;
}

ThreadIds ReadThreadIds()
{
    std::ifstream in("/proc/thread-self/status");
    return ParseStatus(in);
}

std::vector<unsigned> Sorted(const std::vector<platform::GroupId>& groups)
{
    std::vector<unsigned> out(groups.begin(), groups.end());
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
    return out;
}

bool CanOpen(const std::string& path)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    close(fd);
    return true;
}

std::string ReadAll(int fd)
{
    constexpr std::size_t kMaxOutput = 1 << 16;
    std::string out;
    char buffer[4096];
    while (out.size() < kMaxOutput) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        out.append(buffer, static_cast<std::size_t>(n));
    }
    return out;
}

// Runs argv (no shell) and returns its exit status and what it printed. With
// credentials it does what a process layer does to start a program as a user:
// prepared before the fork, applied in the child, exec only when that worked.
int RunProgram(const std::vector<std::string>& args, std::string* output,
               const platform::ChildCredentials* credentials = nullptr)
{
    int pipes[2];
    if (pipe2(pipes, O_CLOEXEC) != 0)
        return -1;
    std::vector<char*> argv;
    for (const auto& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(pipes[1], 1);
        if (credentials && credentials->Apply() != 0)
            _exit(126);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(pipes[1]);
    std::string text = ReadAll(pipes[0]);
    close(pipes[0]);
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid)
        return -1;
    if (output)
        *output = text;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

LogonTokenPtr MakeToken(platform::UserId uid, platform::GroupId gid, std::vector<platform::GroupId> groups)
{
    return std::make_shared<const LogonToken>(LogonToken{"test", uid, gid, std::move(groups)});
}

class SecurityTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        // One account per test process: CTest runs the cases in parallel.
        s_name = "velmora-test-" + std::to_string(getpid());
        if (geteuid() != 0) {
            s_skip = "needs root to create a PAM test account";
            return;
        }
        RemoveStaleAccounts();
        int status = CreateAccount();
        if (status == 2 || status == 3) {
            s_skip = "useradd, chpasswd or pam_unix is missing (see tools/test-account.sh)";
            return;
        }
        if (status != 0) {
            s_failure = "tools/test-account.sh create failed with status " + std::to_string(status);
            return;
        }
        s_created = true;
        passwd* entry = getpwnam(s_name.c_str());
        if (!entry) {
            s_failure = "the test account was created but is not in the user database";
            return;
        }
        s_uid = entry->pw_uid;
        s_gid = entry->pw_gid;
    }

    static void TearDownTestSuite()
    {
        if (s_created)
            RunProgram({"/bin/sh", TestAccountScript(), "remove", s_name}, nullptr);
        s_created = false;
    }

    // A test process that was killed left its account behind; its pid is gone.
    static void RemoveStaleAccounts()
    {
        const std::string prefix = "velmora-test-";
        std::vector<std::string> stale;
        setpwent();
        while (passwd* entry = getpwent()) {
            std::string name = entry->pw_name;
            if (name.rfind(prefix, 0) != 0 || name.size() == prefix.size() ||
                name.find_first_not_of("0123456789", prefix.size()) != std::string::npos)
                continue;
            pid_t owner = static_cast<pid_t>(std::atol(name.c_str() + prefix.size()));
            if (kill(owner, 0) != 0 && errno == ESRCH)
                stale.push_back(name);
        }
        endpwent();
        for (const std::string& name : stale)
            RunProgram({"/bin/sh", TestAccountScript(), "remove", name}, nullptr);
    }

    static int CreateAccount() { return RunProgram({"/bin/sh", TestAccountScript(), "create", s_name, kPassword}, nullptr); }

    void SetUp() override
    {
        if (!s_skip.empty())
            GTEST_SKIP() << s_skip;
        ASSERT_TRUE(s_failure.empty()) << s_failure;
    }

    void TearDown() override { EXPECT_EQ(platform::RevertToSelf(), 0); }

    LogonTokenPtr LogOn()
    {
        LogonTokenPtr token;
        EXPECT_EQ(platform::LogonUser(s_name.c_str(), ".", kPassword, &token), 0);
        return token;
    }

    static constexpr const char* kPassword = "Velmora-Test-Pw-1";
    // The loopback address, as a server names the client of a logon.
    static constexpr platform::LogonClient kClient = 0x7F000001;
    static inline std::string s_name;
    static inline std::string s_skip;
    static inline std::string s_failure;
    static inline bool s_created = false;
    static inline uid_t s_uid = 0;
    static inline gid_t s_gid = 0;
};

TEST_F(SecurityTest, GoodPasswordGivesTheAccountsIds)
{
    LogonTokenPtr token = LogOn();
    ASSERT_TRUE(token);
    EXPECT_EQ(token->userName, s_name);
    EXPECT_EQ(token->uid, s_uid);
    EXPECT_EQ(token->gid, s_gid);
    EXPECT_NE(std::find(token->groups.begin(), token->groups.end(), s_gid), token->groups.end());
    EXPECT_EQ(std::find(token->groups.begin(), token->groups.end(), 0u), token->groups.end());
    // A logon alone changes nobody's identity.
    EXPECT_FALSE(platform::CurrentImpersonation());
    EXPECT_EQ(syscall(SYS_geteuid), 0);
}

TEST_F(SecurityTest, RefusedLogonsGiveLogonFailureAtOnce)
{
    const std::string tooLongName(platform::kMaxLogonNameLength + 1, 'a');
    const std::string tooLongPassword(std::string(kPassword) + std::string(platform::kMaxLogonPasswordLength, 'x'));
    struct Case {
        const char* what;
        std::string user;
        const char* password;
    } cases[] = {
        {"wrong password", s_name, "not-the-password"},
        {"password with a tail", s_name, tooLongPassword.c_str()},
        {"empty password", s_name, ""},
        {"null password", s_name, nullptr},
        {"unknown user", "velmora-no-such-user", kPassword},
        {"empty user", "", kPassword},
        {"name too long", tooLongName, kPassword},
    };
    for (const Case& c : cases) {
        // pam_unix would sleep two seconds (give or take a quarter) on a
        // failure unless told not to. A refusal is timed against a good
        // logon just before it, which does the same work without any such
        // sleep, so a busy machine slows both; the least of up to three
        // differences counts, as the sleep would be in every one.
        constexpr auto kLessThanTheDelay = std::chrono::milliseconds(1000);
        auto leastExtra = std::chrono::steady_clock::duration::max();
        for (int attempt = 0; attempt < 3 && leastExtra >= kLessThanTheDelay; ++attempt) {
            auto start = std::chrono::steady_clock::now();
            ASSERT_TRUE(LogOn());
            auto good = std::chrono::steady_clock::now() - start;
            LogonTokenPtr token = MakeToken(1, 1, {});
            start = std::chrono::steady_clock::now();
            EXPECT_EQ(platform::LogonUser(c.user.c_str(), "", c.password, &token), platform::kErrorLogonFailure)
                << c.what;
            EXPECT_FALSE(token) << c.what;
            leastExtra = std::min(leastExtra, std::chrono::steady_clock::now() - start - good);
        }
        EXPECT_LT(leastExtra, kLessThanTheDelay) << c.what << ": the failure delay was slept";
    }
}

TEST_F(SecurityTest, AccountRestrictionsHaveTheirOwnErrors)
{
    struct Case {
        std::vector<std::string> restrict;
        int expected;
    } cases[] = {
        // A locked password must not tell that the account exists.
        {{"/usr/sbin/usermod", "--lock", s_name}, platform::kErrorLogonFailure},
        {{"/usr/sbin/usermod", "--expiredate", "1970-01-02", s_name}, platform::kErrorAccountExpired},
        {{"/usr/bin/chage", "--lastday", "0", s_name}, platform::kErrorPasswordExpired},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(RunProgram(c.restrict, nullptr), 0) << c.restrict[0];
        LogonTokenPtr token;
        EXPECT_EQ(platform::LogonUser(s_name.c_str(), "", kPassword, &token), c.expected) << c.restrict[1];
        EXPECT_FALSE(token);
        ASSERT_EQ(CreateAccount(), 0);
        EXPECT_EQ(platform::LogonUser(s_name.c_str(), "", kPassword, &token), 0) << "after " << c.restrict[1];
    }
}

TEST_F(SecurityTest, ImpersonationChangesOnlyTheCallingThread)
{
    LogonTokenPtr token = LogOn();
    ASSERT_TRUE(token);
    const ThreadIds before = ReadThreadIds();

    // The other thread exists before the switch: a new thread would inherit it.
    std::promise<void> switched;
    std::promise<std::pair<long, ThreadIds>> seen;
    std::thread other([&] {
        switched.get_future().wait();
        seen.set_value({syscall(SYS_geteuid), ReadThreadIds()});
    });

    ASSERT_EQ(platform::Impersonate(token), 0);
    switched.set_value();
    auto [otherEuid, otherIds] = seen.get_future().get();
    other.join();

    EXPECT_EQ(otherEuid, 0);
    EXPECT_EQ(otherIds.uids, (std::vector<unsigned>{0, 0, 0, 0}));
    EXPECT_EQ(otherIds.groups, before.groups);

    const ThreadIds during = ReadThreadIds();
    EXPECT_EQ(syscall(SYS_geteuid), static_cast<long>(s_uid));
    EXPECT_EQ(during.uids, (std::vector<unsigned>{0, s_uid, 0, s_uid}));
    EXPECT_EQ(during.gids, (std::vector<unsigned>{before.gids[0], s_gid, before.gids[2], s_gid}));
    EXPECT_EQ(during.groups, Sorted(token->groups));
    EXPECT_EQ(platform::CurrentImpersonation(), token);

    ASSERT_EQ(platform::RevertToSelf(), 0);
    const ThreadIds after = ReadThreadIds();
    EXPECT_EQ(after.uids, before.uids);
    EXPECT_EQ(after.gids, before.gids);
    EXPECT_EQ(after.groups, before.groups);
    EXPECT_FALSE(platform::CurrentImpersonation());
    // Reverting twice is harmless.
    EXPECT_EQ(platform::RevertToSelf(), 0);
    EXPECT_EQ(ReadThreadIds().uids, before.uids);
}

TEST_F(SecurityTest, FileAccessFollowsTheImpersonatedUser)
{
    LogonTokenPtr token = LogOn();
    ASSERT_TRUE(token);
    char pattern[] = "/tmp/velmora-security-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::string dir = pattern;
    ASSERT_EQ(chmod(dir.c_str(), 0711), 0); // the user may pass through, not list

    struct Case {
        const char* name;
        uid_t owner;
        gid_t group;
        mode_t mode;
        bool userMayRead;
    } cases[] = {
        {"root-only", 0, 0, 0600, false},
        {"root-group", 0, 0, 0640, false}, // root's groups are gone too
        {"user-owned", s_uid, 0, 0600, true},
        {"user-group", 0, s_gid, 0640, true},
    };
    for (const Case& c : cases) {
        const std::string path = dir + "/" + c.name;
        std::ofstream(path) << "x";
        ASSERT_EQ(chown(path.c_str(), c.owner, c.group), 0);
        ASSERT_EQ(chmod(path.c_str(), c.mode), 0);
    }

    ASSERT_EQ(platform::Impersonate(token), 0);
    for (const Case& c : cases)
        EXPECT_EQ(CanOpen(dir + "/" + c.name), c.userMayRead) << c.name << " while impersonating";
    ASSERT_EQ(platform::RevertToSelf(), 0);

    // A thread that exists before the switch keeps root's rights meanwhile.
    std::promise<void> go;
    std::future<bool> rootReads = std::async(std::launch::async, [&] {
        go.get_future().wait();
        return CanOpen(dir + "/root-only");
    });
    ASSERT_EQ(platform::Impersonate(token), 0);
    go.set_value();
    EXPECT_TRUE(rootReads.get()) << "a thread started before the impersonation keeps root's rights";
    ASSERT_EQ(platform::RevertToSelf(), 0);

    for (const Case& c : cases)
        EXPECT_TRUE(CanOpen(dir + "/" + c.name)) << c.name << " after reverting";
    for (const Case& c : cases)
        unlink((dir + "/" + c.name).c_str());
    rmdir(dir.c_str());
}

TEST_F(SecurityTest, FailedImpersonationKeepsThePreviousIdentity)
{
    LogonTokenPtr token = LogOn();
    ASSERT_TRUE(token);
    // setgroups refuses more than NGROUPS_MAX groups, after the switch has begun.
    std::vector<platform::GroupId> tooMany(platform::kMaxLogonGroups + 1, s_gid);
    struct Case {
        const char* what;
        LogonTokenPtr bad;
    } cases[] = {
        {"null token", nullptr},
        {"uid -1", MakeToken(platform::kNoId, s_gid, {s_gid})},
        {"gid -1", MakeToken(s_uid, platform::kNoId, {s_gid})},
        {"too many groups", MakeToken(s_uid, s_gid, tooMany)},
    };
    const ThreadIds self = ReadThreadIds();
    for (const Case& c : cases) {
        EXPECT_EQ(platform::Impersonate(c.bad), platform::kErrorBadTokenType) << c.what;
        const ThreadIds now = ReadThreadIds();
        EXPECT_EQ(now.uids, self.uids) << c.what;
        EXPECT_EQ(now.gids, self.gids) << c.what;
        EXPECT_EQ(now.groups, self.groups) << c.what;
        EXPECT_FALSE(platform::CurrentImpersonation()) << c.what;
    }

    ASSERT_EQ(platform::Impersonate(token), 0);
    const ThreadIds asUser = ReadThreadIds();
    for (const Case& c : cases) {
        EXPECT_EQ(platform::Impersonate(c.bad), platform::kErrorBadTokenType) << c.what;
        const ThreadIds now = ReadThreadIds();
        EXPECT_EQ(now.uids, asUser.uids) << c.what << " while impersonating";
        EXPECT_EQ(now.gids, asUser.gids) << c.what << " while impersonating";
        EXPECT_EQ(now.groups, asUser.groups) << c.what << " while impersonating";
        EXPECT_EQ(platform::CurrentImpersonation(), token) << c.what;
    }
    ASSERT_EQ(platform::RevertToSelf(), 0);
    EXPECT_EQ(ReadThreadIds().groups, self.groups);
}

TEST_F(SecurityTest, ChildStartedAsTheUserHasOnlyItsIds)
{
    LogonTokenPtr token = LogOn();
    ASSERT_TRUE(token);
    const platform::ChildCredentials credentials(*token);
    std::string output;

    EXPECT_EQ(RunProgram({"/usr/bin/id", "-u"}, &output, &credentials), 0);
    EXPECT_EQ(output, std::to_string(s_uid) + "\n");

    ASSERT_EQ(RunProgram({"/bin/cat", "/proc/self/status"}, &output, &credentials), 0);
    std::istringstream status(output);
    ThreadIds ids = ParseStatus(status);
    EXPECT_EQ(ids.uids, (std::vector<unsigned>{s_uid, s_uid, s_uid, s_uid}));
    EXPECT_EQ(ids.gids, (std::vector<unsigned>{s_gid, s_gid, s_gid, s_gid}));
    EXPECT_EQ(ids.groups, Sorted(token->groups));

    // Forked by an impersonating thread, the child still drops everything.
    ASSERT_EQ(platform::Impersonate(token), 0);
    EXPECT_EQ(RunProgram({"/usr/bin/id", "-u"}, &output, &credentials), 0);
    EXPECT_EQ(output, std::to_string(s_uid) + "\n");
    EXPECT_EQ(syscall(SYS_geteuid), static_cast<long>(s_uid)); // the parent thread is untouched
    ASSERT_EQ(platform::RevertToSelf(), 0);

    // A token that cannot be applied never reaches exec.
    const platform::ChildCredentials broken(LogonToken{"x", platform::kNoId, s_gid, {s_gid}});
    EXPECT_EQ(RunProgram({"/usr/bin/id", "-u"}, &output, &broken), 126);
    EXPECT_EQ(output, "");
}

// The logon path the servers use (platform/logon.h).
TEST_F(SecurityTest, AFailedLogonKeepsTheIdentityTheThreadHad)
{
    // As the server's own account, a failure must not leave anything behind.
    EXPECT_EQ(platform::LogonAndImpersonate(s_name.c_str(), ".", "wrong password", kClient), platform::kErrorLogonFailure);
    EXPECT_EQ(platform::CurrentImpersonation(), nullptr);
    EXPECT_EQ(::geteuid(), 0u);

    // As the anonymous account: bad credentials of a request must not leave
    // the thread running with the server's rights.
    ASSERT_EQ(platform::LogonAndImpersonate(s_name.c_str(), ".", kPassword, kClient), 0);
    platform::LogonTokenPtr anonymous = platform::CurrentImpersonation();
    ASSERT_NE(anonymous, nullptr);
    const char* failures[][2] = {{s_name.c_str(), "wrong password"}, {"no-such-user-velmora", "x"}, {"", ""}};
    for (const auto& failure : failures) {
        SCOPED_TRACE(failure[0]);
        EXPECT_EQ(platform::LogonAndImpersonate(failure[0], ".", failure[1], kClient), platform::kErrorLogonFailure);
        EXPECT_EQ(platform::CurrentImpersonation(), anonymous);
        EXPECT_EQ(::geteuid(), s_uid);
    }

    platform::RevertToSelf();
    EXPECT_EQ(platform::CurrentImpersonation(), nullptr);
    EXPECT_EQ(::geteuid(), 0u);
}

TEST_F(SecurityTest, LogonOnlyGivesATokenAndKeepsTheThreadAsItWas)
{
    ASSERT_EQ(platform::LogonAndImpersonate(s_name.c_str(), ".", kPassword, kClient), 0);
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

TEST_F(SecurityTest, WithoutRootNothingChanges)
{
    LogonTokenPtr token = LogOn();
    ASSERT_TRUE(token);
    const platform::ChildCredentials credentials(*token);
    LogonTokenPtr root = MakeToken(0, 0, {0});
    const std::string name = s_name;
    int pipes[2];
    ASSERT_EQ(pipe2(pipes, O_CLOEXEC), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        // A process that is the test user through and through.
        int results[6] = {credentials.Apply(), -1, -1, -1, -1, -1};
        if (results[0] == 0) {
            results[1] = platform::Impersonate(root);
            results[2] = static_cast<int>(syscall(SYS_geteuid));
            results[3] = platform::CurrentImpersonation() ? 1 : 0;
            LogonTokenPtr other;
            results[4] = platform::LogonUser("root", "", "whatever", &other);
            LogonTokenPtr own;
            results[5] = platform::LogonUser(name.c_str(), "", kPassword, &own);
        }
        (void)!write(pipes[1], results, sizeof results);
        _exit(0);
    }
    close(pipes[1]);
    int results[6] = {};
    std::string bytes = ReadAll(pipes[0]);
    close(pipes[0]);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_EQ(bytes.size(), sizeof results);
    std::memcpy(results, bytes.data(), sizeof results);
    EXPECT_EQ(results[0], 0);
    EXPECT_EQ(results[1], platform::kErrorPrivilegeNotHeld);
    EXPECT_EQ(results[2], static_cast<int>(s_uid));
    EXPECT_EQ(results[3], 0);
    EXPECT_EQ(results[4], platform::kErrorPrivilegeNotHeld);
    EXPECT_EQ(results[5], 0) << "a user may still check its own password";
}

TEST(SecurityErrors, PamResultsMapToWin32Numbers)
{
    struct Case {
        int pam;
        int win32;
    } cases[] = {
        {PAM_SUCCESS, 0},
        {PAM_AUTH_ERR, platform::kErrorLogonFailure},
        {PAM_USER_UNKNOWN, platform::kErrorLogonFailure},
        {PAM_CRED_INSUFFICIENT, platform::kErrorPrivilegeNotHeld},
        {PAM_AUTHINFO_UNAVAIL, platform::kErrorNoLogonServers},
        {PAM_MAXTRIES, platform::kErrorAccountLockedOut},
        {PAM_PERM_DENIED, platform::kErrorAccountRestriction},
        {PAM_ACCT_EXPIRED, platform::kErrorAccountExpired},
        {PAM_NEW_AUTHTOK_REQD, platform::kErrorPasswordExpired},
        {PAM_AUTHTOK_EXPIRED, platform::kErrorPasswordExpired},
        {PAM_BUF_ERR, platform::kErrorNoSystemResources},
        {PAM_SYSTEM_ERR, platform::kErrorInternalError},
        {PAM_CONV_ERR, platform::kErrorInternalError},
        {PAM_ABORT, platform::kErrorInternalError},
    };
    for (const Case& c : cases)
        EXPECT_EQ(platform::LogonErrorFromPam(c.pam), c.win32) << pam_strerror(nullptr, c.pam);
}

TEST(SecurityErrors, CredentialCallErrnosMapToWin32Numbers)
{
    struct Case {
        int error;
        int win32;
    } cases[] = {
        {0, 0},
        {EPERM, platform::kErrorPrivilegeNotHeld},
        {EINVAL, platform::kErrorBadTokenType},
        {ENOMEM, platform::kErrorNoSystemResources},
        {EAGAIN, platform::kErrorNoSystemResources},
        {EFAULT, platform::kErrorInternalError},
    };
    for (const Case& c : cases)
        EXPECT_EQ(platform::ImpersonationErrorFromErrno(c.error), c.win32) << c.error;
}

} // namespace
