#pragma once
// CHTTPServerConfig: one HTTP server's configuration: the service values of
// CServiceConfig (its virtual base) plus the document root, browsing, the
// default file, the CGI time-out, the log macro, the URL cache, keep-alive
// and five lists (virtual paths, redirections, CGI mappings, icons, MIME
// types).
//
// Registry form: HTTP\Servers\<port>:<address> (HTTPServerKeyName) holds the
// service values, the values below and the subkeys ACL, Users, Groups,
// Strings, Paths, Redirections, Icons, CGIExt and Mappings.
//
// Running servers read the HTTP values while a reload replaces them, so they
// live in a second immutable snapshot (CHTTPSettings, GetHTTPSettings) that a
// load builds aside and swaps in under a small mutex, as the service values
// are. The five maps carry their own locks.

#include "config/cgi_mapping.h"
#include "config/service_config.h"
#include "config/string_maps.h"
#include "config/virtual_path.h"
#include "framework/snapshot.h"

#include <cstdint>
#include <memory>
#include <string>

struct CHTTPSettings {
    CHTTPSettings();

    std::string rootDir; // no trailing separator once loaded
    std::string description;
    std::uint32_t dirBrowsing = 0;
    std::uint32_t traverseChecking = 0;
    std::string defaultFile = "default.htm";
    std::uint32_t cgiTimeout = 0;
    std::string logMacro;
    std::uint32_t cclf = 0;
    std::uint32_t urlCacheSize = 128;
    std::uint32_t urlCacheFlushInterval = 15;
    std::uint32_t checkAccept = 1;
    std::uint32_t keepAliveTimeout = 0;
    // Largest PUT and form bodies in bytes; 0 keeps the built-in limits.
    std::uint32_t maxPutSize = 0;
    std::uint32_t maxFormSize = 0;
};

// The document root a server has until one is configured: the state
// directory's www folder.
std::string DefaultRootDir();

// The registry name of a server's key: port in decimal, ':', the dotted
// address (network byte order, first octet in the low byte).
std::string HTTPServerKeyName(std::uint32_t port, std::uint32_t address);

class CHTTPServerConfig : public virtual CServiceConfig {
public:
    CHTTPServerConfig();
    CHTTPServerConfig(const CHTTPServerConfig& other);
    // The service part, the HTTP values, then the five maps (each emptied
    // and refilled, with a second handle on the other's key).
    CHTTPServerConfig& operator=(const CHTTPServerConfig& other);
    ~CHTTPServerConfig() override;

    // The same as operator= without the service part.
    void Assign(const CHTTPServerConfig& other);
    // Every HTTP value but LogMacro back to its default; the maps stay.
    void ResetDefaults();

    // The service load, then the HTTP values (on every load, reloads
    // included) and the five lists; RootDir is trimmed of white space and
    // of one trailing '/' or '\'.
    void Load(int keepStrings, int reload) override;
    // The service save, the HTTP values and the lists, as one transaction.
    int Save(const platform::RegistryKey& key) override;
    // The service answer, or 1 when URLCacheSize or URLCacheFlushInterval
    // differ from another HTTP server's configuration.
    int NeedsRestart(const CServiceConfig& other) const override;

    // Editors publish new service values of a working copy.
    using CServiceConfig::SetSettings;
    std::shared_ptr<const CHTTPSettings> GetHTTPSettings() const;
    // For editors: publishes settings as the current HTTP values.
    void SetHTTPSettings(std::shared_ptr<const CHTTPSettings> settings);
    // HTTPServerKeyName of this configuration's Port and Address.
    std::string GetKeyName() const;

    CVirtualPathMap& GetPaths() { return m_paths; }
    CRedirectionMap& GetRedirections() { return m_redirections; }
    CCGIMappingMap& GetCGIExt() { return m_cgiExt; }
    CIconMap& GetIcons() { return m_icons; }
    CMIMETypeMap& GetMappings() { return m_mappings; }

private:
    void CopyHTTPPart(const CHTTPServerConfig& other);

    CSnapshot<CHTTPSettings> m_http;
    CVirtualPathMap m_paths;
    CRedirectionMap m_redirections;
    CCGIMappingMap m_cgiExt;
    CIconMap m_icons;
    CMIMETypeMap m_mappings;
};
