#include "platform/process.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <memory>
#include <fcntl.h>
#include <linux/close_range.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define VELMORA_UNPOISON(address, size) ASAN_UNPOISON_MEMORY_REGION(address, size)
#else
#define VELMORA_UNPOISON(address, size) static_cast<void>(0)
#endif

extern char** environ;

namespace platform {
namespace {

constexpr int kErrorInvalidParameter = 87;
// Kernels before 5.11 lack close_range's close-on-exec mode; then every
// descriptor below this is marked one by one.
constexpr int kFallbackDescriptorLimit = 4096;
// The stack the child runs on until exec: a handful of frames (the
// sanitizers' redzones make them larger).
constexpr std::size_t kChildStackBytes = 256 * 1024;

int Win32FromExecErrno(int error)
{
    switch (error) {
    case ENOENT:
    case ENOTDIR:
        return 2;
    case EACCES:
    case EPERM:
        return 5;
    case ENOEXEC:
    case ELIBBAD:
        return 193;
    case ENOMEM:
    case EAGAIN:
    case EMFILE:
    case ENFILE:
        return kErrorNoSystemResources;
    default:
        return kErrorInternalError;
    }
}

// The program's path, looked up in PATH when the name has no '/'.
bool ResolveProgram(const std::string& name, std::string& path)
{
    if (name.empty())
        return false;
    if (name.find('/') != std::string::npos) {
        path = name;
        return true;
    }
    const char* search = std::getenv("PATH");
    std::string directories = search ? search : "/usr/local/bin:/usr/bin:/bin";
    std::size_t start = 0;
    while (start <= directories.size()) {
        std::size_t end = directories.find(':', start);
        if (end == std::string::npos)
            end = directories.size();
        std::string directory = directories.substr(start, end - start);
        std::string candidate = (directory.empty() ? std::string(".") : directory) + "/" + name;
        if (::access(candidate.c_str(), X_OK) == 0) {
            path = candidate;
            return true;
        }
        start = end + 1;
    }
    return false;
}

// What the child reports through its close-on-exec pipe when it cannot exec.
struct ChildFailure {
    int credentials; // a Win32 number from the credential change, or 0
    int error;       // errno of a failed call, or 0
};

[[noreturn]] void ChildFail(int pipe, int credentials, int error)
{
    ChildFailure failure{credentials, error};
    ssize_t ignored = ::write(pipe, &failure, sizeof failure);
    static_cast<void>(ignored);
    ::_exit(127);
}

// What the child needs, built by the parent before the child starts.
struct ChildPlan {
    const ChildStart* start;
    const char* program;
    char* const* argv;
    char* const* envp;
    const ChildCredentials* credentials;
    int nullDevice;
    int pipe;
};

// The child shares the parent's memory until exec (the parent waits): only
// system calls from here on, nothing that allocates, locks or touches the
// parent's data. It starts with every signal blocked, so no handler of the
// server's can run in it; the defaults come first, then the empty mask.
[[noreturn]] void RunChild(const ChildStart& start, const char* program, char* const* argv, char* const* envp,
                           const ChildCredentials* credentials, int nullDevice, int pipe)
{
    // Ignored signals survive exec (the server ignores SIGPIPE; a shell that
    // started it may ignore more): a program expects the defaults. The C
    // library refuses the few numbers it reserves for itself; those stay.
    struct sigaction defaults {};
    defaults.sa_handler = SIG_DFL;
    for (int number = 1; number < NSIG; ++number)
        if (number != SIGKILL && number != SIGSTOP)
            ::sigaction(number, &defaults, nullptr);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);

    if (start.newSession && ::setsid() < 0)
        ChildFail(pipe, 0, errno);

    int streams[3] = {start.input, start.output, start.error};
    int copies[3];
    for (int i = 0; i < 3; ++i) {
        int source = streams[i] >= 0 ? streams[i] : nullDevice;
        // Copied above 2 first, so one stream given as another's number is
        // not overwritten before it is placed.
        copies[i] = ::fcntl(source, F_DUPFD_CLOEXEC, 3);
        if (copies[i] < 0)
            ChildFail(pipe, 0, errno);
    }
    for (int i = 0; i < 3; ++i)
        if (::dup2(copies[i], i) < 0)
            ChildFail(pipe, 0, errno);

    // Nothing else the server holds goes to the program, whoever opened it
    // without close-on-exec.
    if (::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) != 0)
        for (int descriptor = 3; descriptor < kFallbackDescriptorLimit; ++descriptor)
            ::fcntl(descriptor, F_SETFD, FD_CLOEXEC);

    if (!start.workingDirectory.empty() && ::chdir(start.workingDirectory.c_str()) != 0)
        ChildFail(pipe, 0, errno);
    if (credentials != nullptr) {
        if (int result = credentials->Apply(); result != 0)
            ChildFail(pipe, result, 0);
    }
    ::execve(program, argv, envp);
    ChildFail(pipe, 0, errno);
}

int ChildEntry(void* argument)
{
    const ChildPlan& plan = *static_cast<const ChildPlan*>(argument);
    RunChild(*plan.start, plan.program, plan.argv, plan.envp, plan.credentials, plan.nullDevice, plan.pipe);
}

// Starts the child without copying the parent: it runs in the parent's
// memory on a stack of its own and the parent goes on once it has called
// exec or ended. A copy of a server's page tables (fork) costs more the
// bigger and busier the server is; this costs the same every time.
pid_t CloneChild(ChildPlan& plan)
{
    void* stack = ::mmap(nullptr, kChildStackBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK,
                         -1, 0);
    if (stack == MAP_FAILED)
        return -1;
    sigset_t all, old;
    sigfillset(&all);
    ::pthread_sigmask(SIG_SETMASK, &all, &old);
    pid_t child = ::clone(ChildEntry, static_cast<char*>(stack) + kChildStackBytes, CLONE_VM | CLONE_VFORK | SIGCHLD,
                          &plan);
    int error = errno;
    ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
    // The child's frames never returned; their redzones must not outlive
    // the stack.
    VELMORA_UNPOISON(stack, kChildStackBytes);
    ::munmap(stack, kChildStackBytes);
    errno = error;
    return child;
}

} // namespace

int StartChild(const ChildStart& start, int* processId)
{
    if (processId)
        *processId = 0;
    if (start.arguments.empty() || processId == nullptr)
        return kErrorInvalidParameter;
    std::string program;
    if (!ResolveProgram(start.arguments[0], program))
        return 2;

    std::unique_ptr<ChildCredentials> credentials;
    if (start.credentials)
        credentials = std::make_unique<ChildCredentials>(*start.credentials);

    // Everything the child touches is built before it starts.
    std::vector<char*> argv;
    for (const std::string& argument : start.arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    if (start.explicitEnvironment) {
        for (const std::string& entry : start.environment)
            envp.push_back(const_cast<char*>(entry.c_str()));
        envp.push_back(nullptr);
    }
    char* const* environment = start.explicitEnvironment ? envp.data() : environ;

    int nullDevice = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    if (nullDevice < 0)
        return Win32FromExecErrno(errno);
    int pipes[2];
    if (::pipe2(pipes, O_CLOEXEC) != 0) {
        int error = errno;
        ::close(nullDevice);
        return Win32FromExecErrno(error);
    }
    ChildPlan plan{&start, program.c_str(), argv.data(), environment, credentials.get(), nullDevice, pipes[1]};
    pid_t child = CloneChild(plan);
    int forkError = errno;
    ::close(pipes[1]);
    ::close(nullDevice);
    if (child < 0) {
        ::close(pipes[0]);
        return Win32FromExecErrno(forkError);
    }

    ChildFailure failure{};
    ssize_t got;
    do
        got = ::read(pipes[0], &failure, sizeof failure);
    while (got < 0 && errno == EINTR);
    ::close(pipes[0]);
    if (got == static_cast<ssize_t>(sizeof failure)) {
        // The child never ran the program; reap it here.
        int status = 0;
        while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
        }
        return failure.credentials ? failure.credentials : Win32FromExecErrno(failure.error);
    }
    *processId = child;
    return 0;
}

std::vector<std::string> CurrentEnvironment()
{
    std::vector<std::string> entries;
    for (char** entry = environ; entry && *entry; ++entry)
        entries.emplace_back(*entry);
    return entries;
}

int CreatePipe(int* readEnd, int* writeEnd)
{
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0)
        return Win32FromExecErrno(errno);
    *readEnd = ends[0];
    *writeEnd = ends[1];
    return 0;
}

int OpenChildWaitHandle(int processId)
{
    long handle = ::syscall(SYS_pidfd_open, processId, 0);
    if (handle < 0)
        return -1;
    ::fcntl(static_cast<int>(handle), F_SETFD, FD_CLOEXEC);
    return static_cast<int>(handle);
}

namespace {
int Reap(int processId, int* exitCode, int flags)
{
    int status = 0;
    pid_t result;
    do
        result = ::waitpid(processId, &status, flags);
    while (result < 0 && errno == EINTR);
    if (result < 0)
        return -1;
    if (result == 0)
        return 0;
    if (exitCode)
        *exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return 1;
}
} // namespace

int TryReapChild(int processId, int* exitCode) { return Reap(processId, exitCode, WNOHANG); }

int ReapChild(int processId, int* exitCode) { return Reap(processId, exitCode, 0); }

void KillChildGroup(int processId)
{
    if (processId <= 0)
        return;
    ::kill(-processId, SIGKILL);
    ::kill(processId, SIGKILL);
}

namespace {
void CloseQuietly(int& handle)
{
    if (handle >= 0)
        ::close(handle);
    handle = -1;
}
} // namespace

ChildProcess::~ChildProcess()
{
    KillAndReap();
    CloseInput();
    CloseOutput();
    CloseQuietly(m_waitHandle);
}

int ChildProcess::Start(ChildStart start)
{
    int childInput = -1, childOutput = -1;
    int error = CreatePipe(&childInput, &m_input);
    if (error == 0)
        error = CreatePipe(&m_output, &childOutput);
    if (error == 0) {
        start.input = childInput;
        start.output = childOutput;
        start.newSession = true;
        error = StartChild(start, &m_pid);
    }
    CloseQuietly(childInput);
    CloseQuietly(childOutput);
    if (error != 0) {
        m_pid = -1;
        CloseInput();
        CloseOutput();
        return error;
    }
    m_reaped = false;
    m_waitHandle = OpenChildWaitHandle(m_pid);
    ::fcntl(m_input, F_SETFL, ::fcntl(m_input, F_GETFL) | O_NONBLOCK);
    ::fcntl(m_output, F_SETFL, ::fcntl(m_output, F_GETFL) | O_NONBLOCK);
    return 0;
}

int ChildProcess::StartWithoutPipes(ChildStart start)
{
    start.input = start.output = start.error = -1;
    start.newSession = true;
    int error = StartChild(start, &m_pid);
    if (error != 0) {
        m_pid = -1;
        return error;
    }
    m_reaped = false;
    m_waitHandle = OpenChildWaitHandle(m_pid);
    return 0;
}

void ChildProcess::CloseInput() { CloseQuietly(m_input); }
void ChildProcess::CloseOutput() { CloseQuietly(m_output); }

void ChildProcess::Kill()
{
    if (IsRunning())
        KillChildGroup(m_pid);
}

bool ChildProcess::TryReap()
{
    if (m_pid <= 0 || m_reaped)
        return m_reaped;
    // -1: not our child any more; nothing is left to collect.
    if (TryReapChild(m_pid, &m_exitCode) != 0)
        m_reaped = true;
    return m_reaped;
}

void ChildProcess::KillAndReap()
{
    if (!IsRunning() || TryReap())
        return;
    Kill();
    ReapChild(m_pid, &m_exitCode);
    m_reaped = true;
}

} // namespace platform

namespace platform {

std::uint64_t RaiseDescriptorLimit()
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return 0;
    if (limit.rlim_cur < limit.rlim_max) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        if (::setrlimit(RLIMIT_NOFILE, &raised) == 0)
            limit = raised;
    }
    return limit.rlim_cur == RLIM_INFINITY ? UINT64_MAX : static_cast<std::uint64_t>(limit.rlim_cur);
}

} // namespace platform
