#include "child_process_helper.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

int MillisecondsLeft(Clock::time_point deadline)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

} // namespace

std::string BuildProgram(const std::string& relative)
{
    // Run by hand, the tests find the build directory from their own place
    // (tests/config/ below it).
    const char* bin = std::getenv("VELMORA_TEST_BIN_DIR");
    std::filesystem::path dir = bin ? std::filesystem::path(bin)
                                    : std::filesystem::canonical("/proc/self/exe").parent_path().parent_path().parent_path();
    return (dir / relative).string();
}

pid_t StartProgram(const std::string& program, const std::vector<std::string>& args, int out)
{
    pid_t pid = ::fork();
    if (pid != 0)
        return pid;
    int target = out >= 0 ? out : ::open("/dev/null", O_WRONLY);
    if (target >= 0)
        ::dup2(target, 1);
    std::vector<std::string> copies(args);
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (std::string& arg : copies)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    ::execv(program.c_str(), argv.data());
    ::_exit(127);
}

bool ProgramEnded(pid_t pid, int& exitCode)
{
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) != pid)
        return false;
    exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return true;
}

int FinishProgram(pid_t pid, int timeoutMs)
{
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    int exitCode = -1;
    while (Clock::now() < deadline) {
        if (ProgramEnded(pid, exitCode))
            return exitCode;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    return -1;
}

int RunProgram(const std::string& program, const std::vector<std::string>& args, std::string& out, int timeoutMs)
{
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0)
        return -1;
    pid_t pid = StartProgram(program, args, pipeFds[1]);
    ::close(pipeFds[1]);
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    pollfd fd{pipeFds[0], POLLIN, 0};
    char buffer[4096];
    while (pid > 0 && ::poll(&fd, 1, MillisecondsLeft(deadline)) > 0) {
        ssize_t got = ::read(pipeFds[0], buffer, sizeof buffer);
        if (got <= 0)
            break;
        out.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(pipeFds[0]);
    return pid > 0 ? FinishProgram(pid, MillisecondsLeft(deadline)) : -1;
}
