// CHTTPServer::ISAPIScript and the four callbacks an extension calls back.

#include "config/access_list.h"
#include "framework/error_reply.h"
#include "framework/host_name.h"
#include "framework/http_date.h"
#include "framework/server_log.h"
#include "framework/server_stats.h"
#include "framework/system_time.h"
#include "framework/text_buffer.h"
#include "framework/text_util.h"
#include "framework/wsocket.h"
#include "http/cgi_script.h"
#include "http/dispatch.h"
#include "http/document_cache.h"
#include "http/file_reply.h"
#include "http/header_macros.h"
#include "http/http_exception.h"
#include "http/http_request.h"
#include "http/http_server.h"
#include "http/http_text.h"
#include "http/isapi_cache.h"
#include "http/request_macros.h"
#include "macro/macro.h"
#include "platform/eventlog.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>

namespace {

constexpr std::uint32_t kConnectionMagic = 0xbadface;

struct CISAPIConnection {
    std::uint32_t magic = kConnectionMagic;
    WSocket* socket;
    CHTTPRequest* request;
    CHTTPServer* server;
    bool sendHeaders;
    bool sendBody;
    std::map<std::string, std::string> variables;
    bool variablesBuilt = false;
    bool oldThrow;

    CISAPIConnection(WSocket& s, CHTTPRequest& r, CHTTPServer& v, bool headers, bool body)
        : socket(&s), request(&r), server(&v), sendHeaders(headers), sendBody(body), oldThrow(s.GetThrowOnError())
    {
        // Socket failures inside a callback come back as results.
        s.SetThrowOnError(false);
    }
    ~CISAPIConnection()
    {
        magic = 0;
        socket->SetThrowOnError(oldThrow);
    }
};

CISAPIConnection* Connection(HCONN handle)
{
    auto* connection = static_cast<CISAPIConnection*>(handle);
    if (connection == nullptr || connection->magic != kConnectionMagic) {
        errno = HSE_ERROR_INVALID_PARAMETER;
        return nullptr;
    }
    return connection;
}

std::string FirstHeader(const CHTTPRequest& request, std::string_view wanted, bool* found = nullptr)
{
    std::string value;
    if (found)
        *found = false;
    ForEachHeaderLine(std::string_view(request.HeaderText.GetData(), static_cast<std::size_t>(request.HeaderText.GetLength())),
                      [&](std::string_view name, std::string_view text) {
                          if (!EqualsIgnoringCase(name, wanted))
                              return true;
                          value.assign(text);
                          if (found)
                              *found = true;
                          return false;
                      });
    return value;
}

void BuildVariables(CISAPIConnection& c)
{
    CHTTPRequest& request = *c.request;
    const CCacheEntry& entry = *request.Document;
    bool useDNS = c.server->GetSettings()->useDNS != 0;
    std::string serverName;
    GetLocalHostName(serverName, *c.socket, useDNS);
    std::string_view headers(request.HeaderText.GetData(), static_cast<std::size_t>(request.HeaderText.GetLength()));
    auto set = [&](std::string_view name, std::string_view value) { c.variables[LowerCaseString(name)] = std::string(value); };
    set("AUTH_TYPE", request.AuthScheme);
    set("CONTENT_LENGTH", FirstHeader(request, "Content-length"));
    set("CONTENT_TYPE", FirstHeader(request, "Content-type"));
    set("GATEWAY_INTERFACE", "CGI/1.1");
    set("PATH_INFO", entry.Target);
    set("PATH_TRANSLATED", entry.PathTranslated);
    set("QUERY_STRING", request.QueryText);
    set("REMOTE_ADDR", request.ClientAddress);
    if (useDNS && !request.ClientName.empty())
        set("REMOTE_HOST", request.ClientName);
    set("REMOTE_USER", request.AuthUser);
    set("SCRIPT_NAME", std::string_view(request.URLPath, static_cast<std::size_t>(request.URLPathLength)));
    set("SERVER_NAME", serverName);
    set("SERVER_PROTOCOL", c.sendHeaders ? request.Protocol : "HTTP/0.9");
    set("SERVER_SOFTWARE", ProductToken());
    set("AUTH_USER", request.UserName);
    set("AUTH_PASS", request.Password);
    set("ALL_HTTP", headers);
    std::string accept;
    ParseAccept(accept, headers);
    set("HTTP_ACCEPT", accept);
    ForEachHeaderLine(headers, [&](std::string_view name, std::string_view value) {
        if (!name.empty() && !EqualsIgnoringCase(name, "Accept"))
            set("HTTP_" + MakeCGIVariableName(name), value);
        return true;
    });
    c.variablesBuilt = true;
}

// Copies value into buffer when it fits with its NUL; otherwise the size
// needed, NUL included, goes back with 122.
BOOL CopyOut(const std::string& value, void* buffer, DWORD* size)
{
    if (value.size() < *size && buffer != nullptr) {
        std::memcpy(buffer, value.c_str(), value.size() + 1);
        errno = 0;
        return 1;
    }
    if (*size > 0 && buffer != nullptr) {
        std::memcpy(buffer, value.data(), *size - 1);
        static_cast<char*>(buffer)[*size - 1] = '\0';
    }
    *size = static_cast<DWORD>(value.size() + 1);
    errno = HSE_ERROR_INSUFFICIENT_BUFFER;
    return 0;
}

BOOL GetServerVariableCallback(HCONN handle, char* name, void* buffer, DWORD* size)
{
    CISAPIConnection* c = Connection(handle);
    if (c == nullptr)
        return 0;
    if (size == nullptr || name == nullptr) {
        errno = HSE_ERROR_INVALID_PARAMETER;
        return 0;
    }
    try {
        if (!c->variablesBuilt)
            BuildVariables(*c);
    } catch (const std::exception&) {
        errno = HSE_ERROR_INVALID_PARAMETER;
        return 0;
    }
    auto found = c->variables.find(LowerCaseString(name));
    if (found == c->variables.end()) {
        errno = HSE_ERROR_INVALID_INDEX;
        return 0;
    }
    return CopyOut(found->second, buffer, size);
}

BOOL ReadClientCallback(HCONN handle, void* buffer, DWORD* size)
{
    CISAPIConnection* c = Connection(handle);
    if (c == nullptr)
        return 0;
    if (size == nullptr) {
        errno = HSE_ERROR_INVALID_PARAMETER;
        return 0;
    }
    int want = static_cast<int>(std::min<DWORD>(*size, 1u << 30));
    int got = c->socket->Read(buffer, want);
    if (got < 0) {
        *size = 0;
        return 0;
    }
    *size = static_cast<DWORD>(got);
    c->request->BodyBytesRead += got;
    return 1;
}

BOOL WriteClientCallback(HCONN handle, void* buffer, DWORD* size, DWORD)
{
    CISAPIConnection* c = Connection(handle);
    if (c == nullptr)
        return 0;
    if (size == nullptr) {
        errno = HSE_ERROR_INVALID_PARAMETER;
        return 0;
    }
    // A HEAD request's reply has no body: the bytes are taken and dropped.
    if (!c->sendBody)
        return 1;
    if (c->socket->Flush() < 0 ||
        c->socket->Write(buffer, static_cast<int>(std::min<DWORD>(*size, 1u << 30)), false) < 0) {
        *size = 0;
        return 0;
    }
    c->request->BytesSent += *size;
    return 1;
}

BOOL ServerSupportCallback(HCONN handle, DWORD code, void* buffer, DWORD* size, DWORD* dataType)
{
    CISAPIConnection* c = Connection(handle);
    if (c == nullptr)
        return 0;
    try {
        switch (code) {
        case HSE_REQ_SEND_URL_REDIRECT_RESP:
            c->socket->SetThrowOnError(true);
            c->server->SendRedirect(*c->socket, *c->request, buffer ? static_cast<const char*>(buffer) : "",
                                    c->sendHeaders, c->sendBody);
            c->socket->SetThrowOnError(false);
            c->request->Status = 302;
            return 1;
        case HSE_REQ_SEND_URL:
            c->socket->SetThrowOnError(true);
            c->server->ProcessURL(buffer ? static_cast<const char*>(buffer) : "/", *c->socket, *c->request);
            c->socket->SetThrowOnError(false);
            return 1;
        case HSE_REQ_SEND_RESPONSE_HEADER: {
            std::string status = buffer ? static_cast<const char*>(buffer) : "200 Ok";
            c->request->Status = std::atoi(status.c_str());
            if (!c->sendHeaders)
                return 1;
            std::string head = "HTTP/1.0 " + status + "\r\nServer: " + ProductToken() + "\r\n";
            std::string date;
            FormatRFC1123DateString(date, CurrentSystemTime());
            if (!date.empty())
                head += "Date: " + date + "\r\n";
            // The header text ends at its NUL or at the given size,
            // whichever comes first.
            const char* text = reinterpret_cast<const char*>(dataType);
            if (text != nullptr)
                head.append(text, strnlen(text, size ? *size : 65536));
            else
                head += "\r\n";
            WSocket& socket = *c->socket;
            if (socket.SendText(head) < 0 || socket.Flush() < 0)
                return 0;
            return 1;
        }
        case HSE_REQ_MAP_URL_TO_PATH: {
            if (buffer == nullptr || size == nullptr) {
                errno = HSE_ERROR_INVALID_PARAMETER;
                return 0;
            }
            std::string path;
            c->server->MapURLToPath(path, std::string_view(static_cast<const char*>(buffer), strnlen(static_cast<const char*>(buffer), *size)));
            return CopyOut(path, buffer, size);
        }
        default:
            errno = HSE_ERROR_INVALID_INDEX;
            return 0;
        }
    } catch (...) {
        // A reply already thrown (a refused or failed URL) cannot be sent
        // inside the extension's call; the connection ends instead.
        c->socket->SetThrowOnError(false);
        c->request->KeepAlive.clear();
        errno = HSE_ERROR_INVALID_PARAMETER;
        return 0;
    }
}

} // namespace

int CHTTPServer::ISAPIScript(WSocket& socket, CHTTPRequest& request, bool sendHeaders, bool sendBody)
{
    CCacheEntry& entry = *request.Document;
    InitRequestMacros(*this, request);
    CheckProgramAccess(socket, request, entry.FilePath);
    try {
        std::string path = entry.FilePath;
        if (!entry.CGIMapping.CommandLine.empty()) {
            if (!request.Scope.IsReadOnly())
                request.Scope.Register("cgi-script", std::make_unique<CValueMacro>(entry.FilePath));
            CTextBuffer expanded(256, 256);
            request.Scope.Expand(&expanded, entry.CGIMapping.CommandLine);
            path = expanded.ToString();
        }
        PFN_HTTPEXTENSIONPROC entryPoint = CISAPIExtension::Load(path);
        if (entryPoint == nullptr) {
            // 500, as for a CGI program that cannot run: with 200 the error
            // page would be taken for the extension's reply.
            RegisterRequestMacros(*this, socket, request);
            CTextBuffer page(512, 512);
            request.Scope.Expand(&page, "%http-cgierror%");
            SendErrorReply(socket, 500, page.ToString(), nullptr, sendHeaders, sendBody);
            request.Status = 500;
            return 0;
        }
        std::string method = request.Method;
        std::string query = request.QueryText;
        std::string pathInfo = entry.Target;
        std::string translated = entry.PathTranslated;
        bool haveLength = false;
        std::string length = FirstHeader(request, "Content-length", &haveLength);
        std::string contentType = FirstHeader(request, "Content-type");
        unsigned char noData = 0;
        request.Status = 200;
        {
            CISAPIConnection connection(socket, request, *this, sendHeaders, sendBody);
            EXTENSION_CONTROL_BLOCK ecb{};
            ecb.cbSize = sizeof ecb;
            ecb.dwVersion = 0x10000;
            ecb.ConnID = &connection;
            ecb.lpszMethod = method.data();
            ecb.lpszQueryString = query.data();
            ecb.lpszPathInfo = pathInfo.data();
            ecb.lpszPathTranslated = translated.data();
            ecb.cbTotalBytes = static_cast<DWORD>(std::strtoul(length.c_str(), nullptr, 10));
            ecb.cbAvailable = 0;
            ecb.lpbData = &noData;
            ecb.lpszContentType = contentType.data();
            ecb.GetServerVariable = GetServerVariableCallback;
            ecb.WriteClient = WriteClientCallback;
            ecb.ReadClient = ReadClientCallback;
            ecb.ServerSupportFunction = ServerSupportCallback;
            entryPoint(&ecb);
        }
        socket.Flush();
        if (GetStats().IsMapped())
            GetStats().Add(server_stat_offset::kISAPIHits, 1);
        return 1;
    } catch (const CHTTPException&) {
        throw;
    } catch (const std::exception&) {
        LogMessage(platform::kEventTypeError, kEventUnexpectedException, {"CHTTPServer::ISAPIScript"});
        return 0;
    }
}
