// libFuzzer target for the request body framing a relay follows: the
// chunked reader and the framing read from header lines. The input is fed
// whole and then in pieces of the sizes its first byte chooses; both ways
// must take the same body, its data and its end, and no piece is ever taken
// beyond its own length.

#include "framework/text_util.h"
#include "proxy/body_extent.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

struct Outcome {
    std::string payload;
    long taken = 0;
    bool broken = false;
    bool done = false;
};

Outcome Feed(std::string_view text, std::size_t piece)
{
    CBodyExtent body(CBodyExtent::Kind::Chunked, 0);
    Outcome outcome;
    for (std::size_t at = 0; at < text.size() && !outcome.broken; at += piece) {
        std::string_view part = text.substr(at, piece);
        long got = body.Take(part.data(), part.size(), &outcome.payload);
        if (got > static_cast<long>(part.size()))
            std::abort();
        if (got < 0) {
            outcome.broken = true;
            break;
        }
        outcome.taken += got;
        // Once the body ended, nothing more is taken.
        if (body.Done() && static_cast<std::size_t>(got) < part.size()) {
            outcome.done = true;
            break;
        }
    }
    outcome.done = outcome.done || body.Done();
    return outcome;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    std::size_t piece = static_cast<std::size_t>(data[0] % 17) + 1;
    std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);

    Outcome whole = Feed(text, text.size() + 1);
    Outcome pieces = Feed(text, piece);
    if (whole.broken != pieces.broken || whole.done != pieces.done)
        std::abort();
    if (!whole.broken && (whole.taken != pieces.taken || whole.payload != pieces.payload))
        std::abort();
    // The data never outgrows the body that framed it.
    if (!whole.broken && whole.payload.size() > static_cast<std::size_t>(whole.taken))
        std::abort();

    // The text's lines as a request's header, then the rest as its body.
    CBodyFraming framing;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find('\n', at);
        std::string_view line = text.substr(at, end == std::string_view::npos ? end : end - at);
        at = end == std::string_view::npos ? text.size() : end + 1;
        if (line.empty() || line == "\r")
            break;
        std::size_t colon = line.find(':');
        if (colon != std::string_view::npos)
            framing.AddHeader(LowerCaseString(line.substr(0, colon)), line.substr(colon + 1));
    }
    if (!framing.IsAmbiguous()) {
        CBodyExtent body = CBodyExtent::For(framing);
        std::string_view rest = text.substr(at);
        long got = body.Take(rest.data(), rest.size());
        if (got < -1 || got > static_cast<long>(rest.size()))
            std::abort();
    }
    return 0;
}
