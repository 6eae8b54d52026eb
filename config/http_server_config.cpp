#include "config/http_server_config.h"

#include "config/registry_helpers.h"
#include "framework/text_util.h"
#include "platform/paths.h"

#include <string_view>

namespace {

constexpr const char* kPathsSubkey = "Paths";
constexpr const char* kRedirectionsSubkey = "Redirections";
constexpr const char* kIconsSubkey = "Icons";
constexpr const char* kCGIExtSubkey = "CGIExt";
constexpr const char* kMappingsSubkey = "Mappings";

std::string TrimRootDir(std::string_view text)
{
    constexpr std::string_view kBlanks = " \t\r\n\v\f";
    std::size_t begin = text.find_first_not_of(kBlanks);
    if (begin == std::string_view::npos)
        return {};
    std::size_t end = text.find_last_not_of(kBlanks);
    std::string root(text.substr(begin, end - begin + 1));
    if (root.back() == '/' || root.back() == '\\')
        root.pop_back();
    return root;
}

} // namespace

CHTTPSettings::CHTTPSettings() : rootDir(DefaultRootDir()) {}

std::string DefaultRootDir()
{
    return platform::JoinPath(platform::StateDirectory(), "www");
}

std::string HTTPServerKeyName(std::uint32_t port, std::uint32_t address)
{
    std::string dotted;
    FormatIPAddress(dotted, address);
    return std::to_string(port) + ":" + dotted;
}

CHTTPServerConfig::CHTTPServerConfig() : m_http(std::make_shared<CHTTPSettings>()) {}

CHTTPServerConfig::CHTTPServerConfig(const CHTTPServerConfig& other) : CServiceConfig(other), m_http(other.m_http)
{
    CopyHTTPPart(other);
}

CHTTPServerConfig& CHTTPServerConfig::operator=(const CHTTPServerConfig& other)
{
    if (this != &other) {
        CServiceConfig::operator=(other);
        CopyHTTPPart(other);
    }
    return *this;
}

CHTTPServerConfig::~CHTTPServerConfig() = default;

void CHTTPServerConfig::Assign(const CHTTPServerConfig& other)
{
    if (this != &other)
        CopyHTTPPart(other);
}

// Every map is emptied before the copy: a CGI mapping deleted in a working
// copy must stay deleted when the copy is assigned back.
void CHTTPServerConfig::CopyHTTPPart(const CHTTPServerConfig& other)
{
    SetHTTPSettings(other.GetHTTPSettings());
    m_paths.Assign(other.m_paths);
    m_redirections.Assign(other.m_redirections);
    m_icons.Assign(other.m_icons);
    m_mappings.Assign(other.m_mappings);
    m_cgiExt.Assign(other.m_cgiExt);
}

void CHTTPServerConfig::ResetDefaults()
{
    auto next = std::make_shared<CHTTPSettings>();
    next->logMacro = GetHTTPSettings()->logMacro;
    SetHTTPSettings(std::move(next));
}

std::shared_ptr<const CHTTPSettings> CHTTPServerConfig::GetHTTPSettings() const { return m_http.Get(); }

void CHTTPServerConfig::SetHTTPSettings(std::shared_ptr<const CHTTPSettings> settings) { m_http.Set(std::move(settings)); }

std::string CHTTPServerConfig::GetKeyName() const
{
    std::shared_ptr<const CServiceSettings> s = GetSettings();
    return HTTPServerKeyName(s->port, s->address);
}

void CHTTPServerConfig::Load(int keepStrings, int reload)
{
    CServiceConfig::Load(keepStrings, reload);
    const platform::RegistryKey& key = GetKey();
    auto next = std::make_shared<CHTTPSettings>(*GetHTTPSettings());
    {
        platform::RegistrySnapshot snapshot;
        RegQueryString(key, "RootDir", next->rootDir);
        RegQueryString(key, "Description", next->description);
        RegQueryDword(key, "DirBrowsing", next->dirBrowsing);
        RegQueryDword(key, "TraverseChecking", next->traverseChecking);
        RegQueryString(key, "DefaultFile", next->defaultFile);
        RegQueryDword(key, "CGITimeout", next->cgiTimeout);
        RegQueryString(key, "LogMacro", next->logMacro);
        RegQueryDword(key, "CCLF", next->cclf);
        RegQueryDword(key, "URLCacheSize", next->urlCacheSize);
        RegQueryDword(key, "URLCacheFlushInterval", next->urlCacheFlushInterval);
        RegQueryDword(key, "CheckAccept", next->checkAccept);
        RegQueryDword(key, "KeepAliveTimeout", next->keepAliveTimeout);
        RegQueryDword(key, "MaxPutSize", next->maxPutSize);
        RegQueryDword(key, "MaxFormSize", next->maxFormSize);
    }
    next->rootDir = TrimRootDir(next->rootDir);
    SetHTTPSettings(std::move(next));

    // Outside the snapshot: each list creates its key when missing and reads
    // it in one committed state. A key that cannot be had leaves the list
    // without a key and unchanged.
    m_paths.LoadFromKey(key, kPathsSubkey);
    m_redirections.LoadFromKey(key, kRedirectionsSubkey);
    m_icons.LoadFromKey(key, kIconsSubkey);
    m_cgiExt.LoadFromKey(key, kCGIExtSubkey);
    m_mappings.LoadFromKey(key, kMappingsSubkey);
}

int CHTTPServerConfig::Save(const platform::RegistryKey& key)
{
    platform::RegistryTransaction transaction;
    CServiceConfig::Save(key);
    std::shared_ptr<const CHTTPSettings> h = GetHTTPSettings();
    RegSetString(key, "RootDir", h->rootDir);
    RegSetString(key, "Description", h->description);
    key.SetDword("DirBrowsing", h->dirBrowsing);
    key.SetDword("TraverseChecking", h->traverseChecking);
    RegSetString(key, "DefaultFile", h->defaultFile);
    key.SetDword("CGITimeout", h->cgiTimeout);
    RegSetString(key, "LogMacro", h->logMacro);
    key.SetDword("CCLF", h->cclf);
    key.SetDword("URLCacheSize", h->urlCacheSize);
    key.SetDword("URLCacheFlushInterval", h->urlCacheFlushInterval);
    key.SetDword("CheckAccept", h->checkAccept);
    key.SetDword("KeepAliveTimeout", h->keepAliveTimeout);
    key.SetDword("MaxPutSize", h->maxPutSize);
    key.SetDword("MaxFormSize", h->maxFormSize);
    m_mappings.Save(key, kMappingsSubkey);
    m_paths.Save(key, kPathsSubkey);
    m_redirections.Save(key, kRedirectionsSubkey);
    m_icons.Save(key, kIconsSubkey);
    m_cgiExt.Save(key, kCGIExtSubkey);
    return transaction.Commit() == platform::kErrorSuccess ? 1 : 0;
}

int CHTTPServerConfig::NeedsRestart(const CServiceConfig& other) const
{
    if (CServiceConfig::NeedsRestart(other))
        return 1;
    const auto* http = dynamic_cast<const CHTTPServerConfig*>(&other);
    if (!http)
        return 0;
    std::shared_ptr<const CHTTPSettings> a = GetHTTPSettings();
    std::shared_ptr<const CHTTPSettings> b = http->GetHTTPSettings();
    return a->urlCacheSize != b->urlCacheSize || a->urlCacheFlushInterval != b->urlCacheFlushInterval ? 1 : 0;
}
