#include "platform/service_controller.h"

#include "platform/clock.h"
#include "platform/service_database.h"
#include "platform/sync.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/resource.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace platform {

namespace {

// A reply is one line of nine numbers.
constexpr std::size_t kMaxControlReplyBytes = 128;
// Descriptors above this are not looked at when close_range is missing.
constexpr long kMaxDescriptorSweep = 65536;

int RemainingMs(std::uint64_t deadline)
{
    std::uint64_t now = MonotonicMs();
    return now >= deadline ? 0 : static_cast<int>(std::min<std::uint64_t>(deadline - now, 1u << 30));
}

// The checks before a spawn, shared by Start and RunInForeground.
int PrepareImage(const std::string& name, std::vector<std::string>& arguments)
{
    if (int code = ValidateServiceName(name); code != kServiceOk)
        return code;
    ServiceConfig config;
    if (int code = ServiceDatabase::QueryConfig(name, config); code != kServiceOk)
        return code;
    if (config.startType == kServiceDisabled)
        return kErrorServiceDisabled;
    if (IsServiceProcessRunning(name))
        return kErrorServiceAlreadyRunning;
    arguments = SplitCommandLine(config.imagePath);
    if (arguments.empty())
        return kErrorFileNotFound;
    return kServiceOk;
}

// A service reports stopped just before its process ends, and holds its
// lock until then: a start right after a stop waits (bounded) for that end
// instead of being refused as already running.
void WaitForStoppedProcessToEnd(const std::string& name, std::uint64_t deadline)
{
    ServiceStatus record;
    while (IsServiceProcessRunning(name) && ReadServiceStatusRecord(name, record) == kServiceOk &&
           record.currentState == kServiceStopped && MonotonicMs() < deadline)
        SleepMs(kServicePollIntervalMs);
}

// Everything below runs between fork and exec: async-signal-safe calls only.
void ResetChildState()
{
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    struct sigaction defaults {};
    defaults.sa_handler = SIG_DFL;
    for (int signalNumber = 1; signalNumber < NSIG; ++signalNumber)
        ::sigaction(signalNumber, &defaults, nullptr);
    // Every descriptor above the standard three closes at exec.
    if (::close_range(3, ~0u, CLOSE_RANGE_CLOEXEC) != 0) {
        rlimit limit{};
        long top = ::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY
                       ? static_cast<long>(limit.rlim_cur)
                       : kMaxDescriptorSweep;
        for (long fd = 3; fd < std::min(top, kMaxDescriptorSweep); ++fd)
            ::fcntl(static_cast<int>(fd), F_SETFD, FD_CLOEXEC);
    }
}

void WriteMessage(int fd, char tag, int value)
{
    char message[1 + sizeof(int)];
    message[0] = tag;
    std::memcpy(message + 1, &value, sizeof value);
    [[maybe_unused]] ssize_t ignored = ::write(fd, message, sizeof message);
}

[[noreturn]] void ExecImage(char* const* argv, int reportFd)
{
    ::execve(argv[0], argv, environ);
    WriteMessage(reportFd, 'E', errno);
    ::_exit(127);
}

std::vector<char*> ArgumentPointers(std::vector<std::string>& arguments)
{
    std::vector<char*> argv;
    for (std::string& argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    return argv;
}

// Reads the child's messages until every writer has gone (exec or exit).
void ReadMessages(int fd, pid_t* pid, int* execError)
{
    char buffer[4 * (1 + sizeof(int))];
    std::size_t filled = 0;
    while (filled < sizeof buffer) {
        ssize_t n = ::read(fd, buffer + filled, sizeof buffer - filled);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        filled += static_cast<std::size_t>(n);
    }
    for (std::size_t at = 0; at + 1 + sizeof(int) <= filled; at += 1 + sizeof(int)) {
        int value;
        std::memcpy(&value, buffer + at + 1, sizeof value);
        if (buffer[at] == 'P' && pid)
            *pid = value;
        else if (buffer[at] == 'E')
            *execError = value;
    }
}

int SpawnError(int error)
{
    // The Win32 loader's numbers for an image it cannot run.
    return error == ENOENT || error == ENOTDIR ? kErrorFileNotFound : ServiceErrorFromErrno(error);
}

// Starts the image in a new session, not our child, so nobody waits for it
// but its parent of last resort. *pid gets the service's process.
int SpawnDetached(std::vector<std::string>& arguments, pid_t* pid)
{
    std::vector<char*> argv = ArgumentPointers(arguments);
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0)
        return ServiceErrorFromErrno(errno);
    pid_t middle = ::fork();
    if (middle < 0) {
        int error = errno;
        ::close(report[0]);
        ::close(report[1]);
        return ServiceErrorFromErrno(error);
    }
    if (middle == 0) {
        ::setsid();
        pid_t service = ::fork();
        if (service < 0) {
            WriteMessage(report[1], 'E', errno);
            ::_exit(1);
        }
        if (service > 0) {
            WriteMessage(report[1], 'P', static_cast<int>(service));
            ::_exit(0);
        }
        ResetChildState();
        int null = ::open("/dev/null", O_RDWR);
        if (null >= 0) {
            ::dup2(null, 0);
            ::dup2(null, 1);
            ::dup2(null, 2);
            if (null > 2)
                ::close(null);
        }
        if (::chdir("/") != 0) {
            WriteMessage(report[1], 'E', errno);
            ::_exit(127);
        }
        ExecImage(argv.data(), report[1]);
    }
    ::close(report[1]);
    int status;
    while (::waitpid(middle, &status, 0) < 0 && errno == EINTR) {
    }
    pid_t service = 0;
    int execError = 0;
    ReadMessages(report[0], &service, &execError);
    ::close(report[0]);
    if (execError != 0)
        return SpawnError(execError);
    if (service <= 0)
        return kErrorGenFailure;
    *pid = service;
    return kServiceOk;
}

// False once the process has ended (a zombie has ended too).
bool ProcessAlive(pid_t pid)
{
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
    int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char text[512];
    ssize_t n = ::read(fd, text, sizeof text - 1);
    ::close(fd);
    if (n <= 0)
        return false;
    text[n] = '\0';
    const char* close = std::strrchr(text, ')');
    if (!close || close[1] != ' ')
        return false;
    char state = close[2];
    return state != 'Z' && state != 'X' && state != 'x';
}

bool ParseReply(const char* text, int& result, ServiceStatus& status)
{
    unsigned long long fields[8];
    long long value = 0;
    int consumed = 0;
    if (std::sscanf(text, "%lld %llu %llu %llu %llu %llu %llu %llu %llu%n", &value, &fields[0], &fields[1],
                    &fields[2], &fields[3], &fields[4], &fields[5], &fields[6], &fields[7], &consumed) != 9)
        return false;
    if (text[consumed] != '\n')
        return false;
    for (unsigned long long field : fields)
        if (field > UINT32_MAX)
            return false;
    result = static_cast<int>(value);
    status.serviceType = static_cast<std::uint32_t>(fields[0]);
    status.currentState = static_cast<std::uint32_t>(fields[1]);
    status.controlsAccepted = static_cast<std::uint32_t>(fields[2]);
    status.win32ExitCode = static_cast<std::uint32_t>(fields[3]);
    status.serviceSpecificExitCode = static_cast<std::uint32_t>(fields[4]);
    status.checkPoint = static_cast<std::uint32_t>(fields[5]);
    status.waitHint = static_cast<std::uint32_t>(fields[6]);
    status.processId = static_cast<std::int32_t>(fields[7]);
    return true;
}

// True when pid has a handler of its own for signalNumber (its SigCgt mask).
bool ProcessCatches(pid_t pid, int signalNumber)
{
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/status", static_cast<int>(pid));
    std::FILE* file = std::fopen(path, "re");
    if (!file)
        return false;
    char line[256];
    unsigned long long mask = 0;
    bool found = false;
    while (!found && std::fgets(line, sizeof line, file))
        found = std::sscanf(line, "SigCgt: %llx", &mask) == 1;
    std::fclose(file);
    return found && (mask >> (signalNumber - 1)) & 1;
}

// Signals that become the stop control in RunInForeground.
int g_foregroundPipe[2] = {-1, -1};

void OnForegroundSignal(int signalNumber)
{
    int saved = errno;
    unsigned char byte = static_cast<unsigned char>(signalNumber);
    [[maybe_unused]] ssize_t ignored = ::write(g_foregroundPipe[1], &byte, 1);
    errno = saved;
}

} // namespace

int ServiceController::Start(bool waitForRunning, std::uint32_t timeoutMs)
{
    const std::uint64_t deadline = DeadlineAfter(timeoutMs);
    WaitForStoppedProcessToEnd(m_name, deadline);
    std::vector<std::string> arguments;
    if (int code = PrepareImage(m_name, arguments); code != kServiceOk)
        return code;
    pid_t pid = 0;
    if (int code = SpawnDetached(arguments, &pid); code != kServiceOk)
        return code;

    while (true) {
        ServiceStatus record;
        // Only a record of the process we started counts: an older one may
        // still lie there.
        bool ours = ReadServiceStatusRecord(m_name, record) == kServiceOk && record.processId == pid;
        if (ours && record.currentState == kServiceStopped) {
            if (record.win32ExitCode != 0)
                return static_cast<int>(record.win32ExitCode);
            return kErrorServiceNotActive;
        }
        if (ours && IsServiceProcessRunning(m_name)) {
            if (!waitForRunning)
                return kServiceOk;
            if (record.currentState == kServiceRunning || record.currentState == kServicePaused)
                return kServiceOk;
        }
        if (!ProcessAlive(pid)) {
            // It may have written its last record just before it ended.
            if (ReadServiceStatusRecord(m_name, record) == kServiceOk && record.processId == pid &&
                record.currentState == kServiceStopped && record.win32ExitCode != 0)
                return static_cast<int>(record.win32ExitCode);
            return kErrorProcessAborted;
        }
        if (MonotonicMs() >= deadline)
            return kErrorServiceRequestTimeout;
        SleepMs(kServicePollIntervalMs);
    }
}

int ServiceController::Control(std::uint32_t control, ServiceStatus& status, std::uint32_t timeoutMs)
{
    if (int code = ValidateServiceName(m_name); code != kServiceOk)
        return code;
    if (!IsServiceProcessRunning(m_name))
        return ServiceDatabase::Exists(m_name) ? kErrorServiceNotActive : kErrorServiceDoesNotExist;
    std::string path = ServiceSocketPath(m_name);
    sockaddr_un address{};
    if (path.size() >= sizeof(address.sun_path))
        return kErrorFilenameTooLong;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size());

    const std::uint64_t deadline = DeadlineAfter(timeoutMs);
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return ServiceErrorFromErrno(errno);
    auto fail = [fd](int code) {
        ::close(fd);
        return code;
    };
    while (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN) {
            // The backlog is full: the dispatcher is busy with earlier controls.
            if (MonotonicMs() >= deadline)
                return fail(kErrorServiceRequestTimeout);
            SleepMs(kServicePollIntervalMs);
            continue;
        }
        // Running but no channel yet (or any more): say why from its record.
        ServiceStatus record;
        if (ReadServiceStatusRecord(m_name, record) == kServiceOk) {
            status = record;
            if (record.currentState == kServiceStartPending)
                return fail(kErrorServiceCannotAcceptControl);
        }
        return fail(kErrorServiceNotActive);
    }

    std::string request = "control " + std::to_string(control) + "\n";
    if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size()))
        return fail(kErrorServiceNotActive);

    char reply[kMaxControlReplyBytes + 1] = {};
    std::size_t filled = 0;
    while (filled < kMaxControlReplyBytes && !std::memchr(reply, '\n', filled)) {
        int wait = RemainingMs(deadline);
        if (wait == 0)
            return fail(kErrorServiceRequestTimeout);
        pollfd ready{fd, POLLIN, 0};
        int got = ::poll(&ready, 1, wait);
        if (got < 0 && errno == EINTR)
            continue;
        if (got == 0)
            return fail(kErrorServiceRequestTimeout);
        if (got < 0)
            return fail(ServiceErrorFromErrno(errno));
        ssize_t n = ::recv(fd, reply + filled, kMaxControlReplyBytes - filled, 0);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n <= 0)
            // The dispatcher ended before it answered.
            return fail(kErrorServiceNotActive);
        filled += static_cast<std::size_t>(n);
    }
    ::close(fd);
    int result = kErrorInvalidData;
    ServiceStatus reported;
    if (!ParseReply(reply, result, reported))
        return kErrorInvalidData;
    status = reported;
    if (status.currentState == kServiceStopped)
        status.processId = 0;
    return result;
}

int ServiceController::QueryStatus(ServiceStatus& status) const
{
    if (int code = ValidateServiceName(m_name); code != kServiceOk)
        return code;
    ServiceStatus record;
    bool haveRecord = ReadServiceStatusRecord(m_name, record) == kServiceOk;
    if (IsServiceProcessRunning(m_name)) {
        if (!haveRecord) {
            // The lock is taken a moment before the first record is written.
            record = ServiceStatus{};
            record.currentState = kServiceStartPending;
        }
        if (record.currentState == kServiceStopped)
            record.processId = 0;
        status = record;
        return kServiceOk;
    }
    if (!ServiceDatabase::Exists(m_name))
        return kErrorServiceDoesNotExist;
    ServiceStatus stopped;
    if (haveRecord) {
        stopped.win32ExitCode = record.win32ExitCode;
        stopped.serviceSpecificExitCode = record.serviceSpecificExitCode;
        // It ended without saying so: it crashed or was killed.
        if (record.currentState != kServiceStopped)
            stopped.win32ExitCode = kErrorProcessAborted;
    }
    status = stopped;
    return kServiceOk;
}

int ServiceController::WaitForState(std::uint32_t state, std::uint32_t timeoutMs, ServiceStatus* last) const
{
    const std::uint64_t deadline = DeadlineAfter(timeoutMs);
    while (true) {
        ServiceStatus status;
        int code = QueryStatus(status);
        if (last)
            *last = status;
        if (code == kServiceOk && status.currentState == state)
            return kServiceOk;
        if (code != kServiceOk && code != kErrorServiceDoesNotExist)
            return code;
        if (MonotonicMs() >= deadline)
            return kErrorServiceRequestTimeout;
        SleepMs(kServicePollIntervalMs);
    }
}

int ServiceController::RunInForeground(int* exitStatus, int* deathSignal)
{
    std::vector<std::string> arguments;
    if (int code = PrepareImage(m_name, arguments); code != kServiceOk)
        return code;
    std::vector<char*> argv = ArgumentPointers(arguments);

    if (::pipe2(g_foregroundPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return ServiceErrorFromErrno(errno);
    // A closed terminal hangs up: the run ends as on Ctrl-C, instead of
    // leaving the service serving with nobody to stop it.
    struct sigaction action {}, previousInt {}, previousTerm {}, previousHup {};
    action.sa_handler = OnForegroundSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &action, &previousInt);
    ::sigaction(SIGTERM, &action, &previousTerm);
    // Started with the hang-up ignored (nohup): the caller asked to outlive
    // its terminal, so neither the signal nor the terminal's end stops it.
    ::sigaction(SIGHUP, nullptr, &previousHup);
    const bool outlivesTerminal = previousHup.sa_handler == SIG_IGN;
    if (!outlivesTerminal)
        ::sigaction(SIGHUP, &action, nullptr);
    auto restore = [&] {
        ::sigaction(SIGINT, &previousInt, nullptr);
        ::sigaction(SIGTERM, &previousTerm, nullptr);
        ::sigaction(SIGHUP, &previousHup, nullptr);
        for (int& fd : g_foregroundPipe) {
            ::close(fd);
            fd = -1;
        }
    };

    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0) {
        int error = errno;
        restore();
        return ServiceErrorFromErrno(error);
    }
    const pid_t parent = ::getpid();
    pid_t child = ::fork();
    if (child < 0) {
        int error = errno;
        ::close(report[0]);
        ::close(report[1]);
        restore();
        return ServiceErrorFromErrno(error);
    }
    if (child == 0) {
        // Its own process group: Ctrl-C reaches us, and we turn it into a stop.
        ::setpgid(0, 0);
        ResetChildState();
        // The service lives no longer than this run, however it ends (kill -9
        // included): its stop signal comes when we go, or at once when we
        // are already gone.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent)
            ::_exit(128 + SIGTERM);
        ExecImage(argv.data(), report[1]);
    }
    ::setpgid(child, child);
    ::close(report[1]);
    // The terminal itself is watched too: when its program is another one
    // that waits for us (make, script) the hang-up goes to that program alone,
    // and only the terminal's own end tells us it has gone.
    int terminal = outlivesTerminal ? -1 : ::open("/dev/tty", O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    int execError = 0;
    ReadMessages(report[0], nullptr, &execError);
    ::close(report[0]);

    int status = 0;
    bool reaped = false;
    // A stop asked for while the child starts waits for the start to end:
    // a signal sent now could meet a child with no handler yet and kill it
    // (exit 143), and a refused control would be lost.
    bool stopWanted = false, stopDelivered = false;
    std::uint64_t stopAskedAt = 0, stopGiveUpAt = 0;
    while (!reaped) {
        pid_t done = ::waitpid(child, &status, WNOHANG);
        if (done == child) {
            reaped = true;
            break;
        }
        if (done < 0 && errno != EINTR)
            break;
        // Only the hang-up of the terminal is asked for, never its input.
        pollfd waits[2] = {{g_foregroundPipe[0], POLLIN, 0}, {terminal, 0, 0}};
        bool signalled = false;
        if (::poll(waits, 2, static_cast<int>(kServicePollIntervalMs)) > 0) {
            unsigned char signals[16];
            while (::read(g_foregroundPipe[0], signals, sizeof signals) > 0)
                signalled = true;
            if (waits[1].revents & (POLLHUP | POLLERR | POLLNVAL)) {
                signalled = true;
                ::close(terminal);
                terminal = -1;
            }
        }
        if (execError != 0 || stopDelivered)
            continue;
        if (signalled && stopWanted && MonotonicMs() >= stopAskedAt + kForegroundInsistAfterMs) {
            // Asked again while the first still waits: the user insists.
            ::kill(child, SIGTERM);
            stopDelivered = true;
            continue;
        }
        if (signalled && !stopWanted) {
            stopWanted = true;
            stopAskedAt = MonotonicMs();
            stopGiveUpAt = stopAskedAt + kForegroundStopGraceMs;
        }
        if (!stopWanted)
            continue;
        ServiceStatus after;
        int code = Stop(after, kServiceControlTimeoutMs);
        if (code == kServiceOk) {
            stopDelivered = true;
        } else if (code == kErrorServiceNotActive && ProcessCatches(child, SIGTERM)) {
            // Its lock or control socket is gone (the run folder was deleted
            // under it) while it lives and takes SIGTERM as its stop: waiting
            // for a channel that cannot come back held the stop for the grace
            // time.
            ::kill(child, SIGTERM);
            stopDelivered = true;
        } else if (code == kErrorServiceCannotAcceptControl || code == kErrorServiceNotActive ||
                   code == kErrorServiceRequestTimeout) {
            // Still starting (or not yet holding its lock): try again, unless
            // it has had far longer than any start takes.
            if (MonotonicMs() >= stopGiveUpAt) {
                ::kill(child, SIGTERM);
                stopDelivered = true;
            }
        } else {
            // No channel to take the control: let the dispatcher (or the
            // default action) take it as a signal.
            ::kill(child, SIGTERM);
            stopDelivered = true;
        }
    }
    if (terminal >= 0)
        ::close(terminal);
    restore();
    if (execError != 0)
        return SpawnError(execError);
    // Two runs started at once both pass the check before the spawn; the
    // service that lost the lock ends without a record of its own.
    ServiceStatus record;
    bool reported = ReadServiceStatusRecord(m_name, record) == kServiceOk && record.processId == child;
    if (reaped && !reported && IsServiceProcessRunning(m_name))
        return kErrorServiceAlreadyRunning;
    if (exitStatus)
        *exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (deathSignal)
        *deathSignal = reaped && WIFSIGNALED(status) && !stopDelivered ? WTERMSIG(status) : 0;
    return kServiceOk;
}

} // namespace platform
