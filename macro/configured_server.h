#pragma once
// CConfiguredServer: a server whose configuration is a CServiceConfig. It
// answers the server base's configuration hooks from the configuration's
// current settings; the derived server (HTTP server, proxy, chat room) adds
// its own configuration part beside it and ServerRequest.
//
// CServiceConfig is a virtual base, so the derived server's configuration
// class (CHTTPServerConfig and the others derive from it virtually too)
// shares the one service part with this class.

#include "config/service_config.h"
#include "framework/server.h"

class CMacroContext;

class CConfiguredServer : public CServer, public virtual CServiceConfig {
public:
    // The server's macro scope: its configuration's Strings scope, in which
    // the server macros are registered and the log-file name is expanded.
    CMacroContext* GetMacroScope() const;

protected:
    CConfiguredServer() = default;

    // Expands the settings' init macro (if any) in scope for its effects,
    // its output dropped; a failure is logged as event under where.
    void RunInitMacro(CMacroContext& scope, std::uint32_t event, std::string_view where);

    CServerListenSettings GetListenSettings() const override;
    void RefreshConfiguration() override;
    bool CountsSilentConnections() const override;
    platform::LogonTokenPtr GetConnectionToken() override;
    void PrepareSecure(WSocket& socket) override;
    void PrepareStart() override;
    void ClearUseFibers() override;
    std::string GetLogFileText() const override;
    bool HasLogFile() const override;
    std::string ExpandLogFileText(const std::string& text) override;
};
