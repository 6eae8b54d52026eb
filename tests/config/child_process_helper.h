#pragma once
// Running the built programs (config_peer, velmora-reg) from the tests:
// fork, then exec at once, so no registry connection crosses the fork.
// Every wait is bounded; a program still running at its deadline is killed.

#include <string>
#include <sys/types.h>
#include <vector>

struct ProgramRun {
    int exitCode = -1; // -1: did not exit by itself in time
    std::string out;
    std::string err;
};

// A program of the build tree: $VELMORA_TEST_BIN_DIR/relative, else found
// from this executable's place (tests/config/ below the build directory).
std::string BuildProgram(const std::string& relative);

// Runs program with args, gathering its output; kills it after timeoutMs.
ProgramRun RunProgram(const std::string& program, const std::vector<std::string>& args, int timeoutMs = 30000);

// Starts program with args, its output discarded; -1 when fork failed.
pid_t StartProgram(const std::string& program, const std::vector<std::string>& args);
// True when pid has ended; its exit code (or -1 after a signal) is stored.
bool ProgramEnded(pid_t pid, int& exitCode);
// Waits up to timeoutMs for pid, then kills it; its exit code, -1 if killed.
int FinishProgram(pid_t pid, int timeoutMs);
