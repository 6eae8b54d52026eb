#include "http/header_macros.h"

#include "framework/host_name.h"
#include "framework/text_buffer.h"
#include "framework/text_util.h"
#include "framework/wsocket.h"
#include "http/http_request.h"
#include "http/http_server.h"
#include "http/http_text.h"
#include "macro/core_macros.h"
#include "macro/macro_context.h"

#include <limits>

namespace {

// Leading digits after an optional sign (blanks first, as atoi skips them);
// 0 without digits; saturates instead of overflowing.
std::int64_t ReadLongNumber(std::string_view text)
{
    std::size_t at = text.find_first_not_of(" \t\r\n");
    if (at == std::string_view::npos)
        return 0;
    bool negative = false;
    if (text[at] == '+' || text[at] == '-')
        negative = text[at++] == '-';
    constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
    std::int64_t value = 0;
    for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
        const int digit = text[at] - '0';
        value = value > (kMax - digit) / 10 ? kMax : value * 10 + digit;
    }
    return negative ? -value : value;
}

// The full URL path of a path relative to base: "." segments go, ".." drops
// the last segment but never climbs above the root, and the result has no
// trailing '/'.
std::string ResolveRelativePath(std::string_view base, std::string_view path, bool haveBase)
{
    std::string out;
    if (haveBase && (path.empty() || path.front() != '/'))
        out.assign(base);
    std::size_t at = 0;
    for (;;) {
        while (at < path.size() && path[at] == '/')
            ++at;
        std::size_t end = path.find('/', at);
        if (end == std::string_view::npos)
            end = path.size();
        const std::string_view segment = path.substr(at, end - at);
        at = end;
        if (segment.empty())
            break;
        if (segment == ".")
            continue;
        if (segment == "..") {
            const std::size_t slash = out.size() > 1 ? out.rfind('/') : std::string::npos;
            if (slash == std::string::npos || slash == 0)
                out.clear();
            else
                out.resize(slash);
            continue;
        }
        out += '/';
        out.append(segment);
    }
    return out;
}

} // namespace

void ResolveClientName(CHTTPServer& server, WSocket& socket, CHTTPRequest& request)
{
    if (!request.ClientAddress[0]) {
        FormatIPAddressToBuffer(request.ClientAddress, socket.GetPeerAddress());
        if (server.GetSettings()->useDNS)
            ResolveHostName(request.ClientName, socket.GetPeerAddress());
    }
    // Set every time: between kept-alive requests the name may have been
    // emptied, and the host must never point at a stale text.
    request.ClientHost = request.ClientName.empty() ? request.ClientAddress : request.ClientName.c_str();
}

std::string URLBaseDirectory(std::string_view urlPath)
{
    const std::size_t slash = urlPath.rfind('/');
    return slash == std::string_view::npos ? std::string() : std::string(urlPath.substr(0, slash));
}

void CHeaderMacro::Evaluate(CMacroContext*, CTextBuffer* out, const char** argv, int argc)
{
    if (argc < 1 || !m_headers)
        return;
    int occurrence = argc >= 2 ? ReadMacroNumber(argv[1]) : 0;
    if (occurrence < 0)
        return;
    const std::string_view wanted = argv[0];
    ForEachHeaderLine(m_headers->View(), [&](std::string_view name, std::string_view value) {
        if (!EqualsIgnoringCase(name, wanted))
            return true;
        if (occurrence-- > 0)
            return true;
        out->Append(value);
        return false;
    });
}

void CEnumHeaderMacro::Evaluate(CMacroContext* scope, CTextBuffer* out, const char** argv, int argc)
{
    if (argc < 1 || !m_headers || !scope)
        return;
    std::string header;
    std::string value;
    CMacroContext nested(scope);
    nested.Register("header", std::make_unique<CStringRefMacro>(&header));
    nested.Register("value", std::make_unique<CStringRefMacro>(&value));
    const std::string_view text = argv[0];
    ForEachHeaderLine(m_headers->View(), [&](std::string_view name, std::string_view lineValue) {
        header.assign(name);
        value.assign(lineValue);
        nested.ExpandArgument(out, text);
        return true;
    });
}

void CExpiresMacro::Evaluate(CMacroContext*, CTextBuffer*, const char** argv, int argc)
{
    if (argc >= 1 && !EqualsIgnoringCase(argv[0], "never"))
        *m_expires = ReadLongNumber(argv[0]);
    else
        *m_expires = kExpiresNever;
}

void CContentTypeMacro::Evaluate(CMacroContext*, CTextBuffer*, const char** argv, int argc)
{
    if (argc < 1)
        return;
    // The type goes into the reply's header: a line end in it would let the
    // text (often a form field) add header lines of its own.
    std::string_view type = argv[0];
    type = type.substr(0, type.find_first_of("\r\n"));
    m_contentType->assign(type);
}

std::string CFqvpathMacro::Resolve(const char** argv, int argc) const
{
    if (argc < 1)
        return m_base;
    return ResolveRelativePath(m_base, argv[0], true);
}

void CFqvpathMacro::Evaluate(CMacroContext*, CTextBuffer* out, const char** argv, int argc)
{
    out->Append(Resolve(argv, argc));
}

void CFqppathMacro::Evaluate(CMacroContext*, CTextBuffer* out, const char** argv, int argc)
{
    std::string path = Resolve(argv, argc);
    std::string file;
    m_server.MapURLToPath(file, path.empty() ? "/" : path);
    out->Append(file);
}

void CFqurlMacro::Evaluate(CMacroContext*, CTextBuffer* out, const char** argv, int argc)
{
    std::string path = Resolve(argv, argc);
    std::string url;
    m_server.MakeAbsoluteURL(m_socket, path.empty() ? "/" : path, url);
    out->Append(url);
}
