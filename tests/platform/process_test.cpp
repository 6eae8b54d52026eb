// Children started by the process layer: what a failed start reports, and
// what a started child gets and does not get from the server.

#include "platform/process.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

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

// Everything the descriptor gives until its end.
std::string ReadAll(int fd)
{
    std::string text;
    char buffer[256];
    for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;)
        text.append(buffer, static_cast<std::size_t>(n));
    return text;
}

// Starts argv and returns the start's result; output gets what it printed.
int RunChild(const std::vector<std::string>& arguments, std::string& output)
{
    int pipes[2];
    if (::pipe2(pipes, O_CLOEXEC) != 0)
        return -1;
    platform::ChildStart start;
    start.arguments = arguments;
    start.output = pipes[1];
    int pid = 0;
    int result = platform::StartChild(start, &pid);
    ::close(pipes[1]);
    output = ReadAll(pipes[0]);
    ::close(pipes[0]);
    if (result == 0)
        Reap(pid);
    return result;
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
    EXPECT_EQ(platform::StartChild(platform::ChildStart{}, &pid), 87);
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
    ASSERT_EQ(platform::StartChild(start, &pid), 0);
    ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
    ::close(pipes[1]);
    output = ReadAll(pipes[0]);
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
