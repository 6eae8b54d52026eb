// Helper processes for the registry tests. When VELMORA_REGISTRY_HELPER is
// set, this program plays that role before main runs and exits with its
// result, so a test can start real second and third users of the hive.

#include "platform/registry.h"

#include "platform/registry_fixture.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

using namespace platform;

namespace {

constexpr const char* kRoleVariable = "VELMORA_REGISTRY_HELPER";

int Report(int exitCode, const char* step, int code)
{
    std::fprintf(stderr, "registry helper %d: %s failed with %d (%s) %s\n", static_cast<int>(::getpid()), step, code,
                 RegistryErrorText(code).c_str(), RegistryDatabaseError().c_str());
    return exitCode;
}

// Saves the shared key the way the configuration does (delete every value,
// then write the list) and records each round in a log key, all in one
// transaction.
int Writer(int id, int rounds, int values)
{
    for (int round = 0; round < rounds; ++round) {
        RegistryTransaction transaction;
        if (transaction.Status() != kErrorSuccess)
            return Report(10, "begin", transaction.Status());
        RegistryKey key;
        if (int code = RegistryKey::LocalMachine().Create("Software\\Race\\Shared", key))
            return Report(11, "create", code);
        std::string name;
        int code;
        for (int guard = 0; (code = key.EnumValue(0, name, nullptr, nullptr, nullptr)) == kErrorSuccess; ++guard) {
            if (guard > values + 1)
                return Report(12, "delete loop", code);
            if (int deleted = key.DeleteValue(name))
                return Report(12, "delete", deleted);
        }
        if (code != kErrorNoMoreItems)
            return Report(12, "enumerate", code);
        std::string tag = std::to_string(id) + ":" + std::to_string(round);
        for (int i = 0; i < values; ++i) {
            if (int written = key.SetString("v" + std::to_string(i), tag))
                return Report(13, "write", written);
        }
        RegistryKey log;
        if (int logged = RegistryKey::LocalMachine().Create("Software\\Race\\Log", log))
            return Report(14, "create log", logged);
        if (int logged = log.SetDword("w" + tag, static_cast<std::uint32_t>(round)))
            return Report(14, "log", logged);
        if (int committed = transaction.Commit())
            return Report(15, "commit", committed);
        // Saves come from people, not back to back: leave the other writer a gap.
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return 0;
}

// Checks that every read of the shared key sees one whole save.
int Reader(int reads, int values)
{
    for (int i = 0; i < reads; ++i) {
        RegistrySnapshot snapshot;
        if (snapshot.Status() != kErrorSuccess)
            return Report(20, "snapshot", snapshot.Status());
        RegistryKey key;
        int code = RegistryKey::LocalMachine().Open("Software\\Race\\Shared", key);
        if (code == kErrorFileNotFound)
            continue;
        if (code != kErrorSuccess)
            return Report(21, "open", code);
        std::string name;
        std::string first;
        RegistryValue value;
        int count = 0;
        for (; (code = key.EnumValue(count, name, value)) == kErrorSuccess; ++count) {
            std::string tag(value.data.begin(), value.data.end());
            if (count == 0)
                first = tag;
            if (tag != first) {
                std::fprintf(stderr, "mixed save: %s and %s\n", first.c_str(), tag.c_str());
                return 23;
            }
        }
        if (code != kErrorNoMoreItems)
            return Report(21, "enumerate", code);
        if (count != 0 && count != values) {
            std::fprintf(stderr, "half-written key: %d of %d values\n", count, values);
            return 22;
        }
    }
    return 0;
}

int Delete(const std::string& path)
{
    if (int code = RegistryKey::LocalMachine().DeleteTree(path))
        return Report(30, "delete", code);
    RegistryKey again;
    if (int code = RegistryKey::LocalMachine().Create(path, again))
        return Report(31, "create", code);
    return 0;
}

// Roles that race each other wait for a common start time (milliseconds of
// the system clock), so that they do run at the same time.
void WaitForStart(long long startMs)
{
    using namespace std::chrono;
    auto start = system_clock::time_point(milliseconds(startMs));
    if (start - system_clock::now() < seconds(10))
        std::this_thread::sleep_until(start);
}

// Holds a write transaction open for holdMs, announcing it by creating the
// marker file, then commits.
int Hold(const std::string& marker, int holdMs)
{
    RegistryTransaction transaction;
    if (transaction.Status() != kErrorSuccess)
        return Report(40, "begin", transaction.Status());
    RegistryKey key;
    if (int code = RegistryKey::LocalMachine().Create("Software\\Held", key))
        return Report(41, "create", code);
    if (int code = key.SetString("state", "new"))
        return Report(42, "write", code);
    if (std::FILE* file = std::fopen(marker.c_str(), "w"))
        std::fclose(file);
    std::this_thread::sleep_for(std::chrono::milliseconds(holdMs));
    if (int code = transaction.Commit())
        return Report(43, "commit", code);
    return 0;
}

int RunRole(const std::string& role)
{
    std::istringstream words(role);
    std::string name;
    long long startMs = 0;
    words >> name >> startMs;
    WaitForStart(startMs);
    int result = 99;
    if (name == "writer") {
        int id = 0, rounds = 0, values = 0;
        words >> id >> rounds >> values;
        result = Writer(id, rounds, values);
    } else if (name == "reader") {
        int reads = 0, values = 0;
        words >> reads >> values;
        result = Reader(reads, values);
    } else if (name == "hold") {
        std::string marker;
        int holdMs = 0;
        words >> marker >> holdMs;
        result = Hold(marker, holdMs);
    } else if (name == "delete") {
        std::string path;
        words >> path;
        result = Delete(path);
    }
    CloseRegistryDatabase();
    return result;
}

const bool kPlayedRole = [] {
    const char* role = std::getenv(kRoleVariable);
    if (role && *role) {
        std::fflush(stdout);
        ::_exit(RunRole(role));
    }
    return false;
}();

} // namespace

long long RegistryHelperStart(int delayMs)
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count() + delayMs;
}

pid_t SpawnRegistryHelper(const std::string& role, long long startMs)
{
    std::istringstream words(role);
    std::string name;
    words >> name;
    std::string rest;
    std::getline(words, rest);
    std::string timed = name + " " + std::to_string(startMs) + rest;
    std::vector<std::string> environment;
    for (char** entry = environ; *entry; ++entry) {
        if (std::string(*entry).rfind(std::string(kRoleVariable) + "=", 0) != 0)
            environment.emplace_back(*entry);
    }
    environment.push_back(std::string(kRoleVariable) + "=" + timed);
    std::vector<char*> envp;
    for (std::string& entry : environment)
        envp.push_back(entry.data());
    envp.push_back(nullptr);
    char program[] = "/proc/self/exe";
    char* argv[] = {program, nullptr};
    pid_t pid = -1;
    if (::posix_spawn(&pid, program, nullptr, nullptr, argv, envp.data()) != 0)
        return -1;
    return pid;
}

std::vector<int> WaitChildren(const std::vector<pid_t>& pids, int timeoutMs)
{
    std::vector<int> codes(pids.size(), -1);
    std::vector<bool> done(pids.size(), false);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::size_t left = pids.size();
    for (std::size_t i = 0; i < pids.size(); ++i) {
        if (pids[i] <= 0) {
            done[i] = true;
            --left;
        }
    }
    while (left > 0 && std::chrono::steady_clock::now() < deadline) {
        for (std::size_t i = 0; i < pids.size(); ++i) {
            int status = 0;
            if (!done[i] && ::waitpid(pids[i], &status, WNOHANG) == pids[i]) {
                done[i] = true;
                --left;
                codes[i] = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
        }
        if (left > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    for (std::size_t i = 0; i < pids.size(); ++i) {
        if (!done[i]) {
            ::kill(pids[i], SIGKILL);
            ::waitpid(pids[i], nullptr, 0);
        }
    }
    return codes;
}
