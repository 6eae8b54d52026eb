#pragma once
// Child programs: fork and exec with an explicit set of standard streams, an
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

} // namespace platform
