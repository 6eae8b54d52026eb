#include "http/access_log.h"

#include "framework/http_date.h"
#include "framework/server_log.h"
#include "framework/text_buffer.h"
#include "framework/text_util.h"
#include "http/header_macros.h"
#include "http/http_request.h"
#include "http/http_server.h"
#include "http/request_macros.h"

#include <charconv>
#include <ctime>

namespace {

// The line starts at this size; a longer one grows.
constexpr int kLogLineCapacity = 256;
// The log macro's output is dropped; its scratch buffer starts small.
constexpr int kLogScratchCapacity = 16;

constexpr char kHexDigits[] = "0123456789abcdef";

// Client text inside a log field: a quote or backslash is escaped, and a
// control byte (or, in an unquoted field, a blank) becomes \xHH, so a client
// can neither end the field early nor start a line of its own.
void AppendLogText(CTextBuffer& out, std::string_view text, bool unquoted)
{
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out.AppendChar('\\');
            out.AppendChar(c);
        } else if (byte < 0x20 || byte == 0x7f || (unquoted && c == ' ')) {
            const char escape[4] = {'\\', 'x', kHexDigits[byte >> 4], kHexDigits[byte & 0xf]};
            out.Append(escape, 4);
        } else {
            out.AppendChar(c);
        }
    }
}

void AppendUnquotedField(CTextBuffer& out, const char* text)
{
    if (!text || !*text)
        out.AppendChar('-');
    else
        AppendLogText(out, text, true);
}

void AppendNumber(CTextBuffer& out, std::int64_t value)
{
    char digits[24];
    auto result = std::to_chars(digits, digits + sizeof digits, value);
    out.Append(digits, static_cast<int>(result.ptr - digits));
}

const char* ProxyProductToken() { return IsUsingEventLog() ? kServiceProxyProductToken : kProxyProductToken; }

} // namespace

void FormatAccessLogLine(CTextBuffer& out, const CHTTPRequest& request, bool combined, std::int64_t unixSeconds)
{
    AppendUnquotedField(out, request.ClientHost);
    out.Append(" - ");
    AppendUnquotedField(out, request.AuthUser.c_str());
    out.Append(" [");
    char date[kDateBufferSize];
    out.Append(date, FormatLogDate(date, SystemTimeFromUnixSeconds(unixSeconds)));
    out.Append("] \"");
    AppendLogText(out, request.Method, false);
    out.AppendChar(' ');
    AppendLogText(out, request.URLPath, false);
    if (request.Query) {
        out.AppendChar('?');
        AppendLogText(out, request.QueryText, false);
    }
    if (*request.Protocol) {
        out.AppendChar(' ');
        AppendLogText(out, request.Protocol, false);
    }
    out.Append("\" ");
    AppendNumber(out, request.Status);
    out.AppendChar(' ');
    AppendNumber(out, request.BytesSent);
    if (combined) {
        out.Append(" \"");
        AppendLogText(out, request.Referer, false);
        out.Append("\" \"");
        AppendLogText(out, request.UserAgent, false);
        out.AppendChar('"');
    }
}

void CHTTPServer::WriteAccessLog(CHTTPRequest& request)
{
    CTextBuffer line(kLogLineCapacity);
    const bool combined = GetHTTPSettings()->cclf != 0;
    FormatAccessLogLine(line, request, combined, static_cast<std::int64_t>(std::time(nullptr)));
    LogHit(line.View());
}

void CHTTPServer::RunLogMacro(WSocket& socket, CHTTPRequest& request)
{
    // One snapshot: a reload meanwhile cannot change the text being expanded.
    const std::shared_ptr<const CHTTPSettings> settings = GetHTTPSettings();
    if (!settings->logMacro.empty()) {
        RegisterRequestMacros(*this, socket, request);
        CTextBuffer scratch(kLogScratchCapacity, kLogScratchCapacity);
        request.Scope.Expand(&scratch, settings->logMacro);
        return;
    }
    if (GetSettings()->logFile.empty())
        return;
    ResolveClientName(*this, socket, request);
    WriteAccessLog(request);
}

void SplitHeaderLine(std::string& name, std::string& value, std::string_view line)
{
    const std::size_t end = line.find_first_of("\r\n:");
    name.assign(line.substr(0, end));
    value.clear();
    if (end == std::string_view::npos || line[end] != ':' || end + 1 >= line.size())
        return;
    std::size_t start = line.find_first_not_of(' ', end + 1);
    if (start == std::string_view::npos)
        return;
    const std::size_t stop = line.find_first_of("\r\n", start);
    value.assign(line.substr(start, stop == std::string_view::npos ? std::string_view::npos : stop - start));
}

void FilterHeaders(CTextBuffer& out, std::string_view headers, unsigned flags, std::int64_t time)
{
    struct Dropped {
        unsigned flags;
        std::string_view name;
    };
    static constexpr Dropped kDropped[] = {
        {kFilterAuthorization, "authorization"},
        {kFilterConnection, "connection"},
        {kFilterRange, "range"},
        {kFilterAccept, "accept"},
        {kFilterIfModifiedSinceTime | kFilterIfModifiedSince, "if-modified-since"},
        {kFilterUserAgent, "user-agent"},
        {kFilterSetCookie, "set-cookie"},
    };
    std::string name;
    std::string value;
    std::size_t at = 0;
    while (at < headers.size()) {
        std::size_t end = headers.find_first_of("\r\n", at);
        if (end == std::string_view::npos)
            end = headers.size();
        const std::string_view line = headers.substr(at, end - at);
        at = end + 1;
        if (line.empty())
            continue;
        SplitHeaderLine(name, value, line);
        const std::string folded = LowerCaseString(name);
        bool drop = false;
        for (const Dropped& rule : kDropped)
            drop = drop || ((flags & rule.flags) && folded == rule.name);
        if (drop)
            continue;
        out.Append(line);
        out.Append("\r\n");
    }
    if (flags & kFilterAccept)
        out.Append("Accept: */*\r\n");
    if ((flags & kFilterIfModifiedSinceTime) && time != 0) {
        char date[kDateBufferSize];
        out.Append("If-modified-since: ");
        out.Append(date, FormatRFC1123Date(date, SystemTimeFromUnixSeconds(time)));
        out.Append("\r\n");
    }
    if (flags & kFilterUserAgent) {
        out.Append("User-agent: ");
        out.Append(ProxyProductToken());
        out.Append("\r\n");
    }
    if (flags & kFilterProxyAgent) {
        out.Append("Proxy-agent: ");
        out.Append(ProxyProductToken());
        out.Append("\r\n");
    }
}
