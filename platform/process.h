#pragma once
// Child programs: started and exec'd with an explicit set of standard streams, an
// optional environment and working directory, and optionally another user's
// credentials; never through a shell, and with no descriptor of the server
// other than the three streams.

#include "platform/security.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// A child program: arguments[0] is a path, or a name looked up in PATH.
struct ChildStart {
    std::vector<std::string> arguments;
    // Entries "NAME=value"; used only when explicitEnvironment is set.
    std::vector<std::string> environment;
    bool explicitEnvironment = false;
    // Empty: the caller's.
    std::string workingDirectory;
    // Descriptors the child gets as its standard streams; -1: /dev/null.
    int input = -1;
    int output = -1;
    int error = -1;
    // Not null: the child takes on this account (groups, then every gid,
    // then every uid) before exec and cannot regain the server's rights.
    const LogonToken* credentials = nullptr;
    // The child leads a session of its own, so KillChildGroup reaches
    // whatever it starts in turn.
    bool newSession = false;
};

// Starts the child. 0 with *processId set, or a Win32 number: 2 program not
// found, 5 not executable, 193 not a program, 87 no arguments, 1314/1349/1359
// the account could not be taken on, 1450 no resources. The caller reaps it.
int StartChild(const ChildStart& start, int* processId);

// Command lines are split by SplitCommandLine (service_database.h).

// The process's own environment, "NAME=value" entries, as a child gets it
// explicitly.
std::vector<std::string> CurrentEnvironment();

// A pipe whose ends are both close-on-exec (the child gets its end only as
// a standard stream). 0, or a Win32 number.
int CreatePipe(int* readEnd, int* writeEnd);

// A descriptor that becomes readable when the child ends (a pidfd), or -1.
int OpenChildWaitHandle(int processId);
// Reaps the child when it has ended: 1 with *exitCode (a signal number +
// 128 for a killed one), 0 while it runs, -1 when it is not our child.
int TryReapChild(int processId, int* exitCode);
// Reaps the child, waiting as long as it takes.
int ReapChild(int processId, int* exitCode);
// SIGKILL to the child's session (newSession) and to the child itself.
void KillChildGroup(int processId);

// Lifts the process's soft limit on open descriptors to its hard limit:
// every client holds one, and a soft limit inherited from a login shell
// (1,024) would leave a few hundred. Returns the soft limit now in force
// (0 when it cannot be read).
std::uint64_t RaiseDescriptorLimit();

// StartChild's numbers a caller may answer in its own way.
inline constexpr int kErrorFileNotFoundForStart = 2;
inline constexpr int kErrorAccessDeniedForStart = 5;

// A child in a session of its own that the caller talks to through two
// non-blocking pipes (its standard input and output; its errors go to
// start.error when the caller gives one, else to /dev/null), with a wait
// handle; whatever is still running when the object
// goes is killed, session and all, and reaped.
class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Starts start's program with the pipes in place of its streams; 0, or
    // StartChild's Win32 number.
    int Start(ChildStart start);
    // The same with /dev/null as every stream and no pipes: the program
    // talks through files.
    int StartWithoutPipes(ChildStart start);

    // The parent's ends; -1 once closed.
    int InputHandle() const { return m_input; }
    int OutputHandle() const { return m_output; }
    // Readable once the child has ended; -1 when the system has none.
    int ProcessHandle() const { return m_waitHandle; }
    void CloseInput();
    void CloseOutput();

    // SIGKILL to the child's whole session. Nothing once reaped.
    void Kill();
    // Collects an ended child without waiting; true once reaped.
    bool TryReap();
    // Kills it while it runs, then reaps it.
    void KillAndReap();
    bool IsRunning() const { return m_pid > 0 && !m_reaped; }
    // Exit code (a signal number + 128 for a killed child), once reaped.
    int ExitCode() const { return m_exitCode; }
    int Pid() const { return m_pid; }

private:
    int m_pid = -1;
    int m_waitHandle = -1;
    int m_input = -1;
    int m_output = -1;
    bool m_reaped = false;
    int m_exitCode = 0;
};

} // namespace platform
