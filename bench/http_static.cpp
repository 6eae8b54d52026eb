// Requests per second for static files over keep-alive connections: our
// HTTP server in thread mode and, in the same run, nginx from Debian serving
// the same files, each writing its access log. A load generator (wrk, else
// ab -k) drives every server with every file in turn, after a check that each
// server really returns the file's bytes twice on one kept-alive connection,
// so the figures are never those of error replies or reconnects.
//
//   http_static [--duration SECONDS] [--connections N] [--threads N] [--client wrk|ab]
//
// Everything (document root, hive, logs, the peer's prefix) lives in one
// temporary folder that is removed at the end.

#include "config/global_maps.h"
#include "config/http_global_config.h"
#include "config/http_server_config.h"
#include "config/last_mod_stamp.h"
#include "framework/server.h"
#include "framework/text_buffer.h"
#include "framework/wsocket.h"
#include "http/http_server.h"
#include "macro/core_macros.h"
#include "macro/macro_context.h"
#include "macro/named_strings.h"
#include "platform/clock.h"
#include "platform/net.h"
#include "platform/registry.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;

// Bounds on the options: a run longer than an hour or wider than this many
// connections is a mistake, not a measurement.
constexpr int kMaxDurationSeconds = 3600;
constexpr int kMaxConnections = 10000;
constexpr int kMaxClientThreads = 256;
// Both servers keep an idle connection this long, as a browser-facing
// configuration would.
constexpr std::uint32_t kKeepAliveSeconds = 15;
// A load generator gets its duration plus this to finish and report.
constexpr std::uint64_t kClientGraceMs = 30000;
// How long the peer may take to start listening, and to stop.
constexpr std::uint64_t kPeerStartMs = 5000;
constexpr std::uint64_t kPeerStopMs = 5000;
constexpr std::uint32_t kPollMs = 20;
// Time-out of the check client's socket.
constexpr std::uint32_t kCheckTimeoutMs = 5000;

// Set by SIGINT, SIGTERM or SIGHUP: the children are in process groups of
// their own (so a kill reaches all of them) and would not see the terminal's
// signal, so every wait checks this and the run ends through its clean-up.
volatile std::sig_atomic_t g_interrupted = 0;

void OnInterrupt(int) { g_interrupted = 1; }

struct Options {
    int duration = 5;
    int connections = 16;
    int threads = 2;
    std::string client; // empty: wrk when installed, else ab
};

void Usage()
{
    std::fprintf(stderr, "usage: http_static [--duration SECONDS] [--connections N] [--threads N] [--client wrk|ab]\n");
}

// Reads "--name value" or "--name=value"; false on anything else.
bool ParseOptions(int argc, char** argv, Options& options)
{
    for (int i = 1; i < argc; ++i) {
        std::string name = argv[i];
        std::string value;
        if (std::size_t equals = name.find('='); equals != std::string::npos) {
            value = name.substr(equals + 1);
            name.resize(equals);
        } else if (i + 1 < argc) {
            value = argv[++i];
        } else {
            return false;
        }
        auto number = [&](int& field, int low, int high) {
            char* end = nullptr;
            long parsed = std::strtol(value.c_str(), &end, 10);
            if (value.empty() || *end != '\0' || parsed < low || parsed > high)
                return false;
            field = static_cast<int>(parsed);
            return true;
        };
        bool ok = false;
        if (name == "--duration")
            ok = number(options.duration, 1, kMaxDurationSeconds);
        else if (name == "--connections")
            ok = number(options.connections, 1, kMaxConnections);
        else if (name == "--threads")
            ok = number(options.threads, 1, kMaxClientThreads);
        else if (name == "--client") {
            options.client = value;
            ok = value == "wrk" || value == "ab";
        }
        if (!ok)
            return false;
    }
    // wrk refuses fewer connections than threads.
    if (options.threads > options.connections)
        options.threads = options.connections;
    return true;
}

bool IsExecutable(const std::string& path) { return ::access(path.c_str(), X_OK) == 0; }

// The first executable of the name on PATH (or the sbin folders, where
// Debian puts nginx); empty when there is none.
std::string FindProgram(const std::string& name)
{
    std::string path = std::getenv("PATH") ? std::getenv("PATH") : "";
    path += ":/usr/sbin:/sbin";
    std::stringstream folders(path);
    for (std::string folder; std::getline(folders, folder, ':');)
        if (!folder.empty() && IsExecutable(folder + "/" + name))
            return folder + "/" + name;
    return {};
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteFile(const std::string& path, const std::string& text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out.flush())
        throw std::runtime_error("cannot write " + path);
}

std::size_t CountLines(const std::string& path)
{
    std::string text = ReadFile(path);
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

class TempFolder {
public:
    TempFolder()
    {
        std::string pattern = (fs::temp_directory_path() / "velmora-bench-XXXXXX").string();
        if (!::mkdtemp(pattern.data()))
            throw std::runtime_error("cannot make a temporary folder");
        m_path = pattern;
    }
    ~TempFolder()
    {
        std::error_code ignored;
        fs::remove_all(m_path, ignored);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    std::string operator/(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

// A child in a process group of its own (so a kill reaches everything it
// started), its standard output and error in one file.
pid_t Spawn(const std::vector<std::string>& args, const std::string& output)
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
int WaitChild(pid_t child, std::uint64_t limitMs)
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

bool ChildEnded(pid_t child)
{
    int status = 0;
    return ::waitpid(child, &status, WNOHANG) == child;
}

std::uint32_t LoopbackAddress()
{
    std::uint32_t address = 0;
    platform::ParseIPv4("127.0.0.1", &address);
    return address;
}

std::uint16_t FreePort()
{
    WSocketBase probe;
    probe.Create();
    probe.Bind(0, LoopbackAddress());
    std::uint32_t address = 0;
    std::uint16_t port = 0;
    probe.GetLocalAddress(&address, &port);
    return port;
}

std::string Lower(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// Printable bytes in lines of 64, the same on every run.
std::string DocumentBytes(std::size_t size)
{
    std::string text(size, '\n');
    std::uint32_t state = 2463534242u;
    for (std::size_t i = 0; i < size; ++i) {
        if (i % 64 == 63)
            continue;
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        text[i] = static_cast<char>('a' + state % 26);
    }
    return text;
}

// Our server in thread mode, loaded from a hive of its own as engine start
// loads it; Stop (or the destructor) stops it and closes the hive.
class OurServer {
public:
    OurServer() = default;
    ~OurServer() { Stop(); }
    OurServer(const OurServer&) = delete;
    OurServer& operator=(const OurServer&) = delete;

    // Empty on success, else what failed.
    std::string Start(const std::string& root, std::uint16_t port, const std::string& logFile)
    {
        InitMacroLibrary();
        BindSocketAPI();
        GlobalLastModStamp().Open(platform::RegistryKey::LocalMachine(), kProductKeyPath, kLastModValueName);
        m_started = true;
        if (platform::RegistryKey::LocalMachine().Create(kProductKeyPath, m_product) != platform::kErrorSuccess)
            return "cannot create the product key in the hive";
        platform::RegistryKey key;
        if (m_product.Create("HTTP\\Mappings", key) != platform::kErrorSuccess)
            return "cannot create the mappings key";
        key.SetString("txt", "text/plain");
        std::string name = "HTTP\\Servers\\" + HTTPServerKeyName(port, LoopbackAddress());
        if (m_product.Create(name, key) != platform::kErrorSuccess)
            return "cannot create the server key";
        key.SetDword("Port", port);
        key.SetDword("Address", LoopbackAddress());
        key.SetDword("ConnTimeout", kKeepAliveSeconds);
        key.SetDword("KeepAliveTimeout", kKeepAliveSeconds);
        key.SetString("RootDir", root);
        key.SetString("LogFile", logFile);
        key.SetString("Description", "Static-file benchmark");

        m_scope = std::make_unique<CMacroContext>();
        RegisterCoreMacros(*m_scope);
        m_config = std::make_unique<CHTTPGlobalConfig>();
        if (m_config->Load(m_product, "HTTP", 1) != 1)
            return "cannot load the HTTP configuration";
        auto* strings = dynamic_cast<CMacroContext*>(m_config->GetStrings());
        if (!strings)
            return "no macro library for the HTTP strings";
        strings->SetParent(m_scope.get());
        SetHTTPStringsScope(strings);
        GlobalMIMETypes().Assign(m_config->GetMappings());
        GlobalUsers().Assign(m_config->GetUsers());
        GlobalGroups().Assign(m_config->GetGuests());
        GlobalVirtualPaths().Assign(m_config->GetPaths());
        GlobalRedirections().Assign(m_config->GetRedirections());
        if (m_config->GetServers().GetCount() != 1)
            return "the hive does not hold the one server written to it";
        // The global list owns the server; StopAllServers and DeleteAllServers end it.
        auto* server = new CHTTPServer(*m_config->GetServers().begin());
        if (int error = server->Start(0); error != 0)
            return "the server did not start (error " + std::to_string(error) + ")";
        return {};
    }

    void Stop()
    {
        if (!m_started)
            return;
        m_started = false;
        StopAllServers();
        DeleteAllServers();
        SetHTTPStringsScope(nullptr);
        m_config.reset();
        m_scope.reset();
        GlobalLastModStamp().Close();
        m_product.Close();
        platform::CloseRegistryDatabase();
    }

private:
    bool m_started = false;
    platform::RegistryKey m_product;
    std::unique_ptr<CMacroContext> m_scope;
    std::unique_ptr<CHTTPGlobalConfig> m_config;
};

// nginx as our child with its own prefix, configuration, pid file and logs,
// in the foreground (daemon off), with Debian's default worker count and
// file sending, and an access log in the common format, as ours writes.
class PeerServer {
public:
    PeerServer() = default;
    ~PeerServer() { Stop(); }
    PeerServer(const PeerServer&) = delete;
    PeerServer& operator=(const PeerServer&) = delete;

    std::string Start(const std::string& program, const std::string& prefix, const std::string& root,
                      std::uint16_t port)
    {
        m_prefix = prefix;
        m_workers = std::max(1u, std::thread::hardware_concurrency());
        std::ostringstream conf;
        conf << "daemon off;\n"
             << "worker_processes " << m_workers << ";\n"
             << "pid " << prefix << "/nginx.pid;\n"
             << "error_log " << prefix << "/error.log warn;\n";
        // As root the workers would become nobody, who cannot read the private
        // temporary folder; they stay who we are instead.
        if (::geteuid() == 0)
            conf << "user root;\n";
        conf << "events { worker_connections 1024; }\n"
             << "http {\n"
             << "  types { text/plain txt; }\n"
             << "  default_type application/octet-stream;\n"
             << "  sendfile on;\n  tcp_nopush on;\n"
             << "  keepalive_timeout " << kKeepAliveSeconds << ";\n"
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

private:
    std::string m_prefix;
    unsigned m_workers = 1;
    pid_t m_pid = -1;
};

// Reads one reply; empty when it is a 200 with exactly expected as its body
// and the server keeps the connection.
std::string ReadReply(WSocket& socket, const std::string& expected)
{
    CTextBuffer line;
    if (socket.ReadLine(line, true) <= 0)
        return "no reply";
    std::string status = line.ToString();
    std::size_t code = status.find(' ');
    if (code == std::string::npos || status.compare(code + 1, 3, "200") != 0)
        return "status line \"" + status + "\"";
    bool http10 = status.rfind("HTTP/1.0", 0) == 0;
    bool kept = !http10;
    long long length = -1;
    for (;;) {
        line.Empty();
        if (socket.ReadLine(line, true) < 0)
            return "the headers did not end";
        std::string header = Lower(line.ToString());
        if (header.empty())
            break;
        if (header.rfind("content-length:", 0) == 0)
            length = std::atoll(header.c_str() + 15);
        else if (header.rfind("connection:", 0) == 0)
            kept = header.find("keep-alive") != std::string::npos;
    }
    if (length != static_cast<long long>(expected.size()))
        return "Content-length " + std::to_string(length) + " for " + std::to_string(expected.size()) + " bytes";
    std::string body(expected.size(), '\0');
    if (socket.ReadExact(body.data(), static_cast<int>(body.size())) != static_cast<int>(body.size()) ||
        body != expected)
        return "the body is not the file's bytes";
    return kept ? std::string() : "the connection is not kept alive";
}

// Asks for path twice on one connection, as the load generator asks (HTTP/1.1
// with Host and "Connection: keep-alive"); empty when both replies are right.
std::string CheckServes(std::uint16_t port, const std::string& path, const std::string& expected)
{
    WSocket socket;
    socket.SetTimeout(kCheckTimeoutMs);
    if (socket.Connect("127.0.0.1", port) != 0)
        return "no connection";
    std::string request = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                          "\r\nConnection: keep-alive\r\n\r\n";
    for (int round = 1; round <= 2; ++round) {
        if (socket.SendText(request, false) < 0)
            return "cannot send request " + std::to_string(round);
        if (std::string problem = ReadReply(socket, expected); !problem.empty())
            return "reply " + std::to_string(round) + ": " + problem;
    }
    return {};
}

struct Measurement {
    double requestsPerSecond = 0;
    double bytesPerSecond = 0;
    long long errors = 0; // replies that were not 2xx or 3xx, and socket errors
    std::string problem;  // empty when the figures stand
};

// The text after label on the first line that starts (blanks aside) with it.
std::optional<std::string> After(const std::string& output, const std::string& label)
{
    std::stringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
        std::size_t start = line.find_first_not_of(' ');
        if (start != std::string::npos && line.compare(start, label.size(), label) == 0)
            return line.substr(start + label.size());
    }
    return std::nullopt;
}

// "12.5MB" and the like (powers of 1024) in bytes.
double BinarySize(const std::string& text)
{
    char* end = nullptr;
    double value = std::strtod(text.c_str(), &end);
    std::string unit = end;
    unit.erase(0, unit.find_first_not_of(' '));
    const std::string prefixes = "KMGT";
    std::size_t power = unit.empty() ? std::string::npos : prefixes.find(unit[0]);
    for (std::size_t i = 0; power != std::string::npos && i <= power; ++i)
        value *= 1024;
    return value;
}

struct Client {
    std::string program;
    bool isWrk = true;
};

Measurement Parse(const Client& client, const std::string& output, int exitCode)
{
    Measurement result;
    std::optional<std::string> rate = After(output, client.isWrk ? "Requests/sec:" : "Requests per second:");
    std::optional<std::string> transfer = After(output, client.isWrk ? "Transfer/sec:" : "Transfer rate:");
    if (exitCode != 0 || !rate || !transfer) {
        result.problem = "the load generator failed (exit " + std::to_string(exitCode) + "): " + output;
        return result;
    }
    result.requestsPerSecond = std::strtod(rate->c_str(), nullptr);
    if (client.isWrk) {
        result.bytesPerSecond = BinarySize(*transfer);
        if (std::optional<std::string> bad = After(output, "Non-2xx or 3xx responses:"))
            result.errors += std::atoll(bad->c_str());
        if (std::optional<std::string> socket = After(output, "Socket errors:")) {
            // "connect 0, read 0, write 0, timeout 0"
            std::stringstream counts(*socket);
            for (std::string word; counts >> word;)
                if (std::isdigit(static_cast<unsigned char>(word[0])))
                    result.errors += std::atoll(word.c_str());
        }
    } else {
        result.bytesPerSecond = std::strtod(transfer->c_str(), nullptr) * 1024;
        if (std::optional<std::string> failed = After(output, "Failed requests:"))
            result.errors += std::atoll(failed->c_str());
        if (std::optional<std::string> bad = After(output, "Non-2xx responses:"))
            result.errors += std::atoll(bad->c_str());
    }
    return result;
}

// ab keeps a record of every request, so its request count is capped at
// what it could do in the time rather than left unbounded.
constexpr long long kAbRequestsPerSecondCap = 200000;

Measurement Measure(const Client& client, const Options& options, const std::string& url, const std::string& output)
{
    std::vector<std::string> args;
    if (client.isWrk)
        args = {client.program,
                "-t" + std::to_string(options.threads),
                "-c" + std::to_string(options.connections),
                "-d" + std::to_string(options.duration) + "s",
                "-H",
                "Connection: keep-alive",
                url};
    else
        args = {client.program,
                "-k",
                "-q",
                "-c",
                std::to_string(options.connections),
                "-t",
                std::to_string(options.duration),
                "-n",
                std::to_string(kAbRequestsPerSecondCap * options.duration),
                url};
    pid_t child = Spawn(args, output);
    if (child < 0) {
        Measurement failed;
        failed.problem = "cannot run " + client.program;
        return failed;
    }
    int exitCode = WaitChild(child, static_cast<std::uint64_t>(options.duration) * 1000 + kClientGraceMs);
    return Parse(client, ReadFile(output), exitCode);
}

struct Target {
    std::string name;
    std::uint16_t port = 0;
    std::string logFile;
};

struct Document {
    std::string label;
    std::string path;
    std::string bytes;
};

std::optional<Client> ChooseClient(const Options& options)
{
    std::string wrk = FindProgram("wrk");
    std::string ab = FindProgram("ab");
    if (options.client == "wrk" && wrk.empty()) {
        std::fprintf(stderr, "wrk is not installed (apt-get install wrk)\n");
        return std::nullopt;
    }
    if (options.client == "ab" && ab.empty()) {
        std::fprintf(stderr, "ab is not installed (apt-get install apache2-utils)\n");
        return std::nullopt;
    }
    if (!wrk.empty() && options.client != "ab")
        return Client{wrk, true};
    if (ab.empty()) {
        std::fprintf(stderr, "neither wrk nor ab is installed (apt-get install wrk): nothing can be measured\n");
        return std::nullopt;
    }
    if (options.client.empty())
        std::printf("wrk is not installed (apt-get install wrk): using ab -k\n");
    return Client{ab, false};
}

int Run(const Options& options)
{
    std::optional<Client> client = ChooseClient(options);
    if (!client)
        return 1;
    std::string nginx = FindProgram("nginx");
    if (nginx.empty())
        std::printf("nginx is not installed (apt-get install nginx-light): measuring our server only\n");

    TempFolder folder;
    std::string root = folder / "www";
    for (const std::string& sub : {root, folder / "home", folder / "nginx"})
        fs::create_directories(sub);
    ::setenv("VELMORA_REGISTRY", (folder / "registry.db").c_str(), 1);
    ::setenv("VELMORA_HOME", (folder / "home").c_str(), 1);
    ::setenv("VELMORA_SHM_PREFIX", ("vbench" + std::to_string(::getpid())).c_str(), 1);

    std::vector<Document> documents = {{"1 KiB", "/small.txt", DocumentBytes(1024)},
                                       {"1 MiB", "/large.txt", DocumentBytes(1024 * 1024)}};
    for (const Document& document : documents)
        WriteFile(root + document.path, document.bytes);

    std::vector<Target> targets;
    OurServer ours;
    std::uint16_t ourPort = FreePort();
    if (std::string problem = ours.Start(root, ourPort, folder / "velmora-access.log"); !problem.empty()) {
        std::fprintf(stderr, "our server: %s\n", problem.c_str());
        return 1;
    }
    targets.push_back({"velmora (thread mode)", ourPort, folder / "velmora-access.log"});
    PeerServer peer;
    if (!nginx.empty()) {
        std::uint16_t peerPort = FreePort();
        if (std::string problem = peer.Start(nginx, folder / "nginx", root, peerPort); !problem.empty())
            std::printf("nginx could not be measured: %s\n", problem.c_str());
        else
            targets.push_back({"nginx (" + std::to_string(peer.Workers()) + " workers)", peerPort, peer.LogFile()});
    }

    for (const Target& target : targets)
        for (const Document& document : documents)
            if (std::string problem = CheckServes(target.port, document.path, document.bytes); !problem.empty()) {
                std::fprintf(stderr, "%s does not serve %s right: %s\n", target.name.c_str(), document.path.c_str(),
                             problem.c_str());
                return 1;
            }

    std::printf("%s, %d threads, %d keep-alive connections, %d s per run, %u cores\n\n",
                client->isWrk ? "wrk" : "ab -k", client->isWrk ? options.threads : 1, options.connections,
                options.duration, std::thread::hardware_concurrency());
    std::printf("%-24s %-6s %14s %12s %8s\n", "server", "file", "requests/s", "MiB/s", "errors");
    std::vector<std::vector<Measurement>> results(documents.size());
    for (std::size_t d = 0; d < documents.size(); ++d)
        for (const Target& target : targets) {
            std::string url = "http://127.0.0.1:" + std::to_string(target.port) + documents[d].path;
            Measurement m = Measure(*client, options, url, folder / "client.out");
            if (g_interrupted) {
                std::fprintf(stderr, "interrupted: stopping the servers\n");
                return 130;
            }
            results[d].push_back(m);
            if (!m.problem.empty())
                std::printf("%-24s %-6s %s\n", target.name.c_str(), documents[d].label.c_str(), m.problem.c_str());
            else
                std::printf("%-24s %-6s %14.0f %12.1f %8lld\n", target.name.c_str(), documents[d].label.c_str(),
                            m.requestsPerSecond, m.bytesPerSecond / (1024.0 * 1024.0), m.errors);
            std::fflush(stdout);
        }

    peer.Stop();
    ours.Stop();
    std::printf("\n");
    if (targets.size() == 2)
        for (std::size_t d = 0; d < documents.size(); ++d)
            if (results[d][0].problem.empty() && results[d][1].problem.empty() && results[d][1].requestsPerSecond > 0)
                std::printf("velmora/nginx, %s: %.2f\n", documents[d].label.c_str(),
                            results[d][0].requestsPerSecond / results[d][1].requestsPerSecond);
    for (const Target& target : targets)
        std::printf("access log of %s: %zu lines\n", target.name.c_str(), CountLines(target.logFile));
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        Usage();
        return 2;
    }
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGINT, SIGTERM, SIGHUP})
        ::sigaction(signal, &action, nullptr);
    try {
        return Run(options);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "http_static: %s\n", error.what());
        return 1;
    }
}
