#pragma once
// CHTTPProxy: the one HTTP proxy server. A configured server whose
// configuration part is a CHTTPProxySettings; it owns the disk cache.
//
// One connection is one request (no client connection is kept alive): the
// request line and headers are read with caps, the barred and allowed URL
// lists and the access list are applied, and then a GET or HEAD is answered
// from the disk cache (a document not yet there is stored as it is relayed),
// CONNECT opens a tunnel, and anything else is relayed to the origin or to
// the upstream proxy. Upstream requests are HTTP/1.0 without hop-by-hop
// headers, so an origin closes after its reply; a request passes only its
// declared body, and only to the usual ports unless an access line grants
// its method.
//
// A reply is relayed as it arrives. Until its first byte reached the client
// a failure is answered 502 (504 on a time-out or an origin that cannot be
// reached); after that a failure only closes the connection.
//
// The routines live in several files:
//   http_proxy.cpp    construction, Start/Stop, ServerRequest, the log line
//   proxy_relay.cpp   HTTPRequest, ConnectRequest, RelayData, header helpers
//   proxy_fetch.cpp   the cache path of GET and HEAD, CacheResponse
//   cache_fill.cpp    a reply relayed and stored at once
//   body_extent.cpp   where a request body ends
//   ftp_request.cpp   FTPRequest
//   gopher_request.cpp GopherRequest, GopherTypeToMIME

#include "framework/request_framing.h"
#include "framework/text_buffer.h"
#include "macro/configured_server.h"
#include "macro/macro_context.h"
#include "proxy/proxy_settings.h"
#include "proxy/upload_buffer.h"
#include "proxy/url_parts.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

class CCacheFill;
class CProxyCache;
class WSocket;
struct CProxyCacheEntry;

inline constexpr std::uint32_t kEventHTTPProxyStarted = 0x40004008;
inline constexpr std::uint32_t kEventHTTPProxyStopped = 0x40004009;

// Caps on what a client sends: a longer request line is answered 414, a
// longer header line or header block 400, and the connection ends.
inline constexpr std::size_t kMaxProxyLineBytes = 8 * 1024;
inline constexpr std::size_t kMaxProxyHeaderBytes = 64 * 1024;

// The ports a request may name without an access line that grants its
// method: the web's, ftp, gopher, wais and their kin, and every port from
// 1025 up. Others belong to protocols a request body could speak to.
inline constexpr std::uint32_t kSafeProxyPorts[] = {80, 21, 70, 210, 280, 443, 488, 591, 777};
inline constexpr std::uint32_t kFirstSafeHighPort = 1025;
bool IsSafeProxyPort(std::uint32_t port);

// The Proxy-agent and User-agent token of the application and the service.
inline constexpr const char* kProxyAgentToken = "Velmora-Proxy/1.51 (Linux; x86_64; A)";
inline constexpr const char* kServiceProxyAgentToken = "Velmora-Proxy/1.51 (Linux; x86_64; S)";
const char* ProxyAgentToken();

// Header flags of the upstream request (FilterProxyHeaders).
inline constexpr unsigned kDropAuthorization = 0x01;
inline constexpr unsigned kDropConnection = 0x02;
inline constexpr unsigned kDropRange = 0x04;
inline constexpr unsigned kSendAnyAccept = 0x08;
inline constexpr unsigned kSendSince = 0x10;
inline constexpr unsigned kSendOwnUserAgent = 0x20;
inline constexpr unsigned kRelayFlag = 0x40;
inline constexpr unsigned kDropSince = 0x80;
// The body goes on de-chunked: Transfer-Encoding is dropped.
inline constexpr unsigned kDropTransferEncoding = 0x100;

struct CProxyRequest {
    explicit CProxyRequest(CMacroContext* serverScope);

    CMacroContext scope;
    std::string clientHost;
    std::string acceptedTypes;
    std::string clientAddress;
    std::string clientName;
    std::string user;
    std::string password;
    std::string authUser;
    std::string proxyAuthorization;
    std::string ifModifiedSince;
    std::string url;
    std::string method;
    std::string version;
    bool noCache = false;
    // The request's Content-Length and Transfer-Encoding lines.
    CBodyFraming framing;
    // A chunked body once read whole and de-chunked; it has left the
    // client's input, so the relay passes nothing more from the client.
    // Freed once sent, it stays present to say so.
    std::optional<CUploadBuffer> upload;
    CTextBuffer headerText;
    // Bytes relayed to the client, and the logged status.
    std::uint64_t bytes = 0;
    int status = 0;
    // The cache fill under way: what the handlers write to the client goes
    // through it into the cache file too.
    CCacheFill* fill = nullptr;
};

// The status of a reply's first line: the number after "HTTP/x.y", else 200.
int ParseStatusLine(std::string_view text);
// The n-th (from 0) value of the header lines named name (any case) in
// text; empty when there is none.
void GetHeaderValue(std::string& value, std::string_view name, std::string_view text, int n);
// Appends the request's header lines for an upstream request: hop-by-hop
// lines (Connection, Keep-Alive, Proxy-Connection, TE, Upgrade),
// Proxy-Authorization and Host never pass; flags drop or replace the
// others; since (seconds since 1970) is the If-Modified-Since. A
// Transfer-Encoding passes, since it frames the body that follows.
void FilterProxyHeaders(CTextBuffer& out, std::string_view headers, unsigned flags, std::int64_t since);
// The Host line of an upstream request: the URL's authority, whatever Host
// the client sent, so that what the origin serves is what the URL (and the
// cache key) names. Nothing for a URL without a host.
void AppendHostLine(CTextBuffer& out, const CUrlParts& url);
// ConnectOutgoing on a configured or parsed port: one outside 1 to 65535
// fails as 10049 without a try.
int ConnectToPort(WSocket& socket, const std::string& host, std::uint32_t port);
// Why a connection could not be made, in words, from its socket error.
std::string ConnectFailureCause(int error);

// A ConnTimeout of 0 means no limit to the relay; the ftp and gopher
// clients still give up on a silent server after this long.
inline constexpr std::uint32_t kDefaultClientTimeoutMs = 120000;

// Sends an error or status page to out (buffered output flushed); what
// reaches a client counts for the log line.
void SendPage(WSocket& out, CProxyRequest& request, int status, std::string_view body, bool withBody);
// Sends bytes to out as they are (a failure thrown as WSocketException);
// what reaches a client counts for the log line.
void SendToClient(WSocket& out, CProxyRequest& request, std::string_view bytes);
// Waits until source holds input or is at its end, at most milliseconds;
// false when the time ran out. What out holds for the client is sent
// first, so a slow source never keeps arrived bytes from it, and a client
// that leaves meanwhile is thrown as WSocketException on out, so that the
// source is let go at once. A client that only ended its side may still
// wait for its reply, unless endIsLeaving.
bool AwaitSource(WSocket& source, WSocket& out, std::uint32_t milliseconds, bool endIsLeaving = false);
// Appends a line of source, its line end kept, waiting as AwaitSource does
// (a time-out thrown on source). Returns the bytes added, else what the
// refill gave (<= 0) at the end.
int ReadLineWatched(WSocket& source, WSocket& out, CTextBuffer& line, std::uint32_t milliseconds,
                    bool endIsLeaving = false);
// Sends to out all that source gives, as it arrives, until it ends or fails.
void CopyToClient(WSocket& source, WSocket& out, CProxyRequest& request, std::uint32_t milliseconds);
// CopyToClient for a gopher text document: its closing "." line is dropped.
void CopyGopherText(WSocket& source, WSocket& out, CProxyRequest& request, std::uint32_t milliseconds);

class CHTTPProxy : public CConfiguredServer, public CHTTPProxySettings {
public:
    explicit CHTTPProxy(const CHTTPProxySettings& settings);
    ~CHTTPProxy() override;
    CHTTPProxy(const CHTTPProxy&) = delete;
    CHTTPProxy& operator=(const CHTTPProxy&) = delete;

    // The base's Start, then the cache (only once the listeners run), the
    // statistics name and the started event. Returns the base's result.
    int Start(unsigned index) override;
    // Stops a running proxy and always the cache. Returns 0.
    int Stop() override;
    std::uint32_t GetServerType() const override { return 3; }
    void ServerRequest(WSocket* socket) override;

    // Sends the request to the origin or the upstream proxy and copies the
    // reply to out. Returns the reply's status, or -1 on a time-out when out
    // does not throw.
    int HTTPRequest(const std::string& method, WSocket& out, CProxyRequest& request, const CUrlParts& url,
                    unsigned flags, std::int64_t since);
    // The tunnel of a CONNECT request. Returns 0.
    int ConnectRequest(WSocket& client, CProxyRequest& request);
    // Copies data between the two until one side closes (one way when client
    // is a file); the first line of the upstream's reply goes to firstLine.
    // Returns 0, or -1 on a time-out when client does not throw.
    int RelayData(WSocket& client, WSocket& upstream, CTextBuffer* firstLine, CProxyRequest* request);
    // The cache fill of one document, relayed to the client as it arrives
    // (for a revalidation unless the answer is 304). Returns the status,
    // or -1 when no cache file could be made; answered tells whether the
    // client got the reply; on 200 with a document fit to keep, entry is the
    // stored document, held.
    int CacheResponse(WSocket& client, CProxyRequest& request, CProxyCacheEntry*& entry, bool& answered,
                      const CUrlParts& url, std::int64_t since);
    void WriteAccessLog(CProxyRequest& request);
    // The server log's warning that host:port could not be reached, with
    // the cause, the client and the URL: the reply page and the access-log
    // line say only that the server did not answer.
    void LogUnreachable(const CProxyRequest& request, std::string_view host, std::uint32_t port, int error);

    // An ftp URL: through the FTP upstream proxy, or as an FTP client (GET
    // and HEAD of a file or a directory listing, PUT of a file). Writes the
    // whole reply or an error page to out and returns its status, or -1
    // when an upstream reply could not be relayed. A failure once the 200
    // header is out is thrown as CHTTPException, so that the cut reply is
    // neither stored nor taken for whole.
    int FTPRequest(const std::string& method, WSocket& out, CProxyRequest& request, const CUrlParts& url,
                   unsigned flags);
    // A gopher URL: through the gopher upstream proxy, or as a gopher client
    // (documents relayed, menus and search results as HTML). Returns 200, 404
    // for an error item, the upstream's status or -1; a server that cannot be
    // reached or fails is thrown as CHTTPException 504.
    int GopherRequest(const std::string& method, WSocket& out, CProxyRequest& request, const CUrlParts& url,
                      unsigned flags);
    // The MIME type of a gopher item type: GopherMappings, else the built-in
    // one (non-zero), else "text/plain" or the "*" mapping (0).
    int GopherTypeToMIME(char type, std::string& mime);

    CProxyCache& GetCache() { return *m_cache; }

protected:
    void PrepareStart() override;

private:
    // Reads the request line and headers (a request that could be framed
    // two ways is refused 400); false when the client sent nothing at all.
    bool ReadRequest(WSocket& socket, CProxyRequest& request);
    void Authenticate(CProxyRequest& request);
    void CheckAccess(WSocket& socket, CProxyRequest& request, const CUrlParts& url);
    // GET and HEAD: the disk cache, or a direct relay.
    int ServeFromCache(WSocket& client, CProxyRequest& request, const CUrlParts& url);
    // The handler of the URL's scheme; -1 for a scheme without one.
    int SchemeRequest(const std::string& method, WSocket& out, CProxyRequest& request, const CUrlParts& url,
                      unsigned flags, std::int64_t since);
    // The upstream proxy a kind of request goes through (an empty host:
    // none), read from the settings in force.
    struct Upstream {
        std::string host;
        std::uint32_t port = 0;
    };
    Upstream UpstreamProxy(std::string CProxySettings::*host, std::uint32_t CProxySettings::*port);
    // Reads the client's chunked body into request.upload, de-chunked: 400
    // for broken chunks or a body cut short, 413 beyond kMaxChunkedUploadBytes,
    // 503 beyond what all uploads may hold together (kMaxBufferedUploadBytes).
    void ReadChunkedUpload(WSocket& client, CProxyRequest& request);
    // ConnTimeout in ms, kDefaultClientTimeoutMs for 0.
    std::uint32_t ClientTimeoutMs();
    // Sends the request to an upstream proxy as received and relays its
    // reply to out: the status, -1 when the reply could not be relayed, -2
    // when the upstream cannot be reached (the cause logged).
    int CascadeRequest(const std::string& host, std::uint32_t port, const std::string& method, WSocket& out,
                       CProxyRequest& request, const CUrlParts& url, unsigned flags);
    // LogUnreachable with the last socket error, then 504 "%http-noreply%".
    [[noreturn]] void ThrowUnreachable(CProxyRequest& request, std::string_view host, std::uint32_t port);
    // The expansion of a named page in the request's scope.
    std::string ExpandPage(CProxyRequest& request, std::string_view page);
    [[noreturn]] void ThrowPage(CProxyRequest& request, int status, std::string_view page,
                                std::string extraHeaders = {});

    std::unique_ptr<CProxyCache> m_cache;
};
