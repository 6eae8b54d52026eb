#include "http/http_server.h"

#include "config/global_maps.h"
#include "framework/error_reply.h"
#include "framework/request_framing.h"
#include "framework/server_log.h"
#include "framework/socket_drain.h"
#include "framework/text_buffer.h"
#include "framework/wsocket.h"
#include "http/dispatch.h"
#include "http/document_cache.h"
#include "http/http_exception.h"
#include "http/http_request.h"
#include "http/http_text.h"
#include "http/put.h"
#include "http/request_macros.h"
#include "http/server_macros.h"
#include "macro/macro_context.h"
#include "platform/ascii.h"
#include "platform/eventlog.h"
#include "platform/files.h"
#include "platform/security.h"

#include <atomic>
#include <cstring>
#include <filesystem>
#include <vector>

namespace {

std::atomic<CMacroContext*> g_httpStrings{nullptr};

char g_emptyField[1] = {'\0'};

// Capacity of a fresh accept list on the first request.
constexpr int kAcceptListCapacity = 128;
// Input still unread when a connection ends after an error reply is read
// and dropped, this much at most and for this long at most, so the reply is
// not lost to a reset from our close.
constexpr int kMaxDrainBytes = 64 * 1024;
constexpr std::uint32_t kDrainWaitMs = 500;

enum class LineResult {
    Line,    // a whole line, its LF and a CR before it removed
    Partial, // the input ended inside a line; what came is appended
    NoData,  // the input ended before any byte of a line
    TooLong, // more than the cap before the line's end
};

// Appends one line of input to text: what the input buffer holds is scanned
// for LF once, and only what belongs to the line is taken out of it.
LineResult ReadCappedLine(WSocket& socket, CTextBuffer& text, std::size_t cap)
{
    CAsyncIO& input = socket.GetAppInput();
    std::size_t taken = 0;
    for (;;) {
        if (input.GetHeld() == 0 && socket.Fill() <= 0)
            return taken > 0 ? LineResult::Partial : LineResult::NoData;
        const char* start = input.GetData() + input.GetStart();
        std::size_t held = static_cast<std::size_t>(input.GetHeld());
        const char* lf = static_cast<const char*>(std::memchr(start, '\n', held));
        std::size_t n = lf ? static_cast<std::size_t>(lf - start) + 1 : held;
        // The cap counts the line without its CR LF.
        if (!lf) {
            if (taken + n > cap + 1)
                return LineResult::TooLong;
        } else {
            std::size_t content = taken + n - 1;
            bool cr = n >= 2 ? lf[-1] == '\r' : (taken > 0 && text.GetData()[text.GetLength() - 1] == '\r');
            if (content - (cr ? 1 : 0) > cap)
                return LineResult::TooLong;
        }
        text.Append(start, static_cast<int>(n));
        input.SetStart(input.GetStart() + static_cast<int>(n));
        taken += n;
        if (lf) {
            int length = text.GetLength() - 1;
            if (length > 0 && text.GetData()[length - 1] == '\r')
                --length;
            text.SetLength(length);
            return LineResult::Line;
        }
    }
}

// A body that no handler read is still on its way.
bool HasUnreadBody(const CHTTPRequest& request)
{
    std::int64_t length = 0;
    return GetContentLength(request.HeaderText.View(), length) == BodyLength::Valid &&
           length > request.BodyBytesRead;
}

// False for a chunked (or otherwise encoded) body and a Content-length
// that is not a number.
bool HasKnownBodyEnd(const CHTTPRequest& request)
{
    std::string_view headers = request.HeaderText.View();
    for (std::size_t at = 0; at < headers.size();) {
        std::size_t end = headers.find('\n', at);
        std::string_view line = headers.substr(at, end == std::string_view::npos ? end : end - at);
        std::size_t colon = line.find(':');
        if (colon != std::string_view::npos && EqualsIgnoringCase(line.substr(0, colon), "transfer-encoding"))
            return false;
        if (end == std::string_view::npos)
            break;
        at = end + 1;
    }
    std::int64_t length = 0;
    return GetContentLength(headers, length) != BodyLength::Invalid;
}

void DrainInput(WSocket& socket) { DrainSocketInput(socket, kMaxDrainBytes, kDrainWaitMs); }

// Back to the identity the connection started with (the anonymous account
// or the server's own), so one request's logon never serves the next.
void RestoreIdentity(const platform::LogonTokenPtr& connectionToken)
{
    if (platform::CurrentImpersonation() == connectionToken)
        return;
    if (connectionToken)
        platform::Impersonate(connectionToken);
    else
        platform::RevertToSelf();
}

} // namespace

// Splits a URL in place at its first '?'.
static void SplitURL(CHTTPRequest& request, char* url)
{
    request.URLPath = url;
    char* mark = std::strchr(url, '?');
    if (mark == nullptr) {
        request.URLPathLength = static_cast<int>(std::strlen(url));
        request.Query = nullptr;
        request.QueryText = g_emptyField;
        return;
    }
    *mark = '\0';
    request.URLPathLength = static_cast<int>(mark - url);
    request.Query = mark + 1;
    request.QueryText = mark + 1;
}

void SplitRequestLine(CHTTPRequest& request)
{
    char* cursor = request.RequestLine.GetData();
    request.Method = cursor;
    while (*cursor != '\0' && *cursor != ' ') {
        if (*cursor >= 'a' && *cursor <= 'z')
            *cursor = static_cast<char>(*cursor - 'a' + 'A');
        ++cursor;
    }
    while (*cursor == ' ')
        *cursor++ = '\0';
    char* url = cursor;
    while (*cursor != '\0' && *cursor != ' ')
        ++cursor;
    while (*cursor == ' ')
        *cursor++ = '\0';
    request.Protocol = cursor;
    SplitURL(request, url);
}

// The media types of an Accept value, each lower-cased and followed by ','.
static void AppendAcceptTypes(CTextBuffer& list, std::string_view value)
{
    std::size_t at = 0;
    while (at < value.size()) {
        while (at < value.size() && (value[at] == ' ' || value[at] == ','))
            ++at;
        std::size_t start = at;
        while (at < value.size() && value[at] != ' ' && value[at] != ',' && value[at] != ';')
            ++at;
        if (at > start) {
            for (std::size_t i = start; i < at; ++i)
                list.AppendChar(platform::LowerAscii(value[i]));
            list.AppendChar(',');
        }
        if (at < value.size() && value[at] == ';')
            while (at < value.size() && value[at] != ',')
                ++at;
        else
            while (at < value.size() && value[at] == ' ')
                ++at;
    }
}

void ParseHeaderLine(CHTTPRequest& request, std::string_view line, bool firstRequest, const CHTTPSettings& http)
{
    char name[kHeaderNameCapacity];
    std::size_t end = line.find_first_of("\r\n:");
    if (end == std::string_view::npos)
        end = line.size();
    std::size_t length = std::min(end, kHeaderNameCapacity - 1);
    for (std::size_t i = 0; i < length; ++i)
        name[i] = platform::LowerAscii(line[i]);
    name[length] = '\0';
    std::size_t valueStart = std::min(end + 1, line.size());
    while (valueStart < line.size() && (line[valueStart] == ' ' || line[valueStart] == '\t'))
        ++valueStart;
    std::string_view value = line.substr(valueStart);
    std::string_view key(name, length);

    if (key == "accept") {
        if (firstRequest && http.checkAccept)
            AppendAcceptTypes(request.AcceptList, value);
    } else if (key == "if-modified-since") {
        request.IfModifiedSince.assign(value);
    } else if (key == "user-agent") {
        request.UserAgent.assign(value);
    } else if (key == "referer") {
        request.Referer.assign(value);
    } else if (key == "authorization") {
        request.Authorization.assign(value);
    } else if (key == "range") {
        std::size_t equals = value.find('=');
        if (equals != std::string_view::npos && EqualsIgnoringCase(value.substr(0, equals), "bytes")) {
            std::string_view rest = value.substr(equals + 1);
            request.Range.assign(rest.substr(0, rest.find('=')));
        }
    } else if (key == "content-length") {
        // Two that disagree leave the body's end to whoever reads them.
        request.BodyFraming.AddHeader(key, value);
    } else if (key == "connection") {
        // Each request decides for itself whether the connection stays.
        if (http.keepAliveTimeout != 0 && EqualsIgnoringCase(value, "keep-alive"))
            request.KeepAlive.assign(value);
    }
}

void SetHTTPStringsScope(CMacroContext* scope) { g_httpStrings.store(scope); }
CMacroContext* GetHTTPStringsScope() { return g_httpStrings.load(); }

void CDocumentRef::Release()
{
    if (*m_document != nullptr) {
        m_cache->Release(*m_document, *m_fileHandle);
        *m_document = nullptr;
    }
    *m_fileHandle = -1;
}

CHTTPServer::CHTTPServer(const CHTTPServerConfig& config) : m_cache(std::make_unique<CDocumentCache>())
{
    CHTTPServerConfig::operator=(config);
}

CHTTPServer::~CHTTPServer()
{
    m_cache->Destroy();
}

int CHTTPServer::Start(unsigned index)
{
    int result = CServer::Start(index);
    if (result != 0)
        return result;
    LogMessage(platform::kEventTypeInformation, kEventHTTPServerStarted, {GetHTTPSettings()->description});
    return 0;
}

void CHTTPServer::PrepareStart()
{
    CConfiguredServer::PrepareStart();
    std::shared_ptr<const CHTTPSettings> http = GetHTTPSettings();
    if (GetStats().IsMapped())
        GetStats().SetDescription(http->description);

    GetMappings().SetParent(&GlobalMIMETypes());
    GetIcons().SetParent(&GlobalIcons());
    GetPaths().SetParent(&GlobalVirtualPaths());
    GetRedirections().SetParent(&GlobalRedirections());
    GetCGIExt().SetParent(&GlobalCGIMappings());
    CMacroContext* scope = GetMacroScope();
    if (scope != nullptr && GetHTTPStringsScope() != nullptr)
        scope->SetParent(GetHTTPStringsScope());

    CheckRootDir(true);
    // An upload that a crash caught between naming and placing its file.
    if (!http->rootDir.empty())
        platform::RemoveReplacementFiles(http->rootDir);
    m_cache->Init(this, http->urlCacheSize, !HaveTransmitFile(), http->urlCacheFlushInterval * kMsPerTimeoutSecond,
                  true);
    if (scope != nullptr) {
        RegisterServerMacros(*this);
        RunInitMacro(*scope, kEventUnexpectedException, "CHTTPServer::Start");
        scope->SetReadOnly(true);
    }
}

void CHTTPServer::Load(int keepStrings, int reload)
{
    CHTTPServerConfig::Load(keepStrings, reload);
    if (reload && IsRunning())
        CheckRootDir(false);
}

void CHTTPServer::CheckRootDir(bool afresh)
{
    std::shared_ptr<const CHTTPSettings> http = GetHTTPSettings();
    std::lock_guard<std::mutex> hold(m_rootDirCheckLock);
    if (!afresh && m_checkedRootDir == http->rootDir)
        return;
    m_checkedRootDir = http->rootDir;
    std::error_code error;
    if (http->rootDir.empty() || std::filesystem::is_directory(http->rootDir, error))
        return;
    const std::string what = error && error != std::errc::no_such_file_or_directory
                                 ? "cannot be read (" + error.message() + ")"
                                 : std::filesystem::exists(http->rootDir, error) ? "is not a folder" : "does not exist";
    // Short: an event is cut at 127 bytes, and the folder must survive.
    LogMessage(platform::kEventTypeWarning, kEventSocketWarning,
               {"HTTP server on port " + std::to_string(GetSettings()->port) + ": RootDir " + http->rootDir + " " +
                what + "; every URL is answered 404."});
}

int CHTTPServer::Stop()
{
    if (!IsRunning())
        return 0;
    CServer::Stop();
    LogMessage(platform::kEventTypeInformation, kEventHTTPServerStopped, {""});
    m_cache->Destroy();
    if (CMacroContext* scope = GetMacroScope())
        scope->SetReadOnly(false);
    return 1;
}

namespace {

// What a kept-alive connection's requests carry from one to the next, kept
// while the connection waits for its next request without a fiber: the
// fields the reset between requests leaves alone.
struct CKeptRequest : CConnectionPause::State {
    int served = 0;
    std::int64_t maxFormBytes = 0;
    char clientAddress[sizeof CHTTPRequest::ClientAddress] = {};
    std::string clientName;
    bool hasAcceptList = false;
    std::string acceptList;
    std::string userAgent;
    std::string referer;
};

std::unique_ptr<CConnectionPause::State> KeepRequest(const CHTTPRequest& request, int served)
{
    // It outlives the turn's private heap.
    CHeapSwitch shared;
    auto kept = std::make_unique<CKeptRequest>();
    kept->served = served;
    kept->maxFormBytes = request.MaxFormBytes;
    std::memcpy(kept->clientAddress, request.ClientAddress, sizeof kept->clientAddress);
    kept->clientName = request.ClientName;
    kept->hasAcceptList = request.AcceptList.GetCapacity() > 0;
    kept->acceptList = request.AcceptList.ToString();
    kept->userAgent = request.UserAgent;
    kept->referer = request.Referer;
    return kept;
}

int RestoreRequest(CHTTPRequest& request, const CKeptRequest& kept)
{
    request.MaxFormBytes = kept.maxFormBytes;
    std::memcpy(request.ClientAddress, kept.clientAddress, sizeof kept.clientAddress);
    request.ClientName = kept.clientName;
    if (request.ClientAddress[0])
        request.ClientHost = request.ClientName.empty() ? request.ClientAddress : request.ClientName.c_str();
    if (kept.hasAcceptList) {
        request.AcceptList.Init(kAcceptListCapacity, kAcceptListCapacity);
        request.AcceptList.Append(kept.acceptList);
    }
    request.UserAgent = kept.userAgent;
    request.Referer = kept.referer;
    return kept.served;
}

} // namespace

void CHTTPServer::ServerRequest(WSocket* socket)
{
    CHTTPRequest request;
    int served = 0;
    CConnectionPause* pause = socket->GetPause();
    if (pause && pause->resumed && pause->state) {
        std::unique_ptr<CConnectionPause::State> state = std::move(pause->state);
        served = RestoreRequest(request, static_cast<const CKeptRequest&>(*state));
    } else {
        request.MaxFormBytes = GetHTTPSettings()->maxFormSize;
    }
    CDocumentRef guard(*m_cache, &request.Document, &request.FileHandle);
    platform::LogonTokenPtr connectionToken = platform::CurrentImpersonation();
    for (;; ++served) {
        bool again = ServeOneRequest(*socket, request, served);
        RestoreIdentity(connectionToken);
        if (!again)
            break;
        ResetForNextRequest(*socket, request);
        // Waiting for the next request costs the connection no fiber; the
        // next turn goes on from here. (A connection that impersonates
        // holds its token on the turn's private heap: it keeps its fiber.)
        if (pause && !connectionToken && socket->CanPause()) {
            socket->RequestPause(KeepRequest(request, served + 1));
            return;
        }
    }
}

bool CHTTPServer::ServeOneRequest(WSocket& socket, CHTTPRequest& request, int served)
{
    bool firstRequest = served == 0;
    bool drain = false;
    // ConnTimeout bounds each read only: a client sending a byte now and
    // then would hold the connection for ever, so the whole head has a
    // deadline of its own, from its first byte on, and the body a pace.
    auto service = GetSettings();
    CRequestLimits limits(socket, {service->connTimeout, service->headerTimeout}, GetSlowHeads());
    try {
        LineResult line = ReadCappedLine(socket, request.RequestLine, kMaxRequestLineBytes);
        // A head cut off (its deadline passed, or its address holds too
        // many slow heads) is no request: its start must not
        // be served as one.
        if (line != LineResult::Line && socket.HeadCutOff()) {
            AnswerCutOff(socket);
            return false;
        }
        if (line == LineResult::TooLong) {
            drain = true;
            request.RequestLine.Empty();
            ThrowRequestPage(*this, socket, request, 414, "%http-badcommand%");
        }
        // A connection that sent nothing at all (a browser's pre-connect)
        // made no request: no reply, no log line. Logged, every page view
        // would add a line for a request nobody made.
        if (line == LineResult::NoData && firstRequest)
            return false;
        if (request.RequestLine.IsEmpty()) {
            if (!firstRequest)
                return false;
            ThrowRequestPage(*this, socket, request, 501, "%http-badcommand%");
        }

        limits.BoundReads();
        socket.SetThrowOnError(true);
        if (IsAmbiguousLine(request.RequestLine.View(), false)) {
            drain = true;
            request.RequestLine.Empty();
            ThrowRequestPage(*this, socket, request, 400, "%http-badcommand%");
        }
        SplitRequestLine(request);

        std::shared_ptr<const CHTTPSettings> http = GetHTTPSettings();
        if (request.Protocol[0] != '\0') {
            if (firstRequest && http->checkAccept)
                request.AcceptList.Init(kAcceptListCapacity, kAcceptListCapacity);
            for (;;) {
                int before = request.HeaderText.GetLength();
                LineResult header = ReadCappedLine(socket, request.HeaderText, kMaxHeaderLineBytes);
                if (header == LineResult::TooLong ||
                    static_cast<std::size_t>(request.HeaderText.GetLength()) > kMaxHeaderBytes) {
                    drain = true;
                    request.HeaderText.SetLength(before);
                    ThrowRequestPage(*this, socket, request, 400, "%http-badcommand%");
                }
                if (header != LineResult::Line || request.HeaderText.GetLength() == before) {
                    request.HeaderText.SetLength(before);
                    break;
                }
                std::string_view text(request.HeaderText.GetData() + before,
                                      static_cast<std::size_t>(request.HeaderText.GetLength() - before));
                if (IsAmbiguousLine(text, true)) {
                    drain = true;
                    request.HeaderText.SetLength(before);
                    ThrowRequestPage(*this, socket, request, 400, "%http-badcommand%");
                }
                ParseHeaderLine(request, text, firstRequest, *http);
                request.HeaderText.Append("\r\n");
            }
            if (socket.HeadCutOff()) {
                AnswerCutOff(socket);
                return false;
            }
            if (request.BodyFraming.ConflictingLengths()) {
                drain = true;
                ThrowRequestPage(*this, socket, request, 400, "%http-badcommand%");
            }
        }

        // A body whose end cannot be known can never be skipped, so the
        // reply must not promise to keep the connection.
        if (!request.KeepAlive.empty() && !HasKnownBodyEnd(request))
            request.KeepAlive.clear();
        // Whoever reads the body (a form, a program's input, an upload, the
        // skip below) reads it at the body's pace: a trickle would otherwise
        // hold the connection and its client slot for as long as it liked.
        limits.HeadEnded();
        ProcessRequest(socket, request);

        if (!request.KeepAlive.empty())
            SkipUnreadBody(socket, request);
        if (request.KeepAlive.empty()) {
            RunLogMacro(socket, request);
            if (HasUnreadBody(request))
                DrainInput(socket);
            return false;
        }
        socket.Flush();
        RunLogMacro(socket, request);
        return true;
    } catch (const CHTTPException& reply) {
        limits.BodyEnded();
        request.Status = reply.status;
        try {
            SendErrorReply(socket, reply.status, reply.body,
                           reply.extraHeaders.empty() ? nullptr : reply.extraHeaders.c_str(), true, true);
            // The page went out as a file's body does, and is logged as one;
            // 401 and 404 pages were logged as 0 bytes.
            request.BytesSent = static_cast<std::int64_t>(reply.body.size());
            if (drain || HasUnreadBody(request))
                DrainInput(socket);
        } catch (const WSocketException&) {
        }
    } catch (const WSocketException& failure) {
        if (!IsQuietSocketError(failure.error)) {
            LogMessage(platform::kEventTypeWarning, kEventSocketWarning,
                       {"Socket error " + std::to_string(failure.error) + " encountered during HTTP session."});
            request.Status = 500;
        }
        // Cut off before its reply began: the client is told so.
        if (request.Status == 0 && AnswerCutOff(socket))
            request.Status = 408;
    } catch (...) {
        LogMessage(platform::kEventTypeError, kEventUnexpectedException, {"CHTTPServer::ServerRequest"});
        request.Status = 500;
        // The page goes out with the 500 the log shows: with 200 a client or
        // cache would keep the error page as the document.
        try {
            InitRequestMacros(*this, request);
            CTextBuffer page(kPageCapacity, kPageCapacity);
            request.Scope.Expand(&page, "%http-servererror%");
            SendErrorReply(socket, 500, page.View(), nullptr, true, true);
            request.BytesSent = static_cast<std::int64_t>(page.View().size());
        } catch (...) {
        }
    }
    try {
        RunLogMacro(socket, request);
    } catch (...) {
    }
    return false;
}

void CHTTPServer::SkipUnreadBody(WSocket& socket, CHTTPRequest& request)
{
    if (!HasKnownBodyEnd(request)) {
        request.KeepAlive.clear();
        return;
    }
    std::int64_t length = 0;
    BodyLength body = GetContentLength(request.HeaderText.View(), length);
    length -= request.BodyBytesRead;
    if (body == BodyLength::Missing || length <= 0)
        return;
    if (length > kMaxSkippedBodyBytes) {
        request.KeepAlive.clear();
        return;
    }
    char scratch[4096];
    while (length > 0) {
        int got = socket.Read(scratch, static_cast<int>(std::min<std::int64_t>(length, sizeof scratch)));
        if (got <= 0) {
            request.KeepAlive.clear();
            return;
        }
        length -= got;
    }
}

void CHTTPServer::ResetForNextRequest(WSocket& socket, CHTTPRequest& request)
{
    socket.SetTimeout(GetHTTPSettings()->keepAliveTimeout * kMsPerTimeoutSecond);
    socket.SetThrowOnError(false);
    request.Status = 0;
    request.BytesSent = 0;
    request.Expires = kExpiresNow;
    request.RequestLine.Empty();
    request.HeaderText.Empty();
    request.KeepAlive.clear();
    request.BodyFraming.Reset();
    request.URLPath = g_emptyField;
    request.URLPathLength = 0;
    request.QueryText = g_emptyField;
    request.Method = g_emptyField;
    request.Protocol = g_emptyField;
    request.Query = nullptr;
    request.URLCopy.clear();
    request.Range.clear();
    request.IfModifiedSince.clear();
    request.Body.clear();
    request.BodyBytesRead = 0;
    request.ContentType.clear();
    request.Authorization.clear();
    request.UserName.clear();
    request.Password.clear();
    request.AuthUser.clear();
    request.AuthScheme.clear();
    request.ExecAllowed = 0;
    request.Scope.GetMacros().DeleteAll();
    request.RequestFlags = 0;
    if (request.Document != nullptr)
        m_cache->Release(request.Document, request.FileHandle);
    request.Document = nullptr;
    request.FileHandle = -1;
}

void CHTTPServer::ProcessURL(std::string_view url, WSocket& socket, CHTTPRequest& request)
{
    if (request.Document != nullptr)
        m_cache->Release(request.Document, request.FileHandle);
    request.Document = nullptr;
    request.FileHandle = -1;
    request.Scope.GetMacros().DeleteAll();
    request.RequestFlags = 0;
    // The split fields and the request macros point into this copy, so it
    // lives in the request until the next request or URL replaces it.
    request.URLCopy.assign(url);
    SplitURL(request, request.URLCopy.data());
    if (request.URLDepth >= kMaxURLDepth)
        ThrowRequestPage(*this, socket, request, 500, "%http-badurl%");
    struct Depth {
        int& depth;
        explicit Depth(int& d) : depth(d) { ++depth; }
        ~Depth() { --depth; }
    } depth(request.URLDepth);
    ProcessRequest(socket, request);
}
