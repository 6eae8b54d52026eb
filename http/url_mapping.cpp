#include "http/url_mapping.h"

#include "config/access_list.h"
#include "config/global_maps.h"
#include "framework/error_reply.h"
#include "framework/host_name.h"
#include "framework/text_buffer.h"
#include "framework/text_util.h"
#include "framework/wsocket.h"
#include "http/http_request.h"
#include "http/http_server.h"
#include "http/request_macros.h"
#include "macro/macro.h"
#include "macro/macro_context.h"
#include "platform/ascii.h"

#include <memory>

namespace {

// Buffer sizes of the texts built here.
constexpr int kAbsoluteURLCapacity = 256;
constexpr int kRedirectPageCapacity = 2048;

constexpr std::uint32_t kDefaultHTTPPort = 80;
constexpr std::uint32_t kDefaultHTTPSPort = 443;

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

} // namespace

bool NormalizeURLPath(std::string& out, std::string_view path)
{
    out.assign(1, '/');
    std::size_t i = 0;
    while (i < path.size()) {
        while (i < path.size() && IsSeparator(path[i]))
            ++i;
        std::size_t start = i;
        while (i < path.size() && !IsSeparator(path[i])) {
            if (path[i] == '\0')
                return false;
            ++i;
        }
        std::string_view segment = path.substr(start, i - start);
        if (segment.empty() || segment == ".")
            continue;
        if (segment == "..")
            return false;
        if (out.size() > 1)
            out.push_back('/');
        out.append(segment);
    }
    if (!path.empty() && IsSeparator(path.back()) && out.size() > 1)
        out.push_back('/');
    return true;
}

bool HasACLFileSegment(std::string_view path)
{
    std::size_t i = 0;
    while (i <= path.size()) {
        std::size_t end = i;
        while (end < path.size() && !IsSeparator(path[end]))
            ++end;
        if (end > i && IsACLFileName(path.substr(i, end - i)))
            return true;
        i = end + 1;
    }
    return false;
}

std::string MapURLPath(CHTTPServerConfig& server, std::string_view url)
{
    std::size_t start = 0;
    while (start < url.size() && IsSeparator(url[start]))
        ++start;
    std::size_t end = start;
    while (end < url.size() && !IsSeparator(url[end]))
        ++end;

    std::string rest;
    if (end > start) {
        CVirtualPath path;
        if (LookupWithGlobal(server.GetPaths(), GlobalVirtualPaths(), LowerCaseString(url.substr(start, end - start)),
                             path)) {
            // The rest is cut at the separator that really ends the segment.
            if (!NormalizeURLPath(rest, url.substr(end)))
                return {};
            return end < url.size() ? path.Location + rest : path.Location;
        }
    }
    if (!NormalizeURLPath(rest, url))
        return {};
    return server.GetHTTPSettings()->rootDir + rest;
}

std::string MimeTypeForPath(CHTTPServerConfig& server, std::string_view path)
{
    std::string type;
    std::size_t nameStart = path.find_last_of("/\\");
    std::string_view name = nameStart == std::string_view::npos ? path : path.substr(nameStart + 1);
    std::size_t dot = name.rfind('.');
    if (dot != std::string_view::npos &&
        LookupWithGlobal(server.GetMappings(), GlobalMIMETypes(), LowerCaseString(name.substr(dot + 1)), type))
        return type;
    if (LookupWithGlobal(server.GetMappings(), GlobalMIMETypes(), "*", type))
        return type;
    return {};
}

void CHTTPServer::MapURLToPath(std::string& out, std::string_view url) { out = MapURLPath(*this, url); }

void CHTTPServer::MakeAbsoluteURL(WSocket& socket, std::string_view path, std::string& out)
{
    std::shared_ptr<const CServiceSettings> settings = GetSettings();
    std::string host;
    GetLocalHostName(host, socket, settings->useDNS != 0);
    CTextBuffer text(kAbsoluteURLCapacity);
    bool secure = socket.IsSecure();
    text.Append(secure ? "https://" : "http://");
    text.Append(host);
    std::uint32_t port = secure ? settings->sslPort : settings->port;
    if (port != (secure ? kDefaultHTTPSPort : kDefaultHTTPPort)) {
        text.AppendChar(':');
        text.Append(std::to_string(port));
    }
    text.Append(path);
    out = text.ToString();
}

void CHTTPServer::SendRedirect(WSocket& socket, CHTTPRequest& request, const std::string& url, bool sendHeaders,
                               bool sendBody)
{
    std::string extra;
    if (sendHeaders)
        extra = "Location: " + url + "\r\n";
    InitRequestMacros(*this, request);
    CTextBuffer page(kRedirectPageCapacity, kRedirectPageCapacity);
    if (sendBody) {
        // A copy, not a reference: the macro outlives this call (the log
        // line may show it) while url need not.
        request.Scope.Register("newurl", std::make_unique<CValueMacro>(url));
        request.Scope.Expand(&page, "%http-redirect%");
    }
    SendErrorReply(socket, 302, page.View(), sendHeaders ? extra.c_str() : nullptr, sendHeaders, sendBody);
    request.KeepAlive.clear();
}

void CHTTPServer::GetMimeType(std::string& out, std::string_view path) { out = MimeTypeForPath(*this, path); }
