#include "platform/process.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <memory>

#include <fcntl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace platform {

namespace {

int StartErrorFromErrno(int error)
{
    switch (error) {
    case ENOENT:
    case ENOTDIR:
        return kErrorFileNotFoundForStart;
    case EACCES:
    case EPERM:
        return kErrorAccessDeniedForStart;
    case ENOEXEC:
        return 193; // not a valid program
    case ENOMEM:
    case EAGAIN:
        return 8; // not enough memory
    default:
        return 31; // a device attached to the system is not functioning
    }
}

void CloseQuietly(int& handle)
{
    if (handle >= 0)
        ::close(handle);
    handle = -1;
}

// In the child: only async-signal-safe calls. Reports errno on the
// close-on-exec report pipe and ends when anything fails.
[[noreturn]] void RunChild(int inputRead, int outputWrite, int report, char* const* argv, char* const* envp,
                           const char* workingDir, const ChildCredentials* credentials)
{
    auto fail = [report](int error) {
        (void)!::write(report, &error, sizeof error);
        ::_exit(127);
    };
    // The descriptors move above 2 first, so that dup2 cannot clobber one
    // that happens to sit on 0 or 1.
    int in = ::fcntl(inputRead, F_DUPFD_CLOEXEC, 3);
    int out = ::fcntl(outputWrite, F_DUPFD_CLOEXEC, 3);
    int nul = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (in < 0 || out < 0 || nul < 0)
        fail(errno);
    if (::dup2(in, 0) < 0 || ::dup2(out, 1) < 0 || ::dup2(nul, 2) < 0)
        fail(errno);
    ::setsid();
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::signal(SIGPIPE, SIG_DFL);
    if (credentials != nullptr && credentials->Apply() != 0)
        fail(EPERM);
    if (workingDir != nullptr && ::chdir(workingDir) != 0)
        fail(errno);
    ::syscall(SYS_close_range, 3u, ~0u, 4u /* CLOSE_RANGE_CLOEXEC */);
    ::execve(argv[0], argv, envp);
    fail(errno);
    ::_exit(127);
}

} // namespace

std::vector<std::string> ProcessEnvironment()
{
    std::vector<std::string> entries;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry)
        entries.emplace_back(*entry);
    return entries;
}

ChildProcess::~ChildProcess()
{
    KillAndReap();
    CloseInput();
    CloseOutput();
    CloseQuietly(m_pidfd);
}

int ChildProcess::Start(const ChildStart& start)
{
    if (start.argv.empty() || start.argv[0].empty())
        return kErrorFileNotFoundForStart;
    std::vector<char*> argv;
    for (const std::string& arg : start.argv)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (const std::string& entry : start.environment)
        envp.push_back(const_cast<char*>(entry.c_str()));
    envp.push_back(nullptr);
    std::unique_ptr<ChildCredentials> credentials;
    if (start.user != nullptr) {
        if (::geteuid() != 0 && ::getuid() != 0)
            return kErrorPrivilegeNotHeld;
        credentials = std::make_unique<ChildCredentials>(*start.user);
    }

    int input[2] = {-1, -1};
    int output[2] = {-1, -1};
    int report[2] = {-1, -1};
    if (::pipe2(input, O_CLOEXEC) != 0 || ::pipe2(output, O_CLOEXEC) != 0 || ::pipe2(report, O_CLOEXEC) != 0) {
        int error = errno;
        for (int* pair : {input, output, report}) {
            CloseQuietly(pair[0]);
            CloseQuietly(pair[1]);
        }
        return StartErrorFromErrno(error);
    }
    const char* dir = start.workingDir.empty() ? nullptr : start.workingDir.c_str();
    pid_t pid = ::fork();
    if (pid == 0)
        RunChild(input[0], output[1], report[1], argv.data(), envp.data(), dir, credentials.get());
    int forkError = errno;
    ::close(input[0]);
    ::close(output[1]);
    ::close(report[1]);
    if (pid < 0) {
        ::close(input[1]);
        ::close(output[0]);
        ::close(report[0]);
        return StartErrorFromErrno(forkError);
    }
    m_pid = pid;
    m_reaped = false;
    m_input = input[1];
    m_output = output[0];
    // The report pipe closes at exec; a failed start writes its errno first.
    int childError = 0;
    long got;
    do {
        got = ::read(report[0], &childError, sizeof childError);
    } while (got < 0 && errno == EINTR);
    ::close(report[0]);
    m_pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    if (m_pidfd >= 0)
        ::fcntl(m_pidfd, F_SETFD, FD_CLOEXEC);
    ::fcntl(m_input, F_SETFL, ::fcntl(m_input, F_GETFL) | O_NONBLOCK);
    ::fcntl(m_output, F_SETFL, ::fcntl(m_output, F_GETFL) | O_NONBLOCK);
    if (got == static_cast<long>(sizeof childError)) {
        KillAndReap();
        CloseInput();
        CloseOutput();
        return StartErrorFromErrno(childError);
    }
    return 0;
}

void ChildProcess::CloseInput() { CloseQuietly(m_input); }
void ChildProcess::CloseOutput() { CloseQuietly(m_output); }

void ChildProcess::Kill()
{
    if (!IsRunning())
        return;
    // The session's group first (a script's own children), then the child
    // itself in case it left the group.
    ::kill(-m_pid, SIGKILL);
    ::kill(m_pid, SIGKILL);
}

bool ChildProcess::TryReap()
{
    if (m_pid <= 0 || m_reaped)
        return m_reaped;
    int status = 0;
    pid_t done;
    do {
        done = ::waitpid(m_pid, &status, WNOHANG);
    } while (done < 0 && errno == EINTR);
    if (done == m_pid || (done < 0 && errno == ECHILD)) {
        m_reaped = true;
        m_status = status;
    }
    return m_reaped;
}

void ChildProcess::KillAndReap()
{
    if (!IsRunning())
        return;
    if (TryReap())
        return;
    Kill();
    int status = 0;
    pid_t done;
    do {
        done = ::waitpid(m_pid, &status, 0);
    } while (done < 0 && errno == EINTR);
    m_reaped = true;
    m_status = status;
}

} // namespace platform
