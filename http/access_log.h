#pragma once
// The access-log line of an HTTP hit, in the common log format or, with
// CCLF set, the combined format; and the header-text helpers that the proxy,
// CGI and ISAPI use to pass a request's headers on.
//
// Fields that come from the client are escaped in the line ('"' and '\' get
// a backslash, control bytes and blanks where a field cannot hold them
// become \xHH), so a request can never add a line or a field of its own.

#include <cstdint>
#include <string>
#include <string_view>

class CTextBuffer;
struct CHTTPRequest;

// CHTTPServer::RunLogMacro (http_server.h, defined in access_log.cpp) logs
// the hit of a finished request: through the server's LogMacro when it has
// one, else as an access-log line (CHTTPServer::WriteAccessLog) when it has
// a LogFile, else not at all.

// The line itself (without its line end) for a time in seconds since 1970.
void FormatAccessLogLine(CTextBuffer& out, const CHTTPRequest& request, bool combined, std::int64_t unixSeconds);

// name = the text up to the first CR, LF or ':'; value = after the ':' and
// its following spaces, up to CR or LF; empty without a ':'.
void SplitHeaderLine(std::string& name, std::string& value, std::string_view line);

// What FilterHeaders drops and adds.
inline constexpr unsigned kFilterAuthorization = 0x001;
inline constexpr unsigned kFilterConnection = 0x002;
inline constexpr unsigned kFilterRange = 0x004;
inline constexpr unsigned kFilterAccept = 0x008;             // adds "Accept: */*"
inline constexpr unsigned kFilterIfModifiedSinceTime = 0x010; // adds one for the time
inline constexpr unsigned kFilterUserAgent = 0x020;          // adds the proxy's own
inline constexpr unsigned kFilterIfModifiedSince = 0x080;
inline constexpr unsigned kFilterSetCookie = 0x200;
inline constexpr unsigned kFilterProxyAgent = 0x400; // adds only

inline constexpr const char* kProxyProductToken = "Velmora-Proxy/1.51 (Linux; x86_64; A)";
inline constexpr const char* kServiceProxyProductToken = "Velmora-Proxy/1.51 (Linux; x86_64; S)";

// Copies the header lines of headers to out, each with CR LF, without those
// the flags select, then the replacement lines; time (seconds since 1970)
// is the If-modified-since date, none when 0.
void FilterHeaders(CTextBuffer& out, std::string_view headers, unsigned flags, std::int64_t time);
