// Requests per second and p99 latency of cached documents through a caching
// proxy: ours (its disk cache, in fiber mode through the worker pool) and,
// in the same run, Squid from Debian (its memory cache), both in front of
// one nginx origin serving a 1 KiB and a 1 MiB document. Squid runs as many
// SMP workers as our pool has (--workers), each with a memory cache of its
// own (its shared memory cache drops a small document now and then under
// load, sending a third of the requests to the origin). Both
// proxies write an access log of every request (Squid one per worker). wrk
// sends absolute URLs to the proxy (Lua lines set the request path and Host).
// Before measuring, each document is fetched through each proxy until it is
// cached and then loaded for a short uncounted run, and the origin's access
// log shows whether the measured run reached it. Every cell is run three
// times with the proxies taking turns and the median run is shown, beside
// the load average after each run. Each document is measured
// over kept-alive connections and with one request per connection (wrk
// sends "Connection: close"), since our proxy serves one request per
// connection and so ends every kept-alive connection after its reply.
//
//   proxy_cache [--duration SECONDS] [--connections N] [--threads N] [--workers N]
//
// Everything (hive, cache, logs, the peers' folders) lives in one temporary
// folder that is removed at the end.

#include "config/last_mod_stamp.h"
#include "framework/server.h"
#include "framework/worker_pool.h"
#include "framework/wsocket.h"
#include "macro/core_macros.h"
#include "macro/macro_context.h"
#include "macro/named_strings.h"
#include "platform/clock.h"
#include "platform/net.h"
#include "platform/registry.h"
#include "proxy/http_proxy.h"
#include "proxy/proxy_cache.h"

#include "bench/load_output.h"
#include "bench/peer_server.h"

#include <algorithm>
#include <sys/stat.h>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace bench;

constexpr std::uint64_t kClientGraceMs = 30000;
// Fetches that may go by before a document is cached for every worker.
constexpr int kMaxPrimingFetches = 200;
// The uncounted loaded run before each measured one.
constexpr int kWarmupSeconds = 2;

struct Options {
    int duration = 5;
    int connections = 50;
    int threads = 2;
    int workers = 8;
};

bool ParseOptions(int argc, char** argv, Options& options)
{
    for (int i = 1; i + 1 < argc + 1; i += 2) {
        if (i + 1 >= argc)
            return false;
        std::string name = argv[i];
        int value = std::atoi(argv[i + 1]);
        if (value < 1 || value > 10000)
            return false;
        if (name == "--duration")
            options.duration = value;
        else if (name == "--connections")
            options.connections = value;
        else if (name == "--threads")
            options.threads = value;
        else if (name == "--workers")
            options.workers = value;
        else
            return false;
    }
    return true;
}

// One GET of url through the proxy on port: the body's length, or -1.
long long FetchThrough(std::uint16_t port, const std::string& url)
{
    WSocket socket;
    socket.SetTimeout(10000);
    if (socket.Connect("127.0.0.1", port) != 0)
        return -1;
    socket.SendText("GET " + url + " HTTP/1.0\r\n\r\n", false);
    std::string reply;
    char buffer[65536];
    for (int got; (got = socket.Read(buffer, sizeof buffer)) > 0;)
        reply.append(buffer, static_cast<std::size_t>(got));
    std::size_t body = reply.find("\r\n\r\n");
    if (reply.compare(0, 12, "HTTP/1.0 200") != 0 && reply.compare(0, 12, "HTTP/1.1 200") != 0)
        return -1;
    return body == std::string::npos ? -1 : static_cast<long long>(reply.size() - body - 4);
}

struct Measurement {
    double requestsPerSecond = 0;
    double p99Ms = -1;
    long long errors = 0;
    std::string problem;
};

// Runs of each cell; the median one is shown.
constexpr int kRuns = 3;

struct Run {
    Measurement m;
    std::size_t originHits = 0;
    double load = -1;
};

// close: one request per connection, as our proxy serves every client.
Measurement Measure(const std::string& wrk, const Options& options, std::uint16_t proxyPort, const std::string& url,
                    const std::string& folder, bool close = false)
{
    std::string script = folder + "/absolute.lua";
    // A browser's request through a proxy names the origin in Host too.
    const std::size_t hostStart = url.find("//") + 2;
    const std::string host = url.substr(hostStart, url.find('/', hostStart) - hostStart);
    WriteFile(script, "wrk.path = \"" + url + "\"\nwrk.headers[\"Host\"] = \"" + host + "\"\n" +
                          (close ? "wrk.headers[\"Connection\"] = \"close\"\n" : ""));
    std::vector<std::string> args = {wrk,
                                     "-t" + std::to_string(std::min(options.threads, options.connections)),
                                     "-c" + std::to_string(options.connections),
                                     "-d" + std::to_string(options.duration) + "s",
                                     "--latency",
                                     "-s",
                                     script,
                                     "http://127.0.0.1:" + std::to_string(proxyPort) + "/"};
    std::string output = folder + "/wrk.out";
    Measurement result;
    pid_t child = Spawn(args, output);
    int exitCode = child < 0 ? -1 : WaitChild(child, static_cast<std::uint64_t>(options.duration) * 1000 + kClientGraceMs);
    std::string text = ReadFile(output);
    std::optional<std::string> rate = After(text, "Requests/sec:");
    if (exitCode != 0 || !rate) {
        result.problem = "wrk failed (exit " + std::to_string(exitCode) + "): " + text;
        return result;
    }
    result.requestsPerSecond = std::strtod(rate->c_str(), nullptr);
    if (std::optional<std::string> p99 = After(text, "99%"))
        result.p99Ms = Milliseconds(*p99);
    result.errors += WrkErrors(text);
    return result;
}

// Our proxy from a hive of its own, as engine start makes it.
class OurProxy {
public:
    ~OurProxy()
    {
        StopAllServers();
        if (WorkerPoolRunning())
            StopWorkerThreads();
        DeleteAllServers();
        GlobalLastModStamp().Close();
        m_product.Close();
        platform::CloseRegistryDatabase();
    }
    std::string Start(const std::string& folder, std::uint16_t port, int workers)
    {
        InitMacroLibrary();
        BindSocketAPI();
        GlobalLastModStamp().Open(platform::RegistryKey::LocalMachine(), kProductKeyPath, kLastModValueName);
        platform::RegistryKey key;
        if (platform::RegistryKey::LocalMachine().Create(kProductKeyPath, m_product) != platform::kErrorSuccess ||
            m_product.Create("HTTPProxy", key) != platform::kErrorSuccess)
            return "cannot create the proxy's key";
        key.SetDword("Enabled", 1);
        key.SetDword("Port", port);
        key.SetDword("Address", LoopbackAddress());
        key.SetDword("ConnTimeout", 15);
        key.SetDword("UseFibers", 1);
        key.SetDword("MaxCacheSize", 64);
        key.SetDword("SyncInterval", 0);
        key.SetString("RootDir", folder + "/cache/");
        key.SetString("LogFile", folder + "/proxy.log");
        m_scope = std::make_unique<CMacroContext>();
        RegisterCoreMacros(*m_scope);
        CHTTPProxySettings settings;
        if (!settings.Open(m_product, "HTTPProxy", 1))
            return "cannot load the proxy settings";
        m_proxy = new CHTTPProxy(settings);
        if (CMacroContext* scope = m_proxy->GetMacroScope())
            scope->SetParent(m_scope.get());
        if (!StartWorkerThreads(static_cast<std::uint32_t>(workers), 0, ServerFiber))
            return "the worker pool did not start";
        if (int error = m_proxy->Start(0); error != 0)
            return "the proxy did not start (error " + std::to_string(error) + ")";
        return {};
    }
    CHTTPProxy& Proxy() { return *m_proxy; }

private:
    platform::RegistryKey m_product;
    std::unique_ptr<CMacroContext> m_scope;
    CHTTPProxy* m_proxy = nullptr;
};

std::string StartSquid(Peer& squid, const std::string& program, const std::string& folder, std::uint16_t port,
                       int workers);

} // namespace

int main(int argc, char** argv)
{
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        std::fprintf(stderr, "usage: proxy_cache [--duration SECONDS] [--connections N] [--threads N] [--workers N]\n");
        return 2;
    }
    std::string wrk = FindProgram("wrk");
    std::string nginx = FindProgram("nginx");
    std::string squid = FindProgram("squid");
    if (wrk.empty() || nginx.empty()) {
        std::fprintf(stderr, "wrk and nginx are needed (apt-get install wrk nginx-light squid)\n");
        return 1;
    }
    std::string pattern = (fs::temp_directory_path() / "velmora-proxybench-XXXXXX").string();
    if (!::mkdtemp(pattern.data()))
        return 1;
    const std::string folder = pattern;
    ::chmod(folder.c_str(), 0755);
    ::setenv("VELMORA_REGISTRY", (folder + "/registry.db").c_str(), 1);
    ::setenv("VELMORA_HOME", folder.c_str(), 1);
    ::setenv("VELMORA_SHM_PREFIX", ("vpb" + std::to_string(::getpid())).c_str(), 1);
    int status = 0;
    {
        fs::create_directories(folder + "/www");
        fs::create_directories(folder + "/nginx");
        const std::vector<std::pair<std::string, std::size_t>> documents = {{"/1k.txt", 1024}, {"/1m.txt", 1 << 20}};
        for (const auto& [name, size] : documents)
            WriteFile(folder + "/www" + name, std::string(size, 'v'));
        std::uint16_t originPort = FreePort();
        PeerServer origin;
        std::string error = origin.Start(nginx, folder + "/nginx", folder + "/www", originPort, 15, 1024);
        OurProxy ours;
        std::uint16_t ourPort = FreePort();
        if (error.empty())
            error = ours.Start(folder, ourPort, options.workers);
        std::uint16_t squidPort = 0;
        Peer squidPeer;
        if (error.empty() && !squid.empty()) {
            squidPort = FreePort();
            error = StartSquid(squidPeer, squid, folder, squidPort, options.workers);
        }
        if (!error.empty()) {
            std::fprintf(stderr, "%s\n", error.c_str());
            status = 1;
        }
        std::vector<std::pair<std::string, std::uint16_t>> proxies = {{"velmora", ourPort}};
        if (squidPort)
            proxies.push_back({"squid", squidPort});
        else if (status == 0)
            std::printf("squid is not installed: only our proxy is measured\n");
        std::printf("%-8s %-15s %12s %10s %8s %14s %s\n", "proxy", "document", "requests/s", "p99 ms", "errors",
                    "origin hits", "load (each run)");
        auto originLines = [&] {
            std::string log = ReadFile(origin.LogFile());
            return static_cast<std::size_t>(std::count(log.begin(), log.end(), '\n'));
        };
        for (const auto& [name, size] : documents) {
            if (status != 0)
                break;
            std::string url = "http://127.0.0.1:" + std::to_string(originPort) + name;
            for (const auto& [proxyName, port] : proxies) {
                // Fetched until cached: Squid keeps a document from its second
                // sight, and any worker may take a fetch, so fetches go on
                // until more of them than there are workers left the origin
                // alone.
                int quiet = 0;
                for (int i = 0; i < kMaxPrimingFetches && quiet <= options.workers && status == 0; ++i) {
                    std::size_t before = originLines();
                    if (FetchThrough(port, url) != static_cast<long long>(size)) {
                        std::fprintf(stderr, "%s does not return %s whole\n", proxyName.c_str(), name.c_str());
                        status = 1;
                    }
                    quiet = originLines() == before ? quiet + 1 : 0;
                }
                // A short loaded run first, not counted: a proxy may keep a
                // document for one worker after single fetches and for all of
                // them only once many ask at once.
                Options warmup = options;
                warmup.duration = kWarmupSeconds;
                Measure(wrk, warmup, port, url, folder);
            }
            for (bool close : {false, true}) {
                if (status != 0)
                    break;
                // The proxies take turns, so outside load that comes and
                // goes falls on both; the median run of each is shown.
                std::vector<std::vector<Run>> runs(proxies.size());
                for (int round = 0; round < kRuns && status == 0; ++round)
                    for (std::size_t p = 0; p < proxies.size(); ++p) {
                        std::size_t before = originLines();
                        Run run;
                        run.m = Measure(wrk, options, proxies[p].second, url, folder, close);
                        run.originHits = originLines() - before;
                        run.load = LoadAverage();
                        if (!run.m.problem.empty()) {
                            std::fprintf(stderr, "%s\n", run.m.problem.c_str());
                            status = 1;
                            break;
                        }
                        runs[p].push_back(run);
                    }
                if (status != 0)
                    break;
                for (std::size_t p = 0; p < proxies.size(); ++p) {
                    std::vector<Run> sorted = runs[p];
                    std::sort(sorted.begin(), sorted.end(), [](const Run& a, const Run& b) {
                        return a.m.requestsPerSecond < b.m.requestsPerSecond;
                    });
                    const Run& median = sorted[sorted.size() / 2];
                    std::string loads;
                    for (const Run& run : runs[p]) {
                        char text[16];
                        std::snprintf(text, sizeof text, "%.1f", run.load);
                        loads += (loads.empty() ? "" : "/") + std::string(text);
                    }
                    std::printf("%-8s %-15s %12.0f %10.2f %8lld %14zu %s\n", proxies[p].first.c_str(),
                                (name.substr(1) + (close ? " close" : "")).c_str(), median.m.requestsPerSecond,
                                median.m.p99Ms, median.m.errors, median.originHits, loads.c_str());
                }
                std::fflush(stdout);
            }
        }
        std::printf("(median of %d runs with the proxies taking turns, %d s per run, %d connections, %d wrk threads;\n"
                    " load: the one-minute load average after each run; ours in fiber mode with %d workers,\n"
                    " Squid with as many workers, each with its memory cache; both write an access log;\n"
                    " \"close\": one request per connection, as our proxy serves every client)\n",
                    kRuns, options.duration, options.connections, options.threads, options.workers);
    }
    std::error_code ignored;
    fs::remove_all(folder, ignored);
    return status;
}

namespace {

// With workers Squid needs its foreground mode (-N allows no workers) and a
// service name of its own, which names its shared-memory segments.
std::string StartSquid(Peer& squid, const std::string& program, const std::string& folder, std::uint16_t port,
                       int workers)
{
    std::string dir = folder + "/squid";
    fs::create_directories(dir);
    ::chmod(dir.c_str(), 0777);
    WriteFile(dir + "/squid.conf", "http_port 127.0.0.1:" + std::to_string(port) + "\n" +
                                       "workers " + std::to_string(workers) + "\n" +
                                       "memory_cache_shared off\n"
                                       "pid_filename " + dir + "/squid.pid\n" +
                                       "access_log stdio:" + dir + "/access-${process_number}.log common\n" +
                                       "cache_log " + dir + "/cache.log\n" +
                                       "cache_store_log none\n"
                                       "cache_mem 64 MB\n"
                                       "maximum_object_size_in_memory 2 MB\n"
                                       "refresh_pattern . 60 100% 1440 override-lastmod\n"
                                       "coredump_dir " + dir + "\n" +
                                       "pinger_enable off\n"
                                       "shutdown_lifetime 0 seconds\n"
                                       "http_access allow localhost\n"
                                       "http_access deny all\n");
    return squid.Start({program, "--foreground", "-n", "vbench" + std::to_string(::getpid()), "-f", dir + "/squid.conf"},
                       dir + "/stdout.log", port);
}

} // namespace
