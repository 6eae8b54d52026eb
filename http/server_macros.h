#pragma once
// The server macros: what belongs to an HTTP server rather than to one
// request (its root and description, its ports, MIME type and icon lookups
// in its own maps, the two macros that end a page by throwing, the
// client-state text, the program hit counters and access-log writing). They
// sit in the server's scope, which every request scope of the server has as
// its parent, and keep no per-request state: many requests use them at once.

#include "macro/macro.h"

#include <cstddef>
#include <cstdint>
#include <string>

class CHTTPServer;
class CHTTPServerConfig;
class CRegStringMap;
class CServer;
struct CHTTPSettings;
struct CServiceSettings;

// Registers the server macros in the server's scope (nothing when the scope
// is read-only); Start calls it once, before the scope is made read-only.
void RegisterServerMacros(CHTTPServer& server);
// The same on the parts of a server: its scope, configuration and base.
void RegisterServerMacros(CMacroContext& scope, CHTTPServerConfig& config, CServer& server);

// A text setting of the server, copied from the current settings snapshot so
// that a concurrent reload cannot change it half-way.
class CConfigStringMacro : public CMacro {
public:
    using Field = std::string CHTTPSettings::*;
    CConfigStringMacro(CHTTPServerConfig& config, Field field) : m_config(config), m_field(field) {}
    void Evaluate(CMacroContext* scope, CTextBuffer* out, const char** argv, int argc) override;

private:
    CHTTPServerConfig& m_config;
    Field m_field;
};

// A numeric service setting (Port, SSLPort) in decimal, as it stands now.
class CConfigNumberMacro : public CMacro {
public:
    using Field = std::uint32_t CServiceSettings::*;
    CConfigNumberMacro(CHTTPServerConfig& config, Field field) : m_config(config), m_field(field) {}
    void Evaluate(CMacroContext* scope, CTextBuffer* out, const char** argv, int argc) override;

private:
    CHTTPServerConfig& m_config;
    Field m_field;
};

// mimetype([key]) and mimeicon([key]): the value stored for the key folded
// to lower case (the map, then its parents), else the value stored for "*".
class CMapLookupMacro : public CMacro {
public:
    explicit CMapLookupMacro(CRegStringMap& map) : m_map(map) {}
    void Evaluate(CMacroContext* scope, CTextBuffer* out, const char** argv, int argc) override;

private:
    CRegStringMap& m_map;
};

// redirect(url): ends the page with a redirection (CRedirectionException);
// nothing without an argument.
class CRedirectMacro : public CMacro {
public:
    void Evaluate(CMacroContext* scope, CTextBuffer* out, const char** argv, int argc) override;
};

// http-exception(status, body [, header lines]): ends the request with that
// reply (CHTTPException); nothing without a status and a body.
class CHttpExceptionMacro : public CMacro {
public:
    void Evaluate(CMacroContext* scope, CTextBuffer* out, const char** argv, int argc) override;
};

// Expands a fixed macro text in the calling scope.
class CExpandTextMacro : public CMacro {
public:
    explicit CExpandTextMacro(const char* text) : m_text(text) {}
    void Evaluate(CMacroContext* scope, CTextBuffer* out, const char** argv, int argc) override;

private:
    const char* m_text;
};

// log(text): one access-log line; outputs nothing.
class CLogMacro : public CMacro {
public:
    explicit CLogMacro(CServer& server) : m_server(server) {}
    void Evaluate(CMacroContext* scope, CTextBuffer* out, const char** argv, int argc) override;

private:
    CServer& m_server;
};

// flushlog: flushes the access log; outputs nothing.
class CFlushLogMacro : public CMacro {
public:
    explicit CFlushLogMacro(CServer& server) : m_server(server) {}
    void Evaluate(CMacroContext* scope, CTextBuffer* out, const char** argv, int argc) override;

private:
    CServer& m_server;
};
