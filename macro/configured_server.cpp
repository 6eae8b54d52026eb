#include "macro/configured_server.h"

#include "config/global_maps.h"
#include "config/registry_helpers.h"
#include "framework/server_log.h"
#include "framework/text_buffer.h"
#include "macro/macro_context.h"
#include "macro/stat_macros.h"
#include "platform/eventlog.h"

// The log-file name is expanded into a buffer of this size at first.
constexpr int kLogNameCapacity = 260;
// The init macro's output is dropped; it is expanded only for its effects.
constexpr int kInitMacroCapacity = 1024;

CMacroContext* CConfiguredServer::GetMacroScope() const { return dynamic_cast<CMacroContext*>(GetStrings()); }

CServerListenSettings CConfiguredServer::GetListenSettings() const
{
    std::shared_ptr<const CServiceSettings> s = GetSettings();
    CServerListenSettings out;
    out.port = s->port;
    out.sslPort = s->sslPort;
    out.address = s->address;
    out.maxUsers = s->maxUsers;
    out.connTimeout = s->connTimeout;
    out.useFibers = s->useFibers;
    out.listeners = s->listeners;
    out.useSSL = s->useSSL != 0;
    out.sslOnly = s->sslOnly != 0;
    out.portUnreadable = s->portUnreadable;
    out.sslPortUnreadable = s->sslPortUnreadable;
    out.source = ConfigKeyName(GetKey());
    return out;
}

void CConfiguredServer::RefreshConfiguration() { RefreshIfChanged(); }

bool CConfiguredServer::CountsSilentConnections() const { return GetSettings()->headerTimeout != 0; }

platform::LogonTokenPtr CConfiguredServer::GetConnectionToken()
{
    std::shared_ptr<const CServiceSettings> s = GetSettings();
    if (!s->useNTAuthentication || s->ntAnonUser.empty())
        return nullptr;
    return GetAnonymousToken();
}

void CConfiguredServer::PrepareSecure(WSocket& socket)
{
    std::shared_ptr<const CServiceSettings> s = GetSettings();
    socket.SetCertificate(s->certificate);
    socket.SetPrivateKey(s->privateKey);
}

void CConfiguredServer::PrepareStart()
{
    LogonAnonymousUser();
    GetUsers().SetParent(&GlobalUsers());
    GetGroups().SetParent(&GlobalGroups());
    if (CMacroContext* scope = GetMacroScope(); scope && !scope->IsReadOnly())
        RegisterServerStatMacros(*scope, GetStats());
}

void CConfiguredServer::RunInitMacro(CMacroContext& scope, std::uint32_t event, std::string_view where)
{
    std::string initMacro = GetSettings()->initMacro;
    if (initMacro.empty())
        return;
    CTextBuffer scratch(kInitMacroCapacity, kInitMacroCapacity);
    try {
        scope.Expand(&scratch, initMacro);
    } catch (...) {
        LogMessage(platform::kEventTypeError, event, {where});
    }
}

void CConfiguredServer::ClearUseFibers()
{
    std::shared_ptr<const CServiceSettings> s = GetSettings();
    if (!s->useFibers)
        return;
    auto copy = std::make_shared<CServiceSettings>(*s);
    copy->useFibers = 0;
    SetSettings(std::move(copy));
}

std::string CConfiguredServer::GetLogFileText() const { return GetSettings()->logFile; }

bool CConfiguredServer::HasLogFile() const { return !GetSettings()->logFile.empty(); }

std::string CConfiguredServer::ExpandLogFileText(const std::string& text)
{
    CMacroContext* scope = GetMacroScope();
    if (!scope)
        return text;
    CTextBuffer out(kLogNameCapacity);
    scope->Expand(&out, text);
    return out.ToString();
}
