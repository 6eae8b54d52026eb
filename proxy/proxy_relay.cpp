#include "proxy/http_proxy.h"

#include "framework/http_date.h"
#include "framework/outgoing_connect.h"
#include "framework/socket_pair_wait.h"
#include "framework/text_util.h"
#include "framework/wsocket.h"
#include "macro/macro_exception.h"
#include "platform/ascii.h"
#include "platform/clock.h"
#include "proxy/body_extent.h"
#include "proxy/cache_fill.h"
#include "proxy/reply_head.h"

#include <algorithm>

using platform::EqualsIgnoringCase;

namespace {

constexpr int kRelayChunk = 16384;
// The reply's first line is kept up to this length.
constexpr int kMaxFirstLine = 8192;

// Header lines that belong to one connection and never pass a proxy. A
// Transfer-Encoding passes with the body it frames; Host is the URL's.
bool IsHopByHop(std::string_view name)
{
    for (std::string_view hop : {"connection", "keep-alive", "proxy-connection", "te", "upgrade",
                                 "proxy-authorization", "host"}) {
        if (name == hop)
            return true;
    }
    return false;
}

// What a relay does when a side fails: before the client saw a byte of the
// reply, a proper reply (504 on a time-out, else 502); after, the
// connection only ends.
[[noreturn]] void FailRelay(CHTTPProxy& proxy, WSocketBase& failed, int code, CProxyRequest* request)
{
    static_cast<void>(proxy);
    if (request && request->bytes == 0) {
        CTextBuffer page(1024);
        try {
            request->scope.Expand(&page, "%http-noreply%");
        } catch (const CMacroException&) {
        }
        throw CHTTPException(code == platform::kWsaeTimedOut ? 504 : 502, page.ToString());
    }
    throw WSocketException(&failed, code);
}

} // namespace

int ParseStatusLine(std::string_view text)
{
    auto skip = [&text] {
        while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
            text.remove_prefix(1);
    };
    auto word = [&text] {
        std::size_t end = text.find_first_of(" \t");
        std::string_view taken = text.substr(0, end);
        text.remove_prefix(taken.size());
        return taken;
    };
    skip();
    if (word().substr(0, 5) != "HTTP/")
        return 200;
    skip();
    std::string_view digits = word();
    int status = 0;
    for (char c : digits) {
        if (c < '0' || c > '9' || status > 99999)
            break;
        status = status * 10 + (c - '0');
    }
    return status;
}

void GetHeaderValue(std::string& value, std::string_view name, std::string_view text, int n)
{
    value.clear();
    std::size_t at = 0;
    while (at < text.size()) {
        at = text.find_first_not_of("\r\n", at);
        if (at == std::string_view::npos)
            break;
        std::size_t end = text.find_first_of("\r\n", at);
        std::string_view line = text.substr(at, end == std::string_view::npos ? end : end - at);
        at = end == std::string_view::npos ? text.size() : end;
        std::size_t colon = line.find(':');
        if (!EqualsIgnoringCase(line.substr(0, colon), name))
            continue;
        if (n-- > 0)
            continue;
        if (colon != std::string_view::npos) {
            std::string_view rest = line.substr(colon + 1);
            rest.remove_prefix(std::min(rest.size(), rest.find_first_not_of(' ')));
            value.assign(rest);
        }
        return;
    }
}

void FilterProxyHeaders(CTextBuffer& out, std::string_view headers, unsigned flags, std::int64_t since)
{
    std::size_t at = 0;
    while (at < headers.size()) {
        std::size_t end = headers.find('\n', at);
        std::string_view line = headers.substr(at, end == std::string_view::npos ? end : end - at);
        at = end == std::string_view::npos ? headers.size() : end + 1;
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (line.empty())
            continue;
        std::string name = LowerCaseString(line.substr(0, line.find(':')));
        if (IsHopByHop(name) || ((flags & kDropAuthorization) && name == "authorization") ||
            ((flags & kDropConnection) && name == "connection") || ((flags & kDropRange) && name == "range") ||
            ((flags & kSendAnyAccept) && name == "accept") ||
            ((flags & (kSendSince | kDropSince)) && name == "if-modified-since") ||
            ((flags & kSendOwnUserAgent) && name == "user-agent") ||
            ((flags & kDropTransferEncoding) && name == "transfer-encoding"))
            continue;
        out.Append(line);
        out.Append("\r\n");
    }
    if (flags & kSendAnyAccept)
        out.Append("Accept: */*\r\n");
    if ((flags & kSendSince) && since != 0) {
        std::string date;
        FormatRFC1123DateString(date, SystemTimeFromUnixSeconds(since));
        out.Append("If-modified-since: " + date + "\r\n");
    }
    if (flags & kSendOwnUserAgent)
        out.Append(std::string("User-agent: ") + ProxyAgentToken() + "\r\n");
}

void AppendHostLine(CTextBuffer& out, const CUrlParts& url)
{
    if (url.host.empty())
        return;
    out.Append("Host: " + url.host);
    if (url.port != DefaultPortForScheme(url.scheme))
        out.Append(":" + std::to_string(url.port));
    out.Append("\r\n");
}

int ConnectToPort(WSocket& socket, const std::string& host, std::uint32_t port)
{
    if (port < 1 || port > 65535)
        return socket.Fail(platform::kWsaeAddrNotAvail);
    return ConnectOutgoing(socket, host, static_cast<std::uint16_t>(port));
}

CHTTPProxy::Upstream CHTTPProxy::UpstreamProxy(std::string CProxySettings::*host, std::uint32_t CProxySettings::*port)
{
    CEventLockHolder hold(GetLock());
    std::shared_ptr<const CProxySettings> p = GetProxySettings();
    return {(*p).*host, (*p).*port};
}

std::uint32_t CHTTPProxy::ClientTimeoutMs()
{
    std::uint32_t timeout = GetSettings()->connTimeout * kMsPerTimeoutSecond;
    return timeout ? timeout : kDefaultClientTimeoutMs;
}

void CHTTPProxy::ReadChunkedUpload(WSocket& client, CProxyRequest& request)
{
    CBodyExtent body(CBodyExtent::Kind::Chunked, 0);
    CUploadBuffer& upload = request.upload.emplace(client.GetPeerAddress());
    // Only the chunks' data keeps the body alive: chunk-size lines padded
    // with extensions would otherwise hold the upload account for ever.
    CBodyPace& pace = client.GetBodyPace();
    if (pace.Active())
        pace.CountBodyOnly();
    std::string piece;
    std::vector<char> buffer(kRelayChunk);
    while (!body.Done()) {
        int got = client.Read(buffer.data(), kRelayChunk);
        if (got <= 0)
            ThrowPage(request, 400, "%http-badcommand%");
        piece.clear();
        // What follows the body is dropped, as the relay drops it.
        if (body.Take(buffer.data(), static_cast<std::size_t>(got), &piece) < 0)
            ThrowPage(request, 400, "%http-badcommand%");
        if (pace.Active() && !pace.Took(static_cast<std::int64_t>(piece.size())))
            throw WSocketException(&client, platform::kWsaeTimedOut);
        if (upload.Size() + piece.size() > kMaxChunkedUploadBytes)
            ThrowPage(request, 413, "%http-badcommand%");
        if (!upload.Append(piece))
            ThrowPage(request, 503, "%http-noreply%");
    }
}

int CHTTPProxy::HTTPRequest(const std::string& method, WSocket& out, CProxyRequest& request, const CUrlParts& url,
                            unsigned flags, std::int64_t since)
{
    // Upstream requests are HTTP/1.0, which knows no chunked body: the body
    // is read whole first and sent with its length. Read before any
    // connection, so a refused body costs the origin nothing.
    if (request.framing.IsChunked() && !request.upload)
        ReadChunkedUpload(out, request);
    if (request.upload)
        flags |= kDropTransferEncoding;
    std::uint32_t timeout = GetSettings()->connTimeout * kMsPerTimeoutSecond;
    auto [proxyHost, proxyPort] = UpstreamProxy(&CProxySettings::proxyHost, &CProxySettings::proxyPort);
    WSocket upstream;
    upstream.SetTimeout(timeout);
    CTextBuffer head(4096);
    head.Append(method);
    head.AppendChar(' ');
    if (proxyHost.empty()) {
        if (ConnectToPort(upstream, url.host, static_cast<std::uint32_t>(url.port)) < 0)
            ThrowUnreachable(request, url.host, static_cast<std::uint32_t>(url.port));
        head.Append(url.path);
        flags |= kDropConnection | kRelayFlag;
    } else {
        if (ConnectToPort(upstream, proxyHost, proxyPort) < 0)
            ThrowUnreachable(request, proxyHost, proxyPort);
        head.Append(request.url);
        flags |= kDropConnection | kSendOwnUserAgent;
    }
    // HTTP/1.0 without keep-alive: the origin closes after its reply, which
    // is how the relay knows it ended.
    head.Append(" HTTP/1.0\r\n");
    std::string_view headers = request.headerText.View();
    FilterProxyHeaders(head, headers, flags, since);
    AppendHostLine(head, url);
    if (request.upload)
        head.Append("Content-Length: " + std::to_string(request.upload->Size()) + "\r\n");
    head.Append("Connection: close\r\n\r\n");
    if (upstream.SendText(head.View(), request.upload.has_value()) < 0 ||
        (request.upload && upstream.SendText(request.upload->View(), false) < 0))
        FailRelay(*this, upstream, platform::LastSocketError(), &request);
    // Sent: its memory is not kept while the reply comes.
    if (request.upload)
        request.upload->Free();

    CTextBuffer firstLine(256);
    if (RelayData(out, upstream, &firstLine, &request) < 0)
        return -1;
    // An origin that closed without a byte of reply failed.
    if (upstream.GetBytesReceived() == 0)
        FailRelay(*this, upstream, platform::kWsaeConnReset, &request);
    return ParseStatusLine(firstLine.View());
}

int CHTTPProxy::ConnectRequest(WSocket& client, CProxyRequest& request)
{
    std::uint32_t timeout = GetSettings()->connTimeout * kMsPerTimeoutSecond;
    auto [tunnelHost, tunnelPort] =
        UpstreamProxy(&CProxySettings::securityProxyHost, &CProxySettings::securityProxyPort);
    WSocket upstream;
    upstream.SetTimeout(timeout);
    if (tunnelHost.empty()) {
        std::size_t colon = request.url.find(':');
        std::string host = request.url.substr(0, colon);
        auto port = static_cast<std::uint16_t>(std::atoi(request.url.c_str() + colon + 1));
        if (ConnectOutgoing(upstream, host, port) < 0)
            ThrowUnreachable(request, host, port);
        std::string established = std::string("HTTP/1.0 200 Connection established\r\nProxy-agent: ") +
                                  ProxyAgentToken() + "\r\n\r\n";
        client.SendText(established, false);
        request.bytes += established.size();
    } else {
        if (ConnectToPort(upstream, tunnelHost, tunnelPort) < 0)
            ThrowUnreachable(request, tunnelHost, tunnelPort);
        CTextBuffer head(1024);
        head.Append(request.method + " " + request.url + " " + request.version + "\r\n");
        FilterProxyHeaders(head, request.headerText.View(), kDropConnection | kSendOwnUserAgent, 0);
        // A tunnel's authority is the request's host:port itself.
        head.Append("Host: " + request.url + "\r\n");
        head.Append("\r\n");
        if (upstream.SendText(head.View(), false) < 0)
            FailRelay(*this, upstream, platform::LastSocketError(), &request);
    }
    RelayData(client, upstream, nullptr, &request);
    return 0;
}

int CHTTPProxy::RelayData(WSocket& client, WSocket& upstream, CTextBuffer* firstLine, CProxyRequest* request)
{
    const std::uint32_t connTimeout = GetSettings()->connTimeout;
    const std::uint32_t wait = CClientLimits{connTimeout}.WaitMs();
    upstream.SetThrowOnError(false);
    upstream.SetTimeout(connTimeout > 0 ? wait : 0);
    bool collecting = firstLine != nullptr;
    if (firstLine)
        firstLine->Empty();
    // A tunnel carries anything both ways; a request passes only its
    // declared body, and what the client sends after it is dropped.
    const bool tunnel = firstLine == nullptr;
    // The request's framing was checked as it was read: it is unambiguous.
    CBodyExtent body = !tunnel && request && !request->upload ? CBodyExtent::For(request->framing) : CBodyExtent();
    CCacheFill* fill = request ? request->fill : nullptr;
    // A client may end its side after its request (a half close) and still
    // wait for the reply, except in a tunnel; it is then watched for leaving.
    bool clientEnded = false;
    std::vector<char> buffer(kRelayChunk);
    char* data = buffer.data();

    // What reaches the client (and the cache file); false when nobody wants
    // more: the file gave up and the client has its share.
    auto deliver = [&](std::string_view bytes) -> bool {
        if (fill) {
            fill->Put(bytes, false);
            return fill->WantsMore();
        }
        if (client.Send(bytes.data(), static_cast<int>(bytes.size()), false) < 0)
            FailRelay(*this, client, platform::LastSocketError(), nullptr);
        if (request)
            request->bytes += bytes.size();
        return true;
    };
    // The body's own bytes keep its pace, never its chunk framing.
    CBodyPace& pace = client.GetBodyPace();
    if (pace.Active() && !tunnel)
        pace.CountBodyOnly();
    // A reply's head is read before it passes; a chunked body ends with its
    // last chunk.
    CReplyHead reply(request && !AcceptsInterimReplies(request->version));
    CBodyExtent replyBody;

    // The first line of what reaches the client: an interim reply that was
    // dropped is not the reply's.
    auto collect = [&](std::string_view piece) {
        if (!collecting)
            return;
        int room = kMaxFirstLine - firstLine->GetLength();
        std::size_t lf = piece.find('\n');
        firstLine->Append(piece.substr(0, std::min<std::size_t>(lf, static_cast<std::size_t>(std::max(room, 0)))));
        if (lf != std::string_view::npos || room <= 0) {
            collecting = false;
            int length = firstLine->GetLength();
            if (length > 0 && firstLine->GetData()[length - 1] == '\r')
                firstLine->SetLength(length - 1);
        }
    };

    auto fromUpstream = [&]() -> bool {
        int got = upstream.Read(data, kRelayChunk);
        if (got < 0)
            FailRelay(*this, upstream, platform::LastSocketError(), request);
        if (got == 0) {
            // A head cut short passes as it came.
            std::string held = reply.TakeHeld();
            collect(held);
            if (!held.empty())
                deliver(held);
            return false;
        }
        if (tunnel || !request) {
            collect(std::string_view(data, static_cast<std::size_t>(got)));
            return deliver(std::string_view(data, static_cast<std::size_t>(got)));
        }
        std::string head;
        std::string body;
        CReplyHead::Result result = reply.Feed(std::string_view(data, static_cast<std::size_t>(got)), head, body);
        if (result == CReplyHead::Result::More)
            return true;
        if (result == CReplyHead::Result::Bad)
            ThrowPage(*request, 502, "%http-noreply%");
        collect(head.empty() ? std::string_view(body) : std::string_view(head));
        if (!head.empty()) {
            if (!deliver(head))
                return false;
            if (reply.Chunked())
                replyBody = CBodyExtent(CBodyExtent::Kind::Chunked, 0);
        }
        if (!replyBody.IsChunked())
            return body.empty() || deliver(body);
        // The chunks end the body: what follows them is no part of it.
        long taken = replyBody.Take(body.data(), body.size());
        if (taken < 0)
            ThrowPage(*request, 502, "%http-noreply%");
        if (taken > 0 && !deliver(std::string_view(body).substr(0, static_cast<std::size_t>(taken))))
            return false;
        return !replyBody.Done();
    };

    auto fromClient = [&]() -> bool {
        int got = client.Read(data, kRelayChunk);
        if (got <= 0) {
            if (tunnel)
                return false;
            clientEnded = true;
            return true;
        }
        long pass = got;
        if (!tunnel) {
            pass = body.Take(data, static_cast<std::size_t>(got));
            if (pass < 0)
                ThrowPage(*request, 400, "%http-badcommand%");
            if (pace.Active() && !pace.Took(pass))
                throw WSocketException(&client, platform::kWsaeTimedOut);
        }
        if (pass > 0 && upstream.Send(data, static_cast<int>(pass), false) < 0)
            FailRelay(*this, upstream, platform::LastSocketError(), request);
        return true;
    };

    for (;;) {
        // While the body comes, the relay waits for it at the body's pace
        // (body_pace.h); its end ends the pace.
        if (pace.Active() && body.Done())
            pace.Stop();
        const bool paced = pace.Active();
        const std::uint32_t waitNow =
            paced ? static_cast<std::uint32_t>(std::min<std::uint64_t>(wait, pace.AllowanceMs())) : wait;
        const std::uint64_t began = platform::MonotonicMs();
        int ready = WaitForEitherInput(client, upstream, waitNow, !clientEnded);
        if (paced) {
            pace.Waited(platform::MonotonicMs() - began, ready > 0 && (ready & kFirstSocketReady) ? 1 : 0);
            if (ready == 0 && pace.AllowanceMs() == 0)
                throw WSocketException(&client, platform::kWsaeTimedOut);
        }
        if (ready == 0) {
            if (client.GetThrowOnError())
                FailRelay(*this, upstream, platform::kWsaeTimedOut, request);
            return -1;
        }
        if (ready < 0)
            FailRelay(*this, upstream, platform::LastSocketError(), request);
        if (ready & kFirstSocketReady) {
            // A client that ended its side is ready again only when it left.
            if (clientEnded)
                throw WSocketException(&client, platform::kWsaeConnReset);
            if (!fromClient())
                return 0;
        }
        if ((ready & kSecondSocketReady) && !fromUpstream())
            return 0;
    }
}
