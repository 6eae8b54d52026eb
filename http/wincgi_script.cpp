// CHTTPServer::WinCGIScript: a program that learns of its request from a
// profile file, finds the body in a content file and writes its reply into
// an output file, which the server parses like CGI output once the program
// has ended.

#include "config/access_list.h"
#include "framework/error_reply.h"
#include "framework/host_name.h"
#include "framework/server_log.h"
#include "framework/server_stats.h"
#include "framework/socket_pair_wait.h"
#include "framework/text_buffer.h"
#include "framework/text_util.h"
#include "framework/wsocket.h"
#include "http/cgi_reply.h"
#include "http/cgi_script.h"
#include "http/dispatch.h"
#include "http/document_cache.h"
#include "http/form.h"
#include "http/header_macros.h"
#include "http/http_exception.h"
#include "http/http_request.h"
#include "http/http_server.h"
#include "http/http_text.h"
#include "http/request_macros.h"
#include "http/wincgi_form.h"
#include "macro/macro.h"
#include "platform/clock.h"
#include "platform/eventlog.h"
#include "platform/files.h"
#include "platform/net.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "platform/profile.h"
#include "platform/security.h"

#include <ctime>
#include <filesystem>
#include <fcntl.h>

namespace {

constexpr std::size_t kOutputChunk = 8192;
constexpr std::size_t kBodyChunk = 64 * 1024;
constexpr const char* kURLEncodedType = "application/x-www-form-urlencoded";

constexpr const char* kBadFieldPage =
    "<HTML><HEAD><TITLE>400 Bad Request</TITLE></HEAD><BODY><H1>400 Bad Request</H1>"
    "A form field name holds a line break or cannot otherwise be passed to the program.</BODY></HTML>";

// A failure before anything was sent: the cgierror page.
struct WinCGIFailure {
    int error;
};

// Every temporary file of one request, removed when the request ends
// whichever way it ends.
class CTempFileList {
public:
    CTempFileList() = default;
    ~CTempFileList()
    {
        for (const std::string& path : m_paths) {
            std::error_code ignored;
            std::filesystem::remove(path, ignored);
        }
    }
    CTempFileList(const CTempFileList&) = delete;
    CTempFileList& operator=(const CTempFileList&) = delete;

    // A new empty file in the temp directory, recorded; its path.
    std::string Create()
    {
        std::string path;
        int handle = platform::CreateTempFile(platform::TempDirectory(), "CGI", &path);
        if (handle < 0)
            throw WinCGIFailure{kErrorFromTempFile};
        platform::CloseHandle(handle);
        m_paths.push_back(path);
        return path;
    }

private:
    static constexpr int kErrorFromTempFile = 82; // ERROR_CANNOT_MAKE
    std::vector<std::string> m_paths;
};

// Seconds to add to UTC to reach local time, daylight saving included.
long LocalOffsetSeconds()
{
    std::time_t now = std::time(nullptr);
    std::tm local {};
    if (::localtime_r(&now, &local) == nullptr)
        return 0;
    return local.tm_gmtoff;
}

// Writes a file whole; false when it could not.
bool WriteWholeFile(const std::string& path, std::string_view bytes)
{
    int handle = platform::OpenFile(path.c_str(), O_WRONLY | O_TRUNC);
    if (handle < 0)
        return false;
    bool ok = platform::WriteAll(handle, bytes);
    platform::CloseHandle(handle);
    return ok;
}

// The request's profile: the [CGI] and [System] sections, the headers in
// [Accept] and [Extra Headers].
void DescribeRequest(CHTTPServer& server, WSocket& socket, CHTTPRequest& request, const std::string& contentPath,
                     const std::string& outputPath, platform::Profile& profile)
{
    const CCacheEntry& entry = *request.Document;
    std::string_view headers = request.HeaderText.View();
    std::shared_ptr<const CServiceSettings> settings = server.GetSettings();
    const bool useDNS = settings->useDNS != 0;
    const bool post = std::string_view(request.Method) == "POST";
    std::string serverName;
    GetLocalHostName(serverName, socket, useDNS);
    const std::uint32_t port = socket.IsSecure() ? settings->sslPort : settings->port;
    std::string_view query = request.QueryText;

    auto cgi = [&](std::string_view key, std::string_view value) { profile.SetString("CGI", key, value); };
    cgi("Request Protocol", request.Protocol);
    cgi("Request Method", request.Method);
    cgi("Executable Path", std::string_view(request.URLPath, static_cast<std::size_t>(request.URLPathLength)));
    cgi("Logical Path", entry.Target);
    cgi("Physical Path", entry.PathTranslated);
    cgi("Query String", query.find('=') == std::string_view::npos ? query : std::string_view());
    cgi("Request Range", FindHeaderValue(headers, "Range"));
    cgi("Referer", FindHeaderValue(headers, "Referer"));
    cgi("From", FindHeaderValue(headers, "From"));
    cgi("User Agent", FindHeaderValue(headers, "User-Agent"));
    if (post) {
        cgi("Content Type", FindHeaderValue(headers, "Content-type"));
        cgi("Content Length", std::to_string(ParseContentLength(FindHeaderValue(headers, "Content-length"))));
    }
    cgi("Content File", contentPath);
    cgi("Server Software", ProductToken());
    cgi("Server Name", serverName);
    cgi("Server Port", std::to_string(port));
    cgi("Server Admin", settings->administrator);
    cgi("CGI Version", "CGI/1.2 (Win)");
    cgi("Security", socket.IsSecure() ? "SSL" : "None");
    if (useDNS && !request.ClientName.empty())
        cgi("Remote Host", request.ClientName);
    cgi("Remote Address", request.ClientAddress);
    cgi("Authentication Method", request.AuthScheme);
    cgi("Authentication Realm",
        server.GetHTTPSettings()->description + " (" + serverName + ":" + std::to_string(settings->port) + ")");
    cgi("Authenticated Username", request.UserName);
    cgi("Authenticated Password", request.Password);

    profile.SetString("System", "GMT Offset", std::to_string(LocalOffsetSeconds()));
    profile.SetString("System", "Debug Mode", "No");
    profile.SetString("System", "Content File", contentPath);
    profile.SetString("System", "Output File", outputPath);

    // A header whose name or first word cannot be a key is left out: the
    // program could never read it back.
    ForEachHeaderLine(headers, [&](std::string_view name, std::string_view value) {
        if (EqualsIgnoringCase(name, "Accept")) {
            std::size_t end = value.find(' ');
            std::string_view type = value.substr(0, end);
            std::string_view second;
            if (end != std::string_view::npos) {
                std::size_t at = value.find_first_not_of(' ', end);
                if (at != std::string_view::npos)
                    second = value.substr(at, value.find(' ', at) - at);
            }
            profile.SetString("Accept", type, second.empty() ? std::string_view("Yes") : second);
        } else {
            profile.SetString("Extra Headers", name, value);
        }
        return true;
    });
}

// Reads the body into the content file; a URL-encoded one also fills the
// form sections, its longer values written to files of their own.
void TakeBody(WSocket& socket, CHTTPRequest& request, const std::string& contentPath, CTempFileList& files,
              platform::Profile& profile)
{
    std::string_view headers = request.HeaderText.View();
    const std::int64_t length = ParseContentLength(FindHeaderValue(headers, "Content-length"));
    CheckFormBodySize(length, request.MaxFormBytes);
    const bool form = EqualsIgnoringCase(ParseContentType(FindHeaderValue(headers, "Content-type")).type,
                                         kURLEncodedType);

    int content = platform::OpenFile(contentPath.c_str(), O_WRONLY | O_TRUNC);
    if (content < 0)
        throw WinCGIFailure{29};
    std::string body;
    std::vector<char> buffer(kBodyChunk);
    bool written = true;
    for (std::int64_t left = length; left > 0;) {
        int got = socket.ReadExact(buffer.data(), static_cast<int>(std::min<std::int64_t>(left, kBodyChunk)));
        if (got <= 0)
            break;
        left -= got;
        request.BodyBytesRead += got;
        written = written && platform::WriteAll(content, buffer.data(), static_cast<std::size_t>(got));
        if (form)
            body.append(buffer.data(), static_cast<std::size_t>(got));
    }
    platform::CloseHandle(content);
    if (!written)
        throw WinCGIFailure{29};
    if (!form)
        return;

    CWinCGIForm fields;
    if (!fields.Parse(body))
        throw CHTTPException(400, kBadFieldPage);
    // One section per kind, in the order the kinds first appear; a form may
    // hold many thousands of fields, so each section is added whole.
    const char* const names[] = {"Form Literal", "Form External", "Form Huge"};
    std::vector<std::pair<std::string, std::string>> sections[3];
    std::vector<int> order;
    for (const CWinCGIField& field : fields.Fields()) {
        const int kind = static_cast<int>(field.kind);
        if (sections[kind].empty())
            order.push_back(kind);
        switch (field.kind) {
        case CWinCGIField::Kind::Literal:
            sections[kind].emplace_back(field.key, field.value);
            break;
        case CWinCGIField::Kind::External: {
            std::string path = files.Create();
            if (!WriteWholeFile(path, field.value))
                throw WinCGIFailure{29};
            sections[kind].emplace_back(field.key, path + " " + std::to_string(field.value.size()));
            break;
        }
        case CWinCGIField::Kind::Huge:
            sections[kind].emplace_back(field.key, std::to_string(field.offset) + " " + std::to_string(field.length));
            break;
        }
    }
    for (int kind : order)
        profile.AddSection(names[kind], sections[kind]);
}

enum class ProgramEnd { finished, timedOut, clientGone };

// Waits for the program within the time-out (0: none), watching the client:
// a program whose client left, or that ran past its time, is killed.
ProgramEnd AwaitProgram(platform::ChildProcess& child, WSocket& client, std::uint64_t timeoutMs)
{
    const std::uint64_t deadline = timeoutMs ? platform::MonotonicMs() + timeoutMs : 0;
    while (!child.TryReap()) {
        std::uint64_t now = platform::MonotonicMs();
        if (deadline && now >= deadline) {
            child.KillAndReap();
            return ProgramEnd::timedOut;
        }
        std::uint32_t left = deadline ? static_cast<std::uint32_t>(std::min<std::uint64_t>(deadline - now, 1u << 30))
                                      : platform::kInfinite;
        int ready = child.ProcessHandle() >= 0 ? WaitForInputOrHangUp(child.ProcessHandle(), client, left) : -1;
        if (ready > 0 && (ready & kPeerHungUp)) {
            child.KillAndReap();
            return ProgramEnd::clientGone;
        }
        if (ready < 0 && child.ProcessHandle() >= 0)
            WaitForHandle(child.ProcessHandle(), false, left);
        else if (ready < 0)
            platform::SleepMs(std::min<std::uint32_t>(left, 10));
    }
    return ProgramEnd::finished;
}

// An open file, closed on every path.
struct FileHolder {
    int handle = -1;
    FileHolder() = default;
    FileHolder(const FileHolder&) = delete;
    FileHolder& operator=(const FileHolder&) = delete;
    ~FileHolder() { Reset(-1); }
    void Reset(int other)
    {
        if (handle >= 0)
            platform::CloseHandle(handle);
        handle = other;
    }
};

// The program's reply from its output file: header lines parsed as CGI
// output, or relayed untouched when the program wrote its own status line.
void SendOutput(CHTTPServer& server, WSocket& socket, CHTTPRequest& request, const std::string& outputPath,
                bool sendHeaders, bool sendBody)
{
    FileHolder file;
    file.Reset(platform::OpenFile(outputPath.c_str(), O_RDONLY));
    if (file.handle < 0)
        throw WinCGIFailure{2};
    const int& output = file.handle;

    // The header part first: nothing is sent before it is known whole.
    CCGIReply reply;
    std::vector<char> buffer(kOutputChunk);
    std::string head;
    std::string opening;
    std::int64_t total = 0;
    while (!reply.IsFinished()) {
        long got = platform::ReadHandle(output, buffer.data(), buffer.size());
        if (got <= 0) {
            reply.End();
            break;
        }
        if (opening.size() < 8)
            opening.append(buffer.data(), std::min<std::size_t>(8 - opening.size(), static_cast<std::size_t>(got)));
        total += got;
        std::size_t used = reply.Feed(std::string_view(buffer.data(), static_cast<std::size_t>(got)));
        head.assign(buffer.data() + used, static_cast<std::size_t>(got) - used);
    }
    // An empty output file is an empty reply, not a failed one.
    const bool empty = total == 0;
    if (reply.GetState() == CCGIReply::State::Invalid && !empty)
        throw WinCGIFailure{13};

    if (reply.GetState() == CCGIReply::State::Raw) {
        request.Status = std::atoi(reply.RawStatusLine().c_str() + 8);
        if (!sendBody)
            return;
        // Relayed as written: from the file's start when the program's own
        // status line opens it.
        if (EqualsIgnoringCase(opening, "HTTP/1.0")) {
            file.Reset(platform::OpenFile(outputPath.c_str(), O_RDONLY));
            if (file.handle < 0)
                throw WinCGIFailure{2};
            head.clear();
        } else {
            socket.SendTextLine(reply.RawStatusLine());
        }
    } else if (!reply.Location().empty()) {
        server.SendRedirect(socket, request, reply.Location(), sendHeaders, sendBody);
        request.Status = 302;
        return;
    } else {
        request.Status = reply.StatusCode();
        if (sendHeaders)
            socket.SendText("HTTP/1.0 " + reply.StatusText() + "\r\n" + reply.ExtraHeaders() + "Server: " +
                            ProductToken() + "\r\n\r\n");
        if (!sendBody) {
            socket.Flush();
            return;
        }
    }
    if (!head.empty()) {
        socket.SendText(head);
        request.BytesSent += static_cast<std::int64_t>(head.size());
    }
    for (;;) {
        long got = platform::ReadHandle(output, buffer.data(), buffer.size());
        if (got <= 0)
            break;
        socket.Send(buffer.data(), static_cast<int>(got));
        request.BytesSent += got;
    }
    socket.Flush();
}

} // namespace

int CHTTPServer::WinCGIScript(WSocket& socket, CHTTPRequest& request, bool sendHeaders, bool sendBody)
{
    CCacheEntry& entry = *request.Document;
    const std::string script = entry.FilePath;
    InitRequestMacros(*this, request);
    std::error_code missing;
    if (!std::filesystem::is_regular_file(script, missing))
        ThrowRequestPage(*this, socket, request, 404, "%http-badurl%");
    CheckProgramAccess(socket, request, script);

    try {
        CTempFileList files;
        const std::string profilePath = files.Create();
        const std::string contentPath = files.Create();
        const std::string outputPath = files.Create();

        // The program's arguments; cgi-script shows them as one text.
        std::vector<std::string> arguments = {script, profilePath, contentPath, outputPath};
        if (request.QueryText && *request.QueryText)
            arguments.push_back(URLDecodeString(request.QueryText));
        if (!request.Scope.IsReadOnly()) {
            std::string text;
            for (const std::string& argument : arguments)
                text += (text.empty() ? "" : " ") + argument;
            request.Scope.Register("cgi-script", std::make_unique<CValueMacro>(text));
        }

        platform::Profile profile;
        DescribeRequest(*this, socket, request, contentPath, outputPath, profile);
        if (std::string_view(request.Method) == "POST")
            TakeBody(socket, request, contentPath, files, profile);
        if (!profile.Save(profilePath))
            throw WinCGIFailure{29};

        platform::ChildStart start;
        start.arguments = CGICommandLine(request, arguments, entry.CGIMapping.CommandLine);
        start.workingDirectory = entry.CGIMapping.WorkingDir;
        platform::LogonTokenPtr user = platform::CurrentImpersonation();
        start.credentials = user.get();
        platform::ChildProcess child;
        int started;
        {
            CEventLockHolder hold(m_winCGIMutex);
            started = child.StartWithoutPipes(start);
        }
        if (started == platform::kErrorAccessDeniedForStart)
            SendAuthRequired(socket, request);
        if (started != 0)
            throw WinCGIFailure{started};
        ProgramEnd end = AwaitProgram(child, socket, std::uint64_t{GetHTTPSettings()->cgiTimeout} * 1000);
        if (end == ProgramEnd::timedOut)
            throw WinCGIFailure{1460};
        if (end == ProgramEnd::clientGone) {
            // Nobody is left to answer; logged as a program the server ended.
            request.Status = 500;
            return 0;
        }

        SendOutput(*this, socket, request, outputPath, sendHeaders, sendBody);
        if (GetStats().IsMapped())
            GetStats().Add(server_stat_offset::kWinCGIHits, 1);
        return 1;
    } catch (const WinCGIFailure&) {
        SendCGIErrorPage(*this, socket, request, sendHeaders, sendBody);
        return 0;
    } catch (const CHTTPException&) {
        throw;
    } catch (const std::exception&) {
        LogMessage(platform::kEventTypeError, kEventUnexpectedException, {"CHTTPServer::WinCGIScript"});
        return 0;
    }
}

