// Requests per second and p99 latency for static files: our HTTP server in
// thread mode and in fiber mode (through the worker pool) and, in the same
// run, nginx from Debian (with its open-file cache and no cap on requests
// per connection) serving the same files, each writing its access log. A
// load generator (wrk --latency, else ab) drives every server with every
// file over kept-alive connections at every connection count, and with the
// 1 KiB file at one request per connection: wrk sends "Connection: close"
// and opens a new connection for every request, ab sends HTTP/1.0 without
// -k. First each server must return the file's bytes twice on one kept-alive
// connection, so the figures are never those of error replies or reconnects.
// Every cell is run --repeat times with the servers taking turns, each run
// after a short one that is not counted (--warmup), and the run with the
// median requests per second is shown beside the load average after each
// run; a cell in which any run had errors
// shows them and no ratio. The client's time-out is the run's duration (60 s
// at least), so slow replies (10,000 connections of 1 MiB) are measured,
// not counted as errors. A cell that asks for gigabytes at once (1 MiB on
// 10,000 connections) runs long enough to pass its first ramp and reach a
// steady state. Then each server holds ten thousand idle kept-alive
// connections (their clients in a child process) and the growth of its
// resident memory is shared out among them.
//
//   http_static [--duration SECONDS] [--warmup SECONDS] [--connections N,N...]
//               [--threads N] [--mode thread|fiber|both] [--workers N]
//               [--client wrk|ab] [--repeat N]
//
// Everything (document root, hive, logs, the peer's prefix) lives in one
// temporary folder that is removed at the end.

#include "config/global_maps.h"
#include "config/http_global_config.h"
#include "config/http_server_config.h"
#include "config/last_mod_stamp.h"
#include "framework/server.h"
#include "framework/text_buffer.h"
#include "framework/worker_pool.h"
#include "framework/wsocket.h"
#include "http/http_server.h"
#include "macro/core_macros.h"
#include "macro/macro_context.h"
#include "macro/named_strings.h"
#include "platform/clock.h"
#include "platform/net.h"
#include "platform/registry.h"

#include "bench/idle_clients.h"
#include "bench/load_output.h"
#include "bench/peer_server.h"

#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <cctype>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace bench;

// Bounds on the options: a run longer than an hour or wider than this many
// connections is a mistake, not a measurement.
constexpr int kMaxDurationSeconds = 3600;
constexpr int kMaxConnections = 10000;
constexpr int kMaxClientThreads = 256;
constexpr int kMaxWorkers = 4096;
constexpr int kMaxRepeats = 99;
// The client's time-out: the run's duration, and no less than this. The
// run ends on time anyway; a shorter one would count slow replies (10,000
// connections of 1 MiB) as errors instead of measuring them.
constexpr int kMinClientTimeoutSeconds = 60;
// Both servers keep an idle connection this long, as a browser-facing
// configuration would.
constexpr std::uint32_t kKeepAliveSeconds = 15;
// A load generator gets its duration plus this to finish and report.
constexpr std::uint64_t kClientGraceMs = 30000;
// Time-out of the check client's socket.
constexpr std::uint32_t kCheckTimeoutMs = 5000;
// Idle kept-alive connections for the memory figure, and how long they
// stay quiet before the reading, so every server has settled.
constexpr int kIdleConnections = 10000;
constexpr std::uint32_t kIdleSettleMs = 500;
// Descriptors beyond the connections (files, logs, the hive, the peer).
constexpr int kSpareDescriptors = 512;
// nginx's per-worker connection table and descriptor limit: room for every
// connection of the widest run and the idle ones at once.
constexpr int kPeerWorkerConnections = 2 * kMaxConnections;
// A cell whose connections together ask for this much at once (1 MiB on
// each of 10,000) runs at least kSteadyStateSeconds: its first pass alone
// takes seconds, and a short run would measure only that ramp.
constexpr unsigned long long kSteadyStateBytes = 4ULL << 30;
constexpr int kSteadyStateSeconds = 30;

void OnInterrupt(int) { g_interrupted = 1; }

struct Options {
    int duration = 5;
    int warmup = 1; // 0: none
    std::vector<int> connections = {100, 1000, 10000};
    int threads = 4;
    bool threadMode = true;
    bool fiberMode = true;
    int workers = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    std::string client; // empty: wrk when installed, else ab
    int repeats = 3;
};

void Usage()
{
    std::fprintf(stderr, "usage: http_static [--duration SECONDS] [--warmup SECONDS] [--connections N,N...]\n"
                         "                   [--threads N] [--mode thread|fiber|both] [--workers N]\n"
                         "                   [--client wrk|ab] [--repeat N]\n"
                         "one request per connection: wrk with \"Connection: close\", or ab (HTTP/1.0) without -k\n");
}

bool ParseNumber(const std::string& text, int low, int high, int& field)
{
    char* end = nullptr;
    long parsed = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || parsed < low || parsed > high)
        return false;
    field = static_cast<int>(parsed);
    return true;
}

// "100,1000": each in range, at least one.
bool ParseNumberList(const std::string& text, int low, int high, std::vector<int>& list)
{
    list.clear();
    std::stringstream items(text);
    for (std::string item; std::getline(items, item, ',');) {
        int value = 0;
        if (!ParseNumber(item, low, high, value))
            return false;
        list.push_back(value);
    }
    return !list.empty() && text.back() != ',';
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
        bool ok = false;
        if (name == "--duration")
            ok = ParseNumber(value, 1, kMaxDurationSeconds, options.duration);
        else if (name == "--warmup")
            ok = ParseNumber(value, 0, kMaxDurationSeconds, options.warmup);
        else if (name == "--connections")
            ok = ParseNumberList(value, 1, kMaxConnections, options.connections);
        else if (name == "--threads")
            ok = ParseNumber(value, 1, kMaxClientThreads, options.threads);
        else if (name == "--repeat")
            ok = ParseNumber(value, 1, kMaxRepeats, options.repeats);
        else if (name == "--workers")
            ok = ParseNumber(value, 1, kMaxWorkers, options.workers);
        else if (name == "--mode") {
            options.threadMode = value == "thread" || value == "both";
            options.fiberMode = value == "fiber" || value == "both";
            ok = options.threadMode || options.fiberMode;
        } else if (name == "--client") {
            options.client = value;
            ok = value == "wrk" || value == "ab";
        }
        if (!ok)
            return false;
    }
    return true;
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

// One of our servers: where it listens and whether the pool serves it.
struct OurSite {
    std::uint16_t port = 0;
    bool fibers = false;
    std::string logFile;
};

// Our servers, loaded from a hive of their own as engine start loads them;
// with a fiber-mode site the worker pool is started first, as
// StartAllServers does. Stop (or the destructor) stops them, ends the pool
// and closes the hive.
class OurServer {
public:
    OurServer() = default;
    ~OurServer() { Stop(); }
    OurServer(const OurServer&) = delete;
    OurServer& operator=(const OurServer&) = delete;

    // Empty on success, else what failed.
    std::string Start(const std::string& root, const std::vector<OurSite>& sites, int workers)
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
        bool anyFibers = false;
        for (const OurSite& site : sites) {
            std::string name = "HTTP\\Servers\\" + HTTPServerKeyName(site.port, LoopbackAddress());
            if (m_product.Create(name, key) != platform::kErrorSuccess)
                return "cannot create the server key";
            key.SetDword("Port", site.port);
            key.SetDword("Address", LoopbackAddress());
            key.SetDword("ConnTimeout", kKeepAliveSeconds);
            key.SetDword("KeepAliveTimeout", kKeepAliveSeconds);
            key.SetDword("UseFibers", site.fibers ? 1 : 0);
            key.SetString("RootDir", root);
            key.SetString("LogFile", site.logFile);
            key.SetString("Description", "Static-file benchmark");
            anyFibers = anyFibers || site.fibers;
        }

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
        if (m_config->GetServers().GetCount() != sites.size())
            return "the hive does not hold the servers written to it";
        if (anyFibers && !StartWorkerThreads(static_cast<std::uint32_t>(workers), 0, ServerFiber))
            return "the worker pool did not start";
        unsigned index = 0;
        for (CHTTPServerConfig& config : m_config->GetServers()) {
            // The global list owns the server; StopAllServers and DeleteAllServers end it.
            auto* server = new CHTTPServer(config);
            if (int error = server->Start(index++); error != 0)
                return "a server did not start (error " + std::to_string(error) + ")";
            bool wanted = std::any_of(sites.begin(), sites.end(), [&](const OurSite& site) {
                return site.port == server->GetSettings()->port && site.fibers;
            });
            if (wanted && !server->GetSettings()->useFibers)
                return "the fiber-mode server fell back to threads";
        }
        return {};
    }

    void Stop()
    {
        if (!m_started)
            return;
        m_started = false;
        StopAllServers();
        if (WorkerPoolRunning())
            StopWorkerThreads();
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
    double p99Ms = -1;    // negative when the load generator did not say
    long long errors = 0; // replies that were not 2xx or 3xx, and socket errors
    std::string problem;  // empty when the figures stand
    double load = -1;     // the one-minute load average after the run
};

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
    // Both print a latency distribution with a "99%" line.
    if (std::optional<std::string> p99 = After(output, "99%"))
        result.p99Ms = Milliseconds(*p99);
    if (client.isWrk) {
        result.bytesPerSecond = BinarySize(*transfer);
        result.errors += WrkErrors(output);
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

// close: one request per connection.
Measurement Measure(const Client& client, const Options& options, int connections, bool close, const std::string& url,
                    const std::string& output)
{
    const std::string timeout = std::to_string(std::max(options.duration, kMinClientTimeoutSeconds));
    std::vector<std::string> args;
    if (client.isWrk)
        args = {client.program,
                // wrk refuses fewer connections than threads.
                "-t" + std::to_string(std::min(options.threads, connections)),
                "-c" + std::to_string(connections),
                "-d" + std::to_string(options.duration) + "s",
                "--timeout",
                timeout + "s",
                "--latency",
                "-H",
                close ? "Connection: close" : "Connection: keep-alive",
                url};
    else {
        args = {client.program, "-q", "-s", timeout, "-c", std::to_string(connections), "-t",
                std::to_string(options.duration), "-n", std::to_string(kAbRequestsPerSecondCap * options.duration)};
        if (!close)
            args.push_back("-k");
        args.push_back(url);
    }
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
    bool isPeer = false;
};

struct Document {
    std::string label;
    std::string path;
    std::string bytes;
};

// A row group of the table: a file, kept-alive or one request per connection.
struct Case {
    const Document* document;
    bool close;
    std::string label;
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

// The growth of a server's resident memory per connection while count
// kept-alive connections, each after one request, sit idle; negative when
// a connection could not be made or a reading failed.
double IdleBytesPerConnection(std::uint16_t port, const Document& document, int count,
                              const std::function<long()>& resident)
{
    std::string request = "GET " + document.path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                          "\r\nConnection: keep-alive\r\n\r\n";
    long before = resident();
    if (before < 0)
        return -1;
    IdleClients clients;
    if (std::string problem = clients.Open(port, request, document.bytes.size(), count,
                                       static_cast<int>(kCheckTimeoutMs));
        !problem.empty()) {
        std::printf("  (idle connections: %s)\n", problem.c_str());
        return -1;
    }
    platform::SleepMs(kIdleSettleMs);
    long after = resident();
    clients.Close();
    // Give the servers time to see the closes before the next reading.
    platform::SleepMs(kIdleSettleMs);
    if (after < 0)
        return -1;
    return static_cast<double>(after - before) * 1024.0 / count;
}

// No fewer descriptors than the widest run needs in this process: the
// server ends of the idle connections or of the load, a handle of the file
// for each request in flight (every one of them may be sending), and some
// spare.
void RaiseDescriptorLimit(const Options& options)
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return;
    int widest = *std::max_element(options.connections.begin(), options.connections.end());
    rlim_t wanted = static_cast<rlim_t>(2 * std::max(widest, kIdleConnections) + kSpareDescriptors);
    if (limit.rlim_cur >= wanted)
        return;
    limit.rlim_cur = limit.rlim_max == RLIM_INFINITY ? wanted : std::min(wanted, limit.rlim_max);
    if (::setrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur < wanted)
        std::printf("only %llu descriptors may be open: the widest runs may fail\n",
                    static_cast<unsigned long long>(limit.rlim_cur));
}

std::string FormatP99(double ms)
{
    if (ms < 0)
        return "-";
    char text[32];
    std::snprintf(text, sizeof text, "%.2f ms", ms);
    return text;
}

std::string FormatRatio(double ours, double theirs)
{
    if (ours < 0 || theirs <= 0)
        return "-";
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", ours / theirs);
    return text;
}

// One cell: the runs of one server with one case at one connection count.
struct Cell {
    std::vector<Measurement> runs;
    // The first problem of any run; empty when every run gave figures.
    std::string Problem() const
    {
        for (const Measurement& run : runs)
            if (!run.problem.empty())
                return run.problem;
        return {};
    }
    // Each run's errors, "0+3+0"; empty when there were none.
    std::string Errors() const
    {
        std::string text;
        long long total = 0;
        for (const Measurement& run : runs) {
            text += (text.empty() ? "" : "+") + std::to_string(run.errors);
            total += run.errors;
        }
        return total == 0 ? std::string() : text;
    }
    // The run with the median requests per second.
    Measurement Median() const
    {
        std::vector<Measurement> sorted = runs;
        std::sort(sorted.begin(), sorted.end(),
                  [](const Measurement& a, const Measurement& b) { return a.requestsPerSecond < b.requestsPerSecond; });
        return sorted[sorted.size() / 2];
    }
    bool Clean() const { return Problem().empty() && Errors().empty(); }
    // Each run's load average, "2.1/3.4/2.9".
    std::string Loads() const
    {
        std::string text;
        for (const Measurement& run : runs) {
            char figure[16];
            std::snprintf(figure, sizeof figure, "%.1f", run.load);
            text += (text.empty() ? "" : "/") + std::string(figure);
        }
        return text;
    }
};

void PrintRow(const Target& target, const Case& row, int connections, const Cell& cell, const Cell* peer)
{
    if (std::string problem = cell.Problem(); !problem.empty()) {
        std::printf("%-26s %-12s %6d %s\n", target.name.c_str(), row.label.c_str(), connections, problem.c_str());
        return;
    }
    Measurement m = cell.Median();
    std::string errors = cell.Errors();
    // Figures beside errors are not those of the file: no ratio for them.
    bool compare = peer && peer->Clean() && errors.empty();
    Measurement theirs = peer ? peer->Median() : Measurement{};
    std::printf("%-26s %-12s %6d %12.0f %9.1f %11s %8s %8s %-8s %s\n", target.name.c_str(), row.label.c_str(),
                connections, m.requestsPerSecond, m.bytesPerSecond / (1024.0 * 1024.0), FormatP99(m.p99Ms).c_str(),
                compare ? FormatRatio(m.requestsPerSecond, theirs.requestsPerSecond).c_str() : "-",
                compare ? FormatRatio(m.p99Ms, theirs.p99Ms).c_str() : "-", errors.empty() ? "0" : errors.c_str(),
                cell.Loads().c_str());
    std::fflush(stdout);
}

int Run(const Options& options)
{
    std::optional<Client> client = ChooseClient(options);
    if (!client)
        return 1;
    std::string nginx = FindProgram("nginx");
    if (nginx.empty())
        std::printf("nginx is not installed (apt-get install nginx-light): measuring our server only\n");
    RaiseDescriptorLimit(options);

    TempFolder folder;
    std::string root = folder / "www";
    // Our logs go to a folder of their own: the hive's folder is watched for
    // changes, and a log written beside the hive would wake that watch on
    // every hit, which is not what a deployed server does.
    for (const std::string& sub : {root, folder / "home", folder / "logs", folder / "nginx"})
        fs::create_directories(sub);
    ::setenv("VELMORA_REGISTRY", (folder / "registry.db").c_str(), 1);
    ::setenv("VELMORA_HOME", (folder / "home").c_str(), 1);
    ::setenv("VELMORA_SHM_PREFIX", ("vbench" + std::to_string(::getpid())).c_str(), 1);

    std::vector<Document> documents = {{"1 KiB", "/small.txt", DocumentBytes(1024)},
                                       {"1 MiB", "/large.txt", DocumentBytes(1024 * 1024)}};
    for (const Document& document : documents)
        WriteFile(root + document.path, document.bytes);

    // The peer first, so each of its figures is there for the rows of ours.
    std::vector<Target> targets;
    PeerServer peer;
    if (!nginx.empty()) {
        std::uint16_t peerPort = FreePort();
        if (std::string problem = peer.Start(nginx, folder / "nginx", root, peerPort, kKeepAliveSeconds, kPeerWorkerConnections); !problem.empty())
            std::printf("nginx could not be measured: %s\n", problem.c_str());
        else
            targets.push_back(
                {"nginx (" + std::to_string(peer.Workers()) + " workers)", peerPort, peer.LogFile(), true});
    }
    // Fiber mode first: its idle-memory reading then comes before thread
    // mode's threads exist.
    std::vector<OurSite> sites;
    if (options.fiberMode)
        sites.push_back({FreePort(), true, folder / "logs/velmora-fiber-access.log"});
    if (options.threadMode) {
        std::uint16_t port = FreePort();
        while (!sites.empty() && port == sites.front().port)
            port = FreePort();
        sites.push_back({port, false, folder / "logs/velmora-thread-access.log"});
    }
    OurServer ours;
    if (std::string problem = ours.Start(root, sites, options.workers); !problem.empty()) {
        std::fprintf(stderr, "our server: %s\n", problem.c_str());
        return 1;
    }
    for (const OurSite& site : sites)
        targets.push_back({site.fibers ? "velmora (fiber, " + std::to_string(options.workers) + " workers)"
                                       : std::string("velmora (thread mode)"),
                           site.port, site.logFile, false});

    for (const Target& target : targets)
        for (const Document& document : documents)
            if (std::string problem = CheckServes(target.port, document.path, document.bytes); !problem.empty()) {
                std::fprintf(stderr, "%s does not serve %s right: %s\n", target.name.c_str(), document.path.c_str(),
                             problem.c_str());
                return 1;
            }

    std::printf("resident memory per idle kept-alive connection (%d connections, one request each, before any load):\n",
                kIdleConnections);
    for (const Target& target : targets) {
        std::function<long()> resident = [&] { return target.isPeer ? PeerWorkersKiB(peer.Pid()) : ResidentKiB(0); };
        double bytes = IdleBytesPerConnection(target.port, documents.front(), kIdleConnections, resident);
        if (bytes < 0)
            std::printf("  %-26s could not be measured\n", target.name.c_str());
        else
            std::printf("  %-26s %9.1f KiB\n", target.name.c_str(), bytes / 1024.0);
    }

    std::printf("\n");
    std::printf("%s, %d threads, %d s per run, median of %d runs with the servers taking turns, %u cores;\n"
                "\"close\" is one request per connection (%s); ratios are ours / nginx, errors are per run;\n"
                "load is the one-minute load average after each run; a cell of %llu GiB at once runs %d s at least\n\n",
                client->isWrk ? "wrk --latency" : "ab", client->isWrk ? options.threads : 1, options.duration,
                options.repeats, std::thread::hardware_concurrency(),
                client->isWrk ? "\"Connection: close\"" : "HTTP/1.0 without -k", kSteadyStateBytes >> 30,
                kSteadyStateSeconds);
    std::printf("%-26s %-12s %6s %12s %9s %11s %8s %8s %-8s %s\n", "server", "file", "conns", "requests/s", "MiB/s",
                "p99", "req/s x", "p99 x", "errors", "load");
    std::vector<Case> cases;
    for (const Document& document : documents)
        cases.push_back({&document, false, document.label});
    cases.push_back({&documents.front(), true, documents.front().label + " close"});
    for (const Case& row : cases)
        for (int connections : options.connections) {
            Options cellOptions = options;
            if (row.document->bytes.size() * static_cast<unsigned long long>(connections) >= kSteadyStateBytes)
                cellOptions.duration = std::max(options.duration, kSteadyStateSeconds);
            std::vector<Cell> cells(targets.size());
            for (int run = 0; run < options.repeats; ++run)
                for (std::size_t t = 0; t < targets.size(); ++t) {
                    std::string url =
                        "http://127.0.0.1:" + std::to_string(targets[t].port) + row.document->path;
                    if (options.warmup > 0) {
                        Options warmup = options;
                        warmup.duration = options.warmup;
                        Measure(*client, warmup, connections, row.close, url, folder / "client.out");
                    }
                    cells[t].runs.push_back(
                        Measure(*client, cellOptions, connections, row.close, url, folder / "client.out"));
                    cells[t].runs.back().load = LoadAverage();
                    if (g_interrupted) {
                        std::fprintf(stderr, "interrupted: stopping the servers\n");
                        return 130;
                    }
                }
            // The peer is first in the list when it runs.
            const Cell* peerCell = !targets.empty() && targets.front().isPeer ? &cells.front() : nullptr;
            for (std::size_t t = 0; t < targets.size(); ++t)
                PrintRow(targets[t], row, connections, cells[t], targets[t].isPeer ? nullptr : peerCell);
        }

    peer.Stop();
    ours.Stop();
    std::printf("\n");
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
