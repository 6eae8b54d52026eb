// libFuzzer target for what the proxy reads from clients and origins: the
// request URL (parse, compose, cache key), reply status lines, header
// values, the upstream header filter, the request framing rules, the cache
// policy's Cache-Control and Vary reading, and the cache database's field
// escaping, which must give back every text it was given, the reply
// head's normal form (no CR alone in it), interim replies dropped, and a
// stored reply's lifetime.

#include "framework/request_framing.h"
#include "framework/text_buffer.h"
#include "proxy/cache_policy.h"
#include "proxy/http_proxy.h"
#include "proxy/proxy_cache.h"
#include "proxy/reply_head.h"
#include "proxy/url_parts.h"

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::string_view text(reinterpret_cast<const char*>(data), size);

    CUrlParts url;
    if (url.Parse(text)) {
        std::string formatted = url.Format();
        // A composed URL parses to the same parts it came from.
        CUrlParts again;
        if (!url.host.empty() && again.Parse(formatted) && again.Format() != formatted)
            std::abort();
        static_cast<void>(url.Key());
    }

    static_cast<void>(ParseStatusLine(text));
    std::string value;
    GetHeaderValue(value, "content-length", text, 0);
    GetHeaderValue(value, "x", text, 2);
    CTextBuffer out;
    FilterProxyHeaders(out, text, 0xFF, 784111777);

    static_cast<void>(IsAmbiguousLine(text, true));
    CBodyFraming framing;
    std::size_t split = text.find('\n');
    framing.AddHeader("transfer-encoding", text.substr(0, split));
    framing.AddHeader("content-length", text.substr(split == std::string_view::npos ? text.size() : split + 1));
    framing.AddHeader("content-length", text);
    // Lengths that disagree are always refused.
    if (framing.ConflictingLengths() && !framing.IsAmbiguous())
        std::abort();
    // What may answer a request with credentials may answer one without.
    std::size_t half = text.size() / 2;
    std::string_view request = text.substr(0, half);
    std::string_view reply = text.substr(half);
    if (MayAnswerFromCopy(request, reply) && !MayAnswerFromCopy("", reply))
        std::abort();
    if (MayStoreReply(request, reply) && !MayAnswerFromCopy(request, reply))
        std::abort();

    if (UnescapeCacheField(EscapeCacheField(text)) != text)
        std::abort();

    // A reply head read once reads the same again, and never grows.
    bool chunked = false;
    std::string head = NormalizeReplyHead(text, &chunked);
    bool again = false;
    if (head.size() > text.size() || NormalizeReplyHead(head, &again) != head || again != chunked)
        std::abort();
    for (std::size_t at = head.find('\r'); at != std::string::npos; at = head.find('\r', at + 1)) {
        if (at + 1 >= head.size() || head[at + 1] != '\n')
            std::abort();
    }
    static_cast<void>(AcceptsInterimReplies(text));
    std::optional<std::int64_t> lifetime = FreshLifetime(reply, 1765000000);
    if (lifetime && *lifetime < 0)
        std::abort();
    CReplyHead stream;
    std::string first;
    std::string body;
    if (stream.Feed(text, first, body) == CReplyHead::Result::Ready && first.size() + body.size() > text.size())
        std::abort();
    CReplyHead final(true);
    if (final.Feed(text, first, body) == CReplyHead::Result::Ready && first.size() + body.size() > text.size())
        std::abort();
    return 0;
}
