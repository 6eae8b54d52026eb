// Feeds arbitrary program output to the CGI reply parser in pieces whose
// sizes the input chooses. Findings: sanitizer reports, and the checks that
// the parser takes no byte past its header part, keeps its header block
// within its bound, and gives the same result however the output is cut.

#include "http/cgi_reply.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

namespace {

struct Outcome {
    CCGIReply::State state;
    std::size_t headerBytes;
    std::string extra;
    std::string location;
    std::string status;
};

Outcome Run(std::string_view output, std::size_t piece)
{
    CCGIReply reply;
    std::size_t used = 0;
    while (used < output.size() && !reply.IsFinished()) {
        std::string_view part = output.substr(used, piece);
        std::size_t took = reply.Feed(part);
        if (took > part.size())
            std::abort();
        used += took;
        if (took < part.size() && !reply.IsFinished())
            std::abort();
    }
    reply.End();
    if (reply.ExtraHeaders().size() > 2 * CCGIReply::kMaxHeaderBytes)
        std::abort();
    return {reply.GetState(), used, reply.ExtraHeaders(), reply.Location(), reply.StatusText()};
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 1)
        return 0;
    std::size_t piece = data[0] % 64 + 1;
    std::string_view output(reinterpret_cast<const char*>(data + 1), size - 1);
    Outcome whole = Run(output, output.size() + 1);
    Outcome cut = Run(output, piece);
    if (whole.state != cut.state || whole.headerBytes != cut.headerBytes || whole.extra != cut.extra ||
        whole.location != cut.location || whole.status != cut.status)
        std::abort();
    return 0;
}
