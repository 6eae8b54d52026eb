// libFuzzer target for what the proxy reads from clients and origins: the
// request URL (parse, compose, cache key), reply status lines, header
// values, the upstream header filter, and the cache database's field
// escaping, which must give back every text it was given.

#include "framework/text_buffer.h"
#include "proxy/http_proxy.h"
#include "proxy/proxy_cache.h"
#include "proxy/url_parts.h"

#include <cstdint>
#include <cstdlib>
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

    if (UnescapeCacheField(EscapeCacheField(text)) != text)
        std::abort();
    return 0;
}
