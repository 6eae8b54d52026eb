#include "http/cgi_script.h"

#include "config/access_list.h"
#include "framework/error_reply.h"
#include "framework/host_name.h"
#include "framework/server_log.h"
#include "framework/server_stats.h"
#include "framework/socket_pair_wait.h"
#include "framework/text_buffer.h"
#include "framework/wsocket.h"
#include "http/access_log.h"
#include "http/cgi_reply.h"
#include "http/dispatch.h"
#include "http/document_cache.h"
#include "http/file_reply.h"
#include "http/header_macros.h"
#include "http/http_exception.h"
#include "http/http_request.h"
#include "http/http_server.h"
#include "http/http_text.h"
#include "http/request_macros.h"
#include "macro/macro.h"
#include "framework/text_util.h"
#include "platform/clock.h"
#include "platform/eventlog.h"
#include "platform/net.h"
#include "platform/process.h"
#include "platform/security.h"
#include "platform/service_database.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>

std::string MakeCGIVariableName(std::string_view name)
{
    std::string out(name);
    for (char& c : out) {
        if (c == '-')
            c = '_';
        else if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    }
    return out;
}

void CCGIEnvironment::Set(std::string_view name, std::string_view value)
{
    for (auto& entry : m_entries) {
        if (entry.first == name) {
            entry.second.assign(value);
            return;
        }
    }
    m_entries.emplace_back(std::string(name), std::string(value));
}

const std::string* CCGIEnvironment::Find(std::string_view name) const
{
    for (const auto& entry : m_entries)
        if (entry.first == name)
            return &entry.second;
    return nullptr;
}

std::vector<std::string> CCGIEnvironment::Block() const
{
    std::vector<std::string> block;
    block.reserve(m_entries.size());
    for (const auto& [name, value] : m_entries)
        block.push_back(name + "=" + value);
    return block;
}

namespace {

constexpr std::size_t kRelayBytes = 32768;
// Output a program writes while its body is still going in is held; past
// this the program is not a CGI program.
constexpr std::size_t kMaxEarlyOutput = 16 * 1024 * 1024;
// A full input pipe is retried this often, to take output in between.
constexpr std::uint32_t kFeedSliceMs = 20;

// A failure before anything was sent: the cgierror page, status 500.
struct CGIFailure {
    int error;
};
// The program stayed silent past its time-out and was killed.
struct CGITimedOut {};
// The client closed the connection while the program was working.
struct CGIClientGone {};

// The inactivity clock of one program; 0 ms is no limit.
class Inactivity {
public:
    explicit Inactivity(std::uint64_t timeoutMs) : m_timeout(timeoutMs) { Renew(); }
    void Renew() { m_deadline = m_timeout ? platform::MonotonicMs() + m_timeout : 0; }
    // What is left, platform::kInfinite for no limit.
    std::uint32_t Left() const
    {
        if (m_deadline == 0)
            return platform::kInfinite;
        std::uint64_t now = platform::MonotonicMs();
        return now >= m_deadline ? 0u : static_cast<std::uint32_t>(std::min<std::uint64_t>(m_deadline - now, 1u << 30));
    }
    bool Passed() const { return m_deadline != 0 && platform::MonotonicMs() >= m_deadline; }

private:
    std::uint64_t m_timeout;
    std::uint64_t m_deadline = 0;
};

std::string HeaderValue(std::string_view headers, std::string_view wanted)
{
    std::string found;
    bool have = false;
    ForEachHeaderLine(headers, [&](std::string_view name, std::string_view value) {
        if (EqualsIgnoringCase(name, wanted)) {
            found.assign(value);
            have = true;
            return false;
        }
        return true;
    });
    return have ? found : std::string();
}

std::int64_t ContentLength(std::string_view headers)
{
    std::string text = HeaderValue(headers, "Content-length");
    std::int64_t length = 0;
    for (char c : text) {
        if (c < '0' || c > '9' || length > (std::int64_t{1} << 50))
            break;
        length = length * 10 + (c - '0');
    }
    return length;
}

// Takes what the program has written without waiting; false at its end.
bool DrainOutput(platform::ChildProcess& child, std::string& held)
{
    char buffer[kRelayBytes];
    for (;;) {
        long got = platform::ReadHandle(child.OutputHandle(), buffer, sizeof buffer);
        if (got > 0) {
            held.append(buffer, static_cast<std::size_t>(got));
            if (held.size() > kMaxEarlyOutput)
                throw CGIFailure{8};
            continue;
        }
        return got < 0; // would block: still open
    }
}

// Hands the body (Content-length bytes from the client) to the program,
// taking its early output meanwhile so that neither side can stall the
// other. The input is closed at the end: the program sees its end.
void FeedBody(WSocket& socket, CHTTPRequest& request, platform::ChildProcess& child, Inactivity& clock,
              std::string& held, bool& outputOpen)
{
    std::int64_t remaining = ContentLength(std::string_view(request.HeaderText.GetData(),
                                                            static_cast<std::size_t>(request.HeaderText.GetLength())));
    std::vector<char> buffer(kRelayBytes);
    bool programReads = true;
    while (remaining > 0) {
        int n = socket.Read(buffer.data(), static_cast<int>(std::min<std::int64_t>(remaining, kRelayBytes)));
        if (n <= 0)
            break;
        remaining -= n;
        request.BodyBytesRead += n;
        std::size_t done = 0;
        // A program that stopped reading still gets its body read off the
        // connection, so the client is not left writing into nothing.
        while (programReads && done < static_cast<std::size_t>(n)) {
            long put = platform::WriteHandle(child.InputHandle(), buffer.data() + done, static_cast<std::size_t>(n) - done);
            if (put > 0) {
                done += static_cast<std::size_t>(put);
                clock.Renew();
                continue;
            }
            if (platform::LastSocketError() != platform::kWsaeWouldBlock) {
                programReads = false;
                break;
            }
            if (outputOpen) {
                std::size_t before = held.size();
                outputOpen = DrainOutput(child, held);
                if (held.size() != before)
                    clock.Renew();
            }
            if (clock.Passed())
                throw CGITimedOut{};
            WaitForHandle(child.InputHandle(), true, std::min(clock.Left(), kFeedSliceMs));
        }
    }
    child.CloseInput();
}

// Reads what the program writes next, waiting within its inactivity time
// and watching the client: a program whose client left is not waited for.
// 0 at its end.
long ReadOutput(platform::ChildProcess& child, WSocket& client, char* buffer, std::size_t size, Inactivity& clock)
{
    clock.Renew();
    for (;;) {
        long got = platform::ReadHandle(child.OutputHandle(), buffer, size);
        if (got >= 0)
            return got;
        if (platform::LastSocketError() != platform::kWsaeWouldBlock)
            return 0;
        std::uint32_t left = clock.Left();
        int ready = left == 0 ? 0 : WaitForInputOrHangUp(child.OutputHandle(), client, left);
        // A connection that cannot be watched (not a socket): the pipe alone.
        if (ready < 0)
            ready = WaitForHandle(child.OutputHandle(), false, left);
        if (ready > 0 && (ready & kPeerHungUp))
            throw CGIClientGone{};
        if (ready == 0 && clock.Passed())
            throw CGITimedOut{};
    }
}

// The program's end: waited for within the time-out, then killed.
void EndProgram(platform::ChildProcess& child, std::uint64_t timeoutMs)
{
    child.CloseOutput();
    if (child.ProcessHandle() >= 0 && !child.TryReap())
        WaitForHandle(child.ProcessHandle(), false,
                      timeoutMs ? static_cast<std::uint32_t>(timeoutMs) : platform::kInfinite);
    child.KillAndReap();
}

std::string WorkingDirectory(const std::string& configured, const std::vector<std::string>& argv)
{
    if (!configured.empty())
        return configured;
    if (argv.empty() || argv[0].size() < 2)
        return {};
    std::size_t slash = argv[0].find_last_of("/\\");
    return slash == std::string::npos ? std::string() : argv[0].substr(0, slash == 0 ? 1 : slash);
}

} // namespace

std::vector<std::string> CGICommandLine(CHTTPRequest& request, const std::vector<std::string>& arguments,
                                        const std::string& mapping)
{
    if (mapping.empty())
        return arguments;
    std::vector<std::string> argv;
    for (const std::string& word : platform::SplitCommandLine(mapping)) {
        if (word == "%cgi-script%") {
            argv.insert(argv.end(), arguments.begin(), arguments.end());
            continue;
        }
        CTextBuffer expanded(1024, 1024);
        request.Scope.Expand(&expanded, word);
        argv.push_back(expanded.ToString());
    }
    return argv;
}

void SendCGIErrorPage(CHTTPServer& server, WSocket& socket, CHTTPRequest& request, bool sendHeaders, bool sendBody)
{
    RegisterRequestMacros(server, socket, request);
    CTextBuffer page(512, 512);
    request.Scope.Expand(&page, "%http-cgierror%");
    SendErrorReply(socket, 500, page.ToString(), nullptr, sendHeaders, sendBody);
    request.Status = 500;
}

namespace {

void BuildEnvironment(CHTTPServer& server, WSocket& socket, CHTTPRequest& request, bool sendHeaders,
                      const std::string& script, CCGIEnvironment& env)
{
    for (const std::string& entry : platform::CurrentEnvironment()) {
        std::size_t equals = entry.find('=');
        if (equals != 0 && equals != std::string::npos)
            env.Set(std::string_view(entry).substr(0, equals), std::string_view(entry).substr(equals + 1));
    }
    std::string_view headers(request.HeaderText.GetData(), static_cast<std::size_t>(request.HeaderText.GetLength()));
    // The client's headers first: the server's own variables below are set
    // after them and so can never be replaced by a header (HTTP_USER,
    // CONTENT_LENGTH...). A "Proxy" header is never passed on: programs
    // would take HTTP_PROXY as their outgoing proxy.
    ForEachHeaderLine(headers, [&](std::string_view name, std::string_view value) {
        if (!name.empty() && !EqualsIgnoringCase(name, "Accept") && !EqualsIgnoringCase(name, "Proxy"))
            env.Set("HTTP_" + MakeCGIVariableName(name), value);
        return true;
    });

    std::shared_ptr<const CServiceSettings> settings = server.GetSettings();
    bool useDNS = settings->useDNS != 0;
    std::string serverName;
    GetLocalHostName(serverName, socket, useDNS);
    const CCacheEntry& entry = *request.Document;
    env.Set("SERVER_SOFTWARE", ProductToken());
    env.Set("SERVER_NAME", serverName);
    env.Set("GATEWAY_INTERFACE", "CGI/1.2");
    env.Set("SERVER_PROTOCOL", sendHeaders ? request.Protocol : "HTTP/0.9");
    env.Set("SERVER_PORT", std::to_string(socket.IsSecure() ? settings->sslPort : settings->port));
    env.Set("REQUEST_METHOD", request.Method);
    env.Set("PATH_INFO", entry.Target);
    // Both name files below the root: the document cache resolved them there.
    env.Set("PATH_TRANSLATED", entry.PathTranslated);
    env.Set("SCRIPT_FILENAME", script);
    env.Set("SCRIPT_NAME", std::string_view(request.URLPath, static_cast<std::size_t>(request.URLPathLength)));
    env.Set("QUERY_STRING", request.QueryText);
    env.Set("CONTENT_LENGTH", std::to_string(ContentLength(headers)));
    env.Set("REMOTE_USER", request.AuthUser);
    env.Set("HTTP_USER", request.UserName);
    env.Set("AUTH_USER", request.UserName);
    env.Set("HTTP_SECURITY", socket.IsSecure() ? "SSL" : "None");
    env.Set("AUTH_PASS", request.Password);
    env.Set("AUTH_TYPE", request.AuthScheme);
    env.Set("CONTENT_TYPE", HeaderValue(headers, "Content-type"));
    if (useDNS && !request.ClientName.empty())
        env.Set("REMOTE_HOST", request.ClientName);
    env.Set("REMOTE_ADDR", request.ClientAddress);
    std::string accept;
    ParseAccept(accept, headers);
    env.Set("HTTP_ACCEPT", accept);
}

void RegisterCGIMacros(CHTTPRequest& request, const std::string& script)
{
    if (request.Scope.IsReadOnly())
        return;
    request.Scope.Register("cgi-script", std::make_unique<CValueMacro>(script));
    std::string query;
    std::string_view text = request.QueryText;
    if (!text.empty() && text.find('=') == std::string_view::npos)
        query = URLDecodeString(text);
    request.Scope.Register("cgi-query", std::make_unique<CValueMacro>(query));
}

} // namespace

int CHTTPServer::CGIScript(WSocket& socket, CHTTPRequest& request, bool sendHeaders, bool sendBody)
{
    CCacheEntry& entry = *request.Document;
    const std::string script = entry.FilePath;
    const std::uint64_t timeoutMs = std::uint64_t{GetHTTPSettings()->cgiTimeout} * 1024;
    InitRequestMacros(*this, request);
    // A program that is not there is a missing document, not a failed program.
    std::error_code missing;
    if (!std::filesystem::is_regular_file(script, missing))
        ThrowRequestPage(*this, socket, request, 404, "%http-badurl%");

    CheckProgramAccess(socket, request, script);

    RegisterCGIMacros(request, script);
    bool sentAnything = false;
    try {
        platform::ChildStart start;
        CCGIEnvironment env;
        BuildEnvironment(*this, socket, request, sendHeaders, script, env);
        start.environment = env.Block();
        start.explicitEnvironment = true;
        start.arguments = CGICommandLine(request, {script}, entry.CGIMapping.CommandLine);
        start.workingDirectory = WorkingDirectory(entry.CGIMapping.WorkingDir, start.arguments);
        platform::LogonTokenPtr user = platform::CurrentImpersonation();
        start.credentials = user.get();

        platform::ChildProcess child;
        int started = child.Start(start);
        if (started == platform::kErrorAccessDeniedForStart)
            SendAuthRequired(socket, request);
        if (started != 0)
            throw CGIFailure{started};

        Inactivity clock(timeoutMs);
        std::string held;
        bool outputOpen = true;
        try {
            FeedBody(socket, request, child, clock, held, outputOpen);
        } catch (const CGITimedOut&) {
            child.KillAndReap();
            throw CGIFailure{1460};
        }

        // The header part; bytes past it are the start of the body.
        CCGIReply reply;
        bool nph = entry.ScriptSegment.rfind("nph-", 0) == 0;
        std::string body;
        if (nph) {
            body.swap(held);
        } else {
            std::size_t used = reply.Feed(held);
            body = held.substr(used);
            std::vector<char> buffer(kRelayBytes);
            try {
                while (!reply.IsFinished()) {
                    long got = outputOpen ? ReadOutput(child, socket, buffer.data(), buffer.size(), clock) : 0;
                    if (got == 0) {
                        outputOpen = false;
                        reply.End();
                        break;
                    }
                    std::size_t took = reply.Feed(std::string_view(buffer.data(), static_cast<std::size_t>(got)));
                    body.append(buffer.data() + took, static_cast<std::size_t>(got) - took);
                }
            } catch (const CGITimedOut&) {
                child.KillAndReap();
                throw CGIFailure{1460};
            }
            if (reply.GetState() == CCGIReply::State::Invalid)
                throw CGIFailure{13};
        }

        int result = 1;
        if (!nph && !reply.Location().empty()) {
            sentAnything = true;
            SendRedirect(socket, request, reply.Location(), sendHeaders, sendBody);
            request.Status = 302;
            // The rest of the output is not wanted: the pipe closes and the
            // program ends or is ended.
            EndProgram(child, timeoutMs);
        } else {
            sentAnything = true;
            if (nph) {
                request.Status = 200;
            } else if (reply.GetState() == CCGIReply::State::Raw) {
                request.Status = std::atoi(reply.RawStatusLine().c_str() + 8);
                socket.SendTextLine(reply.RawStatusLine());
            } else {
                request.Status = reply.StatusCode();
                if (sendHeaders) {
                    std::string head = "HTTP/1.0 " + reply.StatusText() + "\r\n" + reply.ExtraHeaders() +
                                       "Server: " + ProductToken() + "\r\n\r\n";
                    socket.SendText(head);
                }
            }
            if (sendBody && !body.empty())
                socket.SendText(body);
            socket.Flush();
            std::vector<char> buffer(kRelayBytes);
            try {
                while (outputOpen) {
                    long got = ReadOutput(child, socket, buffer.data(), buffer.size(), clock);
                    if (got == 0)
                        break;
                    if (sendBody) {
                        socket.Send(buffer.data(), static_cast<int>(got), false);
                        request.BytesSent += got;
                    }
                }
                EndProgram(child, timeoutMs);
            } catch (const CGITimedOut&) {
                child.KillAndReap();
            }
        }
        if (GetStats().IsMapped())
            GetStats().Add(server_stat_offset::kCGIHits, 1);
        return result;
    } catch (const CGIFailure&) {
        if (sentAnything)
            return 0;
        SendCGIErrorPage(*this, socket, request, sendHeaders, sendBody);
        return 0;
    } catch (const CGIClientGone&) {
        // The program's session was ended with it (the child's destructor
        // kills its group and reaps it); nobody is left to answer. Logged
        // as a program the server ended, unless a reply had begun.
        if (request.Status == 0)
            request.Status = 500;
        return 0;
    } catch (const CHTTPException&) {
        throw;
    } catch (const std::exception&) {
        LogMessage(platform::kEventTypeError, kEventUnexpectedException, {"CHTTPServer::CGIScript"});
        return 0;
    }
}
