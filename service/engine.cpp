#include "service/engine.h"

#include "chat/chat_engine.h"
#include "config/acl_cache.h"
#include "config/global_maps.h"
#include "config/group_map.h"
#include "config/http_global_config.h"
#include "config/last_mod_stamp.h"
#include "config/qns_config.h"
#include "config/registry_helpers.h"
#include "config/service_config.h"
#include "config/user_map.h"
#include "framework/host_name.h"
#include "framework/server.h"
#include "framework/server_log.h"
#include "framework/server_stats.h"
#include "framework/text_buffer.h"
#include "framework/text_util.h"
#include "framework/thread_data.h"
#include "http/http_server.h"
#include "http/isapi_cache.h"
#include "macro/arith_macros.h"
#include "macro/builtin_macros.h"
#include "macro/macro_context.h"
#include "macro/macro_exception.h"
#include "macro/named_strings.h"
#include "macro/odbc_thread.h"
#include "macro/stat_macros.h"
#include "platform/clock.h"
#include "platform/eventlog.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "platform/process_temp.h"
#include "platform/registry.h"
#include "resources/string_table.h"
#include "security/ssl_server_layer.h"
#include "service/proxy_start.h"

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

namespace {

constexpr std::uint32_t kEventUnexpectedException = 0xC0004003;
// Below this many open descriptors (each client holds one, the server
// itself several hundred) a crowd of slow clients would take them all.
constexpr std::uint64_t kFewDescriptors = 4096;

std::mutex g_functionsMutex;
CEngineFunctions g_functions;

std::mutex g_settingsMutex;
CEngineSettings g_settings;

std::atomic<int> g_running{0};

// The HTTP configuration of the running services: its strings scope is the
// one all HTTP servers share, so it lives until the servers are gone.
std::unique_ptr<CHTTPGlobalConfig> g_httpConfig;

std::string ProductSubkey(std::string_view name) { return std::string(kProductKeyPath) + "\\" + std::string(name); }

void LogError(std::string_view text) { LogMessage(platform::kEventTypeError, kEventEngineError, {text}); }

// Expands an init macro for its effects. A macro that throws must not stop
// the start: the servers run without whatever it would have defined.
void RunInitMacro(CMacroContext& scope, const std::string& text, std::string_view where)
{
    if (text.empty())
        return;
    try {
        CTextBuffer scratch(static_cast<int>(kInitMacroScratchBytes));
        scope.Expand(&scratch, text);
    } catch (...) {
        LogMessage(platform::kEventTypeError, kEventUnexpectedException, {where});
    }
}

void ReadEngineSettings(CEngineSettings& settings)
{
    settings = CEngineSettings{};
    platform::RegistryKey product;
    if (platform::RegistryKey::LocalMachine().Open(kProductKeyPath, product) == platform::kErrorSuccess) {
        std::string text;
        if (product.QueryString("InitMacro", text) == platform::kErrorSuccess)
            settings.initMacro = text;
        std::uint32_t value = 0;
        if (product.QueryDword("Workers", value) == platform::kErrorSuccess)
            settings.workers = value;
        if (product.QueryDword("Concurrency", value) == platform::kErrorSuccess)
            settings.concurrency = value;
        if (product.QueryDword("Compatibility", value) == platform::kErrorSuccess)
            settings.compatibility = value;
        // A text is not read as a number: "abc" would make a ceiling of
        // millions, which is none; it is said, and the default holds.
        if (RegQueryDword(product, "SQLQueryTimeout", value) == platform::kErrorSuccess)
            settings.sqlQueryTimeout = value;
        if (RegQueryDword(product, "SQLLoginTimeout", value) == platform::kErrorSuccess)
            settings.sqlLoginTimeout = value;
        if (RegQueryDword(product, "SQLMaxConnections", value) == platform::kErrorSuccess)
            settings.sqlMaxConnections = value;
    }
    if (settings.workers == 1) {
        unsigned processors = std::thread::hardware_concurrency();
        settings.workers = (processors ? processors : 1) * kWorkersPerProcessor;
    }
}

// Loads the HTTP configuration, creates a server per enabled configuration
// and makes the loaded lists the process-wide ones.
void CreateHTTPServers()
{
    CHeapSwitch shared;
    g_httpConfig = std::make_unique<CHTTPGlobalConfig>();
    g_httpConfig->Load(platform::RegistryKey::LocalMachine(), ProductSubkey("HTTP"), 1);
    for (CHTTPServerConfig& config : g_httpConfig->GetServers()) {
        if (!config.GetSettings()->enabled)
            continue;
        // Joins the global server list, which owns it until DeleteAllServers.
        new CHTTPServer(config);
    }

    GlobalUsers().Assign(g_httpConfig->GetUsers());
    GlobalUsers().SetParent(&EngineUsers());
    GlobalGroups().Assign(g_httpConfig->GetGuests());
    GlobalGroups().SetParent(&EngineGroups());
    GlobalVirtualPaths().Assign(g_httpConfig->GetPaths());
    GlobalRedirections().Assign(g_httpConfig->GetRedirections());
    GlobalIcons().Assign(g_httpConfig->GetIcons());
    GlobalMIMETypes().Assign(g_httpConfig->GetMappings());
    GlobalCGIMappings().Assign(g_httpConfig->GetCGIExt());

    auto* strings = dynamic_cast<CMacroContext*>(g_httpConfig->GetStrings());
    if (strings == nullptr)
        return;
    strings->SetReadOnly(false);
    strings->SetParent(&GlobalMacroContext());
    RunInitMacro(*strings, g_httpConfig->GetInitMacro(), "HTTP InitMacro");
    strings->SetReadOnly(true);
    SetHTTPStringsScope(strings);
}

// Server threads that took their last connection just as the servers
// stopped may park themselves after StopAllServers woke the idle ones; with
// the servers gone, waking the idle list again ends them.
void EndLateServerThreads()
{
    std::uint64_t deadline = platform::MonotonicMs() + kStopThreadsWaitMs;
    while (GetServerThreadCount() > 0 && platform::MonotonicMs() < deadline) {
        StopAllServers();
        if (GetServerThreadCount() > 0)
            platform::SleepMs(20);
    }
    if (int left = GetServerThreadCount(); left > 0)
        LogError("Server threads still running after the servers stopped: " + std::to_string(left) + ".");
}

} // namespace

void BindFiberAPI()
{
    {
        std::lock_guard lock(g_functionsMutex);
        g_functions.fibers = true;
    }
    SetFibersAvailable(true);
}

void BindCompletionPortAPI()
{
    std::lock_guard lock(g_functionsMutex);
    g_functions.completionPort = true;
    g_functions.acceptEx = true;
    g_functions.readDirectoryChanges = true;
}

void BindLogonFunctions()
{
    std::lock_guard lock(g_functionsMutex);
    g_functions.logon = true;
}

CEngineFunctions GetEngineFunctions()
{
    std::lock_guard lock(g_functionsMutex);
    return g_functions;
}

void UnbindEngineFunctions()
{
    {
        std::lock_guard lock(g_functionsMutex);
        g_functions = CEngineFunctions{};
    }
    SetFibersAvailable(false);
}

CMacroContext& GlobalMacroContext()
{
    static CMacroContext& scope = *[] {
        CHeapSwitch heap;
        static CMacroContext built;
        return &built;
    }();
    return scope;
}

CUserMap& EngineUsers()
{
    static CUserMap& users = *[] {
        CHeapSwitch heap;
        static CUserMap map;
        return &map;
    }();
    return users;
}

CGroupMap& EngineGroups()
{
    static CGroupMap& groups = *[] {
        CHeapSwitch heap;
        static CGroupMap map;
        return &map;
    }();
    return groups;
}

CEngineSettings GetEngineSettings()
{
    std::lock_guard lock(g_settingsMutex);
    return g_settings;
}

bool WorkerPoolWanted()
{
    CEngineFunctions functions = GetEngineFunctions();
    return functions.fibers && functions.completionPort && GetEngineSettings().workers != 0;
}

void InitServerEngine()
{
    CHeapSwitch shared;
    InitMacroLibrary();
    // Every secure port speaks SSL through the security library's layer.
    InstallSSLLayer();

    CMacroContext& global = GlobalMacroContext();
    global.SetReadOnly(false);
    InitBuiltinMacros(&global);
    global.LoadStrings(kGlobalDefaultStrings, 1);
    global.LoadFromRegistry(platform::RegistryKey::LocalMachine(), ProductSubkey("Strings"), 1);

    platform::RegistryKey product;
    if (platform::RegistryKey::LocalMachine().Create(kProductKeyPath, product) == platform::kErrorSuccess) {
        EngineUsers().LoadFromKey(product, "Users");
        EngineGroups().LoadFromKey(product, "Groups");
    } else {
        EngineUsers().SetKey({});
        EngineGroups().SetKey({});
    }
    GlobalQNSConfig().Load(platform::RegistryKey::LocalMachine(), ProductSubkey("QNS"));
    SetQNSLookup(&LookupGlobalQNS);

    CEngineSettings settings;
    ReadEngineSettings(settings);
    {
        std::lock_guard lock(g_settingsMutex);
        g_settings = settings;
    }
    SetODBCTimeouts(settings.sqlQueryTimeout, settings.sqlLoginTimeout);
    SetODBCMaxConnections(settings.sqlMaxConnections);
    RunInitMacro(global, settings.initMacro, "InitMacro");
    global.SetReadOnly(true);

    if (!CreateGlobalStatsBlock())
        LogError("Could not create the global statistics block.");
}

void ShutdownServerEngine()
{
    TerminateBuiltinMacros();
    DestroyGlobalStatsBlock();
}

int ServicesRunning() { return g_running.load(); }

int StartServices()
{
    if (g_running.load())
        return 1;
    // The log opens first: the application's log drops events while its
    // file is closed, and the TEMP warning would be lost.
    // The service reports to the event log, which needs no file.
    if (!IsUsingEventLog())
        OpenServerLog();
    // TEMP is the Windows name; here TMPDIR and then /tmp stand in for it,
    // so only a temporary folder that is not there is worth a word.
    std::error_code missing;
    if (!std::filesystem::is_directory(platform::TempDirectory(), missing))
        LogError("TEMP environment variable should be defined.");
    // Copies of documents a crashed run left behind, and its statistics blocks.
    const std::string temp = platform::ProcessTempRoot();
    if (platform::SweepProcessTempFolders(temp) < 0)
        LogError("A link or another user's folder is not used for copies: " + temp);
    RemoveStatsBlocksLeftBehind();
    // Started from a login shell, the process inherits a soft limit of
    // 1,024 descriptors; the hard limit is what the system allows it.
    if (std::uint64_t files = platform::RaiseDescriptorLimit(); files < kFewDescriptors)
        LogMessage(platform::kEventTypeWarning, kEventWarningText,
                   {"Descriptors stay limited to " + std::to_string(files) +
                    " (the hard limit): few clients can be served at once; raise LimitNOFILE or ulimit -Hn."});
    BindLogonFunctions();
    GlobalACLCache().Init();
    SeedMacroRandom(platform::TickCount32() & 0xFFFF);

    InitServerEngine();
    CreateChatRooms(GlobalMacroContext(), EngineUsers(), EngineGroups());

    CreateHTTPServers();
    InitISAPICache();
    CreateHTTPProxy(GlobalMacroContext());
    CEngineSettings settings = GetEngineSettings();
    StartAllServers(WorkerPoolWanted() ? settings.workers : 0, settings.concurrency);
    g_running.store(1);
    return 0;
}

int StopServices()
{
    if (!g_running.exchange(0))
        return 1;
    StopAllServers();
    DeleteAllServers();
    EndLateServerThreads();
    // The caches and their copies are gone with the servers.
    platform::ReleaseProcessTempDirectory();
    ReleaseChatConfiguration();
    SetHTTPStringsScope(nullptr);
    {
        CHeapSwitch shared;
        g_httpConfig.reset();
    }
    ShutdownServerEngine();
    FreeISAPICache();
    GlobalACLCache().Clear();
    CloseServerLog();
    return 0;
}

namespace {

const char* ServerKind(std::uint32_t type)
{
    switch (type) {
    case 1: return "HTTP server";
    case 2: return "chat room";
    case 3: return "HTTP proxy";
    default: return "server";
    }
}

} // namespace

CListenerReport DescribeListeners()
{
    CListenerReport report;
    for (CServer* server : GetServerList()) {
        ++report.configured;
        if (!server->IsRunning())
            continue;
        ++report.listening;
        auto* config = dynamic_cast<CServiceConfig*>(server);
        if (config == nullptr)
            continue;
        std::shared_ptr<const CServiceSettings> settings = config->GetSettings();
        std::string address;
        FormatIPAddress(address, settings->address);
        const std::string kind = ServerKind(server->GetServerType());
        if (!(settings->useSSL && settings->sslOnly))
            report.lines.push_back("http://" + address + ":" + std::to_string(settings->port) + "/ (" + kind + ")");
        if (settings->useSSL)
            report.lines.push_back("SSL 2.0 on " + address + ":" + std::to_string(settings->sslPort) + " (" + kind +
                                   ")");
    }
    return report;
}
