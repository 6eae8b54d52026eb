#pragma once
// Child processes: fork and exec with pipes on the child's standard input
// and output, an explicit environment and working directory, a session of
// its own (so a kill reaches the programs it starts too), no inherited
// descriptors and, when asked, the credentials of a logged-on user. Never a
// shell: callers split a command line with SplitCommandLine.
//
// The parent's pipe ends and the process descriptor (pidfd, readable once
// the child has ended) are non-blocking and close-on-exec, so a caller can
// park a fiber on any of them. A child still running when its ChildProcess
// goes is killed and reaped.

#include "platform/security.h"
#include "platform/service_database.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// Win32 numbers a start reports.
inline constexpr int kErrorFileNotFoundForStart = 2;
inline constexpr int kErrorAccessDeniedForStart = 5;

struct ChildStart {
    std::vector<std::string> argv;
    // "NAME=value" texts, in order.
    std::vector<std::string> environment;
    // Empty: the server's own.
    std::string workingDir;
    // Null: the server's own identity.
    const LogonToken* user = nullptr;
};

// The server process's own environment, "NAME=value" texts.
std::vector<std::string> ProcessEnvironment();

class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // 0, or the Win32 number of the failure: 2 no such program, 5 not
    // executable or the working directory refused, 1314 a user without
    // root, else the errno mapped as the files layer maps it.
    int Start(const ChildStart& start);

    // The parent's ends; -1 once closed.
    int InputHandle() const { return m_input; }
    int OutputHandle() const { return m_output; }
    // Readable once the child has ended.
    int ProcessHandle() const { return m_pidfd; }
    void CloseInput();
    void CloseOutput();

    // SIGKILL to the child's whole session. Does nothing once reaped.
    void Kill();
    // Collects an ended child without waiting; true once reaped.
    bool TryReap();
    // Kills when still running and reaps (after SIGKILL this is quick).
    void KillAndReap();
    bool IsRunning() const { return m_pid > 0 && !m_reaped; }
    // Exit status as waitpid gives it; valid once reaped.
    int Status() const { return m_status; }
    int Pid() const { return m_pid; }

private:
    int m_pid = -1;
    int m_pidfd = -1;
    int m_input = -1;
    int m_output = -1;
    bool m_reaped = false;
    int m_status = 0;
};

} // namespace platform
