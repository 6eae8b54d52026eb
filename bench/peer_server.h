#pragma once
// The peer of the static-file benchmark: nginx from Debian as a child of
// ours, and the child-process, file and memory helpers around it.

#include "framework/wsocket.h"
#include "platform/clock.h"
#include "platform/net.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace bench {

// How long the peer may take to start listening, and to stop.
inline constexpr std::uint64_t kPeerStartMs = 5000;
inline constexpr std::uint64_t kPeerStopMs = 5000;
inline constexpr std::uint32_t kPollMs = 20;
// nginx has no "unlimited" for keepalive_requests: this many never ends a
// connection within any run.
inline constexpr long kPeerKeepAliveRequests = 1000000000;

// Set by SIGINT, SIGTERM or SIGHUP: the children are in process groups of
// their own (so a kill reaches all of them) and would not see the terminal's
// signal, so every wait checks this and the run ends through its clean-up.
inline volatile std::sig_atomic_t g_interrupted = 0;

inline std::uint32_t LoopbackAddress()
{
    std::uint32_t address = 0;
    platform::ParseIPv4("127.0.0.1", &address);
    return address;
}

// A loopback port nobody listens on right now (the probe's socket is closed again).
inline std::uint16_t FreePort()
{
    WSocketBase probe;
    probe.Create();
    probe.Bind(0, LoopbackAddress());
    std::uint32_t address = 0;
    std::uint16_t port = 0;
    probe.GetLocalAddress(&address, &port);
    return port;
}

inline bool IsExecutable(const std::string& path) { return ::access(path.c_str(), X_OK) == 0; }

// The first executable of the name on PATH (or the sbin folders, where
// Debian puts nginx); empty when there is none.
inline std::string FindProgram(const std::string& name)
{
    std::string path = std::getenv("PATH") ? std::getenv("PATH") : "";
    path += ":/usr/sbin:/sbin";
    std::stringstream folders(path);
    for (std::string folder; std::getline(folders, folder, ':');)
        if (!folder.empty() && IsExecutable(folder + "/" + name))
            return folder + "/" + name;
    return {};
}

inline std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

inline void WriteFile(const std::string& path, const std::string& text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out.flush())
        throw std::runtime_error("cannot write " + path);
}

// A child in a process group of its own (so a kill reaches everything it
// started), its standard output and error in one file.
inline pid_t Spawn(const std::vector<std::string>& args, const std::string& output)
{
    std::vector<char*> argv;
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    pid_t child = -1;
    if (posix_spawn(&child, argv[0], &actions, &attributes, argv.data(), environ) != 0)
        child = -1;
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    return child;
}

// The child's exit code once it ends within limitMs; otherwise its group is
// killed, the child reaped, and the result is -1 (also for a signal).
inline int WaitChild(pid_t child, std::uint64_t limitMs)
{
    std::uint64_t deadline = platform::MonotonicMs() + limitMs;
    int status = 0;
    for (;;) {
        pid_t done = ::waitpid(child, &status, WNOHANG);
        if (done == child)
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        if (done < 0)
            return -1;
        if (platform::MonotonicMs() >= deadline || g_interrupted)
            break;
        platform::SleepMs(kPollMs);
    }
    ::kill(-child, SIGKILL);
    ::waitpid(child, &status, 0);
    return -1;
}

inline bool ChildEnded(pid_t child)
{
    int status = 0;
    return ::waitpid(child, &status, WNOHANG) == child;
}

// nginx as our child with its own prefix, configuration, pid file and logs,
// in the foreground (daemon off), with Debian's default worker count and
// file sending, an open-file cache and unlimited requests per kept-alive
// connection, and an access log in the common format, as ours writes.
class PeerServer {
public:
    PeerServer() = default;
    ~PeerServer() { Stop(); }
    PeerServer(const PeerServer&) = delete;
    PeerServer& operator=(const PeerServer&) = delete;

    // workerConnections also sets the workers' descriptor limit (twice it).
    std::string Start(const std::string& program, const std::string& prefix, const std::string& root,
                      std::uint16_t port, std::uint32_t keepAliveSeconds, int workerConnections)
    {
        m_prefix = prefix;
        m_workers = std::max(1u, std::thread::hardware_concurrency());
        std::ostringstream conf;
        conf << "daemon off;\n"
             << "worker_processes " << m_workers << ";\n"
             << "pid " << prefix << "/nginx.pid;\n"
             << "error_log " << prefix << "/error.log warn;\n"
             << "worker_rlimit_nofile " << 2 * workerConnections << ";\n";
        // As root the workers would become nobody, who cannot read the private
        // temporary folder; they stay who we are instead.
        if (::geteuid() == 0)
            conf << "user root;\n";
        conf << "events { worker_connections " << workerConnections << "; }\n"
             << "http {\n"
             << "  types { text/plain txt; }\n"
             << "  default_type application/octet-stream;\n"
             << "  sendfile on;\n  tcp_nopush on;\n"
             << "  keepalive_timeout " << keepAliveSeconds << ";\n"
             // Tuned as its users tune it: no cap on the requests of one
             // kept-alive connection, and open files and their sizes cached.
             << "  keepalive_requests " << kPeerKeepAliveRequests << ";\n"
             << "  open_file_cache max=10000 inactive=60s;\n"
             << "  open_file_cache_valid 60s;\n"
             << "  open_file_cache_min_uses 1;\n"
             << "  open_file_cache_errors on;\n"
             << "  log_format common '$remote_addr - $remote_user [$time_local] \"$request\" $status "
                "$body_bytes_sent';\n"
             << "  access_log " << LogFile() << " common;\n";
        for (const char* temp : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"})
            conf << "  " << temp << "_temp_path " << prefix << "/" << temp << ";\n";
        conf << "  server {\n"
             << "    listen 127.0.0.1:" << port << ";\n"
             << "    root " << root << ";\n"
             << "  }\n}\n";
        WriteFile(prefix + "/nginx.conf", conf.str());

        std::string output = prefix + "/stdout.log";
        m_pid = Spawn({program, "-p", prefix + "/", "-e", prefix + "/error.log", "-c", prefix + "/nginx.conf"},
                      output);
        if (m_pid < 0)
            return "cannot run " + program;
        std::uint64_t deadline = platform::MonotonicMs() + kPeerStartMs;
        while (platform::MonotonicMs() < deadline && !g_interrupted) {
            if (ChildEnded(m_pid)) {
                m_pid = -1;
                return "nginx ended at start: " + ReadFile(output) + ReadFile(prefix + "/error.log");
            }
            WSocket probe;
            if (probe.Connect("127.0.0.1", port) == 0)
                return {};
            platform::SleepMs(kPollMs);
        }
        return "nginx did not listen within " + std::to_string(kPeerStartMs) + " ms";
    }

    // The master ends its workers on SIGTERM; the group kill is the fallback.
    void Stop()
    {
        if (m_pid <= 0)
            return;
        ::kill(m_pid, SIGTERM);
        WaitChild(m_pid, kPeerStopMs);
        m_pid = -1;
    }

    std::string LogFile() const { return m_prefix + "/access.log"; }
    unsigned Workers() const { return m_workers; }
    pid_t Pid() const { return m_pid; }

private:
    std::string m_prefix;
    unsigned m_workers = 1;
    pid_t m_pid = -1;
};

// Any other peer program (python3's http.server, openssl s_server, Squid)
// may take this long to listen.
inline constexpr std::uint64_t kListeningPeerStartMs = 10000;

// A peer program in a process group of its own, listening on a port.
class Peer {
public:
    ~Peer() { Stop(); }
    // Empty when the peer listens on port within kListeningPeerStartMs.
    std::string Start(const std::vector<std::string>& args, const std::string& output, std::uint16_t port)
    {
        m_output = output;
        m_pid = Spawn(args, output);
        if (m_pid < 0)
            return "cannot run " + args[0];
        std::uint64_t deadline = platform::MonotonicMs() + kListeningPeerStartMs;
        while (platform::MonotonicMs() < deadline) {
            if (ChildEnded(m_pid)) {
                m_pid = -1;
                return args[0] + " ended at start: " + ReadFile(output);
            }
            WSocket probe;
            if (probe.Connect("127.0.0.1", port) == 0)
                return {};
            platform::SleepMs(20);
        }
        return args[0] + " did not listen: " + ReadFile(output);
    }
    void Stop()
    {
        if (m_pid <= 0)
            return;
        ::kill(-m_pid, SIGTERM);
        WaitChild(m_pid, 5000);
        m_pid = -1;
    }
    std::string Output() const { return ReadFile(m_output); }

private:
    pid_t m_pid = -1;
    std::string m_output;
};

// VmRSS of a process in KiB (0 for this one); -1 when it cannot be read.
inline long ResidentKiB(pid_t pid)
{
    std::string status = ReadFile(pid == 0 ? "/proc/self/status" : "/proc/" + std::to_string(pid) + "/status");
    std::size_t at = status.find("VmRSS:");
    return at == std::string::npos ? -1 : std::atol(status.c_str() + at + 6);
}

// The resident memory of the peer's workers: every child of its master.
inline long PeerWorkersKiB(pid_t master)
{
    long total = 0;
    std::error_code error;
    for (auto it = std::filesystem::directory_iterator("/proc", error); !error && it != std::filesystem::directory_iterator();
         it.increment(error)) {
        std::string name = it->path().filename().string();
        if (name.empty() || !std::all_of(name.begin(), name.end(), [](char c) { return std::isdigit(c) != 0; }))
            continue;
        // "pid (comm) state ppid ...": the name may hold blanks, so read after its ')'.
        std::string stat = ReadFile("/proc/" + name + "/stat");
        std::size_t close = stat.rfind(')');
        if (close == std::string::npos)
            continue;
        std::stringstream fields(stat.substr(close + 1));
        std::string state;
        long parent = 0;
        if (fields >> state >> parent && parent == master)
            total += std::max(0L, ResidentKiB(std::stoi(name)));
    }
    return total;
}

} // namespace bench
