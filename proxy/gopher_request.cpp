#include "proxy/http_proxy.h"

#include "framework/outgoing_connect.h"
#include "framework/text_util.h"
#include "macro/macro_exception.h"
#include "platform/clock.h"
#include "proxy/gopher_menu.h"

#include <vector>

namespace {

constexpr int kTextChunk = 16384;

// The start of the closing "." line that may end text, when text ends in
// it or in a beginning of it: the bytes to hold back until more comes.
// atLineStart: text begins a line.
std::size_t HeldTail(std::string_view text, bool atLineStart)
{
    for (std::string_view end : {".\r\n", ".\n", ".\r", "."}) {
        if (text.size() < end.size() || text.substr(text.size() - end.size()) != end)
            continue;
        std::size_t at = text.size() - end.size();
        if (at == 0 ? atLineStart : text[at - 1] == '\n')
            return at;
    }
    return text.size();
}

} // namespace

void CopyGopherText(WSocket& source, WSocket& out, CProxyRequest& request, std::uint32_t milliseconds)
{
    // The server ends a text document with a line holding a lone "."; it
    // belongs to the protocol, not to the document. Everything before it
    // streams as it comes; only a possible closing line waits.
    std::string pending;
    bool atLineStart = true;
    std::vector<char> buffer(kTextChunk);
    for (;;) {
        if (!AwaitSource(source, out, milliseconds))
            throw WSocketException(&source, platform::kWsaeTimedOut);
        int got = source.Read(buffer.data(), kTextChunk);
        if (got <= 0)
            break;
        pending.append(buffer.data(), static_cast<std::size_t>(got));
        std::size_t keep = HeldTail(pending, atLineStart);
        if (keep == 0)
            continue;
        SendToClient(out, request, std::string_view(pending).substr(0, keep));
        atLineStart = pending[keep - 1] == '\n';
        pending.erase(0, keep);
    }
    // Held bytes that are not a closing line after all are the document's.
    if (HeldTail(pending, atLineStart) != 0)
        SendToClient(out, request, pending);
}

int CHTTPProxy::GopherTypeToMIME(char type, std::string& mime)
{
    char key = type >= 'A' && type <= 'Z' ? static_cast<char>(type - 'A' + 'a') : type;
    CRegStringMap& mappings = GetGopherMappings();
    if (mappings.LookupLocked(std::string_view(&key, 1), mime))
        return 1;
    if (BuiltinGopherMIME(type, mime))
        return 1;
    mime = "text/plain";
    mappings.LookupLocked("*", mime);
    return 0;
}

int CHTTPProxy::GopherRequest(const std::string& method, WSocket& out, CProxyRequest& request, const CUrlParts& url,
                              unsigned flags)
{
    auto [proxyHost, proxyPort] = UpstreamProxy(&CProxySettings::gopherProxyHost, &CProxySettings::gopherProxyPort);
    if (!proxyHost.empty()) {
        int relayed = CascadeRequest(proxyHost, proxyPort, method, out, request, url, flags);
        if (relayed == -2)
            ThrowPage(request, 504, "%http-noreply%");
        return relayed;
    }

    // The URL is checked, and an error item answered, before any connection.
    char type = '1';
    std::string selector;
    if (!DecodeGopherPath(url.path, type, selector) || type == '3') {
        SendPage(out, request, 404, ExpandPage(request, "%http-badurl%"), method != "HEAD");
        return 404;
    }

    std::uint32_t timeout = ClientTimeoutMs();
    WSocket gopher;
    gopher.SetTimeout(timeout);
    if (ConnectToPort(gopher, url.host, static_cast<std::uint32_t>(url.port)) < 0)
        ThrowUnreachable(request, url.host, static_cast<std::uint32_t>(url.port));

    std::string mime;
    GopherTypeToMIME(type, mime);
    try {
        gopher.SetThrowOnError(true);
        gopher.SendText(selector + "\r\n", false);
        // The header waits for the server's first byte, so that a silent
        // server is answered with a page of its own.
        if (!gopher.WaitForInput(timeout))
            throw WSocketException(&gopher, platform::kWsaeTimedOut);
        SendToClient(out, request, "HTTP/1.0 200 OK\r\nContent-type: " + mime + "\r\n\r\n");
        // A HEAD reply has no body: one sent anyway would be read by the
        // client as the start of its next reply.
        if (method == "HEAD")
            return 200;
        if (type == '1' || type == '7') {
            SendToClient(out, request,
                 type == '1' ? "<HTML><BODY><H1>Gopher Menu</H1><PRE>\r\n"
                             : "<HTML><BODY><H1>Gopher Search</H1>\r\n<ISINDEX><PRE>");
            CRegStringMap& icons = GetGopherIcons();
            CTextBuffer line(1024);
            CTextBuffer html(1024);
            for (;;) {
                line.Empty();
                int got = ReadLineWatched(gopher, out, line, timeout);
                if (line.IsEmpty() && got <= 0)
                    break;
                CGopherMenuLine entry;
                if (ParseGopherMenuLine(line.View(), entry)) {
                    std::string icon;
                    if (!entry.info) {
                        std::string entryMime;
                        GopherTypeToMIME(entry.type, entryMime);
                        if (!icons.LookupLocked(LowerCaseString(entryMime), icon)) {
                            icon.assign(BuiltinGopherIcon(entry.type));
                            if (icon.empty() && !icons.LookupLocked("*", icon))
                                icon = "internal-gopher-unknown";
                        }
                    }
                    html.Empty();
                    AppendGopherMenuLine(html, entry, icon);
                    SendToClient(out, request, html.View());
                }
                if (got <= 0)
                    break;
            }
            SendToClient(out, request, "</PRE></HTML>");
        } else if (type == '0') {
            CopyGopherText(gopher, out, request, timeout);
        } else {
            CopyToClient(gopher, out, request, timeout);
        }
    } catch (const WSocketException& failure) {
        if (failure.socket == &out)
            throw;
        // Before the header the caller sends the page; after it, the reply is
        // cut instead of carrying a page in its body.
        ThrowPage(request, 504,
                  failure.error == platform::kWsaeTimedOut ? "%http-gophertimeout%" : "%http-gophererror%");
    }
    return 200;
}
