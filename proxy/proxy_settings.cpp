#include "proxy/proxy_settings.h"

#include "config/registry_helpers.h"
#include "platform/paths.h"
#include "resources/string_table.h"

namespace {

constexpr const char* kNoCacheSubkey = "NoCacheList";
constexpr const char* kNoServeSubkey = "NoServeList";
constexpr const char* kServeSubkey = "ServeList";
constexpr const char* kGopherMappingsSubkey = "GopherMappings";
constexpr const char* kGopherIconsSubkey = "GopherIcons";
constexpr const char* kFTPExtMappingsSubkey = "FTPExtMappings";
constexpr const char* kFTPIconsSubkey = "FTPIcons";

constexpr std::uint32_t kDefaultProxyPort = 8080;

std::string TrimWhiteSpace(std::string_view text)
{
    constexpr std::string_view kBlanks = " \t\r\n\v\f";
    std::size_t begin = text.find_first_not_of(kBlanks);
    if (begin == std::string_view::npos)
        return {};
    return std::string(text.substr(begin, text.find_last_not_of(kBlanks) - begin + 1));
}

} // namespace

std::string DefaultProxyCacheDir() { return platform::JoinPath(platform::StateDirectory(), "cache") + "/"; }

CProxySettings::CProxySettings() : rootDir(DefaultProxyCacheDir()) {}

CHTTPProxySettings::CHTTPProxySettings() : m_proxy(std::make_shared<CProxySettings>()) { ResetDefaults(); }

CHTTPProxySettings::CHTTPProxySettings(const CHTTPProxySettings& other)
    : CServiceConfig(other), m_proxy(other.m_proxy)
{
    CopyProxyPart(other);
}

CHTTPProxySettings& CHTTPProxySettings::operator=(const CHTTPProxySettings& other)
{
    if (this != &other) {
        CServiceConfig::operator=(other);
        CopyProxyPart(other);
    }
    return *this;
}

CHTTPProxySettings::~CHTTPProxySettings() = default;

void CHTTPProxySettings::Assign(const CHTTPProxySettings& other)
{
    if (this != &other)
        CopyProxyPart(other);
}

void CHTTPProxySettings::CopyProxyPart(const CHTTPProxySettings& other)
{
    SetProxySettings(other.GetProxySettings());
    m_noCacheList = other.m_noCacheList;
    m_noServeList = other.m_noServeList;
    m_serveList = other.m_serveList;
    m_ftpExtMappings = other.m_ftpExtMappings;
    m_ftpIcons = other.m_ftpIcons;
    m_gopherMappings = other.m_gopherMappings;
    m_gopherIcons = other.m_gopherIcons;
}

void CHTTPProxySettings::ResetDefaults()
{
    std::shared_ptr<const CProxySettings> old = GetProxySettings();
    auto next = std::make_shared<CProxySettings>();
    next->proxyHost = old->proxyHost;
    next->securityProxyHost = old->securityProxyHost;
    next->gopherProxyHost = old->gopherProxyHost;
    next->ftpProxyHost = old->ftpProxyHost;
    SetProxySettings(std::move(next));

    auto service = std::make_shared<CServiceSettings>(*GetSettings());
    service->port = kDefaultProxyPort;
    service->enabled = 0;
    SetSettings(std::move(service));
}

std::shared_ptr<const CProxySettings> CHTTPProxySettings::GetProxySettings() const { return m_proxy.Get(); }

void CHTTPProxySettings::SetProxySettings(std::shared_ptr<const CProxySettings> settings)
{
    m_proxy.Set(std::move(settings));
}

void CHTTPProxySettings::Load(int keepStrings, int reload)
{
    if (keepStrings && !reload && GetStrings())
        GetStrings()->LoadDefaultStrings(kProxyDefaultStrings, 0);
    CServiceConfig::Load(keepStrings, reload);
    const platform::RegistryKey& key = GetKey();
    auto next = std::make_shared<CProxySettings>(*GetProxySettings());
    {
        platform::RegistrySnapshot snapshot;
        RegQueryString(key, "RootDir", next->rootDir);
        RegQueryString(key, "ProxyHost", next->proxyHost);
        RegQueryDword(key, "ProxyPort", next->proxyPort);
        RegQueryString(key, "SecurityProxyHost", next->securityProxyHost);
        RegQueryDword(key, "SecurityProxyPort", next->securityProxyPort);
        RegQueryString(key, "GopherProxyHost", next->gopherProxyHost);
        RegQueryDword(key, "GopherProxyPort", next->gopherProxyPort);
        RegQueryString(key, "FTPProxyHost", next->ftpProxyHost);
        RegQueryDword(key, "FTPProxyPort", next->ftpProxyPort);
        RegQueryDword(key, "MaxCacheSize", next->maxCacheSize);
        RegQueryDword(key, "MaxFileAge", next->maxFileAge);
        RegQueryDword(key, "SaveInterval", next->saveInterval);
        RegQueryDword(key, "PurgeInterval", next->purgeInterval);
        RegQueryDword(key, "SyncInterval", next->syncInterval);
    }
    // An empty folder turns the cache off; it never means the file system's root.
    next->rootDir = TrimWhiteSpace(next->rootDir);
    if (!next->rootDir.empty() && next->rootDir.back() != '/' && next->rootDir.back() != '\\')
        next->rootDir += '/';
    SetProxySettings(std::move(next));

    m_noCacheList.Open(key, kNoCacheSubkey);
    m_noServeList.Open(key, kNoServeSubkey);
    m_serveList.Open(key, kServeSubkey);
    m_gopherMappings.LoadFromKey(key, kGopherMappingsSubkey);
    m_gopherIcons.LoadFromKey(key, kGopherIconsSubkey);
    m_ftpExtMappings.LoadFromKey(key, kFTPExtMappingsSubkey);
    m_ftpIcons.LoadFromKey(key, kFTPIconsSubkey);
}

int CHTTPProxySettings::Save(const platform::RegistryKey& key)
{
    platform::RegistryTransaction transaction;
    CServiceConfig::Save(key);
    std::shared_ptr<const CProxySettings> p = GetProxySettings();
    RegSetString(key, "RootDir", p->rootDir);
    RegSetString(key, "ProxyHost", p->proxyHost);
    key.SetDword("ProxyPort", p->proxyPort);
    RegSetString(key, "SecurityProxyHost", p->securityProxyHost);
    key.SetDword("SecurityProxyPort", p->securityProxyPort);
    RegSetString(key, "GopherProxyHost", p->gopherProxyHost);
    key.SetDword("GopherProxyPort", p->gopherProxyPort);
    RegSetString(key, "FTPProxyHost", p->ftpProxyHost);
    key.SetDword("FTPProxyPort", p->ftpProxyPort);
    key.SetDword("MaxCacheSize", p->maxCacheSize);
    key.SetDword("MaxFileAge", p->maxFileAge);
    key.SetDword("SaveInterval", p->saveInterval);
    key.SetDword("PurgeInterval", p->purgeInterval);
    key.SetDword("SyncInterval", p->syncInterval);
    m_noCacheList.Save(key, kNoCacheSubkey);
    m_noServeList.Save(key, kNoServeSubkey);
    m_serveList.Save(key, kServeSubkey);
    m_gopherMappings.Save(key, kGopherMappingsSubkey);
    m_gopherIcons.Save(key, kGopherIconsSubkey);
    m_ftpExtMappings.Save(key, kFTPExtMappingsSubkey);
    m_ftpIcons.Save(key, kFTPIconsSubkey);
    return transaction.Commit() == platform::kErrorSuccess ? 1 : 0;
}

int CHTTPProxySettings::NeedsRestart(const CServiceConfig& other) const
{
    if (CServiceConfig::NeedsRestart(other))
        return 1;
    const auto* proxy = dynamic_cast<const CHTTPProxySettings*>(&other);
    if (!proxy)
        return 0;
    std::shared_ptr<const CProxySettings> a = GetProxySettings();
    std::shared_ptr<const CProxySettings> b = proxy->GetProxySettings();
    return a->rootDir != b->rootDir || a->maxFileAge != b->maxFileAge || a->maxCacheSize != b->maxCacheSize ||
                   a->saveInterval != b->saveInterval || a->purgeInterval != b->purgeInterval
               ? 1
               : 0;
}
