#include "chat/chat_room.h"

#include "chat/chat_engine.h"
#include "chat/chat_macros.h"
#include "framework/error_reply.h"
#include "framework/host_name.h"
#include "framework/server_log.h"
#include "framework/text_buffer.h"
#include "framework/text_util.h"
#include "framework/thread_data.h"
#include "framework/wsocket.h"
#include "macro/macro_context.h"
#include "macro/macro_exception.h"
#include "platform/ascii.h"
#include "platform/clock.h"
#include "platform/eventlog.h"
#include "platform/heap.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>

namespace {

constexpr int kRequestLineCapacity = 8192;
constexpr int kPageCapacity = 4096;
// The room heap starts at this many bytes per line the room keeps.
constexpr std::size_t kHeapBytesPerLine = 2048;
// ... but a room configured for very many lines starts smaller and grows.
constexpr std::size_t kMaxHeapLines = 8192;

constexpr const char* kHttp09Page =
    "<HTML><HEAD><TITLE>HTTP 0.9 Error</TITLE></HEAD><BODY><H1>HTTP 0.9 Error</H1>Your browser issued an HTTP "
    "0.9-style request.  ChatRooms require an HTTP/1.0-compatible browser that also supports HTML 2.0 (i.e. "
    "forms!)</BODY> \n \n \n</HTML>";
constexpr const char* kNotFoundPage =
    "<HTML><HEAD><TITLE>Chat Room Error</TITLE></HEAD><BODY><H1>Chat Room Error</H1>\nOnly a URL in the form "
    "<B>http://hostname/Join</B> or <B>http://hostname/Index</B> can be used for this server.</BODY></HTML>";

std::atomic<CChatRoom::Clock> g_clock{nullptr};

std::string SafeHTML(std::string_view text)
{
    CTextBuffer out(static_cast<int>(text.size()) + 16);
    AppendSafeHTML(&out, text, true);
    return out.ToString();
}

std::string Expand(CMacroContext& scope, std::string_view text)
{
    CTextBuffer out(kPageCapacity, kPageCapacity);
    scope.Expand(&out, text);
    return out.ToString();
}

enum class LineRead { Line, End, TooLong };

// One line of input without its line end, refused when longer than cap.
LineRead ReadCappedLine(WSocket& socket, CTextBuffer& text, std::size_t cap)
{
    bool throwing = socket.GetThrowOnError();
    socket.SetThrowOnError(false);
    int before = text.GetLength();
    int got = socket.ReadLine(text, true);
    int error = platform::LastSocketError();
    socket.SetThrowOnError(throwing);
    if (got < 0 && error == kLineTooLongError)
        return LineRead::TooLong;
    if (static_cast<std::size_t>(text.GetLength() - before) > cap)
        return LineRead::TooLong;
    if (got < 0)
        socket.Fail(error);
    return got > 0 ? LineRead::Line : LineRead::End;
}

// True, with its value, when a header of that name (any case) is present.
bool FindHeader(const std::string& headers, std::string_view name, std::string_view& value)
{
    std::string_view all(headers);
    for (std::size_t at = 0; at < all.size();) {
        std::size_t end = all.find("\r\n", at);
        if (end == std::string_view::npos)
            end = all.size();
        std::string_view line = all.substr(at, end - at);
        std::size_t colon = line.find(':');
        if (colon != std::string_view::npos && platform::EqualsIgnoringCase(line.substr(0, colon), name)) {
            std::size_t v = colon + 1;
            while (v < line.size() && (line[v] == ' ' || line[v] == '\t'))
                ++v;
            value = line.substr(v);
            return true;
        }
        at = end + 2;
    }
    return false;
}

bool IsHttpLink(std::string_view url)
{
    auto starts = [&](std::string_view prefix) {
        return url.size() > prefix.size() && platform::EqualsIgnoringCase(url.substr(0, prefix.size()), prefix);
    };
    return starts("http://") || starts("https://");
}

template <typename T, typename... Args>
void Define(CMacroContext& scope, std::string_view name, Args&&... args)
{
    scope.Register(name, std::make_unique<T>(std::forward<Args>(args)...));
}

} // namespace

std::string EscapeLogLine(std::string_view line)
{
    std::string out;
    out.reserve(line.size());
    for (char c : line) {
        unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7f) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", u);
            out.append(hex);
        } else if (c == '\\') {
            out.append("\\\\");
        } else {
            out.push_back(c);
        }
    }
    return out;
}

void CChatRoom::SetClockForTesting(Clock clock) { g_clock.store(clock); }

std::int64_t CChatRoom::Now()
{
    Clock clock = g_clock.load();
    return clock ? clock() : platform::UnixTimeSeconds();
}

CChatRoom::CChatRoom(const CChatRoomConfig& config)
{
    CChatRoomConfig::operator=(config);
    MakeSafeTexts();
}

CChatRoom::~CChatRoom()
{
    DestroyLines();
}

void CChatRoom::MakeSafeTexts()
{
    auto room = std::make_shared<CChatRoomSettings>(*GetRoomSettings());
    room->name = SafeHTML(room->name);
    room->description = SafeHTML(room->description);
    SetRoomSettings(std::move(room));
}

void CChatRoom::Load(int keepStrings, int reload)
{
    CChatRoomConfig::Load(keepStrings, reload);
    MakeSafeTexts();
}

void CChatRoom::DestroyLines()
{
    if (m_lines) {
        CHeapSwitch roomHeap(m_heap);
        m_lines.reset();
    }
    platform::Heap::Destroy(m_heap);
    m_heap = nullptr;
}

int CChatRoom::Start(unsigned index)
{
    std::shared_ptr<const CChatRoomSettings> room = GetRoomSettings();
    DestroyLines();
    m_lock.Reopen();
    m_newLine.Reopen();
    m_stopFlag.store(false);
    m_heap = platform::Heap::Create(std::clamp<std::size_t>(room->lines, 1, kMaxHeapLines) * kHeapBytesPerLine);
    {
        CHeapSwitch roomHeap(m_heap);
        m_lines = std::make_unique<std::deque<CChatLine>>();
    }
    int result = CServer::Start(index);
    if (result != 0) {
        DestroyLines();
        return result;
    }
    LogMessage(platform::kEventTypeInformation, kEventChatRoomStarted, {room->name});
    return 0;
}

void CChatRoom::PrepareStart()
{
    CConfiguredServer::PrepareStart();
    std::shared_ptr<const CChatRoomSettings> room = GetRoomSettings();
    if (GetStats().IsMapped())
        GetStats().SetDescription(room->name);
    if (CUserMap* users = GetChatUsers())
        GetUsers().SetParent(users);
    if (CGroupMap* guests = GetChatGuests())
        GetGroups().SetParent(guests);
    CMacroContext* scope = GetMacroScope();
    if (scope == nullptr)
        return;
    if (CMacroContext* chat = GetChatStringsScope())
        scope->SetParent(chat);
    if (!scope->IsReadOnly()) {
        Define<CRoomValueMacro>(*scope, "room-name", *this, CRoomValueMacro::Field::Name);
        Define<CRoomValueMacro>(*scope, "room-desc", *this, CRoomValueMacro::Field::Description);
        Define<CRoomValueMacro>(*scope, "room-maxlines", *this, CRoomValueMacro::Field::Lines);
        Define<CRoomValueMacro>(*scope, "room-timeout", *this, CRoomValueMacro::Field::Timeout);
    }
    RunInitMacro(*scope, kEventChatUnexpected, "CChatRoom::Start");
    scope->SetReadOnly(true);
}

int CChatRoom::Stop()
{
    if (!IsRunning())
        return 0;
    m_stopFlag.store(true);
    // Every waiter for the lines fails and every realtime viewer wakes now;
    // the base then ends the connections, and only after that do the lines go.
    m_lock.Close();
    m_newLine.Close();
    CServer::Stop();
    LogMessage(platform::kEventTypeInformation, kEventChatRoomStopped, {GetRoomSettings()->name});
    m_lock.WaitUntilFree(platform::DeadlineAfter(kStopListenerWaitMs));
    DestroyLines();
    if (CMacroContext* scope = GetMacroScope())
        scope->SetReadOnly(false);
    return 0;
}

int CChatRoom::GetLineCount()
{
    CReadLockHolder read(m_lock);
    if (!read.Held() || !m_lines)
        return -1;
    return static_cast<int>(m_lines->size());
}

void CChatRoom::LogRequest(CMacroContext& scope, const char* name)
{
    std::string line = Expand(scope, std::string("%") + name + "%");
    LogHit(EscapeLogLine(line));
}

void CChatRoom::ServerRequest(WSocket* socketPointer)
{
    WSocket& socket = *socketPointer;
    CMacroContext scope(GetMacroScope());
    CChatClientState state;
    std::shared_ptr<const CServiceSettings> settings = GetSettings();
    // The limits of the HTTP port: a deadline for the whole head, a pace
    // for the body, and a cap on one address's slow heads and bodies.
    CRequestLimits limits(socket, {settings->connTimeout, settings->headerTimeout}, GetSlowHeads());
    limits.BoundReads();
    try {
        socket.SetThrowOnError(true);

        CTextBuffer requestLine(kRequestLineCapacity);
        LineRead read = ReadCappedLine(socket, requestLine, kChatMaxRequestLineBytes);
        if (read == LineRead::TooLong)
            throw CHTTPException(414, Expand(scope, "%http-badcommand%"));
        if (requestLine.IsEmpty())
            throw CHTTPException(501, Expand(scope, "%http-badcommand%"));

        std::string_view line = requestLine.View();
        std::string method(Word(line, 0));
        std::string url(Word(line, 1));
        std::string protocol(Word(line, 2));
        if (protocol.empty())
            throw CHTTPException(501, kHttp09Page);

        std::string headers;
        for (;;) {
            CTextBuffer header;
            LineRead got = ReadCappedLine(socket, header, kChatMaxHeaderLineBytes);
            if (got == LineRead::TooLong || headers.size() + header.GetLength() > kChatMaxHeaderBytes)
                throw CHTTPException(400, Expand(scope, "%http-badcommand%"));
            if (got != LineRead::Line || header.IsEmpty())
                break;
            headers.append(header.View());
            headers.append("\r\n");
        }
        limits.HeadEnded();
        for (char& c : method)
            if (c >= 'a' && c <= 'z')
                c = static_cast<char>(c - 'a' + 'A');

        // The client.
        std::string clientIp;
        FormatIPAddress(clientIp, socket.GetPeerAddress());
        std::string clientHostname;
        if (settings->useDNS)
            ResolveHostName(clientHostname, socket.GetPeerAddress());
        std::string clientHost = clientHostname.empty() ? clientIp : clientHostname;
        state.hostname = clientHostname;
        state.ip = clientIp;
        std::string serverName;
        GetLocalHostName(serverName, socket, settings->useDNS != 0);
        bool secure = socket.IsSecure();

        Define<CStringRefMacro>(scope, "client-hostname", &clientHostname);
        Define<CStringRefMacro>(scope, "client-ip", &clientIp);
        Define<CStringRefMacro>(scope, "client-host", &clientHost);
        Define<CStringRefMacro>(scope, "client-name", &state.name);
        Define<CStringRefMacro>(scope, "client-pict", &state.pict);
        Define<CStringRefMacro>(scope, "client-to", &state.to);
        Define<CStringRefMacro>(scope, "client-text", &state.text);
        Define<CIntRefMacro>(scope, "client-numlines", &state.numlines);
        Define<CCheckedMacro>(scope, "client-showpict", &state.showpict);
        Define<CCheckedMacro>(scope, "client-showhost", &state.showsource);
        Define<CCheckedMacro>(scope, "client-showtime", &state.showtime);
        Define<CCheckedMacro>(scope, "client-realtime", &state.realtime);
        Define<CClientStateMacro>(scope, "client-state", &state, 0);
        Define<CClientStateMacro>(scope, "client-partial-state", &state, 1);
        Define<CValueMacro>(scope, "server", serverName);
        Define<CValueMacro>(scope, "port", std::to_string(secure ? settings->sslPort : settings->port));
        Define<CValueMacro>(scope, "protocol", std::string(secure ? "https" : "http"));

        std::size_t mark = url.find('?');
        std::string_view path = std::string_view(url).substr(0, mark);
        std::string_view query = mark == std::string::npos ? std::string_view() : std::string_view(url).substr(mark + 1);

        // Authorization: Basic against the room's users.
        std::string user;
        std::string_view authorization;
        if (FindHeader(headers, "Authorization", authorization) &&
            platform::EqualsIgnoringCase(Word(authorization, 0), "Basic")) {
            std::string decoded;
            Base64Decode(decoded, Word(authorization, 1));
            std::size_t colon = decoded.find(':');
            user = decoded.substr(0, colon);
            std::string password = colon == std::string::npos ? std::string() : decoded.substr(colon + 1);
            if (!GetUsers().CheckPassword(user, password, &scope))
                user.clear();
        }
        if (!GetAccessList().IsAllowed(method, user, clientIp, &GetGroups(), &scope)) {
            char realm[512];
            std::snprintf(realm, sizeof realm, "WWW-Authenticate: Basic realm=\"%s (%s:%u)\"\r\n",
                          GetRoomSettings()->name.c_str(), serverName.c_str(), settings->port);
            throw CHTTPException(401, Expand(scope, "%http-noauth%"), realm);
        }

        Dispatch(socket, state, scope, method, path, query, headers);
    } catch (const CHTTPException& reply) {
        try {
            SendErrorReply(socket, reply.status, reply.body,
                           reply.extraHeaders.empty() ? nullptr : reply.extraHeaders.c_str(), true, true);
        } catch (...) {
        }
    } catch (const CChatRoomClosed&) {
    } catch (const WSocketException& failure) {
        if (!IsQuietSocketError(failure.error))
            LogMessage(platform::kEventTypeWarning, kEventChatSocketWarning,
                       {"Socket error " + std::to_string(failure.error) + " encountered during chat session."});
        AnswerCutOff(socket);
    } catch (...) {
        LogMessage(platform::kEventTypeError, kEventChatUnexpected, {"CChatRoom::ServerRequest"});
        try {
            SendErrorReply(socket, 500, Expand(scope, "%http-servererror%"), nullptr, true, true);
        } catch (...) {
        }
    }
}

void CChatRoom::Dispatch(WSocket& socket, CChatClientState& state, CMacroContext& scope, std::string_view method,
                         std::string_view path, std::string_view query, const std::string& headers)
{
    int maxLines = static_cast<int>(std::min<std::uint32_t>(GetRoomSettings()->lines, 1u << 20));
    // No client chooses how much the room allocates for him.
    auto parse = [&](std::string_view text) {
        state.ParseForm(text);
        state.numlines = std::clamp(state.numlines, 0, maxLines);
    };
    auto is = [&](std::string_view name) { return platform::EqualsIgnoringCase(path, name); };

    if (method == "GET") {
        if (is("/Join")) {
            SendErrorReply(socket, 200, Expand(scope, "%room-join-form%"), nullptr);
            LogRequest(scope, "log-join");
        } else if (is("/Exit")) {
            parse(query);
            state.text = kExitText;
            AddNewDialog(state, &scope);
            SendErrorReply(socket, 200, Expand(scope, "%room-exit%"), nullptr);
            LogRequest(scope, "log-exit");
        } else if (is("/Index") || path == "/") {
            parse(query);
            SendRoomList(&socket, state, &scope, socket.GetLocalAddress());
            LogRequest(scope, "log-roomlist");
        } else if (is("/Users")) {
            parse(query);
            RenderUserList(&socket, state, &scope);
            LogRequest(scope, "log-userlist");
        } else if (is("/Update")) {
            parse(query);
            socket.SendTextLine("HTTP/1.0 200 OK");
            SendDialogPage(&socket, state, &scope, 1);
        } else if (is("/View")) {
            parse(query);
            SendRealtimeStream(&socket, state, &scope);
        } else {
            SendErrorReply(socket, 404, kNotFoundPage, nullptr);
        }
        return;
    }
    if (method == "POST") {
        if (!is("/Chat"))
            throw CHTTPException(404, Expand(scope, "%http-badurl%"));
        parse(query);
        std::string_view lengthText;
        if (FindHeader(headers, "Content-length", lengthText)) {
            std::int64_t length = 0;
            bool numeric = !lengthText.empty();
            for (char c : lengthText) {
                if (c < '0' || c > '9') {
                    numeric = false;
                    break;
                }
                length = length * 10 + (c - '0');
                if (length > kChatMaxBodyBytes)
                    break;
            }
            if (numeric && length > kChatMaxBodyBytes)
                throw CHTTPException(413, Expand(scope, "%http-badcommand%"));
            if (numeric && length > 0) {
                std::string body(static_cast<std::size_t>(length), '\0');
                int got = socket.ReadExact(body.data(), static_cast<int>(length));
                body.resize(static_cast<std::size_t>(std::max(got, 0)));
                parse(body);
            }
        }
        // Only a web address becomes a link, and it is quoted so that it
        // cannot leave its attribute.
        if (!state.name.empty() && !state.url.empty() && IsHttpLink(state.url)) {
            CTextBuffer link(256);
            link.Append("<A HREF=\"");
            HTMLEncode(&link, state.url);
            link.Append("\">");
            HTMLEncode(&link, state.name);
            link.Append("</A>");
            state.name = link.ToString();
        }
        AddNewDialog(state, &scope);
        state.to.clear();
        SendRealtimeStream(&socket, state, &scope);
        return;
    }
    throw CHTTPException(405, Expand(scope, "%http-badcommand%"));
}
