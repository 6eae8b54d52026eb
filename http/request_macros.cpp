#include "http/request_macros.h"

#include "config/access_list.h"
#include "framework/host_name.h"
#include "framework/text_buffer.h"
#include "framework/wsocket.h"
#include "http/document_cache.h"
#include "http/header_macros.h"
#include "http/http_request.h"
#include "http/http_server.h"
#include "macro/core_macros.h"
#include "macro/macro_context.h"

#include <charconv>
#include <memory>
#include <string>

namespace {

// A text field of the request, read when the macro is expanded: the
// handlers may re-point the field (ProcessURL) while the macro exists.
template <typename Text> class CRequestTextMacro : public CMacro {
public:
    CRequestTextMacro(const CHTTPRequest& request, Text CHTTPRequest::*field) : m_request(request), m_field(field) {}
    void Evaluate(CMacroContext*, CTextBuffer* out, const char**, int) override
    {
        const char* text = m_request.*m_field;
        if (text && *text)
            out->Append(std::string_view(text));
    }

private:
    const CHTTPRequest& m_request;
    Text CHTTPRequest::*m_field;
};

template <typename Text> std::unique_ptr<CMacro> RequestText(const CHTTPRequest& request, Text CHTTPRequest::*field)
{
    return std::make_unique<CRequestTextMacro<Text>>(request, field);
}

// The current text of a buffer owned by the request (the header text).
class CTextBufferRefMacro : public CMacro {
public:
    explicit CTextBufferRefMacro(const CTextBuffer* text) : m_text(text) {}
    void Evaluate(CMacroContext*, CTextBuffer* out, const char**, int) override { out->Append(m_text->View()); }

private:
    const CTextBuffer* m_text;
};

// A 64-bit count of the request in decimal (the bytes sent).
class CInt64RefMacro : public CMacro {
public:
    explicit CInt64RefMacro(const std::int64_t* value) : m_value(value) {}
    void Evaluate(CMacroContext*, CTextBuffer* out, const char**, int) override
    {
        char digits[24];
        auto result = std::to_chars(digits, digits + sizeof digits, *m_value);
        out->Append(digits, static_cast<int>(result.ptr - digits));
    }

private:
    const std::int64_t* m_value;
};

// The file path of the document the request holds at expansion time.
class CDocumentPathMacro : public CMacro {
public:
    explicit CDocumentPathMacro(const CHTTPRequest& request) : m_request(request) {}
    void Evaluate(CMacroContext*, CTextBuffer* out, const char**, int) override
    {
        if (m_request.Document)
            out->Append(m_request.Document->FilePath);
    }

private:
    const CHTTPRequest& m_request;
};

std::string RawURL(const CHTTPRequest& request)
{
    std::string url = request.URLPath;
    if (request.Query) {
        url += '?';
        url += request.QueryText;
    }
    return url;
}

// The server's own name, looked up when a page first asks: most pages
// never do, and the look-up costs a system call or, with DNS, a query.
class CServerNameMacro : public CMacro {
public:
    CServerNameMacro(WSocket& socket, bool resolve) : m_socket(socket), m_resolve(resolve) {}
    void Evaluate(CMacroContext*, CTextBuffer* out, const char**, int) override
    {
        if (!m_known) {
            GetLocalHostName(m_name, m_socket, m_resolve);
            m_known = true;
        }
        out->Append(m_name);
    }

private:
    WSocket& m_socket;
    bool m_resolve;
    bool m_known = false;
    std::string m_name;
};

void RegisterTable(CHTTPServer& server, WSocket& socket, CHTTPRequest& request)
{
    CMacroContext& scope = request.Scope;
    const std::shared_ptr<const CServiceSettings> settings = server.GetSettings();
    const bool secure = socket.IsSecure();
    const std::string base = URLBaseDirectory(request.URLPath);

    scope.Register("client-hostname", std::make_unique<CStringRefMacro>(&request.ClientName));
    scope.Register("client-ip", std::make_unique<CConstantMacro>(request.ClientAddress));
    scope.Register("client-host", RequestText(request, &CHTTPRequest::ClientHost));
    scope.Register("client-name", std::make_unique<CStringRefMacro>(&request.UserName));
    scope.Register("client-password", std::make_unique<CStringRefMacro>(&request.Password));
    scope.Register("client-authname", std::make_unique<CStringRefMacro>(&request.AuthUser));
    scope.Register("client-query", RequestText(request, &CHTTPRequest::QueryText));
    scope.Register("client-body", std::make_unique<CStringRefMacro>(&request.Body));
    scope.Register("client-rawurl", std::make_unique<CValueMacro>(RawURL(request)));
    scope.Register("client-url", RequestText(request, &CHTTPRequest::URLPath));
    scope.Register("client-urlpath", std::make_unique<CDocumentPathMacro>(request));
    scope.Register("client-method", RequestText(request, &CHTTPRequest::Method));
    scope.Register("client-http", RequestText(request, &CHTTPRequest::Protocol));
    scope.Register("client-status", std::make_unique<CIntRefMacro>(&request.Status));
    scope.Register("client-transfersize", std::make_unique<CInt64RefMacro>(&request.BytesSent));
    scope.Register("client-headers", std::make_unique<CTextBufferRefMacro>(&request.HeaderText));
    scope.Register("server", std::make_unique<CServerNameMacro>(socket, settings->useDNS != 0));
    scope.Register("aclcheck", std::make_unique<CACLCheckMacro>(socket, server, request, &server.GetGroups()));
    scope.Register("fqvpath", std::make_unique<CFqvpathMacro>(base));
    scope.Register("fqppath", std::make_unique<CFqppathMacro>(server, base));
    scope.Register("fqurl", std::make_unique<CFqurlMacro>(server, socket, base));
    scope.Register("header", std::make_unique<CHeaderMacro>(&request.HeaderText));
    scope.Register("enumheader", std::make_unique<CEnumHeaderMacro>(&request.HeaderText));
    scope.Register("'enumheader", std::make_unique<CConstantMacro>("'"));
    scope.Register("expires:", std::make_unique<CExpiresMacro>(&request.Expires));
    scope.Register("content-type:", std::make_unique<CContentTypeMacro>(&request.ContentType));
    scope.Register("port", std::make_unique<CValueMacro>(std::to_string(secure ? settings->sslPort : settings->port)));
    scope.Register("protocol", std::make_unique<CConstantMacro>(secure ? "https" : "http"));
}

} // namespace

void InitRequestMacros(CHTTPServer& server, CHTTPRequest& request)
{
    if (request.Scope.GetParent())
        return;
    request.Scope.SetParent(server.GetMacroScope());
    // Re-chains anything already registered (form macros may come first).
    request.Scope.GetMacros().InitHashTable(kRequestScopeBuckets);
}

void RegisterRequestMacros(CHTTPServer& server, WSocket& socket, CHTTPRequest& request)
{
    if (request.RequestFlags & kRequestMacrosRegistered)
        return;
    InitRequestMacros(server, request);
    ResolveClientName(server, socket, request);
    if (!request.Scope.IsReadOnly()) {
        RegisterGlobalMacros(request.Scope);
        RegisterTable(server, socket, request);
    }
    request.RequestFlags |= kRequestMacrosRegistered;
}

void CACLCheckMacro::Evaluate(CMacroContext* scope, CTextBuffer*, const char** argv, int argc)
{
    if (argc < 3)
        return;
    CAccessList list;
    list.LoadFile(argv[0]);
    if (!list.IsAllowed(argv[1], argv[2], m_request.ClientAddress, m_groups, scope))
        m_server.SendAuthRequired(m_socket, m_request);
}
