#include "proxy/http_proxy.h"

#include "framework/error_reply.h"
#include "framework/host_name.h"
#include "framework/http_date.h"
#include "framework/server_log.h"
#include "framework/socket_drain.h"
#include "framework/text_util.h"
#include "framework/wsocket.h"
#include "macro/macro_exception.h"
#include "platform/ascii.h"
#include "platform/eventlog.h"
#include "proxy/proxy_cache.h"

#include <ctime>

using platform::EqualsIgnoringCase;

namespace {

constexpr int kPageCapacity = 1024;
constexpr int kRequestLineCapacity = 8192;
constexpr std::uint32_t kEventUnexpectedException = 0xC0004003;
// After refusing an over-long request, what the client still sends is read
// and dropped for a moment, so that the refusal is not lost to a reset.
constexpr int kMaxDrainBytes = 64 * 1024;
constexpr std::uint32_t kDrainWaitMs = 500;

enum class LineResult { Line, End, TooLong };

// One line into text (its CR LF removed); a line above cap bytes is refused
// without waiting for its end beyond the socket's own line limit.
LineResult ReadCappedLine(WSocket& socket, CTextBuffer& text, std::size_t cap)
{
    int before = text.GetLength();
    int got;
    try {
        got = socket.ReadLine(text, true);
    } catch (const WSocketException& failure) {
        if (failure.error != kLineTooLongError)
            throw;
        text.SetLength(before);
        return LineResult::TooLong;
    }
    if (got <= 0 && text.GetLength() == before)
        return LineResult::End;
    if (static_cast<std::size_t>(text.GetLength() - before) > cap)
        return LineResult::TooLong;
    return got <= 0 ? LineResult::End : LineResult::Line;
}

// The accepted types: each item lower-cased, without blanks and parameters,
// followed by ','.
void AppendAcceptTypes(std::string& list, std::string_view value)
{
    std::size_t at = 0;
    while (at <= value.size()) {
        std::size_t comma = value.find(',', at);
        std::string_view item = value.substr(at, comma == std::string_view::npos ? comma : comma - at);
        item = item.substr(0, item.find(';'));
        for (char c : item) {
            if (c != ' ' && c != '\t')
                list += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
        }
        list += ',';
        if (comma == std::string_view::npos)
            break;
        at = comma + 1;
    }
}

// A request's text in the log line: quotes, backslashes and control
// characters escaped, so a client cannot forge a line.
void AppendLogText(std::string& out, std::string_view text)
{
    static const char kHex[] = "0123456789abcdef";
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\' || byte < 0x20 || byte == 0x7F) {
            out += "\\x";
            out += kHex[byte >> 4];
            out += kHex[byte & 15];
        } else {
            out += c;
        }
    }
}

} // namespace

bool IsSafeProxyPort(std::uint32_t port)
{
    for (std::uint32_t safe : kSafeProxyPorts) {
        if (port == safe)
            return true;
    }
    return port >= kFirstSafeHighPort && port <= 65535;
}

const char* ProxyAgentToken() { return IsUsingEventLog() ? kServiceProxyAgentToken : kProxyAgentToken; }

CProxyRequest::CProxyRequest(CMacroContext* serverScope) : scope(serverScope), headerText(kRequestLineCapacity) {}

CHTTPProxy::CHTTPProxy(const CHTTPProxySettings& settings) : m_cache(std::make_unique<CProxyCache>())
{
    CHTTPProxySettings::operator=(settings);
}

CHTTPProxy::~CHTTPProxy() { m_cache->Stop(); }

void CHTTPProxy::PrepareStart()
{
    CConfiguredServer::PrepareStart();
    if (GetStats().IsMapped())
        GetStats().SetDescription("HTTP Proxy");
    CMacroContext* scope = GetMacroScope();
    if (scope == nullptr)
        return;
    RunInitMacro(*scope, kEventUnexpectedException, "CHTTPProxy::Start");
    scope->SetReadOnly(true);
}

int CHTTPProxy::Start(unsigned index)
{
    int result = CServer::Start(index);
    if (result != 0)
        return result;
    // The cache starts only with a running listener, so Stop always finds
    // what it has to stop. Its folder and size are read once, here.
    std::shared_ptr<const CProxySettings> p = GetProxySettings();
    if (p->maxCacheSize > 0 && !p->rootDir.empty())
        m_cache->Start(p->rootDir + kCacheDatabaseName, p->rootDir, p->maxCacheSize, p->saveInterval,
                       p->purgeInterval);
    if (GetAccessList().IsEmpty())
        LogMessage(platform::kEventTypeWarning, kEventWarningText,
                   {"The HTTP proxy has no access list: it is open to every client."});
    LogMessage(platform::kEventTypeInformation, kEventHTTPProxyStarted, {""});
    return 0;
}

int CHTTPProxy::Stop()
{
    if (IsRunning()) {
        LogMessage(platform::kEventTypeInformation, kEventHTTPProxyStopped, {""});
        CServer::Stop();
    }
    m_cache->Stop();
    if (CMacroContext* scope = GetMacroScope())
        scope->SetReadOnly(false);
    return 0;
}

std::string CHTTPProxy::ExpandPage(CProxyRequest& request, std::string_view page)
{
    CTextBuffer body(kPageCapacity);
    try {
        request.scope.Expand(&body, page);
    } catch (const CMacroException&) {
    }
    return body.ToString();
}

void CHTTPProxy::ThrowPage(CProxyRequest& request, int status, std::string_view page, std::string extraHeaders)
{
    throw CHTTPException(status, ExpandPage(request, page), std::move(extraHeaders));
}

bool CHTTPProxy::ReadRequest(WSocket& socket, CProxyRequest& request)
{
    // Known before anything can fail, so that every log line names the client.
    FormatIPAddress(request.clientAddress, socket.GetPeerAddress());
    request.clientHost = request.clientAddress;
    if (GetSettings()->useDNS) {
        ResolveHostName(request.clientName, socket.GetPeerAddress());
        if (!request.clientName.empty())
            request.clientHost = request.clientName;
    }
    CTextBuffer& text = request.headerText;
    LineResult line = ReadCappedLine(socket, text, kMaxProxyLineBytes);
    if (line == LineResult::TooLong)
        ThrowPage(request, 414, "%http-badcommand%");
    // A connection opened and closed unused (a browser's pre-connect).
    if (text.IsEmpty() && socket.GetBytesReceived() == 0)
        return false;
    if (text.IsEmpty())
        ThrowPage(request, 405, "%http-badcommand%");
    // The proxy refuses what the HTTP server refuses: a request that the
    // origin could read otherwise than the proxy did.
    if (IsAmbiguousLine(text.View(), false))
        ThrowPage(request, 400, "%http-badcommand%");

    std::string requestLine = text.ToString();
    const char* cursor = requestLine.c_str();
    NextToken(request.method, &cursor, " \t");
    NextToken(request.url, &cursor, " \t");
    NextToken(request.version, &cursor, " \t");
    for (char& c : request.method) {
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    }

    if (request.version.empty())
        ThrowPage(request, 501, "%http-getonly%");

    text.Empty();
    for (;;) {
        int before = text.GetLength();
        LineResult header = ReadCappedLine(socket, text, kMaxProxyLineBytes);
        if (header == LineResult::TooLong || static_cast<std::size_t>(text.GetLength()) > kMaxProxyHeaderBytes) {
            text.SetLength(before);
            ThrowPage(request, 400, "%http-badcommand%");
        }
        if (header != LineResult::Line || text.GetLength() == before) {
            text.SetLength(before);
            break;
        }
        std::string_view lineText(text.GetData() + before, static_cast<std::size_t>(text.GetLength() - before));
        // A folded line (one that begins with a blank) is refused: the origin
        // might read it as a line of its own, or join it to another header.
        if (IsAmbiguousLine(lineText, true) || lineText.front() == ' ' || lineText.front() == '\t') {
            text.SetLength(before);
            ThrowPage(request, 400, "%http-badcommand%");
        }
        std::size_t colon = lineText.find(':');
        std::string name = LowerCaseString(lineText.substr(0, colon));
        std::string_view value;
        if (colon != std::string_view::npos) {
            value = lineText.substr(colon + 1);
            value.remove_prefix(std::min(value.size(), value.find_first_not_of(" \t")));
        }
        if (name == "accept")
            AppendAcceptTypes(request.acceptedTypes, value);
        else if (name == "pragma" && EqualsIgnoringCase(value, "no-cache"))
            request.noCache = true;
        else if (name == "if-modified-since")
            request.ifModifiedSince.assign(value);
        else if (name == "proxy-authorization")
            request.proxyAuthorization.assign(value);
        request.framing.AddHeader(name, value);
        text.Append("\r\n");
    }
    if (request.framing.IsAmbiguous())
        ThrowPage(request, 400, "%http-badcommand%");
    return true;
}

void CHTTPProxy::Authenticate(CProxyRequest& request)
{
    if (request.proxyAuthorization.empty())
        return;
    const char* cursor = request.proxyAuthorization.c_str();
    std::string scheme;
    std::string encoded;
    NextToken(scheme, &cursor, " \t");
    NextToken(encoded, &cursor, " \t");
    if (!EqualsIgnoringCase(scheme, "basic"))
        return;
    std::string decoded;
    Base64Decode(decoded, encoded);
    // The user ends at the first colon; the password is all the rest: a
    // password may hold colons, and cutting it would refuse its owner.
    std::size_t colon = decoded.find(':');
    request.user = decoded.substr(0, colon);
    request.password = colon == std::string::npos ? std::string() : decoded.substr(colon + 1);
    if (!request.user.empty() && GetUsers().CheckPassword(request.user, request.password, &request.scope))
        request.authUser = request.user;
}

void CHTTPProxy::CheckAccess(WSocket& socket, CProxyRequest& request, const CUrlParts& url)
{
    // The lists see the URL as the relay will fetch it, so another spelling
    // of a barred URL is barred too.
    const bool tunnel = request.method == "CONNECT";
    std::string normal = tunnel ? url.host + ":" + std::to_string(url.port) : url.Format();
    if (GetNoServeList().Contains(normal) && !GetServeList().Contains(normal))
        ThrowPage(request, 403, "%http-censored%");

    CRegAccessList& list = GetAccessList();
    int verdict = list.CheckFresh(request.method, request.authUser, request.clientAddress, &GetGroups(),
                                  &request.scope);
    bool allowed = verdict == 1;
    if (verdict == -1) {
        bool empty = list.IsAllowed(request.method, request.authUser, request.clientAddress, &GetGroups(),
                                    &request.scope);
        // A tunnel carries anything: without a line that grants CONNECT, only
        // the TLS port is open.
        // A barred port is barred for everyone: credentials would not open
        // it, so nothing is asked for.
        if (empty && tunnel && url.port != 443)
            ThrowPage(request, 403, "%http-censored%");
        allowed = empty;
        // Nor does a request reach a port of another protocol (mail, for
        // one) without a line that grants it: its body would talk there.
        if (allowed && !tunnel && !IsSafeProxyPort(url.port))
            ThrowPage(request, 403, "%http-censored%");
    }
    if (allowed)
        return;
    std::string host;
    GetLocalHostName(host, socket, GetSettings()->useDNS != 0);
    ThrowPage(request, 407, "%http-noauth%",
              "Proxy-Authenticate: Basic realm=\"Proxy at " + host + ":" + std::to_string(GetSettings()->port) +
                  "\"\r\n");
}

int CHTTPProxy::SchemeRequest(const std::string& method, WSocket& out, CProxyRequest& request, const CUrlParts& url,
                              unsigned flags, std::int64_t since)
{
    if (url.scheme == "http")
        return HTTPRequest(method, out, request, url, flags, since);
    if (url.scheme == "ftp")
        return FTPRequest(method, out, request, url, flags);
    if (url.scheme == "gopher")
        return GopherRequest(method, out, request, url, flags);
    return -1;
}

void CHTTPProxy::ServerRequest(WSocket* socket)
{
    WSocket& client = *socket;
    CProxyRequest request(GetMacroScope());
    client.SetThrowOnError(true);
    // ConnTimeout bounds each read only: a whole head has its own deadline,
    // and one address cannot hold the proxy with slow heads.
    auto service = GetSettings();
    CRequestLimits limits(client, {service->connTimeout, service->headerTimeout}, GetSlowHeads());
    limits.BoundReads();
    try {
        if (!ReadRequest(client, request))
            return;
        // A body (never a tunnel's traffic) is read at the body's pace, here
        // and in the relay: a trickle would hold the connection for ever.
        limits.HeadEnded(request.framing.HasBody() && request.method != "CONNECT");
        Authenticate(request);
        CUrlParts url;
        if (request.method == "CONNECT") {
            // host:port; the port must be a number from 1 to 65535.
            std::size_t colon = request.url.find(':');
            CUrlParts probe;
            if (colon == std::string::npos || !probe.Parse("x://h:" + request.url.substr(colon + 1)) ||
                probe.path != "/")
                ThrowPage(request, 400, "%http-badcommand%");
            url.host = request.url.substr(0, colon);
            url.path = request.url.substr(colon + 1);
            url.port = probe.port;
        } else if (!url.Parse(request.url)) {
            ThrowPage(request, 400, "%http-badcommand%");
        }
        CheckAccess(client, request, url);
        if (request.method == "GET" || request.method == "HEAD") {
            request.status = ServeFromCache(client, request, url);
        } else if (request.method == "CONNECT") {
            request.status = ConnectRequest(client, request);
        } else {
            request.status = SchemeRequest(request.method, client, request, url, kRelayFlag, 0);
            if (request.status == -1)
                ThrowPage(request, 405, "%http-badcommand%");
        }
        client.Flush();
    } catch (const CHTTPException& reply) {
        request.status = reply.status;
        // A reply already under way is never followed by an error page; it is
        // cut with a reset, so that the client cannot take it for whole.
        if (request.bytes != 0) {
            try {
                client.Flush();
            } catch (const WSocketException&) {
            }
            client.AbortWithReset();
        } else {
            std::int64_t before = client.GetBytesSent();
            try {
                SendErrorReply(client, reply.status, reply.body,
                               reply.extraHeaders.empty() ? nullptr : reply.extraHeaders.c_str(), true,
                               request.method != "HEAD");
                client.Flush();
            } catch (const WSocketException&) {
            }
            request.bytes += static_cast<std::uint64_t>(client.GetBytesSent() - before);
            // Refused in the middle of its body (an upload beyond what may be
            // held is 503): what the client still sends is read for a moment,
            // so that the reply is not lost to a reset.
            if (reply.status == 400 || reply.status == 413 || reply.status == 414 || reply.status == 503)
                DrainSocketInput(client, kMaxDrainBytes, kDrainWaitMs);
        }
    } catch (const WSocketException& failure) {
        if (!IsQuietSocketError(failure.error)) {
            LogMessage(platform::kEventTypeWarning, kEventWarningText,
                       {"Socket error " + std::to_string(failure.error) + " encountered during HTTP proxy session."});
            request.status = 500;
        }
        // Cut off before its reply began: the client is told so.
        if (request.bytes == 0 && AnswerCutOff(client))
            request.status = 408;
    } catch (...) {
        LogMessage(platform::kEventTypeError, kEventUnexpectedException, {"CHTTPProxy::ServerRequest"});
        request.status = 500;
    }
    // No line for a client that sent nothing: a pre-connect that closed or
    // timed out is no request, and its line would count a hit nobody made.
    if (HasLogFile() && client.GetBytesReceived() > 0) {
        try {
            WriteAccessLog(request);
        } catch (...) {
        }
    }
}

std::string ConnectFailureCause(int error)
{
    switch (error) {
    case platform::kWsaHostNotFound:
    case platform::kWsaNoData:
        return "name not found";
    case platform::kWsaTryAgain:
        return "name server not reachable";
    case platform::kWsaNoRecovery:
        return "name look-up failed";
    case platform::kWsaeConnRefused:
        return "connection refused";
    case platform::kWsaeTimedOut:
        return "timed out";
    case platform::kWsaeHostUnreach:
        return "host unreachable";
    case platform::kWsaeNetUnreach:
    case platform::kWsaeNetDown:
        return "network unreachable";
    case platform::kWsaeAddrNotAvail:
        return "no such port";
    default:
        return "socket error " + std::to_string(error);
    }
}

void CHTTPProxy::LogUnreachable(const CProxyRequest& request, std::string_view host, std::uint32_t port, int error)
{
    // The event text is cut at kMaxServerLogMessage bytes: the cause and the
    // client come first, and the host and URL are shortened to fit.
    constexpr std::size_t kMaxHostShown = 48;
    std::string text = "HTTP proxy: " + ConnectFailureCause(error) + " at ";
    std::string shown;
    AppendLogText(shown, host.substr(0, kMaxHostShown));
    text += shown + ":" + std::to_string(port) + " for ";
    AppendLogText(text, request.clientHost);
    text += " \"";
    shown.clear();
    AppendLogText(shown, request.url);
    std::size_t room = kMaxServerLogMessage > text.size() + 1 ? kMaxServerLogMessage - text.size() - 1 : 0;
    if (shown.size() > room)
        shown = shown.substr(0, room >= 3 ? room - 3 : 0) + "...";
    text += shown + "\"";
    LogMessage(platform::kEventTypeWarning, kEventWarningText, {text});
}

void CHTTPProxy::ThrowUnreachable(CProxyRequest& request, std::string_view host, std::uint32_t port)
{
    LogUnreachable(request, host, port, platform::LastSocketError());
    ThrowPage(request, 504, "%http-noreply%");
}

void CHTTPProxy::WriteAccessLog(CProxyRequest& request)
{
    std::string line;
    AppendLogText(line, request.clientHost);
    line += " - ";
    AppendLogText(line, request.authUser.empty() ? std::string_view("-") : std::string_view(request.authUser));
    line += " [";
    std::string date;
    FormatLogDateString(date, SystemTimeFromUnixSeconds(static_cast<std::int64_t>(std::time(nullptr))));
    line += date;
    line += "] \"";
    AppendLogText(line, request.method);
    line += ' ';
    AppendLogText(line, request.url);
    line += ' ';
    AppendLogText(line, request.version);
    line += "\" ";
    line += std::to_string(static_cast<unsigned>(request.status));
    line += ' ';
    line += std::to_string(request.bytes);
    LogHit(line);
}
