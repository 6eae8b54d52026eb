#pragma once
// Running the built programs (config_peer, velmora-reg) from the tests:
// fork, then exec at once, so no registry connection crosses the fork.
// Every wait is bounded; a program still running at its deadline is killed.

#include <string>
#include <sys/types.h>
#include <vector>

// $VELMORA_TEST_BIN_DIR/relative (CTest sets it to the build directory).
// Without it, the build directory above this test program.
std::string BuildProgram(const std::string& relative);

// Starts program with args; its standard output goes to *out when out is a
// pipe's write end (>= 0), else to /dev/null. -1 when fork failed.
pid_t StartProgram(const std::string& program, const std::vector<std::string>& args, int out = -1);
// True when pid has ended; exitCode is its exit status, -1 after a signal.
bool ProgramEnded(pid_t pid, int& exitCode);
// Waits up to timeoutMs for pid, then kills it; its exit status, -1 if killed.
int FinishProgram(pid_t pid, int timeoutMs);

// Runs program to its end (at most timeoutMs) and answers its exit status
// (-1 when killed) with its standard output in out.
int RunProgram(const std::string& program, const std::vector<std::string>& args, std::string& out,
               int timeoutMs = 30000);
