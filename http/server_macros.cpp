#include "http/server_macros.h"

#include "config/http_server_config.h"
#include "framework/server.h"
#include "framework/server_stats.h"
#include "framework/text_buffer.h"
#include "framework/text_util.h"
#include "http/http_server.h"
#include "macro/core_macros.h"
#include "macro/macro_context.h"
#include "macro/macro_exception.h"
#include "macro/stat_macros.h"

#include <memory>
#include <string>

namespace {

constexpr const char* kClientStateText = "%client-query%&%client-body%";

// Reply statuses a status line can carry; anything else from a page is
// answered as a server error rather than sent as a broken status line.
constexpr int kMinReplyStatus = 100;
constexpr int kMaxReplyStatus = 599;
constexpr int kInvalidStatusReply = 500;

// Header lines from a page, each ended by CR LF exactly once: a line
// without its end would swallow the blank line that ends the header.
std::string NormaliseHeaderLines(std::string_view text)
{
    std::string lines;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find_first_of("\r\n", at);
        if (end == std::string_view::npos)
            end = text.size();
        if (end > at) {
            lines.append(text.substr(at, end - at));
            lines += "\r\n";
        }
        at = end + 1;
    }
    return lines;
}

// One access-log line per log call: a line end inside the text is written
// as its escape, so page data cannot forge further lines.
std::string OneLogLine(std::string_view text)
{
    std::string line;
    line.reserve(text.size());
    for (char c : text) {
        if (c == '\r')
            line += "\\x0d";
        else if (c == '\n')
            line += "\\x0a";
        else
            line += c;
    }
    return line;
}

} // namespace

void CConfigStringMacro::Evaluate(CMacroContext*, CTextBuffer* out, const char**, int)
{
    const std::shared_ptr<const CHTTPSettings> settings = m_config.GetHTTPSettings();
    out->Append((*settings).*m_field);
}

void CConfigNumberMacro::Evaluate(CMacroContext*, CTextBuffer* out, const char**, int)
{
    const std::shared_ptr<const CServiceSettings> settings = m_config.GetSettings();
    out->Append(std::to_string((*settings).*m_field));
}

void CMapLookupMacro::Evaluate(CMacroContext*, CTextBuffer* out, const char** argv, int argc)
{
    std::string value;
    if (argc >= 1 && argv[0][0] && m_map.LookupLocked(LowerCaseString(argv[0]), value)) {
        out->Append(value);
        return;
    }
    if (m_map.LookupLocked("*", value))
        out->Append(value);
}

void CRedirectMacro::Evaluate(CMacroContext*, CTextBuffer*, const char** argv, int argc)
{
    if (argc >= 1 && argv[0][0])
        throw CRedirectionException(argv[0]);
}

void CHttpExceptionMacro::Evaluate(CMacroContext*, CTextBuffer*, const char** argv, int argc)
{
    if (argc < 2)
        return;
    int status = ReadMacroNumber(argv[0]);
    if (status < kMinReplyStatus || status > kMaxReplyStatus)
        status = kInvalidStatusReply;
    throw CHTTPException(status, argv[1], argc >= 3 ? NormaliseHeaderLines(argv[2]) : std::string());
}

void CExpandTextMacro::Evaluate(CMacroContext* scope, CTextBuffer* out, const char**, int)
{
    if (scope)
        scope->Expand(out, m_text);
}

void CLogMacro::Evaluate(CMacroContext*, CTextBuffer*, const char** argv, int argc)
{
    if (argc >= 1 && argv[0][0])
        m_server.LogHit(OneLogLine(argv[0]));
}

void CFlushLogMacro::Evaluate(CMacroContext*, CTextBuffer*, const char**, int) { m_server.FlushLog(); }

void RegisterServerMacros(CMacroContext& scope, CHTTPServerConfig& config, CServer& server)
{
    if (scope.IsReadOnly())
        return;
    const CServerStats* stats = &server.GetStats();
    auto hits = [stats](std::size_t offset) {
        return std::make_unique<CServerStatMacro>(stats, offset, CServerStatMacro::Kind::numeric);
    };
    scope.Register("httproot", std::make_unique<CConfigStringMacro>(config, &CHTTPSettings::rootDir));
    scope.Register("description", std::make_unique<CConfigStringMacro>(config, &CHTTPSettings::description));
    scope.Register("httpport", std::make_unique<CConfigNumberMacro>(config, &CServiceSettings::port));
    scope.Register("sslport", std::make_unique<CConfigNumberMacro>(config, &CServiceSettings::sslPort));
    scope.Register("mimetype", std::make_unique<CMapLookupMacro>(config.GetMappings()));
    scope.Register("mimeicon", std::make_unique<CMapLookupMacro>(config.GetIcons()));
    scope.Register("redirect", std::make_unique<CRedirectMacro>());
    scope.Register("http-exception", std::make_unique<CHttpExceptionMacro>());
    scope.Register("client-state", std::make_unique<CExpandTextMacro>(kClientStateText));
    scope.Register("server-cgihits", hits(server_stat_offset::kCGIHits));
    scope.Register("server-wincgihits", hits(server_stat_offset::kWinCGIHits));
    scope.Register("server-isapihits", hits(server_stat_offset::kISAPIHits));
    scope.Register("server-kavhits", hits(server_stat_offset::kKAVHits));
    scope.Register("log", std::make_unique<CLogMacro>(server));
    scope.Register("flushlog", std::make_unique<CFlushLogMacro>(server));
}

void RegisterServerMacros(CHTTPServer& server)
{
    if (CMacroContext* scope = server.GetMacroScope())
        RegisterServerMacros(*scope, server, server);
}
