#pragma once
// CHTTPProxySettings: the configuration of the one HTTP proxy, in the key
// HTTPProxy of the product key: the service values of CServiceConfig (its
// virtual base; the proxy listens on 8080 and is off until enabled) plus the
// cache folder and limits, the four upstream proxies, the three URL lists
// and the FTP and gopher type and icon maps.
//
// The running proxy reads the values while a reload replaces them, so they
// live in an immutable snapshot (CProxySettings) swapped in whole, as the
// service values are.

#include "config/service_config.h"
#include "config/string_maps.h"
#include "framework/snapshot.h"
#include "proxy/reg_name_set.h"

#include <cstdint>
#include <memory>
#include <string>

struct CProxySettings {
    CProxySettings();

    std::string rootDir; // ends in '/' or '\' once loaded; empty: no cache
    std::uint32_t maxFileAge = 7;    // days
    std::uint32_t maxCacheSize = 30; // megabytes; 0: no cache
    std::string proxyHost;
    std::uint32_t proxyPort = 8080;
    std::string securityProxyHost;
    std::uint32_t securityProxyPort = 8080;
    std::string gopherProxyHost;
    std::uint32_t gopherProxyPort = 8080;
    std::string ftpProxyHost;
    std::uint32_t ftpProxyPort = 8080;
    std::uint32_t saveInterval = 15;  // minutes
    std::uint32_t purgeInterval = 60; // minutes
    std::uint32_t syncInterval = 60;  // minutes; 0: never revalidate
};

// The cache folder a fresh proxy has: the state directory's "cache/".
std::string DefaultProxyCacheDir();

class CHTTPProxySettings : public virtual CServiceConfig {
public:
    CHTTPProxySettings();
    CHTTPProxySettings(const CHTTPProxySettings& other);
    // The service part, the values, the three name sets and the four maps.
    CHTTPProxySettings& operator=(const CHTTPProxySettings& other);
    ~CHTTPProxySettings() override;

    // The same as operator= without the service part.
    void Assign(const CHTTPProxySettings& other);
    // The proxy's values to their defaults, Port 8080 and Enabled 0; host
    // names and lists stay.
    void ResetDefaults();

    // The page texts (first load with strings), the service load, the values
    // present, the name sets and the maps. A RootDir that ends in neither
    // separator gets '/'; an empty one stays empty.
    void Load(int keepStrings, int reload) override;
    // The service save, the values, the name sets and the maps, as one
    // transaction.
    int Save(const platform::RegistryKey& key) override;
    // The service answer, or 1 when RootDir, MaxFileAge, MaxCacheSize,
    // SaveInterval or PurgeInterval differ from another proxy configuration.
    int NeedsRestart(const CServiceConfig& other) const override;

    using CServiceConfig::SetSettings;
    std::shared_ptr<const CProxySettings> GetProxySettings() const;
    void SetProxySettings(std::shared_ptr<const CProxySettings> settings);

    CRegNameSet& GetNoCacheList() { return m_noCacheList; }
    CRegNameSet& GetNoServeList() { return m_noServeList; }
    CRegNameSet& GetServeList() { return m_serveList; }
    CRegStringMap& GetFTPExtMappings() { return m_ftpExtMappings; }
    CRegStringMap& GetFTPIcons() { return m_ftpIcons; }
    CRegStringMap& GetGopherMappings() { return m_gopherMappings; }
    CRegStringMap& GetGopherIcons() { return m_gopherIcons; }

private:
    void CopyProxyPart(const CHTTPProxySettings& other);

    CSnapshot<CProxySettings> m_proxy;
    CRegNameSet m_noCacheList;
    CRegNameSet m_noServeList;
    CRegNameSet m_serveList;
    CRegStringMap m_ftpExtMappings;
    CRegStringMap m_ftpIcons;
    CRegStringMap m_gopherMappings;
    CRegStringMap m_gopherIcons;
};
