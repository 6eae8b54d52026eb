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

[[noreturn]] void ExecChild(const std::string& program, const std::vector<std::string>& args)
{
    std::vector<std::string> copies(args);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (std::string& arg : copies)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    ::execv(program.c_str(), argv.data());
    ::_exit(127);
}

int ExitCodeOf(int status)
{
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace

std::string BuildProgram(const std::string& relative)
{
    const char* bin = std::getenv("VELMORA_TEST_BIN_DIR");
    std::filesystem::path dir =
        bin ? std::filesystem::path(bin)
            : std::filesystem::canonical("/proc/self/exe").parent_path().parent_path().parent_path();
    return (dir / relative).string();
}

ProgramRun RunProgram(const std::string& program, const std::vector<std::string>& args, int timeoutMs)
{
    ProgramRun run;
    int out[2], err[2];
    if (::pipe2(out, O_CLOEXEC) != 0)
        return run;
    if (::pipe2(err, O_CLOEXEC) != 0) {
        ::close(out[0]);
        ::close(out[1]);
        return run;
    }
    pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(out[1], 1);
        ::dup2(err[1], 2);
        ExecChild(program, args);
    }
    ::close(out[1]);
    ::close(err[1]);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string* sinks[2] = {&run.out, &run.err};
    while ((fds[0].fd >= 0 || fds[1].fd >= 0) && pid > 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || ::poll(fds, 2, static_cast<int>(left.count())) < 0)
            break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            char buffer[4096];
            ssize_t got = ::read(fds[i].fd, buffer, sizeof buffer);
            if (got > 0) {
                sinks[i]->append(buffer, static_cast<std::size_t>(got));
            } else {
                ::close(fds[i].fd);
                fds[i].fd = -1;
            }
        }
    }
    for (pollfd& fd : fds)
        if (fd.fd >= 0)
            ::close(fd.fd);
    if (pid > 0)
        run.exitCode = FinishProgram(pid, std::max(0, static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                         deadline - std::chrono::steady_clock::now())
                                                         .count())));
    return run;
}

pid_t StartProgram(const std::string& program, const std::vector<std::string>& args)
{
    pid_t pid = ::fork();
    if (pid == 0) {
        int null = ::open("/dev/null", O_WRONLY);
        if (null >= 0) {
            ::dup2(null, 1);
            ::dup2(null, 2);
        }
        ExecChild(program, args);
    }
    return pid;
}

bool ProgramEnded(pid_t pid, int& exitCode)
{
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) != pid)
        return false;
    exitCode = ExitCodeOf(status);
    return true;
}

int FinishProgram(pid_t pid, int timeoutMs)
{
    constexpr auto kPollInterval = std::chrono::milliseconds(10);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    int exitCode = -1;
    while (std::chrono::steady_clock::now() < deadline) {
        if (ProgramEnded(pid, exitCode))
            return exitCode;
        std::this_thread::sleep_for(kPollInterval);
    }
    ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return -1;
}
