#include "proxy/http_proxy.h"

#include "framework/error_reply.h"
#include "framework/outgoing_connect.h"
#include "framework/reply_socket.h"
#include "framework/socket_pair_wait.h"
#include "framework/text_util.h"
#include "macro/macro.h"
#include "macro/macro_exception.h"
#include "platform/ascii.h"
#include "platform/clock.h"
#include "proxy/cache_fill.h"
#include "proxy/ftp_listing.h"

#include <cstring>
#include <vector>

using platform::EqualsIgnoringCase;

namespace {

constexpr int kDataChunk = 16384;
// One reply of the control connection: real ones (a greeting with a notice,
// FEAT, HELP) are a few dozen lines. A server that sends more, or takes
// longer than the socket time-out for one whole reply, is dripping lines to
// hold the connection.
constexpr int kMaxReplyLines = 200;
constexpr int kMaxReplyBytes = 16 * 1024;
constexpr const char* kAnonymousUser = "anonymous";
constexpr const char* kAnonymousPassword = "relay-gate";

// Ends the dialogue; the status was set just before.
struct CFTPException {};

bool HasLineBreak(std::string_view text) { return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos; }

// One FTP dialogue in active mode. Every failure sets the status and throws
// CFTPException; socket failures of the listener and the data connection
// are thrown as WSocketException.
class CFTPDialogue {
public:
    CFTPDialogue(CHTTPProxy& proxy, const std::string& method, WSocket& out, CProxyRequest& request,
                 const CUrlParts& url, unsigned flags, std::uint32_t timeout)
        : m_proxy(proxy), m_method(method), m_out(out), m_request(request), m_url(url), m_flags(flags),
          m_timeout(timeout)
    {
    }

    int Run();

    int Status() const { return m_status; }
    bool HeaderSent() const { return m_headerSent; }
    std::string_view LastReply() const { return m_replyText.View(); }

private:
    [[noreturn]] void Fail(int status)
    {
        m_status = status;
        throw CFTPException{};
    }
    // Sends one command and reads its reply. A reply that cannot be read
    // (closed, silent or garbled) ends the dialogue as a time-out.
    int Command(std::string_view command)
    {
        std::string line(command);
        line += "\r\n";
        m_control.SendText(line, false);
        return Reply();
    }
    int Reply()
    {
        int code = ReadReply();
        if (code < 0)
            Fail(504);
        return code;
    }
    // Reads one reply into the reply text, as WReplySocket::ReadReply does,
    // while the client is watched (unless m_watchClient is off): a client
    // that leaves ends the dialogue (thrown on the output). Bounded in lines,
    // bytes and time (a time-out thrown on the control connection). The
    // code, or -1 for none.
    int ReadReply();
    static bool Fails(int code) { return code / 100 >= 3; }

    void Login();
    void ChangeDirectory();
    void PrepareData();
    void AcceptData();
    // The reply that ends a transfer: anything but 2xx means it failed.
    void ReadCompletion();
    void SendHeader(std::string_view type);
    // A name the server refused as a file but takes as a folder is asked
    // again with its slash (302), so that the listing's relative links
    // resolve inside it.
    void FailUnlessFolder();
    void RetrieveFile();
    void ProbeFile();
    void ListDirectory();
    void StoreFile(std::int64_t length);

    CHTTPProxy& m_proxy;
    const std::string& m_method;
    WSocket& m_out;
    CProxyRequest& m_request;
    const CUrlParts& m_url;
    unsigned m_flags;
    std::uint32_t m_timeout;

    WSocket m_control;
    CTextBuffer m_replyText{1024};
    WSocketBase m_listener;
    WSocket m_data;
    std::uint32_t m_serverAddress = 0;
    std::string m_user = kAnonymousUser;
    std::string m_password = kAnonymousPassword;
    std::string m_directory;
    std::string m_fileName;
    int m_status = 500;
    bool m_headerSent = false;
    bool m_watchClient = true;
};

int CFTPDialogue::Run()
{
    // Everything the server will be sent is checked before a connection.
    std::string path;
    if (!DecodeURLPath(path, m_url.path) || HasLineBreak(path))
        Fail(404);
    std::size_t slash = path.rfind('/');
    m_directory = slash == std::string::npos ? std::string() : path.substr(0, slash);
    if (m_directory.empty())
        m_directory = "/";
    m_fileName = slash == std::string::npos ? path : path.substr(slash + 1);

    const bool isGet = m_method == "GET";
    const bool isHead = m_method == "HEAD";
    const bool isPut = m_method == "PUT";
    if (!isGet && !isHead && !isPut)
        Fail(405);
    std::int64_t length = -1;
    if (isPut) {
        if (m_fileName.empty())
            Fail(404);
        std::string value;
        GetHeaderValue(value, "content-length", m_request.headerText.View(), 0);
        char* end = nullptr;
        long long parsed = value.empty() ? -1 : std::strtoll(value.c_str(), &end, 10);
        if (parsed < 0 || end == nullptr || *end != '\0')
            Fail(411);
        length = parsed;
    }
    if (!(m_flags & kDropAuthorization)) {
        std::string authorization;
        GetHeaderValue(authorization, "authorization", m_request.headerText.View(), 0);
        if (EqualsIgnoringCase(Word(authorization, 0), "basic")) {
            std::string decoded;
            Base64Decode(decoded, Word(authorization, 1));
            // The user ends at the first colon; the password is all the rest,
            // colons included.
            std::size_t colon = decoded.find(':');
            m_user = decoded.substr(0, colon);
            m_password = colon == std::string::npos ? std::string() : decoded.substr(colon + 1);
            if (HasLineBreak(m_user) || HasLineBreak(m_password))
                Fail(401);
        }
    }

    m_control.SetTimeout(m_timeout);
    if (ConnectToPort(m_control, m_url.host, static_cast<std::uint32_t>(m_url.port)) < 0) {
        m_proxy.LogUnreachable(m_request, m_url.host, static_cast<std::uint32_t>(m_url.port),
                               platform::LastSocketError());
        // Every server that cannot be reached gets the time-out page, as an
        // http or gopher origin gets its one; the cause is in the server log.
        Fail(504);
    }
    std::uint16_t ignored = 0;
    platform::PeerAddress(m_control.GetHandle(), &m_serverAddress, &ignored);
    Reply(); // the greeting
    Login();
    ChangeDirectory();
    PrepareData();

    if (isPut) {
        StoreFile(length);
        m_status = 201;
    } else if (!m_fileName.empty()) {
        if (isGet)
            RetrieveFile();
        else
            ProbeFile();
        m_status = 200;
    } else {
        if (isGet) {
            ListDirectory();
        } else {
            SendHeader("text/html");
        }
        m_status = 200;
    }
    m_control.SendText("QUIT\r\n", false);
    return m_status;
}

int CFTPDialogue::ReadReply()
{
    m_replyText.Empty();
    const std::uint64_t deadline = platform::MonotonicMs() + m_timeout;
    CTextBuffer line(256);
    CReplyLines reply;
    for (int lines = 0;; ++lines) {
        std::uint64_t now = platform::MonotonicMs();
        if (lines >= kMaxReplyLines || m_replyText.GetLength() > kMaxReplyBytes)
            throw WSocketException(&m_control, kLineTooLongError);
        if (now >= deadline)
            throw WSocketException(&m_control, platform::kWsaeTimedOut);
        line.Empty();
        // Nothing has reached the client yet, so a client that ended its
        // side cannot be told from one that left. An HTTP/1.0 request is
        // its connection's last, and its client may end its side and wait
        // (a dripping server is still bounded by the caps and the
        // deadline); any other client that ends its side has left.
        int got = m_watchClient ? ReadLineWatched(m_control, m_out, line, static_cast<std::uint32_t>(deadline - now),
                                                  m_request.version != "HTTP/1.0")
                                : m_control.ReadLine(line, false);
        if (got <= 0)
            return reply.Code();
        std::string_view text = line.View();
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
            text.remove_suffix(1);
        m_replyText.Append(text);
        if (reply.Take(text))
            return reply.Code();
    }
}

void CFTPDialogue::Login()
{
    int code = Command("USER " + m_user);
    if (code == 331)
        code = Command("PASS " + m_password);
    if (code / 100 == 5)
        Fail(401);
}

void CFTPDialogue::ChangeDirectory()
{
    if (!Fails(Command("CWD " + m_directory)))
        return;
    // Some servers take one folder at a time only.
    std::size_t at = 0;
    while (at < m_directory.size()) {
        std::size_t end = m_directory.find('/', at);
        if (end == std::string::npos)
            end = m_directory.size();
        if (end > at && Fails(Command("CWD " + m_directory.substr(at, end - at))))
            Fail(404);
        at = end + 1;
    }
}

void CFTPDialogue::PrepareData()
{
    m_listener.SetThrowOnError(true);
    std::uint32_t local = m_control.GetLocalAddress();
    std::uint16_t port = 0;
    ListenOnFreePort(m_listener, local, &port, 5);
    const auto* bytes = reinterpret_cast<const unsigned char*>(&local);
    std::string command = "PORT " + std::to_string(bytes[0]) + "," + std::to_string(bytes[1]) + "," +
                          std::to_string(bytes[2]) + "," + std::to_string(bytes[3]) + "," +
                          std::to_string(port >> 8) + "," + std::to_string(port & 0xFF);
    if (Fails(Command(command)))
        Fail(500);
}

void CFTPDialogue::AcceptData()
{
    // Only the server itself may connect: anyone else who finds the port is
    // turned away, and the wait goes on until its deadline.
    const std::uint64_t deadline = platform::MonotonicMs() + m_timeout;
    for (;;) {
        std::uint64_t now = platform::MonotonicMs();
        if (now >= deadline)
            throw WSocketException(&m_listener, platform::kWsaeTimedOut);
        m_listener.SetTimeout(static_cast<std::uint32_t>(deadline - now));
        std::uint32_t peer = 0;
        int handle = m_listener.Accept(&peer);
        if (peer == m_serverAddress) {
            m_data.Attach(handle);
            m_data.SetTimeout(m_timeout);
            m_data.SetThrowOnError(true);
            return;
        }
        platform::CloseHandle(handle);
    }
}

void CFTPDialogue::ReadCompletion()
{
    if (Reply() / 100 != 2)
        Fail(500);
}

void CFTPDialogue::SendHeader(std::string_view type)
{
    std::string head = "HTTP/1.0 200 OK\r\n";
    if (!type.empty()) {
        head += "Content-type: ";
        head.append(type);
        head += "\r\n";
    }
    head += "\r\n";
    SendToClient(m_out, m_request, head);
    m_headerSent = true;
}

void CFTPDialogue::FailUnlessFolder()
{
    Fail(Fails(Command("CWD " + m_fileName)) ? 404 : 302);
}

void CFTPDialogue::RetrieveFile()
{
    if (Fails(Command("TYPE I")))
        Fail(500);
    if (Fails(Command("RETR " + m_fileName)))
        FailUnlessFolder();
    // The 200 header waits for the data connection: sent before it, a
    // server that never connects would leave the client (and the cache)
    // an empty document marked OK instead of the time-out page.
    AcceptData();
    std::string type;
    CRegStringMap& types = m_proxy.GetFTPExtMappings();
    if (!types.LookupLocked(FTPExtension(m_fileName), type))
        types.LookupLocked("*", type);
    SendHeader(type);
    CopyToClient(m_data, m_out, m_request, m_timeout);
    m_data.Close();
    ReadCompletion();
}

void CFTPDialogue::ProbeFile()
{
    // A HEAD must not call a missing file found: its size tells. A server
    // without SIZE cannot tell, and the file is taken to be there.
    if (Fails(Command("TYPE I")))
        Fail(500);
    int code = Command("SIZE " + m_fileName);
    if (Fails(code) && code != 500 && code != 501 && code != 502 && code != 504)
        FailUnlessFolder();
    std::string type;
    CRegStringMap& types = m_proxy.GetFTPExtMappings();
    if (!types.LookupLocked(FTPExtension(m_fileName), type))
        types.LookupLocked("*", type);
    SendHeader(type);
}

void CFTPDialogue::ListDirectory()
{
    int code = Command("LIST");
    // 2xx: done without a listing (nothing to list); anything else but a
    // preliminary reply opens no data connection.
    const bool empty = code / 100 == 2;
    if (!empty && code / 100 != 1)
        Fail(500);
    if (!empty)
        AcceptData();
    SendHeader("text/html");
    CTextBuffer page(4096);
    AppendFTPListHead(page, m_directory);
    SendToClient(m_out, m_request, page.View());
    CRegStringMap& types = m_proxy.GetFTPExtMappings();
    CRegStringMap& icons = m_proxy.GetFTPIcons();
    CTextBuffer line(1024);
    while (!empty) {
        line.Empty();
        int got = ReadLineWatched(m_data, m_out, line, m_timeout);
        if (line.IsEmpty() && got <= 0)
            break;
        CFTPListEntry entry;
        if (ParseFTPListLine(line.View(), entry)) {
            std::string type;
            std::string icon;
            if (entry.directory) {
                icons.LookupLocked("**", icon);
            } else {
                if (!types.LookupLocked(FTPExtension(entry.name), type))
                    types.LookupLocked("*", type);
                if (!icons.LookupLocked(LowerCaseString(type), icon))
                    icons.LookupLocked("*", icon);
            }
            page.Empty();
            AppendFTPListEntry(page, entry, type, icon);
            SendToClient(m_out, m_request, page.View());
        }
        if (got <= 0)
            break;
    }
    page.Empty();
    AppendFTPListTail(page);
    SendToClient(m_out, m_request, page.View());
    if (!empty) {
        m_data.Close();
        ReadCompletion();
    }
}

void CFTPDialogue::StoreFile(std::int64_t length)
{
    if (Fails(Command("TYPE I")))
        Fail(500);
    if (Fails(Command("STOR " + m_fileName)))
        Fail(404);
    AcceptData();
    std::vector<char> buffer(kDataChunk);
    std::int64_t left = length;
    while (left > 0) {
        int want = static_cast<int>(std::min<std::int64_t>(left, kDataChunk));
        int got = m_out.Read(buffer.data(), want);
        if (got <= 0)
            break;
        if (m_data.Send(buffer.data(), got) < 0)
            break;
        left -= got;
    }
    m_data.Close();
    if (left > 0) {
        // The client's body ended early: the part the server stored goes,
        // whether the client is still there or not.
        m_watchClient = false;
        ReadReply();
        Command("DELE " + m_fileName);
        Fail(500);
    }
    ReadCompletion();
}

} // namespace

void SendToClient(WSocket& out, CProxyRequest& request, std::string_view bytes)
{
    if (request.fill && &request.fill->Client() == &out) {
        request.fill->Put(bytes, true);
        return;
    }
    if (out.Send(bytes.data(), static_cast<int>(bytes.size())) < 0)
        throw WSocketException(&out, platform::LastSocketError());
    if (!out.IsFileHandle())
        request.bytes += bytes.size();
}

bool AwaitSource(WSocket& source, WSocket& out, std::uint32_t milliseconds, bool endIsLeaving)
{
    if (source.GetAppInput().GetHeld() > 0)
        return true;
    // What the client is owed goes before any wait on a slow source.
    if (out.Flush() < 0)
        throw WSocketException(&out, platform::LastSocketError());
    const std::uint64_t deadline = platform::MonotonicMs() + milliseconds;
    // A client that ended its side after its request, or sent bytes ahead
    // (a body that is read later), is then watched only for leaving.
    bool clientEnded = false;
    for (;;) {
        std::uint64_t now = platform::MonotonicMs();
        if (now >= deadline)
            return false;
        const bool watchInput = !clientEnded && out.GetAppInput().GetHeld() == 0;
        int ready = WaitForEitherInput(out, source, static_cast<std::uint32_t>(deadline - now), watchInput);
        if (ready < 0)
            throw WSocketException(&source, platform::LastSocketError());
        if (ready == 0)
            return false;
        if (ready & kSecondSocketReady)
            return true;
        if (!watchInput)
            throw WSocketException(&out, platform::kWsaeConnReset);
        int got = out.Fill();
        if (got < 0)
            throw WSocketException(&out, platform::LastSocketError());
        if (got == 0 && endIsLeaving)
            throw WSocketException(&out, platform::kWsaeConnReset);
        if (got == 0)
            clientEnded = true;
    }
}

int ReadLineWatched(WSocket& source, WSocket& out, CTextBuffer& line, std::uint32_t milliseconds, bool endIsLeaving)
{
    const int before = line.GetLength();
    for (;;) {
        if (!AwaitSource(source, out, milliseconds, endIsLeaving))
            throw WSocketException(&source, platform::kWsaeTimedOut);
        CAsyncIO& input = source.GetAppInput();
        if (input.GetHeld() == 0) {
            // Ready with nothing held: the end, or a failure Fill reports.
            int got = source.Fill();
            if (got <= 0)
                return line.GetLength() > before ? line.GetLength() - before : got;
            continue;
        }
        const char* start = input.GetData() + input.GetStart();
        std::size_t held = static_cast<std::size_t>(input.GetHeld());
        const char* lf = static_cast<const char*>(std::memchr(start, '\n', held));
        std::size_t n = lf ? static_cast<std::size_t>(lf - start) + 1 : held;
        if (line.GetLength() - before + static_cast<int>(n) > WSocket::kMaxLineLength)
            throw WSocketException(&source, kLineTooLongError);
        line.Append(start, static_cast<int>(n));
        input.SetStart(input.GetStart() + static_cast<int>(n));
        if (lf)
            return line.GetLength() - before;
    }
}

void CopyToClient(WSocket& source, WSocket& out, CProxyRequest& request, std::uint32_t milliseconds)
{
    std::vector<char> buffer(kDataChunk);
    for (;;) {
        if (!AwaitSource(source, out, milliseconds))
            throw WSocketException(&source, platform::kWsaeTimedOut);
        int got = source.Read(buffer.data(), kDataChunk);
        if (got <= 0)
            break;
        SendToClient(out, request, std::string_view(buffer.data(), static_cast<std::size_t>(got)));
    }
}

void SendPage(WSocket& out, CProxyRequest& request, int status, std::string_view body, bool withBody)
{
    SendToClient(out, request, FormatErrorReply(status, body, nullptr, true, withBody));
    if (out.Flush() < 0)
        throw WSocketException(&out, platform::LastSocketError());
}

int CHTTPProxy::CascadeRequest(const std::string& host, std::uint32_t port, const std::string& method, WSocket& out,
                               CProxyRequest& request, const CUrlParts& url, unsigned flags)
{
    WSocket upstream;
    upstream.SetTimeout(GetSettings()->connTimeout * kMsPerTimeoutSecond);
    if (ConnectToPort(upstream, host, port) < 0) {
        LogUnreachable(request, host, port, platform::LastSocketError());
        return -2;
    }
    CTextBuffer head(4096);
    // HTTP/1.0 without keep-alive, as every upstream request: the close ends
    // the reply.
    head.Append(method + " " + request.url + " HTTP/1.0\r\n");
    FilterProxyHeaders(head, request.headerText.View(), flags | kDropConnection | kSendOwnUserAgent, 0);
    AppendHostLine(head, url);
    head.Append("Connection: close\r\n\r\n");
    if (upstream.SendText(head.View(), false) < 0)
        return -2;
    CTextBuffer firstLine(256);
    if (RelayData(out, upstream, &firstLine, &request) < 0)
        return -1;
    return ParseStatusLine(firstLine.View());
}

int CHTTPProxy::FTPRequest(const std::string& method, WSocket& out, CProxyRequest& request, const CUrlParts& url,
                           unsigned flags)
{
    auto [proxyHost, proxyPort] = UpstreamProxy(&CProxySettings::ftpProxyHost, &CProxySettings::ftpProxyPort);
    std::uint32_t timeout = ClientTimeoutMs();

    int status = 0;
    bool headerSent = false;
    std::string lastReply;
    if (!proxyHost.empty()) {
        int relayed = CascadeRequest(proxyHost, proxyPort, method, out, request, url, flags);
        if (relayed != -2)
            return relayed;
        status = 504;
    } else {
        CFTPDialogue dialogue(*this, method, out, request, url, flags, timeout);
        try {
            status = dialogue.Run();
            if (status == 201)
                SendPage(out, request, 201, ExpandPage(request, "%http-created%"), true);
            return status;
        } catch (const CFTPException&) {
            status = dialogue.Status();
        } catch (const WSocketException& failure) {
            if (failure.socket == &out)
                throw;
            status = failure.error == platform::kWsaeTimedOut ? 504 : 503;
        }
        headerSent = dialogue.HeaderSent();
        lastReply.assign(dialogue.LastReply());
    }

    std::string_view page;
    std::string extraHeaders;
    switch (status) {
    case 302: {
        std::string location = url.Format() + "/";
        CTextBuffer escaped(256);
        HTMLEncode(&escaped, location);
        request.scope.Register("newurl", std::make_unique<CValueMacro>(escaped.ToString()));
        extraHeaders = "Location: " + location + "\r\n";
        page = "%http-redirect%";
        break;
    }
    case 401:
        page = "%http-noauth%";
        break;
    case 404:
        page = "%http-badurl%";
        break;
    case 503:
        page = "%http-ftperror%";
        break;
    case 504:
        page = "%http-ftptimeout%";
        break;
    default: {
        // The server's words are shown as text, never as markup or macros.
        CTextBuffer escaped(256);
        HTMLEncode(&escaped, lastReply);
        request.scope.Register("ftpmsg", std::make_unique<CValueMacro>(escaped.ToString()));
        page = "%http-ftpmsg%";
        break;
    }
    }
    std::string body = ExpandPage(request, page);
    if (headerSent)
        throw CHTTPException(status, std::move(body));
    if (!extraHeaders.empty()) {
        SendToClient(out, request, FormatErrorReply(status, body, extraHeaders.c_str(), true, method != "HEAD"));
        if (out.Flush() < 0)
            throw WSocketException(&out, platform::LastSocketError());
        return status;
    }
    SendPage(out, request, status, body, method != "HEAD");
    return status;
}
