#pragma once
// Peers the tests start as child processes: a program's exit status, the
// python3 that has a module, and a server on a free loopback port that is
// killed and reaped at the end.

#include "framework/wsocket.h"
#include "platform/clock.h"
#include "platform/net.h"

#include "framework/loopback.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

extern char** environ;

namespace child_server {

// Runs a program; true when it exits with status 0.
bool Succeeds(const std::vector<std::string>& argv)
{
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    int spawned = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0)
        return false;
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// The first python3 that has the module, or empty.
std::string PythonWith(const std::string& module)
{
    for (const char* candidate : {"/usr/bin/python3", "python3"}) {
        if (Succeeds({candidate, "-c", "import " + module}))
            return candidate;
    }
    return {};
}

// A server run as a child process, killed and reaped at the end.
class ChildServer {
public:
    ~ChildServer() { Stop(); }

    // Starts argv (with PORT replaced by a free port) and waits for the port to
    // answer; a few attempts in case another process took the port meanwhile.
    bool Start(std::vector<std::string> argv)
    {
        for (int attempt = 0; attempt < 3; ++attempt) {
            m_port = FreePort();
            std::vector<std::string> concrete = argv;
            for (auto& a : concrete) {
                auto at = a.find("PORT");
                if (at != std::string::npos)
                    a.replace(at, 4, std::to_string(m_port));
            }
            std::vector<char*> args;
            for (auto& a : concrete)
                args.push_back(a.data());
            args.push_back(nullptr);
            posix_spawn_file_actions_t actions;
            posix_spawn_file_actions_init(&actions);
            posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
            posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
            int spawned = posix_spawnp(&m_pid, args[0], &actions, nullptr, args.data(), environ);
            posix_spawn_file_actions_destroy(&actions);
            if (spawned != 0) {
                m_pid = -1;
                return false;
            }
            if (WaitForPort())
                return true;
            Stop();
        }
        return false;
    }

    std::uint16_t Port() const { return m_port; }
    pid_t Pid() const { return m_pid; }

private:
    bool WaitForPort()
    {
        for (int i = 0; i < 200; ++i) { // 10 seconds at most
            WSocket probe;
            if (probe.Connect("127.0.0.1", m_port) == 0)
                return true;
            int status = 0;
            if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
                m_pid = -1;
                return false;
            }
            platform::SleepMs(50);
        }
        return false;
    }

    void Stop()
    {
        if (m_pid <= 0)
            return;
        kill(m_pid, SIGTERM);
        int status = 0;
        bool reaped = false;
        for (int i = 0; i < 100 && !reaped; ++i) { // 5 seconds, then SIGKILL
            reaped = waitpid(m_pid, &status, WNOHANG) == m_pid;
            if (!reaped)
                platform::SleepMs(50);
        }
        if (!reaped) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, &status, 0);
        }
        m_pid = -1;
    }

    pid_t m_pid = -1;
    std::uint16_t m_port = 0;
};

} // namespace child_server

using child_server::ChildServer;
using child_server::PythonWith;
